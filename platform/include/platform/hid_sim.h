// The simulated HID backend: a registry of virtual devices, each a pair of report queues, so a
// simulated board can appear to the USB link as a HID device without any hardware.
//
//   auto sim = platform::InstallSimHidBackend();     // the process now enumerates only these
//   auto device = sim->AddDevice({u"kalvero-executer sim"});
//   ... the host opens it by enumeration; the board side uses `device`:
//   device->TakeOutputReport(report, count, 20);     // what the host wrote
//   device->SendInputReport(report, 1000);           // what the host will read
//
// Every method may be called from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "platform/hid.h"

namespace platform {

struct SimHidDeviceInfo {
  std::u16string product;
  std::uint16_t usage_page = 0xFF00;
  std::uint16_t usage = 1;
  std::int32_t input_report_length = 65;
  std::int32_t output_report_length = 65;
  bool openable = true;  // false: enumerated, but opening fails (e.g. held by another process)
};

// The device's own end, held by whoever plays the device.
class SimHidDevice {
 public:
  struct State;
  explicit SimHidDevice(std::shared_ptr<State> state);

  const std::string& Path() const;
  const SimHidDeviceInfo& Info() const;

  // Queues one input report for the host's handles, waiting up to timeout_ms for room. False
  // when no host handle is open, the device is unplugged or the queue stayed full. Reports
  // longer than the declared input length are cut to it.
  bool SendInputReport(std::span<const std::uint8_t> report, int timeout_ms);
  // Takes the oldest report the host wrote, waiting up to timeout_ms; false if none came.
  bool TakeOutputReport(std::vector<std::uint8_t>& report, int timeout_ms);

  bool HostOpen() const;           // a host handle is open on the present plug-in of the device
  std::uint64_t HostOpens() const; // how many times the host has opened it
  // Unplugging fails every host handle (a blocked read returns false) and hides the device
  // from enumeration until Replug.
  void Unplug();
  void Replug();
  bool Plugged() const;
  // The host's writes fail at once while set (a broken endpoint).
  void SetWritesFail(bool fail);
  // While cleared the device takes no output report, as a real one that stalls: the host's
  // write then pends until the device takes reports again, the host closes its handle, or the
  // write bound (kHidWriteBoundMs) passes. A full queue pends the same way.
  void SetTakesReports(bool takes);

 private:
  friend class SimHidBackend;
  std::shared_ptr<State> state_;
};

class SimHidBackend : public HidBackend {
 public:
  SimHidBackend();
  ~SimHidBackend() override;

  std::shared_ptr<SimHidDevice> AddDevice(const SimHidDeviceInfo& info);
  void RemoveDevice(const std::shared_ptr<SimHidDevice>& device);  // unplugs it for good

  std::vector<HidDeviceInfo> Enumerate() override;
  std::optional<std::u16string> ProductString(const std::string& path) override;
  std::shared_ptr<HidDevice> Open(const std::string& path) override;

 private:
  std::mutex mu_;  // protects devices_ and next_id_
  std::vector<std::shared_ptr<SimHidDevice::State>> devices_;
  int next_id_ = 0;
};

// The process's simulated backend, created and installed (SetHidBackend) on the first call;
// later calls return the same one and install it again.
std::shared_ptr<SimHidBackend> InstallSimHidBackend();

}  // namespace platform
