// The plug-in dialog's model: identity fields, the pendant pair, progress, and the Upgrade
// button's two paths (configuration upload, firmware request) and their refusals.
#include "ui/plugin_dialog.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <new>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/file_dialog.h"
#include "platform/message_box.h"
#include "service/receive_parser.h"
#include "shell/plugin_state.h"
#include "testing/fake_host.h"
#include "ui/plugin_dialog_template.h"

namespace kv {
namespace {

namespace fs = std::filesystem;
using testing::Frame;

class PluginDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetBoardIdentity();
    state.link_kind = kLinkNone;
    state.mpg_src = 0;
    state.upgrade_path.Set("");
    platform::SetMessageBoxHandler([this](std::string_view text, std::string_view) { boxes_.emplace_back(text); });
    dir_ = fs::temp_directory_path() / ("kv-dialog-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::create_directories(dir_);
  }
  void TearDown() override {
    DestroyPluginDialog();
    platform::SetMessageBoxHandler({});
    platform::SetOpenFileHandler({});
    state.upgrade_path.Set("");
    fs::remove_all(dir_);
  }

  platform::Dialog& Open() {
    OpenPluginDialog();
    return state.plugin_dialog.load()->window();
  }
  std::string File(const std::string& name, std::size_t size, const std::string& folder = "") {
    const fs::path at = folder.empty() ? dir_ : dir_ / folder;
    fs::create_directories(at);
    std::ofstream out(at / name, std::ios::binary);
    for (std::size_t i = 0; i < size; ++i) out.put(static_cast<char>('a' + i % 26));
    return (at / name).string();
  }
  void Choose(const std::string& path) {
    platform::SetOpenFileHandler([path](std::string_view) {
      return platform::OpenFileAnswer{path.empty() ? platform::FileChoice::kCancelled : platform::FileChoice::kChosen,
                                      path};
    });
  }
  void ClickUpgrade(platform::Dialog& d) { platform::ClickDialogItem(d, IDC_UPGRADE); }

