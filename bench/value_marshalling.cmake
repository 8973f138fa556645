# Mixed call arguments through the typed-value routines against the same
# values written and read by hand on the tagged writer and reader.
revurov_bench(value_marshalling revurov_remoting)
