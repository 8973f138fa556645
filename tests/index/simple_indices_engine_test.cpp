#include "index/simple_indices_engine.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "dictionary/index_descriptor.h"
#include "dictionary/indices_descriptors.h"
#include "dictionary/key_descriptors.h"
#include "index/startup.h"
#include "lowlevel/errors/error_codes.h"
#include "platform/endian.h"
#include "storage/header_access.h"
#include "storage/startup.h"
#include "support/exception_message.h"
#include "support/multiset_index_engine.h"
#include "support/table_fixture.h"

namespace revurov {
namespace {

using platform::LoadU32;
using platform::StoreU16;
using platform::StoreU32;
using testing::ErrorCodeOf;
using testing::kMultisetIndexEngine;
using testing::TMultisetIndexRegistration;
using testing::TTableFixture;
using testing::TTableShape;

class SimpleIndicesEngineTest : public ::testing::Test {
protected:
  SimpleIndicesEngineTest() : fx_(TTableShape{8}) {
    auto* d = fx_.Dict().EnsureIndicesDescriptor();
    while (d->IndexCount() > 0) d->RemoveIndex(d->IndexCount() - 1);
  }

  void AddIndex(std::u16string_view aName, const TnxKeyDescriptorClass& aKey) {
    fx_.Dict().IndicesDescriptor()->AddIndex(aName, 0, idNone, u"", &aKey)->SetIndexEngine(kMultisetIndexEngine);
  }
  std::unique_ptr<TnxBaseIndicesEngine> Create(TnxBaseTransaction* aTrans) {
    return TnxBaseIndicesEngine::CreateEngine(fx_.Dict(), fx_.Files(), nullptr, aTrans, false);
  }
  // The section's block number and a copy of the indices block, committed.
  std::vector<uint8_t> IndicesBlock(uint32_t* aNumber = nullptr) {
    auto header = fx_.Access().HeaderAccess(nullptr, false);
    const uint16_t at =
        header->RegisterHeaderSection(fx_.Dict().IndicesDescriptor()->HeaderSection(), 4, false, false);
    const uint32_t n = LoadU32(header->Header() + at);
    if (aNumber) *aNumber = n;
    TnxBlockGuard block;
    block.Hold(fx_.Access().GetBlock(nullptr, n, 0, false, block.ReleaseMethod()));
    return {block.Block(), block.Block() + nxihIndicesEnd};
  }
  void Patch(uint32_t aOffset, uint16_t aValue) {
    uint32_t n = 0;
    IndicesBlock(&n);
    TnxBlockGuard block;
    block.Hold(fx_.Access().GetBlock(&fx_.Trans(), n, 0, true, block.ReleaseMethod()));
    StoreU16(block.Block() + aOffset, aValue);
    block.Release();
    fx_.Commit();
  }

  TnxStorageStartupGuard storage_;
  TTableFixture fx_;
  TnxIndexStartupGuard startup_;
  TMultisetIndexRegistration registration_;
};

TEST_F(SimpleIndicesEngineTest, ANewTableGetsOneIndicesBlockPerFile) {
  AddIndex(u"ByValue", TnxInt64KeyDescriptor::ClassInfo());
  AddIndex(u"ByRef", TnxRefKeyDescriptor::ClassInfo());
  Create(&fx_.Trans()).reset();
  fx_.Commit();
  uint32_t number = 0;
  const std::vector<uint8_t> got = IndicesBlock(&number);
  // Built by hand: signature, own number, kind 0, two key lengths of 8,
  // every root empty, all counts 0.
  std::vector<uint8_t> expected(nxihIndicesEnd, 0);
  std::memcpy(expected.data(), "NXIH", 4);
  StoreU32(expected.data() + 4, number);
  StoreU16(expected.data() + 40, 8);
  StoreU16(expected.data() + 42, 8);
  platform::StoreU64(expected.data() + 16, 2);  // changed once per index added
  for (uint32_t n = 0; n < 256; ++n) StoreU32(expected.data() + 1576 + 4 * n, 0xFFFFFFFF);
  // The LSN belongs to the buffer manager.
  std::memcpy(expected.data() + 8, got.data() + 8, 8);
  EXPECT_EQ(got, expected);

  auto engine = Create(nullptr);
  ASSERT_EQ(engine->IndexCount(), 2);
  auto a = engine->Indices(0).CreateHeaderAccess(nullptr, false, false, 0, 0);
  auto b = engine->Indices(1).CreateHeaderAccess(nullptr, false, false, 0, 0);
  EXPECT_EQ(a->GetIndexLSN(), b->GetIndexLSN());
  EXPECT_EQ(a->GetIndexRoot(), nxNoNode);
}

TEST_F(SimpleIndicesEngineTest, OpeningChecksEveryIndexEntryFirst) {
  AddIndex(u"ByValue", TnxInt64KeyDescriptor::ClassInfo());
  AddIndex(u"ByRef", TnxRefKeyDescriptor::ClassInfo());
  Create(&fx_.Trans()).reset();
  fx_.Commit();
  ASSERT_NE(Create(nullptr), nullptr);
  Patch(42, 9);  // index 1's stored key length
  EXPECT_HAS_TEXT(testing::MessageOf<EnxSimpleIndicesEngineException>([&] { Create(nullptr); }),
                  u"Corrupt table/index header.");
  Patch(42, 8);
  ASSERT_NE(Create(nullptr), nullptr);
  // A third index that the file never got.
  AddIndex(u"Late", TnxRefKeyDescriptor::ClassInfo());
  EXPECT_EQ(ErrorCodeOf([&] { Create(nullptr); }), nxeCorruptHeader);
}

TEST_F(SimpleIndicesEngineTest, OpeningATableWithoutIndicesBlockIsRefused) {
  AddIndex(u"ByValue", TnxInt64KeyDescriptor::ClassInfo());
  {
    auto header = fx_.Access().HeaderAccess(&fx_.Trans(), true);
    const uint16_t at =
        header->RegisterHeaderSection(fx_.Dict().IndicesDescriptor()->HeaderSection(), 4, true, false);
    StoreU32(header->Header() + at, 0xFFFFFFFF);
  }
  fx_.Commit();
  EXPECT_EQ(ErrorCodeOf([&] { Create(nullptr); }), nxeCorruptHeader);
}

}  // namespace
}  // namespace revurov
