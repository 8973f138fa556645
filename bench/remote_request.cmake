# A remote session's request through a transport that answers at once, against
# copying the same bytes into a vector and back.
revurov_bench(remote_request revurov_engine)
target_include_directories(bench_remote_request PRIVATE ${PROJECT_SOURCE_DIR}/tests)
target_compile_options(bench_remote_request PRIVATE -Wno-mismatched-new-delete)
