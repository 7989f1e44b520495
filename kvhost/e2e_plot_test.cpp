// kvhost --plot after a run against the simulated board: the positions the board reported,
// sampled by the program runner, drawn over the planned path.
#include <gtest/gtest.h>
#include <pugixml.hpp>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "e2e_fixture.h"
#include "path_plot.h"

namespace kvhost::e2e {
namespace {

class E2ePlot : public E2eTest {};

// kvhost --plot after a run: the positions the board reported lie on the planned path, end at
// the programmed end, and are drawn over the plan in the document.
TEST_F(E2ePlot, ThePlotOfARunPutsTheBoardsPositionsOnThePlannedPath) {
  const kvgcode::Program program = Parse(
      "G21 G90\nG0 X5 Y3\nG1 X15 Y3 F1200\nG2 X15 Y-3 I0 J-3\nG1 X5 Y-3\nG0 Z2\nM30\n", "inline program");
  ASSERT_NO_FATAL_FAILURE(Connect());
  PathPlot plot(config_.motion, machine_.planner().segment_time);
  const ProgramOutcome out = RunProgram(program, {}, [&](ProgramRunner& runner) {
    // The plan's rapids need the program's lines; here only the path and the samples matter.
    runner.OnSegment([&](const kvgcode::PlanEvent& e) { plot.AddSegment(e.steps, false); });
    runner.OnPosition([&](const std::array<std::int32_t, 6>& p) { plot.AddExecuted(p); }, kPlotSamplePeriodMs);
  });
  ExpectEndedOnProgrammedPosition(out);
  plot.AddExecuted(out.host_end);

  const std::vector<PlotPoint>& planned = plot.planned().points();
  const std::vector<PlotPoint>& executed = plot.executed().points();
  ASSERT_GE(planned.size(), 4u);
  ASSERT_GE(executed.size(), 10u) << "about 2 s of motion sampled every 20 ms";
  EXPECT_EQ(executed.back().xyz_mm, (std::array<double, 3>{5, -3, 2}));
  EXPECT_EQ(planned.back().xyz_mm, executed.back().xyz_mm);
  // Each reported position lies on the planned path (drawn to its tolerance) in all three axes.
  const double bound = 2 * kPlotTolerance_mm + 2.0 / 800;
  for (const PlotPoint& p : executed) {
    double best = std::numeric_limits<double>::infinity();
    for (std::size_t i = 1; i < planned.size(); ++i) {
      const auto& a = planned[i - 1].xyz_mm;
      const auto& b = planned[i].xyz_mm;
      double ab2 = 0, t = 0;
      for (int k = 0; k < 3; ++k) {
        ab2 += (b[k] - a[k]) * (b[k] - a[k]);
        t += (p.xyz_mm[k] - a[k]) * (b[k] - a[k]);
      }
      t = ab2 > 0 ? std::clamp(t / ab2, 0.0, 1.0) : 0.0;
      double d2 = 0;
      for (int k = 0; k < 3; ++k) d2 += std::pow(p.xyz_mm[k] - (a[k] + t * (b[k] - a[k])), 2);
      best = std::min(best, std::sqrt(d2));
    }
    EXPECT_LE(best, bound) << "reported " << p.xyz_mm[0] << " " << p.xyz_mm[1] << " " << p.xyz_mm[2];
  }
  pugi::xml_document doc;
  ASSERT_TRUE(doc.load_string(plot.Svg("run").c_str()));
  const pugi::xml_node track = doc.find_node([](const pugi::xml_node& n) {
    return std::string(n.attribute("id").value()) == "xy-executed";
  });
  ASSERT_TRUE(track) << "the board's track is not in the document";
  EXPECT_TRUE(track.child("polyline"));
}

}  // namespace
}  // namespace kvhost::e2e
