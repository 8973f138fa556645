#include "storage/record_compression.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "dictionary/data_dictionary.h"
#include "dictionary/field_descriptor.h"
#include "dictionary/field_types.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/storage_descriptors.h"
#include "lowlevel/errors/error_codes.h"
#include "storage/startup.h"
#include "support/test_size.h"

namespace revurov {
namespace {

struct TOutcome {
  uint32_t code = 0;
  std::u16string text;
  bool raised = false;
};

TOutcome Outcome(const std::function<void()>& aCall) {
  TOutcome o;
  try {
    aCall();
  } catch (const EnxBaseException& e) {
    o = {e.ErrorCode(), std::u16string(e.ErrorString()), true};
  }
  return o;
}

// A table with a heap record descriptor and its compression descriptor.
class RecordCompressionTest : public ::testing::Test {
protected:
  RecordCompressionTest() {
    record_ = static_cast<TnxHeapRecordDescriptor*>(dict_.AddRecordDescriptor(&TnxHeapRecordDescriptor::ClassInfo()));
    compression_ = record_->AddRecordCompressionDescriptor();
  }
  TnxFieldsDescriptor& Fields() { return dict_.FieldsDescriptor(); }
  // One field of every type; strings of several lengths.
  void AddEveryType() {
    for (int t = 0; t < nxFieldTypeCount; ++t) {
      const auto type = static_cast<TnxFieldType>(t);
      int32_t units = 0, decimals = 0;
      switch (type) {
        case nxtShortString: case nxtNullString: case nxtWideString: units = 30; break;
        case nxtByteArray: units = 7; break;
        case nxtBCD: case nxtFmtBCD: units = 10; decimals = 2; break;
        default: break;
      }
      std::u16string name = u"F";
      for (char c : std::to_string(t)) name += static_cast<char16_t>(c);
      Fields().AddField(name, u"", type, units, decimals, false);
    }
    Fields().AddField(u"Short1", u"", nxtShortString, 1, 0, false);
    Fields().AddField(u"Null1", u"", nxtNullString, 1, 0, false);
    Fields().AddField(u"Wide1", u"", nxtWideString, 1, 0, false);
  }
  std::vector<uint8_t> NewRecord() {
    std::vector<uint8_t> r(static_cast<size_t>(Fields().RecordLength()));
    Fields().InitRecord(r.data());
    return r;
  }

  TnxStorageStartupGuard storage_;
  TnxDataDictionary dict_;
  TnxHeapRecordDescriptor* record_ = nullptr;
  TnxBaseRecordCompressionDescriptor* compression_ = nullptr;
};

TEST_F(RecordCompressionTest, EnginesAreChosenByName) {
  Fields().AddField(u"A", u"", nxtInt32, 0, 0, false);
  auto null = TnxBaseRecordCompressionEngine::CreateEngine(nullptr, 47005);
  EXPECT_EQ(&null->ClassType(), &TnxNullRecordCompressionEngine::ClassInfo());
  EXPECT_EQ(null->bseID, 0);
  std::vector<uint8_t> r = NewRecord(), out(r.size(), 0xEE);
  EXPECT_EQ(null->CompressRecord(r.data(), out.data()), 0);
  EXPECT_EQ(out, std::vector<uint8_t>(r.size(), 0xEE));
  TOutcome o = Outcome([&] { null->DecompressRecord(r.data(), 4, out.data()); });
  EXPECT_EQ(o.code, nxeCapabilityNotSupported);
  EXPECT_EQ(o.text, u"DecompressRecord is not supported by TnxNullRecordCompressionEngine");

  struct Case {
    std::u16string_view name;
    int32_t compressType;
    const TnxRecordCompressionEngineClass* cls;
    TOutcome outcome;
  };
  const Case cases[] = {
      {u"Smart", 0, &TnxSmartRecordCompressionEngine::ClassInfo(), {}},
      {u"smart", 0, &TnxSmartRecordCompressionEngine::ClassInfo(), {}},
      {u"Null", 0, &TnxNullRecordCompressionEngine::ClassInfo(), {}},
      {u"Compressor", 11, &TnxCompressorRecordCompressionEngine::ClassInfo(), {}},
      {u"Compressor", 19, &TnxCompressorRecordCompressionEngine::ClassInfo(), {}},
      {u"Compressor", 0, nullptr, {0, u"Unknown CompressType \"0\"", true}},
      {u"Compressor", 250, nullptr, {0, u"Unknown CompressType \"250\"", true}},
      {u"Zip", 0, nullptr, {nxeSubEngineNotSupported, u"Unknown RecordCompression engine: \"Zip\"", true}},
  };
  compression_->SetID(9);
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name.begin(), c.name.end()) + " " + std::to_string(c.compressType));
    compression_->SetRecordCompressionEngine(c.name);
    compression_->SetCompressType(c.compressType);
    std::unique_ptr<TnxBaseRecordCompressionEngine> engine;
    const TOutcome got = Outcome([&] { engine = TnxBaseRecordCompressionEngine::CreateEngine(compression_, 47005); });
    EXPECT_EQ(got.raised, c.outcome.raised);
    EXPECT_EQ(got.code, c.outcome.code);
    EXPECT_EQ(got.text, c.outcome.text);
    if (!c.cls) continue;
    ASSERT_NE(engine, nullptr);
    EXPECT_EQ(&engine->ClassType(), c.cls);
    EXPECT_EQ(engine->bseID, 9);
    EXPECT_EQ(engine->bseTableVersion, 47005);
    EXPECT_EQ(engine->brceDescriptor, compression_);
    if (c.compressType != 0) {
      auto& compressor = static_cast<TnxCompressorRecordCompressionEngine&>(*engine);
      EXPECT_EQ(compressor.srceCompressor, nxCompressorClasses[static_cast<size_t>(c.compressType)]);
      EXPECT_EQ(compressor.srceRecordLength, static_cast<uint32_t>(Fields().RecordLength()));
    }
  }
  TnxBaseRecordCompressionEngine::CheckValidBaseFromDescriptor(nullptr);
  compression_->SetRecordCompressionEngine(u"Zip");
  EXPECT_EQ(Outcome([&] { TnxBaseRecordCompressionEngine::CheckValidBaseFromDescriptor(compression_); }).code,
            nxeSubEngineNotSupported);
}

