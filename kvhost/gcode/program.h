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

namespace kvgcode {

enum class MotionMode : std::uint8_t { Rapid, Linear, ClockwiseArc, CounterClockwiseArc };
enum class Units : std::uint8_t { Millimetres, Inches };
enum class DistanceMode : std::uint8_t { Absolute, Incremental };
enum class SpindleCommand : std::uint8_t { Clockwise, CounterClockwise, Stop };

// The M-code of a spindle command: 3, 4 or 5.
int SpindleMcode(SpindleCommand command);

// The G-code number of a motion mode: 0, 1, 2 or 3.
int MotionGcode(MotionMode mode);

struct Block {
  int line = 0;  // 1-based line in the source text
  std::optional<MotionMode> motion;      // G0..G3 written on this line
  std::optional<Units> units;            // G20/G21
  std::optional<DistanceMode> distance;  // G90/G91
  std::optional<SpindleCommand> spindle; // M3/M4/M5
  bool dwell = false;                    // G4
  bool tool_change = false;              // M6
  bool program_end = false;              // M2/M30
  AxisArray<std::optional<double>> axes{};
  std::optional<double> arc_i;
  std::optional<double> arc_j;
  std::optional<double> arc_r;
  std::optional<double> feed_per_min;    // F, in program units per minute
  std::optional<double> spindle_speed;   // S
  std::optional<double> dwell_s;         // P
  std::optional<int> tool;               // T

  bool HasAxisWords() const;
  bool HasArcWords() const;
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
ParseResult ParseProgram(std::string_view text);

}  // namespace kvgcode
