# Programs and shared objects that the memory manager's tests load or start:
# two library modules, the "nxmm" manager module, hook modules with 16 and
# 15 exports, and a helper that runs binding scenarios in a fresh process.
set(mm_dir ${CMAKE_CURRENT_LIST_DIR})
set(mm_out ${PROJECT_BINARY_DIR}/tests/mm)

function(mm_module name src)
  add_library(${name} MODULE ${mm_dir}/${src})
  set_target_properties(${name} PROPERTIES PREFIX "" CXX_VISIBILITY_PRESET hidden
    LIBRARY_OUTPUT_DIRECTORY ${ARGV2})
  target_compile_options(${name} PRIVATE ${REVUROV_WARNINGS})
  target_link_options(${name} PRIVATE -Wl,--exclude-libs,ALL)
endfunction()

mm_module(mm_module_a mm_module.cpp ${mm_out})
mm_module(mm_module_b mm_module.cpp ${mm_out})
target_link_libraries(mm_module_a PRIVATE revurov_lowlevel)
target_link_libraries(mm_module_b PRIVATE revurov_lowlevel)
mm_module(mm_hook16 hook_module.cpp ${mm_out})
mm_module(mm_hook15 hook_module.cpp ${mm_out})
target_compile_definitions(mm_hook15 PRIVATE HOOK_LEAVE_OUT=1)
# The manager module lies beside the second helper only.
mm_module(nxmm nxmm_module.cpp ${mm_out}/with_nxmm)
target_link_libraries(nxmm PRIVATE revurov_lowlevel)

foreach(helper mm_helper mm_helper_nxmm)
  add_executable(${helper} ${mm_dir}/mm_helper.cpp)
  target_compile_options(${helper} PRIVATE ${REVUROV_WARNINGS})
  target_link_libraries(${helper} PRIVATE revurov_lowlevel ${CMAKE_DL_LIBS})
endforeach()
set_target_properties(mm_helper PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${mm_out})
set_target_properties(mm_helper_nxmm PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${mm_out}/with_nxmm)

add_dependencies(test_lowlevel mm_module_a mm_module_b mm_hook16 mm_hook15 nxmm mm_helper mm_helper_nxmm)
# Only the source that needs the folder gets it: an absolute path in every
# test source's flags would keep a fresh clone from reusing cached objects.
set_source_files_properties(${PROJECT_SOURCE_DIR}/tests/lowlevel/memory_manager_binding_test.cpp
  TARGET_DIRECTORY test_lowlevel PROPERTIES COMPILE_DEFINITIONS REVUROV_MM_TEST_DIR="${mm_out}")
target_link_libraries(test_lowlevel PRIVATE ${CMAKE_DL_LIBS})
