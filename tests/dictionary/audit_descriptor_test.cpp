#include "dictionary/audit_descriptor.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dictionary/data_dictionary.h"
#include "dictionary/default_values.h"
#include "dictionary/dictionary_tree_fixture.h"
#include "dictionary/field_descriptor.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/index_descriptor.h"
#include "dictionary/indices_descriptors.h"
#include "dictionary/key_descriptors.h"
#include "dictionary/storage_descriptors.h"

namespace revurov {
namespace {

using testing::CodeOf;
using testing::LoadBytes;
using testing::SavedBytes;
using testing::WriteItemHeader;


// An audited root table with fields A and B (B with a locale of its own);
// the events are recorded in order.
class AuditTest : public ::testing::Test {
protected:
  AuditTest() {
    dict.FieldsDescriptor().AddField(u"A", u"first", nxtInt32, 0, 0, true);
    dict.FieldsDescriptor().AddField(u"B", u"second", nxtWideString, 12, 0, false)->AddLocaleDescriptor()->SetLocale(
        0x0407);
    audit = static_cast<TnxAuditDescriptor*>(
        dict.CustomDescsDescriptor().AddCustom(u"Audit", &TnxAuditDescriptor::ClassInfo()));
    audit->SetUseAudit(true);
    audit->OnChildtableCreated = [this](const std::u16string& aName) { events.push_back(u"created " + aName); };
    audit->OnChildtableRenamed = [this](const std::u16string& aOld, const std::u16string& aNew) {
      events.push_back(u"renamed " + aOld + u" to " + aNew);
    };
  }
  TnxTablesDescriptor& tables() { return dict.TablesDescriptor(); }
  TnxNestedTableDescriptor* Log() {
    const int32_t at = tables().GetTableIndexFromName(nxAuditLogName);
    return at < 0 ? nullptr : tables().TableDescriptor(at);
  }
  std::vector<std::u16string> FieldNames(const TnxBaseTableDescriptor& aTable) {
    std::vector<std::u16string> names;
    for (int32_t i = 0; i < aTable.FieldsDescriptor().FieldCount(); ++i)
      names.push_back(aTable.FieldsDescriptor().FieldDescriptor(i)->Name());
    return names;
  }
  std::vector<std::u16string> TableNames() {
    std::vector<std::u16string> names;
    for (int32_t i = 0; i < tables().TableCount(); ++i) names.push_back(tables().TableDescriptor(i)->Name());
    return names;
  }

