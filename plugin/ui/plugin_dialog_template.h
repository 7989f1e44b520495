// The plug-in dialog's template: caption, size, font and every control with its id, kind, text
// and place in dialog units. The resource script (plugin_dialog.rc) builds the same template
// into the Windows DLL; this table is what the headless view draws and what the window-tree
// check holds the real dialog to.
#pragma once

#include <array>
#include <cstdint>

namespace kv {

inline constexpr int IDD_PLUGIN_DIALOG = 4015;
inline constexpr int IDC_STATIC = -1;  // labels and group boxes nobody addresses
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

enum class ControlKind : std::uint8_t {
  kPushButton,     // tab stop
  kGroupBox,
  kLabel,          // left-aligned static text
  kRightLabel,     // right-aligned static text
  kCheckBox,       // automatic check box, tab stop
  kProgressBar,    // bordered, range 0..100
};

struct DialogControl {
  int id;
  ControlKind kind;
  const char* text;
  std::int16_t x, y, width, height;  // dialog units
};

struct DialogTemplate {
  const char* caption;
  std::int16_t width, height;  // dialog units
  const char* font;
  int font_points;
};

inline constexpr DialogTemplate kPluginDialogTemplate = {"Dialog", 291, 123, "MS Shell Dlg", 8};

inline constexpr const char* kProductNotice = "Kalvero motion control plug-in, version 1.0.3";

// In the template's order, which is also the tab order.
inline constexpr std::array<DialogControl, 21> kPluginDialogControls = {{
    {IDC_UPGRADE, ControlKind::kPushButton, "Upgrade", 139, 84, 50, 14},
    {IDC_STATIC, ControlKind::kGroupBox, "Device Info", 7, 7, 115, 108},
    {IDC_STATIC, ControlKind::kLabel, "Serious:", 23, 30, 27, 8},
    {IDC_STATIC, ControlKind::kLabel, "Model:", 28, 43, 22, 8},
    {IDC_STATIC, ControlKind::kLabel, "Link:", 34, 57, 16, 8},
    {IDC_STATIC, ControlKind::kLabel, "Serial No:", 18, 72, 32, 8},
    {IDC_STATIC, ControlKind::kLabel, "Firmware:", 17, 88, 33, 8},
    {IDC_STATIC, ControlKind::kLabel, "Axis:", 173, 30, 17, 8},
    {IDC_STATIC, ControlKind::kGroupBox, "Performance", 140, 7, 144, 73},
    {IDC_STATIC, ControlKind::kLabel, "Freq:", 170, 47, 20, 8},
    {IDC_PROGRESS, ControlKind::kProgressBar, "", 196, 86, 88, 11},
    {IDC_STATIC, ControlKind::kRightLabel, kProductNotice, 128, 107, 156, 8},
    {IDC_SERIES, ControlKind::kLabel, "-", 57, 30, 56, 8},
    {IDC_MODEL, ControlKind::kLabel, "-", 57, 43, 55, 8},
    {IDC_LINK, ControlKind::kLabel, "-", 57, 57, 53, 8},
    {IDC_SERIAL, ControlKind::kLabel, "-", 57, 72, 55, 8},
    {IDC_FIRMWARE, ControlKind::kLabel, "-", 57, 88, 53, 8},
    {IDC_AXES, ControlKind::kLabel, "-", 197, 30, 54, 8},
    {IDC_FREQ, ControlKind::kLabel, "-", 197, 47, 55, 8},
    {IDC_KV_MPG, ControlKind::kCheckBox, "KV-MPG", 152, 63, 41, 10},
    {IDC_STANDARD_MPG, ControlKind::kCheckBox, "Standard-MPG", 206, 63, 62, 10},
}};

}  // namespace kv
