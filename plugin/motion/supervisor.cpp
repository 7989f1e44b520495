// Motion supervisor: actions, E-stop and the motion stream.
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

}  // namespace kv
