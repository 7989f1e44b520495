// End to end, over Ethernet and over USB: the firmware upgrade from the dialog's Upgrade button
// and from a board that starts in its loader, the image compared byte for byte with what the
// simulated loader assembled, the board identified again with its new version; a cancelled
// prompt, an image past 64 KiB, the link dropped mid-image, and a configuration upload.
#include <gtest/gtest.h>

#include <cstring>
#include <set>

#include "dialog_driver.h"
#include "e2e_fixture.h"
#include "platform/dialog.h"
#include "platform/socket.h"

namespace kvhost::e2e {
namespace {

constexpr int kUpgradeWaitMs = 40000;  // transfer, the loader's fixed waits, the reconnect; shared machine

class E2eUpgrade : public E2eTest, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::replace(name.begin(), name.end(), '/', '_');  // a parameterised name holds a slash
    dir_ = fs::temp_directory_path() / ("kv-e2e-upgrade-" + name);
    fs::create_directories(dir_);
  }
  void TearDown() override {
    E2eTest::TearDown();
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  void Adjust(kvboard::BoardConfig& c) const { c.usb = GetParam(); }
  void Start(const std::function<void(kvboard::BoardConfig&)>& more = {}) {
    ASSERT_NO_FATAL_FAILURE(StartBoardAndPlugin([&](kvboard::BoardConfig& c) {
      Adjust(c);
      if (more) more(c);
    }));
  }

  // An image of `size` bytes; with `version` it begins with the simulator's version mark.
  std::string Image(std::size_t size, std::optional<std::uint16_t> version = {}) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(1 + (i * 7) % 251);
    if (version && size >= 6) {
      bytes.replace(0, 4, "KVFW");
      bytes[4] = static_cast<char>(*version & 0xFF);
      bytes[5] = static_cast<char>(*version >> 8);
    }
    const fs::path path = dir_ / ("fw" + std::to_string(size) + ".bin");
    std::ofstream(path, std::ios::binary) << bytes;
    return path.string();
  }

  // The loader assembled exactly the file, and zeros in the rest of the last block.
  void ExpectImageWritten(const std::string& path) {
    const std::string file = ReadText(path);
    const std::vector<std::uint8_t> image = board_->LoaderImage();
    ASSERT_EQ(image.size(), (file.size() + 47) / 48 * 48);
    EXPECT_TRUE(std::equal(file.begin(), file.end(), image.begin(),
                           [](char a, std::uint8_t b) { return static_cast<std::uint8_t>(a) == b; }));
    EXPECT_TRUE(std::all_of(image.begin() + static_cast<std::ptrdiff_t>(file.size()), image.end(),
                            [](std::uint8_t b) { return b == 0; }));
  }

  // The board came back, was identified and is streaming, on a link opened after `connections`.
  bool IdentifiedAgain(std::uint32_t connections) {
    return driver_.PumpUntil(
        [&] {
          const host::LinkState link = ReadLinkState(session_.api());
          return link.connections > connections && link.link_open && link.identified && link.streaming &&
                 !link.in_loader;
        },
        kUpgradeWaitMs);
  }

  std::string FirmwareShown() {
    platform::Dialog* d = driver_.Open(session_.api());
    return d ? d->ItemText(4168) : "";
  }

  DialogDriver driver_{false};
  fs::path dir_;
};

