// Planning benchmark: how long each bundled (examples/) and shared (../shared/gcode/) program
// takes on the default mill, planned three ways, beside two yardsticks:
//   bound       the path at its feed rates (axis speeds capped) with no acceleration limit: no
//               planner can beat it;
//   exact stop  every move from rest to rest (G61), as kvhost planned before look-ahead;
//   look-ahead  every move blended (G64 forced), and as the program itself asks where it says G61;
//   reference   a textbook junction-deviation planner (arcs cut into 0.002 mm chords, junction
//               speed from the deviation and the axes' acceleration, backward and forward passes
//               over the whole program, continuous time). It keeps no per-segment limit, so where
//               it is faster the difference is speed it would take from the axes' acceleration at
//               some segment.
// The look-ahead's segments are also run on the simulated board's motion engine, which measures
// each axis's peak steps per segment and their peak change per period: the columns "v/lim" and
// "a/lim" give the worst axis's peak against its limit in steps (max_velocity × steps per unit ×
// period + 1, and acceleration × steps per unit × period² + 2 for the rounding of whole steps).
// It also measures how fast the look-ahead plans (moves per second of CPU).
//
// A benchmark program, not a test: it prints figures and exits 0.
#include <algorithm>
#include <chrono>  // steady_clock: planning rate
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "arc_geometry.h"
#include "board_replay.h"
#include "motion_engine.h"
#include "interpreter.h"
#include "move_path.h"
#include "plan_summary.h"
#include "planner.h"
#include "program.h"

