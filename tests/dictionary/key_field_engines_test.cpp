#include "dictionary/key_field_engines.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "dictionary/key_engine_fixture.h"
#include "platform/date_time.h"
#include "platform/locale.h"
#include "platform/nls.h"
#include "support/exception_message.h"
#include "support/test_size.h"

namespace revurov {
namespace {

using testing::KeyEngineTest;
using testing::TestSize;
using testing::V;
using testing::VNull;

// A one-field composite key over a new field; values go through records.
class KeyFieldTest : public KeyEngineTest {
protected:
  TnxKeyFieldDescriptor& KeyOver(TnxFieldType aType, int32_t aUnits = 0, bool aText = false) {
    const int32_t f = fields().FieldCount();
    AddField(platform::Format(u"F%d", {f}), aType, aUnits);
    key_ = &NewCompKey();
    field_ = f;
    return aText ? AddTextKeyField(*key_, f) : *key_->Add(f);
  }
  void Open() {
    engine_ = CompEngine(*key_);
    kfe_ = &engine_->KeyField(0);
  }
  std::vector<uint8_t> RecordWith(const platform::TnxVariant& aValue) {
    auto r = NewRecord();
    Set(r, field_, aValue);
    return r;
  }
  // The key field's value inside a key built from aValue.
  std::vector<uint8_t> ValueKey(const platform::TnxVariant& aValue) {
    auto k = KeyOf(*engine_, RecordWith(aValue));
    return std::vector<uint8_t>(k.begin() + engine_->GetFieldsOffset(), k.end());
  }
  int Compare(const platform::TnxVariant& a, const platform::TnxVariant& b) {
    auto ka = ValueKey(a), kb = ValueKey(b);
    return kfe_->CompareKey(*kfe_, ka.data(), kb.data());
  }
  int Partial(const platform::TnxVariant& a, const platform::TnxVariant& b, int32_t n) {
    auto ka = ValueKey(a), kb = ValueKey(b);
    return kfe_->PartialCompareKey(*kfe_, ka.data(), kb.data(), n);
  }

