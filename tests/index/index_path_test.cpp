#include "index/index_path.h"

#include <gtest/gtest.h>

#include <vector>

#include "dictionary/engine_records.h"
#include "dictionary/index_descriptor.h"
#include "dictionary/indices_descriptors.h"
#include "dictionary/key_descriptors.h"
#include "index/index_engines.h"
#include "index/startup.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/strings/utils_text.h"
#include "platform/endian.h"
#include "storage/startup.h"
#include "support/multiset_index_engine.h"
#include "support/table_fixture.h"

namespace revurov {
namespace {

using L = TnxBookmarkLayout;
using testing::kMultisetIndexEngine;
using testing::TMultisetIndexRegistration;
using testing::TTableFixture;
using testing::TTableShape;

class IndexPathTest : public ::testing::Test {
protected:
  IndexPathTest() : fx_(TTableShape{8}) {
    auto* d = fx_.Dict().EnsureIndicesDescriptor();
    while (d->IndexCount() > 0) d->RemoveIndex(d->IndexCount() - 1);
    d->AddIndex(u"ByRef", 0, idNone, u"", &TnxRefKeyDescriptor::ClassInfo())->SetIndexEngine(kMultisetIndexEngine);
    d->AddIndex(u"ByValue", 0, idNone, u"", &TnxInt64KeyDescriptor::ClassInfo())
        ->SetIndexEngine(kMultisetIndexEngine);
    engine_ = TnxBaseIndicesEngine::CreateEngine(fx_.Dict(), fx_.Files(), nullptr, &fx_.Trans(), false);
  }
  TnxBaseIndexEngine& Index() { return engine_->Indices(1); }
  std::vector<uint8_t> Rec(int64_t aValue) {
    std::vector<uint8_t> r(fx_.RecordLength(), 0);
    platform::StoreU64(r.data(), static_cast<uint64_t>(aValue));
    return r;
  }
  std::vector<uint8_t> Bookmark(const TnxBaseIndexPath& aPath) {
    std::vector<uint8_t> b(aPath.BookmarkSize());
    EXPECT_EQ(aPath.GetBookmark(b.data(), static_cast<uint32_t>(b.size()), false), 0u);
    return b;
  }
  static void Rehash(std::vector<uint8_t>& aBookmark) {
    platform::StoreU32(aBookmark.data() + L::bmHash,
                       nxHashElf(aBookmark.data() + L::bmIndexID, aBookmark.size() - L::bmIndexID));
  }

  TnxStorageStartupGuard storage_;
  TTableFixture fx_;
  TnxIndexStartupGuard startup_;
  TMultisetIndexRegistration registration_;
  std::unique_ptr<TnxBaseIndicesEngine> engine_;
};

TEST_F(IndexPathTest, PositionsFollowTheStateTable) {
  enum class TOp { CrackBefore, CrackAfter, Deleted };
  const struct {
    TnxIndexPathPosition From;
    TOp Op;
    TnxIndexPathPosition To;
    bool Deleted;
  } cases[] = {
      {ippOnKey, TOp::CrackBefore, ippOnCrackBefore, false},    {ippOnCrackAfter, TOp::CrackBefore, ippOnCrackBefore, false},
      {ippOnKey, TOp::CrackAfter, ippOnCrackAfter, false},      {ippUnknown, TOp::CrackBefore, ippUnknown, false},
      {ippBof, TOp::CrackAfter, ippBof, false},                 {ippEof, TOp::CrackBefore, ippEof, false},
      {ippOnKey, TOp::Deleted, ippOnCrackBefore, true},         {ippOnCrackAfter, TOp::Deleted, ippOnCrackAfter, false},
      {ippBof, TOp::Deleted, ippBof, false},
  };
  auto path = Index().CreateIndexPath();
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.From) * 10 + static_cast<int>(c.Op));
    path->Clear();
    path->Position = c.From;
    switch (c.Op) {
      case TOp::CrackBefore: path->SetToCrackBefore(); break;
      case TOp::CrackAfter: path->SetToCrackAfter(); break;
      case TOp::Deleted: path->SetToDeleted(); break;
    }
    EXPECT_EQ(path->Position, c.To);
    EXPECT_EQ(path->IsDeleted(), c.Deleted);
  }
  // A deleted mark wins over every position.
  const struct {
    TnxIndexPathPosition Pos;
    uint32_t State;
  } states[] = {{ippUnknown, nxeNoCurrentRecord}, {ippBof, nxeAtBeginningOfTable}, {ippOnCrackBefore, nxeNoCurrentRecord},
                {ippOnKey, 0},                    {ippEof, nxeAtEndOfTable}};
  for (const auto& s : states) {
    path->Clear();
    path->Position = s.Pos;
    EXPECT_EQ(path->CheckCurrentState(), s.State) << int{s.Pos};
    path->Deleted = true;
    EXPECT_EQ(path->CheckCurrentState(), nxeRecordDeleted) << int{s.Pos};
  }
}

