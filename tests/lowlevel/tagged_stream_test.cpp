#include "lowlevel/streams/tagged_stream.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "lowlevel/strings/fast_string_list.h"
#include "lowlevel/wide_strings/wide_string_list.h"
#include "platform/code_page.h"
#include "platform/rtl_exception.h"
#include "platform/text.h"
#include "support/string_list_lines.h"
#include "support/tagged_bytes.h"

namespace revurov {
namespace {

using Bytes = std::vector<uint8_t>;
using platform::TnxVariant;

using testing::ReadAll;
using testing::Written;

platform::TStringList Lines(std::initializer_list<std::u16string> lines) {
  platform::TStringList l;
  for (const auto& line : lines) l.Add(line);
  return l;
}

using testing::LinesOf;

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes r;
  for (const auto& p : parts) r.insert(r.end(), p.begin(), p.end());
  return r;
}

Bytes Repeat(uint8_t b, size_t n) { return Bytes(n, b); }

struct IntCase {
  int64_t value;
  Bytes bytes;
};

TEST(TaggedFormat, IntegersTakeTheSmallestTag) {
  const IntCase cases[] = {
      {0, {2, 0x00}},
      {127, {2, 0x7F}},
      {-128, {2, 0x80}},
      {128, {3, 0x80, 0x00}},
      {-129, {3, 0x7F, 0xFF}},
      {32767, {3, 0xFF, 0x7F}},
      {32768, {4, 0x00, 0x80, 0x00, 0x00}},
      {-32769, {4, 0xFF, 0x7F, 0xFF, 0xFF}},
      {INT32_MAX, {4, 0xFF, 0xFF, 0xFF, 0x7F}},
      {INT32_MIN, {4, 0x00, 0x00, 0x00, 0x80}},
      {int64_t{1} << 31, {19, 0x00, 0x00, 0x00, 0x80, 0, 0, 0, 0}},
      {-1, {2, 0xFF}},
      {INT64_MIN, {19, 0, 0, 0, 0, 0, 0, 0, 0x80}},
      {0x0102030405060708, {19, 8, 7, 6, 5, 4, 3, 2, 1}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Written([&](TnxWriter& w) { w.WriteInteger(c.value); }), c.bytes) << c.value;
    EXPECT_EQ(ReadAll(c.bytes, [](TnxReader& r) { return r.ReadInt64(); }), c.value);
    if (c.value >= INT32_MIN && c.value <= INT32_MAX) {
      EXPECT_EQ(Written([&](TnxWriter& w) { w.WriteInteger(static_cast<int32_t>(c.value)); }), c.bytes);
      EXPECT_EQ(ReadAll(c.bytes, [](TnxReader& r) { return r.ReadInteger(); }), c.value);
    } else {
      EXPECT_THROW(ReadAll(c.bytes, [](TnxReader& r) { return r.ReadInteger(); }), platform::EReadError);
    }
  }
}

struct StringCase {
  std::u16string text;
  Bytes bytes;
};

TEST(TaggedFormat, StringsChooseTheShortestEncoding) {
  std::u16string ascii256(256, u'x');
  std::u16string mostlyAscii = u"Grüße aus Köln";
  std::string mostlyUtf8 = "Gr\xC3\xBC\xC3\x9F" "e aus K\xC3\xB6ln";
  const StringCase cases[] = {
      {u"", {18, 0, 0, 0, 0}},
      {u"abc", {6, 3, 'a', 'b', 'c'}},
      {std::u16string(255, u'y'), Cat({{6, 255}, Repeat('y', 255)})},
      {ascii256, Cat({{12, 0x00, 0x01, 0, 0}, Repeat('x', 256)})},
      {u"é", {18, 1, 0, 0, 0, 0xE9, 0x00}},
      {u"éé", {18, 2, 0, 0, 0, 0xE9, 0x00, 0xE9, 0x00}},
      {mostlyAscii, Cat({{20, static_cast<uint8_t>(mostlyUtf8.size()), 0, 0, 0},
                         Bytes(mostlyUtf8.begin(), mostlyUtf8.end())})},
      {u"€", {18, 1, 0, 0, 0, 0xAC, 0x20}},
      // An unpaired surrogate cannot travel as UTF-8 without loss.
      {u"abcdef\xD800", {18, 7, 0, 0, 0, 'a', 0, 'b', 0, 'c', 0, 'd', 0, 'e', 0, 'f', 0, 0x00, 0xD8}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Written([&](TnxWriter& w) { w.WriteString(c.text); }), c.bytes);
    EXPECT_EQ(ReadAll(c.bytes, [](TnxReader& r) { return r.ReadString(); }), c.text);
  }
}

TEST(TaggedFormat, FixedWidthValues) {
  struct Case {
    const char* name;
    std::function<void(TnxWriter&)> write;
    Bytes bytes;
    std::function<bool(TnxReader&)> readBack;
  };
  const Case cases[] = {
      {"true", [](TnxWriter& w) { w.WriteBoolean(true); }, {9}, [](TnxReader& r) { return r.ReadBoolean(); }},
      {"false", [](TnxWriter& w) { w.WriteBoolean(false); }, {8}, [](TnxReader& r) { return !r.ReadBoolean(); }},
      {"float 1.0", [](TnxWriter& w) { w.WriteFloat(1.0L); },
       {5, 0, 0, 0, 0, 0, 0, 0, 0x80, 0xFF, 0x3F}, [](TnxReader& r) { return r.ReadFloat() == 1.0L; }},
      {"float -2.5", [](TnxWriter& w) { w.WriteFloat(-2.5L); },
       {5, 0, 0, 0, 0, 0, 0, 0, 0xA0, 0x00, 0xC0}, [](TnxReader& r) { return r.ReadFloat() == -2.5L; }},
      {"double 1.0", [](TnxWriter& w) { w.WriteDouble(1.0); },
       {21, 0, 0, 0, 0, 0, 0, 0xF0, 0x3F}, [](TnxReader& r) { return r.ReadDouble() == 1.0; }},
      {"single 1.0", [](TnxWriter& w) { w.WriteSingle(1.0f); },
       {15, 0, 0, 0x80, 0x3F}, [](TnxReader& r) { return r.ReadSingle() == 1.0f; }},
      {"currency 1.5", [](TnxWriter& w) { w.WriteCurrency(15000); },
       {16, 0x98, 0x3A, 0, 0, 0, 0, 0, 0}, [](TnxReader& r) { return r.ReadCurrency() == 15000; }},
      {"date 2.0", [](TnxWriter& w) { w.WriteDate(2.0); },
       {17, 0, 0, 0, 0, 0, 0, 0, 0x40}, [](TnxReader& r) { return r.ReadDate() == 2.0; }},
      {"char", [](TnxWriter& w) { w.WriteChar(u'Z'); }, {6, 1, 'Z'}, [](TnxReader& r) { return r.ReadChar() == u'Z'; }},
      {"ansi char", [](TnxWriter& w) { w.WriteAnsiChar('\xE4'); }, {6, 1, 0xE4},
       [](TnxReader& r) { return r.ReadAnsiChar() == '\xE4'; }},
      {"ansi string", [](TnxWriter& w) { w.WriteAnsiString("\x80x"); }, {6, 2, 0x80, 'x'},
       [](TnxReader& r) { return r.ReadString() == u"€x"; }},
      {"list", [](TnxWriter& w) { w.WriteListBegin(); w.WriteInteger(1); w.WriteListEnd(); }, {1, 2, 1, 0},
       [](TnxReader& r) { r.ReadListBegin(); bool e1 = r.EndOfList(); int v = r.ReadInteger();
                          bool e2 = r.EndOfList(); r.ReadListEnd(); return !e1 && v == 1 && e2; }},
      {"binary", [](TnxWriter& w) { w.WriteBinary("\x01\x02\x03", 3); }, {10, 3, 0, 0, 0, 1, 2, 3},
       [](TnxReader& r) { uint8_t b[3]; r.ReadBinary(b, 3); return b[0] == 1 && b[2] == 3; }},
      {"bytes", [](TnxWriter& w) { w.WriteBytes({}); }, {10, 0, 0, 0, 0},
       [](TnxReader& r) { return r.ReadBytes().empty(); }},
      {"wide string", [](TnxWriter& w) { w.WriteWideString_(u"ab"); }, {18, 2, 0, 0, 0, 'a', 0, 'b', 0},
       [](TnxReader& r) { return r.ReadWideString_() == u"ab"; }},
      {"ident", [](TnxWriter& w) { w.WriteIdent(u"Größe"); }, {7, 7, 'G', 'r', 0xC3, 0xB6, 0xC3, 0x9F, 'e'},
       [](TnxReader& r) { return r.ReadIdent() == u"Größe"; }},
      {"ident true", [](TnxWriter& w) { w.WriteIdent(u"tRUE"); }, {9}, [](TnxReader& r) { return r.ReadIdent() == u"True"; }},
      {"ident null", [](TnxWriter& w) { w.WriteIdent(u"NULL"); }, {0}, [](TnxReader& r) { return r.ReadIdent() == u"Null"; }},
      {"ident nil", [](TnxWriter& w) { w.WriteIdent(u"Nil"); }, {13}, [](TnxReader& r) { return r.ReadIdent() == u"nil"; }},
      {"ident false", [](TnxWriter& w) { w.WriteIdent(u"false"); }, {8}, [](TnxReader& r) { return r.ReadIdent() == u"False"; }},
      {"strings", [](TnxWriter& w) { w.WriteStrings(Lines({u"a", u""})); }, {1, 6, 1, 'a', 18, 0, 0, 0, 0, 0},
       [](TnxReader& r) { platform::TStringList l = Lines({u"old"}); r.ReadStrings(l);
                          return LinesOf(l) == std::vector<std::u16string>{u"a", u""}; }},
      {"ansi strings", [](TnxWriter& w) { w.WriteAnsiStrings(Lines({u"ä€"})); }, {1, 6, 2, 0xE4, 0x80, 0},
       [](TnxReader& r) { platform::TStringList l; r.ReadStrings(l); return LinesOf(l) == std::vector<std::u16string>{u"ä€"}; }},
      {"wide strings", [](TnxWriter& w) { TnxWideStringList l; l.Add(u"a"); w.WriteWideStrings(l); },
       {1, 18, 1, 0, 0, 0, 'a', 0, 0},
       [](TnxReader& r) { platform::TStringList l; r.ReadStrings(l); return LinesOf(l) == std::vector<std::u16string>{u"a"}; }},
      {"guid", [](TnxWriter& w) { w.WriteGuid(platform::nxGuid("{00112233-4455-6677-8899-AABBCCDDEEFF}")); },
       {10, 16, 0, 0, 0, 0x33, 0x22, 0x11, 0x00, 0x55, 0x44, 0x77, 0x66, 0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF},
       [](TnxReader& r) { return r.ReadGuid() == platform::nxGuid("{00112233-4455-6677-8899-AABBCCDDEEFF}"); }},
      {"raw", [](TnxWriter& w) { w.Write("\x07\x08", 2); }, {7, 8},
       [](TnxReader& r) { uint8_t b[2]; r.Read(b, 2); return b[0] == 7 && b[1] == 8; }},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Written(c.write), c.bytes) << c.name;
    EXPECT_TRUE(ReadAll(c.bytes, c.readBack)) << c.name;
  }
}

