#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "fuzz/fuzz_seeds.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  revurov::fuzz::SetUp();
  const char* folder = std::getenv("REVUROV_FUZZ_SEEDS");
  if (!folder) return 0;
  const std::vector<std::string> seeds = revurov::fuzz::Seeds();
  for (size_t i = 0; i < seeds.size(); ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "/seed-%03zu", i);
    std::ofstream out(std::string(folder) + name, std::ios::binary | std::ios::trunc);
    out.write(seeds[i].data(), static_cast<std::streamsize>(seeds[i].size()));
    if (!out) {
      std::fprintf(stderr, "cannot write the seed %s%s\n", folder, name);
      std::exit(1);
    }
  }
  std::exit(0);
}