TEST_F(RecordCompressionTest, SmartFormOfStringsAndNulls) {
  Fields().AddField(u"Short", u"", nxtShortString, 100, 0, false);
  Fields().AddField(u"Null", u"", nxtNullString, 50, 0, false);
  Fields().AddField(u"Wide", u"", nxtWideString, 10, 0, false);
  for (int i = 0; i < 6; ++i) Fields().AddField(u"I" + std::u16string(1, u'0' + i), u"", nxtInt32, 0, 0, false);
  compression_->SetRecordCompressionEngine(u"Smart");
  auto engine = TnxBaseRecordCompressionEngine::CreateEngine(compression_, 47005);
  const uint32_t bitmapBytes = 2;  // 9 fields
  std::vector<uint8_t> record = NewRecord(), form(record.size()), back(record.size());
  // All null: the bitmap alone, and back to an empty record.
  ASSERT_EQ(engine->CompressRecord(record.data(), form.data()), bitmapBytes);
  engine->DecompressRecord(form.data(), bitmapBytes, back.data());
  EXPECT_EQ(back, record);

  const std::string text(20, 'x');
  uint8_t shortValue[101] = {20};
  std::memcpy(shortValue + 1, text.data(), 20);
  Fields().SetRecordField(0, record.data(), shortValue);
  EXPECT_EQ(engine->CompressRecord(record.data(), form.data()), bitmapBytes + 21);
  // Values are whole fields: 51 and 22 bytes.
  const char empty[51] = {0};
  Fields().SetRecordField(1, record.data(), empty);
  EXPECT_EQ(engine->CompressRecord(record.data(), form.data()), bitmapBytes + 21 + 1);
  const char16_t wide[11] = {u'a', u'b', 0};
  Fields().SetRecordField(2, record.data(), wide);
  const uint16_t size = engine->CompressRecord(record.data(), form.data());
  EXPECT_EQ(size, bitmapBytes + 21 + 1 + 6);
  engine->DecompressRecord(form.data(), size, back.data());
  EXPECT_EQ(back, record);
}

// A record of random values and nulls; string fields hold a string with
// its terminator, or fill their field without one.
std::vector<uint8_t> RandomRecord(TnxFieldsDescriptor& aFields, std::mt19937& aRng) {
  std::vector<uint8_t> r(static_cast<size_t>(aFields.RecordLength()));
  aFields.InitRecord(r.data());
  for (int32_t i = 0; i < aFields.FieldCount(); ++i) {
    if (aRng() % 3 == 0) continue;
    const TnxFieldDescriptor& f = *aFields.FieldDescriptor(i);
    uint8_t* at = r.data() + f.Offset();
    const uint32_t length = static_cast<uint32_t>(f.Length());
    auto nonZero = [&] { return static_cast<uint8_t>(1 + aRng() % 255); };
    switch (f.FieldType()) {
      case nxtShortString: {
        const uint32_t n = aRng() % length;
        at[0] = static_cast<uint8_t>(n);
        for (uint32_t k = 1; k <= n; ++k) at[k] = static_cast<uint8_t>(aRng());
        break;
      }
      case nxtNullString: {
        const uint32_t n = aRng() % 4 == 0 ? length : aRng() % length;
        for (uint32_t k = 0; k < n; ++k) at[k] = nonZero();
        break;
      }
      case nxtWideString: {
        const uint32_t chars = length / 2;
        const uint32_t n = aRng() % 4 == 0 ? chars : aRng() % chars;
        for (uint32_t k = 0; k < n; ++k) {
          at[2 * k] = nonZero();
          at[2 * k + 1] = static_cast<uint8_t>(aRng());
        }
        break;
      }
      default:
        for (uint32_t k = 0; k < length; ++k) at[k] = static_cast<uint8_t>(aRng());
        break;
    }
    aFields.SetRecordFieldNull(i, r.data(), false);
  }
  return r;
}

