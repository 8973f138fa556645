#include "lowlevel/streams/exception_data.h"

#include <gtest/gtest.h>

#include "lowlevel/streams/base64.h"
#include "lowlevel/streams/memory_stream.h"
#include "lowlevel/streams/tagged_stream.h"
#include "lowlevel/strings/fast_string_list.h"
#include "platform/rtl_exception.h"
#include "platform/text.h"

namespace revurov {
namespace {

using platform::TnxVariant;

class ExceptionDataTest : public ::testing::Test {
protected:
  void SetUp() override { nxExceptionDataStartup(); }
  void TearDown() override { nxExceptionDataShutdown(); }
};

// An object that describes itself and a child object.
struct Node : TnxObject, InxExceptionData {
  std::u16string name;
  TnxObject* child = nullptr;
  void GetExceptionData(InxExceptionDataContainer& c, bool aFlag) override {
    c.AddString(u"Name", name);
    c.AddObject(u"Child", child, aFlag);
  }
};

void ExpectSameTree(InxExceptionDataValue& a, InxExceptionDataValue& b) {
  ASSERT_EQ(a.Name(), b.Name());
  ASSERT_EQ(a.ValueKind(), b.ValueKind()) << platform::Utf16ToUtf8(a.Name());
  if (a.ValueKind() == edkContainer) {
    auto ca = a.AsContainer(), cb = b.AsContainer();
    ASSERT_EQ(ca->Count(), cb->Count());
    for (int32_t i = 0; i < ca->Count(); ++i) ExpectSameTree(*ca->Values(i), *cb->Values(i));
  } else if (a.ValueKind() == edkVariant) {
    EXPECT_TRUE(a.AsVariant() == b.AsVariant());
  } else {
    EXPECT_EQ(a.AsString(), b.AsString());
  }
}

TEST_F(ExceptionDataTest, TreesRoundTripThroughTheirEncodedForm) {
  auto root = nxCreateExceptionDataContainer(u"ExceptionData");
  root->AddString(u"Text", u"Grüße\r\nzweite Zeile");
  root->AddInteger(u"Big", (int64_t{1} << 32) + 5);
  root->AddInteger(u"Negative", -7);
  root->AddBoolean(u"Flag", true);
  root->AddFloat(u"Ratio", 0.1);
  root->AddVariant(u"Null", TnxVariant::Null());
  root->AddVariant(u"Empty", TnxVariant());
  root->AddVariant(u"Cur", TnxVariant::FromCurrency(12345));
  auto inner = root->AddContainer(u"Inner");
  inner->AddString(u"", u"");
  inner->AddContainer(u"Deeper")->AddInteger(u"x", 1);
  for (int32_t version : {47501, 41100, 0}) {
    std::u16string text = root->ToEncodedString(version);
    auto back = nxExceptionDataFromString(text);
    ExpectSameTree(*root, *back);
    EXPECT_EQ(back->AsContainer()->Values(4)->AsFloat(), 0.1);
  }
  EXPECT_EQ(root->Values(1)->AsString(), u"4294967301 ($0000000100000005, 1:5)");
  EXPECT_EQ(root->Values(2)->AsString(), u"-7 ($FFFFFFFFFFFFFFF9, -1:4294967289)");
}

TEST_F(ExceptionDataTest, EncodedFormIsIdentVersionThenValues) {
  auto root = nxCreateExceptionDataContainer(u"R");
  root->AddInteger(u"i", 10);
  std::string bytes = Base64ToStr(platform::Utf16ToUtf8(root->ToEncodedString(47501)));
  const unsigned char raw[] = {7, 3, 'E', 'D', 'V', 4, 0x8D, 0xB9, 0, 0,  // ident, version 47501
                               2, 5, 6, 1, 'R', 1,                        // container "R", list
                               2, 1, 6, 1, 'i', 2, 10,                    // integer "i" = 10
                               0};                                        // list end
  const std::string expected(reinterpret_cast<const char*>(raw), sizeof raw);
  EXPECT_EQ(bytes, expected);
  EXPECT_EQ(root->Values(0)->AsString(), u"10 ($0000000A)");
}

TEST_F(ExceptionDataTest, DecodingRefusesBadInput) {
  auto encode = [](auto write) -> std::u16string {
    TnxAnsiStringStream s;
    {
      TnxWriter w(s);
      write(w);
    }
    return platform::Utf8ToUtf16(StrToBase64(s.DataString()));
  };
  auto code = [](const std::u16string& text) -> uint32_t {
    try {
      nxExceptionDataFromString(text);
    } catch (const EnxBaseException& e) {
      return e.ErrorCode();
    }
    return 0;
  };
  EXPECT_EQ(code(encode([](TnxWriter& w) { w.WriteIdent(u"XYZ"); w.WriteInteger(1); })), 15498u);
  EXPECT_EQ(code(encode([](TnxWriter& w) { w.WriteIdent(u"edv"); w.WriteInteger(1); w.WriteInteger(6); w.WriteString(u"n"); })), 15498u);
  // A kind is taken from its low 8 bits.
  auto viaLowByte = nxExceptionDataFromString(encode([](TnxWriter& w) {
    w.WriteIdent(u"EDV"); w.WriteInteger(1); w.WriteInteger(0x100); w.WriteString(u"n"); w.WriteString(u"v");
  }));
  EXPECT_EQ(viaLowByte->AsString(), u"v");
  // Nesting beyond the limit is refused rather than exhausting the stack.
  EXPECT_EQ(code(encode([](TnxWriter& w) {
              w.WriteIdent(u"EDV"); w.WriteInteger(1);
              for (int i = 0; i < 100000; ++i) { w.WriteInteger(5); w.WriteString(u""); w.WriteListBegin(); }
            })), 15498u);
  EXPECT_THROW(nxExceptionDataFromString(u"abc"), platform::Exception);
  EXPECT_THROW(nxExceptionDataFromString(encode([](TnxWriter& w) {
                 w.WriteIdent(u"EDV"); w.WriteInteger(1); w.WriteInteger(1); w.WriteString(u"n"); w.WriteString(u"x");
               })), platform::EReadError);
}

TEST_F(ExceptionDataTest, AddObjectGuardsAgainstCyclesAndExclusions) {
  Node a, b, c;
  a.name = u"a";
  b.name = u"b";
  c.name = u"c";
  a.child = &b;
  b.child = &c;
  c.child = &a;  // two levels up from c's container is a's container
  auto root = nxCreateExceptionDataContainer(u"ExceptionData");
  root->AddObject(u"A", &a, false);
  auto ca = root->Values(0)->AsContainer();
  EXPECT_EQ(ca->ForObject(), &a);
  auto cb = ca->Values(1)->AsContainer();
  auto cc = cb->Values(1)->AsContainer();
  EXPECT_EQ(cc->Values(0)->AsString(), u"c");
  EXPECT_EQ(cc->Values(1)->AsString(),
            u"[Omitted to prevent cycle. Object already present 2 step up in history.]");

  // The object a container itself describes is not caught by the walk.
  Node self;
  self.name = u"s";
  auto described = nxCreateExceptionDataContainer(u"X", &self);
  described->AddContainer(u"Sub")->AddObject(u"S", &self, false);
  EXPECT_EQ(described->Values(0)->AsContainer()->Values(0)->AsString(),
            u"[Omitted to prevent cycle. Object already present 1 step up in history.]");

  Node excluded;
  auto withExclusions = nxCreateExceptionDataContainer(u"X", nullptr, {&excluded});
  withExclusions->AddContainer(u"Sub")->AddObject(u"E", &excluded, false);
  EXPECT_EQ(withExclusions->Values(0)->AsContainer()->Values(0)->AsString(), u"[Excluded]");

  withExclusions->AddObject(u"Nil", nullptr, false);
  EXPECT_EQ(withExclusions->Count(), 1);
  TnxObject plain;
  withExclusions->AddObject(u"Plain", &plain, false);
  EXPECT_EQ(withExclusions->Count(), 2);

  // The cycle-guarded tree encodes and decodes as any other.
  ExpectSameTree(*root, *nxExceptionDataFromString(root->ToEncodedString(47501)));
}

// A string list that is also a library object, as the library's own lists are.
struct ObjectLines : TnxObject, TnxFastStringList {};

TEST_F(ExceptionDataTest, AddObjectDescribesStringListsLineByLine) {
  platform::TStringList lines;
  for (const char16_t* line : {u"a=1", u"=2", u"x", u"b=c=d", u""}) lines.Add(line);
  ObjectLines objectLines;
  objectLines.Add(u"k=v");
  auto root = nxCreateExceptionDataContainer(u"ExceptionData", nullptr, {&objectLines});
  root->AddObject(u"Lines", &lines, false);
  root->AddContainer(u"Sub")->AddObject(u"Excluded", static_cast<TnxObject*>(&objectLines), false);
  root->AddObject(u"ByObject", static_cast<TnxObject*>(&objectLines), false);
  root->AddObject(u"Nil", static_cast<const platform::TStringList*>(nullptr), false);
  ASSERT_EQ(root->Count(), 3);

  auto c = root->Values(0)->AsContainer();
  ASSERT_EQ(c->Count(), 5);
  const std::pair<const char16_t*, const char16_t*> expected[] = {
      {u"a", u"1"}, {u"[1]", u"2"}, {u"[2]", u"x"}, {u"b", u"c=d"}, {u"[4]", u""}};
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(c->Values(i)->Name(), expected[i].first) << i;
    EXPECT_EQ(c->Values(i)->AsString(), expected[i].second) << i;
  }
  EXPECT_EQ(root->Values(1)->AsContainer()->Values(0)->AsString(), u"[Excluded]");
  auto byObject = root->Values(2)->AsContainer();
  ASSERT_EQ(byObject->Count(), 1);
  EXPECT_EQ(byObject->Values(0)->Name(), u"k");
  ExpectSameTree(*root, *nxExceptionDataFromString(root->ToEncodedString(47501)));

