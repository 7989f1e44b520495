// Dotted IPv4 text and back: plain text handling that both socket implementations share.
#include <charconv>  // std::from_chars
#include <string>

#include "platform/socket.h"

namespace platform {

bool ParseIpv4(std::string_view text, std::uint32_t& address) {
  std::uint32_t result = 0;
  const char* p = text.data();
  const char* end = text.data() + text.size();
  for (int part = 0; part < 4; ++part) {
    unsigned value = 0;
    auto [next, ec] = std::from_chars(p, end, value);
    if (ec != std::errc() || next == p || value > 255) return false;
    result = (result << 8) | value;
    p = next;
    if (part < 3) {
      if (p == end || *p != '.') return false;
      ++p;
    }
  }
  if (p != end) return false;
  address = result;
  return true;
}

std::string FormatIpv4(std::uint32_t a) {
  return std::to_string(a >> 24) + "." + std::to_string((a >> 16) & 0xFF) + "." + std::to_string((a >> 8) & 0xFF) +
         "." + std::to_string(a & 0xFF);
}

}  // namespace platform
