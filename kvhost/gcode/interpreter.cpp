// Modal interpretation of blocks; a block is applied whole or not at all, so errors leave no trace.
// A block runs on a copy of the modal state in the order mill controllers use: feed mode, F, S,
// T, M6, spindle, coolant, dwell, plane, units, tool length, work system, distance modes, the
// one-shot codes (G10, G28, G30, G92), motion, and last the pauses and the program end.
#include "interpreter.h"

#include <algorithm>
#include <cmath>

#include "move_path.h"

namespace kvgcode {
namespace {

constexpr std::size_t kX = 0;
constexpr std::size_t kY = 1;
constexpr std::size_t kZ = 2;

bool IsArc(MotionMode mode) { return mode == MotionMode::ClockwiseArc || mode == MotionMode::CounterClockwiseArc; }
bool IsStraight(MotionMode mode) { return mode == MotionMode::Rapid || mode == MotionMode::Linear; }

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
  if (block.arc_k) return WordText('K', *block.arc_k);
  if (block.arc_r) return WordText('R', *block.arc_r);
  return {};
}

std::string FirstCentreWord(const Block& block) {
  if (block.arc_i) return WordText('I', *block.arc_i);
  if (block.arc_j) return WordText('J', *block.arc_j);
  if (block.arc_k) return WordText('K', *block.arc_k);
  return WordText('R', block.arc_r.value_or(0));
}

std::string OneShotText(OneShot code) {
  switch (code) {
    case OneShot::SetOffsets: return "G10";
    case OneShot::GoHome: return "G28";
    case OneShot::GoSecondHome: return "G30";
    case OneShot::SetG92: return "G92";
    case OneShot::ClearG92: return "G92.1";
  }
  return "G10";
}

bool TakesAxisWords(OneShot code) { return code != OneShot::ClearG92; }

void Add(ActionList& out, const Action& action) {
  if (out.count < out.items.size()) {
    out.items[out.count] = action;
  } else {
    out.items.push_back(action);
  }
  ++out.count;
}

// The machine axes of a plane and the words that give an arc's centre in it.
struct PlaneAxes {
  std::size_t first, second;
  char first_letter, second_letter;  // centre words: I/J, K/I, J/K
  char unused_letter;                // the centre word that has no place in this plane
  const char* name;
};

PlaneAxes AxesOf(Plane plane) {
  switch (plane) {
    case Plane::XY: return {kX, kY, 'I', 'J', 'K', "XY plane (G17)"};
    case Plane::ZX: return {kZ, kX, 'K', 'I', 'J', "ZX plane (G18)"};
    case Plane::YZ: return {kY, kZ, 'J', 'K', 'I', "YZ plane (G19)"};
  }
  return {kX, kY, 'I', 'J', 'K', "XY plane (G17)"};
}

const std::optional<double>& CentreWord(const Block& block, char letter) {
  switch (letter) {
    case 'I': return block.arc_i;
    case 'J': return block.arc_j;
    default: return block.arc_k;
  }
}

// One block's run over a copy of the state.
class BlockRun {
 public:
  BlockRun(const Block& block, ModalState& state, const WorkSetup& fixed, ActionList& out)
      : block_(block), s_(state), fixed_(fixed), out_(out) {}

  std::optional<LineError> Run() {
    if (auto error = ModalCodes()) return error;
    if (auto error = WordOwners()) return error;
    if (block_.one_shot) {
      if (auto error = RunOneShot(*block_.one_shot)) return error;
    }
    if (auto error = RunMotion()) return error;
    if (block_.pause) {
      Action pause{};
      pause.kind = Action::Kind::Pause;
      pause.line = block_.line;
      pause.optional_pause = *block_.pause == PauseKind::Optional;
      Add(out_, pause);
    }
    if (block_.program_end) End();
    return std::nullopt;
  }

 private:
  double Scale() const { return s_.units == Units::Inches ? kMillimetresPerInch : 1.0; }
  double ScaleFor(std::size_t axis) const { return IsLinearAxis(axis) ? Scale() : 1.0; }

