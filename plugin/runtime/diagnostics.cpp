// Diagnostic channels: message boxes, the host's status line and the system's error texts.
#include "runtime/diagnostics.h"

#include <atomic>
#include <cstdio>  // std::vsnprintf
#include <string>

#include "platform/message_box.h"
#include "platform/system_error.h"
#include "shell/plugin_state.h"

namespace kv {
namespace {

constexpr std::size_t kInfoSize = 256;  // a formatted text is at most 255 characters

std::atomic<DiagChannel> error_channel{nullptr};
std::atomic<DiagChannel> status_channel{nullptr};
std::atomic<DiagChannel> trace_channel{nullptr};
std::atomic<DiagChannel> syserr_channel{nullptr};

void Format(char (&info)[kInfoSize], const char* format, std::va_list args) {
  std::vsnprintf(info, kInfoSize, format, args);
}

void SetStatusLine(const std::string& text) {
  host::PlannerBlock* planner = state.planner.load(std::memory_order_acquire);
  if (planner != nullptr) host::HostStringAssign(planner->status_text, text);
}

void Dispatch(const std::atomic<DiagChannel>& channel, const char* format, std::va_list args) {
  if (DiagChannel fn = channel.load(std::memory_order_acquire)) fn(format, args);
}

}  // namespace

void DiagInit() {
  error_channel = ErrorPrintf;
  status_channel = StatusPrintf;
  trace_channel = TracePrintf;
  syserr_channel = SyserrPrintf;
}

void ErrorPrintf(const char* format, std::va_list args) {
  char info[kInfoSize];
  Format(info, format, args);
  if (info[0] == '#') platform::ShowMessageBox(info, "serious");
}

void StatusPrintf(const char* format, std::va_list args) {
  char info[kInfoSize];
  Format(info, format, args);
  SetStatusLine(info);
}

void TracePrintf(const char* format, std::va_list args) {
  char info[kInfoSize];
  Format(info, format, args);
}

void SyserrPrintf(const char*, std::va_list) { SetStatusLine(platform::ErrorText(platform::LastErrorCode())); }

#define KV_CHANNEL(name, channel)              \
  void name(const char* format, ...) {         \
    std::va_list args;                         \
    va_start(args, format);                    \
    Dispatch(channel, format, args);           \
    va_end(args);                              \
  }

KV_CHANNEL(error_printf, error_channel)
KV_CHANNEL(status_printf, status_channel)
KV_CHANNEL(trace_printf, trace_channel)
KV_CHANNEL(syserr_printf, syserr_channel)

#undef KV_CHANNEL

}  // namespace kv
