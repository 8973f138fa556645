# Block reads along a Zipf trace over a file four times the cache budget:
# our cache against pread of the same blocks; the hit rate against an exact
# LRU of the same size and the peak RSS against the budget are printed.
revurov_bench(cache_policy revurov_storage)
target_include_directories(bench_cache_policy PRIVATE ${PROJECT_SOURCE_DIR}/tests)
