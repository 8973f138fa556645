# The client pool against a raw socket-pair ping-pong; the medium is the
# transport tests' socket-pair transport.
revurov_bench(client_pool revurov_transport)
target_include_directories(bench_client_pool PRIVATE ${PROJECT_SOURCE_DIR}/tests)
