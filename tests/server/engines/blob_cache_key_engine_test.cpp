#include "server/engines/blob_cache_key_engine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <random>
#include <tuple>
#include <vector>

#include "dictionary/engine_records.h"
#include "dictionary/key_descriptors.h"
#include "lowlevel/errors/exceptions.h"
#include "platform/rtl_exception.h"
#include "server/engines/startup.h"

namespace revurov {
namespace {

using TKey = std::array<uint8_t, TnxBlobCacheKeyEngine::kKeyLength>;
using TTuple = std::tuple<int64_t, int32_t, int64_t, int64_t>;

TKey MakeKey(const TTuple& aValues) {
  TKey key{};
  TnxBlobCacheKeyEngine::StoreKey(key.data(), std::get<0>(aValues), std::get<1>(aValues),
                                  TnxRecID{std::get<2>(aValues), std::get<3>(aValues)});
  return key;
}

class BlobCacheKeyEngineTest : public ::testing::Test {
protected:
  TnxServerEnginesStartupGuard startup;
  TnxBlobCacheKeyDescriptor descriptor{nullptr};
  std::unique_ptr<TnxBaseKeyEngine> engine = TnxBaseKeyEngine::CreateFor(descriptor);
};

TEST_F(BlobCacheKeyEngineTest, IsFoundForItsDescriptorAndRefusesAnother) {
  ASSERT_NE(dynamic_cast<TnxBlobCacheKeyEngine*>(engine.get()), nullptr);
  EXPECT_EQ(engine->KeyLength(), 28);
  EXPECT_EQ(engine->GetMaxFieldCount(), 4);
  EXPECT_NO_THROW(TnxBaseKeyEngine::CheckValidBaseFromDescriptor(descriptor));
  TnxInt64KeyDescriptor foreign(nullptr);
  EXPECT_THROW(TnxBlobCacheKeyEngine::CheckValidDescriptor(foreign), platform::EInvalidCast);
}

TEST_F(BlobCacheKeyEngineTest, ComparesFieldBySignedFieldUpToTheCount) {
  struct Row {
    TTuple a, b;
    int32_t fieldCount;
    int want;
  } rows[] = {
      {{1, 2, 3, 4}, {1, 2, 3, 5}, 3, 0},      // only the LSN differs
      {{1, 2, 3, 4}, {1, 2, 3, 5}, 0, -1},
      {{1, 2, 3, 4}, {1, 2, 3, 5}, 4, -1},
      {{-1, 0, 0, 0}, {1, 0, 0, 0}, 0, -1},    // a negative blob number first
      {{INT64_MIN, 0, 0, 0}, {INT64_MAX, 0, 0, 0}, 1, -1},
      {{5, -1, 0, 0}, {5, 1, 0, 0}, 2, -1},    // field numbers signed
      {{5, 1, 9, 0}, {5, 1, -9, 0}, 3, 1},     // RefNrs signed
      {{5, 1, 9, -7}, {5, 1, 9, 7}, 4, -1},    // LSNs signed
      {{5, 3, 0, 0}, {5, 2, 9, 9}, 1, 0},      // one field: the rest is ignored
      {{5, 3, 0, 0}, {5, 2, 9, 9}, 2, 1},
      {{7, 7, 7, 7}, {7, 7, 7, 7}, 0, 0},
  };
  for (const Row& row : rows) {
    const TKey a = MakeKey(row.a), b = MakeKey(row.b);
    SCOPED_TRACE(::testing::Message() << "count " << row.fieldCount << " want " << row.want);
    EXPECT_EQ(engine->CompareKey(a.data(), b.data(), row.fieldCount, 5), row.want);
    EXPECT_EQ(engine->CompareKey(b.data(), a.data(), row.fieldCount, 5), -row.want);
    EXPECT_EQ(engine->CompareKeyToRecord(a.data(), b.data(), 77, row.fieldCount, 0), row.want);
    EXPECT_EQ(engine->CompareRecord(a.data(), 1, b.data(), 2, row.fieldCount, 0), row.want);
  }
}

TEST_F(BlobCacheKeyEngineTest, ClearCopyAndBuildKeepTheTwentyEightBytes) {
  const TKey zero{};
  TKey key = MakeKey({9, 9, 9, 9});
  engine->ClearKey(key.data());
  EXPECT_EQ(engine->CompareKey(key.data(), zero.data()), 0);
  EXPECT_EQ(key, zero);
  // The record is longer than a key: only its first 28 bytes count.
  std::vector<uint8_t> record(40, 0xEE);
  const TKey source = MakeKey({-3, 4, 5, 6});
  std::copy(source.begin(), source.end(), record.begin());
  TKey built{};
  EXPECT_EQ(engine->BuildKey(record.data(), built.data(), 123, false), 0u);
  EXPECT_EQ(built, source);
  EXPECT_EQ(engine->CompareKeyToRecord(source.data(), record.data(), 0), 0);
  EXPECT_EQ(engine->CompareRecord(record.data(), source.data()), 0);
  TKey copy{};
  engine->CopyKey(source.data(), copy.data());
  EXPECT_EQ(copy, source);
  EXPECT_EQ(engine->BuildKey(nullptr, built.data(), 0, false), 9986u);
  EXPECT_FALSE(engine->KeyContainsNulls(source.data()));
}

TEST_F(BlobCacheKeyEngineTest, FindsItsFieldsByNameInAnyCase) {
  struct Row {
    std::u16string_view name;
    int32_t index;
  } rows[] = {{u"BlobNr", 0}, {u"fieldno", 1}, {u"REFNR", 2},   {u"insertlsn", 3}, {u"InSeRtLsN", 3},
              {u"Insert", -1}, {u"LSN", -1},   {u"", -1},       {u"BlobNr ", -1}};
  for (const Row& row : rows) EXPECT_EQ(engine->GetKeyFieldIndex(row.name), row.index) << int(row.name.size());
  const std::u16string names[] = {u"BlobNr", u"FieldNo", u"RefNr", u"InsertLSN"};
  const TnxFieldType types[] = {nxtInt64, nxtInt32, nxtInt64, nxtInt64};
  for (int32_t i = 0; i < 4; ++i) {
    InxFieldDescriptor* field = engine->GetKeyFieldEngine(i);
    ASSERT_NE(field, nullptr);
    EXPECT_EQ(field->GetName(), names[i]);
    EXPECT_EQ(field->GetFieldType(), types[i]);
    EXPECT_EQ(field->GetUnits(), 0);
    EXPECT_EQ(field->GetFieldLocaleDescriptor(), nullptr);
  }
  EXPECT_EQ(engine->GetKeyFieldEngine(4), nullptr);
  EXPECT_EQ(engine->GetKeyFieldEngine(-1), nullptr);
}

TEST_F(BlobCacheKeyEngineTest, FilterReadsAFieldInsideTheKey) {
  const TKey key = MakeKey({11, 22, 33, 44});
  uint16_t type = 0, size = 9, codePage = 9;
  bool isNull = false;
  const void* value = nullptr;
  ASSERT_TRUE(engine->GetKeyFieldForFilter(0, u"fieldNO", key.data(), type, size, isNull, value, codePage));
  EXPECT_EQ(type, nxtInt32);
  EXPECT_EQ(value, key.data() + 8);
  EXPECT_FALSE(isNull);
  EXPECT_EQ(size, 0);
  EXPECT_EQ(codePage, 0);
  ASSERT_TRUE(engine->GetKeyFieldForFilter(3, u"", key.data(), type, size, isNull, value, codePage));
  EXPECT_EQ(value, key.data() + 20);
  ASSERT_TRUE(engine->GetKeyFieldForFilter(2, u"", nullptr, type, size, isNull, value, codePage));
  EXPECT_TRUE(isNull);
  EXPECT_EQ(value, nullptr);
  EXPECT_FALSE(engine->GetKeyFieldForFilter(4, u"", key.data(), type, size, isNull, value, codePage));
  EXPECT_EQ(value, nullptr);
  EXPECT_FALSE(engine->GetKeyFieldForFilter(0, u"Blob", key.data(), type, size, isNull, value, codePage));
}

TEST_F(BlobCacheKeyEngineTest, ShowsKeysAsVariants) {
  const TKey key = MakeKey({-5, 7, 8, 0x123456789});
  EXPECT_EQ(engine->KeyAsVariant(key.data(), 3).AsInt64(), 0x123456789);
  EXPECT_EQ(engine->KeyAsVariant(key.data(), 0).AsInt64(), -5);
  EXPECT_EQ(engine->KeyAsVariant(key.data(), 1).AsInt64(), 7);
  const platform::TnxVariant all = engine->KeyAsVariant(key.data(), -1);
  ASSERT_TRUE(all.IsArray());
  ASSERT_EQ(all.VarArrayElementCount(), 4u);
  EXPECT_EQ(all.ElementAt(2).AsInt64(), 8);
  EXPECT_TRUE(engine->KeyAsVariant(nullptr, 2).IsNull());
  for (const int32_t field : {4, -2}) {
    try {
      engine->KeyAsVariant(key.data(), field);
      ADD_FAILURE() << "no error for field " << field;
    } catch (const EnxBaseException& e) {
      EXPECT_EQ(e.ErrorCode(), 9999u);
    }
  }
}

TEST_F(BlobCacheKeyEngineTest, OrdersRandomKeysAsTheirTuples) {
  const size_t count = 100000;
  std::mt19937_64 random(108);
  // Few distinct values per field, so that ties reach the later fields.
  auto pick64 = [&] {
    const int64_t values[] = {INT64_MIN, -70000000000, -1, 0, 1, 4294967296, INT64_MAX};
    return values[random() % 7];
  };
  std::vector<TTuple> tuples(count);
  for (TTuple& t : tuples)
    t = {pick64(), int32_t(random() % 5) - 2, pick64(), pick64()};
  std::vector<TKey> keys;
  for (const TTuple& t : tuples) keys.push_back(MakeKey(t));
  std::sort(keys.begin(), keys.end(),
            [&](const TKey& a, const TKey& b) { return engine->CompareKey(a.data(), b.data()) < 0; });
  std::sort(tuples.begin(), tuples.end());
  for (size_t i = 0; i < count; ++i) ASSERT_EQ(keys[i], MakeKey(tuples[i])) << "at " << i;
}

}  // namespace
}  // namespace revurov
