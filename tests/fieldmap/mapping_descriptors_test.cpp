#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "dictionary/data_dictionary.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/table_descriptors.h"
#include "fieldmap/field_mapper_descriptor.h"
#include "fieldmap/record_mapper_descriptor.h"
#include "fieldmap/startup.h"
#include "fieldmap/table_mapper_descriptor.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exceptions.h"
#include "lowlevel/streams/memory_stream.h"
#include "lowlevel/streams/tagged_stream.h"
#include "platform/rtl_exception.h"
#include "support/tagged_bytes.h"
#include "support/test_size.h"

namespace revurov {
namespace {

using testing::ReadAll;
using testing::TaggedBytes;
using testing::Written;

class MappingDescriptors : public ::testing::Test {
protected:
  TnxFieldMapStartupGuard fieldMap;
};

// Field layouts standing in for a source and a target table.
std::unique_ptr<TnxDataDictionary> Fields(std::initializer_list<std::u16string_view> aNames) {
  auto dict = std::make_unique<TnxDataDictionary>();
  for (auto name : aNames) dict->FieldsDescriptor().AddField(name, u"", nxtInt32, 0, 0, false);
  return dict;
}

std::vector<std::pair<std::u16string, std::u16string>> Pairs(const TnxRecordMapperDescriptor& aRecord) {
  std::vector<std::pair<std::u16string, std::u16string>> pairs;
  for (int32_t i = 0; i < aRecord.FieldMapperCount(); ++i)
    pairs.emplace_back(aRecord.rmdGetMapper(i)->SourceName(), aRecord.rmdGetMapper(i)->TargetName());
  return pairs;
}

uint32_t CodeOf(const std::function<void()>& aRun) {
  try {
    aRun();
  } catch (const EnxBaseException& e) {
    return e.ErrorCode();
  }
  return 0;
}

// ---- the three levels written by hand, value by value ----

void FieldMapping(TnxWriter& w, std::u16string_view aSource, std::u16string_view aTarget, std::u16string_view aAction,
                  bool aApplyDefault, int32_t aVersion = 1) {
  w.WriteIdent(u"TnxFieldMapperDescriptor");
  w.WriteString(aSource);
  w.WriteString(aTarget);
  w.WriteString(aAction);
  w.WriteInteger(aVersion);
  w.WriteBoolean(aApplyDefault);
}

// ID onto id (dlaFail, default applied) and Name onto name (dlaBestFit),
// unmapped fields left alone.
void RecordMapping(TnxWriter& w) {
  w.WriteIdent(u"TnxRecordMapperDescriptor");
  w.WriteInteger(int32_t{1});
  w.WriteListBegin();
  FieldMapping(w, u"ID", u"id", u"dlaFail", true);
  FieldMapping(w, u"Name", u"name", u"dlaBestFit", false);
  w.WriteListEnd();
  w.WriteBoolean(false);
}

// The root maps onto "Target" with a record mapping; its nested "Lines"
// has none, and "Notes" has an empty record mapping with defaults on.
void TableMapping(TnxWriter& w) {
  w.WriteIdent(u"TnxTableMapperDescriptor");
  w.WriteInteger(int32_t{1});
  w.WriteString(u".");
  w.WriteString(u"Target");
  w.WriteBoolean(true);
  RecordMapping(w);
  w.WriteInteger(int32_t{2});
  {
    w.WriteIdent(u"TnxTableMapperDescriptor");
    w.WriteInteger(int32_t{1});
    w.WriteString(u"Lines");
    w.WriteString(u".");
    w.WriteBoolean(false);
    w.WriteInteger(int32_t{0});
    w.WriteInteger(int32_t{1});
  }
  {
    w.WriteIdent(u"TnxTableMapperDescriptor");
    w.WriteInteger(int32_t{1});
    w.WriteString(u"Notes");
    w.WriteString(u".");
    w.WriteBoolean(true);
    w.WriteIdent(u"TnxRecordMapperDescriptor");
    w.WriteInteger(int32_t{1});
    w.WriteListBegin();
    w.WriteListEnd();
    w.WriteBoolean(true);
    w.WriteInteger(int32_t{0});
    w.WriteInteger(int32_t{1});
  }
  w.WriteInteger(int32_t{1});
}

TEST_F(MappingDescriptors, GoldenStreamsReadAndWriteBackByteForByte) {
  const TaggedBytes field = Written([](TnxWriter& w) { FieldMapping(w, u"Src", u"Dst", u"dlaNull", true); });
  auto fieldDesc = ReadAll(field, [](TnxReader& r) { return TnxFieldMapperDescriptor::CreateFromReader(r); });
  EXPECT_EQ(fieldDesc->SourceName(), u"Src");
  EXPECT_EQ(fieldDesc->TargetName(), u"Dst");
  EXPECT_EQ(fieldDesc->DataLossAction(), dlaNull);
  EXPECT_TRUE(fieldDesc->ApplyDefault());
  EXPECT_EQ(Written([&](TnxWriter& w) { fieldDesc->WriteToWriter(w, 0); }), field);

  const TaggedBytes record = Written(RecordMapping);
  auto recordDesc = ReadAll(record, [](TnxReader& r) { return TnxBaseRecordMapperDescriptor::CreateFromReader(r); });
  auto* rec = dynamic_cast<TnxRecordMapperDescriptor*>(recordDesc.get());
  ASSERT_NE(rec, nullptr);
  EXPECT_FALSE(rec->ApplyDefaultForUnmapped());
  ASSERT_EQ(rec->FieldMapperCount(), 2);
  EXPECT_TRUE(rec->rmdGetMapper(0)->ApplyDefault());
  EXPECT_EQ(rec->rmdGetMapper(1)->DataLossAction(), dlaBestFit);
  EXPECT_EQ(Written([&](TnxWriter& w) { rec->WriteToWriter(w, 0); }), record);

  const TaggedBytes table = Written(TableMapping);
  auto tableDesc = ReadAll(table, [](TnxReader& r) { return TnxBaseTableMapperDescriptor::CreateFromReader(r); });
  ASSERT_NE(dynamic_cast<TnxTableMapperDescriptor*>(tableDesc.get()), nullptr);
  EXPECT_EQ(tableDesc->MapTo(), u"Target");
  ASSERT_EQ(tableDesc->TableCount(), 2);
  EXPECT_EQ(tableDesc->TableDescriptor(0)->Name(), u"Lines");
  EXPECT_EQ(tableDesc->TableDescriptor(0)->RecordMapper(), nullptr);
  EXPECT_EQ(tableDesc->TableDescriptor(0)->Parent(), tableDesc.get());
  EXPECT_EQ(tableDesc->TableDescriptor(1)->Name(), u"Notes");
  EXPECT_NE(tableDesc->TableDescriptor(1)->RecordMapper(), nullptr);
  EXPECT_EQ(Written([&](TnxWriter& w) { tableDesc->WriteToWriter(w, 0); }), table);
  EXPECT_EQ(Written([&](TnxWriter& w) { tableDesc->Duplicate()->WriteToWriter(w, 0); }), table);
}

TEST_F(MappingDescriptors, AnUnknownActionNameReadsAsFail) {
  for (std::u16string_view name : {u"dlaSomethingNewer", u"", u"DLANULL"}) {
    const TaggedBytes bytes = Written([&](TnxWriter& w) { FieldMapping(w, u"a", u"b", name, false); });
    auto desc = ReadAll(bytes, [](TnxReader& r) { return TnxFieldMapperDescriptor::CreateFromReader(r); });
    EXPECT_EQ(desc->DataLossAction(), dlaFail);
  }
}

TEST_F(MappingDescriptors, BadStreamsAreRefusedWithTheirCodes) {
  struct Case {
    const char* What;
    std::function<void(TnxWriter&)> Write;
    uint32_t Code;
  };
  const std::vector<Case> cases = {
      {"field version", [](TnxWriter& w) { FieldMapping(w, u"a", u"b", u"dlaFail", false, 2); }, nxeIncompatibleStream},
      {"field class",
       [](TnxWriter& w) {
         w.WriteIdent(u"TnxOtherFieldMapperDescriptor");
         w.WriteString(u"a");
       },
       nxeUnsupportedDictionaryDescriptor},
      {"record version",
       [](TnxWriter& w) {
         w.WriteIdent(u"TnxRecordMapperDescriptor");
         w.WriteInteger(int32_t{0});
       },
       nxeIncompatibleStream},
      {"record class", [](TnxWriter& w) { w.WriteIdent(u"TnxFancyRecordMapperDescriptor"); },
       nxeUnsupportedDictionaryDescriptor},
      {"table base version",
       [](TnxWriter& w) {
         w.WriteIdent(u"TnxTableMapperDescriptor");
         w.WriteInteger(int32_t{2});
       },
       nxeIncompatibleStream},
      {"table trailing version",
       [](TnxWriter& w) {
         w.WriteIdent(u"TnxTableMapperDescriptor");
         w.WriteInteger(int32_t{1});
         w.WriteString(u".");
         w.WriteString(u".");
         w.WriteBoolean(false);
         w.WriteInteger(int32_t{0});
         w.WriteInteger(int32_t{7});
       },
       nxeIncompatibleStream},
      {"nested table class",
       [](TnxWriter& w) {
         w.WriteIdent(u"TnxTableMapperDescriptor");
         w.WriteInteger(int32_t{1});
         w.WriteString(u".");
         w.WriteString(u".");
         w.WriteBoolean(false);
         w.WriteInteger(int32_t{1});
         w.WriteIdent(u"TnxNoSuchDescriptor");
       },
       nxeUnsupportedDictionaryDescriptor},
  };
  for (const auto& c : cases) {
    const TaggedBytes bytes = Written(c.Write);
    TnxStaticMemoryStream s(const_cast<uint8_t*>(bytes.data()), static_cast<int64_t>(bytes.size()));
    TnxReader r(s);
    const uint32_t code = CodeOf([&] {
      if (std::string(c.What).starts_with("field"))
        TnxFieldMapperDescriptor::CreateFromReader(r);
      else if (std::string(c.What).starts_with("record"))
        TnxBaseRecordMapperDescriptor::CreateFromReader(r);
      else
        TnxBaseTableMapperDescriptor::CreateFromReader(r);
    });
    EXPECT_EQ(code, c.Code) << c.What;
  }
}

TEST_F(MappingDescriptors, TheTextOfAnUnregisteredClassNamesItsKind) {
  const TaggedBytes bytes = Written([](TnxWriter& w) { w.WriteIdent(u"TnxFancyRecordMapperDescriptor"); });
  TnxStaticMemoryStream s(const_cast<uint8_t*>(bytes.data()), static_cast<int64_t>(bytes.size()));
  TnxReader r(s);
  try {
    TnxBaseRecordMapperDescriptor::CreateFromReader(r);
    FAIL();
  } catch (const EnxBaseException& e) {
    EXPECT_NE(e.Message().find(u"RecordMapperDescriptor class is not supported: TnxFancyRecordMapperDescriptor"),
              std::u16string::npos);
  }
}

TEST_F(MappingDescriptors, ATableCountBeyondWhatFollowsEndsInTheReadersError) {
  const TaggedBytes bytes = Written([](TnxWriter& w) {
    w.WriteIdent(u"TnxTableMapperDescriptor");
    w.WriteInteger(int32_t{1});
    w.WriteString(u".");
    w.WriteString(u".");
    w.WriteBoolean(false);
    w.WriteInteger(int32_t{0x7fffffff});
  });
  TnxStaticMemoryStream s(const_cast<uint8_t*>(bytes.data()), static_cast<int64_t>(bytes.size()));
  TnxReader r(s);
  EXPECT_THROW(TnxBaseTableMapperDescriptor::CreateFromReader(r), platform::EReadError);
}

// A chain of aDepth table mappers below the root, each with one nested.
TaggedBytes Nesting(int aDepth) {
  return Written([&](TnxWriter& w) {
    for (int i = 0; i <= aDepth; ++i) {
      w.WriteIdent(u"TnxTableMapperDescriptor");
      w.WriteInteger(int32_t{1});
      w.WriteString(i == 0 ? u"." : u"T");
      w.WriteString(u".");
      w.WriteBoolean(false);
      w.WriteInteger(int32_t{i < aDepth ? 1 : 0});
    }
    for (int i = 0; i <= aDepth; ++i) w.WriteInteger(int32_t{1});
  });
}

TEST_F(MappingDescriptors, NestingIsReadTo64LevelsAndRefusedBeyond) {
  auto deepest = ReadAll(Nesting(nxMaxTableMapperNesting),
                         [](TnxReader& r) { return TnxBaseTableMapperDescriptor::CreateFromReader(r); });
  int depth = 0;
  for (TnxBaseTableMapperDescriptor* t = deepest.get(); t->TableCount() > 0; t = t->TableDescriptor(0)) ++depth;
  EXPECT_EQ(depth, nxMaxTableMapperNesting);

  for (int levels : {nxMaxTableMapperNesting + 1, 100000}) {
    const TaggedBytes bytes = Nesting(levels);
    TnxStaticMemoryStream s(const_cast<uint8_t*>(bytes.data()), static_cast<int64_t>(bytes.size()));
    TnxReader r(s);
    EXPECT_EQ(CodeOf([&] { TnxBaseTableMapperDescriptor::CreateFromReader(r); }), nxeIncompatibleStream) << levels;
  }
}

// Random byte changes to the golden table stream must end in one of the
// stream's own refusals or the reader's, never a crash or a leak (the
// sanitizer build watches for those).
TEST_F(MappingDescriptors, MutatedStreamsFailOnlyWithStreamErrors) {
  const TaggedBytes golden = Written(TableMapping);
  std::mt19937 rng(96);
  const int runs = testing::TestSize(10000, 100000);
  int read = 0;
  for (int run = 0; run < runs; ++run) {
    TaggedBytes bytes = golden;
    const int changes = 1 + static_cast<int>(rng() % 4);
    for (int c = 0; c < changes; ++c) bytes[rng() % bytes.size()] = static_cast<uint8_t>(rng());
    if (rng() % 8 == 0) bytes.resize(rng() % bytes.size());
    TnxStaticMemoryStream s(bytes.data(), static_cast<int64_t>(bytes.size()));
    TnxReader r(s);
    try {
      TnxBaseTableMapperDescriptor::CreateFromReader(r);
      ++read;
    } catch (const EnxBaseException& e) {
      EXPECT_TRUE(e.ErrorCode() == nxeIncompatibleStream || e.ErrorCode() == nxeUnsupportedDictionaryDescriptor)
          << e.ErrorCode();
    } catch (const platform::EReadError&) {
    } catch (const platform::ERangeError&) {
    } catch (const platform::EStringListError&) {
      // Two mappings for one target name.
    }
  }
  EXPECT_GT(read, 0);
}

// ---- building mappings ----

TEST_F(MappingDescriptors, MapByNameMatchesNamesWithoutCase) {
  auto source = Fields({u"ID", u"Name", u"Extra"});
  auto target = Fields({u"name", u"id", u"New"});
  TnxRecordMapperDescriptor record;
  record.MapAllFieldsByName(source->FieldsDescriptor(), target->FieldsDescriptor(), dlaNull);
  using P = std::vector<std::pair<std::u16string, std::u16string>>;
  EXPECT_EQ(Pairs(record), (P{{u"ID", u"id"}, {u"Name", u"name"}}));
  EXPECT_EQ(record.rmdGetMapper(0)->DataLossAction(), dlaNull);
  EXPECT_FALSE(record.rmdGetMapper(0)->ApplyDefault());
}

TEST_F(MappingDescriptors, MapByPositionStopsAtTheShorterSide) {
  auto source = Fields({u"A", u"B", u"C"});
  auto target = Fields({u"V", u"W", u"X", u"Y", u"Z"});
  TnxRecordMapperDescriptor record;
  record.MapAllFieldsByPosition(source->FieldsDescriptor(), target->FieldsDescriptor(), dlaFail);
  using P = std::vector<std::pair<std::u16string, std::u16string>>;
  EXPECT_EQ(Pairs(record), (P{{u"A", u"V"}, {u"B", u"W"}, {u"C", u"X"}}));
  EXPECT_EQ(record.FieldMapperIndexOf(u"Y"), -1);
}

TEST_F(MappingDescriptors, EditingMappingsKeepsTheOrderAndRefusesWhatIsNotThere) {
  TnxRecordMapperDescriptor record;
  record.AddMapping(u"s1", u"Beta", dlaFail);
  record.AddMapping(u"s2", u"Delta", dlaFail);
  EXPECT_THROW(record.AddMapping(u"s3", u"BETA", dlaFail), platform::EStringListError);
  EXPECT_EQ(record.FieldMapperCount(), 2);

  // A rename in case only keeps the place and changes the stored name.
  EXPECT_EQ(record.UpdateTargetName(u"beta", u"BETA")->TargetName(), u"BETA");
  EXPECT_EQ(record.FieldMapperIndexOf(u"Beta"), 0);
  // Renames that move the entry, both ways.
  EXPECT_EQ(record.UpdateTargetName(u"Beta", u"Omega")->SourceName(), u"s1");
  EXPECT_EQ(record.FieldMapperIndexOf(u"omega"), 1);
  EXPECT_EQ(record.UpdateTargetName(u"Omega", u"Alpha")->TargetName(), u"Alpha");
  EXPECT_EQ(record.FieldMapperIndexOf(u"Alpha"), 0);
  EXPECT_EQ(record.FieldMapperIndexOf(u"Delta"), 1);
  EXPECT_THROW(record.UpdateTargetName(u"Alpha", u"delta"), platform::EStringListError);
  EXPECT_EQ(record.rmdGetMapper(0)->TargetName(), u"Alpha");
  EXPECT_EQ(record.FieldMapperCount(), 2);

  EXPECT_EQ(record.UpdateSourceName(u"DELTA", u"s9")->SourceName(), u"s9");
  for (auto run : std::vector<std::function<void()>>{[&] { record.UpdateSourceName(u"Gamma", u"x"); },
                                                     [&] { record.UpdateTargetName(u"Gamma", u"x"); },
                                                     [&] { record.DeleteMapping(u"Gamma"); },
                                                     [&] { record.rmdGetMapper(2); }})
    EXPECT_THROW(run(), platform::EStringListError);
  record.DeleteMapping(u"alpha");
  EXPECT_EQ(record.FieldMapperCount(), 1);
}

TEST_F(MappingDescriptors, AStreamWithTwoMappingsForOneTargetIsRefused) {
  const TaggedBytes bytes = Written([](TnxWriter& w) {
    w.WriteIdent(u"TnxRecordMapperDescriptor");
    w.WriteInteger(int32_t{1});
    w.WriteListBegin();
    FieldMapping(w, u"a", u"x", u"dlaFail", false);
    FieldMapping(w, u"b", u"X", u"dlaFail", false);
    w.WriteListEnd();
    w.WriteBoolean(true);
  });
  TnxStaticMemoryStream s(const_cast<uint8_t*>(bytes.data()), static_cast<int64_t>(bytes.size()));
  TnxReader r(s);
  EXPECT_THROW(TnxBaseRecordMapperDescriptor::CreateFromReader(r), platform::EStringListError);
}

TEST_F(MappingDescriptors, TablesAndFieldsMapByNameIntoNestedMappers) {
  auto oldTable = Fields({u"ID", u"Gone"});
  auto newTable = Fields({u"id", u"Added"});
  oldTable->TablesDescriptor().AddTable(u"Lines")->FieldsDescriptor().AddField(u"Qty", u"", nxtInt32, 0, 0, false);
  oldTable->TablesDescriptor().AddTable(u"OnlyOld");
  newTable->TablesDescriptor().AddTable(u"LINES")->FieldsDescriptor().AddField(u"qty", u"", nxtInt16, 0, 0, false);
  newTable->TablesDescriptor().AddTable(u"OnlyNew");

  TnxTableMapperDescriptor root;
  static_cast<TnxRecordMapperDescriptor*>(root.AddRecordMapper(&TnxRecordMapperDescriptor::ClassInfo()))
      ->AddMapping(u"Gone", u"Added", dlaFail);
  root.MapAllTablesAndFieldsByName(*oldTable, *newTable, dlaFail);
  auto* record = dynamic_cast<TnxRecordMapperDescriptor*>(root.RecordMapper());
  ASSERT_NE(record, nullptr);
  using P = std::vector<std::pair<std::u16string, std::u16string>>;
  EXPECT_EQ(Pairs(*record), (P{{u"ID", u"id"}}));
  ASSERT_EQ(root.TableCount(), 1);
  auto* nested = dynamic_cast<TnxTableMapperDescriptor*>(root.TableDescriptor(0));
  ASSERT_NE(nested, nullptr);
  EXPECT_EQ(nested->Name(), u"Lines");
  EXPECT_EQ(nested->MapTo(), u".");
  EXPECT_EQ(Pairs(*static_cast<TnxRecordMapperDescriptor*>(nested->RecordMapper())), (P{{u"Qty", u"qty"}}));

  // Written and read back, the whole tree is the same.
  const TaggedBytes bytes = Written([&](TnxWriter& w) { root.WriteToWriter(w, 0); });
  auto copy = ReadAll(bytes, [](TnxReader& r) { return TnxBaseTableMapperDescriptor::CreateFromReader(r); });
  EXPECT_EQ(Written([&](TnxWriter& w) { copy->WriteToWriter(w, 0); }), bytes);
}

}  // namespace
}  // namespace revurov
