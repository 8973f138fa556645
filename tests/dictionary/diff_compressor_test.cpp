#include "dictionary/diff_compressor.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "lowlevel/startup.h"
#include "platform/rtl_exception.h"

namespace revurov {
namespace {

using Bytes = std::vector<uint8_t>;

class DiffCompressor : public ::testing::Test {
protected:
  TnxLowLevelStartupGuard library;

  static TnxDiffCompressorInfoRef Info(uint32_t length) {
    return TnxDiffCompressorInfoRef::Adopt(nxNewDiffCompressorInfo(length));
  }
};

TEST_F(DiffCompressor, SizesTheBitmapAndTargetFromTheRecordLength) {
  struct Case {
    uint32_t length;
    uint16_t source, bitsWords, target;
  };
  const Case cases[] = {{1, 1, 1, 0}, {4, 1, 1, 0}, {10, 3, 1, 2}, {128, 32, 1, 31},
                        {129, 33, 2, 31}, {1024, 256, 8, 248}, {65536, 16384, 512, 15872}};
  for (const auto& c : cases) {
    auto info = Info(c.length);
    EXPECT_EQ(info->dciSourceWord32Count, c.source) << c.length;
    EXPECT_EQ(info->dciBitsLengthWord32s, c.bitsWords) << c.length;
    EXPECT_EQ(info->dciBitsLengthByte8s, c.bitsWords * 4) << c.length;
    EXPECT_EQ(info->dciTargetWord32Count, c.target) << c.length;
    EXPECT_EQ(info->dciRefCount, 1);
    for (int i = 0; i < info->dciBitsLengthByte8s; ++i) EXPECT_EQ(info->dciRequiredBits[i], 0);
  }
  EXPECT_THROW(nxNewDiffCompressorInfo(0), platform::ERangeError);
  EXPECT_THROW(nxNewDiffCompressorInfo(65537), platform::ERangeError);
}

TEST_F(DiffCompressor, TenByteRecordGivesUpAtTwoChangedWords) {
  auto info = Info(10);
  const Bytes old(10, 0);
  Bytes changed = old, out(10, 0xEE);
  EXPECT_EQ(nxDiffCompress(*info, old.data(), changed.data(), out.data()), 0u);
  changed[9] = 1;  // the last, half word
  ASSERT_EQ(nxDiffCompress(*info, old.data(), changed.data(), out.data()), 8u);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 8), (Bytes{4, 0, 0, 0, 0, 1, 0, 0}));
  changed[0] = 1;
  EXPECT_EQ(nxDiffCompress(*info, old.data(), changed.data(), out.data()), nxDiffNotSmaller);
}

TEST_F(DiffCompressor, RequiredWordsAlwaysTravel) {
  auto info = Info(64);
  Bytes a(64, 0), b(64, 0);
  b[20] = 1;  // word 5
  nxDiffSetRequiredWords(*info, a.data(), b.data());
  EXPECT_EQ(info->dciRequiredBits[0], 0x20);
  Bytes out(64);
  const Bytes same(64, 7);
  ASSERT_EQ(nxDiffCompress(*info, same.data(), same.data(), out.data()), 8u);
  EXPECT_EQ(out[0], 0x20);
  EXPECT_EQ(Bytes(out.begin() + 4, out.begin() + 8), Bytes(4, 7));
  // Setting them again clears the old marks first.
  nxDiffSetRequiredWords(*info, a.data(), a.data());
  EXPECT_EQ(nxDiffCompress(*info, same.data(), same.data(), out.data()), 0u);
}

TEST_F(DiffCompressor, OneWordRecordNeverGetsALongerDifference) {
  auto info = Info(3);
  const Bytes old{1, 2, 3};
  Bytes changed{1, 2, 4}, out(3);
  EXPECT_EQ(nxDiffCompress(*info, old.data(), changed.data(), out.data()), nxDiffNotSmaller);
  EXPECT_EQ(nxDiffCompress(*info, old.data(), old.data(), out.data()), 0u);
}

// Every length 1-300, records held in buffers of exactly that length (the
// sanitizer build sees any access beyond), random pairs from unchanged to
// wholly changed.
TEST_F(DiffCompressor, RoundTripsRandomRecordPairsOfEveryLength) {
  std::mt19937 rng(16);
  for (uint32_t length = 1; length <= 300; ++length) {
    auto info = Info(length);
    for (int round = 0; round < 40; ++round) {
      auto old = std::make_unique<uint8_t[]>(length);
      auto changed = std::make_unique<uint8_t[]>(length);
      for (uint32_t i = 0; i < length; ++i) old[i] = uint8_t(rng());
      std::memcpy(changed.get(), old.get(), length);
      const uint32_t edits = rng() % (length / 4 + 2) * (round % 4 == 3 ? 4 : 1);
      for (uint32_t e = 0; e < edits; ++e) changed[rng() % length] = uint8_t(rng());
      if (round == 5) {
        // Required words travel even when unchanged.
        auto other = std::make_unique<uint8_t[]>(length);
        std::memcpy(other.get(), old.get(), length);
        other[rng() % length] ^= 0x5A;
        nxDiffSetRequiredWords(*info, old.get(), other.get());
      }
      auto diff = std::make_unique<uint8_t[]>(length);
      const uint32_t n = nxDiffCompress(*info, old.get(), changed.get(), diff.get());
      const bool same = std::memcmp(old.get(), changed.get(), length) == 0;
      if (n == nxDiffNotSmaller) continue;
      ASSERT_LT(n, length) << length;
      if (n == 0) {
        ASSERT_TRUE(same) << length;
        continue;
      }
      auto rebuilt = std::make_unique<uint8_t[]>(length);
      std::memset(rebuilt.get(), 0xCC, length);
      nxDiffDecompress(*info, old.get(), diff.get(), rebuilt.get());
      ASSERT_EQ(std::memcmp(rebuilt.get(), changed.get(), length), 0) << length << " round " << round;
      // In place over the old record as well.
      nxDiffDecompress(*info, old.get(), diff.get(), old.get());
      ASSERT_EQ(std::memcmp(old.get(), changed.get(), length), 0) << length;
    }
  }
}

TEST_F(DiffCompressor, SharedReferencesFreeWithTheLast) {
  TnxDiffCompressorInfo* info = nxNewDiffCompressorInfo(8);
  TnxDiffCompressorInfo* second = nxDiffCompressorInfoAddRef(info);
  EXPECT_EQ(second, info);
  EXPECT_EQ(info->dciRefCount, 2);
  nxReleaseDiffCompressorInfo(second);
  EXPECT_EQ(second, nullptr);
  EXPECT_EQ(info->dciRefCount, 1);
  nxReleaseDiffCompressorInfo(second);  // null: nothing
  {
    TnxDiffCompressorInfoRef a = TnxDiffCompressorInfoRef::Adopt(info);
    TnxDiffCompressorInfoRef b = a;
    EXPECT_EQ(a->dciRefCount, 2);
  }
  EXPECT_EQ(nxDiffCompressorInfoAddRef(nullptr), nullptr);
}

}  // namespace
}  // namespace revurov