  TnxCompKeyDescriptor* key_ = nullptr;
  int32_t field_ = 0;
  std::unique_ptr<TnxCompKeyEngine> engine_;
  TnxCompositeKeyFieldEngine* kfe_ = nullptr;
};

TEST_F(KeyFieldTest, ShortKeyCharsKeepTheFirstCharacters) {
  KeyOver(nxtShortString, 20).SetOverrideLengthChars(5);
  Open();
  EXPECT_EQ(kfe_->KeyLength(), 6);
  EXPECT_FALSE(kfe_->KeySameAsRecordFormat);
  EXPECT_EQ(Compare(V(u"abcdeX"), V(u"abcdeY")), 0);
  EXPECT_EQ(Compare(V(u"abcd"), V(u"abcde")), -1);
  auto ra = RecordWith(V(u"abcdeX")), rb = RecordWith(V(u"abcdeY"));
  EXPECT_EQ(engine_->CompareRecord(ra.data(), rb.data()), 0);
  // A key that is not the record's bytes cannot go back.
  auto k = KeyOf(*engine_, ra);
  EXPECT_EQ(engine_->KeyToRecord(k.data(), rb.data()), 12289u);
}

TEST_F(KeyFieldTest, DescendingReversesTheOrder) {
  KeyOver(nxtInt32).SetAscend(false);
  Open();
  EXPECT_EQ(Compare(V(3), V(2)), -1);
  EXPECT_EQ(Compare(V(2), V(3)), 1);
  EXPECT_TRUE(kfe_->KeySameAsRecordFormat);
  EXPECT_EQ(kfe_->CompareFieldDirect, kfe_->CompareKey);
}

TEST_F(KeyFieldTest, CaseInsensitiveByteOrderFoldsAsciiOnly) {
  struct Row {
    TnxFieldType type;
    const char16_t *a, *b;
    int expected;
  };
  const Row rows[] = {
      {nxtNullString, u"abc", u"ABC", 0},   {nxtNullString, u"abd", u"ABC", 1},
      {nxtShortString, u"abc", u"ABC", 0},  {nxtShortString, u"ab", u"ABC", -1},
      {nxtWideString, u"abc", u"ABC", 0},   {nxtWideString, u"\u00e4", u"\u00c4", 1},
  };
  for (const Row& r : rows) {
    static_cast<TnxTextKeyFieldDescriptor&>(KeyOver(r.type, 10, true)).SetIgnoreCase(true);
    Open();
    EXPECT_TRUE(kfe_->UseByteOrder() || r.type == nxtWideString);
    if (!kfe_->UseByteOrder()) continue;  // wide text under the root collation
    EXPECT_EQ(Compare(V(r.a), V(r.b)), r.expected) << r.type << " " << static_cast<int>(r.a[0]);
  }
}

TEST_F(KeyFieldTest, PartialLengthsAndSentinels) {
  struct Row {
    TnxFieldType type;
    uint32_t locale;
    const char16_t *a, *b;
    int32_t partial;
    int expected;
  };
  const Row rows[] = {
      {nxtNullString, 0, u"ab", u"abcd", nxPartialLenOfFirst, 0},
      {nxtNullString, 0, u"abcd", u"ab", nxPartialLenOfSecond, 0},
      {nxtNullString, 0, u"abcd", u"ab", nxPartialLenOfFirst, 1},
      {nxtShortString, 0, u"abX", u"abY", 2, 0},
      {nxtShortString, 0, u"abX", u"abY", 3, -1},
      {nxtWideString, 0, u"ab", u"abcd", nxPartialLenOfFirst, 0},
      // Under a multi-byte code page a length covering both values
      // compares them whole.
      {nxtShortString, 0x0411, u"abc", u"abd", 10, -1},
      {nxtShortString, 0x0411, u"abc", u"abd", 2, 0},
      {nxtNullString, 0x0407, u"ab", u"abcd", nxPartialLenOfFirst, 0},
  };
  for (const Row& r : rows) {
    TnxKeyFieldDescriptor& kf = KeyOver(r.type, 10, true);
    if (r.locale) kf.AddLocaleDescriptor()->SetLocale(r.locale);
    Open();
    ASSERT_NE(kfe_->PartialCompareKey, nullptr);
    EXPECT_EQ(Partial(V(r.a), V(r.b), r.partial), r.expected) << r.type << " " << r.locale << " " << r.partial;
  }
}

TEST_F(KeyFieldTest, NumbersOnlyKeepsTheDigits) {
  for (TnxFieldType type : {nxtShortString, nxtNullString, nxtWideString}) {
    KeyOver(type, 10).SetKeyFieldEngine(u"NumbersOnly");
    Open();
    auto k = KeyOf(*engine_, RecordWith(V(u"A-12/3")));
    EXPECT_EQ(engine_->KeyAsVariant(k.data(), 0).AsString(), u"123") << type;
    EXPECT_FALSE(kfe_->KeySameAsRecordFormat);
    auto other = RecordWith(V(u"1x23"));
    EXPECT_EQ(engine_->CompareKeyToRecord(k.data(), other.data(), 0), 0);
  }
}

TEST_F(KeyFieldTest, DateOnlyEnginesReduceToADay) {
  // 17 March 2021 15:30 as milliseconds since day 1.
  const double day = platform::EncodeDate(2021, 3, 17) + platform::DateDelta;
  const double value = day * platform::MSecsPerDay + 15.5 * 3600000;
  struct Row {
    const char16_t* engine;
    double expectedDay;
  };
  const Row rows[] = {
      {u"DateOnly", day},
      {u"DateOnlyMonth", platform::EncodeDate(2021, 3, 1) + platform::DateDelta},
      {u"DateOnlyYear", platform::EncodeDate(2021, 1, 1) + platform::DateDelta},
  };
  for (const Row& r : rows) {
    KeyOver(nxtDateTime).SetKeyFieldEngine(r.engine);
    Open();
    auto rec = NewRecord();
    fields().SetRecordField(field_, rec.data(), &value);
    auto k = KeyOf(*engine_, rec);
    double got;
    std::memcpy(&got, k.data() + engine_->GetFieldsOffset(), 8);
    EXPECT_EQ(got, r.expectedDay * platform::MSecsPerDay) << std::string(r.engine, r.engine + 5);
  }
  KeyOver(nxtDateTime).SetKeyFieldEngine(u"DateOnlyWeek");
  Open();
  const auto& week = static_cast<const TnxDateOnlyProcessCKFE&>(*kfe_);
  EXPECT_EQ(week.ProcessDate(9), 8);
  EXPECT_EQ(week.ProcessDate(7), 1);
  EXPECT_EQ(week.ProcessDate(15), 15);
}

TEST_F(KeyFieldTest, RegistryAnswersByNameAndType) {
  struct Row {
    const char16_t* name;
    TnxFieldType type;
    bool expected;
  };
  const Row rows[] = {
      {u"", nxtInt32, true},           {u"", nxtBlob, false},       {u"NumbersOnly", nxtInt32, false},
      {u"numbersonly", nxtWideString, true}, {u"DateOnlyWeek", nxtDateTime, true}, {u"Nothing", nxtInt32, false},
  };
  for (const Row& r : rows)
    EXPECT_EQ(TnxCompositeKeyFieldEngine::CheckSupportsFieldType(r.name, r.type), r.expected)
        << std::u16string_view(r.name).size() << " " << r.type;
  const std::u16string names = TnxCompositeKeyFieldEngine::RegisteredEngines();
  EXPECT_TRUE(testing::Contains(names, u"NumbersOnly"));
  EXPECT_TRUE(testing::Contains(names, u"DateOnlyYear"));
}

TEST_F(KeyFieldTest, UnsupportedTypesRaiseAtConstruction) {
  struct Row {
    TnxFieldType type;
    const char16_t* engine;
  };
  const Row rows[] = {{nxtBlob, u""}, {nxtBlobWideMemo, u""}, {nxtInt32, u"NumbersOnly"}, {nxtInt32, u"DateOnly"}};
  for (const Row& r : rows) {
    KeyOver(r.type, r.type == nxtInt32 ? 0 : 0).SetKeyFieldEngine(r.engine);
    const std::u16string msg = testing::MessageOf<EnxCompositeKeyFieldEngineException>([&] { Open(); });
    EXPECT_TRUE(testing::Contains(msg, u"not supported")) << r.type;
  }
  KeyOver(nxtBlob);
  const std::u16string msg = testing::MessageOf<EnxCompositeKeyFieldEngineException>([&] { Open(); });
  EXPECT_TRUE(testing::Contains(msg, u"FieldType \"" + std::u16string(nxFieldTypeNames[nxtBlob]) + u"\""));
}

TEST_F(KeyFieldTest, FloatingPointNaNHasOnePlace) {
  for (bool ascend : {true, false}) {
    KeyOver(nxtDouble).SetAscend(ascend);
    Open();
    const double values[] = {std::nan(""), -1.0, 0.0, 2.5, -std::nan("")};
    for (double a : values)
      for (double b : values) {
        const int c = Compare(platform::TnxVariant::FromDouble(a), platform::TnxVariant::FromDouble(b));
        int expected = std::isnan(a) || std::isnan(b) ? (std::isnan(a) == std::isnan(b) ? 0 : (std::isnan(a) ? 1 : -1))
                                                      : (a < b ? -1 : (a > b ? 1 : 0));
        if (!ascend) expected = -expected;
        EXPECT_EQ(c, expected) << a << " " << b;
      }
  }
}

// Wide text without locale orders by code unit unless its dictionary
// says otherwise; then the root collation orders it, never the process's
// locale, and its version can be stamped.
TEST_F(KeyFieldTest, WideTextWithoutLocaleIsCodeUnitsOrTheRootCollation) {
  KeyOver(nxtWideString, 10);
  Open();
  EXPECT_TRUE(kfe_->UseByteOrder());
  EXPECT_EQ(kfe_->Collator(), nullptr);
  EXPECT_EQ(kfe_->CollationVersion(), (std::array<uint8_t, 4>{}));
  EXPECT_EQ(Compare(V(u"a"), V(u"B")), 1);
  const auto root = platform::TLocaleCollator::Open(platform::LOCALE_INVARIANT, 0);
  ASSERT_NE(root, nullptr);
  EXPECT_NE(root->Version(), (std::array<uint8_t, 4>{}));
  EXPECT_EQ(root->Compare(u"a", -1, u"B", -1), -1);
  EXPECT_EQ(root->Compare(u"\u00e4", -1, u"b", -1), -1);
}

// Key text converted into the comparing code page: cut at whole
// characters, and a character that code page cannot hold is an error, not
// a substitute that would make two values one key.
TEST_F(KeyFieldTest, ConvertingKeysAreBoundedAndLossless) {
  TnxKeyFieldDescriptor& kf = KeyOver(nxtNullString, 10, true);
  fields().FieldDescriptor(field_)->AddLocaleDescriptor()->SetOverrideStorageCodepage(65001);  // UTF-8 storage
  kf.AddLocaleDescriptor()->SetLocale(0x0407);  // compares in 1252
  kf.SetOverrideLengthChars(3);
  Open();
  ASSERT_EQ(kfe_->CompareCodepage(), 1252);
  ASSERT_EQ(kfe_->StorageCodepage(), 65001);
  auto rec = NewRecord();
  const char utf8[] = "\xC3\xA4\xC3\xB6\xC3\xBC\xC3\x9F";  // four characters, eight bytes
  std::vector<uint8_t> field(static_cast<size_t>(fields().FieldDescriptor(field_)->Length()), 0);
  std::memcpy(field.data(), utf8, sizeof utf8 - 1);
  fields().SetRecordField(field_, rec.data(), field.data());
  auto k = KeyOf(*engine_, rec);
  const uint8_t* v = k.data() + engine_->GetFieldsOffset();
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(v)), "\xE4\xF6\xFC");
  const char cyrillic[] = "\xD0\x96";  // not in 1252
  std::fill(field.begin(), field.end(), 0);
  std::memcpy(field.data(), cyrillic, sizeof cyrillic - 1);
  fields().SetRecordField(field_, rec.data(), field.data());
  std::vector<uint8_t> key(engine_->KeyLength());
  try {
    engine_->BuildKey(rec.data(), key.data(), 0, false);
    ADD_FAILURE() << "no exception";
  } catch (const EnxCompositeKeyFieldEngineException& x) {
    EXPECT_EQ(x.ErrorCode(), 9985u);
  }
}

