// Lexing of one G-code line; strict, so a typo becomes an error rather than a lost word.
#include "line_lexer.h"

#include <charconv>
#include <cmath>

namespace kvgcode {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; }
bool IsLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsNumberChar(char c) { return IsDigit(c) || c == '.' || c == '+' || c == '-'; }
char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// Shows control and non-ASCII bytes as \xNN so messages stay readable.
std::string Printable(char c) {
  const auto byte = static_cast<unsigned char>(c);
  if (byte >= 0x20 && byte < 0x7f) return std::string(1, c);
  constexpr char kHex[] = "0123456789ABCDEF";
  return std::string("\\x") + kHex[byte >> 4] + kHex[byte & 0xF];
}

LineError Fault(std::string_view word, const std::string& what) {
  return LineError{ShortWord(word), what + " " + QuotedWord(word)};
}

// Accepts [+-]digits[.digits] with at least one digit; no exponents, no "inf"/"nan".
std::optional<double> ParseNumber(std::string_view text) {
  std::size_t digits = 0;
  std::size_t dots = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '+' || c == '-') {
      if (i != 0) return std::nullopt;
    } else if (c == '.') {
      ++dots;
    } else {
      ++digits;
    }
  }
  if (digits == 0 || dots > 1) return std::nullopt;
  if (text.front() == '+') text.remove_prefix(1);  // from_chars takes no '+'
  double value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc{} || end != text.data() + text.size() || !std::isfinite(value)) return std::nullopt;
  return value;
}

}  // namespace

std::string Word::Text() const {
  std::string text;
  text.reserve(1 + number.size());
  text.push_back(letter);
  text.append(number);
  return text;
}

std::optional<LineError> LexLine(std::string_view line, std::vector<Word>& words) {
  words.clear();
  bool delimiter_line = false;
  std::size_t pos = 0;
  while (pos < line.size()) {
    const char c = line[pos];
    if (IsBlank(c)) {
      ++pos;
    } else if (c == ';') {
      break;
    } else if (c == '(') {
      const std::size_t close = line.find(')', pos + 1);
      if (close == std::string_view::npos) return Fault("(", "comment not closed, starting at");
      pos = close + 1;
    } else if (c == ')') {
      return Fault(")", "closing parenthesis without an opening one:");
    } else if (c == '%' && words.empty() && !delimiter_line) {
      delimiter_line = true;
      ++pos;
    } else if (IsLetter(c)) {
      const char letter = Upper(c);
      if (delimiter_line) return Fault(std::string(1, letter), "word after '%' on a delimiter line:");
      ++pos;
      while (pos < line.size() && IsBlank(line[pos])) ++pos;
      const std::size_t start = pos;
      while (pos < line.size() && IsNumberChar(line[pos])) ++pos;
      const std::string_view number = line.substr(start, pos - start);
      const std::string text = Word{letter, number, 0}.Text();
      if (number.empty()) return Fault(text, "word without a number:");
      const auto value = ParseNumber(number);
      if (!value) return Fault(text, "malformed number in word");
      words.push_back(Word{letter, number, *value});
    } else {
      return Fault(Printable(c), "unexpected character");
    }
  }
  return std::nullopt;
}

}  // namespace kvgcode
