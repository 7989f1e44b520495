// The board's byte stream as the Ethernet link hands it over: the reassembler cuts it into
// frames and the receive parser applies each to the live plug-in state and the host's blocks.
#include <cstddef>
#include <cstdint>
#include <span>

#include "fuzz_host.h"
#include "link/link_interface.h"
#include "runtime/action_queue.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kvfuzz::InstallLiveHost();
  // The first byte chooses how the stream is chunked, as receives of any size arrive.
  const std::size_t chunk = size > 0 ? 1 + data[0] % 64 : 1;
  std::span<const std::uint8_t> rest(data, size);
  while (!rest.empty()) {
    const std::size_t n = rest.size() < chunk ? rest.size() : chunk;
    kv::StreamFeed(rest.first(n));
    rest = rest.subspan(n);
  }
  kv::ActionReset();  // nobody consumes the actions the frames post
  return 0;
}
