// kvhost: the replacement host. Loads the plug-in library as the CNC control host does, hands it
// the host's blocks and callbacks, and runs its start-up and shut-down sequences.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>

#include "host_machine.h"
#include "host_session.h"
#include "options.h"
#include "platform/clock.h"
#include "platform/message_box.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitBadInput = 1;
constexpr int kExitUsage = 2;
constexpr std::uint32_t kBriefRunMs = 300;

void PrintSettings(kvhost::HostMachine& machine) {
  const host::PlannerBlock& planner = machine.planner();
  std::printf("settings pushed to the planner: queue_limit=%d segment_time=%.6f s settings_applied=%d\n",
              planner.queue_limit, planner.segment_time, planner.settings_applied);
}

void PrintFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  std::printf("profile saved to %s:\n%s", path.c_str(), text.str().c_str());
}

}  // namespace

int main(int argc, char** argv) {
  kvhost::Options options;
  std::string error;
  if (!kvhost::ParseOptions(argc, argv, options, error)) {
    std::fprintf(stderr, "kvhost: %s\n%s", error.c_str(), kvhost::kUsage);
    return kExitUsage;
  }
  if (options.help) {
    std::printf("%s", kvhost::kUsage);
    return kExitOk;
  }
  platform::SetMessageBoxHandler([](std::string_view text, std::string_view caption) {
    std::printf("[message box] %.*s: %.*s\n", static_cast<int>(caption.size()), caption.data(),
                static_cast<int>(text.size()), text.data());
  });

  kvhost::HostMachine machine;
  kvhost::HostSession session(machine);
  std::string plugin = options.plugin_path.empty() ? kvhost::DefaultPluginPath() : options.plugin_path;
  if (!session.Load(plugin, error)) {
    std::fprintf(stderr, "kvhost: %s\n", error.c_str());
    return kExitBadInput;
  }
  std::string name = session.StartUp(options.profile_path);
  std::printf("plug-in: %s\n", name.c_str());
  PrintSettings(machine);
  platform::SleepMs(kBriefRunMs);
  session.ShutDown();
  PrintFile(options.profile_path);
  return kExitOk;
}
