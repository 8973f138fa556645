# A server-to-client request over a callback connection against a
# client-to-server request on the same socket-pair test medium.
revurov_bench(callbacks revurov_transport)
target_include_directories(bench_callbacks PRIVATE ${PROJECT_SOURCE_DIR}/tests)
