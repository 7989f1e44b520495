// The firmware upgrade against a recording link: the loader messages byte for byte, the
// progress to the dialog and the status line, the prompt, and the refusals.
#include "service/firmware_upgrade.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "platform/dialog.h"
#include "platform/file_dialog.h"
#include "platform/message_box.h"
#include "shell/plugin_state.h"
#include "testing/fake_host.h"

namespace kv {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

// The link the upgrade talks to: each raw message with the host's status line as it was sent.
// Everything runs on the test's thread.
testing::FakeHost* host = nullptr;
std::vector<Bytes> raw;
std::vector<std::string> status_at_send;
int closes = 0;
int close_after = -1;  // messages after which the link closes by itself (-1: never)
int fail_send = -1;    // this send (counted from 1) fails with the link left open (-1: none)
int sends = 0;

bool RawSend(const std::uint8_t* bytes, std::int32_t length) {
  if (state.link_open.load() == 0) return false;
  if (++sends == fail_send) return false;  // refused or cut at the send bound: the link stays
  raw.emplace_back(bytes, bytes + length);
  status_at_send.push_back(host->Status());
  if (close_after >= 0 && static_cast<int>(raw.size()) == close_after) state.link_open = 0;
  return true;
}
bool Close() {
  ++closes;
  state.link_open = 0;
  return true;
}
bool IsOpen() { return state.link_open.load() != 0; }

struct Box {
  std::string text, caption;
  bool operator==(const Box&) const = default;
};

class FirmwareUpgradeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host = &host_;
    raw.clear();
    status_at_send.clear();
    closes = 0;
    close_after = -1;
    fail_send = -1;
    sends = 0;
    SetUpgradePacing({0, 0, 0, 0});
    state.link_send_raw = RawSend;
    state.link_close = Close;
    state.link_is_open = IsOpen;
    state.link_open = 1;
    state.upgrade_requested = true;
    state.upgrade_path.Set("");
    state.dialog_hwnd = nullptr;
    platform::SetMessageBoxHandler([this](std::string_view text, std::string_view caption) {
      boxes_.push_back({std::string(text), std::string(caption)});
    });
    dir_ = fs::temp_directory_path() / ("kv-upgrade-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::create_directories(dir_);
  }
  void TearDown() override {
    platform::SetMessageBoxHandler({});
    platform::SetOpenFileHandler({});
    state.link_open = 0;
    state.link_is_open = nullptr;
    state.link_send_raw = nullptr;
    state.link_close = nullptr;
    state.dialog_hwnd = nullptr;
    state.upgrade_path.Set("");
    fs::remove_all(dir_);
  }

  // A file of `size` bytes 1, 2, 3, ... (never 0, so padding shows).
  std::string Image(std::size_t size, const std::string& name = "fw.bin") {
    const fs::path path = dir_ / name;
    std::ofstream out(path, std::ios::binary);
    for (std::size_t i = 0; i < size; ++i) out.put(static_cast<char>(1 + i % 250));
    return path.string();
  }

  // A dialog window that records the progress messages posted to it.
  void OpenDialog() {
    dialog_ = platform::Dialog::Create(4015, nullptr);
    dialog_->OnMessage([this](std::uint32_t message, std::uintptr_t wparam, std::intptr_t) -> std::intptr_t {
      if (message == WM_UPGRADE_PROGRESS) progress_.push_back(wparam);
      return 0;
    });
    state.dialog_hwnd = dialog_->Handle();
  }
  std::vector<std::uintptr_t> Progress() {
    platform::PumpWindowMessages();
    return progress_;
  }

  static std::uint32_t Address(const Bytes& block) { return (block[1] << 16) | (block[2] << 8) | block[3]; }

  testing::FakeHost host_;
  std::vector<Box> boxes_;
  fs::path dir_;
  std::unique_ptr<platform::Dialog> dialog_;
  std::vector<std::uintptr_t> progress_;
};

