// Pendant key maps and key actions: what each common key code does to the host and the board.
#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdint>

#include "motion/jog.h"
#include "motion/motion_stream.h"  // TruncToInt32
#include "motion/pendant.h"
#include "motion/pendant_host.h"
#include "shell/host_access.h"
#include "shell/plugin_state.h"

namespace kv {
namespace {

constexpr std::array<std::uint8_t, 12> kMap17 = {0, 0, 38, 36, 12, 21, 37, 9, 13, 0, 0, 0};
constexpr std::array<std::uint8_t, 12> kMap19 = {0, 0, 38, 37, 33, 36, 22, 21, 23, 42, 28, 25};
constexpr std::array<std::uint8_t, 28> kMap18 = {0,  0,  25, 26, 32, 28, 6,  4,  29, 30, 3,  0,  2,  31,
                                                 7,  5,  40, 24, 22, 21, 23, 33, 12, 10, 9,  8,  13, 11};
constexpr std::array<std::uint8_t, 30> kMap20 = [] {
  std::array<std::uint8_t, 30> map{};
  for (std::size_t i = 0; i < map.size(); ++i) map[i] = static_cast<std::uint8_t>(i + 1);
  return map;
}();

constexpr std::array<PendantKeyMap, 4> kKeyMaps = {{
    {17, kMap17},
    {18, kMap18},
    {19, kMap19},
    {20, kMap20},
}};

// The common key codes with an action of their own (jogs and axis keys come in ranges).
enum class KeyCode : std::int32_t {
  kJogFirst = 2,        // 2 + 2k: axis k positive, 3 + 2k: negative
  kJogLast = 13,
  kAxisKeyFirst = 14,   // 14 + k: the axis key of axis k
  kAxisKeyLast = 19,
  kShift = 20,
  kZeroLines = 21,
  kFamilyA = 22,
  kFamilyC = 23,
  kLayer = 24,
  kButton1000 = 25,
  kButton1001 = 26,
  kButton1003 = 27,
  kDisarm = 28,
  kJogMode = 29,
  kUp = 30,
  kDown = 31,
  kButton1002 = 32,
  kButton110 = 33,
  kButton173 = 34,
  kDroStep = 35,
  kWheelStep = 36,
  kWheelAxisNext = 37,
  kWheelAxisPrevious = 38,
  kResend = 39,
  kDro3Toggle = 40,
  kHalve = 42,
  kRelease = 128,       // 128 + code: the release of a key
  kJogReleaseFirst = 130,
  kJogReleaseLast = 141,
  kShiftRelease = 148,
};

constexpr std::int32_t Code(KeyCode code) { return static_cast<std::int32_t>(code); }

constexpr int kNoAxis = 6;
constexpr std::array<const char*, host::kAxes> kZeroAxisLines = {"G0X0", "G0Y0", "G0Z0", "G0A0", "G0B0", "G0C0"};

// The DRO 3 value the toggle key returns to (process-wide, like the DRO itself).
std::atomic<double> saved_dro3{10.0};

// The planner's hand-wheel axis; anything outside 0..6 counts as no axis.
std::int32_t WheelAxis(const host::PlannerBlock& planner) {
  const std::int32_t axis = host::Load(planner.mpg_axis);
  return axis >= 0 && axis <= kNoAxis ? axis : kNoAxis;
}

bool AxisEnabled(int axis) {
  const host::EngineBlock* engine = state.engine.load(std::memory_order_acquire);
  return engine != nullptr && host::Load(engine->axis_enabled[axis]) != 0;
}

// The next (or previous) hand-wheel axis that is enabled, through 6 (none).
std::int32_t StepWheelAxis(std::int32_t axis, bool forward) {
  do {
    if (forward) {
      axis = axis == kNoAxis ? 0 : axis + 1;
      if (axis > 5) axis = kNoAxis;
    } else {
      axis = axis - 1;
      if (axis < 0) axis = kNoAxis;
    }
  } while (axis != kNoAxis && !AxisEnabled(axis));
  return axis;
}

// The hand-wheel step cycle 1 -> 10 -> 100 -> 1.
double NextWheelStep(double step) {
  if (step > 99.99) return 1.0;
  if (step > 9.99) return 100.0;
  if (step > 0.99) return 10.0;
  return step;
}

// The DRO 828 step cycle 0.001 -> 0.01 -> 0.1 -> 1 -> 0.001.
double NextDroStep(double v) {
  if (v < 0.0002) return 0.001;
  if (v < 0.002) return 0.01;
  if (v < 0.02) return 0.1;
  if (v < 0.2) return 1.0;
  return 0.001;
}

// Up adds 5 and stops at 200; down takes 5 and stops at 0. Each bounds only its own way, so
// "down" from an override set above 200 elsewhere lowers it by 5 instead of jumping to 200.
void NudgeDro(std::int16_t dro, bool up) {
  if (!pendant_host::CanReadAndWriteDros()) return;
  const double v = pendant_host::GetDro(dro);
  pendant_host::SetDro(dro, up ? std::min(v + 5.0, 200.0) : std::max(v - 5.0, 0.0));
}

// Halves the selected axis's coordinate: the offset takes half of it, and the host's position
// follows at once.
void Halve(const host::PlannerBlock& planner) {
  const std::int32_t a = WheelAxis(planner);
  if (a == kNoAxis) return;
  host::EngineBlock* engine = state.engine.load(std::memory_order_acquire);
  if (engine == nullptr) return;
  const std::int32_t half = TruncToInt32(host::Load(planner.axis_coord[a]) / 2.0 * host::Load(planner.steps_per_unit[a]));
  const std::int32_t offset = state.pos_offset[a].fetch_sub(half, std::memory_order_acq_rel) - half;
  host::Store(engine->axis_position[a], state.board_pos[a].load(std::memory_order_acquire) + offset);
  host::Store(engine->position_changed, std::uint8_t{1});
}

bool UsesKvMpg() { return state.mpg_src.load(std::memory_order_acquire) == 1; }

}  // namespace

const PendantKeyMap* PendantKeyMapFor(std::uint8_t kind) {
  for (const PendantKeyMap& map : kKeyMaps) {
    if (map.kind == kind) return &map;
  }
  return nullptr;
}

std::int32_t PendantTranslate(const PendantKeyMap& map, std::uint8_t key_byte) {
  const bool release = key_byte > 128;
  const std::size_t index = release ? key_byte - 128u : key_byte;
  const std::int32_t code = index < map.entries.size() ? map.entries[index] : 0;
  return release ? Code(KeyCode::kRelease) + code : code;
}

void PendantChannel::Arm(std::atomic<bool>& family) {
  Disarm();
  family.store(true, std::memory_order_release);
}

void PendantChannel::Disarm() {
  arm_a_.store(false, std::memory_order_release);
  arm_b_.store(false, std::memory_order_release);
  arm_c_.store(false, std::memory_order_release);
}

// The go-to-zero lines: the selected axis alone, or every axis with Z last.
void PendantChannel::ZeroLines(std::int32_t axis) {
  if (axis >= 0 && axis < host::kAxes) {
    pendant_host::Line(kZeroAxisLines[axis]);
    return;
  }
  pendant_host::Line("G0X0Y0A0B0C0");
  pendant_host::Line("G0Z0");
}

// An axis key performs what the armed family stands for.
void PendantChannel::ZeroAxisKey(int axis) {
  if (arm_a()) {
    pendant_host::Button(static_cast<std::int16_t>(1022 + axis));
  } else if (arm_b()) {
    pendant_host::Line(kZeroAxisLines[axis]);
  } else if (arm_c()) {
    pendant_host::Button(static_cast<std::int16_t>(1008 + axis));
  }
}

// shift -> alt -> plain -> shift.
void PendantChannel::LayerCycle() {
  if (shift()) {
    shift_.store(false, std::memory_order_release);
    alt_.store(true, std::memory_order_release);
  } else if (alt()) {
    alt_.store(false, std::memory_order_release);
  } else {
    shift_.store(true, std::memory_order_release);
  }
}

void PendantChannel::Key(std::int32_t code) {
  if (code >= Code(KeyCode::kJogFirst) && code <= Code(KeyCode::kJogLast)) {
    const int k = code - Code(KeyCode::kJogFirst);
    JogOn(static_cast<std::int16_t>(k / 2), static_cast<std::int16_t>(k % 2), 0.0);
    return;
  }
  if (code >= Code(KeyCode::kJogReleaseFirst) && code <= Code(KeyCode::kJogReleaseLast)) {
    JogOff(static_cast<std::int16_t>((code - Code(KeyCode::kJogReleaseFirst)) / 2));
    return;
  }
  if (code >= Code(KeyCode::kAxisKeyFirst) && code <= Code(KeyCode::kAxisKeyLast)) {
    ZeroAxisKey(code - Code(KeyCode::kAxisKeyFirst));
    return;
  }

  host::PlannerBlock* planner = state.planner.load(std::memory_order_acquire);
  const bool standard_kind = kind() == 17 || kind() == 19;
  switch (static_cast<KeyCode>(code)) {
    case KeyCode::kShift: shift_.store(true, std::memory_order_release); break;
    case KeyCode::kShiftRelease: shift_.store(false, std::memory_order_release); break;
    case KeyCode::kZeroLines:
      if (standard_kind) {
        if (planner != nullptr) ZeroLines(WheelAxis(*planner));
      } else if (kind() == 18) {
        if (arm_b()) {
          arm_b_.store(false, std::memory_order_release);
          ZeroLines(kNoAxis);
        } else {
          Arm(arm_b_);
        }
      }
      break;
    case KeyCode::kFamilyA:
      if (standard_kind) {
        if (planner == nullptr) break;
        const std::int32_t axis = WheelAxis(*planner);
        pendant_host::Button(static_cast<std::int16_t>(axis < host::kAxes ? 1022 + axis : 105));
      } else if (kind() == 18) {
        if (arm_a()) {
          arm_a_.store(false, std::memory_order_release);
          pendant_host::Button(105);
        } else {
          Arm(arm_a_);
        }
      }
      break;
    case KeyCode::kFamilyC:
      if (standard_kind) {
        if (planner == nullptr) break;
        const std::int32_t axis = WheelAxis(*planner);
        pendant_host::Button(static_cast<std::int16_t>(axis < host::kAxes ? 1008 + axis : 1007));
      } else if (kind() == 18) {
        if (arm_c()) {
          arm_c_.store(false, std::memory_order_release);
          pendant_host::Button(1007);
        } else {
          Arm(arm_c_);
        }
      }
      break;
    case KeyCode::kLayer: LayerCycle(); break;
    case KeyCode::kButton1000: pendant_host::Button(1000); break;
    case KeyCode::kButton1001: pendant_host::Button(1001); break;
    case KeyCode::kButton1003: pendant_host::Button(1003); break;
    case KeyCode::kDisarm:
      if (AnyArmed()) {
        Disarm();
      } else {
        pendant_host::Button(1021);
      }
      break;
    case KeyCode::kJogMode:
      if (planner != nullptr) host::Store(planner->jog_mode, host::Load(planner->jog_mode) != 0 ? 0 : 1);
      break;
    case KeyCode::kUp:
    case KeyCode::kDown: {
      const bool up = code == Code(KeyCode::kUp);
      if (shift()) {
        NudgeDro(821, up);
      } else if (alt()) {
        NudgeDro(74, up);
      } else if (planner != nullptr && host::Load(planner->jog_mode) == 0) {
        pendant_host::Button(up ? 111 : 112);
      }
      break;
    }
    case KeyCode::kButton1002: pendant_host::Button(1002); break;
    case KeyCode::kButton110: pendant_host::Button(110); break;
    case KeyCode::kButton173: pendant_host::Button(173); break;
    case KeyCode::kDroStep:
      if (pendant_host::CanReadAndWriteDros()) pendant_host::SetDro(828, NextDroStep(pendant_host::GetDro(828)));
      break;
    case KeyCode::kWheelStep:
      if (UsesKvMpg() && planner != nullptr) host::Store(planner->mpg_step, NextWheelStep(host::Load(planner->mpg_step)));
      break;
    case KeyCode::kWheelAxisNext:
    case KeyCode::kWheelAxisPrevious:
      if (UsesKvMpg() && planner != nullptr) {
        const bool forward = code == Code(KeyCode::kWheelAxisNext);
        host::Store(planner->mpg_axis, StepWheelAxis(WheelAxis(*planner), forward));
      }
      break;
    case KeyCode::kResend: resend_.store(true, std::memory_order_release); break;
    case KeyCode::kDro3Toggle: {
      if (!pendant_host::CanReadAndWriteDros()) break;
      const double v = pendant_host::GetDro(3);
      if (std::fabs(v - 10.0) > 1.0) {
        saved_dro3.store(v, std::memory_order_release);
        pendant_host::SetDro(3, 10.0);
      } else {
        pendant_host::SetDro(3, saved_dro3.load(std::memory_order_acquire));
      }
      break;
    }
    case KeyCode::kHalve:
      if (planner != nullptr) Halve(*planner);
      break;
    default: break;  // no action of its own
  }
}

}  // namespace kv
