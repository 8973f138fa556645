# Double mapping routines against nearbyint with the same range test and
# std::to_chars with 15 significant digits.
revurov_bench(floating_mappers revurov_fieldmap)
