// Configuration download: the board's copy of the machine configuration, kept current by sending
// only the parameters that differ from what was last sent.
// The parameters are one constexpr table; each has its current value and its last-sent copy as
// wire bytes, so comparing, appending and recording a parameter is one loop over the table.
// Current values belong to the scheduler thread. The last-sent copies are also written by the
// link thread (service start, the board's polarities), so they sit behind a small mutex; the
// figures other threads set (pulse figure, spindle values) are atomics read when appending.
#include "motion/config_download.h"

#include <algorithm>  // std::equal, std::copy, std::fill
#include <array>
#include <atomic>
#include <cmath>   // std::isnan
#include <limits>
#include <memory>  // std::make_unique
#include <mutex>

#include "link/link_interface.h"
#include "motion/supervisor.h"
#include "runtime/commands.h"
#include "runtime/le_bytes.h"
#include "runtime/packet_buffer.h"
#include "shell/host_access.h"
#include "shell/plugin_state.h"

namespace kv {
namespace {

// ---- the parameter table -------------------------------------------------------------------

enum class Param : std::uint8_t {
  kPulseFigure, kSpindlePwm, kSpindleDuty, kEMask, kEValid, kMpgAxisSel, kMpgEnabled,
  kMpgStepFix, kOutputLevels, kSoftlimitMask, kInputNeg, kOutputLowMask, kMotorPolarity,
  kMaxSpeed, kSlaveMap, kAccelFix, kBacklashAmount, kBacklashCfg, kBacklashRateFix, kAccel2Fix,
  kSoftlimitSteps, kPinMap, kOption48, kOutputsUsed, kInputsUsed, kAuxPair, kCount
};

struct ParamLayout {
  std::uint8_t code;           // record code: 0xC9 parameter or 0xDE polarity
  std::uint8_t id;             // parameter id or polarity sub-code
  std::uint8_t element_bytes;  // 1, 4 or 8
  std::uint8_t count;          // elements
  constexpr std::size_t width() const { return std::size_t{element_bytes} * count; }
};

constexpr std::uint8_t kTag = wire::PARAM_TAG;
constexpr std::uint8_t kPolarity = wire::STATUS_POLL;

// In the order the records are appended.
constexpr std::array<ParamLayout, static_cast<std::size_t>(Param::kCount)> kParams{{
    {kTag, 34, 4, 1},  {kTag, 21, 4, 1},       {kTag, 22, 4, 1},       {kTag, 23, 8, 1},
    {kTag, 24, 8, 1},  {kTag, 37, 1, 1},       {kTag, 39, 1, 1},       {kTag, 38, 8, 1},
    {kTag, 35, 4, 1},  {kTag, 45, 4, 1},       {kPolarity, 5, 8, 1},   {kPolarity, 69, 4, 1},
    {kPolarity, 101, 4, 1}, {kTag, 26, 4, 6},  {kTag, 33, 1, 6},       {kTag, 27, 4, 6},
    {kTag, 40, 4, 6},  {kTag, 41, 4, 6},       {kTag, 43, 4, 6},       {kTag, 46, 4, 6},
    {kTag, 44, 4, 12}, {kTag, 47, 1, 12},      {kTag, 48, 1, 1},       {kTag, 49, 4, 1},
    {kTag, 50, 4, 1},  {kTag, 51, 1, 2},
}};

constexpr std::array<std::size_t, kParams.size() + 1> kOffsets = [] {
  std::array<std::size_t, kParams.size() + 1> at{};
  for (std::size_t i = 0; i < kParams.size(); ++i) at[i + 1] = at[i] + kParams[i].width();
  return at;
}();
constexpr std::size_t kValueBytes = kOffsets.back();
// Every record at once: more than one frame carries, hence the fit check when appending.
static_assert(kValueBytes + 2 * kParams.size() == 335);

using ValueBytes = std::array<std::uint8_t, kValueBytes>;

constexpr std::size_t Index(Param p) { return static_cast<std::size_t>(p); }

std::span<std::uint8_t> Slice(ValueBytes& area, std::size_t i) {
  return std::span<std::uint8_t>(area).subspan(kOffsets[i], kParams[i].width());
}

template <typename T>
void Put(ValueBytes& area, Param p, T value, std::size_t element = 0) {
  static_assert(sizeof(T) == 1 || sizeof(T) == 4 || sizeof(T) == 8);
  const ParamLayout& layout = kParams[Index(p)];
  if (sizeof(T) != layout.element_bytes || element >= layout.count) return;  // a wrong call writes nothing
  PutLe(area.data() + kOffsets[Index(p)] + element * sizeof(T), value);
}

template <typename T>
T Get(const ValueBytes& area, Param p, std::size_t element = 0) {
  return GetLe<T>(area, kOffsets[Index(p)] + element * sizeof(T));
}

// ---- module state ----------------------------------------------------------------------------

constexpr std::array<int, 12> kLimitInputs{0, 1, 3, 4, 6, 7, 9, 10, 12, 13, 15, 16};
constexpr int kSpecialSlot = 13;
constexpr int kBypassFirstSlot = 12;
constexpr std::uint8_t kBoardInputPort = 1;
constexpr std::uint8_t kBoardOutputPort = 2;
constexpr std::uint8_t kNoBoardPort = 6;
constexpr int kToggleOutput = 13;
constexpr std::int32_t kNoAxis = 6;
constexpr std::int32_t kJogModeHandWheel = 2;
constexpr std::int16_t kUpperLimitDro = 150;
constexpr std::int16_t kLowerLimitDro = 156;

std::array<std::uint8_t, kParamBufferSize> param_buffer{};

// Scheduler thread only.
ValueBytes current{};
std::array<std::int32_t, 14> watched_inputs{0, 1, 3, 4, 6, 7, 9, 10, 12, 13, 15, 16, kEstopInput, -1};
std::array<bool, 17> limits_held{};
std::int32_t saved_jog_mode = -1;
std::uint32_t toggle_count = 0;  // unsigned: it wraps (keeping its parity) instead of overflowing
std::uint64_t ineg_assigned = 0;  // input pins some enabled input claims
std::uint64_t ineg_low = 0;       // their active-low bits

// Set from other threads.
std::atomic<bool> limits_bypassed{false};
std::atomic<std::uint16_t> spindle_duty{0};     // host thread (Notify), cleared by service start
std::atomic<std::uint16_t> spindle_pwm_fig{0};  // host thread (Notify)
std::atomic<std::uint16_t> pulse_fig{0};        // link thread (pulse-rate update)
std::atomic<HomingAxisFn> homing_axis_source{nullptr};

// protects the last-sent copies below: the scheduler compares and records them while the link
// thread zeroes them (service start) and stores the board's polarities (status reply)
struct LastSent {
  std::mutex lock;
  ValueBytes bytes{};
  std::uint32_t generation = 0;  // counts service starts
};
LastSent sent;

// ---- conversions -----------------------------------------------------------------------------

// Truncates toward zero; NaN gives 0 and values beyond the type saturate, so no conversion of an
// absurd host value is undefined.
template <typename Int>
Int TruncSaturate(double v) {
  constexpr double kLow = static_cast<double>(std::numeric_limits<Int>::min());
  constexpr double kHigh = static_cast<double>(std::numeric_limits<Int>::max());
  if (std::isnan(v)) return 0;
  if (v <= kLow) return std::numeric_limits<Int>::min();
  if (v >= kHigh) return std::numeric_limits<Int>::max();
  return static_cast<Int>(v);
}

std::int32_t SaturateInt32(std::int64_t v) {
  return static_cast<std::int32_t>(std::clamp<std::int64_t>(v, std::numeric_limits<std::int32_t>::min(),
                                                            std::numeric_limits<std::int32_t>::max()));
}

constexpr std::int64_t kFixOne = std::int64_t{1} << 32;            // 1.0 with 32 fractional bits
constexpr std::int64_t kMaxWhole = std::numeric_limits<std::int64_t>::max() / kFixOne;

std::int64_t SaturateBySign(std::int64_t sign_of) {
  return sign_of < 0 ? std::numeric_limits<std::int64_t>::min() : std::numeric_limits<std::int64_t>::max();
}

// t × 2^32, saturated where it does not fit 64 bits.
std::int64_t ToFix32(std::int64_t t) {
  if (t > kMaxWhole || t < -kMaxWhole) return SaturateBySign(t);
  return t * kFixOne;
}

// (t × 2^32) / 1000, truncated toward zero. Split into whole thousands and a remainder, so the
// result is exact wherever it fits 64 bits even when t × 2^32 itself would not; beyond, saturated.
std::int64_t ToFix32PerThousand(std::int64_t t) {
  const std::int64_t thousands = t / 1000;
  const std::int64_t rest = t % 1000;  // same sign as t
  if (thousands > kMaxWhole || thousands < -kMaxWhole) return SaturateBySign(t);
  return thousands * kFixOne + rest * kFixOne / 1000;
}

// ---- helpers over the host blocks ------------------------------------------------------------

bool IsSet(std::uint8_t flag) { return flag != 0; }

bool PinIn(std::uint64_t bits, std::int32_t pin) {
  return pin > 0 && pin < 64 && ((bits >> pin) & 1u) != 0;  // other pins name no board input
}

bool IsHomeInput(int n) { return n >= 0 && n <= HomeInput(host::kAxes - 1) && n % 3 == 2; }

int HomingAxis() {
  HomingAxisFn source = homing_axis_source.load(std::memory_order_acquire);
  return source != nullptr ? source() : SupervisorHomingAxis();
}

// The board input pin 1..63 an input is assigned to, or 0 when it counts towards no mask. The pin
// is read once, so a host changing it meanwhile cannot make a shift go past 63.
int BoardInputPin(const host::InputSignal& in) {
  const std::uint8_t pin = host::Load(in.pin);
  const bool assigned = IsSet(host::Load(in.enabled)) && !IsSet(host::Load(in.excluded)) &&
                        host::Load(in.port) == kBoardInputPort;
  return assigned && pin > 0 && pin < 64 ? pin : 0;
}

// ---- the computations ------------------------------------------------------------------------

// Homing takes the limits on the home switch's port out of service; afterwards they return.
void HoldLimitsForHoming(host::EngineBlock& engine) {
  if (IsSet(host::Load(engine.homing_active))) {
    const int axis = HomingAxis();
    if (axis < 0 || axis >= host::kAxes) return;  // no known axis: no home input to compare with
    const std::uint8_t home_port = host::Load(engine.input_signal[HomeInput(axis)].port);
    for (int i : kLimitInputs) {
      host::InputSignal& limit = engine.input_signal[i];
      if (host::Load(limit.port) == home_port && IsSet(host::Load(limit.enabled))) {
        host::Store(limit.enabled, 0);
        limits_held[i] = true;
      }
    }
    return;
  }
  for (int i : kLimitInputs) {
    if (!limits_held[i]) continue;
    host::Store(engine.input_signal[i].enabled, 1);
    limits_held[i] = false;
  }
}

void ComputeMasks(host::EngineBlock& engine) {
  const bool homing = IsSet(host::Load(engine.homing_active));
  const int homing_axis = homing ? HomingAxis() : -1;
  // A limit wired to its axis's home pin leaves the board's masks while that axis homes.
  for (int k = 0; k < host::kAxes; ++k) {
    const host::InputSignal& home = engine.input_signal[HomeInput(k)];
    if (!IsSet(host::Load(home.enabled)) || IsSet(host::Load(home.excluded))) continue;
    for (int i : {LimitInputA(k), LimitInputB(k)}) {
      host::InputSignal& limit = engine.input_signal[i];
      if (!IsSet(host::Load(limit.enabled)) || IsSet(host::Load(limit.excluded)) ||
          host::Load(limit.pin) != host::Load(home.pin))
        continue;
      if (homing && k == homing_axis) {
        host::Store(limit.port, kNoBoardPort);
        host::Store(limit.state, 0);
      } else {
        host::Store(limit.port, kBoardInputPort);
      }
    }
  }

  const host::InputSignal& bypass = engine.input_signal[kLimitBypassInput];
  const bool bypassed = IsSet(host::Load(bypass.enabled)) && IsSet(host::Load(bypass.state));
  limits_bypassed.store(bypassed);

  std::uint64_t emask = 1;  // bit 0: the pendant's E-stop
  std::uint64_t evalid = 0;
  for (int s = bypassed ? kBypassFirstSlot : 0; s <= kSpecialSlot; ++s) {
    const std::int32_t n = watched_inputs[s];
    const int pin = n >= 0 && n < host::kInputSignals ? BoardInputPin(engine.input_signal[n]) : 0;
    if (pin != 0) {
      const std::uint64_t bit = std::uint64_t{1} << pin;
      emask |= bit;
      evalid = IsHomeInput(n) ? (evalid | bit) : (evalid & ~bit);
    }
    if (s == kBypassFirstSlot) state.stop_mask.store(emask);  // without the special input
  }
  Put(current, Param::kEMask, emask);
  Put(current, Param::kEValid, evalid);
}

// Pin p of an output on the board's output port, or -1.
int OutputPin(const host::OutputSignal& out) {
  std::uint8_t pin = host::Load(out.pin);
  return IsSet(host::Load(out.enabled)) && host::Load(out.port) == kBoardOutputPort && pin < 30 ? pin : -1;
}

void ComputeOutputLevels(const host::EngineBlock& engine) {
  std::uint32_t levels = 0;
  for (const host::OutputSignal& out : engine.output_signal) {
    const int pin = OutputPin(out);
    if (pin < 0) continue;
    const std::uint32_t bit = 1u << pin;
    levels = IsSet(host::Load(out.state)) ? (levels | bit) : (levels & ~bit);
  }
  // Output 13 alternates on every computation while it is assigned.
  if (const int pin = OutputPin(engine.output_signal[kToggleOutput]); pin >= 0) {
    const std::uint32_t bit = 1u << pin;
    levels = (toggle_count % 2 != 0) ? (levels | bit) : (levels & ~bit);
    ++toggle_count;
  }
  Put(current, Param::kOutputLevels, levels >> 1);  // pin 1 is bit 0
}

void ComputeHandWheel(const host::EngineBlock& engine, host::PlannerBlock& planner) {
  const std::uint8_t* enable_ref = host::Load(planner.mpg_enable_ref);
  bool enabled = host::Load(planner.jog_mode) == kJogModeHandWheel && enable_ref != nullptr &&
                 IsSet(host::Load(*enable_ref)) && !IsSet(host::Load(engine.estop));
  const std::uint64_t inputs = state.input_bits.load();
  const bool from_selectors = state.mpg_src.load() == 0;

  if (from_selectors) {
    const MpgAxisInput* selected = nullptr;
    for (const MpgAxisInput& in : state.mpg_axis_inputs) {
      if (PinIn(inputs, in.pin.load())) {
        selected = &in;
        break;
      }
    }
    if (selected != nullptr) {
      const auto axis = static_cast<std::uint8_t>(selected->axis.load() & 0xFF);
      Put(current, Param::kMpgAxisSel, axis);
      host::Store(planner.mpg_axis, axis);
      if (const std::int32_t mode = host::Load(planner.jog_mode); mode != kJogModeHandWheel) {
        saved_jog_mode = mode;
        host::Store(planner.jog_mode, kJogModeHandWheel);
      }
    } else {
      host::Store(planner.mpg_axis, kNoAxis);  // the axis selection sent stays as it was
      enabled = false;
    }
  } else {
    Put(current, Param::kMpgAxisSel, static_cast<std::uint8_t>(host::Load(planner.mpg_axis) & 0xFF));
  }
  Put(current, Param::kMpgEnabled, static_cast<std::uint8_t>(enabled ? 1 : 0));

  // A step selector gives thousandths of a unit of the axis the wheel drives, so its factor is
  // that axis's steps per unit (on a machine whose axes differ in resolution any other axis's
  // would move the wrong distance). With no axis selected, the selector's own index stands in.
  std::int64_t step_fix = ToFix32(TruncSaturate<std::int64_t>(host::Load(planner.mpg_step)));
  if (from_selectors) {
    const std::int32_t wheel_axis = host::Load(planner.mpg_axis);
    for (std::size_t i = 0; i < state.mpg_step_inputs.size(); ++i) {
      const MpgStepInput& in = state.mpg_step_inputs[i];
      if (!PinIn(inputs, in.pin.load())) continue;
      const std::size_t axis = wheel_axis >= 0 && wheel_axis < host::kAxes ? static_cast<std::size_t>(wheel_axis) : i;
      const double steps = static_cast<double>(in.step.load()) * host::Load(planner.steps_per_unit[axis]);
      step_fix = ToFix32PerThousand(TruncSaturate<std::int64_t>(steps));
      break;
    }
  }
  Put(current, Param::kMpgStepFix, static_cast<std::uint64_t>(step_fix));

  // No hand-wheel axis: leave the hand-wheel jog mode for the one it replaced.
  if (host::Load(planner.mpg_axis) == kNoAxis && host::Load(planner.jog_mode) == kJogModeHandWheel) {
    host::Store(planner.jog_mode, saved_jog_mode != -1 ? saved_jog_mode : 0);
    saved_jog_mode = -1;
  }
}

void ComputeAxes(const host::EngineBlock& engine, const host::PlannerBlock& planner) {
  const bool backlash = IsSet(host::Load(engine.backlash_enabled));
  const double segment_s = host::Load(planner.segment_time);
  for (int k = 0; k < host::kAxes; ++k) {
    const auto at = static_cast<std::size_t>(k);
    Put(current, Param::kBacklashAmount, backlash ? host::Load(engine.backlash_steps[k]) : std::int32_t{0}, at);
    Put(current, Param::kBacklashCfg, state.backlash_cfg[at].load(), at);
    // Unsigned, so that no master number can overflow; the board takes the low byte.
    const auto master = static_cast<std::uint32_t>(host::Load(engine.slave_master[k]));
    Put(current, Param::kSlaveMap,
        static_cast<std::uint8_t>(IsSet(host::Load(engine.slaved[k])) ? (master + 1u) & 0xFFu : 0u), at);

    const double steps_per_unit = host::Load(planner.steps_per_unit[k]);
    const double accel_fix =
        host::Load(planner.acceleration[k]) * steps_per_unit * 65536.0 * segment_s * segment_s / 2.0;
    const auto accel = TruncSaturate<std::int32_t>(accel_fix);
    Put(current, Param::kAccelFix, accel, at);
    Put(current, Param::kAccel2Fix, SaturateInt32(std::int64_t{accel} * 2), at);
    Put(current, Param::kMaxSpeed,
        TruncSaturate<std::int32_t>(steps_per_segment(k, host::Load(planner.max_velocity[k])) * 65536.0), at);
    Put(current, Param::kBacklashRateFix,
        TruncSaturate<std::int32_t>(host::Load(engine.backlash_rate[k]) * segment_s * 32.0), at);
  }
}

void ComputeSoftLimits(const host::EngineBlock& engine, const host::PlannerBlock& planner) {
  // The limits are the host's DROs: until it has handed over GetDRO the board gets none, rather
  // than limits of 0 on every axis that would stop any motion away from the origin.
  const host::GetDroFn get_dro = state.GetDRO.load();
  const bool armed = get_dro != nullptr && IsSet(host::Load(engine.softlimits_enabled)) &&
                     !IsSet(host::Load(engine.homing_active)) && host::Load(engine.softlimit_armed) == 0;
  Put(current, Param::kSoftlimitMask, armed ? std::uint32_t{0xFFF} : std::uint32_t{0});
  if (get_dro == nullptr) return;
  for (int i = 0; i < 2 * host::kAxes; ++i) {
    const int k = i / 2;
    const auto dro = static_cast<std::int16_t>((i % 2 == 0 ? kUpperLimitDro : kLowerLimitDro) + k);
    const double limit = get_dro(dro);
    // The board counts steps from its own origin, pos_offset away from the host's.
    const double steps = limit * host::Load(planner.steps_per_unit[k]) - state.pos_offset[k].load();
    Put(current, Param::kSoftlimitSteps, TruncSaturate<std::int32_t>(steps), static_cast<std::size_t>(i));
  }
}

void ComputeInputsOutputs(const host::EngineBlock& engine) {
  std::uint32_t inputs_used = 0;
  ineg_assigned = 0;
  ineg_low = 0;
  for (const host::InputSignal& in : engine.input_signal) {
    const int pin = BoardInputPin(in);
    if (pin == 0) continue;
    if (pin < 32) inputs_used |= 1u << pin;
    const std::uint64_t bit = std::uint64_t{1} << pin;
    ineg_assigned |= bit;
    ineg_low = IsSet(host::Load(in.active_low)) ? (ineg_low | bit) : (ineg_low & ~bit);
  }
  Put(current, Param::kInputsUsed, inputs_used);

  std::uint32_t outputs_used = 0;
  std::uint32_t low_mask = 0;
  for (const host::OutputSignal& out : engine.output_signal) {
    const int pin = OutputPin(out);
    if (pin < 1) continue;  // pin 0 is no board output
    outputs_used |= 1u << pin;
    const std::uint32_t bit = 1u << (pin - 1);
    low_mask = IsSet(host::Load(out.active_low)) ? (low_mask | bit) : (low_mask & ~bit);
  }
  Put(current, Param::kOutputsUsed, outputs_used);
  Put(current, Param::kOutputLowMask, low_mask);
}

void ComputeMotorsAndAux(const host::EngineBlock& engine) {
  std::uint32_t polarity = 0;
  for (int k = 0; k < host::kMotors; ++k) {
    if (!IsSet(host::Load(engine.step_active_low[k]))) polarity |= 1u << (2 * k);
    if (!IsSet(host::Load(engine.dir_active_low[k]))) polarity |= 1u << (2 * k + 1);
  }
  Put(current, Param::kMotorPolarity, polarity);
  for (int k = 0; k < host::kAxes; ++k) {
    const auto at = static_cast<std::size_t>(2 * k);
    Put(current, Param::kPinMap, static_cast<std::uint8_t>(host::Load(engine.step_pin[k]) & 0xFF), at);
    Put(current, Param::kPinMap, static_cast<std::uint8_t>(host::Load(engine.dir_pin[k]) & 0xFF), at + 1);
  }
  const bool aux = IsSet(host::Load(engine.aux_enable));
  for (std::size_t i = 0; i < 2; ++i) {
    const bool used = aux && host::Load(engine.aux_mode[i]) == 1;
    Put(current, Param::kAuxPair, used ? host::Load(engine.aux_value[i]) : std::uint8_t{0}, i);
  }
  Put(current, Param::kOption48, host::Load(engine.board_option));
}

// The values other threads set, as they go on the wire now.
void RefreshForeignValues() {
  const host::PlannerBlock* planner = state.planner.load(std::memory_order_acquire);
  const host::EngineBlock* engine = state.engine.load(std::memory_order_acquire);
  if (planner != nullptr && !IsSet(host::Load(planner->spindle_on))) spindle_duty.store(0);
  Put(current, Param::kPulseFigure, std::uint32_t{pulse_fig.load()});
  Put(current, Param::kSpindlePwm, std::uint32_t{spindle_pwm_fig.load()});
  const std::int32_t duty = spindle_duty.load();
  const bool inverted = engine != nullptr && IsSet(host::Load(engine->dir_active_low[6]));
  Put(current, Param::kSpindleDuty, inverted ? 100 - duty : duty);
}

void PutRecordHeader(PacketBuffer& frame, const ParamLayout& layout) {
  if (layout.code == kTag) {
    PutParamTag(frame, layout.id);
  } else {
    frame.PutByte(layout.code).PutByte(layout.id);
  }
}

}  // namespace

std::span<std::uint8_t> ParamBuffer() { return param_buffer; }

void ParamCompute() {
  host::EngineBlock* engine = state.engine.load(std::memory_order_acquire);
  host::PlannerBlock* planner = state.planner.load(std::memory_order_acquire);
  if (engine == nullptr || planner == nullptr) return;
  HoldLimitsForHoming(*engine);
  ComputeMasks(*engine);
  ComputeOutputLevels(*engine);
  ComputeHandWheel(*engine, *planner);
  ComputeAxes(*engine, *planner);
  ComputeSoftLimits(*engine, *planner);
  ComputeInputsOutputs(*engine);
  ComputeMotorsAndAux(*engine);
}

int ParamAppendChanged(PacketBuffer& frame) {
  RefreshForeignValues();
  std::lock_guard<std::mutex> guard(sent.lock);
  // Pins no input claims keep the board's stored polarity, as last reported or sent.
  const std::uint64_t ineg = (Get<std::uint64_t>(sent.bytes, Param::kInputNeg) & ~ineg_assigned) | ineg_low;
  Put(current, Param::kInputNeg, ineg);

  int appended = 0;
  for (std::size_t i = 0; i < kParams.size(); ++i) {
    std::span<std::uint8_t> value = Slice(current, i);
    std::span<std::uint8_t> last = Slice(sent.bytes, i);
    if (std::equal(value.begin(), value.end(), last.begin())) continue;
    // Only whole records go; the rest keep their old copies and go in the next run, in order.
    if (frame.Room() < 2 + value.size()) break;
    PutRecordHeader(frame, kParams[i]);
    frame.PutBytes(value.data(), value.size());
    std::copy(value.begin(), value.end(), last.begin());
    ++appended;
  }
  return appended;
}

void SetSpecialInput(int input) {
  watched_inputs[kSpecialSlot] = input;
  if (host::EngineBlock* engine = state.engine.load(std::memory_order_acquire)) ComputeMasks(*engine);
}

void SendInputMasks() {
  watched_inputs[kSpecialSlot] = -1;
  if (host::EngineBlock* engine = state.engine.load(std::memory_order_acquire)) ComputeMasks(*engine);

  const std::uint64_t emask = Get<std::uint64_t>(current, Param::kEMask);
  const std::uint64_t evalid = Get<std::uint64_t>(current, Param::kEValid);
  auto frame = std::make_unique<PacketBuffer>(ParamBuffer());
  PutParamTag(*frame, kParams[Index(Param::kEMask)].id).PutQuad(emask);
  PutParamTag(*frame, kParams[Index(Param::kEValid)].id).PutQuad(evalid);

  std::uint32_t generation = 0;
  {
    std::lock_guard<std::mutex> guard(sent.lock);
    generation = sent.generation;
  }
  if (!LinkSendFrame(std::move(frame))) return;  // not sent: the next parameter frame carries them
  std::lock_guard<std::mutex> guard(sent.lock);
  if (sent.generation != generation) return;  // a new link opened meanwhile: it gets everything anew
  Put(sent.bytes, Param::kEMask, emask);
  Put(sent.bytes, Param::kEValid, evalid);
}

void EndInterruptedCycle() {
  if (host::EngineBlock* engine = state.engine.load(std::memory_order_acquire)) HoldLimitsForHoming(*engine);
  SendInputMasks();
}

void ParamServiceStart() {
  {
    std::lock_guard<std::mutex> guard(sent.lock);
    std::fill(sent.bytes.begin(), sent.bytes.end(), std::uint8_t{0});
    ++sent.generation;
  }
  spindle_duty.store(0);
  limits_bypassed.store(false);
}

void ParamSetPulseFigure(std::uint16_t figure) { pulse_fig.store(figure); }

void ParamSetBoardInputPolarity(std::uint64_t mask) {
  std::lock_guard<std::mutex> guard(sent.lock);
  Put(sent.bytes, Param::kInputNeg, mask);
}

void ParamSetBoardOutputPolarity(std::uint32_t mask) {
  std::lock_guard<std::mutex> guard(sent.lock);
  Put(sent.bytes, Param::kOutputLowMask, mask);
}

void ParamSetBoardMotorPolarity(std::uint32_t mask) {
  std::lock_guard<std::mutex> guard(sent.lock);
  Put(sent.bytes, Param::kMotorPolarity, mask);
}

void ParamSetSpindleDuty(std::uint16_t duty_percent) { spindle_duty.store(duty_percent); }
void ParamSetSpindlePwmFigure(std::uint16_t figure) { spindle_pwm_fig.store(figure); }

void ParamSetHomingAxisSource(HomingAxisFn source) { homing_axis_source.store(source, std::memory_order_release); }

}  // namespace kv
