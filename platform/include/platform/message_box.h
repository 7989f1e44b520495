// Modal message boxes. The plug-in has no window system of its own here: the process that
// hosts it installs a handler (kvhost prints the box and goes on; tests capture it).
#pragma once

#include <functional>
#include <string_view>

namespace platform {

using MessageBoxHandler = std::function<void(std::string_view text, std::string_view caption)>;

// Shows a box with one OK button and returns once it is dismissed.
void ShowMessageBox(std::string_view text, std::string_view caption);
// The same box owned by a window (a dialog's handle): it stays in front of that window, which
// takes no input until the box is dismissed.
void ShowMessageBox(std::string_view text, std::string_view caption, void* owner);

// Replaces the handler; an empty handler restores the default (a line on standard error).
void SetMessageBoxHandler(MessageBoxHandler handler);

}  // namespace platform
