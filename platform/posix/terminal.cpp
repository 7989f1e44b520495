// Terminal detection on POSIX.
#include "platform/terminal.h"

#include <unistd.h>  // isatty

namespace platform {

bool IsTerminal(Stream stream) { return isatty(stream == Stream::kOut ? STDOUT_FILENO : STDERR_FILENO) == 1; }

}  // namespace platform
