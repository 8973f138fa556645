// What every fuzz target defines besides LLVMFuzzerTestOneInput: its seeds,
// taken from the golden inputs of the tests, and its one-time set-up (the
// library start-up it needs). Started with REVUROV_FUZZ_SEEDS=<folder>, a
// target writes its seeds into that existing folder, one file each, and
// ends; fuzz.sh seeds every corpus that way.
#pragma once

#include <string>
#include <vector>

namespace revurov::fuzz {

std::vector<std::string> Seeds();
void SetUp();

}  // namespace revurov::fuzz
