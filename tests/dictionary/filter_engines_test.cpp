#include "dictionary/filter_engines.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "dictionary/data_dictionary.h"
#include "dictionary/field_types.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/simple_expression_filter.h"
#include "dictionary/startup.h"
#include "lowlevel/streams/memory_stream.h"
#include "platform/rtl_exception.h"
#include "tests/support/exception_message.h"
#include "tests/support/test_fields_source.h"

namespace revurov::testing {
namespace {

// Counts calls and answers as told.
struct CallbackLog {
  bool Answer = true;
  int Calls = 0;
  const uint8_t* LastBuffer = nullptr;
};
bool LoggingCallback(void* aCookie, const uint8_t* aBuffer) {
  auto* log = static_cast<CallbackLog*>(aCookie);
  ++log->Calls;
  log->LastBuffer = aBuffer;
  return log->Answer;
}

// A descriptor no engine class serves.
class OrphanFilterDescriptor : public TnxBaseFilterDescriptor {
  REVUROV_REGISTERABLE_RECORD(OrphanFilterDescriptor, TnxBaseFilterDescriptor, TnxFilterDescriptorClass, nullptr)
};

class FilterEnginesTest : public ::testing::Test {
protected:
  std::unique_ptr<TnxBaseFilterEngine> Callback(CallbackLog& aLog, bool aActive = true) {
    TnxCallbackFilterDescriptor descriptor(&aLog, &LoggingCallback);
    auto engine = TnxBaseFilterEngine::CreateFor(descriptor, &source_);
    if (aActive) {
      EXPECT_EQ(engine->ActivateFilter(0), 0u);
    }
    return engine;
  }
  static uint32_t LastCode(std::u16string& aMessage) {
    uint32_t code = 0;
    EnxBaseException::GetLastConvertedException(code, aMessage);
    return code;
  }

