// The board's motion: segment queue, velocity moves, probe moves, E-stop, the switches of the
// simulated machine and the watch masks that stop motion. Advanced one segment period at a time
// by RunPeriod, so that it is exact and testable without a clock; not thread-safe (SimBoard
// holds its lock around every call).
//
// Units and rules, as the board reads the plug-in's figures:
// - Positions are whole steps; a segment is six int16 step counts, executed whole in one period.
// - Speeds are steps per segment period in 16.16 fixed point (× 65536).
// - Parameter 27 gives accel_fix = a × T² / 2 × 65536 per axis (a in steps/s²): the distance
//   term of one period. The speed change per period is a × T² steps/period, i.e. 2 × accel_fix
//   in the same fixed point as the speeds. accel_fix 0 means no ramp (the speed jumps).
// - Speeds are capped by parameter 26 (max_speed, same units; 0 = no cap) and by the pulse rate:
//   the board cannot put out more than pulse_rate_hz × T steps per period.
// - A velocity move ramps to its speed; a new move on a moving axis in the other direction first
//   ramps down to 0; the stop command ramps to 0 and then ends the move.
// - A probe move runs at its speed without a ramp and ends exactly on the step at which the probe
//   input becomes active, or when its distance is covered; one that cannot move ends at once.
// - Watch masks (parameters 23 EMask and 24 EValid): a watched input that is not a home input
//   stops all motion at once when it becomes active (queued segments are dropped) and is
//   reported in a stop report; a watched home input (in both masks) ends velocity moves as soon
//   as it reads inactive: that is the end of a homing release, which leaves the switch.
// - E-stop stops everything at once, drops queued segments and refuses motion until enabled.
// - Mode: 0x20 while E-stopped, 8 while a probe move runs, 4 while a velocity move runs, else 0.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>

#include "board_config.h"

namespace kvboard {

struct MotionCounters {
  std::uint32_t segments_received = 0;
  std::uint32_t segments_executed = 0;        // since the last stream close (what 0xCF 0x1E reports)
  std::uint64_t segments_executed_total = 0;  // since start
  std::uint32_t segments_dropped = 0;         // by E-stop, a watch stop, a stream close or a full queue
  std::uint32_t queue_overflows = 0;          // segments that found the queue full
  std::uint32_t underruns = 0;                // the queue ran dry mid-motion and more segments followed
  std::uint32_t last_underrun_at = 0;         // segments executed since the stream's close when it last ran dry
  // Of the underruns, those whose dry spell took in periods the board ran late, catching up after
  // its own clock was held up by the computer running it: the plug-in was held up with it, so
  // whether the segments would have come in time is unknown. A real board has its own processor.
  std::uint32_t underruns_board_late = 0;
  std::int32_t lowest_queue_depth = -1;       // at the arrival of a frame continuing a motion; -1 = none yet
  std::uint32_t queue_depth = 0;
  std::uint32_t stream_closes = 0;
  std::uint32_t watch_stops = 0;      // motion stopped by a watched input becoming active
  std::uint32_t home_releases = 0;    // velocity moves ended by a watched home input opening
  std::uint32_t probe_moves = 0;
  std::uint32_t probe_trips = 0;
  bool last_probe_tripped = false;
  std::array<std::int32_t, kAxes> last_probe_end_steps{};
  std::uint32_t refused_moves = 0;    // moves and segments refused while E-stopped
  // Per axis, measured from the segments executed: the most steps in one segment period (the
  // peak speed) and the largest change of steps from one period to the next (the peak
  // acceleration, times the period squared), starting from and coming to rest included.
  std::array<std::int32_t, kAxes> peak_steps_per_segment{};
  std::array<std::int32_t, kAxes> peak_step_change{};
};

class MotionEngine {
 public:
  explicit MotionEngine(const BoardConfig& config);

  // Queues the 12-byte elements of a segment frame; returns how many were queued.
  std::size_t QueueSegments(std::span<const std::uint8_t> elements);
  // 0xD0: the executed count restarts at 0; segments still queued are dropped.
  void CloseStream();

