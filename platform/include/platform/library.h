// Loading a dynamic library by path and finding its exports by name, and naming the file a
// piece of loaded code came from.
#pragma once

#include <string>

namespace platform {

class Library {
 public:
  Library() = default;
  ~Library();  // unloading is explicit (Close) because code of the library may still run
  Library(Library&&) noexcept;
  Library& operator=(Library&&) noexcept;
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;

  // Loads the library; on failure returns false and describes why in `error`.
  bool Open(const std::string& path, std::string& error);
  void* Symbol(const char* name) const;  // null when the library does not export it
  bool IsOpen() const { return handle_ != nullptr; }
  void Close();

 private:
  void* handle_ = nullptr;
};

// Full path of the module (executable or library) that contains `address`; empty if unknown.
std::string ModulePathOf(const void* address);

}  // namespace platform
