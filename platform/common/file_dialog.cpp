// The "open file" dialog: the process's handler where one is installed (kvhost, the tests),
// otherwise the system's own; on Windows a library asks its hosting program's.
#include "platform/file_dialog.h"

#include <cstddef>
#include <mutex>

#include "process_services.h"
#include "window_system.h"

namespace platform {
namespace {

// protects the handler below: the dialog is asked for from the host and the scheduler threads
std::mutex handler_lock;
OpenFileHandler handler;

}  // namespace

OpenFileAnswer detail::LocalShowOpenFileDialog(std::string_view filter, void* owner) {
  OpenFileHandler current;
  {
    std::lock_guard<std::mutex> guard(handler_lock);
    current = handler;
  }
  if (current) return current(filter);
  return SystemOpenFileDialog(filter, owner);
}

OpenFileAnswer ShowOpenFileDialog(std::string_view filter, void* owner) {
  const detail::ProcessServices* host = detail::HostServices();
  if (host != nullptr &&
      host->size >= offsetof(detail::ProcessServices, show_open_file_dialog) + sizeof host->show_open_file_dialog) {
    return host->show_open_file_dialog(filter, owner);
  }
  return detail::LocalShowOpenFileDialog(filter, owner);
}

void SetOpenFileHandler(OpenFileHandler new_handler) {
  std::lock_guard<std::mutex> guard(handler_lock);
  handler = std::move(new_handler);
}

}  // namespace platform
