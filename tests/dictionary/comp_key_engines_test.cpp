#include "dictionary/comp_key_engines.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "dictionary/key_engine_fixture.h"
#include "platform/rtl_exception.h"
#include "support/exception_message.h"
#include "support/test_size.h"

namespace revurov {
namespace {

using testing::KeyEngineTest;
using testing::TestSize;
using testing::V;
using testing::VNull;

class CompKeyTest : public KeyEngineTest {
protected:
  CompKeyTest() {
    AddField(u"Id", nxtInt32);        // 0
    AddField(u"Name", nxtShortString, 20);  // 1
    AddField(u"Code", nxtNullString, 10);   // 2
    AddField(u"Other", nxtInt32);     // 3
  }
};

TEST_F(CompKeyTest, NullFlagsSitBeforeTheValuesBitPerField) {
  TnxCompKeyDescriptor& key = NewCompKey();
  key.Add(0);
  key.Add(3);
  key.Add(1);
  auto e = CompEngine(key);
  EXPECT_EQ(e->GetFieldsOffset(), 1);
  EXPECT_EQ(e->GetKeyFieldOffset(0), 1);
  EXPECT_EQ(e->GetKeyFieldOffset(1), 5);
  EXPECT_EQ(e->GetKeyFieldOffset(2), 9);
  auto rec = Record({V(1), VNull(), VNull(), V(2)});
  auto k = KeyOf(*e, rec);
  EXPECT_EQ(k[0], 0x04);  // only key field 2 (Name) is null
  EXPECT_TRUE(e->KeyContainsNulls(k.data()));
  Set(rec, 1, V(u"x"));
  k = KeyOf(*e, rec);
  EXPECT_EQ(k[0], 0x00);
  EXPECT_FALSE(e->KeyContainsNulls(k.data()));
  std::vector<uint8_t> cleared(e->KeyLength());
  e->ClearKey(cleared.data());
  EXPECT_EQ(cleared[0], 0x07);  // every key field null, no other bit
  EXPECT_TRUE(std::all_of(cleared.begin() + 1, cleared.end(), [](uint8_t b) { return b == 0; }));
}

TEST_F(CompKeyTest, NoNullKeysHoldTheValuesAlone) {
  TnxCompKeyDescriptor& key = NewCompKey(true);
  key.Add(0);
  auto e = CompEngine(key);
  EXPECT_EQ(e->ClassType().Name, u"TnxNoNullCompKeyEngine");
  EXPECT_EQ(e->KeyLength(), 4);
  EXPECT_EQ(e->GetFieldsOffset(), 0);
  auto k = KeyOf(*e, Record({V(7)}));
  int32_t v;
  std::memcpy(&v, k.data(), 4);
  EXPECT_EQ(v, 7);
  EXPECT_FALSE(e->KeyContainsNulls(k.data()));
}

TEST_F(CompKeyTest, NullPlacementFollowsTheNullBehaviour) {
  struct Row {
    TnxNullBehaviour behaviour;
    bool ascend;
    int nullVersusValue;
  };
  const Row rows[] = {{nbTop, true, -1},     {nbTop, false, -1},      {nbBottom, true, 1},
                      {nbBottom, false, 1},  {nbAsAscend, true, -1},  {nbAsAscend, false, 1}};
  for (const Row& r : rows) {
    TnxCompKeyDescriptor& key = NewCompKey();
    TnxKeyFieldDescriptor* kf = key.Add(0);
    kf->SetNullBehaviour(r.behaviour);
    kf->SetAscend(r.ascend);
    auto e = CompEngine(key);
    auto kn = KeyOf(*e, Record({VNull()}));
    auto k3 = KeyOf(*e, Record({V(3)}));
    auto k2 = KeyOf(*e, Record({V(2)}));
    EXPECT_EQ(e->CompareKey(kn.data(), k3.data()), r.nullVersusValue) << r.behaviour << r.ascend;
    EXPECT_EQ(e->CompareKey(k3.data(), kn.data()), -r.nullVersusValue) << r.behaviour << r.ascend;
    EXPECT_EQ(e->CompareKey(kn.data(), kn.data()), 0);
    EXPECT_EQ(e->CompareKey(k3.data(), k2.data()), r.ascend ? 1 : -1);
  }
}

TEST_F(CompKeyTest, FieldCountAndPartialLengthChooseWhatIsCompared) {
  TnxCompKeyDescriptor& key = NewCompKey();
  key.Add(0);
  key.Add(1);
  auto e = CompEngine(key);
  auto a = KeyOf(*e, Record({V(1), V(u"abcX")}));
  auto b = KeyOf(*e, Record({V(1), V(u"abcY")}));
  auto c = KeyOf(*e, Record({V(2), V(u"abcX")}));
  struct Row {
    const std::vector<uint8_t>* x;
    const std::vector<uint8_t>* y;
    int32_t count, partial;
    int expected;
  };
  const Row rows[] = {
      {&a, &b, 0, 0, -1},  // whole key
      {&a, &b, 1, 0, 0},   // field 0 only
      {&a, &b, 1, 3, 0},   // field 0 whole, field 1 on three characters
      {&a, &b, 1, 4, -1},
      {&a, &c, 0, 3, -1},  // field 0 partially, nothing else
      {&a, &b, 0, 3, 0},
      {&a, &b, 5, 3, 0},   // more fields than the key has: the last one partial
  };
  for (const Row& r : rows) {
    EXPECT_EQ(e->CompareKey(r.x->data(), r.y->data(), r.count, r.partial), r.expected) << r.count << "/" << r.partial;
  }
  // The same rules for records against keys and records against records.
  auto ra = Record({V(1), V(u"abcX")});
  auto rb = Record({V(1), V(u"abcY")});
  EXPECT_EQ(e->CompareKeyToRecord(a.data(), rb.data(), 0, 1, 3), 0);
  EXPECT_EQ(e->CompareKeyToRecord(a.data(), rb.data(), 0), -1);
  EXPECT_EQ(e->CompareRecord(ra.data(), 0, rb.data(), 0, 1, 3), 0);
  EXPECT_EQ(e->CompareRecord(ra.data(), rb.data()), -1);
}

TEST_F(CompKeyTest, NullFiltersExcludeRecordsUnlessIgnored) {
  TnxCompKeyDescriptor& key = NewCompKey();
  key.Add(0)->SetNullBehaviour(nbFilterNull);
  key.Add(3)->SetNullBehaviour(nbFilterNonNull);
  auto e = CompEngine(key);
  std::vector<uint8_t> k(e->KeyLength());
  auto nullId = Record({VNull(), VNull(), VNull(), VNull()});
  EXPECT_EQ(e->BuildKey(nullId.data(), k.data(), 0, false), 1u);
  EXPECT_EQ(e->BuildKey(nullId.data(), k.data(), 0, true), 0u);
  auto withOther = Record({V(1), VNull(), VNull(), V(5)});
  EXPECT_EQ(e->BuildKey(withOther.data(), k.data(), 0, false), 1u);
  auto fine = Record({V(1), VNull(), VNull(), VNull()});
  EXPECT_EQ(e->BuildKey(fine.data(), k.data(), 0, false), 0u);
  EXPECT_EQ(e->BuildKey(nullptr, k.data(), 0, true), 9986u);
}

TEST_F(CompKeyTest, KeyAsVariantGivesAValueOrAnArray) {
  TnxCompKeyDescriptor& one = NewCompKey();
  one.Add(0);
  auto e1 = CompEngine(one);
  auto k1 = KeyOf(*e1, Record({V(5)}));
  platform::TnxVariant v = e1->KeyAsVariant(k1.data(), -1);
  EXPECT_FALSE(v.IsArray());
  EXPECT_EQ(v.AsInt64(), 5);

  TnxCompKeyDescriptor& two = NewCompKey();
  two.Add(0);
  two.Add(3);
  auto e2 = CompEngine(two);
  auto k2 = KeyOf(*e2, Record({V(5), VNull(), VNull(), VNull()}));
  v = e2->KeyAsVariant(k2.data(), -1);
  ASSERT_TRUE(v.IsArray());
  EXPECT_EQ(v.VarArrayHighBound(1) - v.VarArrayLowBound(1), 1);
  EXPECT_TRUE(e2->KeyAsVariant(k2.data(), 1).IsNull());
  EXPECT_EQ(e2->KeyAsString(k2.data()), u"5, NULL");
  try {
    e2->KeyAsVariant(k2.data(), 2);
    ADD_FAILURE() << "no exception";
  } catch (const EnxBaseException& x) {
    EXPECT_EQ(x.ErrorCode(), 9999u);
  }
}

TEST_F(CompKeyTest, KeyToRecordWritesBackTheNonNullFieldsOnly) {
  TnxCompKeyDescriptor& key = NewCompKey();
  key.Add(0);
  key.Add(1);
  auto e = CompEngine(key);
  auto k = KeyOf(*e, Record({V(9), VNull(), V(u"zz"), V(4)}));
  auto back = Record({V(1), V(u"old"), V(u"old"), V(1)});
  EXPECT_EQ(e->KeyToRecord(k.data(), back.data()), 0u);
  EXPECT_EQ(fields().fsdGetFieldByIndexAsVariant(back.data(), 0).AsInt64(), 9);
  for (int32_t f : {1, 2, 3}) EXPECT_TRUE(fields().IsRecordFieldNull(f, back.data())) << f;
  EXPECT_EQ(e->KeyToRecord(nullptr, back.data()), 9986u);
}

TEST_F(CompKeyTest, FilterFieldsAreFoundByFieldAndEngineName) {
  TnxCompKeyDescriptor& key = NewCompKey();
  key.Add(0);
  key.Add(1)->SetKeyFieldEngine(u"NumbersOnly");
  auto e = CompEngine(key);
  EXPECT_EQ(e->GetKeyFieldIndex(u"name_numbersonly"), 1);
  EXPECT_EQ(e->GetKeyFieldIndex(u"Name"), -1);
  EXPECT_EQ(e->GetKeyFieldIndex(u"ID"), 0);
  auto k = KeyOf(*e, Record({V(3), V(u"A-12/3")}));
  uint16_t type = 0, size = 0, codePage = 77;
  bool isNull = true;
  const void* value = nullptr;
  ASSERT_TRUE(e->GetKeyFieldForFilter(0, u"Name_NumbersOnly", k.data(), type, size, isNull, value, codePage));
  EXPECT_EQ(type, nxtShortString);
  EXPECT_FALSE(isNull);
  EXPECT_EQ(std::string(static_cast<const char*>(value), size), "123");
  EXPECT_EQ(codePage, 0);  // no locale: no code page
  EXPECT_FALSE(e->GetKeyFieldForFilter(2, u"", k.data(), type, size, isNull, value, codePage));
}

TEST_F(CompKeyTest, AFilterOnKeyTextReportsTheComparingCodePage) {
  TnxCompKeyDescriptor& key = NewCompKey();
  TnxTextKeyFieldDescriptor& kf = AddTextKeyField(key, 1);
  kf.AddLocaleDescriptor()->SetLocale(0x0419);  // Russian: code page 1251
  auto e = CompEngine(key);
  auto k = KeyOf(*e, Record({VNull(), V(u"abc")}));
  uint16_t type = 0, size = 0, codePage = 0;
  bool isNull = true;
  const void* value = nullptr;
  ASSERT_TRUE(e->GetKeyFieldForFilter(0, u"", k.data(), type, size, isNull, value, codePage));
  EXPECT_EQ(codePage, 1251);
}

TEST_F(CompKeyTest, AnUnknownKeyFieldEngineFailsConstructionWithoutLeftovers) {
  TnxCompKeyDescriptor& key = NewCompKey();
  key.Add(0);
  key.Add(1)->SetKeyFieldEngine(u"NoSuchEngine");
  try {
    TnxBaseKeyEngine::CreateFor(key);
    ADD_FAILURE() << "no exception";
  } catch (const EnxCompositeKeyFieldEngineException& x) {
    EXPECT_EQ(x.ErrorCode(), 15503u);
    EXPECT_TRUE(testing::Contains(x.Message(), u"CompositeKeyFieldEngine \"NoSuchEngine\" is not registered"));
  }
}

TEST_F(CompKeyTest, OnlyCompositeKeyDescriptorsAreServed) {
  TnxInt64KeyDescriptor int64(nullptr);
  EXPECT_THROW(TnxCompKeyEngine::CheckValidDescriptor(int64), platform::EInvalidCast);
  EXPECT_THROW(TnxCompKeyEngine engine(int64), platform::EInvalidCast);
  TnxCompKeyDescriptor& key = NewCompKey();
  key.Add(0);
  EXPECT_NO_THROW(TnxBaseKeyEngine::CheckValidBaseFromDescriptor(key));
  key.Add(1)->SetKeyFieldEngine(u"DateOnly");  // a ShortString field
  EXPECT_THROW(TnxBaseKeyEngine::CheckValidBaseFromDescriptor(key), EnxCompositeKeyFieldEngineException);
}

// One engine serves many threads: every thread sorts with it.
TEST_F(CompKeyTest, OneEngineComparesFromManyThreads) {
  TnxCompKeyDescriptor& key = NewCompKey();
  TnxTextKeyFieldDescriptor& kf = AddTextKeyField(key, 1);
  kf.AddLocaleDescriptor()->SetLocale(0x0407);
  key.Add(0);
  auto e = CompEngine(key);
  std::vector<std::vector<uint8_t>> keys;
  std::mt19937 rng(5);
  for (int i = 0; i < 200; ++i) {
    std::u16string s;
    for (int j = 0; j < 4; ++j) s += static_cast<char16_t>(u"aAäbB"[rng() % 5]);
    keys.push_back(KeyOf(*e, Record({V(static_cast<int32_t>(rng() % 3)), V(s.c_str())})));
  }
  auto less = [&](const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    return e->CompareKey(a.data(), b.data()) < 0;
  };
  auto expected = keys;
  std::stable_sort(expected.begin(), expected.end(), less);
  std::vector<std::vector<std::vector<uint8_t>>> results(4, keys);
  std::vector<std::thread> threads;
  for (auto& r : results) threads.emplace_back([&] { std::stable_sort(r.begin(), r.end(), less); });
  for (auto& t : threads) t.join();
  for (const auto& r : results) EXPECT_EQ(r, expected);
}

// ---- the whole-key compare against the fields' own compares ----

// CompareKey(a, b) takes shortcuts (a number in front, ShortStrings a word
// at a time); CompareKey(a, b, 0, 0) asks each key field's engine. Both must
// order alike, also over stale bytes behind a ShortString's length and
// lengths past what the key holds.
class WholeKeyCompareTest : public KeyEngineTest {
protected:
  WholeKeyCompareTest() {
    AddField(u"I32", nxtInt32);            // 0
    AddField(u"I64", nxtInt64);            // 1
    AddField(u"S20", nxtShortString, 20);  // 2
    AddField(u"S5", nxtShortString, 5);    // 3
    AddField(u"S12", nxtShortString, 12);  // 4
    AddField(u"D", nxtDouble);             // 5
  }
};

TEST_F(WholeKeyCompareTest, AgreesWithTheFieldByFieldCompare) {
  struct KeyField {
    int32_t field;
    bool ascend;
  };
  struct Shape {
    const char* name;
    bool noNull;
    std::vector<KeyField> fields;
  };
  const Shape shapes[] = {
      {"int32, text", false, {{0, true}, {2, true}}},
      {"both descending", false, {{0, false}, {2, false}}},
      {"int64, text descending, int32", false, {{1, true}, {4, false}, {0, true}}},
      {"text shorter than a word", false, {{0, true}, {3, true}}},
      {"no nulls", true, {{0, true}, {2, true}}},
      {"no nulls, int64 descending", true, {{1, false}, {4, true}}},
      {"text in front", false, {{2, true}, {0, false}}},
  };
  std::mt19937 rng(117);
  for (const Shape& shape : shapes) {
    TnxCompKeyDescriptor& key = NewCompKey(shape.noNull);
    for (const KeyField& f : shape.fields) key.Add(f.field)->SetAscend(f.ascend);
    auto e = CompEngine(key);
    std::vector<std::vector<uint8_t>> keys;
    for (int k = 0; k < 120; ++k) {
      auto rec = NewRecord();
      for (const KeyField& f : shape.fields) {
        if (!shape.noNull && rng() % 6 == 0) continue;  // null
        const int64_t small = static_cast<int64_t>(rng() % 5) - 2;
        switch (f.field) {
          case 0: Set(rec, 0, V(static_cast<int32_t>(small * 1000000000))); break;
          case 1: Set(rec, 1, platform::TnxVariant::FromInt64(small * (int64_t{1} << 61))); break;
          default: {
            // Mostly 'a': long shared beginnings, differences anywhere.
            std::u16string text(rng() % (fields().FieldDescriptor(f.field)->Units() + 1), u'a');
            for (char16_t& c : text)
              if (rng() % 8 == 0) c = u'b';
            Set(rec, f.field, V(text.c_str()));
          }
        }
      }
      std::vector<uint8_t> k0 = KeyOf(*e, rec);
      for (int32_t i = 0; i < e->KeyFieldCount(); ++i) {
        const TnxCompositeKeyFieldEngine& kf = e->KeyField(i);
        if (kf.FieldType() != nxtShortString) continue;
        uint8_t* at = k0.data() + e->GetKeyFieldOffset(i);
        if (rng() % 2)
          for (int32_t b = 1 + at[0]; b < kf.KeyLength(); ++b) at[b] = static_cast<uint8_t>(rng());
        if (rng() % 10 == 0) at[0] = 255;
      }
      keys.push_back(std::move(k0));
    }
    int mismatches = 0;
    for (const auto& a : keys)
      for (const auto& b : keys) {
        const int fast = e->CompareKey(a.data(), b.data());
        const int slow = e->CompareKey(a.data(), b.data(), 0, 0);
        if ((fast > 0) - (fast < 0) != (slow > 0) - (slow < 0) && ++mismatches <= 3)
          ADD_FAILURE() << shape.name << ": " << fast << " against " << slow;
      }
  }
}

// The byte-order form a sort compares instead of the keys: its bytes must
// order as CompareKey(a, b) does and be equal exactly where the keys
// compare equal, over every null rule, both directions, stale bytes behind
// a ShortString's length and lengths past what the key holds.
TEST_F(WholeKeyCompareTest, ByteOrderFormOrdersAsTheWholeKeyCompare) {
  struct KeyField {
    int32_t field;
    bool ascend;
    TnxNullBehaviour nulls;
  };
  struct Shape {
    const char* name;
    bool noNull;
    std::vector<KeyField> fields;
  };
  const Shape shapes[] = {
      {"int32, text", false, {{0, true, nbTop}, {2, true, nbTop}}},
      {"both descending", false, {{0, false, nbAsAscend}, {2, false, nbAsAscend}}},
      {"nulls at the bottom", false, {{1, true, nbBottom}, {3, false, nbBottom}, {0, false, nbTop}}},
      {"every field", false,
       {{0, true, nbTop}, {1, false, nbBottom}, {2, true, nbAsAscend}, {3, false, nbAsAscend}, {4, true, nbTop}}},
      {"no nulls", true, {{0, true, nbTop}, {2, true, nbTop}}},
      {"no nulls, descending", true, {{1, false, nbTop}, {4, false, nbTop}, {3, true, nbTop}}},
      {"text in front", false, {{2, true, nbTop}, {0, false, nbTop}}},
  };
  std::mt19937 rng(98);
  for (const Shape& shape : shapes) {
    SCOPED_TRACE(shape.name);
    TnxCompKeyDescriptor& key = NewCompKey(shape.noNull);
    for (const KeyField& f : shape.fields) {
      TnxKeyFieldDescriptor* kf = key.Add(f.field);
      kf->SetAscend(f.ascend);
      kf->SetNullBehaviour(f.nulls);
    }
    auto e = CompEngine(key);
    const auto formLength = static_cast<size_t>(e->ByteOrderKeyLength());
    ASSERT_GT(formLength, 0u);
    std::vector<std::vector<uint8_t>> keys, forms;
    for (int k = 0; k < 150; ++k) {
      auto rec = NewRecord();
      for (const KeyField& f : shape.fields) {
        if (!shape.noNull && rng() % 5 == 0) continue;  // null
        const int64_t small = static_cast<int64_t>(rng() % 5) - 2;
        switch (f.field) {
          case 0: Set(rec, 0, V(static_cast<int32_t>(small * 1000000000))); break;
          case 1: Set(rec, 1, platform::TnxVariant::FromInt64(small * (int64_t{1} << 61))); break;
          default: {
            std::u16string text(rng() % (fields().FieldDescriptor(f.field)->Units() + 1), u'a');
            for (char16_t& c : text)
              if (rng() % 8 == 0) c = u'b';
            Set(rec, f.field, V(text.c_str()));
          }
        }
      }
      std::vector<uint8_t> k0 = KeyOf(*e, rec);
      for (int32_t i = 0; i < e->KeyFieldCount(); ++i) {
        const TnxCompositeKeyFieldEngine& kf = e->KeyField(i);
        if (kf.FieldType() != nxtShortString) continue;
        uint8_t* at = k0.data() + e->GetKeyFieldOffset(i);
        // A zero character meets the padding of a shorter text.
        if (at[0] > 0 && rng() % 4 == 0) at[1 + rng() % at[0]] = 0;
        if (rng() % 2)
          for (int32_t b = 1 + std::min<int32_t>(at[0], kf.KeyLength() - 1); b < kf.KeyLength(); ++b)
            at[b] = static_cast<uint8_t>(rng());
        if (rng() % 10 == 0) at[0] = 255;
      }
      std::vector<uint8_t> form(formLength + 1, 0xA5);
      e->BuildByteOrderKey(k0.data(), form.data());
      EXPECT_EQ(form.back(), 0xA5) << "written past the form";
      form.pop_back();
      keys.push_back(std::move(k0));
      forms.push_back(std::move(form));
    }
    int mismatches = 0;
    for (size_t a = 0; a < keys.size(); ++a)
      for (size_t b = 0; b < keys.size(); ++b) {
        const int want = e->CompareKey(keys[a].data(), keys[b].data());
        const int got = std::memcmp(forms[a].data(), forms[b].data(), formLength);
        if ((want > 0) - (want < 0) != (got > 0) - (got < 0) && ++mismatches <= 3)
          ADD_FAILURE() << a << " against " << b << ": " << want << ", forms " << got;
      }
  }
}

TEST_F(WholeKeyCompareTest, ByteOrderFormIsOnlyOfferedWhereBytesCanOrder) {
  TnxCompKeyDescriptor& withDouble = NewCompKey();
  withDouble.Add(0);
  withDouble.Add(5);
  EXPECT_EQ(CompEngine(withDouble)->ByteOrderKeyLength(), 0);
  TnxCompKeyDescriptor& caseBlind = NewCompKey();
  caseBlind.Add(0);
  AddTextKeyField(caseBlind, 2).SetIgnoreCase(true);
  EXPECT_EQ(CompEngine(caseBlind)->ByteOrderKeyLength(), 0);
}

// ---- every field type, both directions, nulls: CompareKey against a model ----

struct ModelField {
  TnxFieldType type;
  int32_t units;
};

const ModelField kModelFields[] = {
    {nxtBoolean, 0}, {nxtInt8, 0},     {nxtInt16, 0},       {nxtInt32, 0},       {nxtInt64, 0},
    {nxtByte, 0},    {nxtWord16, 0},   {nxtWord32, 0},      {nxtSingle, 0},      {nxtDouble, 0},
    {nxtCurrency, 0}, {nxtShortString, 5}, {nxtNullString, 5}, {nxtWideString, 5}, {nxtByteArray, 3},
    {nxtChar, 0},    {nxtWideChar, 0}, {nxtGuid, 0},        {nxtExtended, 0},    {nxtDateTime, 0},
    {nxtDate, 0},    {nxtTime, 0},     {nxtAutoInc, 0},     {nxtRefNr, 0},
};
constexpr int kModelCount = static_cast<int>(std::size(kModelFields));

// A field's value as the model orders it: a number (NaN last), or bytes
// or code units compared lexicographically.
struct ModelValue {
  bool isNull = false;
  long double number = 0;
  std::u16string units;
};

int ModelCompare(const ModelValue& a, const ModelValue& b, bool aText) {
  if (aText) return a.units < b.units ? -1 : (b.units < a.units ? 1 : 0);
  const bool na = std::isnan(a.number), nb = std::isnan(b.number);
  if (na || nb) return na == nb ? 0 : (na ? 1 : -1);
  return a.number < b.number ? -1 : (b.number < a.number ? 1 : 0);
}

class CompKeyModelTest : public KeyEngineTest {};

TEST_F(CompKeyModelTest, SortedKeysAgreeWithSortedTuples) {
  std::mt19937_64 rng(20);
  for (const ModelField& f : kModelFields)
    AddField(platform::Format(u"F%d", {fields().FieldCount()}), f.type, f.units);
  TnxCompKeyDescriptor& key = NewCompKey();
  std::vector<bool> ascend(kModelCount);
  std::vector<int> invert(kModelCount);
  const TnxNullBehaviour behaviours[] = {nbTop, nbBottom, nbAsAscend};
  for (int i = 0; i < kModelCount; ++i) {
    TnxKeyFieldDescriptor* kf = key.Add(i);
    ascend[i] = rng() % 2;
    const TnxNullBehaviour nb = behaviours[rng() % 3];
    kf->SetAscend(ascend[i]);
    kf->SetNullBehaviour(nb);
    invert[i] = nb == nbBottom || (nb == nbAsAscend && !ascend[i]) ? -1 : 1;
  }
  auto e = CompEngine(key);

  const int n = TestSize(20000, 1000000);
  std::vector<std::vector<ModelValue>> tuples(static_cast<size_t>(n));
  std::vector<std::vector<uint8_t>> keys(static_cast<size_t>(n));
  std::vector<uint8_t> rec(static_cast<size_t>(fields().RecordLength()));
  std::vector<uint8_t> bytes;
  const char16_t kChars[] = u"aAbz";
  for (int r = 0; r < n; ++r) {
    fields().InitRecord(rec.data());
    auto& tuple = tuples[static_cast<size_t>(r)];
    tuple.resize(kModelCount);
    for (int i = 0; i < kModelCount; ++i) {
      ModelValue& m = tuple[i];
      const TnxFieldDescriptor& fd = *fields().FieldDescriptor(i);
      if (rng() % 6 == 0) {
        m.isNull = true;
        continue;
      }
      bytes.assign(static_cast<size_t>(fd.Length()), 0);
      const int64_t small = static_cast<int64_t>(rng() % 5) - 2;  // -2 to 2: many ties
      auto put = [&](auto v) {
        std::memcpy(bytes.data(), &v, sizeof v);
        m.number = static_cast<long double>(v);
      };
      switch (kModelFields[i].type) {
        case nxtBoolean: put(static_cast<uint8_t>(small > 0)); break;
        case nxtInt8: put(static_cast<int8_t>(small * 60)); break;
        case nxtInt16: put(static_cast<int16_t>(small * 16000)); break;
        case nxtInt32: case nxtDate: case nxtTime: put(static_cast<int32_t>(small * 1000000000)); break;
        case nxtInt64: case nxtCurrency: case nxtRefNr: put(small * (int64_t{1} << 61)); break;
        case nxtByte: put(static_cast<uint8_t>((small + 2) * 60)); break;
        case nxtWord16: put(static_cast<uint16_t>((small + 2) * 16000)); break;
        case nxtWord32: case nxtAutoInc: put(static_cast<uint32_t>((small + 2) * 1000000000u)); break;
        case nxtSingle: put(small == 2 ? std::nanf("") : static_cast<float>(small) * 0.5f); break;
        case nxtDouble: case nxtDateTime: put(small == 2 ? std::nan("") : static_cast<double>(small) / 3); break;
        case nxtExtended: {
          const long double v = small == 2 ? std::nanl("") : static_cast<long double>(small) / 7;
          std::memcpy(bytes.data(), &v, 10);
          m.number = v;
          break;
        }
        case nxtChar: case nxtWideChar: {
          const char16_t c = kChars[rng() % 4];
          bytes[0] = static_cast<uint8_t>(c);
          m.units = std::u16string(1, c);
          break;
        }
        case nxtShortString: case nxtNullString: case nxtWideString: {
          const size_t len = rng() % 4;
          for (size_t j = 0; j < len; ++j) m.units += kChars[rng() % 4];
          if (kModelFields[i].type == nxtShortString) {
            bytes[0] = static_cast<uint8_t>(len);
            for (size_t j = 0; j < len; ++j) bytes[1 + j] = static_cast<uint8_t>(m.units[j]);
          } else if (kModelFields[i].type == nxtNullString) {
            for (size_t j = 0; j < len; ++j) bytes[j] = static_cast<uint8_t>(m.units[j]);
          } else {
            std::memcpy(bytes.data(), m.units.data(), len * 2);
          }
          break;
        }
        case nxtByteArray: case nxtGuid:
          for (size_t j = 0; j < bytes.size(); ++j) {
            bytes[j] = static_cast<uint8_t>(j < 2 ? rng() % 3 * 100 : 0);
            m.units += static_cast<char16_t>(bytes[j]);
          }
          break;
        default: break;
      }
      fields().SetRecordField(i, rec.data(), bytes.data());
    }
    keys[static_cast<size_t>(r)] = KeyOf(*e, rec);
  }

  auto isText = [](int i) {
    switch (kModelFields[i].type) {
      case nxtChar: case nxtWideChar: case nxtShortString: case nxtNullString: case nxtWideString:
      case nxtByteArray: case nxtGuid:
        return true;
      default: return false;
    }
  };
  auto modelCompare = [&](const std::vector<ModelValue>& a, const std::vector<ModelValue>& b) {
    for (int i = 0; i < kModelCount; ++i) {
      if (a[i].isNull || b[i].isNull) {
        if (a[i].isNull && b[i].isNull) continue;
        return a[i].isNull ? -invert[i] : invert[i];
      }
      int c = ModelCompare(a[i], b[i], isText(i));
      if (!ascend[i]) c = -c;
      if (c) return c;
    }
    return 0;
  };
  std::vector<int> byModel(static_cast<size_t>(n)), byKey(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) byModel[i] = byKey[i] = i;
  std::sort(byModel.begin(), byModel.end(), [&](int a, int b) { return modelCompare(tuples[a], tuples[b]) < 0; });
  std::sort(byKey.begin(), byKey.end(),
            [&](int a, int b) { return e->CompareKey(keys[a].data(), keys[b].data()) < 0; });
  int mismatches = 0;
  for (int i = 0; i < n && mismatches < 5; ++i) {
    if (modelCompare(tuples[byModel[i]], tuples[byKey[i]]) != 0) {
      ADD_FAILURE() << "position " << i << " differs";
      ++mismatches;
    }
  }
  // The order is total: the neighbours of the sorted keys never go down.
  for (int i = 1; i < n; ++i)
    ASSERT_LE(e->CompareKey(keys[byKey[i - 1]].data(), keys[byKey[i]].data()), 0) << i;
}

}  // namespace
}  // namespace revurov
