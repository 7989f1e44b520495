// Service task: identification, status polling and streaming of the board's parameters.
#include "service/service_task.h"

#include "runtime/timer_scheduler.h"
#include "shell/plugin_state.h"

namespace kv {

void ServiceInit() {
  TimerAdd(ServiceRun, 20, 0);
  state.pos_synced = false;
  state.stop_mask = 0;
  state.counters_fresh = true;
}

void ServiceStart() {
  state.stream_mode = false;
  state.segments_sent = 0;
  state.still_count = 0;
  state.upgrade_requested = false;
  state.pulse_rate_hz = 0;
  for (auto& flag : state.softlimit_tripped) flag = false;
}

std::int32_t ServiceRun(std::uint32_t) {
  if (state.link_is_open.load(std::memory_order_acquire) == nullptr) {
    state.pulse_rate_hz = 0;
    return 200;
  }
  return 200;
}

}  // namespace kv
