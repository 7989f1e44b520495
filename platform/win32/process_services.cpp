// The services a hosting program exports to the libraries it loads (see process_services.h).
// Linked only into hosting programs (the kvplatform_host target forces it in); a library that
// exported them would take the host's place.
#include "../common/loopback_guard.h"
#include "../common/process_services.h"

namespace platform::detail {
namespace {

const ProcessServices kServices = {
    sizeof(ProcessServices), LocalCreateDialog,   LocalPostWindowMessage, LocalPumpAllMessages, LocalOpenDialogs,
    LocalClickDialogItem,    LocalShowMessageBox, LocalTickMs,            LocalSetTickBase,     LoopbackGuardAllows,
    LocalCurrentHidBackend,  LocalCreateDialogIn, LocalShowOpenFileDialog,
};

}  // namespace
}  // namespace platform::detail

extern "C" __declspec(dllexport) const platform::detail::ProcessServices* kv_platform_services() {
  return &platform::detail::kServices;
}
