// Programs that must not hang, flood or mislead: a huge word is quoted in part, and a move that
// would take years is summarised at once, counted rather than sampled, to the exact end.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "plan_summary.h"
#include "test_support.h"

namespace kvgcode {
namespace {

TEST(BadInput, AHugeWordIsQuotedInPart) {
  for (const std::string& line : {"X" + std::string(1 << 20, '7') + "..", "Q" + std::string(1 << 20, '1'),
                                  "G1 X1 F" + std::string(1 << 20, '9') + "x"}) {
    const ParseResult result = ParseProgram(line);
    ASSERT_FALSE(result.ok());
    EXPECT_LT(result.error().message.size(), 120u) << result.error().message.substr(0, 200);
    EXPECT_LT(result.error().word.size(), 40u);
    EXPECT_NE(result.error().message.find("..."), std::string::npos) << result.error().message;
  }
}

TEST(BadInput, ASlowMoveIsSummarisedAtOnceToItsExactEnd) {
  const Program program = testing::MustParse("G21 G90\nG1 X1 Y-0.5 F0.000001\nM2\n");
  const auto start = std::chrono::steady_clock::now();
  const PlanSummary s = Summarize(program, DefaultMillSettings(), 0.003);
  const double took_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ASSERT_FALSE(s.error) << *s.error;
  EXPECT_LT(took_s, 1.0);
  EXPECT_GT(s.segments, 20'000'000'000u) << "about 2e10 segments of 3 ms";
  EXPECT_EQ(s.end_steps[0], 800);
  EXPECT_EQ(s.end_steps[1], -400);
}

TEST(BadInput, TheSummaryCountsWhatThePlannerHandsOut) {
  const Program program = testing::MustParse("G21 G90\nG1 X10 Y5 F600\nG2 X20 Y5 I5 J0\nG4 P0.5\nG0 Z-2\nM2\n");
  const PlanSummary s = Summarize(program, DefaultMillSettings(), 0.003);
  std::uint64_t segments = 0;
  AxisArray<std::int64_t> sum{};
  for (const PlanEvent& e : testing::PlanAll(program, DefaultMillSettings(), 0.003)) {
    if (e.kind != PlanEvent::Kind::Segment) continue;
    ++segments;
    for (std::size_t k = 0; k < kAxisCount; ++k) sum[k] += e.steps[k];
  }
  EXPECT_EQ(s.segments, segments);
  EXPECT_EQ(s.end_steps, sum);
  EXPECT_DOUBLE_EQ(s.dwell_time_s, 0.5);
}

}  // namespace
}  // namespace kvgcode
