// The stream reassembler fed the same stream in every chunking, with its edge cases.
#include "link/reassembler.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "runtime/le_bytes.h"

namespace kv {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Frames = std::vector<Bytes>;

Frames FeedChunks(FrameReassembler& r, const Bytes& stream, const std::vector<std::size_t>& cuts) {
  Frames out;
  std::size_t at = 0;
  auto deliver = [&](std::span<const std::uint8_t> body) { out.emplace_back(body.begin(), body.end()); };
  for (std::size_t cut : cuts) {
    r.Feed(std::span<const std::uint8_t>(stream.data() + at, cut - at), deliver);
    at = cut;
  }
  r.Feed(std::span<const std::uint8_t>(stream.data() + at, stream.size() - at), deliver);
  return out;
}

TEST(Reassembler, SameFramesInEveryChunking) {
  // A realistic mix: position reports, a status reply, a zero length byte, single-byte frames.
  Bytes stream;
  Frames expected;
  std::mt19937 rng(7);
  for (int i = 0; i < 60; ++i) {
    std::size_t len = 1 + rng() % 200;
    Bytes body(len);
    for (auto& b : body) b = static_cast<std::uint8_t>(rng());
    stream.push_back(static_cast<std::uint8_t>(len));
    stream.insert(stream.end(), body.begin(), body.end());
    expected.push_back(body);
    if (i % 7 == 0) stream.push_back(0);  // skipped without a delivery
  }

  {
    FrameReassembler r;
    EXPECT_EQ(FeedChunks(r, stream, {}), expected) << "all at once";
  }
  {
    FrameReassembler r;
    std::vector<std::size_t> cuts;
    for (std::size_t i = 1; i < stream.size(); ++i) cuts.push_back(i);
    EXPECT_EQ(FeedChunks(r, stream, cuts), expected) << "one byte at a time";
  }
  for (int trial = 0; trial < 50; ++trial) {
    FrameReassembler r;
    std::vector<std::size_t> cuts;
    for (std::size_t at = 0;;) {
      at += 1 + rng() % 300;
      if (at >= stream.size()) break;
      cuts.push_back(at);
    }
    ASSERT_EQ(FeedChunks(r, stream, cuts), expected) << "random splits, trial " << trial;
  }
}

TEST(Reassembler, SmallCases) {
  FrameReassembler r;
  EXPECT_EQ(FeedChunks(r, {0x03, 0xDE, 0x01, 0x02}, {3}), (Frames{{0xDE, 0x01, 0x02}}));
  EXPECT_EQ(FeedChunks(r, {0x01, 0xDD, 0x02, 0xDE, 0xFF}, {}), (Frames{{0xDD}, {0xDE, 0xFF}}));
  EXPECT_EQ(FeedChunks(r, {0x01, 0xDD, 0x00, 0x01, 0xDC}, {}), (Frames{{0xDD}, {0xDC}}));
}

TEST(Reassembler, LengthAboveTheLimitIsCutAt200AndTheRestReadOn) {
  FrameReassembler r;
  Bytes stream{0xFF};
  for (int i = 0; i < 255; ++i) stream.push_back(static_cast<std::uint8_t>(i < 200 ? 0x11 : 0x01));
  Frames frames = FeedChunks(r, stream, {});
  ASSERT_FALSE(frames.empty());
  EXPECT_EQ(frames[0].size(), 200u);
  // The 55 bytes left are pairs [0x01][0x01] - each a frame of one byte - plus one length byte.
  EXPECT_EQ(frames.size(), 1u + 27u);
  EXPECT_TRUE(r.Collecting());
}

TEST(Reassembler, ResetDiscardsAPartFrame) {
  FrameReassembler r;
  EXPECT_TRUE(FeedChunks(r, {0x05, 0xCF, 0x1E}, {}).empty());
  r.Reset();
  EXPECT_EQ(FeedChunks(r, {0x02, 0xDE, 0xFF}, {}), (Frames{{0xDE, 0xFF}}));
}

TEST(LeBytes, ReadsPastTheEndAreZero) {
  Bytes body{0xCF, 0x1E, 0x10, 0x27};
  std::span<const std::uint8_t> view(body);
  EXPECT_EQ(GetLe<std::uint32_t>(view, 2), 0x2710u) << "the two missing bytes read as zero";
  EXPECT_EQ(GetLe<std::int32_t>(view, 100), 0);
  std::uint8_t out[4];
  PutLe<std::int32_t>(out, -2);
  EXPECT_EQ(GetLe<std::int32_t>(std::span<const std::uint8_t>(out), 0), -2);
}

}  // namespace
}  // namespace kv
