// The watch mode's status line and host-call lines.
#include "watch.h"

#include <cstdio>
#include <mutex>

#include "board_wait.h"
#include "dialog_view.h"
#include "platform/clock.h"
#include "platform/interrupt.h"
#include "shell/host_access.h"

namespace kvhost {
namespace {

constexpr std::uint32_t kRefreshMs = 200;
constexpr const char* kClearLine = "\r\033[K";

// protects standard output between the plug-in's threads (host calls) and the watch loop
std::mutex out_lock;
bool out_terminal = false;

const char* LinkName(std::int32_t kind) {
  switch (kind) {
    case 1: return "Ethernet";
    case 2: return "USB";
    default: return "none";
  }
}

}  // namespace

void WatchHostCalls(HostMachine& machine, bool terminal) {
  out_terminal = terminal;
  machine.SetCallObserver([](const std::string& line) {
    std::lock_guard<std::mutex> guard(out_lock);
    // On a terminal the call goes above the live status line, which the next refresh redraws.
    std::printf("%s%s\n", out_terminal ? kClearLine : "", line.c_str());
    std::fflush(stdout);
  });
}

std::string WatchStatusLine(const PluginApi& api, HostMachine& machine) {
  const host::EngineBlock& e = machine.engine();
  char text[256];
  int n = std::snprintf(text, sizeof text, "X %d Y %d Z %d A %d B %d C %d | %s | inputs",
                        host::Load(e.axis_position[0]), host::Load(e.axis_position[1]), host::Load(e.axis_position[2]),
                        host::Load(e.axis_position[3]), host::Load(e.axis_position[4]), host::Load(e.axis_position[5]),
                        host::Load(e.estop) != 0 ? "E-STOP" : "ready");
  std::string line(text, n > 0 ? static_cast<std::size_t>(n) : 0);
  bool any = false;
  for (int i = 0; i < host::kInputSignals; ++i) {
    if (host::Load(e.input_signal[i].state) == 0) continue;
    line += " " + std::to_string(i);
    any = true;
  }
  if (!any) line += " none";
  const host::LinkState link = ReadLinkState(api);
  std::snprintf(text, sizeof text, " | spindle %.0f rpm | link %s%s", host::Load(machine.planner().spindle_rpm),
                LinkName(link.link_kind), link.link_open != 0 ? (link.streaming != 0 ? ", streaming" : ", connected") : ", down");
  line += text;
  return line;
}

void Watch(const PluginApi& api, HostMachine& machine, bool terminal, std::optional<std::uint32_t> deadline_ms) {
  std::string last;
  while (!platform::InterruptRequested()) {
    if (deadline_ms && static_cast<std::int32_t>(platform::TickMs() - *deadline_ms) >= 0) break;
    const std::string line = WatchStatusLine(api, machine);
    {
      std::lock_guard<std::mutex> guard(out_lock);
      if (terminal) {
        std::printf("%s%s", kClearLine, line.c_str());
        std::fflush(stdout);
      } else if (line != last) {
        std::printf("status: %s\n", line.c_str());  // off a terminal, only changes
      }
    }
    last = line;
    platform::SleepMs(kRefreshMs);
  }
  std::lock_guard<std::mutex> guard(out_lock);
  if (terminal) std::printf("\n");
  std::printf("watch ended\n");
  // Counted, and only the last few kept: a pendant may press keys without end.
  const std::vector<std::string> lines = machine.CodeLines();
  std::printf("host calls: %llu button presses, %llu G-code lines%s%s%s\n",
              static_cast<unsigned long long>(machine.ButtonCount()),
              static_cast<unsigned long long>(machine.CodeLineCount()), lines.empty() ? "" : " (last \"",
              lines.empty() ? "" : EscapeControls(lines.back()).c_str(), lines.empty() ? "" : "\")");
}

}  // namespace kvhost
