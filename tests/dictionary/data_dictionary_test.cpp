#include "dictionary/data_dictionary.h"

#include <gtest/gtest.h>

#include <random>
#include <thread>

#include "dictionary/default_values.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/file_descriptors.h"
#include "dictionary/indices_descriptors.h"
#include "dictionary/key_descriptors.h"
#include "dictionary/startup.h"
#include "dictionary/storage_descriptors.h"
#include "lowlevel/streams/memory_stream.h"
#include "lowlevel/streams/tagged_stream.h"
#include "platform/rtl_exception.h"
#include "platform/string_list.h"
#include "platform/variant.h"
#include "tests/support/exception_message.h"
#include "tests/support/tagged_bytes.h"
#include "tests/support/test_size.h"

namespace revurov {
namespace {

using Bytes = std::vector<uint8_t>;
using testing::Written;

Bytes DictionaryBytes(const TnxDataDictionary& aDict, uint32_t aClientVersion) {
  TnxMemoryStream s;
  aDict.WriteToStream(s, aClientVersion);
  const auto* p = s.ByteArray();
  return Bytes(p, p + s.GetSize());
}

void ReadDictionary(TnxDataDictionary& aDict, const Bytes& aBytes) {
  TnxStaticMemoryStream s(const_cast<uint8_t*>(aBytes.data()), static_cast<int64_t>(aBytes.size()));
  aDict.ReadFromStream(s, u"Table");
}

// The item header of Part of every descriptor: version, custom strings, and
// from client 20000 on the ID and constraint name.
void ItemHeader(TnxWriter& w, const TnxDictionaryItem& aItem, uint32_t aClientVersion,
                const std::vector<std::u16string>& aLines = {}) {
  const bool old = aClientVersion < 20000;
  w.WriteInteger(int32_t{old ? 1 : 3});
  w.WriteListBegin();
  for (const auto& line : aLines) w.WriteString(line);
  w.WriteListEnd();
  if (old) return;
  w.WriteInteger(aItem.ID());
  w.WriteString(u"");
}

// What a descriptor tested elsewhere writes of itself.
void Contents(TnxWriter& w, const TnxDictionaryItem& aItem, uint32_t aClientVersion) {
  aItem.SaveToWriter(w, aClientVersion);
}

class DataDictionaryTest : public ::testing::Test {
protected:
  TnxDictionaryStartupGuard startup;
};

TEST_F(DataDictionaryTest, ANewDictionaryHasTheDefaults) {
  TnxDataDictionary dict;
  EXPECT_EQ(dict.Version(), 3);
  EXPECT_EQ(dict.HeaderSignature(), (TnxBlockSignature{'N', 'X', '!', '2'}));
  ASSERT_EQ(dict.FilesDescriptor().FileCount(), 1);
  EXPECT_EQ(dict.FilesDescriptor().FileDescriptor(0)->Desc(), u"Data/DataDict File");
  ASSERT_NE(dict.StreamDescriptor(), nullptr);
  ASSERT_NE(dict.RecordDescriptor(), nullptr);
  ASSERT_NE(dict.IndicesDescriptor(), nullptr);
  ASSERT_EQ(dict.IndicesDescriptor()->IndexCount(), 1);
  const TnxIndexDescriptor& index = *dict.IndicesDescriptor()->IndexDescriptor(0);
  EXPECT_EQ(index.Name(), u"Sequential Access Index");
  EXPECT_EQ(&index.KeyDescriptor()->ClassType(), &TnxRefKeyDescriptor::ClassInfo());
  EXPECT_NE(dict.Guid(), platform::GUID_NULL);
  // Items take their IDs from the dictionary, the first children first.
  EXPECT_EQ(dict.FieldsDescriptor().ID(), 1);
  EXPECT_GT(dict.CurrentID(), index.KeyDescriptor()->ID() - 1);
  EXPECT_FALSE(dict.ReadOnly());
}

// ---- golden streams ----

struct LayoutCase {
  uint32_t ClientVersion;
  bool RefNr;        // the table has an nxtRefNr field (dictionary version 5)
  int32_t Version;   // the version the stream carries
  bool Stripped;     // "$MissingInformation=True" in the root's header
};

class DictionaryLayoutTest : public DataDictionaryTest, public ::testing::WithParamInterface<LayoutCase> {};

// The frame, the root's own items and the table layout, value by value;
// the files, fields and indices write their own parts.
Bytes ExpectedCurrentLayout(const TnxDataDictionary& d, const LayoutCase& c) {
  return Written([&](TnxWriter& w) {
    const uint32_t cv = c.ClientVersion;
    w.WriteIdent(u"RevurOV");
    w.WriteInteger(c.Version);
    w.Write("NX!2", 4);
    w.WriteString(u"");
    if (c.Version >= 4) w.WriteBoolean(true);
    w.WriteIdent(u"StreamDescriptor");
    w.WriteBoolean(true);
    w.WriteString(u"TnxBaseStreamDescriptor");
    ItemHeader(w, *d.StreamDescriptor(), cv);
    w.WriteInteger(int32_t{1});
    w.WriteString(u"nx1xDefault");
    w.WriteIdent(u"FilesDescriptor");
    w.WriteBoolean(true);
    w.WriteString(u"TnxFilesDescriptor");
    Contents(w, d.FilesDescriptor(), cv);
    std::vector<std::u16string> lines = {u"$GUID=" + platform::GUIDToString(d.Guid())};
    if (c.Stripped) lines.push_back(u"$MissingInformation=True");
    lines.push_back(u"$CachingState=tcsNone");
    ItemHeader(w, d, cv, lines);
    w.WriteInteger(int32_t{1});
    w.WriteIdent(u"LocaleDescriptor");
    w.WriteInteger(int32_t{1});
    w.WriteBoolean(false);
    w.WriteIdent(u"RecordDescriptor");
    w.WriteBoolean(true);
    w.WriteString(u"TnxBaseRecordDescriptor");
    ItemHeader(w, *d.RecordDescriptor(), cv);
    w.WriteInteger(int32_t{2});
    w.WriteString(u"nx1xDefault");
    w.WriteInteger(int32_t{0});
    w.WriteIdent(u"BlobDescriptor");
    w.WriteBoolean(false);
    w.WriteIdent(u"FieldsDescriptor");
    w.WriteBoolean(true);
    w.WriteString(u"TnxFieldsDescriptor");
    Contents(w, d.FieldsDescriptor(), cv);
    w.WriteIdent(u"IndicesDescriptor");
    w.WriteBoolean(true);
    w.WriteString(u"TnxMainIndicesDescriptor");
    Contents(w, *d.IndicesDescriptor(), cv);
    w.WriteIdent(u"AutoIncDescriptor");
    w.WriteBoolean(false);
    w.WriteIdent(u"CustomDescsDescriptor");
    w.WriteBoolean(true);
    w.WriteString(u"TnxCustomDescsDescriptor");
    ItemHeader(w, d.CustomDescsDescriptor(), cv);
    w.WriteInteger(int32_t{1});
    w.WriteInteger(int32_t{0});
    w.WriteIdent(u"TablesDescriptor");
    w.WriteBoolean(true);
    w.WriteString(u"TnxTablesDescriptor");
    ItemHeader(w, d.TablesDescriptor(), cv);
    w.WriteInteger(int32_t{1});
    w.WriteInteger(int32_t{0});
    w.WriteIdent(u"CurrentID");
    w.WriteInteger(d.CurrentID());
    w.WriteIdent(u"RevurOV");
  });
}

Bytes ExpectedLegacyLayout(const TnxDataDictionary& d, uint32_t cv) {
  return Written([&](TnxWriter& w) {
    w.WriteIdent(u"RevurOV");
    w.WriteInteger(int32_t{2});
    w.Write("NX!2", 4);
    w.WriteString(u"");
    w.WriteString(u"nx1xDefault");  // stream
    w.WriteString(u"nx1xDefault");  // autoinc
    w.WriteString(u"nx1xDefault");  // indices
    w.WriteIdent(u"RecordDescriptor");
    w.WriteBoolean(true);
    w.WriteString(u"TnxBaseRecordDescriptor");
    ItemHeader(w, *d.RecordDescriptor(), cv);
    w.WriteInteger(int32_t{1});
    w.WriteString(u"nx1xDefault");
    w.WriteIdent(u"BlobDescriptor");
    w.WriteBoolean(false);
    w.WriteIdent(u"FileDescriptor");
    w.WriteInteger(int32_t{1});
    w.WriteString(u"TnxFileDescriptor");
    w.WriteString(u"");
    w.WriteInteger(int32_t{0});
    Contents(w, *d.FilesDescriptor().FileDescriptor(0), cv);
    const TnxFieldsDescriptor& fields = d.FieldsDescriptor();
    w.WriteIdent(u"FieldDescriptor");
    w.WriteInteger(fields.FieldCount());
    for (int32_t i = 0; i < fields.FieldCount(); ++i) {
      const TnxFieldDescriptor& f = *fields.FieldDescriptor(i);
      w.WriteString(u"TnxFieldDescriptor");
      w.WriteString(f.Name());
      w.WriteString(u"");
      w.WriteString(f.FieldType() == nxtRefNr ? u"nxtInt64" : nxFieldTypeIdent(f.FieldType()));
      w.WriteInteger(f.Units());
      w.WriteInteger(f.DecPl());
      w.WriteBoolean(f.Required());
      Contents(w, f, cv);
    }
    const TnxIndexDescriptor& index = *d.IndicesDescriptor()->IndexDescriptor(0);
    w.WriteIdent(u"IndexDescriptor");
    w.WriteInteger(int32_t{1});
    w.WriteString(u"TnxIndexDescriptor");
    w.WriteString(u"TnxRefKeyDescriptor");
    w.WriteString(u"Sequential Access Index");
    w.WriteInteger(int32_t{0});
    Contents(w, index, cv);
    w.WriteInteger(int32_t{0});
    w.WriteInteger(fields.LogRecLen());
    w.WriteInteger(fields.LogicalRecordLength());
    w.WriteIdent(u"CustomDescriptor");
    w.WriteInteger(int32_t{0});
    w.WriteIdent(u"RevurOV");
  });
}

TEST_P(DictionaryLayoutTest, WritesTheLayoutTheClientReads) {
  const LayoutCase& c = GetParam();
  TnxDataDictionary dict;
  dict.FieldsDescriptor().AddField(u"Name", u"", nxtInt32, 0, 0, false);
  if (c.RefNr) dict.FieldsDescriptor().AddField(u"Ref", u"", nxtRefNr, 0, 0, false);
  dict.CheckValid(true);
  ASSERT_EQ(dict.Version(), c.RefNr ? 5 : 4);
  const Bytes expected = c.Version <= 2 ? ExpectedLegacyLayout(dict, c.ClientVersion)
                                        : ExpectedCurrentLayout(dict, c);
  EXPECT_EQ(DictionaryBytes(dict, c.ClientVersion), expected);

  TnxDataDictionary back;
  ReadDictionary(back, expected);
  EXPECT_EQ(back.Version(), c.Version);
  EXPECT_EQ(back.MissingInformation(), c.Stripped);
  if (c.Version >= 3) {
    EXPECT_EQ(back.Guid(), dict.Guid());
  }
  // What the older reader cannot hold is gone; the rest came back.
  if (c.Version <= 2) {
    // The legacy reader adds the storage descriptors that layout implies.
    EXPECT_TRUE(back.FieldsDescriptor().IsEqual(&dict.FieldsDescriptor()));
    EXPECT_TRUE(back.IndicesDescriptor()->IsEqual(dict.IndicesDescriptor()));
    EXPECT_NE(back.BlobDescriptor(), nullptr);
    EXPECT_NE(back.AutoIncDescriptor(), nullptr);
  } else if (!c.RefNr) {
    EXPECT_TRUE(back.IsEqual(&dict));
  }
}

INSTANTIATE_TEST_SUITE_P(ClientVersions, DictionaryLayoutTest,
                         ::testing::Values(LayoutCase{15000, false, 2, false}, LayoutCase{25000, false, 3, false},
                                           LayoutCase{40000, false, 4, false}, LayoutCase{47005, false, 4, false},
                                           LayoutCase{47501, false, 4, false}, LayoutCase{25000, true, 3, true},
                                           LayoutCase{40000, true, 4, true}, LayoutCase{47005, true, 5, false},
                                           LayoutCase{47501, true, 5, false}));

TEST_F(DataDictionaryTest, WritingNeverChangesTheDictionary) {
  TnxDataDictionary dict;
  dict.FieldsDescriptor().AddField(u"Ref", u"", nxtRefNr, 0, 0, false);
  dict.CheckValid(true);
  DictionaryBytes(dict, 40000);
  EXPECT_FALSE(dict.HasCustomStrings());
  EXPECT_FALSE(dict.MissingInformation());
  // The flag of a stripped stream does not leak into the next one.
  TnxDataDictionary back;
  ReadDictionary(back, DictionaryBytes(dict, 47501));
  EXPECT_FALSE(back.MissingInformation());
}

TEST_F(DataDictionaryTest, AStrippedDictionaryCannotBuildATable) {
  TnxDataDictionary dict;
  dict.FieldsDescriptor().AddField(u"Ref", u"", nxtRefNr, 0, 0, false);
  TnxDataDictionary back;
  ReadDictionary(back, DictionaryBytes(dict, 40000));
  ASSERT_TRUE(back.MissingInformation());
  EXPECT_EQ(back.FieldsDescriptor().FieldDescriptor(0)->FieldType(), nxtInt64);
  try {
    back.CheckValid(true);
    FAIL();
  } catch (const EnxDataDictionaryException& e) {
    EXPECT_EQ(e.ErrorCode(), nxeUnsupportedDictionaryDescriptor);
    EXPECT_TRUE(testing::Contains(e.Message(), u"missing information"));
  }
}

TEST_F(DataDictionaryTest, TheLegacyWriterRefusesWhatItCannotExpress) {
  for (TnxFieldType type : {nxtGuid, nxtBCD, nxtFmtBCD}) {
    TnxDataDictionary dict;
    dict.FieldsDescriptor().AddField(u"F", u"", type, type == nxtFmtBCD ? 10 : 0, 0, false);
    try {
      DictionaryBytes(dict, 15000);
      FAIL() << nxFieldTypeIdent(type).size();
    } catch (const EnxDataDictionaryException& e) {
      EXPECT_EQ(e.ErrorCode(), nxeIncompatibleStream);
      EXPECT_TRUE(testing::Contains(e.Message(), u"Higher dictionary version required"));
    }
  }
  TnxDataDictionary dict;
  dict.AddLocaleDescriptor();
  EXPECT_THROW(DictionaryBytes(dict, 15000), EnxDataDictionaryException);
  EXPECT_NO_THROW(DictionaryBytes(dict, 20000));
}

TEST_F(DataDictionaryTest, TheLegacyReaderTakesTheBlobFileFromTheFileKinds) {
  TnxDataDictionary source;
  source.FieldsDescriptor().AddField(u"A", u"", nxtInt32, 0, 0, false);
  source.FilesDescriptor().AddFile(u"b1", nxbs4k, u"");
  source.FilesDescriptor().AddFile(u"b2", nxbs4k, u"");
  source.AddBlobDescriptor()->SetFileNumber(2);
  const Bytes legacy = DictionaryBytes(source, 15000);
  // The kind Integer follows each extension: vaString, length, text,
  // vaInt8, kind.
  auto kindOf = [](Bytes& b, std::string_view aExtension) -> uint8_t& {
    std::string needle = std::string("\x06") + char(aExtension.size()) + std::string(aExtension) + "\x02";
    auto at = std::search(b.begin(), b.end(), needle.begin(), needle.end());
    EXPECT_NE(at, b.end());
    return at[static_cast<std::ptrdiff_t>(needle.size())];
  };
  {
    Bytes b = legacy;
    ASSERT_EQ(kindOf(b, "b1"), 1);
    ASSERT_EQ(kindOf(b, "b2"), 2);
    TnxDataDictionary back;
    ReadDictionary(back, b);
    ASSERT_NE(back.BlobDescriptor(), nullptr);
    EXPECT_EQ(back.BlobDescriptor()->FileNumber(), 2);
  }
  {
    Bytes b = legacy;
    kindOf(b, "b1") = 2;
    TnxDataDictionary back;
    try {
      ReadDictionary(back, b);
      FAIL();
    } catch (const EnxDataDictionaryException& e) {
      EXPECT_EQ(e.ErrorCode(), nxeInvalidDescriptor);
      EXPECT_TRUE(testing::Contains(e.Message(), u"A BLOB file has already been defined"));
    }
  }
  {
    Bytes b = legacy;
    kindOf(b, "b1") = 0;
    TnxDataDictionary back;
    EXPECT_THROW(ReadDictionary(back, b), EnxDataDictionaryException);
  }
}

// ---- the version upgrade ----

TEST_F(DataDictionaryTest, CheckValidForBuildRaisesTheVersionToWhatTheContentsNeed) {
  const TnxBlockSignature oldSignature{'N', 'X', '!', '1'};
  TnxDataDictionary dict;
  dict.FieldsDescriptor().AddField(u"A", u"", nxtInt32, 0, 0, false);
  // A version-1 dictionary as a stream brings it.
  TnxDataDictionary v1;
  {
    Bytes b = DictionaryBytes(dict, 15000);
    // The version Integer follows the ident (1 tag + 1 length + 7 chars).
    ASSERT_EQ(b[10], 2);
    b[10] = 1;
    // Version 1 has no aligned record length before the custom descriptors:
    // the last Integer (a vaInt8 of 4) before that ident goes.
    const std::string ident = "CustomDescriptor";
    auto at = std::search(b.begin(), b.end(), ident.begin(), ident.end());
    ASSERT_NE(at, b.end());
    const auto integer = at - 2 - 2;  // the ident's tag and length, then the Integer
    ASSERT_EQ(integer[1], 4);
    b.erase(integer, integer + 2);
    ReadDictionary(v1, b);
  }
  ASSERT_EQ(v1.Version(), 1);
  v1.SetHeaderSignature(oldSignature);
  EXPECT_TRUE(v1.RequiresPack());
  v1.CheckValid(true);
  EXPECT_EQ(v1.Version(), 4);
  EXPECT_TRUE(v1.UseByteOrderForWideString());
  EXPECT_EQ(v1.HeaderSignature(), (TnxBlockSignature{'N', 'X', '!', '2'}));
  EXPECT_EQ(v1.FieldsDescriptor().LogicalRecordLength(), 4);

  v1.FieldsDescriptor().AddField(u"R", u"", nxtRefNr, 0, 0, false);
  v1.CheckValid(true);
  EXPECT_EQ(v1.Version(), 5);
  v1.FieldsDescriptor().RemoveField(1);
  v1.CheckValid(true);
  EXPECT_EQ(v1.Version(), 4);
}

// ---- failures ----

TEST_F(DataDictionaryTest, AStreamOutsideTheVersionsLeavesADefaultDictionary) {
  TnxDataDictionary dict;
  dict.FieldsDescriptor().AddField(u"A", u"", nxtInt32, 0, 0, false);
  for (int8_t version : {0, 6, -1}) {
    Bytes b = DictionaryBytes(dict, 47501);
    b[10] = static_cast<uint8_t>(version);
    TnxDataDictionary back;
    back.FieldsDescriptor().AddField(u"Old", u"", nxtInt32, 0, 0, false);
    try {
      ReadDictionary(back, b);
      FAIL();
    } catch (const EnxDataDictionaryException& e) {
      EXPECT_EQ(e.ErrorCode(), nxeIncompatibleStream);
    }
    EXPECT_EQ(back.FieldsDescriptor().FieldCount(), 0);
    EXPECT_TRUE(back.IsEqual(&back));
    EXPECT_EQ(back.FilesDescriptor().FileCount(), 1);
    EXPECT_NE(back.StreamDescriptor(), nullptr);
  }
}

TEST_F(DataDictionaryTest, AStreamWithoutStreamDescriptorFailsTheFinalCheck) {
  TnxDataDictionary dict;
  dict.RemoveStreamDescriptor();
  const Bytes b = DictionaryBytes(dict, 47501);
  TnxDataDictionary back;
  try {
    ReadDictionary(back, b);
    FAIL();
  } catch (const EnxDataDictionaryException& e) {
    EXPECT_EQ(e.ErrorCode(), nxeInvalidDescriptor);
    EXPECT_TRUE(testing::Contains(e.Message(), u"A stream descriptor is required"));
  }
  EXPECT_NE(back.StreamDescriptor(), nullptr);
}

TEST_F(DataDictionaryTest, AReadOnlyDictionaryRefusesChangesButNotItsDestruction) {
  auto dict = std::make_unique<TnxDataDictionary>();
  dict->FieldsDescriptor().AddField(u"A", u"", nxtInt32, 0, 0, false);
  dict->MakeReadOnly();
  auto code = [](const std::function<void()>& f) -> uint32_t {
    try {
      f();
    } catch (const EnxBaseException& e) {
      return static_cast<uint32_t>(e.ErrorCode());
    }
    return 0;
  };
  EXPECT_EQ(code([&] { dict->AddStreamDescriptor(); }), nxeDictionaryReadOnly);
  EXPECT_EQ(code([&] { dict->FieldsDescriptor().AddField(u"B", u"", nxtInt32, 0, 0, false); }),
            nxeDictionaryReadOnly);
  EXPECT_EQ(code([&] { dict->RecordDescriptor()->SetRecordEngine(u"X"); }), nxeDictionaryReadOnly);
  const Bytes b = DictionaryBytes(*dict, 47501);
  EXPECT_EQ(code([&] { ReadDictionary(*dict, b); }), nxeDictionaryReadOnly);
  EXPECT_EQ(dict->FieldsDescriptor().FieldCount(), 1);
  EXPECT_NO_THROW(dict.reset());
}

TEST_F(DataDictionaryTest, UnknownClassesAreNamedInTheError) {
  TnxDataDictionary dict;
  Bytes b = DictionaryBytes(dict, 47501);
  const std::u16string from = u"TnxBaseStreamDescriptor";
  // Same length, so the string's length prefix stays right.
  const std::u16string to = u"TnxBaseStreamDescriptoX";
  std::string needle(from.begin(), from.end());
  auto at = std::search(b.begin(), b.end(), needle.begin(), needle.end());
  ASSERT_NE(at, b.end());
  at[static_cast<std::ptrdiff_t>(needle.size()) - 1] = 'X';
  TnxDataDictionary back;
  try {
    ReadDictionary(back, b);
    FAIL();
  } catch (const EnxDataDictionaryException& e) {
    EXPECT_EQ(e.ErrorCode(), nxeUnsupportedDictionaryDescriptor);
    EXPECT_TRUE(testing::Contains(e.Message(), u"StreamDescriptor class is not supported: " + to));
  }
}

// ---- a dictionary with every kind ----

class FullDictionaryTest : public DataDictionaryTest {
protected:
  FullDictionaryTest() {
    TnxDataDictionary& d = dict;
    d.AddLocaleDescriptor()->SetLocale(0x0407);
    d.SetEncryptionEngine(u"Blowfish");
    d.CustomStrings().Add(u"Owner=Tests");
    TnxFieldsDescriptor& f = d.FieldsDescriptor();
    f.AddField(u"ID", u"the key", nxtAutoInc, 0, 0, true);
    auto* name = f.AddField(u"Name", u"", nxtShortString, 20, 0, false);
    name->AddLocaleDescriptor()->SetLocale(0x0409);
    auto* constant = static_cast<TnxConstDefaultValueDescriptor*>(name->AddDefaultValue());
    constant->SetAsVariant(platform::TnxVariant::FromString(u"none"));
    f.AddField(u"Changed", u"", nxtDateTime, 0, 0, false)
        ->AddDefaultValue(&TnxCurrentDateTimeDefaultValueDescriptor::ClassInfo())
        ->SetApplyOnModify(true);
    f.AddField(u"User", u"", nxtWideString, 30, 0, false)
        ->AddDefaultValue(&TnxCurrentUserDefaultValueDescriptor::ClassInfo())
        ->SetApplyAt(nxApplyAtBit(aaClient));
    f.AddField(u"Key", u"", nxtGuid, 0, 0, false)->AddDefaultValue(&TnxAutoGuidDefaultValueDescriptor::ClassInfo());
    f.AddField(u"Count", u"", nxtInt32, 0, 0, false)
        ->AddDefaultValue(&TnxEmptyDefaultValueDescriptor::ClassInfo())
        ->SetOverwriteNonNull(true);
    f.AddField(u"LSN", u"", nxtInt64, 0, 0, false)->AddDefaultValue(&TnxNextLSNDefaultValueDescriptor::ClassInfo());
    f.AddField(u"Memo", u"", nxtBlobMemo, 0, 0, false);
    f.AddField(u"Ref", u"", nxtRefNr, 0, 0, false);
    d.FilesDescriptor().AddFile(u"idx", nxbs8k, u"indices");
    d.FilesDescriptor().AddFile(u"blb", nxbs16k, u"blobs");

    auto* record = static_cast<TnxHeapRecordDescriptor*>(d.AddRecordDescriptor(&TnxHeapRecordDescriptor::ClassInfo()));
    record->SetRecordEngine(u"Variable");
    record->AddHeapDescriptor()->AddBlockHeapDescriptor()->SetBlockHeapEngine(u"Blocks");
    auto* compression = record->AddRecordCompressionDescriptor();
    compression->SetRecordCompressionEngine(u"Compressor");
    compression->SetCompressType(11);
    auto* blob = static_cast<TnxHeapBlobDescriptor*>(d.AddBlobDescriptor());
    blob->SetFileNumber(2);
    blob->AddHeapDescriptor();
    auto* autoinc = static_cast<TnxAdvAutoIncDescriptor*>(d.AddAutoIncDescriptor(&TnxAdvAutoIncDescriptor::ClassInfo()));
    autoinc->SetInitialValue(100);
    autoinc->SetStep(5);
    d.StreamDescriptor()->SetStreamEngine(u"Streams");

    auto* byName = d.EnsureIndicesDescriptor()->AddIndex(u"ByName", 1, idAll, u"names");
    auto* key = static_cast<TnxCompKeyDescriptor*>(byName->KeyDescriptor());
    key->Add(u"Name", &TnxTextKeyFieldDescriptor::ClassInfo());
    key->Add(u"ID");
    byName->SetConstraintName(u"IX_Name");
    d.EnsureInternalIndicesDescriptor()->AddIndex(u"$GraveyardLSN", 0, idNone, u"", &TnxInt64KeyDescriptor::ClassInfo());
    d.CustomDescsDescriptor().AddCustom(u"Extra")->CustomStrings().Add(u"Kind=test");
    auto* orders = d.TablesDescriptor().AddTable(u"Orders");
    orders->FieldsDescriptor().AddField(u"Qty", u"", nxtInt16, 0, 0, false);
    orders->AddRecordDescriptor();
    auto* lines = orders->TablesDescriptor().AddTable(u"Lines");
    lines->FieldsDescriptor().AddField(u"Text", u"", nxtNullString, 40, 0, false);
    lines->AddRecordDescriptor();
    d.CheckValid(true);
  }

