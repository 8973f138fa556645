# One 8 KB heap block churned by a fixed random sequence of 8-400 byte
# allocations, growths and frees, against glibc malloc/realloc/free of the
# same sequence; the block's mean payload fill is printed.
revurov_bench(block_heap revurov_storage)
