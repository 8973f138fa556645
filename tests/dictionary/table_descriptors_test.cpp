#include "dictionary/table_descriptors.h"

#include <gtest/gtest.h>

#include "dictionary/data_dictionary.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/indices_descriptors.h"
#include "dictionary/key_descriptors.h"
#include "dictionary/startup.h"
#include "dictionary/storage_descriptors.h"
#include "dictionary_tree_fixture.h"
#include "lowlevel/streams/memory_stream.h"
#include "lowlevel/streams/tagged_stream.h"
#include "platform/string_list.h"
#include "platform/text.h"
#include "tests/support/exception_message.h"

namespace revurov::testing {
namespace {

using Bytes = std::vector<uint8_t>;

// Replaces the first occurrence of aFrom (same length) in aBytes.
void Patch(Bytes& aBytes, std::string_view aFrom, std::string_view aTo) {
  auto at = std::search(aBytes.begin(), aBytes.end(), aFrom.begin(), aFrom.end());
  ASSERT_NE(at, aBytes.end());
  ASSERT_EQ(aFrom.size(), aTo.size());
  std::copy(aTo.begin(), aTo.end(), at);
}

class TableDescriptorsTest : public ::testing::Test {
protected:
  TableDescriptorsTest() {
    dict.FieldsDescriptor().AddField(u"ID", u"", nxtInt32, 0, 0, true);
    orders = dict.TablesDescriptor().AddTable(u"Orders");
    orders->FieldsDescriptor().AddField(u"Qty", u"", nxtInt16, 0, 0, false);
    orders->AddRecordDescriptor();
    lines = orders->TablesDescriptor().AddTable(u"Lines");
    lines->FieldsDescriptor().AddField(u"Text", u"", nxtShortString, 10, 0, false);
    lines->AddRecordDescriptor();
  }

