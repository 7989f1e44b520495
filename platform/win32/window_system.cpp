// The Win32 window side of the dialogs: a modeless dialog window created from the resource
// template of the module that asked for it, showing its in-memory model and reporting clicks,
// the close box and posted messages back; the thread's message loop with the dialogs' keyboard
// handling; and the system's "open file" dialog.
#include "../common/window_system.h"

#include <string>
#include <vector>

#include "win32.h"  // before the other system headers, which need windows.h

#include <commctrl.h>  // progress bar class and messages
#include <commdlg.h>   // GetOpenFileNameW
#include <objbase.h>   // CoInitializeEx

namespace platform::detail {
namespace {

constexpr int kIdOk = 1;
constexpr int kIdCancel = 2;

// The dialog windows of this thread, and the hook that gives them their keys (Tab, Enter,
// Escape) from whatever message loop runs the thread: the real host's loop knows nothing of them.
thread_local std::vector<HWND> thread_dialogs;
thread_local HHOOK key_hook = nullptr;

LRESULT CALLBACK KeyHook(int code, WPARAM removed, LPARAM lparam) {
  auto* message = reinterpret_cast<MSG*>(lparam);
  if (code >= 0 && removed == PM_REMOVE && message->message >= WM_KEYFIRST && message->message <= WM_KEYLAST) {
    HWND root = message->hwnd != nullptr ? GetAncestor(message->hwnd, GA_ROOT) : nullptr;
    for (HWND dialog : thread_dialogs) {
      if (dialog == root && IsDialogMessageW(dialog, message)) {
        message->message = WM_NULL;  // handled: the loop dispatches nothing
        break;
      }
    }
  }
  return CallNextHookEx(nullptr, code, removed, lparam);
}

class Win32DialogView final : public DialogView {
 public:
  explicit Win32DialogView(DialogViewEvents events) : events_(std::move(events)) {}
  ~Win32DialogView() override {
    if (window_ != nullptr) {
      SetWindowLongPtrW(window_, DWLP_USER, 0);  // no message reaches the model while it goes
      DestroyWindow(window_);
      std::erase(thread_dialogs, window_);
      if (thread_dialogs.empty() && key_hook != nullptr) {
        UnhookWindowsHookEx(key_hook);
        key_hook = nullptr;
      }
    }
  }

  bool Create(int template_id, WindowHandle owner, void* module) {
    static const bool controls = [] {
      INITCOMMONCONTROLSEX init{sizeof(INITCOMMONCONTROLSEX), ICC_PROGRESS_CLASS};
      return InitCommonControlsEx(&init) != FALSE;
    }();
    (void)controls;
    // An owner that is no window (a host without one) would make the creation fail.
    HWND owner_window = IsWindow(static_cast<HWND>(owner)) ? static_cast<HWND>(owner) : nullptr;
    window_ = CreateDialogParamW(static_cast<HINSTANCE>(module), MAKEINTRESOURCEW(template_id), owner_window,
                                 Procedure, reinterpret_cast<LPARAM>(this));
    if (window_ == nullptr) return false;
    thread_dialogs.push_back(window_);
    if (key_hook == nullptr) key_hook = SetWindowsHookExW(WH_GETMESSAGE, KeyHook, nullptr, GetCurrentThreadId());
    return true;
  }

  WindowHandle Handle() const override { return window_; }
  void Show(bool visible) override { ShowWindow(window_, visible ? SW_SHOW : SW_HIDE); }
  void SetText(int id, std::string_view text) override { SetDlgItemTextW(window_, id, win32::Widen(text).c_str()); }
  void SetCheck(int id, bool checked) override { CheckDlgButton(window_, id, checked ? BST_CHECKED : BST_UNCHECKED); }
  void Enable(int id, bool enabled) override {
    if (HWND item = GetDlgItem(window_, id)) EnableWindow(item, enabled ? TRUE : FALSE);
  }
  void SetProgress(int id, int position) override {
    SendDlgItemMessageW(window_, id, PBM_SETRANGE32, 0, 100);
    SendDlgItemMessageW(window_, id, PBM_SETPOS, static_cast<WPARAM>(position), 0);
  }
  bool Post(std::uint32_t message, std::uintptr_t wparam, std::intptr_t lparam) override {
    return PostMessageW(window_, message, wparam, lparam) != FALSE;
  }

