// The host calls the pendant keys and display make: each callback may be absent, then the call
// is skipped (and a DRO read gives 0).
#pragma once

#include <cstdint>

#include "shell/plugin_state.h"

namespace kv::pendant_host {

inline double GetDro(std::int16_t code) {
  host::GetDroFn get = state.GetDRO.load(std::memory_order_acquire);
  return get != nullptr ? get(code) : 0.0;
}
inline bool CanReadAndWriteDros() {
  return state.GetDRO.load(std::memory_order_acquire) != nullptr &&
         state.SetDRO.load(std::memory_order_acquire) != nullptr;
}
inline void SetDro(std::int16_t code, double value) {
  if (host::SetDroFn set = state.SetDRO.load(std::memory_order_acquire)) set(code, value);
}
inline void Button(std::int16_t code) {
  if (host::DoButtonFn press = state.DoButton.load(std::memory_order_acquire)) press(code);
}
inline void Line(const char* gcode_line) {
  if (host::CodeFn run = state.Code.load(std::memory_order_acquire)) run(gcode_line);
}

}  // namespace kv::pendant_host
