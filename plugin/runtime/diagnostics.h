// The four message channels every module prints through. The policy for each channel (a box,
// the host's status line, nothing, the system's error text) is decided here, in one place.
//   error_printf  - a message box captioned "serious", only for texts beginning with "#"
//   status_printf - the host's status line
//   trace_printf  - formatted and discarded
//   syserr_printf - the system's text for the calling thread's last error, on the status line
// Until DiagInit has run (at the start of InitControl) the channels print nothing.
#pragma once

#include <cstdarg>

namespace kv {

using DiagChannel = void (*)(const char* format, std::va_list args);

void DiagInit();

void error_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
void status_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
void trace_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
void syserr_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The channel implementations that DiagInit installs.
void ErrorPrintf(const char* format, std::va_list args);
void StatusPrintf(const char* format, std::va_list args);
void TracePrintf(const char* format, std::va_list args);
void SyserrPrintf(const char* format, std::va_list args);

}  // namespace kv
