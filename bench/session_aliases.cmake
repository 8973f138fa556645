# GetAliasNamesEx of the session component with 1,000 distinct aliases over
# loopback TCP, against a plain-socket ping-pong of the same request and
# reply bytes in one round trip.
revurov_bench(session_aliases revurov_client)
target_include_directories(bench_session_aliases PRIVATE ${PROJECT_SOURCE_DIR}/tests)
