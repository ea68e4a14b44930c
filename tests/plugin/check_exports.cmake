# Fails unless LIBRARY exports exactly the six plugin entry points (defined
# code or data) and carries EXPECTED_SONAME.
cmake_policy(VERSION 3.18)

foreach(var LIBRARY EXPECTED_SONAME)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "${var} is not set")
  endif()
endforeach()
if(NOT EXISTS "${LIBRARY}")
  message(FATAL_ERROR "No such library: ${LIBRARY}")
endif()

find_program(NM nm REQUIRED)
find_program(READELF readelf REQUIRED)

execute_process(COMMAND ${NM} -D --defined-only "${LIBRARY}"
                OUTPUT_VARIABLE nm_out ERROR_VARIABLE nm_err RESULT_VARIABLE nm_rc)
if(NOT nm_rc EQUAL 0)
  message(FATAL_ERROR "nm failed (${nm_rc}): ${nm_err}")
endif()

set(expected plugin_info plugin_init plugin_poll plugin_reconfigure plugin_shutdown plugin_start)
set(exported "")
set(unexpected "")
string(REPLACE "\n" ";" lines "${nm_out}")
foreach(line IN LISTS lines)
  if(line STREQUAL "")
    continue()
  endif()
  # "<address> <type> <name>"; the type letter decides whether it is code or data.
  if(NOT line MATCHES "^[0-9a-fA-F]+ ([A-Za-z]) (.+)$")
    list(APPEND unexpected "unparsed:${line}")
    continue()
  endif()
  set(type "${CMAKE_MATCH_1}")
  set(name "${CMAKE_MATCH_2}")
  # The ELF init/fini hooks are not part of what the plugin offers.
  if(name MATCHES "^(_init|_fini)$")
    continue()
  endif()
  if(name IN_LIST expected)
    if(NOT type MATCHES "^[TtWw]$")
      list(APPEND unexpected "${name}(type ${type}, not code)")
    endif()
    list(APPEND exported "${name}")
  else()
    list(APPEND unexpected "${name}(type ${type})")
  endif()
endforeach()

list(SORT exported)
if(NOT exported STREQUAL expected OR unexpected)
  message(FATAL_ERROR "Exported symbols differ.\n  expected: ${expected}\n  found:    ${exported}\n"
                      "  unexpected: ${unexpected}")
endif()

execute_process(COMMAND ${READELF} -d "${LIBRARY}"
                OUTPUT_VARIABLE dyn_out ERROR_VARIABLE dyn_err RESULT_VARIABLE dyn_rc)
if(NOT dyn_rc EQUAL 0)
  message(FATAL_ERROR "readelf failed (${dyn_rc}): ${dyn_err}")
endif()
if(NOT dyn_out MATCHES "\\(SONAME\\)[^\n]*Library soname: \\[([^]\n]*)\\]")
  message(FATAL_ERROR "No SONAME in ${LIBRARY}")
endif()
if(NOT CMAKE_MATCH_1 STREQUAL EXPECTED_SONAME)
  message(FATAL_ERROR "SONAME is '${CMAKE_MATCH_1}', expected '${EXPECTED_SONAME}'")
endif()
message(STATUS "Exports and SONAME of ${LIBRARY} are as expected")
