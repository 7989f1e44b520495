// The plug-in dialog as a real window (Windows, or Wine with a display): the DLL loaded as the
// host loads it, Config, then the window tree walked control by control and held to the
// template table (id, class, style, text, place in dialog units); a click and a posted progress
// message go through the window to the model and back; a screenshot of the dialog is kept.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "host_session.h"
#include "loopback_ports.h"
#include "platform/dialog.h"
#include "ui/plugin_dialog_template.h"
#include "win32.h"

#include <commctrl.h>

namespace {

namespace fs = std::filesystem;
using kv::ControlKind;

std::string Text(HWND window) {
  std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
  text.resize(static_cast<std::size_t>(GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
  return platform::win32::Narrow(text);
}

std::string ClassOf(HWND window) {
  wchar_t name[64] = {};
  GetClassNameW(window, name, 64);
  std::string narrow = platform::win32::Narrow(name);
  for (char& c : narrow) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return narrow;
}

const char* ClassFor(ControlKind kind) {
  switch (kind) {
    case ControlKind::kPushButton:
    case ControlKind::kGroupBox:
    case ControlKind::kCheckBox: return "button";
    case ControlKind::kLabel:
    case ControlKind::kRightLabel: return "static";
    case ControlKind::kProgressBar: return "msctls_progress32";
  }
  return "";
}

// The style bits each kind of control must carry.
bool StyleFits(ControlKind kind, LONG style) {
  switch (kind) {
    case ControlKind::kPushButton: return (style & BS_TYPEMASK) == BS_PUSHBUTTON && (style & WS_TABSTOP);
    case ControlKind::kGroupBox: return (style & BS_TYPEMASK) == BS_GROUPBOX;
    case ControlKind::kCheckBox: return (style & BS_TYPEMASK) == BS_AUTOCHECKBOX && (style & WS_TABSTOP);
    case ControlKind::kLabel: return (style & SS_TYPEMASK) == SS_LEFT;
    case ControlKind::kRightLabel: return (style & SS_TYPEMASK) == SS_RIGHT;
    case ControlKind::kProgressBar: return (style & WS_BORDER) != 0;
  }
  return false;
}

// A dialog procedure that handles nothing. A named function, since the system calls it with its
// own convention (stdcall in 32-bit Windows), which a lambda's conversion does not give.
INT_PTR CALLBACK IgnoreEveryMessage(HWND, UINT, WPARAM, LPARAM) { return FALSE; }

// The dialog window as the screen shows it, as a 24-bit bitmap file.
bool SaveScreenshot(HWND window, const fs::path& path) {
  RECT r;
  GetWindowRect(window, &r);
  const int width = r.right - r.left, height = r.bottom - r.top;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  BITMAPINFO info{};
  info.bmiHeader = {sizeof(BITMAPINFOHEADER), width, height, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(memory, bitmap);
  // What the screen shows there: the window is in front, painted (PrintWindow leaves children out
  // under Wine).
  RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
  const bool drawn = BitBlt(memory, 0, 0, width, height, screen, r.left, r.top, SRCCOPY) != FALSE;
  GdiFlush();
  const DWORD row = static_cast<DWORD>((width * 3 + 3) & ~3);
  const DWORD image = row * static_cast<DWORD>(height);
  BITMAPFILEHEADER file{0x4D42, static_cast<DWORD>(sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER) + image), 0, 0,
                        static_cast<DWORD>(sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER))};
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(&file), sizeof file);
  out.write(reinterpret_cast<const char*>(&info.bmiHeader), sizeof info.bmiHeader);
  out.write(static_cast<const char*>(bits), image);
  SelectObject(memory, old);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  return drawn && out.good();
}

// The template as stored in the DLL (DLGTEMPLATEEX): its font and each item's style, as built
// by the resource compiler, before any control class adjusts its own window.
struct StoredTemplate {
  std::wstring font;
  int points = 0;
  std::vector<DWORD> item_styles;
};

StoredTemplate ReadTemplate(HMODULE module) {
  StoredTemplate out;
  HRSRC found = FindResourceExW(module, MAKEINTRESOURCEW(5), MAKEINTRESOURCEW(kv::IDD_PLUGIN_DIALOG),
                                MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED));
  if (found == nullptr) return out;
  const auto* p = static_cast<const WORD*>(LockResource(LoadResource(module, found)));
  auto dword = [&](int at) { return static_cast<DWORD>(p[at] | (p[at + 1] << 16)); };
  auto skip_name = [&](int at) {  // a name or an ordinal (0xFFFF, n)
    if (p[at] == 0xFFFF) return at + 2;
    while (p[at] != 0) ++at;
    return at + 1;
  };
  const int items = p[8];
  int at = 13;                    // after dlgVer, signature, helpID, exStyle, style, count, x, y, cx, cy
  at = skip_name(at);             // menu
  at = skip_name(at);             // class
  at = skip_name(at);             // title
  out.points = p[at];
  at += 3;                        // point size, weight, italic and charset
  const int font_at = at;
  at = skip_name(at);
  out.font = reinterpret_cast<const wchar_t*>(p + font_at);
  for (int i = 0; i < items; ++i) {
    at = (at + 1) & ~1;           // items start on a DWORD
    out.item_styles.push_back(dword(at + 4));  // after helpID and exStyle
    at += 6 + 4 + 2;              // the three DWORDs, x y cx cy, the DWORD id
    at = skip_name(at);           // class
    at = skip_name(at);           // title
    at += 1 + p[at] / 2;          // the creation data's size, then the data
  }
  return out;
}

class DialogWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::SetHostedDialogWindows(true);
    std::string error;
    ASSERT_TRUE(session_.Load(kvhost::DefaultPluginPath(), error)) << error;
    ASSERT_TRUE(session_.SetEndpoints({"127.0.0.1", kvhost::FreeUdpPort(), kvhost::FreeTcpPort()}, error)) << error;
    // One profile per test: ctest runs the tests of this fixture at once, in processes of their own.
    profile_ = (fs::temp_directory_path() / ("kv-dialog-window-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + ".xml")).string();
    session_.StartUp(profile_);
  }
  void TearDown() override {
    session_.ShutDown();
    std::error_code ignored;
    fs::remove(profile_, ignored);
  }

  kvhost::HostMachine machine_;
  kvhost::HostSession session_{machine_};
  std::string profile_;
};

TEST_F(DialogWindowTest, TheRealDialogHoldsEveryControlOfItsTemplate) {
  HMODULE dll = GetModuleHandleW(L"Kalvero.dll");
  ASSERT_NE(dll, nullptr);
  EXPECT_NE(FindResourceExW(dll, MAKEINTRESOURCEW(5), MAKEINTRESOURCEW(kv::IDD_PLUGIN_DIALOG),
                            MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED)),
            nullptr)
      << "template 4015 in the DLL, Chinese (PRC)";

  const StoredTemplate stored = ReadTemplate(dll);
  EXPECT_EQ(platform::win32::Narrow(stored.font), kv::kPluginDialogTemplate.font);
  EXPECT_EQ(stored.points, kv::kPluginDialogTemplate.font_points);
  ASSERT_EQ(stored.item_styles.size(), kv::kPluginDialogControls.size());
  for (std::size_t i = 0; i < stored.item_styles.size(); ++i) {
    const kv::DialogControl& c = kv::kPluginDialogControls[i];
    EXPECT_TRUE(StyleFits(c.kind, static_cast<LONG>(stored.item_styles[i])))
        << "stored item " << i << " \"" << c.text << "\": " << std::hex << stored.item_styles[i];
    EXPECT_EQ(stored.item_styles[i] & WS_VISIBLE, static_cast<DWORD>(WS_VISIBLE));
  }

  session_.api().Config();
  std::vector<platform::Dialog*> dialogs = platform::OpenDialogs();
  ASSERT_EQ(dialogs.size(), 1u);
  platform::Dialog& model = *dialogs[0];
  HWND dialog = static_cast<HWND>(model.Handle());
  if (!IsWindow(dialog)) {
    // Why the system made no window: the same template created here directly.
    SetLastError(0);
    HWND probe = CreateDialogParamW(dll, MAKEINTRESOURCEW(kv::IDD_PLUGIN_DIALOG), nullptr, IgnoreEveryMessage, 0);
    const DWORD error = GetLastError();
    if (probe != nullptr) DestroyWindow(probe);
    ASSERT_EQ(probe, nullptr) << "the template makes a window here, yet the dialog has none";
    GTEST_SKIP() << "no window system here (no display?): the model serves alone; error " << error;
  }
  platform::PumpWindowMessages();

  EXPECT_TRUE(IsWindowVisible(dialog));
  EXPECT_EQ(Text(dialog), kv::kPluginDialogTemplate.caption);
  const LONG style = GetWindowLongW(dialog, GWL_STYLE);
  EXPECT_TRUE(style & WS_POPUP);
  EXPECT_EQ(style & WS_CAPTION, WS_CAPTION);
  EXPECT_TRUE(style & WS_SYSMENU);
  EXPECT_TRUE(style & DS_MODALFRAME);
  RECT size{0, 0, kv::kPluginDialogTemplate.width, kv::kPluginDialogTemplate.height};
  MapDialogRect(dialog, &size);
  RECT client;
  GetClientRect(dialog, &client);
  EXPECT_EQ(client.right, size.right);
  EXPECT_EQ(client.bottom, size.bottom);

  // The children in the template's order.
  HWND child = GetWindow(dialog, GW_CHILD);
  for (const kv::DialogControl& c : kv::kPluginDialogControls) {
    SCOPED_TRACE(std::string("control \"") + c.text + "\" " + std::to_string(c.id));
    ASSERT_NE(child, nullptr) << "missing";
    const int id = GetDlgCtrlID(child);
    EXPECT_TRUE(id == c.id || (c.id == kv::IDC_STATIC && (id == 0xFFFF || id == -1))) << id;
    EXPECT_EQ(ClassOf(child), ClassFor(c.kind));
    // The progress bar draws its border as it likes (Wine trades WS_BORDER for its own frame).
    if (c.kind != ControlKind::kProgressBar) {
      EXPECT_TRUE(StyleFits(c.kind, GetWindowLongW(child, GWL_STYLE))) << std::hex << GetWindowLongW(child, GWL_STYLE);
    }
    EXPECT_EQ(Text(child), c.id == kv::IDC_STATIC || c.kind == ControlKind::kProgressBar ? c.text : model.ItemText(c.id));
    // The system maps the place and the size each on its own, as here.
    RECT units{c.x, c.y, c.width, c.height};
    MapDialogRect(dialog, &units);
    const RECT want{units.left, units.top, units.left + units.right, units.top + units.bottom};
    RECT got;
    GetWindowRect(child, &got);
    MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&got), 2);
    EXPECT_EQ(got.left, want.left);
    EXPECT_EQ(got.top, want.top);
    EXPECT_EQ(got.right, want.right);
    EXPECT_EQ(got.bottom, want.bottom);
    child = GetWindow(child, GW_HWNDNEXT);
  }
  EXPECT_EQ(child, nullptr) << "a control the template does not have";
  EXPECT_EQ(Text(GetDlgItem(dialog, kv::IDC_SERIES)), "Kv serious");
  EXPECT_EQ(Text(GetDlgItem(dialog, kv::IDC_FIRMWARE)), "0.0.0.3");
  EXPECT_EQ(IsDlgButtonChecked(dialog, kv::IDC_STANDARD_MPG), BST_CHECKED);

  // A click in the window reaches the handler, which sets the other box in the window too.
  SendDlgItemMessageW(dialog, kv::IDC_KV_MPG, BM_CLICK, 0, 0);
  EXPECT_TRUE(model.Checked(kv::IDC_KV_MPG));
  EXPECT_EQ(IsDlgButtonChecked(dialog, kv::IDC_STANDARD_MPG), BST_UNCHECKED);
  SendDlgItemMessageW(dialog, kv::IDC_KV_MPG, BM_CLICK, 0, 0);  // back as it was

  // Progress posted as the service task posts it, delivered by the message loop.
  ASSERT_TRUE(platform::PostWindowMessage(dialog, 1126, 60, 0));
  platform::PumpWindowMessages();
  EXPECT_EQ(model.Progress(kv::IDC_PROGRESS), 60);
  EXPECT_EQ(SendDlgItemMessageW(dialog, kv::IDC_PROGRESS, PBM_GETPOS, 0, 0), 60);

  SetWindowPos(dialog, HWND_TOP, 20, 20, 0, 0, SWP_NOSIZE | SWP_SHOWWINDOW);
  SetForegroundWindow(dialog);
  const fs::path shots = KV_SCREENSHOT_DIR;
  fs::create_directories(shots);
  for (int i = 0; i < 20; ++i) {
    platform::PumpWindowMessages();
    Sleep(10);
  }
  EXPECT_TRUE(SaveScreenshot(dialog, shots / "plugin-dialog.bmp"));
  std::printf("screenshot: %s\n", (shots / "plugin-dialog.bmp").string().c_str());

  // Escape, as the host's message loop would fetch it, hides the dialog (IDCANCEL).
  SetFocus(GetDlgItem(dialog, kv::IDC_UPGRADE));
  PostMessageW(GetDlgItem(dialog, kv::IDC_UPGRADE), WM_KEYDOWN, VK_ESCAPE, 0);
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {  // a plain loop, as a host's is
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  EXPECT_FALSE(IsWindowVisible(dialog));
  EXPECT_FALSE(model.Visible());

  // The close box hides it too; the window and the model stay until StopPlug.
  session_.api().Config();
  EXPECT_TRUE(IsWindowVisible(dialog));
  SendMessageW(dialog, WM_CLOSE, 0, 0);
  EXPECT_FALSE(IsWindowVisible(dialog));
  EXPECT_FALSE(model.Visible());
}

}  // namespace
