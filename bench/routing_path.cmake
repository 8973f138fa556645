# Routing paths through the writer and reader interfaces against the same
# calls on the tagged writer and reader.
revurov_bench(routing_path revurov_remoting)
