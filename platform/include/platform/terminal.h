// Whether a standard stream is an interactive terminal (for progress displays).
#pragma once

namespace platform {

enum class Stream { kOut, kErr };
bool IsTerminal(Stream stream);

}  // namespace platform
