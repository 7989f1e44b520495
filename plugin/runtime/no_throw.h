// Keeps C++ exceptions inside the plug-in. The host is not C++-aware across our boundary: an
// exception thrown back through an entry point, a window procedure or out of one of our threads
// ends the host's process (and with it the machine it drives). Where such a boundary is crossed,
// the work runs inside a catch-all, and whatever escaped is reported on the status line instead.
#pragma once

#include <exception>
#include <new>

#include "runtime/diagnostics.h"

namespace kv {

// Called inside a catch handler: reports the exception being handled, as "`where`: what". Never
// throws, even when there is no memory left to format the text.
inline void ReportCurrentException(const char* where) noexcept {
  try {
    try {
      throw;
    } catch (const std::bad_alloc&) {
      status_printf("%s failed: out of memory; nothing was done", where);
    } catch (const std::exception& e) {
      status_printf("%s failed: %s; nothing was done", where, e.what());
    } catch (...) {
      status_printf("%s failed: an internal error; nothing was done", where);
    }
  } catch (...) {
    // Even the report could not be made; the host must still carry on.
  }
}

// Runs `body`; true when it returned, false (reported) when it threw.
template <typename Body>
bool NoThrow(const char* where, Body&& body) noexcept {
  try {
    body();
    return true;
  } catch (...) {
    ReportCurrentException(where);
    return false;
  }
}

}  // namespace kv
