// The system's "open file" dialog. A process without a window system (kvhost, the tests)
// installs a handler that answers it; with neither a handler nor a window system the dialog
// cannot be shown, which is told apart from the user cancelling it.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace platform {

enum class FileChoice {
  kChosen,       // `path` names the file the user chose
  kCancelled,    // the user closed the dialog without choosing
  kUnavailable,  // the dialog could not be shown at all
};

struct OpenFileAnswer {
  FileChoice choice = FileChoice::kUnavailable;
  std::string path;
};

// Shows a modal "open file" dialog owned by `owner` (may be null) and returns once it is closed.
// `filter` is in the form "Describe Files (*.bin)|*.bin||": pairs of a description and a
// pattern, each followed by '|', ended by an empty pair. The read-only check box is hidden.
OpenFileAnswer ShowOpenFileDialog(std::string_view filter, void* owner);

using OpenFileHandler = std::function<OpenFileAnswer(std::string_view filter)>;
// Replaces the answering handler of the process; an empty one restores the default (the system's
// dialog on Windows, "cannot be shown" elsewhere).
void SetOpenFileHandler(OpenFileHandler handler);

}  // namespace platform
