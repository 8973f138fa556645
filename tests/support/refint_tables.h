// Three tables tied by references, for the referential-integrity tests:
// Master (ID, Val; ByID), Detail (ID, MID; ByID, ByMID) whose MID
// refers to Master.ID, and Node (ID, Parent; ByID, ByParent) whose Parent
// refers to another Node's ID. MID and Parent may be null and default to
// 0 on the server. The referred-to side carries one reference with the
// delete and modify actions chosen; the referring side one with a
// target-required check that skips null values, as SQL's foreign keys
// have it.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "dictionary/data_dictionary.h"
#include "dictionary/default_values.h"
#include "dictionary/field_descriptor.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/index_descriptor.h"
#include "dictionary/indices_descriptors.h"
#include "dictionary/key_descriptors.h"
#include "dictionary/referential_integrity.h"
#include "lowlevel/errors/error_codes.h"
#include "server/server_database.h"
#include "server/server_table_cursor.h"
#include "support/server_fixture.h"
#include "support/table_ops_fixture.h"

namespace revurov::testing {

enum class RefAction { None, Block, Cascade, Clear, SetDefault };

struct RefRow {
  int32_t ID = 0;
  std::optional<int32_t> Ref;
  bool operator==(const RefRow&) const = default;
};
using RefRows = std::map<int32_t, RefRow>;

inline const TnxActionDescriptorClass* DeleteActionClass(RefAction aAction) {
  switch (aAction) {
    case RefAction::Block: return &TnxBlockDeleteActionDescriptor::ClassInfo();
    case RefAction::Cascade: return &TnxCascadeDeleteActionDescriptor::ClassInfo();
    case RefAction::Clear: return &TnxClearDeleteActionDescriptor::ClassInfo();
    case RefAction::SetDefault: return &TnxSetDefaultDeleteActionDescriptor::ClassInfo();
    case RefAction::None: break;
  }
  return nullptr;
}
inline const TnxActionDescriptorClass* ModifyActionClass(RefAction aAction) {
  switch (aAction) {
    case RefAction::Block: return &TnxBlockModifyActionDescriptor::ClassInfo();
    case RefAction::Cascade: return &TnxCascadeModifyActionDescriptor::ClassInfo();
    case RefAction::Clear: return &TnxClearModifyActionDescriptor::ClassInfo();
    case RefAction::SetDefault: return &TnxSetDefaultModifyActionDescriptor::ClassInfo();
    case RefAction::None: break;
  }
  return nullptr;
}

// Fields aFirst and aSecond (Int32; the second may be null, defaulting to
// 0 on the server), a unique index ByID on the first and, when aByRef is
// given, an index with duplicates on the second.
inline std::unique_ptr<TnxDataDictionary> RefDictionary(std::u16string_view aSecond, std::u16string_view aByRef) {
  auto dict = std::make_unique<TnxDataDictionary>();
  auto& fields = dict->FieldsDescriptor();
  fields.AddField(u"ID", u"", nxtInt32, 0, 0, true);
  auto* def = static_cast<TnxConstDefaultValueDescriptor*>(
      fields.AddField(std::u16string(aSecond), u"", nxtInt32, 0, 0, false)->AddDefaultValue());
  def->SetAsVariant(platform::TnxVariant::FromInteger(0));
  def->SetApplyAt(nxApplyAtBit(aaServer));
  def->SetApplyOnInsert(false);
  dict->FilesDescriptor().AddFile(u"ix", nxbs4k, u"Index");
  auto* indices = dict->EnsureIndicesDescriptor();
  static_cast<TnxCompKeyDescriptor*>(
      indices->AddIndex(u"ByID", 1, idNone, u"", &TnxCompKeyDescriptor::ClassInfo())->KeyDescriptor())
      ->Add(0);
  if (!aByRef.empty())
    static_cast<TnxCompKeyDescriptor*>(
        indices->AddIndex(aByRef, 1, idAll, u"", &TnxCompKeyDescriptor::ClassInfo())->KeyDescriptor())
        ->Add(1);
  indices->SetDefaultIndex(0);
  return dict;
}

inline TnxRefIntegrityDescriptor& RefIntegrityOf(TnxDataDictionary& aDict) {
  if (TnxRefIntegrityDescriptor* ri = nxGetRefIntegrityDescriptor(aDict)) return *ri;
  return *static_cast<TnxRefIntegrityDescriptor*>(
      aDict.CustomDescsDescriptor().AddCustom(nxRefIntegrityName, &TnxRefIntegrityDescriptor::ClassInfo()));
}

// A reference of aDict from field aField to aTargetIndex of aTarget (a
// table name; empty: the table itself).
inline TnxReferenceDescriptor& AddReference(TnxDataDictionary& aDict, std::u16string_view aTarget,
                                            std::u16string_view aTargetIndex, int32_t aField, bool aSkipOnNull) {
  TnxReferenceDescriptor* ref =
      aTarget.empty() ? RefIntegrityOf(aDict).AddReference(nullptr, &TnxCloneTargetCursorDescriptor::ClassInfo())
                      : RefIntegrityOf(aDict).AddReference();
  if (!aTarget.empty()) static_cast<TnxTableTargetCursorDescriptor&>(ref->TargetCursor()).SetTableName(aTarget);
  ref->SetTargetIndex(aTargetIndex);
  auto* source = static_cast<TnxFieldSourceDescriptor*>(ref->AddSource());
  source->SetFieldNumber(aField);
  source->SetSkipOnNull(aSkipOnNull);
  return *ref;
}

inline void AddActions(TnxReferenceDescriptor& aRef, RefAction aOnDelete, RefAction aOnModify) {
  if (aOnDelete != RefAction::None) aRef.AddAction(DeleteActionClass(aOnDelete));
  if (aOnModify != RefAction::None) aRef.AddAction(ModifyActionClass(aOnModify));
}

// Builds the tables and keeps a cursor on each, on ByID.
class RefTablesFixture : public TableOpsFixture {
protected:
  ~RefTablesFixture() override {
    for (auto& entry : cursors_) entry.second->Free();
  }

