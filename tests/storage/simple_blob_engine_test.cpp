#include "storage/simple_blob_engine.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "lowlevel/errors/error_codes.h"
#include "platform/endian.h"
#include "storage/block_access.h"
#include "storage/header_access.h"
#include "support/blob_table.h"

namespace revurov {
namespace {

using platform::LoadU16;
using platform::LoadU32;
using testing::ErrorCodeOf;
using testing::TBlobTable;

class SimpleBlobTest : public ::testing::Test {
protected:
  explicit SimpleBlobTest(int32_t aVersion = 0) : b_(u"nx1xSimple", 96, aVersion) {}

  TnxSimpleBlobEngine& Engine() { return static_cast<TnxSimpleBlobEngine&>(b_.Engine()); }
  uint32_t Data() { return b_.UsableBlockSize() - nxbbData; }
  uint32_t UsedBlocks() {
    auto header = b_.Table().Access().HeaderAccess(&b_.Trans(), false);
    return header->UsedBlocks();
  }
  // (number, used count) of each block of the chain.
  std::vector<std::pair<uint32_t, uint32_t>> Chain(TnxBlobNr aNr) {
    std::vector<std::pair<uint32_t, uint32_t>> chain;
    uint32_t n = static_cast<uint32_t>(aNr);
    while (n != 0xFFFFFFFFu && chain.size() < 10000) {
      TnxBlockGuard guard;
      guard.Hold(b_.Table().Access().GetBlock(&b_.Trans(), n, 0, false, guard.ReleaseMethod()));
      chain.emplace_back(n, LoadU16(guard.Block() + nxbbUsed));
      n = LoadU32(guard.Block() + nxbbNext);
    }
    return chain;
  }
  void Patch(uint32_t aBlock, const std::function<void(uint8_t*)>& aChange) {
    TnxBlockGuard guard;
    guard.Hold(b_.Table().Access().GetBlock(&b_.Trans(), aBlock, 0, true, guard.ReleaseMethod()));
    aChange(guard.Block());
  }
  static std::string Bytes(size_t aLen, char aSeed = 'a') {
    std::string s(aLen, '\0');
    for (size_t i = 0; i < aLen; ++i) s[i] = static_cast<char>(aSeed + i * 7 % 53);
    return s;
  }

