// The pendant decoder: announcement, key and wheel bytes from either channel, split as the
// board's 0xCA 0xAC records split them.
#include <cstddef>
#include <cstdint>
#include <span>

#include "fuzz_host.h"
#include "motion/pendant.h"
#include "runtime/action_queue.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kvfuzz::InstallLiveHost();
  std::span<const std::uint8_t> rest(data, size);
  // Each record: one byte of channel (low bit) and length (the rest), then that many bytes.
  while (!rest.empty()) {
    const int channel = rest[0] & 1;
    std::size_t n = rest[0] >> 1;
    rest = rest.subspan(1);
    if (n > rest.size()) n = rest.size();
    kv::PendantFeed(channel, rest.first(n));
    rest = rest.subspan(n);
  }
  kv::ActionReset();
  return 0;
}
