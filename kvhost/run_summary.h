// The end-of-run summary: printed for the user and written as one JSON object for tools.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "program_runner.h"

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
};

// Human-readable lines on standard output.
void PrintSummary(const RunSummary& summary);
// One JSON object; false (with the reason) when the file cannot be written.
bool WriteSummaryJson(const RunSummary& summary, const std::string& path, std::string& error);
std::string SummaryJson(const RunSummary& summary);

}  // namespace kvhost
