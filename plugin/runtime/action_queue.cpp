// Action queue: a 256-slot ring with any number of posters and one consumer.
#include "runtime/action_queue.h"

#include <array>
#include <atomic>
#include <mutex>

namespace kv {
namespace {

std::array<std::atomic<std::int32_t>, kActionSlots> action_queue{};
std::atomic<int> action_write{0};
std::atomic<int> action_read{0};
std::atomic<std::uint32_t> action_dropped{0};

// protects the posting side: the parser, the host and the supervisor post from their threads
std::mutex post_lock;

int Next(int i) { return (i + 1) % kActionSlots; }

}  // namespace

void ActionReset() {
  std::lock_guard<std::mutex> guard(post_lock);
  action_write.store(0, std::memory_order_release);
  action_read.store(0, std::memory_order_release);
}

bool ActionPost(std::int32_t code) {
  std::lock_guard<std::mutex> guard(post_lock);
  int write = action_write.load(std::memory_order_relaxed);
  if (Next(write) == action_read.load(std::memory_order_acquire)) {
    action_dropped.fetch_add(1, std::memory_order_relaxed);
    return false;
  }
  action_queue[write].store(code, std::memory_order_relaxed);
  action_write.store(Next(write), std::memory_order_release);  // publishes the slot
  return true;
}

std::int32_t ActionPop() {
  int read = action_read.load(std::memory_order_relaxed);
  if (read == action_write.load(std::memory_order_acquire)) return 0;
  std::int32_t code = action_queue[read].load(std::memory_order_relaxed);
  action_read.store(Next(read), std::memory_order_release);
  return code;
}

std::uint32_t ActionDropped() { return action_dropped.load(std::memory_order_relaxed); }

}  // namespace kv
