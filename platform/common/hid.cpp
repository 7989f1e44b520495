// The process-wide HID backend seam.
#include "platform/hid.h"

#include <mutex>

namespace platform {
namespace {

// Never destroyed: the plug-in's USB thread is detached and may still enumerate while the
// process exits.
struct Seam {
  std::mutex lock;  // protects installed
  std::shared_ptr<HidBackend> installed;
};
Seam& TheSeam() {
  static Seam* seam = new Seam;
  return *seam;
}

}  // namespace

std::shared_ptr<HidBackend> CurrentHidBackend() {
  Seam& seam = TheSeam();
  {
    std::lock_guard<std::mutex> guard(seam.lock);
    if (seam.installed) return seam.installed;
  }
  return SystemHidBackend();
}

void SetHidBackend(std::shared_ptr<HidBackend> backend) {
  Seam& seam = TheSeam();
  std::lock_guard<std::mutex> guard(seam.lock);
  seam.installed = std::move(backend);
}

}  // namespace platform
