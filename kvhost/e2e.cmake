# End-to-end tests: programs planned by kvhost, streamed by the real plug-in (loaded as the host
# loads it) to the simulated board over loopback. The plug-in is one per process, so every case
# runs in a process of its own, as ctest runs the discovered tests.
add_executable(kvhost_e2e_tests ${CMAKE_CURRENT_LIST_DIR}/e2e_program_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/e2e_machine_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/e2e_pendant_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/e2e_usb_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/e2e_upgrade_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/e2e_estop_test.cpp)
target_link_libraries(kvhost_e2e_tests PRIVATE kvhost_lib GTest::gtest_main)
if(TARGET pugixml::pugixml)  # the picture of a run, read back with pugixml (Linux only)
  target_sources(kvhost_e2e_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR}/e2e_plot_test.cpp)
  target_link_libraries(kvhost_e2e_tests PRIVATE pugixml::pugixml)
endif()
target_compile_definitions(kvhost_e2e_tests PRIVATE
  KV_EXAMPLES_DIR="${PROJECT_SOURCE_DIR}/examples"
  KV_SHARED_GCODE_DIR="${PROJECT_SOURCE_DIR}/../shared/gcode")
kv_warnings(kvhost_e2e_tests)
gtest_discover_tests(kvhost_e2e_tests PROPERTIES ${KV_INTEGRATION_TEST_PROPERTIES} DISCOVERY_TIMEOUT 30)

# The same plug-in against kvboard running as a separate process (kvhost --board external):
# reports early and late, the link dropped, the board silenced, a board resuming its queue after
# a drop, the run interrupted, the watch.
foreach(case early late drop silence resume interrupt watch)
  add_test(NAME ExternalBoard.${case}
    COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/external/run_case.sh $<TARGET_FILE:kvhost> $<TARGET_FILE:kvboard_cli>
      ${CMAKE_CURRENT_BINARY_DIR}/external/${case} ${case})
  set_tests_properties(ExternalBoard.${case} PROPERTIES ${KV_INTEGRATION_TEST_PROPERTIES} TIMEOUT 120)
endforeach()

# kvhost's dialog commands from the command line: --dialog, --upload-config, --upgrade, and a
# board sitting in its loader with and without an image to give it.
foreach(case dialog config config-refused upgrade upgrade-usb upgrade-refused loader-no-image loader-upgrade
    config-not-xconf upgrade-xconf upgrade-huge upgrade-zero upgrade-fifo config-fifo)
  add_test(NAME DialogCommands.${case}
    COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/external/dialog_commands.sh $<TARGET_FILE:kvhost> $<TARGET_FILE:kvboard_cli>
      ${CMAKE_CURRENT_BINARY_DIR}/dialog_commands/${case} ${case})
  set_tests_properties(DialogCommands.${case} PROPERTIES ${KV_INTEGRATION_TEST_PROPERTIES} TIMEOUT 120)
endforeach()
# A sanitizer reserves more address space than any memory limit leaves.
if(KV_SANITIZE)
  set_tests_properties(DialogCommands.upgrade-huge PROPERTIES ENVIRONMENT KV_NO_MEMORY_LIMIT=1)
endif()

# Windows: the plug-in dialog as a real window, walked and held to its template, with a
# screenshot in artifacts/ (scripts/dialog-window-test.sh runs it under Wine with Xvfb; without a
# display it is skipped).
if(WIN32)
  add_executable(dialog_window_tests ${PROJECT_SOURCE_DIR}/platform/win32/dialog_window_test.cpp)
  target_include_directories(dialog_window_tests PRIVATE ${PROJECT_SOURCE_DIR}/platform/win32)
  target_link_libraries(dialog_window_tests PRIVATE kvhost_test_guard kvhost_lib GTest::gtest_main gdi32 comctl32)
  target_compile_definitions(dialog_window_tests PRIVATE KV_SCREENSHOT_DIR="${CMAKE_BINARY_DIR}/artifacts")
  kv_warnings(dialog_window_tests)
  gtest_discover_tests(dialog_window_tests PROPERTIES LABELS "window")
endif()

# kvhost given bad input: refused at once or stopped at its bounds, never hung or overwriting.
foreach(case folder huge_word slow_move summary_over port_in_use big_program)
  add_test(NAME KvhostBadInput.${case}
    COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/external/bad_input.sh $<TARGET_FILE:kvhost>
      ${CMAKE_CURRENT_BINARY_DIR}/bad_input/${case} ${case})
  # Labelled apart: kvhost's own refusals, which ThreadSanitizer's stage has no threads to watch in.
  set_tests_properties(KvhostBadInput.${case} PROPERTIES LABELS input COST 30 TIMEOUT 90)
endforeach()
# Sanitizer builds plan many times slower: a smaller file still shows memory that grows with it.
if(KV_SANITIZE)
  set_tests_properties(KvhostBadInput.big_program PROPERTIES ENVIRONMENT BIG_PROGRAM_MB=8)
endif()

# kvhost's word against misbehaving boards and files: a run off its programmed end, an upgrade
# that left the old firmware or broke off, a program changed after its check, segment periods
# the stream cannot feed, a pendant flood, a taken port, control characters from the board, a
# board that could not be identified, a peer that never spoke, settings that could not be saved.
foreach(case posjump upgrade-same upgrade-stopped file-changed seg-len flood dialog-port serial unidentified
        silent-peer profile-unsaved)
  add_test(NAME KvhostTruth.${case}
    COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/external/truth_cases.sh $<TARGET_FILE:kvhost> $<TARGET_FILE:kvboard_cli>
      ${CMAKE_CURRENT_BINARY_DIR}/truth/${case} ${case})
  set_tests_properties(KvhostTruth.${case} PROPERTIES ${KV_INTEGRATION_TEST_PROPERTIES} TIMEOUT 120)
endforeach()
# The sanitizers' own bookkeeping grows a little with every call under the flood.
if(KV_SANITIZE)
  set_tests_properties(KvhostTruth.flood PROPERTIES ENVIRONMENT FLOOD_GROWTH_KB=32768)
endif()

# The words of mill post-processors through kvhost and the simulated board: work offsets kept in
# the profile only after a run that ran whole, pauses off a terminal, coolant without an output.
foreach(case offsets offsets-failed pauses coolant)
  add_test(NAME KvhostMillWords.${case}
    COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/external/mill_words.sh $<TARGET_FILE:kvhost>
      ${CMAKE_CURRENT_BINARY_DIR}/mill_words/${case} ${case})
  set_tests_properties(KvhostMillWords.${case} PROPERTIES ${KV_INTEGRATION_TEST_PROPERTIES} TIMEOUT 120)
endforeach()
