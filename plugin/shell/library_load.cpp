// The application object's start-up and the COM server functions (see library_load.h).
#include "shell/library_load.h"

#include "platform/message_box.h"
#include "shell/plugin_state.h"

namespace kv {
namespace {

bool NothingToRegister(bool) { return true; }

}  // namespace

bool ApplicationStartUp(bool (*sockets_startup)()) {
  if (sockets_startup()) return true;
  platform::ShowMessageBox(kSocketsInitFailedText, "Kalvero");
  return false;
}

const ComRegistration& LibraryComRegistration() {
  static const ComRegistration steps{NothingToRegister, NothingToRegister};
  return steps;
}

std::uint32_t ComRegisterServer(const ComRegistration& steps) {
  if (!steps.type_library(true)) return kSelfRegTypeLibFailed;
  if (!steps.class_factories(true)) return kSelfRegClassFailed;
  return kComOk;
}

std::uint32_t ComUnregisterServer(const ComRegistration& steps) {
  if (!steps.type_library(false)) return kSelfRegTypeLibFailed;
  if (!steps.class_factories(false)) return kSelfRegClassFailed;
  return kComOk;
}

std::uint32_t ComCanUnloadNow() {
  const PluginPhase phase = state.phase.load();
  return phase == PluginPhase::kLoaded || phase == PluginPhase::kNamed ? kComOk : kComFalse;
}

std::uint32_t ComGetClassObject(void** object) {
  if (object == nullptr) return kComPointer;
  *object = nullptr;
  return kComClassNotAvailable;
}

}  // namespace kv
