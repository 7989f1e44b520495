// A simulated hand-wheel pendant on one of the board's external channels: the bytes it sends
// (its announcement, key presses and releases) and what it last showed.
//
// The pendant announces itself with the byte 1 and its kind, then sends one byte per key press;
// the release of key byte b is b + 128. The plug-in answers with messages after the channel
// byte: 0x5A 0x5A and a 51-byte display record, or 0x5A 0x5B when it refused bytes sent before
// the announcement. The simulator decodes the last display record so tests can assert on what
// the pendant shows. Not thread-safe on its own: SimBoard keeps it under its lock.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace kvboard {

inline constexpr std::size_t kPendantDisplaySize = 51;

// The display record as the pendant shows it.
struct PendantDisplay {
  std::array<std::int32_t, 6> axis_thousandths{};  // DROs 800..805 x 1000
  std::uint8_t dro_step_class = 0;                 // DRO 828: 0..4
  bool estop = false;
  std::uint8_t jog_mode = 0;
  std::int32_t spindle_speed = 0;
  bool spindle_on = false;
  std::uint8_t feed_override = 0;   // DRO 821, low byte
  std::uint8_t dro3 = 0;            // DRO 3, low byte
  std::uint8_t dro74 = 0;           // DRO 74, low byte
  bool armed = false;               // an axis-key family is armed
  std::uint8_t layer = 0;           // 1 shift, 2 plain, 3 second layer
  std::uint8_t wheel_axis = 0;      // 0..5, 6 none
  std::int32_t wheel_step_class = 0;
  std::int32_t enabled_axes = 0;    // bit k: axis k enabled
  std::array<std::uint8_t, kPendantDisplaySize> raw{};
};

// Decodes a 51-byte display record; empty for any other length.
std::optional<PendantDisplay> DecodePendantDisplay(std::span<const std::uint8_t> record);

// What a pendant has sent and been shown, as one copyable snapshot.
struct PendantStatus {
  std::uint8_t kind = 0;                  // 0 until announced
  std::uint32_t keys_pressed = 0;
  std::uint32_t keys_released = 0;
  std::uint32_t displays = 0;             // display messages received
  std::uint32_t rejects = 0;              // reject messages received
  std::uint32_t unknown_messages = 0;     // anything else after the channel byte
  std::optional<PendantDisplay> display;  // the last display received
};

class PendantSim {
 public:
  // The bytes each action puts on the channel.
  std::vector<std::uint8_t> Announce(std::uint8_t kind);
  std::vector<std::uint8_t> Press(std::uint8_t key_byte);
  std::vector<std::uint8_t> Release(std::uint8_t key_byte);  // key_byte + 128

  // A message from the plug-in: the bytes after the channel byte.
  void OnMessage(std::span<const std::uint8_t> message);

  const PendantStatus& Status() const { return status_; }

 private:
  PendantStatus status_;
};

}  // namespace kvboard
