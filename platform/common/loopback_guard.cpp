// The loopback-only guard: portable, so both socket implementations refuse the same way.
#include "loopback_guard.h"

#include <atomic>

namespace platform {
namespace {

constexpr std::uint32_t kLoopbackNetwork = 0x7F000000;  // 127.0.0.0/8
constexpr std::uint32_t kLoopbackMask = 0xFF000000;

std::atomic<bool> loopback_only{false};
std::atomic<std::uint64_t> violations{0};
std::atomic<std::uint64_t> last_violation{0};  // address << 16 | port, one word so it reads whole

}  // namespace

void SetLoopbackOnly(bool on) { loopback_only.store(on); }
bool LoopbackOnly() { return loopback_only.load(); }

bool IsLoopbackAddress(std::uint32_t address) { return (address & kLoopbackMask) == kLoopbackNetwork; }

std::uint64_t LoopbackViolations() { return violations.load(); }

Ipv4Endpoint LastLoopbackViolation() {
  const std::uint64_t packed = last_violation.load();
  return {static_cast<std::uint32_t>(packed >> 16), static_cast<std::uint16_t>(packed & 0xFFFF)};
}

namespace detail {

bool LoopbackGuardAllows(Ipv4Endpoint remote) {
  if (!loopback_only.load() || IsLoopbackAddress(remote.address)) return true;
  last_violation.store(std::uint64_t{remote.address} << 16 | remote.port);
  violations.fetch_add(1);
  return false;
}

}  // namespace detail
}  // namespace platform