  TnxDictionaryStartupGuard startup;
  TnxDataDictionary dict;
  TnxNestedTableDescriptor* orders = nullptr;
  TnxNestedTableDescriptor* lines = nullptr;
};

TEST_F(TableDescriptorsTest, PathsLeadThroughTheNestedTables) {
  EXPECT_EQ(dict.GetChild(u""), &dict);
  EXPECT_EQ(dict.GetChild(u"Orders:Lines"), lines);
  EXPECT_EQ(dict.GetChild(u"orders:.:LINES"), lines);
  EXPECT_EQ(lines->GetChild(u"..:..:Orders"), orders);
  EXPECT_EQ(CodeOf<EnxBaseTableDescriptorException>([&] { dict.GetChild(u".."); }), nxeTableDoesNotExist);
  EXPECT_EQ(CodeOf<EnxTablesDescriptorException>([&] { dict.GetChild(u"Orders:Nothing"); }), nxeTableDoesNotExist);
  dict.SetEncryptionEngine(u"");
  TnxMemoryStream s;
  dict.WriteToStream(s, 47501);
  s.SetPosition(0);
  TnxDataDictionary named;
  named.ReadFromStream(s, u"Customers");
  EXPECT_EQ(named.GetChild(u"Orders:Lines")->btdFullName(), u"Customers:Orders:Lines");
}

TEST_F(TableDescriptorsTest, NestedTablesKeepDistinctNames) {
  TnxTablesDescriptor& tables = dict.TablesDescriptor();
  EXPECT_TRUE(Contains(MessageOf<EnxTablesDescriptorException>([&] { tables.AddTable(u"ORDERS"); }),
                       u"Duplicated table name: ORDERS"));
  EXPECT_EQ(CodeOf<EnxTablesDescriptorException>([&] { tables.AddTable(u""); }), nxeInvalidTableName);
  // The lookup of the new name finds the table itself.
  EXPECT_EQ(CodeOf<EnxTablesDescriptorException>([&] { tables.RenameTable(u"Orders", u"ORDERS"); }),
            nxeNameNotUnique);
  tables.RenameTable(u"Orders", u"Orders");
  EXPECT_EQ(CodeOf<EnxTablesDescriptorException>([&] { tables.RenameTable(u"Nothing", u"Other"); }),
            nxeTableDoesNotExist);
  tables.RenameTable(u"orders", u"Sales");
  EXPECT_EQ(orders->Name(), u"Sales");
  EXPECT_EQ(tables.GetTableIndexFromName(u"SALES"), 0);
  tables.RemoveTable(5);
  tables.RemoveTable(u"Nothing");
  EXPECT_EQ(tables.TableCount(), 1);
  tables.RemoveTable(u"sales");
  EXPECT_EQ(tables.TableCount(), 0);
}

TEST_F(TableDescriptorsTest, CustomDescriptorsKeepDistinctNames) {
  TnxCustomDescsDescriptor& customs = dict.CustomDescsDescriptor();
  customs.AddCustom(u"Audit");
  EXPECT_TRUE(Contains(MessageOf<EnxCustomDescsDescriptorException>([&] { customs.AddCustom(u"AUDIT"); }),
                       u"Duplicated custom descriptor name: AUDIT"));
  EXPECT_EQ(CodeOf<EnxCustomDescsDescriptorException>([&] { customs.AddCustom(u""); }), nxeInvalidName);
  TnxDataDictionary other;
  other.CustomDescsDescriptor().AddCustom(u"AUDIT");
  // Found without case, equal only with it.
  EXPECT_EQ(other.CustomDescsDescriptor().GetCustomDescriptorFromName(u"audit"), 0);
  EXPECT_FALSE(customs.IsEqual(&other.CustomDescsDescriptor()));
}

TEST_F(TableDescriptorsTest, KeyAndBookmarkSizesComeFromTheMainIndices) {
  EXPECT_EQ(dict.tdGetKeyLen(0), 8u);
  EXPECT_EQ(dict.tdGetBookmarkSize(0), 32u);
  EXPECT_TRUE(Contains(MessageOf<EnxBaseTableDescriptorException>([&] { dict.tdGetKeyLen(1); }),
                       u"Index out of bounds: 1"));
  EXPECT_EQ(orders->tdGetBookmarkSize(99), 24u);
  EXPECT_EQ(CodeOf<EnxBaseTableDescriptorException>([&] { orders->tdGetKeyLen(99); }), nxeInvalidDescriptorNumber);
  EXPECT_EQ(orders->GetMaxKeyLen(), 0u);
  auto* index = dict.IndicesDescriptor()->AddIndex(u"ByID", 0, idNone);
  static_cast<TnxCompKeyDescriptor*>(index->KeyDescriptor())->Add(u"ID");
  const uint32_t longest = dict.GetMaxKeyLen();
  EXPECT_GT(longest, 4u);
  EXPECT_EQ(dict.GetMaxBookmarkSize(), longest + 24);
  dict.MakeReadOnly();
  EXPECT_EQ(dict.GetMaxKeyLen(), longest);
}

TEST_F(TableDescriptorsTest, ConstraintNamesAreUniqueInATable) {
  dict.FieldsDescriptor().FieldDescriptor(0)->SetConstraintName(u"PK");
  auto* index = dict.IndicesDescriptor()->IndexDescriptor(0);
  EXPECT_TRUE(Contains(MessageOf<EnxBaseTableDescriptorException>([&] { index->SetConstraintName(u"pk"); }),
                       u"Constraint name already in use: \"pk\""));
  EXPECT_TRUE(index->ConstraintName().empty());
  index->SetConstraintName(u"AByIndex");
  // Each table has its own register.
  orders->FieldsDescriptor().FieldDescriptor(0)->SetConstraintName(u"PK");
  platform::TStringList names;
  dict.GetConstraints(names);
  ASSERT_EQ(names.Count(), 2);
  EXPECT_EQ(names[0], u"AByIndex");
  EXPECT_EQ(names[1], u"PK");
  EXPECT_EQ(dict.GetConstraintByName(u"pk"), dict.FieldsDescriptor().FieldDescriptor(0));
  EXPECT_TRUE(dict.IsFieldDescValid(*dict.FieldsDescriptor().FieldDescriptor(0)));
  dict.FieldsDescriptor().RemoveField(0);
  EXPECT_EQ(dict.GetConstraintByName(u"PK"), nullptr);
}

TEST_F(TableDescriptorsTest, InternalIndicesAreLeftOutForOlderClients) {
  orders->EnsureInternalIndicesDescriptor()->AddIndex(u"$GraveyardLSN", 0, idNone, u"",
                                                      &TnxInt64KeyDescriptor::ClassInfo());
  const std::string section = "InternalIndicesDescriptor";
  auto has = [&](const Bytes& b) { return std::search(b.begin(), b.end(), section.begin(), section.end()) != b.end(); };
  nxDictInfoStripped = false;
  EXPECT_TRUE(has(SavedBytes(*orders, 47005)));
  EXPECT_FALSE(nxDictInfoStripped);
  const Bytes old = SavedBytes(*orders, 40000);
  EXPECT_FALSE(has(old));
  EXPECT_TRUE(nxDictInfoStripped);
  nxDictInfoStripped = false;
}

TEST_F(TableDescriptorsTest, TheTableStreamRefusesWhatItCannotTake) {
  {
    Bytes b = SavedBytes(*orders, 47501);
    Patch(b, "TnxBaseRecordDescriptor", "TnxBaseRecordDescriptoX");
    EXPECT_TRUE(Contains(MessageOf<EnxBaseTableDescriptorException>([&] { LoadBytes(*orders, b); }),
                         u"RecordDescriptor class is not supported: TnxBaseRecordDescriptoX"));
  }
  {
    // A fields section must name the existing child's own class.
    Bytes b = SavedBytes(*orders, 47501);
    Patch(b, "TnxFieldsDescriptor", "TnxFileDescriptor\x07\x07");
    EXPECT_NE(CodeOf<EnxBaseException>([&] { LoadBytes(*orders, b); }), 0u);
  }
  {
    Bytes b = SavedBytes(*orders, 47501);
    Patch(b, "LocaleDescriptor", "LocaleDescriptoX");
    EXPECT_EQ(CodeOf<EnxBaseTableDescriptorException>([&] { LoadBytes(*orders, b); }), nxeIncompatibleStream);
  }
  EXPECT_EQ(CodeOf<EnxBaseTableDescriptorException>([&] { SavedBytes(*orders, 15000); }), nxeIncompatibleVersion);
}

TEST_F(TableDescriptorsTest, TheCachingStateTravelsInTheStream) {
  TnxNestedTableDescriptor* copy = dict.TablesDescriptor().AddTable(u"Copy");
  Bytes b = SavedBytes(*orders, 47501);
  Patch(b, "$CachingState=tcsNone", "$CachingState=TCSNONE");
  LoadBytes(*copy, b);
  EXPECT_EQ(copy->CachingState(), tcsNone);
  // Read, the table keeps the line in its own custom strings; the state
  // comes from it.
  EXPECT_EQ(copy->CustomStrings().Values(u"$CachingState"), u"TCSNONE");
  EXPECT_FALSE(orders->HasCustomStrings());
}

TEST_F(TableDescriptorsTest, CheckValidWantsARecordDescriptor) {
  orders->RemoveRecordDescriptor();
  EXPECT_TRUE(Contains(MessageOf<EnxBaseTableDescriptorException>([&] { dict.CheckValid(false); }),
                       u"A record descriptor is required"));
  EXPECT_EQ(CodeOf<EnxBaseTableDescriptorException>([&] { dict.CheckValid(false); }), nxeInvalidDescriptor);
}

TEST_F(TableDescriptorsTest, CheckValidAddsStorageForAutoIncAndBlobFields) {
  orders->FieldsDescriptor().AddField(u"No", u"", nxtAutoInc, 0, 0, false);
  orders->FieldsDescriptor().AddField(u"Memo", u"", nxtBlobMemo, 0, 0, false);
  dict.CheckValid(true);
  ASSERT_NE(orders->AutoIncDescriptor(), nullptr);
  ASSERT_NE(orders->BlobDescriptor(), nullptr);
  EXPECT_EQ(&orders->BlobDescriptor()->ClassType(), &TnxHeapBlobDescriptor::ClassInfo());
}

TEST_F(TableDescriptorsTest, AssignOnlyFieldsCopiesFieldsAndNestedTablesOnly) {
  TnxDataDictionary target;
  target.AssignOnlyFields(dict);
  ASSERT_EQ(target.FieldsDescriptor().FieldCount(), 1);
  EXPECT_FALSE(target.FieldsDescriptor().FieldDescriptor(0)->Required());
  EXPECT_EQ(target.IndicesDescriptor(), nullptr);
  EXPECT_NE(target.GetChild(u"Orders:Lines"), nullptr);
  auto* record = dynamic_cast<TnxHeapRecordDescriptor*>(target.RecordDescriptor());
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->RecordEngine(), u"Variable");
  ASSERT_NE(record->RecordCompressionDescriptor(), nullptr);
  EXPECT_EQ(record->RecordCompressionDescriptor()->RecordCompressionEngine(), u"Smart");
}

}  // namespace
}  // namespace revurov::testing

