// A fault found on one source line: the word at fault and what is wrong with it.
// The lexer, decoder and interpreter share it so the parser adds the line number in one place.
#pragma once

#include <string>

namespace kvgcode {

struct LineError {
  std::string word;
  std::string detail;  // e.g. unsupported word "G18"
};

// Shortest plain form of a number for messages ("1.0625", "-3", "0.5").
std::string FormatNumber(double value);

// A decoded word written back as text ("R1.0625", "G2") for messages about a block.
std::string WordText(char letter, double value);

}  // namespace kvgcode
