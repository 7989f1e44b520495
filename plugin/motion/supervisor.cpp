// The motion supervisor: E-stop, queued actions, dwell, program streaming and the homing and
// probing cycles, one step every 20 ms on the scheduler thread.
#include "motion/supervisor.h"

#include <array>
#include <atomic>
#include <cmath>
#include <memory>
#include <mutex>

#include "link/link_health.h"
#include "link/link_interface.h"
#include "motion/config_download.h"
#include "motion/jog.h"
#include "motion/motion_stream.h"
#include "platform/clock.h"
#include "runtime/action_queue.h"
#include "runtime/commands.h"
#include "runtime/diagnostics.h"
#include "runtime/packet_buffer.h"
#include "runtime/timer_scheduler.h"
#include "shell/host_access.h"
#include "shell/host_gate.h"
#include "shell/plugin_state.h"

namespace kv {
namespace {

constexpr std::int32_t kRunPeriodMs = 20;
constexpr std::int32_t kNoLinkPeriodMs = 100;
constexpr std::int32_t kProbeFirstDelayMs = 1000;
constexpr std::int32_t kProbeRetryMs = 100;
constexpr std::uint8_t kBoardModeHoming = 4;
constexpr std::uint8_t kBoardModeProbing = 8;
constexpr std::uint64_t kHomingMotionFlag = std::uint64_t{1} << 56;
constexpr double kNoProbeTarget = -100000.0;
constexpr double kProbeMinDistance = 0.1;   // units; a shorter probe is no probe
constexpr double kSameProbeTarget = 0.01;   // units; a repeat of the probe under way
constexpr int kHomeSlots = 6;
constexpr std::int16_t kNoAxis = -1;

std::atomic<SupervisorState> supervisor_state{SupervisorState::RUN};
// An E-stop carried out (the board stopped, the host's flag raised) that the state machine has
// not yet followed: the host may clear its flag before the next run sees it raised.
std::atomic<bool> estop_carried_out{false};
std::atomic<std::int16_t> homing_axis{kNoAxis};
// An E-stop the board may not have been told: 0xCD sent while no link was open, or a link lost
// with motion under way. A board that holds what it had (its firmware resumes after a drop)
// would otherwise carry on with it once it is back.
std::atomic<bool> estop_owed{false};
// The connection (link_connections) whose board has been told E-stop, and the last one whose
// identified board has been looked at.
constexpr std::uint32_t kNoConnection = 0xFFFFFFFFu;
std::atomic<std::uint32_t> estop_told_connection{kNoConnection};
std::atomic<std::uint32_t> identified_connection{kNoConnection};
// One E-stop is counted once, however many ways it is raised and carried out; cleared when the
// machine leaves E-stop.
std::atomic<bool> estop_counted{false};
std::atomic<std::int16_t> probe_axis{kNoAxis};

// Scheduler thread only (SupervisorInit sets them before the scheduler starts).
std::array<std::int16_t, kHomeSlots> home_queue{kNoAxis, kNoAxis, kNoAxis, kNoAxis, kNoAxis, kNoAxis};
std::uint8_t home_dir = 0;
double home_speed = 0.0;  // steps per segment
double probe_last_target = kNoProbeTarget;
bool idle_edge = true;

// The dwell: a deadline set on the host thread and cleared on the scheduler thread together
// with the host's dwell_active flag. The lock keeps the pair consistent when a new dwell comes
// in just as the previous one ends, so dwell_active never reads 0 while a dwell is pending.
std::mutex dwell_lock;
std::atomic<std::uint32_t> dwell_deadline{0};  // ms tick; 0 = none

bool ValidAxis(int axis) { return axis >= 0 && axis < host::kAxes; }

// Later than the deadline, or at it, across the wrap of the 32-bit tick.
bool Reached(std::uint32_t now, std::uint32_t deadline) { return static_cast<std::int32_t>(now - deadline) >= 0; }

void SendCommand(std::uint8_t command) { LinkSendFrame(std::make_unique<PacketBuffer>(command)); }

void ReportDone(host::EngineBlock& engine) { host::Store(engine.position_changed, 1); }

void CountEstopOnce() {
  if (!estop_counted.exchange(true, std::memory_order_acq_rel)) CountEstop();
}

// Sends 0xCD; unless it went out on a link that stayed open throughout, the E-stop stays owed
// to the next board identified.
void SendBoardEstop() {
  estop_owed.store(false, std::memory_order_release);  // before the send: a loss during it re-raises it
  const std::uint32_t connection = state.link_connections.load(std::memory_order_acquire);
  const bool open_before = state.link_open.load(std::memory_order_acquire) != 0;
  SendCommand(wire::BOARD_ESTOP);
  const bool reached = open_before && state.link_open.load(std::memory_order_acquire) != 0 &&
                       state.link_connections.load(std::memory_order_acquire) == connection;
  if (reached) {
    estop_told_connection.store(connection, std::memory_order_release);
  } else {
    estop_owed.store(true, std::memory_order_release);
  }
}

// A home asked for while the machine is in E-stop starts nothing, now or after the reset.
bool RefuseHomeInEstop(host::EngineBlock& engine, int axis) {
  if (host::Load(engine.estop) == 0) return false;
  status_printf("axis %d not homed: the machine is in E-stop", axis);
  ReportDone(engine);
  return true;
}

// Raises the host's E-stop and posts its action unless it is raised already; counted before
// the flag, so that whoever sees the E-stop sees it counted.
bool RaiseHostEstop(host::EngineBlock& engine) {
  if (host::Load(engine.estop) != 0) return false;
  CountEstopOnce();
  host::Store(engine.estop, 1);
  ActionPost(ACTION_ESTOP);
  return true;
}

void QueueHome(int axis) {
  for (std::int16_t& slot : home_queue) {
    if (slot == kNoAxis) {
      slot = static_cast<std::int16_t>(axis);
      return;
    }
  }
  // all six taken: the request is dropped
}

int TakeQueuedHome() {
  const int axis = home_queue[0];
  for (int i = 0; i + 1 < kHomeSlots; ++i) home_queue[i] = home_queue[i + 1];
  home_queue[kHomeSlots - 1] = kNoAxis;
  return axis;
}

// E-stop cuts a homing or probing cycle short. Left standing, it would keep the limit inputs on
// the home switch's port out of service, the board's soft limits off, the home or probe input
// watched, and would take a repeated probe for the one under way.
void EndCycleOnEstop(host::EngineBlock& engine, host::PlannerBlock& planner) {
  const SupervisorState now = supervisor_state.load(std::memory_order_acquire);
  const bool homing = now == SupervisorState::HOME_SEEK || now == SupervisorState::HOME_RELEASE ||
                      homing_axis.load(std::memory_order_acquire) != kNoAxis;
  const int probed = probe_axis.exchange(kNoAxis, std::memory_order_acq_rel);
  const bool probing = now == SupervisorState::PROBING || probed != kNoAxis;
  if (!homing && !probing) return;
  if (homing) {
    homing_axis.store(kNoAxis, std::memory_order_release);
    host::Store(engine.homing_active, 0);
    std::atomic_ref<std::uint64_t>(planner.motion_flags).fetch_and(~kHomingMotionFlag, std::memory_order_acq_rel);
  }
  if (probing) {
    probe_last_target = kNoProbeTarget;
    if (ValidAxis(probed)) host::Store(engine.probing[probed], 0);
  }
  EndInterruptedCycle();
  ReportDone(engine);  // the host must not wait for a cycle that has ended
  if (now != SupervisorState::ESTOPPED) supervisor_state.store(SupervisorState::RUN, std::memory_order_release);
}

// Whether a stop taken from the queue is still to be carried out. An E-stop's stop always is.
// A stop for a board seen at rest is decided on the link thread from the stream's count at that
// moment; if the stream has sent since (it runs here, so nothing can go out between this test
// and the close), the board is no longer at rest, and the close would drop what it was just
// sent. The parser posts the stop again once the board has executed that and is still.
bool StopStillDue(const host::EngineBlock& engine) {
  if (supervisor_state.load(std::memory_order_acquire) == SupervisorState::ESTOPPED || host::Load(engine.estop) != 0) {
    return true;
  }
  const std::uint32_t sent = state.segments_sent.load(std::memory_order_acquire);
  const std::uint32_t seen = state.rest_sent_seen.load(std::memory_order_acquire);
  if (sent == seen) return true;
  trace_printf("stop not sent: the stream sent segments after the board was seen at rest (%u then, %u now)",
               static_cast<unsigned>(seen), static_cast<unsigned>(sent));
  return false;
}

void PerformAction(std::int32_t code, host::EngineBlock& engine, host::PlannerBlock& planner) {
  switch (code) {
    case ACTION_STOP:
      if (!StopStillDue(engine)) break;
      ReportDone(engine);
      state.segments_sent.store(0, std::memory_order_release);
      SendCommand(wire::STREAM_CLOSE);
      break;
    case ACTION_ESTOP:
      CountEstopOnce();
      // The host's flag before the board is told: a reset the operator makes once the board has
      // stopped is then never overwritten by this action, which would leave the host in E-stop
      // with a board that gets no enable until a second reset.
      host::Store(engine.estop, 1);
      SendBoardEstop();
      StreamDropWaiting();
      // Homes asked for before the E-stop are void: none may start by itself after the reset.
      home_queue.fill(kNoAxis);
      host::Store(planner.estop_seen, 1);
      EndCycleOnEstop(engine, planner);
      estop_carried_out.store(true, std::memory_order_release);
      break;
    case ACTION_ENABLE:
      // An enable posted just before the host raised E-stop again must not free the board.
      if (host::Load(engine.estop) == 0) SendCommand(wire::BOARD_ENABLE);
      break;
    default:
      if (code >= ACTION_HOME_BASE && code < ACTION_HOME_BASE + host::kAxes) {
        // asked for just before the E-stop: it must not wait for the reset and start then
        const int axis = code - ACTION_HOME_BASE;
        if (!RefuseHomeInEstop(engine, axis)) QueueHome(axis);
      }
      break;  // any other code is ignored
  }
}

// True when no dwell holds the state step; ends a dwell whose deadline has come.
bool DwellOver(host::EngineBlock& engine) {
  if (dwell_deadline.load(std::memory_order_acquire) == 0) return true;
  std::lock_guard<std::mutex> guard(dwell_lock);
  const std::uint32_t deadline = dwell_deadline.load(std::memory_order_relaxed);
  if (deadline == 0) return true;
  if (!Reached(platform::TickMs(), deadline)) return false;
  host::Store(engine.dwell_active, 0);
  dwell_deadline.store(0, std::memory_order_release);
  return true;
}

void StepRun(host::EngineBlock& engine, const host::PlannerBlock& planner) {
  StreamSegments();
  if (!MotionIdle()) {
    idle_edge = true;
    return;
  }
  if (home_queue[0] != kNoAxis) HomeStart(TakeQueuedHome());
  if (idle_edge) {
    idle_edge = false;
    if (host::Load(planner.idle_report_off) == 0) ReportDone(engine);
  }
}

void StepHomeSeek(host::EngineBlock& engine) {
  const int axis = homing_axis.load(std::memory_order_relaxed);
  if (!ValidAxis(axis)) return;
  if (host::Load(engine.input_signal[HomeInput(axis)].state) == 0) return;
  // The switch is reached: back off it at a quarter of the seek speed, watched by the board.
  SendVelocityMove(static_cast<std::uint8_t>(axis), static_cast<std::uint8_t>(1 - home_dir),
                   TruncToInt32(home_speed * 16384.0));
  SetSpecialInput(HomeInput(axis));
  supervisor_state.store(SupervisorState::HOME_RELEASE, std::memory_order_release);
}

void StepHomeRelease(host::EngineBlock& engine, host::PlannerBlock& planner) {
  if (state.board_mode.load(std::memory_order_acquire) == kBoardModeHoming) return;
  SendInputMasks();
  const int axis = homing_axis.load(std::memory_order_relaxed);
  if (ValidAxis(axis)) {
    // Where the board stopped is the host's home position; wrapping, as the step counts do.
    const auto home = static_cast<std::uint32_t>(host::Load(engine.home_position[axis]));
    const auto board = static_cast<std::uint32_t>(state.board_pos[axis].load(std::memory_order_acquire));
    state.pos_offset[axis].store(static_cast<std::int32_t>(home - board), std::memory_order_release);
    host::Store(engine.axis_referenced[axis], 1);
  }
  std::atomic_ref<std::uint64_t>(planner.motion_flags).fetch_and(~kHomingMotionFlag, std::memory_order_acq_rel);
  ReportDone(engine);
  host::Store(engine.homing_active, 0);
  supervisor_state.store(SupervisorState::RUN, std::memory_order_release);
  homing_axis.store(kNoAxis, std::memory_order_release);
}

void StepProbing(host::EngineBlock& engine) {
  if (state.board_mode.load(std::memory_order_acquire) == kBoardModeProbing) return;
  const int axis = probe_axis.exchange(kNoAxis, std::memory_order_acq_rel);
  probe_last_target = kNoProbeTarget;
  SendInputMasks();
  ReportDone(engine);
  if (ValidAxis(axis)) host::Store(engine.probing[axis], 0);
  supervisor_state.store(SupervisorState::RUN, std::memory_order_release);
}

}  // namespace

void EstopIdentifiedBoard() {
  host::EngineBlock* engine = state.engine.load(std::memory_order_acquire);
  if (engine == nullptr) return;
  if (state.link_open.load(std::memory_order_acquire) == 0 || state.pulse_rate_hz.load(std::memory_order_acquire) == 0) {
    return;  // no board, or not identified yet (a board in its loader never is)
  }
  // Once per connection; later E-stops on it take the ordinary way.
  const std::uint32_t connection = state.link_connections.load(std::memory_order_acquire);
  if (identified_connection.exchange(connection, std::memory_order_acq_rel) == connection) return;
  if (estop_told_connection.load(std::memory_order_acquire) == connection) return;  // told before it was identified
  if (!estop_owed.load(std::memory_order_acquire) && host::Load(engine->estop) == 0) return;
  trace_printf("the board is told E-stop as soon as it is identified");
  SendCommand(wire::STREAM_CLOSE);  // its executed count restarts, as the plug-in's has
  SendBoardEstop();
}

void SupervisorInit() {
  supervisor_state.store(SupervisorState::RUN, std::memory_order_release);
  estop_carried_out.store(false, std::memory_order_release);
  estop_owed.store(false, std::memory_order_release);
  estop_told_connection.store(kNoConnection, std::memory_order_release);
  identified_connection.store(kNoConnection, std::memory_order_release);
  estop_counted.store(false, std::memory_order_release);
  {
    std::lock_guard<std::mutex> guard(dwell_lock);
    dwell_deadline.store(0, std::memory_order_release);
  }
  home_queue.fill(kNoAxis);
  homing_axis.store(kNoAxis, std::memory_order_release);
  home_dir = 0;
  home_speed = 0.0;
  probe_axis.store(kNoAxis, std::memory_order_release);
  probe_last_target = kNoProbeTarget;
  idle_edge = true;
  TimerAdd(SupervisorRun, kRunPeriodMs, 0);
}

RunPeriods& SupervisorPeriods() {
  static RunPeriods periods;
  return periods;
}

std::int32_t SupervisorRun(std::uint32_t) {
  SupervisorPeriods().Mark(platform::TickMs());
  if (!LinkEstablished()) return kNoLinkPeriodMs;  // actions wait in the queue, dwells stand still
  host::EngineBlock* engine = state.engine.load(std::memory_order_acquire);
  host::PlannerBlock* planner = state.planner.load(std::memory_order_acquire);
  if (engine == nullptr || planner == nullptr) return kNoLinkPeriodMs;
  // Before anything of this run can reach a board that has just come back.
  EstopIdentifiedBoard();

  // The host's E-stop interrupts every state. Should the queue be full, the two actions are
  // carried out after it rather than lost.
  // An E-stop carried out since the last run counts as seen even when the host has cleared its
  // flag already: the board is stopped and waits for the enable that leaving E-stop sends.
  bool stop_unposted = false;
  bool estop_unposted = false;
  const bool host_estop = host::Load(engine->estop) != 0;
  const bool carried_out = estop_carried_out.exchange(false, std::memory_order_acq_rel);
  if ((host_estop || carried_out) && supervisor_state.load() != SupervisorState::ESTOPPED) {
    stop_unposted = !ActionPost(ACTION_STOP);
    if (host_estop) estop_unposted = !ActionPost(ACTION_ESTOP);
    supervisor_state.store(SupervisorState::ESTOPPED, std::memory_order_release);
  }
  while (const std::int32_t code = ActionPop()) PerformAction(code, *engine, *planner);
  if (stop_unposted) PerformAction(ACTION_STOP, *engine, *planner);
  if (estop_unposted) PerformAction(ACTION_ESTOP, *engine, *planner);

  if (!DwellOver(*engine)) return kRunPeriodMs;

  switch (supervisor_state.load(std::memory_order_acquire)) {
    case SupervisorState::RUN:
      StepRun(*engine, *planner);
      break;
    case SupervisorState::ESTOPPED:
      if (host::Load(engine->estop) == 0) {
        supervisor_state.store(SupervisorState::RUN, std::memory_order_release);
        // An E-stop carried out in this run, with the host's reset already in, is followed
        // by now: the next run must not stop the stream and enable the board a second time.
        estop_carried_out.store(false, std::memory_order_release);
        estop_counted.store(false, std::memory_order_release);
        ActionPost(ACTION_ENABLE);
      }
      break;
    case SupervisorState::HOME_SEEK:
      StepHomeSeek(*engine);
      break;
    case SupervisorState::HOME_RELEASE:
      StepHomeRelease(*engine, *planner);
      break;
    case SupervisorState::PROBING:
      StepProbing(*engine);
      break;
  }
  return kRunPeriodMs;
}

SupervisorState CurrentSupervisorState() { return supervisor_state.load(std::memory_order_acquire); }
int SupervisorHomingAxis() { return homing_axis.load(std::memory_order_acquire); }
int SupervisorProbeAxis() { return probe_axis.load(std::memory_order_acquire); }

int HomeQueueLength() {
  int n = 0;
  for (std::int16_t slot : home_queue) n += slot != kNoAxis ? 1 : 0;
  return n;
}

namespace {

void RaiseEstopForLostLink() {
  host::EngineBlock* engine = state.engine.load(std::memory_order_acquire);
  if (engine == nullptr) return;
  const std::uint32_t sent = state.segments_sent.load(std::memory_order_acquire);
  const std::uint32_t done = state.segments_done.load(std::memory_order_acquire);
  const bool outstanding = sent != done;
  const bool waiting = ((host::Load(engine->ring_write_index) - host::Load(engine->ring_read_index)) & host::kRingMask) != 0;
  const SupervisorState now = supervisor_state.load(std::memory_order_acquire);
  const bool cycle = now == SupervisorState::HOME_SEEK || now == SupervisorState::HOME_RELEASE ||
                     now == SupervisorState::PROBING;
  if (!outstanding && !waiting && !cycle) return;
  // Whatever the host's flag says now: the board that comes back may still hold the motion.
  estop_owed.store(true, std::memory_order_release);
  if (!RaiseHostEstop(*engine)) return;
  status_printf("board link lost during motion: E-stop");
}

}  // namespace

void SupervisorLinkLost() {
  // A link may close after StopPlug, when the host's blocks are gone.
  HostGate& gate = LinkHostGate();
  if (!gate.Enter()) return;
  RaiseEstopForLostLink();
  gate.Leave();
}

void SupervisorBoardStalled(std::uint32_t outstanding, std::uint32_t stalled_ms) {
  if (host::EngineBlock* engine = state.engine.load(std::memory_order_acquire)) {
    // Raised before the board is told, so that a send that fails and closes the link is not
    // taken for a lost link.
    RaiseHostEstop(*engine);
    status_printf("board executed no segment for %u s with %u outstanding: link closed, E-stop",
                  static_cast<unsigned>(stalled_ms / 1000), static_cast<unsigned>(outstanding));
  }
  // The board may still be reading: stop it while the link is open.
  SendCommand(wire::STREAM_CLOSE);
  SendBoardEstop();
}

void Home(std::int16_t axis) {
  host::EngineBlock* engine = state.engine.load(std::memory_order_acquire);
  if (engine == nullptr) return;
  if (RefuseHomeInEstop(*engine, axis)) return;
  const int input = ValidAxis(axis) ? HomeInput(axis) : 0;
  if (host::Load(engine->input_signal[input].enabled) == 0) {
    status_printf("you need enable switcher for axis %d first", axis);
    ReportDone(*engine);  // so the host does not wait for a cycle that never starts
    return;
  }
  if (ValidAxis(axis)) {
    ActionPost(ACTION_HOME_BASE + axis);
  } else {
    ReportDone(*engine);  // no such axis to home: done at once rather than waited for
  }
}

void HomeStart(int axis) {
  host::EngineBlock* engine = state.engine.load(std::memory_order_acquire);
  const host::PlannerBlock* planner = state.planner.load(std::memory_order_acquire);
  if (engine == nullptr || planner == nullptr || !ValidAxis(axis)) return;
  const double units_per_s =
      host::Load(planner->home_speed_percent[axis]) / 200.0 * host::Load(planner->max_velocity[axis]);
  const double speed = steps_per_segment(axis, units_per_s);
  // Toward the switch: the host's homing direction, turned for a reversed axis.
  const bool reversed = host::Load(engine->axis_reversed[axis]) != 0;
  const bool dir_flag = host::Load(planner->home_dir_flag[axis]) != 0;
  const std::uint8_t dir = reversed == dir_flag ? 1 : 0;
  SendVelocityMove(static_cast<std::uint8_t>(axis), dir, TruncToInt32(speed * 65536.0));
  homing_axis.store(static_cast<std::int16_t>(axis), std::memory_order_release);
  home_speed = speed;
  home_dir = dir;
  supervisor_state.store(SupervisorState::HOME_SEEK, std::memory_order_release);
  host::Store(engine->homing_active, 1);  // the configuration download holds the limits now
}

void Probe() { TimerAdd(ProbeRun, kProbeFirstDelayMs, 0); }

std::int32_t ProbeRun(std::uint32_t) {
  host::EngineBlock* engine = state.engine.load(std::memory_order_acquire);
  host::PlannerBlock* planner = state.planner.load(std::memory_order_acquire);
  if (engine == nullptr || planner == nullptr) return 0;

  if (host::Load(engine->input_signal[kProbeInput].enabled) == 0) {
    host::Store(engine->softlimit_armed, 0);
    host::Store(planner->probe_pending, 0);
    status_printf("probe function need digitize input enable");
    return 0;
  }
  if (host::Load(engine->estop) != 0) {
    // A probe asked for just before an E-stop must not start once the machine is stopped.
    host::Store(planner->probe_pending, 0);
    ReportDone(*engine);
    return 0;
  }
  if (state.segments_sent.load(std::memory_order_acquire) > 0) return kProbeRetryMs;  // a program is open

  // The highest enabled axis with somewhere to go is probed. A target that is not a number
  // gives no distance the board could be sent.
  int axis = kNoAxis;
  double distance = 0.0;
  double target = 0.0;
  for (int k = 0; k < host::kAxes; ++k) {
    if (host::Load(engine->axis_enabled[k]) == 0) continue;
    const double to = host::Load(planner->probe_target[k]);
    const double d = to - host::Load(planner->probe_start_coord[k]);
    if (std::isfinite(d) && std::fabs(d) >= kProbeMinDistance) {
      axis = k;
      distance = d;
      target = to;
    }
  }
  if (axis == kNoAxis) {
    ReportDone(*engine);  // already there: complete without motion
    return 0;
  }
  if (axis == probe_axis.load(std::memory_order_acquire) && std::fabs(probe_last_target - target) < kSameProbeTarget) {
    ReportDone(*engine);  // the same probe is already under way
    return 0;
  }

  SetSpecialInput(kProbeInput);
  probe_axis.store(static_cast<std::int16_t>(axis), std::memory_order_release);
  probe_last_target = target;

  auto frame = std::make_unique<PacketBuffer>(wire::PROBE_MOVE);
  frame->PutByte(static_cast<std::uint8_t>(axis))
      .PutLong(static_cast<std::uint32_t>(TruncToInt32(distance * host::Load(planner->steps_per_unit[axis]))))
      .PutLong(static_cast<std::uint32_t>(
          TruncToInt32(steps_per_segment(axis, host::Load(planner->probe_feed)) * 65536.0)));
  LinkSendFrame(std::move(frame));

  host::Store(engine->probing[axis], 1);
  host::Store(planner->board_has_room, 0);  // the stream pauses while the probe moves
  supervisor_state.store(SupervisorState::PROBING, std::memory_order_release);
  // Until the board reports another mode, the probe counts as running.
  state.board_mode.store(kBoardModeProbing, std::memory_order_release);
  return 0;
}

void DoDwell(double seconds) {
  host::EngineBlock* engine = state.engine.load(std::memory_order_acquire);
  if (engine == nullptr) return;
  // A negative time is no dwell; it must not become a deadline half the tick range away.
  std::int32_t ms = TruncToInt32(seconds * 1000.0);
  if (ms < 0) ms = 0;
  std::uint32_t deadline = platform::TickMs() + static_cast<std::uint32_t>(ms);
  if (deadline == 0) deadline = 1;  // 0 stands for "no dwell"
  std::lock_guard<std::mutex> guard(dwell_lock);
  host::Store(engine->dwell_active, 1);
  dwell_deadline.store(deadline, std::memory_order_release);
}

void Notify(std::int32_t code) {
  host::EngineBlock* engine = state.engine.load(std::memory_order_acquire);
  const host::PlannerBlock* planner = state.planner.load(std::memory_order_acquire);
  if (engine == nullptr || planner == nullptr) return;
  switch (code) {
    case -1:
      // The host throws away what it planned: skip a window's worth and drop what waits.
      StreamSkipPlanned(state.lim_buffer.load(std::memory_order_acquire));
      break;
    case 3:
    case 4:
    case 5: {
      const SpindleFigures figures = SpindleFiguresFor(code);
      if (figures.set_pwm_figure) ParamSetSpindlePwmFigure(figures.pwm_figure);
      if (figures.set_duty) ParamSetSpindleDuty(figures.duty_percent);
      break;
    }
    case 10:
      ActionPost(ACTION_ESTOP);
      break;
    default:
      break;
  }
}

SpindleFigures SpindleFiguresFor(std::int32_t code) {
  SpindleFigures figures;
  const host::EngineBlock* engine = state.engine.load(std::memory_order_acquire);
  const host::PlannerBlock* planner = state.planner.load(std::memory_order_acquire);
  if (engine == nullptr || planner == nullptr) return figures;
  const bool pwm = host::Load(planner->spindle_pwm) != 0;
  if (code == 4) {
    figures.set_duty = pwm;  // the duty is figures.duty_percent = 0
    return figures;
  }
  if ((code != 3 && code != 5) || host::Load(planner->spindle_on) == 0) return figures;
  figures.set_duty = true;
  if (!pwm) return figures;
  // The duty is a percentage: a ratio outside 0..1 (or not a number) is held inside it.
  double ratio = host::Load(planner->spindle_ratio);
  if (!(ratio > 0.0)) ratio = 0.0;
  if (ratio > 1.0) ratio = 1.0;
  figures.duty_percent = static_cast<std::uint16_t>(TruncToInt32(ratio * 100.0));
  const double figure = host::Load(engine->pwm_base) / host::Load(planner->pwm_divisor) / 1000.0;
  if (std::isfinite(figure)) {  // without a divisor there is no figure: the last one stays
    figures.set_pwm_figure = true;
    figures.pwm_figure = static_cast<std::uint16_t>(TruncToInt32(figure));
  }
  return figures;
}

void Purge(std::int16_t) {}
void Reset() {}
void Update() {}

}  // namespace kv
