// kvhost --plot: a picture of a program's path as an SVG file, the top view (XY) above the side
// view (XZ), in millimetres with Y and Z up. Rapids are dashed, feed moves coloured by the speed
// the planner gave each segment, and after a run the positions the board reported are drawn
// over the plan, so a user sees at a glance what is cut and where the machine slowed down.
// A program may be hours of segments: every track is decimated as it grows and capped, so the
// picture takes the same memory for a 200 MB program as for ten lines.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "block_source.h"
#include "interpreter.h"
#include "machine_settings.h"

namespace kvhost {

// The most points a track keeps; past it the track is simplified to half as many.
inline constexpr std::size_t kMaxPlotPoints = 20000;
// Points closer than this to the line through their neighbours are dropped from the start.
inline constexpr double kPlotTolerance_mm = 0.005;
// A dry run draws this many segments one by one (over 4 h of motion at 3 ms, a few seconds of
// planning); each later move is drawn from its first segment straight to its end, at its mean
// speed, so a plan of years cannot hang the plot.
inline constexpr std::uint64_t kMaxDrawnSegments = 5'000'000;
// How often a run samples the positions the board reports.
inline constexpr std::uint32_t kPlotSamplePeriodMs = 20;

struct PlotPoint {
  std::array<double, 3> xyz_mm{};
  double speed_mm_per_s = 0;  // of the stretch that ends here
  bool rapid = false;
  bool hidden = false;  // the stretch that ends here is one already drawn: the pen moves up
};

// A polyline kept within a point budget: a point is dropped when it, and the points dropped
// since the last one kept, lie within the tolerance of the line from that kept point to the
// next one, in the same style (rapid or feed at about the same speed), or when it lies within
// the tolerance of the point kept before it. A stretch that repeats one already kept (the same
// ends, to twice the tolerance, either way round, rapid or not alike) is not kept again, so a
// program that passes over the same path many times takes the points of one pass. The first
// and the newest points are always kept exactly. When the budget is exceeded the tolerance
// doubles and the track is simplified again until it holds half the budget.
class DecimatedTrack {
 public:
  explicit DecimatedTrack(std::size_t max_points = kMaxPlotPoints, double tolerance_mm = kPlotTolerance_mm);
  void Add(const PlotPoint& point);
  const std::vector<PlotPoint>& points() const { return points_; }
  double tolerance_mm() const { return tolerance_mm_; }
  bool empty() const { return points_.empty(); }

 private:
  // Points dropped since the last one kept, to hold the line through them to the tolerance: up
  // to 64 of them, spread evenly over the stretch.
  struct Dropped {
    std::array<std::array<double, 3>, 64> xyz_mm{};
    std::size_t count = 0;
    std::size_t stride = 1;   // one dropped point in this many is recorded
    std::size_t skipped = 0;  // since the last recorded
  };
  void Push(std::vector<PlotPoint>& into, Dropped& dropped, std::unordered_set<std::uint64_t>& seen,
            const PlotPoint& point) const;
  // The last stretch of `into` is final: hidden when it repeats one kept before.
  void Settle(std::vector<PlotPoint>& into, std::unordered_set<std::uint64_t>& seen) const;
  std::uint64_t StretchKey(const PlotPoint& a, const PlotPoint& b) const;
  bool SameStyle(const PlotPoint& a, const PlotPoint& b) const;

  std::size_t max_points_;
  double tolerance_mm_;
  std::vector<PlotPoint> points_;
  Dropped dropped_;
  std::unordered_set<std::uint64_t> seen_;  // keys of the stretches kept, at most one per point
};

// Which program lines are rapids. It stands between the planner and the program's blocks and
// runs its own interpreter over each block the planner reads, so it knows every move's kind as
// the planner does; a line counts as rapid when all its moves are. Lines are forgotten once the
// plan has passed them, so it holds only the planner's read-ahead.
class RapidLines final : public kvgcode::BlockSource {
 public:
  // `setup` is what the program starts from, as the planner's (its tool table knows the H words).
  explicit RapidLines(kvgcode::BlockSource& inner, const kvgcode::WorkSetup& setup = kvgcode::WorkSetup{})
      : inner_(inner), setup_(setup), interpreter_(setup) {}
  void Rewind() override;
  bool Next(kvgcode::Block& out) override;
  const std::optional<kvgcode::ParseError>& fault() const override { return inner_.fault(); }
  // Whether `line`, the line of the segment just planned, is a rapid. Lines are asked in
  // increasing order.
  bool IsRapid(int line);

