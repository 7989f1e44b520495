// The Windows DLL's loader entry and its four COM server exports. Declared with plain C types
// (BOOL is int, DWORD unsigned long, HRESULT long, handles and GUID references pointers) so that
// no system header is needed outside the platform layer; the names are exported undecorated
// through the module definition file.
#include "platform/socket.h"
#include "shell/library_load.h"

namespace {

constexpr unsigned long kProcessAttach = 1;  // DLL_PROCESS_ATTACH
constexpr std::uint32_t kUnexpected = 0x8000FFFFu;  // E_UNEXPECTED: nothing thrown reaches the caller

long AsHresult(std::uint32_t code) { return static_cast<long>(static_cast<std::int32_t>(code)); }

}  // namespace

extern "C" {

// Refusing DLL_PROCESS_ATTACH makes the loader unload the library and fail the load.
int __stdcall DllMain(void* /*module*/, unsigned long reason, void* /*reserved*/) try {
  if (reason == kProcessAttach) return kv::ApplicationStartUp(platform::SocketsStartup) ? 1 : 0;
  return 1;
} catch (...) {
  return reason == kProcessAttach ? 0 : 1;
}

long __stdcall DllCanUnloadNow() { return AsHresult(kv::ComCanUnloadNow()); }

long __stdcall DllGetClassObject(const void* /*clsid*/, const void* /*iid*/, void** object) try {
  return AsHresult(kv::ComGetClassObject(object));
} catch (...) {
  return AsHresult(kUnexpected);
}

long __stdcall DllRegisterServer() try {
  return AsHresult(kv::ComRegisterServer(kv::LibraryComRegistration()));
} catch (...) {
  return AsHresult(kUnexpected);
}

long __stdcall DllUnregisterServer() try {
  return AsHresult(kv::ComUnregisterServer(kv::LibraryComRegistration()));
} catch (...) {
  return AsHresult(kUnexpected);
}

}  // extern "C"
