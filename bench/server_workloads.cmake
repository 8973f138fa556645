# The server workloads W1 to W12 in one binary, each against SQLite and,
# where it has a counterpart, LMDB (libsqlite3-dev, liblmdb-dev; bench.sh
# installs them). Every bench/server_workloads*.cpp is part of it; the
# peers' set-up is bench/workload_peers.h.
find_package(SQLite3)
find_library(REVUROV_LMDB_LIBRARY lmdb)
find_path(REVUROV_LMDB_INCLUDE lmdb.h)
if(SQLite3_FOUND AND REVUROV_LMDB_LIBRARY AND REVUROV_LMDB_INCLUDE)
  revurov_bench(server_workloads revurov_server SQLite::SQLite3 ${REVUROV_LMDB_LIBRARY})
  file(GLOB workload_srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/server_workloads_*.cpp)
  target_sources(bench_server_workloads PRIVATE ${workload_srcs})
  target_include_directories(bench_server_workloads PRIVATE ${PROJECT_SOURCE_DIR}/tests ${REVUROV_LMDB_INCLUDE})
endif()
