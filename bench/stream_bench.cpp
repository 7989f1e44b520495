// Streaming benchmark: a minute or more of contour motion planned by kvhost, streamed by the real
// plug-in (loaded as the host loads it) to the simulated board over loopback, at the plug-in's
// default segment period. It reports what a machinist would feel (underruns, the board's lowest
// queue depth), the supervisor's real period as the board sees it, and what the plug-in's own
// threads cost in CPU time per second of motion. `--busy N` keeps N more threads spinning, to
// see the same with every core taken by other work.
//
// A benchmark program, not a test: it prints figures and exits 0 when the run completed.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "host_machine.h"
#include "host_session.h"
#include "loopback_ports.h"
#include "machine_config.h"
#include "plan_summary.h"
#include "platform/clock.h"
#include "platform/cpu_time.h"
#include "platform/socket.h"
#include "program.h"
#include "program_runner.h"
#include "shell/host_access.h"
#include "board_wait.h"
#include "sim_board_setup.h"

namespace {

struct Options {
  double motion_s = 60.0;  // at least this much motion
  int busy_threads = 0;
  std::string json_path;
};

const char* const kUsage =
    "usage: kv_stream_bench [--seconds S] [--busy N] [--json PATH]\n"
    "  --seconds S  plan at least S seconds of motion (default 60)\n"
    "  --busy N     keep N threads spinning during the run (e.g. the machine's core count)\n"
    "  --json PATH  also write the figures as one JSON object\n";

bool ParseOptions(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool has_value = i + 1 < argc;
    if (arg == "--seconds" && has_value) {
      o.motion_s = std::atof(argv[++i]);
      if (!(o.motion_s > 0)) return false;
    } else if (arg == "--busy" && has_value) {
      o.busy_threads = std::atoi(argv[++i]);
      if (o.busy_threads < 0) return false;
    } else if (arg == "--json" && has_value) {
      o.json_path = argv[++i];
    } else {
      return false;
    }
  }
  return true;
}

// One lap of a rounded rectangle, 222.8 mm at 50 mm/s: straight runs, four quarter arcs and the
// accelerations between them.
constexpr const char* kLap =
    "G1 X60 Y0\n"
    "G3 X70 Y10 I0 J10\n"
    "G1 X70 Y40\n"
    "G3 X60 Y50 I-10 J0\n"
    "G1 X10 Y50\n"
    "G3 X0 Y40 I0 J-10\n"
    "G1 X0 Y10\n"
    "G3 X10 Y0 I10 J0\n";

// A program of `laps` laps, parsed and planned (`plan`); exits on a fault, which would be ours.
kvgcode::Program Laps(int laps, const kvgcode::MachineSettings& motion, double segment_time_s,
                      kvgcode::PlanSummary& plan) {
  std::string text = "G21 G90 G17 G64\nG0 X10 Y0 Z1\nG1 Z0 F600\nF3000\n";
  for (int i = 0; i < laps; ++i) text += kLap;
  text += "G0 Z1\nM30\n";
  kvgcode::ParseResult parsed = kvgcode::ParseProgram(text);
  if (!parsed.ok()) {
    std::fprintf(stderr, "kv_stream_bench: %s\n", parsed.error().message.c_str());
    std::exit(1);
  }
  kvgcode::Program program = std::move(parsed).program();
  plan = kvgcode::Summarize(program, motion, segment_time_s);
  if (plan.error) {
    std::fprintf(stderr, "kv_stream_bench: %s\n", plan.error->c_str());
    std::exit(1);
  }
  return program;
}

// As many laps as make the planned motion last at least `motion_s`.
kvgcode::Program LapsProgram(double motion_s, const kvgcode::MachineSettings& motion, double segment_time_s,
                             kvgcode::PlanSummary& plan) {
  Laps(1, motion, segment_time_s, plan);
  int laps = std::max(1, static_cast<int>(motion_s / plan.estimated_time_s));
  for (;; ++laps) {
    kvgcode::Program program = Laps(laps, motion, segment_time_s, plan);
    if (plan.estimated_time_s >= motion_s) return program;
  }
}

