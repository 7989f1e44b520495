// The simulated board over loopback, against a stand-in for the plug-in's side: discovery and
// connection, the exact bytes of its replies and reports, parameter records, motion at the
// parameter period, E-stop, faults received and faults injected.
#include "sim_board.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "platform/clock.h"
#include "platform/hid.h"
#include "platform/hid_sim.h"
#include "runtime/le_bytes.h"
#include "runtime/packet_buffer.h"
#include "test_peer.h"

namespace kvboard {
namespace {

using testing::TestPeer;
using Position = std::array<std::int32_t, kAxes>;

constexpr int kTimeoutMs = 5000;  // generous: a shared, noisy machine

class LogCapture {
 public:
  std::function<void(std::string_view)> Sink() {
    return [this](std::string_view line) {
      std::lock_guard lock(mu_);
      lines_.emplace_back(line);
    };
  }
  bool HasLine(std::string_view part) const {
    std::lock_guard lock(mu_);
    for (const auto& l : lines_) {
      if (l.rfind("kvboard: ", 0) == 0 && l.find(part) != std::string::npos) return true;
    }
    return false;
  }

 private:
  mutable std::mutex mu_;
  std::vector<std::string> lines_;
};

std::optional<std::uint32_t> ExecutedIn(const Bytes& f) {
  if (f.size() != 6 || f[0] != 0xCF || f[1] != 0x1E) return std::nullopt;
  return kv::GetLe<std::uint32_t>(f, 2);
}

std::optional<Position> PositionIn(const Bytes& f) {
  if (f.size() != 26 || f[0] != 0xCF || f[1] != 0x20) return std::nullopt;
  Position p{};
  for (int k = 0; k < kAxes; ++k) p[k] = kv::GetLe<std::int32_t>(f, 2 + 4 * static_cast<std::size_t>(k));
  return p;
}

bool IsMode(const Bytes& f, std::uint8_t mode) { return f == Bytes{0xCF, 0x1F, mode}; }
bool IsAnyMode(const Bytes& f) { return f.size() == 3 && f[0] == 0xCF && f[1] == 0x1F; }

Bytes SegmentFrame(int count, std::array<std::int16_t, kAxes> steps) {
  Bytes body = {0xCA, 0xAB, static_cast<std::uint8_t>(count)};
  for (int i = 0; i < count; ++i) {
    for (std::int16_t s : steps) {
      body.push_back(static_cast<std::uint8_t>(s & 0xFF));
      body.push_back(static_cast<std::uint8_t>((s >> 8) & 0xFF));
    }
  }
  return body;
}

// A parameter frame built as the plug-in builds it: records in borrowed storage.
template <typename Fill>
Bytes ParamFrame(Fill&& fill) {
  std::array<std::uint8_t, 1024> storage{};
  kv::PacketBuffer p(storage);
  fill(p);
  EXPECT_FALSE(p.Overflowed());
  auto s = p.Finish();
  return Bytes(s.begin() + 1, s.end());
}

Bytes Le32(std::int32_t v) {
  Bytes b(4);
  kv::PutLe(b.data(), v);
  return b;
}

class SimBoardTest : public ::testing::Test {
 protected:
  BoardConfig Config() {
    BoardConfig c;
    c.discovery_port = 0;
    c.plugin_port = peer_.port();
    c.retry_ms = 50;
    c.log = log_.Sink();
    return c;
  }
  void Connect(SimBoard& board) {
    ASSERT_TRUE(board.Start());
    ASSERT_TRUE(peer_.AcceptBoard(board.DiscoveryPort(), kTimeoutMs));
    ASSERT_TRUE(board.WaitFor([](const Stats& s) { return s.connected; }, kTimeoutMs));
  }
  void SetPeriodFigure(SimBoard& board, std::uint32_t figure, std::uint32_t expect_us) {
    ASSERT_TRUE(peer_.SendFrame(ParamFrame([&](kv::PacketBuffer& p) { kv::PutParamTag(p, 34).PutLong(figure); })));
    ASSERT_TRUE(board.WaitFor([&](const Stats& s) { return s.segment_period_us == expect_us; }, kTimeoutMs));
  }

