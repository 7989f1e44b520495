# What the 32-bit Windows cross build adds: GoogleTest from Debian's source package (nothing
# vendored), tests that are listed under Wine when ctest runs rather than while building, and the
# DLL's export table from the same list as the Linux version script.

set(KV_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources (Debian package googletest)")
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${KV_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

# The build never runs a Windows program; ctest runs them, and lists each binary's cases, under
# Wine in a prefix of the build's own.
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(KV_WINE_ARCH win32)
  set(KV_C_SYMBOL_PREFIX _)  # 32-bit C names carry a leading underscore
else()
  set(KV_WINE_ARCH win64)
  set(KV_C_SYMBOL_PREFIX "")
  # 64-bit mingw notes that a function pointer type's printf-format attribute does not carry
  # into std::atomic's template argument; the attribute still checks every direct call.
  add_compile_options(-Wno-ignored-attributes)
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/env WINEPREFIX=${CMAKE_BINARY_DIR}/wine WINEARCH=${KV_WINE_ARCH}
  ${PROJECT_SOURCE_DIR}/scripts/wine-run.sh)

# The oldest Windows whose API the platform layer uses (Windows 7).
add_compile_definitions(_WIN32_WINNT=0x0601 WINVER=0x0601)

# Exports `target`'s entry points undecorated: the global names of the Linux version script `map`
# plus the four in-process COM server functions, through a generated module definition file.
# The test plugin_dll_exports reads the built DLL's export table and fails on anything missing,
# decorated or extra.
set(KV_COM_SERVER_EXPORTS DllCanUnloadNow DllGetClassObject DllRegisterServer DllUnregisterServer)
function(kv_windows_exports target map)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${map})
  file(READ ${map} text)
  string(REGEX MATCH "global:([^}]*)local:" block "${text}")
  string(REGEX MATCHALL "[A-Za-z_][A-Za-z0-9_]*" names "${CMAKE_MATCH_1}")
  set(def "; Generated from ${map}: the entry points with C linkage, then the COM server functions.\n")
  string(APPEND def "LIBRARY \"$<TARGET_FILE_NAME:${target}>\"\nEXPORTS\n")
  foreach(name IN LISTS names)
    string(APPEND def "  ${name}\n")
  endforeach()
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    # stdcall functions: the undecorated name, taken from the decorated symbol.
    string(APPEND def "  DllCanUnloadNow = DllCanUnloadNow@0 PRIVATE\n")
    string(APPEND def "  DllGetClassObject = DllGetClassObject@12 PRIVATE\n")
    string(APPEND def "  DllRegisterServer = DllRegisterServer@0 PRIVATE\n")
    string(APPEND def "  DllUnregisterServer = DllUnregisterServer@0 PRIVATE\n")
  else()
    foreach(name IN LISTS KV_COM_SERVER_EXPORTS)
      string(APPEND def "  ${name} PRIVATE\n")
    endforeach()
  endif()
  set(def_file ${CMAKE_CURRENT_BINARY_DIR}/${target}.def)
  file(GENERATE OUTPUT ${def_file} CONTENT "${def}")
  target_link_options(${target} PRIVATE ${def_file})
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${def_file})
  list(APPEND names ${KV_COM_SERVER_EXPORTS})
  add_test(NAME ${target}_dll_exports
    COMMAND ${CMAKE_COMMAND} -DLIBRARY=$<TARGET_FILE:${target}> -DOBJDUMP=${CMAKE_OBJDUMP}
      "-DEXPECTED=${names}" -P ${PROJECT_SOURCE_DIR}/cmake/check_dll_exports.cmake)
  set_tests_properties(${target}_dll_exports PROPERTIES LABELS unit)
  # The same check as a build target, for a build whose tests Wine cannot list (a 32-bit build on
  # a kernel that runs no 32-bit programs).
  add_custom_target(${target}_check_exports
    COMMAND ${CMAKE_COMMAND} -DLIBRARY=$<TARGET_FILE:${target}> -DOBJDUMP=${CMAKE_OBJDUMP}
      "-DEXPECTED=${names}" -P ${PROJECT_SOURCE_DIR}/cmake/check_dll_exports.cmake
    DEPENDS ${target} VERBATIM)
endfunction()