TEST(TaggedFormat, GuidOfAnotherLengthOrTagIsRefused) {
  const Bytes cases[] = {
      {10, 15, 0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14},
      {10, 17, 0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16},
      {10, 0xFF, 0xFF, 0xFF, 0xFF},
      {6, 16, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15},
      {10, 16, 0, 0, 0, 1, 2, 3},  // cut short
  };
  for (const auto& bytes : cases) {
    TnxStaticMemoryStream s(const_cast<uint8_t*>(bytes.data()), static_cast<int64_t>(bytes.size()));
    TnxReader r(s);
    EXPECT_THROW(r.ReadGuid(), platform::EReadError);
  }
}

TEST(TaggedFormat, StringListsAreReadInOneUpdateBracket) {
  Bytes bytes = Written([](TnxWriter& w) { w.WriteStrings(Lines({u"b", u"A", u"a"})); });
  TnxFastStringListCS l;
  l.Add(u"old");
  int changes = 0;
  l.OnChange = [&](platform::TStringList& changed) {
    ++changes;
    EXPECT_EQ(changed.UpdateCount(), 0);
  };
  ReadAll(bytes, [&](TnxReader& r) { r.ReadStrings(l); return 0; });
  EXPECT_EQ(changes, 1);
  EXPECT_EQ(LinesOf(l), (std::vector<std::u16string>{u"b", u"A", u"a"}));
  EXPECT_EQ(l.Objects(0), nullptr);

  // A list cut short still closes the bracket.
  bytes.pop_back();
  changes = 0;
  TnxStaticMemoryStream s(bytes.data(), static_cast<int64_t>(bytes.size()));
  TnxReader r(s);
  EXPECT_THROW(r.ReadStrings(l), platform::EReadError);
  EXPECT_EQ(l.UpdateCount(), 0);
  EXPECT_EQ(changes, 1);
}