  // An exception's custom infos are such a list.
  EnxBaseException e(10024, u"T<[--!OSError=5!--]><[--!Action=open!--]>");
  auto infos = nxCreateExceptionDataContainer(u"ExceptionData");
  infos->AddObject(u"Infos", &e.CustomInfos(), false);
  auto infoLines = infos->Values(0)->AsContainer();
  ASSERT_EQ(infoLines->Count(), 2);
  EXPECT_EQ(infoLines->Values(1)->Name(), u"Action");
  EXPECT_EQ(infoLines->Values(1)->AsString(), u"open");
}

TEST_F(ExceptionDataTest, ScalarsAndContainersRefuseEachOthersAccessors) {
  auto root = nxCreateExceptionDataContainer(u"R");
  root->AddString(u"s", u"12");
  root->AddBoolean(u"b", false);
  root->AddVariant(u"n", TnxVariant::Null());
  auto refused = [](auto f, const char16_t* text) {
    try {
      f();
      ADD_FAILURE();
    } catch (const EnxBaseException& e) {
      EXPECT_EQ(e.ErrorCode(), 12289u);
      EXPECT_EQ(e.ErrorString(), text);
    }
  };
  refused([&] { root->Values(0)->AsContainer(); }, u"AsContainer not supported for TnxExceptionDataBaseValue");
  refused([&] { root->AsString(); }, u"AsVariant not supported by TnxExceptionDataBaseValue");
  refused([&] { root->AsInteger(); }, u"AsVariant not supported by TnxExceptionDataBaseValue");
  EXPECT_EQ(root->Values(0)->AsInteger(), 12);
  EXPECT_EQ(root->Values(1)->AsString(), u"False");
  EXPECT_EQ(root->Values(2)->AsString(), u"");
  EXPECT_THROW(root->Values(3), platform::ERangeError);
  EXPECT_THROW(root->Values(-1), platform::ERangeError);
}

TEST_F(ExceptionDataTest, DumpIndentsByLevel) {
  auto root = nxCreateExceptionDataContainer(u"ExceptionData");
  root->AddString(u"One", u"line");
  root->AddString(u"Two", u"first\r\nsecond");
  root->AddInteger(u"I", 10);
  root->AddBoolean(u"B", true);
  root->AddFloat(u"F", 1.5);
  auto sub = root->AddContainer(u"Sub");
  sub->AddVariant(u"S", TnxVariant::FromString(u"it's"));
  sub->AddVariant(u"N", TnxVariant::Null());
  sub->AddVariant(u"E", TnxVariant());
  sub->AddVariant(u"V", TnxVariant::FromInteger(3));
  sub->AddVariant(u"Bad", TnxVariant::OfUnsupportedType(0x2011));
  EXPECT_EQ(root->ToString(),
            u"ExceptionData:\r\n"
            u"  One: line\r\n"
            u"  Two:\r\n"
            u"    first\r\n"
            u"    second\r\n"
            u"  I: 10 ($0000000A)\r\n"
            u"  B: True\r\n"
            u"  F: 1.5\r\n"
            u"  Sub:\r\n"
            u"    S: 'it''s'\r\n"
            u"    N: NULL\r\n"
            u"    E: EMPTY\r\n"
            u"    V: 3\r\n"
            u"    Bad: [Error: Variante des Typs (Array) konnte nicht in Typ (String) konvertiert werden]\r\n");
}

TEST_F(ExceptionDataTest, ExceptionsRebuildTheirDataFromTheTag) {
  auto root = nxCreateExceptionDataContainer(u"ExceptionData");
  root->AddString(u"Table", u"Kunden");
  std::u16string msg = u"Fehler" + nxMessageTag(u"$ExceptionData$", root->ToEncodedString(47501));
  EnxBaseException e(10024, msg);
  ASSERT_NE(e.ExceptionData(), nullptr);
  EXPECT_EQ(e.ExceptionData()->Values(0)->AsString(), u"Kunden");
  EXPECT_EQ(e.CustomInfos().IndexOfName(u"$ExceptionData$"), -1);
  EXPECT_EQ(e.ErrorString(), u"Fehler");
}

// A server's exception data that does not decode must not take the place of
// the error it came with: the exception is built as usual, without data.
TEST_F(ExceptionDataTest, DataThatDoesNotDecodeIsDropped) {
  // A well-formed single value that is no container.
  const std::u16string valueOnly = [] {
    TnxAnsiStringStream s;
    {
      TnxWriter w(s);
      w.WriteIdent(u"EDV"); w.WriteInteger(47501); w.WriteInteger(edkString); w.WriteString(u"n"); w.WriteString(u"v");
    }
    return platform::Utf8ToUtf16(StrToBase64(s.DataString()));
  }();
  const std::u16string values[] = {u"QUJD", u"not base64!", u"===", valueOnly};
  for (const std::u16string& value : values) {
    EnxBaseException e(10024, u"Fehler" + nxMessageTag(u"$ExceptionData$", value) + nxMessageTag(u"a", u"b"));
    EXPECT_EQ(e.ErrorCode(), 10024u);
    EXPECT_EQ(e.ErrorString(), u"Fehler");
    EXPECT_EQ(e.Message(), u"RevurOV: Fehler [$2728/10024]");
    EXPECT_EQ(e.CustomInfos().Lines(), std::vector<std::u16string>{u"a=b"});
    // Asked for, the data is a new empty container.
    ASSERT_NE(e.ExceptionData(), nullptr);
    EXPECT_EQ(e.ExceptionData()->Count(), 0);
  }
}

}  // namespace
}  // namespace revurov
