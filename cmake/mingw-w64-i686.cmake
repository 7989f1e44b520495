# Toolchain of the product's Windows build: 32-bit, like the host that loads Kalvero.dll.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(KV_MINGW_PREFIX i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