// A list read again reuses its lines' memory: the second reading holds its
// own lines alone, fewer and longer than the first's.
TEST(TaggedFormat, AStringListReadAgainHoldsOnlyTheNewLines) {
  std::vector<std::u16string> first, second;
  for (int i = 0; i < 40; ++i) first.push_back(u"Table_" + std::u16string(static_cast<size_t>(i % 7 + 1), u'a'));
  for (int i = 0; i < 5; ++i) second.push_back(u"A longer table name " + std::u16string(static_cast<size_t>(i), u'b'));
  platform::TStringList l;
  for (const auto* lines : {&first, &second, &first}) {
    platform::TStringList source;
    for (const auto& line : *lines) source.Add(line);
    Bytes bytes = Written([&](TnxWriter& w) { w.WriteStrings(source); });
    ReadAll(bytes, [&](TnxReader& r) { r.ReadStrings(l); return 0; });
    EXPECT_EQ(LinesOf(l), *lines);
  }
}

// Short ASCII names lying whole in the reader's buffer go straight into
// their lines; the others (8-bit ANSI, UTF-8, wide, long, split by the
// buffer's end) take the general way: the lines are the same either way,
// in an unsorted list and in a sorted one, and a name cut short is refused.
TEST(TaggedFormat, StringListsReadTheSameWhereverTheirTextsLie) {
  Bytes bytes = {1};
  std::vector<std::u16string> expected;
  auto ansi = [&](const std::string& text) {
    bytes.push_back(6);
    bytes.push_back(static_cast<uint8_t>(text.size()));
    bytes.insert(bytes.end(), text.begin(), text.end());
    expected.push_back(platform::CodePageToUnicode(text, 1252));
  };
  auto other = [&](const std::u16string& text) {
    const Bytes tagged = Written([&](TnxWriter& w) { w.WriteString(text); });
    EXPECT_NE(tagged[0], 6);
    bytes.insert(bytes.end(), tagged.begin(), tagged.end());
    expected.push_back(text);
  };
  ansi("");
  ansi("Table_0001");
  ansi("\xE4pfel");
  ansi(std::string(255, 'n'));
  other(u"\u4E2D\u6587");
  other(u"Table_" + std::u16string(300, u'L'));
  for (int i = 0; bytes.size() + 12 <= 4085; ++i) ansi("Table_" + std::to_string(1000 + i % 9000));
  ansi("a name that straddles the buffer's end");
  ansi("Table_last");
  bytes.push_back(0);
  ASSERT_GT(bytes.size(), 4096u);

  platform::TStringList unsorted = Lines({u"old", u"older"});
  ReadAll(bytes, [&](TnxReader& r) { r.ReadStrings(unsorted); return 0; });
  EXPECT_EQ(LinesOf(unsorted), expected);
  for (int i = 0; i < unsorted.Count(); ++i) EXPECT_EQ(unsorted.Objects(i), nullptr);
  // Read again over the memory of the first reading.
  ReadAll(bytes, [&](TnxReader& r) { r.ReadStrings(unsorted); return 0; });
  EXPECT_EQ(LinesOf(unsorted), expected);
  // A shorter list read over the longer one, whose lines carry objects.
  int tag = 0;
  for (int i = 0; i < unsorted.Count(); ++i) unsorted.SetObjects(i, &tag);
  const Bytes three = {1, 6, 10, 'T', 'a', 'b', 'l', 'e', '_', '0', '0', '0', '9', 6, 0, 6, 1, 'z', 0};
  ReadAll(three, [&](TnxReader& r) { r.ReadStrings(unsorted); return 0; });
  EXPECT_EQ(LinesOf(unsorted), (std::vector<std::u16string>{u"Table_0009", u"", u"z"}));
  for (int i = 0; i < unsorted.Count(); ++i) EXPECT_EQ(unsorted.Objects(i), nullptr);

  platform::TStringList sorted, want;
  sorted.SetSorted(true);
  want.SetSorted(true);
  for (const auto& line : expected) want.Add(line);
  ReadAll(bytes, [&](TnxReader& r) { r.ReadStrings(sorted); return 0; });
  EXPECT_EQ(LinesOf(sorted), LinesOf(want));

  // Cut short inside a name: the lines read before it, none of the old.
  Bytes cut = {1, 6, 1, 'a', 6, 10, 'T', 'a', 'b'};
  TnxStaticMemoryStream s(cut.data(), static_cast<int64_t>(cut.size()));
  TnxReader r(s);
  platform::TStringList l = Lines({u"old_0001", u"old_0002", u"old_0003"});
  EXPECT_THROW(r.ReadStrings(l), platform::EReadError);
  EXPECT_EQ(LinesOf(l), std::vector<std::u16string>{u"a"});
}

