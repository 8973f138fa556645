# Tokenizing 10^5 documents of 1 KiB with a category separator and
# lower-case mapping, against ICU's word break iterator plus u_strToLower.
find_package(ICU REQUIRED COMPONENTS uc i18n data)
revurov_bench(fulltext_tokens revurov_server_engines ICU::uc ICU::i18n)
target_include_directories(bench_fulltext_tokens PRIVATE ${PROJECT_SOURCE_DIR}/tests)
