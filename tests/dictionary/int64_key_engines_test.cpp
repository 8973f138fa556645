#include "dictionary/int64_key_engines.h"

#include <gtest/gtest.h>

#include <cstring>

#include "dictionary/key_descriptors.h"
#include "dictionary/key_engine_fixture.h"
#include "lowlevel/errors/exceptions.h"

namespace revurov {
namespace {

using testing::KeyEngineTest;

class Int64KeyTest : public KeyEngineTest {
protected:
  static std::vector<uint8_t> Bytes(int64_t v) {
    std::vector<uint8_t> b(8);
    std::memcpy(b.data(), &v, 8);
    return b;
  }
  TnxInt64KeyDescriptor int64Key{nullptr};
  TnxRefKeyDescriptor refKey{nullptr};
};

TEST_F(Int64KeyTest, SignedOrderWhateverFieldCountsSay) {
  auto e = TnxBaseKeyEngine::CreateFor(int64Key);
  EXPECT_EQ(e->KeyLength(), 8);
  const auto minus1 = Bytes(-1), zero = Bytes(0), big = Bytes(INT64_MAX);
  EXPECT_EQ(e->CompareKey(minus1.data(), zero.data()), -1);
  EXPECT_EQ(e->CompareKey(big.data(), zero.data(), 3, 2), 1);
  EXPECT_EQ(e->CompareKeyToRecord(minus1.data(), zero.data(), 99), -1);
  EXPECT_EQ(e->CompareRecord(big.data(), 1, minus1.data(), 2), 1);
  std::vector<uint8_t> k(8, 0xAA);
  EXPECT_EQ(e->BuildKey(minus1.data(), k.data(), 0, false), 0u);
  EXPECT_EQ(k, minus1);
  EXPECT_EQ(e->KeyAsVariant(k.data(), 0).AsInt64(), -1);
  EXPECT_EQ(e->KeyToRecord(k.data(), k.data()), 12289u);
  EXPECT_THROW(e->KeyAsVariant(k.data(), 1), EnxBaseException);
}

TEST_F(Int64KeyTest, RefKeysAreTheReferenceNumbers) {
  auto e = TnxBaseKeyEngine::CreateFor(refKey);
  EXPECT_EQ(e->ClassType().Name, u"TnxRefKeyEngine");
  const auto a = Bytes(111), b = Bytes(-5);
  EXPECT_EQ(e->CompareRecord(a.data(), 5, b.data(), 7), -1);
  EXPECT_EQ(e->CompareRecord(a.data(), b.data()), 0);
  std::vector<uint8_t> k(8);
  EXPECT_EQ(e->BuildKey(a.data(), k.data(), 42, false), 0u);
  EXPECT_EQ(k, Bytes(42));
  EXPECT_EQ(e->CompareKeyToRecord(k.data(), b.data(), 41), 1);
  EXPECT_EQ(e->CompareKeyToRecord(k.data(), b.data(), 42, 1, 0), 0);
}

TEST_F(Int64KeyTest, FilterFieldsByNameInAnyCaseOrIndexZero) {
  auto ref = TnxBaseKeyEngine::CreateFor(refKey);
  auto int64 = TnxBaseKeyEngine::CreateFor(int64Key);
  const auto k = Bytes(3);
  struct Row {
    TnxBaseKeyEngine* engine;
    int32_t index;
    const char16_t* name;
    bool found;
  };
  const Row rows[] = {
      {ref.get(), 0, u"rEfNr", true},  {ref.get(), 5, u"REFNR", true}, {ref.get(), 1, u"", false},
      {ref.get(), 0, u"", true},       {ref.get(), 0, u"Int64", false}, {int64.get(), 0, u"int64", true},
  };
  for (const Row& r : rows) {
    uint16_t type = 0, size = 9, codePage = 9;
    bool isNull = true;
    const void* value = nullptr;
    ASSERT_EQ(r.engine->GetKeyFieldForFilter(r.index, r.name, k.data(), type, size, isNull, value, codePage), r.found)
        << r.index;
    if (!r.found) continue;
    EXPECT_EQ(type, nxtInt64);
    EXPECT_EQ(size, 0);
    EXPECT_FALSE(isNull);
    EXPECT_EQ(value, k.data());
    EXPECT_EQ(codePage, 0);
  }
  EXPECT_EQ(ref->GetKeyFieldIndex(u"refnr"), 0);
  EXPECT_EQ(ref->GetKeyFieldIndex(u"x"), -1);
  EXPECT_EQ(ref->GetKeyFieldEngine(3)->GetName(), u"RefNr");
}

}  // namespace
}  // namespace revurov
