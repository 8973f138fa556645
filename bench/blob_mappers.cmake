# A 64 MiB memo converted from code page 1252 to 1250 through the BLOB
# mapper between two server cursors, against two raw ucnv_convertEx calls
# (1252 to UTF-16, UTF-16 to 1250) over the same bytes in memory.
find_package(ICU REQUIRED COMPONENTS uc data)
revurov_bench(blob_mappers revurov_server revurov_fieldmap ICU::uc)
