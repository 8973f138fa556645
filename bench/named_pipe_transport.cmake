# The named-pipe transport (pooled client and listener) against a plain
# local-socket ping-pong.
revurov_bench(named_pipe_transport revurov_transport)
target_include_directories(bench_named_pipe_transport PRIVATE ${PROJECT_SOURCE_DIR}/tests)
