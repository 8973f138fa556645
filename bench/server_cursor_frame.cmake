# GetIndexID through the server base cursor's whole frame (deadline,
# session lock, guard, worker, unlock) against a direct virtual call plus
# an uncontended std::mutex lock and unlock.
revurov_bench(server_cursor_frame revurov_server)
target_include_directories(bench_server_cursor_frame PRIVATE ${PROJECT_SOURCE_DIR}/tests)
