// A reader thread counts the lines of standard input; a pause waits for the count to move.
#include "operator_prompt.h"

#include <atomic>
#include <cstdint>
#include <iostream>
#include <string>
#include <thread>

#include "platform/clock.h"

namespace kvhost {
namespace {

constexpr std::uint32_t kPollMs = 10;

struct LineReader {
  std::atomic<std::uint64_t> lines{0};
  std::atomic<bool> ended{false};
};

// Started at the first pause and never stopped: a read of standard input cannot be cut short,
// so the reader is left blocked in it when the program exits. Never freed for the same reason.
LineReader& Reader() {
  static LineReader* reader = [] {
    auto* r = new LineReader;
    std::thread([r] {
      std::string line;
      while (std::getline(std::cin, line)) r->lines.fetch_add(1);
      r->ended.store(true);
    }).detach();
    return r;
  }();
  return *reader;
}

}  // namespace

void StartReadingEnter() { Reader(); }

EnterWait WaitForEnter(const std::function<bool()>& abandon) {
  LineReader& reader = Reader();
  const std::uint64_t seen = reader.lines.load();
  for (;;) {
    if (reader.lines.load() != seen) return EnterWait::kPressed;
    if (reader.ended.load()) return EnterWait::kInputEnded;
    if (abandon()) return EnterWait::kAbandoned;
    platform::SleepMs(kPollMs);
  }
}

}  // namespace kvhost
