// The pendant's display record: DROs, steps, layer and hand-wheel selection as the pendant
// shows them, 51 bytes little-endian.
#include <cstdint>

#include "motion/motion_stream.h"  // TruncToInt32
#include "motion/pendant.h"
#include "motion/pendant_host.h"
#include "runtime/le_bytes.h"
#include "shell/host_access.h"
#include "shell/plugin_state.h"

namespace kv {
namespace {

// Where each value sits in the record.
constexpr std::size_t kAxisDros = 0;      // 6 x int32: DRO 800 + k in thousandths
constexpr std::size_t kDroStepClass = 24;
constexpr std::size_t kEstop = 25;
constexpr std::size_t kJogMode = 26;
constexpr std::size_t kSpindleSpeed = 27;  // int32
constexpr std::size_t kSpindleOn = 31;
constexpr std::size_t kDro821 = 32;
constexpr std::size_t kDro3 = 33;
constexpr std::size_t kDro74 = 34;
constexpr std::size_t kArmed = 35;
constexpr std::size_t kLayer = 36;
constexpr std::size_t kWheelAxis = 37;
constexpr std::size_t kWheelStepClass = 38;  // int32
constexpr std::size_t kReservedA = 42;       // 4 bytes
constexpr std::size_t kEnabledAxes = 46;     // int32 bit mask
constexpr std::size_t kReservedB = 50;
constexpr std::uint8_t kReserved = 0xCC;

std::uint8_t DroStepClass(double v) {
  if (v < 0.0002) return 0;
  if (v < 0.002) return 1;
  if (v < 0.02) return 2;
  if (v < 0.2) return 3;
  return 4;
}

std::int32_t WheelStepClass(double step) {
  if (step > 999.99) return 3;
  if (step > 99.99) return 2;
  if (step > 9.99) return 1;
  return 0;
}

std::uint8_t LowByte(std::int32_t v) { return static_cast<std::uint8_t>(v & 0xFF); }
std::uint8_t DroLowByte(std::int16_t dro) { return LowByte(TruncToInt32(pendant_host::GetDro(dro))); }

}  // namespace

PendantRecord PendantChannel::BuildRecord() const {
  PendantRecord r{};
  std::uint8_t* at = r.data();
  for (int k = 0; k < host::kAxes; ++k) {
    const double dro = pendant_host::GetDro(static_cast<std::int16_t>(800 + k));
    PutLe<std::int32_t>(at + kAxisDros + 4 * static_cast<std::size_t>(k), TruncToInt32(dro * 1000.0));
  }
  r[kDroStepClass] = DroStepClass(pendant_host::GetDro(828));

  if (const host::EngineBlock* engine = state.engine.load(std::memory_order_acquire)) {
    r[kEstop] = host::Load(engine->estop) != 0 ? 1 : 0;
    std::int32_t enabled = 0;
    for (int k = 0; k < host::kAxes; ++k) {
      if (host::Load(engine->axis_enabled[k]) != 0) enabled |= 1 << k;
    }
    PutLe<std::int32_t>(at + kEnabledAxes, enabled);
  }
  if (const host::PlannerBlock* planner = state.planner.load(std::memory_order_acquire)) {
    r[kJogMode] = LowByte(host::Load(planner->jog_mode));
    PutLe<std::int32_t>(at + kSpindleSpeed, TruncToInt32(host::Load(planner->spindle_speed)));
    r[kSpindleOn] = host::Load(planner->spindle_on) != 0 ? 1 : 0;
    r[kWheelAxis] = LowByte(host::Load(planner->mpg_axis));
    PutLe<std::int32_t>(at + kWheelStepClass, WheelStepClass(host::Load(planner->mpg_step)));
  }
  r[kDro821] = DroLowByte(821);
  r[kDro3] = DroLowByte(3);
  r[kDro74] = DroLowByte(74);
  r[kArmed] = arm_a() || arm_b() || arm_c() ? 1 : 0;
  r[kLayer] = shift() ? 1 : alt() ? 3 : 2;
  for (std::size_t i = 0; i < 4; ++i) r[kReservedA + i] = kReserved;
  r[kReservedB] = kReserved;
  return r;
}

}  // namespace kv
