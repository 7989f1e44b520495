// POSIX (Linux) side of the CPU-time interface.
// Threads are listed and measured through /proc/self/task, since POSIX names no way to read the
// CPU clock of a thread by its id.
#include "platform/cpu_time.h"

#include <dirent.h>     // opendir, readdir, closedir
#include <sys/types.h>  // pid_t
#include <time.h>       // clock_gettime, CLOCK_PROCESS_CPUTIME_ID, CLOCK_THREAD_CPUTIME_ID
#include <unistd.h>     // gettid, sysconf

#include <cstdio>
#include <cstdlib>
#include <string>

namespace platform {
namespace {

double ClockSeconds(clockid_t clock) {
  timespec ts{};
  if (clock_gettime(clock, &ts) != 0) return 0.0;
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// schedstat: nanoseconds the thread has run on a CPU, nanoseconds it waited to run, and how many
// times it was put on a CPU.
struct Schedstat {
  unsigned long long run_ns = 0, wait_ns = 0, runs = 0;
};
std::optional<Schedstat> ReadSchedstat(const std::string& dir) {
  std::FILE* f = std::fopen((dir + "/schedstat").c_str(), "r");
  if (f == nullptr) return std::nullopt;
  Schedstat s;
  const int got = std::fscanf(f, "%llu %llu %llu", &s.run_ns, &s.wait_ns, &s.runs);
  std::fclose(f);
  if (got != 3) return std::nullopt;
  return s;
}

// Fields 14 and 15 of stat (utime, stime) in clock ticks: the coarse fallback where the kernel
// keeps no schedstat.
std::optional<double> StatSeconds(const std::string& dir) {
  std::FILE* f = std::fopen((dir + "/stat").c_str(), "r");
  if (f == nullptr) return std::nullopt;
  char line[1024];
  const bool read = std::fgets(line, sizeof line, f) != nullptr;
  std::fclose(f);
  if (!read) return std::nullopt;
  // The command name (field 2) is in parentheses and may hold spaces: count from the last ')'.
  std::string text(line);
  const std::size_t close = text.rfind(')');
  if (close == std::string::npos) return std::nullopt;
  unsigned long long utime = 0, stime = 0;
  // After ")": state ppid pgrp session tty_nr tpgid flags minflt cminflt majflt cmajflt utime stime
  if (std::sscanf(text.c_str() + close + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime,
                  &stime) != 2) {
    return std::nullopt;
  }
  const long ticks = sysconf(_SC_CLK_TCK);
  return static_cast<double>(utime + stime) / static_cast<double>(ticks > 0 ? ticks : 100);
}

}  // namespace

double ProcessCpuSeconds() { return ClockSeconds(CLOCK_PROCESS_CPUTIME_ID); }

double CurrentThreadCpuSeconds() { return ClockSeconds(CLOCK_THREAD_CPUTIME_ID); }

ThreadId CurrentThreadId() { return static_cast<ThreadId>(gettid()); }

std::vector<ThreadId> ProcessThreadIds() {
  std::vector<ThreadId> ids;
  DIR* dir = opendir("/proc/self/task");
  if (dir == nullptr) return ids;
  while (dirent* entry = readdir(dir)) {
    char* end = nullptr;
    const unsigned long long id = std::strtoull(entry->d_name, &end, 10);
    if (end != entry->d_name && *end == '\0') ids.push_back(static_cast<ThreadId>(id));
  }
  closedir(dir);
  return ids;
}

std::optional<double> ThreadCpuSeconds(ThreadId thread) {
  const std::string dir = "/proc/self/task/" + std::to_string(thread);
  if (auto s = ReadSchedstat(dir)) return static_cast<double>(s->run_ns) * 1e-9;
  return StatSeconds(dir);
}

std::optional<std::uint64_t> ThreadRunCount(ThreadId thread) {
  if (auto s = ReadSchedstat("/proc/self/task/" + std::to_string(thread))) return s->runs;
  return std::nullopt;
}

}  // namespace platform
