// Line-at-a-time reading of a program file, in fixed chunks so that memory stays bounded by the
// longest line allowed, not by the file.
#include "program_file.h"

#include <cstring>
#include <limits>

namespace kvgcode {
namespace {

constexpr std::size_t kChunkBytes = 64 * 1024;

// FNV-1a, 64 bits: a change of the checked bytes shows with near certainty.
std::uint64_t Hash(const char* data, std::size_t size) {
  std::uint64_t h = 14695981039346656037ull;
  for (std::size_t i = 0; i < size; ++i) {
    h ^= static_cast<unsigned char>(data[i]);
    h *= 1099511628211ull;
  }
  return h;
}

}  // namespace

std::optional<ProgramFile::Stamp> ProgramFile::StampOf(const std::string& path) {
  std::error_code ec;
  Stamp stamp;
  stamp.size = std::filesystem::file_size(path, ec);
  if (ec) return std::nullopt;
  stamp.modified = std::filesystem::last_write_time(path, ec);
  if (ec) return std::nullopt;
  return stamp;
}

bool ProgramFile::Open(const std::string& path, std::string& error) {
  in_.open(path, std::ios::binary);
  if (!in_) {
    error = "cannot read " + path;
    return false;
  }
  path_ = path;
  stamp_ = StampOf(path);
  checking_ = true;
  checked_.clear();
  line_number_ = 0;
  chunk_index_ = 0;
  chunk_.resize(kChunkBytes);
  Rewind();
  return true;
}

void ProgramFile::Rewind() {
  // The pass that read from the start of the file is the check; later passes are held to it.
  if (line_number_ > 0 || chunk_index_ > 0) checking_ = false;
  chunk_index_ = 0;
  in_.clear();
  in_.seekg(0);
  chunk_pos_ = chunk_end_ = 0;
  at_eof_ = false;
  line_number_ = 0;
  fault_.reset();
}

bool ProgramFile::Fill() {
  if (at_eof_) return false;
  in_.read(chunk_.data(), static_cast<std::streamsize>(chunk_.size()));
  chunk_pos_ = 0;
  chunk_end_ = static_cast<std::size_t>(in_.gcount());
  if (in_.bad()) {
    fault_ = ParseError{line_number_ + 1, {}, "line " + std::to_string(line_number_ + 1) + ": the file could not be read"};
    return false;
  }
  if (!in_) at_eof_ = true;  // a short read: nothing more after these bytes
  if (chunk_end_ > 0 && !StillAsChecked()) {
    chunk_pos_ = chunk_end_ = 0;
    return false;
  }
  ++chunk_index_;
  return chunk_end_ > 0;
}

void ProgramFile::Changed(const std::string& what) {
  const int number = line_number_ + 1;
  fault_ = ParseError{number, {}, "line " + std::to_string(number) + ": the program file changed since it was checked (" +
                                      what + "); nothing from the changed file is run"};
}

bool ProgramFile::StillAsChecked() {
  const std::optional<Stamp> now = StampOf(path_);
  if (!now || !stamp_) {
    Changed("it can no longer be examined");
    return false;
  }
  if (now->size != stamp_->size) {
    Changed("size " + std::to_string(stamp_->size) + " bytes, now " + std::to_string(now->size));
    return false;
  }
  if (now->modified != stamp_->modified) {
    Changed("its modification time moved");
    return false;
  }
  const std::uint64_t hash = Hash(chunk_.data(), chunk_end_);
  if (checking_) {
    if (chunk_index_ == checked_.size()) checked_.push_back(hash);
    return true;
  }
  if (chunk_index_ >= checked_.size() || checked_[chunk_index_] != hash) {
    Changed("bytes from " + std::to_string(chunk_index_ * kChunkBytes) + " on differ");
    return false;
  }
  return true;
}

bool ProgramFile::NextLine(std::string_view& line) {
  line_.clear();
  bool any = false;  // a last line without '\n' still counts
  for (;;) {
    if (chunk_pos_ == chunk_end_ && !Fill()) {
      if (fault_ || !any) return false;
      break;
    }
    any = true;
    const char* begin = chunk_.data() + chunk_pos_;
    const void* newline = std::memchr(begin, '\n', chunk_end_ - chunk_pos_);
    const std::size_t take = newline ? static_cast<std::size_t>(static_cast<const char*>(newline) - begin)
                                     : chunk_end_ - chunk_pos_;
    if (line_.size() + take > kMaxProgramLineBytes) {
      const int number = line_number_ + 1;
      fault_ = ParseError{number, {}, "line " + std::to_string(number) + ": longer than " +
                                          std::to_string(kMaxProgramLineBytes) + " characters"};
      return false;
    }
    line_.append(begin, take);
    chunk_pos_ += take;
    if (newline) {
      ++chunk_pos_;
      break;
    }
  }
  if (line_number_ == std::numeric_limits<int>::max()) {
    fault_ = ParseError{line_number_, {}, "program has too many lines"};
    return false;
  }
  ++line_number_;
  line = line_;
  return true;
}

bool ProgramFile::Next(Block& out) {
  std::string_view line;
  while (!fault_ && NextLine(line)) {
    if (auto error = DecodeLine(line, line_number_, words_, out)) {
      fault_ = std::move(error);
      return false;
    }
    if (!out.Empty()) return true;
  }
  return false;
}

}  // namespace kvgcode
