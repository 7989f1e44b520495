// The dialog commands: --dialog, --upload-config and --upgrade.
#include "board_commands.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "board_wait.h"
#include "dialog_view.h"
#include "platform/clock.h"
#include "platform/interrupt.h"
#include "platform/terminal.h"
#include "ui/plugin_dialog_template.h"

namespace kvhost {
namespace {

bool Streaming(const host::LinkState& link) {
  return link.link_open != 0 && link.identified != 0 && link.streaming != 0 && link.in_loader == 0;
}

// The board back from a restart: a link newer than `connections`, identified and streaming.
bool BackAfter(const PluginApi& api, std::uint32_t connections) {
  const host::LinkState link = ReadLinkState(api);
  return link.connections > connections && Streaming(link);
}

// Clicks Upgrade with `path` chosen; false when the dialog refused it (the box says why).
bool ClickUpgrade(const PluginApi& api, DialogDriver& driver, const std::string& path, platform::Dialog*& dialog) {
  dialog = driver.Open(api);
  if (dialog == nullptr) return false;
  const std::size_t boxes = driver.Boxes().size();
  driver.AnswerFileDialog(path);
  platform::ClickDialogItem(*dialog, kv::IDC_UPGRADE);
  const std::vector<std::string> shown = driver.Boxes();
  for (std::size_t i = boxes; i < shown.size(); ++i) {
    if (shown[i].find("refused") != std::string::npos || shown[i].find("No board") != std::string::npos) return false;
  }
  return true;
}

// "Upgrade progress 48%" on the status line: 48; -1 for any other text.
int StatusPercent(const std::string& status) {
  constexpr const char* kPrefix = "Upgrade progress ";
  if (status.rfind(kPrefix, 0) != 0) return -1;
  return std::atoi(status.c_str() + std::char_traits<char>::length(kPrefix));
}

class ProgressLine {
 public:
  explicit ProgressLine(bool terminal) : terminal_(terminal) {}
  ~ProgressLine() {
    if (terminal_ && drawn_) std::printf("\n");
  }
  void Show(int percent, const std::string& phase) {
    if (percent == percent_ && phase == phase_) return;
    percent_ = percent;
    phase_ = phase;
    drawn_ = true;
    if (terminal_) {
      std::printf("\rupgrade %s %3d%%  %-24s", Bar(percent, 40).c_str(), percent, phase.c_str());
      std::fflush(stdout);
    } else if (phase != last_logged_) {
      std::printf("upgrade: %s\n", phase.c_str());  // one line per phase off a terminal
      last_logged_ = phase;
    }
  }

