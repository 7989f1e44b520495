// Frames built byte for byte: command packets, borrowed buffers, array frames and the bounds.
#include "runtime/packet_buffer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/message_box.h"
#include "runtime/commands.h"

namespace kv {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Wire(Packet& p) {
  auto frame = p.Finish();
  return Bytes(frame.begin(), frame.end());
}

TEST(PacketBuffer, CommandFramesByteForByte) {
  PacketBuffer ident(wire::IDENT_REQUEST);
  EXPECT_EQ(Wire(ident), (Bytes{0x01, 0xDD}));

  PacketBuffer poll(wire::STATUS_POLL);
  poll.PutByte(0xFF);
  EXPECT_EQ(Wire(poll), (Bytes{0x02, 0xDE, 0xFF}));
  EXPECT_EQ(Wire(poll), (Bytes{0x02, 0xDE, 0xFF})) << "Finish twice gives the same frame";

  PacketBuffer move(wire::VELOCITY_MOVE);
  move.PutByte(2).PutByte(1).PutLong(1000);
  EXPECT_EQ(Wire(move), (Bytes{0x07, 0xCB, 0x02, 0x01, 0xE8, 0x03, 0x00, 0x00}));

  PacketBuffer quad(wire::STATUS_POLL);
  quad.PutQuad(0x0102030405060708ULL).PutWord(0xBEEF);
  EXPECT_EQ(Wire(quad), (Bytes{0x0B, 0xDE, 0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01, 0xEF, 0xBE}));
}

TEST(PacketBuffer, StorageFollowsTheCapacityTable) {
  EXPECT_EQ(PacketBuffer(wire::VELOCITY_MOVE).StorageSize(), 8u);
  EXPECT_EQ(PacketBuffer(wire::VELOCITY_STOP).StorageSize(), 3u);
  EXPECT_EQ(PacketBuffer(wire::PROBE_MOVE).StorageSize(), 11u);
  EXPECT_EQ(PacketBuffer(wire::STATUS_POLL).StorageSize(), 66u);
  EXPECT_EQ(PacketBuffer(wire::CONFIG_FILE).StorageSize(), 262u);
  EXPECT_EQ(PacketBuffer(wire::KEEP_ALIVE).StorageSize(), 2u);
  EXPECT_EQ(PacketBuffer(wire::IDENT_REQUEST).Size(), 1);
}

TEST(PacketBuffer, PutsNeverPassTheStorageOrTheFrameLimit) {
  PacketBuffer stop(wire::VELOCITY_STOP);  // room for one byte
  stop.PutByte(3);
  EXPECT_FALSE(stop.Overflowed());
  stop.PutLong(0xFFFFFFFF);
  EXPECT_TRUE(stop.Overflowed());
  EXPECT_EQ(Wire(stop), (Bytes{0x02, 0xCC, 0x03})) << "the refused put wrote nothing";

  // The configuration frame's storage is larger than a frame may be: 254 payload bytes at most.
  PacketBuffer config(wire::CONFIG_FILE);
  for (int i = 0; i < 254; ++i) config.PutByte(static_cast<std::uint8_t>(i));
  EXPECT_FALSE(config.Overflowed());
  EXPECT_EQ(config.Size(), 255);
  config.PutByte(0xAA);
  EXPECT_TRUE(config.Overflowed());
  EXPECT_EQ(Wire(config).size(), 256u);
}

TEST(PacketBuffer, BorrowedStorageIsUsedInPlaceAndLeftAlone) {
  std::vector<std::uint8_t> storage(1024, 0x5A);
  {
    PacketBuffer frame{std::span<std::uint8_t>(storage)};
    EXPECT_TRUE(frame.Borrowed());
    EXPECT_EQ(frame.Size(), 0);
    frame.PutByte(wire::KEEP_ALIVE);
    EXPECT_EQ(frame.Size(), 1);
    EXPECT_EQ(Wire(frame), (Bytes{0x01, 0xDC}));
    EXPECT_EQ(frame.Finish().data(), storage.data()) << "the frame is the caller's buffer";
  }
  EXPECT_EQ(storage[0], 0x01);
  EXPECT_EQ(storage[1], 0xDC);
  EXPECT_EQ(storage[2], 0x5A) << "nothing beyond the frame was touched";

  PacketBuffer params{std::span<std::uint8_t>(storage)};
  PutParamTag(params, 34).PutLong(7);
  EXPECT_EQ(Wire(params), (Bytes{0x06, 0xC9, 34, 7, 0, 0, 0}));
  // A borrowed buffer larger than a frame still yields at most 255 bytes after the length.
  PacketBuffer big{std::span<std::uint8_t>(storage)};
  for (int i = 0; i < 300; ++i) big.PutByte(1);
  EXPECT_TRUE(big.Overflowed());
  EXPECT_EQ(big.Size(), 255);
}

TEST(ArrayPacket, CountsAndLayout) {
  ArrayPacket pendant(wire::ARRAY_BYTES, 3);
  for (std::uint8_t b : {std::uint8_t{0x10}, std::uint8_t{0x20}, std::uint8_t{0x30}}) pendant.Reserve(1)[0] = b;
  EXPECT_EQ(Wire(pendant), (Bytes{0x06, 0xCA, 0xAC, 0x03, 0x10, 0x20, 0x30}));

  ArrayPacket segments(wire::ARRAY_SEGMENTS, 2);
  EXPECT_EQ(segments.StorageSize(), 28u);
  auto room = segments.Reserve(2);
  ASSERT_EQ(room.size(), 24u);
  for (std::size_t i = 0; i < room.size(); ++i) room[i] = static_cast<std::uint8_t>(i);
  Bytes frame = Wire(segments);
  EXPECT_EQ(frame[0], 27);
  EXPECT_EQ(frame[3], 2);
  EXPECT_EQ(frame.size(), 28u);

  ArrayPacket empty(wire::ARRAY_SEGMENTS, 0);
  EXPECT_EQ(Wire(empty), (Bytes{0x03, 0xCA, 0xAB, 0x00}));

  ArrayPacket full(wire::ARRAY_BYTES, 1);
  EXPECT_EQ(full.Reserve(1).size(), 1u);
  EXPECT_TRUE(full.Reserve(1).empty()) << "no room past the reserved count";
  EXPECT_TRUE(full.Overflowed());
  EXPECT_EQ(Wire(full)[3], 1) << "the refused element is not counted";

  ArrayPacket twenty(wire::ARRAY_SEGMENTS, 20);
  EXPECT_EQ(twenty.Reserve(20).size(), 240u);
  EXPECT_EQ(Wire(twenty)[0], 243);
}

TEST(PacketBuffer, ReloadRequestShowsItsBoxOncePerFinish) {
  std::vector<std::string> boxes;
  platform::SetMessageBoxHandler([&](std::string_view text, std::string_view caption) {
    boxes.push_back(std::string(caption) + ":" + std::string(text));
  });
  PacketBuffer reload(wire::RELOAD_REQUEST);
  EXPECT_EQ(Wire(reload), (Bytes{0x01, 0xFA}));
  reload.Finish();
  PacketBuffer other(wire::KEEP_ALIVE);
  other.Finish();
  platform::SetMessageBoxHandler(nullptr);
  EXPECT_EQ(boxes, (std::vector<std::string>{"reload:detect reload", "reload:detect reload"}));
}

}  // namespace
}  // namespace kv
