// The process-wide services of the platform layer: the in-memory window system, the message-box
// handler, the tick origin, the loopback guard and the HID backend seam. There is one of each
// per process. On POSIX the platform layer is one shared library, so every module already shares
// them. On Windows each module links the
// layer statically; a hosting program exports its own services, and a library it loads uses
// those instead of its own copy, as every module of a process shares user32 and kernel32.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "platform/dialog.h"
#include "platform/file_dialog.h"
#include "platform/hid.h"
#include "platform/socket.h"

namespace platform::detail {

struct ProcessServices {
  std::uint32_t size;  // sizeof(ProcessServices) of the module that filled it in
  std::unique_ptr<Dialog> (*create_dialog)(int template_id, WindowHandle owner);
  bool (*post_window_message)(WindowHandle window, std::uint32_t message, std::uintptr_t wparam, std::intptr_t lparam);
  void (*pump_window_messages)();
  std::vector<Dialog*> (*open_dialogs)();
  void (*click_dialog_item)(Dialog& dialog, int id, bool automatic_check_box);
  void (*show_message_box)(std::string_view text, std::string_view caption);
  std::uint32_t (*tick_ms)();
  void (*set_tick_base)(std::uint32_t tick_now);
  bool (*loopback_guard_allows)(Ipv4Endpoint remote);  // the test guard of the process
  std::shared_ptr<HidBackend> (*current_hid_backend)();  // e.g. the simulated devices of the host
  // A library's dialog from its own resources (the template lives in the library's module).
  std::unique_ptr<Dialog> (*create_dialog_in)(int template_id, WindowHandle owner, void* resource_module);
  OpenFileAnswer (*show_open_file_dialog)(std::string_view filter, void* owner);
};

// This module's own implementations (the in-memory dialogs; the message box and the tick of the
// Windows side).
std::unique_ptr<Dialog> LocalCreateDialog(int template_id, WindowHandle owner);
bool LocalPostWindowMessage(WindowHandle window, std::uint32_t message, std::uintptr_t wparam, std::intptr_t lparam);
void LocalPumpWindowMessages();
// A dialog from `resource_module`'s template, with a real window where the program asked for
// them (SetHostedDialogWindows) and the system can make one.
std::unique_ptr<Dialog> LocalCreateDialogIn(int template_id, WindowHandle owner, void* resource_module);
// The posted messages of in-memory dialogs and the thread's system window messages.
void LocalPumpAllMessages();
OpenFileAnswer LocalShowOpenFileDialog(std::string_view filter, void* owner);
std::vector<Dialog*> LocalOpenDialogs();
void LocalClickDialogItem(Dialog& dialog, int id, bool automatic_check_box);
std::shared_ptr<HidBackend> LocalCurrentHidBackend();

#if defined(_WIN32)
void LocalShowMessageBox(std::string_view text, std::string_view caption);
std::uint32_t LocalTickMs();
void LocalSetTickBase(std::uint32_t tick_now);

// The hosting program's services, or null when this module is the program itself or the program
// exports none (then this module's own copy serves).
const ProcessServices* HostServices();
#else
inline const ProcessServices* HostServices() { return nullptr; }
#endif

}  // namespace platform::detail
