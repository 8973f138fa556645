// Fields and indices added to and dropped from an open table through its
// cursor: what each refuses and leaves unchanged, that a new index holds
// every record, that a failed change leaves memory and files as they were,
// and renaming a field of a result set.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "dictionary/storage_descriptors.h"
#include "index/bulk_build.h"
#include "server/server_data_dict.h"
#include "storage/deadline.h"
#include "support/position_table.h"
#include "support/table_check.h"
#include "support/test_size.h"

namespace revurov::testing {
namespace {

// Descriptors to hand in, kept in a dictionary of the same layout.
class TNewItems {
public:
  TNewItems() : niIndices(PositionDictionary()), niFields(std::make_unique<TnxDataDictionary>()) {
    niIndices->RemoveIndicesDescriptor();
  }
  TnxIndexDescriptor* Index(std::u16string_view aName, int32_t aField, TnxIndexDups aDups = idAll) {
    TnxIndexDescriptor* index =
        niIndices->EnsureIndicesDescriptor()->AddIndex(aName, 1, aDups, u"", &TnxCompKeyDescriptor::ClassInfo());
    static_cast<TnxCompKeyDescriptor*>(index->KeyDescriptor())->Add(aField);
    return index;
  }
  TnxFieldDescriptor* Field(std::u16string_view aName, bool aRequired = false) {
    return niFields->FieldsDescriptor().AddField(aName, u"", nxtInt32, 0, 0, aRequired);
  }

private:
  // Names repeat across the cases: every index or field its own holder.
  std::unique_ptr<TnxDataDictionary> niIndices;
  std::unique_ptr<TnxDataDictionary> niFields;
};

class StructureTest : public PositionTableFixture {
protected:
  void Build(std::unique_ptr<TnxDataDictionary> aDict = GrowableDictionary()) {
    ASSERT_EQ(db->TableBuild(false, u"Pos", u"", aDict.get(), tsPersistent, false), 0u) << LastMessage();
    Open();
  }
  void Open() {
    TnxAbstractCursor* cursor = nullptr;
    ASSERT_EQ(db->CursorOpen(cursor, u"Pos", u"", omReadWrite, smShared, 10000, u"", -1, false, 0, 500, nullptr), 0u)
        << LastMessage();
    holder_ = static_cast<TnxServerTableCursor*>(cursor);
    cursors_.push_back(holder_);
    table_ = holder_->Table();
  }
  // The folder closed and opened again: what the files hold.
  void Reopen() {
    for (TnxServerTableCursor* cursor : cursors_) cursor->Free();
    cursors_.clear();
    CloseAll();
    OpenAll();
    Open();
  }
  TnxServerDataDict& Dict() { return table_->Root()->Dictionary(); }
  int32_t IndexCount() { return Dict().IndicesDescriptor() ? Dict().IndicesDescriptor()->IndexCount() : 0; }

  // Every record once in the index and its key count the record count.
  void ExpectIndexHoldsAll(std::u16string_view aName) {
    const int32_t index = IndexNo(aName);
    ASSERT_GE(index, 0);
    ASSERT_EQ(table_->IndicesEngine()->IndexCount(), IndexCount());
    const TRecords records = ReadRecords(*table_, nullptr, size_t(Fields().RecordLength()));
    ExpectIndexComplete(Index(index), nullptr, records, platform::Utf16ToUtf8(aName));
    EXPECT_EQ(Index(index).bieGetKeyCount(nullptr), records.size());
  }

