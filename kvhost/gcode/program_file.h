// A G-code program read from its file a line at a time, never held whole: a program of hundreds
// of megabytes is checked in one pass and then planned in a second, each in bounded memory.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "block_source.h"
#include "line_lexer.h"

namespace kvgcode {

// Longer than any real line; a line past it is refused rather than held whole.
constexpr std::size_t kMaxProgramLineBytes = std::size_t{4} << 20;

// The first pass over the file (the check) records the file's size and modification time and a
// hash of each chunk it read; every later pass holds each chunk to its recorded hash before any
// line in it is given out, and the file to its size and time at each read. A file changed since
// it was checked is a fault at the first changed chunk: none of its lines reaches the planner.
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
  // False (with the fault set) when the file's size or time differ from those checked, or the
  // chunk just read differs from the one checked at this place.
  bool StillAsChecked();
  void Changed(const std::string& what);

  struct Stamp {
    std::uintmax_t size = 0;
    std::filesystem::file_time_type modified{};
    bool operator==(const Stamp&) const = default;
  };
  static std::optional<Stamp> StampOf(const std::string& path);

  std::string path_;
  std::optional<Stamp> stamp_;           // at Open
  bool checking_ = true;                 // the first pass: hashes are recorded, not compared
  std::vector<std::uint64_t> checked_;   // hash of each chunk the first pass read
  std::size_t chunk_index_ = 0;          // of the chunk in hand, in this pass
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
