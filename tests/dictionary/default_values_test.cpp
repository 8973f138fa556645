#include "dictionary/default_values.h"

#include <gtest/gtest.h>

#include "dictionary/field_descriptor.h"
#include "dictionary_tree_fixture.h"
#include "platform/variant.h"
#include "tests/support/exception_message.h"
#include "tests/support/tagged_bytes.h"

namespace revurov::testing {
namespace {

using Bytes = std::vector<uint8_t>;

class DefaultValuesTest : public TableTreeTest {};

TEST_F(DefaultValuesTest, ABlobFieldTakesNoDefault) {
  TnxFieldDescriptor* memo = AddField(u"Memo", nxtBlobMemo);
  const std::u16string message =
      MessageOf<EnxBaseDefaultValueDescriptorException>([&] { memo->AddDefaultValue(); });
  EXPECT_TRUE(Contains(message, u"\"TnxConstDefaultValueDescriptor\" is not supported for field type \"nxtBlobMemo\""));
  EXPECT_EQ(memo->DefaultValue(), nullptr);
}

TEST_F(DefaultValuesTest, EachKindServesItsFieldTypes) {
  struct Case {
    const TnxDefaultValueDescriptorClass* Class;
    TnxFieldType Type;
    bool Valid;
  };
  const Case cases[] = {
      {&TnxCurrentDateTimeDefaultValueDescriptor::ClassInfo(), nxtDateTime, true},
      {&TnxCurrentDateTimeDefaultValueDescriptor::ClassInfo(), nxtInt32, false},
      {&TnxCurrentUserDefaultValueDescriptor::ClassInfo(), nxtWideString, true},
      {&TnxCurrentUserDefaultValueDescriptor::ClassInfo(), nxtInt32, false},
      {&TnxAutoGuidDefaultValueDescriptor::ClassInfo(), nxtGuid, true},
      {&TnxAutoGuidDefaultValueDescriptor::ClassInfo(), nxtInt64, false},
      {&TnxEmptyDefaultValueDescriptor::ClassInfo(), nxtInt32, true},
      {&TnxEmptyDefaultValueDescriptor::ClassInfo(), nxtDate, false},
      {&TnxNextLSNDefaultValueDescriptor::ClassInfo(), nxtInt64, true},
      {&TnxNextLSNDefaultValueDescriptor::ClassInfo(), nxtInt32, false},
      {&TnxConstDefaultValueDescriptor::ClassInfo(), nxtDate, true},
  };
  int n = 0;
  for (const Case& c : cases) {
    TnxFieldDescriptor* field =
        AddField(u"F" + platform::Utf8ToUtf16(std::to_string(n++)), c.Type, c.Type == nxtWideString ? 10 : 0);
    TnxBaseDefaultValueDescriptor* value = field->AddDefaultValue(c.Class);
    const std::u16string message = MessageOf<EnxBaseDefaultValueDescriptorException>([&] { value->CheckValid(true); });
    if (c.Valid) {
      EXPECT_EQ(message, u"(no exception)") << platform::Utf16ToUtf8(message);
    } else {
      EXPECT_TRUE(Contains(message, u"\"" + std::u16string(c.Class->Name) + u"\" is not supported for field type \"" +
                                        std::u16string(nxFieldTypeIdent(c.Type)) + u"\""))
          << platform::Utf16ToUtf8(message);
      EXPECT_EQ(CodeOf<EnxBaseDefaultValueDescriptorException>([&] { field->CheckValid(true); }),
                nxeInvalidFieldDescriptor);
    }
  }
}

TEST_F(DefaultValuesTest, AConstantIsWrittenAsTheFieldsBytes) {
  TnxFieldDescriptor* field = AddField(u"Qty", nxtInt32);
  auto* constant = static_cast<TnxConstDefaultValueDescriptor*>(field->AddDefaultValue());
  constant->SetAsVariant(platform::TnxVariant::FromInteger(7));
  constant->SetApplyAt(nxApplyAtBit(aaClient));
  const Bytes expected = Written([&](TnxWriter& w) {
    WriteItemHeader(w, constant->ID());
    w.WriteIdent(u"BDVD");
    w.WriteInteger(int32_t{1});
    w.WriteBoolean(true);   // insert
    w.WriteBoolean(false);  // modify
    w.WriteBoolean(false);  // overwrite
    w.WriteBoolean(false);  // server
    w.WriteBoolean(true);   // client
    w.WriteInteger(int32_t{1});
    w.Write("\x07\x00\x00\x00", 4);
  });
  EXPECT_EQ(SavedBytes(*constant, 47501), expected);

  TnxFieldDescriptor* other = AddField(u"Other", nxtInt32);
  auto* back = static_cast<TnxConstDefaultValueDescriptor*>(other->AddDefaultValue());
  LoadBytes(*back, expected);
  EXPECT_TRUE(back->IsEqual(constant));
  EXPECT_EQ(back->AsVariant().AsInt64(), 7);
  EXPECT_EQ(back->ApplyAt(), nxApplyAtBit(aaClient));
}

// A field's locale decides the code page of its text; a constant stored
// under the old one is converted when it goes out, and the descriptor
// stays as it was.
TEST_F(DefaultValuesTest, AConstantFollowsItsFieldsCodePageWithoutChangingWhenWritten) {
  TnxFieldDescriptor* field = AddField(u"Name", nxtShortString, 10);
  auto* constant = static_cast<TnxConstDefaultValueDescriptor*>(field->AddDefaultValue());
  constant->SetAsVariant(platform::TnxVariant::FromString(u"abc"));
  const std::vector<uint8_t> stored = constant->DefaultValue();
  field->AddLocaleDescriptor()->SetLocale(0x0419);  // Russian: code page 1251
  ASSERT_NE(field->GetUsedStorageCodePage(), 1252);
  const Bytes once = SavedBytes(*constant, 47501);
  EXPECT_EQ(constant->DefaultValue(), stored);
  EXPECT_EQ(SavedBytes(*constant, 47501), once);
  EXPECT_EQ(constant->AsVariant().AsString(), u"abc");
}

TEST_F(DefaultValuesTest, OldClientsGetNoSettingsAndOnlyTheDefaults) {
  TnxFieldDescriptor* field = AddField(u"When", nxtDate);
  TnxBaseDefaultValueDescriptor* value =
      field->AddDefaultValue(&TnxCurrentDateTimeDefaultValueDescriptor::ClassInfo());
  value->SetApplyAt(nxApplyAtBit(aaServer));
  value->SetApplyOnModify(true);
  const Bytes current = SavedBytes(*field, 47501);
  EXPECT_EQ(CodeOf<EnxBaseDefaultValueDescriptorException>([&] { SavedBytes(*value, 15000); }),
            nxeIncompatibleVersion);
  value->SetApplyAt(nxApplyAtBoth);
  value->SetApplyOnModify(false);
  // The field's old layout: item header, offset, length, the default
  // (class name, its item header and nothing more), no-client-access flag.
  const Bytes old = SavedBytes(*field, 15000);
  EXPECT_EQ(old, Written([&](TnxWriter& w) {
              for (int i = 0; i < 2; ++i) {
                w.WriteInteger(int32_t{1});
                w.WriteListBegin();
                w.WriteListEnd();
                if (i == 1) break;
                w.WriteInteger(int32_t{1});
                w.WriteInteger(field->Offset());
                w.WriteInteger(field->Length());
                w.WriteBoolean(true);
                w.WriteString(u"TnxCurrentDateTimeDefaultValueDescriptor");
              }
              w.WriteBoolean(false);
            }));

  // Read back, a stream without settings gives the defaults.
  TnxFieldDescriptor* back = AddField(u"Back", nxtDate);
  LoadBytes(*back, current);
  EXPECT_EQ(back->DefaultValue()->ApplyAt(), nxApplyAtBit(aaServer));
  EXPECT_TRUE(back->DefaultValue()->ApplyOnModify());
  LoadBytes(*back, old);
  EXPECT_TRUE(back->DefaultValue()->ApplyOnInsert());
  EXPECT_FALSE(back->DefaultValue()->ApplyOnModify());
  EXPECT_FALSE(back->DefaultValue()->OverwriteNonNull());
  EXPECT_EQ(back->DefaultValue()->ApplyAt(), nxApplyAtBoth);
}

TEST_F(DefaultValuesTest, UnknownLayoutsAreRefused) {
  TnxFieldDescriptor* field = AddField(u"Qty", nxtInt32);
  auto* constant = static_cast<TnxConstDefaultValueDescriptor*>(field->AddDefaultValue());
  const struct {
    std::u16string_view Ident;
    int32_t Version, ConstVersion;
  } cases[] = {{u"BDVX", 1, 1}, {u"BDVD", 2, 1}, {u"BDVD", 1, 2}};
  for (const auto& c : cases) {
    const Bytes b = Written([&](TnxWriter& w) {
      WriteItemHeader(w);
      w.WriteIdent(c.Ident);
      w.WriteInteger(c.Version);
      for (int i = 0; i < 5; ++i) w.WriteBoolean(true);
      w.WriteInteger(c.ConstVersion);
      w.Write("\0\0\0\0", 4);
    });
    EXPECT_EQ(CodeOf<EnxBaseDefaultValueDescriptorException>([&] { LoadBytes(*constant, b); }), nxeIncompatibleStream);
  }
}

TEST_F(DefaultValuesTest, ANextLSNDefaultKeepsItsFixedSettings) {
  TnxFieldDescriptor* field = AddField(u"LSN", nxtInt64);
  TnxBaseDefaultValueDescriptor* lsn = field->AddDefaultValue(&TnxNextLSNDefaultValueDescriptor::ClassInfo());
  lsn->SetApplyAt(nxApplyAtBit(aaClient));
  lsn->SetApplyOnInsert(false);
  lsn->SetOverwriteNonNull(false);
  lsn->SetApplyOnModify(false);
  EXPECT_EQ(lsn->ApplyAt(), nxApplyAtBit(aaServer));
  EXPECT_TRUE(lsn->ApplyOnInsert());
  EXPECT_TRUE(lsn->OverwriteNonNull());
  EXPECT_FALSE(lsn->ApplyOnModify());
}

TEST_F(DefaultValuesTest, AFieldCarriesItsDefaultThroughItsStream) {
  TnxFieldDescriptor* field = AddField(u"Name", nxtShortString, 10);
  auto* constant = static_cast<TnxConstDefaultValueDescriptor*>(field->AddDefaultValue());
  constant->SetAsVariant(platform::TnxVariant::FromString(u"abc"));
  TnxFieldDescriptor* copy = AddField(u"Copy", nxtShortString, 10);
  LoadBytes(*copy, SavedBytes(*field, 47501));
  ASSERT_NE(copy->DefaultValue(), nullptr);
  EXPECT_EQ(static_cast<TnxConstDefaultValueDescriptor*>(copy->DefaultValue())->AsVariant().AsString(), u"abc");
  // Equality sees the default value.
  TnxFieldDescriptor* plain = AddField(u"Plain", nxtShortString, 10);
  TnxFieldDescriptor* withDefault = AddField(u"Plain2", nxtShortString, 10);
  withDefault->AddDefaultValue();
  EXPECT_FALSE(plain->IsEqual(withDefault));

  // A class the reader does not know is named.
  Bytes b = SavedBytes(*field, 47501);
  const std::string name = "TnxConstDefaultValueDescriptor";
  auto at = std::search(b.begin(), b.end(), name.begin(), name.end());
  ASSERT_NE(at, b.end());
  at[3] = 'X';
  EXPECT_TRUE(Contains(MessageOf<EnxFieldDescriptorException>([&] { LoadBytes(*plain, b); }),
                       u"DefaultValueDescriptor class is not supported: TnxXonstDefaultValueDescriptor"));
}

TEST_F(DefaultValuesTest, ACacheKeepsOnlyNextLSNDefaults) {
  TnxFieldDescriptor* lsn = AddField(u"LSN", nxtInt64);
  lsn->AddDefaultValue(&TnxNextLSNDefaultValueDescriptor::ClassInfo());
  TnxFieldDescriptor* count = AddField(u"Count", nxtInt32);
  count->AddDefaultValue(&TnxEmptyDefaultValueDescriptor::ClassInfo());
  fields().PrepareForCache();
  EXPECT_NE(lsn->DefaultValue(), nullptr);
  EXPECT_EQ(count->DefaultValue(), nullptr);
  // The lookup answers nil for a field without one, whatever class is asked.
  EXPECT_EQ(count->FindRelated<TnxConstDefaultValueDescriptor>(), nullptr);
  EXPECT_EQ(lsn->FindRelated<TnxBaseDefaultValueDescriptor>(), lsn->DefaultValue());
}

}  // namespace
}  // namespace revurov::testing
