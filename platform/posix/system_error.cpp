// Last-error code and text on POSIX: errno and strerror.
#include "platform/system_error.h"

#include <cerrno>   // errno
#include <cstring>  // strerror_r

namespace platform {

int LastErrorCode() { return errno; }
void SetLastErrorCode(int code) { errno = code; }

std::string ErrorText(int code) {
  char buffer[256] = {};
  // The GNU variant may return a static string instead of filling the buffer.
  const char* text = strerror_r(code, buffer, sizeof buffer);
  if (text == nullptr || *text == '\0') return "Unknown error " + std::to_string(code);
  return text;
}

}  // namespace platform
