// The system's window side of the dialogs, behind the in-memory model of common/dialog.cpp:
// a real window from the resource template that shows the model and reports clicks back, the
// thread's message loop, and the system's "open file" dialog. Windows has all of them; elsewhere
// there is no window system and each says so (a null view, nothing to pump, "cannot show").
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

#include "platform/dialog.h"
#include "platform/file_dialog.h"

namespace platform::detail {

// What a window reports to its model, on the thread that owns the window.
struct DialogViewEvents {
  std::function<void(int id, std::optional<bool> checked)> command;  // a click; a check box's new state
  std::function<void(std::uint32_t message, std::uintptr_t wparam, std::intptr_t lparam)> message;
};

class DialogView {
 public:
  virtual ~DialogView() = default;  // destroys the window
  virtual WindowHandle Handle() const = 0;
  virtual void Show(bool visible) = 0;
  virtual void SetText(int id, std::string_view text) = 0;
  virtual void SetCheck(int id, bool checked) = 0;
  virtual void Enable(int id, bool enabled) = 0;
  virtual void SetProgress(int id, int position) = 0;
  // Posts a message to the window, from any thread; it comes back through `events.message`.
  virtual bool Post(std::uint32_t message, std::uintptr_t wparam, std::intptr_t lparam) = 0;
};

// The window for a dialog of `template_id` in `resource_module`, hidden; null without a window
// system or when the system cannot create it (the model then serves alone).
std::unique_ptr<DialogView> CreateDialogView(int template_id, WindowHandle owner, void* resource_module,
                                             DialogViewEvents events);
// The module whose resources hold this module's dialog templates (null without a window system).
void* ThisResourceModule();
// Delivers the calling thread's window messages. The dialogs' keys (Tab, Enter, Escape) are
// handled whichever loop runs the thread, this one or the real host's.
void PumpSystemMessages();
// The system's own "open file" dialog.
OpenFileAnswer SystemOpenFileDialog(std::string_view filter, void* owner);

}  // namespace platform::detail
