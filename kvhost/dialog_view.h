// The plug-in dialog as it would appear on the screen, as text: one line per control of its
// template, with what the dialog's model holds (texts, check states, enabled states, progress).
#pragma once

#include <string>
#include <vector>

#include "platform/dialog.h"

namespace kvhost {

// A heading line, then the controls in the template's (tab) order.
std::vector<std::string> DialogLines(const platform::Dialog& dialog);

// `text` with every control character, DEL, byte above 0x7F and backslash written as \xNN, so
// that text the board sent (its serial number) cannot move the cursor, clear the screen or end
// a line on a terminal.
std::string EscapeControls(const std::string& text);

// A text bar of `width` cells for `percent` (clamped to 0..100): "[#####.....]".
std::string Bar(int percent, int width);

}  // namespace kvhost
