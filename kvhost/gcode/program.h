// A G-code program decoded and checked up front, so no fault surfaces once motion has started.
// Each Block keeps the words of one source line as written (program units, not yet modal).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "axes.h"
#include "line_error.h"
#include "line_lexer.h"
#include "work_setup.h"

namespace kvgcode {

// Off is G80: no motion mode, so axis words alone move nothing until G0..G3 or a cycle is given.
enum class MotionMode : std::uint8_t {
  Rapid, Linear, ClockwiseArc, CounterClockwiseArc,
  Drill, DrillDwell, PeckDrill, ChipBreakDrill,  // G81, G82, G83, G73
  Off
};
enum class Units : std::uint8_t { Millimetres, Inches };
enum class DistanceMode : std::uint8_t { Absolute, Incremental };
enum class SpindleCommand : std::uint8_t { Clockwise, CounterClockwise, Stop };
enum class FeedMode : std::uint8_t { PerMinute, InverseTime };  // G94, G93
enum class Plane : std::uint8_t { XY, ZX, YZ };                  // G17, G18, G19
enum class ArcCentreMode : std::uint8_t { Incremental, Absolute };  // G91.1, G90.1
enum class RetractMode : std::uint8_t { InitialLevel, RPlane };     // G98, G99
enum class ToolLengthCommand : std::uint8_t { Apply, Cancel };      // G43, G49
// Codes that act once, on this line only, and take the line's axis words for themselves
// (G53 does not: it changes how the line's own motion reads them).
enum class OneShot : std::uint8_t { SetOffsets, GoHome, GoSecondHome, SetG92, ClearG92 };  // G10 G28 G30 G92 G92.1
enum class PauseKind : std::uint8_t { Always, Optional };  // M0, M1
// G61 stops exactly at the end of every move; G64 blends corners within a path tolerance.
enum class PathMode : std::uint8_t { ExactStop, Blend };

// The M-code of a spindle command: 3, 4 or 5.
int SpindleMcode(SpindleCommand command);

// The G-code number of a motion mode: 0, 1, 2, 3, 73, 80, 81, 82 or 83.
int MotionGcode(MotionMode mode);

// True for G81, G82, G83 and G73.
bool IsDrillCycle(MotionMode mode);

struct Block {
  int line = 0;  // 1-based line in the source text
  std::optional<MotionMode> motion;      // G0..G3, G73, G80..G83 written on this line
  std::optional<Units> units;            // G20/G21
  std::optional<DistanceMode> distance;  // G90/G91
  std::optional<SpindleCommand> spindle; // M3/M4/M5
  std::optional<FeedMode> feed_mode;     // G93/G94
  std::optional<Plane> plane;            // G17/G18/G19
  std::optional<ArcCentreMode> arc_centre;       // G90.1/G91.1
  std::optional<RetractMode> retract;            // G98/G99
  std::optional<ToolLengthCommand> tool_length;  // G43/G49
  std::optional<int> work_system;        // G54..G59 as 1..6
  std::optional<OneShot> one_shot;       // G10, G28, G30, G92, G92.1
  std::optional<PauseKind> pause;        // M0/M1
  bool machine_coordinates = false;      // G53
  std::optional<PathMode> path_mode;     // G61/G64
  std::optional<double> path_tolerance;  // P of G64, in program units
  bool dwell = false;                    // G4
  bool tool_change = false;              // M6
  bool program_end = false;              // M2/M30
  bool mist_on = false;                  // M7
  bool flood_on = false;                 // M8
  bool coolant_off = false;              // M9
  AxisArray<std::optional<double>> axes{};
  std::optional<double> arc_i;
  std::optional<double> arc_j;
  std::optional<double> arc_k;
  std::optional<double> arc_r;           // also the R plane of a drilling cycle
  std::optional<double> feed_per_min;    // F: program units per minute, or 1/minutes under G93
  std::optional<double> spindle_speed;   // S
  std::optional<double> dwell_s;         // P: seconds for G4 and G82, the system number for G10
  std::optional<double> peck_q;          // Q, the peck depth of G83/G73
  std::optional<int> tool;               // T
  std::optional<int> tool_offset_h;      // H
  std::optional<int> l_word;             // L, the kind of G10

  bool HasAxisWords() const;
  bool HasArcWords() const;  // I, J, K or R
  // True when the line asks for nothing the planner acts on (blank, comment, N, G17, G40...).
  bool Empty() const;
};

struct Program {
  std::vector<Block> blocks;  // ends at the M2/M30 block when the program has one
};

struct ParseError {
  int line = 0;
  std::string word;     // the word at fault as written, e.g. "G18"
  std::string message;  // e.g. line 12: unsupported word "G18"
};

class ParseResult {
 public:
  explicit ParseResult(Program program) : value_(std::move(program)) {}
  explicit ParseResult(ParseError error) : value_(std::move(error)) {}

  bool ok() const { return std::holds_alternative<Program>(value_); }
  // Both throw std::bad_variant_access when asked for the side that is absent.
  const Program& program() const& { return std::get<Program>(value_); }
  Program program() && { return std::get<Program>(std::move(value_)); }  // no reference into a temporary
  const ParseError& error() const& { return std::get<ParseError>(value_); }
  ParseError error() && { return std::get<ParseError>(std::move(value_)); }

 private:
  std::variant<Program, ParseError> value_;
};

// The fault of one source line as the user reads it: "line 12: unsupported word "G18"".
ParseError ParseErrorAt(int line, LineError error);

// Lexes and decodes one source line into `block` (made fresh, its line set); `words` is scratch
// space kept by the caller so that a long program allocates it once.
std::optional<ParseError> DecodeLine(std::string_view line, int line_number, std::vector<Word>& words, Block& block);

// Decodes and checks the whole text: lexing, the supported word set, and every modal consequence
// (feed set before G1, arc geometry, coordinates in range). Lines after M2/M30 are not read.
// `setup` gives the offsets and tables the program starts with (the tool table is checked).
ParseResult ParseProgram(std::string_view text, const WorkSetup& setup = WorkSetup{});

}  // namespace kvgcode
