# RecordGetNext over 10^4 records of about 200 bytes, one round trip each,
# over loopback TCP through the remote engine, against a plain-socket
# ping-pong of the same request and reply bytes.
revurov_bench(record_get revurov_engine)
target_include_directories(bench_record_get PRIVATE ${PROJECT_SOURCE_DIR}/tests)
