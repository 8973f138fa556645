# The shared-memory transport (pooled client and listener) against the TCP
# transport over loopback, both with the same echoing handler.
revurov_bench(shared_memory_transport revurov_transport)
