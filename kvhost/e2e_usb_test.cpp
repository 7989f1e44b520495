// End to end over the simulated USB link: the real plug-in finds the simulated board among the
// process's simulated HID devices, identifies it, downloads the parameters and runs programs
// to their exact end, with no Ethernet board anywhere; a board unplugged mid-program is an
// E-stop and is found again.
#include <gtest/gtest.h>

#include <thread>

#include "board_wait.h"
#include "e2e_fixture.h"
#include "platform/dialog.h"

namespace kvhost::e2e {
namespace {

const fs::path kExamples = KV_EXAMPLES_DIR;

class E2eUsb : public E2eTest {
 protected:
  void ConnectOverUsb() {
    ASSERT_NO_FATAL_FAILURE(Connect([](kvboard::BoardConfig& c) { c.usb = true; }));
  }
};

TEST_F(E2eUsb, IdentifiesTheBoardAndDownloadsTheParameters) {
  ASSERT_NO_FATAL_FAILURE(ConnectOverUsb());
  EXPECT_TRUE(WaitBoard([](const kvboard::Stats& b) { return b.params.count(34) > 0; }, kSettleMs))
      << "the first streaming run sends the parameters";
  const kvboard::Stats s = Board();
  EXPECT_EQ(s.connections, 1u);
  EXPECT_GE(s.ident_requests, 1u);
  EXPECT_GE(s.status_polls, 1u);
  EXPECT_GT(s.param_records, 0u);
  EXPECT_EQ(s.malformed, 0u) << s.last_fault;
  EXPECT_EQ(s.invalid_commands, 0u) << s.last_fault;

  // The dialog shows the board the plug-in identified, and on which link.
  session_.api().Config();
  std::vector<platform::Dialog*> dialogs = platform::OpenDialogs();
  ASSERT_FALSE(dialogs.empty());
  EXPECT_EQ(dialogs.front()->ItemText(4167), "KVSIM001");
  std::printf("the dialog shows link \"%s\"\n", dialogs.front()->ItemText(4166).c_str());
  dialogs.front()->Hide();
}

TEST_F(E2eUsb, AShortProgramEndsOnItsProgrammedPosition) {
  const kvgcode::Program program = Parse(
      "G21 G90 G17\n"
      "G1 X12.5 Y-4 F1200\n"
      "G2 X20 Y3.5 I7.5 J0\n"
      "G0 Z5\n"
      "G91 G1 X-3.25 Y1 Z-2 F600\n"
      "M30\n",
      "inline program");
  ASSERT_FALSE(program.blocks.empty());
  ASSERT_NO_FATAL_FAILURE(ConnectOverUsb());
  ExpectEndedOnProgrammedPosition(RunProgram(program));
}

TEST_F(E2eUsb, PocketExampleEndsOnItsProgrammedPosition) {
  const fs::path path = kExamples / "pocket.nc";
  ASSERT_TRUE(fs::is_regular_file(path)) << path;
  const kvgcode::Program program = Parse(ReadText(path), path.filename().string());
  ASSERT_NO_FATAL_FAILURE(ConnectOverUsb());
  ExpectEndedOnProgrammedPosition(RunProgram(program));
}

TEST_F(E2eUsb, ABoardUnpluggedMidProgramIsAnEstopAndIsFoundAgain) {
  const kvgcode::Program program = Parse("G21 G90\nG1 X80 Y40 F1200\nM2\n", "inline program");
  ASSERT_FALSE(program.blocks.empty());
  ASSERT_NO_FATAL_FAILURE(ConnectOverUsb());
  std::thread unplug([this] {
    if (WaitBoard([](const kvboard::Stats& b) { return b.motion.segments_received > 300; }, 20000)) board_->DropConnection();
  });
  const ProgramOutcome out = RunProgram(program);
  unplug.join();
  EXPECT_FALSE(out.run.completed);
  EXPECT_TRUE(out.run.estop);
  // The scheduler thread counts the E-stop when it carries the action out, which may follow the
  // host's E-stop by a run or two.
  EXPECT_TRUE(WaitUntil([this] { return ReadLinkState(session_.api()).estops >= 1; }, 5000))
      << "the board's queue was dropped as an E-stop drops it";
  // The device comes back: found, identified, streaming, every parameter sent again.
  EXPECT_TRUE(WaitUntil([this] {
    const host::LinkState link = ReadLinkState(session_.api());
    return link.connections >= 2 && link.link_open != 0 && link.streaming != 0;
  }, 10000));
  EXPECT_TRUE(WaitBoard([](const kvboard::Stats& b) { return b.connections >= 2 && b.param_ids_this_connection > 0; },
                        kSettleMs));
  EXPECT_GE(ReadLinkState(session_.api()).link_losses, 1u);
}

}  // namespace
}  // namespace kvhost::e2e
