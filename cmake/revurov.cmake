# Helpers shared by every subsystem folder.

# Warnings are errors for g++, the project's compiler; clang builds the
# library too (the fuzz targets) and its extra warnings stay warnings.
if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  set(REVUROV_WARNINGS -Wall -Wextra)
else()
  set(REVUROV_WARNINGS -Wall -Wextra -Werror)
endif()

# revurov_static(<target> <dir> [DEPS targets...])
# One static library from every .cpp of <dir> (not its subfolders).
function(revurov_static target dir)
  cmake_parse_arguments(A "" "" "DEPS" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${dir}/*.cpp)
  if(NOT srcs)
    # A folder whose code has not been written yet still links.
    set(srcs ${PROJECT_SOURCE_DIR}/cmake/empty.cpp)
  endif()
  add_library(${target} STATIC ${srcs})
  target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR})
  target_compile_options(${target} PRIVATE ${REVUROV_WARNINGS})
  target_link_libraries(${target} PUBLIC ${A_DEPS})
  if(REVUROV_SYSTEM_HEAP)
    target_compile_definitions(${target} PUBLIC REVUROV_SYSTEM_HEAP=1)
  endif()
endfunction()

# revurov_library(<name> [DEPS targets...] [AREA <a> [DEPS targets...]]...
#                 [TEST_DEPS targets...])
# A subsystem folder: target revurov_<name> from the folder's own .cpp files.
# A folder split into areas names them, lowest first, each with the
# libraries it needs (an earlier area by its short name): AREA <a> is the
# subfolder <a>/, built as revurov_<name>_<a>, and revurov_<name> links every
# area. Tests of the folder live in tests/<name>/ and are built into one
# binary test_<name>.
function(revurov_library name)
  set(own_deps "")
  set(test_deps "")
  set(areas "")
  set(mode own)
  foreach(arg ${ARGN})
    if(arg STREQUAL "AREA")
      set(mode area_name)
    elseif(arg STREQUAL "DEPS")
      # The libraries of the folder itself, or of the area just named.
    elseif(arg STREQUAL "TEST_DEPS")
      set(mode test)
    elseif(mode STREQUAL "area_name")
      set(area ${arg})
      list(APPEND areas ${area})
      set(${area}_deps "")
      set(mode area)
    elseif(mode STREQUAL "test")
      list(APPEND test_deps ${arg})
    elseif(mode STREQUAL "own")
      list(APPEND own_deps ${arg})
    elseif(arg IN_LIST areas)
      list(APPEND ${area}_deps revurov_${name}_${arg})
    else()
      list(APPEND ${area}_deps ${arg})
    endif()
  endforeach()
  set(area_targets "")
  foreach(area ${areas})
    revurov_static(revurov_${name}_${area} ${CMAKE_CURRENT_SOURCE_DIR}/${area} DEPS ${${area}_deps})
    list(APPEND area_targets revurov_${name}_${area})
  endforeach()
  revurov_static(revurov_${name} ${CMAKE_CURRENT_SOURCE_DIR} DEPS ${own_deps} ${area_targets})
  # The folder's libraries, for settings that apply to all of them.
  set(REVUROV_${name}_TARGETS revurov_${name} ${area_targets} PARENT_SCOPE)
  if(REVUROV_BUILD_TESTS)
    revurov_tests(${name} revurov_${name} ${test_deps})
  endif()
endfunction()

# revurov_tests(<name> libs...): test_<name> from tests/<name>/*.cpp; a
# subfolder's name (a/b) gives test_a_b.
function(revurov_tests folder)
  set(dir ${PROJECT_SOURCE_DIR}/tests/${folder})
  file(GLOB tsrcs CONFIGURE_DEPENDS ${dir}/*.cpp)
  if(NOT tsrcs)
    return()
  endif()
  string(REPLACE "/" "_" name ${folder})
  add_executable(test_${name} ${tsrcs})
  target_compile_options(test_${name} PRIVATE ${REVUROV_WARNINGS})
  target_include_directories(test_${name} PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/tests)
  target_link_libraries(test_${name} PRIVATE ${ARGN} revurov_test_main GTest::gtest GTest::gmock Threads::Threads)
  # Parsing GoogleTest costs about 2 s CPU in every test source; building its
  # precompiled header costs about three such parses, so a binary of a few
  # sources does without.
  list(LENGTH tsrcs count)
  if(count GREATER 4)
    target_precompile_headers(test_${name} PRIVATE <gtest/gtest.h>)
  endif()
  # Registered when ctest starts, one test per suite (see gtest_suites.cmake).
  # No time limit of its own: the run's --timeout bounds each test, longer
  # for the full-size heavy runs.
  set(include_file ${CMAKE_CURRENT_BINARY_DIR}/test_${name}_suites.cmake)
  file(GENERATE OUTPUT ${include_file} CONTENT
"set(REVUROV_TEST_TARGET \"test_${name}\")
set(REVUROV_TEST_EXE \"$<TARGET_FILE:test_${name}>\")
set(REVUROV_TEST_DIR \"${CMAKE_CURRENT_BINARY_DIR}\")
include(\"${PROJECT_SOURCE_DIR}/cmake/gtest_suites.cmake\")
")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${include_file})
endfunction()
