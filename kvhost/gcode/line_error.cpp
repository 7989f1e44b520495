// Number and word formatting for error messages, kept off the hot path of planning.
#include "line_error.h"

#include <sstream>

namespace kvgcode {

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
