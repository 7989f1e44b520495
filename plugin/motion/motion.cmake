# Tests of the motion stream, jog and the motion supervisor (their sources are in kvplugin_core).
add_executable(plugin_motion_tests
  ${CMAKE_CURRENT_LIST_DIR}/motion_stream_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/jog_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/supervisor_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/probe_threshold_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/rest_stop_test.cpp
)
target_link_libraries(plugin_motion_tests PRIVATE kvplugin_testing GTest::gtest_main)
kv_warnings(plugin_motion_tests)
gtest_discover_tests(plugin_motion_tests PROPERTIES LABELS unit)

# The motion stream against the host's purge, and the stop for a board at rest against the
# stream's sends, on threads of their own (also run under ThreadSanitizer).
add_executable(plugin_motion_thread_tests ${CMAKE_CURRENT_LIST_DIR}/stream_purge_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/rest_stop_thread_test.cpp)
target_link_libraries(plugin_motion_thread_tests PRIVATE kvplugin_testing GTest::gtest_main)
kv_warnings(plugin_motion_thread_tests)
gtest_discover_tests(plugin_motion_thread_tests PROPERTIES LABELS threaded)

# Pendant channels: key maps, key actions and display records.
add_executable(plugin_pendant_tests ${CMAKE_CURRENT_LIST_DIR}/pendant_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/pendant_table_test.cpp)
target_link_libraries(plugin_pendant_tests PRIVATE kvplugin_testing GTest::gtest_main)
kv_warnings(plugin_pendant_tests)
gtest_discover_tests(plugin_pendant_tests PROPERTIES LABELS unit)

# Pendant keys on a link thread while the scheduler polls (also run under ThreadSanitizer).
add_executable(plugin_pendant_thread_tests ${CMAKE_CURRENT_LIST_DIR}/pendant_thread_test.cpp)
target_link_libraries(plugin_pendant_thread_tests PRIVATE kvplugin_testing GTest::gtest_main)
kv_warnings(plugin_pendant_thread_tests)
gtest_discover_tests(plugin_pendant_thread_tests PROPERTIES LABELS threaded)
