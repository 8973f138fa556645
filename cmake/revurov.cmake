# Helpers shared by every subsystem folder.

set(REVUROV_WARNINGS -Wall -Wextra -Werror)

# revurov_library(<name> [DEPS targets...])
# One static library from every .cpp of the calling folder (not its
# subfolders), target name revurov_<name>. Tests of the folder live in
# tests/<name>/ and are built into one binary test_<name>.
function(revurov_library name)
  cmake_parse_arguments(A "" "" "DEPS;TEST_DEPS" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  if(NOT srcs)
    # A folder whose code has not been written yet still links.
    set(srcs ${PROJECT_SOURCE_DIR}/cmake/empty.cpp)
  endif()
  add_library(revurov_${name} STATIC ${srcs})
  target_include_directories(revurov_${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_compile_options(revurov_${name} PRIVATE ${REVUROV_WARNINGS})
  target_link_libraries(revurov_${name} PUBLIC ${A_DEPS})
  if(REVUROV_SYSTEM_HEAP)
    target_compile_definitions(revurov_${name} PUBLIC REVUROV_SYSTEM_HEAP=1)
  endif()
  if(REVUROV_BUILD_TESTS)
    revurov_tests(${name} revurov_${name} ${A_TEST_DEPS})
  endif()
endfunction()

# revurov_tests(<name> libs...): test_<name> from tests/<name>/*.cpp.
function(revurov_tests name)
  set(dir ${PROJECT_SOURCE_DIR}/tests/${name})
  file(GLOB tsrcs CONFIGURE_DEPENDS ${dir}/*.cpp)
  if(NOT tsrcs)
    return()
  endif()
  add_executable(test_${name} ${tsrcs})
  target_compile_options(test_${name} PRIVATE ${REVUROV_WARNINGS})
  target_include_directories(test_${name} PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/tests)
  target_link_libraries(test_${name} PRIVATE ${ARGN} GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
  # Parsing GoogleTest costs about 2 s CPU in every test source; building its
  # precompiled header costs about three such parses, so a binary of a few
  # sources does without.
  list(LENGTH tsrcs count)
  if(count GREATER 4)
    target_precompile_headers(test_${name} PRIVATE <gtest/gtest.h>)
  endif()
  target_compile_definitions(test_${name} PRIVATE
    REVUROV_TEST_DATA_DIR="${dir}/data"
    REVUROV_BINARY_DIR="${PROJECT_BINARY_DIR}")
  gtest_discover_tests(test_${name}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen" TIMEOUT 300)
endfunction()
