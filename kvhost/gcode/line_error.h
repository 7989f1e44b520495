// A fault found on one source line: the word at fault and what is wrong with it.
// The lexer, decoder and interpreter share it so the parser adds the line number in one place.
#pragma once

#include <string>
#include <string_view>

namespace kvgcode {

struct LineError {
  std::string word;
  std::string detail;  // e.g. unsupported word "G18"
};

// A word as a message names it: whole when short, else cut to its first characters (marked by
// "..."), so that a word of a megabyte of digits never becomes a megabyte of message.
std::string ShortWord(std::string_view word);
// The word in double quotes, cut as ShortWord cuts it.
std::string QuotedWord(std::string_view word);

// Shortest plain form of a number for messages ("1.0625", "-3", "0.5").
std::string FormatNumber(double value);

// A decoded word written back as text ("R1.0625", "G2") for messages about a block.
std::string WordText(char letter, double value);

}  // namespace kvgcode
