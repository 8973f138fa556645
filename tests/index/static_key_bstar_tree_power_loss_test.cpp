// Power cuts during journalled commits of inserts into an indexed table: a
// forked child adds records with their index keys in batches, each batch
// one transaction (every fourth rolled back), and is cut at the k-th change
// it makes to the disk (a write, size change, sync, folder sync, create,
// rename or unlink). At the cut it exits, loses power (unsynced writes and
// names dropped, or random unsynced sectors kept), or that one call fails
// with EIO and the child goes on. The parent recovers the folder from its
// journal, opens the table and checks: the tree is sound, index and records
// hold the same (key, RefNr) pairs, every acknowledged batch is there and of
// the others at most one, whole.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "dictionary/fields_descriptor.h"
#include "dictionary/index_descriptor.h"
#include "dictionary/indices_descriptors.h"
#include "dictionary/key_descriptors.h"
#include "index/index_engines.h"
#include "index/startup.h"
#include "index/static_key_bstar_tree.h"
#include "platform/file_io.h"
#include "platform/process.h"
#include "platform/text.h"
#include "storage/block_access.h"
#include "storage/buffer_manager.h"
#include "storage/journal_classes.h"
#include "storage/journal_engine.h"
#include "storage/journal_supply.h"
#include "storage/startup.h"
#include "storage/transactions.h"
#include "support/bstar_tree_checker.h"
#include "support/fault_file_ops.h"
#include "support/power_cut.h"
#include "support/table_fixture.h"
#include "support/temp_dir.h"
#include "support/test_size.h"

namespace revurov {
namespace {

using testing::LongTests;
using testing::TestSize;
using testing::cCutCount;
using testing::cEIO;
using testing::cExit;
using testing::cPowerLoss;
using testing::cSectors;
using testing::TCut;

// Long keys make small nodes (19 keys a leaf in 4 KB blocks), so a few
// hundred inserts split leaves and internal nodes inside the commits.
constexpr int32_t kKeyBytes = 200;
constexpr int kPerBatch = 30;
const char* const kTable = "table.nx2";

using TPair = std::pair<std::vector<uint8_t>, TnxRefNr>;

// The table file of a folder opened as for an open table: its own buffer
// manager, the given file seam, the record and indices engines.
class TOpenTable {
public:
  TOpenTable(const testing::TempDir& aDir, TnxDataDictionary& aDict, platform::TFileOps& aOps)
      : otBufMgr(platform::Utf8ToUtf16(aDir.Dir())) {
    otBufMgr.SetMaxRAM(16);
    otFile = std::make_unique<TnxBaseFile>(platform::Utf8ToUtf16(aDir.Path(kTable)), aOps);
    otFile->OpenFile(omReadWrite, smShared, false, false);
    PnxBlock header = nullptr;
    bool readOnly = false;
    {
      TnxBlockGuard guard;
      const uint32_t result = otBufMgr.AddFile(*otFile, {}, guard.ReleaseMethod(), header, readOnly);
      guard.Hold(header);
      if (result != 0) throw std::runtime_error("AddFile " + std::to_string(result));
    }
    try {
      otAccess = std::make_unique<TnxBlockAccess>(*otFile, nullptr, u"table", 0);
      otFiles = {otAccess.get()};
      otRecords = TnxBaseRecordEngine::CreateEngine(aDict, otFiles, nullptr);
      otIndices = TnxBaseIndicesEngine::CreateEngine(aDict, otFiles, otRecords.get(), nullptr, false);
    } catch (...) {
      Close();
      throw;
    }
  }
  ~TOpenTable() { Close(); }
  TOpenTable(const TOpenTable&) = delete;
  TOpenTable& operator=(const TOpenTable&) = delete;

  TnxBufferManager& BufMgr() { return otBufMgr; }
  TnxBaseRecordEngine& Records() { return *otRecords; }
  TnxBaseIndicesEngine& Indices() { return *otIndices; }
  TnxStaticKeyBstarTreeIndexEngine& Tree() {
    return static_cast<TnxStaticKeyBstarTreeIndexEngine&>(otIndices->Indices(0));
  }

private:
  void Close() {
    otIndices.reset();
    otRecords.reset();
    otAccess.reset();
    otBufMgr.RemoveFile(*otFile);
  }

