# MapRecord of 10^6 records of 20 fields (200 bytes) between two server
# tables of equal layout, against a hand-written loop copying the same
# fields with their null flags.
revurov_bench(record_mapper revurov_fieldmap revurov_server)
