// kvhost --plot: the SVG parses as XML, shows the path's extent and end in machine millimetres
// with Y and Z up, splits rapids from feeds, stays bounded on long programs, and survives any
// bytes in its title. kvhost's own handling of the option (refused paths, a failed write) runs
// the binary.
#include "path_plot.h"

#include <gtest/gtest.h>
#include <pugixml.hpp>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "plan_summary.h"
#include "kvhost_run_test_support.h"
#include "test_support.h"

namespace kvhost {
namespace {

namespace fs = std::filesystem;

using Point2 = std::array<double, 2>;

std::vector<double> Numbers(const std::string& text) {
  std::vector<double> out;
  std::string cleaned = text;
  std::replace_if(cleaned.begin(), cleaned.end(), [](char c) { return c == ',' || c == '(' || c == ')'; }, ' ');
  std::istringstream in(cleaned);
  std::string word;
  while (in >> word) {
    char* end = nullptr;
    const double v = std::strtod(word.c_str(), &end);
    if (end != word.c_str() && *end == '\0') out.push_back(v);
  }
  return out;
}

std::vector<Point2> Points(const pugi::xml_node& polyline) {
  const std::vector<double> n = Numbers(polyline.attribute("points").value());
  std::vector<Point2> points;
  for (std::size_t i = 0; i + 1 < n.size(); i += 2) points.push_back({n[i], n[i + 1]});
  return points;
}

struct ParsedView {
  std::vector<std::vector<Point2>> feeds, rapids, executed;
  std::vector<Point2> all_plan;  // in document order
  double tx = 0, ty = 0;         // translate of the machine group; its scale must be (1, -1)
};

struct ParsedSvg {
  std::array<double, 4> view_box{};
  ParsedView xy, xz;
};

pugi::xml_node ById(const pugi::xml_node& root, const std::string& id) {
  return root.find_node([&](const pugi::xml_node& n) { return id == n.attribute("id").value(); });
}

// Parses the document and reads both views; fails the test when it is not well-formed.
ParsedSvg ParseSvg(const std::string& svg) {
  ParsedSvg out;
  pugi::xml_document doc;
  const pugi::xml_parse_result parsed = doc.load_string(svg.c_str());
  EXPECT_TRUE(parsed) << parsed.description() << " at offset " << parsed.offset;
  const pugi::xml_node root = doc.child("svg");
  EXPECT_TRUE(root) << "no svg element";
  EXPECT_STREQ(root.attribute("xmlns").value(), "http://www.w3.org/2000/svg");
  const std::vector<double> box = Numbers(root.attribute("viewBox").value());
  EXPECT_EQ(box.size(), 4u) << root.attribute("viewBox").value();
  for (std::size_t i = 0; i < 4 && i < box.size(); ++i) out.view_box[i] = box[i];
  for (auto [view, id] : {std::pair<ParsedView*, std::string>{&out.xy, "xy"}, {&out.xz, "xz"}}) {
    const pugi::xml_node machine = ById(root, id + "-machine");
    EXPECT_TRUE(machine) << id;
    const std::string transform = machine.attribute("transform").value();
    EXPECT_NE(transform.find("scale(1 -1)"), std::string::npos) << "the vertical axis must point up: " << transform;
    const std::vector<double> t = Numbers(transform.substr(0, transform.find("scale")));
    EXPECT_EQ(t.size(), 2u) << transform;
    if (t.size() == 2) {
      view->tx = t[0];
      view->ty = t[1];
    }
    for (const pugi::xml_node& p : ById(root, id + "-plan").children("polyline")) {
      const std::vector<Point2> points = Points(p);
      if (std::string(p.attribute("class").value()) == "rapid") {
        EXPECT_TRUE(p.attribute("stroke-dasharray")) << "rapids are dashed";
        view->rapids.push_back(points);
      } else {
        EXPECT_FALSE(p.attribute("stroke-dasharray")) << "feeds are solid";
        view->feeds.push_back(points);
      }
      view->all_plan.insert(view->all_plan.end(), points.begin(), points.end());
    }
    for (const pugi::xml_node& p : ById(root, id + "-executed").children("polyline")) view->executed.push_back(Points(p));
  }
  return out;
}

// Where a machine point of a view lands in the document.
Point2 OnPage(const ParsedView& view, const Point2& machine) { return {view.tx + machine[0], view.ty - machine[1]}; }

bool InsideViewBox(const ParsedSvg& svg, const Point2& page) {
  return page[0] >= svg.view_box[0] && page[0] <= svg.view_box[0] + svg.view_box[2] && page[1] >= svg.view_box[1] &&
         page[1] <= svg.view_box[1] + svg.view_box[3];
}

double DistanceToSegment(const Point2& p, const Point2& a, const Point2& b) {
  const double dx = b[0] - a[0], dy = b[1] - a[1];
  const double len2 = dx * dx + dy * dy;
  double t = len2 > 0 ? ((p[0] - a[0]) * dx + (p[1] - a[1]) * dy) / len2 : 0;
  t = std::clamp(t, 0.0, 1.0);
  return std::hypot(p[0] - (a[0] + t * dx), p[1] - (a[1] + t * dy));
}

double DistanceToPolyline(const Point2& p, const std::vector<Point2>& line) {
  double best = std::numeric_limits<double>::infinity();
  for (std::size_t i = 1; i < line.size(); ++i) best = std::min(best, DistanceToSegment(p, line[i - 1], line[i]));
  if (line.size() == 1) best = std::hypot(p[0] - line[0][0], p[1] - line[0][1]);
  return best;
}

PathPlot PlotOf(const std::string& gcode, std::optional<std::string>* error = nullptr) {
  static const kvgcode::MachineSettings settings = kvgcode::DefaultMillSettings();
  const kvgcode::Program program = kvgcode::testing::MustParse(gcode);
  kvgcode::ProgramBlocks source(program);
  PathPlot plot(settings, 0.003);
  const std::optional<std::string> e = PlotPlan(source, settings, 0.003, plot);
  if (error) *error = e;
  else EXPECT_FALSE(e) << *e;
  return plot;
}

// Starts at the origin, rapids up and over, cuts a line and a clockwise half circle about
// (20, -1) of radius 5 (its right-most point X 25), and rapids up to end at (-3, -6, 5).
constexpr const char* kShape =
    "G21 G90 G17 G61\n"  // exact stops: each move drawn whole, in one colour
    "G0 X-3 Y4 Z2\n"
    "G1 Z-1.5 F600\n"
    "G1 X20 Y4 F1200\n"
    "G2 X20 Y-6 I0 J-5\n"
    "G1 X-3 Y-6\n"
    "G0 Z5\n"
    "M30\n";

TEST(PathPlotSvg, ParsesAndHoldsTheExtentAndTheEndInMillimetresWithTheVerticalAxisUp) {
  const PathPlot plot = PlotOf(kShape);
  const ParsedSvg svg = ParseSvg(plot.Svg("shape.nc"));
  ASSERT_FALSE(::testing::Test::HasFailure());
  EXPECT_GT(svg.view_box[2], 0);
  EXPECT_GT(svg.view_box[3], 0);

  // Exact extent before decimation: the origin, the half circle's far side, the plunge, the top.
  const std::optional<PlotExtent> extent = plot.PlannedExtent();
  ASSERT_TRUE(extent);
  const std::array<double, 3> lo{-3, -6, -1.5}, hi{25, 4, 5};
  for (std::size_t k = 0; k < 3; ++k) {
    EXPECT_NEAR(extent->min_mm[k], lo[k], 1.0 / 800) << "XYZ"[k];
    EXPECT_NEAR(extent->max_mm[k], hi[k], 1.0 / 800) << "XYZ"[k];
  }

  struct Case {
    const ParsedView* view;
    std::size_t h, v;
  };
  for (const Case& c : {Case{&svg.xy, 0, 1}, Case{&svg.xz, 0, 2}}) {
    const std::vector<Point2>& all = c.view->all_plan;
    ASSERT_GE(all.size(), 4u);
    double min_h = 1e9, max_h = -1e9, min_v = 1e9, max_v = -1e9;
    for (const Point2& p : all) {
      min_h = std::min(min_h, p[0]);
      max_h = std::max(max_h, p[0]);
      min_v = std::min(min_v, p[1]);
      max_v = std::max(max_v, p[1]);
      EXPECT_TRUE(InsideViewBox(svg, OnPage(*c.view, p))) << p[0] << "," << p[1];
    }
    // The drawn path reaches its extent to within the drawing tolerance.
    EXPECT_NEAR(min_h, lo[c.h], 2 * kPlotTolerance_mm);
    EXPECT_NEAR(max_h, hi[c.h], 2 * kPlotTolerance_mm);
    EXPECT_NEAR(min_v, lo[c.v], 2 * kPlotTolerance_mm);
    EXPECT_NEAR(max_v, hi[c.v], 2 * kPlotTolerance_mm);
    // It starts at the origin and its last point is the end, exactly.
    EXPECT_DOUBLE_EQ(all.front()[0], 0);
    EXPECT_DOUBLE_EQ(all.front()[1], 0);
    const std::array<double, 3> end{-3, -6, 5};
    EXPECT_DOUBLE_EQ(all.back()[0], end[c.h]);
    EXPECT_DOUBLE_EQ(all.back()[1], end[c.v]);
    // Y up: the top of the path is nearer the top of the page than its bottom.
    EXPECT_LT(OnPage(*c.view, {0, hi[c.v]})[1], OnPage(*c.view, {0, lo[c.v]})[1]);
  }

  pugi::xml_document doc;
  ASSERT_TRUE(doc.load_string(plot.Svg("shape.nc").c_str()));
  const pugi::xml_node end = ById(doc, "xy-end");
  EXPECT_DOUBLE_EQ(end.attribute("cx").as_double(), -3);
  EXPECT_DOUBLE_EQ(end.attribute("cy").as_double(), -6);
  const pugi::xml_node box = ById(doc, "xz-extent");
  EXPECT_NEAR(box.attribute("x").as_double(), -3, 1e-4);
  EXPECT_NEAR(box.attribute("y").as_double(), -1.5, 1e-4);
  EXPECT_NEAR(box.attribute("width").as_double(), 28, 1e-3);
  EXPECT_NEAR(box.attribute("height").as_double(), 6.5, 1e-4);
  EXPECT_STREQ(doc.child("svg").child("title").text().get(), "shape.nc");
}

TEST(PathPlotSvg, RapidsAreDashedAndFeedsAreColouredByTheirPlannedSpeed) {
  const PathPlot plot = PlotOf(kShape);
  const ParsedSvg svg = ParseSvg(plot.Svg("shape.nc"));
  // Rapids: origin to (-3, 4, 2), and the last move up to Z 5.
  ASSERT_EQ(svg.xy.rapids.size(), 2u);
  EXPECT_EQ(svg.xy.rapids.front().front(), (Point2{0, 0}));
  EXPECT_EQ(svg.xy.rapids.front().back(), (Point2{-3, 4}));
  EXPECT_EQ(svg.xz.rapids.back().back(), (Point2{-3, 5}));
  for (const auto& rapid : svg.xy.rapids) {
    for (const Point2& p : rapid) EXPECT_LE(DistanceToPolyline(p, {{0, 0}, {-3, 4}, {-3, -6}}), 1e-9);
  }
  // F1200 is 20 mm/s, the fastest feed; the plunge at F600 is slower and drawn in another colour.
  EXPECT_NEAR(plot.max_feed_speed_mm_per_s(), 20.0, 0.5);
  pugi::xml_document doc;
  ASSERT_TRUE(doc.load_string(plot.Svg("").c_str()));
  std::string plunge_colour, line_colour;
  for (const pugi::xml_node& p : ById(doc, "xz-plan").children("polyline")) {
    const std::vector<Point2> points = Points(p);
    if (std::string(p.attribute("class").value()) != "feed" || points.size() < 2) continue;
    const bool vertical = points.front()[0] == points.back()[0];
    const double length = std::hypot(points.back()[0] - points.front()[0], points.back()[1] - points.front()[1]);
    if (vertical && length > 1.0) plunge_colour = p.attribute("stroke").value();
    if (!vertical && length > 10.0) line_colour = p.attribute("stroke").value();
  }
  EXPECT_FALSE(plunge_colour.empty());
  EXPECT_FALSE(line_colour.empty());
  EXPECT_NE(plunge_colour, line_colour) << "10 mm/s and 20 mm/s look alike";
}

TEST(PathPlotSvg, AProgramWithoutMotionStillMakesAValidPicture) {
  const PathPlot plot = PlotOf("G21 G90\nS1000 M3\nG4 P0.1\nM5\nM30\n");
  EXPECT_FALSE(plot.PlannedExtent());
  const ParsedSvg svg = ParseSvg(plot.Svg("still.nc"));
  EXPECT_TRUE(svg.xy.all_plan.empty());
  EXPECT_GT(svg.view_box[2], 0);
  EXPECT_EQ(DescribePath(plot), "no motion planned");
}

TEST(PathPlotSvg, AnyBytesInTheTitleLeaveTheDocumentWellFormed) {
  const std::string valid = "caf\xC3\xA9 \xE2\x82\xAC";  // "café €", kept as they are
  EXPECT_EQ(XmlEscape(valid), valid);
  EXPECT_EQ(XmlEscape("a&b<c>d\"e'f"), "a&amp;b&lt;c&gt;d&quot;e&apos;f");
  EXPECT_EQ(XmlEscape("x\x01y\x1Fz\x7F\tw"), "x?y?z?\tw");
  // A lone continuation byte, a cut sequence, an overlong '/', a surrogate, a byte never in UTF-8.
  EXPECT_EQ(XmlEscape("\x80|\xE2\x82|\xC0\xAF|\xED\xA0\x80|\xFF"), "?|??|??|???|?");
  EXPECT_EQ(XmlEscape(std::string("\xEF\xBF\xBE", 3)), "???") << "U+FFFE is not an XML character";

  const PathPlot plot = PlotOf(kShape);
  const std::string title = std::string("prog <&> \"x\" \x01\xFF\xC3") + "]]>";
  pugi::xml_document doc;
  const pugi::xml_parse_result parsed = doc.load_string(plot.Svg(title).c_str());
  ASSERT_TRUE(parsed) << parsed.description();
  EXPECT_STREQ(doc.child("svg").child("title").text().get(), "prog <&> \"x\" ???]]>");
}

TEST(DecimatedTrack, KeepsWithinItsBudgetAndItsTolerance) {
  // At the budget nothing is simplified; one point more halves the track.
  DecimatedTrack zigzag(100, 0.01);
  for (int i = 0; i < 100; ++i) zigzag.Add({{i * 1.0, (i % 2) * 1.0, 0}, 10, false});
  EXPECT_EQ(zigzag.points().size(), 100u) << "corners 1 mm apart are all kept";
  EXPECT_DOUBLE_EQ(zigzag.tolerance_mm(), 0.01);
  zigzag.Add({{100.0, 0, 0}, 10, false});
  EXPECT_LE(zigzag.points().size(), 50u);
  EXPECT_GT(zigzag.tolerance_mm(), 0.01);
  EXPECT_EQ(zigzag.points().front().xyz_mm, (std::array<double, 3>{0, 0, 0}));
  EXPECT_EQ(zigzag.points().back().xyz_mm, (std::array<double, 3>{100, 0, 0})) << "the newest point is exact";

  // A circle of radius 10 in 100,000 steps: every step within the tolerance of the kept track,
  // in far fewer points; a straight line in two.
  DecimatedTrack circle(kMaxPlotPoints, kPlotTolerance_mm);
  std::vector<Point2> truth;
  for (int i = 0; i <= 100000; ++i) {
    const double a = 2 * 3.14159265358979 * i / 100000.0;
    truth.push_back({10 * std::cos(a), 10 * std::sin(a)});
    circle.Add({{truth.back()[0], truth.back()[1], 0}, 5, false});
  }
  EXPECT_LT(circle.points().size(), 1000u);
  EXPECT_DOUBLE_EQ(circle.tolerance_mm(), kPlotTolerance_mm);
  std::vector<Point2> kept;
  for (const PlotPoint& p : circle.points()) kept.push_back({p.xyz_mm[0], p.xyz_mm[1]});
  double worst = 0;
  for (std::size_t i = 0; i < truth.size(); i += 7) worst = std::max(worst, DistanceToPolyline(truth[i], kept));
  EXPECT_LE(worst, kPlotTolerance_mm * 1.01);

  DecimatedTrack line;
  for (int i = 0; i <= 1000; ++i) line.Add({{i * 0.01, i * 0.02, -i * 0.005}, 7, false});
  EXPECT_EQ(line.points().size(), 2u);

  // A change of style ends a stretch even on a straight line: a rapid, a feed at another speed.
  DecimatedTrack styles;
  for (int i = 0; i <= 10; ++i) styles.Add({{i * 1.0, 0, 0}, 50, true});
  for (int i = 11; i <= 20; ++i) styles.Add({{i * 1.0, 0, 0}, 10, false});
  for (int i = 21; i <= 30; ++i) styles.Add({{i * 1.0, 0, 0}, 20, false});
  ASSERT_EQ(styles.points().size(), 4u);
  EXPECT_EQ(styles.points()[1].xyz_mm[0], 10);
  EXPECT_EQ(styles.points()[2].xyz_mm[0], 20);
}

TEST(DecimatedTrack, APathPassedOverAgainIsKeptOnce) {
  // A 10 x 10 square with a notch, 5000 times, then once the other way round: one lap's points.
  const std::vector<std::array<double, 3>> lap{{10, 0, 0}, {10, 10, 0}, {5, 10, 0}, {5, 7, 0}, {0, 10, 0}, {0, 0, 0}};
  DecimatedTrack track(1000, kPlotTolerance_mm);
  track.Add({{0, 0, 0}, 0, false});
  for (int i = 0; i < 5000; ++i) {
    for (const auto& p : lap) track.Add({p, 20, false});
  }
  for (auto p = lap.rbegin() + 1; p != lap.rend(); ++p) track.Add({*p, 20, false});
  track.Add({{0, 0, 0}, 20, false});
  EXPECT_DOUBLE_EQ(track.tolerance_mm(), kPlotTolerance_mm) << "never coarsened";
  EXPECT_LE(track.points().size(), 2 * lap.size() + 4);
  std::size_t drawn = 0;
  for (const PlotPoint& p : track.points()) drawn += p.hidden ? 0 : 1;
  EXPECT_LE(drawn, lap.size() + 2);
  EXPECT_EQ(track.points().back().xyz_mm, (std::array<double, 3>{0, 0, 0}));
  // The same lap a millimetre lower is new, and so is the rapid over a fed stretch.
  for (const auto& p : lap) track.Add({{p[0], p[1], -1}, 20, false});
  track.Add({{10, 0, -1}, 50, true});
  std::size_t now_drawn = 0;
  for (const PlotPoint& p : track.points()) now_drawn += p.hidden ? 0 : 1;
  EXPECT_GE(now_drawn, drawn + lap.size());

  // In the document a hidden stretch is a gap: no polyline joins its two ends.
  PathPlot plot(kvgcode::DefaultMillSettings(), 0.003);
  for (int i = 0; i < 3; ++i) {
    plot.AddSegment({8000, 0, 0, 0, 0, 0}, false);   // 10 mm along X
    plot.AddSegment({-8000, 0, 0, 0, 0, 0}, false);  // and back over it
  }
  plot.AddSegment({0, 8000, 0, 0, 0, 0}, false);  // then 10 mm along Y, new
  const ParsedSvg svg = ParseSvg(plot.Svg("back and forth"));
  int x_stretches = 0;
  for (const auto& line : svg.xy.feeds) {
    for (std::size_t i = 1; i < line.size(); ++i) {
      const bool along_x = line[i - 1][1] == 0 && line[i][1] == 0 && std::fabs(line[i][0] - line[i - 1][0]) == 10;
      x_stretches += along_x ? 1 : 0;
    }
  }
  EXPECT_EQ(x_stretches, 1) << "the X stretch, passed over six times, is drawn once";
  EXPECT_EQ(svg.xy.all_plan.back(), (Point2{0, 10}));
}

TEST(PathPlotBounds, ALongProgramTakesNoMorePointsThanTheBudgetAndKeepsItsEnd) {
  // 400 laps of a 40 x 40 square with a rounded corner, sinking a little each lap: about
  // 400,000 segments.
  std::string program = "G21 G90 G17\n";
  for (int lap = 0; lap < 400; ++lap) {
    const double z = -0.01 * lap;
    program += "G1 X40 Y0 Z" + std::to_string(z) + " F3000\nG1 X40 Y30\nG3 X30 Y40 R10\nG1 X0 Y40\nG1 X0 Y0\n";
  }
  program += "G0 X12.345 Y6.789 Z3\nM30\n";
  const PathPlot plot = PlotOf(program);
  EXPECT_GT(plot.segments(), 100000u);
  EXPECT_LE(plot.planned().points().size(), kMaxPlotPoints);
  EXPECT_FALSE(plot.chords());
  const std::array<double, 3> end = plot.PlannedEnd_mm();
  EXPECT_DOUBLE_EQ(end[0], 12.345);
  EXPECT_DOUBLE_EQ(end[1], 6.78875) << "6.789 mm rounds to 5431 steps";
  EXPECT_DOUBLE_EQ(end[2], 3);
  EXPECT_EQ(plot.planned().points().back().xyz_mm, end);
  const std::string svg = plot.Svg("laps");
  EXPECT_LT(svg.size(), 8u << 20) << "the document grows with the budget, not the program";
  const ParsedSvg parsed = ParseSvg(svg);
  EXPECT_NEAR(parsed.xz.all_plan.back()[1], 3, 1e-9);
}

TEST(PathPlotBounds, PastItsSegmentBudgetADryRunDrawsEachMoveToItsEnd) {
  // Lines of 100 mm at 1 mm/min: 6000 s, two million segments each.
  const kvgcode::MachineSettings settings = kvgcode::DefaultMillSettings();
  const kvgcode::Program program =
      kvgcode::testing::MustParse("G21 G90\nG1 X100 F1\nG1 Y100\nG3 X0 Y100 R50\nG0 X1 Y2 Z3\nM2\n");
  kvgcode::ProgramBlocks source(program);
  PathPlot plot(settings, 0.003);
  EXPECT_FALSE(PlotPlan(source, settings, 0.003, plot, 1000));
  EXPECT_TRUE(plot.chords());
  EXPECT_LE(plot.segments(), 1000u + 4u) << "beyond the budget one segment per move";
  EXPECT_EQ(plot.PlannedEnd_mm(), (std::array<double, 3>{1, 2, 3}));
  const std::optional<PlotExtent> extent = plot.PlannedExtent();
  ASSERT_TRUE(extent);
  EXPECT_DOUBLE_EQ(extent->max_mm[0], 100);
  EXPECT_NEAR(extent->max_mm[1], 100, 0.01) << "the half circle is drawn as its chord";
  // Each chord at the mean speed of the rest of its move: 1 mm/min on the lines.
  const std::vector<PlotPoint>& points = plot.planned().points();
  ASSERT_GE(points.size(), 3u);
  EXPECT_NEAR(points[points.size() - 3].speed_mm_per_s, 1.0 / 60, 1e-3) << "the half circle's chord";
  EXPECT_TRUE(points.back().rapid);
  EXPECT_GT(points.back().speed_mm_per_s, 10) << "a rapid's chord";
}

TEST(RapidLines, ALineIsARapidWhenTheMoveInForceThereIsG0) {
  const kvgcode::Program program = kvgcode::testing::MustParse(
      "G21 G90\n"          // 1
      "G0 X1\n"            // 2 rapid
      "Y2\n"               // 3 still G0
      "G1 X3 F100\n"       // 4 feed
      "(comment)\n"        // 5
      "X4\n"               // 6 still G1
      "G2 X6 I1 J0\n"      // 7 arc
      "G0 Z1\n"            // 8 rapid
      "M30\n");
  kvgcode::ProgramBlocks blocks(program);
  RapidLines lines(blocks);
  kvgcode::Block block;
  while (lines.Next(block)) {
  }
  EXPECT_TRUE(lines.IsRapid(2));
  EXPECT_TRUE(lines.IsRapid(3));
  EXPECT_FALSE(lines.IsRapid(4));
  EXPECT_FALSE(lines.IsRapid(5)) << "no move on the line";
  EXPECT_FALSE(lines.IsRapid(6));
  EXPECT_FALSE(lines.IsRapid(7));
  EXPECT_TRUE(lines.IsRapid(8));
  EXPECT_FALSE(lines.IsRapid(2)) << "lines the plan has passed are forgotten";
  lines.Rewind();
  ASSERT_TRUE(lines.Next(block));
  ASSERT_TRUE(lines.Next(block));
  EXPECT_TRUE(lines.IsRapid(2)) << "a rewind starts over";
}

// --- kvhost --plot, the binary ---

using run_test::Has;
using run_test::ReadText;

class KvhostPlot : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("kvhost-plot-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    program_ = dir_ / "prog.nc";
    profile_ = dir_ / "profile.xml";
    svg_ = dir_ / "path.svg";
    std::ofstream(program_) << kShape;
  }
  void TearDown() override { fs::remove_all(dir_); }

