// The host's side of program motion: the segment ring, dwells, spindle and the end of the run.
#include "program_runner.h"

#include "platform/clock.h"
#include "shell/host_access.h"

namespace kvhost {
namespace {

constexpr std::uint32_t kPollMs = 2;
constexpr std::uint32_t kProgressPeriodMs = 100;

// Notify codes of the host's spindle commands.
constexpr std::int32_t kNotifySpindleForward = 3;
constexpr std::int32_t kNotifySpindleStop = 4;
constexpr std::int32_t kNotifySpindleReverse = 5;

}  // namespace

ProgramRunner::ProgramRunner(HostMachine& machine, const PluginApi& api, const kvgcode::Program& program,
                             const kvgcode::MachineSettings& settings, std::uint64_t segments_total)
    : machine_(machine), api_(api), planner_(program, settings, machine.planner().segment_time) {
  progress_.segments_total = segments_total;
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
}

ProgramRunner::Wait ProgramRunner::WaitUntil(const std::function<bool()>& done) {
  for (;;) {
    if (host::Load(machine_.engine().estop)) return Wait::kEstop;
    if (done()) return Wait::kDone;
    if (deadline_ms_ && static_cast<std::int32_t>(platform::TickMs() - *deadline_ms_) >= 0) return Wait::kTimeout;
    Tick();
    platform::SleepMs(kPollMs);
  }
}

ProgramRunner::Wait ProgramRunner::Drain() {
  return WaitUntil([this] { return RingEmpty() && host::Load(machine_.engine().position_changed) != 0; });
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

RunResult ProgramRunner::Run(std::optional<double> time_limit_s,
                             const std::function<void(const RunProgress&)>& on_progress) {
  RunResult result;
  on_progress_ = &on_progress;
  start_ms_ = platform::TickMs();
  if (time_limit_s) deadline_ms_ = start_ms_ + static_cast<std::uint32_t>(*time_limit_s * 1000.0);
  host::EngineBlock& engine = machine_.engine();
  host::PlannerBlock& planner = machine_.planner();

  auto finish = [&](Wait how) {
    result.estop = how == Wait::kEstop;
    result.timed_out = how == Wait::kTimeout;
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
      });
      if (w != Wait::kDone) return finish(w);
      std::int32_t write = host::Load(engine.ring_write_index);
      host::RingSegment& slot = planner.segment_ring[write];
      for (int k = 0; k < 6; ++k) slot.axis_steps[k] = event.steps[k];
      engine.segment_tag[write] = ++tag_;
      if (!moving) host::Store(engine.position_changed, 0);
      moving = true;
      host::Store(engine.ring_write_index, (write + 1) & host::kRingMask);  // publishes the slot
      ++progress_.segments_planned;
      have_event = false;
      continue;
    }
    // Dwells and spindle changes happen once the motion before them has ended.
    if (moving) {
      Wait w = Drain();
      if (w != Wait::kDone) return finish(w);
      moving = false;
    }
    if (event.kind == kvgcode::PlanEvent::Kind::Dwell) {
      api_.DoDwell(event.dwell_s);
      Wait w = WaitUntil([&] { return host::Load(engine.dwell_active) == 0; });
      if (w != Wait::kDone) return finish(w);
    } else if (event.kind == kvgcode::PlanEvent::Kind::Spindle) {
      Spindle(event);
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
