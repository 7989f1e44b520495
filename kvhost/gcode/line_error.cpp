// Number and word formatting for error messages, kept off the hot path of planning.
#include "line_error.h"

#include <sstream>

namespace kvgcode {

namespace {
constexpr std::size_t kMaxQuotedChars = 24;
}  // namespace

std::string ShortWord(std::string_view word) {
  if (word.size() <= kMaxQuotedChars) return std::string(word);
  return std::string(word.substr(0, kMaxQuotedChars)) + "...";
}

std::string QuotedWord(std::string_view word) { return "\"" + ShortWord(word) + "\""; }

std::string FormatNumber(double value) {
  std::ostringstream out;
  out.precision(10);
  out << value;
  return out.str();
}

std::string WordText(char letter, double value) {
  std::string text(1, letter);
  text.append(FormatNumber(value));
  return text;
}

}  // namespace kvgcode