namespace {

namespace fs = std::filesystem;
using kvgcode::AxisArray;
using kvgcode::kAxisCount;

constexpr double kPeriod_s = 0.003;
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kReferenceChordTolerance_mm = 0.002;

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Highest path speed of a move with no acceleration limit: its feed, capped by each axis.
double CruiseBound(const kvgcode::Move& move, double length, const kvgcode::MachineSettings& s) {
  double speed = move.kind == kvgcode::MoveKind::Rapid ? kInf : move.feed_per_s;
  const bool arc = move.kind == kvgcode::MoveKind::Arc;
  const std::size_t first = move.arc.first_axis;  // an arc's plane: its axes share the turning
  const std::size_t second = move.arc.second_axis;
  for (std::size_t k = 0; k < kAxisCount; ++k) {
    if (arc && (k == first || k == second)) continue;
    const double share = std::fabs(move.end_units[k] - move.start_units[k]) / length;
    if (share > 0) speed = std::min(speed, s.max_velocity_per_s[k] / share);
  }
  if (arc) speed = std::min({speed, s.max_velocity_per_s[first], s.max_velocity_per_s[second]});
  return speed;
}

struct Block {
  double length = 0;
  double nominal = 0;       // speed
  double acceleration = 0;  // along the path
  double entry_max = 0;     // junction speed limit
  AxisArray<double> unit{};
};

double TrapezoidTime(double length, double v0, double v1, double vmax, double a) {
  const double peak = std::max({std::min(vmax, std::sqrt(a * length + 0.5 * (v0 * v0 + v1 * v1))), v0, v1});
  const double da = (peak * peak - v0 * v0) / (2 * a);
  const double dd = (peak * peak - v1 * v1) / (2 * a);
  const double cruise = std::max(0.0, length - da - dd);
  return (peak - v0) / a + (peak - v1) / a + (peak > 0 ? cruise / peak : 0);
}

// A textbook junction-deviation planner over one chain of blocks that starts and ends at rest.
double ReferenceChainTime(std::vector<Block>& blocks) {
  if (blocks.empty()) return 0;
  const std::size_t n = blocks.size();
  std::vector<double> entry(n + 1, 0.0);
  for (std::size_t i = n; i-- > 0;) {
    entry[i] = std::min(blocks[i].entry_max,
                        std::sqrt(entry[i + 1] * entry[i + 1] + 2 * blocks[i].acceleration * blocks[i].length));
  }
  entry[0] = 0;
  for (std::size_t i = 0; i < n; ++i) {
    entry[i + 1] = std::min(entry[i + 1],
                            std::sqrt(entry[i] * entry[i] + 2 * blocks[i].acceleration * blocks[i].length));
  }
  entry[n] = 0;
  double time = 0;
  for (std::size_t i = 0; i < n; ++i) {
    time += TrapezoidTime(blocks[i].length, entry[i], entry[i + 1], blocks[i].nominal, blocks[i].acceleration);
  }
  blocks.clear();
  return time;
}

struct Yardsticks {
  double bound_s = 0;
  double reference_s = 0;
  double dwell_s = 0;
};

void AddReferenceBlock(std::vector<Block>& chain, const AxisArray<double>& from, const AxisArray<double>& to,
                       double feed, const kvgcode::MachineSettings& s, double deviation) {
  Block b;
  double sum = 0;
  for (std::size_t k = 0; k < kAxisCount; ++k) sum += (to[k] - from[k]) * (to[k] - from[k]);
  b.length = std::sqrt(sum);
  if (!(b.length > 0)) return;
  b.nominal = feed;
  b.acceleration = kInf;
  for (std::size_t k = 0; k < kAxisCount; ++k) {
    b.unit[k] = (to[k] - from[k]) / b.length;
    const double share = std::fabs(b.unit[k]);
    if (share > 0) {
      b.nominal = std::min(b.nominal, s.max_velocity_per_s[k] / share);
      b.acceleration = std::min(b.acceleration, s.acceleration_per_s2[k] / share);
    }
  }
  b.entry_max = 0;
  if (!chain.empty()) {
    const Block& prev = chain.back();
    double cos_theta = 0;
    AxisArray<double> junction{};
    double norm = 0;
    for (std::size_t k = 0; k < kAxisCount; ++k) {
      cos_theta -= prev.unit[k] * b.unit[k];
      junction[k] = b.unit[k] - prev.unit[k];
      norm += junction[k] * junction[k];
    }
    norm = std::sqrt(norm);
    double v = std::min(prev.nominal, b.nominal);
    if (cos_theta > 0.999999) {
      v = 0;  // reversal
    } else if (cos_theta > -0.999999) {
      double accel = kInf;
      for (std::size_t k = 0; k < kAxisCount; ++k) {
        const double share = std::fabs(junction[k]) / norm;
        if (share > 0) accel = std::min(accel, s.acceleration_per_s2[k] / share);
      }
      const double sin_half = std::sqrt(0.5 * (1.0 - cos_theta));
      v = std::min(v, std::sqrt(accel * deviation * sin_half / (1.0 - sin_half)));
    }
    b.entry_max = v;
  }
  chain.push_back(b);
}

Yardsticks Measure(const kvgcode::Program& program, const kvgcode::MachineSettings& s) {
  Yardsticks y;
  kvgcode::Interpreter interpreter;
  kvgcode::ActionList actions;
  std::vector<Block> chain;
  for (const kvgcode::Block& block : program.blocks) {
    if (interpreter.ended() || interpreter.Execute(block, actions)) break;
    for (std::size_t i = 0; i < actions.count; ++i) {
      const kvgcode::Action& action = actions.items[i];
      if (action.kind != kvgcode::Action::Kind::Move) {
        y.reference_s += ReferenceChainTime(chain);
        y.dwell_s += action.kind == kvgcode::Action::Kind::Dwell ? action.dwell_s : 0.0;
        continue;
      }
      const kvgcode::Move& move = action.move;
      const double length = kvgcode::PathLength(move);
      if (!(length > 0)) continue;
      const double cruise = CruiseBound(move, length, s);
      y.bound_s += length / cruise;
      const double feed = move.kind == kvgcode::MoveKind::Rapid ? kInf : move.feed_per_s;
      if (move.kind != kvgcode::MoveKind::Arc) {
        AddReferenceBlock(chain, move.start_units, move.end_units, feed, s, s.junction_deviation_mm);
        continue;
      }
      const double radius = std::max(move.arc.start_radius_mm, move.arc.end_radius_mm);
      const double chord_angle =
          radius > kReferenceChordTolerance_mm ? 2 * std::acos(1 - kReferenceChordTolerance_mm / radius) : 1.0;
      const int chords = std::max(1, static_cast<int>(std::ceil(std::fabs(move.arc.sweep_rad) / chord_angle)));
      AxisArray<double> from = move.start_units;
      for (int c = 1; c <= chords; ++c) {
        const AxisArray<double> to = c == chords ? move.end_units : kvgcode::PointAt(move, double(c) / chords);
        AddReferenceBlock(chain, from, to, feed, s, s.junction_deviation_mm);
        from = to;
      }
    }
  }
  y.reference_s += ReferenceChainTime(chain);
  y.bound_s += y.dwell_s;
  y.reference_s += y.dwell_s;
  return y;
}

struct BoardPeaks {
  double speed_share = 0;   // worst axis: peak steps per segment / allowed
  double change_share = 0;  // worst axis: peak change per period / allowed
  bool exact_end = false;
};

BoardPeaks RunOnBoard(const kvgcode::Program& program, const kvgcode::MachineSettings& s) {
  const kvhost::BoardReplay replay = kvhost::ReplayOnBoard(program, s, kPeriod_s, kvgcode::PathControl::Blend);
  BoardPeaks peaks;
  const kvboard::MotionCounters& c = replay.counters;
  for (std::size_t k = 0; k < kAxisCount; ++k) {
    peaks.speed_share =
        std::max(peaks.speed_share, c.peak_steps_per_segment[k] / kvhost::AllowedSegmentSteps(s, k, kPeriod_s));
    peaks.change_share =
        std::max(peaks.change_share, c.peak_step_change[k] / kvhost::AllowedStepChange(s, k, kPeriod_s));
  }
  const auto end = kvgcode::ProgramEndSteps(program, s);
  peaks.exact_end = end.has_value() && !replay.error;
  for (std::size_t k = 0; end && k < kAxisCount; ++k) peaks.exact_end = peaks.exact_end && replay.end[k] == (*end)[k];
  return peaks;
}

}  // namespace

