// The host's start-up and shut-down sequences around the plug-in.
#include "host_session.h"

namespace kvhost {

bool HostSession::Load(const std::string& plugin_path, std::string& error) {
  return LoadPlugin(plugin_path, library_, api_, error);
}

std::string HostSession::StartUp(const std::string& profile_path) {
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
}

std::string DefaultPluginPath() {
#ifdef KVHOST_DEFAULT_PLUGIN
  return KVHOST_DEFAULT_PLUGIN;
#else
  return "Kalvero.so";
#endif
}

}  // namespace kvhost
