// A G-code program read from its file a line at a time, never held whole: a program of hundreds
// of megabytes is checked in one pass and then planned in a second, each in bounded memory.
#pragma once

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "block_source.h"
#include "line_lexer.h"

namespace kvgcode {

// Longer than any real line; a line past it is refused rather than held whole.
constexpr std::size_t kMaxProgramLineBytes = std::size_t{4} << 20;

class ProgramFile final : public BlockSource {
 public:
  // False with `error` set when the file cannot be opened for reading.
  bool Open(const std::string& path, std::string& error);

  void Rewind() override;
  bool Next(Block& out) override;
  const std::optional<ParseError>& fault() const override { return fault_; }

 private:
  // The next line without its '\n'; false at the end of the file or on a fault.
  bool NextLine(std::string_view& line);
  bool Fill();

  std::ifstream in_;
  std::vector<char> chunk_;
  std::size_t chunk_pos_ = 0, chunk_end_ = 0;
  bool at_eof_ = false;
  std::string line_;
  int line_number_ = 0;
  std::vector<Word> words_;
  std::optional<ParseError> fault_;
};

}  // namespace kvgcode