TEST_F(IndexPathTest, SetToRecordBuildsTheKeyEvenWithoutARecordItStaysOnIt) {
  auto path = Index().CreateIndexPath();
  EXPECT_EQ(path->SetToRecord(Rec(42).data(), 7), 0u);
  EXPECT_TRUE(path->IsOnKey());
  EXPECT_TRUE(path->KeyValid);
  EXPECT_EQ(platform::LoadU64(path->KeyBuffer()), 42u);
  EXPECT_EQ(path->SetToRecord(nullptr, 8), 0u);
  EXPECT_TRUE(path->IsOnKey());
  EXPECT_FALSE(path->KeyValid);
  EXPECT_EQ(path->RefNr, 8);
}

TEST_F(IndexPathTest, BookmarksRoundTripAndCarryTheIndexNumber) {
  auto path = Index().CreateIndexPath();
  ASSERT_EQ(path->SetToRecord(Rec(42).data(), 7), 0u);
  const std::vector<uint8_t> b = Bookmark(*path);
  EXPECT_EQ(platform::LoadU32(b.data() + L::bmIndexID), 1u);
  auto other = Index().CreateIndexPath();
  EXPECT_EQ(other->SetToBookmark(b.data(), static_cast<uint32_t>(b.size()), false), 0u);
  EXPECT_EQ(other->Position, ippOnKey);
  EXPECT_EQ(other->RefNr, 7);
  EXPECT_EQ(platform::LoadU64(other->KeyBuffer()), 42u);
  // As a cache bookmark the number goes to CacheRefNr.
  auto cache = Index().CreateIndexPath();
  EXPECT_EQ(cache->SetToBookmark(b.data(), static_cast<uint32_t>(b.size()), true), 0u);
  EXPECT_EQ(cache->RefNr, 0);
  EXPECT_EQ(cache->CacheRefNr, 7);
  // A bookmark of another index is refused.
  auto byRef = engine_->Indices(0).CreateIndexPath();
  EXPECT_EQ(byRef->SetToBookmark(b.data(), static_cast<uint32_t>(b.size()), false), nxeBookmarkMismatch);
  // Duplicate stands where the original does.
  auto copy = path->Duplicate();
  EXPECT_EQ(Bookmark(*copy), b);
}

TEST_F(IndexPathTest, ABufferOneByteShortIsRefusedUntouched) {
  auto path = Index().CreateIndexPath();
  std::vector<uint8_t> b(path->BookmarkSize(), 0xAB);
  EXPECT_EQ(path->GetBookmark(b.data(), static_cast<uint32_t>(b.size()) - 1, false), nxeInvalidParameter);
  EXPECT_EQ(b, std::vector<uint8_t>(b.size(), 0xAB));
  auto standalone = TnxBaseIndexPath::CreateStandalone();
  EXPECT_EQ(standalone->BookmarkSize(), 24u);
  standalone->SetToBof();
  const std::vector<uint8_t> s = Bookmark(*standalone);
  EXPECT_EQ(static_cast<int32_t>(platform::LoadU32(s.data() + L::bmIndexID)), -1);
  auto back = TnxBaseIndexPath::CreateStandalone();
  EXPECT_EQ(back->SetToBookmark(s.data(), 24, false), 0u);
  EXPECT_TRUE(back->IsBof());
}