TEST(TaggedFormat, AnsiTextFollowsTheSystemCodePage) {
  // Every byte of Windows-1252 reads as the code page says, and the text
  // written back as ANSI strings gives the same byte.
  std::string all;
  for (int b = 1; b < 256; ++b) all += static_cast<char>(b);
  Bytes bytes = {12, 255, 0, 0, 0};
  bytes.insert(bytes.end(), all.begin(), all.end());
  std::u16string text = ReadAll(bytes, [](TnxReader& r) { return r.ReadString(); });
  EXPECT_EQ(text, platform::CodePageToUnicode(all, 1252));
  EXPECT_EQ(text[0x80 - 1], u'\u20AC');
  EXPECT_EQ(text[0x9F - 1], u'\u0178');
  EXPECT_EQ(text[0xE4 - 1], u'\u00E4');
  Bytes back = Written([&](TnxWriter& w) { w.WriteAnsiStrings(Lines({text})); });
  EXPECT_EQ(Bytes(back.begin() + 3, back.end() - 1), Bytes(all.begin(), all.end()));

  // Characters the code page lacks do not pass silently as other letters.
  Bytes lossy = Written([](TnxWriter& w) { w.WriteAnsiStrings(Lines({u"\u4E2D"})); });
  EXPECT_EQ(lossy, (Bytes{1, 6, 1, '?', 0}));

  const uint32_t saved = platform::SystemAnsiCodePage();
  platform::SetSystemAnsiCodePage(1251);
  EXPECT_EQ(ReadAll(Bytes{6, 2, 0xC0, 'x'}, [](TnxReader& r) { return r.ReadString(); }), u"\u0410x");
  EXPECT_EQ(Written([](TnxWriter& w) { w.WriteAnsiStrings(Lines({u"\u0410"})); }), (Bytes{1, 6, 1, 0xC0, 0}));
  platform::SetSystemAnsiCodePage(saved);
}

TEST(TaggedFormat, LongIdentsAreCutAt255BytesOnACharacterBoundary) {
  std::u16string ident = u"a" + std::u16string(200, u'ö');  // 1 + 400 bytes
  Bytes b = Written([&](TnxWriter& w) { w.WriteIdent(ident); });
  ASSERT_EQ(b[1], 255);  // 1 + 127 * 2
  EXPECT_EQ(ReadAll(b, [](TnxReader& r) { return r.ReadIdent(); }), u"a" + std::u16string(127, u'ö'));
}

