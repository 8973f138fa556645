#include "dictionary/default_value_engines.h"

#include <gtest/gtest.h>

#include <cstring>

#include "dictionary/field_descriptor.h"
#include "dictionary_tree_fixture.h"
#include "platform/guid.h"
#include "platform/variant.h"
#include "tests/support/exception_message.h"

namespace revurov::testing {
namespace {

// The stand-in for the cursor a handler works for.
class StandInCursor : public InxDefaultValueCursor {
public:
  std::u16string GetUserName() override { return UserName; }
  platform::TDateTime GetNow() override { return Now; }
  bool GetNextLSN(int64_t& aLSN) override {
    aLSN = ++LSN;
    return true;
  }

  std::u16string UserName = u"Anna";
  platform::TDateTime Now = 45351.5;  // 2024-02-29 12:00
  int64_t LSN = 0;
};

// A kind of default no engine serves.
class OddDefaultValueDescriptor : public TnxBaseDefaultValueDescriptor {
  REVUROV_REGISTERABLE_RECORD(OddDefaultValueDescriptor, TnxBaseDefaultValueDescriptor,
                              TnxDefaultValueDescriptorClass, &nxNewDefaultValueDescriptor<OddDefaultValueDescriptor>,
                              0)
  using TnxBaseDefaultValueDescriptor::TnxBaseDefaultValueDescriptor;
};

class DefaultValueEnginesTest : public TableTreeTest {
protected:
  std::vector<uint8_t> NewRecord() {
    std::vector<uint8_t> record(static_cast<size_t>(fields().RecordLength()), 0);
    fields().InitRecord(record.data());
    return record;
  }
  template <class T>
  T Value(const std::vector<uint8_t>& aRecord, int32_t aField) {
    T value{};
    std::memcpy(&value, aRecord.data() + fields().FieldDescriptor(aField)->Offset(), sizeof value);
    return value;
  }

