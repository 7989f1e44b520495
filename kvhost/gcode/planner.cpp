// Pull-model planning, one fixed-period segment per call, with no allocation per segment.
// Segment boundaries fall every period from the start of a chain of joined pieces, wherever
// the pieces begin and end; only the chain's last boundary is put exactly on its end.
#include "planner.h"

#include <cmath>
#include <cstdlib>

#include "line_error.h"
#include "move_limits.h"
#include "move_path.h"

namespace kvgcode {
namespace {

// A piece longer than this many segments (about 95 years at 3 ms) is a mistake, not a job.
constexpr double kMaxSegmentsPerMove = 1e12;

// Floating error must not add an almost empty segment to a chain that fits whole segments.
constexpr double kSegmentCountSlack = 1e-9;

std::string AtLine(int line, const std::string& what) { return "line " + std::to_string(line) + ": " + what; }

}  // namespace

Planner::Planner(BlockSource& source, const MachineSettings& settings, double segment_time_s, PathControl control)
    : source_(source),
      settings_(settings),
      segment_time_s_(segment_time_s),
      control_(control),
      interpreter_(settings.work),
      builder_(settings, segment_time_s) {
  source_.Rewind();
  error_ = CheckSettings(settings, segment_time_s);
}

Planner::Planner(const Program& program, const MachineSettings& settings, double segment_time_s,
                 PathControl control)
    : own_source_(std::make_unique<ProgramBlocks>(program)),
      source_(*own_source_),
      settings_(settings),
      segment_time_s_(segment_time_s),
      control_(control),
      interpreter_(settings.work),
      builder_(settings, segment_time_s) {
  error_ = CheckSettings(settings, segment_time_s);
}

bool Planner::Next(PlanEvent& out) {
  while (!error_) {
    if (window_.size() > 0) return EmitSegment(out);
    if (chain_closed_) {
      // The chain has come to rest: the next one starts its own clock.
      chain_closed_ = false;
      chain_started_ = false;
      boundary_ = 0;
      front_start_s_ = front_end_s_ = front_exit_per_s_ = 0;
      if (input_error_) {
        error_ = input_error_;
        return false;
      }
      if (held_event_) {
        out = *held_event_;
        held_event_.reset();
        return true;
      }
      continue;
    }
    if (input_done_) return false;
    Fill();
  }
  return false;
}

void Planner::Fill() {
  while (!error_ && !chain_closed_ && window_.has_room()) {
    if (!ReadAction()) break;
  }
}

void Planner::Take(const PieceBuilder::Output& output) {
  for (std::size_t i = 0; i < output.count; ++i) {
    window_.Push(output.pieces[i], !chain_started_);
    chain_started_ = true;
  }
  if (output.chain_ends) chain_closed_ = true;
}

bool Planner::ReadAction() {
  for (;;) {
    if (next_action_ < actions_.count) {
      const Action& action = actions_.items[next_action_++];
      if (action.kind != Action::Kind::Move) {
        Take(builder_.Flush());
        chain_closed_ = true;
        held_event_ = EventFor(action);
        return true;
      }
      Move move = action.move;
      const double length = PathLength(move);
      if (!(length > 0.0)) continue;  // already there: nothing to do, not even wait
      if (control_ != PathControl::AsProgrammed) move.exact_stop = control_ == PathControl::ExactStop;
      // Refused before it joins the moves before it, which then still end at rest on their end.
      const MoveLimits limits = LimitsFor(move, length, settings_, segment_time_s_);
      const double alone_s = TrapezoidProfile(length, limits.speed_per_s, limits.acceleration_per_s2).duration_s();
      if (!(alone_s / segment_time_s_ <= kMaxSegmentsPerMove)) {
        input_error_ = AtLine(action.line, "move would take " + FormatNumber(alone_s) + " s; refusing it");
        EndInput();
        return false;
      }
      ++moves_planned_;
      Take(builder_.Add(move, action.line));
      return true;
    }
    const bool more = !interpreter_.ended() && source_.Next(block_);
    if (more) {
      next_action_ = 0;
      if (auto fault = interpreter_.Execute(block_, actions_)) input_error_ = AtLine(block_.line, fault->detail);
    } else if (!interpreter_.ended() && source_.fault()) {
      input_error_ = source_.fault()->message;
    }
    if (!more || input_error_) {
      EndInput();
      return false;
    }
  }
}

void Planner::EndInput() {
  // The window can always stop by its end: the moves read so far end at rest.
  Take(builder_.Flush());
  chain_closed_ = true;
  input_done_ = true;
}

void Planner::Freeze() {
  Fill();
  const PathPiece& front = window_.at(0);
  const double entry = front_exit_per_s_;
  double exit = 0;
  if (window_.size() > 1) {
    // As fast as the window allows the next piece to be entered, and as this one can reach.
    exit = std::min(window_.at(1).entry_max_per_s,
                    std::sqrt(entry * entry + 2.0 * front.acceleration_per_s2 * front.length));
  }
  front_profile_ = SpeedProfile(front.length, entry, front.max_speed_per_s, exit, front.acceleration_per_s2);
  front_start_s_ = front_end_s_;
  front_end_s_ = front_start_s_ + front_profile_.duration_s();
  front_exit_per_s_ = exit;
  front_frozen_ = true;
  if (!(front_profile_.duration_s() / segment_time_s_ <= kMaxSegmentsPerMove)) {
    error_ = AtLine(front.line, "move would take " + FormatNumber(front_profile_.duration_s()) + " s; refusing it");
    return;
  }
  if (LastOfChain()) {
    const double segments = std::ceil(front_end_s_ / segment_time_s_ - kSegmentCountSlack);
    final_boundary_ = segments < 1.0 ? 1 : static_cast<std::uint64_t>(segments);
    if (final_boundary_ <= boundary_) final_boundary_ = boundary_ + 1;
  }
}

void Planner::Advance() {
  window_.PopFront();
  front_frozen_ = false;
  Freeze();
}

AxisArray<double> Planner::PointAt(double t_s) const {
  const PathPiece& front = window_.at(0);
  return front.PointAt(front_profile_.DistanceAt(t_s - front_start_s_) / front.length);
}

bool Planner::StepTo(const AxisArray<double>& position, int line, PlanEvent* out) {
  AxisArray<std::int64_t> target{};
  PlanEvent event;
  event.kind = PlanEvent::Kind::Segment;
  event.line = line;
  for (std::size_t axis = 0; axis < kAxisCount; ++axis) {
    target[axis] = std::llround(position[axis] * settings_.steps_per_unit[axis]);
    const std::int64_t delta = target[axis] - steps_[axis];
    // Settings are checked so this cannot happen; never hand the board a count it would wrap.
    if (out && std::llabs(delta) > kMaxSegmentSteps) {
      error_ = AtLine(line, std::string("segment needs ") + std::to_string(delta) + " steps on axis " +
                                kAxisLetters[axis] + ", more than a segment holds");
      return false;
    }
    event.steps[axis] = static_cast<std::int32_t>(delta);
  }
  steps_ = target;
  if (out) *out = event;
  return true;
}

bool Planner::EmitSegment(PlanEvent& out) {
  if (!front_frozen_) Freeze();
  const std::uint64_t boundary = boundary_ + 1;
  const double t_s = static_cast<double>(boundary) * segment_time_s_;
  while (!error_ && !LastOfChain() && t_s > front_end_s_) Advance();
  if (error_) return false;
  const PathPiece& front = window_.at(0);
  const int line = front.line;
  if (LastOfChain() && boundary >= final_boundary_) {
    // The chain's last boundary is its end itself, so no rounding of the path can drift.
    const AxisArray<double> end = front.end;
    if (!StepTo(end, line, &out)) return false;
    boundary_ = boundary;
    window_.PopFront();
    front_frozen_ = false;
    return true;
  }
  if (!StepTo(PointAt(t_s), line, &out)) return false;
  boundary_ = boundary;
  return true;
}

std::uint64_t Planner::SkipRestOfMove() {
  if (error_ || window_.size() == 0 || !front_frozen_) return 0;
  if (LastOfChain()) {
    const std::uint64_t skipped = final_boundary_ - boundary_;
    StepTo(window_.at(0).end, 0, nullptr);
    boundary_ = final_boundary_;
    window_.PopFront();
    front_frozen_ = false;
    return skipped;
  }
  // The boundaries that still fall in the front piece, found as EmitSegment would find them.
  const double segments = std::floor(front_end_s_ / segment_time_s_);
  std::uint64_t last = segments > static_cast<double>(boundary_) ? static_cast<std::uint64_t>(segments) : boundary_;
  while (static_cast<double>(last + 1) * segment_time_s_ <= front_end_s_) ++last;
  while (last > boundary_ && static_cast<double>(last) * segment_time_s_ > front_end_s_) --last;
  const std::uint64_t skipped = last - boundary_;
  if (skipped > 0) {
    StepTo(PointAt(static_cast<double>(last) * segment_time_s_), 0, nullptr);
    boundary_ = last;
  }
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
