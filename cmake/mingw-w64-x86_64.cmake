# Toolchain of a 64-bit Windows build of the same sources: the one Wine can run where the
# kernel runs no 32-bit programs (scripts/test-windows.sh).
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KV_MINGW_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