  StandInCursor cursor;
};

TEST_F(DefaultValueEnginesTest, EachKindWritesItsValue) {
  AddField(u"Day", nxtDate)->AddDefaultValue(&TnxCurrentDateTimeDefaultValueDescriptor::ClassInfo());
  AddField(u"Clock", nxtTime)->AddDefaultValue(&TnxCurrentDateTimeDefaultValueDescriptor::ClassInfo());
  AddField(u"Moment", nxtDateTime)->AddDefaultValue(&TnxCurrentDateTimeDefaultValueDescriptor::ClassInfo());
  AddField(u"User", nxtShortString, 10)->AddDefaultValue(&TnxCurrentUserDefaultValueDescriptor::ClassInfo());
  AddField(u"Key", nxtGuid)->AddDefaultValue(&TnxAutoGuidDefaultValueDescriptor::ClassInfo());
  AddField(u"Count", nxtInt32)->AddDefaultValue(&TnxEmptyDefaultValueDescriptor::ClassInfo());
  auto* constant = static_cast<TnxConstDefaultValueDescriptor*>(AddField(u"Qty", nxtInt16)->AddDefaultValue());
  constant->SetAsVariant(platform::TnxVariant::FromInteger(7));

  auto handler = TnxDefaultValueHandler::CreateFor(fields(), aaServer, &cursor);
  ASSERT_NE(handler, nullptr);
  EXPECT_EQ(handler->EngineCount(), 7);
  std::vector<uint8_t> record = NewRecord();
  handler->SetDefaultValuesInsert(record.data());
  for (int32_t f = 0; f < fields().FieldCount(); ++f) EXPECT_FALSE(fields().IsRecordFieldNull(f, record.data())) << f;
  EXPECT_EQ(Value<int32_t>(record, 0), 45351 + 693594);
  EXPECT_EQ(Value<int32_t>(record, 1), 12 * 3600 * 1000);
  EXPECT_EQ(Value<double>(record, 2), (45351.0 + 693594) * 86400000 + 12 * 3600 * 1000);
  EXPECT_EQ(fields().fsdGetFieldByIndexAsVariant(record.data(), 3).AsString(), u"Anna");
  EXPECT_NE(Value<platform::TGUID>(record, 4), platform::GUID_NULL);
  EXPECT_EQ(Value<int32_t>(record, 5), 0);
  EXPECT_EQ(Value<int16_t>(record, 6), 7);

  // A new GUID each time; the user name was taken once, at creation.
  const platform::TGUID first = Value<platform::TGUID>(record, 4);
  cursor.UserName = u"Bert";
  EXPECT_TRUE(handler->SetDefaultValue(record.data(), 4));
  EXPECT_NE(Value<platform::TGUID>(record, 4), first);
  EXPECT_TRUE(handler->SetDefaultValue(record.data(), 3));
  EXPECT_EQ(fields().fsdGetFieldByIndexAsVariant(record.data(), 3).AsString(), u"Anna");
}

TEST_F(DefaultValueEnginesTest, OnlyOverwritingDefaultsReplaceAValue) {
  auto* keep = static_cast<TnxConstDefaultValueDescriptor*>(AddField(u"Keep", nxtInt32)->AddDefaultValue());
  keep->SetAsVariant(platform::TnxVariant::FromInteger(1));
  auto* replace = static_cast<TnxConstDefaultValueDescriptor*>(AddField(u"Replace", nxtInt32)->AddDefaultValue());
  replace->SetAsVariant(platform::TnxVariant::FromInteger(2));
  replace->SetOverwriteNonNull(true);
  auto* modify = static_cast<TnxConstDefaultValueDescriptor*>(AddField(u"Modify", nxtInt32)->AddDefaultValue());
  modify->SetAsVariant(platform::TnxVariant::FromInteger(3));
  modify->SetApplyOnInsert(false);
  modify->SetApplyOnModify(true);

  auto handler = TnxDefaultValueHandler::CreateFor(fields(), aaClient, &cursor);
  ASSERT_NE(handler, nullptr);
  std::vector<uint8_t> record = NewRecord();
  const int32_t present = 99;
  fields().SetRecordField(0, record.data(), &present);
  fields().SetRecordField(1, record.data(), &present);
  handler->SetDefaultValuesInsert(record.data());
  EXPECT_EQ(Value<int32_t>(record, 0), 99);
  EXPECT_EQ(Value<int32_t>(record, 1), 2);
  EXPECT_TRUE(fields().IsRecordFieldNull(2, record.data()));
  handler->SetDefaultValuesModify(record.data());
  EXPECT_EQ(Value<int32_t>(record, 2), 3);
  EXPECT_EQ(Value<int32_t>(record, 0), 99);
}

TEST_F(DefaultValueEnginesTest, AHandlerWithoutEnginesIsNone) {
  AddField(u"Count", nxtInt32)->AddDefaultValue(&TnxEmptyDefaultValueDescriptor::ClassInfo())->SetApplyAt(
      nxApplyAtBit(aaServer));
  EXPECT_EQ(TnxDefaultValueHandler::CreateFor(fields(), aaClient, &cursor), nullptr);
  EXPECT_NE(TnxDefaultValueHandler::CreateFor(fields(), aaServer, &cursor), nullptr);
}

TEST_F(DefaultValueEnginesTest, NextLSNDefaultsGetNoEngine) {
  AddField(u"LSN", nxtInt64)->AddDefaultValue(&TnxNextLSNDefaultValueDescriptor::ClassInfo());
  AddField(u"Count", nxtInt32)->AddDefaultValue(&TnxEmptyDefaultValueDescriptor::ClassInfo());
  auto handler = TnxDefaultValueHandler::CreateFor(fields(), aaServer, &cursor);
  ASSERT_NE(handler, nullptr);
  EXPECT_EQ(handler->EngineCount(), 1);
  std::vector<uint8_t> record = NewRecord();
  EXPECT_FALSE(handler->SetDefaultValue(record.data(), 0));
  EXPECT_TRUE(fields().IsRecordFieldNull(0, record.data()));
  EXPECT_FALSE(handler->SetDefaultValue(record.data(), 7));
  EXPECT_EQ(cursor.LSN, 0);
}

TEST_F(DefaultValueEnginesTest, AKindWithoutEngineIsNamedAndTheClassFoundIsCached) {
  TnxFieldDescriptor* field = AddField(u"Odd", nxtInt32);
  TnxBaseDefaultValueDescriptor* odd = field->AddDefaultValue(&OddDefaultValueDescriptor::ClassInfo());
  const std::u16string message =
      MessageOf<EnxBaseDefaultValueEngineException>([&] { TnxDefaultValueHandler::CreateFor(fields(), aaServer, &cursor); });
  EXPECT_TRUE(Contains(message, u"Unknown DefaultValue engine: \"OddDefaultValueEngine\"")) << platform::Utf16ToUtf8(message);
  EXPECT_EQ(CodeOf<EnxBaseDefaultValueEngineException>([&] { TnxBaseDefaultValueEngine::CreateFor(*odd, &cursor); }),
            nxeSubEngineNotSupported);

  TnxBaseDefaultValueDescriptor* empty = field->AddDefaultValue(&TnxEmptyDefaultValueDescriptor::ClassInfo());
  EXPECT_EQ(empty->CachedEngineClass(), nullptr);
  TnxBaseDefaultValueEngine::CreateFor(*empty, &cursor);
  EXPECT_EQ(empty->CachedEngineClass(), &TnxEmptyDefaultValueEngine::ClassInfo());
}

}  // namespace
}  // namespace revurov::testing
