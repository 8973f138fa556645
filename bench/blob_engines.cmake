# A 64 MiB BLOB written and read in 64 KiB pieces, and 10^4 random 4 KiB
# reads inside it, through the segmented BLOB engine against SQLite's
# incremental BLOB I/O with the same page size and cache (libsqlite3-dev).
find_package(SQLite3)
if(SQLite3_FOUND)
  revurov_bench(blob_engines revurov_storage SQLite::SQLite3)
  target_include_directories(bench_blob_engines PRIVATE ${PROJECT_SOURCE_DIR}/tests)
endif()
