# A call through class proxy, interface proxy, class stub and interface stub
# of the one-method echo test pair (64 bytes) against a plain request and
# reply of the same 64 bytes on the same TCP session.
revurov_bench(remote_objects revurov_remoting)
target_include_directories(bench_remote_objects PRIVATE ${PROJECT_SOURCE_DIR}/tests)
