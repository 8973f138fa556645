# 10^5 heap allocations of 20-300 bytes in one transaction against glibc
# malloc of the same sizes.
revurov_bench(cached_heap revurov_storage)
target_include_directories(bench_cached_heap PRIVATE ${PROJECT_SOURCE_DIR}/tests)
