// A scripted board for the plug-in's module tests: it stands behind the captured link, queues
// the segments the plug-in sends, runs a few each step, restarts its executed count at a stream
// close, and hands its reports to the receive parser a set number of steps after taking them.
#pragma once

#include <cstdint>
#include <deque>
#include <utility>
#include <vector>

#include "motion/motion_stream.h"
#include "motion/supervisor.h"
#include "runtime/action_queue.h"
#include "runtime/timer_scheduler.h"
#include "service/receive_parser.h"
#include "shell/plugin_state.h"
#include "testing/fake_host.h"

namespace kv::testing {

using Bytes = std::vector<std::uint8_t>;

// The plug-in as a new stream to an identified board begins: nothing sent or executed, no stop
// pending, the board at rest at zero, the supervisor set up but left for the test to run (no
// scheduler task), the stream set up.
inline void BeginStreamRunByHand() {
  state.segments_sent = state.segments_done = 0;
  state.rest_sent_seen = 0;
  state.still_count = 0;
  state.lim_buffer = 450;
  state.board_mode = 0;
  state.pulse_rate_hz = 0;
  state.pos_synced = false;
  for (auto& v : state.pos_offset) v = 0;
  for (auto& v : state.board_pos) v = 0;
  for (auto& flag : state.softlimit_tripped) flag = false;
  ActionReset();
  TimerReset();
  SupervisorInit();
  TimerReset();
  StreamSetUp();
}

inline void Put32(Bytes& b, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

// A board behind the captured link, stepped by hand once per supervisor run: it queues the
// segments it is sent and runs `per_run` of them each run; a stream close restarts its executed
// count and drops what it still holds; its executed count and position, taken each run, reach
// the plug-in `latency_runs` runs later, as over a slow or busy link.
class ScriptedBoard {
 public:
  ScriptedBoard(CapturedLink& link, int per_run, int latency_runs)
      : link_(link), per_run_(per_run), latency_runs_(latency_runs) {}

  // What the plug-in has sent since the last call.
  void Receive() {
    for (const Frame& f : link_.Take()) {
      if (f.size() >= 4 && f[1] == 0xCA && f[2] == 0xAB) {
        for (std::size_t e = 0; e < f[3]; ++e) {
          queue_.push_back(static_cast<std::int16_t>(f.at(4 + 12 * e) | f.at(5 + 12 * e) << 8));
        }
      } else if (f.size() == 2 && f[1] == 0xD0) {
        dropped += static_cast<int>(queue_.size());
        queue_.clear();
        executed_ = 0;
        ++closes;
      }
    }
  }
  // One run's worth of segments.
  void Execute() {
    for (int i = 0; i < per_run_ && !queue_.empty(); ++i) {
      x_steps += queue_.front();
      queue_.pop_front();
      ++executed_;
      ++executed_total;
    }
  }
  // The executed count and the position as they are now, on their way to the plug-in.
  void TakeReport() {
    Bytes body{0xCF, 0x1E};
    Put32(body, executed_);
    body.push_back(0xCF);
    body.push_back(0x20);
    Put32(body, static_cast<std::uint32_t>(x_steps));
    for (int k = 1; k < 6; ++k) Put32(body, 0);
    in_flight_.emplace_back(now_ + latency_runs_, std::move(body));
  }
  // Hands the plug-in the reports that have arrived by now (on the link thread, in the plug-in).
  void Deliver() {
    while (!in_flight_.empty() && in_flight_.front().first <= now_) {
      parse_board_frame(in_flight_.front().second);
      in_flight_.pop_front();
    }
  }
  void NextRun() { ++now_; }
  std::size_t Queued() const { return queue_.size(); }

  int dropped = 0;
  int closes = 0;
  int executed_total = 0;
  std::int32_t x_steps = 0;

 private:
  CapturedLink& link_;
  int per_run_;
  int latency_runs_;
  std::deque<std::int16_t> queue_;
  std::uint32_t executed_ = 0;
  std::deque<std::pair<int, Bytes>> in_flight_;
  int now_ = 0;
};

}  // namespace kv::testing
