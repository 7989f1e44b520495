// Modeless dialogs built from a resource template: labels, buttons, check boxes and a progress
// bar, addressed by control id. Every dialog keeps its controls' state in memory (the model),
// which the hosting process can look at and click as a user at the screen would; on Windows a
// real window from the template shows the model and reports the user's clicks to it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

using WindowHandle = void*;

class Dialog {
 public:
  // Called on the thread that pumps the dialog's messages, like a window procedure.
  using CommandHandler = std::function<void(int control_id)>;
  using MessageHandler = std::function<std::intptr_t(std::uint32_t message, std::uintptr_t wparam, std::intptr_t lparam)>;

  // Creates the dialog window from `template_id`, hidden, owned by `owner`.
  static std::unique_ptr<Dialog> Create(int template_id, WindowHandle owner);
  virtual ~Dialog() = default;

  virtual WindowHandle Handle() const = 0;
  virtual int TemplateId() const = 0;
  virtual void Show() = 0;
  virtual void Hide() = 0;
  virtual bool Visible() const = 0;
  virtual void SetItemText(int id, std::string_view text) = 0;
  virtual std::string ItemText(int id) const = 0;
  virtual void SetCheck(int id, bool checked) = 0;
  virtual bool Checked(int id) const = 0;
  virtual void EnableItem(int id, bool enabled) = 0;
  virtual bool ItemEnabled(int id) const = 0;
  virtual void SetProgress(int id, int position) = 0;
  virtual int Progress(int id) const = 0;
  virtual void OnCommand(CommandHandler handler) = 0;
  virtual void OnMessage(MessageHandler handler) = 0;
};

// Queues a message for the dialog; false when no such window exists. Safe from any thread.
bool PostWindowMessage(WindowHandle window, std::uint32_t message, std::uintptr_t wparam, std::intptr_t lparam);
// Delivers queued messages to their dialogs, on the calling (the dialogs') thread.
void PumpWindowMessages();

// Whether the dialogs this program creates for the libraries it loads get real windows besides
// their in-memory models (Windows; off by default, so kvhost and the tests stay headless; a
// library whose host shares no services always makes its own window).
void SetHostedDialogWindows(bool windows);

// The hosting process's view of the screen.
std::vector<Dialog*> OpenDialogs();
// A click on a control: automatic check boxes toggle first, then the command handler runs.
void ClickDialogItem(Dialog& dialog, int id, bool automatic_check_box = false);

}  // namespace platform
