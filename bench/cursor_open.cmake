# Opening a cursor on a 40-field table whose dictionary is cached ($234
# without dictionary, then $3FF) over loopback TCP through the remote engine,
# against a plain-socket ping-pong of the same request and reply bytes.
revurov_bench(cursor_open revurov_engine)
target_include_directories(bench_cursor_open PRIVATE ${PROJECT_SOURCE_DIR}/tests)
