// A write-only stream that collects what is written into a std::string.
#pragma once

#include <cstdint>
#include <string>

#include "platform/stream.h"

namespace revurov::testing {

class TStringStream final : public platform::TStream {
public:
  std::string Bytes;
  int64_t Read(void*, int64_t) override { return 0; }
  int64_t Write(const void* aBuffer, int64_t aCount) override {
    Bytes.append(static_cast<const char*>(aBuffer), static_cast<size_t>(aCount));
    return aCount;
  }
  int64_t Seek(int64_t, platform::TSeekOrigin) override { return static_cast<int64_t>(Bytes.size()); }
};

}  // namespace revurov::testing