 private:
  static INT_PTR CALLBACK Procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_INITDIALOG) {
      SetWindowLongPtrW(window, DWLP_USER, lparam);
      return TRUE;  // the system sets the first focus
    }
    auto* view = reinterpret_cast<Win32DialogView*>(GetWindowLongPtrW(window, DWLP_USER));
    if (view == nullptr) return FALSE;
    switch (message) {
      case WM_COMMAND: {
        const int id = LOWORD(wparam);
        if (HIWORD(wparam) != BN_CLICKED && id != kIdOk && id != kIdCancel) return FALSE;
        std::optional<bool> checked;
        if (HWND item = GetDlgItem(window, id)) {
          const LONG type = GetWindowLongW(item, GWL_STYLE) & BS_TYPEMASK;
          if (type == BS_AUTOCHECKBOX || type == BS_CHECKBOX) checked = IsDlgButtonChecked(window, id) == BST_CHECKED;
        }
        view->events_.command(id, checked);
        return TRUE;
      }
      case WM_CLOSE:  // the close box is the Escape key's cancel
        view->events_.command(kIdCancel, std::nullopt);
        return TRUE;
      default:
        if (message >= WM_USER && message < 0x8000) {
          view->events_.message(message, wparam, lparam);
          return TRUE;
        }
        return FALSE;
    }
  }

  DialogViewEvents events_;
  HWND window_ = nullptr;
};

// "Describe Files (*.bin)|*.bin||" as the system wants it: '|' become NULs, ending in two.
std::wstring SystemFilter(std::string_view filter) {
  std::wstring wide = win32::Widen(filter);
  for (wchar_t& c : wide) {
    if (c == L'|') c = L'\0';
  }
  wide.push_back(L'\0');
  return wide;
}

}  // namespace

std::unique_ptr<DialogView> CreateDialogView(int template_id, WindowHandle owner, void* resource_module,
                                             DialogViewEvents events) {
  if (resource_module == nullptr) return nullptr;
  auto view = std::make_unique<Win32DialogView>(std::move(events));
  if (!view->Create(template_id, owner, resource_module)) return nullptr;  // the model serves alone
  return view;
}

void* ThisResourceModule() {
  HMODULE module = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&ThisResourceModule), &module);
  return module;
}

void PumpSystemMessages() {
  MSG message;  // the dialogs' keys are taken by their hook inside PeekMessage
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

OpenFileAnswer SystemOpenFileDialog(std::string_view filter, void* owner) {
  const std::wstring system_filter = SystemFilter(filter);
  std::vector<wchar_t> path(32768, L'\0');
  OPENFILENAMEW dialog{};
  dialog.lStructSize = sizeof dialog;
  dialog.hwndOwner = IsWindow(static_cast<HWND>(owner)) ? static_cast<HWND>(owner) : nullptr;
  dialog.lpstrFilter = system_filter.c_str();
  dialog.lpstrFile = path.data();
  dialog.nMaxFile = static_cast<DWORD>(path.size());
  dialog.Flags = OFN_HIDEREADONLY | OFN_EXPLORER;
  // The Explorer-style dialog wants COM on its thread (the scheduler's, for the upgrade prompt).
  const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  const BOOL chosen = GetOpenFileNameW(&dialog);
  const DWORD error = chosen ? 0 : CommDlgExtendedError();
  if (SUCCEEDED(com)) CoUninitialize();
  if (chosen) return {FileChoice::kChosen, win32::Narrow(path.data())};
  // No error: the user closed it. An error: it could not be shown at all.
  if (error == 0) return {FileChoice::kCancelled, ""};
  return {FileChoice::kUnavailable, ""};
}

}  // namespace platform::detail