TEST(TaggedFormat, VariantsByType) {
  struct Case {
    TnxVariant value;
    Bytes bytes;
    TnxVariant readBack;
  };
  const Case cases[] = {
      {TnxVariant(), {13}, TnxVariant()},
      {TnxVariant::Null(), {0}, TnxVariant::Null()},
      {TnxVariant::FromByte(200), {3, 200, 0}, TnxVariant::FromSmallint(200)},
      {TnxVariant::FromShortInt(-5), {2, 0xFB}, TnxVariant::FromShortInt(-5)},
      {TnxVariant::FromInteger(70000), {4, 0x70, 0x11, 1, 0}, TnxVariant::FromInteger(70000)},
      {TnxVariant::FromLongWord(0xFFFFFFFF), {19, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0},
       TnxVariant::FromInt64(0xFFFFFFFF)},
      {TnxVariant::FromInt64(-1), {2, 0xFF}, TnxVariant::FromShortInt(-1)},
      {TnxVariant::FromUInt64(5), {6, 1, '5'}, TnxVariant::FromString(u"5")},
      {TnxVariant::FromUInt64(UINT64_MAX),
       {6, 20, '1', '8', '4', '4', '6', '7', '4', '4', '0', '7', '3', '7', '0', '9', '5', '5', '1', '6', '1', '5'},
       TnxVariant::FromString(u"18446744073709551615")},
      {TnxVariant::FromSingle(1.0f), {15, 0, 0, 0x80, 0x3F}, TnxVariant::FromDouble(1.0)},
      {TnxVariant::FromDouble(1.0), {5, 0, 0, 0, 0, 0, 0, 0, 0x80, 0xFF, 0x3F}, TnxVariant::FromDouble(1.0)},
      {TnxVariant::FromCurrency(10000), {16, 0x10, 0x27, 0, 0, 0, 0, 0, 0}, TnxVariant::FromCurrency(10000)},
      {TnxVariant::FromDate(2.0), {17, 0, 0, 0, 0, 0, 0, 0, 0x40}, TnxVariant::FromDate(2.0)},
      {TnxVariant::FromBoolean(true), {9}, TnxVariant::FromBoolean(true)},
      {TnxVariant::FromString(u"ab"), {6, 2, 'a', 'b'}, TnxVariant::FromString(u"ab")},
      {TnxVariant::FromAnsiString("ab"), {6, 2, 'a', 'b'}, TnxVariant::FromString(u"ab")},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Written([&](TnxWriter& w) { w.WriteVariant(c.value); }), c.bytes) << c.value.VarType();
    EXPECT_TRUE(ReadAll(c.bytes, [](TnxReader& r) { return r.ReadVariant(); }) == c.readBack)
        << c.value.VarType();
  }
  EXPECT_THROW(Written([](TnxWriter& w) { w.WriteVariant(TnxVariant::OfUnsupportedType(0x2000 | 0x0C)); }),
               platform::EWriteError);
  for (int tag : {int{vaList}, int{vaIdent}, int{vaSet}, int{vaCollection}, int{vaBinary}, 22, 255}) {
    try {
      ReadAll({static_cast<uint8_t>(tag), 0, 0, 0, 0}, [](TnxReader& r) { return r.ReadVariant(); });
      ADD_FAILURE() << int(tag);
    } catch (const platform::EReadError& e) {
      EXPECT_EQ(e.Message(), u"Stream-Lesefehler");
    }
  }
}

TEST(TaggedFormat, ReadersWidenButRefuseOtherKinds) {
  // ReadFloat reads a Double and an integer; ReadDouble refuses an extended.
  EXPECT_EQ(ReadAll({21, 0, 0, 0, 0, 0, 0, 0xF0, 0x3F}, [](TnxReader& r) { return r.ReadFloat(); }), 1.0L);
  EXPECT_EQ(ReadAll({2, 5}, [](TnxReader& r) { return r.ReadFloat(); }), 5.0L);
  EXPECT_EQ(ReadAll({2, 5}, [](TnxReader& r) { return r.ReadSingle(); }), 5.0f);
  EXPECT_EQ(ReadAll({2, 5}, [](TnxReader& r) { return r.ReadCurrency(); }), 50000);
  EXPECT_EQ(ReadAll({2, 5}, [](TnxReader& r) { return r.ReadDate(); }), 5.0);
  EXPECT_EQ(ReadAll({2, 5}, [](TnxReader& r) { return r.ReadInt64(); }), 5);

  const std::vector<std::pair<Bytes, std::function<void(TnxReader&)>>> refused = {
      {{5, 0, 0, 0, 0, 0, 0, 0, 0x80, 0xFF, 0x3F}, [](TnxReader& r) { r.ReadDouble(); }},
      {{6, 1, 'x'}, [](TnxReader& r) { r.ReadInteger(); }},
      {{2, 1}, [](TnxReader& r) { r.ReadBoolean(); }},
      {{2, 1}, [](TnxReader& r) { r.ReadString(); }},
      {{6, 2, 'a', 'b'}, [](TnxReader& r) { r.ReadChar(); }},
      {{10, 2, 0, 0, 0, 1, 2}, [](TnxReader& r) { uint8_t b[3]; r.ReadBinary(b, 3); }},
      {{6, 1, 'x'}, [](TnxReader& r) { r.ReadIdent(); }},
      {{0}, [](TnxReader& r) { r.ReadListBegin(); }},
      {{1}, [](TnxReader& r) { r.ReadListEnd(); }},
      {{19, 0, 0, 0, 0, 0, 0, 0, 0x40}, [](TnxReader& r) { r.ReadCurrency(); }},  // 2^62 * 10000
  };
  for (const auto& [bytes, read] : refused) {
    TnxStaticMemoryStream s(const_cast<uint8_t*>(bytes.data()), static_cast<int64_t>(bytes.size()));
    TnxReader r(s);
    try {
      read(r);
      ADD_FAILURE() << "accepted tag " << int(bytes[0]);
    } catch (const platform::EReadError& e) {
      EXPECT_EQ(e.Message(), u"Ungültiger Eigenschaftswert");
    }
  }
}

