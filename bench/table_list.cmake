# The table list ($223, 50 names) over loopback TCP through the remote engine,
# against a plain-socket ping-pong of the same request and reply bytes.
revurov_bench(table_list revurov_engine)
target_include_directories(bench_table_list PRIVATE ${PROJECT_SOURCE_DIR}/tests)
