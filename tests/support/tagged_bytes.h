// The bytes a TnxWriter writes, and reading values back from bytes with a
// check that every byte was taken: shared by the tests of tagged formats.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <vector>

#include "lowlevel/streams/memory_stream.h"
#include "lowlevel/streams/tagged_stream.h"

namespace revurov::testing {

using TaggedBytes = std::vector<uint8_t>;

inline TaggedBytes Written(const std::function<void(TnxWriter&)>& write) {
  TnxMemoryStream s;
  {
    TnxWriter w(s);
    write(w);
  }
  const auto* p = s.ByteArray();
  return TaggedBytes(p, p + s.GetSize());
}

template <typename F>
auto ReadAll(const TaggedBytes& bytes, F read) {
  TnxStaticMemoryStream s(const_cast<uint8_t*>(bytes.data()), static_cast<int64_t>(bytes.size()));
  TnxReader r(s);
  auto value = read(r);
  EXPECT_EQ(r.BytesLeft(), 0);
  return value;
}

}  // namespace revurov::testing
