// The plug-in dialog's fields and handlers.
#include "ui/plugin_dialog.h"

#include <cstdio>

#include "platform/file_dialog.h"
#include "platform/message_box.h"
#include "runtime/no_throw.h"
#include "service/model_catalogue.h"
#include "shell/plugin_state.h"
#include "ui/board_files.h"
#include "ui/host_window.h"

namespace kv {
namespace {

constexpr const char* kImageFilter = "Describe Files (*.bin)|*.bin||";
constexpr const char* kBoxCaption = "Upgrade";
constexpr const char* kChooseFileText = "请选择程序文件";  // please select the program file

const char* LinkText(std::int32_t kind) {
  switch (kind) {
    case kLinkNone: return "Waiting";
    case kLinkEthernet: return "Ethernet";
    case kLinkUsb: return "USB";
    default: return "Unknown";
  }
}

}  // namespace

CPluginDlg::CPluginDlg(platform::WindowHandle owner)
    : window_(platform::Dialog::Create(IDD_PLUGIN_DIALOG, owner)) {
  // Clicks and messages arrive from the host's message loop: nothing may be thrown back into it.
  window_->OnCommand([this](int id) { NoThrow("The dialog's command", [&] { OnCommand(id); }); });
  window_->OnMessage([this](std::uint32_t message, std::uintptr_t wparam, std::intptr_t lparam) -> std::intptr_t {
    std::intptr_t result = 0;
    if (message == WM_UPGRADE_PROGRESS) {
      NoThrow("The upgrade's progress", [&] { result = OnUpgradeProgress(wparam, lparam); });
    }
    return result;
  });
  // The controls start as the template draws them.
  for (const DialogControl& c : kPluginDialogControls) {
    if (c.id != IDC_STATIC) window_->SetItemText(c.id, c.text);
  }
  OnInitDialog();
}

bool CPluginDlg::OnInitDialog() {
  state.dialog_hwnd = window_->Handle();
  return true;
}

void CPluginDlg::OnCommand(int id) {
  switch (id) {
    case IDOK: OnBnClickedOk(); break;
    case IDCANCEL: OnBnClickedCancel(); break;
    case IDC_KV_MPG: OnBnClickedKvMpg(); break;
    case IDC_STANDARD_MPG: OnBnClickedStandardMpg(); break;
    case IDC_UPGRADE: OnBnClickedUpgrade(); break;
    default: break;
  }
}

void CPluginDlg::RefreshInfo() {
  char text[64];
  window_->SetItemText(IDC_SERIES, state.board_series.Get());
  window_->SetItemText(IDC_MODEL, model_name(state.board_model.load()));
  window_->SetItemText(IDC_LINK, LinkText(state.link_kind.load()));
  window_->SetItemText(IDC_SERIAL, state.board_serial.Get());
  std::uint32_t fw = state.board_firmware.load();
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", fw >> 24, (fw >> 16) & 0xFF, (fw >> 8) & 0xFF, fw & 0xFF);
  window_->SetItemText(IDC_FIRMWARE, text);
  std::snprintf(text, sizeof text, "%u", static_cast<unsigned>(state.board_axes.load()));
  window_->SetItemText(IDC_AXES, text);
  std::snprintf(text, sizeof text, "%uK", static_cast<unsigned>(state.board_freq_khz.load()));
  window_->SetItemText(IDC_FREQ, text);
  bool kv_mpg = state.mpg_src.load() == 1;
  window_->SetCheck(IDC_KV_MPG, kv_mpg);
  window_->SetCheck(IDC_STANDARD_MPG, !kv_mpg);
}

void CPluginDlg::OnBnClickedKvMpg() {
  bool checked = window_->Checked(IDC_KV_MPG);
  state.mpg_src = checked ? 1 : 0;
  window_->SetCheck(IDC_STANDARD_MPG, !checked);
}

void CPluginDlg::OnBnClickedStandardMpg() {
  bool checked = window_->Checked(IDC_STANDARD_MPG);
  state.mpg_src = checked ? 0 : 1;
  window_->SetCheck(IDC_KV_MPG, !checked);
}

void CPluginDlg::Tell(std::string_view text) { platform::ShowMessageBox(text, kBoxCaption, window_->Handle()); }

void CPluginDlg::OnBnClickedUpgrade() {
  // Whatever closed the file dialog, an empty path means nothing was chosen.
  const platform::OpenFileAnswer answer = platform::ShowOpenFileDialog(kImageFilter, window_->Handle());
  if (answer.path.empty()) {
    Tell(kChooseFileText);
    return;
  }
  if (state.link_open.load(std::memory_order_acquire) == 0) {
    // Nothing could reach a board, and a button left at "processing..." would never come back.
    Tell("No board is connected: nothing was sent");
    return;
  }
  if (IsConfigFileName(answer.path)) {
    std::string why;
    if (!UploadConfigFile(answer.path, why)) Tell("Configuration upload refused: " + why);
    return;
  }
  RequestFirmwareUpgrade(answer.path);
}

void CPluginDlg::RequestFirmwareUpgrade(const std::string& path) {
  // A cut path would name another file, or none; the image is checked now, before the board is
  // sent into its loader for an image that cannot be sent.
  if (path.size() > kUpgradePathChars) {
    Tell("Firmware upgrade refused: the path has " + std::to_string(path.size()) + " characters, more than the " +
         std::to_string(kUpgradePathChars) + " kept for it");
    return;
  }
  std::string image, why;
  if (!LoadFirmwareImage(path, image, why)) {
    Tell("Firmware upgrade refused: " + why);
    return;
  }
  state.upgrade_path.Set(path);
  window_->EnableItem(IDC_UPGRADE, false);
  window_->SetItemText(IDC_UPGRADE, "processing...");
  Tell("UPGRADE");
  RequestReload();
}

std::intptr_t CPluginDlg::OnUpgradeProgress(std::uintptr_t wparam, std::intptr_t) {
  if (wparam <= 100) {
    window_->SetProgress(IDC_PROGRESS, static_cast<int>(wparam));
  } else if (wparam == 101) {
    window_->SetProgress(IDC_PROGRESS, 0);
    window_->SetItemText(IDC_UPGRADE, "reconnet...");
  } else {
    window_->EnableItem(IDC_UPGRADE, true);
    window_->SetItemText(IDC_UPGRADE, "Upgrade");
  }
  return 0;
}

void OpenPluginDialog() {
  CPluginDlg* dialog = state.plugin_dialog.load();
  if (dialog == nullptr) {
    HostWindow* owner = state.host_window.load();
    dialog = new CPluginDlg(owner ? owner->handle() : nullptr);
    state.plugin_dialog.store(dialog);
  }
  dialog->Show();
  dialog->RefreshInfo();
}

void DestroyPluginDialog() {
  CPluginDlg* dialog = state.plugin_dialog.exchange(nullptr);
  if (dialog == nullptr) return;
  HostWindow* window = state.host_window.exchange(nullptr);
  if (window) window->Detach();
  delete dialog;
  delete window;
}

}  // namespace kv