TEST(LoaderFrames, BlocksCarryTheirAddressMostSignificantByteFirstAndZerosAfterTheData) {
  const Bytes data(48, 0xAA);
  LoaderBuffer block = LoaderBlock(70000, data);
  EXPECT_EQ(Bytes(block.begin(), block.begin() + 4), (Bytes{0xC5, 0x01, 0x11, 0x70}));
  EXPECT_EQ(Bytes(block.begin() + 4, block.begin() + 52), data);
  EXPECT_EQ(Bytes(block.begin() + 52, block.end()), Bytes(12, 0));

  const Bytes tail = {1, 2, 3, 4};
  block = LoaderBlock(96, tail);
  EXPECT_EQ(Bytes(block.begin(), block.begin() + 8), (Bytes{0xC5, 0, 0, 96, 1, 2, 3, 4}));
  EXPECT_EQ(Bytes(block.begin() + 8, block.end()), Bytes(56, 0)) << "a short block is padded with zeros";

  block = LoaderMessage(0xC3);
  EXPECT_EQ(block[0], 0xC3);
  EXPECT_EQ(Bytes(block.begin() + 1, block.end()), Bytes(63, 0));
}

TEST(LoaderFrames, PercentNeverDividesByZeroOverflowsOrPassesOneHundred) {
  EXPECT_EQ(UpgradePercent(0, 96), 0u);
  EXPECT_EQ(UpgradePercent(48, 96), 50u);
  EXPECT_EQ(UpgradePercent(96, 100), 96u);
  EXPECT_EQ(UpgradePercent(144, 100), 100u) << "the padded last block is not more than the whole image";
  EXPECT_EQ(UpgradePercent(0, 0), 100u);
  EXPECT_EQ(UpgradePercent(kLoaderImageLimit - 48, kLoaderImageLimit), 99u);
  EXPECT_EQ(UpgradePercent(std::uint64_t{1} << 40, (std::uint64_t{1} << 40) + 1), 99u);
}

TEST_F(FirmwareUpgradeTest, AHundredByteImageWithoutDialogGoesAsThreeBlocksWithTheStatusLineFollowing) {
  state.upgrade_path.Set(Image(100));
  FirmwareUpgrade();
  ASSERT_EQ(raw.size(), 5u);
  EXPECT_EQ(raw[0], Bytes{0xC3});
  for (std::size_t i = 1; i <= 3; ++i) {
    SCOPED_TRACE("block " + std::to_string(i));
    ASSERT_EQ(raw[i].size(), 52u);
    EXPECT_EQ(raw[i][0], 0xC5);
    EXPECT_EQ(Address(raw[i]), 48 * (i - 1));
    EXPECT_EQ(raw[i][4], static_cast<std::uint8_t>(1 + 48 * (i - 1)));
  }
  EXPECT_EQ(Bytes(raw[3].begin() + 4, raw[3].begin() + 8), (Bytes{97, 98, 99, 100}));
  EXPECT_EQ(Bytes(raw[3].begin() + 8, raw[3].end()), Bytes(44, 0)) << "padding, not the previous block's bytes";
  EXPECT_EQ(raw[4], Bytes{0xC6});
  EXPECT_EQ(status_at_send[1], "Upgrade progress 0%");
  EXPECT_EQ(status_at_send[2], "Upgrade progress 48%");
  EXPECT_EQ(status_at_send[3], "Upgrade progress 96%");
  EXPECT_EQ(status_at_send[4], "Upgrade done 100%");
  EXPECT_EQ(boxes_, (std::vector<Box>{{"Upgrade success", "Done"}}));
  EXPECT_EQ(closes, 1);
  EXPECT_FALSE(state.upgrade_requested.load());
}

