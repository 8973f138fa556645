# Run by ctest before the tests (a TEST_INCLUDE_FILES entry): registers the
# GoogleTest binary REVUROV_TEST_EXE as one test per suite, so a run starts a
# process per suite rather than per case. Cases stay tests of their own in
# suites instantiated as "Shards/...", which exist to run side by side, and
# everywhere with REVUROV_LONG_TESTS set, because the heavy cases each need
# the whole time limit.
set(prefix "${REVUROV_TEST_TARGET}:")
if(NOT EXISTS "${REVUROV_TEST_EXE}")
  add_test("${prefix}NOT_BUILT" "${REVUROV_TEST_EXE}")
  return()
endif()
execute_process(COMMAND "${REVUROV_TEST_EXE}" --gtest_list_tests
                WORKING_DIRECTORY "${REVUROV_TEST_DIR}"
                OUTPUT_VARIABLE listing ERROR_VARIABLE listing_err
                RESULT_VARIABLE listing_rc TIMEOUT 60)
if(NOT listing_rc EQUAL 0)
  # A test that fails and shows why, instead of a run that quietly has fewer tests.
  add_test("${prefix}LISTING_FAILED" "${REVUROV_TEST_EXE}" --gtest_list_tests)
  return()
endif()

set(per_case FALSE)
if(DEFINED ENV{REVUROV_LONG_TESTS} AND NOT "$ENV{REVUROV_LONG_TESTS}" STREQUAL "")
  set(per_case TRUE)
endif()

# Brackets would split CMake's lists wrongly; no suite or case name has any.
string(REPLACE "[" "" listing "${listing}")
string(REPLACE "]" "" listing "${listing}")
string(REPLACE ";" "" listing "${listing}")
string(REPLACE "\n" ";" lines "${listing}")
set(suite "")
set(suite_per_case FALSE)
foreach(line IN LISTS lines)
  # Typed and parameterised names carry a "# TypeParam = ..." comment.
  string(REGEX REPLACE "[ ]*#.*$" "" line "${line}")
  if(line MATCHES "^([^ ]+)\\.$")
    set(suite "${CMAKE_MATCH_1}")
    set(suite_per_case ${per_case})
    if(suite MATCHES "^Shards/")
      set(suite_per_case TRUE)
    endif()
    if(NOT suite_per_case)
      set(name "${prefix}${suite}")
      add_test("${name}" "${REVUROV_TEST_EXE}" "--gtest_filter=${suite}.*")
      set_tests_properties("${name}" PROPERTIES WORKING_DIRECTORY "${REVUROV_TEST_DIR}"
                           ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
    endif()
  elseif(suite_per_case AND line MATCHES "^  ([^ ]+)$" AND NOT suite STREQUAL "")
    set(name "${prefix}${suite}.${CMAKE_MATCH_1}")
    add_test("${name}" "${REVUROV_TEST_EXE}" "--gtest_filter=${suite}.${CMAKE_MATCH_1}")
    set_tests_properties("${name}" PROPERTIES WORKING_DIRECTORY "${REVUROV_TEST_DIR}"
                         ENVIRONMENT "QT_QPA_PLATFORM=offscreen"
                         SKIP_REGULAR_EXPRESSION "\\[  SKIPPED \\]")
  endif()
endforeach()
