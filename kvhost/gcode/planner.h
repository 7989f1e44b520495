// Trajectory planner: turns a parsed program into fixed-period segments of whole steps per axis.
// Moves are joined without stopping where the path allows (see lookahead.h); the machine comes
// to rest exactly on the programmed point at an exact stop (G61), before a dwell, spindle or
// tool event, and at the end. The host pulls one event at a time as its ring has room, and the
// planner holds no more than its fixed look-ahead window of the program.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "block_source.h"
#include "interpreter.h"
#include "lookahead.h"
#include "machine_settings.h"
#include "motion_profile.h"
#include "program.h"

namespace kvgcode {

struct PlanEvent {
  enum class Kind : std::uint8_t { Segment, Dwell, Spindle, Tool, Coolant, Pause };
  Kind kind = Kind::Segment;
  std::array<std::int32_t, kAxisCount> steps{};  // Segment: steps to make during the period
  double dwell_s = 0;                             // Dwell
  int spindle_mcode = 0;                          // Spindle: 3, 4 or 5
  double spindle_speed = 0;                       // Spindle: the S in force
  int tool = 0;                                   // Tool: the T in force
  bool mist = false;                              // Coolant: M7's output on
  bool flood = false;                             // Coolant: M8's output on
  bool optional_pause = false;                    // Pause: M1 rather than M0
  int line = 0;                                   // source line that caused the event
};

// Whether to follow the program's own G61/G64, or to plan every move one way (for comparisons).
enum class PathControl : std::uint8_t { AsProgrammed, ExactStop, Blend };

class Planner {
 public:
  // The source is rewound and read as the plan goes; it is referenced, not copied, and must
  // outlive the planner. The machine starts at zero on every axis. Invalid settings leave the
  // planner with error() set and no events.
  Planner(BlockSource& source, const MachineSettings& settings, double segment_time_s,
          PathControl control = PathControl::AsProgrammed);
  // A program in memory, referenced likewise.
  Planner(const Program& program, const MachineSettings& settings, double segment_time_s,
          PathControl control = PathControl::AsProgrammed);
  Planner(Program&&, const MachineSettings&, double, PathControl = PathControl::AsProgrammed) = delete;  // would dangle

  // Produces the next event; false when the program is finished or on error (see error()).
  bool Next(PlanEvent& out);

  // Counts the rest of the piece of path under way as handed out, without sampling it, and
  // returns how many segments that was: position_steps() then stands where the last of those
  // segments would have left it (at the end of a move that comes to rest, its exact end). For
  // summaries, which need counts, not steps.
  std::uint64_t SkipRestOfMove();

  const std::optional<std::string>& error() const { return error_; }
  // Machine position in steps after the last segment handed out.
  const AxisArray<std::int64_t>& position_steps() const { return steps_; }
  // Programmed position the interpreter has reached (ahead of the segments while a move runs).
  const AxisArray<double>& position_units() const { return interpreter_.position_units(); }
  std::uint64_t moves_planned() const { return moves_planned_; }

 private:
  // Reads the program until the window is full or the chain of joined moves ends.
  void Fill();
  // Takes the next action into the window (or holds it as the event that ends the chain);
  // false once the program is over or on error.
  bool ReadAction();
  void Take(const PieceBuilder::Output& output);
  // No more input: the chain under way ends with the moves read so far.
  void EndInput();
  // Fixes the speed profile of the piece at the window's front, which the segments enter now.
  void Freeze();
  // Moves on to the piece after the front one.
  void Advance();
  bool LastOfChain() const { return chain_closed_ && window_.size() == 1; }
  // The sampled point `t_s` after the chain began, in the front piece.
  AxisArray<double> PointAt(double t_s) const;
  bool StepTo(const AxisArray<double>& position, int line, PlanEvent* out);
  bool EmitSegment(PlanEvent& out);
  static PlanEvent EventFor(const Action& action);

  std::unique_ptr<ProgramBlocks> own_source_;  // set when planning a program in memory
  BlockSource& source_;
  MachineSettings settings_;
  double segment_time_s_;
  PathControl control_;
  Interpreter interpreter_;
  Block block_;
  ActionList actions_;
  std::size_t next_action_ = 0;
  bool input_done_ = false;
  // A fault met while reading ahead: the moves before it are still completed, to rest, first.
  std::optional<std::string> input_error_;

  // The chain of joined pieces being planned and sampled.
  PieceBuilder builder_;
  LookaheadWindow window_;
  bool chain_started_ = false;         // a piece of this chain has entered the window
  bool chain_closed_ = false;          // every piece of this chain is in the window
  std::optional<PlanEvent> held_event_;  // to hand out once the chain has come to rest
  bool front_frozen_ = false;
  SpeedProfile front_profile_;
  double front_start_s_ = 0;   // chain time at which the front piece begins
  double front_end_s_ = 0;
  double front_exit_per_s_ = 0;  // speed at the front piece's end, the next one's entry
  std::uint64_t final_boundary_ = 0;  // last segment of the chain, once its last piece is frozen
  std::uint64_t boundary_ = 0;  // segments handed out in this chain

  AxisArray<std::int64_t> steps_{};
  std::uint64_t moves_planned_ = 0;
  std::optional<std::string> error_;
};

}  // namespace kvgcode
