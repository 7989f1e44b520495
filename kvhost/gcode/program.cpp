// Whole-program parsing: lex, decode and interpret every line before anything moves.
#include "program.h"

#include <limits>

#include "block_decoder.h"
#include "interpreter.h"
#include "line_lexer.h"

namespace kvgcode {

int SpindleMcode(SpindleCommand command) {
  switch (command) {
    case SpindleCommand::Clockwise: return 3;
    case SpindleCommand::CounterClockwise: return 4;
    case SpindleCommand::Stop: return 5;
  }
  return 5;
}

int MotionGcode(MotionMode mode) {
  switch (mode) {
    case MotionMode::Rapid: return 0;
    case MotionMode::Linear: return 1;
    case MotionMode::ClockwiseArc: return 2;
    case MotionMode::CounterClockwiseArc: return 3;
    case MotionMode::Drill: return 81;
    case MotionMode::DrillDwell: return 82;
    case MotionMode::PeckDrill: return 83;
    case MotionMode::ChipBreakDrill: return 73;
    case MotionMode::Off: return 80;
  }
  return 0;
}

bool IsDrillCycle(MotionMode mode) {
  return mode == MotionMode::Drill || mode == MotionMode::DrillDwell || mode == MotionMode::PeckDrill ||
         mode == MotionMode::ChipBreakDrill;
}

bool Block::HasAxisWords() const {
  for (const auto& axis : axes) {
    if (axis) return true;
  }
  return false;
}

bool Block::HasArcWords() const { return arc_i || arc_j || arc_k || arc_r; }

bool Block::Empty() const {
  return !motion && !units && !distance && !spindle && !feed_mode && !plane && !arc_centre && !retract &&
         !tool_length && !work_system && !one_shot && !pause && !machine_coordinates && !dwell && !tool_change &&
         !program_end && !mist_on && !flood_on && !coolant_off && !HasAxisWords() && !HasArcWords() &&
         !feed_per_min && !spindle_speed && !dwell_s && !peck_q && !tool && !tool_offset_h && !l_word && !path_mode &&
         !path_tolerance;
}

ParseError ParseErrorAt(int line, LineError error) {
  return ParseError{line, std::move(error.word), "line " + std::to_string(line) + ": " + error.detail};
}

std::optional<ParseError> DecodeLine(std::string_view line, int line_number, std::vector<Word>& words, Block& block) {
  block = Block{};
  block.line = line_number;
  if (auto error = LexLine(line, words)) return ParseErrorAt(line_number, std::move(*error));
  if (auto error = DecodeBlock(words, block)) return ParseErrorAt(line_number, std::move(*error));
  return std::nullopt;
}

ParseResult ParseProgram(std::string_view text, const WorkSetup& setup) {
  Program program;
  Interpreter interpreter(setup);  // run here only to find modal faults before any motion
  ActionList actions;
  std::vector<Word> words;
  Block block;
  int line_number = 0;
  std::size_t pos = 0;
  while (pos < text.size() && !interpreter.ended()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = text.substr(pos, end - pos);
    pos = end + 1;
    if (line_number == std::numeric_limits<int>::max()) {
      return ParseResult(ParseError{line_number, {}, "program has too many lines"});
    }
    ++line_number;

    if (auto error = DecodeLine(line, line_number, words, block)) return ParseResult(std::move(*error));
    if (block.Empty()) continue;
    if (auto error = interpreter.Execute(block, actions)) return ParseResult(ParseErrorAt(line_number, std::move(*error)));
    program.blocks.push_back(block);
  }
  return ParseResult(std::move(program));
}

}  // namespace kvgcode
