// The modal state machine that turns Blocks into machine actions in millimetres/degrees.
// Both the parser (to find every fault up front) and the planner (to produce motion) run it,
// so they can never disagree about what a program means.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <vector>

#include "arc_geometry.h"
#include "axes.h"
#include "line_error.h"
#include "program.h"
#include "work_setup.h"

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
  bool exact_stop = false;                   // G61: come to rest exactly at the end
  std::optional<double> path_tolerance_mm;   // G64 P; none: the machine's junction deviation
};

struct Action {
  enum class Kind : std::uint8_t { Move, Dwell, Spindle, Tool, Coolant, Pause };
  Kind kind = Kind::Move;
  int line = 0;
  Move move;
  double dwell_s = 0;
  int spindle_mcode = 0;  // 3, 4 or 5
  double spindle_speed = 0;
  int tool = 0;
  bool mist = false;          // Coolant: M7 output on
  bool flood = false;         // Coolant: M8 output on
  bool optional_pause = false;  // Pause: M1 rather than M0
};

// A drilling cycle's pecks are bounded so that one line cannot become millions of moves.
inline constexpr int kMaxPecksPerHole = 10000;

// How far a peck drill stops short of the depth it reached before, coming back down (G83), and
// how far it backs off to break the chip (G73).
inline constexpr double kPeckClearance_mm = 0.254;

// The actions of one block in execution order; the storage is kept between blocks, so a
// program allocates only for its busiest line.
struct ActionList {
  std::vector<Action> items;
  std::size_t count = 0;
};

// Everything a block may change; a block works on a copy and commits it whole.
struct ModalState {
  Units units = Units::Millimetres;
  DistanceMode distance = DistanceMode::Absolute;
  FeedMode feed_mode = FeedMode::PerMinute;
  Plane plane = Plane::XY;
  ArcCentreMode arc_centre = ArcCentreMode::Incremental;
  RetractMode retract = RetractMode::InitialLevel;
  PathMode path_mode = PathMode::Blend;
  std::optional<double> path_tolerance_mm;  // G64 P; none: the machine's junction deviation
  std::optional<MotionMode> motion;
  std::optional<double> feed_mm_per_min;  // under G93 the F of the line, never kept
  double spindle_speed = 0;
  int spindle_mcode = 5;
  int tool = 0;                // selected by T
  int tool_in_spindle = 0;     // made current by M6
  double tool_length_mm = 0;   // the G43 offset in force along Z
  int work_system = 1;         // 1 = G54
  bool mist = false;
  bool flood = false;
  // A drilling cycle's words in millimetres as written, kept for the holes that follow on
  // lines of their own.
  std::optional<double> cycle_r;
  std::optional<double> cycle_z;
  std::optional<double> cycle_q_mm;
  std::optional<double> cycle_p_s;
  double cycle_initial_z = 0;  // machine Z when the cycle began: the G98 level
  bool ended = false;
  std::array<AxisArray<double>, kWorkSystems> work_offsets{};
  AxisArray<double> g92_offset{};
  AxisArray<double> position_units{};  // machine coordinates
};

class Interpreter {
 public:
  // The machine starts at zero on every axis, in G54, with these offsets and tables.
  explicit Interpreter(const WorkSetup& setup = WorkSetup{});

  // Runs one block, replacing `out` with its actions in execution order. On an error the state
  // is left as it was before the block and `out` is empty.
  std::optional<LineError> Execute(const Block& block, ActionList& out);

  // True once M2/M30 has run; later blocks must not be executed.
  bool ended() const { return state_.ended; }
  // Where the machine is, in machine coordinates (millimetres and degrees).
  const AxisArray<double>& position_units() const { return state_.position_units; }
  // The offsets and tables as the blocks so far left them (G10, G92 and G92.1 change offsets).
  WorkSetup setup() const;
  const ModalState& state() const { return state_; }

 private:
  ModalState state_;
  WorkSetup fixed_;  // the tool table and the G28/G30 positions; the offsets live in state_
};

}  // namespace kvgcode
