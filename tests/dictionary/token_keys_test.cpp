#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dictionary/dictionary_tree_fixture.h"
#include "dictionary/locale_descriptor.h"
#include "dictionary/token_key_descriptors.h"
#include "dictionary/token_key_engines.h"
#include "lowlevel/errors/exceptions.h"
#include "platform/endian.h"
#include "platform/rtl_exception.h"

namespace revurov {
namespace {

using testing::CodeOf;
using testing::DictionaryTreeTest;
using testing::LoadBytes;
using testing::SavedBytes;
using testing::TestRoot;
using testing::WriteItemHeader;

constexpr char16_t kHigh = 0xD83D, kLow = 0xDE00;  // one emoji

// ---- descriptors ----

class TokenKeyDescriptorTest : public DictionaryTreeTest {
protected:
  TestRoot root;
};

TEST_F(TokenKeyDescriptorTest, KeyLengthsFollowTokenSizeAndOptions) {
  TnxBitArrayTokenKeyDescriptor bit(&root);
  TnxMainIndexTokenKeyDescriptor main(&root);
  EXPECT_EQ(bit.GetKeyLen(), 44u);
  EXPECT_EQ(main.GetKeyLen(), 42u);
  bit.SetPerFieldIndex(true);
  main.SetIncludeLocation(true);
  EXPECT_EQ(bit.GetKeyLen(), 46u);
  EXPECT_EQ(main.GetKeyLen(), 46u);
  EXPECT_FALSE(bit.CanContainNulls());
  EXPECT_FALSE(main.CanContainNulls());
}

// A size that would make the key length wrap its 16-bit field (or leave
// no token area) is clamped, from a setter and from a stream alike.
TEST_F(TokenKeyDescriptorTest, TokenSizeIsClamped) {
  struct Case {
    int32_t set;
    int32_t kept;
  } cases[] = {{0, 1}, {-7, 1}, {1, 1}, {1024, 1024}, {5000, 1024}, {INT32_MAX, 1024}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.set);
    TnxBitArrayTokenKeyDescriptor bit(&root);
    TnxMainIndexTokenKeyDescriptor main(&root);
    bit.SetMaxTokenSize(c.set);
    main.SetMaxTokenSize(c.set);
    EXPECT_EQ(bit.MaxTokenSize(), c.kept);
    EXPECT_EQ(main.MaxTokenSize(), c.kept);

    TnxMemoryStream s;
    {
      TnxWriter w(s);
      TnxBitArrayTokenKeyDescriptor(nullptr).TnxBaseKeyDescriptor::SaveToWriter(w, 47501);
      w.WriteInteger(int32_t{1});
      w.WriteInteger(c.set);
      w.WriteBoolean(true);
      w.WriteBoolean(false);
      w.WriteInteger(int32_t{0});
      w.WriteInteger(int32_t{0});
    }
    const auto* p = s.ByteArray();
    TnxBitArrayTokenKeyDescriptor read(nullptr);
    LoadBytes(read, std::vector<uint8_t>(p, p + s.GetSize()));
    EXPECT_EQ(read.MaxTokenSize(), c.kept);
    EXPECT_LE(read.GetKeyLen(), 0xFFFFu);
  }
}

TEST_F(TokenKeyDescriptorTest, BitArrayKeyRoundTripsAndEveryStreamedSettingCounts) {
  TnxBitArrayTokenKeyDescriptor a(nullptr);
  a.SetMaxTokenSize(33);
  a.SetPerFieldIndex(true);
  a.SetReverse(true);
  a.SetLocale(0x0409);
  a.SetFlags(0x1001);
  TnxBitArrayTokenKeyDescriptor b(nullptr);
  LoadBytes(b, SavedBytes(a, 47501));
  EXPECT_EQ(b.MaxTokenSize(), 33);
  EXPECT_TRUE(b.PerFieldIndex());
  EXPECT_TRUE(b.Reverse());
  EXPECT_EQ(b.Locale(), 0x0409u);
  EXPECT_EQ(b.Flags(), 0x1001u);
  EXPECT_TRUE(a.IsEqual(&b));

  using Change = void (*)(TnxBitArrayTokenKeyDescriptor&);
  const Change changes[] = {
      [](TnxBitArrayTokenKeyDescriptor& d) { d.SetMaxTokenSize(34); },
      [](TnxBitArrayTokenKeyDescriptor& d) { d.SetPerFieldIndex(false); },
      [](TnxBitArrayTokenKeyDescriptor& d) { d.SetReverse(false); },
      [](TnxBitArrayTokenKeyDescriptor& d) { d.SetLocale(0x0407); },
      [](TnxBitArrayTokenKeyDescriptor& d) { d.SetFlags(0); },
  };
  for (size_t i = 0; i < std::size(changes); ++i) {
    SCOPED_TRACE(i);
    TnxBitArrayTokenKeyDescriptor c(nullptr);
    LoadBytes(c, SavedBytes(a, 47501));
    changes[i](c);
    EXPECT_FALSE(a.IsEqual(&c));
  }
  TnxMainIndexTokenKeyDescriptor other(nullptr);
  EXPECT_FALSE(a.IsEqual(&other));
}

TEST_F(TokenKeyDescriptorTest, MainIndexKeyLayoutVersionFollowsLocation) {
  TnxMainIndexTokenKeyDescriptor a(nullptr);
  a.SetMaxTokenSize(12);
  a.SetLocale(0x0409);
  a.SetFlags(1);
  // Without a location every reader takes version 1.
  TnxMainIndexTokenKeyDescriptor v1(nullptr);
  v1.SetIncludeLocation(true);
  LoadBytes(v1, SavedBytes(a, 19000));
  EXPECT_FALSE(v1.IncludeLocation());
  EXPECT_TRUE(a.IsEqual(&v1));

  a.SetIncludeLocation(true);
  EXPECT_EQ(CodeOf<EnxMainIndexTokenKeyDescriptorException>([&] { SavedBytes(a, 20699); }), 12039u);
  TnxMainIndexTokenKeyDescriptor v2(nullptr);
  LoadBytes(v2, SavedBytes(a, 20700));
  EXPECT_TRUE(v2.IncludeLocation());
  EXPECT_EQ(v2.MaxTokenSize(), 12);
  EXPECT_EQ(v2.Locale(), 0x0409u);
  EXPECT_EQ(v2.Flags(), 1u);
  EXPECT_TRUE(a.IsEqual(&v2));
  EXPECT_FALSE(a.IsEqual(&v1));
}

TEST_F(TokenKeyDescriptorTest, UnknownVersionsAreRefused) {
  for (int32_t version : {0, 2, 3}) {
    SCOPED_TRACE(version);
    TnxMemoryStream s;
    {
      TnxWriter w(s);
      TnxBitArrayTokenKeyDescriptor(nullptr).TnxBaseKeyDescriptor::SaveToWriter(w, 47501);
      w.WriteInteger(version);
    }
    const auto* p = s.ByteArray();
    const std::vector<uint8_t> bytes(p, p + s.GetSize());
    TnxBitArrayTokenKeyDescriptor bit(nullptr);
    EXPECT_EQ(CodeOf<EnxBitArrayTokenKeyDescriptorException>([&] { LoadBytes(bit, bytes); }), 15498u);
    if (version == 2) continue;
    TnxMainIndexTokenKeyDescriptor main(nullptr);
    EXPECT_EQ(CodeOf<EnxMainIndexTokenKeyDescriptorException>([&] { LoadBytes(main, bytes); }), 15498u);
  }
}

TEST_F(TokenKeyDescriptorTest, SettersRefuseAReadOnlyDictionary) {
  TnxBitArrayTokenKeyDescriptor bit(&root);
  TnxMainIndexTokenKeyDescriptor main(&root);
  root.ReadOnly = true;
  const std::function<void()> setters[] = {
      [&] { bit.SetMaxTokenSize(5); }, [&] { bit.SetPerFieldIndex(true); }, [&] { bit.SetReverse(true); },
      [&] { bit.SetLocale(1); },       [&] { bit.SetFlags(1); },           [&] { main.SetMaxTokenSize(5); },
      [&] { main.SetIncludeLocation(true); }, [&] { main.SetLocale(1); }, [&] { main.SetFlags(1); }};
  for (const auto& set : setters) EXPECT_EQ(CodeOf<EnxBaseException>(set), 15500u);
  EXPECT_EQ(bit.MaxTokenSize(), 20);
  EXPECT_FALSE(main.IncludeLocation());
}

// ---- engines ----

class TokenKeyEngineTest : public DictionaryTreeTest {
protected:
  template <class E>
  static std::unique_ptr<E> EngineFor(TnxBaseKeyDescriptor& aDescriptor) {
    std::unique_ptr<TnxBaseKeyEngine> e = TnxBaseKeyEngine::CreateFor(aDescriptor);
    auto* typed = dynamic_cast<E*>(e.get());
    EXPECT_NE(typed, nullptr);
    e.release();
    return std::unique_ptr<E>(typed);
  }
  static std::vector<char16_t> Area(const std::vector<uint8_t>& aKey, size_t aFrom, size_t aUnits) {
    std::vector<char16_t> units;
    for (size_t i = 0; i < aUnits; ++i) units.push_back(platform::LoadU16(aKey.data() + aFrom + 2 * i));
    return units;
  }
  std::vector<uint8_t> BitKey(const TnxBitArrayTokenKeyEngine& e, uint16_t aSegment, std::u16string_view aToken,
                              int16_t aField = 0) {
    std::vector<uint8_t> k(e.KeyLength(), 0xEE);
    e.ClearKey(k.data());
    e.InternalBuildKey(aSegment, aToken, aField, k.data());
    return k;
  }
  std::vector<uint8_t> MainKey(const TnxMainIndexTokenKeyEngine& e, std::u16string_view aToken,
                               uint32_t aLocation = 0) {
    std::vector<uint8_t> k(e.KeyLength(), 0xEE);
    e.ClearKey(k.data());
    e.InternalBuildKey(aToken, aLocation, k.data());
    return k;
  }
};

// What lands in a three-unit token area, forwards and reversed.
TEST_F(TokenKeyEngineTest, TokensAreCutAndReversedWithoutSplittingPairs) {
  const std::u16string pairAtEnd = std::u16string(u"ab") + kHigh + kLow;
  const std::u16string pairInside = std::u16string(u"x") + kHigh + kLow + u"y";
  struct Case {
    const char* name;
    bool reverse;
    std::u16string token;
    uint16_t n;
    std::vector<char16_t> area;
  } cases[] = {
      {"longer token keeps its head", false, u"abcd", 3, {u'a', u'b', u'c'}},
      {"cut would split a pair", false, pairAtEnd, 2, {u'a', u'b', 0}},
      {"empty token", false, u"", 0, {0, 0, 0}},
      {"lone high unit at the end", false, std::u16string(u"a") + kHigh, 1, {u'a', 0, 0}},
      {"reversed letters", true, u"xy", 2, {u'y', u'x', 0}},
      {"reversed pair keeps its order", true, std::u16string(u"x") + kHigh + kLow, 3, {kHigh, kLow, u'x'}},
      {"reversed cut", true, pairAtEnd, 2, {u'b', u'a', 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TnxBitArrayTokenKeyDescriptor d(nullptr);
    d.SetMaxTokenSize(3);
    d.SetReverse(c.reverse);
    auto e = EngineFor<TnxBitArrayTokenKeyEngine>(d);
    const auto k = BitKey(*e, 7, c.token);
    EXPECT_EQ(platform::LoadU16(k.data()), 7);
    EXPECT_EQ(platform::LoadU16(k.data() + 2), c.n);
    EXPECT_EQ(Area(k, 4, 3), c.area);
  }
  // A pair between letters, reversed in a larger area: y, the pair, x.
  TnxBitArrayTokenKeyDescriptor d(nullptr);
  d.SetMaxTokenSize(6);
  d.SetReverse(true);
  auto e = EngineFor<TnxBitArrayTokenKeyEngine>(d);
  EXPECT_EQ(Area(BitKey(*e, 0, pairInside), 4, 4), (std::vector<char16_t>{u'y', kHigh, kLow, u'x'}));

  TnxMainIndexTokenKeyDescriptor m(nullptr);
  m.SetMaxTokenSize(3);
  auto me = EngineFor<TnxMainIndexTokenKeyEngine>(m);
  const auto mk = MainKey(*me, pairAtEnd);
  EXPECT_EQ(platform::LoadU16(mk.data()), 2);
  EXPECT_EQ(Area(mk, 2, 3), (std::vector<char16_t>{u'a', u'b', 0}));
}

TEST_F(TokenKeyEngineTest, BitArrayKeysOrderBySegmentTokenBytesAndField) {
  TnxBitArrayTokenKeyDescriptor d(nullptr);
  d.SetMaxTokenSize(8);
  d.SetPerFieldIndex(true);
  auto e = EngineFor<TnxBitArrayTokenKeyEngine>(d);
  EXPECT_EQ(e->KeyLength(), 22);
  struct Case {
    const char* name;
    uint16_t seg1;
    std::u16string tok1;
    int16_t f1;
    uint16_t seg2;
    std::u16string tok2;
    int16_t f2;
    int expected;
  } cases[] = {
      {"segment decides, unsigned", 0x8000, u"a", 0, 1, u"b", 0, 1},
      {"empty tokens are equal", 3, u"", 2, 3, u"", 2, 0},
      {"empty before any token", 3, u"", 0, 3, u"\u0001", 0, -1},
      {"B before a", 0, u"B", 0, 0, u"a", 0, -1},
      {"U+0100 before a: low byte first", 0, u"\u0100", 0, 0, u"a", 0, -1},
      {"prefix first", 0, u"ab", 0, 0, u"abc", 0, -1},
      {"field decides last, signed", 0, u"ab", -1, 0, u"ab", 1, -1},
      {"all equal", 9, u"xyz", 4, 9, u"xyz", 4, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto k1 = BitKey(*e, c.seg1, c.tok1, c.f1), k2 = BitKey(*e, c.seg2, c.tok2, c.f2);
    EXPECT_EQ(e->CompareKey(k1.data(), k2.data()), c.expected);
    EXPECT_EQ(e->CompareKey(k2.data(), k1.data(), 1, 1), -c.expected);
  }
}

TEST_F(TokenKeyEngineTest, LocaleOrderReplacesByteOrder) {
  TnxBitArrayTokenKeyDescriptor d(nullptr);
  d.SetLocale(0x0409);
  auto e = EngineFor<TnxBitArrayTokenKeyEngine>(d);
  const auto upperB = BitKey(*e, 0, u"B"), lowerA = BitKey(*e, 0, u"a");
  EXPECT_EQ(e->CompareKey(lowerA.data(), upperB.data()), -1);

  TnxMainIndexTokenKeyDescriptor m(nullptr);
  m.SetLocale(0x0409);
  m.SetFlags(1);  // ignore case
  auto me = EngineFor<TnxMainIndexTokenKeyEngine>(m);
  EXPECT_EQ(me->CompareKey(MainKey(*me, u"ABC").data(), MainKey(*me, u"abc").data()), 0);
  ASSERT_NE(me->LocaleDescriptor(), nullptr);
  EXPECT_EQ(me->LocaleDescriptor()->Locale(), 0x0409u);
  EXPECT_EQ(me->GetFieldLocaleDescriptor(), me->LocaleDescriptor());
}

TEST_F(TokenKeyEngineTest, MainIndexKeysComparePrefixesAndIgnoreTheLocation) {
  TnxMainIndexTokenKeyDescriptor d(nullptr);
  d.SetMaxTokenSize(10);
  d.SetIncludeLocation(true);
  auto e = EngineFor<TnxMainIndexTokenKeyEngine>(d);
  EXPECT_EQ(e->KeyLength(), 26);
  const auto abc = MainKey(*e, u"abc", 1), abd = MainKey(*e, u"abd", 2), abc2 = MainKey(*e, u"abc", 0xFFFFFFFF);
  EXPECT_EQ(platform::LoadU32(abc2.data() + 22), 0xFFFFFFFFu);
  EXPECT_EQ(e->CompareKey(abc.data(), abd.data()), -1);
  EXPECT_EQ(e->CompareKey(abc.data(), abd.data(), 0, 2), 0);
  EXPECT_EQ(e->CompareKey(abc.data(), abc2.data()), 0);
  const auto empty = MainKey(*e, u"");
  EXPECT_EQ(e->CompareKey(empty.data(), abc.data()), -1);
  EXPECT_EQ(e->CompareKey(abc.data(), empty.data()), 1);
  EXPECT_EQ(e->CompareKey(empty.data(), empty.data()), 0);
}

TEST_F(TokenKeyEngineTest, MainIndexFieldsByNameNumberAndForFilters) {
  for (bool location : {false, true}) {
    SCOPED_TRACE(location);
    TnxMainIndexTokenKeyDescriptor d(nullptr);
    d.SetMaxTokenSize(5);
    d.SetIncludeLocation(location);
    auto e = EngineFor<TnxMainIndexTokenKeyEngine>(d);
    EXPECT_EQ(e->GetMaxFieldCount(), location ? 2 : 1);
    EXPECT_EQ(e->GetKeyFieldIndex(u"tOKEN"), 0);
    EXPECT_EQ(e->GetKeyFieldIndex(u"LOCATION"), location ? 1 : -1);
    EXPECT_EQ(e->GetKeyFieldIndex(u"Other"), -1);
    EXPECT_EQ(e->GetKeyFieldEngine(0)->GetName(), u"Token");
    EXPECT_EQ(e->GetKeyFieldEngine(0)->GetUnits(), 5);
    EXPECT_EQ(e->GetKeyFieldEngine(2), nullptr);
    if (location) {
      EXPECT_EQ(e->GetKeyFieldEngine(1)->GetName(), u"Location");
      EXPECT_EQ(e->GetKeyFieldEngine(1)->GetFieldType(), nxtAutoInc);
    } else {
      EXPECT_EQ(e->GetKeyFieldEngine(1), nullptr);
    }

    const auto key = MainKey(*e, u"hi", 77);
    uint16_t type = 0xAAAA, size = 0xAAAA, cp = 0xAAAA;
    bool isNull = false;
    const void* value = nullptr;
    ASSERT_TRUE(e->GetKeyFieldForFilter(-5, u"token", key.data(), type, size, isNull, value, cp));
    EXPECT_EQ(type, nxtWideString);
    EXPECT_EQ(size, 2);
    EXPECT_FALSE(isNull);
    EXPECT_EQ(value, key.data() + 2);
    ASSERT_TRUE(e->GetKeyFieldForFilter(0, u"", nullptr, type, size, isNull, value, cp));
    EXPECT_EQ(size, 5);
    EXPECT_TRUE(isNull);
    const auto empty = MainKey(*e, u"");
    ASSERT_TRUE(e->GetKeyFieldForFilter(0, u"", empty.data(), type, size, isNull, value, cp));
    EXPECT_TRUE(isNull);
    EXPECT_EQ(value, nullptr);

    type = 0xAAAA;
    EXPECT_EQ(e->GetKeyFieldForFilter(0, u"Location", key.data(), type, size, isNull, value, cp), location);
    if (location) {
      EXPECT_EQ(type, nxtAutoInc);
      EXPECT_EQ(platform::LoadU32(value), 77u);
    } else {
      EXPECT_EQ(type, 0xAAAA);
    }
  }
}

TEST_F(TokenKeyEngineTest, KeysAsVariantsAndText) {
  TnxBitArrayTokenKeyDescriptor d(nullptr);
  d.SetPerFieldIndex(true);
  auto e = EngineFor<TnxBitArrayTokenKeyEngine>(d);
  const auto k = BitKey(*e, 5, u"ab", -2);
  const auto whole = e->KeyAsVariant(k.data(), -1);
  ASSERT_TRUE(whole.IsArray());
  EXPECT_EQ(whole.VarArrayHighBound(1) - whole.VarArrayLowBound(1), 2);
  EXPECT_EQ(e->KeyAsVariant(k.data(), 1).AsString(), u"ab");
  EXPECT_EQ(e->KeyAsString(k.data()), u"5, 'ab', -2");
  EXPECT_TRUE(e->KeyAsVariant(BitKey(*e, 5, u"").data(), 1).IsNull());
  EXPECT_EQ(CodeOf<EnxBaseException>([&] { e->KeyAsVariant(k.data(), 3); }), 9999u);
  EXPECT_TRUE(e->KeyAsVariant(nullptr, -1).IsNull());

  TnxMainIndexTokenKeyDescriptor m(nullptr);
  m.SetIncludeLocation(true);
  auto me = EngineFor<TnxMainIndexTokenKeyEngine>(m);
  const auto mk = MainKey(*me, u"word", 12);
  EXPECT_EQ(me->KeyAsVariant(mk.data(), -1).AsString(), u"word");
  EXPECT_EQ(me->KeyAsVariant(mk.data(), 1).AsInt64(), 12);
  EXPECT_TRUE(me->KeyAsVariant(nullptr, 0).IsNull());
  EXPECT_EQ(CodeOf<EnxBaseException>([&] { me->KeyAsVariant(mk.data(), 2); }), 9999u);
  EXPECT_EQ(CodeOf<EnxBaseException>([&] { me->KeyAsVariant(mk.data(), -2); }), 9999u);
  EXPECT_EQ(me->KeyAsString(mk.data()), u"'word'");
}

// Token keys are never built from records; what the base does with a
// record must fail cleanly, and what the bit-array engine leaves open
// answers "no such field".
TEST_F(TokenKeyEngineTest, RecordPathsFailAndOpenOperationsAnswerNeutrally) {
  TnxBitArrayTokenKeyDescriptor d(nullptr);
  auto e = EngineFor<TnxBitArrayTokenKeyEngine>(d);
  std::vector<uint8_t> key(e->KeyLength()), record(8);
  EXPECT_EQ(e->BuildKey(record.data(), key.data(), 1, true), 12289u);
  uint32_t code = 0;
  std::u16string message;
  EnxBaseException::GetLastConvertedException(code, message);
  EXPECT_EQ(code, 12289u);
  EXPECT_EQ(message, u"BuildKey is not supported by TnxBitArrayTokenKeyEngine");
  EXPECT_EQ(CodeOf<EnxBaseException>([&] { e->CompareKeyToRecord(key.data(), record.data(), 1); }), 12289u);
  EXPECT_EQ(e->GetKeyFieldIndex(u"Token"), -1);
  EXPECT_EQ(e->GetMaxFieldCount(), 0);
  EXPECT_EQ(e->GetKeyFieldEngine(0), nullptr);
  uint16_t type = 0, size = 0, cp = 0;
  bool isNull = false;
  const void* value = nullptr;
  EXPECT_FALSE(e->GetKeyFieldForFilter(0, u"", key.data(), type, size, isNull, value, cp));

  TnxMainIndexTokenKeyDescriptor m(nullptr);
  auto me = EngineFor<TnxMainIndexTokenKeyEngine>(m);
  std::vector<uint8_t> mkey(me->KeyLength());
  EXPECT_EQ(me->BuildKey(record.data(), mkey.data(), 1, false), 1u);
  EXPECT_NE(CodeOf<EnxBaseException>([&] { me->CompareRecord(record.data(), 1, record.data(), 2); }), 0u);
}

TEST_F(TokenKeyEngineTest, EnginesRefuseForeignDescriptors) {
  TnxBitArrayTokenKeyDescriptor bit(nullptr);
  TnxMainIndexTokenKeyDescriptor main(nullptr);
  EXPECT_THROW(TnxBitArrayTokenKeyEngine{main}, platform::EInvalidCast);
  EXPECT_THROW(TnxMainIndexTokenKeyEngine{bit}, platform::EInvalidCast);
  EXPECT_THROW(TnxBitArrayTokenKeyEngine::CheckValidDescriptor(main), platform::EInvalidCast);
  EXPECT_NO_THROW(TnxMainIndexTokenKeyEngine::CheckValidDescriptor(main));
}

}  // namespace
}  // namespace revurov
