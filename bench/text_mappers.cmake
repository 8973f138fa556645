# ShortString mapping routines against memcpy of the same bytes (one code
# page) and against the two raw ICU calls of a code-page change; NullString
# texts into Int32 against from_chars, German dates against strptime.
revurov_bench(text_mappers revurov_fieldmap)