// Threads that spin until told to stop: other work competing for the cores.
class BusyWork {
 public:
  explicit BusyWork(int threads) {
    for (int i = 0; i < threads; ++i) {
      threads_.emplace_back([this] {
        volatile double x = 1.0;
        while (!stop_.load(std::memory_order_relaxed)) x = x * 1.0000001 + 1e-9;
      });
    }
  }
  ~BusyWork() {
    stop_ = true;
    for (std::thread& t : threads_) t.join();
  }

 private:
  std::atomic<bool> stop_{false};
  std::vector<std::thread> threads_;
};

// CPU seconds of the given threads, those that have ended counting as they were last seen.
class ThreadCpu {
 public:
  explicit ThreadCpu(std::vector<platform::ThreadId> threads) : threads_(std::move(threads)) { Sample(); }
  void Sample() {
    for (platform::ThreadId t : threads_) {
      if (std::optional<double> s = platform::ThreadCpuSeconds(t)) seen_[t] = *s;
    }
  }
  double Total() const {
    double sum = 0;
    for (const auto& [thread, seconds] : seen_) sum += seconds;
    return sum;
  }

 private:
  std::vector<platform::ThreadId> threads_;
  std::map<platform::ThreadId, double> seen_;
};

// The value below which `fraction` of the histogram's entries lie, in buckets (ms).
std::size_t Percentile(const std::array<std::uint32_t, kvboard::kGapBuckets>& histogram, double fraction) {
  std::uint64_t total = 0;
  for (std::uint32_t n : histogram) total += n;
  std::uint64_t seen = 0;
  for (std::size_t ms = 0; ms < histogram.size(); ++ms) {
    seen += histogram[ms];
    if (total > 0 && static_cast<double>(seen) >= fraction * static_cast<double>(total)) return ms;
  }
  return 0;
}

