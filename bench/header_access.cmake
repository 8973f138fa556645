# Alternating block allocations and releases through the header accessor
# against the buffer manager's AddBlock alone.
revurov_bench(header_access revurov_storage)
target_include_directories(bench_header_access PRIVATE ${PROJECT_SOURCE_DIR}/tests)