namespace revurov::testing {
namespace {

class CachingTest : public TableDescriptorsTest {};

TEST_F(CachingTest, MakeCacheableAddsWhatACacheableTableNeeds) {
  EXPECT_TRUE(Contains(MessageOf<EnxBaseTableDescriptorException>([&] { dict.MakeCacheable(false); }),
                       u"Failed to make table cachable"));
  EXPECT_EQ(dict.CachingState(), tcsNone);
  dict.MakeCacheable(true);
  EXPECT_EQ(dict.CachingState(), tcsCacheable);
  const TnxFieldsDescriptor& fields = dict.FieldsDescriptor();
  for (std::u16string_view name : {u"$ModifyLSN", u"$InsertLSN", u"$RefNr"}) {
    const int32_t f = fields.GetFieldFromName(name);
    ASSERT_GE(f, 0) << platform::Utf16ToUtf8(name);
    EXPECT_EQ(fields.FieldDescriptor(f)->CustomStrings().Values(u"$Implicit"), u"$Cacheable");
  }
  int32_t modify = -1, insert = -1;
  EXPECT_TRUE(fields.HasModifyLSNField(modify));
  EXPECT_TRUE(fields.HasInsertLSNField(insert));
  const int32_t index = dict.GetIndexFromName(u"$ModifyLSN");
  ASSERT_GE(index, 0);
  EXPECT_NE(dynamic_cast<TnxNoNullCompKeyDescriptor*>(dict.IndicesDescriptor()->IndexDescriptor(index)->KeyDescriptor()),
            nullptr);
  ASSERT_NE(dict.InternalIndicesDescriptor(), nullptr);
  for (std::u16string_view name : {u"$GraveyardLSN", u"$GraveyardRefNr", u"$BlobNrCounter"})
    EXPECT_GE(dict.InternalIndicesDescriptor()->GetIndexFromName(name), 0) << platform::Utf16ToUtf8(name);
  EXPECT_TRUE(dict.HasCachingSupport(tcsNone));
  EXPECT_TRUE(dict.HasCachingSupport(tcsCacheable));
  EXPECT_FALSE(dict.HasCachingSupport(tcsIsCache));
  // Again, nothing more is needed.
  const int32_t count = fields.FieldCount();
  dict.MakeCacheable(true);
  EXPECT_EQ(fields.FieldCount(), count);
  dict.CheckValid(true);
  EXPECT_EQ(dict.Version(), 5);
}

TEST_F(CachingTest, AClientCacheDictionaryComesFromACacheableOne) {
  dict.FieldsDescriptor().AddField(u"Memo", u"", nxtBlobMemo, 0, 0, false);
  dict.CustomDescsDescriptor().AddCustom(u"Extra");
  dict.MakeCacheable(true);
  orders->MakeCacheable(true);
  dict.SetEncryptionEngine(u"Blowfish");
  const int32_t currentID = dict.CurrentID();
  // Silent: "Lines" cannot be a cache and goes.
  dict.MakeCache(true);
  EXPECT_EQ(dict.CachingState(), tcsIsCache);
  EXPECT_EQ(dict.CacheGuid(), dict.Guid());
  EXPECT_EQ(dict.CacheCurrentID(), currentID);
  EXPECT_TRUE(dict.EncryptionEngine().empty());
  EXPECT_EQ(dict.CustomDescsDescriptor().CustomCount(), 0);
  // The nested table that could become a cache stayed; the one that could
  // not is gone.
  EXPECT_EQ(dict.TablesDescriptor().TableCount(), 1);
  EXPECT_EQ(orders->TablesDescriptor().TableCount(), 0);
  auto* record = dynamic_cast<TnxHeapRecordDescriptor*>(dict.RecordDescriptor());
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->RecordCompressionDescriptor()->RecordCompressionEngine(), u"Compressor");
  EXPECT_EQ(record->RecordCompressionDescriptor()->GetCompressType(), 11);
  ASSERT_NE(dict.InternalIndicesDescriptor(), nullptr);
  EXPECT_EQ(dict.InternalIndicesDescriptor()->IndexCount(), 1);
  EXPECT_EQ(dict.InternalIndicesDescriptor()->IndexDescriptor(0)->Name(), u"$CachedBlobs");
  EXPECT_EQ(dict.IndicesDescriptor()->IndexDescriptor(0)->IndexEngine(), u"nx1xDefault");
  EXPECT_EQ(dict.IndicesDescriptor()->IndexDescriptor(1)->IndexEngine(), u"CacheKeylessBStarTree");
  EXPECT_TRUE(Contains(MessageOf<EnxBaseTableDescriptorException>([&] { dict.MakeCacheable(true); }),
                       u"Can't make a InCache table Cachable"));