std::size_t Worst(const std::array<std::uint32_t, kvboard::kGapBuckets>& histogram) {
  for (std::size_t ms = histogram.size(); ms-- > 0;) {
    if (histogram[ms] != 0) return ms;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // Loopback only, like the tests: the plug-in's default discovery destination is never addressed.
  platform::SetLoopbackOnly(true);
  Options options;
  if (!ParseOptions(argc, argv, options)) {
    std::fprintf(stderr, "%s", kUsage);
    return 2;
  }

  kvhost::MachineConfig config = kvhost::DefaultMachineConfig();
  kvhost::HostMachine machine;
  kvhost::HostSession session(machine);
  std::string error;
  if (!session.Load(kvhost::DefaultPluginPath(), error)) {
    std::fprintf(stderr, "kv_stream_bench: %s\n", error.c_str());
    return 1;
  }
  const std::uint16_t listen_port = kvhost::FreeTcpPort();
  std::unique_ptr<kvboard::SimBoard> board =
      kvhost::StartSimBoard(kvhost::SimBoardConfig(config, listen_port), error);
  if (!board || !session.SetEndpoints({"127.0.0.1", board->DiscoveryPort(), listen_port}, error)) {
    std::fprintf(stderr, "kv_stream_bench: %s\n", error.c_str());
    return 1;
  }
  BusyWork busy(options.busy_threads);

  // Every thread that exists now is the benchmark's, the board's or the busy work's; those that
  // appear with the plug-in's start are the plug-in's.
  const std::vector<platform::ThreadId> before = platform::ProcessThreadIds();
  const std::string profile = (std::filesystem::temp_directory_path() / "kv_stream_bench-profile.xml").string();
  std::remove(profile.c_str());
  machine.ApplyMachineConfig(config);
  session.StartUp(profile);
  if (!kvhost::WaitForBoard(session.api(), machine, 15.0)) {
    std::fprintf(stderr, "kv_stream_bench: the plug-in did not identify the board and stream to it\n");
    session.ShutDown();
    return 3;
  }
  std::vector<platform::ThreadId> plugin_threads;
  const std::set<platform::ThreadId> known(before.begin(), before.end());
  for (platform::ThreadId t : platform::ProcessThreadIds()) {
    if (known.count(t) == 0) plugin_threads.push_back(t);
  }

  const double segment_time_s = machine.planner().segment_time;
  kvgcode::PlanSummary plan;
  const kvgcode::Program program = LapsProgram(options.motion_s, config.motion, segment_time_s, plan);
  std::printf("streaming %llu segments (%.1f s of motion at %.3f ms), %d busy threads, %zu plug-in threads\n",
              static_cast<unsigned long long>(plan.segments), plan.estimated_time_s, segment_time_s * 1000.0,
              options.busy_threads, plugin_threads.size());

  ThreadCpu plugin_cpu(plugin_threads);
  const double plugin_cpu_start = plugin_cpu.Total();
  kvhost::ProgramRunner runner(machine, session.api(), program, config.motion, plan.segments);
  const kvhost::RunResult run = runner.Run(plan.estimated_time_s * 2 + 30, [&](const kvhost::RunProgress&) {
    plugin_cpu.Sample();  // before a thread could end, so its time is not lost
  });
  plugin_cpu.Sample();
  const double plugin_cpu_s = plugin_cpu.Total() - plugin_cpu_start;
  platform::SleepMs(100);
  const kvboard::Stats s = board->Snapshot();
  session.ShutDown();
  board->Stop();

  const double motion_s = static_cast<double>(plan.segments) * segment_time_s;
  const double cpu_ms_per_motion_s = plugin_cpu_s * 1000.0 / motion_s;
  const std::size_t period_median = Percentile(s.segment_frame_gap_ms, 0.5);
  const std::size_t period_p99 = Percentile(s.segment_frame_gap_ms, 0.99);
  const std::size_t period_worst = Worst(s.segment_frame_gap_ms);
  std::printf("run %s in %.1f s\n", run.completed ? "completed" : "did NOT complete", run.wall_s);
  std::printf("underruns %u, lowest board queue depth %d segments (%.0f ms of motion)\n", s.motion.underruns,
              s.motion.lowest_queue_depth, s.motion.lowest_queue_depth * segment_time_s * 1000.0);
  std::printf("supervisor period (gaps between segment frames): median %zu ms, 99%% %zu ms, worst %zu%s ms\n",
              period_median, period_p99, period_worst, period_worst == kvboard::kGapBuckets - 1 ? "+" : "");
  std::printf("plug-in CPU %.1f ms per second of motion (%.3f s over %.1f s)\n", cpu_ms_per_motion_s, plugin_cpu_s,
              motion_s);

  if (!options.json_path.empty()) {
    std::FILE* f = std::fopen(options.json_path.c_str(), "w");
    if (f == nullptr) {
      std::fprintf(stderr, "kv_stream_bench: cannot write %s\n", options.json_path.c_str());
    } else {
      std::fprintf(f,
                   "{\"completed\": %s, \"busy_threads\": %d, \"motion_s\": %.3f, \"segments\": %llu, "
                   "\"underruns\": %u, \"lowest_queue_depth\": %d, \"supervisor_period_median_ms\": %zu, "
                   "\"supervisor_period_p99_ms\": %zu, \"supervisor_period_worst_ms\": %zu, "
                   "\"plugin_cpu_ms_per_motion_s\": %.3f}\n",
                   run.completed ? "true" : "false", options.busy_threads, motion_s,
                   static_cast<unsigned long long>(plan.segments), s.motion.underruns, s.motion.lowest_queue_depth,
                   period_median, period_p99, period_worst, cpu_ms_per_motion_s);
      std::fclose(f);
    }
  }
  if (platform::LoopbackViolations() != 0) {
    std::fprintf(stderr, "kv_stream_bench: %llu sends or connects beyond loopback were refused\n",
                 static_cast<unsigned long long>(platform::LoopbackViolations()));
    return 1;
  }
  return run.completed ? 0 : 1;
}