// For each locale and flag set, CompareKey orders as the bytes of ICU's
// sort keys do, and the order is transitive.
TEST_F(KeyFieldTest, LocaleOrderAgreesWithSortKeys) {
  struct Row {
    uint32_t locale;
    bool ignoreCase, ignoreSymbols, ignoreNonSpace;
    TnxFieldType type;
  };
  const Row rows[] = {
      {0x0407, false, false, false, nxtWideString}, {0x0407, true, false, false, nxtWideString},
      {0x0409, false, true, false, nxtWideString},  {0x040C, false, false, true, nxtWideString},
      {0x041F, true, false, false, nxtWideString},  {0x0407, true, false, false, nxtNullString},
      {0x0419, false, false, false, nxtShortString},
  };
  const char16_t alphabet[] = u"aAbB\u00e4\u00c4o\u00f6 -.,iI1";
  const size_t alphabetSize = std::size(alphabet) - 1;
  const int n = TestSize(3000, 100000);
  for (const Row& r : rows) {
    auto& kf = static_cast<TnxTextKeyFieldDescriptor&>(KeyOver(r.type, 8, true));
    kf.SetIgnoreCase(r.ignoreCase);
    TnxLocaleDescriptor* ld = kf.AddLocaleDescriptor();
    ld->SetLocale(r.locale);
    ld->SetIgnoreSymbols(r.ignoreSymbols);
    ld->SetIgnoreNonSpace(r.ignoreNonSpace);
    Open();
    ASSERT_NE(kfe_->Collator(), nullptr);
    std::mt19937 rng(r.locale);
    std::vector<std::vector<uint8_t>> keys;
    std::vector<std::string> sortKeys;
    for (int i = 0; i < n; ++i) {
      std::u16string s;
      const size_t len = rng() % 6;
      for (size_t j = 0; j < len; ++j) {
        const char16_t c = alphabet[rng() % alphabetSize];
        // Russian ANSI text: only what code page 1251 holds.
        s += r.type == nxtShortString && c > 0x7F ? u'x' : c;
      }
      keys.push_back(ValueKey(V(s.c_str())));
      sortKeys.push_back(kfe_->Collator()->SortKey(s.data(), static_cast<int>(s.size())));
    }
    auto sign = [](int c) { return (c > 0) - (c < 0); };
    for (int i = 0; i < n; ++i) {
      const int j = static_cast<int>(rng() % n);
      const int expected = sign(sortKeys[i].compare(sortKeys[j]));
      ASSERT_EQ(kfe_->CompareKey(*kfe_, keys[i].data(), keys[j].data()), expected)
          << r.locale << " " << i << " " << j;
    }
    std::vector<int> order(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) order[i] = i;
    std::sort(order.begin(), order.end(),
              [&](int a, int b) { return kfe_->CompareKey(*kfe_, keys[a].data(), keys[b].data()) < 0; });
    for (int i = 1; i < n; ++i)
      ASSERT_LE(sortKeys[order[i - 1]].compare(sortKeys[order[i]]), 0) << r.locale << " at " << i;
  }
}

