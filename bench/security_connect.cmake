# The security manager's reconnection (all transports stopped, session,
# remote engine, TCP transport and database started again on the server
# shown) plus the filling of both table lists with 1,000 names, over
# loopback TCP, against a plain-socket ping-pong with the same round trips
# and request bytes on a fresh connection per cycle. Needs the window.
if(TARGET tesmira_gui)
  revurov_bench(security_connect tesmira_gui)
  target_include_directories(bench_security_connect PRIVATE ${PROJECT_SOURCE_DIR}/tests)
endif()
