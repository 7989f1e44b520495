// The board's motion, one segment period at a time.
#include "motion_engine.h"

#include <algorithm>
#include <cstdlib>

#include "runtime/le_bytes.h"

namespace kvboard {
namespace {

constexpr std::size_t kSegmentBytes = 12;
constexpr std::int64_t kOneStepFix = 65536;
constexpr std::int64_t kMaxStepsPerPeriod = 32767;  // what an int16 segment element can carry

// Bit of an input pin; pins beyond the 64-bit input word have none.
constexpr std::uint64_t PinBit(int pin) { return pin >= 0 && pin < 64 ? std::uint64_t{1} << pin : 0; }
// Bit of a wired switch; pin 0 means "not wired" for the machine's switches.
constexpr std::uint64_t SwitchBit(std::uint8_t pin) { return pin == 0 ? 0 : PinBit(pin); }

// Positions wrap like the board's 32-bit counters instead of overflowing.
void AddSteps(std::int32_t& position, std::int64_t delta) {
  position = static_cast<std::int32_t>(static_cast<std::uint32_t>(position) + static_cast<std::uint32_t>(delta));
}

bool Reached(std::int32_t position, std::int32_t place, bool active_below) {
  return active_below ? position <= place : position >= place;
}

}  // namespace

MotionEngine::MotionEngine(const BoardConfig& config)
    : machine_(config.machine),
      probe_pin_(config.probe_pin),
      queue_capacity_(config.queue_capacity == 0 ? 1 : config.queue_capacity),
      position_(config.start_position_steps) {
  SetTiming(kDefaultSegmentPeriodUs, PulseRateHz(config.model, config.divisor_a, config.divisor_b));
  inputs_seen_ = Inputs();  // the levels at power-up are not edges
}

std::size_t MotionEngine::QueueSegments(std::span<const std::uint8_t> elements) {
  const std::size_t count = elements.size() / kSegmentBytes;
  counters_.segments_received += static_cast<std::uint32_t>(count);
  if (disabled_) {
    counters_.segments_dropped += static_cast<std::uint32_t>(count);
    counters_.refused_moves += static_cast<std::uint32_t>(count);
    return 0;
  }
  if (stream_active_) {
    const auto depth = static_cast<std::int32_t>(queue_.size());
    if (counters_.lowest_queue_depth < 0 || depth < counters_.lowest_queue_depth) counters_.lowest_queue_depth = depth;
  }
  if (ran_dry_) {
    ++counters_.underruns;
    if (dry_late_) ++counters_.underruns_board_late;
    counters_.last_underrun_at = counters_.segments_executed;
    ran_dry_ = false;
    dry_late_ = false;
  }
  std::size_t queued = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if (queue_.size() >= queue_capacity_) {
      ++counters_.queue_overflows;
      ++counters_.segments_dropped;
      continue;
    }
    Segment s;
    auto element = elements.subspan(i * kSegmentBytes, kSegmentBytes);
    for (int k = 0; k < kAxes; ++k) s.steps[k] = kv::GetLe<std::int16_t>(element, static_cast<std::size_t>(2 * k));
    queue_.push_back(s);
    ++queued;
  }
  counters_.queue_depth = static_cast<std::uint32_t>(queue_.size());
  return queued;
}

void MotionEngine::CloseStream() {
  ++counters_.stream_closes;
  counters_.segments_executed = 0;
  stream_active_ = false;
  ran_dry_ = false;
  dry_late_ = false;
  DropQueue();
}

bool MotionEngine::VelocityMove(int axis, bool negative, std::int32_t speed_fix) {
  if (axis < 0 || axis >= kAxes || speed_fix < 0) return false;
  if (disabled_) {
    ++counters_.refused_moves;
    return false;
  }
  Velocity& v = velocity_[axis];
  if (!v.active) {
    v = Velocity{};
    v.active = true;
    v.negative = negative;
  }
  v.want_negative = negative;
  v.target_fix = speed_fix;
  return true;
}

bool MotionEngine::VelocityStop(int axis) {
  if (axis < 0 || axis >= kAxes) return false;
  velocity_[axis].target_fix = 0;
  return true;
}

void MotionEngine::StopAllVelocity() {
  for (auto& v : velocity_) v.target_fix = 0;
}

