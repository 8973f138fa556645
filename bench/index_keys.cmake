# InsertKeys + DeleteKeys of 10^6 records over three indices of the test
# index engine, against building the same keys with BuildKey and putting
# them into three std::multisets directly.
revurov_bench(index_keys revurov_index)
target_include_directories(bench_index_keys PRIVATE ${PROJECT_SOURCE_DIR}/tests)
