#include "lowlevel/errors/exceptions.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <random>
#include <thread>

#include "lowlevel/heap/memory_manager.h"
#include "lowlevel/streams/exception_data.h"
#include "platform/os_error.h"
#include "platform/text.h"
#include "support/exception_interfaces.h"
#include "support/u8_text.h"

namespace revurov {
namespace {

using testing::U8;

// Every test starts with an empty slot for its thread.
class ExceptionTest : public ::testing::Test {
protected:
  void SetUp() override { EnxBaseException::SetLastConvertedException(0, u""); }
};

REVUROV_EXCEPTION_CLASS(EnxTestFamilyException, EnxBaseException);
REVUROV_EXCEPTION_CLASS(EnxTestSubFamilyException, EnxTestFamilyException);

TEST_F(ExceptionTest, MessageFormats) {
  struct Case {
    const char* name;
    std::u16string made;
    std::u16string expected;
  };
  const Case cases[] = {
      {"code alone", EnxBaseException(9729).Message(), u"RevurOV: Key violation. [$2601/9729]"},
      {"code and message", EnxBaseException(10039, u"Bad name").Message(), u"RevurOV: Bad name [$2737/10039]"},
      {"code, format, args", EnxBaseException(10024, u"T%d missing", {7}).Message(),
       u"RevurOV: T7 missing [$2728/10024]"},
      {"message alone", EnxBaseException(u"Plain").Message(), u"RevurOV: Plain [no error code]"},
      {"format alone", EnxBaseException(u"%s/%x", {u"a", 255}).Message(), u"RevurOV: a/FF [no error code]"},
      {"empty, no code", EnxBaseException(u"").Message(), u"RevurOV: Success [no error code]"},
      {"bare placeholder, no code", EnxBaseException(u"<[!Org!]>").Message(), u"RevurOV: Success. [no error code]"},
      {"code 0", EnxBaseException(int64_t{0}).Message(), u"RevurOV: Success [$0/0]"},
      {"low 32 bits kept", EnxBaseException(int64_t{0x100002601}).Message(), u"RevurOV: Key violation. [$2601/9729]"},
      {"unknown code", EnxBaseException(15520).Message(),
       u"RevurOV: Unknown (server exception object has unknown error code) [$3CA0/15520]"},
      {"message trimmed", EnxBaseException(9729, u"  padded \t").Message(), u"RevurOV: padded [$2601/9729]"},
  };
  for (const Case& c : cases) EXPECT_EQ(U8(c.made), U8(c.expected)) << c.name;
}

TEST_F(ExceptionTest, CodeAloneIsNotExtended) {
  EnxBaseException e(9729);
  EXPECT_EQ(e.ErrorCode(), 9729u);
  EXPECT_FALSE(e.ExtendedMsg());
  EXPECT_TRUE(e.ErrorString().empty());
  EXPECT_TRUE(EnxBaseException(9729, u"x").ExtendedMsg());
  EXPECT_TRUE(EnxBaseException(u"x").ExtendedMsg());
  EXPECT_EQ(EnxBaseException(u"x").ErrorCode(), 0u);
}

TEST_F(ExceptionTest, PlaceholderTakesTheCodeText) {
  struct Case {
    std::u16string msg;
    std::u16string processed;
  };
  const Case cases[] = {
      {u"Not here: <[!Org!]> (x)", u"Not here: Could not find object. (x)"},
      {u"<[!Org!]>", u"Could not find object."},
      {u"Older <[!\u00FEOrg\u00FE!> form", u"Older Could not find object. form"},
      {u"", u"Could not find object."},
      {u"   ", u"Could not find object."},
      {u"No placeholder", u"No placeholder"},
      // A text in both forms: the older is filled first, then the current.
      {u"a <[!\u00FEOrg\u00FE!> b <[!Org!]> c",
       u"a Could not find object. b Could not find object. c"},
  };
  for (const Case& c : cases) {
    EnxBaseException e(8712, c.msg);
    EXPECT_EQ(U8(e.ProcessedErrorString()), U8(c.processed)) << U8(c.msg);
  }
}

// A code text without a final "." gets one when text follows the placeholder.
TEST_F(ExceptionTest, PlaceholderAddsFullStopWhenCodeTextLacksOne) {
  EnxBaseException e(10051, u"<[!Org!]> here");  // "Invalid Filter"
  EXPECT_EQ(U8(e.ProcessedErrorString()), "Invalid Filter. here");
}

TEST_F(ExceptionTest, ThreadSlotGivesItsMessageToTheSameCodeOnly) {
  EXPECT_EQ(EnxBaseException::nxSetMessage(10039, u"Bad name"), 10039u);
  EnxBaseException other(10038);
  EXPECT_EQ(U8(other.Message()), "RevurOV: Invalid field name. [$2736/10038]");
  // The constructor above emptied the slot's message: set it again.
  EnxBaseException::nxSetMessage(10039, u"Bad %s", {u"name"});
  EnxBaseException e(10039);
  EXPECT_EQ(U8(e.Message()), "RevurOV: Bad name [$2737/10039]");
  EXPECT_TRUE(e.ExtendedMsg());
  uint32_t code = 1;
  std::u16string msg = u"?";
  EnxBaseException::GetLastConvertedException(code, msg);
  EXPECT_EQ(code, 10039u);  // the code stays
  EXPECT_TRUE(msg.empty());
  EXPECT_EQ(U8(EnxBaseException(10039).Message()), "RevurOV: Invalid table name. [$2737/10039]");
}

TEST_F(ExceptionTest, ThreadSlotIsPerThread) {
  EnxBaseException::nxSetMessage(10039, u"main thread");
  std::u16string seen;
  std::thread([&] { seen = EnxBaseException(10039).Message(); }).join();
  EXPECT_EQ(U8(seen), "RevurOV: Invalid table name. [$2737/10039]");
  EXPECT_EQ(U8(EnxBaseException(10039).Message()), "RevurOV: main thread [$2737/10039]");
}

TEST_F(ExceptionTest, ThreeLinesThenBlankLinesKeepAnEmptyLineBeforeTheCode) {
  EnxBaseException e(9729, u"one\r\ntwo\nthree\r\n  \r\n\r\n");
  EXPECT_EQ(U8(e.Message()), "RevurOV: one\r\ntwo\r\nthree\r\n\r\n [$2601/9729]");
}

TEST_F(ExceptionTest, TagsTravelBothWays) {
  // Written for a peer of each version, read back whatever the version.
  struct Case {
    uint32_t version;
    std::u16string tag;
    std::u16string org;
  };
  const Case cases[] = {
      {47501, u"<[--!OSError=5!--]>", u"<[!Org!]>"},
      {41200, u"<[--!OSError=5!--]>", u"<[!Org!]>"},
      {41199, u"<[--!\u00FEOSError=5\u00FE!--]>", u"<[!\u00FEOrg\u00FE!>"},
      {20000, u"<[--!\u00FEOSError=5\u00FE!--]>", u"<[!\u00FEOrg\u00FE!>"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(U8(nxMessageTagForVersion(c.version, u"OSError", u"5")), U8(c.tag)) << c.version;
    EXPECT_EQ(U8(nxOriginalMessageTagForVersion(c.version)), U8(c.org)) << c.version;
    EnxBaseException e(10024, u"T1" + c.tag);
    EXPECT_EQ(U8(e.ErrorString()), "T1") << c.version;
    EXPECT_EQ(U8(e.CustomInfos().Values(u"OSError")), "5") << c.version;
    EXPECT_EQ(e.OSError(), 5u) << c.version;
  }
}

TEST_F(ExceptionTest, ThreadVersionChoosesTheTagForm) {
  std::thread([] {
    nxSetThreadMinVersion(41100);
    EXPECT_EQ(U8(nxMessageTag(u"a", u"b")), U8(u"<[--!\u00FEa=b\u00FE!--]>"));
    EXPECT_EQ(U8(nxOriginalMessageTag()), U8(u"<[!\u00FEOrg\u00FE!>"));
    nxSetThreadMinVersion(47501);
    EXPECT_EQ(U8(nxMessageTag(u"a", u"b")), "<[--!a=b!--]>");
    EXPECT_EQ(U8(nxOriginalMessageTag()), "<[!Org!]>");
  }).join();
}

TEST_F(ExceptionTest, TagRules) {
  EnxBaseException e(9729,
                     u"A<[--!x=1!--]>B<[--!x=2!--]>C<[--!noequals!--]>D<[--!=v!--]>E<[--!n=!--]>F"
                     u"<[--!k=a=b!--]><[--!!--]>G");
  EXPECT_EQ(U8(e.ErrorString()), "ABCDEFG");
  const std::vector<std::u16string> expected = {u"x=2", u"k=a=b"};
  EXPECT_EQ(e.CustomInfos().Lines(), expected);
}

TEST_F(ExceptionTest, OSErrorTagThatIsNoNumberGivesZero) {
  EXPECT_EQ(EnxBaseException(1, u"<[--!OSError=abc!--]>").OSError(), 0u);
  EXPECT_EQ(EnxBaseException(1, u"<[--!OSError=99999999999!--]>").OSError(), 0u);
  EXPECT_EQ(EnxBaseException(1, u"<[--!OSError=4294967295!--]>").OSError(), 4294967295u);
}

TEST_F(ExceptionTest, ExceptionDataTagIsConsumed) {
  EnxBaseException e(1, u"x<[--!$ExceptionData$=QUJD!--]><[--!a=b!--]>");
  const std::vector<std::u16string> expected = {u"a=b"};
  EXPECT_EQ(e.CustomInfos().Lines(), expected);
}

// Text from a server may be malformed in any way: extraction must end, keep
// the plain text, and never read beyond the input.
TEST_F(ExceptionTest, MalformedTagsTerminate) {
  struct Case {
    std::u16string in;
    std::u16string rest;
  };
  const Case cases[] = {
      {u"stray end!--]> then <[--!a=1!--]> tail", u"stray end!--]> then  tail"},
      {u"!--]><[--!a=1", u"!--]>"},
      {u"<[--!a=1", u""},
      {u"<[--!", u""},
      {u"ab<[--!\u00FE", u"ab"},
      {u"x<[--!\u00FEa=1!--]>y", u"x"},  // old start, new end: swallows the rest
      {u"\u00FE!--]><[--!\u00FEa=1", u"\u00FE!--]>"},
      {u"<[--<[--!a=1!--]>!b=2!--]>z", u"z"},  // a removal that forms a new start
      {u"<[--!<[--!!--]>!--]>", u"!--]>"},
      {u"!--]>!--]>!--]>", u"!--]>!--]>!--]>"},
      {u"<[-", u"<[-"},
  };
  for (const Case& c : cases) {
    EnxBaseException e(9729, c.in);
    EXPECT_EQ(U8(e.ErrorString()), U8(c.rest)) << U8(c.in);
  }
}

TEST_F(ExceptionTest, RandomTagSoupTerminates) {
  const std::u16string pieces[] = {u"<[--!", u"!--]>", u"<[--!\u00FE", u"\u00FE!--]>", u"=", u"a",
                                   u"\u00FE", u"<[!Org!]>", u"<", u"!", u" ", u"\r\n"};
  std::mt19937 rng(7);
  for (int round = 0; round < 2000; ++round) {
    std::u16string text;
    int n = static_cast<int>(rng() % 40);
    for (int i = 0; i < n; ++i) text += pieces[rng() % std::size(pieces)];
    EnxBaseException e(9729, text);
    EXPECT_LE(e.ErrorString().size(), text.size());
    EXPECT_EQ(e.ErrorString().find(u"<[--!"), std::u16string::npos) << U8(text);
  }
}

TEST_F(ExceptionTest, ManyTagsAreTakenOutInLinearTime) {
  std::u16string text;
  for (int i = 0; i < 100000; ++i) text += u"<[--!k=v!--]>.";
  EnxBaseException e(9729, text);
  EXPECT_EQ(e.ErrorString().size(), 100000u);
}

TEST_F(ExceptionTest, FamiliesKeepTheBaseBehaviour) {
  try {
    throw EnxTestSubFamilyException(10024, u"T<[--!a=b!--]>");
  } catch (const EnxTestFamilyException& e) {
    EXPECT_EQ(U8(e.Message()), "RevurOV: T [$2728/10024]");
    EXPECT_EQ(U8(e.ClassName()), "EnxTestSubFamilyException");
    auto* intf = dynamic_cast<const InxException*>(static_cast<const platform::Exception*>(&e));
    ASSERT_NE(intf, nullptr);
    EXPECT_EQ(intf->ErrorCode(), 10024u);
  }
}

TEST_F(ExceptionTest, AnswersItsInterfacesByTheirIds) {
  EnxTestSubFamilyException e(10024, u"T");
  testing::ExpectAnswersExceptionInterfaces(e);
  auto* unknown = static_cast<platform::IInterface*>(&e);
  {
    auto intf = platform::Supports<InxException>(unknown);
    ASSERT_TRUE(intf);
    EXPECT_EQ(intf->ErrorCode(), 10024u);
    EXPECT_EQ(U8(intf->ErrorString()), "T");
    EXPECT_TRUE(intf->ExtendedMsg());
    EXPECT_EQ(U8(intf->ProcessedErrorString()), "T");
  }
  EXPECT_EQ(e.ErrorCode(), 10024u);  // still alive after the pointer let go
}

// Peers find the exception interfaces by these identifiers.
TEST_F(ExceptionTest, InterfaceIdsAreTheLibrarys) {
  EXPECT_EQ(InxBaseException::IID, platform::nxGuid("{A62E7C83-AD20-4BF1-BB24-0E4B9ABF4105}"));
  EXPECT_EQ(InxExceptionForCallback::IID, platform::nxGuid("{5F496E29-028B-4DCB-8530-54C079738DD5}"));
  EXPECT_EQ(InxException::IID, platform::nxGuid("{79F474DF-1A53-47C1-8B23-FE1F5AC973DD}"));
}

TEST_F(ExceptionTest, ExceptionDataIsCreatedOnFirstAskAndKept) {
  nxExceptionDataStartup();
  {
    EnxBaseException e(10024);
    auto intf = platform::Supports<InxExceptionForCallback>(static_cast<platform::IInterface*>(&e));
    ASSERT_TRUE(intf);
    TnxExceptionDataRef data = intf->ExceptionData();
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(U8(data->Name()), "ExceptionData");
    EXPECT_EQ(data->ForObject(), nullptr);
    EXPECT_EQ(data->Parent(), nullptr);
    EXPECT_EQ(data->Count(), 0);
    data->AddInteger(u"n", 1);
    EXPECT_EQ(intf->ExceptionData(), data);
    EXPECT_EQ(intf->ExceptionData()->Count(), 1);
  }
  nxExceptionDataShutdown();
}

TEST_F(ExceptionTest, CheckErrorRaisesOnlyForNonZero) {
  EXPECT_NO_THROW(nxCheckError(0));
  EXPECT_NO_THROW(nxCheckError(int64_t{0x100000000}));
  try {
    nxCheckError(10024);
    FAIL();
  } catch (const EnxBaseException& e) {
    EXPECT_EQ(e.ErrorCode(), 10024u);
  }
}

TEST_F(ExceptionTest, OSErrorWithAction) {
  platform::SetLastOSError(ENOENT);
  EnxBaseException e = nxCreateOSErrorException(0, u"", u"open<[--!File=x.dat!--]>");
  EXPECT_EQ(e.ErrorCode(), 11047u);
  EXPECT_EQ(e.OSError(), static_cast<uint32_t>(ENOENT));
  EXPECT_EQ(U8(e.Message()),
            "RevurOV: Operating system error in open: " + U8(platform::SysErrorMessage(ENOENT)) +
                " ($2/2) [$2B27/11047]");
  EXPECT_EQ(U8(e.CustomInfos().Values(u"OSError")), "2");
  EXPECT_EQ(U8(e.CustomInfos().Values(u"Action")), "open");
  EXPECT_EQ(U8(e.CustomInfos().Values(u"File")), "x.dat");
  EXPECT_EQ(e.CustomInfos().IndexOfName(u"Module"), -1);
}

TEST_F(ExceptionTest, OSErrorTexts) {
  struct Case {
    uint32_t os;
    std::u16string module, action;
    std::string text;
  };
  const std::string sys = U8(platform::SysErrorMessage(EACCES));
  const Case cases[] = {
      {0, u"", u"nxSomething/Call/1", "A call to an OS function failed in nxSomething/Call/1"},
      {0, u"", u"", "A call to an OS function failed."},
      {EACCES, u"libx", u"", "Win32 Error in libx.  Code: 13.\n" + sys},
      {EACCES, u"", u"", "Win32 Error in [unknown].  Code: 13.\n" + sys},
  };
  for (const Case& c : cases) EXPECT_EQ(U8(nxOSErrorText(c.os, c.module, c.action)), c.text);
}

TEST_F(ExceptionTest, OSErrorKeepsItsCodeModuleAndClass) {
  platform::SetLastOSError(EACCES);
  auto e = nxCreateOSErrorException<EnxTestFamilyException>(10024, u"libx", u"step %d", {3});
  EXPECT_EQ(e.ErrorCode(), 10024u);
  EXPECT_EQ(U8(e.CustomInfos().Values(u"Module")), "libx");
  EXPECT_EQ(U8(e.CustomInfos().Values(u"Action")), "step 3");
  EXPECT_EQ(U8(e.ClassName()), "EnxTestFamilyException");
  platform::SetLastOSError(0);
  auto z = nxCreateOSErrorException(10024, u"libx", u"");
  EXPECT_EQ(z.CustomInfos().IndexOfName(u"Action"), -1);
  EXPECT_EQ(z.CustomInfos().IndexOfName(u"Module"), -1);
  EXPECT_EQ(U8(z.CustomInfos().Values(u"OSError")), "0");
}

TEST_F(ExceptionTest, RaiseLastOSErrorAndChecks) {
  platform::SetLastOSError(EBADF);
  try {
    nxRaiseLastOSError();
    FAIL();
  } catch (const EnxBaseException& e) {
    EXPECT_EQ(e.ErrorCode(), 11047u);
    EXPECT_EQ(U8(e.CustomInfos().Values(u"Action")), "[unknown]");
    EXPECT_EQ(e.OSError(), static_cast<uint32_t>(EBADF));
  }
  EXPECT_THROW(nxRaiseLastOSError(true, 0), platform::EAbort);
  platform::SetLastOSError(0);
  EXPECT_NO_THROW(nxRaiseLastOSError(true, 0));
  EXPECT_THROW(nxCheckCondition(false, u"ctx", 9218), EnxBaseException);
  EXPECT_TRUE(nxWin32Check(true, u"ctx"));
  EXPECT_THROW(nxWin32Check(false, u"ctx"), EnxBaseException);
}

TEST_F(ExceptionTest, HooksAreSwitchedOff) {
  TnxExceptionHookInfo info;
  nxSetThreadExceptionHookInfo(&info);
  EXPECT_EQ(nxGetThreadExceptionHookInfo(), nullptr);
  EXPECT_FALSE(nxExceptionHookAssigned());
  std::u16string m = u"same";
  nxCallExceptionHook(EnxBaseException(1), m);
  EXPECT_EQ(U8(m), "same");
}

TEST(RuntimeExceptions, NamesAndGermanTexts) {
  EXPECT_EQ(U8(platform::EAbort().Message()), "Operation abgebrochen");
  EXPECT_EQ(U8(platform::EListError(platform::Format(platform::SListIndexError, {5})).Message()),
            "Listenindex au\xC3\x9F" "erhalb des g\xC3\xBCltigen Bereichs (5)");
  EXPECT_EQ(U8(platform::EReadError(platform::SReadError).ClassName()), "EReadError");
  platform::EOSError os(u"x", 5);
  EXPECT_EQ(os.ErrorCode(), 5u);
  EXPECT_EQ(U8(os.ClassName()), "EOSError");
  try {
    throw platform::EReadError(platform::SInvalidPropertyValue);
  } catch (const platform::EStreamError& e) {
    EXPECT_EQ(U8(e.Message()), "Ung\xC3\xBCltiger Eigenschaftswert");
  }
}

}  // namespace
}  // namespace revurov
