# Discovery answers of one server broadcast thread against a plain
# recvfrom/sendto answer loop.
revurov_bench(tcp_discovery revurov_transport)
