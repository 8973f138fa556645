#include "server/engines/bit_array_storage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "lowlevel/errors/error_codes.h"
#include "server/engines/startup.h"
#include "storage/segmented_blob_engine.h"
#include "support/fulltext_table.h"
#include "support/storage_fixture.h"
#include "support/test_size.h"

namespace revurov {
namespace {

using testing::ErrorCodeOf;
using testing::TestSize;
using testing::TFulltextShape;
using testing::TFulltextTable;

std::string Bytes(std::initializer_list<int> aBytes) {
  std::string s;
  for (int b : aBytes) s += static_cast<char>(b);
  return s;
}

std::string CountBytes(uint32_t aCount) {
  return Bytes({static_cast<int>(aCount & 0xFF), static_cast<int>((aCount >> 8) & 0xFF),
                static_cast<int>((aCount >> 16) & 0xFF), static_cast<int>(aCount >> 24)});
}

// The stored form of a set of bits in a BLOB of aLength bytes.
void LayoutInto(std::string& aOut, const std::set<uint32_t>& aBits, uint32_t aLength) {
  aOut = CountBytes(static_cast<uint32_t>(aBits.size()));
  aOut.resize(aLength, '\0');
  for (uint32_t bit : aBits) aOut[4 + bit / 8] = static_cast<char>(aOut[4 + bit / 8] | (1 << (bit % 8)));
}
std::string Layout(const std::set<uint32_t>& aBits, uint32_t aLength) {
  std::string s;
  LayoutInto(s, aBits, aLength);
  return s;
}

class BitArrayStorageTest : public ::testing::Test {
protected:
  TFulltextTable table;
  TnxBaseBitArrayStorageHandlerTableEngine& handler = table.Handler();
  TnxBaseTransaction& Trans() { return table.Trans(); }
  bool Exists(TnxBitArrayRef aRef) {
    uint32_t length = 0;
    try {
      return table.Blobs().GetBlobLength(&Trans(), aRef, {}, length) == 0;
    } catch (const EnxBaseException&) {
      return false;
    }
  }
};

TEST_F(BitArrayStorageTest, CreateNewStoresTheCountAndOneBit) {
  const TnxBitArrayRef zero = handler.CreateNew(Trans(), 0);
  EXPECT_EQ(table.RawBytes(zero), Bytes({1, 0, 0, 0, 1}));
  const TnxBitArrayRef nine = handler.CreateNew(Trans(), 9);
  EXPECT_EQ(table.RawBytes(nine), Bytes({1, 0, 0, 0, 0, 2}));
  EXPECT_NE(zero, nine);
}

TEST_F(BitArrayStorageTest, SetBitPastTheEndGrowsWithZeros) {
  const TnxBitArrayRef ref = handler.CreateNew(Trans(), 0);
  handler.SetBit(Trans(), ref, 100);
  const std::string bytes = table.RawBytes(ref);
  ASSERT_EQ(bytes.size(), 17u);
  EXPECT_EQ(bytes.substr(0, 5), Bytes({2, 0, 0, 0, 1}));
  EXPECT_EQ(bytes.substr(5, 11), std::string(11, '\0'));
  EXPECT_EQ(bytes[16], 16);
  // Inside the array nothing grows.
  handler.SetBit(Trans(), ref, 3);
  EXPECT_EQ(table.RawBytes(ref), Layout({0, 3, 100}, 17));
}

TEST_F(BitArrayStorageTest, ClearingTheLastSetBitDeletesTheArray) {
  const TnxBitArrayRef ref = handler.CreateNew(Trans(), 12);
  handler.SetBit(Trans(), ref, 40);
  EXPECT_FALSE(handler.ClearBit(Trans(), ref, 40));
  EXPECT_EQ(table.RawBytes(ref), Layout({12}, 10));
  EXPECT_TRUE(handler.ClearBit(Trans(), ref, 12));
  EXPECT_FALSE(Exists(ref));
}

// Every refusal comes before the first write: the array stays as it was.
TEST_F(BitArrayStorageTest, InconsistenciesAnswer9729AndChangeNothing) {
  struct Case {
    const char* name;
    std::string stored;  // written over a fresh array of bit 0 (5 bytes), then cut to its size
    bool set;            // SetBit, else ClearBit
    uint32_t bit;
  } cases[] = {
      {"set a set bit", Layout({0, 3}, 5), true, 3},
      {"clear a clear bit, count 1", Layout({0}, 5), false, 1},
      {"clear a clear bit, count 2", Layout({0, 3}, 6), false, 9},
      {"clear at the end", Layout({0}, 5), false, 8},
      {"clear past the end", Layout({0}, 5), false, 1000},
      {"count 0", CountBytes(0) + Bytes({1}), true, 4},
      {"count 0 on clear", CountBytes(0) + Bytes({1}), false, 0},
      {"count beyond the bits", CountBytes(9) + Bytes({0xFF}), false, 0},
      {"count at the bits, set inside", CountBytes(8) + Bytes({0x7F}), true, 7},
      {"count of a huge array", CountBytes(0xFFFFFFFF) + Bytes({1}), true, 1000},
      {"three bytes", Bytes({1, 0, 0}), true, 0},
      {"three bytes on clear", Bytes({1, 0, 0}), false, 0},
      {"empty", std::string(), true, 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const TnxBitArrayRef ref = handler.CreateNew(Trans(), 0);
    table.Blobs().Truncate(Trans(), ref, 0);
    if (!c.stored.empty()) table.WriteRaw(ref, 0, c.stored);
    const std::string before = table.RawBytes(ref);
    ASSERT_EQ(before, c.stored);
    const uint32_t code = ErrorCodeOf([&] {
      if (c.set)
        handler.SetBit(Trans(), ref, c.bit);
      else
        handler.ClearBit(Trans(), ref, c.bit);
    });
    EXPECT_EQ(code, nxeKeyViolation);
    EXPECT_EQ(table.RawBytes(ref), before);
  }
}

TEST_F(BitArrayStorageTest, RefusalsComeInTheHandlersOwnClass) {
  const TnxBitArrayRef ref = handler.CreateNew(Trans(), 5);
  try {
    handler.SetBit(Trans(), ref, 5);
    FAIL() << "no exception";
  } catch (const EnxSimpleBitArrayStorageHandlerTableEngineException& e) {
    EXPECT_EQ(e.ErrorCode(), nxeKeyViolation);
  }
}

// Random CreateNew, SetBit and ClearBit over 100 arrays against a set of
// bits per array; after every step the touched array's bytes are exactly
// the reference layout (count, zero gaps, growth only past the end). Clears
// slightly outweigh sets, so arrays keep emptying, going and coming back.
TEST_F(BitArrayStorageTest, RandomOperationsKeepTheReferenceLayout) {
  struct Model {
    TnxBitArrayRef ref = 0;
    bool exists = false;
    std::set<uint32_t> bits;
    uint32_t length = 0;
  };
  std::vector<Model> arrays(100);
  std::mt19937 rng(20261210);
  const int steps = TestSize(20000, 1000000);
  auto randomBit = [&] {
    const uint32_t r = rng() % 1000;
    if (r < 900) return static_cast<uint32_t>(rng() % 512);
    if (r < 998) return static_cast<uint32_t>(rng() % 8192);
    return static_cast<uint32_t>(rng() % 524288);
  };
  auto anyBit = [&](const Model& m) { return *std::next(m.bits.begin(), static_cast<long>(rng() % m.bits.size())); };
  // Reused, so that large arrays cost no allocation per step.
  testing::TStringStream stored;
  std::string expected;
  auto check = [&](const Model& m) {
    LayoutInto(expected, m.bits, m.length);
    uint32_t length = 0;
    stored.Bytes.clear();
    if (table.Blobs().GetBlobLength(&Trans(), m.ref, {}, length) != 0 ||
        table.Blobs().Read(&Trans(), m.ref, 0, length, {}, stored) != 0)
      return false;
    return stored.Bytes == expected;
  };
  int refused = 0, deleted = 0;
  for (int step = 0; step < steps; ++step) {
    Model& m = arrays[rng() % arrays.size()];
    const uint32_t op = rng() % 100;
    if (!m.exists) {
      const uint32_t bit = randomBit();
      m.ref = handler.CreateNew(Trans(), bit);
      m.exists = true;
      m.bits = {bit};
      m.length = 4 + bit / 8 + 1;
    } else if (op < 45) {
      // A set bit now and then, refused.
      const uint32_t bit = op < 5 ? anyBit(m) : randomBit();
      if (m.bits.count(bit)) {
        ASSERT_EQ(ErrorCodeOf([&] { handler.SetBit(Trans(), m.ref, bit); }), nxeKeyViolation);
        ++refused;
      } else {
        handler.SetBit(Trans(), m.ref, bit);
        m.bits.insert(bit);
        m.length = std::max(m.length, 4 + bit / 8 + 1);
      }
    } else {
      // Mostly a set bit; a random one now and then, refused when clear.
      const uint32_t bit = op < 95 ? anyBit(m) : randomBit();
      if (!m.bits.count(bit)) {
        ASSERT_EQ(ErrorCodeOf([&] { handler.ClearBit(Trans(), m.ref, bit); }), nxeKeyViolation);
        ++refused;
      } else {
        const bool gone = handler.ClearBit(Trans(), m.ref, bit);
        m.bits.erase(bit);
        ASSERT_EQ(gone, m.bits.empty());
        if (gone) {
          m.exists = false;
          ++deleted;
          ASSERT_FALSE(Exists(m.ref));
          continue;
        }
      }
    }
    ASSERT_TRUE(check(m)) << "step " << step;
    if (step % 500 == 499) table.Commit();
  }
  for (Model& m : arrays) {
    if (m.exists) {
      EXPECT_TRUE(check(m));
    }
  }
  EXPECT_GT(refused, 0);
  EXPECT_GT(deleted, 0);
}

// Bit arrays come from disk: whatever their bytes and length, every call
// either succeeds or answers 9729.
TEST_F(BitArrayStorageTest, MutatedArraysAnswerOnly9729) {
  std::mt19937 rng(7);
  const int rounds = TestSize(3000, 100000);
  int refused = 0, done = 0;
  for (int round = 0; round < rounds; ++round) {
    const TnxBitArrayRef ref = handler.CreateNew(Trans(), rng() % 200);
    for (int i = static_cast<int>(rng() % 4); i > 0; --i) {
      try {
        handler.SetBit(Trans(), ref, rng() % 200);
      } catch (const EnxBaseException&) {
      }
    }
    std::string bytes = table.RawBytes(ref);
    switch (rng() % 4) {
      case 0:  // flip bytes
        for (int i = static_cast<int>(rng() % 4) + 1; i > 0; --i)
          bytes[rng() % bytes.size()] = static_cast<char>(rng());
        break;
      case 1:  // cut
        bytes.resize(rng() % (bytes.size() + 1));
        break;
      case 2:  // extend with noise
        for (int i = static_cast<int>(rng() % 8) + 1; i > 0; --i) bytes += static_cast<char>(rng());
        break;
      default:  // a count of any size
        bytes.replace(0, 4, CountBytes(rng() % 3 == 0 ? static_cast<uint32_t>(rng()) : rng() % 300));
        break;
    }
    table.Blobs().Truncate(Trans(), ref, 0);
    if (!bytes.empty()) table.WriteRaw(ref, 0, bytes);
    bool gone = false;
    for (int op = 0; op < 6 && !gone; ++op) {
      const uint32_t bit = rng() % 256;
      try {
        if (rng() % 2)
          handler.SetBit(Trans(), ref, bit);
        else
          gone = handler.ClearBit(Trans(), ref, bit);
        ++done;
      } catch (const EnxBaseException& e) {
        ASSERT_EQ(e.ErrorCode(), nxeKeyViolation) << e.what();
        ++refused;
      }
    }
    if (!gone) {
      table.Blobs().DeleteBlob(Trans(), ref);
    }
    if (round % 200 == 199) table.Commit();
  }
  EXPECT_GT(refused, 0);
  EXPECT_GT(done, 0);
}

// ---- CreateNew when a write raises ----

// The segmented engine whose n-th write from now raises; it notes what
// it deleted.
class TFaultyBlobEngine : public TnxSegmentedBlobEngine {
  REVUROV_REGISTERABLE_RECORD(TFaultyBlobEngine, TnxSegmentedBlobEngine, TnxSubEngineClass, nullptr,
                              &TnxSegmentedBlobEngine::CheckValidDescriptor, &nxNewSubEngine<TFaultyBlobEngine>)
  using TnxSegmentedBlobEngine::TnxSegmentedBlobEngine;

  void Write(TnxBaseTransaction& aTrans, TnxBlobNr aBlobNr, uint32_t aOffset, uint32_t aLen,
             const void* aBlob) override {
    if (FailAt > 0 && --FailAt == 0) throw EnxBaseBlobEngineException(nxeCorruptFile);
    TnxSegmentedBlobEngine::Write(aTrans, aBlobNr, aOffset, aLen, aBlob);
  }
  void DeleteBlob(TnxBaseTransaction& aTrans, TnxBlobNr aBlobNr) override {
    Deleted.push_back(aBlobNr);
    TnxSegmentedBlobEngine::DeleteBlob(aTrans, aBlobNr);
  }

  int FailAt = 0;
  std::vector<TnxBlobNr> Deleted;
};

TEST(BitArrayCreateNew, DeletesItsBlobWhenAWriteRaises) {
  TnxServerEnginesStartupGuard startup;
  TFaultyBlobEngine::ClassInfo().Register();
  {
    TFulltextShape shape;
    shape.AfterCheck = [](TnxFulltextDescriptor& aFulltext) {
      static_cast<TnxHeapBlobDescriptor*>(aFulltext.BlobDescriptor())->SetBlobEngine(u"TFaultyBlobEngine");
    };
    TFulltextTable table(shape);
    auto& blobs = dynamic_cast<TFaultyBlobEngine&>(table.Blobs());
    // The count, the zero gap, the bit's byte.
    for (int failAt = 1; failAt <= 3; ++failAt) {
      SCOPED_TRACE(failAt);
      blobs.Deleted.clear();
      blobs.FailAt = failAt;
      EXPECT_EQ(ErrorCodeOf([&] { table.Handler().CreateNew(table.Trans(), 9); }), nxeCorruptFile);
      ASSERT_EQ(blobs.Deleted.size(), 1u);
      uint32_t length = 0;
      EXPECT_NE(ErrorCodeOf([&] {
                  if (const uint32_t r = blobs.GetBlobLength(&table.Trans(), blobs.Deleted[0], {}, length))
                    throw EnxBaseException(r);
                }),
                0u);
    }
    blobs.FailAt = 0;
    blobs.Deleted.clear();
    const TnxBitArrayRef ref = table.Handler().CreateNew(table.Trans(), 9);
    EXPECT_EQ(table.RawBytes(ref), Bytes({1, 0, 0, 0, 0, 2}));
    EXPECT_TRUE(blobs.Deleted.empty());
  }
  TFaultyBlobEngine::ClassInfo().Unregister();
}

// ---- the byte streams ----

TEST(BitArrayStreams, TakeTheirBytesInPiecesAndTellShortReads) {
  const uint8_t data[] = {0x78, 0x56, 0x34, 0x12, 0x99};
  TnxCountStream whole;
  whole.WriteBuffer(data, 5);
  EXPECT_EQ(whole.csCount, 0x12345678u);
  EXPECT_EQ(whole.Received, 5u);
  TnxCountStream pieces;
  pieces.WriteBuffer(data, 1);
  pieces.WriteBuffer(data + 1, 2);
  pieces.WriteBuffer(data + 3, 1);
  EXPECT_EQ(pieces.csCount, 0x12345678u);
  EXPECT_EQ(pieces.Received, 4u);
  TnxCountStream shortRead;
  shortRead.WriteBuffer(data, 2);
  EXPECT_EQ(shortRead.Received, 2u);

  TnxCurrentByteStream byte;
  byte.WriteBuffer(data + 4, 1);
  byte.WriteBuffer(data, 1);
  EXPECT_EQ(byte.cbsCurrentByte, 0x99);
  EXPECT_EQ(byte.Received, 2u);
}

}  // namespace
}  // namespace revurov
