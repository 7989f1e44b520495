// The plug-in dialog's fields and handlers.
#include "ui/plugin_dialog.h"

#include <cstdio>

#include "service/model_catalogue.h"
#include "shell/plugin_state.h"
#include "ui/host_window.h"

namespace kv {
namespace {

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
  window_->OnCommand([this](int id) { OnCommand(id); });
  window_->OnMessage([this](std::uint32_t message, std::uintptr_t wparam, std::intptr_t lparam) -> std::intptr_t {
    return message == WM_UPGRADE_PROGRESS ? OnUpgradeProgress(wparam, lparam) : 0;
  });
  window_->SetItemText(IDC_UPGRADE, "Upgrade");
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
