// kvhost: the replacement host. Loads the plug-in library as the CNC control host does, hands it
// the host's blocks and callbacks, and either shows the board it finds or runs a G-code program
// through it, against the simulated board (default) or a real one.
#include <array>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "board_commands.h"
#include "board_wait.h"
#include "dialog_view.h"
#include "host_machine.h"
#include "host_session.h"
#include "loopback_ports.h"
#include "machine_config.h"
#include "operator_prompt.h"
#include "options.h"
#include "path_plot.h"
#include "plan_summary.h"
#include "platform/clock.h"
#include "platform/cpu_time.h"
#include "platform/dialog.h"
#include "platform/interrupt.h"
#include "platform/message_box.h"
#include "platform/terminal.h"
#include "program_file.h"
#include "program_runner.h"
#include "run_summary.h"
#include "shell/host_access.h"
#include "sim_board_setup.h"
#include "watch.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitBadInput = 1;
constexpr int kExitUsage = 2;
constexpr int kExitNoBoard = 3;
constexpr int kExitEstop = 4;
constexpr int kExitInterrupted = 5;
constexpr int kExitEndMismatch = 6;  // the machine did not end where the program ends
constexpr int kExitUnderruns = 7;    // the board's queue ran dry mid-motion
constexpr std::uint32_t kStopMotionWaitMs = 1000;
constexpr double kDefaultBoardWait_s = 15.0;

int Fail(int code, const std::string& message) {
  std::fprintf(stderr, "kvhost: %s\n", message.c_str());
  return code;
}

void PrintDryRun(const std::string& program, const kvgcode::PlanSummary& s, double segment_time) {
  std::printf("%s: %llu moves, %llu segments at %.3f ms, estimated run time %.1f s (dwells %.1f s)\n",
              program.c_str(), static_cast<unsigned long long>(s.moves), static_cast<unsigned long long>(s.segments),
              segment_time * 1000.0, s.estimated_time_s, s.dwell_time_s);
  const char* axes = "XYZABC";
  for (int k = 0; k < 6; ++k) {
    std::printf("  %c end %12.4f units  %12lld steps\n", axes[k], s.end_units[k], static_cast<long long>(s.end_steps[k]));
  }
}

// The identity as the plug-in's dialog shows it to the user.
void PrintIdentity(const kvhost::PluginApi& api) {
  api.Config();
  std::vector<platform::Dialog*> dialogs = platform::OpenDialogs();
  if (dialogs.empty()) {
    std::printf("the plug-in showed no dialog\n");
    return;
  }
  platform::Dialog& d = *dialogs.front();
  // The board's texts are printed escaped: a serial number may hold any byte.
  std::printf("board: serial %s, model %s, firmware %s, axes %s, pulse rate %s, link %s\n",
              kvhost::EscapeControls(d.ItemText(4167)).c_str(), kvhost::EscapeControls(d.ItemText(4165)).c_str(),
              d.ItemText(4168).c_str(), d.ItemText(4169).c_str(), d.ItemText(4170).c_str(), d.ItemText(4166).c_str());
  d.Hide();
}

void ProgressBar(const kvhost::RunProgress& p) {
  double fraction = p.segments_total ? static_cast<double>(p.segments_planned) / static_cast<double>(p.segments_total) : 0;
  if (fraction > 1) fraction = 1;
  constexpr int kWidth = 40;
  int filled = static_cast<int>(fraction * kWidth);
  std::printf("\r[%.*s%*s] %5.1f%%  %llu/%llu segments  %.1f s", filled, "########################################",
              kWidth - filled, "", fraction * 100.0, static_cast<unsigned long long>(p.segments_planned),
              static_cast<unsigned long long>(p.segments_total), p.elapsed_s);
  std::fflush(stdout);
}

// Stops the machine as an E-stop does (the board's queue and the ring dropped) and waits, with a
// bound, for the plug-in to have carried it out.
void StopMotion(const kvhost::PluginApi& api, kvhost::HostMachine& machine) {
  api.Notify(10);
  const std::uint32_t start = platform::TickMs();
  while (host::Load(machine.engine().estop) == 0 && platform::TickMs() - start < kStopMotionWaitMs) {
    platform::SleepMs(10);
  }
  platform::SleepMs(50);  // the E-stop frame is sent in the same run that sets the flag
}

