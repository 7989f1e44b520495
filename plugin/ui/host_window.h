// The window object the plug-in attaches to the host's main view window: the owner of the
// plug-in dialog.
#pragma once

namespace kv {

class HostWindow {
 public:
  explicit HostWindow(void* handle) : handle_(handle) {}
  void* handle() const { return handle_; }
  bool attached() const { return handle_ != nullptr; }
  void Detach() { handle_ = nullptr; }

 private:
  void* handle_;
};

}  // namespace kv
