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

#include "host_machine.h"
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
  std::string error;
  std::uint64_t segments_planned = 0;
  std::array<std::int64_t, 6> program_end_steps{};
  std::array<std::int32_t, 6> axis_position{};
  double wall_s = 0;
};

class ProgramRunner {
 public:
  ProgramRunner(HostMachine& machine, const PluginApi& api, const kvgcode::Program& program,
                const kvgcode::MachineSettings& settings, std::uint64_t segments_total);

  // Runs to the end of the program, an E-stop or the deadline. `on_progress` is called about
  // every 100 ms on this thread.
  RunResult Run(std::optional<double> time_limit_s, const std::function<void(const RunProgress&)>& on_progress);

 private:
  enum class Wait { kDone, kEstop, kTimeout };
  // Polls until `done` holds, the host is in E-stop or the deadline passes.
  Wait WaitUntil(const std::function<bool()>& done);
  bool RingEmpty() const;
  // Waits for the ring to drain and the machine to report rest (position_changed).
  Wait Drain();
  void Spindle(const kvgcode::PlanEvent& event);
  void Tick();

  HostMachine& machine_;
  const PluginApi& api_;
  kvgcode::Planner planner_;
  RunProgress progress_;
  std::uint32_t start_ms_ = 0;
  std::uint32_t last_progress_ms_ = 0;
  std::optional<std::uint32_t> deadline_ms_;
  const std::function<void(const RunProgress&)>* on_progress_ = nullptr;
  std::int32_t tag_ = 0;
};

}  // namespace kvhost