TEST_P(E2eUpgrade, TheDialogsImageStreamsWithProgressAndIsUsedAgainAtTheNextLoaderStart) {
  ASSERT_NO_FATAL_FAILURE(Connect([&](kvboard::BoardConfig& c) { Adjust(c); }));
  platform::Dialog* d = driver_.Open(session_.api());
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->ItemText(4168), "0.0.2.3");
  const std::string image = Image(96, 0x0305);
  driver_.AnswerFileDialog(image);
  const std::uint32_t connections = ReadLinkState(session_.api()).connections;
  platform::ClickDialogItem(*d, 4187);
  EXPECT_EQ(d->ItemText(4187), "processing...");
  EXPECT_FALSE(d->ItemEnabled(4187));
  EXPECT_TRUE(driver_.BoxShown("UPGRADE"));

  std::set<int> progress_seen;
  std::set<std::string> button_texts;
  const bool done = driver_.PumpUntil([&] { return d->ItemEnabled(4187); }, kUpgradeWaitMs, [&] {
    progress_seen.insert(d->Progress(4163));
    button_texts.insert(d->ItemText(4187));
  });
  ASSERT_TRUE(done) << "the dialog never got the button back";
  EXPECT_EQ(d->ItemText(4187), "Upgrade");
  EXPECT_TRUE(button_texts.count("reconnet...")) << "between the last block and the restart wait";
  EXPECT_TRUE(progress_seen.count(0));
  kvboard::Stats s = Board();
  EXPECT_EQ(s.loader_reloads, 1u);
  EXPECT_EQ(s.loader_begins, 1u);
  EXPECT_EQ(s.loader_blocks, 2u);
  EXPECT_EQ(s.loader_bad_blocks, 0u) << s.last_fault;
  EXPECT_EQ(s.upgrades, 1u);
  ExpectImageWritten(image);
  ASSERT_TRUE(IdentifiedAgain(connections));
  EXPECT_EQ(FirmwareShown(), "0.0.3.5");

  // The board falls back into its loader by itself: the kept path serves, nobody is asked.
  const std::uint32_t before = ReadLinkState(session_.api()).connections;
  board_->RestartIntoLoader();
  ASSERT_TRUE(driver_.PumpUntil([&] { return Board().upgrades == 2; }, kUpgradeWaitMs));
  EXPECT_EQ(driver_.FileDialogRequests(), 1);
  EXPECT_EQ(Board().loader_begins, 2u);
  ASSERT_TRUE(IdentifiedAgain(before));
}

TEST_P(E2eUpgrade, ABoardStartingInItsLoaderIsAskedForAFileAndAHundredBytesGoAsThreeBlocks) {
  const std::string image = Image(100);
  driver_.AnswerFileDialog(image);
  ASSERT_NO_FATAL_FAILURE(Start([](kvboard::BoardConfig& c) { c.in_loader = true; }));
  ASSERT_TRUE(driver_.PumpUntil([&] { return Board().upgrades == 1; }, kUpgradeWaitMs)) << Board().last_fault;
  EXPECT_TRUE(driver_.BoxShown("Choose bin file"));
  EXPECT_TRUE(WaitUntil([&] { return driver_.BoxShown("Upgrade success"); }, kSettleMs))
      << "without the dialog, the box tells the end";
  const kvboard::Stats s = Board();
  EXPECT_EQ(s.loader_blocks, 3u);
  EXPECT_EQ(s.loader_image_bytes, 144u);
  ExpectImageWritten(image);
  ASSERT_TRUE(IdentifiedAgain(0));
  EXPECT_EQ(FirmwareShown(), "0.0.2.4") << "an image without a version mark: one version up";
}

TEST_P(E2eUpgrade, ACancelledPromptSendsBeginAndEndOnlyAndTheNextLoaderStartTakesAnImage) {
  ASSERT_NO_FATAL_FAILURE(Start([](kvboard::BoardConfig& c) { c.in_loader = true; }));
  ASSERT_TRUE(driver_.PumpUntil([&] { return Board().loader_ends >= 1; }, kUpgradeWaitMs));
  EXPECT_TRUE(driver_.BoxShown("No file select, quit upgrade"));
  kvboard::Stats s = Board();
  EXPECT_EQ(s.loader_begins, 1u) << "the begin goes out before the file is asked for";
  EXPECT_EQ(s.loader_blocks, 0u);
  EXPECT_EQ(s.upgrades, 0u);
  EXPECT_TRUE(s.in_loader);

  const std::string image = Image(70000, 0x0400);  // past 64 KiB: 24-bit addresses
  driver_.AnswerFileDialog(image);
  ASSERT_TRUE(driver_.PumpUntil([&] { return Board().upgrades == 1; }, kUpgradeWaitMs * 2)) << Board().last_fault;
  s = Board();
  EXPECT_EQ(s.loader_blocks, 1459u);
  EXPECT_EQ(s.loader_bad_blocks, 0u) << s.last_fault;
  ExpectImageWritten(image);
  ASSERT_TRUE(IdentifiedAgain(0));
  EXPECT_EQ(FirmwareShown(), "0.0.4.0");
}

