// Record and field mapper engines between two real server tables.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "dictionary/default_values.h"
#include "fieldmap/auto_inc_mapper_engine.h"
#include "fieldmap/field_mapper_base.h"
#include "fieldmap/record_mapper_descriptor.h"
#include "fieldmap/record_mapper_engine.h"
#include "fieldmap/startup.h"
#include "lowlevel/errors/error_codes.h"
#include "server/server_table_cursor.h"
#include "server/server_trans_context.h"
#include "support/table_ops_fixture.h"

namespace revurov {
namespace {

using testing::LastMessage;

struct FieldSpec {
  std::u16string Name;
  TnxFieldType Type;
  int32_t Units = 0;
  int32_t DecPl = 0;
  bool Required = false;
  // A constant default value when not empty.
  platform::TnxVariant Default = {};
};

class MapperEngines : public testing::TableOpsFixture {
protected:
  ~MapperEngines() override {
    for (TnxServerTableCursor* cursor : cursors) cursor->Free();
  }

  // A table of aFields, with an auto-increment counter, indexed by aIndex
  // (field 0, with aDups) when aIndex is not empty.
  TnxServerTableCursor* Table(std::u16string_view aName, const std::vector<FieldSpec>& aFields,
                              std::u16string_view aIndex = {}, TnxIndexDups aDups = idNone) {
    auto dict = std::make_unique<TnxDataDictionary>();
    for (const FieldSpec& f : aFields) {
      TnxFieldDescriptor* field =
          dict->FieldsDescriptor().AddField(f.Name, u"", f.Type, f.Units, f.DecPl, f.Required);
      if (!f.Default.IsEmpty()) static_cast<TnxConstDefaultValueDescriptor*>(field->AddDefaultValue())->SetAsVariant(f.Default);
    }
    dict->AddAutoIncDescriptor();
    if (!aIndex.empty()) {
      dict->FilesDescriptor().AddFile(u"ix", nxbs4k, u"Index");
      static_cast<TnxCompKeyDescriptor*>(dict->EnsureIndicesDescriptor()
                                             ->AddIndex(aIndex, 1, aDups, u"", &TnxCompKeyDescriptor::ClassInfo())
                                             ->KeyDescriptor())
          ->Add(0);
    }
    EXPECT_EQ(db->TableBuild(false, aName, u"", dict.get(), tsPersistent, false), 0u) << LastMessage();
    TnxAbstractCursor* cursor = nullptr;
    EXPECT_EQ(db->CursorOpen(cursor, aName, u"", omReadWrite, smShared, 10000, u"", -1, false, 0, 500, nullptr), 0u)
        << LastMessage();
    cursors.push_back(static_cast<TnxServerTableCursor*>(cursor));
    return cursors.back();
  }

  static TnxFieldsDescriptor& Fields(TnxAbstractCursor* aCursor) { return aCursor->TableDescriptor()->FieldsDescriptor(); }
  // A fresh record of the cursor's layout: zeros, every field null.
  static std::vector<uint8_t> Record(TnxAbstractCursor* aCursor) {
    std::vector<uint8_t> record(size_t(Fields(aCursor).RecordLength()) + 4, 0);
    Fields(aCursor).InitRecord(record.data());
    return record;
  }
  static void Set(TnxAbstractCursor* aCursor, std::vector<uint8_t>& aRecord, std::u16string_view aField,
                  const platform::TnxVariant& aValue) {
    Fields(aCursor).fsdSetFieldByNameAsVariant(aRecord.data(), aField, aValue);
  }
  static platform::TnxVariant Get(TnxAbstractCursor* aCursor, const std::vector<uint8_t>& aRecord,
                                  std::u16string_view aField) {
    return Fields(aCursor).fsdGetFieldByNameAsVariant(aRecord.data(), aField);
  }

