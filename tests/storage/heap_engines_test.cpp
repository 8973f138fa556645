#include "storage/heap_engines.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <vector>

#include "dictionary/storage_descriptors.h"
#include "lowlevel/errors/error_codes.h"
#include "platform/endian.h"
#include "storage/block_access.h"
#include "storage/block_heap_engine.h"
#include "storage/header_access.h"
#include "storage/startup.h"
#include "support/table_fixture.h"

namespace revurov {
namespace {

using platform::LoadU32;

// Reads data blocks of the table's file for the handlers' chain updates
// and records the block heap's notifications.
class TTestHeap : public TnxBaseHeapEngine {
public:
  using TnxBaseHeapEngine::TnxBaseHeapEngine;
  PnxBlock ReadBlockHeap(TnxBaseTransaction* aTrans, TnxBlockNumber aBlockNumber, bool aMarkDirty,
                         TnxReleaseMethod& aReleaseMethod) override {
    ++reads;
    return bheDataFile->GetBlock(aTrans, aBlockNumber, bseID, aMarkDirty, aReleaseMethod);
  }
  void BlockHeapChanged(PnxBlock aBlock, uint16_t aSegmentCount, uint16_t aFreeSpaceSize,
                        uint16_t aRecoverableSpace) override {
    changes.push_back({aBlock, aSegmentCount, aFreeSpaceSize, aRecoverableSpace});
  }
  TnxHeapRef AllocSegment(TnxBaseTransaction&, std::span<const void* const>, std::span<const uint16_t>) override {
    return 0;
  }
  TnxHeapRef AllocSegmentEx(TnxBaseTransaction&, std::span<const void* const>, std::span<const uint32_t>, uint16_t,
                            uint16_t&, uint16_t, uint16_t, bool) override {
    return 0;
  }
  TnxHeapRef ReAllocSegmentEx(TnxBaseTransaction&, PnxBlock, TnxSegmentRef, std::span<const void* const>,
                              std::span<const uint32_t>, uint16_t, uint16_t&, uint16_t, uint16_t, bool) override {
    return 0;
  }
  uint8_t* GetSegment(TnxBaseTransaction*, TnxHeapRef, bool, uint16_t&, PnxBlock&, TnxReleaseMethod&) override {
    return nullptr;
  }
  void Rollback(TnxBaseTransaction&) override {}
  TnxBlockSignature SigDataBlock() const override { return {'N', 'X', 'H', 'D'}; }
  struct Change {
    PnxBlock block;
    uint16_t count, free, recoverable;
  };
  int reads = 0;
  std::vector<Change> changes;
};

std::unique_ptr<TnxBaseHeapDescriptor> HeapDescriptor(int32_t aID) {
  auto d = std::make_unique<TnxBaseHeapDescriptor>(nullptr);
  d->SetID(aID);
  d->AddBlockHeapDescriptor()->SetID(aID + 1);
  return d;
}

class HeapHeaderHandlerTest : public ::testing::Test {
protected:
  struct Built {
    std::unique_ptr<TTestHeap> heap;
    uint16_t section;
  };
  Built Make(bool aRecordHeap) {
    auto header = t_.Access().HeaderAccess(&t_.Trans(), true);
    const uint16_t section = header->RegisterHeaderSection(aRecordHeap ? "HeapRecords" : "HeapBlobs", 24, true, false);
    std::unique_ptr<TnxHeapHeaderHandler> handler;
    if (aRecordHeap)
      handler = std::make_unique<TnxVariableRecordHeapHeaderHandler>(section);
    else
      handler = std::make_unique<TnxSegmentedBlobHeapHeaderHandler>(section);
    return {std::make_unique<TTestHeap>(*descriptor_, std::move(handler), t_.Access()), section};
  }
  TnxBlockNumber NewBlock(std::vector<TnxBlockGuard>& aHeld) {
    auto header = t_.Access().HeaderAccess(&t_.Trans(), true);
    aHeld.emplace_back();
    aHeld.back().Hold(header->GetNewBlock(t_.Trans(), 0, aHeld.back().ReleaseMethod()));
    return nxLoadBlockCommonHeader(aHeld.back().Block()).bchThisBlock;
  }
  uint32_t Section(uint16_t aSection, uint32_t aOffset) {
    auto header = t_.Access().HeaderAccess(&t_.Trans(), false);
    return LoadU32(header->Header() + aSection + aOffset);
  }