  // The stream carries the cache's identity and state. (The check adds the
  // heaps a reader's check would add.)
  dict.CheckValid(false);
  TnxMemoryStream s;
  dict.WriteToStream(s, 47501);
  s.SetPosition(0);
  TnxDataDictionary back;
  back.ReadFromStream(s, u"Table");
  EXPECT_EQ(back.CachingState(), tcsIsCache);
  EXPECT_EQ(back.CacheGuid(), dict.Guid());
  EXPECT_EQ(back.CacheCurrentID(), currentID);
  EXPECT_TRUE(back.IsEqual(&dict));
  // Made a cache again: nothing happens.
  back.MakeCache(false);
  EXPECT_EQ(back.CacheCurrentID(), currentID);
}

TEST_F(CachingTest, ATableThatCannotBeACacheEndsInNoneWhenSilent) {
  lines->MarkInCache(true);
  EXPECT_EQ(lines->CachingState(), tcsNone);
  EXPECT_TRUE(Contains(MessageOf<EnxBaseTableDescriptorException>([&] { orders->MarkInCache(false); }),
                       u"Only Cachable tables can be marked as InCache"));
  TnxDataDictionary plain;
  plain.FieldsDescriptor().AddField(u"A", u"", nxtInt32, 0, 0, false);
  plain.MakeCache(true);
  EXPECT_EQ(plain.CacheGuid(), platform::GUID_NULL);
  EXPECT_EQ(plain.CacheCurrentID(), 0);
}

}  // namespace
}  // namespace revurov::testing
