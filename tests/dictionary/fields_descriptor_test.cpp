#include "dictionary/fields_descriptor.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "dictionary/dictionary_tree_fixture.h"
#include "dictionary/diff_compressor.h"
#include "lowlevel/heap/memory_manager.h"
#include "platform/text.h"
#include "platform/variant.h"
#include "support/exception_message.h"
#include "support/tagged_bytes.h"

namespace revurov {
namespace {

using testing::CodeOf;
using testing::Contains;
using testing::LoadBytes;
using testing::MessageOf;
using testing::SavedBytes;
using testing::TestRoot;

// Holds a field number the way a key field does: follows renumbering and
// refuses the removal of its field.
class FieldRef : public TnxDictionaryItem {
  REVUROV_REGISTERABLE_CLASS(FieldRef, TnxDictionaryItem)

  FieldRef(TnxPersistent* aParent, TnxFieldsDescriptor& aFields, int32_t aField)
      : TnxDictionaryItem(aParent), Fields(aFields), Field(aField) {
    Fields.AddFieldChangeListener(this);
  }
  ~FieldRef() override { Fields.RemoveFieldChangeListener(this); }

  void FieldChangeNotification(bool aBefore, int32_t aOld, int32_t aNew) override {
    Log.push_back({aBefore, aOld, aNew});
    if (aBefore) {
      if (aOld == Field && aNew < 0) throw EnxKeyFieldDescriptorException(nxeObjectInUse);
      return;
    }
    Field = nxRenumberReference(Field, aOld, aNew);
  }

  struct Event {
    bool before;
    int32_t oldField, newField;
    bool operator==(const Event&) const = default;
  };
  TnxFieldsDescriptor& Fields;
  int32_t Field;
  std::vector<Event> Log;
};

// Never registered: readers do not find it.
class UnregisteredLocale : public TnxLocaleDescriptor {
  REVUROV_REGISTERABLE_RECORD(UnregisteredLocale, TnxLocaleDescriptor, TnxLocaleDescriptorClass,
                              &nxNewLocaleDescriptor<UnregisteredLocale>)
  using TnxLocaleDescriptor::TnxLocaleDescriptor;
};

class FieldsTest : public testing::DictionaryTreeTest {
protected:
  FieldsTest() { root.Fields = std::make_unique<TnxFieldsDescriptor>(&root); }
  TnxFieldsDescriptor& fields() { return *root.Fields; }
  // Fields F0, F1, ... of the given types (string types with 3 units).
  void AddFields(std::initializer_list<TnxFieldType> aTypes) {
    for (TnxFieldType t : aTypes)
      fields().AddField(platform::Format(u"F%d", {fields().FieldCount()}), u"", t, 3, 0, false);
  }
  std::vector<uint8_t> NewRecord() {
    std::vector<uint8_t> r(static_cast<size_t>(fields().RecordLength()), 0x5A);
    fields().InitRecord(r.data());
    return r;
  }