  testing::TTableFixture t_;
  std::unique_ptr<TnxBaseHeapDescriptor> descriptor_ = HeapDescriptor(0);
};

TEST_F(HeapHeaderHandlerTest, EngineIsBuiltFromItsDescriptor) {
  for (bool record : {false, true}) {
    Built b = Make(record);
    TTestHeap& heap = *b.heap;
    EXPECT_EQ(heap.bheHeaderHandler->hhhEngine, &heap);
    EXPECT_EQ(heap.bseID, 0);
    EXPECT_EQ(heap.bseTableVersion, t_.Access().File().fiZirezVersion);
    EXPECT_EQ(heap.bheDataFile, &t_.Access());
    // The base masks nothing; the concrete heap narrows the mask.
    EXPECT_EQ(heap.bheHeapRefMask, static_cast<TnxHeapRef>(-1));
    ASSERT_NE(heap.bheBlockHeapEngine, nullptr);
    TnxBaseBlockHeapEngine& blocks = *heap.bheBlockHeapEngine;
    EXPECT_EQ(&blocks.ClassType(), &TnxNonfragmentingBlockHeapEngine::ClassInfo());
    EXPECT_EQ(blocks.bseID, 1);
    EXPECT_EQ(blocks.bseTableVersion, heap.bseTableVersion);
    EXPECT_EQ(blocks.bbheBlockSize, t_.Access().fiBlockSizeBytes());
    EXPECT_EQ(blocks.bbheHeaderSize, record ? 24 : 16);
    EXPECT_EQ(blocks.bbheFileName, t_.Access().fiName());
    // The block heap's notifications reach the heap's own override.
    std::vector<uint8_t> block(blocks.bbheBlockSize);
    blocks.InitBlock(block.data());
    TnxSegmentRef segment = 0;
    ASSERT_NE(blocks.AllocSegment(block.data(), 100, segment), nullptr);
    ASSERT_EQ(heap.changes.size(), 1u);
    EXPECT_EQ(heap.changes[0].block, block.data());
    EXPECT_EQ(heap.changes[0].count, 1);
    EXPECT_EQ(heap.changes[0].free, blocks.GetFreespace(block.data()));
  }
}

TEST_F(HeapHeaderHandlerTest, IncHeapRefFollowsTheFileVersion) {
  Built b = Make(false);
  ASSERT_GE(b.heap->bseTableVersion, nxHeapRefCounterVersion);
  TnxHeapRef ref = nxMakeHeapRef(5, 0xFFFF0002u);
  b.heap->IncHeapRef(ref);
  EXPECT_EQ(ref, nxMakeHeapRef(5, 2));
}

TEST_F(HeapHeaderHandlerTest, EngineNeedsAKnownBlockHeap) {
  std::u16string text;
  auto call = [&](TnxBaseHeapDescriptor& aDescriptor) {
    try {
      TTestHeap heap(aDescriptor, std::make_unique<TnxSegmentedBlobHeapHeaderHandler>(0), t_.Access());
    } catch (const EnxBaseException& e) {
      text = e.ErrorString();
      return e.ErrorCode();
    }
    return 0u;
  };
  descriptor_->BlockHeapDescriptor()->SetBlockHeapEngine(u"Nope");
  EXPECT_EQ(call(*descriptor_), nxeSubEngineNotSupported);
  EXPECT_EQ(text, u"Unknown BlockHeap engine: \"Nope\"");
  descriptor_->RemoveBlockHeapDescriptor();
  EXPECT_EQ(call(*descriptor_), nxeInvalidDescriptor);
  EXPECT_EQ(text, u"A block heap descriptor is required");
}

TEST_F(HeapHeaderHandlerTest, HeapEnginesAreChosenByName) {
  EXPECT_EQ(TnxBaseHeapEngine::CreateEngine(nullptr, t_.Access(), std::make_unique<TnxSegmentedBlobHeapHeaderHandler>(0)),
            nullptr);
  descriptor_->SetHeapEngine(u"Cached");
  try {
    TnxBaseHeapEngine::CreateEngine(descriptor_.get(), t_.Access(),
                                    std::make_unique<TnxSegmentedBlobHeapHeaderHandler>(0));
    FAIL() << "an unknown heap engine was built";
  } catch (const EnxBaseHeapEngineException& e) {
    EXPECT_EQ(e.ErrorCode(), nxeSubEngineNotSupported);
    EXPECT_EQ(e.ErrorString(), u"Unknown Heap engine: \"Cached\"");
  }
}

TEST_F(HeapHeaderHandlerTest, FirstMapBlockLivesAtEachOwnersOffset) {
  for (bool record : {false, true}) {
    Built b = Make(record);
    auto header = t_.Access().HeaderAccess(&t_.Trans(), true);
    b.heap->SetFirstMapBlock(*header, 0x01020304u);
    EXPECT_EQ(b.heap->GetFirstMapBlock(*header), 0x01020304u);
    EXPECT_EQ(Section(b.section, record ? 12 : 0), 0x01020304u) << record;
    b.heap->SetFirstMapBlock(*header, 0);
  }
}

TEST_F(HeapHeaderHandlerTest, BlobHeapHasNoChain) {
  Built b = Make(false);
  std::vector<TnxBlockGuard> held;
  NewBlock(held);
  const std::vector<uint8_t> before(held[0].Block(), held[0].Block() + 64);
  auto header = t_.Access().HeaderAccess(&t_.Trans(), true);
  b.heap->LinkDataBlock(t_.Trans(), *header, held[0].Block());
  b.heap->UnlinkDataBlock(t_.Trans(), *header, held[0].Block());
  EXPECT_EQ(std::vector<uint8_t>(held[0].Block(), held[0].Block() + 64), before);
  EXPECT_EQ(b.heap->reads, 0);
}

TEST_F(HeapHeaderHandlerTest, RecordHeapChainsBothWays) {
  Built b = Make(true);
  EXPECT_EQ(b.heap->bheHeaderHandler->GetBlockHeaderSize(), 24);
  std::vector<TnxBlockGuard> held;
  const TnxBlockNumber n1 = NewBlock(held), n2 = NewBlock(held), n3 = NewBlock(held);
  auto next = [&](int i) { return LoadU32(held[i].Block() + 16); };
  auto prev = [&](int i) { return LoadU32(held[i].Block() + 20); };
  auto header = t_.Access().HeaderAccess(&t_.Trans(), true);
  b.heap->LinkDataBlock(t_.Trans(), *header, held[0].Block());
  EXPECT_EQ(Section(b.section, 4), n1);
  EXPECT_EQ(Section(b.section, 8), n1);
  EXPECT_EQ(b.heap->reads, 0);
  b.heap->LinkDataBlock(t_.Trans(), *header, held[1].Block());
  b.heap->LinkDataBlock(t_.Trans(), *header, held[2].Block());
  EXPECT_EQ(Section(b.section, 4), n1);
  EXPECT_EQ(Section(b.section, 8), n3);
  EXPECT_EQ(std::vector<uint32_t>({next(0), prev(0), next(1), prev(1), next(2), prev(2)}),
            std::vector<uint32_t>({n2, 0, n3, n1, 0, n2}));
  // The middle one, then the first, then the last and only one.
  b.heap->UnlinkDataBlock(t_.Trans(), *header, held[1].Block());
  EXPECT_EQ(next(0), n3);
  EXPECT_EQ(prev(2), n1);
  b.heap->UnlinkDataBlock(t_.Trans(), *header, held[0].Block());
  EXPECT_EQ(Section(b.section, 4), n3);
  EXPECT_EQ(prev(2), 0u);
  b.heap->UnlinkDataBlock(t_.Trans(), *header, held[2].Block());
  EXPECT_EQ(Section(b.section, 4), 0u);
  EXPECT_EQ(Section(b.section, 8), 0u);
}

}  // namespace
}  // namespace revurov

