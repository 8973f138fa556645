# A call through a channel entrance and exit into a sink that echoes 64
# bytes against a plain request and reply of the same 64 bytes on the same
# TCP session.
revurov_bench(remoting_channels revurov_remoting)
target_include_directories(bench_remoting_channels PRIVATE ${PROJECT_SOURCE_DIR}/tests)