  // From program coordinates to machine coordinates on one axis.
  double Offset(std::size_t axis) const {
    return s_.work_offsets[static_cast<std::size_t>(s_.work_system - 1)][axis] + s_.g92_offset[axis] +
           (axis == kZ ? s_.tool_length_mm : 0.0);
  }

  const AxisArray<double>& Position() const { return s_.position_units; }

  static bool InRange(double value) { return std::fabs(value) <= kMaxCoordinate_units; }

  void AddAction(Action::Kind kind) {
    Action action{};
    action.kind = kind;
    action.line = block_.line;
    action.spindle_mcode = s_.spindle_mcode;
    action.spindle_speed = s_.spindle_speed;
    action.tool = s_.tool;
    action.mist = s_.mist;
    action.flood = s_.flood;
    action.dwell_s = block_.dwell_s.value_or(0);
    Add(out_, action);
  }

  std::optional<LineError> ModalCodes() {
    if (block_.feed_mode && *block_.feed_mode != s_.feed_mode) {
      // A rate given for one mode means something else in the other: ask for a new one.
      s_.feed_mode = *block_.feed_mode;
      s_.feed_mm_per_min.reset();
    }
    if (block_.units) s_.units = *block_.units;
    // F on a line is read in the units that line leaves in force, as most controllers do.
    if (block_.feed_per_min) {
      s_.feed_mm_per_min = s_.feed_mode == FeedMode::PerMinute ? *block_.feed_per_min * Scale() : *block_.feed_per_min;
    }
    if (block_.spindle_speed) s_.spindle_speed = *block_.spindle_speed;
    const bool spindle_was_on = s_.spindle_mcode != 5;
    if (block_.tool) s_.tool = *block_.tool;
    if (block_.spindle_speed && spindle_was_on && !block_.spindle) {
      AddAction(Action::Kind::Spindle);  // a new S while the spindle (or laser) runs changes its speed now
    }
    if (block_.tool_change) s_.tool_in_spindle = s_.tool;
    if (block_.tool || block_.tool_change) AddAction(Action::Kind::Tool);
    if (block_.spindle) {
      s_.spindle_mcode = SpindleMcode(*block_.spindle);
      AddAction(Action::Kind::Spindle);
    }
    if (block_.mist_on || block_.flood_on || block_.coolant_off) {
      const bool mist = block_.coolant_off ? false : (s_.mist || block_.mist_on);
      const bool flood = block_.coolant_off ? false : (s_.flood || block_.flood_on);
      if (mist != s_.mist || flood != s_.flood) {
        s_.mist = mist;
        s_.flood = flood;
        AddAction(Action::Kind::Coolant);
      }
    }
    if (block_.dwell) AddAction(Action::Kind::Dwell);
    if (block_.plane) s_.plane = *block_.plane;
    if (block_.tool_length) {
      if (auto error = ToolLength()) return error;
    } else if (block_.tool_offset_h) {
      return Fault(WordText('H', *block_.tool_offset_h), "H word without G43:");
    }
    if (block_.work_system) s_.work_system = *block_.work_system;
    if (block_.distance) s_.distance = *block_.distance;
    if (block_.arc_centre) s_.arc_centre = *block_.arc_centre;
    if (block_.retract) s_.retract = *block_.retract;
    if (block_.path_mode) {
      s_.path_mode = *block_.path_mode;
      // G64 alone returns to the machine's own deviation; P is read in the units the line leaves
      // in force.
      if (*block_.path_mode == PathMode::Blend) {
        s_.path_tolerance_mm = block_.path_tolerance ? std::optional(*block_.path_tolerance * Scale()) : std::nullopt;
      }
    }
    return std::nullopt;
  }