TEST(TaggedFormat, LengthsBeyondTheStreamAreRefusedBeforeAllocating) {
  const Bytes cases[] = {
      {12, 0xFF, 0xFF, 0xFF, 0x7F, 'a'},   // LString of 2 GB
      {20, 0x00, 0x00, 0x00, 0x40},         // UTF-8 string of 1 GB
      {18, 0xFF, 0xFF, 0xFF, 0x3F, 'a', 0},  // WString of 2 G units
      {18, 0x00, 0x00, 0x00, 0x80},         // negative count
      {6, 10, 'a', 'b'},                    // short string running off the end
      {7, 5, 'a'},
  };
  for (const auto& bytes : cases) {
    TnxStaticMemoryStream s(const_cast<uint8_t*>(bytes.data()), static_cast<int64_t>(bytes.size()));
    TnxReader r(s);
    if (bytes[0] == 7) {
      EXPECT_THROW(r.ReadIdent(), platform::EReadError);
    } else {
      EXPECT_THROW(r.ReadString(), platform::EReadError) << int(bytes[0]);
    }
  }
  Bytes big = {10, 0xFF, 0xFF, 0xFF, 0x7F};
  EXPECT_THROW(ReadAll(big, [](TnxReader& r) { return r.ReadBytes(); }), platform::EReadError);
  Bytes negative = {10, 0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_THROW(ReadAll(negative, [](TnxReader& r) { return r.ReadBytes(); }), platform::ERangeError);
  EXPECT_THROW(ReadAll({}, [](TnxReader& r) { return r.ReadInteger(); }), platform::EReadError);
  EXPECT_THROW(ReadAll({4, 1, 2}, [](TnxReader& r) { return r.ReadInteger(); }), platform::EReadError);
}

TEST(TaggedFormat, ValuesAcrossTheBufferBoundaryAndLargePayloads) {
  TnxMemoryStream s;
  std::vector<uint8_t> blob(10000);
  for (size_t i = 0; i < blob.size(); ++i) blob[i] = static_cast<uint8_t>(i * 7);
  {
    TnxWriter w(s);
    for (int i = 0; i < 1500; ++i) w.WriteInteger(i * 1000);
    w.WriteBytes(blob);
    w.WriteString(std::u16string(5000, u'ä'));
  }
  s.SetPosition(0);
  TnxReader r(s);
  for (int i = 0; i < 1500; ++i) ASSERT_EQ(r.ReadInteger(), i * 1000);
  EXPECT_EQ(r.ReadBytes(), blob);
  EXPECT_EQ(r.ReadString(), std::u16string(5000, u'ä'));
  EXPECT_EQ(r.BytesLeft(), 0);
}

// Strings are narrowed and encoded straight into the writer's buffer and
// converted straight out of the reader's: wherever a string starts
// relative to the 4096-byte buffer, its bytes are those of the shortest
// encoding and it reads back whole.
TEST(TaggedFormat, StringsKeepTheirBytesWhereverTheBufferBreaks) {
  auto length32 = [](uint8_t tag, size_t n) {
    return Bytes{tag, static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n >> 16), 0};
  };
  auto utf8 = [](const std::u16string& s) {
    std::string b = platform::Utf16ToUtf8(s);
    return Bytes(b.begin(), b.end());
  };
  std::u16string mixed;  // 7 units, 12 UTF-8 bytes: 1- to 4-byte sequences
  for (int i = 0; i < 700; ++i) mixed += u"abcé€\U0001F600";
  const std::u16string shortUtf8 = u"Grüße";
  struct Case {
    std::u16string text;
    Bytes encoded;
  };
  const Case cases[] = {
      {u"Alias_0001", Cat({{6, 10}, Bytes{'A', 'l', 'i', 'a', 's', '_', '0', '0', '0', '1'}})},
      {std::u16string(255, u'q'), Cat({{6, 255}, Repeat('q', 255)})},
      {std::u16string(256, u'r'), Cat({length32(12, 256), Repeat('r', 256)})},
      {std::u16string(6000, u's'), Cat({length32(12, 6000), Repeat('s', 6000)})},
      {shortUtf8, Cat({length32(20, 7), utf8(shortUtf8)})},
      {mixed, Cat({length32(20, 8400), utf8(mixed)})},
      // Not ASCII, not shorter as UTF-8: the fast path must give way.
      {u"ä", {18, 1, 0, 0, 0, 0xE4, 0x00}},
  };
  for (const auto& c : cases) {
    for (size_t filler : {size_t{0}, size_t{1}, size_t{3000}, size_t{4086}, size_t{4093}, size_t{4094},
                          size_t{4095}, size_t{4096}, size_t{4097}}) {
      const Bytes lead(filler, 0xAA);
      const Bytes bytes = Written([&](TnxWriter& w) {
        w.Write(lead.data(), static_cast<int64_t>(lead.size()));
        w.WriteString(c.text);
        w.WriteInteger(7);
      });
      ASSERT_EQ(bytes, Cat({lead, c.encoded, {2, 7}})) << c.text.size() << " after " << filler;
      TnxStaticMemoryStream s(const_cast<uint8_t*>(bytes.data()), static_cast<int64_t>(bytes.size()));
      TnxReader r(s);
      Bytes skipped(filler);
      r.Read(skipped.data(), static_cast<int64_t>(skipped.size()));
      EXPECT_EQ(r.ReadString(), c.text) << c.text.size() << " after " << filler;
      EXPECT_EQ(r.ReadInteger(), 7);
      EXPECT_EQ(r.BytesLeft(), 0);
    }
  }
}