  TestRoot root;
};

// Offsets are prefix sums, numbers are positions, the bitmap sits where the
// version puts it.
void ExpectLayout(TnxFieldsDescriptor& aFields, bool aVersion1) {
  int32_t sum = 0;
  for (int32_t i = 0; i < aFields.FieldCount(); ++i) {
    TnxFieldDescriptor* f = aFields.FieldDescriptor(i);
    ASSERT_EQ(f->Number(), i);
    ASSERT_EQ(f->Offset(), sum);
    sum += f->Length();
  }
  ASSERT_EQ(aFields.LogRecLen(), sum);
  ASSERT_EQ(aFields.LogicalRecordLength(), aVersion1 ? sum : (sum + 3) / 4 * 4);
  ASSERT_EQ(aFields.RecordLength(), (sum + 3) / 4 * 4 + (aFields.FieldCount() + 31) / 32 * 4);
}

TEST_F(FieldsTest, LayoutRowsPerVersion) {
  struct Row {
    int32_t version;
    std::vector<TnxFieldType> types;
    std::vector<int32_t> offsets;
    int32_t logRecLen, bitmapAt, recordLength;
  };
  const Row rows[] = {
      {3, {nxtBoolean, nxtInt32, nxtInt16}, {0, 1, 5}, 7, 8, 12},
      {1, {nxtBoolean, nxtInt32, nxtInt16}, {0, 1, 5}, 7, 7, 12},
      {3, {nxtInt32}, {0}, 4, 4, 8},
      {1, {nxtInt32}, {0}, 4, 4, 8},
      {3, {nxtShortString, nxtWideString}, {0, 4}, 12, 12, 16},
      {3, {}, {}, 0, 0, 0},
  };
  for (const Row& r : rows) {
    root.Version = r.version;
    fields().Clear(false);
    for (TnxFieldType t : r.types)
      fields().AddField(platform::Format(u"F%d", {fields().FieldCount()}), u"", t, 3, 0, false);
    for (size_t i = 0; i < r.offsets.size(); ++i)
      EXPECT_EQ(fields().FieldDescriptor(static_cast<int32_t>(i))->Offset(), r.offsets[i]);
    EXPECT_EQ(fields().LogRecLen(), r.logRecLen);
    EXPECT_EQ(fields().LogicalRecordLength(), r.bitmapAt);
    EXPECT_EQ(fields().RecordLength(), r.recordLength);
  }
}

TEST_F(FieldsTest, InitRecordSetsTheFlagBytesOfEveryField) {
  for (int i = 0; i < 33; ++i) AddFields({nxtBoolean});
  ASSERT_EQ(fields().RecordLength(), 36 + 8);
  std::vector<uint8_t> r = NewRecord();
  for (int i = 0; i < 36; ++i) EXPECT_EQ(r[static_cast<size_t>(i)], 0) << i;
  for (int i = 36; i < 41; ++i) EXPECT_EQ(r[static_cast<size_t>(i)], 0xFF) << i;
  for (int i = 41; i < 44; ++i) EXPECT_EQ(r[static_cast<size_t>(i)], 0) << i;
  for (int32_t f = 0; f < 33; ++f) EXPECT_TRUE(fields().IsRecordFieldNull(f, r.data()));
  fields().InitRecord(nullptr);  // nothing to do
}

TEST_F(FieldsTest, FieldValuesAndNullFlags) {
  AddFields({nxtInt32, nxtInt16});
  std::vector<uint8_t> r = NewRecord();
  const int32_t value = 0x01020304;
  fields().SetRecordField(0, r.data(), &value);
  EXPECT_FALSE(fields().IsRecordFieldNull(0, r.data()));
  EXPECT_TRUE(fields().IsRecordFieldNull(1, r.data()));
  int32_t out = 0;
  bool isNull = true;
  fields().GetRecordField(0, r.data(), isNull, &out);
  EXPECT_FALSE(isNull);
  EXPECT_EQ(out, value);
  // The flag is bit 0 of the little-endian word at the bitmap.
  EXPECT_EQ(r[8] & 1, 0);
  EXPECT_EQ(r[8] & 2, 2);

  // No buffer: null, nothing copied.
  out = 7;
  fields().GetRecordField(0, nullptr, isNull, &out);
  EXPECT_TRUE(isNull);
  EXPECT_EQ(out, 7);
  EXPECT_TRUE(fields().IsRecordFieldNull(0, nullptr));

  // Setting null zero-fills; clearing the flag keeps the bytes.
  fields().SetRecordFieldNull(0, r.data(), true);
  EXPECT_TRUE(fields().IsRecordFieldNull(0, r.data()));
  EXPECT_EQ(std::memcmp(r.data(), "\0\0\0\0", 4), 0);
  fields().SetRecordField(0, r.data(), &value);
  fields().SetRecordField(0, r.data(), nullptr);
  EXPECT_TRUE(fields().IsRecordFieldNull(0, r.data()));
  EXPECT_EQ(std::memcmp(r.data(), "\0\0\0\0", 4), 0);
  std::memcpy(r.data(), &value, 4);
  fields().SetRecordFieldNull(0, r.data(), false);
  fields().GetRecordField(0, r.data(), isNull, &out);
  EXPECT_FALSE(isNull);
  EXPECT_EQ(out, value);
}

TEST_F(FieldsTest, RangeChecksRaiseAndFilterAccessAnswersFalse) {
  AddFields({nxtInt32, nxtInt16});
  std::vector<uint8_t> r = NewRecord();
  const std::vector<uint8_t> before = r;
  const int32_t value = 1;
  for (int32_t bad : {-1, 2}) {
    bool isNull = false;
    const std::function<void()> calls[] = {
        [&] { fields().IsRecordFieldNull(bad, r.data()); },
        [&] { fields().GetRecordField(bad, r.data(), isNull, nullptr); },
        [&] { fields().SetRecordField(bad, r.data(), &value); },
        [&] { fields().SetRecordFieldNull(bad, r.data(), true); },
        [&] { fields().fsdGetFieldByIndexAsVariant(r.data(), bad); },
        [&] { fields().fsdSetFieldByIndexAsVariant(r.data(), bad, platform::TnxVariant::FromInt64(1)); },
        [&] { fields().FieldDescriptor(bad); },
    };
    for (const auto& call : calls) {
      EXPECT_EQ(CodeOf<EnxFieldsDescriptorException>(call), nxeInvalidDescriptorNumber);
      EXPECT_TRUE(Contains(MessageOf<EnxFieldsDescriptorException>(call), platform::Format(u"Index out of bounds: %d", {bad})));
    }
    TnxFieldType type = nxtGuid;
    uint16_t size = 99, type16 = 99, codePage = 99;
    const void* p = &value;
    EXPECT_FALSE(fields().GetRecordFieldForFilter(bad, r.data(), type, size, p));
    EXPECT_FALSE(fields().GetFieldForFilter(bad, u"", r.data(), type16, size, isNull, p, codePage));
    EXPECT_EQ(type, nxtGuid);
    EXPECT_EQ(size, 99);
    EXPECT_EQ(p, &value);
  }
  EXPECT_EQ(r, before);
  EXPECT_EQ(CodeOf<EnxFieldsDescriptorException>([&] { fields().fsdGetFieldByNameAsVariant(r.data(), u"nope"); }),
            nxeInvalidDescriptorNumber);
}

TEST_F(FieldsTest, FilterAccessReportsTypeSizeAndShortStringText) {
  AddFields({nxtInt32, nxtShortString});
  std::vector<uint8_t> r = NewRecord();
  const uint8_t text[4] = {2, 'h', 'i', 0};
  fields().SetRecordField(1, r.data(), text);
  TnxFieldType type{};
  uint16_t size = 0;
  const void* p = nullptr;
  EXPECT_TRUE(fields().GetRecordFieldForFilter(1, r.data(), type, size, p));
  EXPECT_EQ(type, nxtShortString);
  EXPECT_EQ(size, 4);
  EXPECT_EQ(p, r.data() + 4);
  EXPECT_FALSE(fields().GetRecordFieldForFilter(0, r.data(), type, size, p));  // null
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(fields().GetRecordFieldForFilter(0, nullptr), nullptr);

  uint16_t type16 = 0, codePage = 1;
  bool isNull = true;
  EXPECT_TRUE(fields().GetFieldForFilter(1, u"", r.data(), type16, size, isNull, p, codePage));
  EXPECT_EQ(type16, nxtShortString);
  EXPECT_FALSE(isNull);
  EXPECT_EQ(size, 2);  // the stored length
  EXPECT_EQ(p, r.data() + 5);
  EXPECT_TRUE(fields().GetFieldForFilter(1, u"", nullptr, type16, size, isNull, p, codePage));
  EXPECT_TRUE(isNull);
  EXPECT_EQ(size, 3);  // the units
  EXPECT_EQ(p, nullptr);
}

TEST_F(FieldsTest, VariantAccessAndRecordText) {
  AddFields({nxtInt32, nxtShortString});
  std::vector<uint8_t> r = NewRecord();
  fields().fsdSetFieldByNameAsVariant(r.data(), u"f0", platform::TnxVariant::FromInt64(42));
  EXPECT_EQ(fields().fsdGetFieldByIndexAsVariant(r.data(), 0).AsInt64(), 42);
  EXPECT_TRUE(fields().fsdGetFieldByNameAsVariant(r.data(), u"F1").IsNull());
  EXPECT_EQ(fields().RecordBufferToString(r.data()), u"F0: 42\r\nF1: <?>\r\n");
  fields().fsdSetFieldByIndexAsVariant(r.data(), 0, platform::TnxVariant::Null());
  EXPECT_TRUE(fields().IsRecordFieldNull(0, r.data()));
}

TEST_F(FieldsTest, NameLookupFoldsAToZOnlyAndAgreesWithTheHash) {
  fields().AddField(u"CustName", u"", nxtInt32, 0, 0, false);
  fields().AddField(u"$Row_Id", u"", nxtInt32, 0, 0, false);
  const std::pair<std::u16string_view, int32_t> asks[] = {
      {u"custname", 0}, {u"CUSTNAME", 0}, {u"$ROW_ID", 1}, {u"$row_id", 1}, {u"CustName2", -1},
      // Only A to Z fold: a name that differs beyond them is another name.
      {u"CUSTNAMÉ", -1}, {u"ÇUSTNAME", -1}};
  for (bool cached : {false, true}) {
    if (cached) fields().ActivateCache();
    for (auto [name, want] : asks) EXPECT_EQ(fields().GetFieldFromName(name), want) << cached;
  }
  fields().DeactivateCache();
}

TEST_F(FieldsTest, AnEmptyLayoutHasNoNamesCachedOrNot) {
  EXPECT_EQ(fields().GetFieldFromName(u"x"), -1);
  fields().ActivateCache();
  EXPECT_EQ(fields().GetFieldFromName(u"x"), -1);
  EXPECT_EQ(fields().RecordLength(), 0);
  fields().DeactivateCache();
}

TEST_F(FieldsTest, AddFieldRefusals) {
  AddFields({nxtInt32});
  EXPECT_EQ(CodeOf<EnxFieldsDescriptorException>([&] { fields().AddField(u"f0", u"", nxtInt32, 0, 0, false); }),
            nxeNameNotUnique);
  EXPECT_EQ(CodeOf<EnxFieldsDescriptorException>([&] { fields().AddField(u"", u"", nxtInt32, 0, 0, false); }),
            nxeInvalidFieldName);
  EXPECT_EQ(CodeOf<EnxFieldsDescriptorException>([&] { fields().AddField(u"Neg", u"", nxtByteArray, -5, 0, false); }),
            nxeInvalidFieldDescriptor);
  // 65535 bytes is the most a record may hold, bitmap included.
  EXPECT_TRUE(Contains(
      MessageOf<EnxFieldsDescriptorException>([&] { fields().AddField(u"Big", u"", nxtByteArray, 65530, 0, false); }),
      u"Record length 65540 exceeds the maximum of 65535"));
  fields().AddField(u"Fits", u"", nxtByteArray, 65524, 0, false);
  EXPECT_EQ(fields().RecordLength(), 65532);
  EXPECT_EQ(fields().FieldCount(), 2);
  root.ReadOnly = true;
  EXPECT_EQ(CodeOf<EnxDataDictionaryException>([&] { fields().AddField(u"X", u"", nxtInt32, 0, 0, false); }),
            nxeDictionaryReadOnly);

  TnxFieldsDescriptor loose(nullptr);
  EXPECT_EQ(CodeOf<EnxFieldsDescriptorException>([&] { loose.AddField(u"X", u"", nxtInt32, 0, 0, false); }),
            nxeObjectNotFound);
}

TEST_F(FieldsTest, InsertMoveRemoveNotifyAndRenumber) {
  AddFields({nxtInt32, nxtInt16, nxtBoolean, nxtInt64});
  FieldRef ref1(&root, fields(), 1), ref3(&root, fields(), 3);
  fields().MoveField(1, 3);
  EXPECT_EQ(ref1.Field, 3);
  EXPECT_EQ(ref3.Field, 2);
  EXPECT_EQ((ref1.Log), (std::vector<FieldRef::Event>{{true, 1, 3}, {false, 1, 3}}));
  fields().InsertFieldAt(0, u"New", u"", nxtInt32, 0, 0, false);
  EXPECT_EQ(ref1.Field, 4);
  EXPECT_EQ(ref3.Field, 3);
  // Appending through InsertFieldAt hears only the "before".
  ref1.Log.clear();
  fields().InsertFieldAt(fields().FieldCount(), u"Last", u"", nxtInt32, 0, 0, false);
  EXPECT_EQ((ref1.Log), (std::vector<FieldRef::Event>{{true, -1, 5}}));
  EXPECT_EQ(CodeOf<EnxFieldsDescriptorException>(
                [&] { fields().InsertFieldAt(fields().FieldCount() + 1, u"X", u"", nxtInt32, 0, 0, false); }),
            nxeInvalidDescriptorNumber);
  ref1.Log.clear();
  EXPECT_EQ(CodeOf<EnxFieldsDescriptorException>([&] { fields().InsertFieldAt(0, u"new", u"", nxtInt32, 0, 0, false); }),
            nxeNameNotUnique);
  EXPECT_EQ(CodeOf<EnxFieldsDescriptorException>(
                [&] { fields().InsertFieldAt(0, u"Huge", u"", nxtByteArray, 70000, 0, false); }),
            nxeInvalidRecordStructure);
  EXPECT_TRUE(ref1.Log.empty());  // refused before anyone heard of them
  ExpectLayout(fields(), false);

  // A referenced field cannot go; the layout stays.
  const int32_t count = fields().FieldCount();
  EXPECT_EQ(CodeOf<EnxKeyFieldDescriptorException>([&] { fields().RemoveField(ref1.Field); }), nxeObjectInUse);
  EXPECT_EQ(fields().FieldCount(), count);
  ExpectLayout(fields(), false);
  // Removing the last field sends only the "before".
  ref1.Log.clear();
  fields().RemoveField(count - 1);
  EXPECT_EQ((ref1.Log), (std::vector<FieldRef::Event>{{true, count - 1, -1}}));
  fields().RemoveField(99);  // nothing
  EXPECT_EQ(CodeOf<EnxFieldsDescriptorException>([&] { fields().MoveField(0, 99); }), nxeInvalidDescriptorNumber);
  EXPECT_TRUE(Contains(MessageOf<EnxFieldsDescriptorException>([&] { fields().MoveField(-3, 99); }),
                       u"Index out of bounds: -3"));
}

TEST_F(FieldsTest, ClearNotifiesFromTheLastField) {
  AddFields({nxtInt32, nxtInt16});
  FieldRef ref(&root, fields(), 5);
  fields().Clear(true);
  EXPECT_EQ((ref.Log), (std::vector<FieldRef::Event>{{true, 1, -1}, {true, 0, -1}, {false, 1, -1}, {false, 0, -1}}));
  EXPECT_EQ(fields().FieldCount(), 0);
  EXPECT_EQ(fields().RecordLength(), 0);
}

// The null bitmap of a version-1 dictionary is unaligned: no change of the
// list may round it, or stored records would read their flags from the
// wrong bytes.
TEST_F(FieldsTest, Version1KeepsTheBitmapUnalignedThroughEveryChange) {
  root.Version = 1;
  AddFields({nxtBoolean, nxtInt32, nxtInt16});  // 7 bytes
  const std::function<void()> changes[] = {
      [&] { fields().MoveField(0, 2); },
      [&] { fields().MoveField(2, 0); },
      [&] { fields().InsertFieldAt(1, u"Ins", u"", nxtBoolean, 0, 0, false); },
      [&] { fields().RemoveField(1); },
      [&] { fields().RemoveField(0); },
  };
  for (const auto& change : changes) {
    change();
    EXPECT_EQ(fields().LogicalRecordLength(), fields().LogRecLen());
  }
  // The upgrade to version 2 is the one step that rounds.
  ASSERT_EQ(fields().LogRecLen(), 6);
  fields().UpdateLogRecLenAlign();
  EXPECT_EQ(fields().LogicalRecordLength(), 8);
}

TEST_F(FieldsTest, RandomChangesKeepPrefixSumsAndHashedLookup) {
  std::mt19937 rng(18);
  const TnxFieldType types[] = {nxtBoolean, nxtInt16, nxtInt32, nxtInt64, nxtShortString, nxtWideString, nxtGuid};
  for (int32_t version : {1, 3}) {
    root.Version = version;
    fields().Clear(false);
    std::vector<std::u16string> model;  // names by position
    FieldRef ref(&root, fields(), -1);
    int32_t refName = -1;  // index into names ever made, followed through the model
    std::vector<std::u16string> names;
    int next = 0;
    for (int step = 0; step < 2000; ++step) {
      const int op = static_cast<int>(rng() % 4);
      const int32_t n = fields().FieldCount();
      if (op == 0 || n < 2) {
        std::u16string name = platform::Format(u"N%d", {next++});
        const auto pos = static_cast<int32_t>(rng() % static_cast<uint32_t>(n + 1));
        fields().InsertFieldAt(pos, name, u"", types[rng() % 7], static_cast<int32_t>(rng() % 9 + 1), 0, false);
        model.insert(model.begin() + pos, name);
      } else if (op == 1) {
        fields().AddField(platform::Format(u"N%d", {next}), u"", types[rng() % 7], 2, 0, false);
        model.push_back(platform::Format(u"N%d", {next++}));
      } else if (op == 2) {
        const auto from = static_cast<int32_t>(rng() % static_cast<uint32_t>(n));
        const auto to = static_cast<int32_t>(rng() % static_cast<uint32_t>(n));
        fields().MoveField(from, to);
        std::u16string moved = model[static_cast<size_t>(from)];
        model.erase(model.begin() + from);
        model.insert(model.begin() + to, moved);
      } else {
        const auto at = static_cast<int32_t>(rng() % static_cast<uint32_t>(n));
        if (at == ref.Field) {
          EXPECT_EQ(CodeOf<EnxKeyFieldDescriptorException>([&] { fields().RemoveField(at); }), nxeObjectInUse);
        } else {
          fields().RemoveField(at);
          model.erase(model.begin() + at);
        }
      }
      if (ref.Field < 0 && fields().FieldCount() > 0) {
        ref.Field = 0;
        names.push_back(model[0]);
        refName = static_cast<int32_t>(names.size()) - 1;
      }
      ASSERT_EQ(fields().FieldCount(), static_cast<int32_t>(model.size()));
      ExpectLayout(fields(), version == 1);
      if (refName >= 0) {
        ASSERT_EQ(model[static_cast<size_t>(ref.Field)], names[static_cast<size_t>(refName)]);
      }
      if (step % 50 != 0) continue;
      {
        std::vector<int32_t> linear;
        for (const auto& name : model) linear.push_back(fields().GetFieldFromName(name));
        fields().ActivateCache();
        for (size_t i = 0; i < model.size(); ++i) {
          ASSERT_EQ(fields().GetFieldFromName(model[i]), linear[i]);
          ASSERT_EQ(linear[i], static_cast<int32_t>(i));
        }
        ASSERT_EQ(fields().GetFieldFromName(u"absent"), -1);
        fields().DeactivateCache();
      }
    }
    ref.Field = -1;
  }
}

TEST_F(FieldsTest, CheckValidRefusals) {
  EXPECT_EQ(CodeOf<EnxFieldsDescriptorException>([&] { fields().CheckValid(false); }), nxeInvalidRecordStructure);
  struct Row {
    std::vector<TnxFieldType> types;
    uint32_t code;
  };
  const Row rows[] = {
      {{nxtAutoInc, nxtInt32, nxtAutoInc}, nxeDuplicateAutoIncField},
      {{nxtRecRev, nxtRecRev}, nxeDuplicateRecRevField},
      {{nxtRefNr, nxtRefNr}, nxeDuplicateRefNrField},
      {{nxtAutoInc, nxtRecRev, nxtRefNr}, 0},
  };
  for (const Row& r : rows) {
    fields().Clear(false);
    for (TnxFieldType t : r.types) AddFields({t});
    EXPECT_EQ(CodeOf<EnxBaseException>([&] { fields().CheckValid(false); }), r.code);
  }
}

TEST_F(FieldsTest, SpecialFieldsAndBlobsAgreeCachedAndNot) {
  AddFields({nxtInt32, nxtBlob, nxtRecRev, nxtAutoInc, nxtBlobMemo, nxtRefNr});
  for (bool cached : {false, true}) {
    if (cached) fields().ActivateCache();
    int32_t f = 0;
    EXPECT_TRUE(fields().HasAutoIncField(f));
    EXPECT_EQ(f, 3);
    EXPECT_TRUE(fields().HasRecRevField(f));
    EXPECT_EQ(f, 2);
    EXPECT_TRUE(fields().HasRefNrField(f));
    EXPECT_EQ(f, 5);
    EXPECT_FALSE(fields().HasModifyLSNField(f));
    EXPECT_EQ(f, -1);
    TnxBlobFields blobs;
    EXPECT_TRUE(fields().HasBlobFields(blobs));
    EXPECT_EQ(blobs, (TnxBlobFields{1, 4}));
  }
  EXPECT_EQ(fields().FieldDescriptor(4)->BlobIndex(), 1);
  EXPECT_EQ(fields().FieldDescriptor(0)->BlobIndex(), -1);
  TnxSpecialFieldsInfo* info = nullptr;
  fields().GetSpecialFieldsInfo(info);
  EXPECT_EQ(info->sfiOffsets[sftRecRev], 12);
  EXPECT_EQ(info->sfiFieldsToBlobFields[4], 1);
  TnxSpecialFieldsInfo* again = info;
  nxSpecialFieldsInfoAddRef(again);
  fields().GetSpecialFieldsInfo(again);
  EXPECT_EQ(again, info);  // the cached one is shared
  nxReleaseSpecialFieldsInfo(again);
  nxReleaseSpecialFieldsInfo(info);
  fields().DeactivateCache();
}

TEST_F(FieldsTest, HasSameFieldsComparesLengthsAndStorage) {
  AddFields({nxtInt64, nxtBlob, nxtWord32});
  TestRoot otherRoot;
  TnxFieldsDescriptor other(&otherRoot);
  for (TnxFieldType t : {nxtRefNr, nxtBlobMemo, nxtAutoInc})
    other.AddField(platform::Format(u"G%d", {other.FieldCount()}), u"", t, 0, 0, false);
  std::vector<int32_t> blobs;
  EXPECT_TRUE(fields().HasSameFields(other, &blobs));
  EXPECT_EQ(blobs, std::vector<int32_t>{1});
  other.AddField(u"Extra", u"", nxtInt32, 0, 0, false);
  EXPECT_FALSE(fields().HasSameFields(other, nullptr));
  other.RemoveField(3);
  other.RemoveField(0);
  other.InsertFieldAt(0, u"Cur", u"", nxtCurrency, 0, 0, false);
  EXPECT_FALSE(fields().HasSameFields(other, nullptr));  // Int64 holds no Currency
}

TEST_F(FieldsTest, DiffInfoMarksTheSpecialFieldWords) {
  AddFields({nxtInt32, nxtRecRev, nxtInt32});
  TnxDiffCompressorInfo* dci = nullptr;
  fields().GetDiffCompressionInfo(dci);
  ASSERT_NE(dci, nullptr);
  EXPECT_EQ(dci->dciRecordLength, 16u);
  // Words 1 (the RecRev field) and 3 (the null flags) are always stored.
  EXPECT_EQ(dci->dciRequiredBits[0] & 0x0F, 0x0A);
  nxReleaseDiffCompressorInfo(dci);
}

TEST_F(FieldsTest, ConcurrentFirstDiffInfoRequestsShareOnePublishedCopy) {
  AddFields({nxtInt32, nxtRecRev});
  fields().ActivateCache();
  constexpr int kThreads = 8;
  TnxDiffCompressorInfo* got[kThreads] = {};
  {
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) threads.emplace_back([&, i] { fields().GetDiffCompressionInfo(got[i]); });
    for (auto& t : threads) t.join();
  }
  for (int i = 0; i < kThreads; ++i) EXPECT_EQ(got[i], got[0]);
  TnxDiffCompressorInfo* again = got[0];
  fields().GetDiffCompressionInfo(again);  // already the cached one: unchanged
  EXPECT_EQ(again, got[0]);
  for (auto& p : got) nxReleaseDiffCompressorInfo(p);
  fields().DeactivateCache();
}

TEST_F(FieldsTest, OriginalFieldCount) {
  AddFields({nxtInt32, nxtInt32});
  EXPECT_EQ(fields().OriginalFieldCount(), 2);
  fields().SetOriginalFieldCount(5);
  EXPECT_EQ(fields().OriginalFieldCount(), 5);
  fields().SetOriginalFieldCount(0);
  EXPECT_EQ(fields().OriginalFieldCount(), 2);
}

TEST_F(FieldsTest, AddFieldCopiesWithItsOwnIDAndLeavesNothingOnFailure) {
  AddFields({nxtInt32});
  TestRoot otherRoot;
  otherRoot.CurrentID = 500;
  TnxFieldsDescriptor other(&otherRoot);
  TnxFieldDescriptor* source = other.AddField(u"Copy", u"desc", nxtShortString, 12, 0, true);
  source->SetNoClientAccess(true);
  TnxFieldDescriptor* copy = fields().AddField(*source);
  EXPECT_EQ(copy->Number(), 1);
  EXPECT_EQ(copy->Offset(), 4);
  EXPECT_NE(copy->ID(), source->ID());
  EXPECT_TRUE(copy->NoClientAccess());
  EXPECT_EQ(copy->Units(), 12);

  // A locale class the reader cannot find makes the copy fail.
  TnxFieldDescriptor* bad = other.AddField(u"Bad", u"", nxtInt32, 0, 0, false);
  bad->AddLocaleDescriptor(&UnregisteredLocale::ClassInfo());
  EXPECT_EQ(CodeOf<EnxBaseException>([&] { fields().AddField(*bad); }), nxeUnsupportedDictionaryDescriptor);
  EXPECT_EQ(fields().FieldCount(), 2);
  EXPECT_EQ(fields().GetFieldFromName(u"Bad"), -1);
}

TEST_F(FieldsTest, StreamRoundTripAndOldClients) {
  AddFields({nxtInt32, nxtShortString, nxtRefNr});
  const auto bytes = SavedBytes(fields(), 47501);
  TestRoot otherRoot;
  TnxFieldsDescriptor back(&otherRoot);
  LoadBytes(back, bytes);
  EXPECT_TRUE(back.IsEqual(&fields()));
  EXPECT_EQ(back.FieldDescriptor(2)->FieldType(), nxtRefNr);

  nxDictInfoStripped = false;
  const auto old = SavedBytes(fields(), 47004);
  EXPECT_TRUE(nxDictInfoStripped);
  nxDictInfoStripped = false;
  TnxFieldsDescriptor fromOld(&otherRoot);
  LoadBytes(fromOld, old);
  EXPECT_EQ(fromOld.FieldDescriptor(2)->FieldType(), nxtInt64);

  EXPECT_EQ(CodeOf<EnxFieldsDescriptorException>([&] { SavedBytes(fields(), 19999); }), nxeIncompatibleVersion);
}

TEST_F(FieldsTest, ReaderRefusesVersionsClassesAndLayoutsThatDoNotFit) {
  struct FieldText {
    std::u16string_view name, cls, type;
    int32_t units, offset, length;
  };
  auto stream = [](int32_t version, std::vector<FieldText> aFields, int32_t logRecLen, int32_t align) {
    return testing::Written([&](TnxWriter& w) {
      testing::WriteItemHeader(w);
      w.WriteInteger(version);
      w.WriteInteger(static_cast<int32_t>(aFields.size()));
      for (const FieldText& f : aFields) {
        w.WriteString(f.cls);
        w.WriteString(f.name);
        w.WriteString(u"");
        w.WriteString(f.type);
        w.WriteInteger(f.units);
        w.WriteInteger(int32_t{0});
        w.WriteBoolean(false);
        testing::WriteItemHeader(w);
        w.WriteInteger(int32_t{1});
        w.WriteInteger(f.offset);
        w.WriteInteger(f.length);
        w.WriteBoolean(false);
        w.WriteBoolean(false);
      }
      w.WriteInteger(logRecLen);
      w.WriteInteger(align);
      if (version >= 2) w.WriteBoolean(false);
    });
  };
  auto load = [&](const std::vector<uint8_t>& bytes) {
    TestRoot r;
    TnxFieldsDescriptor f(&r);
    LoadBytes(f, bytes);
    return f.FieldCount();
  };
  const FieldText int32At0{u"A", u"TnxFieldDescriptor", u"nxtInt32", 0, 0, 4};
  EXPECT_EQ(load(stream(1, {int32At0}, 4, 4)), 1);
  EXPECT_EQ(load(stream(2, {int32At0, {u"B", u"TnxFieldDescriptor", u"nxtBoolean", 0, 4, 1}}, 5, 5)), 2);
  {
    // A stream may carry a name twice; validation catches it.
    TestRoot r;
    TnxFieldsDescriptor f(&r);
    LoadBytes(f, stream(2, {int32At0, {u"a", u"TnxFieldDescriptor", u"nxtBoolean", 0, 4, 1}}, 5, 8));
    EXPECT_TRUE(Contains(MessageOf<EnxFieldsDescriptorException>([&] { f.CheckValid(false); }),
                         u"Duplicated field name: a"));
  }
  // Field names compare without letter case, as the collator does; it is
  // spared for them, so punctuation must still tell names apart.
  struct NamePair {
    std::u16string first, second;
    bool duplicate;
  };
  for (const NamePair& c : std::vector<NamePair>{{u"Name", u"nAME", true},
                                                 {u"Name", u"Name1", false},
                                                 {u"Name", u"Na_me", false},
                                                 {u"A-B", u"AB", false},
                                                 {u"x.y", u"X.Y", true},
                                                 {u"a b", u"ab", false}}) {
    TestRoot r;
    TnxFieldsDescriptor f(&r);
    LoadBytes(f, stream(2, {{c.first, u"TnxFieldDescriptor", u"nxtInt32", 0, 0, 4},
                            {c.second, u"TnxFieldDescriptor", u"nxtBoolean", 0, 4, 1}}, 5, 8));
    const uint32_t code = CodeOf<EnxFieldsDescriptorException>([&] { f.CheckValid(false); });
    EXPECT_EQ(code, c.duplicate ? nxeNameNotUnique : 0u) << platform::Utf16ToUtf8(c.second);
  }
  EXPECT_EQ(CodeOf<EnxFieldsDescriptorException>([&] { load(stream(3, {int32At0}, 4, 4)); }), nxeIncompatibleStream);
  EXPECT_TRUE(Contains(MessageOf<EnxBaseException>([&] {
                         load(stream(2, {{u"A", u"TnxNoSuchField", u"nxtInt32", 0, 0, 4}}, 4, 4));
                       }),
                       u"FieldDescriptor class is not supported: TnxNoSuchField"));
  EXPECT_TRUE(Contains(MessageOf<EnxFieldsDescriptorException>([&] {
                         load(stream(2, {int32At0, {u"B", u"TnxFieldDescriptor", u"nxtInt32", 0, 6, 4}}, 8, 8));
                       }),
                       u"fdOffset is wrong for field 1 (B). Expected 4 found 6."));
  EXPECT_EQ(CodeOf<EnxFieldsDescriptorException>([&] { load(stream(2, {int32At0}, 4, 12)); }),
            nxeInvalidRecordStructure);
  EXPECT_EQ(CodeOf<EnxFieldsDescriptorException>([&] { load(stream(2, {int32At0}, 5, 8)); }),
            nxeInvalidRecordStructure);
  EXPECT_TRUE(Contains(MessageOf<EnxFieldsDescriptorException>([&] {
                         load(stream(2,
                                     {{u"A", u"TnxFieldDescriptor", u"nxtByteArray", 40000, 0, 40000},
                                      {u"B", u"TnxFieldDescriptor", u"nxtByteArray", 40000, 40000, 40000}},
                                     80000, 80000));
                       }),
                       u"Record length 80004 exceeds the maximum of 65535"));
}

}  // namespace
}  // namespace revurov
