// Modal interpretation of blocks; a block is applied whole or not at all, so errors leave no trace.
#include "interpreter.h"

#include <cmath>

namespace kvgcode {
namespace {

bool IsArc(MotionMode mode) { return mode == MotionMode::ClockwiseArc || mode == MotionMode::CounterClockwiseArc; }

LineError Fault(std::string word, const std::string& what) {
  std::string detail = what + " \"" + word + "\"";
  return LineError{std::move(word), std::move(detail)};
}

// The first axis or arc word of a block, for naming it in messages.
std::string FirstMotionWord(const Block& block) {
  for (std::size_t axis = 0; axis < kAxisCount; ++axis) {
    if (block.axes[axis]) return WordText(kAxisLetters[axis], *block.axes[axis]);
  }
  if (block.arc_i) return WordText('I', *block.arc_i);
  if (block.arc_j) return WordText('J', *block.arc_j);
  if (block.arc_r) return WordText('R', *block.arc_r);
  return {};
}

void Add(ActionList& out, const Action& action) {
  if (out.count < out.items.size()) out.items[out.count++] = action;
}

struct MotionResult {
  std::optional<Move> move;
  std::optional<LineError> error;
};

class MotionBuilder {
 public:
  MotionBuilder(const Block& block, MotionMode mode, double scale, DistanceMode distance,
                std::optional<double> feed_mm_per_min, const AxisArray<double>& position)
      : block_(block), mode_(mode), scale_(scale), distance_(distance), feed_(feed_mm_per_min), position_(position) {}

  MotionResult Build() const {
    if (block_.HasArcWords() && !IsArc(mode_)) {
      return Error(Fault(FirstArcWord(), "arc word without G2/G3 in effect:"));
    }
    if (!block_.HasAxisWords()) {
      if (block_.HasArcWords()) return Error(Fault(FirstArcWord(), "arc without an end point (no axis words):"));
      return {};
    }
    Move move;
    move.start_units = position_;
    for (std::size_t axis = 0; axis < kAxisCount; ++axis) {
      double target = position_[axis];
      if (const auto& word = block_.axes[axis]) {
        const double value = *word * (IsLinearAxis(axis) ? scale_ : 1.0);
        target = distance_ == DistanceMode::Incremental ? position_[axis] + value : value;
        if (!(std::fabs(target) <= kMaxCoordinate_units)) {
          return Error(Fault(WordText(kAxisLetters[axis], *word), "coordinate out of range:"));
        }
      }
      move.end_units[axis] = target;
    }
    if (mode_ == MotionMode::Rapid) {
      move.kind = MoveKind::Rapid;
      return {move, std::nullopt};
    }
    if (!feed_) return Error(Fault(MotionWord(), "no feed rate (F) set for"));
    move.feed_per_s = *feed_ / 60.0;
    if (mode_ == MotionMode::Linear) {
      move.kind = MoveKind::Linear;
      return {move, std::nullopt};
    }
    return BuildArc(move);
  }

 private:
  static MotionResult Error(LineError error) { return {std::nullopt, std::move(error)}; }

  std::string FirstArcWord() const {
    if (block_.arc_i) return WordText('I', *block_.arc_i);
    if (block_.arc_j) return WordText('J', *block_.arc_j);
    return WordText('R', block_.arc_r.value_or(0));
  }

  std::string MotionWord() const { return WordText('G', MotionGcode(mode_)); }

