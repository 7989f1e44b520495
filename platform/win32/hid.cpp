// The system's HID backend on Windows: SetupAPI for the HID interfaces, the HID services for
// their capabilities and product strings, file handles on the device path for the reports.
#include "platform/hid.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

#include "win32.h"

#include <setupapi.h>  // SetupDiGetClassDevs, SetupDiEnumDeviceInterfaces
extern "C" {
#include <hidsdi.h>  // HidD_GetHidGuid, HidD_GetPreparsedData, HidD_GetProductString, HidP_GetCaps
}

namespace platform {
namespace {

constexpr DWORD kSliceMs = 50;              // how often a pending read or write looks at the closed flag
constexpr ULONG kProductStringBytes = 256;  // 128 UTF-16 units

HANDLE OpenPath(const std::string& path, DWORD access, DWORD flags) {
  return CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, flags, nullptr);
}

// The device's input report length from its capabilities; 0 when they cannot be read.
std::size_t InputReportLength(HANDLE device) {
  PHIDP_PREPARSED_DATA preparsed = nullptr;
  if (!HidD_GetPreparsedData(device, &preparsed)) return 0;
  HIDP_CAPS caps{};
  const bool ok = HidP_GetCaps(preparsed, &caps) == HIDP_STATUS_SUCCESS;
  HidD_FreePreparsedData(preparsed);
  return ok ? caps.InputReportByteLength : 0;
}

// Waits for an overlapped transfer on `handle` to finish; cancels it when `closed` is set or,
// with a bound, when the bound has passed. True when it finished with `expected` bytes (at least
// one when `expected` is 0).
bool FinishTransfer(HANDLE handle, OVERLAPPED& overlapped, const std::atomic<bool>& closed, DWORD bound_ms,
                    DWORD expected, DWORD& n) {
  const DWORD start = GetTickCount();
  while (WaitForSingleObject(overlapped.hEvent, kSliceMs) == WAIT_TIMEOUT) {
    if (closed.load() || (bound_ms != INFINITE && GetTickCount() - start >= bound_ms)) {
      CancelIoEx(handle, &overlapped);
      break;
    }
  }
  // Waits for the cancellation too: the OVERLAPPED and the buffer must outlive the transfer.
  if (!GetOverlappedResult(handle, &overlapped, &n, TRUE)) return false;
  return expected == 0 ? n > 0 : n == expected;
}

// Both handles are overlapped, so that Close from another thread always ends a pending read or
// write, and a write to a device that stops taking reports gives up at the write bound instead
// of holding its sender (and every sender queued behind it) for ever.
class Win32HidDevice : public HidDevice {
 public:
  Win32HidDevice(HANDLE reader, HANDLE writer) : reader_(reader), writer_(writer) {
    read_event_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    write_event_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    // A read shorter than the device's input report length fails, whatever the caller's buffer.
    input_report_.resize(InputReportLength(reader_));
  }
  ~Win32HidDevice() override {
    CloseHandle(reader_);
    if (writer_ != INVALID_HANDLE_VALUE) CloseHandle(writer_);
    if (read_event_) CloseHandle(read_event_);
    if (write_event_) CloseHandle(write_event_);
  }

  bool Read(std::span<std::uint8_t> report, std::size_t& count) override {
    std::lock_guard<std::mutex> guard(read_lock_);
    if (closed_.load() || read_event_ == nullptr) return false;
    // The device's length when its capabilities told it, else the caller's.
    std::span<std::uint8_t> into = input_report_.empty() ? report : std::span<std::uint8_t>(input_report_);
    OVERLAPPED overlapped{};
    overlapped.hEvent = read_event_;
    ResetEvent(read_event_);
    DWORD n = 0;
    if (!ReadFile(reader_, into.data(), static_cast<DWORD>(into.size()), &n, &overlapped)) {
      if (GetLastError() != ERROR_IO_PENDING) return false;
      if (!FinishTransfer(reader_, overlapped, closed_, INFINITE, 0, n)) return false;
    }
    if (closed_.load()) return false;
    count = std::min<std::size_t>(n, report.size());
    if (into.data() != report.data()) std::copy_n(into.begin(), count, report.begin());
    return true;
  }

