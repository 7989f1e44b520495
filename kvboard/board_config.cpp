// Timing figures the board derives from its identity and the plug-in's parameters.
#include "board_config.h"

#include <algorithm>

namespace kvboard {

std::optional<std::uint32_t> SegmentPeriodUs(std::uint32_t pulse_figure, std::uint32_t pulse_rate_hz) {
  if (pulse_figure == 0 || pulse_rate_hz == 0) return std::nullopt;
  // T = figure / (2 × rate) seconds; in µs, rounded to the nearest.
  const std::uint64_t twice_rate = 2 * static_cast<std::uint64_t>(pulse_rate_hz);
  const std::uint64_t us = (static_cast<std::uint64_t>(pulse_figure) * 1000000 + twice_rate / 2) / twice_rate;
  return static_cast<std::uint32_t>(std::clamp<std::uint64_t>(us, kMinSegmentPeriodUs, kMaxSegmentPeriodUs));
}

}  // namespace kvboard
