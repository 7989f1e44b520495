// The end-of-run summary: printed for the user and written as one JSON object for tools.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "plan_summary.h"
#include "program_runner.h"
#include "shell/host_contract.h"

namespace kvhost {

struct RunSummary {
  RunResult run;
  double segment_time_s = 0;
  std::array<double, 6> steps_per_unit{};
  std::uint64_t segments_total = 0;  // planned by the dry run
  std::optional<std::array<std::int32_t, 6>> board_end_steps;  // simulated board only
  std::optional<std::uint32_t> underruns;                      // simulated board only
  std::optional<std::uint64_t> segments_sent;                  // segments the board received
  std::optional<std::int32_t> lowest_queue_depth;
  // Simulated board only: per axis, the most steps it executed in one segment period and the
  // largest change of that from one period to the next.
  std::optional<std::array<std::int32_t, 6>> board_peak_steps_per_segment;
  std::optional<std::array<std::int32_t, 6>> board_peak_step_change;
  // A dry run plans only (no plug-in, no board): no wall time or host position is written, and
  // `completed` stays false, since nothing was cut.
  bool dry_run = false;
  std::string link;  // "ethernet" or "usb": the link the run went over (empty for a dry run)
  std::optional<double> estimated_time_s;                 // dry run: segments x period + dwells
  std::optional<double> dwell_time_s;                     // dry run
  std::optional<std::array<double, 6>> program_end_units;  // dry run
  std::optional<host::LinkState> link_health;  // the plug-in's counters at the end of the run
};

// What a run came to. A run is completed only when the plug-in reported rest after the last
// segment, the host (and a board that tells its own position) ended exactly on the programmed
// end, and the board's queue never ran dry mid-motion: an underrun is a stop in the middle of a
// cut.
enum class RunOutcome { kCompleted, kEndMismatch, kUnderruns, kEstop, kTimedOut, kStalled, kInterrupted, kFailed };
RunOutcome Outcome(const RunSummary& summary);
// "" when the host's end (and the board's, where known) is the programmed end, in steps;
// otherwise the first axis that differs, in words.
std::string EndMismatch(const RunSummary& summary);
// The word for an outcome in the JSON ("completed", "end_mismatch", "underruns", ...).
const char* OutcomeName(RunOutcome outcome);

// The summary of a dry run: what the planner made of the program at the segment period.
RunSummary DryRunSummary(const kvgcode::PlanSummary& plan, const kvgcode::MachineSettings& settings,
                         double segment_time_s);

// The board's peaks in machine units: per axis, units/s and units/s² (0 for an axis without
// steps per unit).
std::array<double, 6> PeakVelocity(const RunSummary& summary);
std::array<double, 6> PeakAcceleration(const RunSummary& summary);

// Human-readable lines on standard output.
void PrintSummary(const RunSummary& summary);
// One JSON object; false (with the reason) when the file cannot be written.
bool WriteSummaryJson(const RunSummary& summary, const std::string& path, std::string& error);
std::string SummaryJson(const RunSummary& summary);

}  // namespace kvhost
