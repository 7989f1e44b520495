// Drawing a program's path as SVG: bounded tracks, the rapid/feed split, and the document.
#include "path_plot.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "planner.h"

namespace kvhost {
namespace {

using Vec = std::array<double, 3>;

double Distance(const Vec& a, const Vec& b) {
  double sum = 0;
  for (std::size_t k = 0; k < 3; ++k) sum += (a[k] - b[k]) * (a[k] - b[k]);
  return std::sqrt(sum);
}

// How far b lies from the line through a and c (from a, when a and c coincide).
double DistanceFromLine(const Vec& a, const Vec& b, const Vec& c) {
  Vec ac{}, ab{};
  double len2 = 0;
  for (std::size_t k = 0; k < 3; ++k) {
    ac[k] = c[k] - a[k];
    ab[k] = b[k] - a[k];
    len2 += ac[k] * ac[k];
  }
  if (!(len2 > 0)) return Distance(a, b);
  const Vec cross{ab[1] * ac[2] - ab[2] * ac[1], ab[2] * ac[0] - ab[0] * ac[2], ab[0] * ac[1] - ab[1] * ac[0]};
  return std::sqrt(cross[0] * cross[0] + cross[1] * cross[1] + cross[2] * cross[2]) / std::sqrt(len2);
}

// Going on from a through b to c, not turning back at b.
bool Onward(const Vec& a, const Vec& b, const Vec& c) {
  double dot = 0;
  for (std::size_t k = 0; k < 3; ++k) dot += (b[k] - a[k]) * (c[k] - b[k]);
  return dot >= 0;
}

// A number for the document: four decimals (0.1 µm), trailing zeros dropped.
std::string Num(double value) {
  if (!std::isfinite(value)) value = 0;
  char text[48];
  std::snprintf(text, sizeof text, "%.4f", value);
  std::string s(text);
  if (s.find('.') != std::string::npos) {
    while (s.back() == '0') s.pop_back();
    if (s.back() == '.') s.pop_back();
  }
  if (s == "-0") s = "0";
  return s;
}

std::string Fixed(double value, int decimals) {
  char text[48];
  std::snprintf(text, sizeof text, "%.*f", decimals, std::isfinite(value) ? value : 0.0);
  std::string s(text);
  if (s == "-0" || s.find_first_not_of("-0.") == std::string::npos) s = s[0] == '-' ? s.substr(1) : s;
  return s;
}

// Speeds are drawn in this many colours, from red (slow) through orange and green to blue (fast).
constexpr int kSpeedLevels = 16;
constexpr std::array<std::array<double, 3>, 4> kRamp{{{192, 57, 43}, {230, 126, 34}, {39, 174, 96}, {36, 113, 163}}};
constexpr const char* kRapidColour = "#8c8c8c";
constexpr const char* kExecutedColour = "#c2185b";

std::string RampColour(double fraction) {
  fraction = std::clamp(std::isfinite(fraction) ? fraction : 0.0, 0.0, 1.0);
  const double at = fraction * static_cast<double>(kRamp.size() - 1);
  const std::size_t i = std::min(static_cast<std::size_t>(at), kRamp.size() - 2);
  const double t = at - static_cast<double>(i);
  char text[8];
  int rgb[3];
  for (std::size_t k = 0; k < 3; ++k) rgb[k] = static_cast<int>(std::lround(kRamp[i][k] + (kRamp[i + 1][k] - kRamp[i][k]) * t));
  std::snprintf(text, sizeof text, "#%02x%02x%02x", rgb[0], rgb[1], rgb[2]);
  return text;
}

int SpeedLevel(double speed, double max_speed) {
  if (!(max_speed > 0) || !(speed > 0)) return 0;
  const double level = std::floor(speed / max_speed * kSpeedLevels);
  return static_cast<int>(std::clamp(level, 0.0, static_cast<double>(kSpeedLevels - 1)));
}

// A tick spacing of 1, 2 or 5 times a power of ten giving about `ticks` intervals over `span`.
double NiceStep(double span, double ticks) {
  if (!(span > 0) || !(ticks > 0)) return 1;
  const double raw = span / ticks;
  const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
  const double norm = raw / magnitude;
  return magnitude * (norm < 1.5 ? 1 : norm < 3.5 ? 2 : norm < 7.5 ? 5 : 10);
}

int DecimalsFor(double step) { return std::clamp(static_cast<int>(-std::floor(std::log10(step) + 1e-9)), 0, 6); }

struct Range {
  double lo = 0, hi = 0;
  double span() const { return hi - lo; }
};

// One panel: a view of two machine axes, drawn to scale with the vertical axis up.
struct View {
  const char* id;       // "xy" or "xz"
  const char* caption;
  std::size_t h, v;     // machine axes across and up
  char h_name, v_name;
  Range hr, vr;         // machine range shown
  double left = 0, top = 0;  // the panel's top-left corner in the document
  double X(double machine_h) const { return left + (machine_h - hr.lo); }
  double Y(double machine_v) const { return top + (vr.hi - machine_v); }
  std::string Transform() const {
    return "translate(" + Num(left - hr.lo) + " " + Num(top + vr.hi) + ") scale(1 -1)";
  }
};

void AppendPoints(std::string& out, const std::vector<PlotPoint>& points, std::size_t from, std::size_t to,
                  const View& view) {
  out += " points=\"";
  for (std::size_t i = from; i <= to; ++i) {
    if (i != from) out += ' ';
    out += Num(points[i].xyz_mm[view.h]) + "," + Num(points[i].xyz_mm[view.v]);
  }
  out += '"';
}

void AppendText(std::string& out, double x, double y, double size, const std::string& text,
                const char* anchor = "start", const char* extra = "") {
  out += "<text x=\"" + Num(x) + "\" y=\"" + Num(y) + "\" font-size=\"" + Num(size) + "\" text-anchor=\"" + anchor +
         "\"" + extra + ">" + XmlEscape(text) + "</text>\n";
}

}  // namespace

// --- DecimatedTrack ---

DecimatedTrack::DecimatedTrack(std::size_t max_points, double tolerance_mm)
    : max_points_(std::max<std::size_t>(max_points, 4)), tolerance_mm_(tolerance_mm > 0 ? tolerance_mm : 1e-6) {}

bool DecimatedTrack::SameStyle(const PlotPoint& a, const PlotPoint& b) const {
  if (a.rapid != b.rapid) return false;
  if (a.rapid) return true;
  const double allowed = std::max(1.0, 0.05 * std::max(a.speed_mm_per_s, b.speed_mm_per_s));
  return std::fabs(a.speed_mm_per_s - b.speed_mm_per_s) <= allowed;
}

std::uint64_t DecimatedTrack::StretchKey(const PlotPoint& a, const PlotPoint& b) const {
  const double cell = 2 * tolerance_mm_;
  std::array<std::int64_t, 3> ca{}, cb{};
  for (std::size_t k = 0; k < 3; ++k) {
    ca[k] = static_cast<std::int64_t>(std::floor(a.xyz_mm[k] / cell));
    cb[k] = static_cast<std::int64_t>(std::floor(b.xyz_mm[k] / cell));
  }
  if (cb < ca) std::swap(ca, cb);  // either way round
  std::uint64_t hash = b.rapid ? 0x9E3779B97F4A7C15ull : 0x2545F4914F6CDD1Dull;
  for (const auto& c : {ca, cb}) {
    for (std::int64_t v : c) hash = (hash ^ static_cast<std::uint64_t>(v)) * 0x100000001B3ull + (hash >> 29);
  }
  return hash;
}

void DecimatedTrack::Settle(std::vector<PlotPoint>& into, std::unordered_set<std::uint64_t>& seen) const {
  const std::size_t n = into.size();
  if (n < 2 || into[n - 1].hidden) return;
  if (seen.insert(StretchKey(into[n - 2], into[n - 1])).second) return;
  into[n - 1].hidden = true;
  // A point reached with the pen up and left with the pen up draws nothing: the next takes its
  // place (the first point, the start, stays).
  if (n >= 3 && into[n - 2].hidden) into.erase(into.end() - 2);
}

void DecimatedTrack::Push(std::vector<PlotPoint>& into, Dropped& dropped, std::unordered_set<std::uint64_t>& seen,
                          const PlotPoint& point) const {
  const std::size_t n = into.size();
  if (n >= 2 && !point.hidden && !into[n - 1].hidden) {
    const PlotPoint& a = into[n - 2];
    PlotPoint& b = into[n - 1];
    if (Distance(a.xyz_mm, b.xyz_mm) < tolerance_mm_) {
      b = point;  // a stub shorter than the tolerance: the new point takes its place
      dropped = Dropped{};
      return;
    }
    bool on_line = SameStyle(b, point) && DistanceFromLine(a.xyz_mm, b.xyz_mm, point.xyz_mm) <= tolerance_mm_ &&
                   Onward(a.xyz_mm, b.xyz_mm, point.xyz_mm);
    for (std::size_t i = 0; on_line && i < dropped.count; ++i) {
      on_line = DistanceFromLine(a.xyz_mm, dropped.xyz_mm[i], point.xyz_mm) <= tolerance_mm_;
    }
    if (on_line) {
      // A long stretch is checked at points spread evenly along it: once the buffer is full,
      // every other one is forgotten and only every other one after it recorded.
      if (++dropped.skipped >= dropped.stride) {
        dropped.skipped = 0;
        if (dropped.count == dropped.xyz_mm.size()) {
          for (std::size_t i = 0; i < dropped.count / 2; ++i) dropped.xyz_mm[i] = dropped.xyz_mm[2 * i];
          dropped.count /= 2;
          dropped.stride *= 2;
        }
        dropped.xyz_mm[dropped.count++] = b.xyz_mm;
      }
      b.xyz_mm = point.xyz_mm;  // on the way: the stretch keeps the speed it started with
      return;
    }
  }
  dropped = Dropped{};
  Settle(into, seen);
  into.push_back(point);
}

void DecimatedTrack::Add(const PlotPoint& point) {
  Push(points_, dropped_, seen_, point);
  if (points_.size() <= max_points_) return;
  // Coarser until half the budget: a long program costs the same memory as a short one.
  while (points_.size() > max_points_ / 2 && tolerance_mm_ < 1e9) {
    tolerance_mm_ *= 2;
    std::vector<PlotPoint> simpler;
    simpler.reserve(points_.size());
    Dropped scratch;
    std::unordered_set<std::uint64_t> seen;
    for (const PlotPoint& p : points_) Push(simpler, scratch, seen, p);
    points_.swap(simpler);
    dropped_ = scratch;
    seen_.swap(seen);
  }
}

// --- RapidLines ---

void RapidLines::Rewind() {
  inner_.Rewind();
  interpreter_ = kvgcode::Interpreter(setup_);
  lines_.clear();
}

bool RapidLines::Next(kvgcode::Block& out) {
  if (!inner_.Next(out)) return false;
  // A block the interpreter refuses stops the planner too, which reports it.
  if (interpreter_.ended() || interpreter_.Execute(out, actions_)) return true;
  bool moves = false, all_rapid = true;
  for (std::size_t i = 0; i < actions_.count; ++i) {
    if (actions_.items[i].kind != kvgcode::Action::Kind::Move) continue;
    moves = true;
    if (actions_.items[i].move.kind != kvgcode::MoveKind::Rapid) all_rapid = false;
  }
  if (moves) {
    lines_.emplace_back(out.line, all_rapid);
    if (lines_.size() > kMaxLines) lines_.pop_front();  // read further ahead than any plan looks
  }
  return true;
}

bool RapidLines::IsRapid(int line) {
  while (!lines_.empty() && lines_.front().first < line) lines_.pop_front();
  return !lines_.empty() && lines_.front().first == line && lines_.front().second;
}

// --- PathPlot ---

PathPlot::PathPlot(const kvgcode::MachineSettings& settings, double segment_time_s)
    : segment_time_s_(segment_time_s) {
  for (std::size_t k = 0; k < 3; ++k) steps_per_unit_[k] = settings.steps_per_unit[k] > 0 ? settings.steps_per_unit[k] : 1.0;
}

std::array<double, 3> PathPlot::ToMm(const std::array<std::int64_t, 3>& steps) const {
  return {static_cast<double>(steps[0]) / steps_per_unit_[0], static_cast<double>(steps[1]) / steps_per_unit_[1],
          static_cast<double>(steps[2]) / steps_per_unit_[2]};
}

void PathPlot::Extend(const std::array<double, 3>& mm) {
  if (!extent_) {
    extent_ = PlotExtent{mm, mm};
    return;
  }
  for (std::size_t k = 0; k < 3; ++k) {
    extent_->min_mm[k] = std::min(extent_->min_mm[k], mm[k]);
    extent_->max_mm[k] = std::max(extent_->max_mm[k], mm[k]);
  }
}

void PathPlot::AddPlanned(const std::array<double, 3>& mm, double speed, bool rapid) {
  if (planned_.empty()) {
    const std::array<double, 3> start = ToMm({0, 0, 0});
    Extend(start);
    planned_.Add(PlotPoint{start, 0, rapid});
  }
  Extend(mm);
  if (!rapid) max_feed_speed_ = std::max(max_feed_speed_, speed);
  planned_.Add(PlotPoint{mm, speed, rapid});
}

void PathPlot::AddSegment(const std::array<std::int32_t, 6>& steps, bool rapid) {
  double travel2 = 0;
  for (std::size_t k = 0; k < 3; ++k) {
    position_steps_[k] += steps[k];
    const double mm = static_cast<double>(steps[k]) / steps_per_unit_[k];
    travel2 += mm * mm;
  }
  ++segments_;
  const double speed = segment_time_s_ > 0 ? std::sqrt(travel2) / segment_time_s_ : 0.0;
  AddPlanned(ToMm(position_steps_), speed, rapid);
}

void PathPlot::AddChordTo(const kvgcode::AxisArray<std::int64_t>& position_steps, std::uint64_t segments,
                          bool rapid) {
  chords_ = true;
  const std::array<double, 3> from = ToMm(position_steps_);
  for (std::size_t k = 0; k < 3; ++k) position_steps_[k] = position_steps[k];
  const std::array<double, 3> to = ToMm(position_steps_);
  const double time_s = static_cast<double>(segments) * segment_time_s_;
  AddPlanned(to, time_s > 0 ? Distance(from, to) / time_s : 0.0, rapid);
}

void PathPlot::AddExecuted(const std::array<std::int32_t, 6>& position_steps) {
  executed_.Add(PlotPoint{ToMm({position_steps[0], position_steps[1], position_steps[2]}), 0, false});
}

std::array<double, 3> PathPlot::PlannedEnd_mm() const { return ToMm(position_steps_); }

std::string PathPlot::Svg(const std::string& title) const {
  // What is shown: the plan and what the board reported, never less than a millimetre.
  std::array<Range, 3> range{};
  bool any = false;
  auto include = [&](const std::array<double, 3>& mm) {
    for (std::size_t k = 0; k < 3; ++k) {
      if (!any) range[k] = {mm[k], mm[k]};
      range[k].lo = std::min(range[k].lo, mm[k]);
      range[k].hi = std::max(range[k].hi, mm[k]);
    }
    any = true;
  };
  if (extent_) {
    include(extent_->min_mm);
    include(extent_->max_mm);
  }
  for (const PlotPoint& p : executed_.points()) include(p.xyz_mm);
  const double size = std::max({range[0].span(), range[1].span() + range[2].span(), 1.0});
  const double pad = 0.05 * size;
  for (Range& r : range) {
    r.lo -= pad;
    r.hi += pad;
  }
  const double font = size / 45.0;
  const double stroke = size / 400.0;

  std::vector<std::string> header{title};
  header.insert(header.end(), notes_.begin(), notes_.end());
  const double left = 7 * font;
  const double header_h = 1.8 * font + 1.3 * font * static_cast<double>(header.size());
  View xy{"xy", "XY, top view (mm)", 0, 1, 'X', 'Y', range[0], range[1]};
  View xz{"xz", "XZ, side view (mm)", 0, 2, 'X', 'Z', range[0], range[2]};
  xy.left = xz.left = left;
  xy.top = header_h + 1.5 * font;
  xz.top = xy.top + xy.vr.span() + 4 * font;
  const double legend_top = xz.top + xz.vr.span() + 3.5 * font;
  const double width = std::max(left + range[0].span() + 2 * font, left + 44 * font);
  const double height = legend_top + 5 * font;

  std::string out;
  out.reserve(4096 + 64 * (planned_.points().size() + executed_.points().size()));
  out += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  const double px_width = 1200;
  out += "<svg xmlns=\"http://www.w3.org/2000/svg\" version=\"1.1\" width=\"" + Num(px_width) + "\" height=\"" +
         Num(std::round(px_width * height / width)) + "\" viewBox=\"0 0 " + Num(width) + " " + Num(height) +
         "\" font-family=\"sans-serif\">\n";
  out += "<title>" + XmlEscape(title) + "</title>\n";
  out += "<rect x=\"0\" y=\"0\" width=\"" + Num(width) + "\" height=\"" + Num(height) + "\" fill=\"#ffffff\"/>\n";
  for (std::size_t i = 0; i < header.size(); ++i) {
    AppendText(out, font, 1.6 * font + 1.3 * font * static_cast<double>(i), i == 0 ? 1.1 * font : 0.85 * font, header[i],
               "start", i == 0 ? " font-weight=\"bold\"" : "");
  }

  const std::vector<PlotPoint>& planned = planned_.points();
  const std::vector<PlotPoint>& executed = executed_.points();
  for (const View* view : {&xy, &xz}) {
    const double x0 = view->left, y0 = view->top, w = view->hr.span(), h = view->vr.span();
    AppendText(out, x0, y0 - 0.5 * font, 0.9 * font, view->caption);
    out += "<rect x=\"" + Num(x0) + "\" y=\"" + Num(y0) + "\" width=\"" + Num(w) + "\" height=\"" + Num(h) +
           "\" fill=\"#fbfbfb\" stroke=\"#777777\" stroke-width=\"" + Num(stroke) + "\"/>\n";
    // Grid and ticks in machine units, labelled along the bottom and the left.
    const double h_step = NiceStep(w, 8);
    const double v_step = NiceStep(h, std::clamp(8 * h / w, 1.0, 8.0));
    out += "<g stroke=\"#e2e2e2\" stroke-width=\"" + Num(stroke / 2) + "\">\n";
    std::string labels;
    for (double t = std::ceil(view->hr.lo / h_step) * h_step, n = 0; t <= view->hr.hi && n < 100; t += h_step, ++n) {
      const double x = view->X(t);
      out += "<line x1=\"" + Num(x) + "\" y1=\"" + Num(y0) + "\" x2=\"" + Num(x) + "\" y2=\"" + Num(y0 + h) + "\"/>\n";
      AppendText(labels, x, y0 + h + 1.1 * font, 0.75 * font, Fixed(t, DecimalsFor(h_step)), "middle");
    }
    for (double t = std::ceil(view->vr.lo / v_step) * v_step, n = 0; t <= view->vr.hi && n < 100; t += v_step, ++n) {
      const double y = view->Y(t);
      out += "<line x1=\"" + Num(x0) + "\" y1=\"" + Num(y) + "\" x2=\"" + Num(x0 + w) + "\" y2=\"" + Num(y) + "\"/>\n";
      AppendText(labels, x0 - 0.4 * font, y + 0.3 * font, 0.75 * font, Fixed(t, DecimalsFor(v_step)), "end");
    }
    out += "</g>\n" + labels;
    AppendText(out, x0 + w + 0.4 * font, y0 + h + 0.3 * font, 0.85 * font, std::string(1, view->h_name));
    AppendText(out, x0 - 0.4 * font, y0 - 0.5 * font, 0.85 * font, std::string(1, view->v_name), "end");

    // Everything below is in machine millimetres, the vertical axis up.
    const std::string id = view->id;
    out += "<g id=\"" + id + "-machine\" transform=\"" + view->Transform() + "\" fill=\"none\" stroke-linejoin=\"round\" "
           "stroke-linecap=\"round\" stroke-width=\"" + Num(stroke) + "\">\n";
    if (view->hr.lo < 0 && view->hr.hi > 0) {
      out += "<line x1=\"0\" y1=\"" + Num(view->vr.lo) + "\" x2=\"0\" y2=\"" + Num(view->vr.hi) +
             "\" stroke=\"#b0b0b0\" stroke-width=\"" + Num(stroke / 1.5) + "\"/>\n";
    }
    if (view->vr.lo < 0 && view->vr.hi > 0) {
      out += "<line x1=\"" + Num(view->hr.lo) + "\" y1=\"0\" x2=\"" + Num(view->hr.hi) +
             "\" y2=\"0\" stroke=\"#b0b0b0\" stroke-width=\"" + Num(stroke / 1.5) + "\"/>\n";
    }
    if (extent_) {
      const double eh0 = extent_->min_mm[view->h], ev0 = extent_->min_mm[view->v];
      out += "<rect id=\"" + id + "-extent\" x=\"" + Num(eh0) + "\" y=\"" + Num(ev0) + "\" width=\"" +
             Num(extent_->max_mm[view->h] - eh0) + "\" height=\"" + Num(extent_->max_mm[view->v] - ev0) +
             "\" stroke=\"#9e9e9e\" stroke-width=\"" + Num(stroke / 2) + "\" stroke-dasharray=\"" + Num(stroke * 2) +
             " " + Num(stroke * 2) + "\"/>\n";
    }
    // The plan: runs of one style each, rapids dashed, feeds in the colour of their speed.
    out += "<g id=\"" + id + "-plan\">\n";
    for (std::size_t i = 1; i < planned.size();) {
      if (planned[i].hidden) {
        ++i;  // already drawn: the pen moves up to here
        continue;
      }
      const bool rapid = planned[i].rapid;
      const int level = rapid ? -1 : SpeedLevel(planned[i].speed_mm_per_s, max_feed_speed_);
      std::size_t j = i;
      while (j + 1 < planned.size() && !planned[j + 1].hidden && planned[j + 1].rapid == rapid &&
             (rapid || SpeedLevel(planned[j + 1].speed_mm_per_s, max_feed_speed_) == level)) {
        ++j;
      }
      if (rapid) {
        out += "<polyline class=\"rapid\" stroke=\"" + std::string(kRapidColour) + "\" stroke-dasharray=\"" +
               Num(stroke * 5) + " " + Num(stroke * 4) + "\"";
      } else {
        out += "<polyline class=\"feed\" stroke=\"" +
               RampColour((static_cast<double>(level) + 0.5) / static_cast<double>(kSpeedLevels)) + "\"";
      }
      AppendPoints(out, planned, i - 1, j, *view);
      out += "/>\n";
      i = j + 1;
    }
    out += "</g>\n";
    if (executed.size() >= 2) {
      out += "<g id=\"" + id + "-executed\" stroke=\"" + std::string(kExecutedColour) + "\" stroke-opacity=\"0.75\">\n";
      for (std::size_t i = 0; i < executed.size();) {
        std::size_t j = i;
        while (j + 1 < executed.size() && !executed[j + 1].hidden) ++j;
        if (j > i) {
          out += "<polyline class=\"executed\" stroke-width=\"" + Num(stroke * 0.6) + "\"";
          AppendPoints(out, executed, i, j, *view);
          out += "/>\n";
        }
        i = j + 1;
      }
      out += "</g>\n";
    }
    if (!planned.empty()) {
      const PlotPoint& first = planned.front();
      const PlotPoint& last = planned.back();
      out += "<circle id=\"" + id + "-start\" cx=\"" + Num(first.xyz_mm[view->h]) + "\" cy=\"" +
             Num(first.xyz_mm[view->v]) + "\" r=\"" + Num(stroke * 3) + "\" fill=\"#2e7d32\" stroke=\"none\"/>\n";
      out += "<circle id=\"" + id + "-end\" cx=\"" + Num(last.xyz_mm[view->h]) + "\" cy=\"" +
             Num(last.xyz_mm[view->v]) + "\" r=\"" + Num(stroke * 3) + "\" fill=\"none\" stroke=\"#000000\"/>\n";
    }
    out += "</g>\n";
  }

  // Legend: the speed scale, a rapid, the board's track.
  const double bar_w = 24 * font, bar_h = 0.9 * font;
  out += "<defs><linearGradient id=\"speed-scale\" x1=\"0\" y1=\"0\" x2=\"1\" y2=\"0\">";
  for (std::size_t i = 0; i < kRamp.size(); ++i) {
    const double f = static_cast<double>(i) / static_cast<double>(kRamp.size() - 1);
    out += "<stop offset=\"" + Num(f) + "\" stop-color=\"" + RampColour(f) + "\"/>";
  }
  out += "</linearGradient></defs>\n";
  AppendText(out, left, legend_top, 0.8 * font, "feed speed, mm/s (planned)");
  out += "<rect id=\"speed-scale-bar\" x=\"" + Num(left) + "\" y=\"" + Num(legend_top + 0.5 * font) + "\" width=\"" +
         Num(bar_w) + "\" height=\"" + Num(bar_h) + "\" fill=\"url(#speed-scale)\"/>\n";
  for (int i = 0; i <= 4; ++i) {
    const double f = i / 4.0;
    AppendText(out, left + f * bar_w, legend_top + 0.5 * font + bar_h + 1.0 * font, 0.7 * font,
               Fixed(f * max_feed_speed_, max_feed_speed_ >= 10 ? 0 : 1), "middle");
  }
  const double key_x = left + bar_w + 3 * font;
  out += "<line x1=\"" + Num(key_x) + "\" y1=\"" + Num(legend_top + 0.9 * font) + "\" x2=\"" + Num(key_x + 3 * font) +
         "\" y2=\"" + Num(legend_top + 0.9 * font) + "\" stroke=\"" + kRapidColour + "\" stroke-width=\"" + Num(stroke) +
         "\" stroke-dasharray=\"" + Num(stroke * 5) + " " + Num(stroke * 4) + "\"/>\n";
  AppendText(out, key_x + 3.5 * font, legend_top + 1.2 * font, 0.75 * font, "rapid");
  out += "<line x1=\"" + Num(key_x) + "\" y1=\"" + Num(legend_top + 2.4 * font) + "\" x2=\"" + Num(key_x + 3 * font) +
         "\" y2=\"" + Num(legend_top + 2.4 * font) + "\" stroke=\"" + kExecutedColour + "\" stroke-width=\"" +
         Num(stroke * 0.6) + "\"/>\n";
  AppendText(out, key_x + 3.5 * font, legend_top + 2.7 * font, 0.75 * font,
             executed.size() >= 2 ? "positions the board reported" : "positions the board reported (none: not run)");
  out += "</svg>\n";
  return out;
}

bool PathPlot::Write(const std::string& path, const std::string& title, std::string& error) const {
  const std::string document = Svg(title);
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  if (!file.is_open()) {
    error = "cannot write the plot " + path + ": it cannot be opened for writing";
    return false;
  }
  file.write(document.data(), static_cast<std::streamsize>(document.size()));
  file.close();  // a full disk shows only when the buffer goes out
  if (!file) {
    error = "cannot write the plot " + path + ": the file could not be written whole";
    return false;
  }
  return true;
}

std::optional<std::string> PlotPlan(kvgcode::BlockSource& program, const kvgcode::MachineSettings& settings,
                                    double segment_time_s, PathPlot& plot, std::uint64_t max_drawn_segments) {
  RapidLines lines(program, settings.work);
  kvgcode::Planner planner(lines, settings, segment_time_s);
  kvgcode::PlanEvent event;
  std::uint64_t drawn = 0;
  while (planner.Next(event)) {
    if (event.kind != kvgcode::PlanEvent::Kind::Segment) continue;
    const bool rapid = lines.IsRapid(event.line);
    plot.AddSegment(event.steps, rapid);
    if (++drawn >= max_drawn_segments) {
      if (const std::uint64_t skipped = planner.SkipRestOfMove(); skipped > 0) {
        plot.AddChordTo(planner.position_steps(), skipped, rapid);
      }
    }
  }
  return planner.error();
}

std::string DescribePath(const PathPlot& plot) {
  const std::optional<PlotExtent> extent = plot.PlannedExtent();
  if (!extent) return "no motion planned";
  const std::array<double, 3> end = plot.PlannedEnd_mm();
  std::string text = "extent";
  for (std::size_t k = 0; k < 3; ++k) {
    text += std::string(k ? ", " : " ") + "XYZ"[k] + " " + Fixed(extent->min_mm[k], 3) + " to " + Fixed(extent->max_mm[k], 3);
  }
  text += " mm; ends at X " + Fixed(end[0], 3) + " Y " + Fixed(end[1], 3) + " Z " + Fixed(end[2], 3) + " mm";
  return text;
}

std::optional<std::string> UnwritablePlotPath(const std::string& path) {
  namespace fs = std::filesystem;
  std::error_code ec;
  if (fs::is_directory(path, ec)) return "--plot " + path + " is a folder";
  const fs::path folder = fs::absolute(path, ec).parent_path();
  if (!ec && !fs::is_directory(folder, ec)) return "--plot " + path + ": the folder " + folder.string() + " does not exist";
  return std::nullopt;
}

std::string XmlEscape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  for (std::size_t i = 0; i < n;) {
    const unsigned char c = bytes[i];
    if (c < 0x80) {
      switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&apos;"; break;
        default: out += (c < 0x20 && c != '\t') || c == 0x7f ? '?' : static_cast<char>(c); break;
      }
      ++i;
      continue;
    }
    // A whole UTF-8 sequence of a character XML allows, or '?' for its first byte.
    std::size_t len = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c < 0xE0 ? 2 : 0;
    std::uint32_t code = len == 4 ? c & 0x07u : len == 3 ? c & 0x0Fu : c & 0x1Fu;
    bool ok = len != 0 && i + len <= n;
    for (std::size_t k = 1; ok && k < len; ++k) {
      ok = (bytes[i + k] & 0xC0) == 0x80;
      code = (code << 6) | (bytes[i + k] & 0x3Fu);
    }
    ok = ok && !(len == 3 && code < 0x800) && !(len == 4 && (code < 0x10000 || code > 0x10FFFF)) &&
         !(code >= 0xD800 && code <= 0xDFFF) && code != 0xFFFE && code != 0xFFFF;
    if (ok) {
      out.append(text, i, len);
      i += len;
    } else {
      out += '?';
      ++i;
    }
  }
  return out;
}

}  // namespace kvhost
