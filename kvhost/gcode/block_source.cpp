// In-memory block source and the whole-program check shared by every source.
#include "block_source.h"

#include "interpreter.h"

namespace kvgcode {

bool ProgramBlocks::Next(Block& out) {
  if (next_ >= program_.blocks.size()) return false;
  out = program_.blocks[next_++];
  return true;
}

std::optional<ParseError> CheckProgram(BlockSource& source, const WorkSetup& setup) {
  source.Rewind();
  Interpreter interpreter(setup);
  ActionList actions;
  Block block;
  std::optional<ParseError> fault;
  while (!interpreter.ended() && source.Next(block)) {
    if (auto error = interpreter.Execute(block, actions)) {
      fault = ParseErrorAt(block.line, std::move(*error));
      break;
    }
  }
  if (!fault) fault = source.fault();
  source.Rewind();
  return fault;
}

}  // namespace kvgcode

namespace kvgcode {

std::optional<PauseAt> FirstPause(BlockSource& source) {
  source.Rewind();
  Block block;
  std::optional<PauseAt> found;
  while (source.Next(block)) {
    if (block.pause) {
      found = PauseAt{block.line, *block.pause};
      break;
    }
    if (block.program_end) break;
  }
  source.Rewind();
  return found;
}

std::optional<WorkSetup> SetupAfter(BlockSource& source, const WorkSetup& setup) {
  source.Rewind();
  Interpreter interpreter(setup);
  ActionList actions;
  Block block;
  bool sound = true;
  while (!interpreter.ended() && source.Next(block)) {
    if (interpreter.Execute(block, actions)) {
      sound = false;
      break;
    }
  }
  if (source.fault()) sound = false;
  source.Rewind();
  if (!sound) return std::nullopt;
  return interpreter.setup();
}

}  // namespace kvgcode
