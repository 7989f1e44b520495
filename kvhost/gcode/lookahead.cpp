// Pieces of path, corner blends and the backward pass of the look-ahead window.
#include "lookahead.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

#include "move_path.h"

namespace kvgcode {
namespace {

constexpr double kUnlimited = std::numeric_limits<double>::infinity();

// A straight part shorter than this is dropped: the blends on both sides meet.
constexpr double kMinPieceLength = 1e-9;

// Directions closer than this are one direction; nearer than this to opposite is a reversal,
// which no blend can round.
constexpr double kStraightRad = 1e-9;
constexpr double kReversalRad = 1e-6;

// Fraction of an arc over which its end directions are taken.
constexpr double kTangentStep = 1e-5;

double Dot(const AxisArray<double>& a, const AxisArray<double>& b) {
  double sum = 0;
  for (std::size_t k = 0; k < kAxisCount; ++k) sum += a[k] * b[k];
  return sum;
}

AxisArray<double> Normalised(const AxisArray<double>& v) {
  const double norm = std::sqrt(Dot(v, v));
  AxisArray<double> out{};
  if (!(norm > 0.0)) return out;
  for (std::size_t k = 0; k < kAxisCount; ++k) out[k] = v[k] / norm;
  return out;
}

// Direction of travel where a move starts or ends.
AxisArray<double> Direction(const Move& move, double length, bool at_end) {
  AxisArray<double> d{};
  if (move.kind != MoveKind::Arc) {
    for (std::size_t k = 0; k < kAxisCount; ++k) d[k] = (move.end_units[k] - move.start_units[k]) / length;
    return d;
  }
  const AxisArray<double> a = PointAt(move, at_end ? 1.0 - kTangentStep : 0.0);
  const AxisArray<double> b = PointAt(move, at_end ? 1.0 : kTangentStep);
  for (std::size_t k = 0; k < kAxisCount; ++k) d[k] = b[k] - a[k];
  return Normalised(d);
}

// Path travelled per unit of the move's nominal length where it starts or ends: 1 for lines and
// circles, more for a spiral whose radius changes fast against its sweep, whose speeds are then
// not the path's.
double SpeedScale(const Move& move, double length, bool at_end) {
  if (move.kind != MoveKind::Arc) return 1.0;
  const AxisArray<double> a = PointAt(move, at_end ? 1.0 - kTangentStep : 0.0);
  const AxisArray<double> b = PointAt(move, at_end ? 1.0 : kTangentStep);
  double sum = 0;
  for (std::size_t k = 0; k < kAxisCount; ++k) sum += (b[k] - a[k]) * (b[k] - a[k]);
  return std::sqrt(sum) / (kTangentStep * length);
}

// Speeds on both sides of a junction are one speed only where both measure the path itself.
constexpr double kSpeedScaleSlack = 0.01;

double FeedOf(const Move& move) { return move.kind == MoveKind::Rapid ? kUnlimited : move.feed_per_s; }

}  // namespace

AxisArray<double> PathPiece::PointAt(double fraction) const {
  if (kind == Kind::Arc) return kvgcode::PointAt(arc, fraction);
  AxisArray<double> p{};
  if (kind == Kind::Line) {
    for (std::size_t k = 0; k < kAxisCount; ++k) p[k] = start[k] + (end[k] - start[k]) * fraction;
    return p;
  }
  const double phi = angle_rad * fraction;
  const double c = std::cos(phi);
  const double s = std::sin(phi);
  for (std::size_t k = 0; k < kAxisCount; ++k) p[k] = centre[k] + radius * (along[k] * s - inward[k] * c);
  return p;
}

PieceBuilder::PieceBuilder(const MachineSettings& settings, double segment_time_s)
    : settings_(settings), segment_time_s_(segment_time_s) {}

PieceBuilder::Pending PieceBuilder::Hold(const Move& move, int line) const {
  Pending p;
  p.move = move;
  p.line = line;
  p.length = PathLength(move);
  p.limits = LimitsFor(move, p.length, settings_, segment_time_s_);
  return p;
}

PathPiece PieceBuilder::Body(const Pending& p, double end_trim, double end_margin) const {
  PathPiece piece;
  piece.line = p.line;
  piece.max_speed_per_s = p.limits.speed_per_s;
  piece.acceleration_per_s2 = p.limits.acceleration_per_s2 * (1.0 - std::max(p.start_margin, end_margin));
  piece.entry_limit_per_s = p.entry_limit_per_s;
  piece.end = p.move.end_units;
  if (p.move.kind == MoveKind::Arc) {
    piece.kind = PathPiece::Kind::Arc;
    piece.arc = p.move;
    piece.start = p.move.start_units;
    piece.length = p.length;
    return piece;
  }
  piece.kind = PathPiece::Kind::Line;
  for (std::size_t k = 0; k < kAxisCount; ++k) {
    const double u = (p.move.end_units[k] - p.move.start_units[k]) / p.length;
    piece.start[k] = p.move.start_units[k] + u * p.start_trim;
    if (end_trim > 0.0) piece.end[k] = p.move.end_units[k] - u * end_trim;
  }
  piece.length = p.length - p.start_trim - end_trim;
  return piece;
}

double PieceBuilder::JumpShare(const AxisArray<double>& from, const AxisArray<double>& to, double speed) const {
  double share = 0;
  for (std::size_t k = 0; k < kAxisCount; ++k) {
    share = std::max(share, speed * std::fabs(to[k] - from[k]) / (settings_.acceleration_per_s2[k] * segment_time_s_));
  }
  return share;
}

PieceBuilder::Output PieceBuilder::Add(const Move& move, int line) {
  Output out;
  Pending b = Hold(move, line);
  if (!pending_) {
    pending_ = b;
    return out;
  }
  const Pending a = *pending_;
  const auto end_chain = [&] {
    out.pieces[out.count++] = Body(a, 0, 0);
    out.chain_ends = true;
    pending_ = b;
    return out;
  };
  if (a.move.exact_stop || move.exact_stop) return end_chain();
  // A rapid is positioning: the cut after it starts from, and the one before it ends on, the
  // programmed point.
  if ((a.move.kind == MoveKind::Rapid) != (move.kind == MoveKind::Rapid)) return end_chain();
  if (std::fabs(SpeedScale(a.move, a.length, true) - 1.0) > kSpeedScaleSlack ||
      std::fabs(SpeedScale(move, b.length, false) - 1.0) > kSpeedScaleSlack) {
    return end_chain();
  }

  const AxisArray<double> u_a = Direction(a.move, a.length, true);
  const AxisArray<double> u_b = Direction(move, b.length, false);
  const double cos_turn = std::clamp(Dot(u_a, u_b), -1.0, 1.0);
  const double turn = std::acos(cos_turn);
  const double tolerance = std::min(a.move.path_tolerance_mm.value_or(settings_.junction_deviation_mm),
                                    move.path_tolerance_mm.value_or(settings_.junction_deviation_mm));
  // Fastest crossing of the sharp corner: its change of direction within kJunctionShare.
  const double unit_share = JumpShare(u_a, u_b, 1.0);
  const double jump_limit = unit_share > 0.0 ? kJunctionShare / unit_share : kUnlimited;

  if (a.move.kind != MoveKind::Arc && move.kind != MoveKind::Arc && turn > kStraightRad &&
      turn < std::numbers::pi - kReversalRad && tolerance > 0.0) {
    // A circle tangent to both lines; its tangent length is where the corner is left and
    // rejoined, so that its middle passes `tolerance` inside the corner, and no blend takes
    // more than half of either line (the next corner may want the other half).
    const double half = turn / 2.0;
    const double tangent = std::min({tolerance / std::tan(half / 2.0), a.length / 2.0, b.length / 2.0});
    PathPiece blend;
    blend.kind = PathPiece::Kind::Blend;
    blend.line = line;
    blend.radius = tangent / std::tan(half);
    blend.angle_rad = turn;
    blend.length = blend.radius * turn;
    AxisArray<double> towards{};
    for (std::size_t k = 0; k < kAxisCount; ++k) towards[k] = u_b[k] - cos_turn * u_a[k];
    blend.inward = Normalised(towards);
    blend.along = u_a;
    // Limits: the blend's direction and its turn both lie in the plane of along and inward,
    // so no axis carries more than sqrt(along² + inward²) of either.
    double acceleration = kUnlimited;
    double speed = std::min(FeedOf(a.move), FeedOf(move));
    for (std::size_t k = 0; k < kAxisCount; ++k) {
      blend.start[k] = a.move.end_units[k] - u_a[k] * tangent;
      blend.end[k] = a.move.end_units[k] + u_b[k] * tangent;
      blend.centre[k] = blend.start[k] + blend.inward[k] * blend.radius;
      const double share = std::hypot(u_a[k], blend.inward[k]);
      if (share > 1e-12) {
        acceleration = std::min(acceleration, settings_.acceleration_per_s2[k] / share);
        speed = std::min(speed, settings_.max_velocity_per_s[k] / share);
      }
    }
    speed = std::min(speed, std::sqrt(kBlendTurnShare * acceleration * blend.radius));
    blend.max_speed_per_s = speed;
    blend.acceleration_per_s2 = acceleration - speed * speed / blend.radius;
    // Worth it only where it is faster than crossing the sharp corner.
    if (blend.length > kMinPieceLength && speed > jump_limit) {
      const PathPiece body = Body(a, tangent, 0);
      const bool keep_body = body.length > kMinPieceLength;
      if (keep_body) out.pieces[out.count++] = body;
      blend.entry_limit_per_s = keep_body ? kUnlimited : a.entry_limit_per_s;
      out.pieces[out.count++] = blend;
      b.start_trim = tangent;
      b.entry_limit_per_s = kUnlimited;
      pending_ = b;
      return out;
    }
  }

  double junction = jump_limit;
  if (turn > kStraightRad) {
    // Within a period of the corner the machine travels at most v*T + a*T²/2 along either side;
    // the straight segment between such points passes that times sin(turn/2) from the corner.
    const double acceleration = std::max(a.limits.acceleration_per_s2, b.limits.acceleration_per_s2);
    const double room = tolerance / std::sin(turn / 2.0) - 0.5 * acceleration * segment_time_s_ * segment_time_s_;
    if (!(room > 0.0)) return end_chain();
    junction = std::min(junction, room / segment_time_s_);
  }
  // The share the corner takes at the fastest it can be crossed (both moves' top speeds too).
  const double margin = JumpShare(u_a, u_b, std::min({junction, a.limits.speed_per_s, b.limits.speed_per_s}));
  out.pieces[out.count++] = Body(a, 0, margin);
  b.entry_limit_per_s = junction;
  b.start_margin = margin;
  pending_ = b;
  return out;
}

PieceBuilder::Output PieceBuilder::Flush() {
  Output out;
  if (!pending_) return out;
  out.pieces[out.count++] = Body(*pending_, 0, 0);
  out.chain_ends = true;
  pending_.reset();
  return out;
}

LookaheadWindow::LookaheadWindow() : ring_(kLookaheadPieces) {}

void LookaheadWindow::Push(const PathPiece& piece, bool chain_start) {
  PathPiece& slot = ring_[(head_ + count_) % ring_.size()];
  slot = piece;
  slot.entry_limit_per_s =
      chain_start ? 0.0 : std::min({slot.entry_limit_per_s, last_max_speed_per_s_, slot.max_speed_per_s});
  slot.entry_max_per_s = -1;
  last_max_speed_per_s_ = slot.max_speed_per_s;
  ++count_;
  // Backward pass: each entry is as high as its junction allows and still lets the rest of the
  // window stop by its end. Stops where nothing changes, since nothing before it can either.
  double exit = 0;
  for (std::size_t i = count_; i-- > 1;) {
    PathPiece& p = at(i);
    const double entry =
        std::min(p.entry_limit_per_s, std::sqrt(exit * exit + 2.0 * p.acceleration_per_s2 * p.length));
    if (entry == p.entry_max_per_s) break;
    p.entry_max_per_s = entry;
    exit = entry;
  }
}

void LookaheadWindow::PopFront() {
  head_ = (head_ + 1) % ring_.size();
  --count_;
}

void LookaheadWindow::Clear() {
  head_ = 0;
  count_ = 0;
}

}  // namespace kvgcode
