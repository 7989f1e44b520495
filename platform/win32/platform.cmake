# The platform layer of the Windows build: a static library linked into the DLL and into each
# program, since there the system's own DLLs are what every module of a process shares. The
# process-wide services (window system, message-box handler, tick origin, loopback guard) are
# the hosting program's: every program exports them, a DLL never (process_services.h).
add_library(kvplatform STATIC
  common/dialog.cpp
  common/file_dialog.cpp
  common/interrupt.cpp
  common/loopback_guard.cpp
  common/ipv4_text.cpp
  win32/clock.cpp
  win32/thread.cpp
  win32/message_box.cpp
  win32/system_error.cpp
  win32/library.cpp
  win32/socket.cpp
  win32/terminal.cpp
  win32/cpu_time.cpp
  win32/xml_document.cpp
  common/xml_load.cpp
  win32/file.cpp
  win32/host_services.cpp
  win32/process_services.cpp
  win32/window_system.cpp
  common/hid.cpp common/hid_sim.cpp win32/hid.cpp
)
target_include_directories(kvplatform PUBLIC include)
target_link_libraries(kvplatform PUBLIC Threads::Threads PRIVATE ws2_32 ole32 oleaut32 uuid setupapi hid comctl32 comdlg32)
# Programs pull the exported services in; nothing else refers to them by name.
target_link_options(kvplatform INTERFACE
  $<$<STREQUAL:$<TARGET_PROPERTY:TYPE>,EXECUTABLE>:-Wl,--undefined=${KV_C_SYMBOL_PREFIX}kv_platform_services>)
kv_warnings(kvplatform)

# The Windows HID device's writes against a named pipe that stops taking them: the write bound
# and the close that ends a pending write.
add_executable(platform_win32_hid_tests win32/hid_test.cpp)
target_link_libraries(platform_win32_hid_tests PRIVATE kvplatform GTest::gtest_main)
kv_warnings(platform_win32_hid_tests)
gtest_discover_tests(platform_win32_hid_tests PROPERTIES LABELS threaded)
