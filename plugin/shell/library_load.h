// What happens when the host loads and asks about the library, apart from the entry points: the
// application object's start-up and the four in-process COM server functions. Portable, so the
// start-up and the registration codes are tested on every platform; the Windows DLL's loader
// entry and exports (library_main_win32.cpp) only forward here.
#pragma once

#include <cstdint>

namespace kv {

inline constexpr const char* kSocketsInitFailedText = "Sockets Init Failed";

// The application object's start-up: starts Windows sockets. When they cannot be started it
// shows the box kSocketsInitFailedText and returns false, and the library refuses to load.
bool ApplicationStartUp(bool (*sockets_startup)());

// Result codes of the COM server functions (HRESULT values).
inline constexpr std::uint32_t kComOk = 0;
inline constexpr std::uint32_t kComFalse = 1;                         // S_FALSE
inline constexpr std::uint32_t kComPointer = 0x80004003;              // E_POINTER
inline constexpr std::uint32_t kComClassNotAvailable = 0x80040111;    // CLASS_E_CLASSNOTAVAILABLE
inline constexpr std::uint32_t kSelfRegTypeLibFailed = 0x80040200;    // SELFREG_E_TYPELIB
inline constexpr std::uint32_t kSelfRegClassFailed = 0x80040201;      // SELFREG_E_CLASS

// The two steps of (un)registration; each returns true on success.
struct ComRegistration {
  bool (*type_library)(bool register_it);     // the type library, version 1.0
  bool (*class_factories)(bool register_it);  // the class factories
};

// The library's own steps. It embeds no type library and has no COM classes, so both steps
// have nothing to write and succeed.
const ComRegistration& LibraryComRegistration();

// Type library, then class factories; the first failing step decides the code.
std::uint32_t ComRegisterServer(const ComRegistration& steps);
std::uint32_t ComUnregisterServer(const ComRegistration& steps);

// The library may be unloaded only while none of its threads run: before InitControl starts
// the link threads. They run until the process ends, so from then on the answer is S_FALSE.
std::uint32_t ComCanUnloadNow();

// No class is registered, so no class object is handed out; `object` (if given) is cleared.
std::uint32_t ComGetClassObject(void** object);

}  // namespace kv
