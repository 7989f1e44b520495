// The exported entry points: thin forwarders into the modules that do the work, and the
// plug-in's start-up and shut-down sequences.
#include <algorithm>
#include <string>

#include "link/ethernet_link.h"
#include "link/link_health.h"
#include "link/link_interface.h"
#include "motion/jog.h"
#include "motion/motion_stream.h"
#include "motion/supervisor.h"
#include "platform/clock.h"
#include "platform/library.h"
#include "platform/socket.h"
#include "profile/profile_store.h"
#include "runtime/action_queue.h"
#include "runtime/commands.h"
#include "runtime/diagnostics.h"
#include "runtime/no_throw.h"
#include "runtime/packet_buffer.h"
#include "runtime/timer_scheduler.h"
#include "service/service_task.h"
#include "shell/exports.h"
#include "shell/host_access.h"
#include "shell/host_gate.h"
#include "shell/plugin_state.h"
#include "shell/settings.h"
#include "ui/host_window.h"
#include "ui/plugin_dialog.h"

using kv::state;

// Every entry point that does more than store a pointer is a function-try-block: nothing thrown
// inside the plug-in may reach the host (see runtime/no_throw.h).

namespace {

constexpr const char* kDisplaySuffix = " Corvanta PlugIn Ver 3.0b";
constexpr std::uint32_t kStopFrameWaitMs = 500;
constexpr std::uint32_t kStuckSendGraceMs = 100;

// The library's own file name without directory and extension.
std::string ModuleBaseName() {
  std::string path = platform::ModulePathOf(reinterpret_cast<const void*>(&SetProName));
  std::size_t slash = path.find_last_of("/\\");
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  std::size_t dot = name.find_last_of('.');
  return dot == std::string::npos ? name : name.substr(0, dot);
}

}  // namespace