  TnxDictionaryStartupGuard startup_;
  TestFieldsSource source_;
  uint8_t record_[4] = {};
};

// ---- descriptor streams ----

TEST_F(FilterEnginesTest, StreamFindsClassNamedWithoutDescriptorSuffix) {
  TnxSimpleExpressionFilterDescriptor original(std::vector<uint8_t>{}, u"Qty > 5", -1);
  TnxMemoryStream written;
  ASSERT_EQ(original.WriteToStream(written, 47501), 0u);
  // Drop "Descriptor" from the written class name.
  std::string bytes(static_cast<const char*>(written.Memory()), size_t(written.GetSize()));
  std::string name = "TnxSimpleExpressionFilter";
  std::string shortened = char(name.size()) + name + bytes.substr(1 + bytes[0]);
  TnxMemoryStream stream;
  stream.WriteBuffer(shortened.data(), int64_t(shortened.size()));
  stream.SetPosition(0);
  std::unique_ptr<TnxBaseFilterDescriptor> read;
  ASSERT_EQ(TnxBaseFilterDescriptor::CreateFromStream(stream, read), 0u);
  auto* simple = dynamic_cast<TnxSimpleExpressionFilterDescriptor*>(read.get());
  ASSERT_NE(simple, nullptr);
  EXPECT_EQ(simple->FilterText(), u"Qty > 5");
}

TEST_F(FilterEnginesTest, StreamRefusals) {
  struct Case {
    const char* what;
    std::string bytes;
    uint32_t code;
    std::u16string message;  // the thread's last message, when set
  };
  std::string callbackName = "TnxCallbackFilterDescriptor";
  const Case cases[] = {
      {"empty stream", "", 9986, u""},
      {"name shorter than its length", std::string("\x05", 1) + "abc", 9986, u""},
      {"unknown class", std::string("\x04", 1) + "Nope", 12289, u"Filter descriptor not supported: Nope"},
      {"class without stream data", char(callbackName.size()) + callbackName, 12289,
       u"TnxCallbackFilterDescriptor can not be created from a stream"},
      {"bad kind", std::string("\x23", 1) + "TnxSimpleExpressionFilterDescriptor" + std::string("\x09", 1), 15498,
       u""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TnxMemoryStream stream;
    if (!c.bytes.empty()) stream.WriteBuffer(c.bytes.data(), int64_t(c.bytes.size()));
    stream.SetPosition(0);
    auto read = std::make_unique<OrphanFilterDescriptor>();
    std::unique_ptr<TnxBaseFilterDescriptor> filter = std::move(read);
    EXPECT_EQ(TnxBaseFilterDescriptor::CreateFromStream(stream, filter), c.code);
    EXPECT_EQ(filter, nullptr);
    if (!c.message.empty()) {
      std::u16string message;
      EXPECT_EQ(LastCode(message), c.code);
      EXPECT_TRUE(Contains(message, c.message)) << std::string(message.begin(), message.end());
    }
  }
}

TEST_F(FilterEnginesTest, DescriptorsWithoutStreamFormRefuseToWrite) {
  CallbackLog log;
  TnxCallbackFilterDescriptor callback(&log, &LoggingCallback);
  TnxFilterDescriptorHub hub;
  TnxMemoryStream stream;
  for (TnxBaseFilterDescriptor* d : std::initializer_list<TnxBaseFilterDescriptor*>{&callback, &hub}) {
    EXPECT_EQ(d->WriteToStream(stream, 47501), 12289u);
    std::u16string message;
    EXPECT_EQ(LastCode(message), 12289u);
    EXPECT_TRUE(Contains(message, u"WriteToStream is not supported by " + std::u16string(d->ClassName())));
  }
  EXPECT_EQ(stream.GetSize(), 0);
}

TEST_F(FilterEnginesTest, CreateForWithoutEngineClassRaises15503) {
  OrphanFilterDescriptor descriptor;
  try {
    TnxBaseFilterEngine::CreateFor(descriptor, &source_);
    FAIL() << "no exception";
  } catch (const EnxBaseFilterEngineException& e) {
    EXPECT_EQ(e.ErrorCode(), 15503u);
    EXPECT_TRUE(Contains(e.Message(), u"Unknown Filter engine: \"OrphanFilterEngine\""));
  }
}

// ---- IDs, activation, removal ----

TEST_F(FilterEnginesTest, FilterIDsAreLiveHandlesNeverReused) {
  CallbackLog log;
  auto first = Callback(log);
  auto second = Callback(log);
  TnxFilterID gone = first->FilterID();
  EXPECT_NE(gone, 0u);
  EXPECT_NE(gone, second->FilterID());
  first.reset();
  auto third = Callback(log);
  EXPECT_NE(third->FilterID(), gone);
  EXPECT_EQ(third->ActivateFilter(gone), 10050u);
}

TEST_F(FilterEnginesTest, ActivationByIDAndRemoval) {
  CallbackLog log;
  auto engine = Callback(log, false);
  auto other = Callback(log, false);
  EXPECT_FALSE(engine->GetActive());
  EXPECT_EQ(engine->ActivateFilter(other->FilterID()), 10050u);
  EXPECT_FALSE(engine->GetActive());
  EXPECT_EQ(engine->ActivateFilter(engine->FilterID()), 0u);
  EXPECT_TRUE(engine->GetActive());
  EXPECT_TRUE(engine->IsEvalLocal());
  EXPECT_FALSE(engine->IsEvalRemote());
  EXPECT_EQ(engine->DeactivateFilter(other->FilterID()), 10050u);
  EXPECT_TRUE(engine->GetActive());
  EXPECT_EQ(engine->DeactivateFilter(0), 0u);
  EXPECT_FALSE(engine->GetActive());

  EXPECT_EQ(engine->RemoveFilter(other->FilterID(), engine), 10050u);
  EXPECT_NE(engine, nullptr);
  EXPECT_EQ(engine->RemoveFilter(engine->FilterID(), engine), 0u);
  EXPECT_EQ(engine, nullptr);
}

// ---- callback filter ----

TEST_F(FilterEnginesTest, CallbackFilterAsksOnlyWhenActive) {
  CallbackLog log;
  log.Answer = false;
  auto engine = Callback(log, false);
  EXPECT_TRUE(engine->MatchesBuffer(record_));
  EXPECT_EQ(log.Calls, 0);
  engine->SetActive(true);
  EXPECT_FALSE(engine->MatchesBuffer(record_));
  EXPECT_EQ(log.LastBuffer, record_);
  log.Answer = true;
  EXPECT_TRUE(engine->MatchesKey(record_));
  EXPECT_EQ(log.Calls, 2);
}

TEST_F(FilterEnginesTest, DuplicateKeepsDefinitionAndActivityOverNewSource) {
  CallbackLog log;
  log.Answer = false;
  TestFieldsSource other;
  for (bool active : {false, true}) {
    SCOPED_TRACE(active);
    auto engine = Callback(log, active);
    auto copy = engine->Duplicate(&other);
    EXPECT_EQ(copy->ClassType().Name, u"TnxCallbackFilterEngine");
    EXPECT_EQ(copy->GetActive(), active);
    EXPECT_EQ(copy->FieldsSource(), &other);
    EXPECT_NE(copy->FilterID(), engine->FilterID());
    EXPECT_EQ(copy->MatchesBuffer(record_), !active);
  }
}

// ---- hubs ----

class FilterHubTest : public FilterEnginesTest {
protected:
  void SetUp() override {
    accept_.Answer = true;
    reject_.Answer = false;
    auto first = Callback(accept_);
    auto second = Callback(reject_);
    firstID_ = first->FilterID();
    secondID_ = second->FilterID();
    hub_ = std::make_unique<TnxFilterEngineHub>(std::move(first), std::move(second));
  }
  TnxFilterEngineHub& Hub() { return static_cast<TnxFilterEngineHub&>(*hub_); }

  CallbackLog accept_, reject_;
  TnxFilterID firstID_ = 0, secondID_ = 0;
  std::unique_ptr<TnxBaseFilterEngine> hub_;
};

TEST_F(FilterHubTest, MatchesWhenEveryMemberMatchesAndStopsAtFirstRejection) {
  EXPECT_FALSE(hub_->MatchesBuffer(record_));
  EXPECT_EQ(accept_.Calls, 1);
  EXPECT_EQ(reject_.Calls, 1);
  accept_.Answer = false;
  EXPECT_FALSE(hub_->MatchesBuffer(record_));
  EXPECT_EQ(reject_.Calls, 1);
  accept_.Answer = reject_.Answer = true;
  EXPECT_TRUE(hub_->MatchesBuffer(record_));
  TnxFilterEngineHub empty(nullptr, &source_);
  EXPECT_TRUE(empty.MatchesBuffer(record_));
}

TEST_F(FilterHubTest, ActivationReachesMembersByID) {
  EXPECT_EQ(hub_->DeactivateFilter(0), 0u);
  EXPECT_FALSE(hub_->GetActive());
  EXPECT_EQ(hub_->ActivateFilter(hub_->FilterID()), 10050u);
  EXPECT_FALSE(hub_->GetActive());
  EXPECT_EQ(hub_->ActivateFilter(secondID_), 0u);
  EXPECT_FALSE(Hub().Filters(0).GetActive());
  EXPECT_TRUE(Hub().Filters(1).GetActive());
  EXPECT_TRUE(hub_->GetActive());
  EXPECT_TRUE(hub_->IsEvalLocal());
  EXPECT_TRUE(hub_->IsEvalRemote());
  EXPECT_EQ(hub_->ActivateFilter(0), 0u);
  EXPECT_TRUE(Hub().Filters(0).GetActive());
  EXPECT_FALSE(hub_->IsEvalRemote());
}

TEST_F(FilterHubTest, RemovingMembersCollapsesTheHub) {
  EXPECT_EQ(hub_->RemoveFilter(12345, hub_), 10050u);
  EXPECT_EQ(Hub().FilterCount(), 2);
  EXPECT_EQ(hub_->RemoveFilter(firstID_, hub_), 0u);
  ASSERT_NE(hub_, nullptr);
  EXPECT_EQ(hub_->FilterID(), secondID_);
  EXPECT_EQ(hub_->RemoveFilter(secondID_, hub_), 0u);
  EXPECT_EQ(hub_, nullptr);
}

TEST_F(FilterHubTest, RemovingTheHubByItsOwnIDFreesAll) {
  EXPECT_EQ(hub_->RemoveFilter(hub_->FilterID(), hub_), 0u);
  EXPECT_EQ(hub_, nullptr);
}

TEST_F(FilterHubTest, RemovingTheOnlyMemberLeavesNothing) {
  CallbackLog log;
  auto hub = std::make_unique<TnxFilterEngineHub>(nullptr, &source_);
  TnxFilterID id = hub->AddFilter(Callback(log)).FilterID();
  std::unique_ptr<TnxBaseFilterEngine> var = std::move(hub);
  EXPECT_EQ(var->RemoveFilter(id, var), 0u);
  EXPECT_EQ(var, nullptr);
}

TEST_F(FilterHubTest, DescriptorAndDuplicateRebuildTheMembers) {
  std::unique_ptr<TnxBaseFilterDescriptor> descriptor = hub_->CreateDescriptor();
  auto& hubDescriptor = dynamic_cast<TnxFilterDescriptorHub&>(*descriptor);
  ASSERT_EQ(hubDescriptor.FilterCount(), 2);
  EXPECT_EQ(hubDescriptor.Filters(1).ClassName(), u"TnxCallbackFilterDescriptor");

  auto rebuilt = TnxBaseFilterEngine::CreateFor(*descriptor, &source_);
  auto& rebuiltHub = dynamic_cast<TnxFilterEngineHub&>(*rebuilt);
  ASSERT_EQ(rebuiltHub.FilterCount(), 2);
  EXPECT_EQ(rebuilt->ActivateFilter(0), 0u);
  EXPECT_FALSE(rebuilt->MatchesBuffer(record_));

  TestFieldsSource other;
  auto copy = hub_->Duplicate(&other);
  auto& copyHub = dynamic_cast<TnxFilterEngineHub&>(*copy);
  ASSERT_EQ(copyHub.FilterCount(), 2);
  EXPECT_EQ(copyHub.Filters(0).FieldsSource(), &other);
  EXPECT_TRUE(copyHub.Filters(1).GetActive());
  EXPECT_FALSE(copy->MatchesBuffer(record_));
}

TEST_F(FilterHubTest, IndexOutsideTheListRaisesTheListError) {
  EXPECT_THROW(Hub().Filters(2), platform::EListError);
  TnxFilterDescriptorHub descriptors;
  CallbackLog log;
  auto& member = descriptors.AddFilter(std::make_unique<TnxCallbackFilterDescriptor>(&log, &LoggingCallback));
  TnxCallbackFilterDescriptor stranger(&log, &LoggingCallback);
  EXPECT_THROW(descriptors.Filters(-1), platform::EListError);
  EXPECT_THROW(descriptors.RemoveFilter(1), platform::EListError);
  EXPECT_THROW(descriptors.RemoveFilter(stranger), platform::EListError);
  descriptors.RemoveFilter(member);
  EXPECT_EQ(descriptors.FilterCount(), 0);
}

}  // namespace
}  // namespace revurov::testing

namespace revurov::testing {
namespace {

// ---- record layout as a fields source ----

TEST(RecordFieldsSourceTest, ReadsFieldsWhereTheLayoutPutsThem) {
  TnxDictionaryStartupGuard startup;
  TnxDataDictionary dict;
  TnxFieldsDescriptor& fields = dict.FieldsDescriptor();
  fields.AddField(u"Qty", u"", nxtInt32, 0, 0, false);
  fields.AddField(u"Code", u"", nxtShortString, 10, 0, false);
  fields.AddField(u"Note", u"", nxtNullString, 10, 0, false);
  TnxRecordFieldsSource source(fields);
  EXPECT_EQ(source.GetFieldCount(), 3);

  std::vector<uint8_t> record(size_t(fields.RecordLength()));
  fields.InitRecord(record.data());
  int32_t qty = 7;
  fields.SetRecordField(0, record.data(), &qty);
  uint8_t code[11] = {3, 'a', 'b', 'c'};
  fields.SetRecordField(1, record.data(), code);

  uint16_t type = 0, size = 0, codePage = 0;
  bool isNull = true;
  const void* value = nullptr;
  ASSERT_TRUE(source.GetFieldForFilter(0, "Qty", record.data(), type, size, isNull, value, codePage));
  EXPECT_EQ(type, nxtInt32);
  EXPECT_FALSE(isNull);
  EXPECT_EQ(std::memcmp(value, &qty, 4), 0);
  ASSERT_TRUE(source.GetFieldForFilter(1, "Code", record.data(), type, size, isNull, value, codePage));
  EXPECT_EQ(size, 3);
  EXPECT_EQ(std::memcmp(value, "abc", 3), 0);
  ASSERT_TRUE(source.GetFieldForFilter(2, "Note", record.data(), type, size, isNull, value, codePage));
  EXPECT_TRUE(isNull);
  ASSERT_TRUE(source.GetFieldForFilter(0, "Qty", nullptr, type, size, isNull, value, codePage));
  EXPECT_TRUE(isNull);
  EXPECT_EQ(value, nullptr);
  EXPECT_FALSE(source.GetFieldForFilter(3, "", record.data(), type, size, isNull, value, codePage));
  EXPECT_FALSE(source.GetFieldForFilter(-1, "", record.data(), type, size, isNull, value, codePage));
}

// A filter reads a placed field without asking: the place must answer what
// GetFieldForFilter answers, null or not, for fields past the first bitmap
// byte too.
TEST(RecordFieldsSourceTest, PlacesAnswerAsTheFieldReads) {
  TnxDictionaryStartupGuard startup;
  TnxDataDictionary dict;
  TnxFieldsDescriptor& fields = dict.FieldsDescriptor();
  const uint16_t types[] = {nxtInt32, nxtNullString, nxtInt64, nxtBoolean, nxtDouble,
                            nxtChar,  nxtInt16,      nxtWord32, nxtNullString, nxtInt32};
  for (size_t i = 0; i < std::size(types); ++i)
    fields.AddField(u"F" + std::u16string(1, char16_t(u'0' + i)), u"", TnxFieldType(types[i]),
                    types[i] == nxtNullString || types[i] == nxtChar ? 7 : 0, 0, false);
  fields.AddField(u"Code", u"", nxtShortString, 10, 0, false);
  TnxRecordFieldsSource source(fields);

  std::vector<uint8_t> record(size_t(fields.RecordLength()));
  fields.InitRecord(record.data());
  // Every other field gets a value; the rest stay null.
  for (int32_t i = 0; i < int32_t(std::size(types)); i += 2) {
    const uint8_t bytes[16] = {'a', 'b', 'c', 0};
    fields.SetRecordField(i, record.data(), bytes);
  }
  for (int32_t i = 0; i < int32_t(std::size(types)); ++i) {
    SCOPED_TRACE(i);
    TnxFieldPlace place;
    ASSERT_TRUE(source.GetFieldPlace(i, place));
    uint16_t type = 0, size = 0, codePage = 0;
    bool isNull = false;
    const void* value = nullptr;
    ASSERT_TRUE(source.GetFieldForFilter(i, "", record.data(), type, size, isNull, value, codePage));
    EXPECT_EQ(place.Type, type);
    EXPECT_EQ(place.Units, size);
    EXPECT_EQ(place.CodePage, codePage);
    EXPECT_EQ(record.data() + place.Offset, value);
    EXPECT_EQ((record[place.NullByte] & place.NullMask) != 0, isNull);
    EXPECT_EQ(isNull, i % 2 == 1);
  }
  // A short string's size is in its bytes: no place; nor for a stranger.
  TnxFieldPlace place;
  EXPECT_FALSE(source.GetFieldPlace(int32_t(std::size(types)), place));
  EXPECT_FALSE(source.GetFieldPlace(int32_t(std::size(types)) + 1, place));
  EXPECT_FALSE(source.GetFieldPlace(-1, place));
}

}  // namespace
}  // namespace revurov::testing
