// Streaming benchmark: the real plug-in (loaded as the host loads it) against the simulated board
// over loopback. One mode per run, since the plug-in is one per process:
//   (default)  start-up time, then at least a minute of contour motion planned by kvhost and
//              streamed at the given segment period: what a machinist would feel (underruns, the
//              board's lowest queue depth), the supervisor's and the service task's real periods,
//              and what the plug-in's own threads cost in CPU time per second of motion;
//   --wait S   the plug-in's CPU time per second while both links search for a board that is not there;
//   --estop N  E-stop latency, N trials each, from the board's stop report and from the E-stop
//              input to 0xCD arriving at the board;
//   --plan F   kvhost's planning rate on a G-code file.
// `--busy N` keeps N more threads spinning, to see the same with every core taken by other work.
//
// A benchmark program, not a test: it prints figures and exits 0 when the run completed.
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "board_wait.h"
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
#include "sim_board_setup.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
  double motion_s = 60.0;  // at least this much motion
  double segment_ms = 0;   // 0: the plug-in's default
  int busy_threads = 0;
  double wait_s = 0;       // > 0: the waiting mode
  int estop_trials = 0;    // > 0: the E-stop mode
  std::string plan_path;   // non-empty: the planning mode
  std::string plugin_path;
  std::string json_path;
};

const char* const kUsage =
    "usage: kv_stream_bench [--seconds S] [--segment-ms MS] [--busy N] [--plugin PATH] [--json PATH]\n"
    "       kv_stream_bench --wait S [--busy N] [--plugin PATH] [--json PATH]\n"
    "       kv_stream_bench --estop N [--busy N] [--plugin PATH] [--json PATH]\n"
    "       kv_stream_bench --plan FILE [--json PATH]\n"
    "  --seconds S     plan at least S seconds of motion (default 60)\n"
    "  --segment-ms MS the segment period (the profile's seg_len; default: the plug-in's)\n"
    "  --busy N        keep N threads spinning during the run (e.g. the machine's core count)\n"
    "  --wait S        measure the plug-in's CPU for S seconds with no board to find\n"
    "  --estop N       N E-stop trials from the board's stop report and N from the E-stop input\n"
    "  --plan FILE     plan a G-code file as kvhost does and print the rate\n"
    "  --plugin PATH   load this plug-in library instead of the one built with the benchmark\n"
    "  --json PATH     also write the figures as one JSON object\n";