extern "C" {

const char* SetProName(host::HostString profile_name) try {
  state.profile_name = host::HostStringRead(profile_name);
  {
    kv::ProfileStore store;
    kv::LoadSettings(store);
    kv::SettingsPush();
    state.pulse_rate_hz = 0;  // a connected board is identified again
  }
  state.plugin_display_name = ModuleBaseName() + kDisplaySuffix;
  if (state.phase.load() == kv::PluginPhase::kLoaded) state.phase = kv::PluginPhase::kNamed;
  return state.plugin_display_name.c_str();
} catch (...) {
  kv::ReportCurrentException("SetProName");
  return "";
}

bool InitControl(host::EngineBlock* engine, host::SetupBlock* setup, host::PlannerBlock* planner, host::HostView* view) try {
  state.engine = engine;
  state.setup = setup;
  state.planner = planner;
  state.view = view;
  if (view != nullptr) host::Store(view->view_flag, 0);
  kv::LinkHostGate().Open();
  kv::DiagInit();
  kv::ResetBoardIdentity();
  kv::TimerReset();
  kv::SupervisorInit();
  kv::ActionReset();
  kv::LinkInit();
  kv::ServiceInit();
  kv::StreamSetUp();
  state.phase = kv::PluginPhase::kInitialised;
  return true;
} catch (...) {
  kv::ReportCurrentException("InitControl");
  return false;
}

void PostInitControl() try {
  kv::SettingsPush();
  kv::TimerStart();
  host::HostView* view = state.view.load();
  if (state.host_window.load() == nullptr) state.host_window = new kv::HostWindow(view ? view->window_handle : nullptr);
  state.phase = kv::PluginPhase::kRunning;
} catch (...) {
  kv::ReportCurrentException("PostInitControl");
}

void Config() try {
  kv::ProfileStore store;
  kv::SetCurrentProfileStore(&store);
  kv::OpenPluginDialog();
  kv::SetCurrentProfileStore(nullptr);
} catch (...) {
  kv::ReportCurrentException("Config");
}

void StopPlug() try {
  // Bounded whatever the board does: the stop frame gets one send bound (a board that stopped
  // reading fails it, which closes the link), and a send still stuck after the scheduler was told
  // to stop is ended by closing the link, so no wait below outlasts it.
  if (kv::LinkEstablished() && kv::LinkSendFrame(std::make_unique<kv::PacketBuffer>(kv::wire::PLUGIN_STOP))) {
    platform::SleepMs(kStopFrameWaitMs);
  }
  kv::TimerStop();
  const std::uint32_t grace_from = platform::TickMs();
  while (kv::LinkSendsInProgress() > 0 && platform::TickMs() - grace_from < kStuckSendGraceMs) platform::SleepMs(1);
  if (kv::LinkSendsInProgress() > 0) kv::LinkCloseNow();
  // The host's blocks are valid only until this call returns: let the scheduler's last pass and
  // any frame being parsed on a link thread finish, and keep later frames away from them.
  kv::TimerJoin();
  kv::LinkHostGate().Close();
  kv::DestroyPluginDialog();
  {
    kv::ProfileStore store;
    kv::SaveSettings(store);
  }
  state.phase = kv::PluginPhase::kStopped;
} catch (...) {
  kv::ReportCurrentException("StopPlug");
}

void SetGetDRO(host::GetDroFn fn) { state.GetDRO = fn; }
void SetSetDRO(host::SetDroFn fn) { state.SetDRO = fn; }
void SetGetLED(host::GetLedFn fn) { state.GetLED = fn; }
void SetSetLED(host::SetLedFn fn) { state.SetLED = fn; }
void SetCode(host::CodeFn fn) { state.Code = fn; }
void SetDoButton(host::DoButtonFn fn) { state.DoButton = fn; }

void JogOn(std::int16_t axis, std::int16_t direction, double speed) try {
  kv::JogOn(axis, direction, speed);
} catch (...) {
  kv::ReportCurrentException("JogOn");
}
void JogOff(std::int16_t axis) try {
  kv::JogOff(axis);
} catch (...) {
  kv::ReportCurrentException("JogOff");
}
void Home(std::int16_t axis) try {
  kv::Home(axis);
} catch (...) {
  kv::ReportCurrentException("Home");
}
void Probe() try {
  kv::Probe();
} catch (...) {
  kv::ReportCurrentException("Probe");
}
void DoDwell(double seconds) try {
  kv::DoDwell(seconds);
} catch (...) {
  kv::ReportCurrentException("DoDwell");
}
void Notify(std::int32_t message) try {
  kv::Notify(message);
} catch (...) {
  kv::ReportCurrentException("Notify");
}
// The host's purge, reset and update requests change nothing on this board.
void Purge(std::int16_t) {}
void Reset() {}
void Update() {}

bool SetEthernetEndpoints(const char* discovery_address, std::uint16_t discovery_port, std::uint16_t listen_port) try {
  kv::EthEndpoints endpoints = kv::DefaultEthEndpoints();
  if (discovery_address != nullptr && *discovery_address != '\0' &&
      !platform::ParseIpv4(discovery_address, endpoints.discovery_address)) {
    return false;
  }
  if (discovery_port != 0) endpoints.discovery_port = discovery_port;
  if (listen_port != 0) endpoints.listen_port = listen_port;
  return kv::SetEthEndpoints(endpoints);
} catch (...) {
  kv::ReportCurrentException("SetEthernetEndpoints");
  return false;
}

bool GetLinkState(host::LinkState* out) try {
  if (out == nullptr || out->size < host::kLinkStateBaseSize) return false;
  out->link_kind = state.link_kind.load();
  out->link_open = state.link_open.load();
  out->identified = state.pulse_rate_hz.load() != 0 ? 1 : 0;
  out->streaming = state.stream_mode.load() ? 1 : 0;
  out->in_loader = state.upgrade_requested.load() || state.board_in_loader.load() ? 1 : 0;
  out->connections = state.link_connections.load();
  if (out->size >= host::kLinkStateHealthSize) {
    const kv::LinkHealth h = kv::LinkHealthSnapshot();
    out->listen_failed = kv::EthListenFailed() ? 1 : 0;
    out->frames_sent = h.frames_sent;
    out->bytes_sent = h.bytes_sent;
    out->frames_received = h.frames_received;
    out->bytes_received = h.bytes_received;
    out->records_skipped = h.records_skipped;
    out->records_malformed = h.records_malformed;
    out->frames_cut = h.frames_cut;
    out->send_failures = h.send_failures;
    out->link_losses = h.link_losses;
    out->stall_closes = h.stall_closes;
    out->estops = h.estops;
    out->stall_outstanding = h.stall_outstanding;
  }
  if (out->size >= sizeof(host::LinkState)) {
    const auto supervisor = kv::SupervisorPeriods().Histogram();
    const auto service = kv::ServicePeriods().Histogram();
    static_assert(sizeof out->supervisor_period_ms / sizeof out->supervisor_period_ms[0] == kv::kPeriodBuckets);
    std::copy(supervisor.begin(), supervisor.end(), out->supervisor_period_ms);
    std::copy(service.begin(), service.end(), out->service_period_ms);
  }
  return true;
} catch (...) {
  kv::ReportCurrentException("GetLinkState");
  return false;
}

}  // extern "C"
