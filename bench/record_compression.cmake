# The "Smart" record form against LZ4 through the library's compressor,
# compress and decompress of the same mixed records; stored bytes per
# record of both are printed.
revurov_bench(record_compression revurov_storage)
