#include "dictionary/field_descriptor.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "dictionary/dictionary_tree_fixture.h"
#include "dictionary/fields_descriptor.h"
#include "platform/variant.h"
#include "support/exception_message.h"
#include "support/tagged_bytes.h"

namespace revurov {
namespace {

using testing::CodeOf;
using testing::LoadBytes;
using testing::MessageOf;
using testing::SavedBytes;
using testing::TestRoot;

class FieldTest : public testing::DictionaryTreeTest {
protected:
  FieldTest() { root.Fields = std::make_unique<TnxFieldsDescriptor>(&root); }
  TnxFieldsDescriptor& fields() { return *root.Fields; }

  TestRoot root;
};

TEST(FieldDescriptor, SetupFieldNormalisesUnitsDecimalsRequiredAndLength) {
  struct Row {
    TnxFieldType type;
    int32_t units, decPl;
    bool required;
    int32_t wantUnits, wantDecPl;
    bool wantRequired;
    int32_t wantLength;
  };
  const Row rows[] = {
      {nxtBoolean, 7, 3, true, 0, 0, true, 1},
      {nxtWideChar, 9, 1, false, 1, 0, false, 2},
      {nxtInt8, 7, 0, false, 3, 0, false, 1},
      {nxtInt16, 4, 2, false, 4, 0, false, 2},
      {nxtInt32, 0, 0, false, 10, 0, false, 4},
      {nxtInt64, 21, 0, false, 20, 0, false, 8},
      {nxtAutoInc, 3, 0, true, 10, 0, false, 4},
      {nxtRecRev, 3, 0, true, 10, 0, false, 4},
      {nxtRefNr, 3, 0, true, 20, 0, false, 8},
      {nxtExtended, 5, 6, false, 5, 6, false, 10},
      {nxtCurrency, 0, 2, false, 18, 2, false, 8},
      {nxtCurrency, 3, 4, false, 5, 4, false, 8},
      {nxtBCD, 0, 9, false, 20, 4, false, 8},
      {nxtDateTime, 5, 5, false, 0, 0, false, 8},
      {nxtBlobMemo, 5, 5, false, 0, 0, false, 8},
      {nxtByteArray, 12, 3, false, 12, 0, false, 12},
      {nxtShortString, 300, 0, false, 255, 0, false, 256},
      {nxtShortString, 20, 5, false, 20, 20, false, 21},
      {nxtNullString, 20, 0, false, 20, 0, false, 21},
      {nxtWideString, 10, 1, false, 10, 10, false, 22},
      {nxtGuid, 1, 1, false, 0, 0, false, 16},
      {nxtFmtBCD, 10, 2, false, 10, 2, false, 7},
      {nxtFmtBCD, 10, 70, false, 64, 63, false, 34},
      {nxtFmtBCD, 80, 2, false, 64, 2, false, 34},
      // Units at the 32-bit limit saturate instead of wrapping to a small length.
      {nxtWideString, INT32_MAX, 0, false, INT32_MAX, 0, false, INT32_MAX},
      {nxtNullString, INT32_MAX, 0, false, INT32_MAX, 0, false, INT32_MAX},
  };
  for (const Row& r : rows) {
    int32_t units = r.units, decPl = r.decPl, length = -1;
    bool required = r.required;
    TnxFieldDescriptor::SetupField(r.type, units, decPl, required, length);
    SCOPED_TRACE(nxFieldTypeIdent(r.type).size());
    EXPECT_EQ(units, r.wantUnits) << int(r.type);
    EXPECT_EQ(decPl, r.wantDecPl) << int(r.type);
    EXPECT_EQ(required, r.wantRequired) << int(r.type);
    EXPECT_EQ(length, r.wantLength) << int(r.type);
  }
}

TEST(FieldDescriptor, TypeIdentifiersRoundTrip) {
  for (int t = 0; t < nxFieldTypeCount; ++t) {
    TnxFieldType back{};
    ASSERT_TRUE(nxFieldTypeFromIdent(nxFieldTypeIdent(static_cast<TnxFieldType>(t)), back));
    EXPECT_EQ(back, t);
  }
  TnxFieldType unused{};
  EXPECT_FALSE(nxFieldTypeFromIdent(u"nxtNothing", unused));
  EXPECT_EQ(nxFieldTypeIdent(nxtInt32), u"nxtInt32");
}

TEST_F(FieldTest, ConstructorRefusesBadNamesAndAcceptsDollarNames) {
  for (auto bad : {u"", u" lead", u"a*b"})
    EXPECT_EQ(CodeOf<EnxFieldDescriptorException>([&] { TnxFieldDescriptor f(nullptr, bad, u"", nxtInt32, 0, 0, false); }),
              nxeInvalidFieldName);
  TnxFieldDescriptor dollar(nullptr, u"$Hidden", u"", nxtInt32, 0, 0, false);
  EXPECT_EQ(dollar.NameLowerCase(), u"$hidden");
}

TEST(FieldDescriptor, ToStringNamesTypeAndSize) {
  struct Row {
    TnxFieldType type;
    int32_t units, decPl;
    std::u16string_view want;
  };
  const Row rows[] = {
      {nxtShortString, 20, 0, u"[0] City - ShortString(20)"},
      {nxtWideString, 5, 0, u"[0] City - WideString(5)"},
      {nxtByteArray, 3, 0, u"[0] City - ByteArray(3)"},
      {nxtFmtBCD, 10, 2, u"[0] City - FmtBCD(10,2)"},
      {nxtInt32, 0, 0, u"[0] City - Int32"},
  };
  for (const Row& r : rows) {
    TnxFieldDescriptor f(nullptr, u"City", u"", r.type, r.units, r.decPl, false);
    EXPECT_EQ(f.ToString(), r.want);
  }
}

TEST_F(FieldTest, ToStringShowsTheFieldNumber) {
  fields().AddField(u"Id", u"", nxtInt32, 0, 0, false);
  fields().AddField(u"Name", u"", nxtInt32, 0, 0, false);
  TnxFieldDescriptor* city = fields().AddField(u"City", u"", nxtShortString, 20, 0, false);
  EXPECT_EQ(city->ToString(), u"[2] City - ShortString(20)");
}

TEST_F(FieldTest, CheckValidRefusesIntervalsUnsizedTextAndOversizedFields) {
  struct Row {
    TnxFieldType type;
    int32_t units;
    uint32_t code;
    std::u16string_view message;
  };
  const Row rows[] = {
      {nxtInterval, 0, nxeInvalidFieldDescriptor, u"Interval is not supported as a field type"},
      {nxtByteArray, 0, nxeInvalidFieldDescriptor, u"Units must be > 0"},
      {nxtShortString, 0, nxeInvalidFieldDescriptor, u"Units must be > 0"},
      {nxtNullString, 0, nxeInvalidFieldDescriptor, u"Units must be > 0"},
      {nxtWideString, 0, nxeInvalidFieldDescriptor, u"Units must be > 0"},
      {nxtNullString, 70000, nxeInvalidFieldDescriptor,
       u"Field 0 (F) is 70001 bytes long; a record holds at most 65535 bytes"},
  };
  for (const Row& r : rows) {
    TnxFieldDescriptor f(nullptr, u"F", u"", r.type, r.units, 0, false);
    EXPECT_EQ(CodeOf<EnxFieldDescriptorException>([&] { f.CheckValid(false); }), r.code) << int(r.type);
    EXPECT_NE(MessageOf<EnxFieldDescriptorException>([&] { f.CheckValid(false); }).find(r.message),
              std::u16string::npos);
  }
  TnxFieldDescriptor ok(nullptr, u"F", u"", nxtShortString, 20, 0, false);
  ok.CheckValid(true);
}

TEST_F(FieldTest, ChangeNameRefusesAnyTakenNameAndKeepsTheOld) {
  TnxFieldDescriptor* a = fields().AddField(u"Alpha", u"", nxtInt32, 0, 0, false);
  fields().AddField(u"Beta", u"", nxtInt32, 0, 0, false);
  EXPECT_EQ(CodeOf<EnxFieldDescriptorException>([&] { a->ChangeName(u"ALPHA"); }), nxeNameNotUnique);
  EXPECT_EQ(CodeOf<EnxFieldDescriptorException>([&] { a->ChangeName(u"beta"); }), nxeNameNotUnique);
  EXPECT_EQ(CodeOf<EnxFieldDescriptorException>([&] { a->ChangeName(u"no*good"); }), nxeInvalidFieldName);
  EXPECT_EQ(a->Name(), u"Alpha");
  a->ChangeName(u"Gamma");
  EXPECT_EQ(fields().GetFieldFromName(u"gamma"), 0);
  EXPECT_EQ(fields().GetFieldFromName(u"alpha"), -1);
  root.ReadOnly = true;
  EXPECT_EQ(CodeOf<EnxDataDictionaryException>([&] { a->ChangeName(u"Delta"); }), nxeDictionaryReadOnly);
}

TEST(FieldDescriptor, ChangeNameOutsideAFieldListIsRefused) {
  TnxFieldDescriptor f(nullptr, u"Alone", u"", nxtInt32, 0, 0, false);
  EXPECT_EQ(CodeOf<EnxBaseException>([&] { f.ChangeName(u"Other"); }), nxeObjectNotFound);
  EXPECT_EQ(f.Name(), u"Alone");
}

TEST(FieldDescriptor, BufferVariantsNullZeroFillAndFailedConversions) {
  TnxFieldDescriptor f(nullptr, u"F", u"", nxtInt16, 0, 0, false);
  EXPECT_TRUE(f.fdGetBufferAsVariant(nullptr).IsNull());
  uint8_t buf[2] = {0xAB, 0xCD};
  f.fdSetBufferAsVariant(buf, platform::TnxVariant::Null());
  EXPECT_EQ(buf[0] | buf[1], 0);
  f.fdSetBufferAsVariant(buf, platform::TnxVariant::FromInteger(0x1234));
  EXPECT_EQ(f.fdGetBufferAsVariant(buf).AsInt64(), 0x1234);
  // 70000 does not fit: the field is left zero and the error goes on.
  EXPECT_THROW(f.fdSetBufferAsVariant(buf, platform::TnxVariant::FromInteger(70000)), std::exception);
  EXPECT_EQ(buf[0] | buf[1], 0);
}

TEST(FieldDescriptor, EqualityComparesStorageAndAttributes) {
  TnxFieldDescriptor a(nullptr, u"F", u"d", nxtWord32, 0, 0, false);
  TnxFieldDescriptor same(nullptr, u"F", u"d", nxtWord32, 0, 0, false);
  TnxFieldDescriptor autoInc(nullptr, u"F", u"d", nxtAutoInc, 10, 0, false);
  TnxFieldDescriptor otherName(nullptr, u"f", u"d", nxtWord32, 0, 0, false);
  TnxFieldDescriptor otherDesc(nullptr, u"F", u"e", nxtWord32, 0, 0, false);
  TnxFieldDescriptor required(nullptr, u"F", u"d", nxtWord32, 0, 0, true);
  EXPECT_TRUE(a.IsEqual(&same));
  EXPECT_TRUE(a.IsEqual(&autoInc));  // storage-compatible, same units and length
  EXPECT_FALSE(a.IsEqual(&otherName));
  EXPECT_FALSE(a.IsEqual(&otherDesc));
  EXPECT_FALSE(a.IsEqual(&required));
  same.SetNoClientAccess(true);
  EXPECT_FALSE(a.IsEqual(&same));
}

TEST(FieldDescriptor, StreamPartPerClientVersion) {
  TnxFieldDescriptor f(nullptr, u"F", u"", nxtInt32, 0, 0, false);
  f.SetNoClientAccess(true);
  // Version 3: offset, length, no default value, the flag, the locale part,
  // no validations.
  const auto v3 = testing::Written([&](TnxWriter& w) {
    testing::WriteItemHeader(w);
    w.WriteInteger(int32_t{3});
    w.WriteInteger(int32_t{0});
    w.WriteInteger(int32_t{4});
    w.WriteBoolean(false);
    w.WriteBoolean(true);
    w.WriteInteger(int32_t{1});
    w.WriteBoolean(false);
    w.WriteBoolean(false);
  });
  EXPECT_EQ(SavedBytes(f, 47501), v3);
  TnxFieldDescriptor back(nullptr, u"F", u"", nxtInt32, 0, 0, false);
  LoadBytes(back, v3);
  EXPECT_TRUE(back.NoClientAccess());

  const auto old = SavedBytes(f, 19999);
  TnxFieldDescriptor fromOld(nullptr, u"F", u"", nxtInt32, 0, 0, false);
  LoadBytes(fromOld, old);
  EXPECT_TRUE(fromOld.NoClientAccess());

  f.AddLocaleDescriptor();
  EXPECT_EQ(CodeOf<EnxFieldDescriptorException>([&] { SavedBytes(f, 19999); }), nxeIncompatibleVersion);
}

TEST(FieldDescriptor, ReaderRefusals) {
  auto part = [](int32_t version, int32_t length, bool defaultValue) {
    return testing::Written([&](TnxWriter& w) {
      testing::WriteItemHeader(w);
      w.WriteInteger(version);
      w.WriteInteger(int32_t{0});
      w.WriteInteger(length);
      w.WriteBoolean(defaultValue);
      if (defaultValue) w.WriteString(u"TnxConstDefaultValueDescriptor");
      w.WriteBoolean(false);
    });
  };
  TnxFieldDescriptor f(nullptr, u"F", u"", nxtInt32, 0, 0, false);
  EXPECT_EQ(CodeOf<EnxFieldDescriptorException>([&] { LoadBytes(f, part(4, 4, false)); }), nxeIncompatibleStream);
  EXPECT_EQ(CodeOf<EnxFieldDescriptorException>([&] { LoadBytes(f, part(0, 4, false)); }), nxeIncompatibleStream);
  EXPECT_NE(MessageOf<EnxFieldDescriptorException>([&] { LoadBytes(f, part(1, 9, false)); })
                .find(u"fdLength is wrong for field 0 (F). Expected 4 found 9."),
            std::u16string::npos);
  EXPECT_NE(MessageOf<EnxFieldDescriptorException>([&] { LoadBytes(f, part(1, 4, true)); })
                .find(u"DefaultValueDescriptor class is not supported: TnxConstDefaultValueDescriptor"),
            std::u16string::npos);
}

TEST_F(FieldTest, StandaloneRoundTripAndRefusals) {
  TnxFieldDescriptor f(nullptr, u"Amount", u"money", nxtFmtBCD, 12, 3, true);
  TnxMemoryStream s;
  {
    TnxWriter w(s);
    f.SaveStandalone(w, 47501);
  }
  s.SetPosition(0);
  TnxReader r(s);
  std::unique_ptr<TnxFieldDescriptor> back = TnxFieldDescriptor::CreateStandaloneFromReader(r);
  EXPECT_TRUE(back->IsEqual(&f));
  EXPECT_EQ(back->Desc(), u"money");

  TnxFieldDescriptor refNr(nullptr, u"R", u"", nxtRefNr, 0, 0, false);
  EXPECT_EQ(CodeOf<EnxFieldDescriptorException>([&] {
              testing::Written([&](TnxWriter& w) { refNr.SaveStandalone(w, 47004); });
            }),
            nxeIncompatibleVersion);

  auto header = [](int32_t version, std::u16string_view cls, std::u16string_view type) {
    return testing::Written([&](TnxWriter& w) {
      w.WriteInteger(version);
      w.WriteString(cls);
      w.WriteString(u"F");
      w.WriteString(u"");
      w.WriteString(type);
      w.WriteInteger(int32_t{0});
      w.WriteInteger(int32_t{0});
      w.WriteBoolean(false);
    });
  };
  auto read = [](const std::vector<uint8_t>& bytes) {
    TnxStaticMemoryStream in(const_cast<uint8_t*>(bytes.data()), static_cast<int64_t>(bytes.size()));
    TnxReader reader(in);
    TnxFieldDescriptor::CreateStandaloneFromReader(reader);
  };
  EXPECT_EQ(CodeOf<EnxFieldDescriptorException>([&] { read(header(2, u"TnxFieldDescriptor", u"nxtInt32")); }),
            nxeIncompatibleStream);
  EXPECT_NE(MessageOf<EnxFieldDescriptorException>([&] { read(header(1, u"TnxNoSuch", u"nxtInt32")); })
                .find(u"FieldDescriptor class is not supported: TnxNoSuch"),
            std::u16string::npos);
  EXPECT_EQ(CodeOf<EnxFieldDescriptorException>([&] { read(header(1, u"TnxFieldDescriptor", u"nxtNoSuch")); }),
            nxeIncompatibleStream);
}

}  // namespace
}  // namespace revurov
