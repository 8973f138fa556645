# A cached GetBlock and release against a std::mutex + std::unordered_map
# lookup that pins the same entry; a read of a block not yet cached against
# a bare pread. The table file is built with the tests' storage fixture.
revurov_bench(buffer_manager revurov_storage)
target_include_directories(bench_buffer_manager PRIVATE ${PROJECT_SOURCE_DIR}/tests)
