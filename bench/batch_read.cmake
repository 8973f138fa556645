# RecordGetBatch of 10^5 records of about 200 bytes in one request over
# loopback TCP through the remote engine, against plain-socket TCP moving
# the same request and batch stream bytes.
revurov_bench(batch_read revurov_engine)
target_include_directories(bench_batch_read PRIVATE ${PROJECT_SOURCE_DIR}/tests)
