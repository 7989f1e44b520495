// The plug-in dialog: who the board is (series, model, link, serial, firmware, axes, pulse
// frequency) and which hand-wheel pendant is fitted. Created by the first Config, shown and
// refreshed by every later one, destroyed by StopPlug. Handlers run on the host thread.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/dialog.h"

namespace kv {

inline constexpr int IDD_PLUGIN_DIALOG = 4015;
inline constexpr int IDC_UPGRADE = 4187;
inline constexpr int IDC_PROGRESS = 4163;
inline constexpr int IDC_SERIES = 4164;
inline constexpr int IDC_MODEL = 4165;
inline constexpr int IDC_LINK = 4166;
inline constexpr int IDC_SERIAL = 4167;
inline constexpr int IDC_FIRMWARE = 4168;
inline constexpr int IDC_AXES = 4169;
inline constexpr int IDC_FREQ = 4170;
inline constexpr int IDC_KV_MPG = 4199;
inline constexpr int IDC_STANDARD_MPG = 4203;
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
inline constexpr std::uint32_t WM_UPGRADE_PROGRESS = 1126;  // WM_USER + 102

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
  std::intptr_t OnUpgradeProgress(std::uintptr_t wparam, std::intptr_t lparam);

 private:
  bool OnInitDialog();
  void OnCommand(int id);

  std::unique_ptr<platform::Dialog> window_;
};


// Config: creates the dialog once (owner: host_window), shows it and refreshes its fields.
void OpenPluginDialog();
// StopPlug: detaches host_window, destroys the dialog and deletes host_window.
void DestroyPluginDialog();

}  // namespace kv