TEST(TaggedFormat, ReadingIntoAStringReplacesWhatItHeld) {
  // One string takes text after text, longer and shorter, of every
  // encoding; each must read as ReadString reads it, nothing of the last left.
  const std::u16string texts[] = {std::u16string(6000, u's'), u"Alias_0001", u"", u"ä", u"Grüße",
                                  std::u16string(300, u'r'), u"x"};
  Bytes bytes = Written([&](TnxWriter& w) {
    for (const auto& text : texts) w.WriteString(text);
  });
  // ANSI text with a byte beyond ASCII, after ASCII text of the same length.
  bytes = Cat({bytes, {6, 2, 'a', 'b'}, {6, 2, 0xE4, 'x'}});
  std::vector<std::u16string> expected(std::begin(texts), std::end(texts));
  expected.insert(expected.end(), {u"ab", u"äx"});
  const auto read = ReadAll(bytes, [&](TnxReader& r) {
    std::vector<std::u16string> got;
    std::u16string into = u"stale text that is longer than several of the names";
    for (size_t i = 0; i < expected.size(); ++i) {
      r.ReadStringInto(into);
      got.push_back(into);
    }
    return got;
  });
  EXPECT_EQ(read, expected);
  EXPECT_THROW(ReadAll(Bytes{2, 7}, [](TnxReader& r) {
    std::u16string into;
    r.ReadStringInto(into);
    return into;
  }), platform::EReadError) << "an integer is no text";
}

TEST(TaggedFormat, FlushingTheReaderGivesBackWhatItReadAhead) {
  TnxMemoryStream s;
  {
    TnxWriter w(s);
    w.WriteInteger(1);
    w.Write("tail", 4);
  }
  s.SetPosition(0);
  TnxReader r(s);
  EXPECT_EQ(r.ReadInteger(), 1);
  r.FlushBuffer();
  EXPECT_EQ(s.Position(), 2);
}

// Random mutations of a valid stream: the reader may only raise the
// library's own errors, never crash or read out of bounds (ASan), and
// never allocate more than the stream holds.
TEST(TaggedFormat, MutatedStreamsRaiseOnlyReadErrors) {
  Bytes valid = Written([](TnxWriter& w) {
    w.WriteListBegin();
    w.WriteInteger(int64_t{1} << 40);
    w.WriteString(u"hello");
    w.WriteString(u"Grüße");
    w.WriteWideString_(u"wide");
    w.WriteBytes({1, 2, 3});
    w.WriteFloat(3.5L);
    w.WriteVariant(TnxVariant::FromCurrency(5));
    w.WriteIdent(u"Name");
    w.WriteListEnd();
  });
  std::mt19937 rng(12345);
  int errors = 0;
  for (int round = 0; round < 20000; ++round) {
    Bytes b = valid;
    int edits = 1 + static_cast<int>(rng() % 4);
    for (int e = 0; e < edits; ++e) {
      switch (rng() % 4) {
        case 0: b[rng() % b.size()] = static_cast<uint8_t>(rng()); break;
        case 1: b[rng() % b.size()] = static_cast<uint8_t>(rng() % 23); break;
        case 2: b.resize(rng() % (b.size() + 1)); if (b.empty()) b.push_back(1); break;
        case 3: b[rng() % b.size()] ^= 0x80; break;
      }
    }
    TnxStaticMemoryStream s(b.data(), static_cast<int64_t>(b.size()));
    TnxReader r(s);
    try {
      // A generic walker: reads every value by its tag until the list ends.
      r.ReadListBegin();
      while (!r.EndOfList()) {
        switch (r.NextValue()) {
          case vaBinary: {
            auto bytes = r.ReadBytes();
            ASSERT_LE(bytes.size(), b.size());
            break;
          }
          case vaIdent: ASSERT_LE(r.ReadIdent().size(), b.size()); break;
          case vaExtended: r.ReadFloat(); break;
          case vaString: case vaLString: case vaWString: case vaUTF8String:
            ASSERT_LE(r.ReadString().size(), b.size());
            break;
          default: r.ReadVariant(); break;
        }
      }
      r.ReadListEnd();
    } catch (const platform::EReadError&) {
      ++errors;
    } catch (const platform::ERangeError&) {
      ++errors;
    }
  }
  EXPECT_GT(errors, 1000);
}

TEST(RequestWriter, CarriesTheRequestAndWrapsTheReply) {
  TnxMsgID seenID = 0;
  Bytes seenPayload;
  bool seenReplyVar = false;
  auto process = [&](TnxMsgID id, TnxMemoryStream* request, TnxMemoryStream** reply, bool) -> uint32_t {
    seenID = id;
    seenPayload.assign(request->ByteArray(), request->ByteArray() + request->GetSize());
    seenReplyVar = reply != nullptr;
    if (reply) {
      TnxWriter w(**reply);
      w.WriteString(u"ok");
    }
    return id == 0x223 ? 0 : 10024;
  };
  TnxRequestWriter w(process);
  w.WriteInteger(7);
  uint32_t result = 99;
  TnxReplyReader* reader = w.Request(0x223, result);
  EXPECT_EQ(result, 0u);
  EXPECT_EQ(seenID, 0x223u);
  EXPECT_EQ(seenPayload, (Bytes{2, 7}));
  EXPECT_EQ(reader->GetSize(), 4);
  EXPECT_EQ(reader->ReadString(), u"ok");
  EXPECT_EQ(reader->StreamForReading().Position(), 4);

  // A failing request still gives a reader; the writer keeps appending.
  TnxReplyReader* second = w.Request(0x999, result);
  EXPECT_EQ(result, 10024u);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(seenPayload, (Bytes{2, 7}));

  EXPECT_EQ(w.RequestNoReply(0x223), 0u);
  EXPECT_FALSE(seenReplyVar);

  w.WriteInteger(8);
  w.StreamForWriting().Write("\x01", 1);
  TnxMemoryStream* into = new TnxMemoryStream(-1);
  EXPECT_EQ(w.RequestIntoStream(0x223, into), 0u);
  EXPECT_EQ(seenPayload, (Bytes{2, 7, 2, 8, 1}));
  EXPECT_EQ(into->GetSize(), 4);
  delete into;

  std::unique_ptr<TnxReplyReader> released = w.ReleaseReply();
  EXPECT_EQ(released.get(), second);
  EXPECT_EQ(w.ReleaseReply(), nullptr);
}

