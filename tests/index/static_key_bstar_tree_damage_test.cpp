// Damaged table files: random bytes written over a random record, index
// node or indices block (or the header's pointer to it), committed, then
// the table opened again and read whole by key and by record, and changed
// in a transaction that rolls back. Every step ends in a library error or
// in wrong values, never in a crash, a hang or a read outside a block.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "dictionary/field_descriptor.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/index_descriptor.h"
#include "dictionary/indices_descriptors.h"
#include "dictionary/key_descriptors.h"
#include "index/index_engines.h"
#include "index/simple_indices_engine.h"
#include "index/startup.h"
#include "index/static_key_bstar_tree.h"
#include "lowlevel/errors/exceptions.h"
#include "platform/endian.h"
#include "platform/string_list.h"
#include "storage/buffer_manager.h"
#include "storage/header_access.h"
#include "storage/startup.h"
#include "storage/transactions.h"
#include "support/bstar_tree_checker.h"
#include "support/table_fixture.h"
#include "support/test_size.h"

namespace revurov {
namespace {

using testing::TTableFixture;
using testing::TTableShape;

constexpr int32_t kDataBytes = 200;  // small nodes: a deep tree of few records

class DamagedTableTest : public ::testing::Test {
protected:
  DamagedTableTest() : fx_(TTableShape{kDataBytes}) {
    auto* indices = fx_.Dict().EnsureIndicesDescriptor();
    while (indices->IndexCount() > 0) indices->RemoveIndex(indices->IndexCount() - 1);
    const TnxIndexDups dups[] = {idNone, idAll};
    for (TnxIndexDups d : dups) {
      TnxIndexDescriptor* index =
          indices->AddIndex(d == idNone ? u"Unique" : u"Dups", 0, d, u"", &TnxCompKeyDescriptor::ClassInfo());
      static_cast<TnxCompKeyDescriptor*>(index->KeyDescriptor())->Add(0);
    }
    engine_ = TnxBaseIndicesEngine::CreateEngine(fx_.Dict(), fx_.Files(), &fx_.Records(), &fx_.Trans(), false);
    for (int64_t v = 0; v < 400; ++v) Add(v);
    fx_.Commit();
  }

  std::vector<uint8_t> Record(int64_t aValue) {
    std::vector<uint8_t> r(fx_.RecordLength(), 0);
    const auto& fields = fx_.Dict().FieldsDescriptor();
    uint8_t* data = r.data() + fields.FieldDescriptor(0)->Offset();
    for (int i = 0; i < 8; ++i) data[i] = static_cast<uint8_t>(static_cast<uint64_t>(aValue) >> (56 - 8 * i));
    fields.SetRecordFieldNull(0, r.data(), false);
    return r;
  }
  void Add(int64_t aValue) {
    std::vector<uint8_t> r = Record(aValue);
    TnxRefNr ref = 0;
    fx_.Records().AddRecord(fx_.Trans(), ref, r.data());
    ASSERT_EQ(engine_->InsertKeys(fx_.Trans(), ref, r.data(), nullptr), 0u);
  }
  uint32_t UsedBlocks() { return fx_.Access().HeaderAccess(nullptr, false)->UsedBlocks(); }

  // Opens the table again and uses it every way it can; true when every
  // step went through without an error.
  bool UseTable() {
    bool clean = true;
    const auto step = [&](auto&& aCall) {
      try {
        aCall();
      } catch (const EnxBaseException&) {
        clean = false;
      }
    };
    std::unique_ptr<TnxBaseIndicesEngine> engine;
    step([&] {
      fx_.Reopen();
      engine = TnxBaseIndicesEngine::CreateEngine(fx_.Dict(), fx_.Files(), &fx_.Records(), nullptr, false);
    });
    if (!engine) return false;
    for (int32_t i = 0; i < engine->IndexCount(); ++i) {
      step([&] {
        platform::TStringList lines;
        engine->Indices(i).SaveAll(nullptr, lines);
      });
      step([&] { (void)testing::TTreeChecker(static_cast<TnxStaticKeyBstarTreeIndexEngine&>(engine->Indices(i)), nullptr).Check(); });
    }
    step([&] {
      TnxRefNr ref = 0;
      std::vector<uint8_t> buffer(fx_.RecordLength());
      PnxRecordBuffer data = buffer.data();
      fx_.Records().Iterate(nullptr, ref, &data, [](void*, TnxRefNr, PnxRecordBuffer) { return rirContinue; },
                            nullptr, nullptr, false, false);
    });
    // Changes through the damage, then thrown away.
    for (int64_t v : {5, 77, 399, 1000, 1001}) {
      step([&] {
        std::vector<uint8_t> r = Record(v);
        engine->InsertKeys(fx_.Trans(), 5000 + v, r.data(), nullptr);
      });
      step([&] {
        std::vector<uint8_t> r = Record(v);
        engine->DeleteKeys(fx_.Trans(), 5000 + v, r.data(), nullptr);
      });
    }
    step([&] { engine->Indices(1).DeleteAllKeys(fx_.Trans()); });
    if (fx_.InTransaction()) fx_.Rollback();
    return clean;
  }

