// Look-ahead: programmed moves become pieces of path joined without stopping, and a window of
// upcoming pieces bounds every speed so that the machine can always stop at its end.
// Corners between straight moves are rounded by a blend arc that stays within the path
// tolerance; other junctions (an arc on either side) are crossed only as fast as the change of
// direction fits one segment period's share of each axis's acceleration, which for the tangent
// joins CAM programs write costs nothing. The board samples the path once a segment period, so
// a sharp corner crossed at speed would show as one period's jump in velocity: blends keep the
// path smooth so that what the board measures per period stays within each axis's limits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "axes.h"
#include "interpreter.h"
#include "machine_settings.h"
#include "move_limits.h"

namespace kvgcode {

// Pieces in the window: at most two per move (its straight part and the blend after it), so
// 512 moves. Short CAM moves need about v²/(2a) of path to reach and to leave their feed (2.5 mm
// at 50 mm/s and 500 mm/s²); 512 moves of 0.1 mm are 51 mm.
inline constexpr std::size_t kLookaheadPieces = 1024;

// Share of each axis's acceleration a sharp (unblended) junction may use up in one segment
// period; the pieces next to it keep the rest, so the two never add up beyond the limit. A sharp
// corner is crossed at speed only where the segment that straddles it stays within the path
// tolerance of the corner; elsewhere the chain stops exactly on it.
inline constexpr double kJunctionShare = 0.05;

// Share of the acceleration a curved blend may give to turning at its top speed; the rest is
// left for speeding up and slowing down along it.
inline constexpr double kBlendTurnShare = 0.9;

struct PathPiece {
  enum class Kind : std::uint8_t { Line, Arc, Blend };
  Kind kind = Kind::Line;
  int line = 0;                // source line of the move (the move entered, for a blend)
  AxisArray<double> start{};   // Line and Blend: first point
  AxisArray<double> end{};     // last point (for an arc, the move's programmed end)
  Move arc;                    // Arc: the whole move
  AxisArray<double> centre{};  // Blend: centre of the arc, in the plane of the two lines
  AxisArray<double> along{};   // Blend: direction of travel at its start
  AxisArray<double> inward{};  // Blend: from its start towards the centre
  double radius = 0;           // Blend
  double angle_rad = 0;        // Blend: how far it turns

  double length = 0;
  double max_speed_per_s = 0;
  double acceleration_per_s2 = 0;  // along the path
  double entry_limit_per_s = 0;    // the junction with the piece before allows no more
  double entry_max_per_s = -1;     // look-ahead: highest entry from which the window can stop

  // The point at `fraction` of the piece's length (0 = start, 1 = end, within rounding).
  AxisArray<double> PointAt(double fraction) const;
};

// Turns moves into pieces. It holds back the latest move until the next one shows how their
// corner is joined. Every piece handed out has its entry limit set against its own junction.
class PieceBuilder {
 public:
  PieceBuilder(const MachineSettings& settings, double segment_time_s);

  struct Output {
    std::size_t count = 0;
    PathPiece pieces[2];
    bool chain_ends = false;  // the last piece ends at rest, exactly at its end
  };

  // A move of non-zero length; `line` is its source line.
  Output Add(const Move& move, int line);
  // Ends the chain: the held move comes to rest at its end.
  Output Flush();
  bool holding() const { return pending_.has_value(); }

 private:
  struct Pending {
    Move move;
    int line = 0;
    double length = 0;
    MoveLimits limits;
    double start_trim = 0;       // taken off its start by the blend before it
    double entry_limit_per_s = 0;
    double start_margin = 0;     // share of the acceleration its sharp start corner takes
  };

  Pending Hold(const Move& move, int line) const;
  // The piece of the held move from its start trim to `end_trim` before its end. Next to a sharp
  // corner it keeps the corner's share of the acceleration free.
  PathPiece Body(const Pending& p, double end_trim, double end_margin) const;
  // The change of direction at `speed` over one period, as a share of the axis's acceleration
  // (the largest over the axes).
  double JumpShare(const AxisArray<double>& from, const AxisArray<double>& to, double speed) const;

  MachineSettings settings_;
  double segment_time_s_;
  std::optional<Pending> pending_;
};

// The upcoming pieces, in a ring allocated once. Index 0 is the piece under way.
class LookaheadWindow {
 public:
  LookaheadWindow();

  std::size_t size() const { return count_; }
  // Room for what one more move may add (its straight part and a blend).
  bool has_room() const { return count_ + 2 <= ring_.size(); }
  PathPiece& at(std::size_t i) { return ring_[(head_ + i) % ring_.size()]; }
  const PathPiece& at(std::size_t i) const { return ring_[(head_ + i) % ring_.size()]; }

  // Appends a piece (the window must not be full) and lifts the speeds of the pieces before it
  // that can now leave faster, since the window no longer has to stop where it ended.
  // `chain_start` marks the first piece after a rest.
  void Push(const PathPiece& piece, bool chain_start);
  void PopFront();
  void Clear();

 private:
  std::vector<PathPiece> ring_;
  std::size_t head_ = 0;
  std::size_t count_ = 0;
  double last_max_speed_per_s_ = 0;  // of the piece pushed last, which may have left already
};

}  // namespace kvgcode
