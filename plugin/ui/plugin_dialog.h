// The plug-in dialog: who the board is (series, model, link, serial, firmware, axes, pulse
// frequency), which hand-wheel pendant is fitted, and the Upgrade button that uploads a board
// configuration file or starts a firmware upgrade. Created by the first Config, shown and
// refreshed by every later one, destroyed by StopPlug. Handlers run on the host thread.
// The platform dialog holds what the controls show (the model); the Win32 window, or kvhost's
// text view, shows it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/dialog.h"
#include "service/firmware_upgrade.h"
#include "ui/plugin_dialog_template.h"

namespace kv {

class CPluginDlg {
 public:
  // Creates the (hidden) window from its template, owned by `owner`.
  explicit CPluginDlg(platform::WindowHandle owner);
  void Show() { window_->Show(); }
  void RefreshInfo();
  platform::Dialog& window() { return *window_; }

  void OnBnClickedOk() { window_->Hide(); }
  void OnBnClickedCancel() { window_->Hide(); }
  void OnBnClickedKvMpg();
  void OnBnClickedStandardMpg();
  void OnBnClickedUpgrade();
  std::intptr_t OnUpgradeProgress(std::uintptr_t wparam, std::intptr_t lparam);

 private:
  bool OnInitDialog();
  void RequestFirmwareUpgrade(const std::string& path);
  void Tell(std::string_view text);  // a box owned by the dialog
  void OnCommand(int id);

  std::unique_ptr<platform::Dialog> window_;
};


// Config: creates the dialog once (owner: host_window), shows it and refreshes its fields.
void OpenPluginDialog();
// StopPlug: detaches host_window, destroys the dialog and deletes host_window.
void DestroyPluginDialog();

}  // namespace kv
