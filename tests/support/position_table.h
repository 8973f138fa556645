// A table for the table cursor's positioning: fields ID (Int32), Name
// (ShortString[12], may be null), Grp and Stamp (Int32); indices ByID
// (unique), ByName (duplicates, nulls) and ByGrpStamp (Grp ascending,
// Stamp descending). Records are loaded through the record and indices
// engines; the reference is one sorted vector per index, ordered by that
// index's key engine and then RefNr.
//
// PositionCursor counts its content locks (or refuses them with a set
// code) and stands in for the record read that other work supplies: it
// copies the record the path stands on.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "dictionary/index_descriptor.h"
#include "dictionary/indices_descriptors.h"
#include "dictionary/key_descriptors.h"
#include "dictionary/storage_descriptors.h"
#include "index/index_engines.h"
#include "index/index_path.h"
#include "server/server_session.h"
#include "server/server_table_cursor.h"
#include "storage/sub_engines.h"
#include "support/table_ops_fixture.h"

namespace revurov::testing {

// A real cursor that counts the content locks it holds and can be made to
// refuse them.
class LockCountingCursor : public TnxServerTableCursor {
  REVUROV_SERVER_OBJECT_CLASS(LockCountingCursor, TnxServerTableCursor)
  using TnxServerTableCursor::TnxServerTableCursor;

  uint32_t sbcBeginContentLock(bool aExclusive, bool aConditional, bool aInternal) override {
    if (lockRefusal != 0) return lockRefusal;
    const uint32_t result = TnxServerTableCursor::sbcBeginContentLock(aExclusive, aConditional, aInternal);
    if (result == 0) {
      ++lockDepth;
      ++locksTaken;
    }
    return result;
  }
  void sbcEndContentLock() override {
    --lockDepth;
    TnxServerTableCursor::sbcEndContentLock();
  }

  uint32_t lockRefusal = 0;
  int lockDepth = 0;
  int locksTaken = 0;

protected:
  ~LockCountingCursor() override = default;
};

// Reads the record at the path itself, for positioning tests that must not
// depend on the cursor's reads.
class PositionCursor : public LockCountingCursor {
  REVUROV_SERVER_OBJECT_CLASS(PositionCursor, LockCountingCursor)
  using LockCountingCursor::LockCountingCursor;

  uint32_t sbcRecordGet(TnxLockType, PnxRecordBuffer aData) override {
    TnxBaseIndexPath* path = IndexPath();
    if (!path->IsOnKey()) return path->CheckCurrentState();
    Table()->RecordEngine()->ReadRecord(ActiveTrans(), path->RefNr, aData);
    return 0;
  }

protected:
  ~PositionCursor() override = default;
};

struct PositionRow {
  int32_t ID = 0;
  std::optional<std::string> Name;
  int32_t Grp = 0;
  int32_t Stamp = 0;
};

inline std::unique_ptr<TnxDataDictionary> PositionDictionary() {
  auto dict = std::make_unique<TnxDataDictionary>();
  auto& fields = dict->FieldsDescriptor();
  fields.AddField(u"ID", u"", nxtInt32, 0, 0, false);
  fields.AddField(u"Name", u"", nxtShortString, 12, 0, false);
  fields.AddField(u"Grp", u"", nxtInt32, 0, 0, false);
  fields.AddField(u"Stamp", u"", nxtInt32, 0, 0, false);
  dict->FilesDescriptor().AddFile(u"ix", nxbs4k, u"Index");
  auto* indices = dict->EnsureIndicesDescriptor();
  auto key = [&](std::u16string_view aName, TnxIndexDups aDups) {
    return static_cast<TnxCompKeyDescriptor*>(
        indices->AddIndex(aName, 1, aDups, u"", &TnxCompKeyDescriptor::ClassInfo())->KeyDescriptor());
  };
  key(u"ByID", idNone)->Add(0);
  key(u"ByName", idAll)->Add(1);
  auto* comp = key(u"ByGrpStamp", idAll);
  comp->Add(2);
  comp->Add(3)->SetAscend(false);
  indices->SetDefaultIndex(indices->GetIndexFromName(u"ByID"));
  return dict;
}

// The position table with records whose layout may grow.
inline std::unique_ptr<TnxDataDictionary> GrowableDictionary() {
  auto dict = PositionDictionary();
  dict->RemoveRecordDescriptor();
  auto* record =
      static_cast<TnxHeapRecordDescriptor*>(dict->AddRecordDescriptor(&TnxHeapRecordDescriptor::ClassInfo()));
  record->SetRecordEngine(u"VariableVersioned");
  record->AddHeapDescriptor()->AddBlockHeapDescriptor();
  TnxBaseRecordCompressionDescriptor* compression = record->AddRecordCompressionDescriptor();
  compression->SetRecordCompressionEngine(u"Compressor");
  compression->SetCompressType(11);
  return dict;
}

class PositionTableFixture : public TableOpsFixture {
protected:
  struct Entry {
    std::vector<uint8_t> Key;
    TnxRefNr RefNr;
  };

  ~PositionTableFixture() override {
    for (TnxServerTableCursor* cursor : cursors_) cursor->Free();
  }

  // Builds the table "Pos" and keeps a plain cursor open on it.
  void BuildTable() {
    auto dict = PositionDictionary();
    ASSERT_EQ(db->TableBuild(false, u"Pos", u"", dict.get(), tsPersistent, false), 0u) << LastMessage();
    TnxAbstractCursor* cursor = nullptr;
    ASSERT_EQ(db->CursorOpen(cursor, u"Pos", u"", omReadWrite, smShared, 10000, u"", -1, false, 0, 500, nullptr), 0u)
        << LastMessage();
    holder_ = static_cast<TnxServerTableCursor*>(cursor);
    cursors_.push_back(holder_);
    table_ = holder_->Table();
  }

