// Resolving the plug-in's entry points by name, as the real host does.
#include "plugin_api.h"

namespace kvhost {
namespace {

template <typename Fn>
bool Resolve(const platform::Library& library, const char* name, Fn& out, std::string& missing) {
  out = reinterpret_cast<Fn>(library.Symbol(name));
  if (out == nullptr && missing.empty()) missing = name;
  return out != nullptr;
}

}  // namespace

bool LoadPlugin(const std::string& path, platform::Library& library, PluginApi& api, std::string& error) {
  std::string why;
  if (!library.Open(path, why)) {
    error = "cannot load plug-in " + path + ": " + why;
    return false;
  }
  std::string missing;
  Resolve(library, "SetProName", api.SetProName, missing);
  Resolve(library, "InitControl", api.InitControl, missing);
  Resolve(library, "PostInitControl", api.PostInitControl, missing);
  Resolve(library, "Config", api.Config, missing);
  Resolve(library, "StopPlug", api.StopPlug, missing);
  Resolve(library, "SetGetDRO", api.SetGetDRO, missing);
  Resolve(library, "SetSetDRO", api.SetSetDRO, missing);
  Resolve(library, "SetGetLED", api.SetGetLED, missing);
  Resolve(library, "SetSetLED", api.SetSetLED, missing);
  Resolve(library, "SetCode", api.SetCode, missing);
  Resolve(library, "SetDoButton", api.SetDoButton, missing);
  Resolve(library, "JogOn", api.JogOn, missing);
  Resolve(library, "JogOff", api.JogOff, missing);
  Resolve(library, "Home", api.Home, missing);
  Resolve(library, "Probe", api.Probe, missing);
  Resolve(library, "DoDwell", api.DoDwell, missing);
  Resolve(library, "Purge", api.Purge, missing);
  Resolve(library, "Reset", api.Reset, missing);
  Resolve(library, "Update", api.Update, missing);
  Resolve(library, "Notify", api.Notify, missing);
  api.SetEthernetEndpoints =
      reinterpret_cast<decltype(api.SetEthernetEndpoints)>(library.Symbol("SetEthernetEndpoints"));
  api.GetLinkState = reinterpret_cast<decltype(api.GetLinkState)>(library.Symbol("GetLinkState"));
  if (!missing.empty()) {
    error = "plug-in " + path + " does not export " + missing;
    library.Close();
    return false;
  }
  return true;
}

}  // namespace kvhost
