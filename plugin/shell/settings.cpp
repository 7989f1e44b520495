// Loading, saving and pushing the plug-in's settings.
#include "shell/settings.h"

#include <atomic>
#include <string>

#include "profile/profile_store.h"
#include "runtime/diagnostics.h"
#include "shell/host_access.h"
#include "shell/plugin_state.h"

namespace kv {
namespace {

std::string BacklashKey(int axis) { return "backlash_pos" + std::to_string(axis); }

// A "seg_len" that was not used, told on the status line once the host's blocks are known.
std::atomic<std::int32_t> refused_seg_len{0};

}  // namespace

void LoadSettings(ProfileStore& store) {
  state.lim_buffer = kDefaultLimBuffer;
  std::int32_t seg_len = store.ReadInt(kSettingsSection, "seg_len", kDefaultSegLenUs);
  // A period of zero or less would make the host plan infinitely many segments, and one the
  // stream cannot feed underruns all the time.
  refused_seg_len = SegLenUsable(seg_len) ? 0 : (seg_len == 0 ? -1 : seg_len);
  state.seg_len = SegLenUsable(seg_len) ? seg_len : kDefaultSegLenUs;
  state.mpg_src = store.ReadInt(kSettingsSection, "mpg_src", 0);
  for (int k = 0; k < host::kAxes; ++k) {
    // A profile an earlier damaged report was saved into is mended here, not sent to the board.
    std::int32_t steps = store.ReadInt(kSettingsSection, BacklashKey(k), 0);
    if (!BacklashFits(steps)) {
      trace_printf("profile backlash_pos%d = %d steps ignored", k, static_cast<int>(steps));
      steps = 0;
    }
    state.backlash_cfg[k] = steps;
  }
}

void SaveSettings(ProfileStore& store) {
  store.WriteInt(kSettingsSection, "lim_buffer", state.lim_buffer);
  store.WriteInt(kSettingsSection, "seg_len", state.seg_len);
  store.WriteInt(kSettingsSection, "mpg_src", state.mpg_src);
  const bool reported = state.backlash_reported.load();
  for (int k = 0; k < host::kAxes; ++k) {
    std::int32_t steps = reported ? state.backlash_board[k].load() : state.backlash_cfg[k].load();
    if (!BacklashFits(steps)) {
      trace_printf("backlash_pos%d = %d steps not saved", k, static_cast<int>(steps));
      steps = BacklashFits(state.backlash_cfg[k].load()) ? state.backlash_cfg[k].load() : 0;
    }
    store.WriteInt(kSettingsSection, BacklashKey(k), steps);
  }
}

void SettingsPush() {
  host::PlannerBlock* planner = state.planner.load();
  if (planner == nullptr) return;
  host::Store(planner->queue_limit, state.lim_buffer.load());
  host::Store(planner->segment_time, state.seg_len.load() * 1e-6);
  host::Store(planner->settings_applied, 1);
  if (const std::int32_t refused = refused_seg_len.exchange(0); refused != 0) {
    status_printf("seg_len %d us is outside %d..%d us: the segment period stays %d us", refused == -1 ? 0 : refused,
                  kMinSegLenUs, kMaxSegLenUs, kDefaultSegLenUs);
  }
}

}  // namespace kv
