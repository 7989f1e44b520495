# Fails unless the library's defined dynamic symbols are exactly the host's entry points and
# the tool seams (Ethernet endpoints, link state).
# Usage: cmake -DLIBRARY=path -P check_exports.cmake
set(expected Config DoDwell Home InitControl JogOff JogOn Notify PostInitControl Probe Purge Reset
  SetCode SetDoButton SetGetDRO SetGetLED SetProName SetSetDRO SetSetLED StopPlug Update
  SetEthernetEndpoints GetLinkState)
execute_process(COMMAND nm -D --defined-only ${LIBRARY} OUTPUT_VARIABLE listing RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${listing}")
set(found)
foreach(line IN LISTS lines)
  string(REGEX REPLACE "^[0-9a-fA-F]* *[A-Za-z] " "" name "${line}")
  list(APPEND found ${name})
endforeach()
list(SORT found)
list(SORT expected)
if(NOT found STREQUAL expected)
  message(FATAL_ERROR "exports differ from the entry points\n  found:    ${found}\n  expected: ${expected}")
endif()
message(STATUS "exports: ${found}")
