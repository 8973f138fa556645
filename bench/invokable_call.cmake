# A call of Format(Integer, 32-character string, Double) -> string through
# the invokable proxy and stub against a plain request and reply of the
# same tagged values on the same TCP session.
revurov_bench(invokable_call revurov_remoting)
target_include_directories(bench_invokable_call PRIVATE ${PROJECT_SOURCE_DIR}/tests)