TEST_F(IndexPathTest, ABookmarkOfTheSamePlaceKeepsThePath) {
  auto path = Index().CreateIndexPath();
  ASSERT_EQ(path->SetToRecord(Rec(42).data(), 7), 0u);
  auto keyless = Index().CreateIndexPath();
  ASSERT_EQ(keyless->SetToRecord(nullptr, 7), 0u);
  const std::vector<uint8_t> b = Bookmark(*keyless);
  EXPECT_EQ(path->SetToBookmark(b.data(), static_cast<uint32_t>(b.size()), false), 0u);
  EXPECT_TRUE(path->KeyValid);
  EXPECT_EQ(platform::LoadU64(path->KeyBuffer()), 42u);
  // The keyless path takes the key of a bookmark of its place.
  const std::vector<uint8_t> withKey = Bookmark(*path);
  EXPECT_EQ(keyless->SetToBookmark(withKey.data(), static_cast<uint32_t>(withKey.size()), false), 0u);
  EXPECT_TRUE(keyless->KeyValid);
  EXPECT_EQ(platform::LoadU64(keyless->KeyBuffer()), 42u);
}

TEST_F(IndexPathTest, DamagedBookmarksAreRefusedOrGiveAKnownPosition) {
  auto source = Index().CreateIndexPath();
  ASSERT_EQ(source->SetToRecord(Rec(42).data(), 7), 0u);
  const std::vector<uint8_t> good = Bookmark(*source);
  auto path = Index().CreateIndexPath();
  for (size_t i = 0; i < good.size(); ++i) {
    for (uint8_t mask : {uint8_t{0x01}, uint8_t{0x80}, uint8_t{0xFF}}) {
      std::vector<uint8_t> b = good;
      b[i] ^= mask;
      path->SetToBof();
      const uint32_t r = path->SetToBookmark(b.data(), static_cast<uint32_t>(b.size()), false);
      if (r == 0) {
        EXPECT_LE(int{path->Position}, int{ippEof}) << i;
      } else {
        EXPECT_EQ(r, nxeBookmarkMismatch) << i;
        EXPECT_TRUE(path->IsBof()) << "a refused bookmark changes nothing, byte " << i;
      }
    }
  }
  // Also with a hash that matches: a position past ippEof is refused.
  for (uint8_t pos : {uint8_t{6}, uint8_t{0x80}, uint8_t{0xFF}}) {
    std::vector<uint8_t> b = good;
    b[L::bmPos] = pos;
    Rehash(b);
    path->SetToBof();
    EXPECT_EQ(path->SetToBookmark(b.data(), static_cast<uint32_t>(b.size()), false), nxeBookmarkMismatch);
    EXPECT_TRUE(path->IsBof());
  }
  // Sizes short of a bookmark.
  for (uint32_t size : {0u, 23u, static_cast<uint32_t>(good.size()) - 1})
    EXPECT_EQ(path->SetToBookmark(good.data(), size, false), nxeBookmarkMismatch) << size;
  EXPECT_EQ(path->SetToBookmark(nullptr, static_cast<uint32_t>(good.size()), false), nxeBookmarkMismatch);
}

TEST_F(IndexPathTest, RemovingAnEarlierIndexRenumbersBookmarksOfLivePaths) {
  auto path = Index().CreateIndexPath();
  ASSERT_EQ(path->SetToRecord(Rec(42).data(), 7), 0u);
  fx_.Dict().IndicesDescriptor()->RemoveIndex(0);
  engine_->RemoveIndex(fx_.Trans(), 0);
  const std::vector<uint8_t> b = Bookmark(*path);
  EXPECT_EQ(platform::LoadU32(b.data() + L::bmIndexID), 0u);
  EXPECT_EQ(path->CheckBookmark(b.data(), static_cast<uint32_t>(b.size())), 0u);
}

}  // namespace
}  // namespace revurov