bool ParseOptions(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool has_value = i + 1 < argc;
    if (arg == "--seconds" && has_value) {
      o.motion_s = std::atof(argv[++i]);
      if (!(o.motion_s > 0)) return false;
    } else if (arg == "--segment-ms" && has_value) {
      o.segment_ms = std::atof(argv[++i]);
      if (!(o.segment_ms > 0)) return false;
    } else if (arg == "--busy" && has_value) {
      o.busy_threads = std::atoi(argv[++i]);
      if (o.busy_threads < 0) return false;
    } else if (arg == "--wait" && has_value) {
      o.wait_s = std::atof(argv[++i]);
      if (!(o.wait_s > 0)) return false;
    } else if (arg == "--estop" && has_value) {
      o.estop_trials = std::atoi(argv[++i]);
      if (o.estop_trials <= 0) return false;
    } else if (arg == "--plan" && has_value) {
      o.plan_path = argv[++i];
    } else if (arg == "--plugin" && has_value) {
      o.plugin_path = argv[++i];
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

// CPU seconds of the given threads, and how many times they were woken, those that have ended
// counting as they were last seen.
class ThreadCpu {
 public:
  explicit ThreadCpu(std::vector<platform::ThreadId> threads) : threads_(std::move(threads)) { Sample(); }
  void Sample() {
    for (platform::ThreadId t : threads_) {
      if (std::optional<double> s = platform::ThreadCpuSeconds(t)) seen_[t] = *s;
      if (std::optional<std::uint64_t> n = platform::ThreadRunCount(t)) runs_[t] = *n;
    }
  }
  double Total() const {
    double sum = 0;
    for (const auto& [thread, seconds] : seen_) sum += seconds;
    return sum;
  }
  // Wake-ups of all the threads so far; empty where the system counts none.
  std::optional<std::uint64_t> Runs() const {
    if (runs_.empty()) return std::nullopt;
    std::uint64_t sum = 0;
    for (const auto& [thread, n] : runs_) sum += n;
    return sum;
  }
  // Per thread, in the order the threads were started (their ids grow).
  std::vector<double> PerThread() const {
    std::vector<double> out;
    for (const auto& [thread, seconds] : seen_) out.push_back(seconds);
    return out;
  }

 private:
  std::vector<platform::ThreadId> threads_;
  std::map<platform::ThreadId, double> seen_;
  std::map<platform::ThreadId, std::uint64_t> runs_;
};

// Wake-ups per second between two counts, as text and as JSON (null where none are counted).
std::string WakeupsText(std::optional<std::uint64_t> from, std::optional<std::uint64_t> to, double seconds) {
  if (!from || !to) return "not counted here";
  char text[32];
  std::snprintf(text, sizeof text, "%.0f per second", static_cast<double>(*to - *from) / seconds);
  return text;
}
std::string WakeupsJson(std::optional<std::uint64_t> from, std::optional<std::uint64_t> to, double seconds) {
  if (!from || !to) return "\"plugin_wakeups_per_s\": null";
  char text[64];
  std::snprintf(text, sizeof text, "\"plugin_wakeups_per_s\": %.1f", static_cast<double>(*to - *from) / seconds);
  return text;
}

// Median, 99th percentile and worst of a histogram by milliseconds, the last bucket open-ended.
struct Spread {
  std::size_t median = 0, p99 = 0, worst = 0;
  bool worst_open = false;  // the worst lies in the open-ended last bucket
  std::uint64_t count = 0;
};

template <std::size_t N>
Spread SpreadOf(const std::array<std::uint32_t, N>& histogram) {
  Spread s;
  for (std::uint32_t n : histogram) s.count += n;
  std::uint64_t seen = 0;
  bool median_set = false, p99_set = false;
  for (std::size_t ms = 0; ms < N; ++ms) {
    seen += histogram[ms];
    if (histogram[ms] != 0) s.worst = ms;
    if (s.count == 0) continue;
    if (!median_set && 2 * seen >= s.count) s.median = ms, median_set = true;
    if (!p99_set && 100 * seen >= 99 * s.count) s.p99 = ms, p99_set = true;
  }
  s.worst_open = s.count != 0 && histogram[N - 1] != 0;
  return s;
}

template <std::size_t N>
std::array<std::uint32_t, N> Minus(const std::uint32_t (&after)[N], const std::uint32_t (&before)[N]) {
  std::array<std::uint32_t, N> out{};
  for (std::size_t i = 0; i < N; ++i) out[i] = after[i] - before[i];
  return out;
}

std::string SpreadText(const Spread& s) {
  char text[96];
  std::snprintf(text, sizeof text, "median %zu ms, 99%% %zu ms, worst %zu%s ms", s.median, s.p99, s.worst,
                s.worst_open ? "+" : "");
  return text;
}

std::string SpreadJson(const char* name, const Spread& s) {
  char text[160];
  std::snprintf(text, sizeof text, "\"%s\": {\"median_ms\": %zu, \"p99_ms\": %zu, \"worst_ms\": %zu, \"runs\": %llu}",
                name, s.median, s.p99, s.worst, static_cast<unsigned long long>(s.count));
  return text;
}

// Latencies in microseconds: median, 99th percentile and worst.
struct Latency {
  double median_ms = 0, p99_ms = 0, worst_ms = 0;
  std::size_t trials = 0, missed = 0;
};

Latency LatencyOf(std::vector<std::int64_t> us, std::size_t missed) {
  Latency l;
  l.trials = us.size();
  l.missed = missed;
  if (us.empty()) return l;
  std::sort(us.begin(), us.end());
  auto at = [&](double q) {
    return static_cast<double>(us[std::min(us.size() - 1, static_cast<std::size_t>(q * static_cast<double>(us.size())))]) / 1000.0;
  };
  l.median_ms = at(0.5);
  l.p99_ms = at(0.99);
  l.worst_ms = static_cast<double>(us.back()) / 1000.0;
  return l;
}

std::string LatencyJson(const char* name, const Latency& l) {
  char text[200];
  std::snprintf(text, sizeof text,
                "\"%s\": {\"median_ms\": %.2f, \"p99_ms\": %.2f, \"worst_ms\": %.2f, \"trials\": %zu, \"missed\": %zu}",
                name, l.median_ms, l.p99_ms, l.worst_ms, l.trials, l.missed);
  return text;
}

std::int64_t NowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch()).count();
}

