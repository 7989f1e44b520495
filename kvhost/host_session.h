// One run of the plug-in inside the replacement host: load, start up, shut down.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "host_machine.h"
#include "platform/library.h"
#include "plugin_api.h"

namespace kvhost {

class HostSession {
 public:
  explicit HostSession(HostMachine& machine) : machine_(machine) {}

  // Loads the plug-in library and resolves its entry points.
  bool Load(const std::string& plugin_path, std::string& error);
  // Where the plug-in's Ethernet link broadcasts and listens; without it the plug-in's defaults.
  struct Endpoints {
    std::string discovery_address;
    std::uint16_t discovery_port;
    std::uint16_t listen_port;
  };
  // Must come before StartUp; false if the plug-in refuses or lacks the seam.
  bool SetEndpoints(const Endpoints& endpoints, std::string& error);
  // SetProName, the six callbacks, InitControl, PostInitControl. Returns the display name.
  // While the platform is loopback-only (test binaries), a session whose discovery was not
  // pointed at a loopback address by SetEndpoints is refused: nothing is called, the name is
  // empty and RefusedStartUps() counts it. Discovery would otherwise go to the plug-in's default
  // destination as soon as its thread's start delay ends.
  std::string StartUp(const std::string& profile_path);
  // StopPlug.
  void ShutDown();

  const PluginApi& api() const { return api_; }
  bool started() const { return started_; }

  // Start-ups refused by the loopback-only rule in this process.
  static std::uint64_t RefusedStartUps();

 private:
  HostMachine& machine_;
  platform::Library library_;  // never unloaded: the plug-in's link threads live on
  PluginApi api_;
  bool started_ = false;
  bool loopback_discovery_ = false;  // SetEndpoints pointed discovery at 127.0.0.0/8
};

// The plug-in built beside kvhost, for runs that name none.
std::string DefaultPluginPath();

}  // namespace kvhost