  LogCapture log_;
  TestPeer peer_;
};

TEST_F(SimBoardTest, IdentificationAndStatusRepliesAreByteExact) {
  BoardConfig c = Config();
  c.serial = "AB12CD34";
  c.model = 5;
  c.firmware = 0x1234;
  c.axis_count = 4;
  c.divisor_a = 30;
  c.divisor_b = 12;
  c.input_polarity = 0x8000000000000001ull;
  c.output_polarity = 0x10;
  c.motor_polarity = 0x2AAA;
  c.motor6_dir = 100;
  c.mpg_axis_inputs[0] = {7, 0};
  c.mpg_axis_inputs[5] = {12, 5};
  c.mpg_step_inputs[3] = {20, 1000};
  SimBoard board(c);
  Connect(board);

  const std::uint32_t before = platform::TickMs();
  ASSERT_TRUE(peer_.SendFrame({0xDD}));
  auto ident = peer_.WaitFramePrefix({0xDD}, kTimeoutMs);
  ASSERT_TRUE(ident);
  EXPECT_EQ(*ident, (Bytes{0xDD, 1, 'A', 'B', '1', '2', 'C', 'D', '3', '4', 5, 0x34, 0x12, 4, 30, 12, 0, 0}));

  ASSERT_TRUE(peer_.SendFrame({0xDE, 0xFF}));
  auto status = peer_.WaitFramePrefix({0xDE}, kTimeoutMs);
  ASSERT_TRUE(status);
  const Bytes expected = {0xDE,
                          0x05, 0x01, 0, 0, 0, 0, 0, 0, 0x80,
                          0x45, 0x10, 0, 0, 0,
                          0x65, 0xAA, 0x2A, 0, 0,
                          0x7F, 0, 0, 7, 0, 0, 6, 0, 6, 0, 6, 0, 6, 12, 5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 20, 0xE8, 0x03,
                          0x7D, 100};
  EXPECT_EQ(*status, expected);

  Stats s = board.Snapshot();
  EXPECT_EQ(s.connections, 1u);
  EXPECT_GE(s.hellos, 1u);
  EXPECT_EQ(s.peer_address, kLoopback);
  EXPECT_EQ(s.peer_port, peer_.port());
  ASSERT_EQ(s.ident_request_ms.size(), 1u);
  EXPECT_LE(static_cast<std::int32_t>(s.ident_request_ms[0] - before), kTimeoutMs);
  EXPECT_GE(static_cast<std::int32_t>(s.ident_request_ms[0] - before), 0);
  EXPECT_EQ(s.status_polls, 1u);
  EXPECT_EQ(s.pulse_rate_hz, 100000u);

  // The polarity records become the board's stored polarities, which the next reply reports.
  ASSERT_TRUE(peer_.SendFrame(ParamFrame([](kv::PacketBuffer& p) {
    p.PutByte(0xDE).PutByte(5).PutQuad(0x55);
    p.PutByte(0xDE).PutByte(69).PutLong(3);
    p.PutByte(0xDE).PutByte(101).PutLong(0x1555);
    p.PutByte(0xDE).PutByte(0xFF);  // and a poll in the same frame
  })));
  status = peer_.WaitFramePrefix({0xDE}, kTimeoutMs);
  ASSERT_TRUE(status);
  EXPECT_EQ(Bytes(status->begin(), status->begin() + 20),
            (Bytes{0xDE, 0x05, 0x55, 0, 0, 0, 0, 0, 0, 0, 0x45, 3, 0, 0, 0, 0x65, 0x55, 0x15, 0, 0}));
}

TEST_F(SimBoardTest, LoaderAnswersWithStatusZeroTakesTheImageAndComesBackAsFirmware) {
  BoardConfig c = Config();
  c.connect_direct = true;
  c.in_loader = true;
  SimBoard board(c);
  ASSERT_TRUE(board.Start());
  ASSERT_TRUE(peer_.AcceptBoard(0, kTimeoutMs));
  ASSERT_TRUE(peer_.SendFrame({0xDD}));
  auto ident = peer_.WaitFramePrefix({0xDD}, kTimeoutMs);
  ASSERT_TRUE(ident);
  EXPECT_EQ(*ident, (Bytes{0xDD, 0}));
  EXPECT_FALSE(peer_.WaitFramePrefix({0xCF}, 150)) << "the loader sends no reports";

  // The raw loader messages, unframed: begin, two blocks, end.
  Bytes raw = {0xC3};
  for (std::uint32_t address : {0u, 48u}) {
    raw.insert(raw.end(), {0xC5, 0, 0, static_cast<std::uint8_t>(address)});
    for (int i = 0; i < 48; ++i) raw.push_back(static_cast<std::uint8_t>(address + static_cast<std::uint32_t>(i)));
  }
  raw.push_back(0xC6);
  ASSERT_TRUE(peer_.SendRaw(raw));
  ASSERT_TRUE(board.WaitFor([](const Stats& s) { return s.loader_ends == 1; }, kTimeoutMs));
  Stats s = board.Snapshot();
  EXPECT_EQ(s.loader_begins, 1u);
  EXPECT_EQ(s.loader_blocks, 2u);
  EXPECT_EQ(s.loader_image_bytes, 96u);
  EXPECT_EQ(s.malformed, 0u);
  EXPECT_EQ(s.loader_bad_blocks, 0u);
  EXPECT_EQ(s.upgrades, 1u);
  EXPECT_FALSE(s.in_loader);
  Bytes image;
  for (std::uint8_t i = 0; i < 96; ++i) image.push_back(i);
  EXPECT_EQ(board.LoaderImage(), image) << "assembled byte for byte";

  // It restarts at the end and returns running the new firmware: one version up.
  ASSERT_TRUE(peer_.AcceptBoard(0, kTimeoutMs));
  ASSERT_TRUE(peer_.SendFrame({0xDD}));
  ident = peer_.WaitFramePrefix({0xDD}, kTimeoutMs);
  ASSERT_TRUE(ident);
  ASSERT_EQ(ident->size(), 18u);
  EXPECT_EQ((*ident)[1], 1);
  EXPECT_EQ(kv::GetLe<std::uint16_t>(*ident, 11), 0x0204);
}

// A USB host that closes its handle and opens another while the board is still busy with the old
// one's last report: everything the new handle writes belongs to the new connection, so an image
// sent on it is not wiped when the board notices the new handle during the pause before the end.
TEST_F(SimBoardTest, ReportsOfANewUsbHandleAreNeverTakenIntoTheOldConnection) {
  std::mutex gate_mu;
  std::condition_variable gate_cv;
  bool in_ident = false, release = false, held = false;
  BoardConfig c = Config();
  c.usb = true;
  c.in_loader = true;
  c.verbose = true;
  c.log = [&, sink = log_.Sink()](std::string_view line) {
    sink(line);
    if (line.find("rx DD") == std::string_view::npos) return;
    std::unique_lock lock(gate_mu);
    if (std::exchange(held, true)) return;
    in_ident = true;  // the board is inside the identification request, holding its state
    gate_cv.notify_all();
    gate_cv.wait(lock, [&] { return release; });
  };
  SimBoard board(c);
  ASSERT_TRUE(board.Start());
  std::shared_ptr<platform::HidBackend> backend = platform::CurrentHidBackend();
  ASSERT_TRUE(backend);
  std::string path;
  for (const platform::HidDeviceInfo& d : backend->Enumerate()) path = d.path;
  ASSERT_FALSE(path.empty());

  auto report = [](std::initializer_list<std::uint8_t> head, std::size_t fill_from = 0) {
    std::vector<std::uint8_t> r(65, 0);
    std::copy(head.begin(), head.end(), r.begin() + 1);
    if (fill_from != 0) {
      for (std::size_t i = 0; i < 48; ++i) r[5 + i] = static_cast<std::uint8_t>(fill_from + i);
    }
    return r;
  };
  std::shared_ptr<platform::HidDevice> first = backend->Open(path);
  ASSERT_TRUE(first);
  ASSERT_TRUE(board.WaitFor([](const Stats& s) { return s.connected; }, kTimeoutMs));
  ASSERT_TRUE(first->Write(report({2, 0, 0x01, 0xDD})));  // the identification request frame
  {
    std::unique_lock lock(gate_mu);
    ASSERT_TRUE(gate_cv.wait_for(lock, std::chrono::milliseconds(kTimeoutMs), [&] { return in_ident; }));
  }
  first->Close();
  std::shared_ptr<platform::HidDevice> second = backend->Open(path);
  ASSERT_TRUE(second);
  EXPECT_TRUE(second->Write(report({0xC3})));
  EXPECT_TRUE(second->Write(report({0xC5, 0, 0, 0}, 1)));
  EXPECT_TRUE(second->Write(report({0xC5, 0, 0, 48}, 49)));
  {
    std::lock_guard lock(gate_mu);
    release = true;
  }
  gate_cv.notify_all();
  platform::SleepMs(200);  // the host's pause before the end: the board falls idle meanwhile
  EXPECT_TRUE(second->Write(report({0xC6})));
  ASSERT_TRUE(board.WaitFor([](const Stats& s) { return s.loader_ends == 1; }, kTimeoutMs));
  const Stats s = board.Snapshot();
  EXPECT_EQ(s.loader_begins, 1u);
  EXPECT_EQ(s.loader_blocks, 2u);
  EXPECT_EQ(s.loader_bad_blocks, 0u) << s.last_fault;
  EXPECT_EQ(s.upgrades, 1u) << "the image sent on the new handle was kept";
  EXPECT_FALSE(log_.HasLine("end without a complete image"));
  std::vector<std::uint8_t> image;
  for (std::uint8_t i = 1; i <= 96; ++i) image.push_back(i);
  EXPECT_EQ(board.LoaderImage(), image);
  second->Close();
}

TEST_F(SimBoardTest, ReloadRestartsIntoTheLoaderWhereBadAddressesVoidTheImageAndAMarkedImageSetsTheVersion) {
  BoardConfig c = Config();
  c.connect_direct = true;
  SimBoard board(c);
  ASSERT_TRUE(board.Start());
  ASSERT_TRUE(peer_.AcceptBoard(0, kTimeoutMs));
  ASSERT_TRUE(peer_.SendFrame({0xFA}));
  ASSERT_TRUE(peer_.AcceptBoard(0, kTimeoutMs)) << "the board restarts into its loader and connects again";
  ASSERT_TRUE(peer_.SendFrame({0xDD}));
  auto ident = peer_.WaitFramePrefix({0xDD}, kTimeoutMs);
  ASSERT_TRUE(ident);
  EXPECT_EQ(*ident, (Bytes{0xDD, 0}));

  auto block = [](std::uint32_t address, std::uint8_t fill) {
    Bytes b = {0xC5, static_cast<std::uint8_t>(address >> 16), static_cast<std::uint8_t>(address >> 8),
               static_cast<std::uint8_t>(address)};
    b.resize(52, fill);
    return b;
  };
  // A block before any begin, then a gap: the image is void and the end leaves the loader running.
  Bytes raw = block(0, 1);
  raw.push_back(0xC3);
  for (const Bytes& b : {block(0, 2), block(96, 3)}) raw.insert(raw.end(), b.begin(), b.end());
  raw.push_back(0xC6);
  ASSERT_TRUE(peer_.SendRaw(raw));
  ASSERT_TRUE(board.WaitFor([](const Stats& s) { return s.loader_ends == 1; }, kTimeoutMs));
  EXPECT_EQ(board.Snapshot().loader_bad_blocks, 2u);
  EXPECT_EQ(board.Snapshot().upgrades, 0u);
  ASSERT_TRUE(peer_.AcceptBoard(0, kTimeoutMs));
  ASSERT_TRUE(peer_.SendFrame({0xDD}));
  ident = peer_.WaitFramePrefix({0xDD}, kTimeoutMs);
  ASSERT_TRUE(ident);
  EXPECT_EQ(*ident, (Bytes{0xDD, 0})) << "still in the loader";

  // An image past 64 KiB whose mark names version 0x0310.
  raw = {0xC3};
  for (std::uint32_t address = 0; address < 70080; address += 48) {
    Bytes b = block(address, static_cast<std::uint8_t>(address / 48));
    if (address == 0) std::copy_n("KVFW\x10\x03", 6, b.begin() + 4);
    raw.insert(raw.end(), b.begin(), b.end());
  }
  raw.push_back(0xC6);
  ASSERT_TRUE(peer_.SendRaw(raw));
  ASSERT_TRUE(board.WaitFor([](const Stats& s) { return s.upgrades == 1; }, kTimeoutMs));
  EXPECT_EQ(board.LoaderImage().size(), 70080u);
  EXPECT_EQ(board.LoaderImage()[70000], static_cast<std::uint8_t>(70000 / 48));
  ASSERT_TRUE(peer_.AcceptBoard(0, kTimeoutMs));
  ASSERT_TRUE(peer_.SendFrame({0xDD}));
  ident = peer_.WaitFramePrefix({0xDD}, kTimeoutMs);
  ASSERT_TRUE(ident);
  ASSERT_EQ(ident->size(), 18u);
  EXPECT_EQ(kv::GetLe<std::uint16_t>(*ident, 11), 0x0310);
  EXPECT_EQ(board.Snapshot().firmware, 0x0310);
}

TEST_F(SimBoardTest, EveryParameterRecordIsKeptByteExactWithItsCount) {
  SimBoard board(Config());
  Connect(board);
  const std::vector<std::pair<std::uint8_t, std::size_t>> first = {
      {21, 4}, {22, 4}, {23, 8}, {24, 8}, {37, 1}, {39, 1}, {38, 8}, {35, 4}, {45, 4}, {26, 24}, {33, 6}, {27, 24}, {40, 24}};
  const std::vector<std::pair<std::uint8_t, std::size_t>> second = {
      {41, 24}, {43, 24}, {46, 24}, {44, 48}, {47, 12}, {48, 1}, {49, 4}, {50, 4}, {51, 2}};
  auto pattern = [](std::uint8_t id, std::size_t width) {
    Bytes v(width);
    for (std::size_t i = 0; i < width; ++i) v[i] = static_cast<std::uint8_t>(id * 7 + i);
    return v;
  };
  auto put = [&](kv::PacketBuffer& p, const std::vector<std::pair<std::uint8_t, std::size_t>>& ids) {
    for (const auto& [id, width] : ids) {
      Bytes v = pattern(id, width);
      kv::PutParamTag(p, id).PutBytes(v.data(), v.size());
    }
  };
  Bytes frame1 = ParamFrame([&](kv::PacketBuffer& p) {
    kv::PutParamTag(p, 34).PutLong(1000);
    put(p, first);
    p.PutByte(0xDE).PutByte(5).PutQuad(0x0102030405060708ull);
    p.PutByte(0xDE).PutByte(69).PutLong(0x0A0B0C0D);
    p.PutByte(0xDE).PutByte(101).PutLong(0x3FFF);
  });
  Bytes frame2 = ParamFrame([&](kv::PacketBuffer& p) { put(p, second); });
  ASSERT_LE(frame1.size(), 200u);
  ASSERT_LE(frame2.size(), 200u);
  ASSERT_TRUE(peer_.SendFrame(frame1));
  ASSERT_TRUE(peer_.SendFrame(frame2));
  ASSERT_TRUE(board.WaitFor([](const Stats& s) { return s.param_records == 26; }, kTimeoutMs));

  Stats s = board.Snapshot();
  EXPECT_EQ(s.malformed, 0u);
  EXPECT_EQ(s.params.size(), 23u);
  for (const auto* ids : {&first, &second}) {
    for (const auto& [id, width] : *ids) {
      ASSERT_TRUE(s.params.count(id)) << int(id);
      EXPECT_EQ(s.params[id].value, pattern(id, width)) << int(id);
      EXPECT_EQ(s.params[id].count, 1u) << int(id);
    }
  }
  EXPECT_EQ(s.params[34].value, (Bytes{0xE8, 0x03, 0, 0}));
  EXPECT_EQ(s.segment_period_us, 5000u) << "1000 / (2 × 100 kHz)";
  EXPECT_EQ(s.polarities[5].value, (Bytes{8, 7, 6, 5, 4, 3, 2, 1}));
  EXPECT_EQ(s.polarities[69].value, (Bytes{0x0D, 0x0C, 0x0B, 0x0A}));
  EXPECT_EQ(s.polarities[101].value, (Bytes{0xFF, 0x3F, 0, 0}));
  EXPECT_EQ(s.watch_mask, kv::GetLe<std::uint64_t>(pattern(23, 8), 0));

  // A record sent again replaces the value and counts; the lone keep-alive is counted too.
  ASSERT_TRUE(peer_.SendFrame(ParamFrame([](kv::PacketBuffer& p) { kv::PutParamTag(p, 34).PutLong(600); })));
  ASSERT_TRUE(peer_.SendFrame({0xDC}));
  ASSERT_TRUE(board.WaitFor([](const Stats& st) { return st.keep_alives == 1; }, kTimeoutMs));
  s = board.Snapshot();
  EXPECT_EQ(s.params[34].count, 2u);
  EXPECT_EQ(s.params[34].value, (Bytes{0x58, 0x02, 0, 0}));
  EXPECT_EQ(s.segment_period_us, 3000u);
  EXPECT_EQ(s.records_by_code[0xC9], 24u);
  EXPECT_EQ(s.frames_by_code[0xDC], 1u);
}

TEST_F(SimBoardTest, UndecodableRecordsAreLoggedAndCountedAndLongFramesTakenWhole) {
  SimBoard board(Config());
  Connect(board);
  // A record before the unknown id is applied; the walk ends at the unknown id.
  ASSERT_TRUE(peer_.SendFrame({0xC9, 34, 0xE8, 0x03, 0, 0, 0xC9, 99, 1, 2}));
  ASSERT_TRUE(board.WaitFor([](const Stats& s) { return s.malformed == 1; }, kTimeoutMs));
  EXPECT_EQ(board.Snapshot().params.count(34), 1u);
  EXPECT_TRUE(log_.HasLine("unknown parameter id"));

  // A truncated velocity move is not executed.
  ASSERT_TRUE(peer_.SendFrame({0xCB, 0, 0}));
  ASSERT_TRUE(board.WaitFor([](const Stats& s) { return s.malformed == 2; }, kTimeoutMs));
  EXPECT_EQ(board.Snapshot().velocity_moves, 0u);
  EXPECT_EQ(board.Snapshot().mode, 0);

  // Frames up to 255 bytes are taken whole, beyond the 200 the plug-in's own receiver accepts.
  Bytes long_frame = {240};
  long_frame.insert(long_frame.end(), 240, 0xDC);
  ASSERT_TRUE(peer_.SendRaw(long_frame));
  ASSERT_TRUE(peer_.SendFrame({0xDD}));
  ASSERT_TRUE(peer_.WaitFramePrefix({0xDD}, kTimeoutMs));
  Stats s = board.Snapshot();
  EXPECT_EQ(s.long_frames, 1u);
  EXPECT_EQ(s.keep_alives, 240u);
  EXPECT_EQ(s.malformed, 2u);

  // A sender that overran the length byte (300 bytes of records announced as 44) leaves the
  // stream out of step: the records stop decoding, loudly.
  Bytes wrapped = {300 % 256};
  for (int i = 0; i < 50; ++i) wrapped.insert(wrapped.end(), {0xC9, 21, 0, 0, 0, 0});
  ASSERT_TRUE(peer_.SendRaw(wrapped));
  ASSERT_TRUE(board.WaitFor([](const Stats& st) { return st.malformed >= 4; }, kTimeoutMs));
  EXPECT_TRUE(log_.HasLine("runs past the end of the frame"));
  EXPECT_TRUE(log_.HasLine("unknown record code"));
  EXPECT_EQ(board.Snapshot().params[21].count, 7u);
}

TEST_F(SimBoardTest, SegmentsRunAtTheParameterPeriodAndTheStreamCloseResetsTheCount) {
  SimBoard board(Config());
  Connect(board);
  SetPeriodFigure(board, 1000, 5000);  // 5 ms a segment

  const std::uint32_t start = platform::TickMs();
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(peer_.SendFrame(SegmentFrame(20, {2, -1, 0, 0, 0, 3})));
  ASSERT_TRUE(board.WaitFor([](const Stats& s) { return s.motion.segments_executed_total == 60; }, kTimeoutMs));
  const auto elapsed_ms = static_cast<std::int32_t>(platform::TickMs() - start);
  EXPECT_GE(elapsed_ms, 250) << "60 segments of 5 ms cannot run faster than 300 ms";
  EXPECT_LE(elapsed_ms, 4000);

  const Position expected = {120, -60, 0, 0, 0, 180};
  EXPECT_EQ(board.Snapshot().position_steps, expected);
  ASSERT_TRUE(peer_.WaitFrame([](const Bytes& f) { return ExecutedIn(f) == 60u; }, kTimeoutMs));
  ASSERT_TRUE(peer_.WaitFrame([&](const Bytes& f) { return PositionIn(f) == expected; }, kTimeoutMs));

  ASSERT_TRUE(peer_.SendFrame({0xD0}));
  ASSERT_TRUE(peer_.WaitFrame([](const Bytes& f) { return ExecutedIn(f) == 0u; }, kTimeoutMs));
  Stats s = board.Snapshot();
  EXPECT_EQ(s.motion.stream_closes, 1u);
  EXPECT_EQ(s.motion.segments_executed, 0u);
  EXPECT_EQ(s.motion.underruns, 0u);
  EXPECT_EQ(s.segment_frames, 3u);
  EXPECT_EQ(s.position_steps, expected) << "closing the stream does not move the axes";
}

TEST_F(SimBoardTest, UnderrunIsCountedWhenTheStreamRunsDryMidMotion) {
  SimBoard board(Config());
  Connect(board);
  ASSERT_TRUE(peer_.SendFrame(SegmentFrame(5, {1, 0, 0, 0, 0, 0})));
  ASSERT_TRUE(board.WaitFor([](const Stats& s) { return s.motion.segments_executed_total == 5; }, kTimeoutMs));
  platform::SleepMs(30);  // several periods with nothing queued
  ASSERT_TRUE(peer_.SendFrame(SegmentFrame(5, {1, 0, 0, 0, 0, 0})));
  ASSERT_TRUE(board.WaitFor([](const Stats& s) { return s.motion.segments_executed_total == 10; }, kTimeoutMs));
  Stats s = board.Snapshot();
  EXPECT_EQ(s.motion.underruns, 1u);
  EXPECT_EQ(s.motion.lowest_queue_depth, 0);

  // After a stream close the next segments start a new motion: no underrun.
  ASSERT_TRUE(peer_.SendFrame({0xD0}));
  ASSERT_TRUE(peer_.SendFrame(SegmentFrame(5, {1, 0, 0, 0, 0, 0})));
  ASSERT_TRUE(board.WaitFor([](const Stats& st) { return st.motion.segments_executed_total == 15; }, kTimeoutMs));
  EXPECT_EQ(board.Snapshot().motion.underruns, 1u);
  EXPECT_EQ(board.Snapshot().position_steps[0], 15);
}

TEST_F(SimBoardTest, VelocityMoveReportsMode4MovesAndStopsOnTheStopCommand) {
  SimBoard board(Config());
  Connect(board);
  ASSERT_TRUE(peer_.SendFrame(ParamFrame([](kv::PacketBuffer& p) {
    kv::PutParamTag(p, 27);
    for (std::int32_t a : {8192, 0, 0, 0, 0, 0}) p.PutLong(static_cast<std::uint32_t>(a));
  })));
  Bytes move = {0xCB, 0, 0};
  Bytes speed = Le32(4 * 65536);
  move.insert(move.end(), speed.begin(), speed.end());
  ASSERT_TRUE(peer_.SendFrame(move));
  ASSERT_TRUE(peer_.WaitFrame([](const Bytes& f) { return IsMode(f, 4); }, kTimeoutMs));

  std::optional<Position> first, later;
  ASSERT_TRUE(peer_.WaitFrame([&](const Bytes& f) {
    if (auto p = PositionIn(f)) {
      if (!first) first = p;
      later = p;
    }
    return later && (*later)[0] > 200;
  }, kTimeoutMs));
  EXPECT_LT((*first)[0], (*later)[0]);

  ASSERT_TRUE(peer_.SendFrame({0xCC, 0}));
  ASSERT_TRUE(peer_.WaitFrame([](const Bytes& f) { return IsMode(f, 0); }, kTimeoutMs));
  const Stats stopped = board.Snapshot();
  platform::SleepMs(50);
  EXPECT_EQ(board.Snapshot().position_steps, stopped.position_steps);
  EXPECT_EQ(stopped.velocity_moves, 1u);
  EXPECT_EQ(stopped.velocity_stops, 1u);
}

TEST_F(SimBoardTest, ProbeMoveStopsAtTheTripPositionAndReportsMode8Then0) {
  BoardConfig c = Config();
  c.probe_pin = 15;
  c.machine[2].probe_steps = -500;
  SimBoard board(c);
  Connect(board);

  auto probe = [&](std::int32_t distance) {
    Bytes f = {0xD1, 2};
    for (std::int32_t v : {distance, 20 * 65536}) {
      Bytes b = Le32(v);
      f.insert(f.end(), b.begin(), b.end());
    }
    return f;
  };
  auto run_probe = [&](std::int32_t distance, std::int32_t expect_at) {
    ASSERT_TRUE(peer_.SendFrame(probe(distance)));
    auto first_mode = peer_.WaitFrame(IsAnyMode, kTimeoutMs);
    ASSERT_TRUE(first_mode);
    EXPECT_TRUE(IsMode(*first_mode, 8));
    std::optional<Position> last;
    ASSERT_TRUE(peer_.WaitFrame([&](const Bytes& f) {
      if (auto p = PositionIn(f)) last = p;
      return IsAnyMode(f);
    }, kTimeoutMs));
    ASSERT_TRUE(last);
    EXPECT_EQ((*last)[2], expect_at) << "the position is reported before the mode leaves 8";
    EXPECT_EQ(board.Snapshot().mode, 0);
  };

  run_probe(-2000, -500);
  Stats s = board.Snapshot();
  EXPECT_TRUE(s.motion.last_probe_tripped);
  EXPECT_NE(s.inputs & (1ull << 15), 0u);
  ASSERT_GE(s.modes_reported.size(), 2u);
  EXPECT_EQ(Bytes(s.modes_reported.end() - 2, s.modes_reported.end()), (Bytes{8, 0}));

  board.SetAxisPosition(2, 0);
  run_probe(-100, -100);  // misses the work: ends at the distance
  EXPECT_FALSE(board.Snapshot().motion.last_probe_tripped);
  EXPECT_EQ(board.Snapshot().probe_commands, 2u);
}

TEST_F(SimBoardTest, EStopDropsQueuedSegmentsRefusesMotionAndEnableResumes) {
  SimBoard board(Config());
  Connect(board);
  SetPeriodFigure(board, 1000, 5000);
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(peer_.SendFrame(SegmentFrame(20, {1, 0, 0, 0, 0, 0})));
  ASSERT_TRUE(board.WaitFor([](const Stats& s) { return s.motion.segments_executed_total >= 5; }, kTimeoutMs));
  ASSERT_TRUE(peer_.SendFrame({0xCD}));
  ASSERT_TRUE(peer_.WaitFrame([](const Bytes& f) { return IsMode(f, 0x20); }, kTimeoutMs));

  Stats s = board.Snapshot();
  EXPECT_TRUE(s.estopped);
  EXPECT_EQ(s.motion.queue_depth, 0u);
  EXPECT_GT(s.motion.segments_dropped, 0u);
  EXPECT_LT(s.motion.segments_executed_total, 60u);
  EXPECT_EQ(s.motion.segments_executed_total + s.motion.segments_dropped, 60u);
  Bytes move = {0xCB, 1, 0, 0, 0, 1, 0};
  ASSERT_TRUE(peer_.SendFrame(move));
  ASSERT_TRUE(peer_.SendFrame(SegmentFrame(4, {1, 0, 0, 0, 0, 0})));
  ASSERT_TRUE(board.WaitFor([](const Stats& st) { return st.motion.refused_moves == 5; }, kTimeoutMs));
  platform::SleepMs(30);
  EXPECT_EQ(board.Snapshot().position_steps, s.position_steps);

  ASSERT_TRUE(peer_.SendFrame({0xCE}));
  ASSERT_TRUE(peer_.WaitFrame([](const Bytes& f) { return IsMode(f, 0); }, kTimeoutMs));
  ASSERT_TRUE(peer_.SendFrame(SegmentFrame(4, {1, 0, 0, 0, 0, 0})));
  ASSERT_TRUE(board.WaitFor([&](const Stats& st) { return st.position_steps[0] == s.position_steps[0] + 4; },
                            kTimeoutMs));
  EXPECT_EQ(board.Snapshot().estops, 1u);
  EXPECT_EQ(board.Snapshot().enables, 1u);
}

TEST_F(SimBoardTest, DiscoveryAnswersOnlyHelloAndTheBoardReconnectsAfterADrop) {
  SimBoard board(Config());
  ASSERT_TRUE(board.Start());
  const std::array<std::uint8_t, 6> wrong = {'h', 'e', 'l', 'l', 'x', 0};
  peer_.SendHello(board.DiscoveryPort(), wrong);
  ASSERT_TRUE(board.WaitFor([](const Stats& s) { return s.bad_datagrams == 1; }, kTimeoutMs));
  EXPECT_FALSE(peer_.AcceptBoard(0, 200)) << "no connection without a proper hello";
  ASSERT_TRUE(peer_.AcceptBoard(board.DiscoveryPort(), kTimeoutMs));

  // An injected drop: the plug-in sees the close; a fresh hello brings the board back.
  ASSERT_TRUE(board.WaitFor([](const Stats& s) { return s.connected; }, kTimeoutMs));
  board.DropConnection();
  ASSERT_TRUE(peer_.WaitClosed(kTimeoutMs));
  ASSERT_TRUE(peer_.AcceptBoard(board.DiscoveryPort(), kTimeoutMs));
  ASSERT_TRUE(peer_.SendFrame({0xDD}));
  ASSERT_TRUE(peer_.WaitFramePrefix({0xDD}, kTimeoutMs));

  // The plug-in closing its side is a drop too.
  peer_.CloseConnection();
  ASSERT_TRUE(peer_.AcceptBoard(board.DiscoveryPort(), kTimeoutMs));
  ASSERT_TRUE(board.WaitFor([](const Stats& s) { return s.connections == 3 && s.connected; }, kTimeoutMs));
  Stats s = board.Snapshot();
  EXPECT_EQ(s.drops_injected, 1u);
  EXPECT_EQ(s.disconnects, 2u);

  const std::uint32_t before = platform::TickMs();
  board.Stop();
  EXPECT_LT(static_cast<std::int32_t>(platform::TickMs() - before), 2000) << "Stop ends a connected board promptly";
  EXPECT_TRUE(peer_.WaitClosed(kTimeoutMs));
}

// A board whose firmware resumes holds its motion, its queue and its executed count while the
// link is down and carries on with them once connected again; the default board runs on.
TEST_F(SimBoardTest, ABoardThatResumesHoldsItsQueueWhileTheLinkIsDown) {
  for (const bool resume : {true, false}) {
    SCOPED_TRACE(resume ? "resume_queue" : "default");
    BoardConfig config = Config();
    config.resume_queue = resume;
    SimBoard board(config);
    Connect(board);
    SetPeriodFigure(board, 1000, 5000);  // 5 ms a segment
    for (int i = 0; i < 10; ++i) ASSERT_TRUE(peer_.SendFrame(SegmentFrame(20, {1, 0, 0, 0, 0, 0})));
    ASSERT_TRUE(board.WaitFor([](const Stats& s) { return s.motion.segments_executed_total >= 20; }, kTimeoutMs));
    peer_.CloseConnection();
    ASSERT_TRUE(board.WaitFor([](const Stats& s) { return !s.connected; }, kTimeoutMs));
    const Stats dropped = board.Snapshot();
    platform::SleepMs(300);  // 60 periods
    const Stats later = board.Snapshot();
    if (resume) {
      EXPECT_EQ(later.motion.segments_executed_total, dropped.motion.segments_executed_total) << "held while away";
      EXPECT_EQ(later.position_steps, dropped.position_steps);
      EXPECT_GT(later.motion.queue_depth, 0u);
    } else {
      EXPECT_GT(later.motion.segments_executed_total, dropped.motion.segments_executed_total) << "runs on";
    }
    ASSERT_TRUE(peer_.AcceptBoard(board.DiscoveryPort(), kTimeoutMs));
    ASSERT_TRUE(board.WaitFor([](const Stats& s) { return s.motion.segments_executed_total == 200; }, kTimeoutMs))
        << "the queue runs to its end once the host is back";
    const Stats end = board.Snapshot();
    EXPECT_EQ(end.motion.segments_executed, 200u) << "the executed count kept across the reconnect";
    EXPECT_EQ(end.position_steps[0], 200);
    EXPECT_EQ(end.motion.segments_dropped, 0u);
    board.Stop();
    peer_.CloseConnection();
  }
}

TEST_F(SimBoardTest, WithoutReconnectTheBoardStaysOfflineAfterADrop) {
  BoardConfig c = Config();
  c.reconnect = false;
  SimBoard board(c);
  Connect(board);
  peer_.CloseConnection();
  ASSERT_TRUE(board.WaitFor([](const Stats& s) { return !s.connected; }, kTimeoutMs));
  EXPECT_FALSE(peer_.AcceptBoard(board.DiscoveryPort(), 400));
  EXPECT_EQ(board.Snapshot().connections, 1u);
}

TEST_F(SimBoardTest, SilenceStopsRepliesAndReportsWhileRandomBytesStillGoOut) {
  SimBoard board(Config());
  Connect(board);
  board.SetSilent(true);
  peer_.Drain(60);
  ASSERT_TRUE(peer_.SendFrame({0xDD}));
  ASSERT_TRUE(peer_.SendFrame(ParamFrame([](kv::PacketBuffer& p) { kv::PutParamTag(p, 34).PutLong(600); })));
  ASSERT_TRUE(board.WaitFor([](const Stats& s) { return s.ident_requests == 1 && s.param_records == 1; }, kTimeoutMs));
  EXPECT_EQ(peer_.Drain(150), 0u) << "no reply and no report while silent";

  EXPECT_EQ(board.SendRandomBytes(300), 300u);
  Bytes garbage = peer_.ReadRaw(300, kTimeoutMs);
  ASSERT_EQ(garbage.size(), 300u);
  EXPECT_NE(std::count(garbage.begin(), garbage.end(), garbage[0]), 300);
  EXPECT_EQ(peer_.Drain(100), 0u);

  board.SetSilent(false);
  ASSERT_TRUE(peer_.WaitFrame([](const Bytes& f) { return ExecutedIn(f).has_value(); }, kTimeoutMs));
}

TEST_F(SimBoardTest, OnDemandReportsHaveTheExactLayout) {
  SimBoard board(Config());
  Connect(board);
  board.SetSilent(true);  // only what is asked for goes out
  peer_.Drain(60);

  ASSERT_TRUE(board.SendStopReport(0x0000000100000002ull));
  ASSERT_TRUE(board.SendInputs(0x8000000000000010ull));
  ASSERT_TRUE(board.SendMode(8));
  ASSERT_TRUE(board.SendCounters({1, -1, 2, 3, 4}));
  ASSERT_TRUE(board.SendBacklash({-2, 0, 0, 0, 0, 7}));
  ASSERT_TRUE(board.SendSpindleCount(123456));
  Bytes pendant(300);
  for (std::size_t i = 0; i < pendant.size(); ++i) pendant[i] = static_cast<std::uint8_t>(i);
  ASSERT_TRUE(board.SendPendantBytes(1, pendant));
  ASSERT_TRUE(board.SendRaw(Bytes{0x03, 0xCF, 0x1F, 0x04}));

  auto next = [&] { return peer_.WaitFrame([](const Bytes&) { return true; }, kTimeoutMs).value_or(Bytes{}); };
  EXPECT_EQ(next(), (Bytes{0xCF, 0x19, 2, 0, 0, 0, 1, 0, 0, 0}));
  EXPECT_EQ(next(), (Bytes{0xCF, 0x1C, 0x10, 0, 0, 0, 0, 0, 0, 0x80}));
  EXPECT_EQ(next(), (Bytes{0xCF, 0x1F, 8}));
  EXPECT_EQ(next(), (Bytes{0xCF, 0x2A, 1, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 2, 0, 0, 0, 3, 0, 0, 0, 4, 0, 0, 0}));
  EXPECT_EQ(next(), (Bytes{0xCF, 0x29, 0xFE, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 7, 0, 0, 0}));
  EXPECT_EQ(next(), (Bytes{0xCF, 0x1D, 0x40, 0xE2, 0x01, 0x00}));
  Bytes part1 = next();
  Bytes part2 = next();
  ASSERT_EQ(part1.size(), 4u + 196u) << "within the 200 bytes the plug-in accepts";
  EXPECT_EQ(Bytes(part1.begin(), part1.begin() + 4), (Bytes{0xCA, 0xAC, 197, 1}));
  EXPECT_EQ(part1[4], 0);
  ASSERT_EQ(part2.size(), 4u + 104u);
  EXPECT_EQ(Bytes(part2.begin(), part2.begin() + 5), (Bytes{0xCA, 0xAC, 105, 1, 196}));
  EXPECT_EQ(next(), (Bytes{0xCF, 0x1F, 4}));

  board.DropConnection();
  ASSERT_TRUE(peer_.WaitClosed(kTimeoutMs));
  ASSERT_TRUE(board.WaitFor([](const Stats& s) { return !s.connected; }, kTimeoutMs));
  EXPECT_FALSE(board.SendMode(0)) << "nothing to send to";
}

}  // namespace
}  // namespace kvboard
