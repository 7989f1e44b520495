// Access to host block fields that more than one thread touches.
// The host's blocks stay plain structs; std::atomic_ref gives each shared read or write a
// defined order without changing their layout.
#pragma once

#include <atomic>

namespace host {

template <typename T>
inline T Load(const T& field) {
  return std::atomic_ref<T>(const_cast<T&>(field)).load(std::memory_order_acquire);
}

template <typename T, typename V>
inline void Store(T& field, V value) {
  std::atomic_ref<T>(field).store(static_cast<T>(value), std::memory_order_release);
}

}  // namespace host