  TNewItems items_;
};

TEST_F(StructureTest, ANewIndexHoldsEveryRecordAlsoAfterTheReopen) {
  Build();
  std::mt19937 random(99);
  Load(RandomRows(TestSize(3000, 100000), random));
  // The worker runs under the deadline its caller's frame sets; the load
  // above ran without one.
  nxSetTimeout(600000, true);
  const int32_t generation = db->StructureGeneration();
  ASSERT_EQ(holder_->stcAddIndex(items_.Index(u"ByStamp", 3), false), 0u) << LastMessage();
  EXPECT_GT(db->StructureGeneration(), generation);
  ExpectIndexHoldsAll(u"ByStamp");
  Reopen();
  EXPECT_EQ(Dict().GetIndexFromName(u"ByStamp"), 4);
  ExpectIndexHoldsAll(u"ByStamp");
  ExpectIndexHoldsAll(u"ByID");
}

TEST_F(StructureTest, ANewDefaultIndexIsTheDefaultAfterTheReopen) {
  Build();
  Load({{1, "a", 1, 1}, {2, "b", 2, 2}});
  ASSERT_EQ(holder_->stcAddIndex(items_.Index(u"ByGrp", 2), true), 0u) << LastMessage();
  EXPECT_EQ(Dict().IndicesDescriptor()->DefaultIndex(), IndexNo(u"ByGrp"));
  Reopen();
  EXPECT_EQ(Dict().IndicesDescriptor()->DefaultIndex(), IndexNo(u"ByGrp"));
}

// Each refusal leaves the dictionary (its items and its ID) as it was.
TEST_F(StructureTest, RefusalsChangeNothing) {
  Build();
  Load({{1, "a", 1, 1}, {2, "a", 1, 2}});
  struct TCase {
    const char* Name;
    std::function<uint32_t()> Call;
    uint32_t Code;
  };
  const std::vector<TCase> cases = {
      {"index of a taken name", [&] { return holder_->stcAddIndex(items_.Index(u"byname", 0), false); },
       nxeIndexAlreadyExists},
      {"no index descriptor", [&] { return holder_->stcAddIndex(nullptr, false); }, nxeInvalidIndexDescriptor},
      {"field of a taken name", [&] { return holder_->stcAddField(items_.Field(u"grp")); }, nxeNameNotUnique},
      {"required field", [&] { return holder_->stcAddField(items_.Field(u"Req", true)); },
       nxeCapabilityNotSupported},
      {"no field descriptor", [&] { return holder_->stcAddField(nullptr); }, nxeInvalidFieldDescriptor},
      {"drop of an index number past the last", [&] { return holder_->stcDropIndex(u"", 4); },
       nxeIndexDoesNotExist},
      {"drop of an unknown name", [&] { return holder_->stcDropIndex(u"Nope", 0); }, nxeIndexDoesNotExist},
      {"unique index over duplicates", [&] { return holder_->stcAddIndex(items_.Index(u"U", 1, idNone), false); },
       nxeKeyViolation},
      {"inside the caller's transaction",
       [&] {
         EXPECT_EQ(db->TransactionStart(false, false), 0u);
         const uint32_t result = holder_->stcAddIndex(items_.Index(u"InTrans", 2), false);
         EXPECT_EQ(db->TransactionRollback(), 0u);
         return result;
       },
       nxeTransactionActive},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    const int32_t id = Dict().CurrentID();
    const int32_t fields = Fields().FieldCount();
    const int32_t indices = IndexCount();
    const int32_t generation = db->StructureGeneration();
    EXPECT_EQ(c.Call(), c.Code) << LastMessage();
    EXPECT_EQ(Dict().CurrentID(), id);
    EXPECT_EQ(Fields().FieldCount(), fields);
    EXPECT_EQ(IndexCount(), indices);
    EXPECT_EQ(table_->IndicesEngine()->IndexCount(), indices);
    EXPECT_EQ(db->StructureGeneration(), generation);
    EXPECT_TRUE(Dict().ReadOnly());
  }
  // The files too, and the table still takes records in every index.
  Reopen();
  EXPECT_EQ(IndexCount(), 4);
  EXPECT_EQ(Fields().FieldCount(), 4);
  std::vector<uint8_t> record = Record({3, "c", 2, 3});
  ASSERT_EQ(holder_->RecordInsert(nxltNoLock, record.data(), nullptr), 0u) << LastMessage();
  ExpectIndexHoldsAll(u"ByName");
}

TEST_F(StructureTest, The256thIndexIsRefused) {
  Build();
  Load({{1, "a", 1, 1}});
  // One deadline for all the changes, as a caller's frame would set for
  // one: long enough for a slow (sanitized, loaded) machine.
  nxSetTimeout(600000, true);
  for (int32_t i = IndexCount(); i < nxMaxIndices; ++i)
    ASSERT_EQ(holder_->stcAddIndex(items_.Index(u"I" + platform::Utf8ToUtf16(std::to_string(i)), i % 4), false),
              0u)
        << i << ": " << LastMessage();
  EXPECT_EQ(holder_->stcAddIndex(items_.Index(u"OneTooMany", 0), false), nxeTooManyIndexes);
  EXPECT_EQ(IndexCount(), nxMaxIndices);
}

TEST_F(StructureTest, At255AddedFieldsTheNextIsRefused) {
  Build();
  nxSetTimeout(600000, true);
  for (int32_t i = 0; i < 255; ++i)
    ASSERT_EQ(holder_->stcAddField(items_.Field(u"F" + platform::Utf8ToUtf16(std::to_string(i)))), 0u)
        << i << ": " << LastMessage();
  EXPECT_EQ(holder_->stcAddField(items_.Field(u"OneTooMany")), nxeTooManyFields);
  EXPECT_EQ(Fields().FieldCount(), 4 + 255);
}

TEST_F(StructureTest, AnAddedFieldIsNullInOldRecordsAfterTheReopen) {
  Build();
  Load({{1, "a", 1, 1}, {2, "b", 2, 2}});
  ASSERT_EQ(holder_->stcAddField(items_.Field(u"Extra")), 0u) << LastMessage();
  Reopen();
  ASSERT_EQ(Fields().FieldCount(), 5);
  EXPECT_EQ(Fields().FieldDescriptor(4)->Name(), u"Extra");
  const TRecords records = ReadRecords(*table_, nullptr, size_t(Fields().RecordLength()));
  ASSERT_EQ(records.size(), 2u);
  for (const auto& [refNr, record] : records) EXPECT_TRUE(Fields().IsRecordFieldNull(4, record.data()));
  std::vector<uint8_t> record(size_t(Fields().RecordLength()) + 16);
  Fields().InitRecord(record.data());
  const int32_t id = 3, extra = 77;
  Fields().SetRecordField(0, record.data(), &id);
  Fields().SetRecordField(4, record.data(), &extra);
  ASSERT_EQ(holder_->RecordInsert(nxltNoLock, record.data(), nullptr), 0u) << LastMessage();
}

TEST_F(StructureTest, ATableWithoutRecordVersionsTakesNoField) {
  Build(PositionDictionary());
  EXPECT_EQ(holder_->stcAddField(items_.Field(u"Extra")), nxeCapabilityNotSupported);
  EXPECT_EQ(Fields().FieldCount(), 4);
}

TEST_F(StructureTest, DroppingEveryIndexLeavesRecordOrder) {
  Build();
  std::mt19937 random(7);
  Load(RandomRows(50, random));
  ASSERT_EQ(holder_->stcDropIndex(u"ByName", -1), 0u) << LastMessage();
  EXPECT_EQ(Dict().GetIndexFromName(u"ByName"), -1);
  EXPECT_NE(holder_->IndexEngine(), nullptr);
  ExpectIndexHoldsAll(u"ByGrpStamp");
  while (IndexCount() > 0) ASSERT_EQ(holder_->stcDropIndex(u"", 0), 0u) << LastMessage();
  EXPECT_EQ(Dict().IndicesDescriptor(), nullptr);
  EXPECT_EQ(table_->IndicesEngine(), nullptr);
  EXPECT_EQ(holder_->IndexEngine(), nullptr);
  EXPECT_EQ(holder_->stcDropIndex(u"", 0), nxeTableIsNotIndexed);
  // Record order still walks every record.
  std::vector<uint8_t> record(size_t(Fields().RecordLength()) + 16);
  holder_->sbcSetToBegin();
  size_t seen = 0;
  while (holder_->RecordGetNext(nxltNoLock, record.data()) == 0) ++seen;
  EXPECT_EQ(seen, 50u);
  Reopen();
  EXPECT_EQ(Dict().IndicesDescriptor(), nullptr);
  EXPECT_EQ(ReadRecords(*table_, nullptr, size_t(Fields().RecordLength())).size(), 50u);
  // And an index comes back onto the unindexed table.
  ASSERT_EQ(holder_->stcAddIndex(items_.Index(u"ByID", 0, idNone), true), 0u) << LastMessage();
  ExpectIndexHoldsAll(u"ByID");
  Reopen();
  ExpectIndexHoldsAll(u"ByID");
}

TEST_F(StructureTest, AnIndexAnotherCursorStandsOnStays) {
  Build();
  PositionCursor* other = NewCursor(IndexNo(u"ByName"));
  EXPECT_EQ(holder_->stcDropIndex(u"ByName", -1), nxeTableIsOpen);
  EXPECT_EQ(IndexCount(), 4);
  other->Free();
  std::erase(cursors_, other);
  EXPECT_EQ(holder_->stcDropIndex(u"ByName", -1), 0u) << LastMessage();
}

TEST_F(StructureTest, AFieldOfAResultSetIsRenamed) {
  Build();
  auto dict = PositionDictionary();
  auto* cursor = static_cast<TnxServerTableCursor*>(db->sadCreateResultSet(dict.get(), 10000));
  ASSERT_NE(cursor, nullptr);
  TnxFieldsDescriptor& fields = cursor->TableDescriptor()->FieldsDescriptor();
  const struct {
    const char* Name;
    int32_t Field;
    std::u16string NewName;
    uint32_t Code;
  } cases[] = {
      {"renamed", 1, u"Title", 0},
      {"past the fields", 4, u"X", nxeInvalidDescriptorNumber},
      {"negative", -1, u"X", nxeInvalidDescriptorNumber},
      {"taken", 0, u"grp", nxeNameNotUnique},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    EXPECT_EQ(cursor->sbcRenameField(c.Field, c.NewName), c.Code) << LastMessage();
  }
  EXPECT_EQ(fields.FieldDescriptor(1)->Name(), u"Title");
  EXPECT_EQ(fields.GetFieldFromName(u"title"), 1);
  EXPECT_EQ(fields.FieldDescriptor(0)->Name(), u"ID");
  EXPECT_TRUE(cursor->Table()->Root()->Dictionary().ReadOnly());
  // Not while a second cursor shares it, and never on a stored table.
  TnxAbstractCursor* second = nullptr;
  ASSERT_EQ(cursor->Duplicate(omReadWrite, second), 0u) << LastMessage();
  EXPECT_EQ(cursor->sbcRenameField(2, u"Group"), nxeCapabilityNotSupported);
  second->Free();
  cursor->Free();
  EXPECT_EQ(holder_->sbcRenameField(2, u"Group"), nxeCapabilityNotSupported);
  EXPECT_EQ(Fields().FieldDescriptor(2)->Name(), u"Grp");
}

TEST_F(StructureTest, TheBulkBuilderNeedsIndicesAndATransaction) {
  Build();
  std::unique_ptr<TnxBaseBulkBuilder> builder;
  EXPECT_EQ(holder_->stcCreateBulkBuilder(builder), nxeNoTransaction);
  ASSERT_EQ(db->TransactionStart(false, false), 0u);
  EXPECT_EQ(holder_->stcCreateBulkBuilder(builder), 0u) << LastMessage();
  EXPECT_NE(builder, nullptr);
  builder.reset();
  EXPECT_EQ(db->TransactionRollback(), 0u);
}

}  // namespace
}  // namespace revurov::testing
