// A simulated hand-wheel pendant: announcement and key bytes out, display records decoded.
#include "pendant_sim.h"

#include <algorithm>

#include "runtime/le_bytes.h"

namespace kvboard {
namespace {

constexpr std::uint8_t kAnnounceByte = 1;
constexpr std::uint8_t kMessageByte = 0x5A;
constexpr std::uint8_t kDisplayByte = 0x5A;
constexpr std::uint8_t kRejectByte = 0x5B;
constexpr std::uint8_t kReleaseBase = 128;

}  // namespace

std::optional<PendantDisplay> DecodePendantDisplay(std::span<const std::uint8_t> r) {
  if (r.size() != kPendantDisplaySize) return std::nullopt;
  PendantDisplay d;
  for (std::size_t k = 0; k < d.axis_thousandths.size(); ++k) d.axis_thousandths[k] = kv::GetLe<std::int32_t>(r, 4 * k);
  d.dro_step_class = r[24];
  d.estop = r[25] != 0;
  d.jog_mode = r[26];
  d.spindle_speed = kv::GetLe<std::int32_t>(r, 27);
  d.spindle_on = r[31] != 0;
  d.feed_override = r[32];
  d.dro3 = r[33];
  d.dro74 = r[34];
  d.armed = r[35] != 0;
  d.layer = r[36];
  d.wheel_axis = r[37];
  d.wheel_step_class = kv::GetLe<std::int32_t>(r, 38);
  d.enabled_axes = kv::GetLe<std::int32_t>(r, 46);
  std::copy(r.begin(), r.end(), d.raw.begin());
  return d;
}

std::vector<std::uint8_t> PendantSim::Announce(std::uint8_t kind) {
  status_.kind = kind;
  return {kAnnounceByte, kind};
}

std::vector<std::uint8_t> PendantSim::Press(std::uint8_t key_byte) {
  ++status_.keys_pressed;
  return {key_byte};
}

std::vector<std::uint8_t> PendantSim::Release(std::uint8_t key_byte) {
  ++status_.keys_released;
  return {static_cast<std::uint8_t>(key_byte + kReleaseBase)};
}

void PendantSim::OnMessage(std::span<const std::uint8_t> m) {
  if (m.size() == 2 && m[0] == kMessageByte && m[1] == kRejectByte) {
    ++status_.rejects;
    return;
  }
  if (m.size() == 2 + kPendantDisplaySize && m[0] == kMessageByte && m[1] == kDisplayByte) {
    status_.display = DecodePendantDisplay(m.subspan(2));
    ++status_.displays;
    return;
  }
  ++status_.unknown_messages;
}

}  // namespace kvboard
