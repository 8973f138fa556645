// Helpers of the transport tests: hex byte text, the library started for
// the compressor registry, and splitting a frame into header and body.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "lowlevel/startup.h"
#include "transport/heap_block.h"
#include "transport/wire_header.h"

namespace revurov::testing {

// "04030201 0D" -> bytes; blanks are for the reader.
inline std::vector<uint8_t> Hex(std::string_view aText) {
  std::vector<uint8_t> out;
  int high = -1;
  for (char c : aText) {
    int v;
    if (c >= '0' && c <= '9') v = c - '0';
    else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
    else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
    else continue;
    if (high < 0) {
      high = v;
    } else {
      out.push_back(static_cast<uint8_t>(high << 4 | v));
      high = -1;
    }
  }
  return out;
}

inline std::vector<uint8_t> Bytes(const TnxHeapBuffer& aFrame) {
  return {aFrame.Data(), aFrame.Data() + aFrame.Size()};
}

inline std::span<const uint8_t> BodyOf(const std::vector<uint8_t>& aFrame) {
  return std::span<const uint8_t>(aFrame).subspan(nxHeaderSize);
}

// The LZ4 compressors are registered while a test of this fixture runs.
class LibraryStarted : public ::testing::Test {
protected:
  void SetUp() override { nxLowLevelStartup(); }
  void TearDown() override { nxLowLevelShutdown(); }
};

}  // namespace revurov::testing
