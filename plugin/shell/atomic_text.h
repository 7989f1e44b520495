// A fixed-size text that one thread writes and others read without a lock.
// Each character is atomic, so a reader may see a mix of an old and a new text for an instant,
// but never a data race; the identity texts change only when a board identifies itself.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <string>
#include <string_view>

namespace kv {

template <std::size_t N>
class AtomicText {
 public:
  static_assert(N >= 1);
  static constexpr std::size_t kMaxLength = N - 1;

  // Stores at most kMaxLength characters and a terminator.
  void Set(std::string_view text) {
    std::size_t n = text.size() < kMaxLength ? text.size() : kMaxLength;
    for (std::size_t i = 0; i < n; ++i) chars_[i].store(text[i], std::memory_order_relaxed);
    chars_[n].store('\0', std::memory_order_release);
  }

  std::string Get() const {
    std::string out;
    for (std::size_t i = 0; i < kMaxLength; ++i) {
      char c = chars_[i].load(std::memory_order_acquire);
      if (c == '\0') break;
      out.push_back(c);
    }
    return out;
  }

 private:
  std::array<std::atomic<char>, N> chars_{};
};

}  // namespace kv
