// Finding the hosting program's platform services (see process_services.h).
#include "../common/process_services.h"
#include "win32.h"

namespace platform::detail {
namespace {

using ServicesFn = const ProcessServices* (*)();

const ProcessServices* FindHostServices() {
  HMODULE program = GetModuleHandleW(nullptr);
  if (program == nullptr) return nullptr;
  auto fn = reinterpret_cast<ServicesFn>(reinterpret_cast<void*>(GetProcAddress(program, "kv_platform_services")));
  if (fn == nullptr) return nullptr;
  const ProcessServices* services = fn();
  // A program built from another version of the layer is not trusted with this module's calls.
  if (services == nullptr || services->size != sizeof(ProcessServices)) return nullptr;
  return services;
}

}  // namespace

const ProcessServices* HostServices() {
  static const ProcessServices* const services = FindHostServices();
  return services;
}

}  // namespace platform::detail