  TnxDictionaryStartupGuard startup;
  TnxDataDictionary dict;
  TnxAuditDescriptor* audit = nullptr;
  std::vector<std::u16string> events;
};

TEST_F(AuditTest, OnlyAValidationForBuildWithUseAuditTouchesTheLog) {
  audit->CheckValid(false);
  EXPECT_EQ(Log(), nullptr);
  audit->SetUseAudit(false);
  audit->CheckValid(true);
  EXPECT_EQ(Log(), nullptr);
  EXPECT_TRUE(events.empty());
}

TEST_F(AuditTest, TheFirstValidationCreatesTheLog) {
  dict.CheckValid(true);
  TnxNestedTableDescriptor* log = Log();
  ASSERT_NE(log, nullptr);
  EXPECT_EQ(events, std::vector<std::u16string>{u"created Audit Log"});
  EXPECT_EQ(FieldNames(*log), (std::vector<std::u16string>{u"A", u"B", u"Audit Changed At", u"Audit User ID",
                                                           u"Audit Custom Data", u"Audit Update Type"}));
  const TnxFieldsDescriptor& fields = log->FieldsDescriptor();
  EXPECT_FALSE(fields.FieldDescriptor(0)->Required());
  EXPECT_EQ(fields.FieldDescriptor(1)->Desc(), u"second");
  EXPECT_EQ(fields.FieldDescriptor(1)->Units(), 12);
  ASSERT_NE(fields.FieldDescriptor(1)->LocaleDescriptor(), nullptr);
  EXPECT_EQ(fields.FieldDescriptor(1)->LocaleDescriptor()->Locale(), 0x0407u);
  struct Expected {
    TnxFieldType type;
    int32_t units;
    const char16_t* desc;
  } audits[] = {{nxtDateTime, 0, u"Audit Timestamp"},
                {nxtWideString, 100, u"Audit User Identification"},
                {nxtWideString, 100, u"Audit Custom Data"},
                {nxtWideChar, 1, u"Audit Update Type"}};
  for (int32_t i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    const TnxFieldDescriptor& f = *fields.FieldDescriptor(2 + i);
    EXPECT_EQ(f.FieldType(), audits[i].type);
    EXPECT_EQ(f.Units(), audits[i].units);
    EXPECT_EQ(f.Desc(), audits[i].desc);
    EXPECT_FALSE(f.Required());
  }
  ASSERT_NE(fields.FieldDescriptor(2)->DefaultValue(), nullptr);
  EXPECT_EQ(&fields.FieldDescriptor(2)->DefaultValue()->ClassType(),
            &TnxCurrentDateTimeDefaultValueDescriptor::ClassInfo());

  const TnxMainIndicesDescriptor& indices = *log->IndicesDescriptor();
  ASSERT_EQ(indices.IndexCount(), 2);
  const struct {
    const char16_t* name;
    int32_t first, second;
  } keys[] = {{u"By Changed At and User ID", 2, 3}, {u"By User ID and Changed At", 3, 2}};
  for (int32_t i = 0; i < 2; ++i) {
    const TnxIndexDescriptor& index = *indices.IndexDescriptor(i);
    EXPECT_EQ(index.Name(), keys[i].name);
    EXPECT_EQ(index.Dups(), idAll);
    const auto& key = dynamic_cast<const TnxCompKeyDescriptor&>(*index.KeyDescriptor());
    ASSERT_EQ(key.KeyFieldCount(), 2);
    EXPECT_EQ(key.ckdGetKeyField(0)->FieldNumber(), keys[i].first);
    EXPECT_EQ(key.ckdGetKeyField(1)->FieldNumber(), keys[i].second);
  }
  const auto* record = dynamic_cast<const TnxHeapRecordDescriptor*>(log->RecordDescriptor());
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->RecordEngine(), u"Variable");
  ASSERT_NE(record->RecordCompressionDescriptor(), nullptr);
  EXPECT_EQ(record->RecordCompressionDescriptor()->RecordCompressionEngine(), u"Smart");
  EXPECT_TRUE(TnxAuditDescriptor::FieldsDescriptorContainsAllFields(fields, dict.FieldsDescriptor()));
}

TEST_F(AuditTest, AFittingLogStaysAndOldNarrowFieldsAreWidened) {
  audit->CheckValid(true);
  TnxNestedTableDescriptor* log = Log();
  TnxFieldsDescriptor& fields = log->FieldsDescriptor();
  // What an older log looked like, with rules the log must not keep.
  fields.FieldDescriptor(3)->ResizeUnits(50);
  fields.UpdateSetupAndOffsets();
  fields.FieldDescriptor(0)->AddDefaultValue();
  fields.AddValidations();
  events.clear();

  audit->CheckValid(true);
  EXPECT_EQ(Log(), log);
  EXPECT_TRUE(events.empty());
  EXPECT_EQ(fields.FieldDescriptor(3)->Units(), 100);
  EXPECT_EQ(fields.FieldDescriptor(3)->Length(), 202);
  EXPECT_EQ(fields.FieldDescriptor(4)->Offset(), fields.FieldDescriptor(3)->Offset() + 202);
  EXPECT_EQ(fields.FieldDescriptor(0)->DefaultValue(), nullptr);
  EXPECT_EQ(fields.Validations(), nullptr);
  EXPECT_NE(fields.FieldDescriptor(2)->DefaultValue(), nullptr);
  EXPECT_EQ(TableNames(), std::vector<std::u16string>{u"Audit Log"});
}

TEST_F(AuditTest, ALogThatNoLongerFitsIsRetiredUnderTheNextNumber) {
  struct Case {
    const char* name;
    std::vector<std::u16string> present;
    std::u16string retired;
  } cases[] = {
      {"first retirement", {}, u"Audit Log Old_1"},
      {"one above the highest", {u"Audit Log Old_7", u"Audit Log Old_2"}, u"Audit Log Old_8"},
      {"letters do not count", {u"Audit Log Old_x"}, u"Audit Log Old_1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TnxDataDictionary d;
    d.FieldsDescriptor().AddField(u"A", u"", nxtInt32, 0, 0, false);
    auto* a = static_cast<TnxAuditDescriptor*>(d.CustomDescsDescriptor().AddCustom(u"Audit",
                                                                                     &TnxAuditDescriptor::ClassInfo()));
    a->SetUseAudit(true);
    std::vector<std::u16string> seen;
    a->OnChildtableCreated = [&](const std::u16string& n) { seen.push_back(u"created " + n); };
    a->OnChildtableRenamed = [&](const std::u16string& o, const std::u16string& n) {
      seen.push_back(u"renamed " + o + u" to " + n);
    };
    for (const auto& name : c.present) d.TablesDescriptor().AddTable(name);
    a->CheckValid(true);
    seen.clear();
    d.FieldsDescriptor().AddField(u"C", u"", nxtInt16, 0, 0, false);
    a->CheckValid(true);
    EXPECT_EQ(seen, (std::vector<std::u16string>{u"renamed Audit Log to " + c.retired, u"created Audit Log"}));
    TnxBaseTableDescriptor* fresh = d.GetChild(nxAuditLogName);
    EXPECT_EQ(fresh->FieldsDescriptor().FieldDescriptor(1)->Name(), u"C");
    EXPECT_EQ(d.GetChild(c.retired)->FieldsDescriptor().FieldCount(), 5);
  }
}

TEST_F(AuditTest, OldLogNamesInAnotherCaseAreIgnoredButStillClash) {
  audit->CheckValid(true);
  tables().AddTable(u"audit log old_1");
  dict.FieldsDescriptor().AddField(u"C", u"", nxtInt16, 0, 0, false);
  EXPECT_EQ(CodeOf<EnxBaseException>([&] { audit->CheckValid(true); }), 10009u);
}

TEST_F(AuditTest, AHandlerMayDiscardTheLogEveryTime) {
  audit->OnCanDiscardAuditTable = [](bool& aCanDiscard) { aCanDiscard = true; };
  audit->CheckValid(true);
  audit->CheckValid(true);
  EXPECT_EQ(events, (std::vector<std::u16string>{u"created Audit Log", u"created Audit Log"}));
  EXPECT_EQ(TableNames(), std::vector<std::u16string>{u"Audit Log"});
}

TEST_F(AuditTest, FailuresOutsideADictionaryOrOnAReadOnlyOne) {
  TnxAuditDescriptor alone(nullptr, u"Audit");
  alone.SetUseAudit(true);
  EXPECT_EQ(CodeOf<EnxBaseException>([&] { alone.CheckValid(true); }), 8712u);
  EXPECT_NO_THROW(alone.CheckValid(false));

  dict.MakeReadOnly();
  EXPECT_EQ(CodeOf<EnxBaseException>([&] { audit->CheckValid(true); }), 15500u);
  EXPECT_EQ(Log(), nullptr);
}

TEST_F(AuditTest, TheFitTestComparesEveryMirroredProperty) {
  audit->CheckValid(true);
  using Change = std::function<void(TnxDataDictionary&)>;
  struct Case {
    const char* name;
    Change change;
  } cases[] = {
      {"a field renamed", [](TnxDataDictionary& d) { d.FieldsDescriptor().FieldDescriptor(0)->ChangeName(u"X"); }},
      {"wider units",
       [](TnxDataDictionary& d) {
         d.FieldsDescriptor().FieldDescriptor(1)->ResizeUnits(13);
         d.FieldsDescriptor().UpdateSetupAndOffsets();
       }},
      {"another locale", [](TnxDataDictionary& d) { d.FieldsDescriptor().FieldDescriptor(1)->RemoveLocaleDescriptor(); }},
      {"a field removed", [](TnxDataDictionary& d) { d.FieldsDescriptor().RemoveField(0); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::unique_ptr<TnxDataDictionary> copy = dict.Duplicate();
    EXPECT_TRUE(TnxAuditDescriptor::FieldsDescriptorContainsAllFields(
        copy->GetChild(nxAuditLogName)->FieldsDescriptor(), copy->FieldsDescriptor()));
    c.change(*copy);
    EXPECT_FALSE(TnxAuditDescriptor::FieldsDescriptorContainsAllFields(
        copy->GetChild(nxAuditLogName)->FieldsDescriptor(), copy->FieldsDescriptor()));
  }
  // A log without one of the audit fields does not fit either.
  Log()->FieldsDescriptor().RemoveField(5);
  EXPECT_FALSE(TnxAuditDescriptor::FieldsDescriptorContainsAllFields(Log()->FieldsDescriptor(), dict.FieldsDescriptor()));
}

TEST_F(AuditTest, StreamsCarryBothFlags) {
  audit->SetIncludeBlobFields(true);
  TnxAuditDescriptor copy(nullptr, u"Audit");
  LoadBytes(copy, SavedBytes(*audit, 47501));
  EXPECT_TRUE(copy.UseAudit());
  EXPECT_TRUE(copy.IncludeBlobFields());
  EXPECT_TRUE(audit->IsEqual(&copy));
  copy.SetIncludeBlobFields(false);
  EXPECT_FALSE(audit->IsEqual(&copy));
  copy.SetIncludeBlobFields(true);
  copy.SetUseAudit(false);
  EXPECT_FALSE(audit->IsEqual(&copy));

  for (int32_t version : {1, 3}) {
    SCOPED_TRACE(version);
    TnxMemoryStream s;
    {
      TnxWriter w(s);
      WriteItemHeader(w);
      w.WriteInteger(version);
      w.WriteListBegin();
      w.WriteBoolean(true);
      w.WriteListEnd();
    }
    const auto* p = s.ByteArray();
    const std::vector<uint8_t> bytes(p, p + s.GetSize());
    TnxAuditDescriptor read(nullptr, u"Audit");
    read.SetIncludeBlobFields(true);
    if (version == 3) {
      EXPECT_EQ(CodeOf<EnxAuditDescriptorException>([&] { LoadBytes(read, bytes); }), 15498u);
      continue;
    }
    LoadBytes(read, bytes);
    EXPECT_TRUE(read.UseAudit());
    EXPECT_TRUE(read.IncludeBlobFields());
  }

  // Through the whole dictionary, with the log its validation made.
  dict.CheckValid(true);
  std::unique_ptr<TnxDataDictionary> duplicate = dict.Duplicate();
  EXPECT_TRUE(dict.IsEqual(duplicate.get()));
  EXPECT_TRUE(Log()->IsEqual(duplicate->GetChild(nxAuditLogName)));
}

}  // namespace
}  // namespace revurov
