#include "storage/block_access.h"

#include <gtest/gtest.h>

#include <functional>

#include "lowlevel/errors/error_codes.h"
#include "storage/header_access.h"
#include "storage/transactions.h"
#include "support/storage_fixture.h"

namespace revurov {
namespace {

using testing::TStorageFixture;

using testing::ErrorCodeOf;

class BlockAccessTest : public ::testing::Test {
protected:
  TStorageFixture fx_;
};

TEST_F(BlockAccessTest, GetBlockHandsOutOnlyBlocksOfItsLogicalFile) {
  TnxBaseFile& file = fx_.Open(fx_.MakeTable("t.nx1", nxbs8k, 6, {.Misnumbered = 4}));
  TnxBlockAccess access(file, nullptr, u"t", 0);
  const struct {
    TnxBlockNumber block;
    int32_t id;
    uint32_t code;
  } cases[] = {
      {2, TStorageFixture::kOwnerID, 0},
      {2, 0, 0},  // the root file reads any block
      {2, TStorageFixture::kOwnerID + 1, nxeCorruptFile},
      {5, 7, nxeCorruptFile},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "block " << c.block << " id " << c.id);
    TnxReleaseMethod release;
    PnxBlock block = nullptr;
    EXPECT_EQ(ErrorCodeOf([&] { block = access.GetBlock(nullptr, c.block, c.id, release); }), c.code);
    EXPECT_EQ(static_cast<bool>(release), c.code == 0);
    if (release) {
      EXPECT_EQ(nxLoadBlockCommonHeader(block).bchThisBlock, c.block);
      release(block);
    }
    // Released exactly once: a second release would show as -1.
    EXPECT_EQ(fx_.BufMgr().HandedOut(file), 0);
  }
  // A block the format refuses as damaged is not handed out either.
  TnxReleaseMethod release;
  EXPECT_EQ(ErrorCodeOf([&] { access.GetBlock(nullptr, 4, 0, release); }), nxeCorruptFile);
  EXPECT_FALSE(release);
}

TEST_F(BlockAccessTest, ValidBlockIsBelowTheUsedCountAndNeverTheHeader) {
  TnxBaseFile& file = fx_.Open(fx_.MakeTable("t.nx1", nxbs4k, 5));
  TnxBlockAccess access(file, nullptr, u"t", 0);
  const struct {
    TnxBlockNumber block;
    bool valid;
  } cases[] = {{0, false}, {1, true}, {4, true}, {5, false}, {0xFFFFFFFF, false}};
  for (const auto& c : cases) EXPECT_EQ(access.ValidBlock(c.block, nullptr), c.valid) << c.block;
}

// The blocks a transaction added are valid for it alone, and only while
// the level that added them stands.
TEST_F(BlockAccessTest, ValidBlockCountsWhatTheTransactionAdded) {
  TnxBaseFile& file = fx_.Open(fx_.MakeTable("t.nx1", nxbs4k, 3));
  TnxBlockAccess access(file, nullptr, u"t", 0);
  TnxBaseTransaction trans(fx_.BufMgr(), nullptr, false, false);
  TnxBaseTransaction other(fx_.BufMgr(), nullptr, false, false);
  const auto add = [&] {
    auto header = access.HeaderAccess(&trans, true);
    TnxBlockGuard block;
    block.Hold(header->GetNewBlock(trans, TStorageFixture::kOwnerID, block.ReleaseMethod()));
    return nxLoadBlockCommonHeader(block.Block()).bchThisBlock;
  };
  ASSERT_EQ(add(), 3u);
  EXPECT_TRUE(access.ValidBlock(3, &trans));
  EXPECT_FALSE(access.ValidBlock(3, &other));
  EXPECT_FALSE(access.ValidBlock(3, nullptr));
  trans.StartNested(false);
  ASSERT_EQ(add(), 4u);
  EXPECT_TRUE(access.ValidBlock(4, &trans));
  fx_.BufMgr().RollbackTransaction(&trans);
  trans.EndLevel();
  EXPECT_FALSE(access.ValidBlock(4, &trans)) << "rolled back with its level";
  EXPECT_TRUE(access.ValidBlock(3, &trans));
  EXPECT_FALSE(access.ValidBlock(0, &trans));
  fx_.BufMgr().CommitTransaction(&trans, nullptr, false);
  EXPECT_TRUE(access.ValidBlock(3, nullptr));
  EXPECT_TRUE(access.ValidBlock(3, &other));
  EXPECT_FALSE(access.ValidBlock(4, &other));
}

TEST_F(BlockAccessTest, ShowsTheFileAndTheHeaderLSN) {
  TnxBaseFile& file = fx_.Open(fx_.MakeTable("t.nx1", nxbs16k, 3, {.HeaderLSN = 4711}));
  TnxBlockAccess root(file, nullptr, u"t", 0);
  TnxBlockAccess child(file, &root, u"t_blobs", 3);
  EXPECT_EQ(root.CurrentLSN(), 4711);
  EXPECT_EQ(child.Main(), &root);
  EXPECT_EQ(child.ID(), 3);
  EXPECT_EQ(child.BaseName(), u"t_blobs");
  EXPECT_EQ(child.fiName(), file.fiName);
  EXPECT_EQ(child.fiBlockSizeBytes(), 16384u - 4);
  EXPECT_EQ(&root.BufferManager(), &fx_.BufMgr());
}

TEST_F(BlockAccessTest, RefusesAFileNotAttached) {
  TnxBaseFile& file = fx_.OpenOnly(fx_.MakeTable("t.nx1", nxbs4k, 3));
  EXPECT_EQ(ErrorCodeOf([&] { TnxBlockAccess access(file, nullptr, u"t", 0); }), nxeInvalidParameter);
}

}  // namespace
}  // namespace revurov
