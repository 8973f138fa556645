# The merge sort engine: a million 100-byte records sorted by an Int32 and a
# ShortString[20] with runs in result-set tables, against SQLite's ORDER BY
# of the same columns without an index (libsqlite3-dev; bench.sh installs
# it); and nine thousand records sorted in memory against std::sort.
find_package(SQLite3)
if(SQLite3_FOUND)
  revurov_bench(sort_engine revurov_server SQLite::SQLite3)
endif()
