// The host's start-up and shut-down sequences around the plug-in.
#include "host_session.h"

#include <atomic>
#include <cstdio>

#include "platform/socket.h"

namespace kvhost {
namespace {

std::atomic<std::uint64_t> refused_startups{0};

}  // namespace

bool HostSession::Load(const std::string& plugin_path, std::string& error) {
  return LoadPlugin(plugin_path, library_, api_, error);
}

bool HostSession::SetEndpoints(const Endpoints& e, std::string& error) {
  if (api_.SetEthernetEndpoints == nullptr) {
    error = "the plug-in has no Ethernet endpoint seam";
    return false;
  }
  if (!api_.SetEthernetEndpoints(e.discovery_address.c_str(), e.discovery_port, e.listen_port)) {
    error = "the plug-in refused the endpoints " + e.discovery_address + ":" + std::to_string(e.discovery_port) +
            ", listen port " + std::to_string(e.listen_port);
    return false;
  }
  std::uint32_t address = 0;
  loopback_discovery_ = platform::ParseIpv4(e.discovery_address, address) && platform::IsLoopbackAddress(address);
  return true;
}

std::string HostSession::StartUp(const std::string& profile_path) {
  if (platform::LoopbackOnly() && !loopback_discovery_) {
    refused_startups.fetch_add(1);
    std::fprintf(stderr,
                 "kvhost: plug-in not started: this process is loopback-only and SetEndpoints did not point "
                 "discovery at a loopback address\n");
    return {};
  }
  std::string name = api_.SetProName(host::MakeHostString(profile_path));
  api_.SetGetDRO(HostMachine::CbGetDro);
  api_.SetSetDRO(HostMachine::CbSetDro);
  api_.SetGetLED(HostMachine::CbGetLed);
  api_.SetSetLED(HostMachine::CbSetLed);
  api_.SetCode(HostMachine::CbCode);
  api_.SetDoButton(HostMachine::CbDoButton);
  api_.InitControl(&machine_.engine(), &machine_.setup(), &machine_.planner(), &machine_.view());
  api_.PostInitControl();
  started_ = true;
  return name;
}

void HostSession::ShutDown() {
  if (!started_) return;
  api_.StopPlug();
  started_ = false;
  // StopPlug saves the settings; a save that failed is told only on the status line, which the
  // user of kvhost never sees.
  const std::string status = machine_.StatusLine();
  if (status.rfind("profile ", 0) == 0 && status.find("not saved") != std::string::npos) {
    std::fprintf(stderr, "kvhost: the plug-in's settings were not saved: %s\n", status.c_str());
  }
}

std::uint64_t HostSession::RefusedStartUps() { return refused_startups.load(); }

std::string DefaultPluginPath() {
#ifdef KVHOST_DEFAULT_PLUGIN
  return KVHOST_DEFAULT_PLUGIN;
#else
  return "Kalvero.so";
#endif
}

}  // namespace kvhost
