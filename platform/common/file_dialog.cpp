// The "open file" dialog where the process has no window system: the installed handler answers.
#include "platform/file_dialog.h"

#include <mutex>

namespace platform {
namespace {

// protects the handler below: the dialog is asked for from the host and the scheduler threads
std::mutex handler_lock;
OpenFileHandler handler;

}  // namespace

OpenFileAnswer ShowOpenFileDialog(std::string_view filter, void*) {
  OpenFileHandler current;
  {
    std::lock_guard<std::mutex> guard(handler_lock);
    current = handler;
  }
  if (!current) return {};  // no window system to show it on
  return current(filter);
}

void SetOpenFileHandler(OpenFileHandler new_handler) {
  std::lock_guard<std::mutex> guard(handler_lock);
  handler = std::move(new_handler);
}

}  // namespace platform
