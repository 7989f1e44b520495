// The modal state machine that turns Blocks into machine actions in millimetres/degrees.
// Both the parser (to find every fault up front) and the planner (to produce motion) run it,
// so they can never disagree about what a program means.
#pragma once

#include <array>
#include <cstddef>
#include <optional>

#include "arc_geometry.h"
#include "axes.h"
#include "line_error.h"
#include "program.h"

namespace kvgcode {

// Programmed positions beyond a kilometre (or 10^6 degrees) are treated as mistakes.
inline constexpr double kMaxCoordinate_units = 1e6;

inline constexpr double kMillimetresPerInch = 25.4;

enum class MoveKind : std::uint8_t { Rapid, Linear, Arc };

struct Move {
  MoveKind kind = MoveKind::Rapid;
  AxisArray<double> start_units{};
  AxisArray<double> end_units{};
  double feed_per_s = 0;  // path speed asked for; 0 for rapids
  ArcPath arc;            // used when kind == Arc
};

struct Action {
  enum class Kind : std::uint8_t { Move, Dwell, Spindle, Tool };
  Kind kind = Kind::Move;
  int line = 0;
  Move move;
  double dwell_s = 0;
  int spindle_mcode = 0;  // 3, 4 or 5
  double spindle_speed = 0;
  int tool = 0;
};

// Speed change or spindle command, tool, dwell, move, and the spindle stop of a program end.
inline constexpr std::size_t kMaxActionsPerBlock = 5;

struct ActionList {
  std::array<Action, kMaxActionsPerBlock> items{};
  std::size_t count = 0;
};

class Interpreter {
 public:
  // Runs one block, replacing `out` with its actions in execution order. On an error the state
  // is left as it was before the block and `out` is empty.
  std::optional<LineError> Execute(const Block& block, ActionList& out);

  // True once M2/M30 has run; later blocks must not be executed.
  bool ended() const { return ended_; }
  const AxisArray<double>& position_units() const { return position_units_; }

 private:
  Units units_ = Units::Millimetres;
  DistanceMode distance_ = DistanceMode::Absolute;
  std::optional<MotionMode> motion_;
  std::optional<double> feed_mm_per_min_;
  double spindle_speed_ = 0;
  int spindle_mcode_ = 5;
  int tool_ = 0;
  bool ended_ = false;
  AxisArray<double> position_units_{};
};

}  // namespace kvgcode
