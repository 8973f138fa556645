# 64-byte echoes through the listening side's dispatch against a raw echo
# loop on the completion queue; the medium is the transport tests'
# socket-pair transport.
revurov_bench(server_dispatch revurov_transport)
target_include_directories(bench_server_dispatch PRIVATE ${PROJECT_SOURCE_DIR}/tests)