TEST_P(E2eUpgrade, ALinkDroppedMidImageLeavesTheBoardInItsLoaderAndTheNextAttemptSucceeds) {
  const std::string image = Image(960, 0x0311);
  ASSERT_NO_FATAL_FAILURE(Connect([&](kvboard::BoardConfig& c) {
    Adjust(c);
    c.drop_after_loader_blocks = 5;
  }));
  platform::Dialog* d = driver_.Open(session_.api());
  ASSERT_NE(d, nullptr);
  driver_.AnswerFileDialog(image);
  platform::ClickDialogItem(*d, 4187);
  ASSERT_TRUE(driver_.PumpUntil([&] { return Board().upgrades == 1; }, kUpgradeWaitMs * 2)) << Board().last_fault;
  const kvboard::Stats s = Board();
  EXPECT_EQ(s.drops_injected, 1u);
  EXPECT_EQ(s.loader_begins, 2u) << "the second attempt starts the image afresh";
  EXPECT_EQ(s.loader_bad_blocks, 0u) << s.last_fault;
  ExpectImageWritten(image);
  ASSERT_TRUE(IdentifiedAgain(0));
  EXPECT_TRUE(driver_.PumpUntil([&] { return d->ItemEnabled(4187); }, kUpgradeWaitMs));
  EXPECT_EQ(FirmwareShown(), "0.0.3.17");
}

TEST_P(E2eUpgrade, AConfigurationFileReachesTheBoardInOneFrameAndTheBoardReconnects) {
  ASSERT_NO_FATAL_FAILURE(Connect([&](kvboard::BoardConfig& c) { Adjust(c); }));
  const fs::path config = dir_ / "mill.xconf.cfg";
  const std::string bytes = "axes=3\nstep=5us\n";
  std::ofstream(config, std::ios::binary) << bytes;
  const fs::path oversized = dir_ / "big.xconf.cfg";
  std::ofstream(oversized, std::ios::binary) << std::string(255, 'x');

  platform::Dialog* d = driver_.Open(session_.api());
  ASSERT_NE(d, nullptr);
  driver_.AnswerFileDialog(oversized.string());
  platform::ClickDialogItem(*d, 4187);
  EXPECT_TRUE(driver_.BoxShown("Configuration upload refused: "));
  EXPECT_EQ(Board().config_file_frames, 0u);

  const std::uint32_t connections = ReadLinkState(session_.api()).connections;
  driver_.AnswerFileDialog(config.string());
  platform::ClickDialogItem(*d, 4187);
  ASSERT_TRUE(WaitBoard([](const kvboard::Stats& s) { return s.config_file_frames == 1; }, kSettleMs));
  const kvboard::Stats s = Board();
  EXPECT_EQ(std::string(s.config_file.begin(), s.config_file.end()), bytes);
  EXPECT_EQ(s.loader_reloads, 0u);
  ASSERT_TRUE(IdentifiedAgain(connections));
  EXPECT_TRUE(d->ItemEnabled(4187));
}