  TnxBufferManager otBufMgr;
  std::unique_ptr<TnxBaseFile> otFile;
  std::unique_ptr<TnxBlockAccess> otAccess;
  TnxBlockAccessList otFiles;
  std::unique_ptr<TnxBaseRecordEngine> otRecords;
  std::unique_ptr<TnxBaseIndicesEngine> otIndices;
};

class TreePowerLossTest : public ::testing::Test {
protected:
  TreePowerLossTest() : shape_(TTableShapeWithIndex()) {
    // The table as created: a file with the engines' blocks and an empty
    // index, committed; every run starts from these bytes.
    auto indices = TnxBaseIndicesEngine::CreateEngine(shape_.Dict(), shape_.Files(), &shape_.Records(),
                                                      &shape_.Trans(), false);
    recordLength_ = shape_.RecordLength();
    keyLength_ = indices->Indices(0).KeyEngine().KeyLength();
    shape_.Commit();
    original_ = shape_.Storage().Dir().Read(kTable);
  }

  static testing::TTableShape TTableShapeWithIndex() {
    testing::TTableShape shape;
    shape.DataBytes = 8;
    shape.KeyBytes = kKeyBytes;
    shape.Configure = [](testing::TTestDataDictionary& aDict) {
      auto* indices = aDict.EnsureIndicesDescriptor();
      while (indices->IndexCount() > 0) indices->RemoveIndex(indices->IndexCount() - 1);
      TnxIndexDescriptor* d = indices->AddIndex(u"Key", 0, idNone, u"", &TnxCompKeyDescriptor::ClassInfo());
      static_cast<TnxCompKeyDescriptor*>(d->KeyDescriptor())->Add(0);
    };
    return shape;
  }

  // Record i of the workload: a key no other record has, in random order.
  std::vector<uint8_t> Record(int aIndex) {
    std::vector<uint8_t> record(recordLength_, 0);
    const auto& fields = shape_.Dict().FieldsDescriptor();
    uint8_t* key = record.data() + fields.FieldDescriptor(0)->Offset();
    std::mt19937_64 random(static_cast<uint64_t>(aIndex) * 7919 + 17);
    for (int32_t i = 0; i < kKeyBytes; ++i) key[i] = static_cast<uint8_t>(random());
    std::memcpy(key, &aIndex, sizeof aIndex);  // unique whatever the rest
    std::swap(key[0], key[3]);                 // spread over the key space
    fields.SetRecordFieldNull(0, record.data(), false);
    uint8_t* data = record.data() + fields.FieldDescriptor(1)->Offset();
    std::memcpy(data, &aIndex, sizeof aIndex);
    fields.SetRecordFieldNull(1, record.data(), false);
    return record;
  }
  static bool RolledBack(int aBatch) { return aBatch % 4 == 3; }

  void Reset() {
    for (const auto& item : std::filesystem::directory_iterator(dir_.Dir())) std::filesystem::remove(item.path());
    dir_.Write(kTable, original_);
  }

