// Runs a planned G-code program through the plug-in: fills the host's 4096-slot segment ring
// ahead of the plug-in's read index (never more than the planner's queue_limit waiting, never
// over the read index), carries dwells and spindle commands to the plug-in's entry points, and
// waits until the machine has come to rest at the end.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>

#include "host_machine.h"
#include "block_source.h"
#include "planner.h"
#include "plugin_api.h"
#include "program.h"

namespace kvhost {

struct RunProgress {
  std::uint64_t segments_planned = 0;
  std::uint64_t segments_total = 0;  // from the dry-run summary
  double elapsed_s = 0;
};

struct RunResult {
  bool completed = false;
  bool estop = false;
  bool timed_out = false;
  bool stalled = false;      // motion outstanding and no progress from the board for too long
  bool interrupted = false;  // Ctrl-C or SIGTERM
  std::string error;
  std::uint64_t segments_planned = 0;
  std::array<std::int64_t, 6> program_end_steps{};
  std::array<std::int32_t, 6> axis_position{};
  double wall_s = 0;
};

class ProgramRunner {
 public:
  // The program is read as the ring has room; it is referenced and must outlive the runner.
  ProgramRunner(HostMachine& machine, const PluginApi& api, kvgcode::BlockSource& program,
                const kvgcode::MachineSettings& settings, std::uint64_t segments_total);
  ProgramRunner(HostMachine& machine, const PluginApi& api, const kvgcode::Program& program,
                const kvgcode::MachineSettings& settings, std::uint64_t segments_total);

  // Called at M0/M1 once the motion before it has ended; true goes on, false stops the run as
  // an interrupt does. Without one, pauses are passed over.
  using PauseHandler = std::function<bool(const kvgcode::PlanEvent& pause)>;
  void SetPauseHandler(PauseHandler handler) { pause_handler_ = std::move(handler); }
  // Called with a line for the operator (a coolant command with no output to switch).
  void SetNoteHandler(std::function<void(const std::string&)> handler) { note_handler_ = std::move(handler); }

  // Runs to the end of the program, an E-stop, the deadline, a stalled board or an interrupt.
  // The end is the plug-in's report of rest after the last segment has left the ring, so a run
  // is complete only once the board has executed the whole program. `on_progress` is called
  // about every 100 ms on this thread.
  RunResult Run(std::optional<double> time_limit_s, const std::function<void(const RunProgress&)>& on_progress);

  // Called on the run's thread with every segment as it is published to the ring.
  void OnSegment(std::function<void(const kvgcode::PlanEvent&)> observer) { on_segment_ = std::move(observer); }
  // Called on the run's thread with the host's axis positions (the board's, as the plug-in
  // reports them), at most once per `period_ms` while the run waits on the plug-in.
  void OnPosition(std::function<void(const std::array<std::int32_t, 6>&)> observer, std::uint32_t period_ms) {
    on_position_ = std::move(observer);
    position_period_ms_ = period_ms;
  }

 private:
  enum class Wait { kDone, kEstop, kTimeout, kStalled, kInterrupted };
  // Polls until `done` holds, the host is in E-stop, the deadline passes or an interrupt comes.
  // With `motion` set, segments are outstanding and the board must show progress (a position or
  // the ring's read index moving) at least once per stall bound.
  Wait WaitUntil(const std::function<bool()>& done, bool motion);
  bool RingEmpty() const;
  // Waits for the ring to drain and the machine to report rest (position_changed).
  Wait Drain();
  void Spindle(const kvgcode::PlanEvent& event);
  void Coolant(const kvgcode::PlanEvent& event);
  void Tick();
  void SamplePosition(std::uint32_t now);
  // Progress the host can see: where the axes are and how far the plug-in has read the ring.
  std::array<std::int32_t, 7> ProgressMark() const;

  HostMachine& machine_;
  const PluginApi& api_;
  kvgcode::Planner planner_;
  RunProgress progress_;
  std::uint32_t start_ms_ = 0;
  std::uint32_t last_progress_ms_ = 0;
  std::optional<std::uint32_t> deadline_ms_;
  const std::function<void(const RunProgress&)>* on_progress_ = nullptr;
  std::int32_t tag_ = 0;
  std::uint32_t stall_bound_ms_ = 0;
  std::function<void(const kvgcode::PlanEvent&)> on_segment_;
  std::function<void(const std::array<std::int32_t, 6>&)> on_position_;
  std::uint32_t position_period_ms_ = 0;
  std::uint32_t last_position_ms_ = 0;
  PauseHandler pause_handler_;
  std::function<void(const std::string&)> note_handler_;
  bool told_no_mist_ = false;
  bool told_no_flood_ = false;
};

// How long a board may show no progress while motion is outstanding: a few seconds, plus the
// time to execute a full window of segments (the longest the last ones may take after the ring
// has emptied).
std::uint32_t StallBoundMs(std::int32_t queue_limit, double segment_time_s);

}  // namespace kvhost
