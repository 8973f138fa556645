# Opening a database component by alias, listing its 1,000 table names and
# closing it, over loopback TCP, against a plain-socket ping-pong with the
# same round trips and the same request bytes.
revurov_bench(database_open revurov_client)
target_include_directories(bench_database_open PRIVATE ${PROJECT_SOURCE_DIR}/tests)
