// Terminal detection on Windows: a console behind the standard handle.
#include "platform/terminal.h"

#include "win32.h"

namespace platform {

bool IsTerminal(Stream stream) {
  const DWORD which = stream == Stream::kIn    ? STD_INPUT_HANDLE
                      : stream == Stream::kOut ? STD_OUTPUT_HANDLE
                                               : STD_ERROR_HANDLE;
  HANDLE h = GetStdHandle(which);
  DWORD mode = 0;
  return h != nullptr && h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode) != 0;
}

}  // namespace platform