// A locale compare reads aligned key text where it lies and copies the
// rest; both must order alike, and a key whose last unit is no zero (a
// damaged one) is still read only inside the key.
TEST_F(KeyFieldTest, WideLocaleOrderIsTheSameAtEveryAddress) {
  auto& kf = static_cast<TnxTextKeyFieldDescriptor&>(KeyOver(nxtWideString, 8, true));
  kf.AddLocaleDescriptor()->SetLocale(0x0407);
  Open();
  const size_t length = static_cast<size_t>(kfe_->KeyLength());
  const size_t units = length / 2;
  std::vector<std::vector<uint8_t>> values;
  for (const char16_t* s : {u"", u"a", u"A", u"\u00e4b", u"ab", u"Zz", u"abcdefgi", u"abcdefgh"})
    values.push_back(ValueKey(V(s)));
  values.push_back(values.back());  // damaged: its last unit no zero
  std::memcpy(values.back().data() + 2 * (units - 1), u"x", 2);
  auto at = [&](const std::vector<uint8_t>& v, size_t aOffset) {
    auto bytes = std::make_unique<uint8_t[]>(aOffset + length);  // exactly the key: the sanitizer sees overreads
    std::memcpy(bytes.get() + aOffset, v.data(), length);
    return bytes;
  };
  for (const auto& a : values)
    for (const auto& b : values) {
      // What the value means: its units up to the first zero, the last unit
      // never part of it.
      std::u16string ta(units - 1, u'\0'), tb(units - 1, u'\0');
      std::memcpy(ta.data(), a.data(), 2 * (units - 1));
      std::memcpy(tb.data(), b.data(), 2 * (units - 1));
      const int expected = kfe_->Collator()->Compare(ta.c_str(), -1, tb.c_str(), -1);
      for (size_t offset : {0, 1}) {
        auto pa = at(a, offset), pb = at(b, offset);
        EXPECT_EQ(kfe_->CompareKey(*kfe_, pa.get() + offset, pb.get() + offset), expected) << offset;
      }
    }
}

}  // namespace
}  // namespace revurov
