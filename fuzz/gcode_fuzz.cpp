// The G-code reader and the planner: any text either is refused with a message or plans into
// segments whose steps add up, axis by axis, to the programmed end.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "machine_settings.h"
#include "planner.h"
#include "program.h"

namespace {

// Beyond this many segments an input is a long job, not a new path through the code.
constexpr std::uint64_t kSegmentBudget = 200000;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const kvgcode::ParseResult parsed = kvgcode::ParseProgram(text);
  if (!parsed.ok()) {
    if (parsed.error().message.empty()) std::abort();
    return 0;
  }
  const kvgcode::MachineSettings settings = kvgcode::DefaultMillSettings();
  kvgcode::Planner planner(parsed.program(), settings, 0.003);
  kvgcode::AxisArray<std::int64_t> sum{};
  kvgcode::PlanEvent event;
  std::uint64_t segments = 0;
  while (planner.Next(event)) {
    if (event.kind != kvgcode::PlanEvent::Kind::Segment) continue;
    for (std::size_t k = 0; k < kvgcode::kAxisCount; ++k) {
      if (std::abs(event.steps[k]) > kvgcode::kMaxSegmentSteps) std::abort();
      sum[k] += event.steps[k];
    }
    if (++segments > kSegmentBudget) return 0;
  }
  if (planner.error()) return 0;  // refused while planning, with a message
  for (std::size_t k = 0; k < kvgcode::kAxisCount; ++k) {
    const std::int64_t end = std::llround(planner.position_units()[k] * settings.steps_per_unit[k]);
    if (sum[k] != end || planner.position_steps()[k] != end) std::abort();
  }
  return 0;
}
