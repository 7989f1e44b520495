// Message boxes on Windows: the hosting program's handler where it installed one, otherwise the
// system's modal box.
#include "platform/message_box.h"

#include <mutex>
#include <string>

#include "../common/process_services.h"
#include "win32.h"

namespace platform {
namespace {

// protects the handler below: boxes are shown from every thread of the plug-in
std::mutex handler_lock;
MessageBoxHandler handler;

}  // namespace

void detail::LocalShowMessageBox(std::string_view text, std::string_view caption) {
  MessageBoxHandler current;
  {
    std::lock_guard<std::mutex> guard(handler_lock);
    current = handler;
  }
  if (current) {
    current(text, caption);
    return;
  }
  const std::wstring wide_text = win32::Widen(text);
  const std::wstring wide_caption = win32::Widen(caption);
  MessageBoxW(nullptr, wide_text.c_str(), wide_caption.c_str(), MB_OK | MB_SETFOREGROUND);
}

void ShowMessageBox(std::string_view text, std::string_view caption) {
  if (const detail::ProcessServices* host = detail::HostServices()) return host->show_message_box(text, caption);
  detail::LocalShowMessageBox(text, caption);
}

// Owned by a dialog's window: the box stays in front of it and the dialog takes no input meanwhile.
// A host's handler (kvhost, the tests) has no windows to order, and a handle that is no window
// (an in-memory dialog) owns nothing.
void ShowMessageBox(std::string_view text, std::string_view caption, void* owner) {
  HWND window = static_cast<HWND>(owner);
  if (detail::HostServices() != nullptr || window == nullptr || !IsWindow(window)) return ShowMessageBox(text, caption);
  MessageBoxHandler current;
  {
    std::lock_guard<std::mutex> guard(handler_lock);
    current = handler;
  }
  if (current) return current(text, caption);
  const std::wstring wide_text = win32::Widen(text);
  const std::wstring wide_caption = win32::Widen(caption);
  MessageBoxW(window, wide_text.c_str(), wide_caption.c_str(), MB_OK);
}

// The handler belongs to the program that installs it: boxes of the libraries it loads reach it
// through its exported services.
void SetMessageBoxHandler(MessageBoxHandler new_handler) {
  std::lock_guard<std::mutex> guard(handler_lock);
  handler = std::move(new_handler);
}

}  // namespace platform