  std::optional<LineError> ToolLength() {
    if (*block_.tool_length == ToolLengthCommand::Cancel) {
      if (block_.tool_offset_h) return Fault(WordText('H', *block_.tool_offset_h), "H word with G49:");
      s_.tool_length_mm = 0;
      return std::nullopt;
    }
    // G43 alone takes the tool in the spindle.
    const int tool = block_.tool_offset_h.value_or(s_.tool_in_spindle);
    if (tool == 0) {
      s_.tool_length_mm = 0;
      return std::nullopt;
    }
    const auto found = fixed_.tool_lengths.find(tool);
    if (found == fixed_.tool_lengths.end()) {
      const std::string word = block_.tool_offset_h ? WordText('H', tool) : std::string("G43");
      return Fault(word, "tool " + std::to_string(tool) + " has no length in the tool table (kvhost/tool_length_" +
                             std::to_string(tool) + ") for");
    }
    s_.tool_length_mm = found->second;
    return std::nullopt;
  }

  // P, Q, L and R only where something on or before this line uses them.
  std::optional<LineError> WordOwners() {
    const std::optional<MotionMode> motion = block_.motion ? block_.motion : s_.motion;
    const bool g10 = block_.one_shot == OneShot::SetOffsets;
    if (block_.l_word && !g10) return Fault(WordText('L', *block_.l_word), "L word without G10:");
    if (block_.dwell_s && !block_.dwell && !g10 && motion != MotionMode::DrillDwell) {
      return Fault(WordText('P', *block_.dwell_s), "P word without G4, G10, G64 or G82:");
    }
    if (block_.peck_q && motion != MotionMode::PeckDrill && motion != MotionMode::ChipBreakDrill) {
      return Fault(WordText('Q', *block_.peck_q), "Q word without G83 or G73:");
    }
    if (block_.machine_coordinates) {
      if (!motion || !IsStraight(*motion)) return Fault("G53", "G53 moves only with G0 or G1 in effect:");
      if (s_.distance == DistanceMode::Incremental) return Fault("G53", "G53 takes absolute positions; G91 is in effect for");
    }
    if (block_.one_shot && TakesAxisWords(*block_.one_shot) && block_.motion && *block_.motion != MotionMode::Off &&
        block_.HasAxisWords()) {
      return Fault(WordText('G', MotionGcode(*block_.motion)),
                   "the axis words belong to " + OneShotText(*block_.one_shot) + "; no motion code with it:");
    }
    return std::nullopt;
  }

  // The machine target of each axis a block names, under the distance mode; others stay.
  std::optional<LineError> Targets(AxisArray<double>& target, bool machine_coordinates) const {
    target = Position();
    for (std::size_t axis = 0; axis < kAxisCount; ++axis) {
      const auto& word = block_.axes[axis];
      if (!word) continue;
      const double value = *word * ScaleFor(axis);
      if (machine_coordinates) {
        target[axis] = value;
      } else if (s_.distance == DistanceMode::Incremental) {
        target[axis] = Position()[axis] + value;
      } else {
        target[axis] = value + Offset(axis);
      }
      if (!InRange(target[axis])) return Fault(WordText(kAxisLetters[axis], *word), "coordinate out of range:");
    }
    return std::nullopt;
  }

  // A move the program wrote is kept even when it goes nowhere; one a cycle or G28 derives is not.
  void AddMove(MoveKind kind, const AxisArray<double>& target, double feed_per_s = 0, bool written = false) {
    if (target == Position() && !written) return;
    Move move;
    move.kind = kind;
    move.start_units = Position();
    move.end_units = target;
    move.feed_per_s = kind == MoveKind::Rapid ? 0 : feed_per_s;
    AddBuiltMove(move);
  }

  // Every move, written or derived (cycles, G28/G30), joins its neighbours as the path mode says.
  void AddBuiltMove(const Move& move) {
    Action action{};
    action.kind = Action::Kind::Move;
    action.line = block_.line;
    action.move = move;
    action.move.exact_stop = s_.path_mode == PathMode::ExactStop;
    action.move.path_tolerance_mm = s_.path_tolerance_mm;
    Add(out_, action);
    s_.position_units = move.end_units;
  }