  std::vector<TnxServerTableCursor*> cursors;
  TnxFieldMapStartupGuard fieldMap;
};

uint32_t CodeOf(const std::function<void()>& aRun, std::u16string* aMessage = nullptr) {
  try {
    aRun();
  } catch (const EnxBaseException& e) {
    if (aMessage) *aMessage = e.ErrorString();
    return e.ErrorCode();
  }
  return 0;
}

std::u16string LastText() {
  uint32_t code = 0;
  std::u16string text;
  EnxBaseException::GetLastConvertedException(code, text);
  return text;
}

// ---- every registered pair, through the engine and through its routine ----

// A value of each source type that its own variant form accepts.
void FillSource(TnxFieldsDescriptor& aFields, uint8_t* aRecord, int32_t aField) {
  const std::vector<platform::TnxVariant> candidates = {
      platform::TnxVariant::FromString(u"7"), platform::TnxVariant::FromInteger(7),
      platform::TnxVariant::FromString(u"{6F9619FF-8B86-D011-B42D-00C04FC964FF}")};
  for (const auto& v : candidates) {
    try {
      aFields.fsdSetFieldByIndexAsVariant(aRecord, aField, v);
      return;
    } catch (const platform::Exception&) {
    }
  }
  aFields.SetRecordFieldNull(aField, aRecord, false);
}

TEST_F(MapperEngines, EveryRegisteredPairMapsAsItsRoutineUnderEachAction) {
  std::vector<FieldSpec> sourceFields, targetFields;
  auto units = [](TnxFieldType t) {
    switch (t) {
      case nxtByteArray: return 8;
      case nxtShortString: case nxtNullString: case nxtWideString: case nxtFmtBCD: return 20;
      default: return 0;
    }
  };
  for (int t = 0; t < nxFieldTypeCount; ++t) {
    const auto type = static_cast<TnxFieldType>(t);
    if (type == nxtInterval || (nxBlobFieldTypes & nxFieldTypeBit(type))) continue;
    const std::u16string n = platform::Utf8ToUtf16(std::to_string(t));
    sourceFields.push_back({u"S" + n, type, units(type), type == nxtFmtBCD ? 4 : 0});
    targetFields.push_back({u"T" + n, type, units(type), type == nxtFmtBCD ? 4 : 0});
  }
  TnxServerTableCursor* source = Table(u"AllS", sourceFields);
  TnxServerTableCursor* target = Table(u"AllT", targetFields);
  TnxFieldsDescriptor& sf = Fields(source);
  TnxFieldsDescriptor& tf = Fields(target);
  std::vector<uint8_t> sourceRecord = Record(source);
  for (int32_t i = 0; i < sf.FieldCount(); ++i) FillSource(sf, sourceRecord.data(), i);

  int pairs = 0;
  for (int32_t s = 0; s < sf.FieldCount(); ++s) {
    for (int32_t t = 0; t < tf.FieldCount(); ++t) {
      TnxFieldDescriptor& sField = *sf.FieldDescriptor(s);
      TnxFieldDescriptor& tField = *tf.FieldDescriptor(t);
      if (nxRegisteredFieldMappers(sField.FieldType(), tField.FieldType()).empty()) continue;
      ++pairs;
      for (TnxDataLossAction action : {dlaFail, dlaNull, dlaBestFit}) {
        SCOPED_TRACE(platform::Utf16ToUtf8(sField.ToString() + u" -> " + tField.ToString()) + " action " +
                     std::to_string(action));
        TnxRecordMapperDescriptor mapping;
        mapping.SetApplyDefaultForUnmapped(false);
        TnxFieldMapperDescriptor* desc = mapping.AddMapping(sField.Name(), tField.Name(), action);
        TnxMappingMethod routine;
        auto instance = TnxBaseFieldMapper::CreateMapper(sField, source, tField, target, desc, routine);
        if (!routine.Assigned()) {
          EXPECT_EQ(CodeOf([&] { TnxBaseRecordMapperEngine::CreateFor(mapping, source, target); }),
                    nxeInvalidFieldTransformation);
          continue;
        }
        std::vector<uint8_t> expected = Record(target);
        const uint32_t r = routine(sourceRecord.data() + sField.Offset(), expected.data() + tField.Offset());
        auto engine = TnxBaseRecordMapperEngine::CreateFor(mapping, source, target);
        std::vector<uint8_t> actual = Record(target);
        const uint32_t got = engine->MapRecord(sourceRecord.data(), actual.data());
        if (r == 0) {
          EXPECT_EQ(got, 0u);
          EXPECT_FALSE(tf.IsRecordFieldNull(t, actual.data()));
          EXPECT_EQ(0, std::memcmp(actual.data() + tField.Offset(), expected.data() + tField.Offset(),
                                   size_t(tField.Length())));
        } else if (r == 1 || action == dlaNull) {
          EXPECT_EQ(got, 0u);
          EXPECT_TRUE(tf.IsRecordFieldNull(t, actual.data()));
        } else {
          EXPECT_EQ(got, r);
        }
      }
    }
  }
  EXPECT_GT(pairs, 400);
}

// ---- MapField's default and null rules ----

TEST_F(MapperEngines, NullAndDefaultRules) {
  TnxServerTableCursor* source = Table(u"Src", {{u"ID", nxtInt32}, {u"Big", nxtInt32}});
  TnxServerTableCursor* target = Table(
      u"Dst", {{u"Small", nxtInt16, 0, 0, false, platform::TnxVariant::FromInteger(5)}, {u"Plain", nxtInt16}});
  struct Case {
    const char* What;
    bool SourceNull;
    int32_t Value;
    std::u16string SourceName;  // empty: no source
    std::u16string TargetName;
    TnxDataLossAction Action;
    bool ApplyDefault;
    uint32_t Result;
    bool TargetNull;
    int32_t TargetValue;
  };
  const std::vector<Case> cases = {
      {"fits", false, 7, u"Big", u"Small", dlaFail, false, 0, false, 7},
      {"null source, defaults off", true, 0, u"Big", u"Small", dlaFail, false, 0, true, 0},
      {"null source, default", true, 0, u"Big", u"Small", dlaFail, true, 0, false, 5},
      {"null source, no default", true, 0, u"Big", u"Plain", dlaFail, true, 0, true, 0},
      {"lost, fail", false, 70000, u"Big", u"Small", dlaFail, true, nxeInvalidFieldTransformation, false, 0},
      {"lost, null, defaults off", false, 70000, u"Big", u"Small", dlaNull, false, 0, true, 0},
      {"lost, null, default", false, 70000, u"Big", u"Small", dlaNull, true, 0, false, 5},
      {"lost, best fit", false, 70000, u"Big", u"Small", dlaBestFit, true, 0, false, 32767},
      {"no source, default", false, 0, u"", u"Small", dlaFail, true, 0, false, 5},
      {"no source, defaults off", false, 0, u"", u"Small", dlaFail, false, 0, true, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.What);
    TnxRecordMapperDescriptor mapping;
    mapping.SetApplyDefaultForUnmapped(false);
    mapping.AddMapping(c.SourceName, c.TargetName, c.Action)->SetApplyDefault(c.ApplyDefault);
    auto engine = TnxBaseRecordMapperEngine::CreateFor(mapping, source, target);
    std::vector<uint8_t> from = Record(source);
    if (!c.SourceNull) Set(source, from, u"Big", platform::TnxVariant::FromInteger(c.Value));
    std::vector<uint8_t> to = Record(target);
    EXPECT_EQ(engine->MapRecord(from.data(), to.data()), c.Result);
    if (c.Result != 0) continue;
    const platform::TnxVariant v = Get(target, to, c.TargetName);
    EXPECT_EQ(v.IsNull(), c.TargetNull);
    if (!c.TargetNull) {
      EXPECT_EQ(v.AsInt64(), c.TargetValue);
    }
  }
}

// A routine that finds no value, as BLOB mappers do for an empty BLOB.
uint32_t NoValue(const void*, const void*, void*) { return 1; }
std::unique_ptr<TnxBaseFieldMapper> OfferNoValue(const TnxFieldMapperClass& aClass, TnxFieldDescriptor&,
                                                 TnxAbstractCursor*, TnxFieldDescriptor&, TnxAbstractCursor*,
                                                 const TnxFieldMapperDescriptor*, TnxMappingMethod& aMapper) {
  aMapper = {&NoValue, &aClass};
  return nullptr;
}
const TnxFieldMapperClass kNoValueMapper{u"TnxNoValueMapper", &OfferNoValue};

TEST_F(MapperEngines, NoValueFromARoutineGivesTheDefaultOrNullUnderEveryAction) {
  TnxServerTableCursor* source = Table(u"Src", {{u"ID", nxtInt32}, {u"Big", nxtInt32}});
  TnxServerTableCursor* target = Table(
      u"Dst", {{u"Small", nxtInt16, 0, 0, false, platform::TnxVariant::FromInteger(5)}, {u"Plain", nxtInt16}});
  nxRegisterFieldMapper(&kNoValueMapper, nxtInt32, nxtInt16);
  for (TnxDataLossAction action : {dlaFail, dlaNull, dlaBestFit}) {
    TnxRecordMapperDescriptor mapping;
    mapping.SetApplyDefaultForUnmapped(false);
    mapping.AddMapping(u"Big", u"Small", action)->SetApplyDefault(true);
    mapping.AddMapping(u"ID", u"Plain", action)->SetApplyDefault(true);
    auto engine = TnxBaseRecordMapperEngine::CreateFor(mapping, source, target);
    std::vector<uint8_t> from = Record(source);
    Set(source, from, u"Big", platform::TnxVariant::FromInteger(9));
    Set(source, from, u"ID", platform::TnxVariant::FromInteger(9));
    std::vector<uint8_t> to = Record(target);
    // A stale non-null flag must not survive a value that was not written.
    Fields(target).SetRecordFieldNull(1, to.data(), false);
    EXPECT_EQ(engine->MapRecord(from.data(), to.data()), 0u);
    EXPECT_EQ(Get(target, to, u"Small").AsInt64(), 5);
    EXPECT_TRUE(Get(target, to, u"Plain").IsNull());
  }
}

// ---- which target fields get an engine ----

TEST_F(MapperEngines, UnmappedFieldsGetEnginesForDefaultsAndSpecialTypes) {
  TnxServerTableCursor* source = Table(u"Src", {{u"ID", nxtInt32}});
  TnxServerTableCursor* target =
      Table(u"Dst", {{u"id", nxtInt32},
                     {u"Small", nxtInt16, 0, 0, false, platform::TnxVariant::FromInteger(5)},
                     {u"Seq", nxtAutoInc},
                     {u"Plain", nxtInt16}});
  for (bool applyDefault : {true, false}) {
    SCOPED_TRACE(applyDefault);
    TnxRecordMapperDescriptor mapping;
    mapping.SetApplyDefaultForUnmapped(applyDefault);
    // The target named in another case still maps that field.
    mapping.AddMapping(u"ID", u"ID", dlaFail);
    auto engine = TnxBaseRecordMapperEngine::CreateFor(mapping, source, target);
    auto* records = dynamic_cast<TnxRecordMapperEngine*>(engine.get());
    ASSERT_NE(records, nullptr);
    // id; Seq (special) always; Small only with defaults.
    EXPECT_EQ(records->FieldMapperCount(), applyDefault ? 3 : 2);
    std::vector<uint8_t> from = Record(source);
    Set(source, from, u"ID", platform::TnxVariant::FromInteger(3));
    std::vector<uint8_t> to = Record(target);
    EXPECT_EQ(engine->MapRecord(from.data(), to.data()), 0u);
    EXPECT_EQ(Get(target, to, u"id").AsInt64(), 3);
    EXPECT_EQ(Get(target, to, u"Small").IsNull(), !applyDefault);
    EXPECT_TRUE(Get(target, to, u"Plain").IsNull());
    // Without defaults the AutoInc engine is there but numbers nothing.
    EXPECT_EQ(Get(target, to, u"Seq").IsNull(), !applyDefault);
  }
}

// ---- errors and their texts ----

TEST_F(MapperEngines, SetUpErrorsNameTheirCause) {
  TnxServerTableCursor* source = Table(u"Src", {{u"ID", nxtInt32}, {u"Big", nxtInt32}});
  TnxServerTableCursor* target = Table(u"Dst", {{u"When", nxtDate}, {u"Small", nxtInt16}});
  const std::u16string tag = nxOriginalMessageTag();
  struct Case {
    std::u16string Source, Target;
    uint32_t Code;
    std::u16string Message;
  };
  const std::vector<Case> cases = {
      {u"Big", u"Nope", nxeInvalidFieldName, tag + u" Field \"Nope\" not in target dictionary"},
      {u"Nope", u"Small", nxeInvalidFieldName, tag + u" Field \"Nope\" not in source dictionary"},
      {u"Big", u"When", nxeInvalidFieldTransformation,
       tag + u"\r\n\r\nNo valid Field Mapper available.\r\n\r\nSource Field: [1] Big - Int32\r\n"
             u"Target Field: [0] When - Date"},
  };
  for (const Case& c : cases) {
    TnxRecordMapperDescriptor mapping;
    mapping.AddMapping(c.Source, c.Target, dlaFail);
    std::u16string message;
    EXPECT_EQ(CodeOf([&] { TnxBaseRecordMapperEngine::CreateFor(mapping, source, target); }, &message), c.Code);
    EXPECT_EQ(message, c.Message);
  }
}

class TnxOddFieldMapperDescriptor : public TnxFieldMapperDescriptor {
  REVUROV_REGISTERABLE_RECORD(TnxOddFieldMapperDescriptor, TnxFieldMapperDescriptor, TnxFieldMapperDescriptorClass,
                              &nxNewFieldMapperDescriptor<TnxOddFieldMapperDescriptor>)
  using TnxFieldMapperDescriptor::TnxFieldMapperDescriptor;
};

TEST_F(MapperEngines, EnginesAreFoundByTheDescriptorsNameOr15503) {
  TnxServerTableCursor* source = Table(u"Src", {{u"ID", nxtInt32}});
  TnxServerTableCursor* target = Table(u"Dst", {{u"ID", nxtInt32}});
  std::u16string message;
  TnxBaseRecordMapperDescriptor plain;
  EXPECT_EQ(CodeOf([&] { TnxBaseRecordMapperEngine::CreateFor(plain, source, target); }, &message),
            nxeSubEngineNotSupported);
  EXPECT_EQ(message, u"Unknown RecordMapper engine: \"TnxBaseRecordMapperEngine\"");
  TnxOddFieldMapperDescriptor odd(u"ID", u"ID", dlaFail);
  EXPECT_EQ(CodeOf([&] { TnxBaseFieldMapperEngine::CreateFor(odd, source, target); }, &message),
            nxeSubEngineNotSupported);
  EXPECT_EQ(message, u"Unknown FieldMapper engine: \"TnxOddFieldMapperEngine\"");
  TnxFieldMapperDescriptor right(u"ID", u"ID", dlaFail);
  EXPECT_NE(dynamic_cast<TnxFieldMapperEngine*>(TnxBaseFieldMapperEngine::CreateFor(right, source, target).get()),
            nullptr);
}

TEST_F(MapperEngines, TheSpecialRegistryHoldsOneClassPerType) {
  EXPECT_TRUE(TnxBaseFieldMapperEngine::HasSpecialMapper(nxtAutoInc));
  EXPECT_FALSE(TnxBaseFieldMapperEngine::HasSpecialMapper(nxtInt32));
  RegisterSpecialFieldMapperEngine(TnxFieldMapperEngineAutoInc::ClassInfo(), nxtAutoInc);  // the same: allowed
  std::u16string message;
  EXPECT_EQ(CodeOf([&] { RegisterSpecialFieldMapperEngine(TnxFieldMapperEngine::ClassInfo(), nxtAutoInc); },
                   &message),
            0u);
  EXPECT_EQ(message, u"A special Field Mapper has already been registered for this FieldType");
  UnregisterSpecialFieldMapperEngine(TnxFieldMapperEngine::ClassInfo(), nxtAutoInc);  // not its class
  EXPECT_TRUE(TnxBaseFieldMapperEngine::HasSpecialMapper(nxtAutoInc));
  RegisterSpecialFieldMapperEngine(TnxFieldMapperEngine::ClassInfo(), nxtInt8);
  EXPECT_TRUE(TnxBaseFieldMapperEngine::HasSpecialMapper(nxtInt8));
  UnregisterSpecialFieldMapperEngine(TnxFieldMapperEngine::ClassInfo(), nxtInt8);
  EXPECT_FALSE(TnxBaseFieldMapperEngine::HasSpecialMapper(nxtInt8));
}

TEST_F(MapperEngines, AFailedValueCarriesItsFieldTableAndKeyInTheMessage) {
  const std::u16string tag = nxOriginalMessageTag();
  struct Case {
    const char* What;
    TnxIndexDups Dups;  // idAll: no index names a record
    std::u16string SourceField;
    platform::TnxVariant Value;
    std::u16string TargetField;
    std::u16string FieldLines;
  };
  const std::vector<Case> cases = {
      {"number, unique index", idNone, u"Big", platform::TnxVariant::FromInteger(70000), u"Small",
       u"Source Field: [1] Big - Int32\r\nTarget Field: [0] Small - Int16\r\nSource Value: 70000"},
      {"text, duplicates index", idAll, u"Text", platform::TnxVariant::FromString(u"it's"), u"Short",
       u"Source Field: [2] Text - ShortString(10)\r\nTarget Field: [1] Short - ShortString(2)\r\n"
       u"Source Value: 'it''s'"},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.What);
    const std::u16string suffix = platform::Utf8ToUtf16(std::to_string(++n));
    TnxServerTableCursor* source =
        Table(u"Src" + suffix, {{u"ID", nxtInt32}, {u"Big", nxtInt32}, {u"Text", nxtShortString, 10}}, u"ByID", c.Dups);
    TnxServerTableCursor* target = Table(u"Dst" + suffix, {{u"Small", nxtInt16}, {u"Short", nxtShortString, 2}});
    TnxRecordMapperDescriptor mapping;
    mapping.AddMapping(c.SourceField, c.TargetField, dlaFail);
    auto engine = TnxBaseRecordMapperEngine::CreateFor(mapping, source, target);
    std::vector<uint8_t> from = Record(source);
    Set(source, from, u"ID", platform::TnxVariant::FromInteger(12));
    Set(source, from, c.SourceField, c.Value);
    std::vector<uint8_t> to = Record(target);
    // An earlier failure's text in the slot must not become part of this one.
    EnxBaseException::SetLastConvertedException(nxeInvalidFieldTransformation, u"earlier failure");
    EXPECT_EQ(engine->MapRecord(from.data(), to.data()), nxeInvalidFieldTransformation);
    std::u16string expected = tag + u"\r\n\r\n" + c.FieldLines + u"\r\n\r\nSource Table: " + source->FullName();
    if (c.Dups == idNone) expected += u"\r\nSource Key (Index: ByID): 12";
    EXPECT_EQ(LastText(), expected);
    uint32_t code = 0;
    std::u16string text;
    EnxBaseException::GetLastConvertedException(code, text);
    EXPECT_EQ(code, nxeInvalidFieldTransformation);
  }
}

// ---- the auto-increment engine ----

class AutoIncMapping : public MapperEngines {
protected:
  // Maps aValues (null: none) of the source's Seq into a fresh target
  // inside one transaction, and answers the target's counter at the end.
  uint32_t Copy(TnxServerTableCursor* aSource, TnxServerTableCursor* aTarget, bool aMapSeq,
                const std::vector<int64_t>& aValues, std::vector<int64_t>& aWritten) {
    TnxRecordMapperDescriptor mapping;
    mapping.AddMapping(u"ID", u"ID", dlaFail);
    if (aMapSeq) mapping.AddMapping(u"Seq", u"Seq", dlaFail);
    auto engine = TnxBaseRecordMapperEngine::CreateFor(mapping, aSource, aTarget);
    TnxServerTransContext& context = *aTarget->TransContext();
    EXPECT_EQ(context.stcTransactionStart(false, false, false, false, false, false), 0u);
    engine->BeforeFirstRecord();
    int32_t id = 0;
    for (int64_t value : aValues) {
      std::vector<uint8_t> from = Record(aSource);
      Set(aSource, from, u"ID", platform::TnxVariant::FromInteger(++id));
      if (value >= 0) Set(aSource, from, u"Seq", platform::TnxVariant::FromInt64(value));
      std::vector<uint8_t> to = Record(aTarget);
      EXPECT_EQ(engine->MapRecord(from.data(), to.data()), 0u);
      const platform::TnxVariant seq = Get(aTarget, to, u"Seq");
      aWritten.push_back(seq.IsNull() ? -1 : seq.AsInt64());
    }
    engine->BeforeCommit();
    const uint32_t counter = aTarget->sbcAutoIncGet();
    EXPECT_EQ(context.stcTransactionCommit(), 0u);
    return counter;
  }
};

TEST_F(AutoIncMapping, RecordsWithoutASourceAreNumberedInCopyOrder) {
  TnxServerTableCursor* source = Table(u"Src", {{u"ID", nxtInt32}});
  TnxServerTableCursor* target = Table(u"Dst", {{u"ID", nxtInt32}, {u"Seq", nxtAutoInc}});
  std::vector<int64_t> written;
  EXPECT_EQ(Copy(source, target, false, {-1, -1, -1}, written), 3u);
  EXPECT_EQ(written, (std::vector<int64_t>{1, 2, 3}));
}

TEST_F(AutoIncMapping, CopiedValuesLeaveTheCounterAtTheHigherOfThemAndTheSources) {
  for (uint32_t sourceCounter : {7u, 12u}) {
    SCOPED_TRACE(sourceCounter);
    const std::u16string suffix = platform::Utf8ToUtf16(std::to_string(sourceCounter));
    TnxServerTableCursor* source = Table(u"Src" + suffix, {{u"ID", nxtInt32}, {u"Seq", nxtAutoInc}});
    TnxServerTableCursor* target = Table(u"Dst" + suffix, {{u"ID", nxtInt32}, {u"Seq", nxtAutoInc}});
    ASSERT_EQ(source->AutoIncSet(sourceCounter), 0u) << LastMessage();
    std::vector<int64_t> written;
    EXPECT_EQ(Copy(source, target, true, {5, 3, 9}, written), std::max(9u, sourceCounter));
    EXPECT_EQ(written, (std::vector<int64_t>{5, 3, 9}));
    // A null value among copied ones is numbered above what was seen.
    written.clear();
  }
}

TEST_F(AutoIncMapping, ANullCopiedValueIsNumberedAboveTheSourcesCounter) {
  TnxServerTableCursor* source = Table(u"Src", {{u"ID", nxtInt32}, {u"Seq", nxtAutoInc}});
  TnxServerTableCursor* target = Table(u"Dst", {{u"ID", nxtInt32}, {u"Seq", nxtAutoInc}});
  ASSERT_EQ(source->AutoIncSet(20), 0u) << LastMessage();
  // Seq mapped without apply-default: a null stays null.
  std::vector<int64_t> written;
  EXPECT_EQ(Copy(source, target, true, {25, -1}, written), 25u);
  EXPECT_EQ(written, (std::vector<int64_t>{25, -1}));
}

}  // namespace
}  // namespace revurov
