// The simulated HID backend: virtual devices with a queue of input reports (towards the host)
// and one of output reports (from the host).
#include "platform/hid_sim.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>

namespace platform {
namespace {

constexpr std::size_t kQueueLimit = 1024;  // reports; a side that stops reading blocks the other

}  // namespace

struct SimHidDevice::State {
  std::string path;
  SimHidDeviceInfo info;

  std::mutex mu;  // protects everything below
  std::condition_variable cv;
  bool plugged = true;
  bool removed = false;
  std::uint64_t generation = 0;  // one more at each unplug: handles of an older one are dead
  int open_handles = 0;          // open handles of the present generation
  std::uint64_t opens = 0;
  bool writes_fail = false;
  bool takes_reports = true;
  std::deque<std::vector<std::uint8_t>> to_host;
  std::deque<std::vector<std::uint8_t>> from_host;

  bool HostOpenLocked() const { return plugged && open_handles > 0; }
};

namespace {

// A host handle on a simulated device.
class SimHandle : public HidDevice {
 public:
  SimHandle(std::shared_ptr<SimHidDevice::State> state, std::uint64_t generation)
      : s_(std::move(state)), generation_(generation) {}
  ~SimHandle() override { Close(); }

  bool Read(std::span<std::uint8_t> report, std::size_t& count) override {
    std::unique_lock<std::mutex> lock(s_->mu);
    s_->cv.wait(lock, [&] { return !UsableLocked() || !s_->to_host.empty(); });
    if (!UsableLocked()) return false;
    std::vector<std::uint8_t> next = std::move(s_->to_host.front());
    s_->to_host.pop_front();
    s_->cv.notify_all();
    count = std::min(next.size(), report.size());
    std::copy_n(next.begin(), count, report.begin());
    return true;
  }

  // Pends while the device takes nothing (stalled, or its queue full), as a write to a real
  // device does; ends at the write bound or when the handle closes.
  bool Write(std::span<const std::uint8_t> report) override {
    std::unique_lock<std::mutex> lock(s_->mu);
    if (s_->writes_fail) return false;
    const bool taken = s_->cv.wait_for(lock, std::chrono::milliseconds(kHidWriteBoundMs), [&] {
      return !UsableLocked() || (s_->takes_reports && s_->from_host.size() < kQueueLimit);
    });
    if (!taken || !UsableLocked() || s_->writes_fail) return false;
    std::size_t length = std::min(report.size(), static_cast<std::size_t>(std::max(s_->info.output_report_length, 0)));
    s_->from_host.emplace_back(report.begin(), report.begin() + static_cast<std::ptrdiff_t>(length));
    s_->cv.notify_all();
    return true;
  }

  void Close() override {
    std::lock_guard<std::mutex> lock(s_->mu);
    if (closed_) return;
    closed_ = true;
    if (generation_ == s_->generation && s_->plugged && --s_->open_handles == 0) s_->to_host.clear();
    s_->cv.notify_all();
  }

 private:
  bool UsableLocked() const { return !closed_ && s_->plugged && generation_ == s_->generation; }