  std::optional<LineError> CheckedOffset(double value, const std::string& word) const {
    if (!InRange(value)) return Fault(word, "offset out of range:");
    return std::nullopt;
  }

  std::optional<LineError> RunOneShot(OneShot code) {
    switch (code) {
      case OneShot::SetOffsets: return SetOffsets();
      case OneShot::GoHome: return GoHome(fixed_.g28_position);
      case OneShot::GoSecondHome: return GoHome(fixed_.g30_position);
      case OneShot::SetG92: {
        if (!block_.HasAxisWords()) return Fault("G92", "G92 needs axis words:");
        for (std::size_t axis = 0; axis < kAxisCount; ++axis) {
          const auto& word = block_.axes[axis];
          if (!word) continue;
          // The current position becomes the value written.
          const double offset = Position()[axis] - s_.work_offsets[static_cast<std::size_t>(s_.work_system - 1)][axis] -
                                (axis == kZ ? s_.tool_length_mm : 0.0) - *word * ScaleFor(axis);
          if (auto error = CheckedOffset(offset, WordText(kAxisLetters[axis], *word))) return error;
          s_.g92_offset[axis] = offset;
        }
        return std::nullopt;
      }
      case OneShot::ClearG92: s_.g92_offset = {}; return std::nullopt;
    }
    return std::nullopt;
  }

  std::optional<LineError> SetOffsets() {
    const std::string g10 = "G10";
    if (!block_.l_word || (*block_.l_word != 2 && *block_.l_word != 20)) {
      return Fault(block_.l_word ? WordText('L', *block_.l_word) : g10, "G10 sets work offsets with L2 or L20 only:");
    }
    if (!block_.dwell_s || *block_.dwell_s != std::floor(*block_.dwell_s) || *block_.dwell_s > kWorkSystems) {
      return Fault(block_.dwell_s ? WordText('P', *block_.dwell_s) : g10,
                   "G10 needs P0 (the system in use) or P1..P6 (G54..G59):");
    }
    if (block_.arc_r) return Fault(WordText('R', *block_.arc_r), "rotated work offsets are not supported:");
    if (s_.distance == DistanceMode::Incremental) {
      // Whether G91 makes the values increments differs between controllers: say so, never guess.
      return Fault(g10, "G10 under G91 is ambiguous; give it under G90:");
    }
    const int p = static_cast<int>(*block_.dwell_s);
    const auto system = static_cast<std::size_t>((p == 0 ? s_.work_system : p) - 1);
    for (std::size_t axis = 0; axis < kAxisCount; ++axis) {
      const auto& word = block_.axes[axis];
      if (!word) continue;
      const double value = *word * ScaleFor(axis);
      // L20: the offset that makes the current position read as the value written.
      const double offset = *block_.l_word == 2 ? value
                                                : Position()[axis] - value - s_.g92_offset[axis] -
                                                      (axis == kZ ? s_.tool_length_mm : 0.0);
      if (auto error = CheckedOffset(offset, WordText(kAxisLetters[axis], *word))) return error;
      s_.work_offsets[system][axis] = offset;
    }
    return std::nullopt;
  }

  // G28/G30: rapid through the point the axis words give, then to the stored position on those
  // axes (on every axis when none is named).
  std::optional<LineError> GoHome(const AxisArray<double>& stored) {
    if (block_.machine_coordinates) return Fault("G53", "G53 with " + OneShotText(*block_.one_shot) + ":");
    AxisArray<double> through{};
    if (auto error = Targets(through, false)) return error;
    AddMove(MoveKind::Rapid, through);
    AxisArray<double> home = Position();
    for (std::size_t axis = 0; axis < kAxisCount; ++axis) {
      if (block_.axes[axis] || !block_.HasAxisWords()) home[axis] = stored[axis];
    }
    AddMove(MoveKind::Rapid, home);
    return std::nullopt;
  }

