# 1 KiB written into each of 10^4 existing blobs and the records posted,
# through a cursor whose client caches blobs against a passthrough cursor.
revurov_bench(caching_blob_write revurov_server)
