// Whether a standard stream is an interactive terminal (for progress displays, and for asking
// the operator to press Enter).
#pragma once

namespace platform {

enum class Stream { kIn, kOut, kErr };
bool IsTerminal(Stream stream);

}  // namespace platform