bool MotionEngine::ProbeMove(int axis, std::int32_t distance_steps, std::int32_t speed_fix) {
  if (axis < 0 || axis >= kAxes) return false;
  if (disabled_) {
    ++counters_.refused_moves;
    return false;
  }
  ++counters_.probe_moves;
  probe_ = Probe{};
  probe_.active = true;
  probe_.axis = axis;
  probe_.dir = distance_steps < 0 ? -1 : 1;
  probe_.remaining_steps = std::abs(static_cast<std::int64_t>(distance_steps));
  probe_.speed_fix = speed_fix < 0 ? 0 : speed_fix;  // a negative speed cannot move: it ends at once
  return true;
}

void MotionEngine::EStop() {
  StopEverything();
  disabled_ = true;
}

void MotionEngine::Enable() { disabled_ = false; }

void MotionEngine::SetWatchMasks(std::uint64_t watch_mask, std::uint64_t home_mask) {
  watch_mask_ = watch_mask;
  home_mask_ = home_mask;
}

void MotionEngine::SetAcceleration(const std::array<std::int32_t, kAxes>& accel_fix) { accel_fix_ = accel_fix; }

void MotionEngine::SetMaxSpeed(const std::array<std::int32_t, kAxes>& max_speed_fix) { max_speed_fix_ = max_speed_fix; }

void MotionEngine::SetTiming(std::uint32_t period_us, std::uint32_t pulse_rate_hz) {
  std::int64_t steps = kMaxStepsPerPeriod;
  if (pulse_rate_hz != 0) {
    steps = static_cast<std::int64_t>(static_cast<std::uint64_t>(pulse_rate_hz) * period_us / 1000000);
    steps = std::clamp<std::int64_t>(steps, 1, kMaxStepsPerPeriod);
  }
  rate_cap_fix_ = steps * kOneStepFix;
}

void MotionEngine::SetExternalInput(int pin, bool active) {
  if (active) {
    external_inputs_ |= PinBit(pin);
  } else {
    external_inputs_ &= ~PinBit(pin);
  }
}

void MotionEngine::SetPosition(int axis, std::int32_t steps) {
  if (axis >= 0 && axis < kAxes) position_[axis] = steps;
}

std::int64_t MotionEngine::ClampSpeed(int axis, std::int64_t speed_fix) const {
  std::int64_t s = std::min(speed_fix, rate_cap_fix_);
  if (max_speed_fix_[axis] > 0) s = std::min<std::int64_t>(s, max_speed_fix_[axis]);
  return s;
}

std::uint64_t MotionEngine::Inputs() const {
  std::uint64_t bits = external_inputs_;
  for (int k = 0; k < kAxes; ++k) {
    const AxisMachine& m = machine_[k];
    const std::int32_t p = position_[k];
    if (m.home_steps && Reached(p, *m.home_steps, m.home_active_below)) bits |= SwitchBit(m.home_pin);
    if (m.limit_min_steps && p <= *m.limit_min_steps) bits |= SwitchBit(m.limit_min_pin);
    if (m.limit_max_steps && p >= *m.limit_max_steps) bits |= SwitchBit(m.limit_max_pin);
  }
  if (ProbeTouching()) bits |= SwitchBit(probe_pin_);
  return bits;
}

bool MotionEngine::ProbeTouching() const {
  if ((external_inputs_ & SwitchBit(probe_pin_)) != 0) return true;
  for (int k = 0; k < kAxes; ++k) {
    const AxisMachine& m = machine_[k];
    if (m.probe_steps && Reached(position_[k], *m.probe_steps, m.probe_active_below)) return true;
  }
  return false;
}

std::uint8_t MotionEngine::Mode() const {
  if (disabled_) return 0x20;
  if (probe_.active) return 8;
  for (const auto& v : velocity_) {
    if (v.active) return 4;
  }
  return 0;
}

std::optional<std::uint64_t> MotionEngine::TakeStopReport() {
  if (stop_report_ == 0) return std::nullopt;
  std::uint64_t bits = stop_report_;
  stop_report_ = 0;
  return bits;
}

bool MotionEngine::EvaluateInputs() {
  const std::uint64_t now = Inputs();
  const std::uint64_t rising = now & ~inputs_seen_;
  inputs_seen_ = now;
  const std::uint64_t tripped = rising & watch_mask_ & ~home_mask_;
  if (tripped != 0) {
    StopEverything();
    stop_report_ |= tripped;
    ++counters_.watch_stops;
    return true;
  }
  const std::uint64_t home_watch = watch_mask_ & home_mask_;
  if (home_watch != 0 && (now & home_watch) != home_watch) {
    bool ended = false;
    for (auto& v : velocity_) {
      if (v.active) {
        v = Velocity{};
        ended = true;
      }
    }
    if (ended) {
      ++counters_.home_releases;
      return true;
    }
  }
  return false;
}

