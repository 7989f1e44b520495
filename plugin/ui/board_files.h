// The two kinds of file the dialog's Upgrade button sends the board: a configuration file (its
// path contains "xconf."), uploaded whole in one frame, and a firmware image, which goes to the
// board's loader after a restart.
#pragma once

#include <string>
#include <string_view>

namespace kv {

inline constexpr std::size_t kConfigFileMaxBytes = 254;  // what one 0xE0 frame carries

// True when the path contains "xconf." anywhere (case-sensitive), folders included: a firmware
// image kept in a folder named "xconf.d" is taken for a configuration file, and the one-frame
// limit then refuses it rather than sending the board into its loader.
bool IsConfigFileName(std::string_view path);

// Sends the configuration file in one CONFIG_FILE frame, then closes the link so that the board
// reconnects with it applied. False, with the reason and nothing sent, when the file cannot be
// read or does not fit one frame: a cut file would configure the board with half of itself.
bool UploadConfigFile(const std::string& path, std::string& why);

// Asks the board to restart into its loader (RELOAD_REQUEST) and closes the link.
void RequestReload();

}  // namespace kv