void AddPlotNotes(kvhost::PathPlot& plot, const std::string& what, const std::optional<std::string>& error) {
  char text[160];
  std::snprintf(text, sizeof text, "%s, %llu segments; %s", what.c_str(),
                static_cast<unsigned long long>(plot.segments()),
                plot.executed().points().size() >= 2 ? "the board's reported positions over it" : "nothing executed");
  plot.AddNote(text);
  plot.AddNote(kvhost::DescribePath(plot));
  if (plot.chords()) {
    plot.AddNote("past " + std::to_string(kvhost::kMaxDrawnSegments) +
                 " segments each move is drawn from its first segment straight to its end");
  }
  if (error) plot.AddNote("planning stopped: " + *error);
}

bool WritePlot(const kvhost::PathPlot& plot, const kvhost::Options& options, std::string& error) {
  if (!plot.Write(options.plot, "kvhost: " + options.program, error)) return false;
  std::printf("plot %s: %s\n", options.plot.c_str(), kvhost::DescribePath(plot).c_str());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  // Whatever ends the run, every line printed so far reaches a pipe or a file.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  platform::CatchInterrupts();
  kvhost::Options options;
  std::string error;
  if (!kvhost::ParseOptions(argc, argv, options, error)) {
    std::fprintf(stderr, "kvhost: %s\n%s", error.c_str(), kvhost::kUsage);
    return kExitUsage;
  }
  if (options.help) {
    std::printf("%s", kvhost::kUsage);
    return kExitOk;
  }
  if (options.dry_run && options.program.empty()) return Fail(kExitUsage, "--dry-run needs a program");
  // A picture that could never be written is said before anything is planned or moved.
  if (!options.plot.empty()) {
    if (auto problem = kvhost::UnwritablePlotPath(options.plot)) return Fail(kExitBadInput, *problem);
  }

  kvhost::MachineConfig machine_config;
  if (!kvhost::LoadMachineConfig(options.profile_path, machine_config, error)) return Fail(kExitBadInput, error);

  // The program is checked whole before anything moves, then read again as it is planned: it is
  // never held in memory, whatever its size.
  std::optional<kvgcode::ProgramFile> program;
  if (!options.program.empty()) {
    std::error_code ec;
    if (std::filesystem::is_directory(options.program, ec)) {
      return Fail(kExitBadInput, options.program + " is a folder, not a program");
    }
    program.emplace();
    if (!program->Open(options.program, error)) return Fail(kExitBadInput, error);
    if (auto fault = kvgcode::CheckProgram(*program, machine_config.motion.work)) {
      return Fail(kExitBadInput, options.program + ": " + fault->message);
    }
    // A pause waits for the operator's Enter: with nobody at a terminal it would wait for ever
    // or read a stray line as the go-ahead, so such a run is refused unless pauses are skipped.
    if (!options.dry_run && !options.skip_pauses) {
      if (const auto pause = kvgcode::FirstPause(*program)) {
        if (!platform::IsTerminal(platform::Stream::kIn)) {
          return Fail(kExitBadInput, options.program + ": line " + std::to_string(pause->line) + ": " +
                                         (pause->kind == kvgcode::PauseKind::Optional ? "M1" : "M0") +
                                         " waits for the operator's Enter and kvhost's input is not a terminal; "
                                         "run it at a terminal, or give --skip-pauses to run through M0 and M1");
        }
        kvhost::StartReadingEnter();
      }
    }
  }

  if (options.dry_run) {
    // The segment period the plug-in will use, read from its settings in the profile with the
    // machine (a dry run does not load the plug-in).
    const double segment_time = machine_config.segment_time_s;
    kvgcode::PlanSummary s = kvgcode::Summarize(*program, machine_config.motion, segment_time);
    if (!options.summary_json.empty() &&
        !kvhost::WriteSummaryJson(kvhost::DryRunSummary(s, machine_config.motion, segment_time), options.summary_json,
                                  error)) {
      return Fail(kExitBadInput, error);
    }
    if (!options.plot.empty()) {
      // What was planned before an error is drawn too: it shows where the plan stopped.
      kvhost::PathPlot plot(machine_config.motion, segment_time);
      const std::optional<std::string> plot_error = kvhost::PlotPlan(*program, machine_config.motion, segment_time, plot);
      AddPlotNotes(plot, "dry run: the planned path", plot_error);
      if (!WritePlot(plot, options, error)) return Fail(kExitBadInput, error);
    }
    if (s.error) return Fail(kExitBadInput, options.program + ": " + *s.error);
    PrintDryRun(options.program, s, segment_time);
    return kExitOk;
  }

  // The screen: message boxes printed, the file dialog answered with the image to load.
  kvhost::DialogDriver driver(/*print=*/true);
  if (!options.upgrade.empty()) driver.AnswerFileDialog(options.upgrade);

  kvhost::HostMachine machine;
  kvhost::HostSession session(machine);
  std::string plugin = options.plugin_path.empty() ? kvhost::DefaultPluginPath() : options.plugin_path;
  if (!session.Load(plugin, error)) return Fail(kExitBadInput, error);

  std::unique_ptr<kvboard::SimBoard> board;
  if (options.board == "sim") {
    kvboard::BoardConfig board_config = kvhost::SimBoardConfig(machine_config, options.listen_port);
    if (!kvhost::ChooseLink(options.link, &board_config, error)) return Fail(kExitUsage, error);
    board = kvhost::StartSimBoard(board_config, error);
    if (!board) return Fail(kExitNoBoard, error);
    // On USB nobody answers the discovery datagrams, which still go to loopback only.
    std::uint16_t discovery_port = board_config.usb ? kvhost::FreeUdpPort() : board->DiscoveryPort();
    if (!session.SetEndpoints({"127.0.0.1", discovery_port, options.listen_port}, error)) {
      return Fail(kExitBadInput, error);
    }
  } else {
    if (!kvhost::ChooseLink(options.link, nullptr, error)) return Fail(kExitUsage, error);
    kvhost::HostSession::Endpoints endpoints{"", 0, options.listen_port};  // "" keeps the plug-in's default
    if (options.discovery) {
      std::size_t colon = options.discovery->rfind(':');
      endpoints.discovery_address = options.discovery->substr(0, colon);
      endpoints.discovery_port = static_cast<std::uint16_t>(std::stoi(options.discovery->substr(colon + 1)));
    }
    if (!session.SetEndpoints(endpoints, error)) return Fail(kExitUsage, error);
  }

  machine.ApplyMachineConfig(machine_config);
  if (options.watch) kvhost::WatchHostCalls(machine, platform::IsTerminal(platform::Stream::kOut));
  std::string name = session.StartUp(options.profile_path);
  std::printf("plug-in: %s\n", name.c_str());
  std::printf("segment period %.3f ms, queue window %d segments\n", machine.planner().segment_time * 1000.0,
              machine.planner().queue_limit);

  std::uint32_t started_ms = platform::TickMs();
  double board_wait = options.time_limit_s.value_or(kDefaultBoardWait_s);
  if (kvhost::IsDialogCommand(options)) {
    const int code = kvhost::RunDialogCommand(options, session.api(), machine, driver, board_wait);
    session.ShutDown();
    if (board) board->Stop();
    return code;
  }
  if (!kvhost::WaitForBoard(session.api(), machine, board_wait, options.link == "ethernet")) {
    const host::LinkState link = kvhost::ReadLinkState(session.api());
    const std::string reason = kvhost::NoBoardReason(session.api(), options.listen_port,
                                                     options.time_limit_s ? "time limit reached before a board answered"
                                                                          : "no board answered within 15 s");
    session.ShutDown();
    if (platform::InterruptRequested()) return Fail(kExitInterrupted, "interrupted before a board answered");
    if (link.in_loader != 0 && link.listen_failed == 0) return Fail(kExitNoBoard, kvhost::kInLoaderWithoutImage);
    return Fail(kExitNoBoard, reason);
  }
  PrintIdentity(session.api());

  int exit_code = kExitOk;
  std::optional<kvgcode::WorkSetup> offsets_to_save;
  if (options.watch) {
    std::optional<std::uint32_t> deadline;
    if (options.time_limit_s) deadline = started_ms + static_cast<std::uint32_t>(*options.time_limit_s * 1000.0);
    kvhost::Watch(session.api(), machine, platform::IsTerminal(platform::Stream::kOut), deadline);
  }
  if (program) {
    kvgcode::PlanSummary plan = kvgcode::Summarize(*program, machine_config.motion, machine.planner().segment_time);
    if (plan.error) {
      session.ShutDown();
      return Fail(kExitBadInput, options.program + ": " + *plan.error);
    }
    std::optional<double> remaining;
    if (options.time_limit_s) remaining = *options.time_limit_s - (platform::TickMs() - started_ms) / 1000.0;
    // The picture sees every segment as it is published and the board's positions as reported.
    std::optional<kvhost::PathPlot> plot;
    std::optional<kvhost::RapidLines> rapid_lines;
    kvgcode::BlockSource* source = &*program;
    if (!options.plot.empty()) {
      plot.emplace(machine_config.motion, machine.planner().segment_time);
      source = &rapid_lines.emplace(*program, machine_config.motion.work);
    }
    kvhost::ProgramRunner runner(machine, session.api(), *source, machine_config.motion, plan.segments);
    if (plot) {
      runner.OnSegment([&](const kvgcode::PlanEvent& e) { plot->AddSegment(e.steps, rapid_lines->IsRapid(e.line)); });
      runner.OnPosition([&](const std::array<std::int32_t, 6>& p) { plot->AddExecuted(p); }, kvhost::kPlotSamplePeriodMs);
    }
    runner.SetNoteHandler([](const std::string& note) { std::printf("\nkvhost: %s\n", note.c_str()); });
    runner.SetPauseHandler([&](const kvgcode::PlanEvent& pause) {
      const char* word = pause.optional_pause ? "M1" : "M0";
      if (options.skip_pauses) {
        std::printf("\nline %d: %s passed over (--skip-pauses)\n", pause.line, word);
        return true;
      }
      std::printf("\nline %d: %s: the machine is stopped; press Enter to go on (Ctrl-C ends the run)\n", pause.line,
                  word);
      const kvhost::EnterWait how = kvhost::WaitForEnter(
          [&] { return platform::InterruptRequested() || host::Load(machine.engine().estop) != 0; });
      if (how == kvhost::EnterWait::kInputEnded) std::printf("input ended during the pause: run stopped\n");
      return how == kvhost::EnterWait::kPressed;
    });
    const std::size_t threads_at_start = platform::ProcessThreadIds().size();
    const host::LinkState link_at_start = kvhost::ReadLinkState(session.api());
    const std::uint64_t losses_at_start = link_at_start.link_losses;
    bool terminal = platform::IsTerminal(platform::Stream::kOut);
    kvhost::RunResult result = runner.Run(remaining, terminal ? std::function<void(const kvhost::RunProgress&)>(ProgressBar)
                                                              : std::function<void(const kvhost::RunProgress&)>());
    if (terminal) std::printf("\n");
    // A plan that broke off (the program file changed under it) stops what is already queued
    // too: the rest of the cut it belongs to will not come.
    const bool broke_off = !result.error.empty() && result.segments_planned > 0;
    if (result.interrupted || result.stalled || broke_off) StopMotion(session.api(), machine);
    if (broke_off) std::printf("planning stopped (%s): motion stopped as an E-stop does\n", result.error.c_str());
    if (result.interrupted) std::printf("interrupted: motion stopped as an E-stop does\n");
    if (result.stalled) {
      std::printf("the board showed no progress for %.1f s with motion outstanding: run stopped\n",
                  kvhost::StallBoundMs(machine.planner().queue_limit, machine.planner().segment_time) / 1000.0);
    }
    kvhost::RunSummary summary;
    summary.run = result;
    // Where the whole program ends, also when the run stopped before it got there.
    for (int k = 0; k < 6; ++k) summary.run.program_end_steps[k] = plan.end_steps[k];
    summary.segment_time_s = machine.planner().segment_time;
    summary.link = options.link;
    summary.segments_total = plan.segments;
    for (int k = 0; k < 6; ++k) summary.steps_per_unit[k] = machine.planner().steps_per_unit[k];
    if (board) {
      // Let the last position reports settle before reading where the board ended.
      platform::SleepMs(100);
      kvboard::Stats stats = board->Snapshot();
      summary.board_end_steps = stats.position_steps;
      // Counted against the run only where the board ran on time: the simulated board held up by
      // this computer cannot tell whether the segments would have come.
      summary.underruns = stats.motion.underruns - stats.motion.underruns_board_late;
      if (stats.motion.underruns_board_late > 0) {
        std::printf("the simulated board was held up by this computer (up to %u ms) and ran dry %u time%s as it "
                    "caught up: not counted against the run\n",
                    stats.longest_clock_gap_ms, stats.motion.underruns_board_late,
                    stats.motion.underruns_board_late == 1 ? "" : "s");
      }
      summary.segments_sent = stats.motion.segments_received;
      summary.lowest_queue_depth = stats.motion.lowest_queue_depth;
      summary.board_peak_steps_per_segment = stats.motion.peak_steps_per_segment;
      summary.board_peak_step_change = stats.motion.peak_step_change;
    }
    if (plot) {
      std::array<std::int32_t, 6> at_end{};
      for (int k = 0; k < 6; ++k) at_end[k] = host::Load(machine.engine().axis_position[k]);
      plot->AddExecuted(at_end);
    }
    summary.link_health = kvhost::ReadLinkState(session.api());
    // A stalled board is put in E-stop before its link is closed: let the close land (bounded by
    // the link's 2 s send bound) so the summary counts it and a reconnection is awaited.
    for (const std::uint32_t from = platform::TickMs();
         summary.link_health->stall_closes > link_at_start.stall_closes &&
         (summary.link_health->link_open != 0 || summary.link_health->link_losses == losses_at_start) &&
         platform::TickMs() - from < 3000;) {
      platform::SleepMs(10);
      summary.link_health = kvhost::ReadLinkState(session.api());
    }
    // Read only now: the plug-in raises E-stop before it says why, so the line read the moment
    // the run saw the E-stop could still hold an older message. The status line may also hold
    // the system's word on a failed send rather than what it meant for the run.
    if (const std::string status = machine.StatusLine(); !result.completed && !status.empty()) {
      std::printf("status line: %s\n", status.c_str());
    }
    if (!result.completed && summary.link_health->stall_closes > link_at_start.stall_closes) {
      // Not a cable fault: the board was there and stopped executing what it held.
      std::printf("the board executed no segment for 2 s with %u outstanding: the link was closed and the machine "
                  "put in E-stop, the program did not complete\n",
                  summary.link_health->stall_outstanding);
    } else if (!result.completed && summary.link_health->link_losses > losses_at_start) {
      std::printf("the board's link was lost during the run: E-stop, the program did not complete\n");
    }
    kvhost::PrintSummary(summary);
    if (!options.summary_json.empty() && !kvhost::WriteSummaryJson(summary, options.summary_json, error)) {
      std::fprintf(stderr, "kvhost: %s\n", error.c_str());
    }
    if (options.await_reconnect_s && result.estop && summary.link_health->link_open == 0) {
      // The board went away mid-run: say whether the plug-in brought it back, so the operator
      // knows the machine can be reset and the job resumed.
      const std::uint32_t from = platform::TickMs();
      if (kvhost::WaitForReconnect(session.api(), summary.link_health->connections, *options.await_reconnect_s)) {
        const host::LinkState now = kvhost::ReadLinkState(session.api());
        std::printf("board back after %.2f s: connection %u, identified, streaming; threads %zu at the start "
                    "of the run, %zu now\n",
                    (platform::TickMs() - from) / 1000.0, now.connections, threads_at_start,
                    platform::ProcessThreadIds().size());
      } else {
        std::printf("board not back within %.1f s\n", *options.await_reconnect_s);
      }
    }
    // The offsets the program set are kept for the next run only when it ran whole: a run that
    // stopped part way leaves the profile as it was.
    const kvhost::RunOutcome outcome = kvhost::Outcome(summary);
    if (outcome == kvhost::RunOutcome::kCompleted || outcome == kvhost::RunOutcome::kUnderruns) {
      offsets_to_save = kvgcode::SetupAfter(*program, machine_config.motion.work);
    }
    switch (outcome) {
      case kvhost::RunOutcome::kCompleted: exit_code = kExitOk; break;
      case kvhost::RunOutcome::kEndMismatch: exit_code = kExitEndMismatch; break;
      case kvhost::RunOutcome::kUnderruns: exit_code = kExitUnderruns; break;
      case kvhost::RunOutcome::kInterrupted: exit_code = kExitInterrupted; break;
      case kvhost::RunOutcome::kEstop: exit_code = kExitEstop; break;
      case kvhost::RunOutcome::kTimedOut:
      case kvhost::RunOutcome::kStalled: exit_code = kExitNoBoard; break;
      case kvhost::RunOutcome::kFailed: exit_code = kExitBadInput; break;
    }
    if (plot) {
      AddPlotNotes(*plot, std::string("run ") + kvhost::OutcomeName(kvhost::Outcome(summary)) + ": the planned path",
                   result.error.empty() ? std::nullopt : std::optional<std::string>(result.error));
      // The run's own outcome keeps its code; a run that succeeded but left no picture did not.
      if (!WritePlot(*plot, options, error)) {
        std::fprintf(stderr, "kvhost: %s\n", error.c_str());
        if (exit_code == kExitOk) exit_code = kExitBadInput;
      }
    }
  }

  session.ShutDown();
  // After the plug-in has saved its own settings: each writer replaces the file with its section.
  if (offsets_to_save && *offsets_to_save != machine_config.motion.work) {
    if (kvhost::SaveWorkOffsets(options.profile_path, machine_config.motion.work, *offsets_to_save, error)) {
      std::printf("work offsets the program set saved in %s (section kvhost)\n", options.profile_path.c_str());
    } else {
      std::fprintf(stderr, "kvhost: %s\n", error.c_str());
      if (exit_code == kExitOk) exit_code = kExitBadInput;
    }
  }
  if (board) {
    bool stopped = board->WaitFor([](const kvboard::Stats& s) { return s.plugin_stops > 0; }, 1000);
    std::printf("board %s the stop frame\n", stopped ? "received" : "did not receive");
    board->Stop();
  }
  return exit_code;
}
