# Renaming a table of three files (main, index, BLOB) through the database
# against SQLite's ALTER TABLE ... RENAME TO in a file database with
# synchronous=FULL (libsqlite3-dev; bench.sh installs it).
find_package(SQLite3)
if(SQLite3_FOUND)
  revurov_bench(table_rename revurov_server SQLite::SQLite3)
endif()