  TnxDataDictionary dict;
};

TEST_F(FullDictionaryTest, ReadsBackEqual) {
  const Bytes b = DictionaryBytes(dict, 47501);
  TnxDataDictionary back;
  ReadDictionary(back, b);
  EXPECT_TRUE(back.IsEqual(&dict));
  EXPECT_TRUE(dict.IsEqual(&back));
  EXPECT_EQ(back.Guid(), dict.Guid());
  EXPECT_EQ(back.CurrentID(), dict.CurrentID());
  EXPECT_EQ(back.TablesDescriptor().TableDescriptor(0)->GetChild(u"Lines")->btdFullName(), u"Table:Orders:Lines");
  auto* compression =
      static_cast<TnxHeapRecordDescriptor*>(back.RecordDescriptor())->RecordCompressionDescriptor();
  ASSERT_NE(compression, nullptr);
  EXPECT_EQ(compression->GetCompressType(), 11);
  EXPECT_EQ(back.GetConstraintByName(u"ix_name"), back.IndicesDescriptor()->IndexDescriptor(1));
  auto* constant = static_cast<TnxConstDefaultValueDescriptor*>(back.FieldsDescriptor().FieldDescriptor(1)->DefaultValue());
  EXPECT_EQ(constant->AsVariant().AsString(), u"none");
  // Written again, the copy gives the same bytes.
  EXPECT_EQ(DictionaryBytes(back, 47501), b);

  // A change is seen.
  back.TablesDescriptor().TableDescriptor(0)->FieldsDescriptor().FieldDescriptor(0)->SetDesc(u"changed");
  EXPECT_FALSE(back.IsEqual(&dict));
}

TEST_F(FullDictionaryTest, DuplicateMakesAnEqualCopy) {
  std::unique_ptr<TnxDataDictionary> copy = dict.Duplicate();
  EXPECT_TRUE(copy->IsEqual(&dict));
  EXPECT_EQ(DictionaryBytes(*copy, 47501), DictionaryBytes(dict, 47501));
}

TEST_F(FullDictionaryTest, OlderClientsGetWhatTheyCanRead) {
  for (uint32_t cv : {20000u, 30900u, 40000u, 47005u}) {
    TnxDataDictionary back;
    ReadDictionary(back, DictionaryBytes(dict, cv));
    EXPECT_EQ(back.MissingInformation(), cv < 47005) << cv;
    EXPECT_EQ(back.InternalIndicesDescriptor() != nullptr, cv >= 47005) << cv;
  }
}

// Mutated streams: the reader raises the library's errors, never crashes,
// never reads outside the stream (ASan) and leaves a usable dictionary.
TEST_F(FullDictionaryTest, MutatedStreamsRaiseOnlyLibraryErrors) {
  const Bytes valid = DictionaryBytes(dict, 47501);
  const Bytes legacy = [&] {
    TnxDataDictionary small;
    small.FieldsDescriptor().AddField(u"A", u"", nxtInt32, 0, 0, false);
    return DictionaryBytes(small, 15000);
  }();
  std::mt19937 rng(4711);
  int rejected = 0, accepted = 0;
  const int kRounds = revurov::testing::TestSize(3000, 100000);
  TnxDataDictionary back;
  for (int round = 0; round < kRounds; ++round) {
    Bytes b = round % 4 == 0 ? legacy : valid;
    const int edits = 1 + static_cast<int>(rng() % 3);
    for (int e = 0; e < edits; ++e) {
      switch (rng() % 4) {
        case 0: b[rng() % b.size()] = static_cast<uint8_t>(rng()); break;
        case 1: b[rng() % b.size()] = static_cast<uint8_t>(rng() % 23); break;
        case 2: b.resize(rng() % (b.size() + 1)); if (b.empty()) b.push_back(7); break;
        case 3: b[rng() % b.size()] ^= 0x80; break;
      }
    }
    try {
      ReadDictionary(back, b);
      ++accepted;
    } catch (const EnxBaseException&) {
      ++rejected;
    } catch (const platform::EReadError&) {
      ++rejected;
    } catch (const platform::Exception&) {
      // Runtime errors of the library's own lists and conversions.
      ++rejected;
    }
  }
  EXPECT_EQ(accepted + rejected, kRounds);
  EXPECT_GT(rejected, kRounds / 2);
  // A failed read left a default dictionary behind.
  EXPECT_NE(back.StreamDescriptor(), nullptr);
  EXPECT_EQ(back.FilesDescriptor().FileCount(), 1);
}

// Two threads write one read-only dictionary at once and get what one
// writer alone gets (ThreadSanitizer sees no race).
TEST_F(FullDictionaryTest, ThreadsWriteOneReadOnlyDictionary) {
  dict.MakeReadOnly();
  const Bytes current = DictionaryBytes(dict, 47501);
  const Bytes older = DictionaryBytes(dict, 40000);
  std::vector<Bytes> results(4);
  auto writer = [&](int aFirst) {
    for (int i = 0; i < 50; ++i) results[static_cast<size_t>(aFirst + i % 2)] = DictionaryBytes(dict, i % 2 ? 40000 : 47501);
  };
  std::thread a(writer, 0), b(writer, 2);
  a.join();
  b.join();
  EXPECT_EQ(results[0], current);
  EXPECT_EQ(results[1], older);
  EXPECT_EQ(results[2], current);
  EXPECT_EQ(results[3], older);
}

}  // namespace
}  // namespace revurov
