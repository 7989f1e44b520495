// Packet buffers and array frames for everything the plug-in sends to the board.
#include "runtime/packet_buffer.h"

#include <cstring>  // std::memcpy

#include "platform/message_box.h"
#include "runtime/commands.h"
#include "runtime/le_bytes.h"

namespace kv {
namespace {

constexpr std::size_t kMaxFrameBytes = wire::kMaxFrameBody + 1;  // with the length byte

}  // namespace

std::size_t PacketBuffer::PayloadCapacity(std::uint8_t command) {
  switch (command) {
    case wire::VELOCITY_MOVE: return 6;
    case wire::VELOCITY_STOP: return 1;
    case wire::PROBE_MOVE: return 9;
    case wire::STATUS_POLL: return 64;
    case wire::CONFIG_FILE: return 260;
    default: return 0;
  }
}

PacketBuffer::PacketBuffer(std::uint8_t command) : PacketBuffer(PayloadCapacity(command) + 2, true) {
  PutByte(command);
}

PacketBuffer::PacketBuffer(std::span<std::uint8_t> storage)
    : write_pos_(storage.data() + 1), data_(storage.data()), storage_size_(storage.size()), borrowed_(true) {
  if (storage.empty()) {  // no room even for the length byte
    write_pos_ = data_;
    overflowed_ = true;
  }
}

PacketBuffer::PacketBuffer(std::size_t storage_size, bool)
    : owned_(new std::uint8_t[storage_size]()), storage_size_(storage_size) {
  data_ = owned_.get();
  write_pos_ = data_ + 1;
}

std::size_t PacketBuffer::Room() const {
  if (write_pos_ < data_ + 1) return 0;
  std::size_t used = static_cast<std::size_t>(write_pos_ - data_);
  std::size_t limit = storage_size_ < kMaxFrameBytes ? storage_size_ : kMaxFrameBytes;
  return used >= limit ? 0 : limit - used;
}

std::uint8_t* PacketBuffer::Claim(std::size_t count) {
  if (count > Room()) {
    overflowed_ = true;
    return nullptr;
  }
  std::uint8_t* at = write_pos_;
  write_pos_ += count;
  return at;
}

PacketBuffer& PacketBuffer::PutBytes(const std::uint8_t* bytes, std::size_t count) {
  if (std::uint8_t* at = Claim(count); at != nullptr && count != 0) std::memcpy(at, bytes, count);
  return *this;
}

PacketBuffer& PacketBuffer::PutWord(std::uint16_t v) {
  if (std::uint8_t* at = Claim(2)) PutLe(at, v);
  return *this;
}

PacketBuffer& PacketBuffer::PutLong(std::uint32_t v) {
  if (std::uint8_t* at = Claim(4)) PutLe(at, v);
  return *this;
}

PacketBuffer& PacketBuffer::PutQuad(std::uint64_t v) {
  if (std::uint8_t* at = Claim(8)) PutLe(at, v);
  return *this;
}

std::span<const std::uint8_t> PacketBuffer::Finish() {
  if (storage_size_ == 0) return {};
  data_[0] = static_cast<std::uint8_t>(Size() & 0xFF);
  if (Size() >= 1 && data_[1] == wire::RELOAD_REQUEST) platform::ShowMessageBox("detect reload", "reload");
  return {data_, static_cast<std::size_t>(data_[0]) + 1};
}

PacketBuffer& PutParamTag(PacketBuffer& packet, std::uint8_t id) {
  return packet.PutByte(wire::PARAM_TAG).PutByte(id);
}

ArrayPacket::ArrayPacket(std::uint8_t kind, std::uint8_t count)
    : PacketBuffer(4 + static_cast<std::size_t>(count) * (kind == wire::ARRAY_SEGMENTS ? 12 : 1), true),
      element_size_(kind == wire::ARRAY_SEGMENTS ? 12 : 1) {
  PutByte(wire::ARRAY_FRAME).PutByte(kind).PutByte(0);
}

std::span<std::uint8_t> ArrayPacket::Reserve(std::size_t n) {
  std::uint8_t* at = Claim(n * element_size_);
  if (at == nullptr) return {};
  element_count_ += static_cast<std::int32_t>(n);
  return {at, n * element_size_};
}

std::span<const std::uint8_t> ArrayPacket::Finish() {
  data()[3] = static_cast<std::uint8_t>(element_count_ & 0xFF);
  return PacketBuffer::Finish();
}

}  // namespace kv
