#include "client/database_error.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "client/data_access_component.h"
#include "lowlevel/startup.h"
#include "lowlevel/streams/base64.h"
#include "lowlevel/streams/exception_conversion.h"
#include "lowlevel/streams/exception_data.h"
#include "support/exception_interfaces.h"
#include "support/u8_text.h"

namespace revurov {
namespace {

using testing::U8;

// Stands in for the session component, which only its class name matters to here.
class TnxSession : public TnxDataAccessStateComponent {
  REVUROV_COMPONENT_CLASS(TnxSession, TnxDataAccessStateComponent)
  using TnxDataAccessStateComponent::TnxDataAccessStateComponent;
};

struct Slot {
  uint32_t code = 0;
  std::u16string text;
};

Slot ReadSlot() {
  Slot s;
  EnxBaseException::GetLastConvertedException(s.code, s.text);
  return s;
}

class DatabaseErrorTest : public ::testing::Test {
protected:
  void SetUp() override {
    db_ = new TnxDataAccessStateComponent(nullptr);
    db_->SetName(u"db");
    session_ = new TnxSession(nullptr);
  }
  void TearDown() override {
    platform::TComponent::Free(session_);
    platform::TComponent::Free(db_);
    EnxBaseException::SetLastConvertedException(0, u"");
  }

