// The process-wide HID backend seam.
#include "platform/hid.h"

#include <mutex>

#include "process_services.h"

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

namespace detail {

std::shared_ptr<HidBackend> LocalCurrentHidBackend() {
  Seam& seam = TheSeam();
  {
    std::lock_guard<std::mutex> guard(seam.lock);
    if (seam.installed) return seam.installed;
  }
  return SystemHidBackend();
}

}  // namespace detail

// A library loaded by a hosting program enumerates what the host does, so the host's simulated
// devices reach the plug-in on Windows too.
std::shared_ptr<HidBackend> CurrentHidBackend() {
  if (const detail::ProcessServices* host = detail::HostServices()) return host->current_hid_backend();
  return detail::LocalCurrentHidBackend();
}

void SetHidBackend(std::shared_ptr<HidBackend> backend) {
  Seam& seam = TheSeam();
  std::lock_guard<std::mutex> guard(seam.lock);
  seam.installed = std::move(backend);
}

}  // namespace platform
