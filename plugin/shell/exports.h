// The plug-in's exported entry points: C linkage, undecorated names, called by the host on its
// own thread. Nothing else is exported.
#pragma once

#include <cstdint>

#include "shell/host_contract.h"

#if defined(_WIN32)
#define KV_EXPORT __declspec(dllexport)
#else
#define KV_EXPORT __attribute__((visibility("default")))
#endif

extern "C" {
KV_EXPORT const char* SetProName(host::HostString profile_name);
KV_EXPORT bool InitControl(host::EngineBlock* engine, host::SetupBlock* setup, host::PlannerBlock* planner,
                           host::HostView* view);
KV_EXPORT void PostInitControl();
KV_EXPORT void Config();
KV_EXPORT void StopPlug();
KV_EXPORT void SetGetDRO(host::GetDroFn fn);
KV_EXPORT void SetSetDRO(host::SetDroFn fn);
KV_EXPORT void SetGetLED(host::GetLedFn fn);
KV_EXPORT void SetSetLED(host::SetLedFn fn);
KV_EXPORT void SetCode(host::CodeFn fn);
KV_EXPORT void SetDoButton(host::DoButtonFn fn);
KV_EXPORT void JogOn(std::int16_t axis, std::int16_t direction, double speed);
KV_EXPORT void JogOff(std::int16_t axis);
KV_EXPORT void Home(std::int16_t axis);
KV_EXPORT void Probe();
KV_EXPORT void DoDwell(double seconds);
KV_EXPORT void Purge(std::int16_t flags);
KV_EXPORT void Reset();
KV_EXPORT void Update();
KV_EXPORT void Notify(std::int32_t message);

// Not a host entry point: the seam through which a host or a test redirects the Ethernet link
// before InitControl (discovery destination and the TCP port the board connects to). A real
// host never calls it, and the plug-in then uses 192.168.1.255:9000 and port 20176. A null or
// empty address, or a port of 0, keeps that default. False for an address that is not dotted
// IPv4, or a call after the link has started.
KV_EXPORT bool SetEthernetEndpoints(const char* discovery_address, std::uint16_t discovery_port,
                                    std::uint16_t listen_port);

// Not a host entry point either: where the link stands (connected, identified, streaming), for
// a host or a tool that waits for a board without seeing the wire. False when `state` is null or
// its size is smaller than the plug-in's LinkState.
KV_EXPORT bool GetLinkState(host::LinkState* state);
}

// The names a host resolves, in the order above; kvhost and the export check use this list.
inline constexpr const char* kEntryPointNames[] = {
    "SetProName", "InitControl", "PostInitControl", "Config", "StopPlug", "SetGetDRO", "SetSetDRO",
    "SetGetLED", "SetSetLED", "SetCode", "SetDoButton", "JogOn", "JogOff", "Home", "Probe", "DoDwell",
    "Purge", "Reset", "Update", "Notify"};