 private:
  bool terminal_;
  bool drawn_ = false;
  int percent_ = -1;
  std::string phase_, last_logged_;
};

int Fail(int code, const std::string& message) {
  std::fprintf(stderr, "kvhost: %s\n", message.c_str());
  return code;
}

// Long enough for the image's blocks at the loader's pace, the fixed waits and two reconnects.
int UpgradeTimeoutMs(const std::string& path) {
  std::error_code ec;
  const std::uintmax_t size = std::filesystem::file_size(path, ec);
  const std::uintmax_t blocks = ec ? 0 : (size + 47) / 48;
  return static_cast<int>(std::min<std::uintmax_t>(60000 + blocks * 10, 3600000));
}

}  // namespace

std::string UpgradeFailureWords(const std::string& status) {
  if (status.rfind("Upgrade progress", 0) == 0 || status.rfind("Upgrade done", 0) == 0) return "";
  if (status.rfind("Upgrade", 0) == 0 || status.find("loader") != std::string::npos) return status;
  return "";
}

bool IsConfigFilePath(const std::string& path) { return path.find("xconf.") != std::string::npos; }

bool IsDialogCommand(const Options& o) { return o.dialog || !o.upload_config.empty() || !o.upgrade.empty(); }

int RunDialogCommand(const Options& o, const PluginApi& api, HostMachine& machine, DialogDriver& driver,
                     double board_wait_s) {
  constexpr int kOk = 0, kRefusedCode = 1, kNoBoard = 3, kInterrupted = 5, kNotAsAsked = 6;
  const int wait_ms = static_cast<int>(board_wait_s * 1000.0);
  if (!o.upload_config.empty() && !IsConfigFilePath(o.upload_config)) {
    // The Upgrade button takes any other file for a firmware image: the board would be sent into
    // its loader and the file written as its firmware.
    return Fail(kRefusedCode, "--upload-config " + o.upload_config +
                                  ": not a configuration file, whose path must contain \"xconf.\"; the plug-in "
                                  "would take it for a firmware image and reflash the board with it (use --upgrade "
                                  "for a firmware image)");
  }
  if (!o.upgrade.empty() && IsConfigFilePath(o.upgrade)) {
    // The plug-in takes such a path for a configuration upload: nothing would be flashed, and the
    // wait for the board's restart would end in a report of an upgrade that never was.
    return Fail(kRefusedCode, "--upgrade " + o.upgrade +
                                  ": a path containing \"xconf.\" is a configuration file to the plug-in, which "
                                  "would upload it instead of flashing it (use --upload-config for a configuration)");
  }
  const BoardUp up = WaitForBoardOrLoader(api, driver, wait_ms, true, o.link == "ethernet");
  if (platform::InterruptRequested()) return Fail(kInterrupted, "interrupted before a board answered");
  if (up == BoardUp::kNone) {
    return Fail(kNoBoard, NoBoardReason(api, o.listen_port,
                                        "no board answered within " + std::to_string(wait_ms / 1000) + " s"));
  }
  if (up == BoardUp::kInLoader && o.upgrade.empty()) return Fail(kNoBoard, kInLoaderWithoutImage);
  if (o.dialog) return PrintDialog(api, driver) ? kOk : Fail(kNoBoard, "the plug-in showed no dialog");

  // The version the board runs before an upgrade: one it still runs afterwards was not replaced.
  std::string firmware_before;
  if (!o.upgrade.empty() && up == BoardUp::kStreaming) {
    if (platform::Dialog* d = driver.Open(api)) firmware_before = d->ItemText(kv::IDC_FIRMWARE);
  }
  CommandResult result = CommandResult::kTimedOut;
  std::string plugin_words;
  if (!o.upload_config.empty()) {
    result = UploadConfig(api, driver, o.upload_config, o.time_limit_s ? wait_ms : 30000);
  } else {
    const int timeout_ms = o.time_limit_s ? wait_ms : UpgradeTimeoutMs(o.upgrade);
    result = Upgrade(api, machine, driver, o.upgrade, up == BoardUp::kInLoader,
                     platform::IsTerminal(platform::Stream::kOut), timeout_ms, &plugin_words);
  }
  if (platform::InterruptRequested()) return Fail(kInterrupted, "interrupted");
  if (result == CommandResult::kRefused) {
    if (!plugin_words.empty()) return Fail(kRefusedCode, "the plug-in refused the file: " + plugin_words);
    return Fail(kRefusedCode, "the plug-in refused the file (see its message above)");
  }
  if (result == CommandResult::kTimedOut) {
    if (!plugin_words.empty()) return Fail(kNoBoard, "the upgrade did not go through: " + plugin_words);
    return Fail(kNoBoard, "the board did not come back identified in time");
  }
  std::string firmware_after;
  if (platform::Dialog* d = driver.Open(api)) {
    firmware_after = d->ItemText(kv::IDC_FIRMWARE);
    std::printf("board back: serial %s, firmware %s, link %s\n", EscapeControls(d->ItemText(kv::IDC_SERIAL)).c_str(),
                firmware_after.c_str(), d->ItemText(kv::IDC_LINK).c_str());
    d->Hide();
  }
  if (!firmware_before.empty() && firmware_after == firmware_before) {
    return Fail(kNotAsAsked, "the board came back running firmware " + firmware_after +
                                 ", the version it ran before: the new image is not running (the loader kept "
                                 "the old one, or the image carries the same version)");
  }
  return kOk;
}

BoardUp WaitForBoardOrLoader(const PluginApi& api, const DialogDriver& driver, int timeout_ms, bool loader_ends_wait,
                             bool ethernet) {
  BoardUp up = BoardUp::kNone;
  driver.PumpUntil(
      [&] {
        const host::LinkState link = ReadLinkState(api);
        if (ethernet && link.listen_failed != 0) return true;  // no board can reach a port not listened on
        if (Streaming(link)) up = BoardUp::kStreaming;
        // Asked for an image it has none of, or answering from the loader: say so now.
        else if (loader_ends_wait && (link.in_loader != 0 || driver.FileDialogRequests() > 0)) up = BoardUp::kInLoader;
        return up != BoardUp::kNone;
      },
      timeout_ms);
  return up;
}

bool PrintDialog(const PluginApi& api, const DialogDriver& driver) {
  platform::Dialog* dialog = driver.Open(api);
  if (dialog == nullptr) return false;
  for (const std::string& line : DialogLines(*dialog)) std::printf("%s\n", line.c_str());
  return true;
}

CommandResult UploadConfig(const PluginApi& api, DialogDriver& driver, const std::string& path, int timeout_ms) {
  const std::uint32_t connections = ReadLinkState(api).connections;
  platform::Dialog* dialog = nullptr;
  if (!ClickUpgrade(api, driver, path, dialog)) return CommandResult::kRefused;
  std::error_code ec;
  const std::uintmax_t bytes = std::filesystem::file_size(path, ec);
  std::printf("configuration %s (%s bytes) uploaded to the board in one frame; waiting for it to reconnect\n",
              path.c_str(), std::to_string(ec ? std::uintmax_t{0} : bytes).c_str());
  return driver.PumpUntil([&] { return BackAfter(api, connections); }, timeout_ms) ? CommandResult::kDone
                                                                                  : CommandResult::kTimedOut;
}

CommandResult Upgrade(const PluginApi& api, HostMachine& machine, DialogDriver& driver, const std::string& path,
                      bool board_in_loader, bool terminal, int timeout_ms, std::string* plugin_words) {
  const std::uint32_t connections = ReadLinkState(api).connections;
  platform::Dialog* dialog = nullptr;
  if (!board_in_loader && !ClickUpgrade(api, driver, path, dialog)) {
    if (plugin_words != nullptr) *plugin_words = UpgradeFailureWords(machine.StatusLine());
    return CommandResult::kRefused;
  }
  ProgressLine progress(terminal);
  // The plug-in's word on a transfer that failed, kept as seen: a later status may replace it.
  auto note = [&] {
    if (plugin_words == nullptr) return;
    if (std::string words = UpgradeFailureWords(machine.StatusLine()); !words.empty()) *plugin_words = words;
  };
  bool started = false;  // blocks have gone out (or the dialog said the transfer is over)
  bool refused = false;
  const bool back = driver.PumpUntil(
      [&] {
        if (board_in_loader) {
          // No dialog: the plug-in reports on the status line, and refuses there too.
          const std::string status = machine.StatusLine();
          refused = status.rfind("Upgrade refused", 0) == 0 || driver.BoxShown("No file select");
          if (StatusPercent(status) >= 0 || status.rfind("Upgrade done", 0) == 0) started = true;
          return refused || (started && BackAfter(api, connections));
        }
        const bool enabled = dialog->ItemEnabled(kv::IDC_UPGRADE);
        if (dialog->ItemText(kv::IDC_UPGRADE) == "reconnet...") started = true;
        return started && enabled && BackAfter(api, connections);
      },
      timeout_ms, [&] {
        note();
        if (board_in_loader) {
          const std::string status = machine.StatusLine();
          const int percent = StatusPercent(status);
          if (percent >= 0) progress.Show(percent, "sending the image");
          else if (status.rfind("Upgrade done", 0) == 0) progress.Show(100, "restarting");
          return;
        }
        const std::string button = dialog->ItemText(kv::IDC_UPGRADE);
        const int percent = dialog->Progress(kv::IDC_PROGRESS);
        if (button == "processing...") progress.Show(percent, percent > 0 ? "sending the image" : "board to its loader");
        else if (button == "reconnet...") progress.Show(100, "restarting");
        else progress.Show(100, "waiting for the board");
      });
  note();
  if (refused) return CommandResult::kRefused;
  return back ? CommandResult::kDone : CommandResult::kTimedOut;
}

}  // namespace kvhost