 private:
  static constexpr std::size_t kMaxLines = 4096;
  kvgcode::BlockSource& inner_;
  kvgcode::WorkSetup setup_;
  kvgcode::Interpreter interpreter_;
  kvgcode::ActionList actions_;
  std::deque<std::pair<int, bool>> lines_;  // (line, rapid) of lines with moves, in read order
};

struct PlotExtent {
  std::array<double, 3> min_mm{};
  std::array<double, 3> max_mm{};
};

class PathPlot {
 public:
  // The machine starts at zero on every axis, as the planner does.
  explicit PathPlot(const kvgcode::MachineSettings& settings, double segment_time_s);

  // One planned segment, in steps per axis (only X, Y and Z are drawn).
  void AddSegment(const std::array<std::int32_t, 6>& steps, bool rapid);
  // The rest of a move, `segments` long, drawn as a straight line to where the planner now
  // stands, at the mean speed over it.
  void AddChordTo(const kvgcode::AxisArray<std::int64_t>& position_steps, std::uint64_t segments, bool rapid);
  // One position the board reported, in steps.
  void AddExecuted(const std::array<std::int32_t, 6>& position_steps);

  // A line under the title: the program's name, what was drawn, an error.
  void AddNote(const std::string& note) { notes_.push_back(note); }

  // The whole document. `title` may hold any bytes: it is escaped.
  std::string Svg(const std::string& title) const;
  // Writes the document; false with the reason when the file cannot be written whole.
  bool Write(const std::string& path, const std::string& title, std::string& error) const;

  std::uint64_t segments() const { return segments_; }
  bool chords() const { return chords_; }
  const DecimatedTrack& planned() const { return planned_; }
  const DecimatedTrack& executed() const { return executed_; }
  // The planned path's extent, exact (every segment's end, before decimation); nothing while
  // nothing moved.
  std::optional<PlotExtent> PlannedExtent() const { return extent_; }
  std::array<double, 3> PlannedEnd_mm() const;
  double max_feed_speed_mm_per_s() const { return max_feed_speed_; }

 private:
  std::array<double, 3> ToMm(const std::array<std::int64_t, 3>& steps) const;
  void Extend(const std::array<double, 3>& mm);
  void AddPlanned(const std::array<double, 3>& mm, double speed, bool rapid);

  std::array<double, 3> steps_per_unit_{};
  double segment_time_s_;
  std::array<std::int64_t, 3> position_steps_{};
  std::uint64_t segments_ = 0;
  bool chords_ = false;
  double max_feed_speed_ = 0;
  std::optional<PlotExtent> extent_;
  DecimatedTrack planned_;
  DecimatedTrack executed_;
  std::vector<std::string> notes_;
};

// Plans the program as the run would and draws it: every segment up to kMaxDrawnSegments (a
// parameter for tests), each later move from its first segment to its end. The planner's error,
// if any, is returned; what was planned before it is drawn.
std::optional<std::string> PlotPlan(kvgcode::BlockSource& program, const kvgcode::MachineSettings& settings,
                                    double segment_time_s, PathPlot& plot,
                                    std::uint64_t max_drawn_segments = kMaxDrawnSegments);

// The path's extent and end in words, for the picture's notes and kvhost's output.
std::string DescribePath(const PathPlot& plot);

// Why the picture could never be written at `path` (a folder, or in a folder that does not
// exist), checked before anything is planned or moved; nothing when it may be.
std::optional<std::string> UnwritablePlotPath(const std::string& path);

// Text made safe for an XML document: markup characters escaped, control characters and bytes
// that are not UTF-8 replaced by '?'.
std::string XmlEscape(const std::string& text);

}  // namespace kvhost