TEST_F(RecordCompressionTest, SmartRoundTripsRandomRecords) {
  AddEveryType();
  compression_->SetRecordCompressionEngine(u"Smart");
  auto engine = TnxBaseRecordCompressionEngine::CreateEngine(compression_, 47005);
  std::mt19937 rng(127);
  const size_t length = static_cast<size_t>(Fields().RecordLength());
  for (int round = 0; round < testing::TestSize(3000, 100000); ++round) {
    const std::vector<uint8_t> record = RandomRecord(Fields(), rng);
    std::vector<uint8_t> form(length, 0xCC);
    const uint16_t size = engine->CompressRecord(record.data(), form.data());
    ASSERT_LE(size, length);
    // Exactly the stored bytes, so a read past them is seen by ASan.
    const std::vector<uint8_t> stored(form.begin(), form.begin() + size);
    std::vector<uint8_t> back(length, 0xDD);
    engine->DecompressRecord(stored.data(), size, back.data());
    ASSERT_EQ(back, record) << round;
  }
}

TEST_F(RecordCompressionTest, DamagedSmartFormsGiveOnly8962) {
  AddEveryType();
  compression_->SetRecordCompressionEngine(u"Smart");
  auto engine = TnxBaseRecordCompressionEngine::CreateEngine(compression_, 47005);
  std::mt19937 rng(8962);
  const size_t length = static_cast<size_t>(Fields().RecordLength());
  int damaged = 0;
  for (int round = 0; round < testing::TestSize(500, 20000); ++round) {
    const std::vector<uint8_t> record = RandomRecord(Fields(), rng);
    std::vector<uint8_t> form(length);
    const uint16_t size = engine->CompressRecord(record.data(), form.data());
    std::vector<uint8_t> back(length);
    // Every shorter form misses a part of some field.
    const uint16_t cut = static_cast<uint16_t>(rng() % size);
    const std::vector<uint8_t> truncated(form.begin(), form.begin() + cut);
    EXPECT_EQ(Outcome([&] { engine->DecompressRecord(truncated.data(), cut, back.data()); }).code, nxeCorruptFile);
    // Hits anywhere: a valid other record or 8962, never a read outside.
    std::vector<uint8_t> mutated(form.begin(), form.begin() + size);
    for (int hits = 1 + static_cast<int>(rng() % 3); hits > 0; --hits)
      mutated[rng() % size] = static_cast<uint8_t>(rng());
    const TOutcome o = Outcome([&] { engine->DecompressRecord(mutated.data(), size, back.data()); });
    ASSERT_TRUE(!o.raised || o.code == nxeCorruptFile) << o.code;
    damaged += o.raised;
  }
  EXPECT_GT(damaged, 0);
}

TEST_F(RecordCompressionTest, CompressorRoundTripsThroughLz4) {
  AddEveryType();
  compression_->SetRecordCompressionEngine(u"Compressor");
  compression_->SetCompressType(11);
  auto engine = TnxBaseRecordCompressionEngine::CreateEngine(compression_, 47005);
  std::mt19937 rng(4);
  const size_t length = static_cast<size_t>(Fields().RecordLength());
  // Mostly nulls and short strings: a record with room to shrink.
  std::vector<uint8_t> record = NewRecord();
  Fields().SetRecordFieldNull(0, record.data(), false);
  std::vector<uint8_t> form(length);
  const uint16_t size = engine->CompressRecord(record.data(), form.data());
  ASSERT_GT(size, 0);
  ASSERT_LT(size, length);
  std::vector<uint8_t> back(length, 0xAA);
  const std::vector<uint8_t> stored(form.begin(), form.begin() + size);
  engine->DecompressRecord(stored.data(), size, back.data());
  EXPECT_EQ(back, record);
  // Random bytes do not shrink: the caller stores them as they are.
  std::vector<uint8_t> noise(length);
  for (auto& b : noise) b = static_cast<uint8_t>(rng());
  EXPECT_EQ(engine->CompressRecord(noise.data(), form.data()), 0);
  // A damaged form is refused, not taken for a record.
  std::vector<uint8_t> cut(stored.begin(), stored.end() - 1);
  EXPECT_EQ(Outcome([&] { engine->DecompressRecord(cut.data(), static_cast<uint16_t>(cut.size()), back.data()); }).code,
            nxeCorruptFile);
}

}  // namespace
}  // namespace revurov
