// The board's input reports as the USB link reads them: each report's count byte decides what
// reaches the reassembler, and the frames go on to the receive parser.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "fuzz_host.h"
#include "link/link_interface.h"
#include "link/usb_link.h"
#include "runtime/action_queue.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kvfuzz::InstallLiveHost();
  constexpr std::size_t kReport = 65;
  std::span<const std::uint8_t> rest(data, size);
  while (!rest.empty()) {
    const std::span<const std::uint8_t> report = rest.first(rest.size() < kReport ? rest.size() : kReport);
    const std::span<const std::uint8_t> bytes = kv::UsbReportData(report);
    // What is delivered lies inside the report, after its three header bytes.
    if (!bytes.empty() && (bytes.data() < report.data() + 3 || bytes.data() + bytes.size() > report.data() + report.size())) {
      std::abort();
    }
    if (bytes.size() > 62) std::abort();
    kv::StreamFeed(bytes);
    rest = rest.subspan(report.size());
  }
  kv::ActionReset();
  return 0;
}
