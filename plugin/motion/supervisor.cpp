// Motion supervisor (placeholder until the state machine lands): drains the action queue.
#include "motion/supervisor.h"

#include "runtime/action_queue.h"
#include "runtime/timer_scheduler.h"
#include "shell/plugin_state.h"

namespace kv {

void SupervisorInit() { TimerAdd(SupervisorRun, 20, 0); }

std::int32_t SupervisorRun(std::uint32_t) {
  if (state.link_is_open.load(std::memory_order_acquire) == nullptr) return 100;
  while (ActionPop() != 0) {
  }
  return 20;
}

SupervisorState CurrentSupervisorState() { return SupervisorState::RUN; }
int SupervisorHomingAxis() { return -1; }
void Home(std::int16_t) {}
void Probe() {}
void DoDwell(double) {}
void Notify(std::int32_t) {}
void HomeStart(int) {}
std::int32_t ProbeRun(std::uint32_t) { return 0; }

}  // namespace kv
