// The USB HID link. The board is a vendor-defined HID device: one thread looks for it while no
// link is open and reads its input reports while the USB link is open; outgoing frames are cut
// into 62-byte chunks, one output report each with a count and a sequence byte; raw firmware
// blocks go out as whole 64-byte reports. Sends run on the caller's thread.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "shell/plugin_state.h"

namespace kv {

// Starts the USB thread (once per process).
void UsbStart();

bool UsbIsOpen();
bool UsbClose();
bool UsbSendFrame(std::unique_ptr<Packet> packet);
bool UsbSendRaw(const std::uint8_t* bytes, std::int32_t length);

// The Ethernet transport is taking the link over: the USB link lets go of it (closes the device
// handles, waking its thread's read) without closing the link. Call before that transport's
// connection sequence; the USB thread then idles until the link is closed again.
void UsbYieldLink();

// The stream bytes an input report carries: [report ID][count][sequence][data...], the count
// trusted only as far as the report reaches (and at most 62 bytes).
std::span<const std::uint8_t> UsbReportData(std::span<const std::uint8_t> report);

// The link's health counters.
struct UsbCounters {
  std::uint64_t connections;
  std::uint64_t reports_sent;
  std::uint64_t reports_received;
  std::uint64_t write_failures;
  std::uint64_t read_failures;
  std::uint64_t refused_devices;  // matching devices whose report length we cannot handle
  std::uint64_t oversized_counts; // input reports whose count exceeded what they held
};
UsbCounters UsbLinkCounters();

}  // namespace kv