TEST_P(E2eUpgrade, StopPlugDuringTheLoadersWaitsIsNotHeldUpByThem) {
  driver_.AnswerFileDialog(Image(96));
  ASSERT_NO_FATAL_FAILURE(Start([](kvboard::BoardConfig& c) { c.in_loader = true; }));
  ASSERT_TRUE(driver_.PumpUntil([&] { return Board().loader_blocks == 2; }, kUpgradeWaitMs));
  // The upgrade now waits 1 s before its end message and 3 s after it, on the scheduler thread.
  const std::uint32_t from = platform::TickMs();
  session_.ShutDown();
  const std::uint32_t took_ms = platform::TickMs() - from;
  EXPECT_LT(took_ms, 2500u) << "StopPlug waited for the upgrade's fixed waits";
  std::printf("StopPlug during the upgrade returned after %u ms\n", took_ms);
}

// Faults only one link can be given: a send that fails while the connection stays up (Ethernet).
class E2eUpgradeFaults : public E2eUpgrade {};

TEST_F(E2eUpgradeFaults, ASendFailingMidImageIsNoSuccessTheLinkClosesAndTheNextAttemptWritesTheWholeImage) {
  const std::string image = Image(9600, 0x0312);  // 200 blocks: 0.8 s at the loader's pace
  std::uint16_t plugin_port = 0;
  ASSERT_NO_FATAL_FAILURE(Connect([&](kvboard::BoardConfig& c) { plugin_port = c.plugin_port; }));
  platform::Dialog* d = driver_.Open(session_.api());
  ASSERT_NE(d, nullptr);
  driver_.AnswerFileDialog(image);
  const auto failures_before = ReadLinkState(session_.api()).send_failures;
  platform::ClickDialogItem(*d, 4187);
  ASSERT_TRUE(driver_.PumpUntil([&] { return Board().loader_blocks >= 5; }, kUpgradeWaitMs)) << Board().last_fault;
  // The plug-in's next send fails; the connection itself stays up.
  if (!platform::FailOneSendFrom(plugin_port, 0)) GTEST_SKIP() << "no send fault injection on this platform";

  std::set<std::string> statuses;
  int all_sent = 0;  // times the button said every block was out
  std::string button = d->ItemText(4187);
  ASSERT_TRUE(driver_.PumpUntil([&] { return Board().upgrades == 1; }, kUpgradeWaitMs * 2, [&] {
    statuses.insert(machine_.StatusLine());
    const std::string now = d->ItemText(4187);
    if (now == "reconnet..." && button != now) ++all_sent;
    button = now;
  })) << Board().last_fault;
  const kvboard::Stats s = Board();
  EXPECT_EQ(s.loader_bad_blocks, 0u) << "a block went missing and the image went on: " << s.last_fault;
  EXPECT_EQ(s.loader_begins, 2u) << "the second attempt starts the image afresh";
  EXPECT_EQ(s.loader_ends, 1u) << "the stopped attempt sent no end";
  EXPECT_EQ(all_sent, 1) << "the stopped attempt said every block was out";
  EXPECT_GE(ReadLinkState(session_.api()).send_failures, failures_before + 1);
  const auto stopped = std::find_if(statuses.begin(), statuses.end(), [](const std::string& t) {
    return t.rfind("Upgrade stopped after ", 0) == 0 && t.find(" of 9600 bytes: the next block could not be sent whole") !=
                                                           std::string::npos;
  });
  ASSERT_NE(stopped, statuses.end()) << "the status line never said where the upgrade stopped";
  const unsigned at = static_cast<unsigned>(std::stoul(stopped->substr(std::strlen("Upgrade stopped after "))));
  EXPECT_EQ(at % 48, 0u);
  EXPECT_GE(at, 5u * 48);
  ExpectImageWritten(image);
  ASSERT_TRUE(IdentifiedAgain(0));
  EXPECT_TRUE(driver_.PumpUntil([&] { return d->ItemEnabled(4187); }, kUpgradeWaitMs));
  EXPECT_EQ(FirmwareShown(), "0.0.3.18");
  std::printf("the upgrade stopped after %u of 9600 bytes at the failed send\n", at);
}

INSTANTIATE_TEST_SUITE_P(Links, E2eUpgrade, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& link) { return link.param ? "Usb" : "Ethernet"; });

}  // namespace
}  // namespace kvhost::e2e
