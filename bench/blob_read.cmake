# Reading a 64 MiB blob through a remote cursor over loopback TCP (1 MiB
# snapshot chunks) against a raw bulk transfer of 64 MiB over a plain
# loopback socket.
revurov_bench(blob_read revurov_engine)
target_include_directories(bench_blob_read PRIVATE ${PROJECT_SOURCE_DIR}/tests)
