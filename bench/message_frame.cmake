# liblz4 comes with revurov_lowlevel.
revurov_bench(message_frame revurov_transport)
