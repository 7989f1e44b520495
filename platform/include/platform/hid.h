// HID devices: enumeration of HID interfaces, and blocking report reads and writes on one.
// Free of OS types so the USB link and the board simulator share it. The backend is a
// process-wide seam: the system's (hidapi on POSIX, SetupAPI and the HID services on Windows)
// by default, or the simulated one (hid_sim.h) that a host or a test installs.
//
// Reports are laid out as on Windows: byte 0 is the report ID (0 for a device without IDs),
// then the report's bytes; lengths include the ID byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace platform {

struct HidDeviceInfo {
  std::string path;  // opaque; handed back to ProductString and Open
  std::uint16_t usage_page = 0;
  std::uint16_t usage = 0;
  std::int32_t input_report_length = 0;  // bytes, the ID byte included
  std::int32_t output_report_length = 0;
  std::int32_t feature_report_length = 0;
};

// How long a write waits for a device that does not take its report (a stalled endpoint, a
// hung firmware) before it gives up: a board takes a report within milliseconds, and a sender
// holds the link's send order while it waits.
inline constexpr int kHidWriteBoundMs = 2000;

// An open device. Read and Write may run at once on two threads; Close may run on any thread
// and makes a Read or a Write pending in another thread return false. Every later call fails.
class HidDevice {
 public:
  virtual ~HidDevice() = default;
  // Blocks until one input report arrives, read at the device's own input report length;
  // copies at most report.size() bytes of it, sets `count` to the bytes copied. False when the
  // device is gone or closed.
  virtual bool Read(std::span<std::uint8_t> report, std::size_t& count) = 0;
  // Writes one output report whole; false when the device is gone or closed, or when it has
  // not taken the report within kHidWriteBoundMs. (hidapi on Linux cannot end a write early:
  // there the kernel's own bound on a USB transfer, 5 s, applies.)
  virtual bool Write(std::span<const std::uint8_t> report) = 0;
  virtual void Close() = 0;
};

class HidBackend {
 public:
  virtual ~HidBackend() = default;
  // Every HID interface present now, in the system's order.
  virtual std::vector<HidDeviceInfo> Enumerate() = 0;
  // The product string of the device at `path`, as UTF-16 units; nothing if it cannot be read.
  virtual std::optional<std::u16string> ProductString(const std::string& path) = 0;
  // Opens the device for reading and writing; null if it cannot be opened for reading.
  virtual std::shared_ptr<HidDevice> Open(const std::string& path) = 0;
};

// The system's backend (hidapi; SetupAPI and the HID services on Windows).
std::shared_ptr<HidBackend> SystemHidBackend();

// The process's backend: the one installed last, or the system's. Installing null restores
// the system's. Devices opened earlier stay with the backend that opened them.
std::shared_ptr<HidBackend> CurrentHidBackend();
void SetHidBackend(std::shared_ptr<HidBackend> backend);

}  // namespace platform
