// Last-error code and text on Windows: GetLastError and the system's message table.
#include "platform/system_error.h"

#include "win32.h"

namespace platform {

int LastErrorCode() { return static_cast<int>(GetLastError()); }
void SetLastErrorCode(int code) { SetLastError(static_cast<DWORD>(code)); }

// The text as the system gives it (line end included), from a buffer the system allocates.
std::string ErrorText(int code) {
  wchar_t* buffer = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
      static_cast<DWORD>(code), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<wchar_t*>(&buffer), 0,
      nullptr);
  std::string text;
  if (length != 0 && buffer != nullptr) text = win32::Narrow(std::wstring_view(buffer, length));
  if (buffer != nullptr) LocalFree(buffer);
  if (text.empty()) return "Unknown error " + std::to_string(code);
  return text;
}

}  // namespace platform