  // Master and Detail with the master side's actions; with aRequired the
  // detail side checks its master.
  void BuildMasterDetail(RefAction aOnDelete, RefAction aOnModify, bool aRequired = true) {
    auto master = RefDictionary(u"Val", u"");
    AddActions(AddReference(*master, u"Detail", u"ByMID", 0, false), aOnDelete, aOnModify);
    auto detail = RefDictionary(u"MID", u"ByMID");
    if (aRequired)
      AddReference(*detail, u"Master", u"ByID", 1, true).AddAction(&TnxTargetRequiredActionDescriptor::ClassInfo());
    BuildTable(u"Master", *master);
    BuildTable(u"Detail", *detail);
  }
  // Node referring to itself.
  void BuildNodes(RefAction aOnDelete, RefAction aOnModify, bool aRequired = true) {
    auto node = RefDictionary(u"Parent", u"ByParent");
    AddActions(AddReference(*node, u"", u"ByParent", 0, false), aOnDelete, aOnModify);
    if (aRequired)
      AddReference(*node, u"", u"ByID", 1, true).AddAction(&TnxTargetRequiredActionDescriptor::ClassInfo());
    BuildTable(u"Node", *node);
  }

  void BuildTable(std::u16string_view aName, TnxDataDictionary& aDict) {
    ASSERT_EQ(db->TableBuild(false, aName, u"", &aDict, tsPersistent, false), 0u) << LastMessage();
    Cursor(aName);
  }

  TnxServerTableCursor* Cursor(std::u16string_view aTable) {
    auto it = cursors_.find(std::u16string(aTable));
    if (it != cursors_.end()) return it->second;
    TnxAbstractCursor* cursor = nullptr;
    EXPECT_EQ(db->CursorOpen(cursor, aTable, u"", omReadWrite, smShared, 10000, u"ByID", -1, false, 0, 500, nullptr),
              0u)
        << LastMessage();
    auto* table = static_cast<TnxServerTableCursor*>(cursor);
    cursors_.emplace(std::u16string(aTable), table);
    return table;
  }

  TnxFieldsDescriptor& Fields(std::u16string_view aTable) { return Cursor(aTable)->TableDescriptor()->FieldsDescriptor(); }

  std::vector<uint8_t> Record(std::u16string_view aTable, const RefRow& aRow) {
    TnxFieldsDescriptor& fields = Fields(aTable);
    std::vector<uint8_t> record(size_t(fields.RecordLength()) + 16, 0);
    fields.InitRecord(record.data());
    fields.SetRecordField(0, record.data(), &aRow.ID);
    fields.SetRecordField(1, record.data(), aRow.Ref ? &*aRow.Ref : nullptr);
    return record;
  }
  RefRow Decode(std::u16string_view aTable, const uint8_t* aRecord) {
    TnxFieldsDescriptor& fields = Fields(aTable);
    RefRow row;
    bool isNull = false;
    fields.GetRecordField(0, aRecord, isNull, &row.ID);
    int32_t ref = 0;
    fields.GetRecordField(1, aRecord, isNull, &ref);
    if (!isNull) row.Ref = ref;
    return row;
  }

  uint32_t Insert(std::u16string_view aTable, const RefRow& aRow) {
    std::vector<uint8_t> record = Record(aTable, aRow);
    return Cursor(aTable)->RecordInsert(nxltNoLock, record.data(), nullptr);
  }
  // The cursor on aID's record: 0, or 8706 when there is none.
  uint32_t Locate(std::u16string_view aTable, int32_t aID) {
    TnxServerTableCursor* cursor = Cursor(aTable);
    std::vector<uint8_t> key = Record(aTable, {aID, std::nullopt});
    if (const uint32_t result = cursor->SetToKey(skaEqualFirst, 1, 0, false, key.data())) return result;
    // The search stops before the key; the step lands on it.
    std::vector<uint8_t> record(key.size());
    const uint32_t result = cursor->RecordGetNext(nxltNoLock, record.data());
    if (result != 0) return result;
    return Decode(aTable, record.data()).ID == aID ? 0 : nxeAtEndOfTable;
  }
  // aID's record becomes aRow; 8706 when there is none.
  uint32_t Modify(std::u16string_view aTable, int32_t aID, const RefRow& aRow) {
    if (const uint32_t result = Locate(aTable, aID)) return result;
    std::vector<uint8_t> record = Record(aTable, aRow);
    return Cursor(aTable)->RecordModify(record.data(), true, nullptr);
  }
  uint32_t Delete(std::u16string_view aTable, int32_t aID) {
    if (const uint32_t result = Locate(aTable, aID)) return result;
    return Cursor(aTable)->RecordDelete(nullptr, 0);
  }
  RefRows Rows(std::u16string_view aTable) {
    TnxServerTableCursor* cursor = Cursor(aTable);
    RefRows rows;
    std::vector<uint8_t> record(size_t(Fields(aTable).RecordLength()) + 16);
    EXPECT_EQ(cursor->SetToBegin(), 0u);
    uint32_t result = 0;
    while ((result = cursor->RecordGetNext(nxltNoLock, record.data())) == 0) {
      const RefRow row = Decode(aTable, record.data());
      rows[row.ID] = row;
    }
    EXPECT_EQ(result, nxeAtEndOfTable) << LastMessage();
    return rows;
  }

  std::map<std::u16string, TnxServerTableCursor*> cursors_;
};

}  // namespace revurov::testing
