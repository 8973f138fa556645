// A folder of its own under the temporary directory for one benchmark run,
// removed with everything in it when the run ends.
#pragma once

#include <filesystem>
#include <random>
#include <string>
#include <system_error>

namespace revurov::bench {

struct TempFolder {
  TempFolder() {
    std::random_device rd;
    path = std::filesystem::temp_directory_path() / ("revurov_bench_" + std::to_string(rd()));
    std::filesystem::create_directories(path);
  }
  ~TempFolder() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  std::filesystem::path path;
};

}  // namespace revurov::bench