void MotionEngine::StopEverything() {
  for (auto& v : velocity_) v = Velocity{};
  if (probe_.active) EndProbe(false);
  DropQueue();
}

void MotionEngine::DropQueue() {
  counters_.segments_dropped += static_cast<std::uint32_t>(queue_.size());
  queue_.clear();
  counters_.queue_depth = 0;
}

void MotionEngine::RunPeriod(bool late) {
  if (!disabled_) {
    if (!queue_.empty()) {
      const Segment s = queue_.front();
      queue_.pop_front();
      for (int k = 0; k < kAxes; ++k) AddSteps(position_[k], s.steps[k]);
      MeasureSegment(s.steps);
      ++counters_.segments_executed;
      ++counters_.segments_executed_total;
      stream_active_ = true;
      ran_dry_ = false;
      dry_late_ = false;
    } else {
      if (stream_active_) {
        ran_dry_ = true;
        if (late) dry_late_ = true;
      }
      MeasureSegment({});  // a period without a segment is a period at rest
    }
    for (int k = 0; k < kAxes; ++k) RunVelocity(k);
    RunProbe();
  }
  EvaluateInputs();
  counters_.queue_depth = static_cast<std::uint32_t>(queue_.size());
}

void MotionEngine::MeasureSegment(const std::array<std::int16_t, kAxes>& steps) {
  for (int k = 0; k < kAxes; ++k) {
    const std::int32_t now = steps[k];
    const std::int32_t change = std::abs(now - last_steps_[k]);
    counters_.peak_steps_per_segment[k] = std::max(counters_.peak_steps_per_segment[k], std::abs(now));
    counters_.peak_step_change[k] = std::max(counters_.peak_step_change[k], change);
    last_steps_[k] = now;
  }
}

void MotionEngine::RunVelocity(int axis) {
  Velocity& v = velocity_[axis];
  if (!v.active) return;
  // Reversing first ramps down to a standstill, then turns.
  const std::int64_t target = v.want_negative == v.negative ? ClampSpeed(axis, v.target_fix) : 0;
  const std::int64_t dv = 2 * static_cast<std::int64_t>(accel_fix_[axis]);
  if (dv <= 0) {
    v.speed_fix = target;
  } else if (v.speed_fix < target) {
    v.speed_fix = std::min(v.speed_fix + dv, target);
  } else {
    v.speed_fix = std::max(v.speed_fix - dv, target);
  }
  if (v.speed_fix == 0 && v.want_negative != v.negative) {
    v.negative = v.want_negative;
    v.frac_fix = 0;
  }
  v.frac_fix += v.speed_fix;
  const std::int64_t steps = v.frac_fix / kOneStepFix;
  v.frac_fix %= kOneStepFix;
  const int dir = v.negative ? -1 : 1;
  for (std::int64_t i = 0; i < steps; ++i) {
    AddSteps(position_[axis], dir);
    if (EvaluateInputs()) return;  // a watch ended the move on this step
  }
  if (v.speed_fix == 0 && v.target_fix == 0) v = Velocity{};
}

void MotionEngine::RunProbe() {
  if (!probe_.active) return;
  if (ProbeTouching()) {
    EndProbe(true);
    return;
  }
  if (probe_.speed_fix == 0 || probe_.remaining_steps == 0) {
    EndProbe(false);
    return;
  }
  probe_.frac_fix += ClampSpeed(probe_.axis, probe_.speed_fix);
  const std::int64_t steps = std::min(probe_.frac_fix / kOneStepFix, probe_.remaining_steps);
  probe_.frac_fix %= kOneStepFix;
  for (std::int64_t i = 0; i < steps; ++i) {
    AddSteps(position_[probe_.axis], probe_.dir);
    --probe_.remaining_steps;
    if (ProbeTouching()) {
      EndProbe(true);
      EvaluateInputs();
      return;
    }
    if (EvaluateInputs()) return;
  }
  if (probe_.remaining_steps == 0) EndProbe(false);
}

void MotionEngine::EndProbe(bool tripped) {
  probe_.active = false;
  counters_.last_probe_tripped = tripped;
  counters_.last_probe_end_steps = position_;
  if (tripped) ++counters_.probe_trips;
}

}  // namespace kvboard
