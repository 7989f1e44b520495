// The Windows HID device's writes against a device that stops taking reports. A named pipe that
// nobody reads stands in for the device: once its buffer is full a write to it pends, as one to
// a HID device whose endpoint no longer takes output reports does. The write must give up at the
// write bound, and closing the device must end a pending write at once.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/hid.h"
#include "win32.h"

namespace {

using Clock = std::chrono::steady_clock;

// The server ends of a pipe: two instances, since the device opens its path twice (a handle
// for reading, one for writing). Nothing is ever read from them.
class StalledPipe {
 public:
  StalledPipe() : path_("\\\\.\\pipe\\kv-hid-stall-" + std::to_string(GetCurrentProcessId())) {
    for (HANDLE& h : server_) {
      h = CreateNamedPipeA(path_.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT, 2, 256, 256, 0, nullptr);
    }
  }
  ~StalledPipe() {
    for (HANDLE h : server_) {
      if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
  }
  bool Ok() const { return server_[0] != INVALID_HANDLE_VALUE && server_[1] != INVALID_HANDLE_VALUE; }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
  HANDLE server_[2] = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE};
};

long long MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Writes reports until one fails, on a thread of its own; a write stuck for ever fails the test
// (and ends the process, since the thread cannot be joined) instead of hanging it.
struct WriteUntilFailure {
  std::atomic<bool> done{false};
  std::atomic<long long> last_write_ms{-1};
  std::atomic<int> written{0};
};

void RunWriter(platform::HidDevice& device, WriteUntilFailure& w) {
  const std::vector<std::uint8_t> report(65, 0x5A);
  for (int k = 0; k < 100000; ++k) {
    const Clock::time_point start = Clock::now();
    const bool ok = device.Write(report);
    w.last_write_ms = MsSince(start);
    if (!ok) break;
    w.written.fetch_add(1);
  }
  w.done = true;
}

bool WaitDone(const WriteUntilFailure& w, int ms) {
  const Clock::time_point start = Clock::now();
  while (!w.done.load() && MsSince(start) < ms) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  return w.done.load();
}

TEST(Win32Hid, AWriteToADeviceThatTakesNothingGivesUpAtTheBound) {
  StalledPipe pipe;
  ASSERT_TRUE(pipe.Ok()) << GetLastError();
  std::shared_ptr<platform::HidDevice> device = platform::SystemHidBackend()->Open(pipe.Path());
  ASSERT_NE(device, nullptr);
  WriteUntilFailure w;
  std::thread writer(RunWriter, std::ref(*device), std::ref(w));
  if (!WaitDone(w, 20 * platform::kHidWriteBoundMs)) {
    ADD_FAILURE() << "a write to a device that takes nothing is still pending after " << 20 * platform::kHidWriteBoundMs
                  << " ms (" << w.written.load() << " reports taken first)";
    writer.detach();
    std::_Exit(1);
  }
  writer.join();
  EXPECT_LT(w.written.load(), 100000) << "the pipe never filled";
  EXPECT_GE(w.last_write_ms.load(), platform::kHidWriteBoundMs - 100);
  EXPECT_LE(w.last_write_ms.load(), platform::kHidWriteBoundMs + 1500);
  std::printf("measured: %d reports taken, then a write gave up after %lld ms\n", w.written.load(),
              w.last_write_ms.load());
}

TEST(Win32Hid, ClosingTheDeviceEndsAPendingWrite) {
  StalledPipe pipe;
  ASSERT_TRUE(pipe.Ok()) << GetLastError();
  std::shared_ptr<platform::HidDevice> device = platform::SystemHidBackend()->Open(pipe.Path());
  ASSERT_NE(device, nullptr);
  WriteUntilFailure w;
  std::thread writer(RunWriter, std::ref(*device), std::ref(w));
  // Until the pipe is full and a write pends, then a moment into it.
  int seen = -1;
  for (int settled = 0; settled < 10 && !w.done.load();) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const int now = w.written.load();
    settled = now == seen ? settled + 1 : 0;
    seen = now;
  }
  ASSERT_FALSE(w.done.load()) << "the write failed before the close";
  const Clock::time_point closed_at = Clock::now();
  device->Close();
  if (!WaitDone(w, 20 * platform::kHidWriteBoundMs)) {
    ADD_FAILURE() << "a pending write outlived the close";
    writer.detach();
    std::_Exit(1);
  }
  writer.join();
  const long long after_close_ms = MsSince(closed_at);
  EXPECT_LE(after_close_ms, 500) << "the close did not end the pending write at once";
  std::printf("measured: the pending write ended %lld ms after the close\n", after_close_ms);
}

}  // namespace