  bool Write(std::span<const std::uint8_t> report) override {
    std::lock_guard<std::mutex> guard(write_lock_);
    if (closed_.load() || writer_ == INVALID_HANDLE_VALUE || write_event_ == nullptr) return false;
    OVERLAPPED overlapped{};
    overlapped.hEvent = write_event_;
    ResetEvent(write_event_);
    const DWORD length = static_cast<DWORD>(report.size());
    DWORD n = 0;
    if (WriteFile(writer_, report.data(), length, &n, &overlapped)) return n == length;
    if (GetLastError() != ERROR_IO_PENDING) return false;
    return FinishTransfer(writer_, overlapped, closed_, static_cast<DWORD>(kHidWriteBoundMs), length, n) &&
           !closed_.load();
  }

  void Close() override { closed_ = true; }

 private:
  HANDLE reader_;
  HANDLE writer_;
  HANDLE read_event_ = nullptr;
  HANDLE write_event_ = nullptr;
  std::vector<std::uint8_t> input_report_;  // one report at the device's input length
  std::atomic<bool> closed_{false};
  std::mutex read_lock_;   // one read at a time on the read handle
  std::mutex write_lock_;  // one write at a time on the write handle
};

class Win32HidBackend : public HidBackend {
 public:
  std::vector<HidDeviceInfo> Enumerate() override {
    std::vector<HidDeviceInfo> list;
    GUID hid_guid;
    HidD_GetHidGuid(&hid_guid);
    HDEVINFO set = SetupDiGetClassDevsW(&hid_guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return list;
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    for (DWORD index = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &hid_guid, index, &data); ++index) {
      DWORD size = 0;
      SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &size, nullptr);
      if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) continue;
      std::vector<std::uint8_t> block(size);
      auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(block.data());
      detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
      if (!SetupDiGetDeviceInterfaceDetailA(set, &data, detail, size, nullptr, nullptr)) continue;
      std::string path = detail->DevicePath;
      HANDLE query = OpenPath(path, 0, 0);
      if (query == INVALID_HANDLE_VALUE) continue;
      PHIDP_PREPARSED_DATA preparsed = nullptr;
      HIDP_CAPS caps{};
      bool ok = HidD_GetPreparsedData(query, &preparsed) != FALSE;
      if (ok) {
        ok = HidP_GetCaps(preparsed, &caps) == HIDP_STATUS_SUCCESS;
        HidD_FreePreparsedData(preparsed);
      }
      CloseHandle(query);
      if (!ok) continue;
      list.push_back({path, caps.UsagePage, caps.Usage, caps.InputReportByteLength, caps.OutputReportByteLength,
                      caps.FeatureReportByteLength});
    }
    SetupDiDestroyDeviceInfoList(set);
    return list;
  }

  std::optional<std::u16string> ProductString(const std::string& path) override {
    HANDLE query = OpenPath(path, 0, 0);
    if (query == INVALID_HANDLE_VALUE) return std::nullopt;
    wchar_t wbuf[kProductStringBytes / 2] = {};
    bool ok = HidD_GetProductString(query, wbuf, kProductStringBytes) != FALSE;
    CloseHandle(query);
    if (!ok) return std::nullopt;
    std::u16string product;
    for (std::size_t k = 0; k < kProductStringBytes / 2 && wbuf[k] != 0; ++k) product.push_back(static_cast<char16_t>(wbuf[k]));
    return product;
  }

  std::shared_ptr<HidDevice> Open(const std::string& path) override {
    HANDLE reader = OpenPath(path, GENERIC_READ, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED);
    if (reader == INVALID_HANDLE_VALUE) return nullptr;
    HANDLE writer = OpenPath(path, GENERIC_WRITE, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED);
    return std::make_shared<Win32HidDevice>(reader, writer);
  }
};

}  // namespace

std::shared_ptr<HidBackend> SystemHidBackend() {
  static auto* backend = new std::shared_ptr<HidBackend>(std::make_shared<Win32HidBackend>());  // never destroyed
  return *backend;
}

}  // namespace platform
