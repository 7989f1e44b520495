// Storage of the shared plug-in state and the arithmetic that several modules share.
#include "shell/plugin_state.h"

#include "shell/host_access.h"

namespace kv {

PluginState state;

void ResetBoardIdentity() {
  state.board_series.Set("Kv serious");
  state.board_model = -1;
  state.board_serial.Set("-");
  state.board_firmware = 3;
  state.board_axes = 0;
  state.board_freq_khz = 0;
}

double steps_per_segment(int axis, double value) {
  const host::PlannerBlock* planner = state.planner.load(std::memory_order_acquire);
  if (planner == nullptr) return 0.0;
  return value * host::Load(planner->steps_per_unit[axis]) * host::Load(planner->segment_time);
}

}  // namespace kv
