# 10^6 SetBit calls on random bits of 1,000 bit arrays against the same
# length, byte and count reads and writes made directly on the BLOB engine.
revurov_bench(bit_array_storage revurov_server_engines)
target_include_directories(bench_bit_array_storage PRIVATE ${PROJECT_SOURCE_DIR}/tests)
