// Terminal detection on POSIX.
#include "platform/terminal.h"

#include <unistd.h>  // isatty

namespace platform {

bool IsTerminal(Stream stream) {
  const int fd = stream == Stream::kIn ? STDIN_FILENO : stream == Stream::kOut ? STDOUT_FILENO : STDERR_FILENO;
  return isatty(fd) == 1;
}

}  // namespace platform
