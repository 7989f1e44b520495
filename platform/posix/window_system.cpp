// No window system here: dialogs are their in-memory models alone, which the hosting process
// (kvhost, a test) looks at and clicks, and it alone can answer a file dialog.
#include "../common/window_system.h"

namespace platform::detail {

std::unique_ptr<DialogView> CreateDialogView(int, WindowHandle, void*, DialogViewEvents) { return nullptr; }
void* ThisResourceModule() { return nullptr; }
void PumpSystemMessages() {}
OpenFileAnswer SystemOpenFileDialog(std::string_view, void*) { return {}; }

}  // namespace platform::detail