  std::optional<LineError> RunMotion() {
    const bool axes_taken = block_.one_shot && TakesAxisWords(*block_.one_shot);
    if (block_.motion == MotionMode::Off) {
      if (block_.HasAxisWords() && !axes_taken) return Fault(FirstMotionWord(block_), "axis word with G80:");
      s_.motion.reset();
      return std::nullopt;
    }
    const std::optional<MotionMode> previous = s_.motion;
    if (block_.motion) s_.motion = *block_.motion;
    if (axes_taken) return std::nullopt;  // G10, G28, G30 or G92 had this line's axis words
    const bool moving = block_.HasAxisWords();
    if (!s_.motion) {
      if (moving || block_.HasArcWords()) {
        return Fault(FirstMotionWord(block_), "no motion mode (G0/G1/G2/G3) in effect for");
      }
      return std::nullopt;
    }
    const MotionMode mode = *s_.motion;
    if (IsDrillCycle(mode)) return RunCycle(mode, previous != mode, moving);
    if (block_.HasArcWords() && !IsArc(mode)) {
      return Fault(FirstCentreWord(block_), "arc word without G2/G3 in effect:");
    }
    if (!moving) {
      if (block_.HasArcWords()) return Fault(FirstCentreWord(block_), "arc without an end point (no axis words):");
      return std::nullopt;
    }
    AxisArray<double> target{};
    if (auto error = Targets(target, block_.machine_coordinates)) return error;
    if (mode == MotionMode::Rapid) {
      AddMove(MoveKind::Rapid, target, 0, true);
      return std::nullopt;
    }
    const std::string motion_word = WordText('G', MotionGcode(mode));
    if (s_.feed_mode == FeedMode::InverseTime && !block_.feed_per_min) {
      return Fault(motion_word, "G93 inverse time needs an F on every feed move:");
    }
    if (!s_.feed_mm_per_min) return Fault(motion_word, "no feed rate (F) set for");
    Move move;
    move.start_units = Position();
    move.end_units = target;
    if (mode == MotionMode::Linear) {
      move.kind = MoveKind::Linear;
    } else if (auto error = BuildArc(move, mode == MotionMode::ClockwiseArc, motion_word)) {
      return error;
    }
    if (s_.feed_mode == FeedMode::InverseTime) {
      // F is the inverse of the move's time in minutes.
      move.feed_per_s = PathLength(move) * *s_.feed_mm_per_min / 60.0;
      s_.feed_mm_per_min.reset();
    } else {
      move.feed_per_s = *s_.feed_mm_per_min / 60.0;
    }
    AddBuiltMove(move);
    return std::nullopt;
  }

  std::optional<LineError> BuildArc(Move& move, bool clockwise, const std::string& motion_word) const {
    const PlaneAxes plane = AxesOf(s_.plane);
    if (const auto& unused = CentreWord(block_, plane.unused_letter)) {
      return Fault(WordText(plane.unused_letter, *unused), std::string("no such arc centre word in the ") + plane.name +
                                                                 ": unsupported word");
    }
    const auto& first_word = CentreWord(block_, plane.first_letter);
    const auto& second_word = CentreWord(block_, plane.second_letter);
    const bool centre_form = first_word || second_word;
    if (centre_form && block_.arc_r) {
      return Fault(WordText('R', *block_.arc_r), "arc has both " + std::string(1, plane.first_letter) + "/" +
                                                     std::string(1, plane.second_letter) + " and");
    }
    if (!centre_form && !block_.arc_r) {
      return Fault(motion_word, "arc needs " + std::string(1, plane.first_letter) + "/" +
                                    std::string(1, plane.second_letter) + " or R:");
    }
    const PlanarPoint start{move.start_units[plane.first], move.start_units[plane.second]};
    const PlanarPoint end{move.end_units[plane.first], move.end_units[plane.second]};
    ArcBuild arc;
    if (centre_form) {
      double i = first_word.value_or(0) * Scale();
      double j = second_word.value_or(0) * Scale();
      if (s_.arc_centre == ArcCentreMode::Absolute) {
        // G90.1: the centre is a point in program coordinates (an unwritten word is 0 there).
        i = i + Offset(plane.first) - start.x_mm;
        j = j + Offset(plane.second) - start.y_mm;
      }
      arc = ArcFromCentre(start, end, i, j, clockwise);
    } else {
      arc = ArcFromRadius(start, end, *block_.arc_r * Scale(), clockwise);
    }
    if (!arc.ok()) {
      const std::string word = centre_form ? FirstCentreWord(block_) : WordText('R', *block_.arc_r);
      return LineError{word, arc.error + " in " + motion_word + " \"" + word + "\""};
    }
    move.kind = MoveKind::Arc;
    move.arc = arc.path;
    move.arc.first_axis = plane.first;
    move.arc.second_axis = plane.second;
    return std::nullopt;
  }