  TnxFieldsDescriptor& Fields() { return holder_->TableDescriptor()->FieldsDescriptor(); }
  int32_t IndexNo(std::u16string_view aName) {
    return holder_->TableDescriptor()->IndicesDescriptor()->GetIndexFromName(aName);
  }
  TnxBaseIndexEngine& Index(int32_t aIndex) { return table_->IndicesEngine()->Indices(aIndex); }

  std::vector<uint8_t> Record(const PositionRow& aRow) {
    std::vector<uint8_t> record(size_t(Fields().RecordLength()) + 16, 0);
    Fields().InitRecord(record.data());
    Fields().SetRecordField(0, record.data(), &aRow.ID);
    uint8_t text[64] = {};
    if (aRow.Name) {
      text[0] = uint8_t(aRow.Name->size());
      std::memcpy(text + 1, aRow.Name->data(), aRow.Name->size());
      Fields().SetRecordField(1, record.data(), text);
    } else {
      Fields().SetRecordField(1, record.data(), nullptr);
    }
    Fields().SetRecordField(2, record.data(), &aRow.Grp);
    Fields().SetRecordField(3, record.data(), &aRow.Stamp);
    return record;
  }
  // A direct key of aIndex over the row's values.
  std::vector<uint8_t> KeyOf(int32_t aIndex, const PositionRow& aRow) {
    const TnxBaseKeyEngine& keys = Index(aIndex).KeyEngine();
    std::vector<uint8_t> record = Record(aRow);
    std::vector<uint8_t> key(keys.KeyLength());
    EXPECT_EQ(keys.BuildKey(record.data(), key.data(), 0, true), 0u);
    return key;
  }

  // Adds the rows in one committed transaction.
  void Load(const std::vector<PositionRow>& aRows) {
    TnxBufferManager& bm = *engine->BufferManager();
    TnxBaseTransaction trans(bm, nullptr, false, false);
    for (const PositionRow& row : aRows) {
      std::vector<uint8_t> record = Record(row);
      TnxRefNr refNr = 0;
      table_->RecordEngine()->AddRecord(trans, refNr, record.data());
      ASSERT_EQ(table_->IndicesEngine()->InsertKeys(trans, refNr, record.data(), nullptr), 0u) << LastMessage();
      rows_.push_back({row, refNr});
    }
    nxsrCommit(bm, trans);
    models_.clear();
  }

  // Random rows: IDs a permutation, names of 1 to 4 letters of a to e or
  // null, Grp 0 to 9.
  static std::vector<PositionRow> RandomRows(int aCount, std::mt19937& aRandom) {
    std::vector<int32_t> ids(static_cast<size_t>(aCount));
    for (int i = 0; i < aCount; ++i) ids[size_t(i)] = 3 * i + 1;
    std::shuffle(ids.begin(), ids.end(), aRandom);
    std::vector<PositionRow> rows;
    for (int i = 0; i < aCount; ++i) {
      PositionRow row;
      row.ID = ids[size_t(i)];
      if (aRandom() % 8 != 0) row.Name = RandomName(aRandom);
      row.Grp = int32_t(aRandom() % 10);
      row.Stamp = int32_t(aRandom() % 1000) - 500;
      rows.push_back(row);
    }
    return rows;
  }
  static std::string RandomName(std::mt19937& aRandom) {
    std::string name(1 + aRandom() % 4, 'a');
    for (char& c : name) c = char('a' + aRandom() % 5);
    return name;
  }

  // The index's keys in its order.
  const std::vector<Entry>& Model(int32_t aIndex) {
    auto found = models_.find(aIndex);
    if (found != models_.end()) return found->second;
    const TnxBaseKeyEngine& keys = Index(aIndex).KeyEngine();
    std::vector<Entry> entries;
    for (const auto& [row, refNr] : rows_) {
      std::vector<uint8_t> record = Record(row);
      Entry entry{std::vector<uint8_t>(keys.KeyLength()), refNr};
      EXPECT_EQ(keys.BuildKey(record.data(), entry.Key.data(), refNr, true), 0u);
      entries.push_back(std::move(entry));
    }
    std::stable_sort(entries.begin(), entries.end(), [&](const Entry& a, const Entry& b) {
      const int c = keys.CompareKey(a.Key.data(), b.Key.data(), 0, 0);
      return c != 0 ? c < 0 : a.RefNr < b.RefNr;
    });
    return models_[aIndex] = std::move(entries);
  }

  PositionCursor* NewCursor(int32_t aIndex = -1, TnxServerDatabase* aDatabase = nullptr) {
    auto cursor = nxCreateServerObject<PositionCursor>(aDatabase ? aDatabase : db, table_, 10000u, omReadWrite,
                                                       smShared, std::u16string_view(), aIndex, false, false);
    cursors_.push_back(cursor.get());
    return cursor.release();
  }

  TnxServerTableCursor* holder_ = nullptr;
  TnxServerBaseTable* table_ = nullptr;
  std::vector<std::pair<PositionRow, TnxRefNr>> rows_;
  std::map<int32_t, std::vector<Entry>> models_;
  std::vector<TnxServerTableCursor*> cursors_;
};

}  // namespace revurov::testing
