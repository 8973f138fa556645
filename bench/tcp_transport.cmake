# The TCP transport (pooled client and listener) against plain-socket peers
# on loopback.
revurov_bench(tcp_transport revurov_transport)
target_include_directories(bench_tcp_transport PRIVATE ${PROJECT_SOURCE_DIR}/tests)
