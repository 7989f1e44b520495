// Dialogs as in-memory control tables, with a process-wide registry the host can look at.
#include "platform/dialog.h"

#include "process_services.h"

#include <algorithm>
#include <deque>
#include <map>
#include <mutex>

namespace platform {
namespace {

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

class MemoryDialog final : public Dialog {
 public:
  MemoryDialog(int template_id, WindowHandle owner) : template_id_(template_id), owner_(owner) {
    std::lock_guard<std::mutex> guard(registry_lock);
    registry.push_back(this);
  }
  ~MemoryDialog() override {
    std::lock_guard<std::mutex> guard(registry_lock);
    registry.erase(std::remove(registry.begin(), registry.end(), this), registry.end());
    std::erase_if(queue, [this](const Posted& p) { return p.window == Handle(); });
  }

  WindowHandle Handle() const override { return const_cast<MemoryDialog*>(this); }
  int TemplateId() const override { return template_id_; }
  void Show() override { visible_ = true; }
  void Hide() override { visible_ = false; }
  bool Visible() const override { return visible_; }
  void SetItemText(int id, std::string_view text) override { controls_[id].text = text; }
  std::string ItemText(int id) const override { return Find(id).text; }
  void SetCheck(int id, bool checked) override { controls_[id].checked = checked; }
  bool Checked(int id) const override { return Find(id).checked; }
  void EnableItem(int id, bool enabled) override { controls_[id].enabled = enabled; }
  bool ItemEnabled(int id) const override { return Find(id).enabled; }
  void SetProgress(int id, int position) override { controls_[id].progress = std::clamp(position, 0, 100); }
  int Progress(int id) const override { return Find(id).progress; }
  void OnCommand(CommandHandler handler) override { on_command_ = std::move(handler); }
  void OnMessage(MessageHandler handler) override { on_message_ = std::move(handler); }

  void Command(int id) {
    if (on_command_) on_command_(id);
  }
  void Deliver(const Posted& p) {
    if (on_message_) on_message_(p.message, p.wparam, p.lparam);
  }

 private:
  const Control& Find(int id) const {
    static const Control kNone;
    auto it = controls_.find(id);
    return it == controls_.end() ? kNone : it->second;
  }

  int template_id_;
  WindowHandle owner_;
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
  return std::make_unique<MemoryDialog>(template_id, owner);
}

bool detail::LocalPostWindowMessage(WindowHandle window, std::uint32_t message, std::uintptr_t wparam,
                                    std::intptr_t lparam) {
  std::lock_guard<std::mutex> guard(registry_lock);
  if (FindLocked(window) == nullptr) return false;
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
  if (const detail::ProcessServices* host = detail::HostServices()) return host->create_dialog(template_id, owner);
  return detail::LocalCreateDialog(template_id, owner);
}

bool PostWindowMessage(WindowHandle window, std::uint32_t message, std::uintptr_t wparam, std::intptr_t lparam) {
  if (const detail::ProcessServices* host = detail::HostServices()) {
    return host->post_window_message(window, message, wparam, lparam);
  }
  return detail::LocalPostWindowMessage(window, message, wparam, lparam);
}

void PumpWindowMessages() {
  if (const detail::ProcessServices* host = detail::HostServices()) return host->pump_window_messages();
  detail::LocalPumpWindowMessages();
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
