# The plug-in dialog: its resource template in the Windows DLL, and the tests of its model and
# its Upgrade button.
if(WIN32)
  enable_language(RC)
endif()

# Tests of the plug-in dialog's model and its Upgrade button.
add_executable(plugin_dialog_tests ui/plugin_dialog_test.cpp)
target_link_libraries(plugin_dialog_tests PRIVATE kvplugin_testing GTest::gtest_main)
kv_warnings(plugin_dialog_tests)
gtest_discover_tests(plugin_dialog_tests PROPERTIES LABELS unit)
