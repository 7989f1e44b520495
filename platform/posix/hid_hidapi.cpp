// The system's HID backend on POSIX: hidapi over hidraw. Report lengths come from the device's
// report descriptor in sysfs, since hidapi does not tell them. hidapi 0.10.0 is the first to
// report usage pages on hidraw (older ones report 0, so no board would ever match).
#include "platform/hid.h"

#if defined(KV_HAVE_HIDAPI)

#include <hidapi/hidapi.h>  // hid_enumerate, hid_open_path, hid_read_timeout, hid_write

#include <atomic>
#include <fstream>
#include <iterator>
#include <mutex>
#include <vector>

#include "../common/hid_report_descriptor.h"

namespace platform {
namespace {

constexpr int kReadSliceMs = 50;   // how often a blocked read looks at the closed flag
constexpr int kProductUnits = 128;  // 256 bytes of UTF-16

// The report descriptor of /dev/hidrawN, from sysfs.
std::vector<std::uint8_t> DescriptorOf(const std::string& path) {
  std::size_t slash = path.rfind('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  std::ifstream in("/sys/class/hidraw/" + name + "/device/report_descriptor", std::ios::binary);
  if (!in) return {};
  return std::vector<std::uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool HidInit() {
  static std::once_flag once;
  static bool ok = false;
  std::call_once(once, [] { ok = hid_init() == 0; });
  return ok;
}

// One handle for reading and one for writing, so a blocked read never holds up a write.
class HidapiDevice : public HidDevice {
 public:
  HidapiDevice(hid_device* reader, hid_device* writer, bool numbered)
      : reader_(reader), writer_(writer), numbered_(numbered) {}
  ~HidapiDevice() override {
    hid_close(reader_);
    if (writer_) hid_close(writer_);
  }

  bool Read(std::span<std::uint8_t> report, std::size_t& count) override {
    if (report.empty()) return false;
    // Without report IDs hidraw leaves out the ID byte; put the 0 back so reports look alike
    // on every system.
    std::uint8_t* into = numbered_ ? report.data() : report.data() + 1;
    std::size_t room = numbered_ ? report.size() : report.size() - 1;
    while (!closed_.load()) {
      int n = hid_read_timeout(reader_, into, room, kReadSliceMs);
      if (n < 0) return false;
      if (n == 0) continue;
      if (!numbered_) report[0] = 0;
      count = static_cast<std::size_t>(n) + (numbered_ ? 0 : 1);
      return true;
    }
    return false;
  }

  bool Write(std::span<const std::uint8_t> report) override {
    std::lock_guard<std::mutex> guard(write_lock_);
    if (closed_.load() || writer_ == nullptr) return false;
    return hid_write(writer_, report.data(), report.size()) == static_cast<int>(report.size());
  }

  void Close() override { closed_ = true; }

 private:
  hid_device* reader_;
  hid_device* writer_;  // null when the device could be opened only once
  const bool numbered_;
  std::atomic<bool> closed_{false};
  std::mutex write_lock_;  // one writer on the write handle at a time
};

class HidapiBackend : public HidBackend {
 public:
  std::vector<HidDeviceInfo> Enumerate() override {
    std::vector<HidDeviceInfo> list;
    if (!HidInit()) return list;
    hid_device_info* all = hid_enumerate(0, 0);
    for (hid_device_info* d = all; d != nullptr; d = d->next) {
      if (d->path == nullptr) continue;
      // hidapi lists each top-level collection of a device; each gets its own lengths.
      const detail::HidCollectionReports lengths =
          detail::HidCollectionOf(detail::ParseHidReportDescriptor(DescriptorOf(d->path)), d->usage_page, d->usage);
      list.push_back({d->path, d->usage_page, d->usage, lengths.input_length, lengths.output_length,
                      lengths.feature_length});
    }
    hid_free_enumeration(all);
    return list;
  }

  std::optional<std::u16string> ProductString(const std::string& path) override {
    if (!HidInit()) return std::nullopt;
    hid_device* dev = hid_open_path(path.c_str());
    if (dev == nullptr) return std::nullopt;
    wchar_t text[kProductUnits] = {};
    int rc = hid_get_product_string(dev, text, kProductUnits);
    hid_close(dev);
    if (rc != 0) return std::nullopt;
    std::u16string product;
    for (int k = 0; k < kProductUnits && text[k] != 0; ++k) product.push_back(static_cast<char16_t>(text[k]));
    return product;
  }

  std::shared_ptr<HidDevice> Open(const std::string& path) override {
    if (!HidInit()) return nullptr;
    hid_device* reader = hid_open_path(path.c_str());
    if (reader == nullptr) return nullptr;
    hid_device* writer = hid_open_path(path.c_str());
    return std::make_shared<HidapiDevice>(reader, writer, detail::ParseHidReportDescriptor(DescriptorOf(path)).numbered);
  }
};

}  // namespace

std::shared_ptr<HidBackend> SystemHidBackend() {
  static auto* backend = new std::shared_ptr<HidBackend>(std::make_shared<HidapiBackend>());  // never destroyed
  return *backend;
}

}  // namespace platform

#else

namespace platform {
namespace {

// Built without hidapi: no HID device is ever found.
class NoHidBackend : public HidBackend {
 public:
  std::vector<HidDeviceInfo> Enumerate() override { return {}; }
  std::optional<std::u16string> ProductString(const std::string&) override { return std::nullopt; }
  std::shared_ptr<HidDevice> Open(const std::string&) override { return nullptr; }
};

}  // namespace

std::shared_ptr<HidBackend> SystemHidBackend() {
  static auto* backend = new std::shared_ptr<HidBackend>(std::make_shared<NoHidBackend>());  // never destroyed
  return *backend;
}

}  // namespace platform

#endif
