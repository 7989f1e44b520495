// The plug-in as the host sees it: a loaded library and its entry points, resolved by name.
#pragma once

#include <cstdint>
#include <string>

#include "platform/library.h"
#include "shell/host_contract.h"

namespace kvhost {

struct PluginApi {
  const char* (*SetProName)(host::HostString) = nullptr;
  bool (*InitControl)(host::EngineBlock*, host::SetupBlock*, host::PlannerBlock*, host::HostView*) = nullptr;
  void (*PostInitControl)() = nullptr;
  void (*Config)() = nullptr;
  void (*StopPlug)() = nullptr;
  void (*SetGetDRO)(host::GetDroFn) = nullptr;
  void (*SetSetDRO)(host::SetDroFn) = nullptr;
  void (*SetGetLED)(host::GetLedFn) = nullptr;
  void (*SetSetLED)(host::SetLedFn) = nullptr;
  void (*SetCode)(host::CodeFn) = nullptr;
  void (*SetDoButton)(host::DoButtonFn) = nullptr;
  void (*JogOn)(std::int16_t, std::int16_t, double) = nullptr;
  void (*JogOff)(std::int16_t) = nullptr;
  void (*Home)(std::int16_t) = nullptr;
  void (*Probe)() = nullptr;
  void (*DoDwell)(double) = nullptr;
  void (*Purge)(std::int16_t) = nullptr;
  void (*Reset)() = nullptr;
  void (*Update)() = nullptr;
  void (*Notify)(std::int32_t) = nullptr;
  // Optional: the plug-in's seam for redirecting its Ethernet link (null when not exported).
  bool (*SetEthernetEndpoints)(const char*, std::uint16_t, std::uint16_t) = nullptr;
  // Optional: where the plug-in's link stands (null when not exported).
  bool (*GetLinkState)(host::LinkState*) = nullptr;
};

// Loads the library at `path` and resolves every entry point. On failure returns false with a
// message naming the library and, for a missing export, the export.
bool LoadPlugin(const std::string& path, platform::Library& library, PluginApi& api, std::string& error);

}  // namespace kvhost
