// The process-wide HID backend seam.
#include "platform/hid.h"

#include <mutex>

namespace platform {
namespace {

std::mutex backend_lock;  // protects installed
std::shared_ptr<HidBackend> installed;

}  // namespace

std::shared_ptr<HidBackend> CurrentHidBackend() {
  {
    std::lock_guard<std::mutex> guard(backend_lock);
    if (installed) return installed;
  }
  return SystemHidBackend();
}

void SetHidBackend(std::shared_ptr<HidBackend> backend) {
  std::lock_guard<std::mutex> guard(backend_lock);
  installed = std::move(backend);
}

}  // namespace platform
