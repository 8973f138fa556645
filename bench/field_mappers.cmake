# Integer mapping routines against hand-written loops doing the same range
# test, and std::to_chars with widening.
revurov_bench(field_mappers revurov_fieldmap)