  std::shared_ptr<SimHidDevice::State> s_;
  const std::uint64_t generation_;
  bool closed_ = false;  // guarded by s_->mu
};

}  // namespace

SimHidDevice::SimHidDevice(std::shared_ptr<State> state) : state_(std::move(state)) {}

const std::string& SimHidDevice::Path() const { return state_->path; }
const SimHidDeviceInfo& SimHidDevice::Info() const { return state_->info; }

bool SimHidDevice::SendInputReport(std::span<const std::uint8_t> report, int timeout_ms) {
  std::unique_lock<std::mutex> lock(state_->mu);
  auto room = [&] { return !state_->HostOpenLocked() || state_->to_host.size() < kQueueLimit; };
  if (!state_->cv.wait_for(lock, std::chrono::milliseconds(std::max(timeout_ms, 0)), room)) return false;
  if (!state_->HostOpenLocked()) return false;
  std::size_t length =
      std::min(report.size(), static_cast<std::size_t>(std::max(state_->info.input_report_length, 0)));
  state_->to_host.emplace_back(report.begin(), report.begin() + static_cast<std::ptrdiff_t>(length));
  state_->cv.notify_all();
  return true;
}

bool SimHidDevice::TakeOutputReport(std::vector<std::uint8_t>& report, int timeout_ms) {
  std::unique_lock<std::mutex> lock(state_->mu);
  if (!state_->cv.wait_for(lock, std::chrono::milliseconds(std::max(timeout_ms, 0)),
                           [&] { return !state_->from_host.empty(); })) {
    return false;
  }
  report = std::move(state_->from_host.front());
  state_->from_host.pop_front();
  state_->cv.notify_all();
  return true;
}

bool SimHidDevice::HostOpen() const {
  std::lock_guard<std::mutex> lock(state_->mu);
  return state_->HostOpenLocked();
}

std::uint64_t SimHidDevice::HostOpens() const {
  std::lock_guard<std::mutex> lock(state_->mu);
  return state_->opens;
}

void SimHidDevice::Unplug() {
  std::lock_guard<std::mutex> lock(state_->mu);
  if (!state_->plugged) return;
  state_->plugged = false;
  ++state_->generation;
  state_->open_handles = 0;
  state_->to_host.clear();
  state_->from_host.clear();
  state_->cv.notify_all();
}

void SimHidDevice::Replug() {
  std::lock_guard<std::mutex> lock(state_->mu);
  if (!state_->removed) state_->plugged = true;
}

bool SimHidDevice::Plugged() const {
  std::lock_guard<std::mutex> lock(state_->mu);
  return state_->plugged;
}

void SimHidDevice::SetWritesFail(bool fail) {
  std::lock_guard<std::mutex> lock(state_->mu);
  state_->writes_fail = fail;
}

void SimHidDevice::SetTakesReports(bool takes) {
  std::lock_guard<std::mutex> lock(state_->mu);
  state_->takes_reports = takes;
  state_->cv.notify_all();
}

SimHidBackend::SimHidBackend() = default;
SimHidBackend::~SimHidBackend() = default;

std::shared_ptr<SimHidDevice> SimHidBackend::AddDevice(const SimHidDeviceInfo& info) {
  auto state = std::make_shared<SimHidDevice::State>();
  state->info = info;
  std::lock_guard<std::mutex> lock(mu_);
  state->path = "sim-hid:" + std::to_string(next_id_++);
  devices_.push_back(state);
  return std::make_shared<SimHidDevice>(state);
}

void SimHidBackend::RemoveDevice(const std::shared_ptr<SimHidDevice>& device) {
  if (!device) return;
  device->Unplug();
  {
    std::lock_guard<std::mutex> lock(device->state_->mu);
    device->state_->removed = true;
  }
  std::lock_guard<std::mutex> lock(mu_);
  std::erase(devices_, device->state_);
}

std::vector<HidDeviceInfo> SimHidBackend::Enumerate() {
  std::vector<std::shared_ptr<SimHidDevice::State>> devices;
  {
    std::lock_guard<std::mutex> lock(mu_);
    devices = devices_;
  }
  std::vector<HidDeviceInfo> list;
  for (const auto& d : devices) {
    std::lock_guard<std::mutex> lock(d->mu);
    if (!d->plugged) continue;
    list.push_back({d->path, d->info.usage_page, d->info.usage, d->info.input_report_length,
                    d->info.output_report_length, 0});
  }
  return list;
}

std::optional<std::u16string> SimHidBackend::ProductString(const std::string& path) {
  std::lock_guard<std::mutex> lock(mu_);
  for (const auto& d : devices_) {
    if (d->path != path) continue;
    std::lock_guard<std::mutex> device_lock(d->mu);
    if (!d->plugged) return std::nullopt;
    return d->info.product;
  }
  return std::nullopt;
}

std::shared_ptr<HidDevice> SimHidBackend::Open(const std::string& path) {
  std::shared_ptr<SimHidDevice::State> found;
  {
    std::lock_guard<std::mutex> lock(mu_);
    for (const auto& d : devices_) {
      if (d->path == path) found = d;
    }
  }
  if (!found) return nullptr;
  std::lock_guard<std::mutex> lock(found->mu);
  if (!found->plugged || !found->info.openable) return nullptr;
  ++found->open_handles;
  ++found->opens;
  found->cv.notify_all();
  return std::make_shared<SimHandle>(found, found->generation);
}

std::shared_ptr<SimHidBackend> InstallSimHidBackend() {
  // Never destroyed, like the seam: detached threads may use it while the process exits.
  static std::mutex* install_lock = new std::mutex;
  static std::shared_ptr<SimHidBackend>* sim = new std::shared_ptr<SimHidBackend>;
  std::lock_guard<std::mutex> lock(*install_lock);
  if (!*sim) *sim = std::make_shared<SimHidBackend>();
  SetHidBackend(*sim);
  return *sim;
}

}  // namespace platform
