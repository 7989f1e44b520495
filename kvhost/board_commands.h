// kvhost's commands at the plug-in's dialog: print it, upload a board configuration file, or
// upgrade the board's firmware, each done as a user at the dialog does it and each ending only
// once the board has come back and been identified again.
#pragma once

#include <cstdint>
#include <string>

#include "dialog_driver.h"
#include "host_machine.h"
#include "options.h"
#include "plugin_api.h"

namespace kvhost {

enum class CommandResult { kDone, kRefused, kTimedOut };

inline constexpr const char* kInLoaderWithoutImage =
    "the board is in its firmware loader and no image was given: --upgrade FILE loads one";

// The plug-in's rule: a file whose path contains "xconf." (case-sensitive, folders included) is a
// board configuration file; it takes any other for a firmware image.
bool IsConfigFilePath(const std::string& path);

// --dialog, --upload-config or --upgrade.
bool IsDialogCommand(const Options& options);
// Runs the one dialog command of `options` once the board is up; returns kvhost's exit code:
// 0 done, 1 refused, 3 no board, a board in its loader without an image, or the time ran out;
// 5 interrupted; 6 the board came back from an upgrade running the firmware it had before.
int RunDialogCommand(const Options& options, const PluginApi& api, HostMachine& machine, DialogDriver& driver,
                     double board_wait_s);

// How a board came up: identified and streaming, sitting in its loader, or not at all.
enum class BoardUp { kStreaming, kInLoader, kNone };
// Waits up to `timeout_ms` for the board; a board in its loader is told apart at once when
// `loader_ends_wait` (no image to give it), else it is waited through. With `ethernet`, a
// listening port the plug-in could not open ends the wait at once (kNone).
BoardUp WaitForBoardOrLoader(const PluginApi& api, const DialogDriver& driver, int timeout_ms, bool loader_ends_wait,
                             bool ethernet = false);

// Config, then the dialog on standard output, one line per control.
bool PrintDialog(const PluginApi& api, const DialogDriver& driver);

// The Upgrade button with `path` chosen: a configuration file; done once the board has
// reconnected and been identified again.
CommandResult UploadConfig(const PluginApi& api, DialogDriver& driver, const std::string& path, int timeout_ms);

// The Upgrade button with `path` chosen as the firmware image (or, for a board already in its
// loader, the file given at the plug-in's prompt); done once the board came back from the
// upgrade and was identified again. `terminal` draws a progress bar.
// `plugin_words`, when given, receives the plug-in's last word on a failed transfer from its
// status line ("Upgrade stopped after N of M bytes ...", "Upgrade refused: ...").
CommandResult Upgrade(const PluginApi& api, HostMachine& machine, DialogDriver& driver, const std::string& path,
                      bool board_in_loader, bool terminal, int timeout_ms, std::string* plugin_words = nullptr);

// The plug-in's status text when it tells why an upgrade did not go through; "" otherwise.
std::string UpgradeFailureWords(const std::string& status);

}  // namespace kvhost