  // G81, G82, G83, G73 in the XY plane: to the hole at the clear level, down to R, drill (with
  // pecks or a dwell), then back up to R (G99) or to the level the cycle began at (G98).
  std::optional<LineError> RunCycle(MotionMode mode, bool entering, bool moving) {
    const std::string cycle_word = WordText('G', MotionGcode(mode));
    if (entering) {
      s_.cycle_r.reset();
      s_.cycle_z.reset();
      s_.cycle_q_mm.reset();
      s_.cycle_p_s.reset();
      s_.cycle_initial_z = Position()[kZ];
    }
    if (block_.arc_i || block_.arc_j || block_.arc_k) {
      return Fault(FirstCentreWord(block_), "arc word without G2/G3 in effect:");
    }
    if (block_.arc_r) s_.cycle_r = *block_.arc_r * Scale();
    if (block_.axes[kZ]) s_.cycle_z = *block_.axes[kZ] * Scale();
    if (block_.peck_q) s_.cycle_q_mm = *block_.peck_q * Scale();
    if (block_.dwell_s && !block_.dwell) s_.cycle_p_s = *block_.dwell_s;
    if (!moving) return std::nullopt;
    for (std::size_t axis = 3; axis < kAxisCount; ++axis) {
      if (block_.axes[axis]) {
        return Fault(WordText(kAxisLetters[axis], *block_.axes[axis]), "rotary axis word in a drilling cycle:");
      }
    }
    if (s_.plane != Plane::XY) return Fault(cycle_word, "drilling cycles run in the XY plane (G17) only:");
    if (s_.feed_mode != FeedMode::PerMinute) return Fault(cycle_word, "drilling cycles need G94 feed per minute:");
    if (!s_.feed_mm_per_min) return Fault(cycle_word, "no feed rate (F) set for");
    if (!s_.cycle_r) return Fault(cycle_word, "no R plane given for");
    if (!s_.cycle_z) return Fault(cycle_word, "no bottom Z given for");
    if ((mode == MotionMode::PeckDrill || mode == MotionMode::ChipBreakDrill) && !s_.cycle_q_mm) {
      return Fault(cycle_word, "no peck depth Q given for");
    }
    if (mode == MotionMode::DrillDwell && !s_.cycle_p_s) return Fault(cycle_word, "no dwell P given for");

    // The hole and its levels in machine coordinates.
    const double z_offset = Offset(kZ);
    AxisArray<double> hole = Position();
    for (std::size_t axis : {kX, kY}) {
      const auto& word = block_.axes[axis];
      if (!word) continue;
      const double value = *word * Scale();
      hole[axis] = s_.distance == DistanceMode::Incremental ? Position()[axis] + value : value + Offset(axis);
    }
    double r_level = 0;
    double bottom = 0;
    if (s_.distance == DistanceMode::Incremental) {
      r_level = Position()[kZ] + *s_.cycle_r;  // R from where Z is, the bottom from R
      bottom = r_level + *s_.cycle_z;
    } else {
      r_level = *s_.cycle_r + z_offset;
      bottom = *s_.cycle_z + z_offset;
    }
    for (double value : {hole[kX], hole[kY], r_level, bottom}) {
      if (!InRange(value)) return Fault(FirstMotionWord(block_), "coordinate out of range:");
    }
    if (!(bottom < r_level)) {
      return Fault(block_.axes[kZ] ? WordText('Z', *block_.axes[kZ]) : cycle_word,
                   "the bottom of the hole must lie below the R plane:");
    }
    const double feed_per_s = *s_.feed_mm_per_min / 60.0;
    const double clear = s_.retract == RetractMode::RPlane ? r_level : std::max(s_.cycle_initial_z, r_level);
    int pecks = 1;
    if (s_.cycle_q_mm && (mode == MotionMode::PeckDrill || mode == MotionMode::ChipBreakDrill)) {
      const double count = std::ceil((r_level - bottom) / *s_.cycle_q_mm - 1e-9);
      if (!(count <= kMaxPecksPerHole)) {
        return Fault(WordText('Q', *s_.cycle_q_mm / Scale()),
                     "peck depth gives more than " + std::to_string(kMaxPecksPerHole) + " pecks per hole:");
      }
      pecks = static_cast<int>(std::max(1.0, count));
    }

    auto z_to = [&](double z, MoveKind kind) {
      AxisArray<double> target = Position();
      target[kZ] = z;
      AddMove(kind, target, feed_per_s);
    };
    if (Position()[kZ] < r_level) z_to(r_level, MoveKind::Rapid);
    AxisArray<double> above = Position();
    above[kX] = hole[kX];
    above[kY] = hole[kY];
    AddMove(MoveKind::Rapid, above);
    z_to(r_level, MoveKind::Rapid);
    if (mode == MotionMode::Drill || mode == MotionMode::DrillDwell) {
      z_to(bottom, MoveKind::Linear);
      if (mode == MotionMode::DrillDwell) {
        Action dwell{};
        dwell.kind = Action::Kind::Dwell;
        dwell.line = block_.line;
        dwell.dwell_s = *s_.cycle_p_s;
        Add(out_, dwell);
      }
    } else {
      double depth = r_level;
      for (int peck = 0; peck < pecks; ++peck) {
        const double next = std::max(bottom, r_level - *s_.cycle_q_mm * (peck + 1));
        if (peck > 0 && mode == MotionMode::PeckDrill) z_to(std::min(r_level, depth + kPeckClearance_mm), MoveKind::Rapid);
        z_to(next, MoveKind::Linear);
        depth = next;
        if (peck + 1 == pecks) break;
        // G83 leaves the hole to clear the chips; G73 backs off just enough to break them.
        z_to(mode == MotionMode::PeckDrill ? r_level : std::min(r_level, depth + kPeckClearance_mm), MoveKind::Rapid);
      }
    }
    z_to(clear, MoveKind::Rapid);
    return std::nullopt;
  }

