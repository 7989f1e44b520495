// Thread priority on POSIX systems: a Linux thread has its own nice value.
#include "platform/thread.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace platform {

// Ahead of ordinary work without shutting it out: a thread that should only wake, send and sleep
// again but spun instead would still leave the rest of the machine usable.
constexpr int kRaisedNice = -10;

bool RaiseThreadPriority() {
#ifdef __linux__
  const auto tid = static_cast<id_t>(syscall(SYS_gettid));
  return setpriority(PRIO_PROCESS, tid, kRaisedNice) == 0;
#else
  return false;  // elsewhere the nice value belongs to the whole process
#endif
}

}  // namespace platform
