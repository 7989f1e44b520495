// Timer scheduler: a ring of periodic tasks run on one thread every 10 ms.
#include "runtime/timer_scheduler.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/clock.h"
#include "platform/thread.h"
#include "runtime/no_throw.h"

namespace kv {
namespace {

constexpr std::uint32_t kPassPeriodMs = 10;
// The longest stretch of passes skipped at once, so that a tick base moved under the sleeper
// (SetTickBase) is noticed within a second.
constexpr int kMaxSkippedPasses = 100;
constexpr std::int32_t kRetryAfterThrowMs = 100;

// Slots are atomic because the adder writes slot `tail` while the scheduler reads slots below it.
std::array<std::atomic<TimerEntry*>, kTimerSlots> timer_ring{};
std::atomic<int> timer_head{0};  // written by the scheduler thread only
std::atomic<int> timer_tail{0};  // written by adders only
std::atomic<bool> timer_running{false};
std::atomic<bool> timer_stop_requested{false};  // from TimerStop until the next TimerStart

// protects the adder side: two threads adding at once would claim the same slot
std::mutex add_lock;

// protects the thread handle below
std::mutex thread_lock;
platform::Thread timer_thread;

int Next(int i) { return (i + 1) % kTimerSlots; }

// Wakes the sleeping scheduler when an entry is added or the thread is told to stop, so that it
// can look again at which pass is the next with something due. Never destroyed: a host that exits
// without StopPlug leaves the thread waiting, and destroying a waited-on condition variable
// blocks the exit.
std::mutex& wake_lock = *new std::mutex;
std::condition_variable& wake = *new std::condition_variable;
bool wake_pending = false;

void WakeScheduler() {
  {
    std::lock_guard<std::mutex> guard(wake_lock);
    wake_pending = true;
  }
  wake.notify_one();
}

// A pass at `when` may see a tick past some live entry's due tick: only a pass that cannot is
// slept through, so no task runs later than with a wake-up every 10 ms.
bool AnyDueAt(std::chrono::steady_clock::time_point when) {
  const std::uint32_t tick = platform::TickMsUpperBoundAt(when);
  for (int i = timer_head.load(std::memory_order_relaxed); i != timer_tail.load(std::memory_order_acquire); i = Next(i)) {
    if (TickAfter(tick, static_cast<std::uint32_t>(timer_ring[i].load(std::memory_order_relaxed)->due_tick))) {
      return true;
    }
  }
  return false;
}

// The loop is "sleep 10 ms, then a pass". A pass with nothing due calls no task and changes
// nothing, so the thread sleeps through such passes instead of waking for them: it sleeps to the
// first pass of its 10 ms grid at which the tick can exceed some entry's due tick. Tasks thus run
// at the same passes as they would with a wake-up every 10 ms, at a third or less of the
// wake-ups. An entry added, or a stop, while it sleeps makes it look again from the pass in
// progress.
void SchedulerLoop() {
  // The motion stream runs here: a pass held back by ordinary work on the PC is a board that
  // runs dry at the start of a motion, when it holds the least.
  platform::RaiseThreadPriority();
  using Clock = std::chrono::steady_clock;
  constexpr Clock::duration kPeriod = std::chrono::milliseconds(kPassPeriodMs);
  while (timer_running.load(std::memory_order_acquire)) {
    const Clock::time_point sleep_start = Clock::now();
    int passes = 1;  // the pass at sleep_start + passes periods is the one to run
    for (;;) {
      while (passes < kMaxSkippedPasses && !AnyDueAt(sleep_start + passes * kPeriod)) ++passes;
      std::unique_lock<std::mutex> guard(wake_lock);
      if (!wake.wait_until(guard, sleep_start + passes * kPeriod, [] { return wake_pending; })) break;
      wake_pending = false;
      guard.unlock();
      // Woken early: the pass that ends the period in progress is the earliest that may now run.
      const Clock::duration slept = Clock::now() - sleep_start;
      const int in_progress = static_cast<int>((slept + kPeriod - Clock::duration(1)) / kPeriod);
      passes = std::clamp(in_progress, 1, passes);
      if (!timer_running.load(std::memory_order_acquire)) {
        // Stopped: the pass that follows the sleep in progress is the last.
        std::this_thread::sleep_until(sleep_start + passes * kPeriod);
        break;
      }
    }
    TimerRunDue();
  }
}

// Runs one entry if it is due; returns false when the entry is to be removed.
bool RunEntry(TimerEntry& entry) {
  std::uint32_t now = platform::TickMs();
  if (!TickAfter(now, static_cast<std::uint32_t>(entry.due_tick))) return true;
  // A task that throws is reported and run again later: the thread must outlive it.
  std::int32_t next_ms = kRetryAfterThrowMs;
  NoThrow("A periodic task", [&] { next_ms = entry.callback(entry.user); });
  if (next_ms < 1) return false;
  // Timed from the end of this run, not from the previous due time.
  entry.due_tick = static_cast<std::int32_t>(platform::TickMs() + static_cast<std::uint32_t>(next_ms));
  return true;
}

}  // namespace

void TimerReset() {
  std::lock_guard<std::mutex> guard(add_lock);
  // The ring owns its entries; reset runs before the scheduler thread starts.
  for (int i = timer_head.load(); i != timer_tail.load(); i = Next(i)) delete timer_ring[i].exchange(nullptr);
  timer_head.store(0, std::memory_order_release);
  timer_tail.store(0, std::memory_order_release);
}

int TimerAdd(TimerCallback callback, std::int32_t delay_ms, std::uint32_t user) {
  std::lock_guard<std::mutex> guard(add_lock);
  int tail = timer_tail.load(std::memory_order_relaxed);
  if (Next(tail) == timer_head.load(std::memory_order_acquire)) return -1;  // 127 live: full
  auto* entry = new TimerEntry{
      static_cast<std::int32_t>(platform::TickMs() + static_cast<std::uint32_t>(delay_ms)), callback, user};
  timer_ring[tail].store(entry, std::memory_order_relaxed);
  int new_tail = Next(tail);
  timer_tail.store(new_tail, std::memory_order_release);  // publishes the entry
  WakeScheduler();
  return new_tail;
}

void TimerStart() {
  std::lock_guard<std::mutex> guard(thread_lock);
  if (timer_thread.Running() && timer_running.load()) return;
  timer_thread.Join();  // a previous thread that was told to stop
  // Set before the thread starts, so its first test cannot see a stopped scheduler.
  timer_running.store(true, std::memory_order_release);
  timer_stop_requested.store(false, std::memory_order_release);
  {
    std::lock_guard<std::mutex> wake_guard(wake_lock);
    wake_pending = false;
  }
  timer_thread = platform::Thread::Start(SchedulerLoop);
  if (!timer_thread.Running()) timer_running.store(false);
}

void TimerStop() {
  timer_stop_requested.store(true, std::memory_order_release);
  timer_running.store(false, std::memory_order_release);
  WakeScheduler();
}

bool TimerStopRequested() { return timer_stop_requested.load(std::memory_order_acquire); }

bool TimerJoin() {
  std::lock_guard<std::mutex> guard(thread_lock);
  if (timer_running.load()) return false;
  timer_thread.Join();
  return true;
}

void TimerRunDue() {
  int i = timer_head.load(std::memory_order_relaxed);
  while (i != timer_tail.load(std::memory_order_acquire)) {
    TimerEntry* entry = timer_ring[i].load(std::memory_order_relaxed);
    if (!RunEntry(*entry)) {
      delete entry;
      int head = timer_head.load(std::memory_order_relaxed);
      // The head entry, already visited in this pass, takes the freed slot.
      if (i != head) timer_ring[i].store(timer_ring[head].load(std::memory_order_relaxed), std::memory_order_relaxed);
      timer_head.store(Next(head), std::memory_order_release);
    }
    i = Next(i);
  }
}

void RunPeriods::Mark(std::uint32_t now) {
  if (marked_) {
    const std::uint32_t ms = now - last_tick_;  // unsigned: right across the wrap
    counts_[std::min<std::size_t>(ms, kPeriodBuckets - 1)].fetch_add(1, std::memory_order_relaxed);
  }
  last_tick_ = now;
  marked_ = true;
}

std::array<std::uint32_t, kPeriodBuckets> RunPeriods::Histogram() const {
  std::array<std::uint32_t, kPeriodBuckets> out{};
  for (std::size_t i = 0; i < kPeriodBuckets; ++i) out[i] = counts_[i].load(std::memory_order_relaxed);
  return out;
}

int TimerLiveCount() {
  int head = timer_head.load(std::memory_order_acquire);
  int tail = timer_tail.load(std::memory_order_acquire);
  return (tail - head + kTimerSlots) % kTimerSlots;
}

}  // namespace kv