  TBlobTable b_;
};

TEST_F(SimpleBlobTest, ANewBlobIsOneEmptyBlock) {
  const TnxBlobNr nr = b_.Add();
  EXPECT_EQ(nr >> 32, 0);
  EXPECT_EQ(Chain(nr), (std::vector<std::pair<uint32_t, uint32_t>>{{static_cast<uint32_t>(nr), 0}}));
  EXPECT_EQ(b_.Length(nr), 0u);
  uint32_t result = 1;
  EXPECT_EQ(b_.ReadRange(nr, 0, 10, &result), "");
  EXPECT_EQ(result, 0u);
}

TEST_F(SimpleBlobTest, BlocksFillBeforeTheNextIsTaken) {
  const TnxBlobNr nr = b_.Add();
  const std::string full = Bytes(Data());
  b_.Write(nr, 0, full);
  ASSERT_EQ(Chain(nr).size(), 1u);
  EXPECT_EQ(Chain(nr)[0].second, Data());
  b_.Write(nr, Data(), "z");
  const auto chain = Chain(nr);
  ASSERT_EQ(chain.size(), 2u);
  EXPECT_EQ(chain[1].second, 1u);
  EXPECT_EQ(b_.Length(nr), Data() + 1);
  EXPECT_EQ(b_.ReadRange(nr, Data() - 2, 10), full.substr(Data() - 2) + "z");
  EXPECT_EQ(b_.ReadRange(nr, Data() + 1, 10), "");
  EXPECT_EQ(b_.ReadRange(nr, Data() + 50, 10), "");
}

// Writes that end before the BLOB does keep the bytes after them.
TEST_F(SimpleBlobTest, WritesInsideLandAtTheirOffsetsAndKeepTheRest) {
  const TnxBlobNr nr = b_.Add();
  std::string expected = Bytes(3 * Data() + 100);
  b_.Write(nr, 0, expected);
  struct Case {
    uint32_t Offset;
    uint32_t Len;
  } cases[] = {{0, 5}, {10, 20}, {Data() - 3, 6}, {Data(), 1}, {Data() + 7, 2 * Data()}, {3 * Data() + 90, 30}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Offset);
    const std::string piece = Bytes(c.Len, 'Q');
    b_.Write(nr, c.Offset, piece);
    if (c.Offset + c.Len > expected.size()) expected.resize(c.Offset + c.Len);
    expected.replace(c.Offset, c.Len, piece);
    EXPECT_EQ(b_.Length(nr), expected.size());
    EXPECT_EQ(b_.ReadAll(nr), expected);
  }
}

TEST_F(SimpleBlobTest, TruncatingKeepsTheBlocksThatHoldTheRest) {
  const TnxBlobNr nr = b_.Add();
  const std::string bytes = Bytes(3 * Data() + 5);
  b_.Write(nr, 0, bytes);
  const uint32_t used = UsedBlocks();
  Engine().Truncate(b_.Trans(), nr, static_cast<uint32_t>(bytes.size()));
  EXPECT_EQ(Chain(nr).size(), 4u);
  Engine().Truncate(b_.Trans(), nr, 2 * Data());
  auto chain = Chain(nr);
  ASSERT_EQ(chain.size(), 2u);
  EXPECT_EQ(chain[1].second, Data());
  EXPECT_EQ(b_.ReadAll(nr), bytes.substr(0, 2 * Data()));
  Engine().Truncate(b_.Trans(), nr, 0);
  EXPECT_EQ(Chain(nr).size(), 1u);
  EXPECT_EQ(b_.Length(nr), 0u);
  EXPECT_EQ(UsedBlocks(), used);
  EXPECT_EQ(ErrorCodeOf([&] { Engine().Truncate(b_.Trans(), nr, 1); }), nxeInvalidBlobLength);
  b_.Write(nr, 0, "again");
  EXPECT_EQ(b_.ReadAll(nr), "again");
}

TEST_F(SimpleBlobTest, FreeBlobDeletesOnlyEmptyBlobs) {
  const TnxBlobNr empty = b_.Add();
  const TnxBlobNr written = b_.Add();
  b_.Write(written, 0, "x");
  EXPECT_FALSE(Engine().FreeBlob(&b_.Trans(), written));
  EXPECT_EQ(b_.ReadAll(written), "x");
  EXPECT_TRUE(Engine().FreeBlob(&b_.Trans(), empty));
  EXPECT_NE(ErrorCodeOf([&] { b_.Length(empty); }), 0u);
}

TEST_F(SimpleBlobTest, FileBlobsAndLinksRefuseChangesAndLongNames) {
  TnxBlobNr file = 0;
  TnxBlobNr link = 0;
  Engine().AddFileBlob(b_.Trans(), u"pic.bin", file);
  Engine().AddBlobLink(b_.Trans(), u"Orders", 99, link);
  std::u16string name;
  TnxBlobNr source = 0;
  EXPECT_TRUE(Engine().IsFileBlob(&b_.Trans(), file, name));
  EXPECT_EQ(name, u"pic.bin");
  EXPECT_TRUE(Engine().IsBlobLink(&b_.Trans(), link, name, source));
  EXPECT_EQ(name, u"Orders");
  EXPECT_EQ(source, 99);
  for (TnxBlobNr nr : {file, link}) {
    EXPECT_EQ(ErrorCodeOf([&] { b_.Write(nr, 0, "x"); }), nxeReadOnlyField);
    EXPECT_EQ(ErrorCodeOf([&] { Engine().Truncate(b_.Trans(), nr, 0); }), nxeReadOnlyField);
    EXPECT_FALSE(Engine().FreeBlob(&b_.Trans(), nr));
  }
  // The link's name and number are unchanged.
  EXPECT_TRUE(Engine().IsBlobLink(&b_.Trans(), link, name, source));
  EXPECT_EQ(name, u"Orders");
  EXPECT_EQ(source, 99);

  const uint32_t used = UsedBlocks();
  TnxBlobNr nr = 0;
  EXPECT_EQ(ErrorCodeOf([&] { Engine().AddFileBlob(b_.Trans(), std::u16string(Data() - 1, u'f'), nr); }),
            nxeInvalidParameter);
  EXPECT_EQ(ErrorCodeOf([&] { Engine().AddBlobLink(b_.Trans(), std::u16string(Data() - 11, u't'), 1, nr); }),
            nxeInvalidParameter);
  EXPECT_EQ(UsedBlocks(), used);
  Engine().AddFileBlob(b_.Trans(), std::u16string(Data() - 2, u'f'), nr);
  EXPECT_TRUE(Engine().IsFileBlob(&b_.Trans(), nr, name));
  EXPECT_EQ(name.size(), Data() - 2);
}

TEST_F(SimpleBlobTest, EndsPastTheLargestLengthAreRefused) {
  const TnxBlobNr nr = b_.Add();
  b_.Write(nr, 0, "ab");
  EXPECT_EQ(ErrorCodeOf([&] { Engine().Write(b_.Trans(), nr, 2, 2147483646u, "x"); }), nxeBlobTooLarge);
  EXPECT_EQ(ErrorCodeOf([&] { Engine().Write(b_.Trans(), nr, 2, 0xFFFFFFFFu, "x"); }), nxeBlobTooLarge);
  EXPECT_EQ(ErrorCodeOf([&] { b_.Write(nr, 3, "x"); }), nxeInvalidBlobOffset);
  EXPECT_EQ(b_.ReadAll(nr), "ab");
}

TEST_F(SimpleBlobTest, NumbersWithoutABlockAreRefusedByEveryOperation) {
  const TnxBlobNr zero = TnxBlobNr{5} << 32;
  std::u16string name;
  TnxBlobNr source = 0;
  uint32_t length = 0;
  const std::function<void()> calls[] = {
      [&] { Engine().GetBlobLength(&b_.Trans(), zero, {}, length); },
      [&] { b_.ReadRange(zero, 0, 1); },
      [&] { b_.Write(zero, 0, "x"); },
      [&] { Engine().Truncate(b_.Trans(), zero, 0); },
      [&] { Engine().DeleteBlob(b_.Trans(), zero); },
      [&] { Engine().FreeBlob(&b_.Trans(), zero); },
      [&] { Engine().IsFileBlob(&b_.Trans(), zero, name); },
      [&] { Engine().IsBlobLink(&b_.Trans(), zero, name, source); },
  };
  for (const auto& call : calls) EXPECT_EQ(ErrorCodeOf(call), nxeInvalidBlobHandle);
  EXPECT_EQ(ErrorCodeOf([&] { b_.ReadRange(zero, 0, 0); }), 0u);
  EXPECT_EQ(ErrorCodeOf([&] { b_.ReadRange(TnxBlobNr{0x7FFFFFFF}, 0, 1); }), nxeInvalidBlockNumber);
}

TEST_F(SimpleBlobTest, ARaisedNumberReachesTheSameBlob) {
  TnxBlobNr nr = b_.Add();
  b_.Write(nr, 0, "counted");
  const TnxBlobNr before = nr;
  Engine().IncBlobNr(nr);
  EXPECT_EQ(nr, before + (TnxBlobNr{1} << 32));
  EXPECT_EQ(b_.ReadAll(nr), "counted");
  nr = static_cast<TnxBlobNr>(0xFFFFFFFF00000000ull | static_cast<uint64_t>(before));
  Engine().IncBlobNr(nr);
  EXPECT_EQ(nr, before);
}

class OldSimpleBlobTest : public SimpleBlobTest {
protected:
  OldSimpleBlobTest() : SimpleBlobTest(47000) {}
};

TEST_F(OldSimpleBlobTest, OldFilesKeepTheNumber) {
  TnxBlobNr nr = b_.Add();
  Engine().IncBlobNr(nr);
  EXPECT_EQ(nr >> 32, 0);
  EXPECT_EQ(Engine().bbeBlobNrMask, -1);
}

struct DamageCase {
  const char* What;
  bool InFirst;  // the first block is changed, else the second
  std::function<void(uint8_t*, uint32_t aFirst, uint32_t aSelf, uint32_t aData)> Change;
  uint32_t Read, Write, Delete;
};

// Chains from disk are walked with bounds: each damage gives its code.
TEST_F(SimpleBlobTest, DamagedChainsGiveCodesNotLoops) {
  using platform::StoreU16;
  using platform::StoreU32;
  const DamageCase cases[] = {
      {"loop to itself", false, [](uint8_t* b, uint32_t, uint32_t self, uint32_t) { StoreU32(b + nxbbNext, self); },
       nxeCorruptFile, nxeCorruptFile, nxeCorruptFile},
      {"loop to the start", false,
       [](uint8_t* b, uint32_t first, uint32_t, uint32_t) { StoreU32(b + nxbbNext, first); }, nxeCorruptFile,
       nxeCorruptFile, nxeCorruptFile},
      {"next block 0", false, [](uint8_t* b, uint32_t, uint32_t, uint32_t) { StoreU32(b + nxbbNext, 0); },
       nxeCorruptFile, nxeCorruptFile, nxeCorruptFile},
      {"next outside the file", false,
       [](uint8_t* b, uint32_t, uint32_t, uint32_t) { StoreU32(b + nxbbNext, 999999); }, nxeInvalidBlockNumber,
       nxeInvalidBlockNumber, nxeInvalidBlockNumber},
      {"used count past the block", false,
       [](uint8_t* b, uint32_t, uint32_t, uint32_t d) { StoreU16(b + nxbbUsed, static_cast<uint16_t>(d + 1)); },
       nxeCorruptFile, nxeCorruptFile, nxeCorruptFile},
      {"signature", false, [](uint8_t* b, uint32_t, uint32_t, uint32_t) { b[0] = 'X'; }, nxeBlobError, nxeBlobError,
       nxeBlobError},
      // The used counts end before the length: reading misses bytes, while
      // appending where the counts end and deleting are still sound.
      {"length past the chain", true,
       [](uint8_t* b, uint32_t, uint32_t, uint32_t d) { StoreU32(b + nxbbLength, 9 * d); }, nxeCorruptFile, 0, 0},
  };
  for (const DamageCase& c : cases) {
    SCOPED_TRACE(c.What);
    const TnxBlobNr nr = b_.Add();
    b_.Write(nr, 0, Bytes(2 * Data() + 3));
    b_.Commit();
    const auto chain = Chain(nr);
    const uint32_t target = c.InFirst ? chain[0].first : chain[1].first;
    Patch(target, [&](uint8_t* b) { c.Change(b, static_cast<uint32_t>(nr), target, Data()); });
    EXPECT_EQ(ErrorCodeOf([&] { b_.ReadRange(nr, 0, 9 * Data()); }), c.Read);
    EXPECT_EQ(ErrorCodeOf([&] { b_.Write(nr, 2 * Data() + 3, "x"); }), c.Write);
    EXPECT_EQ(ErrorCodeOf([&] { Engine().DeleteBlob(b_.Trans(), nr); }), c.Delete);
    b_.Rollback();
  }
}

}  // namespace
}  // namespace revurov
