// Pendant channels: the announcement, key bytes handed to the key decoder, and the messages
// (reject, display) polled and sent to the board.
#include "motion/pendant.h"

#include <algorithm>
#include <memory>

#include "link/link_interface.h"
#include "runtime/commands.h"
#include "runtime/packet_buffer.h"

namespace kv {
namespace {

constexpr std::uint8_t kAnnounceByte = 1;
constexpr std::uint8_t kMessageByte = 0x5A;
constexpr std::uint8_t kDisplayByte = 0x5A;
constexpr std::uint8_t kRejectByte = 0x5B;

// Built zeroed before any export is called; lives until the library is unloaded.
constinit PendantChannel channels[kPendantChannels];

bool ValidChannel(int channel) { return channel >= 0 && channel < kPendantChannels; }

}  // namespace

void PendantChannel::Feed(std::span<const std::uint8_t> bytes) {
  for (std::uint8_t b : bytes) {
    if (expect_kind_.load(std::memory_order_acquire)) {
      expect_kind_.store(false, std::memory_order_release);
      // Only 17..19 name the kind shown; 20 has a map of its own but keeps the kind.
      if (b >= 17 && b <= 19) kind_.store(b, std::memory_order_release);
      key_map_.store(PendantKeyMapFor(b), std::memory_order_release);
    } else if (const PendantKeyMap* map = key_map_.load(std::memory_order_acquire)) {
      Key(PendantTranslate(*map, b));
    } else if (b == kAnnounceByte) {
      expect_kind_.store(true, std::memory_order_release);
    } else {
      bad_byte_.store(true, std::memory_order_release);
    }
  }
}

std::size_t PendantChannel::Poll(std::span<std::uint8_t, kPendantMessageMax> out) {
  if (bad_byte_.exchange(false, std::memory_order_acq_rel)) {
    out[0] = kMessageByte;
    out[1] = kRejectByte;
    return 2;
  }
  if (!announced()) return 0;
  // The resend key only asks; the cache is this thread's alone.
  if (resend_.exchange(false, std::memory_order_acq_rel)) display_cache_.fill(0);
  const PendantRecord record = BuildRecord();
  bool changed = false;
  for (std::size_t i = 0; i < record.size(); ++i) {
    if (display_cache_[i] != record[i]) {
      display_cache_[i] = record[i];
      changed = true;
    }
  }
  if (!changed) return 0;
  out[0] = kMessageByte;
  out[1] = kDisplayByte;
  std::copy(display_cache_.begin(), display_cache_.end(), out.begin() + 2);
  return kPendantMessageMax;
}

PendantChannel& Pendant(int channel) { return channels[channel == 1 ? 1 : 0]; }

void PendantFeed(int channel, std::span<const std::uint8_t> bytes) {
  if (ValidChannel(channel)) channels[channel].Feed(bytes);
}

void PendantKey(int channel, std::int32_t code) {
  if (ValidChannel(channel)) channels[channel].Key(code);
}

std::size_t PendantPoll(int channel, std::span<std::uint8_t, kPendantMessageMax> out) {
  return ValidChannel(channel) ? channels[channel].Poll(out) : 0;
}

void SendPendantFrames() {
  std::array<std::uint8_t, kPendantMessageMax> message{};
  for (int channel = 0; channel < kPendantChannels; ++channel) {
    const std::size_t n = PendantPoll(channel, message);
    if (n == 0) continue;
    auto frame = std::make_unique<ArrayPacket>(wire::ARRAY_BYTES, static_cast<std::uint8_t>(n + 1));
    std::span<std::uint8_t> elements = frame->Reserve(n + 1);
    if (elements.size() != n + 1) continue;
    elements[0] = static_cast<std::uint8_t>(channel);
    std::copy_n(message.begin(), n, elements.begin() + 1);
    LinkSendFrame(std::move(frame));
  }
}

}  // namespace kv