  testing::FakeHost host_;
  std::vector<std::string> boxes_;
  fs::path dir_;
};

TEST_F(PluginDialogTest, FieldsBeforeAnyBoardThenAfterIdentificationAtTheNextConfig) {
  platform::Dialog& d = Open();
  EXPECT_TRUE(d.Visible());
  EXPECT_EQ(d.TemplateId(), IDD_PLUGIN_DIALOG);
  EXPECT_EQ(d.ItemText(IDC_SERIES), "Kv serious");
  EXPECT_EQ(d.ItemText(IDC_MODEL), "UNKNOW");
  EXPECT_EQ(d.ItemText(IDC_LINK), "Waiting");
  EXPECT_EQ(d.ItemText(IDC_SERIAL), "-");
  EXPECT_EQ(d.ItemText(IDC_FIRMWARE), "0.0.0.3");
  EXPECT_EQ(d.ItemText(IDC_AXES), "0");
  EXPECT_EQ(d.ItemText(IDC_FREQ), "0K");
  EXPECT_EQ(d.ItemText(IDC_UPGRADE), "Upgrade");
  EXPECT_TRUE(d.ItemEnabled(IDC_UPGRADE));
  EXPECT_EQ(state.dialog_hwnd.load(), d.Handle());

  // An identification reply: serial, model 3, firmware 0x0102, 4 axes, divisors 36 x 10.
  const Frame reply = {0xDD, 1, 'K', 'V', '0', '0', '0', '0', '4', '2', 3, 0x02, 0x01, 4, 36, 10, 0, 0};
  ReceiveFrame(reply);
  state.link_kind = kLinkEthernet;
  EXPECT_EQ(d.ItemText(IDC_SERIAL), "-") << "the fields do not follow the board while the dialog is open";
  d.Hide();
  OpenPluginDialog();
  EXPECT_EQ(&state.plugin_dialog.load()->window(), &d) << "a second Config shows the same instance";
  EXPECT_TRUE(d.Visible());
  EXPECT_EQ(d.ItemText(IDC_SERIAL), "KV000042");
  EXPECT_EQ(d.ItemText(IDC_FIRMWARE), "0.0.1.2");
  EXPECT_EQ(d.ItemText(IDC_AXES), "4");
  EXPECT_EQ(d.ItemText(IDC_FREQ), "100K");
  EXPECT_EQ(d.ItemText(IDC_LINK), "Ethernet");
  for (auto [kind, text] : {std::pair{kLinkUsb, "USB"}, std::pair{7, "Unknown"}, std::pair{-1, "Unknown"}}) {
    state.link_kind = kind;
    OpenPluginDialog();
    EXPECT_EQ(d.ItemText(IDC_LINK), text);
  }
  state.board_firmware = 0xFFFEFDFCu;
  OpenPluginDialog();
  EXPECT_EQ(d.ItemText(IDC_FIRMWARE), "255.254.253.252");
}

TEST_F(PluginDialogTest, ThePendantPairKeepsExactlyOneBoxCheckedFromEveryState) {
  struct Case {
    std::int32_t mpg_src;
    int click;
    bool kv_after;
    std::int32_t src_after;
  };
  const Case cases[] = {
      {0, IDC_KV_MPG, true, 1},       {0, IDC_STANDARD_MPG, true, 1},  // the checked one unchecked: the other
      {1, IDC_KV_MPG, false, 0},      {1, IDC_STANDARD_MPG, false, 0},
      {2, IDC_KV_MPG, true, 1},       {2, IDC_STANDARD_MPG, true, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("mpg_src " + std::to_string(c.mpg_src) + ", click " + std::to_string(c.click));
    state.mpg_src = c.mpg_src;
    platform::Dialog& d = Open();
    EXPECT_EQ(d.Checked(IDC_KV_MPG), c.mpg_src == 1);
    EXPECT_EQ(d.Checked(IDC_STANDARD_MPG), c.mpg_src != 1) << "any value but 1 is a standard MPG";
    platform::ClickDialogItem(d, c.click, true);
    EXPECT_EQ(d.Checked(IDC_KV_MPG), c.kv_after);
    EXPECT_EQ(d.Checked(IDC_STANDARD_MPG), !c.kv_after);
    EXPECT_EQ(state.mpg_src.load(), c.src_after);
  }
}

// The template as written for the dialog, control by control in its order: ids, kinds, texts and
// places. The Windows build compiles the same table into its resource and checks the real window
// against it; this pins the table itself.
TEST_F(PluginDialogTest, TheTemplateHoldsEveryControlWithItsIdTextAndPlace) {
  struct Expected {
    int id;
    ControlKind kind;
    const char* text;
    int x, y, width, height;
  };
  const Expected expected[] = {
      {4187, ControlKind::kPushButton, "Upgrade", 139, 84, 50, 14},
      {-1, ControlKind::kGroupBox, "Device Info", 7, 7, 115, 108},
      {-1, ControlKind::kLabel, "Serious:", 23, 30, 27, 8},
      {-1, ControlKind::kLabel, "Model:", 28, 43, 22, 8},
      {-1, ControlKind::kLabel, "Link:", 34, 57, 16, 8},
      {-1, ControlKind::kLabel, "Serial No:", 18, 72, 32, 8},
      {-1, ControlKind::kLabel, "Firmware:", 17, 88, 33, 8},
      {-1, ControlKind::kLabel, "Axis:", 173, 30, 17, 8},
      {-1, ControlKind::kGroupBox, "Performance", 140, 7, 144, 73},
      {-1, ControlKind::kLabel, "Freq:", 170, 47, 20, 8},
      {4163, ControlKind::kProgressBar, "", 196, 86, 88, 11},
      {-1, ControlKind::kRightLabel, nullptr, 128, 107, 156, 8},  // the product notice
      {4164, ControlKind::kLabel, "-", 57, 30, 56, 8},
      {4165, ControlKind::kLabel, "-", 57, 43, 55, 8},
      {4166, ControlKind::kLabel, "-", 57, 57, 53, 8},
      {4167, ControlKind::kLabel, "-", 57, 72, 55, 8},
      {4168, ControlKind::kLabel, "-", 57, 88, 53, 8},
      {4169, ControlKind::kLabel, "-", 197, 30, 54, 8},
      {4170, ControlKind::kLabel, "-", 197, 47, 55, 8},
      {4199, ControlKind::kCheckBox, "KV-MPG", 152, 63, 41, 10},
      {4203, ControlKind::kCheckBox, "Standard-MPG", 206, 63, 62, 10},
  };
  ASSERT_EQ(std::size(expected), kPluginDialogControls.size());
  for (std::size_t i = 0; i < std::size(expected); ++i) {
    const Expected& e = expected[i];
    const DialogControl& c = kPluginDialogControls[i];
    SCOPED_TRACE("control " + std::to_string(i));
    EXPECT_EQ(c.id, e.id);
    EXPECT_EQ(c.kind, e.kind);
    if (e.text != nullptr) {
      EXPECT_STREQ(c.text, e.text);
    } else {
      const std::string notice = c.text;
      EXPECT_EQ(notice.substr(notice.size() - 5), "1.0.3") << notice;
    }
    EXPECT_EQ(c.x, e.x);
    EXPECT_EQ(c.y, e.y);
    EXPECT_EQ(c.width, e.width);
    EXPECT_EQ(c.height, e.height);
  }
  EXPECT_EQ(IDD_PLUGIN_DIALOG, 4015);
  EXPECT_STREQ(kPluginDialogTemplate.caption, "Dialog");
  EXPECT_EQ(kPluginDialogTemplate.width, 291);
  EXPECT_EQ(kPluginDialogTemplate.height, 123);
  EXPECT_STREQ(kPluginDialogTemplate.font, "MS Shell Dlg");
  EXPECT_EQ(kPluginDialogTemplate.font_points, 8);

  // The dialog the plug-in opens is made from that template and fills the value labels by id.
  platform::Dialog& d = Open();
  EXPECT_EQ(d.TemplateId(), 4015);
  EXPECT_EQ(d.ItemText(4164), "Kv serious");
  EXPECT_EQ(d.ItemText(4166), "Waiting");
  EXPECT_EQ(d.ItemText(4168), "0.0.0.3");
  EXPECT_EQ(d.ItemText(4169), "0");
  EXPECT_EQ(d.ItemText(4170), "0K");
  EXPECT_TRUE(d.Checked(4203));
  EXPECT_FALSE(d.Checked(4199));
}

// Enter (command 1), Escape and the close box (both command 2) hide the dialog and change nothing
// else; the window stays, still takes progress messages (number 1126), and Config shows it again.
TEST_F(PluginDialogTest, OkCancelAndTheCloseBoxOnlyHideTheDialog) {
  testing::CapturedLink link;
  for (int command : {2, 1}) {
    SCOPED_TRACE("command " + std::to_string(command));
    platform::Dialog& d = Open();
    ASSERT_TRUE(d.Visible());
    void* const window = state.dialog_hwnd.load();
    CPluginDlg* const instance = state.plugin_dialog.load();
    state.mpg_src = 1;
    state.upgrade_path.Set("/kept/fw.bin");
    platform::ClickDialogItem(d, command);
    EXPECT_FALSE(d.Visible());
    EXPECT_EQ(state.plugin_dialog.load(), instance) << "the instance lives until StopPlug";
    EXPECT_EQ(state.dialog_hwnd.load(), window);
    EXPECT_EQ(state.mpg_src.load(), 1);
    EXPECT_EQ(state.upgrade_path.Get(), "/kept/fw.bin");
    EXPECT_TRUE(link.Take().empty());
    EXPECT_EQ(link.CloseCalls(), 0);
    EXPECT_TRUE(boxes_.empty());

    // Progress reaches the hidden dialog by its number.
    ASSERT_TRUE(platform::PostWindowMessage(window, 1126, 42, 0));
    platform::PumpWindowMessages();
    EXPECT_EQ(d.Progress(4163), 42);
    ASSERT_TRUE(platform::PostWindowMessage(window, 1125, 7, 0));
    ASSERT_TRUE(platform::PostWindowMessage(window, 1127, 7, 0));
    platform::PumpWindowMessages();
    EXPECT_EQ(d.Progress(4163), 42) << "only message 1126 carries progress";

    EXPECT_EQ(&Open(), &d) << "Config shows the same dialog again";
    EXPECT_TRUE(d.Visible());
    EXPECT_TRUE(d.Checked(4199)) << "shown afresh from the state";
  }
}

TEST_F(PluginDialogTest, ProgressFillsTheBarThenReconnectsThenGivesTheButtonBack) {
  platform::Dialog& d = Open();
  CPluginDlg& dlg = *state.plugin_dialog.load();
  d.EnableItem(IDC_UPGRADE, false);
  for (std::uintptr_t p : {std::uintptr_t{0}, std::uintptr_t{48}, std::uintptr_t{100}}) {
    dlg.OnUpgradeProgress(p, 0);
    EXPECT_EQ(d.Progress(IDC_PROGRESS), static_cast<int>(p));
    EXPECT_FALSE(d.ItemEnabled(IDC_UPGRADE));
  }
  dlg.OnUpgradeProgress(101, 0);
  EXPECT_EQ(d.Progress(IDC_PROGRESS), 0);
  EXPECT_EQ(d.ItemText(IDC_UPGRADE), "reconnet...");
  EXPECT_FALSE(d.ItemEnabled(IDC_UPGRADE));
  for (std::uintptr_t p : {std::uintptr_t{102}, std::uintptr_t{500}, ~std::uintptr_t{0}}) {
    d.EnableItem(IDC_UPGRADE, false);
    dlg.OnUpgradeProgress(p, 0);
    EXPECT_TRUE(d.ItemEnabled(IDC_UPGRADE));
    EXPECT_EQ(d.ItemText(IDC_UPGRADE), "Upgrade");
  }
  // Posted, as the service task sends it, and delivered by the host's message loop.
  ASSERT_TRUE(platform::PostWindowMessage(state.dialog_hwnd.load(), WM_UPGRADE_PROGRESS, 77, 0));
  EXPECT_EQ(d.Progress(IDC_PROGRESS), 0);
  platform::PumpWindowMessages();
  EXPECT_EQ(d.Progress(IDC_PROGRESS), 77);
}

TEST_F(PluginDialogTest, AConfigurationFileGoesInOneFrameThenTheLinkClosesAndNothingElseChanges) {
  testing::CapturedLink link;
  platform::Dialog& d = Open();
  const std::string path = File("mill.xconf.txt", 254);
  Choose(path);
  ClickUpgrade(d);
  const std::vector<Frame> frames = link.Take();
  ASSERT_EQ(frames.size(), 1u);
  ASSERT_EQ(frames[0].size(), 256u);
  EXPECT_EQ(frames[0][0], 255);
  EXPECT_EQ(frames[0][1], 0xE0);
  EXPECT_EQ(frames[0][2], 'a');
  EXPECT_EQ(frames[0][255], 'a' + 253 % 26);
  EXPECT_EQ(link.CloseCalls(), 1);
  EXPECT_TRUE(boxes_.empty());
  EXPECT_EQ(state.upgrade_path.Get(), "");
  EXPECT_TRUE(d.ItemEnabled(IDC_UPGRADE));
  EXPECT_EQ(d.ItemText(IDC_UPGRADE), "Upgrade");
}

TEST_F(PluginDialogTest, AnOversizedOrUnreadableConfigurationFileIsRefusedNeverCut) {
  testing::CapturedLink link;
  platform::Dialog& d = Open();
  for (const std::string& path : {File("big.xconf.txt", 255), (dir_ / "gone.xconf.txt").string()}) {
    boxes_.clear();
    Choose(path);
    ClickUpgrade(d);
    EXPECT_TRUE(link.Take().empty()) << path;
    EXPECT_EQ(link.CloseCalls(), 0);
    ASSERT_EQ(boxes_.size(), 1u);
    EXPECT_EQ(boxes_[0].rfind("Configuration upload refused: ", 0), 0u) << boxes_[0];
  }
  EXPECT_NE(boxes_[0].find("cannot read"), std::string::npos);
}

TEST_F(PluginDialogTest, AFirmwareImageIsKeptAndTheBoardSentToItsLoader) {
  testing::CapturedLink link;
  platform::Dialog& d = Open();
  // The search is case-sensitive: "Xconf." and "XCONF." name no configuration file.
  const std::string path = File("fw.Xconf.bin", 96, "board.XCONF.d");
  Choose(path);
  ClickUpgrade(d);
  EXPECT_EQ(state.upgrade_path.Get(), path);
  EXPECT_FALSE(d.ItemEnabled(IDC_UPGRADE));
  EXPECT_EQ(d.ItemText(IDC_UPGRADE), "processing...");
  // "UPGRADE", then the frame layer's own notice as the reload request is finished.
  EXPECT_EQ(boxes_, (std::vector<std::string>{"UPGRADE", "detect reload"}));
  EXPECT_EQ(link.Take(), (std::vector<Frame>{{0x01, 0xFA}}));
  EXPECT_EQ(link.CloseCalls(), 1);
}

TEST_F(PluginDialogTest, AFileInAFolderNamedLikeAConfigurationFileIsOneAndTheOneFrameLimitHolds) {
  testing::CapturedLink link;
  platform::Dialog& d = Open();
  // Small enough for one frame: uploaded as configuration, never stored for the loader.
  Choose(File("fw.bin", 96, "board.xconf.d"));
  ClickUpgrade(d);
  std::vector<Frame> frames = link.Take();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0][1], 0xE0);
  EXPECT_EQ(frames[0].size(), 98u);
  EXPECT_EQ(link.CloseCalls(), 1);
  EXPECT_EQ(state.upgrade_path.Get(), "");
  EXPECT_TRUE(d.ItemEnabled(IDC_UPGRADE));

