# GoogleTest for every folder of suites, and the one way a suite is added:
#   nerivo_add_suite(name SOURCES file... LIBS target... [LABELS label...] [TIMEOUT seconds]
#                    [TEST_PREFIX prefix])
# builds the executable (seeing tests/support and its own folder, linked with
# GoogleTest's main and the thread library) and registers its tests with CTest
# one by one.
enable_testing()
find_package(GTest REQUIRED)
include(GoogleTest)

function(nerivo_add_suite name)
  cmake_parse_arguments(PARSE_ARGV 1 SUITE "" "TIMEOUT;TEST_PREFIX" "SOURCES;LIBS;LABELS")
  if(SUITE_UNPARSED_ARGUMENTS OR NOT SUITE_SOURCES)
    message(FATAL_ERROR "nerivo_add_suite(${name}) needs SOURCES; not understood: ${SUITE_UNPARSED_ARGUMENTS}")
  endif()
  add_executable(${name} ${SUITE_SOURCES})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests/support ${CMAKE_CURRENT_SOURCE_DIR})
  target_link_libraries(${name} PRIVATE ${SUITE_LIBS} GTest::gtest_main Threads::Threads)
  set(properties "")
  if(SUITE_LABELS)
    list(APPEND properties LABELS "${SUITE_LABELS}")
  endif()
  if(SUITE_TIMEOUT)
    list(APPEND properties TIMEOUT ${SUITE_TIMEOUT})
  endif()
  set(discovery DISCOVERY_TIMEOUT 120)
  if(SUITE_TEST_PREFIX)
    list(APPEND discovery TEST_PREFIX ${SUITE_TEST_PREFIX})
  endif()
  if(properties)
    list(APPEND discovery PROPERTIES ${properties})
  endif()
  gtest_discover_tests(${name} ${discovery})
endfunction()
