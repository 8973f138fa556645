#include "dictionary/key_descriptors.h"

#include <gtest/gtest.h>

#include "dictionary/dictionary_tree_fixture.h"
#include "support/exception_message.h"
#include "support/tagged_bytes.h"

namespace revurov {
namespace {

using testing::CodeOf;
using testing::Contains;
using testing::LoadBytes;
using testing::MessageOf;
using testing::SavedBytes;

class KeyTest : public testing::TableTreeTest {
protected:
  KeyTest() {
    AddField(u"Id", nxtInt32);
    AddField(u"Name", nxtShortString, 20);
    AddField(u"Wide", nxtWideString, 10);
    AddField(u"Bytes", nxtByteArray, 12);
    AddField(u"Null", nxtNullString, 20);
    AddField(u"Req", nxtInt32, 0, true);
    AddField(u"Auto", nxtAutoInc);
  }
  // A composite key under an index, as the tree has it.
  TnxCompKeyDescriptor& NewKey(const TnxKeyDescriptorClass* aClass = nullptr) {
    TnxIndexDescriptor* index =
        indices->AddIndex(platform::Format(u"I%d", {indices->IndexCount()}), 0, idNone, u"", aClass);
    return static_cast<TnxCompKeyDescriptor&>(*index->KeyDescriptor());
  }
};

TEST_F(KeyTest, FixedKeysHaveFixedLengthsAndNoNulls) {
  const std::pair<const TnxKeyDescriptorClass*, uint32_t> rows[] = {{&TnxRefKeyDescriptor::ClassInfo(), 8},
                                                                    {&TnxInt64KeyDescriptor::ClassInfo(), 8},
                                                                    {&TnxBlobCacheKeyDescriptor::ClassInfo(), 28}};
  for (auto [cls, len] : rows) {
    std::unique_ptr<TnxBaseKeyDescriptor> key = cls->Create(nullptr);
    EXPECT_EQ(key->KeyLen(), len);
    EXPECT_FALSE(key->CanContainNulls());
    const auto bytes = SavedBytes(*key, 47501);
    std::unique_ptr<TnxBaseKeyDescriptor> back = cls->Create(nullptr);
    LoadBytes(*back, bytes);
    EXPECT_TRUE(back->IsEqual(key.get()));
  }
}

TEST_F(KeyTest, KeyFieldLengthsWithOverrides) {
  struct Row {
    int32_t field, chars, bytes;
    int64_t length;
    int32_t keyChars;
  };
  const Row rows[] = {
      {0, 0, 0, 4, 0},    // Int32
      {1, 0, 0, 21, 20},  // ShortString(20)
      {1, 5, 0, 6, 5},
      {1, 5, 10, 10, 5},
      {1, 20, 0, 21, 20},  // not below the units: no override
      {1, 0, 30, 30, 20},  // bytes alone widen a narrow string
      {2, 4, 0, 10, 4},    // WideString(10)
      {2, 4, 50, 10, 4},   // bytes do not count for wide strings
      {3, 0, 5, 5, 0},     // ByteArray(12)
      {3, 0, 12, 12, 0},
      {4, 3, 0, 4, 3},     // NullString(20)
      {4, 0, 3, 21, 20},
  };
  TnxCompKeyDescriptor& key = NewKey();
  for (const Row& r : rows) {
    TnxKeyFieldDescriptor* kf = key.Add(r.field);
    kf->SetOverrideLengthChars(r.chars);
    kf->SetOverrideLengthBytes(r.bytes);
    EXPECT_EQ(kf->KeyLength(), r.length) << r.field << " " << r.chars << " " << r.bytes;
    EXPECT_EQ(kf->KeyChars(), r.keyChars) << r.field << " " << r.chars << " " << r.bytes;
    key.Delete(0);
  }
}

TEST_F(KeyTest, CompositeLengthCountsNullFlagsAndFollowsChanges) {
  TnxCompKeyDescriptor& key = NewKey();
  TnxCompKeyDescriptor& noNull = NewKey(&TnxNoNullCompKeyDescriptor::ClassInfo());
  for (TnxCompKeyDescriptor* k : {&key, &noNull}) {
    k->Add(u"Id");
    k->Add(u"name");
  }
  EXPECT_EQ(key.KeyLen(), 4u + 21 + 1);
  EXPECT_EQ(noNull.KeyLen(), 4u + 21);
  // The cached length follows every change of a key field.
  key.ckdGetKeyField(1)->SetOverrideLengthChars(5);
  EXPECT_EQ(key.KeyLen(), 4u + 6 + 1);
  key.ckdGetKeyField(1)->SetFieldNumber(0);
  EXPECT_EQ(key.KeyLen(), 4u + 4 + 1);
  key.Insert(0, u"Wide");
  EXPECT_EQ(key.KeyLen(), 22u + 4 + 4 + 1);
  for (int i = 0; i < 5; ++i) key.Add(0);
  EXPECT_EQ(key.KeyLen(), 22u + 7 * 4 + 1);  // 8 key fields
  key.Add(0);
  EXPECT_EQ(key.KeyLen(), 22u + 8 * 4 + 2);  // a second byte of flags
  key.Delete(0);
  EXPECT_EQ(key.KeyLen(), 8u * 4 + 1);
  key.Clear(false);
  EXPECT_EQ(key.KeyLen(), 0u);
}

TEST_F(KeyTest, OverridesCompareWithTheirOwnProperty) {
  TnxKeyFieldDescriptor* kf = NewKey().Add(1);
  kf->SetOverrideLengthBytes(5);
  kf->SetOverrideLengthChars(5);
  EXPECT_EQ(kf->OverrideLengthChars(), 5);
  root.ReadOnly = true;
  kf->SetOverrideLengthChars(5);  // unchanged: no read-only check
  EXPECT_EQ(CodeOf<EnxDataDictionaryException>([&] { kf->SetOverrideLengthChars(6); }), nxeDictionaryReadOnly);
}

TEST_F(KeyTest, KeyFieldsFollowMovesAndRefuseRemovals) {
  TnxCompKeyDescriptor& key = NewKey();
  TnxKeyFieldDescriptor* on2 = key.Add(2);
  TnxKeyFieldDescriptor* on3 = key.Add(3);
  fields().MoveField(1, 3);
  EXPECT_EQ(on2->FieldNumber(), 1);
  EXPECT_EQ(on3->FieldNumber(), 2);
  const int32_t count = fields().FieldCount();
  EXPECT_EQ(MessageOf<EnxKeyFieldDescriptorException>([&] { fields().RemoveField(1); }),
            MessageOf<EnxKeyFieldDescriptorException>([] {
              throw EnxKeyFieldDescriptorException(
                  nxeObjectInUse, u"Cannot remove field %s because it is still referenced by an index", {u"Wide"});
            }));
  EXPECT_EQ(fields().FieldCount(), count);
  fields().RemoveField(0);
  EXPECT_EQ(on2->FieldNumber(), 0);
  EXPECT_EQ(on2->Field()->Name(), u"Wide");
}

// A key field made for the field above it listens to nothing; once given a
// field number it must hear of that field's moves and removal.
TEST_F(KeyTest, RegistrationFollowsAFieldNumberSetLater) {
  TnxCompKeyDescriptor& key = NewKey();
  const int32_t before = fields().FieldChangeListenerCount();
  TnxKeyFieldDescriptor* kf = key.Add(nxKeyFieldOfParentField);
  EXPECT_EQ(fields().FieldChangeListenerCount(), before);
  EXPECT_EQ(kf->Field(), nullptr);
  kf->SetFieldNumber(4);
  EXPECT_EQ(fields().FieldChangeListenerCount(), before + 1);
  fields().MoveField(4, 0);
  EXPECT_EQ(kf->FieldNumber(), 0);
  EXPECT_EQ(CodeOf<EnxKeyFieldDescriptorException>([&] { fields().RemoveField(0); }), nxeObjectInUse);
  kf->SetFieldNumber(1);  // still one registration
  EXPECT_EQ(fields().FieldChangeListenerCount(), before + 1);
  kf->SetFieldNumber(nxKeyFieldOfParentField);
  EXPECT_EQ(fields().FieldChangeListenerCount(), before);
  fields().RemoveField(0);
  EXPECT_EQ(kf->FieldNumber(), nxKeyFieldOfParentField);
  key.Delete(0);
}

TEST_F(KeyTest, KeyFieldOfTheFieldAbove) {
  TnxFieldDescriptor* field = fields().FieldDescriptor(1);
  TnxKeyFieldDescriptor kf(field, nxKeyFieldOfParentField);
  EXPECT_EQ(kf.Field(), field);
  EXPECT_EQ(kf.KeyLength(), 21);
  kf.CheckValid(false);
  TnxKeyFieldDescriptor loose(nullptr, nxKeyFieldOfParentField);
  EXPECT_TRUE(Contains(MessageOf<EnxKeyFieldDescriptorException>([&] { loose.CheckValid(false); }),
                       u"Invalid field number: -2147483648"));
}

TEST_F(KeyTest, ValidationRefusals) {
  TnxCompKeyDescriptor& key = NewKey();
  EXPECT_TRUE(Contains(MessageOf<EnxCompKeyDescriptorException>([&] { key.CheckValid(false); }),
                       u"Composite key requires a minimum of one field"));
  key.Add(u"NoSuchField");
  EXPECT_TRUE(Contains(MessageOf<EnxKeyFieldDescriptorException>([&] { key.CheckValid(false); }),
                       u"Invalid field number: -1"));
  key.ckdGetKeyField(0)->SetFieldNumber(7);
  EXPECT_EQ(CodeOf<EnxKeyFieldDescriptorException>([&] { key.CheckValid(false); }), nxeInvalidDescriptorNumber);
  key.ckdGetKeyField(0)->SetFieldNumber(0);
  key.CheckValid(false);

  TnxCompKeyDescriptor& noNull = NewKey(&TnxNoNullCompKeyDescriptor::ClassInfo());
  noNull.Add(u"Req");
  noNull.Add(u"Auto");
  noNull.CheckValid(false);
  noNull.Add(u"Name");
  EXPECT_TRUE(Contains(MessageOf<EnxNoNullCompKeyDescriptorException>([&] { noNull.CheckValid(false); }),
                       u"Field \"Name\" is not marked as required"));
}

TEST_F(KeyTest, KeysLongerThanSixteenBitsAreRefused) {
  AddField(u"Big", nxtByteArray, 40000);
  TnxCompKeyDescriptor& key = NewKey();
  key.Add(u"Big");
  key.CheckValid(false);
  key.Add(u"Big");
  EXPECT_TRUE(Contains(MessageOf<EnxCompKeyDescriptorException>([&] { key.CheckValid(false); }),
                       u"Key length 80001 exceeds the maximum of 65535"));
  // A stream that carries such a key is refused as well.
  const auto bytes = SavedBytes(key, 47501);
  TnxCompKeyDescriptor& other = NewKey();
  EXPECT_EQ(CodeOf<EnxCompKeyDescriptorException>([&] { LoadBytes(other, bytes); }), nxeInvalidDescriptor);
}

TEST_F(KeyTest, NullsAndEquality) {
  TnxCompKeyDescriptor& key = NewKey();
  TnxKeyFieldDescriptor* req = key.Add(u"Req");
  EXPECT_FALSE(key.CanContainNulls());
  TnxKeyFieldDescriptor* id = key.Add(u"Id");
  EXPECT_TRUE(key.CanContainNulls());
  id->SetNullBehaviour(nbFilterNull);
  EXPECT_FALSE(key.CanContainNulls());

  TnxCompKeyDescriptor& same = NewKey();
  same.Add(u"Req");
  same.Add(u"Id")->SetNullBehaviour(nbFilterNull);
  EXPECT_TRUE(key.IsEqual(&same));
  req->SetKeyFieldEngine(u"Engine");
  same.ckdGetKeyField(0)->SetKeyFieldEngine(u"ENGINE");
  EXPECT_TRUE(key.IsEqual(&same));
  same.ckdGetKeyField(0)->SetDesc(u"d");
  EXPECT_FALSE(key.IsEqual(&same));
  same.ckdGetKeyField(0)->SetDesc(u"");
  same.ckdGetKeyField(0)->SetAscend(false);
  EXPECT_FALSE(key.IsEqual(&same));
}

TEST_F(KeyTest, KeyFieldStreamsPerClientVersion) {
  TnxCompKeyDescriptor& key = NewKey();
  TnxKeyFieldDescriptor* kf = key.Add(u"Name");
  kf->SetDesc(u"desc");
  kf->SetAscend(false);
  // Version 2: description, engine, direction, locale part, overrides and
  // null behaviour.
  kf->SetOverrideLengthChars(5);
  kf->SetNullBehaviour(nbAsAscend);
  const auto v2 = testing::Written([&](TnxWriter& w) {
    testing::WriteItemHeader(w, kf->ID());
    w.WriteInteger(int32_t{2});
    w.WriteString(u"desc");
    w.WriteString(u"");
    w.WriteBoolean(false);
    w.WriteInteger(int32_t{1});
    w.WriteBoolean(false);
    w.WriteInteger(int32_t{0});
    w.WriteInteger(int32_t{5});
    w.WriteString(u"nbAsAscend");
  });
  EXPECT_EQ(SavedBytes(*kf, 47501), v2);
  EXPECT_EQ(CodeOf<EnxKeyFieldDescriptorException>([&] { SavedBytes(*kf, 19999); }), nxeIncompatibleVersion);
  kf->SetOverrideLengthChars(0);
  const auto v1 = SavedBytes(*kf, 19999);
  TnxKeyFieldDescriptor* back = key.Add(u"Name");
  LoadBytes(*back, v1);
  EXPECT_FALSE(back->Ascend());
  EXPECT_EQ(back->Desc(), u"desc");
  kf->AddLocaleDescriptor();
  EXPECT_EQ(CodeOf<EnxKeyFieldDescriptorException>([&] { SavedBytes(*kf, 19999); }), nxeIncompatibleVersion);

  auto withVersion = [](int32_t version) {
    return testing::Written([&](TnxWriter& w) {
      testing::WriteItemHeader(w);
      w.WriteInteger(version);
      w.WriteString(u"");
      w.WriteString(u"");
      w.WriteBoolean(true);
    });
  };
  EXPECT_EQ(CodeOf<EnxKeyFieldDescriptorException>([&] { LoadBytes(*back, withVersion(3)); }), nxeIncompatibleStream);
}

TEST_F(KeyTest, ExtendedTextKeyFieldsKeepTheirLocaleForOldReaders) {
  TnxCompKeyDescriptor& key = NewKey();
  auto* ext = static_cast<TnxExtTextKeyFieldDescriptor*>(key.Add(u"Name", &TnxExtTextKeyFieldDescriptor::ClassInfo()));
  ext->SetIgnoreCase(true);
  TnxLocaleDescriptor* locale = ext->AddLocaleDescriptor();
  locale->SetLocale(1031);
  locale->SetIgnoreWidth(true);
  for (uint32_t version : {19999u, 47501u}) {
    auto* back =
        static_cast<TnxExtTextKeyFieldDescriptor*>(key.Add(u"Name", &TnxExtTextKeyFieldDescriptor::ClassInfo()));
    LoadBytes(*back, SavedBytes(*ext, version));
    ASSERT_NE(back->LocaleDescriptor(), nullptr) << version;
    EXPECT_EQ(back->LocaleDescriptor()->Locale(), 1031u);
    EXPECT_TRUE(back->LocaleDescriptor()->IgnoreWidth());
    EXPECT_FALSE(back->LocaleDescriptor()->IgnoreSymbols());
    EXPECT_TRUE(back->IgnoreCase());
  }
  locale->SetOverrideStorageCodepage(1252);
  EXPECT_EQ(CodeOf<EnxExtTextKeyFieldDescriptorException>([&] { SavedBytes(*ext, 19999); }), nxeIncompatibleVersion);
  ext->RemoveLocaleDescriptor();
  auto* back = static_cast<TnxExtTextKeyFieldDescriptor*>(key.Add(u"Name", &TnxExtTextKeyFieldDescriptor::ClassInfo()));
  back->AddLocaleDescriptor();
  LoadBytes(*back, SavedBytes(*ext, 19999));
  EXPECT_EQ(back->LocaleDescriptor(), nullptr);
}

TEST_F(KeyTest, CompositeStreamsAndRefusals) {
  TnxCompKeyDescriptor& key = NewKey();
  key.Add(u"Id");
  static_cast<TnxTextKeyFieldDescriptor*>(key.Add(u"Name", &TnxTextKeyFieldDescriptor::ClassInfo()))
      ->SetIgnoreCase(true);
  for (uint32_t version : {19999u, 47501u}) {
    TnxCompKeyDescriptor& back = NewKey();
    LoadBytes(back, SavedBytes(key, version));
    ASSERT_EQ(back.KeyFieldCount(), 2);
    EXPECT_TRUE(back.IsEqual(&key));
    EXPECT_EQ(back.KeyLen(), key.KeyLen());
  }
  auto stream = [](bool withBkd, int32_t bkdVersion, bool filter, std::u16string_view keyFieldClass) {
    return testing::Written([&](TnxWriter& w) {
      testing::WriteItemHeader(w);
      if (withBkd) {
        w.WriteIdent(u"BKD");
        w.WriteInteger(bkdVersion);
        w.WriteBoolean(filter);
      }
      w.WriteInteger(int32_t{1});
      w.WriteInteger(int32_t{1});
      w.WriteString(keyFieldClass);
      w.WriteInteger(int32_t{0});
      testing::WriteItemHeader(w);
      w.WriteInteger(int32_t{1});
      w.WriteString(u"");
      w.WriteString(u"");
      w.WriteBoolean(true);
    });
  };
  TnxCompKeyDescriptor& target = NewKey();
  LoadBytes(target, stream(false, 0, false, u"TnxKeyFieldDescriptor"));
  EXPECT_EQ(target.KeyFieldCount(), 1);
  EXPECT_EQ(CodeOf<EnxBaseKeyDescriptorException>([&] { LoadBytes(NewKey(), stream(true, 2, false, u"TnxKeyFieldDescriptor")); }),
            nxeIncompatibleStream);
  // A filter flag followed by no filter stream: the next bytes are no filter.
  EXPECT_NE(CodeOf<EnxBaseKeyDescriptorException>([&] { LoadBytes(NewKey(), stream(true, 1, true, u"TnxKeyFieldDescriptor")); }),
            0u);
  EXPECT_TRUE(Contains(MessageOf<EnxCompKeyDescriptorException>(
                           [&] { LoadBytes(NewKey(), stream(true, 1, false, u"TnxNoSuchKeyField")); }),
                       u"KeyFieldDescriptor class is not supported: TnxNoSuchKeyField"));
}

TEST_F(KeyTest, ReadOnlyRefusesChanges) {
  TnxCompKeyDescriptor& key = NewKey();
  key.Add(0);
  root.ReadOnly = true;
  const std::function<void()> changes[] = {
      [&] { key.Add(1); },
      [&] { key.Delete(0); },
      [&] { key.ckdGetKeyField(0)->SetFieldNumber(2); },
      [&] { key.ckdGetKeyField(0)->SetDesc(u"x"); },
  };
  for (const auto& change : changes) EXPECT_EQ(CodeOf<EnxDataDictionaryException>(change), nxeDictionaryReadOnly);
  EXPECT_EQ(key.KeyFieldCount(), 1);
  root.ReadOnly = false;
}

}  // namespace
}  // namespace revurov
