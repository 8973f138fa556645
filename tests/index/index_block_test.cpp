#include "index/index_block.h"

#include <gtest/gtest.h>

#include <cstring>

#include "index/index_engines.h"
#include "index/startup.h"
#include "lowlevel/errors/error_codes.h"
#include "platform/endian.h"
#include "storage/header_access.h"
#include "storage/startup.h"
#include "support/exception_message.h"
#include "support/table_fixture.h"

namespace revurov {
namespace {

using platform::LoadU64;
using platform::StoreU32;
using platform::StoreU64;
using testing::TTableFixture;

constexpr int32_t kOwner = 7;

class IndexBlockTest : public ::testing::Test {
protected:
  // A new block of the transaction signed as aSig with its own number.
  TnxBlockNumber NewBlock(const TnxBlockSignature& aSig, uint64_t aCounter = 0x0102030400000000) {
    auto header = fx_.Access().HeaderAccess(&fx_.Trans(), true);
    TnxBlockGuard block;
    block.Hold(header->GetNewBlock(fx_.Trans(), kOwner, block.ReleaseMethod()));
    std::memcpy(block.Block(), aSig.data(), 4);
    StoreU64(block.Block() + nxihChangeCounter, aCounter);
    return platform::LoadU32(block.Block() + 4);
  }

  uint64_t ReadCounter(TnxBlockNumber aBlock, bool aMarkDirty) {
    auto header = fx_.Access().HeaderAccess(&fx_.Trans(), false);
    TnxBlockGuard block;
    block.Hold(nxReadIndexBlock(&fx_.Trans(), *header, kOwner, aMarkDirty, aBlock, block.ReleaseMethod()));
    return LoadU64(block.Block() + nxihChangeCounter);
  }

  TnxStorageStartupGuard startup_;
  TTableFixture fx_;
};

TEST_F(IndexBlockTest, ReadingForChangeCountsTheChangeReadingOnlyDoesNot) {
  const TnxBlockNumber n = NewBlock(nxIndexBlockSignature, UINT64_MAX);
  EXPECT_EQ(ReadCounter(n, false), UINT64_MAX);
  EXPECT_EQ(ReadCounter(n, true), 0u) << "the counter is a 64-bit add that wraps";
  EXPECT_EQ(ReadCounter(n, true), 1u);
  EXPECT_EQ(ReadCounter(n, false), 1u);
}

TEST_F(IndexBlockTest, BlocksThatAreNotIndexNodesAreRefused) {
  const TnxBlockNumber foreign = NewBlock({'N', 'X', 'S', 'H'});
  const TnxBlockNumber wrongNumber = NewBlock(nxIndexBlockSignature);
  {
    TnxReleaseMethod release;
    PnxBlock b = fx_.Access().GetBlock(&fx_.Trans(), wrongNumber, kOwner, true, release);
    StoreU32(b + 4, wrongNumber + 100);
    release(b);
  }
  const struct {
    const char* Name;
    TnxBlockNumber Block;
    uint32_t Code;
  } cases[] = {
      {"other signature", foreign, nxeNotAnIndexBlock},
      {"other own number (the block layer sees it first)", wrongNumber, nxeCorruptFile},
      {"header block", 0, nxeInvalidBlockNumber},
      {"past the file", wrongNumber + 1, nxeInvalidBlockNumber},
      {"far past the file", 0xFFFFFFFF, nxeInvalidBlockNumber},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    for (bool dirty : {false, true}) {
      try {
        ReadCounter(c.Block, dirty);
        ADD_FAILURE() << "no error";
      } catch (const EnxBaseException& e) {
        EXPECT_EQ(e.ErrorCode(), c.Code);
        if (c.Code == nxeCorruptFile) continue;
        EXPECT_NE(dynamic_cast<const EnxBaseIndexEngineException*>(&e), nullptr);
        const std::string tail = "block " + std::to_string(c.Block) + "]";
        EXPECT_HAS_TEXT(e.Message(), std::u16string(tail.begin(), tail.end()));
      }
    }
  }
  // Nothing was left held: the transaction still rolls back.
  EXPECT_NO_THROW(fx_.Rollback());
}

TEST(IndexStartupTest, StartsStorageBelowAndAddsTheIndicesFamily) {
  const auto hasFamily = [] {
    for (const TnxSubEngineClass* f : TnxBaseSubEngine::Families())
      if (f == &TnxBaseIndicesEngine::ClassInfo()) return true;
    return false;
  };
  ASSERT_FALSE(hasFamily());
  {
    TnxIndexStartupGuard guard;
    EXPECT_TRUE(hasFamily());
    EXPECT_EQ(nxIndexStartupCount(), 1);
  }
  EXPECT_FALSE(hasFamily());
  EXPECT_EQ(nxIndexStartupCount(), 0);
}

}  // namespace
}  // namespace revurov