  // In the child: the batches with the cut at change aCutAt (0: none); the
  // acknowledged batches, then the number of changes made, go to "acks".
  [[noreturn]] void RunChild(int aBatches, int aCutAt, TCut aCut) {
    platform::ScopedFileOps scoped(ops_);
    ops_.TrackFolders();
    testing::TAckFile acks(dir_.Path("acks"));
    auto ack = [&](int32_t aValue) { acks.Ack(aValue); };
    int changes = 0;
    testing::CutAtChange(ops_, aCutAt, aCut, changes);
    // Nothing here is torn down: the child ends without tidying, as a
    // crashed process would.
    std::unique_ptr<TOpenTable> table;
    try {
      table = std::make_unique<TOpenTable>(dir_, shape_.Dict(), ops_);
    } catch (...) {
      platform::ExitProcessNow(3);
    }
    TnxBufferManager& bm = table->BufMgr();
    TnxJournalSupply supply(platform::Utf8ToUtf16(dir_.Dir()), ops_);
    for (int batch = 0; batch < aBatches; ++batch) {
      try {
        TnxBaseTransaction trans(bm, nullptr, false, true);
        bool added = true;
        try {
          for (int i = 0; i < kPerBatch && added; ++i) {
            std::vector<uint8_t> record = Record(batch * kPerBatch + i);
            TnxRefNr ref = 0;
            table->Records().AddRecord(trans, ref, record.data());
            added = table->Indices().InsertKeys(trans, ref, record.data(), nullptr) == 0;
          }
        } catch (...) {
          added = false;
        }
        if (!added || RolledBack(batch)) {
          bm.RollbackTransaction(&trans);
          continue;
        }
        trans.SetJournal(supply.NextJournal(&nxRollbackJournalEngineClass()));
        try {
          bm.CommitTransaction(&trans, nullptr, false);
        } catch (...) {
          bm.RollbackTransaction(&trans);
          continue;
        }
        ack(batch + 1);
      } catch (...) {
        // A failure outside the commit: the transaction went back.
      }
    }
    // Acknowledged batches must already be durable: power goes later.
    if (aCut == cPowerLoss) ops_.PowerLoss();
    ack(-changes);
    platform::ExitProcessNow(0);
  }

  std::set<int> Run(int aBatches, int aCutAt, TCut aCut, int* aChanges = nullptr) {
    const int32_t pid = platform::ForkProcess();
    if (pid == 0) RunChild(aBatches, aCutAt, aCut);
    EXPECT_GT(pid, 0);
    EXPECT_TRUE(platform::WaitProcess(static_cast<uint32_t>(pid)));
    std::set<int> acked;
    const std::string bytes = dir_.Exists("acks") ? dir_.Read("acks") : std::string();
    for (size_t at = 0; at + 4 <= bytes.size(); at += 4) {
      int32_t value;
      std::memcpy(&value, bytes.data() + at, 4);
      if (value < 0 && aChanges) *aChanges = -value;
      if (value > 0) acked.insert(value - 1);
    }
    std::filesystem::remove(dir_.Path("acks"));
    return acked;
  }

  // The keys of the batches in aBatches, as the index holds them.
  std::set<std::vector<uint8_t>> KeysOf(TnxStaticKeyBstarTreeIndexEngine& aTree, const std::set<int>& aBatches) {
    std::set<std::vector<uint8_t>> keys;
    for (int batch : aBatches)
      for (int i = 0; i < kPerBatch; ++i) {
        const std::vector<uint8_t> record = Record(batch * kPerBatch + i);
        std::vector<uint8_t> key(keyLength_);
        aTree.KeyEngine().BuildKey(record.data(), key.data(), 0, false);
        keys.insert(std::move(key));
      }
    return keys;
  }

