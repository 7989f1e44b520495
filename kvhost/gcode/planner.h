// Trajectory planner: turns a parsed program into fixed-period segments of whole steps per axis.
// The host pulls one event at a time as its ring has room, so even a long program never has
// more than one move's state in memory.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "block_source.h"
#include "interpreter.h"
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

class Planner {
 public:
  // The source is rewound and read as the plan goes; it is referenced, not copied, and must
  // outlive the planner. The machine starts at zero on every axis. Invalid settings leave the
  // planner with error() set and no events.
  Planner(BlockSource& source, const MachineSettings& settings, double segment_time_s);
  // A program in memory, referenced likewise.
  Planner(const Program& program, const MachineSettings& settings, double segment_time_s);
  Planner(Program&&, const MachineSettings&, double) = delete;  // would dangle

  // Produces the next event; false when the program is finished or on error (see error()).
  bool Next(PlanEvent& out);

  // Counts the rest of the move under way as handed out, without sampling it, and returns how
  // many segments that was: position_steps() then stands at the move's end, exactly where the
  // last of those segments would have left it. For summaries, which need counts, not steps.
  std::uint64_t SkipRestOfMove();

  const std::optional<std::string>& error() const { return error_; }
  // Machine position in steps after the last segment handed out.
  const AxisArray<std::int64_t>& position_steps() const { return steps_; }
  // Programmed position the interpreter has reached (ahead of the segments while a move runs).
  const AxisArray<double>& position_units() const { return interpreter_.position_units(); }
  std::uint64_t moves_planned() const { return moves_planned_; }

 private:
  void BeginMove(const Action& action);
  bool EmitSegment(PlanEvent& out);
  static PlanEvent EventFor(const Action& action);

  std::unique_ptr<ProgramBlocks> own_source_;  // set when planning a program in memory
  BlockSource& source_;
  MachineSettings settings_;
  double segment_time_s_;
  Interpreter interpreter_;
  Block block_;
  ActionList actions_;
  std::size_t next_action_ = 0;

  // The move being sampled.
  Move move_;
  int move_line_ = 0;
  double move_length_ = 0;
  TrapezoidProfile profile_;
  std::uint64_t move_segments_ = 0;
  std::uint64_t segments_done_ = 0;

  AxisArray<std::int64_t> steps_{};
  std::uint64_t moves_planned_ = 0;
  std::optional<std::string> error_;
};

}  // namespace kvgcode