  void End() {
    // Program end stops the spindle and the coolant; leaving them on after the last line would
    // be unsafe.
    if (s_.spindle_mcode != 5) {
      s_.spindle_mcode = 5;
      AddAction(Action::Kind::Spindle);
    }
    if (s_.mist || s_.flood) {
      s_.mist = false;
      s_.flood = false;
      AddAction(Action::Kind::Coolant);
    }
    s_.ended = true;
  }

  const Block& block_;
  ModalState& s_;
  const WorkSetup& fixed_;
  ActionList& out_;
};

}  // namespace

Interpreter::Interpreter(const WorkSetup& setup) : fixed_(setup) {
  state_.work_offsets = setup.work_offsets;
  state_.g92_offset = setup.g92_offset;
}

WorkSetup Interpreter::setup() const {
  WorkSetup setup = fixed_;
  setup.work_offsets = state_.work_offsets;
  setup.g92_offset = state_.g92_offset;
  return setup;
}

std::optional<LineError> Interpreter::Execute(const Block& block, ActionList& out) {
  out.count = 0;
  ModalState next = state_;  // committed only when the whole block is sound
  if (auto error = BlockRun(block, next, fixed_, out).Run()) {
    out.count = 0;
    return error;
  }
  state_ = next;
  return std::nullopt;
}

}  // namespace kvgcode
