# The record diff compressor against memcmp and against LZ4 of the XOR delta.
revurov_bench(diff_compressor revurov_dictionary)