  int Kvhost(const std::string& arguments) {
    return run_test::RunProgram(KVHOST_BINARY, arguments, dir_, stdout_, stderr_);
  }
  static std::string Q(const fs::path& path) { return "\"" + path.string() + "\""; }

  fs::path dir_, program_, profile_, svg_;
  std::string stdout_, stderr_;
};

TEST_F(KvhostPlot, ADryRunDrawsThePlannedPath) {
  ASSERT_EQ(Kvhost("--dry-run --profile " + Q(profile_) + " --plot " + Q(svg_) + " " + Q(program_)), 0) << stderr_;
  const ParsedSvg svg = ParseSvg(ReadText(svg_));
  ASSERT_FALSE(svg.xy.all_plan.empty());
  EXPECT_EQ(svg.xy.all_plan.back(), (Point2{-3, -6}));
  EXPECT_EQ(svg.xz.all_plan.back(), (Point2{-3, 5}));
  EXPECT_TRUE(svg.xy.executed.empty()) << "nothing ran";
  EXPECT_TRUE(Has(stdout_, "plot " + svg_.string() + ": extent X -3.000 to 25.000, Y -6.000 to 4.000, Z -1.500 to "
                           "5.000 mm; ends at X -3.000 Y -6.000 Z 5.000 mm"))
      << stdout_;
}

TEST_F(KvhostPlot, APlanThatStopsIsDrawnUpToWhereItStopped) {
  std::ofstream(program_) << "G21 G90\nG0 X10 Y5\nG1 X1000 F0.000001\nM2\n";
  EXPECT_EQ(Kvhost("--dry-run --profile " + Q(profile_) + " --plot " + Q(svg_) + " " + Q(program_)), 1);
  const std::string text = ReadText(svg_);
  EXPECT_TRUE(Has(text, "planning stopped: line 3: move would take")) << "the picture says why it ends there";
  const ParsedSvg svg = ParseSvg(text);
  ASSERT_FALSE(svg.xy.all_plan.empty());
  EXPECT_EQ(svg.xy.all_plan.back(), (Point2{10, 5}));
}

TEST_F(KvhostPlot, RefusesAPlotPathThatIsAnInputOrTheSummary) {
  const std::string program_text = ReadText(program_);
  std::ofstream(profile_) << "<profile/>";
  for (const auto& [target, words] : std::vector<std::pair<fs::path, std::string>>{
           {program_, "is the program"}, {dir_ / "." / "prog.nc", "is the program"}, {profile_, "is the profile"},
           {dir_ / "s.json", "is the summary"}}) {
    EXPECT_EQ(Kvhost("--dry-run --profile " + Q(profile_) + " --summary-json " + Q(dir_ / "s.json") + " --plot " +
                     Q(target) + " " + Q(program_)),
              2)
        << target;
    EXPECT_TRUE(Has(stderr_, words + " ")) << stderr_;
    EXPECT_TRUE(Has(stderr_, "the plot would overwrite it")) << stderr_;
  }
  EXPECT_EQ(ReadText(program_), program_text);
  EXPECT_EQ(ReadText(profile_), "<profile/>");
  EXPECT_FALSE(fs::exists(dir_ / "s.json"));
  EXPECT_EQ(Kvhost("--plot " + Q(svg_)), 2) << "a plot needs a program";
  EXPECT_TRUE(Has(stderr_, "give a program")) << stderr_;
  EXPECT_EQ(Kvhost("--watch --plot " + Q(svg_)), 2);
}

TEST_F(KvhostPlot, APlotThatCannotBeWrittenIsAFailureNeverASilentSuccess) {
  // Known before anything is planned: a folder, or a folder that does not exist.
  EXPECT_EQ(Kvhost("--dry-run --profile " + Q(profile_) + " --plot " + Q(dir_) + " " + Q(program_)), 1);
  EXPECT_TRUE(Has(stderr_, "is a folder")) << stderr_;
  EXPECT_FALSE(Has(stdout_, "segments")) << "nothing was planned";
  EXPECT_EQ(Kvhost("--dry-run --profile " + Q(profile_) + " --plot " + Q(dir_ / "missing" / "p.svg") + " " +
                   Q(program_)),
            1);
  EXPECT_TRUE(Has(stderr_, "does not exist")) << stderr_;
  // Known only when written: a device that is always full.
  if (fs::exists("/dev/full")) {
    EXPECT_EQ(Kvhost("--dry-run --profile " + Q(profile_) + " --plot /dev/full " + Q(program_)), 1);
    EXPECT_TRUE(Has(stderr_, "cannot write the plot /dev/full")) << stderr_;
  }
}

}  // namespace
}  // namespace kvhost
