# The cache-keyless B*-tree on a cache table against the keyless tree on a
# plain table of the same records (inserts, point lookups).
revurov_bench(cache_keyless_bstar_tree revurov_index)
target_include_directories(bench_cache_keyless_bstar_tree PRIVATE ${PROJECT_SOURCE_DIR}/tests)
