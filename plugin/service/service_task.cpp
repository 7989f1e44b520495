// Service task: identification, status polling and streaming of the board's parameters.
#include "service/service_task.h"

#include <memory>

#include "link/link_health.h"
#include "link/link_interface.h"
#include "motion/config_download.h"
#include "motion/pendant.h"
#include "motion/supervisor.h"
#include "platform/clock.h"
#include "runtime/commands.h"
#include "runtime/diagnostics.h"
#include "runtime/packet_buffer.h"
#include "runtime/timer_scheduler.h"
#include "service/firmware_upgrade.h"
#include "service/receive_parser.h"
#include "shell/host_gate.h"
#include "shell/plugin_state.h"

namespace kv {
namespace {

constexpr std::int32_t kFirstRunMs = 20;
constexpr std::int32_t kPollPeriodMs = 200;
constexpr std::int32_t kStreamPeriodMs = 30;
constexpr std::int32_t kIdleRoundsPerKeepAlive = 5;  // the sixth empty run sends one
// A board holding segments executes one every few milliseconds. One that has executed none for
// this long is gone or hung (a power dip, firmware that stopped reading, a cut cable): left open,
// its link would keep the host waiting for the end of the motion forever.
constexpr std::uint32_t kStalledBoardMs = 2000;

// The executed count last seen and since when (scheduler thread only).
std::uint32_t watch_done = 0;
std::uint32_t watch_since = 0;

// Closes the link to a board that holds segments and has stopped executing them, after putting
// the host into E-stop and telling the board; the transport then looks for the board again.
void CloseIfStalled() {
  const std::uint32_t now = platform::TickMs();
  const std::uint32_t done = state.segments_done.load();
  const std::uint32_t outstanding = state.segments_sent.load() - done;
  if (state.link_open.load() == 0 || outstanding == 0 || outstanding > static_cast<std::uint32_t>(state.lim_buffer.load()) ||
      done != watch_done) {
    watch_done = done;
    watch_since = now;
    return;
  }
  if (now - watch_since < kStalledBoardMs) return;
  LinkCloseFn close = state.link_close.load(std::memory_order_acquire);
  if (close == nullptr) return;
  CountStallClose(outstanding);
  trace_printf("the board executed none of %u segments for %u ms: closing the link", outstanding, now - watch_since);
  SupervisorBoardStalled(outstanding, now - watch_since);
  watch_since = now;
  close();
}

void SendCommand(std::uint8_t command) { LinkSendFrame(std::make_unique<PacketBuffer>(command)); }

// One streaming run: pendant displays, then the changed parameters or, now and then, a keep-alive.
void StreamRun() {
  SendPendantFrames();
  auto frame = std::make_unique<PacketBuffer>(ParamBuffer());
  ParamAppendChanged(*frame);
  if (frame->Size() >= 1) {
    LinkSendFrame(std::move(frame));
    return;
  }
  if (state.idle_rounds.load() == kIdleRoundsPerKeepAlive) {
    frame->PutByte(wire::KEEP_ALIVE);
    LinkSendFrame(std::move(frame));
    state.idle_rounds = 0;
  } else {
    state.idle_rounds.fetch_add(1);
  }
}

}  // namespace

void ServiceInit() {
  TimerAdd(ServiceRun, kFirstRunMs, 0);
  state.pos_synced = false;
  state.stop_mask = 0;
  state.counters_fresh = true;
}

void ServiceStart() {
  // A board that connects after StopPlug must not reach the host's released blocks.
  HostGate& gate = LinkHostGate();
  if (!gate.Enter()) return;
  state.stream_mode = false;
  ParamServiceStart();
  PulseRateUpdate();
  state.segments_sent = 0;
  // The count of a stream on the last connection says nothing of this one, and would hold back
  // the first motion until the board reports (a board may not report before it has motion).
  state.segments_done = 0;
  state.still_count = 0;
  state.link_receive.store(ReceiveFrame, std::memory_order_release);
  state.upgrade_requested = false;
  state.pulse_rate_hz = 0;
  for (auto& flag : state.softlimit_tripped) flag = false;
  gate.Leave();
}

RunPeriods& ServicePeriods() {
  static RunPeriods periods;
  return periods;
}

std::int32_t ServiceRun(std::uint32_t) {
  ServicePeriods().Mark(platform::TickMs());
  if (!LinkEstablished()) {
    state.pulse_rate_hz = 0;
    return kPollPeriodMs;
  }
  CloseIfStalled();
  EstopIdentifiedBoard();  // before the status poll that leads to streaming
  ParamCompute();
  if (state.upgrade_requested.load()) {
    FirmwareUpgrade();
    return 1;
  }
  if (state.pulse_rate_hz.load() == 0) {
    SendCommand(wire::IDENT_REQUEST);
    return kPollPeriodMs;
  }
  if (!state.stream_mode.load()) {
    auto poll = std::make_unique<PacketBuffer>(wire::STATUS_POLL);
    poll->PutByte(0xFF);
    LinkSendFrame(std::move(poll));
    return kPollPeriodMs;
  }
  StreamRun();
  return kStreamPeriodMs;
}

}  // namespace kv
