// The host's side of program motion: the segment ring, dwells, spindle and the end of the run.
#include "program_runner.h"

#include "platform/clock.h"
#include "platform/interrupt.h"
#include "shell/host_access.h"

namespace kvhost {
namespace {

constexpr std::uint32_t kPollMs = 2;
constexpr std::uint32_t kProgressPeriodMs = 100;
constexpr std::uint32_t kStallBaseMs = 5000;
constexpr std::uint32_t kIdleReportWaitMs = 1500;

// Notify codes of the host's spindle commands.
constexpr std::int32_t kNotifySpindleForward = 3;
constexpr std::int32_t kNotifySpindleStop = 4;
constexpr std::int32_t kNotifySpindleReverse = 5;

}  // namespace

std::uint32_t StallBoundMs(std::int32_t queue_limit, double segment_time_s) {
  double window_ms = static_cast<double>(queue_limit > 0 ? queue_limit : 0) * segment_time_s * 1000.0;
  if (!(window_ms > 0.0)) window_ms = 0.0;
  if (window_ms > 600000.0) window_ms = 600000.0;
  return kStallBaseMs + static_cast<std::uint32_t>(window_ms);
}

ProgramRunner::ProgramRunner(HostMachine& machine, const PluginApi& api, kvgcode::BlockSource& program,
                             const kvgcode::MachineSettings& settings, std::uint64_t segments_total)
    : machine_(machine), api_(api), planner_(program, settings, machine.planner().segment_time) {
  progress_.segments_total = segments_total;
  stall_bound_ms_ = StallBoundMs(machine.planner().queue_limit, machine.planner().segment_time);
}

ProgramRunner::ProgramRunner(HostMachine& machine, const PluginApi& api, const kvgcode::Program& program,
                             const kvgcode::MachineSettings& settings, std::uint64_t segments_total)
    : machine_(machine), api_(api), planner_(program, settings, machine.planner().segment_time) {
  progress_.segments_total = segments_total;
  stall_bound_ms_ = StallBoundMs(machine.planner().queue_limit, machine.planner().segment_time);
}

std::array<std::int32_t, 7> ProgramRunner::ProgressMark() const {
  const host::EngineBlock& e = machine_.engine();
  std::array<std::int32_t, 7> mark{};
  for (int k = 0; k < 6; ++k) mark[k] = host::Load(e.axis_position[k]);
  mark[6] = host::Load(e.ring_read_index);
  return mark;
}

bool ProgramRunner::RingEmpty() const {
  const host::EngineBlock& e = machine_.engine();
  return host::Load(e.ring_read_index) == host::Load(e.ring_write_index);
}

void ProgramRunner::Tick() {
  std::uint32_t now = platform::TickMs();
  progress_.elapsed_s = (now - start_ms_) / 1000.0;
  if (on_progress_ && *on_progress_ && now - last_progress_ms_ >= kProgressPeriodMs) {
    last_progress_ms_ = now;
    (*on_progress_)(progress_);
  }
  SamplePosition(now);
}

void ProgramRunner::SamplePosition(std::uint32_t now) {
  if (!on_position_ || now - last_position_ms_ < position_period_ms_) return;
  last_position_ms_ = now;
  std::array<std::int32_t, 6> position{};
  for (int k = 0; k < 6; ++k) position[k] = host::Load(machine_.engine().axis_position[k]);
  on_position_(position);
}

ProgramRunner::Wait ProgramRunner::WaitUntil(const std::function<bool()>& done, bool motion) {
  std::array<std::int32_t, 7> mark = ProgressMark();
  std::uint32_t last_progress_ms = platform::TickMs();
  for (;;) {
    if (host::Load(machine_.engine().estop)) return Wait::kEstop;
    if (platform::InterruptRequested()) return Wait::kInterrupted;
    if (done()) return Wait::kDone;
    const std::uint32_t now = platform::TickMs();
    if (deadline_ms_ && static_cast<std::int32_t>(now - *deadline_ms_) >= 0) return Wait::kTimeout;
    if (motion) {
      const std::array<std::int32_t, 7> seen = ProgressMark();
      if (seen != mark) {
        mark = seen;
        last_progress_ms = now;
      } else if (now - last_progress_ms >= stall_bound_ms_) {
        return Wait::kStalled;
      }
    }
    Tick();
    platform::SleepMs(kPollMs);
  }
}

ProgramRunner::Wait ProgramRunner::Drain() {
  // First the plug-in takes the last segment from the ring; only a report of rest after that
  // can mean the end of this motion. One that came earlier (a pause in the stream, the start
  // hold-off of a board that reports from the moment it is connected) is forgotten here. The
  // plug-in reports rest twice (its stop action, then its first idle run), well apart, so a
  // report cannot slip in between the read of the ring and the clearing of the flag unnoticed.
  Wait w = WaitUntil([this] { return RingEmpty(); }, true);
  if (w != Wait::kDone) return w;
  host::Store(machine_.engine().position_changed, 0);
  w = WaitUntil([this] { return host::Load(machine_.engine().position_changed) != 0; }, true);
  if (w != Wait::kDone) return w;
  // The second report comes once the board has been still for a while, by when it has reported
  // its executed count restarted by the stream's close. A motion published before that can find
  // the stream's window shut by the old count while the board runs through its first frame dry.
  // Waited for with a bound: a report that came before the flag was cleared is not missed twice.
  host::Store(machine_.engine().position_changed, 0);
  const std::uint32_t from = platform::TickMs();
  return WaitUntil([&] {
    return host::Load(machine_.engine().position_changed) != 0 || platform::TickMs() - from >= kIdleReportWaitMs;
  }, false);
}

void ProgramRunner::Spindle(const kvgcode::PlanEvent& event) {
  host::PlannerBlock& p = machine_.planner();
  if (event.spindle_mcode == 5) {
    host::Store(p.spindle_on, 0);
    api_.Notify(kNotifySpindleStop);
    return;
  }
  host::Store(p.spindle_speed, event.spindle_speed);
  host::Store(p.spindle_on, 1);
  api_.Notify(event.spindle_mcode == 4 ? kNotifySpindleReverse : kNotifySpindleForward);
}

void ProgramRunner::Coolant(const kvgcode::PlanEvent& event) {
  host::EngineBlock& e = machine_.engine();
  // The plug-in carries an enabled output's state to the board's output levels.
  auto set = [&](int signal, bool on, bool& told, const char* what) {
    host::OutputSignal& out = e.output_signal[signal];
    if (host::Load(out.enabled) != 0) {
      host::Store(out.state, static_cast<std::uint8_t>(on ? 1 : 0));
    } else if (on && !told && note_handler_) {
      told = true;  // once a run is enough
      note_handler_("line " + std::to_string(event.line) + ": " + what + "; ignored");
    }
  };
  set(kMistOutput, event.mist, told_no_mist_, "M7 mist coolant has no output pin (kvhost/mist_output_pin)");
  set(kFloodOutput, event.flood, told_no_flood_, "M8 flood coolant has no output pin (kvhost/flood_output_pin)");
}

RunResult ProgramRunner::Run(std::optional<double> time_limit_s,
                             const std::function<void(const RunProgress&)>& on_progress) {
  RunResult result;
  on_progress_ = &on_progress;
  start_ms_ = platform::TickMs();
  if (time_limit_s) deadline_ms_ = start_ms_ + static_cast<std::uint32_t>(*time_limit_s * 1000.0);
  host::EngineBlock& engine = machine_.engine();
  host::PlannerBlock& planner = machine_.planner();

  auto finish = [&](Wait how) {
    if (how != Wait::kDone) {
      // A run that stops part way leaves no coolant running: the program's M9 will not come.
      for (int signal : {kMistOutput, kFloodOutput}) host::Store(engine.output_signal[signal].state, std::uint8_t{0});
    }
    result.estop = how == Wait::kEstop;
    result.timed_out = how == Wait::kTimeout;
    result.stalled = how == Wait::kStalled;
    result.interrupted = how == Wait::kInterrupted;
    result.completed = how == Wait::kDone && result.error.empty();
    result.segments_planned = progress_.segments_planned;
    for (int k = 0; k < 6; ++k) {
      result.program_end_steps[k] = planner_.position_steps()[k];
      result.axis_position[k] = host::Load(engine.axis_position[k]);
    }
    result.wall_s = (platform::TickMs() - start_ms_) / 1000.0;
    on_progress_ = nullptr;
    return result;
  };

  host::Store(engine.position_changed, 0);
  bool moving = false;  // segments were published since the machine last reported rest
  kvgcode::PlanEvent event;
  bool have_event = false;
  for (;;) {
    if (!have_event) {
      have_event = planner_.Next(event);
      if (!have_event) break;
    }
    if (event.kind == kvgcode::PlanEvent::Kind::Segment) {
      // Wait for room: no more than queue_limit waiting, and never onto the read index.
      Wait w = WaitUntil([&] {
        std::int32_t write = host::Load(engine.ring_write_index);
        std::int32_t read = host::Load(engine.ring_read_index);
        std::int32_t waiting = (write - read) & host::kRingMask;
        std::int32_t limit = host::Load(planner.queue_limit);
        return waiting < limit && waiting < host::kRingSlots - 1;
      }, moving);
      if (w != Wait::kDone) return finish(w);
      std::int32_t write = host::Load(engine.ring_write_index);
      host::RingSegment& slot = planner.segment_ring[write];
      for (int k = 0; k < 6; ++k) slot.axis_steps[k] = event.steps[k];
      engine.segment_tag[write] = ++tag_;
      if (!moving) host::Store(engine.position_changed, 0);
      moving = true;
      host::Store(engine.ring_write_index, (write + 1) & host::kRingMask);  // publishes the slot
      ++progress_.segments_planned;
      if (on_segment_) on_segment_(event);
      SamplePosition(platform::TickMs());  // also while the ring has room and nothing waits
      have_event = false;
      continue;
    }
    // Dwells, spindle and coolant changes and pauses happen once the motion before them has ended.
    if (moving) {
      Wait w = Drain();
      if (w != Wait::kDone) return finish(w);
      moving = false;
    }
    if (event.kind == kvgcode::PlanEvent::Kind::Dwell) {
      api_.DoDwell(event.dwell_s);
      Wait w = WaitUntil([&] { return host::Load(engine.dwell_active) == 0; }, false);
      if (w != Wait::kDone) return finish(w);
    } else if (event.kind == kvgcode::PlanEvent::Kind::Spindle) {
      Spindle(event);
    } else if (event.kind == kvgcode::PlanEvent::Kind::Coolant) {
      Coolant(event);
    } else if (event.kind == kvgcode::PlanEvent::Kind::Pause && pause_handler_) {
      if (!pause_handler_(event)) return finish(host::Load(engine.estop) ? Wait::kEstop : Wait::kInterrupted);
    }
    have_event = false;
  }
  if (planner_.error()) {
    result.error = *planner_.error();
    return finish(Wait::kDone);
  }
  Wait w = moving ? Drain() : Wait::kDone;
  return finish(w);
}

}  // namespace kvhost
