# liblz4 comes with revurov_lowlevel.
revurov_bench(lz4_plugin revurov_lowlevel)
