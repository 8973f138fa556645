// The server-name scan and the choice of a server at start: waits on the
// fake clock, replies from several threads, and who decides between names.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "lowlevel/errors/error_codes.h"
#include "lowlevel/sync/platform_interface.h"
#include "support/fake_transport_clock.h"
#include "support/named_component.h"
#include "support/test_transport.h"
#include "support/u8_text.h"
#include "transport/transport_test_support.h"

namespace revurov {
namespace {

using testing::LibraryStarted;
using testing::TFakeTransportClock;
using testing::TTestTransport;
using testing::U8;

struct FreeComponent {
  void operator()(platform::TComponent* aComponent) const { platform::TComponent::Free(aComponent); }
};
using OwnedTransport = std::unique_ptr<TTestTransport, FreeComponent>;

OwnedTransport MakeTransport(std::vector<std::u16string> aNames) {
  OwnedTransport t(testing::Make<TTestTransport>(u"T"));
  t->BroadcastNames = std::move(aNames);
  return t;
}

std::vector<std::string> Lines(const platform::TStringList& aList) {
  std::vector<std::string> out;
  for (int i = 0; i < aList.Count(); ++i) out.push_back(U8(aList[i]));
  return out;
}

class ServerNamesTest : public LibraryStarted {
protected:
  TFakeTransportClock clock;
};

TEST_F(ServerNamesTest, WaitIsCappedAtTenSecondsWithAQuarterAsInterval) {
  struct Row {
    uint32_t timeOut, wait;
    int32_t interval;
  } rows[] = {{30000, 10000, 2500}, {10000, 10000, 2500}, {2000, 2000, 500}, {0, 0, 0}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.timeOut);
    TFakeTransportClock::ClearSleeps();
    auto t = MakeTransport({u"S1"});
    platform::TStringList names;
    t->GetServerNames(names, row.timeOut);
    EXPECT_EQ(TFakeTransportClock::Sleeps(), std::vector<uint32_t>{row.wait});
    EXPECT_EQ(t->LastBroadcastInterval.load(), row.interval);
    EXPECT_EQ(Lines(names), std::vector<std::string>{"S1"});
  }
}

TEST_F(ServerNamesTest, NamesFromFourThreadsTwiceGiveOneSortedList) {
  auto t = MakeTransport({u"Zeta", u"alpha", u"Mid", u"Beta", u"Omega", u"alpha", u"Zeta"});
  t->BroadcastThreads = 4;
  t->BroadcastRepeats = 2;
  platform::TStringList names;
  names.Add(u"left over");
  t->GetServerNames(names, 1000);
  EXPECT_EQ(Lines(names), (std::vector<std::string>{"alpha", "Beta", "Mid", "Omega", "Zeta"}));
}

TEST_F(ServerNamesTest, ABroadcastAnsweredAtOnceIsNotWaitedFor) {
  auto t = MakeTransport({u"B", u"A"});
  t->AnswerAtOnce = true;
  platform::TStringList names;
  t->GetServerNames(names, 5000);
  EXPECT_TRUE(TFakeTransportClock::Sleeps().empty());
  EXPECT_EQ(Lines(names), (std::vector<std::string>{"A", "B"}));
}

TEST_F(ServerNamesTest, AnUnsupportedTransportClearsTheListWithoutBroadcasting) {
  auto t = MakeTransport({u"A"});
  t->IsSupported = false;
  platform::TStringList names;
  names.Add(u"old");
  t->GetServerNames(names, 5000);
  EXPECT_EQ(names.Count(), 0);
  EXPECT_EQ(t->BroadcastCount.load(), 0);
}

TEST_F(ServerNamesTest, BroadcastRepliesParseTheirTextsSafely) {
  struct Row {
    const char16_t* id;
    const char16_t* version;
    platform::TGUID expectedID;
    int32_t expectedVersion;
  } rows[] = {
      {u"{6B1F3C2A-8D4E-4F5A-9B6C-7D8E9FA0B1C2}", u"47501",
       platform::nxGuid("{6B1F3C2A-8D4E-4F5A-9B6C-7D8E9FA0B1C2}"), 47501},
      {u"", u"", platform::TGUID{}, 0},
      {u"{not a guid}", u"47x01", platform::TGUID{}, 0},
      {u"", u"-12", platform::TGUID{}, -12},
      {u"", u"99999999999", platform::TGUID{}, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(U8(row.version));
    const platform::TInterfacePtr<InxBroadcastReply> reply(
        nxCreate<TnxBroadcastReply>(nullptr, u"S", 16000, row.id, row.version));
    EXPECT_EQ(reply->ServerID(), row.expectedID);
    EXPECT_EQ(reply->ServerVersion(), row.expectedVersion);
    EXPECT_EQ(reply->ServerPort(), 16000);
  }
}

// ---- the choice at start ----

struct ChoiceRow {
  const char* name;
  std::vector<std::u16string> servers;
  enum { NoEvent, EventChooses, EventDeclines } event;
  bool hook;          // a server-pick hook that chooses "Mid"
  bool onMainThread;  // the start runs on the main thread
  const char* expected;  // null: the start fails with 11278
  bool hookAsked;
};

const ChoiceRow kChoiceRows[] = {
    {"one name is taken", {u"Only"}, ChoiceRow::NoEvent, true, true, "Only", false},
    {"the event decides", {u"B", u"Mid", u"A"}, ChoiceRow::EventChooses, true, true, "Event", false},
    {"an event that declines leaves the first", {u"B", u"Mid", u"A"}, ChoiceRow::EventDeclines, true, true, "A", false},
    {"the hook decides on the main thread", {u"B", u"Mid", u"A"}, ChoiceRow::NoEvent, true, true, "Mid", true},
    {"off the main thread the hook is not asked", {u"B", u"Mid", u"A"}, ChoiceRow::NoEvent, true, false, "A", false},
    {"without hook the first name", {u"B", u"Mid", u"A"}, ChoiceRow::NoEvent, false, true, "A", false},
    {"no server answers", {}, ChoiceRow::NoEvent, true, true, nullptr, false},
};

bool gHookAsked = false;
bool PickMid(const std::vector<std::u16string>& aServers, std::u16string& aServer) {
  gHookAsked = true;
  EXPECT_EQ(aServers.size(), 3u);
  aServer = u"Mid";
  return true;
}

TEST_F(ServerNamesTest, ServerChoiceAtStart) {
  for (const ChoiceRow& row : kChoiceRows) {
    SCOPED_TRACE(row.name);
    TFakeTransportClock::ClearSleeps();
    gHookAsked = false;
    nxPlatformServerPickDialog = row.hook ? &PickMid : nullptr;
    auto t = MakeTransport(row.servers);
    std::vector<bool> finds;
    t->OnFindServers = [&](TnxBaseTransport*, bool aStarting) { finds.push_back(aStarting); };
    if (row.event != ChoiceRow::NoEvent)
      t->OnChooseServer = [&](TnxBaseTransport*, const platform::TStringList& aNames,
                              std::u16string& aName, bool& aResult) {
        EXPECT_EQ(aNames.Count(), 3);
        aName = u"Event";
        aResult = row.event == ChoiceRow::EventChooses;
      };
    uint32_t code = 0;
    auto start = [&] {
      try {
        t->SetActive(true);
      } catch (const EnxTransportException& e) {
        code = e.ErrorCode();
      }
    };
    if (row.onMainThread)
      start();
    else
      std::thread(start).join();
    if (row.expected) {
      EXPECT_EQ(code, 0u);
      EXPECT_EQ(t->State(), nxsStarted);
      EXPECT_EQ(U8(t->ServerName()), row.expected);
    } else {
      EXPECT_EQ(code, nxeServerNotFound);
      EXPECT_EQ(t->State(), nxsInactive);
    }
    EXPECT_EQ(gHookAsked, row.hookAsked);
    EXPECT_EQ(finds, (std::vector<bool>{true, false}));
    EXPECT_EQ(TFakeTransportClock::Sleeps(), std::vector<uint32_t>{3000}) << "the transport's Timeout";
  }
  nxResetPlatformHooks();
}

TEST_F(ServerNamesTest, AGivenServerNameSkipsTheScan) {
  auto t = MakeTransport({u"A"});
  t->SetServerName(u"Given");
  t->SetActive(true);
  EXPECT_EQ(t->BroadcastCount.load(), 0);
  EXPECT_EQ(U8(t->ServerName()), "Given");
}

}  // namespace
}  // namespace revurov
