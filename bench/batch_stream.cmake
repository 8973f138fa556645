# Walking a batch stream with Reset and Next against a hand-written loop that
# steps over the same size words.
revurov_bench(batch_stream revurov_engine)
target_include_directories(bench_batch_stream PRIVATE ${PROJECT_SOURCE_DIR}/tests)
