// Resolving the plug-in's entry points by name, as the real host does.
#include "plugin_api.h"

#include <type_traits>

#include "shell/exports.h"

namespace kvhost {
namespace {

// Each entry point is called through exactly the type the plug-in defines it with: a calling
// convention or an argument that differed would go unnoticed where the conventions coincide
// (64-bit) and break the stack of the 32-bit host.
#define KV_SAME_TYPE(name) \
  static_assert(std::is_same_v<decltype(PluginApi::name), decltype(&::name)>, #name " differs from the export")
KV_SAME_TYPE(SetProName);
KV_SAME_TYPE(InitControl);
KV_SAME_TYPE(PostInitControl);
KV_SAME_TYPE(Config);
KV_SAME_TYPE(StopPlug);
KV_SAME_TYPE(SetGetDRO);
KV_SAME_TYPE(SetSetDRO);
KV_SAME_TYPE(SetGetLED);
KV_SAME_TYPE(SetSetLED);
KV_SAME_TYPE(SetCode);
KV_SAME_TYPE(SetDoButton);
KV_SAME_TYPE(JogOn);
KV_SAME_TYPE(JogOff);
KV_SAME_TYPE(Home);
KV_SAME_TYPE(Probe);
KV_SAME_TYPE(DoDwell);
KV_SAME_TYPE(Purge);
KV_SAME_TYPE(Reset);
KV_SAME_TYPE(Update);
KV_SAME_TYPE(Notify);
KV_SAME_TYPE(SetEthernetEndpoints);
KV_SAME_TYPE(GetLinkState);
#undef KV_SAME_TYPE

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