  TnxStorageStartupGuard storage_;
  TnxIndexStartupGuard startup_;
  TTableFixture fx_;
  std::unique_ptr<TnxBaseIndicesEngine> engine_;
};

TEST_F(DamagedTableTest, RandomDamageGivesErrorsNeverACrash) {
  engine_.reset();
  ASSERT_TRUE(UseTable()) << "the sound table";
  const uint32_t used = UsedBlocks();
  ASSERT_GT(used, 20u);
  std::mt19937_64 rnd(0xDA3A9E);
  const int rounds = testing::TestSize(25, 200);
  TnxBufferManager& bm = fx_.Storage().BufMgr();
  const uint32_t size = fx_.Access().fiBlockSizeBytes();
  int refused = 0;
  for (int round = 0; round < rounds; ++round) {
    SCOPED_TRACE(round);
    const auto block = static_cast<TnxBlockNumber>(1 + rnd() % (used - 1));
    std::vector<uint8_t> original;
    {
      TnxBlockGuard b;
      b.Hold(bm.GetBlock(fx_.File(), &fx_.Trans(), block, true, b.ReleaseMethod()));
      original.assign(b.Block(), b.Block() + size);
      const bool node = std::memcmp(b.Block(), "NXIH", 4) == 0;
      // Mostly the node header and the first slots, where counts and
      // pointers live; sometimes anywhere.
      const int bytes = 1 + static_cast<int>(rnd() % 8);
      for (int i = 0; i < bytes; ++i) {
        const uint32_t at = node && rnd() % 4 != 0 ? 16 + static_cast<uint32_t>(rnd() % 80)
                                                   : 16 + static_cast<uint32_t>(rnd() % (size - 16));
        b.Block()[at] = static_cast<uint8_t>(rnd());
      }
    }
    fx_.Commit();
    if (!UseTable()) ++refused;
    // Mend the block for the next round.
    {
      TnxBlockGuard b;
      b.Hold(bm.GetBlock(fx_.File(), &fx_.Trans(), block, true, b.ReleaseMethod()));
      std::memcpy(b.Block() + 16, original.data() + 16, size - 16);
    }
    fx_.Commit();
  }
  EXPECT_GT(refused, 0);
  EXPECT_TRUE(UseTable()) << "the mended table";
}

// The header's pointer to the indices block, bent: opening refuses.
TEST_F(DamagedTableTest, ABentIndicesBlockPointerIsRefusedOnOpen) {
  engine_.reset();
  const std::string section = fx_.Dict().IndicesDescriptor()->HeaderSection();
  uint32_t original = 0;
  const uint32_t values[] = {0, 1, 0xFFFFFFFF, 0x7FFFFFFF, 3};
  for (uint32_t value : values) {
    SCOPED_TRACE(value);
    {
      auto header = fx_.Access().HeaderAccess(&fx_.Trans(), true);
      const uint16_t at = header->RegisterHeaderSection(section, 4, false, false);
      original = platform::LoadU32(header->Header() + at);
      platform::StoreU32(header->Header() + at, value);
    }
    fx_.Commit();
    if (value != original) {
      EXPECT_FALSE(UseTable());
    }
    {
      auto header = fx_.Access().HeaderAccess(&fx_.Trans(), true);
      platform::StoreU32(header->Header() + header->RegisterHeaderSection(section, 4, false, false), original);
    }
    fx_.Commit();
  }
  EXPECT_TRUE(UseTable());
}

}  // namespace
}  // namespace revurov