  MotionResult BuildArc(Move move) const {
    const bool centre_form = block_.arc_i || block_.arc_j;
    if (centre_form && block_.arc_r) return Error(Fault(WordText('R', *block_.arc_r), "arc has both I/J and"));
    if (!centre_form && !block_.arc_r) return Error(Fault(MotionWord(), "arc needs I/J or R:"));
    const std::size_t x = Index(Axis::X);
    const std::size_t y = Index(Axis::Y);
    const PlanarPoint start{move.start_units[x], move.start_units[y]};
    const PlanarPoint end{move.end_units[x], move.end_units[y]};
    const bool clockwise = mode_ == MotionMode::ClockwiseArc;
    const ArcBuild arc = centre_form ? ArcFromCentre(start, end, block_.arc_i.value_or(0) * scale_,
                                                     block_.arc_j.value_or(0) * scale_, clockwise)
                                     : ArcFromRadius(start, end, *block_.arc_r * scale_, clockwise);
    if (!arc.ok()) {
      const std::string word = centre_form ? FirstArcWord() : WordText('R', *block_.arc_r);
      return Error(LineError{word, arc.error + " in " + MotionWord() + " \"" + word + "\""});
    }
    move.kind = MoveKind::Arc;
    move.arc = arc.path;
    return {move, std::nullopt};
  }

  const Block& block_;
  MotionMode mode_;
  double scale_;
  DistanceMode distance_;
  std::optional<double> feed_;
  const AxisArray<double>& position_;
};

}  // namespace

std::optional<LineError> Interpreter::Execute(const Block& block, ActionList& out) {
  out.count = 0;
  // Work on copies and commit only when the whole block is sound.
  const Units units = block.units.value_or(units_);
  const double scale = units == Units::Inches ? kMillimetresPerInch : 1.0;
  const DistanceMode distance = block.distance.value_or(distance_);
  // F on a line is read in the units that line leaves in force, as most controllers do.
  const std::optional<double> feed = block.feed_per_min ? std::optional(*block.feed_per_min * scale) : feed_mm_per_min_;
  const double speed = block.spindle_speed.value_or(spindle_speed_);
  const int tool = block.tool.value_or(tool_);
  const std::optional<MotionMode> motion = block.motion ? block.motion : motion_;

  std::optional<Move> move;
  if (block.HasAxisWords() || block.HasArcWords()) {
    if (!motion) return Fault(FirstMotionWord(block), "no motion mode (G0/G1/G2/G3) in effect for");
  }
  if (motion) {
    MotionResult result = MotionBuilder(block, *motion, scale, distance, feed, position_units_).Build();
    if (result.error) return result.error;
    move = result.move;
  }

  int spindle_mcode = spindle_mcode_;
  const bool spindle_was_on = spindle_mcode_ != 5;
  if (block.spindle_speed && spindle_was_on && !block.spindle) {
    // A new S while the spindle (or laser) runs changes its speed now.
    Add(out, Action{Action::Kind::Spindle, block.line, {}, 0, spindle_mcode, speed, 0});
  }
  if (block.tool || block.tool_change) Add(out, Action{Action::Kind::Tool, block.line, {}, 0, 0, 0, tool});
  if (block.spindle) {
    spindle_mcode = SpindleMcode(*block.spindle);
    Add(out, Action{Action::Kind::Spindle, block.line, {}, 0, spindle_mcode, speed, 0});
  }
  if (block.dwell) Add(out, Action{Action::Kind::Dwell, block.line, {}, block.dwell_s.value_or(0), 0, 0, 0});
  if (move) {
    Action action;
    action.kind = Action::Kind::Move;
    action.line = block.line;
    action.move = *move;
    Add(out, action);
  }
  if (block.program_end && spindle_mcode != 5) {
    // Program end stops the spindle; leaving it running after the last line would be unsafe.
    spindle_mcode = 5;
    Add(out, Action{Action::Kind::Spindle, block.line, {}, 0, spindle_mcode, speed, 0});
  }

  units_ = units;
  distance_ = distance;
  feed_mm_per_min_ = feed;
  spindle_speed_ = speed;
  tool_ = tool;
  motion_ = motion;
  spindle_mcode_ = spindle_mcode;
  if (move) position_units_ = move->end_units;
  if (block.program_end) ended_ = true;
  return std::nullopt;
}

}  // namespace kvgcode
