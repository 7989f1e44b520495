// Dialogs as in-memory control tables (the model), with a process-wide registry the host can
// look at; where there is a window system a real window from the template shows the model.
#include "platform/dialog.h"

#include "process_services.h"
#include "window_system.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <deque>
#include <map>
#include <mutex>

namespace platform {
namespace {

using detail::CreateDialogView;
using detail::DialogView;

struct Control {
  std::string text;
  bool checked = false;
  bool enabled = true;
  int progress = 0;
};

class MemoryDialog;

// protects the registry and the message queue below
std::mutex registry_lock;
std::vector<MemoryDialog*> registry;

struct Posted {
  WindowHandle window;
  std::uint32_t message;
  std::uintptr_t wparam;
  std::intptr_t lparam;
};
std::deque<Posted> queue;

std::atomic<bool> hosted_windows{false};  // libraries' dialogs hosted by this program get windows

class MemoryDialog final : public Dialog {
 public:
  MemoryDialog(int template_id, WindowHandle owner, void* resource_module, bool with_window)
      : template_id_(template_id), owner_(owner) {
    if (with_window) {
      view_ = CreateDialogView(template_id, owner, resource_module,
                               {[this](int id, std::optional<bool> checked) { Clicked(id, checked); },
                                [this](std::uint32_t m, std::uintptr_t w, std::intptr_t l) { Deliver({Handle(), m, w, l}); }});
    }
    std::lock_guard<std::mutex> guard(registry_lock);
    registry.push_back(this);
  }
  ~MemoryDialog() override {
    {
      std::lock_guard<std::mutex> guard(registry_lock);
      registry.erase(std::remove(registry.begin(), registry.end(), this), registry.end());
      std::erase_if(queue, [this](const Posted& p) { return p.window == Handle(); });
    }
    view_.reset();  // the window goes with its model
  }

  // The window's own handle where there is one: owner of message boxes, target of posts.
  WindowHandle Handle() const override { return view_ ? view_->Handle() : const_cast<MemoryDialog*>(this); }
  int TemplateId() const override { return template_id_; }
  void Show() override { SetVisible(true); }
  void Hide() override { SetVisible(false); }
  bool Visible() const override { return visible_; }
  void SetItemText(int id, std::string_view text) override {
    controls_[id].text = text;
    if (view_) view_->SetText(id, text);
  }
  std::string ItemText(int id) const override { return Find(id).text; }
  void SetCheck(int id, bool checked) override {
    controls_[id].checked = checked;
    if (view_) view_->SetCheck(id, checked);
  }
  bool Checked(int id) const override { return Find(id).checked; }
  void EnableItem(int id, bool enabled) override {
    controls_[id].enabled = enabled;
    if (view_) view_->Enable(id, enabled);
  }
  bool ItemEnabled(int id) const override { return Find(id).enabled; }
  void SetProgress(int id, int position) override {
    controls_[id].progress = std::clamp(position, 0, 100);
    if (view_) view_->SetProgress(id, controls_[id].progress);
  }
  int Progress(int id) const override { return Find(id).progress; }
  void OnCommand(CommandHandler handler) override { on_command_ = std::move(handler); }
  void OnMessage(MessageHandler handler) override { on_message_ = std::move(handler); }

  void Command(int id) {
    if (on_command_) on_command_(id);
  }
  void Deliver(const Posted& p) {
    if (on_message_) on_message_(p.message, p.wparam, p.lparam);
  }
  // Posted to the window where there is one, so that the host's own message loop delivers it.
  bool PostToWindow(const Posted& p) { return view_ && view_->Post(p.message, p.wparam, p.lparam); }

 private:
  const Control& Find(int id) const {
    static const Control kNone;
    auto it = controls_.find(id);
    return it == controls_.end() ? kNone : it->second;
  }

  void SetVisible(bool visible) {
    visible_ = visible;
    if (view_) view_->Show(visible);
  }
  // A click in the window: a check box has toggled itself there already.
  void Clicked(int id, std::optional<bool> checked) {
    if (checked) controls_[id].checked = *checked;
    Command(id);
  }

