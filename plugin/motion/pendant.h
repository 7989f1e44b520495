// Hand-wheel pendants tunnelled through the board's two external channels: key bytes in,
// display records out.
//
// The board forwards each pendant's raw bytes in 0xCA 0xAC frames. A pendant announces itself
// with the byte 1 and its kind; from then on every byte is a key byte, translated through the
// kind's key map into a common key code and performed as a jog, a host button, a G-code line, a
// DRO change or a change of the hand-wheel selection. Every streaming run of the service task
// sends each announced pendant its 51-byte display record when it changed.
//
// Threads: Feed and Key run on the link thread that delivers the board's frames, Poll on the
// scheduler thread. Every field both threads touch is atomic; the display cache belongs to the
// scheduler thread alone, so the resend key only asks Poll to clear it.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>

namespace kv {

inline constexpr std::size_t kPendantRecordSize = 51;                       // display record
inline constexpr std::size_t kPendantMessageMax = 2 + kPendantRecordSize;   // 0x5A 0x5A + record
inline constexpr int kPendantChannels = 2;

// A kind's key map: entry b is the key code of key byte b.
struct PendantKeyMap {
  std::int32_t kind;
  std::span<const std::uint8_t> entries;
};

// The map of a kind byte (17, 18, 19 or 20), or null for any other value.
const PendantKeyMap* PendantKeyMapFor(std::uint8_t kind);
// A key byte as a key code: presses map directly, bytes above 128 are the release (128 + code)
// of the key 128 below; bytes past the map's length give 0 (or 128).
std::int32_t PendantTranslate(const PendantKeyMap& map, std::uint8_t key_byte);

using PendantRecord = std::array<std::uint8_t, kPendantRecordSize>;

// The pendant channel: one per external channel of the board.
class PendantChannel {
 public:
  constexpr PendantChannel() = default;
  PendantChannel(const PendantChannel&) = delete;
  PendantChannel& operator=(const PendantChannel&) = delete;

  // Bytes from the pendant, one by one (link thread).
  void Feed(std::span<const std::uint8_t> bytes);
  // Performs one key code (link thread).
  void Key(std::int32_t code);
  // Writes a pending message (reject or changed display) to `out` and returns its length, or 0
  // (scheduler thread).
  std::size_t Poll(std::span<std::uint8_t, kPendantMessageMax> out);
  // The display record the present machine state gives (what Poll compares with its cache).
  PendantRecord BuildRecord() const;

  std::int32_t kind() const { return kind_.load(std::memory_order_acquire); }
  bool announced() const { return key_map_.load(std::memory_order_acquire) != nullptr; }
  bool shift() const { return shift_.load(std::memory_order_acquire); }
  bool alt() const { return alt_.load(std::memory_order_acquire); }
  bool arm_a() const { return arm_a_.load(std::memory_order_acquire); }
  bool arm_b() const { return arm_b_.load(std::memory_order_acquire); }
  bool arm_c() const { return arm_c_.load(std::memory_order_acquire); }

 private:
  bool AnyArmed() const { return arm_a() || arm_b() || arm_c(); }
  void Arm(std::atomic<bool>& family);
  void Disarm();
  void ZeroLines(std::int32_t axis);
  void ZeroAxisKey(int axis);
  void LayerCycle();

  std::atomic<const PendantKeyMap*> key_map_{nullptr};
  PendantRecord display_cache_{};  // scheduler thread only
  std::atomic<std::int32_t> kind_{0};
  std::atomic<bool> expect_kind_{false};
  std::atomic<bool> shift_{false};
  std::atomic<bool> alt_{false};
  std::atomic<bool> arm_a_{false};
  std::atomic<bool> arm_b_{false};
  std::atomic<bool> arm_c_{false};
  std::atomic<bool> bad_byte_{false};
  std::atomic<bool> resend_{false};  // set by the resend key, acted on by Poll
};

// The two channels, built zeroed when the library loads.
PendantChannel& Pendant(int channel);

// Pendant bytes from the board for channel 0 or 1 (link thread); other channels are ignored.
void PendantFeed(int channel, std::span<const std::uint8_t> bytes);
void PendantKey(int channel, std::int32_t code);
std::size_t PendantPoll(int channel, std::span<std::uint8_t, kPendantMessageMax> out);
// Every streaming run of the service task, before the parameter frame (scheduler thread): one
// 0xCA 0xAC frame per channel with a message, channel 0 first.
void SendPendantFrames();

}  // namespace kv
