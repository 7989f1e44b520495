// Windows side of the CPU-time interface: process and thread times, threads from a snapshot.
#include "platform/cpu_time.h"

#include "win32.h"
// after windows.h:
#include <tlhelp32.h>  // CreateToolhelp32Snapshot, Thread32First, Thread32Next

namespace platform {
namespace {

// Kernel plus user time, reported in 100 ns units.
double Seconds(const FILETIME& kernel, const FILETIME& user) {
  auto ticks = [](const FILETIME& t) {
    return (static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
  };
  return static_cast<double>(ticks(kernel) + ticks(user)) * 1e-7;
}

}  // namespace

double ProcessCpuSeconds() {
  FILETIME created, ended, kernel, user;
  if (!GetProcessTimes(GetCurrentProcess(), &created, &ended, &kernel, &user)) return 0.0;
  return Seconds(kernel, user);
}

double CurrentThreadCpuSeconds() {
  FILETIME created, ended, kernel, user;
  if (!GetThreadTimes(GetCurrentThread(), &created, &ended, &kernel, &user)) return 0.0;
  return Seconds(kernel, user);
}

ThreadId CurrentThreadId() { return GetCurrentThreadId(); }

std::vector<ThreadId> ProcessThreadIds() {
  std::vector<ThreadId> ids;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return ids;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  const DWORD self = GetCurrentProcessId();
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID == self) ids.push_back(entry.th32ThreadID);
  }
  CloseHandle(snapshot);
  return ids;
}

std::optional<double> ThreadCpuSeconds(ThreadId thread) {
  HANDLE h = OpenThread(THREAD_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, static_cast<DWORD>(thread));
  if (h == nullptr) return std::nullopt;
  std::optional<double> seconds;
  FILETIME created, ended, kernel, user;
  // A thread that has ended is still open to us, but no longer counts.
  if (WaitForSingleObject(h, 0) == WAIT_TIMEOUT && GetThreadTimes(h, &created, &ended, &kernel, &user)) {
    seconds = Seconds(kernel, user);
  }
  CloseHandle(h);
  return seconds;
}

std::optional<std::uint64_t> ThreadRunCount(ThreadId) { return std::nullopt; }

}  // namespace platform