  void CheckFolder(int aBatches, const std::set<int>& aAcked, const std::string& aWhat) {
    SCOPED_TRACE(aWhat);
    ASSERT_NO_THROW(Tnx1xRollbackJournalEngine::Check(u"", platform::Utf8ToUtf16(dir_.Dir())));
    for (const auto& item : std::filesystem::directory_iterator(dir_.Dir()))
      EXPECT_NE(item.path().extension(), ".n$2") << "a journal is left";
    std::unique_ptr<TOpenTable> table;
    ASSERT_NO_THROW(table = std::make_unique<TOpenTable>(dir_, shape_.Dict(), platform::PosixFileOps()));
    TnxStaticKeyBstarTreeIndexEngine& tree = table->Tree();
    const testing::TTreeReport report = testing::TTreeChecker(tree, nullptr).Check();
    ASSERT_EQ(report.Error, "");
    depth_ = report.Depth;
    // The records, each with the key the index would give it.
    struct TWalk {
      TnxStaticKeyBstarTreeIndexEngine* Tree;
      std::vector<uint8_t> Key;
      std::set<TPair> Pairs;
    } walk{&tree, std::vector<uint8_t>(keyLength_), {}};
    TnxRefNr ref = 0;
    PnxRecordBuffer data = nullptr;
    ASSERT_NO_THROW(table->Records().Iterate(
        nullptr, ref, &data,
        [](void* aCookie, TnxRefNr aRefNr, PnxRecordBuffer aRecord) {
          auto* w = static_cast<TWalk*>(aCookie);
          w->Tree->KeyEngine().BuildKey(aRecord, w->Key.data(), aRefNr, false);
          w->Pairs.insert({w->Key, aRefNr});
          return rirContinue;
        },
        &walk, nullptr, false, false));
    const std::set<TPair> indexed(report.Entries.begin(), report.Entries.end());
    EXPECT_EQ(indexed.size(), report.Entries.size()) << "an entry twice in the index";
    EXPECT_TRUE(indexed == walk.Pairs) << "index " << indexed.size() << " entries, records " << walk.Pairs.size();
    uint32_t records = 0;
    table->Records().GetRecordCount(nullptr, records);
    EXPECT_EQ(records, walk.Pairs.size());
    // What is there: the acknowledged batches, and at most one other whole.
    std::set<std::vector<uint8_t>> keys;
    for (const TPair& pair : indexed) keys.insert(pair.first);
    bool match = keys == KeysOf(tree, aAcked);
    for (int batch = 0; batch < aBatches && !match; ++batch) {
      if (aAcked.count(batch) != 0 || RolledBack(batch)) continue;
      std::set<int> with = aAcked;
      with.insert(batch);
      match = keys == KeysOf(tree, with);
    }
    EXPECT_TRUE(match) << keys.size() << " keys, " << aAcked.size() << " batches acknowledged";
  }

  TnxStorageStartupGuard storage_;
  TnxIndexStartupGuard startup_;
  testing::TTableFixture shape_;
  testing::TempDir dir_;
  testing::TFaultFileOps ops_;
  std::string original_;
  uint16_t recordLength_ = 0;
  uint16_t keyLength_ = 0;
  int32_t depth_ = 0;  // of the tree last checked
};

// The sweep is cut into shards so that a full-size run fits the per-test
// time limit; together the shards cover every cut.
constexpr int kShards = 16;

class TreePowerLossShard : public TreePowerLossTest, public ::testing::WithParamInterface<int> {};

INSTANTIATE_TEST_SUITE_P(Shards, TreePowerLossShard, ::testing::Range(0, kShards));

TEST_P(TreePowerLossShard, EveryCutLeavesIndexAndRecordsAgreeingWithTheAcknowledgedBatches) {
  const int shard = GetParam();
  const int batches = TestSize(8, 20);
  Reset();
  int changes = 0;
  const std::set<int> all = Run(batches, 0, cExit, &changes);
  ASSERT_GT(changes, 0);
  ASSERT_EQ(all.size(), static_cast<size_t>(batches - batches / 4)) << "a batch failed without a cut";
  CheckFolder(batches, all, "no cut");
  if (HasFailure()) return;
  // The commits split leaves (and, at full size, internal nodes).
  EXPECT_GE(depth_, LongTests() ? 2 : 1);
  RecordProperty("changes", changes);
  // Quick runs take about 120 cuts spread over the workload.
  const int stride = LongTests() ? 1 : std::max(1, changes / 120);
  for (int k = 1, step = 0; k <= changes; k += stride, ++step) {
    if (step % kShards != shard) continue;
    for (int cut = 0; cut < cCutCount; ++cut) {
      if (!LongTests() && cut != k % cCutCount) continue;
      Reset();
      const std::set<int> acked = Run(batches, k, static_cast<TCut>(cut));
      CheckFolder(batches, acked, "cut " + std::to_string(cut) + " at change " + std::to_string(k));
      if (HasFailure()) return;
    }
  }
}

}  // namespace
}  // namespace revurov