  int template_id_;
  WindowHandle owner_;
  std::unique_ptr<DialogView> view_;
  bool visible_ = false;
  std::map<int, Control> controls_;
  CommandHandler on_command_;
  MessageHandler on_message_;
};

MemoryDialog* FindLocked(WindowHandle window) {
  for (MemoryDialog* d : registry) {
    if (d->Handle() == window) return d;
  }
  return nullptr;
}

}  // namespace

std::unique_ptr<Dialog> detail::LocalCreateDialog(int template_id, WindowHandle owner) {
  return std::make_unique<MemoryDialog>(template_id, owner, nullptr, false);
}

std::unique_ptr<Dialog> detail::LocalCreateDialogIn(int template_id, WindowHandle owner, void* resource_module) {
  return std::make_unique<MemoryDialog>(template_id, owner, resource_module, hosted_windows.load());
}

bool detail::LocalPostWindowMessage(WindowHandle window, std::uint32_t message, std::uintptr_t wparam,
                                    std::intptr_t lparam) {
  std::lock_guard<std::mutex> guard(registry_lock);
  MemoryDialog* target = FindLocked(window);
  if (target == nullptr) return false;
  if (target->PostToWindow({window, message, wparam, lparam})) return true;
  queue.push_back({window, message, wparam, lparam});
  return true;
}

void detail::LocalPumpWindowMessages() {
  for (;;) {
    Posted p;
    MemoryDialog* target = nullptr;
    {
      std::lock_guard<std::mutex> guard(registry_lock);
      if (queue.empty()) return;
      p = queue.front();
      queue.pop_front();
      target = FindLocked(p.window);
    }
    // Dialogs are destroyed only on this (their own) thread, so the target stays valid here.
    if (target) target->Deliver(p);
  }
}

void detail::LocalPumpAllMessages() {
  LocalPumpWindowMessages();
  PumpSystemMessages();
}

std::vector<Dialog*> detail::LocalOpenDialogs() {
  std::lock_guard<std::mutex> guard(registry_lock);
  return std::vector<Dialog*>(registry.begin(), registry.end());
}

void detail::LocalClickDialogItem(Dialog& dialog, int id, bool automatic_check_box) {
  if (!dialog.ItemEnabled(id)) return;
  if (automatic_check_box) dialog.SetCheck(id, !dialog.Checked(id));
  static_cast<MemoryDialog&>(dialog).Command(id);
}

// The public calls reach the process's one window system (see process_services.h).
std::unique_ptr<Dialog> Dialog::Create(int template_id, WindowHandle owner) {
  if (const detail::ProcessServices* host = detail::HostServices()) {
    if (host->size >= offsetof(detail::ProcessServices, create_dialog_in) + sizeof host->create_dialog_in) {
      return host->create_dialog_in(template_id, owner, detail::ThisResourceModule());
    }
    return host->create_dialog(template_id, owner);
  }
  // This module is the program, or its host shares no services (the real host): its own window.
  return std::make_unique<MemoryDialog>(template_id, owner, detail::ThisResourceModule(), true);
}

void SetHostedDialogWindows(bool windows) { hosted_windows.store(windows); }

bool PostWindowMessage(WindowHandle window, std::uint32_t message, std::uintptr_t wparam, std::intptr_t lparam) {
  if (const detail::ProcessServices* host = detail::HostServices()) {
    return host->post_window_message(window, message, wparam, lparam);
  }
  return detail::LocalPostWindowMessage(window, message, wparam, lparam);
}

void PumpWindowMessages() {
  if (const detail::ProcessServices* host = detail::HostServices()) return host->pump_window_messages();
  detail::LocalPumpAllMessages();
}

std::vector<Dialog*> OpenDialogs() {
  if (const detail::ProcessServices* host = detail::HostServices()) return host->open_dialogs();
  return detail::LocalOpenDialogs();
}

void ClickDialogItem(Dialog& dialog, int id, bool automatic_check_box) {
  if (const detail::ProcessServices* host = detail::HostServices()) {
    return host->click_dialog_item(dialog, id, automatic_check_box);
  }
  detail::LocalClickDialogItem(dialog, id, automatic_check_box);
}

}  // namespace platform
