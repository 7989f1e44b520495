// Dynamic libraries on Windows: LoadLibraryW, GetProcAddress and the module of an address.
#include "platform/library.h"

#include <utility>

#include "platform/system_error.h"
#include "win32.h"

namespace platform {

Library::~Library() = default;
Library::Library(Library&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
Library& Library::operator=(Library&& other) noexcept {
  if (this != &other) handle_ = std::exchange(other.handle_, nullptr);
  return *this;
}

bool Library::Open(const std::string& path, std::string& error) {
  Close();
  // The library's own dependencies are looked for beside it first, as for a host's plug-in.
  handle_ = LoadLibraryExW(win32::Widen(path).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (!handle_) {
    const int code = LastErrorCode();
    error = ErrorText(code);
    while (!error.empty() && (error.back() == '\n' || error.back() == '\r')) error.pop_back();
    return false;
  }
  return true;
}

void* Library::Symbol(const char* name) const {
  if (!handle_) return nullptr;
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), name));
}

void Library::Close() {
  if (handle_) FreeLibrary(static_cast<HMODULE>(handle_));
  handle_ = nullptr;
}

std::string ModulePathOf(const void* address) {
  HMODULE module = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          static_cast<LPCWSTR>(address), &module)) {
    return {};
  }
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return {};
    if (n < path.size()) {
      path.resize(n);
      return win32::Narrow(path);
    }
    path.resize(path.size() * 2);  // cut short: try again with more room
  }
}

}  // namespace platform
