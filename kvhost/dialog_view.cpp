// Drawing the plug-in dialog as lines of text for a terminal or a log.
#include "dialog_view.h"

#include <algorithm>
#include <cstdio>

#include "ui/plugin_dialog_template.h"

namespace kvhost {
namespace {

const char* KindName(kv::ControlKind kind) {
  switch (kind) {
    case kv::ControlKind::kPushButton: return "button";
    case kv::ControlKind::kGroupBox: return "group";
    case kv::ControlKind::kLabel: return "label";
    case kv::ControlKind::kRightLabel: return "label>";
    case kv::ControlKind::kCheckBox: return "check";
    case kv::ControlKind::kProgressBar: return "progress";
  }
  return "?";
}

}  // namespace

std::string EscapeControls(const std::string& text) {
  std::string out;
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte >= 0x7F || c == '\\') {
      char code[8];
      std::snprintf(code, sizeof code, "\\x%02x", byte);
      out += code;
    } else {
      out += c;
    }
  }
  return out;
}

std::string Bar(int percent, int width) {
  percent = std::clamp(percent, 0, 100);
  const int filled = percent * width / 100;
  return "[" + std::string(static_cast<std::size_t>(filled), '#') + std::string(static_cast<std::size_t>(width - filled), '.') + "]";
}

std::vector<std::string> DialogLines(const platform::Dialog& dialog) {
  const kv::DialogTemplate& t = kv::kPluginDialogTemplate;
  std::vector<std::string> lines;
  char line[256];
  std::snprintf(line, sizeof line, "dialog %d \"%s\" %dx%d dialog units, %s %d pt, %s", dialog.TemplateId(), t.caption,
                t.width, t.height, t.font, t.font_points, dialog.Visible() ? "shown" : "hidden");
  lines.emplace_back(line);
  for (const kv::DialogControl& c : kv::kPluginDialogControls) {
    const bool addressed = c.id != kv::IDC_STATIC;
    std::string shown = "\"" + EscapeControls(addressed ? dialog.ItemText(c.id) : std::string(c.text)) + "\"";
    if (c.kind == kv::ControlKind::kCheckBox) shown = (dialog.Checked(c.id) ? "[x] " : "[ ] ") + shown;
    if (c.kind == kv::ControlKind::kProgressBar) {
      shown = Bar(dialog.Progress(c.id), 20) + " " + std::to_string(dialog.Progress(c.id)) + "%";
    }
    const char* state = !addressed ? "" : dialog.ItemEnabled(c.id) ? "" : " disabled";
    std::snprintf(line, sizeof line, "%5s %-8s %-48s at %3d,%3d size %3dx%-3d%s",
                  addressed ? std::to_string(c.id).c_str() : "-", KindName(c.kind), shown.c_str(), c.x, c.y, c.width,
                  c.height, state);
    lines.emplace_back(line);
  }
  return lines;
}

}  // namespace kvhost
