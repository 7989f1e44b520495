// The system's HID backend on Windows: SetupAPI for the HID interfaces, the HID services for
// their capabilities and product strings, file handles on the device path for the reports.
#include "platform/hid.h"

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

constexpr DWORD kReadSliceMs = 50;        // how often a pending read looks at the closed flag
constexpr ULONG kProductStringBytes = 256;  // 128 UTF-16 units

HANDLE OpenPath(const std::string& path, DWORD access, DWORD flags) {
  return CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, flags, nullptr);
}

// The read handle is overlapped so that Close from another thread always ends a pending read;
// the write handle is synchronous.
class Win32HidDevice : public HidDevice {
 public:
  Win32HidDevice(HANDLE reader, HANDLE writer) : reader_(reader), writer_(writer) {
    event_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  }
  ~Win32HidDevice() override {
    CloseHandle(reader_);
    if (writer_ != INVALID_HANDLE_VALUE) CloseHandle(writer_);
    if (event_) CloseHandle(event_);
  }

  bool Read(std::span<std::uint8_t> report, std::size_t& count) override {
    std::lock_guard<std::mutex> guard(read_lock_);
    if (closed_.load() || event_ == nullptr) return false;
    OVERLAPPED overlapped{};
    overlapped.hEvent = event_;
    ResetEvent(event_);
    DWORD n = 0;
    if (!ReadFile(reader_, report.data(), static_cast<DWORD>(report.size()), &n, &overlapped)) {
      if (GetLastError() != ERROR_IO_PENDING) return false;
      while (WaitForSingleObject(event_, kReadSliceMs) == WAIT_TIMEOUT) {
        if (closed_.load()) {
          CancelIoEx(reader_, &overlapped);
          break;
        }
      }
      if (!GetOverlappedResult(reader_, &overlapped, &n, TRUE)) return false;
    }
    if (closed_.load()) return false;
    count = n;
    return true;
  }

  bool Write(std::span<const std::uint8_t> report) override {
    std::lock_guard<std::mutex> guard(write_lock_);
    if (closed_.load() || writer_ == INVALID_HANDLE_VALUE) return false;
    DWORD n = 0;
    if (WriteFile(writer_, report.data(), static_cast<DWORD>(report.size()), &n, nullptr) && n == report.size()) return true;
    CancelIoEx(writer_, nullptr);
    return false;
  }

  void Close() override { closed_ = true; }

 private:
  HANDLE reader_;
  HANDLE writer_;
  HANDLE event_ = nullptr;
  std::atomic<bool> closed_{false};
  std::mutex read_lock_;   // one read at a time on the overlapped handle
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
    HANDLE writer = OpenPath(path, GENERIC_WRITE, FILE_ATTRIBUTE_NORMAL);
    return std::make_shared<Win32HidDevice>(reader, writer);
  }
};

}  // namespace

std::shared_ptr<HidBackend> SystemHidBackend() {
  static auto* backend = new std::shared_ptr<HidBackend>(std::make_shared<Win32HidBackend>());  // never destroyed
  return *backend;
}

}  // namespace platform
