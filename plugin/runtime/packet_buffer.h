// Outgoing frames: [length][command][payload], built with typed puts and finished by the link.
// A packet is a heap object owned by a std::unique_ptr; handing it to the link hands it over.
// Unlike a raw buffer, every put is bounded: a put that would pass the storage or the 255-byte
// frame limit is not written and marks the packet overflowed, and the links refuse to send an
// overflowed packet rather than put a cut frame on the wire.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace kv {

class Packet {
 public:
  virtual ~Packet() = default;
  // Completes the frame (length byte, counts) and returns it as it goes on the wire:
  // data[0] + 1 bytes. May be called more than once with the same result.
  virtual std::span<const std::uint8_t> Finish() = 0;
  virtual bool Overflowed() const = 0;
};

class PacketBuffer : public Packet {
 public:
  // Owned storage sized for `command` (see the capacity table in the .cpp); writes the command.
  explicit PacketBuffer(std::uint8_t command);
  // Borrowed storage: the caller's buffer, never freed here. Nothing is written; the first byte
  // put serves as the command byte.
  explicit PacketBuffer(std::span<std::uint8_t> storage);
  ~PacketBuffer() override = default;
  PacketBuffer(const PacketBuffer&) = delete;
  PacketBuffer& operator=(const PacketBuffer&) = delete;

  PacketBuffer& PutByte(std::uint8_t v) { return PutBytes(&v, 1); }
  PacketBuffer& PutWord(std::uint16_t v);
  PacketBuffer& PutLong(std::uint32_t v);
  PacketBuffer& PutQuad(std::uint64_t v);
  PacketBuffer& PutBytes(const std::uint8_t* bytes, std::size_t count);

  // Bytes written after the length byte (1 for a fresh command packet, 0 for a borrowed one).
  std::int32_t Size() const { return static_cast<std::int32_t>(write_pos_ - data_ - 1); }
  // Bytes that may still be put before the storage or the frame limit is reached.
  std::size_t Room() const;
  std::size_t StorageSize() const { return storage_size_; }
  bool Borrowed() const { return borrowed_; }
  bool Overflowed() const override { return overflowed_; }

  std::span<const std::uint8_t> Finish() override;

  // Payload capacity of an owned packet for each command code.
  static std::size_t PayloadCapacity(std::uint8_t command);

 protected:
  PacketBuffer(std::size_t storage_size, bool);  // owned storage of an exact size, nothing written
  // Advances over `count` bytes and returns where they go, or null (and overflowed) if no room.
  std::uint8_t* Claim(std::size_t count);
  std::uint8_t* data() { return data_; }

 private:
  std::unique_ptr<std::uint8_t[]> owned_;
  std::uint8_t* write_pos_ = nullptr;
  std::uint8_t* data_ = nullptr;
  std::size_t storage_size_ = 0;
  bool borrowed_ = false;
  bool overflowed_ = false;
};

// Marks one parameter record of a parameter frame: 0xC9 then the id.
PacketBuffer& PutParamTag(PacketBuffer& packet, std::uint8_t id);

// Array frame 0xCA: [kind][count][elements]; the count is filled in by Finish.
class ArrayPacket : public PacketBuffer {
 public:
  ArrayPacket(std::uint8_t kind, std::uint8_t count);
  // Room for n more elements, to be copied in by the caller; empty (and overflowed) if the
  // storage reserved for `count` elements is used up.
  std::span<std::uint8_t> Reserve(std::size_t n);
  std::uint8_t ElementSize() const { return element_size_; }
  std::int32_t ElementCount() const { return element_count_; }
  std::span<const std::uint8_t> Finish() override;

 private:
  std::uint8_t element_size_;
  std::int32_t element_count_ = 0;
};

}  // namespace kv
