# Tests of the board service: catalogue, receive parser, limits and the service task.
add_executable(plugin_service_tests
  service/model_catalogue_test.cpp
  service/receive_parser_test.cpp
  service/limits_test.cpp
  service/service_task_test.cpp
  service/firmware_upgrade_test.cpp
  service/tick_wrap_test.cpp
  service/upgrade_pacing_test.cpp
)
target_link_libraries(plugin_service_tests PRIVATE kvplugin_testing GTest::gtest_main)
kv_warnings(plugin_service_tests)
gtest_discover_tests(plugin_service_tests PROPERTIES LABELS unit)

# The firmware upgrade over the real Ethernet link to a board that stops reading mid-image.
add_executable(upgrade_link_tests service/upgrade_link_test.cpp)
target_link_libraries(upgrade_link_tests PRIVATE kvplugin_testing GTest::gtest_main)
kv_warnings(upgrade_link_tests)
gtest_discover_tests(upgrade_link_tests PROPERTIES LABELS threaded)