TEST_F(FirmwareUpgradeTest, WithTheDialogProgressGoesThereAsMessagesAndTheSamePathServesAgain) {
  OpenDialog();
  state.upgrade_path.Set(Image(96));
  int prompts = 0;
  platform::SetOpenFileHandler([&](std::string_view) {
    ++prompts;
    return platform::OpenFileAnswer{};
  });
  FirmwareUpgrade();
  EXPECT_EQ(Progress(), (std::vector<std::uintptr_t>{0, 50, 101, 102}));
  ASSERT_EQ(raw.size(), 4u);
  EXPECT_EQ(Address(raw[2]), 48u);
  EXPECT_TRUE(boxes_.empty()) << "no box while the dialog shows the progress";

  // The board comes up in its loader again: the same file, no prompt.
  state.link_open = 1;
  state.upgrade_requested = true;
  raw.clear();
  FirmwareUpgrade();
  EXPECT_EQ(raw.size(), 4u);
  EXPECT_EQ(prompts, 0);
  EXPECT_EQ(state.upgrade_path.Get(), (dir_ / "fw.bin").string());
}

TEST_F(FirmwareUpgradeTest, ACancelledPromptSendsBeginAndEndAndNothingBetween) {
  OpenDialog();
  platform::SetOpenFileHandler([](std::string_view filter) {
    EXPECT_EQ(filter, "Describe Files (*.bin)|*.bin||");
    return platform::OpenFileAnswer{platform::FileChoice::kCancelled, ""};
  });
  FirmwareUpgrade();
  EXPECT_EQ(boxes_, (std::vector<Box>{{"Choose bin file", "Choose Prog file"},
                                      {"No file select, quit upgrade", "Invalid Filename"}}));
  EXPECT_EQ(raw, (std::vector<Bytes>{{0xC3}, {0xC6}})) << "the begin goes out before the file is asked for";
  EXPECT_EQ(status_at_send[0], "") << "nothing was chosen yet when the begin went";
  EXPECT_EQ(Progress(), (std::vector<std::uintptr_t>{102}));
  EXPECT_EQ(closes, 1);
}

TEST_F(FirmwareUpgradeTest, AHostThatCannotShowAFileDialogIsAskedOnceNotForever) {
  platform::SetOpenFileHandler([](std::string_view) { return platform::OpenFileAnswer{}; });  // cannot be shown
  FirmwareUpgrade();
  EXPECT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(raw, (std::vector<Bytes>{{0xC3}, {0xC6}}));
  EXPECT_FALSE(state.upgrade_requested.load());
}

TEST_F(FirmwareUpgradeTest, AnUnreadableChoiceIsAskedForAgainAndTheNextChoiceIsSent) {
  const std::string good = Image(10);
  std::vector<std::string> answers = {(dir_ / "missing.bin").string(), good};
  platform::SetOpenFileHandler([&](std::string_view) {
    std::string path = answers.front();
    answers.erase(answers.begin());
    return platform::OpenFileAnswer{platform::FileChoice::kChosen, path};
  });
  FirmwareUpgrade();
  EXPECT_TRUE(answers.empty());
  ASSERT_EQ(raw.size(), 3u);
  EXPECT_EQ(raw[1][4 + 9], 10);
  EXPECT_EQ(state.upgrade_path.Get(), "") << "a file chosen at the prompt is not kept";
}

TEST_F(FirmwareUpgradeTest, EmptyAndOversizedImagesAreRefusedBeforeAnythingIsSent) {
  const std::string empty = Image(0, "empty.bin");
  const std::string big = Image(0, "big.bin");
  fs::resize_file(big, kLoaderImageLimit + 1);
  std::string bytes, why;
  EXPECT_FALSE(LoadFirmwareImage(empty, bytes, why));
  EXPECT_NE(why.find("is empty"), std::string::npos) << why;
  EXPECT_FALSE(LoadFirmwareImage(big, bytes, why));
  EXPECT_NE(why.find("16777217 bytes"), std::string::npos) << why;

  for (const std::string& path : {empty, big}) {
    raw.clear();
    state.link_open = 1;
    state.upgrade_path.Set(path);
    FirmwareUpgrade();
    EXPECT_EQ(raw, (std::vector<Bytes>{{0xC3}, {0xC6}})) << path;
    EXPECT_EQ(host_.Status().rfind("Upgrade refused: ", 0), 0u) << host_.Status();
  }
  // The largest image the addresses reach is taken.
  fs::resize_file(big, kLoaderImageLimit);
  EXPECT_TRUE(LoadFirmwareImage(big, bytes, why)) << why;
}

