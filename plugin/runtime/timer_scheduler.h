// The timer scheduler: every periodic task of the plug-in runs here, one after another, on one
// background thread in passes every 10 ms; a pass with nothing due is slept through. A task
// returns its next delay in ms; below 1 ends it.
//
// The live entries sit in a ring of 128 slots from timer_head up to timer_tail. The host thread
// adds entries while the scheduler thread runs a pass: an adder writes the slot at the tail
// before it publishes the advanced tail, and only the scheduler moves the head or rewrites
// slots below the tail.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace kv {

using TimerCallback = std::int32_t (*)(std::uint32_t user);

struct TimerEntry {
  std::int32_t due_tick;  // ms tick after which the task runs next
  TimerCallback callback;
  std::uint32_t user;
};

inline constexpr int kTimerSlots = 128;

// Empties the ring, destroying live entries. Only while the scheduler thread is not running.
void TimerReset();
// Registers a task that first runs `delay_ms` from now. Returns the new tail index, or -1 when
// the ring already holds its 127 live entries (the task is then not registered).
int TimerAdd(TimerCallback callback, std::int32_t delay_ms, std::uint32_t user);
// Starts the scheduler thread (no effect while it runs).
void TimerStart();
// Asks the thread to end after its current sleep and pass.
void TimerStop();
// True from TimerStop until the next TimerStart: a task that blocks for long (the firmware
// upgrade) ends early, so that StopPlug is not held up.
bool TimerStopRequested();
// Waits until the thread has ended after TimerStop; true if it has (or never ran).
bool TimerJoin();
// One pass over the live entries: runs each due task once.
void TimerRunDue();

// Number of live entries (for tests and diagnostics).
int TimerLiveCount();

// The real periods of one periodic task: how many of its runs started how many milliseconds
// after the run before (the last bucket: that many or more). The task marks the start of each
// run on the scheduler thread; any thread may read the histogram.
inline constexpr std::size_t kPeriodBuckets = 64;
class RunPeriods {
 public:
  void Mark(std::uint32_t now_tick);  // platform::TickMs() at the start of a run
  std::array<std::uint32_t, kPeriodBuckets> Histogram() const;

 private:
  std::array<std::atomic<std::uint32_t>, kPeriodBuckets> counts_{};
  std::uint32_t last_tick_ = 0;  // scheduler thread only
  bool marked_ = false;          // scheduler thread only
};

// True when `now` is later than `due`, across the wrap of the 32-bit tick counter.
inline bool TickAfter(std::uint32_t now, std::uint32_t due) {
  return static_cast<std::int32_t>(now - due) > 0;
}

}  // namespace kv
