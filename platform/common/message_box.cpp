// Message boxes through a handler that the hosting process installs.
#include "platform/message_box.h"

#include <cstdio>  // std::fprintf
#include <mutex>
#include <string>

namespace platform {
namespace {

// protects the handler below: boxes are shown from every thread of the plug-in
std::mutex handler_lock;
MessageBoxHandler handler;

}  // namespace

void ShowMessageBox(std::string_view text, std::string_view caption) {
  MessageBoxHandler current;
  {
    std::lock_guard<std::mutex> guard(handler_lock);
    current = handler;
  }
  if (current) {
    current(text, caption);
    return;
  }
  std::fprintf(stderr, "[message box] %.*s: %.*s\n", static_cast<int>(caption.size()), caption.data(),
               static_cast<int>(text.size()), text.data());
}

// Without a window system no window is in front of another: the owner changes nothing.
void ShowMessageBox(std::string_view text, std::string_view caption, void*) { ShowMessageBox(text, caption); }

void SetMessageBoxHandler(MessageBoxHandler new_handler) {
  std::lock_guard<std::mutex> guard(handler_lock);
  handler = std::move(new_handler);
}

}  // namespace platform
