// Dynamic libraries on POSIX: dlopen, dlsym and dladdr.
#include "platform/library.h"

#include <dlfcn.h>  // dlopen, dlsym, dlclose, dladdr

#include <utility>

namespace platform {

Library::~Library() = default;
Library::Library(Library&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
Library& Library::operator=(Library&& other) noexcept {
  if (this != &other) handle_ = std::exchange(other.handle_, nullptr);
  return *this;
}

bool Library::Open(const std::string& path, std::string& error) {
  Close();
  handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle_) {
    const char* why = dlerror();
    error = why ? why : ("cannot load " + path);
    return false;
  }
  return true;
}

void* Library::Symbol(const char* name) const { return handle_ ? dlsym(handle_, name) : nullptr; }

void Library::Close() {
  if (handle_) dlclose(handle_);
  handle_ = nullptr;
}

std::string ModulePathOf(const void* address) {
  Dl_info info{};
  if (dladdr(address, &info) == 0 || info.dli_fname == nullptr) return {};
  return info.dli_fname;
}

}  // namespace platform
