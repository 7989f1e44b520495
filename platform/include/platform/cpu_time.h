// CPU time of the process and of its threads, for the streaming benchmark's accounting of what
// the plug-in's own threads cost.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace platform {

// The system's identifier of a thread of this process (the kernel's thread id on Linux).
using ThreadId = std::uint64_t;

// CPU seconds (user and system) used so far by every thread of the process, ended ones included.
double ProcessCpuSeconds();
// CPU seconds used so far by the calling thread.
double CurrentThreadCpuSeconds();
ThreadId CurrentThreadId();
// The threads of the process alive at the moment of the call.
std::vector<ThreadId> ProcessThreadIds();
// CPU seconds used so far by a thread of this process; empty once that thread has ended.
std::optional<double> ThreadCpuSeconds(ThreadId thread);
// How many times a thread of this process has been put on a processor so far (each wake-up from a
// wait is one): on a virtual machine each costs far more than on bare metal, so the count says
// what the CPU time alone cannot. Empty once the thread has ended, or where the system keeps no
// such count (Windows).
std::optional<std::uint64_t> ThreadRunCount(ThreadId thread);

}  // namespace platform