TEST_F(FirmwareUpgradeTest, ALinkThatDropsMidImageStopsTheTransferWithoutEndOrClose) {
  OpenDialog();
  state.upgrade_path.Set(Image(480));
  close_after = 3;  // begin and two blocks
  FirmwareUpgrade();
  EXPECT_EQ(raw.size(), 3u);
  EXPECT_EQ(closes, 0);
  EXPECT_EQ(host_.Status(), "Upgrade stopped after 96 of 480 bytes: the link closed; the board stays in its loader");
  const std::vector<std::uintptr_t> progress = Progress();
  ASSERT_FALSE(progress.empty());
  EXPECT_EQ(progress.back(), 102u) << "the dialog's button is given back";
  EXPECT_EQ(std::count(progress.begin(), progress.end(), 101u), 0);
  EXPECT_FALSE(state.upgrade_requested.load());
}

TEST_F(FirmwareUpgradeTest, ASendThatFailsWithTheLinkOpenStopsTheTransferAndClosesTheLink) {
  // Sends: 1 begin, 2 the block at 0, 3 the block at 48, ...
  struct Case {
    int fail_send;
    bool dialog;
    std::size_t sent;  // messages that went out
    const char* status;
  };
  const Case cases[] = {
      {3, true, 2, "Upgrade stopped after 48 of 480 bytes: the next block could not be sent whole; the board stays in its loader"},
      {4, false, 3, "Upgrade stopped after 96 of 480 bytes: the next block could not be sent whole; the board stays in its loader"},
      {11, false, 10, "Upgrade stopped after 432 of 480 bytes: the next block could not be sent whole; the board stays in its loader"},
      {1, true, 0, "Upgrade stopped after 0 of 480 bytes: the begin message could not be sent; the board stays in its loader"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("failing send " + std::to_string(c.fail_send));
    raw.clear();
    boxes_.clear();
    progress_.clear();
    sends = 0;
    closes = 0;
    fail_send = c.fail_send;
    state.link_open = 1;
    state.upgrade_requested = true;
    dialog_.reset();
    state.dialog_hwnd = nullptr;
    if (c.dialog) OpenDialog();
    state.upgrade_path.Set(Image(480));
    FirmwareUpgrade();
    ASSERT_EQ(raw.size(), c.sent);
    for (std::size_t i = 1; i < raw.size(); ++i) EXPECT_EQ(Address(raw[i]), 48 * (i - 1)) << "no gap before the stop";
    EXPECT_TRUE(std::none_of(raw.begin(), raw.end(), [](const Bytes& m) { return m[0] == 0xC6; }))
        << "no end: the loader would write the image with a block missing";
    EXPECT_EQ(host_.Status(), c.status);
    EXPECT_EQ(closes, 1) << "the close sends the board back to its loader";
    EXPECT_TRUE(boxes_.empty()) << "no success box";
    if (c.dialog) {
      const std::vector<std::uintptr_t> progress = Progress();
      EXPECT_EQ(std::count(progress.begin(), progress.end(), 101u), 0) << "101 would say every block is out";
      ASSERT_FALSE(progress.empty());
      EXPECT_EQ(progress.back(), 102u) << "the dialog's button is given back";
    }
    EXPECT_FALSE(state.upgrade_requested.load());
  }
}

TEST_F(FirmwareUpgradeTest, ABoardThatCameBackOnANewLinkIsNotClosedAgain) {
  state.upgrade_path.Set(Image(48));
  const std::uint32_t before = state.link_connections.load();
  // The board restarts at the end message and its new connection is up before the close.
  state.link_send_raw = [](const std::uint8_t* bytes, std::int32_t length) {
    RawSend(bytes, length);
    if (bytes[0] == 0xC6) state.link_connections.fetch_add(1);
    return true;
  };
  FirmwareUpgrade();
  EXPECT_EQ(raw.size(), 3u);
  EXPECT_EQ(closes, 0);
  state.link_connections = before;
}

}  // namespace
}  // namespace kv
