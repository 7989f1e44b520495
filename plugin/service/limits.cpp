// Input scan, stop reports and the soft-limit check.
#include "service/limits.h"

#include <atomic>
#include <cstdint>

#include "runtime/action_queue.h"
#include "runtime/diagnostics.h"
#include "shell/host_access.h"
#include "shell/plugin_state.h"

namespace kv {
namespace {

// Written and read only on the link thread that runs the parser; atomic because the
// transport that runs it may change between connections.
std::atomic<bool> limit_seen{false};     // a limit input is active in the current scan
std::atomic<bool> limit_latched{false};  // a limit has been active since the last clear scan

constexpr int kSoftLimitChecks = 12;
constexpr std::int16_t kSoftLimitDroBase = 150;

bool IsLimitInput(int i) { return i < 18 && i % 3 != 2; }

void SignalStep(host::EngineBlock& engine, int i, bool active) {
  if (!active) return;
  if (IsLimitInput(i)) {
    limit_seen = true;
    if (!limit_latched) {
      limit_latched = true;
      if (!host::Load(engine.limit_override) && !host::Load(engine.estop)) host::Store(engine.estop, 1);
    }
  } else if (i == kEstopInput) {
    if (!host::Load(engine.estop)) {
      host::Store(engine.estop, 1);
      ActionPost(ACTION_ESTOP);
    }
  }
}

void ClearSoftLimitReport(host::EngineBlock& engine) {
  if (host::Load(engine.softlimit_reported)) {
    host::Store(engine.softlimit_reported, 0);
    status_printf("%s", "");
  }
}

}  // namespace

void StopReport() {
  host::EngineBlock* engine = state.engine.load();
  if (engine == nullptr) return;
  std::uint64_t tripped = state.tripped_inputs.load();
  if ((tripped & state.stop_mask.load()) != 0 && !host::Load(engine->estop)) {
    if (tripped & 1) status_printf("MPG Estop Triggered");
    host::Store(engine->estop, 1);
  }
}

void InputScan() {
  host::EngineBlock* engine = state.engine.load();
  if (engine == nullptr || host::Load(engine->input_scan_off)) return;
  limit_seen = false;
  std::uint64_t bits = state.input_bits.load();
  for (int i = 0; i < host::kInputSignals; ++i) {
    host::InputSignal& in = engine->input_signal[i];
    if (host::Load(in.excluded)) continue;
    std::uint8_t pin = host::Load(in.pin);
    if (host::Load(in.enabled) && host::Load(in.port) == 1 && pin >= 1 && pin <= 63) {
      bool active = (bits >> pin) & 1;
      host::Store(in.state, active ? 1 : 0);
      SignalStep(*engine, i, active);
    } else {
      host::Store(in.state, 0);
    }
  }
  if (limit_latched && !limit_seen) limit_latched = false;
  if (host::Load(engine->limit_override) && limit_seen) {
    status_printf("limit trigger");
    host::Store(engine->limit_override, 0);
  }
}

void SoftLimitCheck() {
  host::EngineBlock* engine = state.engine.load();
  host::PlannerBlock* planner = state.planner.load();
  if (engine == nullptr || planner == nullptr) return;
  const host::InputSignal& bypass = engine->input_signal[kLimitBypassInput];
  if (host::Load(bypass.enabled) && host::Load(bypass.state)) return;
  if (!host::Load(engine->softlimits_enabled) || host::Load(engine->softlimit_armed) == 0) {
    for (auto& flag : state.softlimit_tripped) flag = false;
    ClearSoftLimitReport(*engine);
    return;
  }
  // Without the host's DROs there are no limits to compare with; a 0.0 taken for each one
  // would trip every axis away from zero and raise E-stop.
  host::GetDroFn get_dro = state.GetDRO.load();
  if (get_dro == nullptr) return;
  bool any = false;
  int newest = -1;
  for (int i = 0; i < kSoftLimitChecks; ++i) {
    double x = get_dro(static_cast<std::int16_t>(kSoftLimitDroBase + i));
    double p = host::Load(planner->softlimit_position[i % 6]);
    bool trips = i < 6 ? p > x : p < x;  // a NaN never trips
    if (trips) {
      any = true;
      if (!state.softlimit_tripped[i].exchange(true)) newest = i;
    } else {
      state.softlimit_tripped[i] = false;
    }
  }
  if (any && newest != -1) {
    host::Store(engine->softlimit_reported, 1);
    ActionPost(ACTION_ESTOP);
    status_printf("axis %d limit %s triggered!", newest % 6, newest < 6 ? "-" : "+");
  }
  if (!any) ClearSoftLimitReport(*engine);
}

}  // namespace kv
