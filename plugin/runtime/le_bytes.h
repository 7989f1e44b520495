// Little-endian packing of wire values: the one place where bytes are put and taken.
// Reads past the end of a view yield zero bytes, as the board's frame buffer is zero-filled.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>

namespace kv {

template <typename T>
inline void PutLe(std::uint8_t* dst, T value) {
  static_assert(std::is_integral_v<T>);
  using U = std::make_unsigned_t<T>;
  U v = static_cast<U>(value);
  for (std::size_t i = 0; i < sizeof(T); ++i) dst[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

template <typename T>
inline T GetLe(std::span<const std::uint8_t> bytes, std::size_t offset) {
  static_assert(std::is_integral_v<T>);
  using U = std::make_unsigned_t<T>;
  U v = 0;
  for (std::size_t i = 0; i < sizeof(T); ++i) {
    std::size_t at = offset + i;
    U byte = at < bytes.size() ? bytes[at] : 0;
    v = static_cast<U>(v | static_cast<U>(byte << (8 * i)));
  }
  return static_cast<T>(v);
}

}  // namespace kv