TEST(RequestWriter, ATakenOverReplyStreamIsOwnedByTheReader) {
  auto process = [](TnxMsgID, TnxMemoryStream*, TnxMemoryStream** reply, bool) -> uint32_t {
    delete *reply;
    *reply = new TnxMemoryStream(-1);
    (*reply)->Write("\x09", 1);
    return 0;
  };
  TnxRequestWriter w(process);
  uint32_t result = 1;
  TnxReplyReader* r = w.Request(1, result);
  EXPECT_TRUE(r->ReadBoolean());
}

// Under the leak checker: what a raising callee left in the slot is neither
// lost nor freed twice, and the next request hands it out again.
TEST(RequestWriter, AStreamLeftByARaisingCalleeIsKeptForTheNextRequest) {
  TnxMemoryStream* left = nullptr;
  bool fail = true;
  auto process = [&](TnxMsgID, TnxMemoryStream*, TnxMemoryStream** reply, bool) -> uint32_t {
    if (fail) {
      delete *reply;
      *reply = left = new TnxMemoryStream(-1);
      throw platform::EReadError(u"lost line");
    }
    EXPECT_EQ(*reply, left);
    (*reply)->Write("\x09", 1);
    return 0;
  };
  TnxRequestWriter w(process);
  uint32_t result = 1;
  EXPECT_THROW(w.Request(1, result), platform::EReadError);
  fail = false;
  EXPECT_TRUE(w.Request(1, result)->ReadBoolean());
}

// Reply streams are the thread's spares, lent again: each reply holds its
// own bytes alone (a shorter one after a longer), a reader taken from its
// writer outlives it, and two readers alive at once never share a stream.
TEST(RequestWriter, ASpareReplyStreamCarriesOnlyTheBytesOfItsOwnReply) {
  std::u16string answer;
  auto process = [&](TnxMsgID, TnxMemoryStream*, TnxMemoryStream** reply, bool) -> uint32_t {
    TnxWriter w(**reply);
    w.WriteString(answer);
    return 0;
  };
  std::vector<std::unique_ptr<TnxReplyReader>> kept;
  for (const std::u16string& text : {std::u16string(5000, u'\u00e9'), std::u16string(u"ok"), std::u16string()}) {
    answer = text;
    TnxRequestWriter w(process);
    uint32_t result = 1;
    TnxReplyReader* reader = w.Request(1, result);
    ASSERT_EQ(result, 0u);
    EXPECT_EQ(reader->ReadString(), text);
    EXPECT_EQ(reader->BytesLeft(), 0);
    kept.push_back(w.ReleaseReply());
  }
  answer = u"later";
  TnxRequestWriter w(process);
  uint32_t result = 1;
  EXPECT_EQ(w.Request(1, result)->ReadString(), u"later");
  for (auto& reader : kept) reader->StreamForReading().SetPosition(0);
  EXPECT_EQ(kept[0]->ReadString(), std::u16string(5000, u'\u00e9'));
  EXPECT_EQ(kept[1]->ReadString(), u"ok");
  EXPECT_EQ(kept[2]->ReadString(), u"");
}

// Request streams are kept by the thread and lent again: a later request
// carries its own bytes only, also after a longer one, and two writers alive
// at once never share a stream.
TEST(RequestWriter, AKeptRequestStreamCarriesOnlyTheBytesOfItsOwnRequest) {
  std::vector<Bytes> sent;
  std::vector<const TnxMemoryStream*> streams;
  auto process = [&](TnxMsgID, TnxMemoryStream* request, TnxMemoryStream**, bool) -> uint32_t {
    sent.emplace_back(request->ByteArray(), request->ByteArray() + request->GetSize());
    streams.push_back(request);
    return 0;
  };
  {
    TnxRequestWriter longer(process);
    longer.WriteString(u"a longer request");
    longer.RequestNoReply(1);
  }
  {
    TnxRequestWriter shorter(process);
    shorter.WriteInteger(7);
    shorter.RequestNoReply(2);
    TnxRequestWriter inner(process);
    inner.WriteInteger(8);
    inner.RequestNoReply(3);
  }
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[1], (Bytes{2, 7}));
  EXPECT_EQ(sent[2], (Bytes{2, 8}));
  EXPECT_EQ(streams[1], streams[0]) << "the thread's stream, lent again";
  EXPECT_NE(streams[2], streams[1]) << "writers alive at once";
}

}  // namespace
}  // namespace revurov
