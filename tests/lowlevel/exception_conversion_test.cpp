#include "lowlevel/streams/exception_conversion.h"

#include <gtest/gtest.h>

#include <thread>

#include "lowlevel/errors/exceptions.h"
#include "lowlevel/streams/exception_data.h"
#include "platform/rtl_exception.h"

namespace revurov {
namespace {

class ExceptionConversion : public ::testing::Test {
protected:
  void SetUp() override {
    nxExceptionDataStartup();
    nxSetThreadMinVersion(0);
    EnxBaseException::SetLastConvertedException(0, u"");
  }
  void TearDown() override {
    nxSetThreadMinVersion(0);
    nxExceptionDataShutdown();
  }
  static std::u16string SlotMessage() {
    uint32_t code;
    std::u16string msg;
    EnxBaseException::GetLastConvertedException(code, msg);
    return msg;
  }
};

struct Described : TnxObject, InxExceptionData {
  void GetExceptionData(InxExceptionDataContainer& c, bool) override {
    c.AddString(u"Table", u"Kunden");
    c.AddInteger(u"Records", 42);
    c.AddContainer(u"Index")->AddBoolean(u"Unique", true);
  }
};


TEST_F(ExceptionConversion, CodeAloneLeavesTheMessageEmpty) {
  EnxBaseException e(10024);
  EXPECT_EQ(nxConvertException(e), 10024u);
  EXPECT_EQ(SlotMessage(), u"");
  EnxBaseException again(10024);
  EXPECT_EQ(again.ProcessedErrorString(), u"Table does not exist.");
}

TEST_F(ExceptionConversion, CustomInfosTravelAsTagsInTheChosenForm) {
  EnxBaseException e(10024, u"T1" + nxMessageTagForVersion(47501, u"OSError", u"5"));
  EXPECT_EQ(nxConvertException(e), 10024u);
  EXPECT_EQ(SlotMessage(), u"T1<[--!OSError=5!--]>");
  EXPECT_EQ(nxConvertException(e, nullptr, nullptr, 41100), 10024u);
  EXPECT_EQ(SlotMessage(), u"T1<[--!\u00FEOSError=5\u00FE!--]>");
}

TEST_F(ExceptionConversion, ForeignAndRuntimeExceptionsGetFixedCodes) {
  platform::EConvertError foreign(u"Boom");
  EXPECT_EQ(nxConvertException(foreign), 15521u);
  EXPECT_EQ(SlotMessage(), u"Unexpected exception object raised: [EConvertError] Boom"
                           u"<[--!Exception.Class=EConvertError!--]><[--!Exception.Message=Boom!--]>");
  platform::EOSError os(u"Zugriff verweigert", 13);
  EXPECT_EQ(nxConvertException(os), 11047u);
  EXPECT_EQ(SlotMessage(), u"Zugriff verweigert<[--!OSError=13!--]><[--!Exception.Class=EOSError!--]>"
                           u"<[--!Exception.Message=Zugriff verweigert!--]>");
  EXPECT_EQ(nxConvertException(platform::EOutOfMemory()), 9473u);
  EXPECT_EQ(SlotMessage(), u"");
  EXPECT_EQ(nxConvertException(std::bad_alloc()), 9473u);
  EnxBaseException noCode(u"Plain");
  EXPECT_EQ(nxConvertException(noCode), 15520u);
  EXPECT_EQ(SlotMessage(), noCode.Message());
  try {
    throw 42;
  } catch (...) {
    EXPECT_EQ(nxConvertCurrentException(), 15521u);
  }
  EXPECT_EQ(SlotMessage().rfind(u"Unexpected exception object raised: [[unknown]] ", 0), 0u);
}

TEST_F(ExceptionConversion, DescribedObjectsAddDataAndAPlaceholder) {
  Described obj;
  EnxBaseException e(10024);
  EXPECT_EQ(nxConvertException(e, nullptr, &obj, 41100), 10024u);
  EXPECT_EQ(SlotMessage().rfind(u"<[!\u00FEOrg\u00FE!>", 0), 0u);
  std::vector<std::u16string> lines;
  TnxConvertLog log = [&](const std::u16string& text, uint32_t code, TnxConvertLogPriority p) {
    lines.push_back(text);
    EXPECT_EQ(code, 10024u);
    EXPECT_EQ(p, TnxConvertLogPriority::Warn);
  };
  EXPECT_EQ(nxConvertException(e, &log, &obj, 47501), 10024u);
  EXPECT_EQ(SlotMessage().rfind(u"<[!Org!]>", 0), 0u);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], u"Exception Cvt: " + e.Message() + u"\r\nExceptionData:\r\n  Table: Kunden\r\n"
                      u"  Records: 42 ($0000002A)\r\n  Index:\r\n    Unique: True\r\n");
}

TEST_F(ExceptionConversion, LogPriorityFollowsTheCode) {
  struct Case { uint32_t code; TnxConvertLogPriority p; };
  for (Case c : {Case{11047, TnxConvertLogPriority::Fatal}, Case{8962, TnxConvertLogPriority::Error},
                 Case{12039, TnxConvertLogPriority::Error}, Case{15521, TnxConvertLogPriority::Error},
                 Case{15522, TnxConvertLogPriority::Error}, Case{10241, TnxConvertLogPriority::Info},
                 Case{15461, TnxConvertLogPriority::Info}, Case{15507, TnxConvertLogPriority::Info},
                 Case{10024, TnxConvertLogPriority::Warn}, Case{9473, TnxConvertLogPriority::Warn}})
    EXPECT_EQ(nxConvertLogPriority(c.code), c.p) << c.code;
}

// A server thread converts; the client thread rebuilds from code and text.
TEST_F(ExceptionConversion, AnotherThreadRebuildsTheSameMessageInfosAndData) {
  uint32_t code = 0;
  std::u16string text, original;
  Described obj;
  std::thread server([&] {
    EnxBaseException e(10024, u"Kein Zugriff: <[!Org!]>" + nxMessageTag(u"Module", u"srv"));
    original = e.ProcessedErrorString();
    code = nxConvertException(e, nullptr, &obj, 0);
    EnxBaseException::GetLastConvertedException(code, text);
  });
  server.join();
  EnxBaseException rebuilt(code, text);
  EXPECT_EQ(rebuilt.ErrorCode(), 10024u);
  EXPECT_EQ(rebuilt.ProcessedErrorString(), original);
  EXPECT_EQ(rebuilt.ProcessedErrorString(), u"Kein Zugriff: Table does not exist.");
  EXPECT_EQ(rebuilt.CustomInfos().Values(u"Module"), u"srv");
  ASSERT_NE(rebuilt.ExceptionData(), nullptr);
  auto data = rebuilt.ExceptionData();
  ASSERT_EQ(data->Count(), 3);
  EXPECT_EQ(data->Values(0)->AsString(), u"Kunden");
  EXPECT_EQ(data->Values(1)->AsInteger(), 42);
  EXPECT_TRUE(data->Values(2)->AsContainer()->Values(0)->AsBoolean());
  // Same thread: nxCreate with the code alone takes the slot's message.
  EnxBaseException::SetLastConvertedException(code, text);
  EnxBaseException fromSlot(code);
  EXPECT_EQ(fromSlot.ProcessedErrorString(), original);
}

}  // namespace
}  // namespace revurov
