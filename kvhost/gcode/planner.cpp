// Pull-model planning, one fixed-period segment per call, with no allocation per segment.
#include "planner.h"

#include <cmath>
#include <cstdlib>

#include "line_error.h"
#include "move_limits.h"
#include "move_path.h"

namespace kvgcode {
namespace {

// A move longer than this many segments (about 95 years at 3 ms) is a mistake, not a job.
constexpr double kMaxSegmentsPerMove = 1e12;

// Floating error must not add an almost empty segment to a move that fits whole segments.
constexpr double kSegmentCountSlack = 1e-9;

std::string AtLine(int line, const std::string& what) { return "line " + std::to_string(line) + ": " + what; }

}  // namespace

Planner::Planner(BlockSource& source, const MachineSettings& settings, double segment_time_s)
    : source_(source), settings_(settings), segment_time_s_(segment_time_s), interpreter_(settings.work) {
  source_.Rewind();
  error_ = CheckSettings(settings, segment_time_s);
}

Planner::Planner(const Program& program, const MachineSettings& settings, double segment_time_s)
    : own_source_(std::make_unique<ProgramBlocks>(program)),
      source_(*own_source_),
      settings_(settings),
      segment_time_s_(segment_time_s),
      interpreter_(settings.work) {
  error_ = CheckSettings(settings, segment_time_s);
}

bool Planner::Next(PlanEvent& out) {
  while (!error_) {
    if (segments_done_ < move_segments_) return EmitSegment(out);
    if (next_action_ < actions_.count) {
      const Action& action = actions_.items[next_action_++];
      if (action.kind == Action::Kind::Move) {
        BeginMove(action);
        continue;
      }
      out = EventFor(action);
      return true;
    }
    if (interpreter_.ended()) return false;
    if (!source_.Next(block_)) {
      if (source_.fault()) error_ = source_.fault()->message;
      return false;
    }
    next_action_ = 0;
    if (auto fault = interpreter_.Execute(block_, actions_)) error_ = AtLine(block_.line, fault->detail);
  }
  return false;
}

void Planner::BeginMove(const Action& action) {
  move_ = action.move;
  move_line_ = action.line;
  move_length_ = PathLength(move_);
  move_segments_ = 0;
  segments_done_ = 0;
  if (!(move_length_ > 0.0)) return;  // already there: nothing to do, not even wait
  const MoveLimits limits = LimitsFor(move_, move_length_, settings_, segment_time_s_);
  profile_ = TrapezoidProfile(move_length_, limits.speed_per_s, limits.acceleration_per_s2);
  const double segments = std::ceil(profile_.duration_s() / segment_time_s_ - kSegmentCountSlack);
  if (!(segments <= kMaxSegmentsPerMove)) {
    error_ = AtLine(move_line_, "move would take " + FormatNumber(profile_.duration_s()) + " s; refusing it");
    return;
  }
  move_segments_ = segments < 1.0 ? 1 : static_cast<std::uint64_t>(segments);
  ++moves_planned_;
}

bool Planner::EmitSegment(PlanEvent& out) {
  const std::uint64_t boundary = segments_done_ + 1;
  // The last boundary is the programmed end itself, so no rounding of the path can drift.
  const AxisArray<double> position =
      boundary == move_segments_
          ? move_.end_units
          : PointAt(move_, profile_.DistanceAt(static_cast<double>(boundary) * segment_time_s_) / move_length_);
  AxisArray<std::int64_t> target{};
  PlanEvent event;
  event.kind = PlanEvent::Kind::Segment;
  event.line = move_line_;
  for (std::size_t axis = 0; axis < kAxisCount; ++axis) {
    target[axis] = std::llround(position[axis] * settings_.steps_per_unit[axis]);
    const std::int64_t delta = target[axis] - steps_[axis];
    // Settings are checked so this cannot happen; never hand the board a count it would wrap.
    if (std::llabs(delta) > kMaxSegmentSteps) {
      error_ = AtLine(move_line_, std::string("segment needs ") + std::to_string(delta) + " steps on axis " +
                                      kAxisLetters[axis] + ", more than a segment holds");
      return false;
    }
    event.steps[axis] = static_cast<std::int32_t>(delta);
  }
  steps_ = target;
  segments_done_ = boundary;
  out = event;
  return true;
}

std::uint64_t Planner::SkipRestOfMove() {
  if (segments_done_ >= move_segments_) return 0;
  const std::uint64_t skipped = move_segments_ - segments_done_;
  for (std::size_t axis = 0; axis < kAxisCount; ++axis) {
    steps_[axis] = std::llround(move_.end_units[axis] * settings_.steps_per_unit[axis]);
  }
  segments_done_ = move_segments_;
  return skipped;
}

PlanEvent Planner::EventFor(const Action& action) {
  PlanEvent event;
  event.line = action.line;
  switch (action.kind) {
    case Action::Kind::Dwell:
      event.kind = PlanEvent::Kind::Dwell;
      event.dwell_s = action.dwell_s;
      break;
    case Action::Kind::Spindle:
      event.kind = PlanEvent::Kind::Spindle;
      event.spindle_mcode = action.spindle_mcode;
      event.spindle_speed = action.spindle_speed;
      break;
    case Action::Kind::Tool:
      event.kind = PlanEvent::Kind::Tool;
      event.tool = action.tool;
      break;
    case Action::Kind::Coolant:
      event.kind = PlanEvent::Kind::Coolant;
      event.mist = action.mist;
      event.flood = action.flood;
      break;
    case Action::Kind::Pause:
      event.kind = PlanEvent::Kind::Pause;
      event.optional_pause = action.optional_pause;
      break;
    case Action::Kind::Move:
      break;  // moves become segments, never events of their own
  }
  return event;
}

}  // namespace kvgcode