  // A real firmware image there is refused by the limit, not sent to the loader.
  const std::string image = File("big.bin", 4096, "board.xconf.d");
  Choose(image);
  ClickUpgrade(d);
  EXPECT_TRUE(link.Take().empty());
  EXPECT_EQ(link.CloseCalls(), 1);
  EXPECT_EQ(boxes_, (std::vector<std::string>{"Configuration upload refused: " + image +
                                              " has 4096 bytes, more than the 254 one frame carries"}));
  EXPECT_EQ(state.upgrade_path.Get(), "");
}

TEST_F(PluginDialogTest, FoldersDevicesAndHugeFilesAreRefusedBeforeAnythingIsRead) {
  testing::CapturedLink link;
  platform::Dialog& d = Open();
  const fs::path folder = dir_ / "images.d";
  const fs::path config_folder = dir_ / "cfg.xconf.d";
  fs::create_directories(folder);
  fs::create_directories(config_folder);
  // Sparse: nothing is written, and nothing may be read.
  const std::string huge = File("huge.bin", 0);
  fs::resize_file(huge, std::uintmax_t{3} << 30);
  const std::string huge_config = File("huge.xconf.cfg", 0);
  fs::resize_file(huge_config, std::uintmax_t{3} << 30);
  struct Case {
    std::string path;
    std::string box;
  };
  const Case cases[] = {
      {folder.string(), "Firmware upgrade refused: the firmware image " + folder.string() + " is a folder, not a file"},
      {"/dev/zero", "Firmware upgrade refused: the firmware image /dev/zero is a device, not a file"},
      {huge, "Firmware upgrade refused: the firmware image " + huge +
                 " has 3221225472 bytes, more than the 16777216 a 24-bit block address reaches"},
      {config_folder.string(), "Configuration upload refused: " + config_folder.string() + " is a folder, not a file"},
      {huge_config, "Configuration upload refused: " + huge_config + " has 3221225472 bytes, more than the 254 one frame carries"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    boxes_.clear();
    Choose(c.path);
    const std::uint32_t from = platform::TickMs();
    EXPECT_NO_THROW(ClickUpgrade(d));
    EXPECT_LT(platform::TickMs() - from, 2000u) << "the file was read, not refused";
    EXPECT_EQ(boxes_, std::vector<std::string>{c.box});
    EXPECT_TRUE(link.Take().empty());
    EXPECT_EQ(link.CloseCalls(), 0);
    EXPECT_TRUE(d.ItemEnabled(IDC_UPGRADE));
    EXPECT_EQ(state.upgrade_path.Get(), "");
  }
}

TEST_F(PluginDialogTest, AnExceptionInAHandlerIsReportedAndNeverReachesTheHostsMessageLoop) {
  testing::CapturedLink link;
  platform::Dialog& d = Open();
  platform::SetOpenFileHandler([](std::string_view) -> platform::OpenFileAnswer { throw std::bad_alloc(); });
  EXPECT_NO_THROW(ClickUpgrade(d));
  EXPECT_EQ(host_.Status(), "The dialog's command failed: out of memory; nothing was done");
  EXPECT_TRUE(link.Take().empty());
  EXPECT_TRUE(d.ItemEnabled(IDC_UPGRADE));
}

TEST_F(PluginDialogTest, RefusalsLeaveTheButtonThePathAndTheBoardAlone) {
  testing::CapturedLink link;
  platform::Dialog& d = Open();
  const std::string long_name(std::max<std::ptrdiff_t>(1, 131 - static_cast<std::ptrdiff_t>((dir_ / "").string().size())), 'f');
  const std::string too_long = File(long_name, 10);
  ASSERT_GT(too_long.size(), 130u);
  struct Case {
    std::string path;
    std::string box;
  };
  const Case cases[] = {
      {"", "请选择程序文件"},
      {too_long, "Firmware upgrade refused: the path has " + std::to_string(too_long.size()) +
                     " characters, more than the 130 kept for it"},
      {File("empty.bin", 0), "Firmware upgrade refused: the firmware image " + (dir_ / "empty.bin").string() + " is empty"},
  };
  for (const Case& c : cases) {
    boxes_.clear();
    Choose(c.path);
    ClickUpgrade(d);
    EXPECT_EQ(boxes_, std::vector<std::string>{c.box});
    EXPECT_TRUE(link.Take().empty());
    EXPECT_EQ(link.CloseCalls(), 0);
    EXPECT_TRUE(d.ItemEnabled(IDC_UPGRADE));
    EXPECT_EQ(state.upgrade_path.Get(), "");
  }
}

TEST_F(PluginDialogTest, TheUpgradeButtonWithNoLinkEverOpenedSaysSoAndSendsNothing) {
  state.link_open = 0;
  state.link_send_frame = nullptr;
  state.link_close = nullptr;
  platform::Dialog& d = Open();
  Choose(File("fw.bin", 48));
  ClickUpgrade(d);
  EXPECT_EQ(boxes_, std::vector<std::string>{"No board is connected: nothing was sent"});
  EXPECT_TRUE(d.ItemEnabled(IDC_UPGRADE));
  EXPECT_EQ(state.upgrade_path.Get(), "");
}

}  // namespace
}  // namespace kv
