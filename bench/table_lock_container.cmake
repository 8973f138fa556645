# An uncontended record lock and release pair against std::mutex around a
# std::set<int64_t> insert and erase; a read lock pair against
# std::shared_mutex. Cursors come from the tests' memory engine.
revurov_bench(table_lock_container revurov_server)
target_include_directories(bench_table_lock_container PRIVATE ${PROJECT_SOURCE_DIR}/tests)
