// The operating system's last-error code of the calling thread and its text.
#pragma once

#include <string>

namespace platform {

int LastErrorCode();                 // errno on POSIX, GetLastError() on Windows
void SetLastErrorCode(int code);     // lets a caller restore or fake the code
std::string ErrorText(int code);     // the system's description; never empty

}  // namespace platform