  // Velocity move; false when refused (axis out of range, negative speed, E-stopped).
  bool VelocityMove(int axis, bool negative, std::int32_t speed_fix);
  bool VelocityStop(int axis);  // ramps the axis down; false for an axis out of range
  void StopAllVelocity();       // ramps every axis down
  bool ProbeMove(int axis, std::int32_t distance_steps, std::int32_t speed_fix);
  void EStop();
  void Enable();

  void SetWatchMasks(std::uint64_t watch_mask, std::uint64_t home_mask);
  void SetAcceleration(const std::array<std::int32_t, kAxes>& accel_fix);
  void SetMaxSpeed(const std::array<std::int32_t, kAxes>& max_speed_fix);
  // The segment period and pulse rate bound the steps one period can carry.
  void SetTiming(std::uint32_t period_us, std::uint32_t pulse_rate_hz);

  void SetExternalInput(int pin, bool active);  // a level forced from outside (pins 0..63)
  void SetPosition(int axis, std::int32_t steps);

  // `late`: the period's time has passed, the board's clock having been held up.
  void RunPeriod(bool late = false);

  std::uint64_t Inputs() const;
  std::uint8_t Mode() const;
  bool Disabled() const { return disabled_; }
  bool VelocityActive(int axis) const { return axis >= 0 && axis < kAxes && velocity_[axis].active; }
  bool ProbeActive() const { return probe_.active; }
  std::int64_t SpeedFix(int axis) const { return axis >= 0 && axis < kAxes ? velocity_[axis].speed_fix : 0; }
  const std::array<std::int32_t, kAxes>& Position() const { return position_; }
  const MotionCounters& Counters() const { return counters_; }
  std::uint64_t WatchMask() const { return watch_mask_; }
  // The inputs that tripped a watch stop since the last call, if any.
  std::optional<std::uint64_t> TakeStopReport();

 private:
  struct Segment {
    std::array<std::int16_t, kAxes> steps{};
  };
  struct Velocity {
    bool active = false;
    bool negative = false;       // direction of the present motion
    bool want_negative = false;  // direction asked for
    std::int64_t target_fix = 0;
    std::int64_t speed_fix = 0;  // magnitude
    std::int64_t frac_fix = 0;   // part of a step carried to the next period
  };
  struct Probe {
    bool active = false;
    int axis = 0;
    int dir = 1;
    std::int64_t remaining_steps = 0;
    std::int64_t speed_fix = 0;
    std::int64_t frac_fix = 0;
  };

  std::int64_t ClampSpeed(int axis, std::int64_t speed_fix) const;
  bool ProbeTouching() const;
  // Looks at the inputs after a step; true when a watch ended the motion under way.
  bool EvaluateInputs();
  void StopEverything();
  void DropQueue();
  void RunVelocity(int axis);
  // Updates the peak speed and acceleration with one period's steps.
  void MeasureSegment(const std::array<std::int16_t, kAxes>& steps);
  void RunProbe();
  void EndProbe(bool tripped);

  std::array<AxisMachine, kAxes> machine_;
  std::uint8_t probe_pin_;
  std::uint32_t queue_capacity_;

  std::deque<Segment> queue_;
  std::array<std::int32_t, kAxes> last_steps_{};  // of the last period: 0 once a period ran no segment
  bool stream_active_ = false;  // a segment has run since the last stream close
  bool ran_dry_ = false;        // the queue emptied while the stream was active
  bool dry_late_ = false;       // ... in a period run late
  std::array<Velocity, kAxes> velocity_{};
  Probe probe_{};
  bool disabled_ = false;

  std::array<std::int32_t, kAxes> position_{};
  std::array<std::int32_t, kAxes> accel_fix_{};
  std::array<std::int32_t, kAxes> max_speed_fix_{};
  std::int64_t rate_cap_fix_ = 0;
  std::uint64_t watch_mask_ = 0;
  std::uint64_t home_mask_ = 0;
  std::uint64_t external_inputs_ = 0;
  std::uint64_t inputs_seen_ = 0;  // levels at the last evaluation, for the watch edges
  std::uint64_t stop_report_ = 0;
  MotionCounters counters_{};
};

}  // namespace kvboard
