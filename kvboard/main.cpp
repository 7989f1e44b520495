// kvboard: the simulated Kalvero board as a program (see --help).
// Runs one SimBoard until the time limit or an interrupt, then prints what it saw.
#include <csignal>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "board_stats.h"
#include "cli_options.h"
#include "platform/clock.h"
#include "sim_board.h"

namespace {

volatile std::sig_atomic_t g_interrupted = 0;

extern "C" void OnInterrupt(int) { g_interrupted = 1; }

void PrintSummary(const kvboard::Stats& s) {
  std::printf("kvboard summary:\n");
  std::printf("  connections %u, hellos %u, identification requests %u, status polls %u, keep-alives %u\n",
              s.connections, s.hellos, s.ident_requests, s.status_polls, s.keep_alives);
  std::printf("  frames received %u (%u longer than 200 bytes), parameter records %u (%zu ids, %u on this "
              "connection), malformed %u\n",
              s.frames_received, s.long_frames, s.param_records, s.params.size(), s.param_ids_this_connection,
              s.malformed);
  std::printf("  segments received %u, executed %llu, dropped %u, underruns %u, lowest queue depth %d\n",
              s.motion.segments_received, static_cast<unsigned long long>(s.motion.segments_executed_total),
              s.motion.segments_dropped, s.motion.underruns, s.motion.lowest_queue_depth);
  std::printf("  peak steps per segment %d %d %d %d %d %d, peak change per segment %d %d %d %d %d %d\n",
              s.motion.peak_steps_per_segment[0], s.motion.peak_steps_per_segment[1],
              s.motion.peak_steps_per_segment[2], s.motion.peak_steps_per_segment[3],
              s.motion.peak_steps_per_segment[4], s.motion.peak_steps_per_segment[5], s.motion.peak_step_change[0],
              s.motion.peak_step_change[1], s.motion.peak_step_change[2], s.motion.peak_step_change[3],
              s.motion.peak_step_change[4], s.motion.peak_step_change[5]);
  std::printf("  velocity moves %u, probe moves %u, E-stops %u, enables %u, stream closes %u, plug-in stops %u\n",
              s.velocity_moves, s.probe_commands, s.estops, s.enables, s.motion.stream_closes, s.plugin_stops);
  std::printf("  position steps %d %d %d %d %d %d, mode %u, segment period %u us\n", s.position_steps[0],
              s.position_steps[1], s.position_steps[2], s.position_steps[3], s.position_steps[4], s.position_steps[5],
              s.mode, s.segment_period_us);
  std::printf("  E-stopped %s, queue depth %u\n", s.estopped ? "yes" : "no", s.motion.queue_depth);
  std::printf("  frames sent %u, send failures %u\n", s.frames_sent, s.send_failures);
  if (!s.last_fault.empty()) std::printf("  last fault: %s\n", s.last_fault.c_str());
}

void PrintPendant(std::uint8_t channel, const kvboard::PendantStatus& p) {
  std::printf("  pendant %u: kind %u, keys pressed %u, released %u, displays %u, rejects %u\n", channel, p.kind,
              p.keys_pressed, p.keys_released, p.displays, p.rejects);
  if (!p.display) return;
  const kvboard::PendantDisplay& d = *p.display;
  std::printf("    shows X %d Y %d Z %d A %d B %d C %d (thousandths), layer %u, wheel axis %u, step class %d, "
              "E-stop %d\n",
              d.axis_thousandths[0], d.axis_thousandths[1], d.axis_thousandths[2], d.axis_thousandths[3],
              d.axis_thousandths[4], d.axis_thousandths[5], d.layer, d.wheel_axis, d.wheel_step_class,
              d.estop ? 1 : 0);
}

// Sends a key byte from the channel's pendant: bytes above 128 are releases.
void SendPendantKey(kvboard::SimBoard& board, const kvboard::CliPendantKey& key) {
  if (key.key_byte > 128) {
    board.ReleasePendantKey(key.channel, static_cast<std::uint8_t>(key.key_byte - 128));
  } else {
    board.PressPendantKey(key.channel, key.key_byte);
  }
  std::printf("kvboard: pendant %u key byte %u sent\n", key.channel, key.key_byte);
  std::fflush(stdout);
}

void InjectFault(kvboard::SimBoard& board, kvboard::CliFault::Kind kind, std::uint32_t segments) {
  const char* name = "drop";
  switch (kind) {
    case kvboard::CliFault::Kind::kDrop: board.DropConnection(); break;
    case kvboard::CliFault::Kind::kReset: board.ResetConnection(), name = "reset"; break;
    case kvboard::CliFault::Kind::kSilence: board.SetSilent(true), name = "silence"; break;
    case kvboard::CliFault::Kind::kRandom: board.SendRandomBytes(64), name = "random"; break;
    case kvboard::CliFault::Kind::kStopRead: board.StopReading(), name = "stopread"; break;
    case kvboard::CliFault::Kind::kHalfFrame: board.SendHalfFrameAndClose(), name = "halfframe"; break;
    case kvboard::CliFault::Kind::kPositionJump:
      board.SetPositionReportOffset(0, std::numeric_limits<std::int32_t>::min()), name = "posjump";
      break;
  }
  std::printf("kvboard: fault %s injected (%u segments received)\n", name, segments);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  kvboard::CliOptions options;
  std::string error;
  if (!kvboard::ParseCli(argc, argv, options, error)) {
    std::fprintf(stderr, "kvboard: %s\n%s", error.c_str(), kvboard::kCliUsage);
    return 2;
  }
  if (options.help) {
    std::fputs(kvboard::kCliUsage, stdout);
    return 0;
  }
  std::signal(SIGINT, OnInterrupt);
  std::signal(SIGTERM, OnInterrupt);

  std::FILE* capture = nullptr;
  if (!options.capture_path.empty()) {
    capture = std::fopen(options.capture_path.c_str(), "ab");
    if (capture == nullptr) {
      std::fprintf(stderr, "kvboard: cannot open %s\n", options.capture_path.c_str());
      return 1;
    }
    options.board.capture = [capture](std::span<const std::uint8_t> bytes) {
      std::fwrite(bytes.data(), 1, bytes.size(), capture);
    };
  }
  kvboard::SimBoard board(options.board);
  if (!board.Start()) return 1;
  if (options.board.connect_direct) {
    std::printf("kvboard: connecting to 127.0.0.1:%u\n", options.board.plugin_port);
  } else {
    std::printf("kvboard: waiting for \"hello\" on 127.0.0.1:%u\n", board.DiscoveryPort());
  }
  std::fflush(stdout);

  const std::uint32_t start = platform::TickMs();
  const double limit_ms = options.time_limit_s ? *options.time_limit_s * 1000.0 : -1.0;
  std::vector<kvboard::CliFault> pending = options.faults;
  std::vector<kvboard::CliPendantKey> pending_keys = options.pendant_keys;
  bool pendants_announced = false;
  constexpr int kFloodPressesPerFrame = 98;  // a frame carries 196 pendant bytes
  constexpr int kFloodFramesPerRound = 5;
  std::uint64_t flood_rounds = 0;
  // A silenced board talks again once the link has ended, as one that lost its power does.
  bool silenced = false;
  std::uint32_t silenced_at_disconnects = 0;
  while (!g_interrupted) {
    if (silenced && board.Snapshot().disconnects > silenced_at_disconnects) {
      board.SetSilent(false);
      silenced = false;
      std::printf("kvboard: silence ended with the connection\n");
      std::fflush(stdout);
    }
    const double elapsed_ms = static_cast<double>(platform::TickMs() - start);
    if (limit_ms >= 0 && elapsed_ms >= limit_ms) break;
    // Pendants speak once the plug-in streams (it has polled the status); announced only once,
    // since the plug-in keeps a pendant's kind across connections.
    if (!pendants_announced && board.Connected() && board.Snapshot().status_polls > 0) {
      for (const kvboard::CliPendant& p : options.pendants) board.AnnouncePendant(p.channel, p.kind);
      pendants_announced = true;
    }
    if (pendants_announced) {
      for (auto it = pending_keys.begin(); it != pending_keys.end();) {
        if (elapsed_ms < it->at_s * 1000.0) {
          ++it;
          continue;
        }
        SendPendantKey(board, *it);
        it = pending_keys.erase(it);
      }
    }
    bool flooding = false;
    if (pendants_announced && options.pendant_flood && elapsed_ms >= options.pendant_flood->at_s * 1000.0) {
      flooding = true;
      // Whole frames of presses and releases, as a peer flooding key records sends them.
      std::vector<std::uint8_t> keys;
      for (int i = 0; i < kFloodPressesPerFrame; ++i) {
        keys.push_back(options.pendant_flood->key_byte);
        keys.push_back(static_cast<std::uint8_t>(options.pendant_flood->key_byte + 128));
      }
      for (int i = 0; i < kFloodFramesPerRound; ++i) board.SendPendantBytes(options.pendant_flood->channel, keys);
      ++flood_rounds;
    }
    if (!pending.empty()) {
      const std::uint32_t segments = board.Snapshot().motion.segments_received;
      for (auto it = pending.begin(); it != pending.end();) {
        const bool due = (it->after_s && elapsed_ms >= *it->after_s * 1000.0) ||
                         (it->after_segments && segments >= *it->after_segments);
        if (!due) {
          ++it;
          continue;
        }
        if (it->kind == kvboard::CliFault::Kind::kSilence) {
          silenced = true;
          silenced_at_disconnects = board.Snapshot().disconnects;
        }
        InjectFault(board, it->kind, segments);
        it = pending.erase(it);
      }
    }
    platform::SleepMs(flooding ? 1 : pending.empty() && pending_keys.empty() ? 50 : 2);
  }
  board.Stop();
  if (flood_rounds != 0) {
    std::printf("kvboard: pendant flood sent %llu key presses\n", static_cast<unsigned long long>(flood_rounds * kFloodPressesPerFrame * kFloodFramesPerRound));
  }
  if (capture != nullptr) std::fclose(capture);
  PrintSummary(board.Snapshot());
  for (const kvboard::CliPendant& p : options.pendants) PrintPendant(p.channel, board.Pendant(p.channel));
  return 0;
}