  TnxLowLevelStartupGuard startup_;  // exception data decodes only once started
  TnxDataAccessStateComponent* db_ = nullptr;
  TnxSession* session_ = nullptr;
};

constexpr const platform::TComponent* kNoComponent = nullptr;

TEST_F(DatabaseErrorTest, Constructions) {
  struct Case {
    const char* what;
    Slot slot;  // left by the transport before the construction
    std::function<EnxDatabaseError()> make;
    std::u16string message;
    uint32_t code;
    std::u16string errorString;
    bool extended;
    uint32_t osError;
    std::vector<std::u16string> infos;
  };
  const std::u16string org = u"<[!Org!]>";
  const Case cases[] = {
      {"server text in the slot for the same code", {10036, u"Benutzer Otto ist unbekannt"},
       [] { return EnxDatabaseError(10036u); },
       u"Benutzer Otto ist unbekannt [$2734/10036]", 10036, u"Benutzer Otto ist unbekannt", true, 0, {}},
      {"empty slot: the table text", {}, [] { return EnxDatabaseError(10036u); },
       u"Unknown user name or password. [$2734/10036]", 10036, u"", false, 0, {}},
      {"slot of another code is not used", {10035, u"fremder Text"},
       [] { return EnxDatabaseError(10036u); },
       u"Unknown user name or password. [$2734/10036]", 10036, u"", false, 0, {}},
      {"slot of the same code without text", {10036, u""}, [] { return EnxDatabaseError(10036u); },
       u"Unknown user name or password. [$2734/10036]", 10036, u"", false, 0, {}},
      {"server's tags become infos", {10024, u"Tabelle fehlt<[--!OSError=5!--]><[--!Action=open!--]>"},
       [] { return EnxDatabaseError(10024u); },
       u"Tabelle fehlt [$2728/10024]", 10024, u"Tabelle fehlt", true, 5, {u"OSError=5", u"Action=open"}},
      {"placeholder in the middle, code text ends in a full stop", {},
       [&] { return EnxDatabaseError(9986u, u"Vorher: " + org + u" (Feld X)"); },
       u"Vorher: Invalid parameter. (Feld X) [$2702/9986]", 9986, u"Vorher: <[!Org!]> (Feld X)", true, 0, {}},
      {"blanks only", {}, [] { return EnxDatabaseError(10014u, u"  \t  "); },
       u"Unknown database. [$271E/10014]", 10014, u"  \t  ", true, 0, {}},
      {"long OSError tag", {},
       [] { return EnxDatabaseError(9218u, u"Schreiben fehlgeschlagen<[--!\u00FEOSError=112\u00FE!--]>"); },
       u"Schreiben fehlgeschlagen [$2402/9218]", 9218, u"Schreiben fehlgeschlagen", true, 112, {u"OSError=112"}},
      {"tags without =, with an empty name or value", {},
       [] { return EnxDatabaseError(9986u, u"a<[--!\u00FEnoequals\u00FE!--]>b<[--!=v!--]>c<[--!n=!--]>d<[--!!--]>"); },
       u"abcd [$2702/9986]", 9986, u"abcd", true, 0, {}},
      {"unclosed long tag in the middle swallows the rest", {},
       [] { return EnxDatabaseError(9986u, u"Anfang<[--!\u00FEOSError=5 und der Rest"); },
       u"Anfang [$2702/9986]", 9986, u"Anfang", true, 0, {u"OSError=5 und der Rest"}},
      {"unclosed long tag first leaves the code text", {},
       [] { return EnxDatabaseError(9986u, u"<[--!\u00FEx=1 alles weg"); },
       u"Invalid parameter. [$2702/9986]", 9986, u"", true, 0, {u"x=1 alles weg"}},
      {"two lines, then blank ones", {},
       [] { return EnxDatabaseError(9986u, u"Zeile eins\r\nZeile zwei\r\n  \r\n"); },
       u"Zeile eins\r\nZeile zwei\r\n\r\n [$2702/9986]", 9986, u"Zeile eins\r\nZeile zwei\r\n  \r\n", true, 0, {}},
      {"OSError beyond 32 bits keeps the low 32", {},
       [] { return EnxDatabaseError(1u, u"x<[--!OSError=99999999999!--]>"); },
       u"x [$1/1]", 1, u"x", true, 1215752191, {u"OSError=99999999999"}},
      {"negative OSError", {}, [] { return EnxDatabaseError(1u, u"x<[--!OSError=-1!--]>"); },
       u"x [$1/1]", 1, u"x", true, 0xFFFFFFFFu, {u"OSError=-1"}},
      {"OSError beyond 64 bits is no number", {},
       [] { return EnxDatabaseError(1u, u"x<[--!OSError=99999999999999999999!--]>"); },
       u"x [$1/1]", 1, u"x", true, 0, {u"OSError=99999999999999999999"}},
      {"OSError that is no number", {}, [] { return EnxDatabaseError(1u, u"x<[--!OSError=12ab!--]>"); },
       u"x [$1/1]", 1, u"x", true, 0, {u"OSError=12ab"}},
      {"exception data that does not decode is dropped", {},
       [] { return EnxDatabaseError(9986u, u"x<[--!$ExceptionData$=QUJD!--]><[--!a=b!--]>"); },
       u"x [$2702/9986]", 9986, u"x", true, 0, {u"a=b"}},
      {"code with a format", {}, [] { return EnxDatabaseError(10024u, u"Tabelle %s", {u"Kunden"}); },
       u"Tabelle Kunden [$2728/10024]", 10024, u"Tabelle Kunden", true, 0, {}},
      {"code 0 keeps the code pattern", {}, [] { return EnxDatabaseError(0u, u"nichts"); },
       u"nichts [$0/0]", 0, u"nichts", true, 0, {}},
      {"message alone", {}, [] { return EnxDatabaseError(u"Kaputt"); },
       u"Kaputt [no error code]", 0, u"Kaputt", true, 0, {}},
      {"message alone with a format", {}, [] { return EnxDatabaseError(u"%s fehlt (%d)", {u"Feld", 3}); },
       u"Feld fehlt (3) [no error code]", 0, u"Feld fehlt (3)", true, 0, {}},
      {"message alone does not take the slot", {0, u"alt"}, [] { return EnxDatabaseError(u"neu"); },
       u"neu [no error code]", 0, u"neu", true, 0, {}},
      {"named component", {}, [this] { return EnxDatabaseError(db_, 9986u); },
       u"RevurOV: db: Invalid parameter. [$2702/9986]", 9986, u"", false, 0, {}},
      {"unnamed session", {}, [this] { return EnxDatabaseError(session_, 9986u); },
       u"RevurOV: <unnamed TnxSession instance>: Invalid parameter. [$2702/9986]", 9986, u"", false, 0, {}},
      {"nil component", {}, [] { return EnxDatabaseError(kNoComponent, u"Kaputt"); },
       u"RevurOV: <nil pointer>: Kaputt [no error code]", 0, u"Kaputt", true, 0, {}},
      {"component, server text in the slot", {10036, u"Otto?"}, [this] { return EnxDatabaseError(db_, 10036u); },
       u"RevurOV: db: Otto? [$2734/10036]", 10036, u"Otto?", true, 0, {}},
      {"component, code and message", {}, [this] { return EnxDatabaseError(db_, 9986u, u"Feld leer"); },
       u"RevurOV: db: Feld leer [$2702/9986]", 9986, u"Feld leer", true, 0, {}},
      {"component, code and format", {},
       [this] { return EnxDatabaseError(db_, 9986u, u"Feld %s leer", {u"A"}); },
       u"RevurOV: db: Feld A leer [$2702/9986]", 9986, u"Feld A leer", true, 0, {}},
      {"component, message with a format", {},
       [this] { return EnxDatabaseError(session_, u"%d offen", {2}); },
       u"RevurOV: <unnamed TnxSession instance>: 2 offen [no error code]", 0, u"2 offen", true, 0, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EnxBaseException::SetLastConvertedException(c.slot.code, c.slot.text);
    EnxDatabaseError e = c.make();
    EXPECT_EQ(U8(e.Message()), U8(c.message));
    EXPECT_EQ(e.ErrorCode(), c.code);
    EXPECT_EQ(U8(e.ErrorString()), U8(c.errorString));
    EXPECT_EQ(e.ExtendedMsg(), c.extended);
    EXPECT_EQ(e.OSError(), c.osError);
    EXPECT_EQ(e.CustomInfos().Lines(), c.infos);
    // Every construction leaves the slot empty, whatever it held.
    const Slot after = ReadSlot();
    EXPECT_EQ(after.code, 0u);
    EXPECT_EQ(U8(after.text), "");
  }
}

// The server's text shows once: the next error of the same code on this
// thread has nothing left to take and shows the table text.
TEST_F(DatabaseErrorTest, ServerTextIsTakenOnce) {
  EnxBaseException::SetLastConvertedException(10036, u"Benutzer Otto ist unbekannt");
  EXPECT_EQ(U8(EnxDatabaseError(10036u).Message()), "Benutzer Otto ist unbekannt [$2734/10036]");
  EnxDatabaseError again(10036u);
  EXPECT_EQ(U8(again.Message()), "Unknown user name or password. [$2734/10036]");
  EXPECT_FALSE(again.ExtendedMsg());
}

TEST_F(DatabaseErrorTest, IsADatasetErrorAndNoLibraryException) {
  try {
    throw EnxDatabaseError(9986u);
  } catch (const EnxBaseException&) {
    FAIL() << "caught as the library's exception";
  } catch (const platform::EDatabaseError& e) {
    EXPECT_EQ(e.ClassName(), u"EnxDatabaseError");
    EXPECT_STREQ(e.what(), "Invalid parameter. [$2702/9986]");
  }
}

TEST_F(DatabaseErrorTest, AnswersTheExceptionInterfacesWithoutCounting) {
  EnxDatabaseError e(10024u, u"T");
  testing::ExpectAnswersExceptionInterfaces(e);
  auto* unknown = static_cast<platform::IInterface*>(&e);
  {
    auto intf = platform::Supports<InxException>(unknown);
    ASSERT_TRUE(intf);
    EXPECT_EQ(intf->ErrorCode(), 10024u);
    EXPECT_EQ(U8(intf->ProcessedErrorString()), "T");
  }
  EXPECT_EQ(e.ErrorCode(), 10024u);  // the pointer let go without freeing it
}

TEST_F(DatabaseErrorTest, CustomInfosAndExceptionDataAreMadeOnFirstRequest) {
  EnxDatabaseError e(9986u);
  EXPECT_TRUE(e.CustomInfos().Lines().empty());
  TnxExceptionDataRef data = e.ExceptionData();
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(data->Name(), u"ExceptionData");
  EXPECT_EQ(data->Count(), 0);
  EXPECT_EQ(e.ExceptionData(), data);
}

// Each thread's slot is its own: a server text left for one thread's request
// never shows in another thread's error.
TEST_F(DatabaseErrorTest, ThreadsFillTheirOwnSlotsAtOnce) {
  constexpr int kRounds = 2000;
  auto run = [](uint32_t aCode, std::u16string aText, int* aMismatches) {
    for (int i = 0; i < kRounds; ++i) {
      const std::u16string text = aText + platform::Format(u" %d", {i});
      EnxBaseException::SetLastConvertedException(aCode, text);
      EnxDatabaseError e(aCode);
      if (e.ErrorString() != text) ++*aMismatches;
      uint32_t code = 1;
      std::u16string left = u"?";
      EnxBaseException::GetLastConvertedException(code, left);
      if (code != 0 || !left.empty()) ++*aMismatches;
    }
  };
  int mismatchesA = 0, mismatchesB = 0;
  std::thread a(run, 10036u, u"Otto", &mismatchesA);
  std::thread b(run, 10024u, u"Kunden", &mismatchesB);
  a.join();
  b.join();
  EXPECT_EQ(mismatchesA, 0);
  EXPECT_EQ(mismatchesB, 0);
}

// Exception data a server described: its tags travel in the slot's text and
// come back as the same infos and data on the client.
TEST_F(DatabaseErrorTest, ConvertedServerExceptionIsRebuilt) {
  struct Described : TnxObject, InxExceptionData {
    void GetExceptionData(InxExceptionDataContainer& c, bool) override {
      c.AddString(u"Table", u"Kunden");
      c.AddInteger(u"Handle", 42);
    }
  };
  for (int32_t version : {47501, 41100}) {
    SCOPED_TRACE(version);
    Described described;
    EnxBaseException server(10024, u"Tabelle fehlt" + nxMessageTag(u"OSError", u"5") +
                                       nxMessageTag(u"Action", u"open"));
    ASSERT_EQ(nxConvertException(server, nullptr, &described, version), 10024u);
    EnxDatabaseError e(db_, 10024u);
    EXPECT_EQ(U8(e.Message()), "RevurOV: db: Tabelle fehlt [$2728/10024]");
    EXPECT_EQ(e.CustomInfos().Lines(), server.CustomInfos().Lines());
    EXPECT_EQ(e.OSError(), 5u);
    TnxExceptionDataRef data = e.ExceptionData();
    ASSERT_EQ(data->Count(), 2);
    EXPECT_EQ(data->Values(0)->Name(), u"Table");
    EXPECT_EQ(data->Values(0)->AsString(), u"Kunden");
    EXPECT_EQ(data->Values(1)->AsInteger(), 42);
  }
}

// The library's conversion takes the client's error like its own: code,
// text and infos travel; an error without code becomes 15520.
TEST_F(DatabaseErrorTest, LibraryConversionTakesIt) {
  // Built first: a conversion leaves a text that a code-only error takes.
  EnxDatabaseError withInfos(9986u, u"Feld fehlt<[--!Field=Name!--]>");
  EnxDatabaseError codeOnly(9986u);
  EnxDatabaseError noCode(u"Kaputt");

  EXPECT_EQ(nxConvertException(withInfos, nullptr, nullptr, 47501), 9986u);
  EXPECT_EQ(U8(ReadSlot().text), "Feld fehlt<[--!Field=Name!--]>");
  EXPECT_EQ(nxConvertException(codeOnly, nullptr, nullptr, 47501), 9986u);
  EXPECT_EQ(U8(ReadSlot().text), "");
  EXPECT_EQ(nxConvertException(noCode, nullptr, nullptr, 47501), 15520u);
  EXPECT_EQ(U8(ReadSlot().text), "Kaputt [no error code]");
}

// Server texts are untrusted: whatever arrives builds an exception, with no
// tag start left in its text and the slot emptied.
TEST_F(DatabaseErrorTest, RandomServerTextsAlwaysBuild) {
  auto data = nxCreateExceptionDataContainer(u"ExceptionData");
  data->AddString(u"Table", u"Kunden");
  const std::u16string encoded = data->ToEncodedString(47501);
  const std::u16string pieces[] = {
      u"<[--!", u"!--]>", u"<[--!\u00FE", u"\u00FE!--]>", u"<[!Org!]>", u"<[!\u00FEOrg\u00FE!>", u"=",
      u"OSError", u"$ExceptionData$", u"\u00FE", u"Text", u" ", u"\r\n", u"99999999999999999999", u"-7",
      encoded, encoded.substr(0, encoded.size() / 2), u"QUJD", u"==", u"%s", u"\xD800"};
  std::mt19937 random(40);
  auto pick = [&random](size_t n) { return static_cast<size_t>(random() % n); };
  constexpr int kRounds = 3000;
  for (int round = 0; round < kRounds; ++round) {
    std::u16string text;
    for (size_t n = pick(24); n > 0; --n) text += pieces[pick(std::size(pieces))];
    // Mutate a few code units of the joined text, Base64 included.
    for (size_t n = text.empty() ? 0 : pick(4); n > 0; --n)
      text[pick(text.size())] = static_cast<char16_t>(pick(3) == 0 ? random() % 0x10000 : u"<[-!]>=\u00FEA/+"[pick(11)]);
    SCOPED_TRACE(U8(text));
    const uint32_t code = 9986;
    EnxBaseException::SetLastConvertedException(code, text);
    EnxDatabaseError fromSlot(db_, code);
    EnxDatabaseError withCode(code, text);
    EnxDatabaseError withoutCode(text);
    for (const EnxDatabaseError* e : {&fromSlot, &withCode, &withoutCode}) {
      ASSERT_EQ(e->ErrorString().find(u"<[--!"), std::u16string::npos);
      const std::u16string& m = e->Message();
      const std::u16string_view tail = e == &withoutCode ? u" [no error code]" : u" [$2702/9986]";
      ASSERT_GE(m.size(), tail.size());
      ASSERT_EQ(U8(m.substr(m.size() - tail.size())), U8(tail));
    }
    ASSERT_EQ(ReadSlot().code, 0u);
  }
}

}  // namespace
}  // namespace revurov