bool WriteJson(const std::string& path, const std::string& body) {
  if (path.empty()) return true;
  std::ofstream f(path);
  f << "{" << body << "}\n";
  if (!f) {
    std::fprintf(stderr, "kv_stream_bench: cannot write %s\n", path.c_str());
    return false;
  }
  return true;
}

// The plug-in, the simulated board (unless `with_board` is false) and the host, started as kvhost
// starts them; the plug-in's threads are told apart from the others by when they appeared.
class Bench {
 public:
  explicit Bench(const Options& options) : options_(options), session_(machine_) {}
  ~Bench() {
    if (session_.started()) session_.ShutDown();
    if (board_) board_->Stop();
  }

  bool Start(bool with_board) {
    std::string error;
    if (!kvhost::ChooseLink("ethernet", nullptr, error) ||
        !session_.Load(options_.plugin_path.empty() ? kvhost::DefaultPluginPath() : options_.plugin_path, error)) {
      std::fprintf(stderr, "kv_stream_bench: %s\n", error.c_str());
      return false;
    }
    config_.estop_pin = kEstopPin;
    const std::uint16_t listen_port = kvhost::FreeTcpPort();
    std::uint16_t discovery_port = kvhost::FreeUdpPort();  // nobody there when there is no board
    if (with_board) {
      board_ = kvhost::StartSimBoard(kvhost::SimBoardConfig(config_, listen_port), error);
      if (board_) discovery_port = board_->DiscoveryPort();
    }
    if ((with_board && !board_) || !session_.SetEndpoints({"127.0.0.1", discovery_port, listen_port}, error)) {
      std::fprintf(stderr, "kv_stream_bench: %s\n", error.c_str());
      return false;
    }
    busy_ = std::make_unique<BusyWork>(options_.busy_threads);

    // Every thread that exists now is the benchmark's, the board's or the busy work's; those that
    // appear with the plug-in's start are the plug-in's.
    const std::vector<platform::ThreadId> before = platform::ProcessThreadIds();
    const std::string profile = (std::filesystem::temp_directory_path() / "kv_stream_bench-profile.xml").string();
    std::remove(profile.c_str());
    if (options_.segment_ms > 0) {
      std::ofstream(profile) << "<profile><VEX><seg_len>" << static_cast<int>(options_.segment_ms * 1000.0 + 0.5)
                             << "</seg_len></VEX></profile>";
    }
    machine_.ApplyMachineConfig(config_);
    const Clock::time_point start = Clock::now();
    session_.StartUp(profile);
    if (with_board) {
      // From InitControl to streaming, looked at every millisecond.
      for (;;) {
        const host::LinkState link = kvhost::ReadLinkState(session_.api());
        if (link.link_open != 0 && link.identified != 0 && link.streaming != 0) break;
        if (Clock::now() - start > std::chrono::seconds(15)) {
          std::fprintf(stderr, "kv_stream_bench: the plug-in did not identify the board and stream to it\n");
          return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      startup_ms_ = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the plug-in's threads have started
    }
    const std::set<platform::ThreadId> known(before.begin(), before.end());
    for (platform::ThreadId t : platform::ProcessThreadIds()) {
      if (known.count(t) == 0) plugin_threads_.push_back(t);
    }
    return true;
  }

  static constexpr int kEstopPin = 9;

  kvhost::MachineConfig config_ = kvhost::DefaultMachineConfig();
  const Options& options_;
  kvhost::HostMachine machine_;
  kvhost::HostSession session_;
  std::unique_ptr<kvboard::SimBoard> board_;
  std::unique_ptr<BusyWork> busy_;
  std::vector<platform::ThreadId> plugin_threads_;
  double startup_ms_ = 0;
};

std::string PerThreadText(const std::vector<double>& cpu_s, double seconds) {
  std::string text;
  char one[32];
  for (double s : cpu_s) {
    std::snprintf(one, sizeof one, "%s%.2f", text.empty() ? "" : " ", s * 1000.0 / seconds);
    text += one;
  }
  return text;
}

std::string PerThreadJson(const std::vector<double>& cpu_s, double seconds) {
  std::string text = "[";
  char one[32];
  for (double s : cpu_s) {
    std::snprintf(one, sizeof one, "%s%.3f", text.size() == 1 ? "" : ", ", s * 1000.0 / seconds);
    text += one;
  }
  return text + "]";
}

int Stream(const Options& options) {
  Bench bench(options);
  if (!bench.Start(true)) return 3;
  kvhost::HostMachine& machine = bench.machine_;
  const double segment_time_s = machine.planner().segment_time;
  kvgcode::PlanSummary plan;
  const kvgcode::Program program = LapsProgram(options.motion_s, bench.config_.motion, segment_time_s, plan);
  std::printf("start-up (InitControl to streaming) %.0f ms\n", bench.startup_ms_);
  std::printf("streaming %llu segments (%.1f s of motion at %.3f ms), %d busy threads, %zu plug-in threads\n",
              static_cast<unsigned long long>(plan.segments), plan.estimated_time_s, segment_time_s * 1000.0,
              options.busy_threads, bench.plugin_threads_.size());

  const host::LinkState link_before = kvhost::ReadLinkState(bench.session_.api());
  ThreadCpu plugin_cpu(bench.plugin_threads_);
  const double plugin_cpu_start = plugin_cpu.Total();
  const std::optional<std::uint64_t> runs_start = plugin_cpu.Runs();
  const std::vector<double> per_thread_start = plugin_cpu.PerThread();
  kvhost::ProgramRunner runner(machine, bench.session_.api(), program, bench.config_.motion, plan.segments);
  const kvhost::RunResult run = runner.Run(plan.estimated_time_s * 2 + 30, [&](const kvhost::RunProgress&) {
    plugin_cpu.Sample();  // before a thread could end, so its time is not lost
  });
  plugin_cpu.Sample();
  const double plugin_cpu_s = plugin_cpu.Total() - plugin_cpu_start;
  std::vector<double> per_thread = plugin_cpu.PerThread();
  for (std::size_t i = 0; i < per_thread.size() && i < per_thread_start.size(); ++i) per_thread[i] -= per_thread_start[i];
  const host::LinkState link_after = kvhost::ReadLinkState(bench.session_.api());
  platform::SleepMs(100);
  const kvboard::Stats s = bench.board_->Snapshot();
  bench.session_.ShutDown();
  bench.board_->Stop();

  const double motion_s = static_cast<double>(plan.segments) * segment_time_s;
  const double cpu_ms_per_motion_s = plugin_cpu_s * 1000.0 / motion_s;
  const Spread wire = SpreadOf(s.segment_frame_gap_ms);
  const Spread supervisor = SpreadOf(Minus(link_after.supervisor_period_ms, link_before.supervisor_period_ms));
  const Spread service = SpreadOf(Minus(link_after.service_period_ms, link_before.service_period_ms));
  std::printf("run %s in %.1f s\n", run.completed ? "completed" : "did NOT complete", run.wall_s);
  std::printf("underruns %u, lowest board queue depth %d segments (%.0f ms of motion)\n", s.motion.underruns,
              s.motion.lowest_queue_depth, s.motion.lowest_queue_depth * segment_time_s * 1000.0);
  std::printf("supervisor period (its runs): %s\n", SpreadText(supervisor).c_str());
  std::printf("service task period (its runs): %s\n", SpreadText(service).c_str());
  std::printf("gaps between segment frames on the wire: %s\n", SpreadText(wire).c_str());
  std::printf("plug-in CPU %.2f ms per second of motion (%.3f s over %.1f s)\n", cpu_ms_per_motion_s, plugin_cpu_s,
              motion_s);
  std::printf("  per thread, in start order (Ethernet server, discovery, USB, scheduler): %s ms/s\n",
              PerThreadText(per_thread, motion_s).c_str());
  std::printf("plug-in threads woken %s of motion\n", WakeupsText(runs_start, plugin_cpu.Runs(), motion_s).c_str());

  char head[512];
  std::snprintf(head, sizeof head,
                "\"mode\": \"stream\", \"completed\": %s, \"busy_threads\": %d, \"segment_ms\": %.3f, \"motion_s\": %.3f, "
                "\"segments\": %llu, \"underruns\": %u, \"lowest_queue_depth\": %d, \"startup_ms\": %.1f, "
                "\"plugin_cpu_ms_per_s\": %.3f, ",
                run.completed ? "true" : "false", options.busy_threads, segment_time_s * 1000.0, motion_s,
                static_cast<unsigned long long>(plan.segments), s.motion.underruns, s.motion.lowest_queue_depth,
                bench.startup_ms_, cpu_ms_per_motion_s);
  const bool written = WriteJson(
      options.json_path, head + std::string("\"plugin_cpu_ms_per_s_by_thread\": ") + PerThreadJson(per_thread, motion_s) +
                             ", " + WakeupsJson(runs_start, plugin_cpu.Runs(), motion_s) + ", " + SpreadJson("supervisor_period", supervisor) + ", " +
                             SpreadJson("service_period", service) + ", " + SpreadJson("segment_frame_gap", wire));
  if (platform::LoopbackViolations() != 0) {
    std::fprintf(stderr, "kv_stream_bench: %llu sends or connects beyond loopback were refused\n",
                 static_cast<unsigned long long>(platform::LoopbackViolations()));
    return 1;
  }
  return run.completed && written ? 0 : 1;
}

int Wait(const Options& options) {
  Bench bench(options);
  if (!bench.Start(false)) return 3;
  ThreadCpu plugin_cpu(bench.plugin_threads_);
  const double start_s = plugin_cpu.Total();
  const std::optional<std::uint64_t> runs_start = plugin_cpu.Runs();
  const std::vector<double> per_thread_start = plugin_cpu.PerThread();
  const Clock::time_point start = Clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(options.wait_s));
  plugin_cpu.Sample();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  const double cpu_ms_per_s = (plugin_cpu.Total() - start_s) * 1000.0 / seconds;
  std::vector<double> per_thread = plugin_cpu.PerThread();
  for (std::size_t i = 0; i < per_thread.size() && i < per_thread_start.size(); ++i) per_thread[i] -= per_thread_start[i];
  const host::LinkState link = kvhost::ReadLinkState(bench.session_.api());
  bench.session_.ShutDown();
  std::printf("waiting for a board (both links searching) for %.1f s, %d busy threads, %zu plug-in threads\n", seconds,
              options.busy_threads, bench.plugin_threads_.size());
  std::printf("plug-in CPU %.2f ms per second\n", cpu_ms_per_s);
  std::printf("  per thread, in start order (Ethernet server, discovery, USB, scheduler): %s ms/s\n",
              PerThreadText(per_thread, seconds).c_str());
  std::printf("plug-in threads woken %s\n", WakeupsText(runs_start, plugin_cpu.Runs(), seconds).c_str());
  char body[256];
  std::snprintf(body, sizeof body,
                "\"mode\": \"wait\", \"busy_threads\": %d, \"seconds\": %.3f, \"connections\": %u, "
                "\"plugin_cpu_ms_per_s\": %.3f, \"plugin_cpu_ms_per_s_by_thread\": ",
                options.busy_threads, seconds, link.connections, cpu_ms_per_s);
  const bool written = WriteJson(options.json_path, body + PerThreadJson(per_thread, seconds) + ", " +
                                                        WakeupsJson(runs_start, plugin_cpu.Runs(), seconds));
  if (link.connections != 0) {
    std::fprintf(stderr, "kv_stream_bench: a board was found where none should be\n");
    return 1;
  }
  return platform::LoopbackViolations() == 0 && written ? 0 : 1;
}

// Runs of the motion supervisor so far (its period histogram counts every run after the first).
std::uint64_t SupervisorRuns(const kvhost::PluginApi& api) {
  const host::LinkState link = kvhost::ReadLinkState(api);
  std::uint64_t runs = 0;
  for (std::uint32_t n : link.supervisor_period_ms) runs += n;
  return runs;
}

// Takes the machine out of E-stop as the operator's reset does, and waits for the board's enable.
// The reset waits for the supervisor's next run to begin first: 0xCD reaches the board while the
// run that sent it is still carrying out the E-stop (raising the host's flag among the rest), and
// a reset made then is overwritten by that run, leaving the machine E-stopped for the next trial.
// A plug-in that hands out no run counts gets a fixed pause of more than one run instead.
bool ResetEstop(Bench& bench, std::uint64_t runs_at_estop) {
  constexpr auto kSettleBound = std::chrono::milliseconds(100);
  kvboard::SimBoard& board = *bench.board_;
  const Clock::time_point settle_until = Clock::now() + kSettleBound;
  while (SupervisorRuns(bench.session_.api()) <= runs_at_estop && Clock::now() < settle_until) {
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
  const std::uint32_t enables = board.Snapshot().enables;
  host::Store(bench.machine_.engine().estop, std::uint8_t{0});
  return board.WaitFor([&](const kvboard::Stats& s) { return s.enables > enables && !s.estopped; }, 3000);
}

// Whether a trial may begin: the host out of E-stop and the board enabled. A trial begun otherwise
// would count the plug-in's correct silence (the machine is stopped already) as a missed E-stop.
bool ReadyForTrial(Bench& bench) {
  return host::Load(bench.machine_.engine().estop) == 0 && !bench.board_->Snapshot().estopped;
}

enum class Trial { kSeen, kMissed, kNotReady };

// One E-stop trial: `raise` makes the board report the cause; the latency runs from just before
// it to the board decoding 0xCD. Then the cause is withdrawn and the machine reset. kMissed when
// no 0xCD came within the bound; kNotReady when the machine could not be brought out of E-stop
// for the trial to begin.
template <class Raise, class Clear>
Trial EstopTrial(Bench& bench, Raise&& raise, Clear&& clear, std::int64_t& latency_us) {
  constexpr auto kBound = std::chrono::seconds(3);
  kvboard::SimBoard& board = *bench.board_;
  if (!ReadyForTrial(bench) && (!ResetEstop(bench, 0) || !ReadyForTrial(bench))) return Trial::kNotReady;
  const std::uint32_t estops = board.Snapshot().estops;
  const std::int64_t t0 = NowUs();
  raise();
  const Clock::time_point until = Clock::now() + kBound;
  bool seen = false;
  for (;;) {
    const kvboard::Stats s = board.Snapshot();
    if (s.estops > estops) {
      latency_us = s.last_estop_us - t0;
      seen = true;
      break;
    }
    if (Clock::now() > until) break;
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
  const std::uint64_t runs = SupervisorRuns(bench.session_.api());
  clear();
  ResetEstop(bench, runs);
  return seen ? Trial::kSeen : Trial::kMissed;
}

int Estop(const Options& options) {
  Bench bench(options);
  if (!bench.Start(true)) return 3;
  kvboard::SimBoard& board = *bench.board_;
  std::vector<std::int64_t> from_report, from_input;
  std::size_t missed_report = 0, missed_input = 0, not_ready = 0;
  std::uint32_t phase = 12345;  // each trial starts at another point of the scheduler's cycle
  auto pause = [&] {
    phase = phase * 1103515245u + 12345u;
    std::this_thread::sleep_for(std::chrono::microseconds(20000 + (phase >> 8) % 40000));
  };
  for (int i = 0; i < options.estop_trials; ++i) {
    pause();
    std::int64_t us = 0;
    // The pendant's E-stop is always in the board's stop mask.
    switch (EstopTrial(bench, [&] { board.SendStopReport(1); }, [] {}, us)) {
      case Trial::kSeen: from_report.push_back(us); break;
      case Trial::kMissed: ++missed_report; break;
      case Trial::kNotReady: ++not_ready; break;
    }
  }
  for (int i = 0; i < options.estop_trials; ++i) {
    pause();
    std::int64_t us = 0;
    const Trial trial = EstopTrial(bench, [&] { board.SetInput(Bench::kEstopPin, true); },
                                   [&] {
                                     board.SetInput(Bench::kEstopPin, false);
                                     platform::SleepMs(20);  // reported released before the host leaves E-stop
                                   },
                                   us);
    switch (trial) {
      case Trial::kSeen: from_input.push_back(us); break;
      case Trial::kMissed: ++missed_input; break;
      case Trial::kNotReady: ++not_ready; break;
    }
  }
  bench.session_.ShutDown();
  const Latency report = LatencyOf(from_report, missed_report);
  const Latency input = LatencyOf(from_input, missed_input);
  std::printf("E-stop latency to 0xCD at the board, %d busy threads:\n", options.busy_threads);
  std::printf("  from the board's stop report: median %.2f ms, 99%% %.2f ms, worst %.2f ms (%zu trials, %zu missed)\n",
              report.median_ms, report.p99_ms, report.worst_ms, report.trials, report.missed);
  std::printf("  from the E-stop input:        median %.2f ms, 99%% %.2f ms, worst %.2f ms (%zu trials, %zu missed)\n",
              input.median_ms, input.p99_ms, input.worst_ms, input.trials, input.missed);
  if (not_ready != 0) {
    std::printf("  %zu trials not run: the machine could not be brought out of E-stop before them\n", not_ready);
  }
  char head[128];
  std::snprintf(head, sizeof head, "\"mode\": \"estop\", \"busy_threads\": %d, \"not_ready\": %zu, ",
                options.busy_threads, not_ready);
  const bool written = WriteJson(options.json_path, head + LatencyJson("from_stop_report", report) + ", " +
                                                        LatencyJson("from_estop_input", input));
  return missed_report == 0 && missed_input == 0 && not_ready == 0 && written && platform::LoopbackViolations() == 0
             ? 0
             : 1;
}

int Plan(const Options& options) {
  std::ifstream in(options.plan_path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  if (!in) {
    std::fprintf(stderr, "kv_stream_bench: cannot read %s\n", options.plan_path.c_str());
    return 1;
  }
  const kvhost::MachineConfig config = kvhost::DefaultMachineConfig();
  const Clock::time_point t0 = Clock::now();
  kvgcode::ParseResult parsed = kvgcode::ParseProgram(text.str());
  if (!parsed.ok()) {
    std::fprintf(stderr, "kv_stream_bench: %s: %s\n", options.plan_path.c_str(), parsed.error().message.c_str());
    return 1;
  }
  const kvgcode::Program program = std::move(parsed).program();
  const Clock::time_point t1 = Clock::now();
  // Planned again until a second has passed, for a steady figure on a small program.
  kvgcode::PlanSummary plan;
  int rounds = 0;
  Clock::time_point t2 = t1;
  do {
    plan = kvgcode::Summarize(program, config.motion, config.segment_time_s);
    ++rounds;
    t2 = Clock::now();
  } while (t2 - t1 < std::chrono::seconds(1) && !plan.error);
  if (plan.error) {
    std::fprintf(stderr, "kv_stream_bench: %s: %s\n", options.plan_path.c_str(), plan.error->c_str());
    return 1;
  }
  const double parse_s = std::chrono::duration<double>(t1 - t0).count();
  const double plan_s = std::chrono::duration<double>(t2 - t1).count() / rounds;
  const double moves_per_s = static_cast<double>(plan.moves) / plan_s;
  const double segments_per_s = static_cast<double>(plan.segments) / plan_s;
  std::printf("planning %s: %llu moves, %llu segments (%.1f s of motion) in %.1f ms (parsed in %.1f ms): %.0f moves/s, %.0f segments/s\n",
              std::filesystem::path(options.plan_path).filename().string().c_str(),
              static_cast<unsigned long long>(plan.moves), static_cast<unsigned long long>(plan.segments),
              plan.estimated_time_s, plan_s * 1000.0, parse_s * 1000.0, moves_per_s, segments_per_s);
  char body[512];
  std::snprintf(body, sizeof body,
                "\"mode\": \"plan\", \"program\": \"%s\", \"moves\": %llu, \"segments\": %llu, \"plan_ms\": %.2f, "
                "\"parse_ms\": %.2f, \"moves_per_s\": %.0f, \"segments_per_s\": %.0f",
                std::filesystem::path(options.plan_path).filename().string().c_str(),
                static_cast<unsigned long long>(plan.moves), static_cast<unsigned long long>(plan.segments),
                plan_s * 1000.0, parse_s * 1000.0, moves_per_s, segments_per_s);
  return WriteJson(options.json_path, body) ? 0 : 1;
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
  if (!options.plan_path.empty()) return Plan(options);
  if (options.wait_s > 0) return Wait(options);
  if (options.estop_trials > 0) return Estop(options);
  return Stream(options);
}
