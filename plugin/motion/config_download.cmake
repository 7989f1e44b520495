# The configuration download's tests: the parameter frames byte for byte against fake host blocks.
add_executable(plugin_config_tests ${CMAKE_CURRENT_LIST_DIR}/config_download_test.cpp)
target_link_libraries(plugin_config_tests PRIVATE kvplugin_testing GTest::gtest_main)
kv_warnings(plugin_config_tests)
gtest_discover_tests(plugin_config_tests PROPERTIES LABELS unit)
