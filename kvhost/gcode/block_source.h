// Where the planner reads a program's blocks from: a parsed program held in memory, or a
// checked file read again line by line as the plan goes, so that a program of any size is
// planned in bounded memory.
#pragma once

#include <optional>

#include "program.h"

namespace kvgcode {

class BlockSource {
 public:
  virtual ~BlockSource() = default;
  // Starts again from the program's first line.
  virtual void Rewind() = 0;
  // The next block that asks for something, in source order. False at the end of the text, or
  // on a fault (then fault() holds it): a file that changed or became unreadable since it was
  // checked must stop the plan, never feed it a guess.
  virtual bool Next(Block& out) = 0;
  virtual const std::optional<ParseError>& fault() const = 0;
};

// The blocks of a program parsed in memory. The program is referenced: it must outlive this.
class ProgramBlocks final : public BlockSource {
 public:
  explicit ProgramBlocks(const Program& program) : program_(program) {}
  ProgramBlocks(Program&&) = delete;  // would dangle

  void Rewind() override { next_ = 0; }
  bool Next(Block& out) override;
  const std::optional<ParseError>& fault() const override { return no_fault_; }

 private:
  const Program& program_;
  std::size_t next_ = 0;
  std::optional<ParseError> no_fault_;
};

// Runs every block of the source through the interpreter from the start, as the planner will,
// and returns the first fault: a lexing or decoding fault of the source, or a modal one (feed
// missing, arc geometry, range). Stops at M2/M30. Leaves the source rewound.
// `setup` is what the program starts with (its tool table decides which H words are known).
std::optional<ParseError> CheckProgram(BlockSource& source, const WorkSetup& setup = WorkSetup{});

// The first M0/M1 of a checked program, if any (its line and word).
struct PauseAt {
  int line = 0;
  PauseKind kind = PauseKind::Always;
};
std::optional<PauseAt> FirstPause(BlockSource& source);

// The offsets as the whole program leaves them (for keeping between runs); empty on a fault.
std::optional<WorkSetup> SetupAfter(BlockSource& source, const WorkSetup& setup);

}  // namespace kvgcode
