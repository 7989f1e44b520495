// Walking the plug-in's frames: every parameter width, mixed frames, and frames that cannot be
// walked to the end.
#include "command_decoder.h"

#include <gtest/gtest.h>

#include "board_config.h"
#include "runtime/packet_buffer.h"

namespace kvboard {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Finished(kv::PacketBuffer& p) {
  auto s = p.Finish();
  return Bytes(s.begin() + 1, s.end());  // the body, without the length byte
}

TEST(CommandDecoder, ParameterFrameBuiltLikeThePluginsIsWalkedRecordByRecord) {
  // The ids in the order the plug-in appends them, with their widths.
  const std::vector<std::pair<int, std::size_t>> params = {
      {34, 4}, {21, 4}, {22, 4}, {23, 8}, {24, 8}, {37, 1}, {39, 1}, {38, 8}, {35, 4}, {45, 4}, {26, 24}, {33, 6},
      {27, 24}, {40, 24}, {41, 24}, {43, 24}, {46, 24}, {44, 48}, {47, 12}, {48, 1}, {49, 4}, {50, 4}, {51, 2}};
  std::array<std::uint8_t, 1024> storage{};
  kv::PacketBuffer p(storage);
  std::size_t at = 0;
  for (std::size_t i = 0; i < params.size(); ++i) {
    if (i == 10) {  // the polarity records sit between parameters 45 and 26
      p.PutByte(0xDE).PutByte(5).PutQuad(0x0102030405060708ull);
      p.PutByte(0xDE).PutByte(69).PutLong(0xA1A2A3A4u);
      p.PutByte(0xDE).PutByte(101).PutLong(0x3FFFu);
    }
    kv::PutParamTag(p, static_cast<std::uint8_t>(params[i].first));
    for (std::size_t b = 0; b < params[i].second; ++b) p.PutByte(static_cast<std::uint8_t>(at++));
    if (i == 11) break;  // keep this frame under the 255-byte limit; the rest is checked below
  }
  ASSERT_FALSE(p.Overflowed());
  const Bytes body = Finished(p);  // the records view it: it must outlive them
  DecodedFrame f = DecodeFrame(body);
  ASSERT_FALSE(f.error) << f.error->Describe();
  ASSERT_EQ(f.records.size(), 15u);

  std::size_t value_byte = 0;
  std::size_t r = 0;
  for (std::size_t i = 0; i < 12; ++i, ++r) {
    if (i == 10) {
      EXPECT_EQ(f.records[r].kind, RecordKind::kPolarity);
      EXPECT_EQ(f.records[r].id, 5);
      EXPECT_EQ(f.records[r].value.size(), 8u);
      EXPECT_EQ(f.records[r].value[0], 0x08);
      EXPECT_EQ(f.records[r + 1].id, 69);
      EXPECT_EQ(f.records[r + 2].id, 101);
      EXPECT_EQ(f.records[r + 2].value.size(), 4u);
      r += 3;
    }
    SCOPED_TRACE("parameter " + std::to_string(params[i].first));
    EXPECT_EQ(f.records[r].kind, RecordKind::kParam);
    EXPECT_EQ(f.records[r].id, params[i].first);
    ASSERT_EQ(f.records[r].value.size(), params[i].second);
    for (std::uint8_t b : f.records[r].value) EXPECT_EQ(b, static_cast<std::uint8_t>(value_byte++));
  }
  for (const auto& [id, width] : params) EXPECT_EQ(ParamWidth(static_cast<std::uint8_t>(id)), width) << id;
  EXPECT_FALSE(ParamWidth(0));
  EXPECT_FALSE(ParamWidth(25));
  EXPECT_FALSE(ParamWidth(52));
}

TEST(CommandDecoder, MixedFrameAndEveryFixedSizeCommand) {
  const Bytes body = {0xDC,                                   // keep-alive
                      0xCA, 0xAB, 1, 1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6, 0,  // one segment
                      0xCB, 2, 1, 0x10, 0, 0, 0,              // velocity move
                      0xCC, 2,                                // velocity stop
                      0xD1, 1, 0x9C, 0xFF, 0xFF, 0xFF, 0, 0, 1, 0,  // probe -100 at 1.0
                      0xCD, 0xCE, 0xD0, 0xDD, 0xDF, 0xFA, 0xDE, 0xFF,
                      0xCA, 0xAC, 3, 1, 0x5A, 0x5A,           // pendant channel 1
                      0xE0, 'a', 'b', 'c'};                   // a configuration file to the end
  DecodedFrame f = DecodeFrame(body);
  ASSERT_FALSE(f.error) << f.error->Describe();
  const std::vector<RecordKind> kinds = {
      RecordKind::kKeepAlive, RecordKind::kSegments,   RecordKind::kVelocityMove, RecordKind::kVelocityStop,
      RecordKind::kProbeMove, RecordKind::kEStop,      RecordKind::kEnable,       RecordKind::kStreamClose,
      RecordKind::kIdentRequest, RecordKind::kPluginStop, RecordKind::kReload,    RecordKind::kStatusPoll,
      RecordKind::kPendant,   RecordKind::kConfigFile};
  ASSERT_EQ(f.records.size(), kinds.size());
  for (std::size_t i = 0; i < kinds.size(); ++i) EXPECT_EQ(f.records[i].kind, kinds[i]) << i;
  EXPECT_EQ(f.records[1].value.size(), 12u);
  EXPECT_EQ(f.records[2].value.size(), 6u);
  EXPECT_EQ(f.records[4].value.size(), 9u);
  EXPECT_EQ(f.records[12].value.size(), 3u);  // channel and two bytes
  EXPECT_EQ(Bytes(f.records[13].value.begin(), f.records[13].value.end()), (Bytes{'a', 'b', 'c'}));
}

TEST(CommandDecoder, WalkStopsAtWhatCannotBeSizedAndKeepsWhatCameBefore) {
  struct Case {
    Bytes body;
    DecodeFault fault;
    std::size_t records_before;
    std::size_t offset;
  };
  const std::vector<Case> cases = {
      {{0xDC, 0xC9, 99, 1, 2, 3, 4}, DecodeFault::kUnknownParam, 1, 1},
      {{0xC9, 34, 1, 0, 0, 0, 0xDE, 7, 0}, DecodeFault::kUnknownPolarity, 1, 6},
      {{0xDC, 0x42, 0xDC}, DecodeFault::kUnknownCode, 1, 1},
      {{0xCA, 0x99, 1, 0}, DecodeFault::kUnknownArrayKind, 0, 0},
      {{0xCB, 0, 0}, DecodeFault::kTruncated, 0, 0},                     // 2 of 6 bytes
      {{0xDC, 0xC9, 23, 1, 2, 3}, DecodeFault::kTruncated, 1, 1},        // 3 of 8 bytes
      {{0xCA, 0xAB, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, DecodeFault::kTruncated, 0, 0},  // 1 of 2 segments
      {{0xC9}, DecodeFault::kTruncated, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(HexBytes(c.body));
    DecodedFrame f = DecodeFrame(c.body);
    ASSERT_TRUE(f.error);
    EXPECT_EQ(f.error->fault, c.fault);
    EXPECT_EQ(f.error->offset, c.offset);
    EXPECT_EQ(f.records.size(), c.records_before);
    EXPECT_FALSE(f.error->Describe().empty());
  }
}

TEST(BoardTiming, PulseRateAndSegmentPeriodFollowThePluginsFigures) {
  EXPECT_EQ(PulseRateHz(3, 36, 10), 100000u);
  EXPECT_EQ(PulseRateHz(0, 30, 10), 100000u);
  EXPECT_EQ(PulseRateHz(51, 7, 9), 666000u);  // 42000 / 63 = 666 kHz, integer kHz as the plug-in has it
  EXPECT_EQ(PulseRateHz(12, 36, 10), 0u);     // no base clock
  EXPECT_EQ(PulseRateHz(3, 0, 10), 0u);       // no division by zero
  // trunc(100000 × 0.003 × 2) = 600 → 3 ms; 1000 → 5 ms.
  EXPECT_EQ(SegmentPeriodUs(600, 100000), 3000u);
  EXPECT_EQ(SegmentPeriodUs(1000, 100000), 5000u);
  EXPECT_EQ(SegmentPeriodUs(3996, 666000), 3000u);
  EXPECT_FALSE(SegmentPeriodUs(0, 100000));
  EXPECT_FALSE(SegmentPeriodUs(600, 0));
  EXPECT_EQ(SegmentPeriodUs(1, 100000), kMinSegmentPeriodUs);  // 5 µs is not simulated
}

}  // namespace
}  // namespace kvboard
