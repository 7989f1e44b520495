// Splits one G-code line into letter/number words, dropping blanks, comments and '%' lines.
// Kept apart from decoding so that what counts as a word is decided in one place.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "line_error.h"

namespace kvgcode {

struct Word {
  char letter = 0;          // upper case
  std::string_view number;  // as written, e.g. "-0.4953"; views the source line
  double value = 0;

  std::string Text() const;  // letter and number as written, e.g. "G01"
};

// Replaces `words` with the words of `line`. Comments are "(...)" (several allowed) and
// everything after ';'. A line whose first mark is '%' is a program delimiter and yields nothing.
std::optional<LineError> LexLine(std::string_view line, std::vector<Word>& words);

}  // namespace kvgcode
