// Interrupt requests through the C library's signals, which both platforms deliver for Ctrl-C
// (and POSIX for SIGTERM); the handler only sets a flag.
#include "platform/interrupt.h"

#include <csignal>  // std::signal, SIGINT, SIGTERM

namespace platform {
namespace {

volatile std::sig_atomic_t interrupted = 0;

extern "C" void OnInterrupt(int signal_number) {
  interrupted = 1;
  std::signal(signal_number, OnInterrupt);  // some C libraries reset the handler on delivery
}

}  // namespace

void CatchInterrupts() {
  std::signal(SIGINT, OnInterrupt);
  std::signal(SIGTERM, OnInterrupt);
}

bool InterruptRequested() { return interrupted != 0; }

}  // namespace platform
