// The board model catalogue: the base clock and display name of each model code the board
// reports. A code without a base clock leaves the board unidentified, so this table decides
// which boards the plug-in works with at all.
#pragma once

#include <cstdint>

namespace kv {

// Base clock in kHz, 0 for a code without one.
std::int32_t model_clock(std::int32_t code);
// The model's display name, or "UNKNOW".
const char* model_name(std::int32_t code);

}  // namespace kv
