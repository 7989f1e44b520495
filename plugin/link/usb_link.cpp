// USB HID link: device search by collection and product string, report reads, chunked frame
// writes, raw blocks, close and the Ethernet takeover.
#include "link/usb_link.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "link/ethernet_link.h"
#include "link/link_health.h"
#include "link/link_interface.h"
#include "platform/clock.h"
#include "platform/hid.h"
#include "platform/thread.h"
#include "runtime/diagnostics.h"
#include "runtime/packet_buffer.h"

namespace kv {
namespace {

constexpr std::uint16_t kUsagePage = 0xFF00;
constexpr std::uint16_t kUsage = 1;
constexpr const char* kProductPrefix = "kalvero-executer";
constexpr std::size_t kDeviceTableSize = 10;
constexpr std::size_t kProductBytes = 128;  // with its terminating zero
constexpr std::size_t kReportBytes = 65;    // report ID and 64 bytes
constexpr std::size_t kChunkHeader = 3;     // ID, count, sequence
constexpr std::size_t kMaxChunkBytes = 62;
constexpr std::size_t kRawBytes = 64;
constexpr std::int32_t kMinReportLength = 4;  // a header and one byte
constexpr std::uint32_t kStartDelayMs = 100;
constexpr std::uint32_t kRetryMs = 50;
// While the Ethernet transport holds the link the USB thread waits for the link to close (woken
// by it), looking again at least this often.
constexpr std::uint32_t kEthernetIdleBoundMs = 1000;
constexpr std::uint32_t kClosePauseMs = 500;

std::atomic<bool> started{false};

// True while the USB link holds the link; cleared by the first of UsbClose and UsbYieldLink,
// so that a stale sender's or reader's failure never closes a link another transport holds.
std::atomic<bool> usb_holds_link{false};

// protects usb_device and usb_out_len: the open device, shared by the reader, the senders and
// the closer, which may each run on another thread
std::mutex device_lock;
// never destroyed: the detached USB thread may still hold the link while the process exits
std::shared_ptr<platform::HidDevice>& usb_device = *new std::shared_ptr<platform::HidDevice>;
std::int32_t usb_out_len = 0;

// protects usb_out_report and usb_seq, held for a whole frame so that two senders never
// interleave their chunks
std::mutex send_lock;
std::array<std::uint8_t, kReportBytes> usb_out_report{};
std::uint8_t usb_seq = 0;

// serialises the USB connection against an Ethernet takeover, so that the newer connection
// always ends up holding the link
std::mutex connect_lock;

// protects the hand-over of received bytes against a takeover: once UsbYieldLink has returned,
// no byte from the device reaches the reassembler
std::mutex feed_lock;

std::atomic<std::uint64_t> connections{0}, reports_sent{0}, reports_received{0}, write_failures{0},
    read_failures{0}, refused_devices{0}, oversized_counts{0};

struct Opened {
  std::shared_ptr<platform::HidDevice> device;
  std::int32_t out_len = 0;
};

Opened CurrentDevice() {
  std::lock_guard<std::mutex> guard(device_lock);
  return {usb_device, usb_out_len};
}

// Cancels and closes the handles; a read blocked in the USB thread returns.
void UsbCloseDevice() {
  std::shared_ptr<platform::HidDevice> device;
  {
    std::lock_guard<std::mutex> guard(device_lock);
    device = std::move(usb_device);
    usb_device.reset();
  }
  if (device) device->Close();
}

// The product string narrowed to its low bytes, always terminated.
bool UsbProductString(platform::HidBackend& backend, const std::string& path, char (&buf)[kProductBytes]) {
  std::optional<std::u16string> wide = backend.ProductString(path);
  if (!wide) return false;
  std::size_t n = 0;
  for (; n < wide->size() && n + 1 < kProductBytes; ++n) buf[n] = static_cast<char>((*wide)[n] & 0xFF);
  buf[n] = 0;
  return true;
}

// The matching interfaces present now, at most the table's size.
std::vector<platform::HidDeviceInfo> UsbEnumerate(platform::HidBackend& backend) {
  std::vector<platform::HidDeviceInfo> usb_devices;
  for (platform::HidDeviceInfo& d : backend.Enumerate()) {
    if (usb_devices.size() >= kDeviceTableSize) break;
    if (d.usage_page == kUsagePage && d.usage == kUsage) usb_devices.push_back(std::move(d));
  }
  return usb_devices;
}

// Finds and opens the first device whose product string begins with `name`.
bool UsbOpenByName(const char* name) {
  std::shared_ptr<platform::HidBackend> backend = platform::CurrentHidBackend();
  if (!backend) return false;
  std::size_t name_length = std::strlen(name);
  for (const platform::HidDeviceInfo& d : UsbEnumerate(*backend)) {
    char buf[kProductBytes] = {};
    if (!UsbProductString(*backend, d.path, buf) || std::strncmp(buf, name, name_length) != 0) continue;
    // The report buffers hold 65 bytes; a longer declared report would overrun them.
    if (d.output_report_length > static_cast<std::int32_t>(kReportBytes) || d.output_report_length < kMinReportLength) {
      refused_devices.fetch_add(1);
      continue;
    }
    std::shared_ptr<platform::HidDevice> device = backend->Open(d.path);
    if (!device) return false;
    {
      std::lock_guard<std::mutex> guard(device_lock);
      usb_device = std::move(device);
      usb_out_len = d.output_report_length;
    }
    status_printf("usb device connected");
    return true;
  }
  return false;
}

// One report of the open device's length from usb_out_report; false (the device then
// abandoned by the caller) on failure.
bool UsbWriteReportLocked(const Opened& opened) {
  if (!opened.device) return false;
  bool ok = opened.device->Write(std::span<const std::uint8_t>(usb_out_report.data(), static_cast<std::size_t>(opened.out_len)));
  if (ok) {
    reports_sent.fetch_add(1);
  } else {
    write_failures.fetch_add(1);
  }
  return ok;
}

void ResetSequence() {
  std::lock_guard<std::mutex> guard(send_lock);
  usb_seq = 0;
}

// Opens the board's device and performs the connection sequence, unless a link is open or the
// Ethernet transport is connecting at this moment.
bool ConnectIfFree() {
  std::lock_guard<std::mutex> guard(connect_lock);
  if (state.link_open.load() != 0 || EthIsOpen() || !UsbOpenByName(kProductPrefix)) return false;
  connections.fetch_add(1);
  usb_holds_link = true;
  LinkConnected("usb device accept, done !", kLinkUsb, TransportOps{UsbIsOpen, UsbSendFrame, UsbSendRaw, UsbClose},
                ResetSequence);
  return true;
}

void UsbThread() {
  // The board's reports open the stream's window: read late, they hold the next frame back as
  // surely as a late scheduler pass would.
  platform::RaiseThreadPriority();
  platform::SleepMs(kStartDelayMs);
  std::array<std::uint8_t, kReportBytes> usb_in_report{};
  for (;;) {
    if (usb_holds_link.load()) {
      Opened opened = CurrentDevice();
      std::size_t count = 0;
      // A whole report buffer, whatever the output length: the device reads at its own input
      // report length, which may differ (a longer report is cut to the buffer).
      bool ok = opened.device != nullptr && opened.device->Read(usb_in_report, count);
      if (!ok) {
        read_failures.fetch_add(1);
        UsbClose();
        continue;
      }
      reports_received.fetch_add(1);
      std::span<const std::uint8_t> data = UsbReportData(std::span<const std::uint8_t>(usb_in_report.data(), count));
      if (count >= 2 && usb_in_report[1] > data.size()) oversized_counts.fetch_add(1);
      std::lock_guard<std::mutex> guard(feed_lock);
      if (usb_holds_link.load() && !data.empty()) StreamFeed(data);
    } else if (state.link_open.load() == 1) {
      // The Ethernet transport holds the link.
      WaitForLinkState([] { return usb_holds_link.load() || state.link_open.load() != 1; }, kEthernetIdleBoundMs);
    } else if (!ConnectIfFree()) {
      platform::SleepMs(kRetryMs);
    }
  }
}

}  // namespace

std::span<const std::uint8_t> UsbReportData(std::span<const std::uint8_t> report) {
  // The count byte is the board's word; never deliver more than the report held.
  const std::size_t held = report.size() > kChunkHeader ? std::min(report.size() - kChunkHeader, kMaxChunkBytes) : 0;
  std::size_t n = report.size() >= 2 ? report[1] : 0;
  if (n > held) n = held;
  return n == 0 ? std::span<const std::uint8_t>() : report.subspan(kChunkHeader, n);
}

void UsbStart() {
  if (started.exchange(true)) return;  // the thread lives for the whole process
  platform::Thread::Start(UsbThread).Detach();
}

bool UsbIsOpen() { return state.link_open.load() == 1; }

bool UsbClose() {
  if (usb_holds_link.exchange(false)) {
    state.link_open.store(0);
    state.link_is_open.store(nullptr, std::memory_order_release);
    LinkStateChanged();
    UsbCloseDevice();
    LinkClosed();
    platform::SleepMs(kClosePauseMs);
  }
  return true;
}

void UsbYieldLink() {
  std::lock_guard<std::mutex> connecting(connect_lock);
  {
    std::lock_guard<std::mutex> guard(feed_lock);
    if (!usb_holds_link.exchange(false)) return;
  }
  UsbCloseDevice();
}

bool UsbSendFrame(std::unique_ptr<Packet> packet) {
  if (packet->Overflowed()) {
    error_printf("frame overflow, not sent");
    return true;
  }
  std::span<const std::uint8_t> frame = packet->Finish();
  bool failed = false;
  {
    std::lock_guard<std::mutex> guard(send_lock);
    Opened opened = CurrentDevice();
    std::size_t per_report = std::min(kMaxChunkBytes, static_cast<std::size_t>(std::max(opened.out_len, kMinReportLength)) - kChunkHeader);
    std::size_t at = 0;
    while (at < frame.size()) {
      std::size_t n = std::min(frame.size() - at, per_report);
      std::memcpy(usb_out_report.data() + kChunkHeader, frame.data() + at, n);
      usb_out_report[0] = 0;
      usb_out_report[1] = static_cast<std::uint8_t>(n);
      usb_out_report[2] = usb_seq++;
      at += n;
      if (!UsbWriteReportLocked(opened)) {
        failed = true;  // the rest of the frame is not sent
        break;
      }
    }
  }
  if (failed) {
    CountSendFailure();
    UsbClose();
  } else {
    CountFrameSent(frame.size());
  }
  return true;
}

bool UsbSendRaw(const std::uint8_t* bytes, std::int32_t /*length*/) {
  bool failed = false;
  {
    std::lock_guard<std::mutex> guard(send_lock);
    usb_out_report[0] = 0;
    std::memcpy(usb_out_report.data() + 1, bytes, kRawBytes);  // callers keep raw messages in 64-byte buffers
    failed = !UsbWriteReportLocked(CurrentDevice());
  }
  if (failed) {
    CountSendFailure();
    UsbClose();
  } else {
    CountRawSent(kRawBytes);
  }
  return true;
}

UsbCounters UsbLinkCounters() {
  return {connections.load(),  reports_sent.load(),    reports_received.load(), write_failures.load(),
          read_failures.load(), refused_devices.load(), oversized_counts.load()};
}

}  // namespace kv
