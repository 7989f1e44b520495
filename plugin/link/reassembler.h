// Cuts the board's byte stream into frames: [length L][L bytes], a frame at a time.
// A frame may span any number of chunks and a chunk may hold any number of frames. A length
// byte of 0 is skipped; a length above 200 is taken as 200 (the receiving side's limit), and
// what follows is read as further frames: there is no resynchronisation on the wire.
// Used by both transports of the plug-in and by the board simulator.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <span>

#include "runtime/commands.h"

namespace kv {

class FrameReassembler {
 public:
  // Discards any partly collected frame; the next byte is read as a length byte.
  void Reset() { rx_expected_ = 0; rx_filled_ = 0; }

  // Feeds bytes; `deliver` is called with each complete frame body (command byte first, the
  // length byte not included), in the order received.
  template <typename Deliver>
  void Feed(std::span<const std::uint8_t> bytes, Deliver&& deliver) {
    std::size_t at = 0;
    while (at < bytes.size()) {
      if (rx_expected_ == 0) {
        int length = bytes[at++];
        if (length > wire::kMaxReceivedBody) ++cuts_;
        rx_expected_ = length > wire::kMaxReceivedBody ? wire::kMaxReceivedBody : length;
        rx_filled_ = 0;
        continue;
      }
      std::size_t need = static_cast<std::size_t>(rx_expected_ - rx_filled_);
      std::size_t take = bytes.size() - at < need ? bytes.size() - at : need;
      std::memcpy(rx_frame_.data() + rx_filled_, bytes.data() + at, take);
      at += take;
      rx_filled_ += static_cast<int>(take);
      if (rx_filled_ == rx_expected_) {
        std::span<const std::uint8_t> body(rx_frame_.data(), static_cast<std::size_t>(rx_expected_));
        rx_expected_ = 0;
        rx_filled_ = 0;
        deliver(body);
      }
    }
  }

  bool Collecting() const { return rx_expected_ != 0; }
  // Length bytes above the limit seen so far, each a frame cut short.
  std::uint64_t Cuts() const { return cuts_; }

 private:
  int rx_expected_ = 0;  // length of the frame being collected; 0 while waiting for a length byte
  int rx_filled_ = 0;
  std::uint64_t cuts_ = 0;
  std::array<std::uint8_t, 2048> rx_frame_{};
};

}  // namespace kv
