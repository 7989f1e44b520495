// Opening and destroying the single plug-in dialog.
#include "ui/plugin_dialog.h"

#include "shell/plugin_state.h"
#include "ui/host_window.h"

namespace kv {

void OpenPluginDialog() {
  PluginDialog* dialog = state.plugin_dialog.load();
  if (dialog == nullptr) {
    dialog = new PluginDialog();
    state.plugin_dialog.store(dialog);
  }
  dialog->Show();
}

void DestroyPluginDialog() {
  PluginDialog* dialog = state.plugin_dialog.exchange(nullptr);
  if (dialog == nullptr) return;
  HostWindow* window = state.host_window.exchange(nullptr);
  if (window) window->Detach();
  delete dialog;
  delete window;
}

}  // namespace kv