namespace revurov {
namespace {

uint32_t CodeAndText(const std::function<void()>& aCall, std::u16string& aText) {
  try {
    aCall();
  } catch (const EnxBaseException& e) {
    aText = e.ErrorString();
    return e.ErrorCode();
  }
  return 0;
}

class HeapFamiliesTest : public ::testing::Test {
  TnxStorageStartupGuard storage_;
};

TEST_F(HeapFamiliesTest, BlockHeapEnginesAreChosenByName) {
  EXPECT_EQ(TnxBaseBlockHeapEngine::CreateEngine(nullptr, 4096, 16, 47005), nullptr);
  TnxBaseBlockHeapEngine::CheckValidBaseFromDescriptor(nullptr);
  TnxBaseHeapEngine::CheckValidBaseFromDescriptor(nullptr);

  TnxBaseBlockHeapDescriptor blockHeap(nullptr);
  blockHeap.SetID(12);
  auto engine = TnxBaseBlockHeapEngine::CreateEngine(&blockHeap, 8188, 24, 47005);
  ASSERT_NE(engine, nullptr);
  EXPECT_EQ(&engine->ClassType(), &TnxNonfragmentingBlockHeapEngine::ClassInfo());
  EXPECT_EQ(engine->bseID, 12);
  EXPECT_EQ(engine->bbheBlockSize, 8188u);
  EXPECT_EQ(engine->bbheMaxSegmentSize, 8188 - 28 - 12);
  EXPECT_EQ(engine->bbheSegmentRefMask, 0x0000FFFFu);
  TnxBaseBlockHeapEngine::CheckValidBaseFromDescriptor(&blockHeap);

  std::u16string text;
  blockHeap.SetBlockHeapEngine(u"Fragmenting");
  EXPECT_EQ(CodeAndText([&] { TnxBaseBlockHeapEngine::CreateEngine(&blockHeap, 4096, 16, 47005); }, text),
            nxeSubEngineNotSupported);
  EXPECT_EQ(text, u"Unknown BlockHeap engine: \"Fragmenting\"");
  EXPECT_EQ(CodeAndText([&] { TnxBaseBlockHeapEngine::CheckValidBaseFromDescriptor(&blockHeap); }, text),
            nxeSubEngineNotSupported);
}

TEST_F(HeapFamiliesTest, HeapDescriptorNeedsAKnownBlockHeap) {
  TnxBaseHeapDescriptor heap(nullptr);
  std::u16string text;
  EXPECT_EQ(CodeAndText([&] { TnxBaseHeapEngine::CheckValidDescriptor(heap); }, text), nxeInvalidDescriptor);
  EXPECT_EQ(text, u"A block heap descriptor is required");
  heap.AddBlockHeapDescriptor()->SetBlockHeapEngine(u"Nope");
  EXPECT_EQ(CodeAndText([&] { TnxBaseHeapEngine::CheckValidDescriptor(heap); }, text), nxeSubEngineNotSupported);
  EXPECT_EQ(text, u"Unknown BlockHeap engine: \"Nope\"");
  heap.BlockHeapDescriptor()->SetBlockHeapEngine(nxDefaultStorageEngine);
  TnxBaseHeapEngine::CheckValidDescriptor(heap);
  // No heap engine class is registered under the name yet.
  heap.SetHeapEngine(u"Cached");
  EXPECT_EQ(CodeAndText([&] { TnxBaseHeapEngine::CheckValidBaseFromDescriptor(&heap); }, text),
            nxeSubEngineNotSupported);
  EXPECT_EQ(text, u"Unknown Heap engine: \"Cached\"");
}

}  // namespace
}  // namespace revurov
