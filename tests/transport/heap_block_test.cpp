#include "transport/heap_block.h"

#include <gtest/gtest.h>

#include <cstring>

#include "transport_test_support.h"

namespace revurov {
namespace {

class HeapBuffer : public testing::LibraryStarted {};

// A lent block is the handler's until it comes back; the buffer must then
// use it again, not allocate past it or believe it is larger.
TEST_F(HeapBuffer, ALentBlockComesBackWithItsCapacity) {
  TnxHeapBuffer buffer;
  buffer.Resize(1000);
  uint8_t* const block = buffer.Data();
  std::memset(block, 0x5A, 1000);
  TnxHeapBlock lent = buffer.Lend();
  EXPECT_EQ(lent.get(), block);
  EXPECT_EQ(buffer.Data(), nullptr);
  EXPECT_EQ(buffer.Size(), 0u);
  EXPECT_EQ(buffer.Capacity(), 0u) << "nothing to write into while lent";
  buffer.Return(std::move(lent));
  EXPECT_EQ(buffer.Capacity(), 1000u);
  buffer.Resize(800);
  EXPECT_EQ(buffer.Data(), block) << "reused";
  buffer.Resize(1001);
  EXPECT_NE(buffer.Data(), nullptr);
  EXPECT_EQ(buffer.Capacity(), 1001u);

  TnxHeapBuffer empty;
  empty.Return(empty.Lend());
  EXPECT_EQ(empty.Capacity(), 0u) << "an empty buffer lends nothing and gets nothing back";
}

TEST_F(HeapBuffer, OnlyABlockAboveTheLimitIsReleased) {
  const struct {
    const char* name;
    size_t size;
    size_t kept;
  } rows[] = {
      {"the standard size", nxStdInBufferSize, nxStdInBufferSize},
      {"one byte more", nxStdInBufferSize + 1, 0},
      {"a large one", 1 << 20, 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    TnxHeapBuffer buffer;
    buffer.Resize(row.size);
    buffer.Resize(10);
    buffer.ReleaseAbove(nxStdInBufferSize);
    EXPECT_EQ(buffer.Capacity(), row.kept);
    EXPECT_EQ(buffer.Size(), row.kept ? 10u : 0u);
  }
}

}  // namespace
}  // namespace revurov