int main(int argc, char** argv) {
  const fs::path root = argc > 1 ? fs::path(argv[1]) : fs::path(KV_SOURCE_DIR);
  std::vector<fs::path> files;
  for (const fs::path& dir : {root / "examples", root / ".." / "shared" / "gcode"}) {
    if (!fs::is_directory(dir)) continue;
    for (const auto& entry : fs::directory_iterator(dir)) {
      const auto ext = entry.path().extension();
      if (entry.is_regular_file() && (ext == ".nc" || ext == ".gcode")) files.push_back(entry.path());
    }
  }
  std::sort(files.begin(), files.end());
  const kvgcode::MachineSettings settings = kvgcode::DefaultMillSettings();
  std::printf("Default mill (X/Y 50 mm/s 500 mm/s², Z 25 mm/s 250 mm/s²), %.0f ms segments, junction deviation %.3g mm\n",
              kPeriod_s * 1000, settings.junction_deviation_mm);
  std::printf("%-46s %7s %9s %9s %9s %9s %9s %8s %8s %9s %6s %6s %5s\n", "program", "moves", "bound s", "exact s",
              "lookahd s", "as-prog s", "refer. s", "exact/b", "look/b", "look/ref", "v/lim", "a/lim", "end");
  double total_moves = 0;
  double total_plan_s = 0;
  for (const fs::path& file : files) {
    const kvgcode::ParseResult parsed = kvgcode::ParseProgram(ReadFile(file));
    if (!parsed.ok()) {
      std::printf("%-46s %s\n", file.filename().string().c_str(), parsed.error().message.c_str());
      continue;
    }
    const kvgcode::Program& program = parsed.program();
    const Yardsticks y = Measure(program, settings);
    const auto exact = kvgcode::Summarize(program, settings, kPeriod_s, kvgcode::PathControl::ExactStop);
    const auto start = std::chrono::steady_clock::now();
    const auto blend = kvgcode::Summarize(program, settings, kPeriod_s, kvgcode::PathControl::Blend);
    const double plan_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const auto as_programmed = kvgcode::Summarize(program, settings, kPeriod_s);
    total_moves += static_cast<double>(blend.moves);
    total_plan_s += plan_s;
    const BoardPeaks peaks = RunOnBoard(program, settings);
    std::printf("%-46s %7llu %9.2f %9.2f %9.2f %9.2f %9.2f %8.3f %8.3f %9.3f %6.3f %6.3f %5s%s\n",
                file.filename().string().c_str(), static_cast<unsigned long long>(blend.moves), y.bound_s,
                exact.estimated_time_s, blend.estimated_time_s, as_programmed.estimated_time_s, y.reference_s,
                exact.estimated_time_s / y.bound_s, blend.estimated_time_s / y.bound_s,
                blend.estimated_time_s / y.reference_s, peaks.speed_share, peaks.change_share,
                peaks.exact_end ? "exact" : "OFF", blend.error || exact.error ? "  (error)" : "");
  }
  if (total_plan_s > 0) {
    std::printf("look-ahead planning: %.0f moves in %.3f s = %.0f moves/s (%.3f s per 100,000 moves)\n", total_moves,
                total_plan_s, total_moves / total_plan_s, total_plan_s / total_moves * 1e5);
  }
  return 0;
}
