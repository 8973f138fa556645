// The transport interface: throttling on the fake clock, traffic counters,
// logging, settings, property rules, start-up of the server name, session
// hand-over and the hand-over of received requests.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "lowlevel/components/component_settings.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/streams/memory_stream.h"
#include "lowlevel/streams/tagged_stream.h"
#include "support/fake_transport_clock.h"
#include "support/named_component.h"
#include "support/recording_log.h"
#include "support/test_command_handler.h"
#include "support/test_transport.h"
#include "support/u8_text.h"
#include "transport/transport_test_support.h"

namespace revurov {
namespace {

using testing::LibraryStarted;
using testing::Make;
using testing::TFakeTransportClock;
using testing::TRecordingTransportLog;
using testing::TTestCommandHandler;
using testing::TTestTransport;
using testing::U8;

// A test transport that shows its reply delivery and records the waits of
// its send-throttling hook.
class TProbeTransport : public TTestTransport {
public:
  using TTestTransport::TTestTransport;
  using TnxBaseTransport::btDoCallBack;
  std::vector<uint32_t> hookWaits;
  bool Sleep(uint32_t aTimeOut) override {
    hookWaits.push_back(aTimeOut);
    return TTestTransport::Sleep(aTimeOut);
  }
};

void IgnoreReply(TnxMsgID, uint32_t, const void*, int32_t, void*) {}

// Owns a component made by Make and frees it through its before-destruction step.
template <class T>
struct Freed {
  void operator()(T* aComponent) const { platform::TComponent::Free(aComponent); }
};
template <class T>
using Owned = std::unique_ptr<T, Freed<T>>;
template <class T>
Owned<T> MakeOwned(std::u16string aName) {
  return Owned<T>(Make<T>(std::move(aName)));
}

class TransportTest : public LibraryStarted {};

// ---- throttling ----

enum class Direction { Send, Receive };

struct ThrottleRow {
  const char* name;
  uint32_t limit;
  uint32_t pingTime;
  uint32_t msIntoSecond;  // of the second message; the first opens the second at 0 ms
  uint32_t bytes;         // of the second message
  uint32_t expectedWait;  // 0: no wait at all
};

const ThrottleRow kThrottleRows[] = {
    {"budget spent 1 ms into the second waits to its end", 1000, 0, 1, 1500, 999},
    {"budget spent 500 ms into the second", 1000, 0, 500, 1500, 500},
    {"budget spent 999 ms into the second waits 1 ms", 1000, 0, 999, 1500, 1},
    {"three seconds' worth adds two whole seconds", 1000, 0, 500, 3500, 2500},
    {"within the budget no wait", 1000, 0, 500, 600, 0},
    {"PingTime 200 with a limit waits at least 100", 1000, 200, 500, 600, 100},
    {"PingTime 200 never shortens a longer wait", 1000, 200, 500, 1500, 500},
    {"PingTime 200 without a limit throttles nothing", 0, 200, 500, 5000, 0},
};

class ThrottleTest : public TransportTest, public ::testing::WithParamInterface<Direction> {
protected:
  // The waits of both messages, as the direction does them.
  std::vector<uint32_t> Run(const ThrottleRow& aRow) {
    TFakeTransportClock clock(77'000);
    auto t = MakeOwned<TProbeTransport>(u"T");
    t->SetMaxBytesPerSecond(aRow.limit);
    t->SetPingTime(aRow.pingTime);
    const std::vector<uint8_t> data(aRow.bytes);
    auto message = [&](uint32_t aBytes) {
      if (GetParam() == Direction::Send)
        t->Write(nullptr, 0, 1, 0, 5, nxmtRequest, 0, 0, 0, data.data(), aBytes);
      else
        t->btDoCallBack(&IgnoreReply, 5, 0, data.data(), static_cast<int32_t>(aBytes), nullptr, 0);
    };
    message(10);
    TFakeTransportClock::Set(77'000 + aRow.msIntoSecond);
    message(aRow.bytes);
    return GetParam() == Direction::Send ? t->hookWaits : TFakeTransportClock::Sleeps();
  }
};

TEST_P(ThrottleTest, WaitsForTheRestOfTheSecondOnceTheBudgetIsSpent) {
  for (const ThrottleRow& row : kThrottleRows) {
    SCOPED_TRACE(row.name);
    std::vector<uint32_t> expected;
    // The first message of a second is not counted; PingTime still applies.
    if (row.limit && row.pingTime / 2) expected.push_back(row.pingTime / 2);
    if (row.expectedWait) expected.push_back(row.expectedWait);
    EXPECT_EQ(Run(row), expected);
  }
}

TEST_P(ThrottleTest, ANewSecondStartsTheCountAgain) {
  TFakeTransportClock clock(77'900);
  auto t = MakeOwned<TProbeTransport>(u"T");
  t->SetMaxBytesPerSecond(1000);
  const std::vector<uint8_t> data(900);
  auto message = [&] {
    if (GetParam() == Direction::Send)
      t->Write(nullptr, 0, 1, 0, 5, nxmtRequest, 0, 0, 0, data.data(), 900);
    else
      t->btDoCallBack(&IgnoreReply, 5, 0, data.data(), 900, nullptr, 0);
  };
  message();  // opens second 77
  message();  // 900 counted
  TFakeTransportClock::Set(78'100);
  message();  // second 78: not counted
  message();  // 900 counted
  EXPECT_TRUE(t->hookWaits.empty());
  EXPECT_TRUE(TFakeTransportClock::Sleeps().empty());
}

INSTANTIATE_TEST_SUITE_P(BothDirections, ThrottleTest,
                         ::testing::Values(Direction::Send, Direction::Receive),
                         [](const auto& aInfo) {
                           return aInfo.param == Direction::Send ? "Send" : "Receive";
                         });

TEST_F(TransportTest, SendThrottlingGoesThroughTheSleepHookWhichDoesNotWait) {
  TFakeTransportClock clock(77'000);
  auto t = MakeOwned<TProbeTransport>(u"T");
  t->SetMaxBytesPerSecond(100);
  const std::vector<uint8_t> data(500);
  t->Write(nullptr, 0, 1, 0, 5, nxmtRequest, 0, 0, 0, data.data(), 10);
  t->Write(nullptr, 0, 1, 0, 5, nxmtRequest, 0, 0, 0, data.data(), 500);
  // The rest of the second (all of it, 0 ms in) and four more for the excess.
  EXPECT_EQ(t->hookWaits, std::vector<uint32_t>{5000});
  EXPECT_TRUE(TFakeTransportClock::Sleeps().empty());
  EXPECT_EQ(TFakeTransportClock::Now(), 77'000u);
}

// ---- counters ----

TEST_F(TransportTest, CountsSentAndReceivedMessagesWithHeaderAndCompression) {
  auto t = MakeOwned<TProbeTransport>(u"T");
  const std::vector<uint8_t> data(1000);
  t->Write(nullptr, 0, 1, 0, 5, nxmtRequest, 0, 0, 0, data.data(), 100);
  t->Write(nullptr, 0, 1, 0, 5, nxmtRequest, 0, 11, 200, data.data(), 50);
  t->btDoCallBack(&IgnoreReply, 5, 0, data.data(), 100, nullptr, 0);
  t->btDoCallBack(&IgnoreReply, 5, 0, data.data(), 1000, nullptr, 300);
  t->btDoCallBack(&IgnoreReply, 5, nxeLostConnection, nullptr, 0, nullptr, 0);
  EXPECT_EQ(t->MessagesSent(), 2);
  EXPECT_EQ(t->ActualBytesSent(), 150);
  EXPECT_EQ(t->UncompressedBytesSent(), 300);
  EXPECT_EQ(t->MessagesReceived(), 3);
  EXPECT_EQ(t->ActualBytesReceived(), 132 + 332 + 32);
  EXPECT_EQ(t->UncompressedBytesReceived(), 132 + 1032 + 32);
  EXPECT_EQ(t->CompressTime(), 0);
  EXPECT_EQ(t->UncompressTime(), 0);

  t->ClearStats();
  EXPECT_EQ(t->MessagesSent() + t->MessagesReceived() + t->ActualBytesSent() +
                t->ActualBytesReceived() + t->UncompressedBytesSent() +
                t->UncompressedBytesReceived(),
            0);

  t->SetKeepStats(false);
  t->Write(nullptr, 0, 1, 0, 5, nxmtRequest, 0, 0, 0, data.data(), 100);
  t->btDoCallBack(&IgnoreReply, 5, 0, data.data(), 100, nullptr, 0);
  EXPECT_EQ(t->MessagesSent() + t->MessagesReceived(), 0);
}

TEST_F(TransportTest, CountersAddUpFromManyThreads) {
  auto t = MakeOwned<TProbeTransport>(u"T");
  const std::vector<uint8_t> data(64);
  constexpr int kThreads = 8, kMessages = 500;
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i)
    threads.emplace_back([&] {
      for (int m = 0; m < kMessages; ++m) {
        t->Write(nullptr, 0, 1, 0, 5, nxmtRequest, 0, 0, 0, data.data(), 64);
        t->btDoCallBack(&IgnoreReply, 5, 0, data.data(), 64, nullptr, 0);
      }
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(t->MessagesSent(), kThreads * kMessages);
  EXPECT_EQ(t->MessagesReceived(), kThreads * kMessages);
  EXPECT_EQ(t->ActualBytesReceived(), int64_t{kThreads} * kMessages * 96);
}

// ---- logging ----

class TransportLogTest : public TransportTest {
protected:
  void SetUp() override {
    TransportTest::SetUp();
    log = MakeOwned<TRecordingTransportLog>(u"Log");
    t = MakeOwned<TProbeTransport>(u"Tr1");
    t->SetEventLog(log.get());
    t->SetEventLogEnabled(true);
  }
  void TearDown() override {
    t.reset();
    log.reset();
    TransportTest::TearDown();
  }
  void Traffic() {
    const uint8_t data[8] = {};
    t->Write(nullptr, 0x1A2B, 0xC0DE, -3, 0x223, nxmtRequest, 10036, 11, 600, data, 300);
    t->btDoCallBack(&IgnoreReply, 0x104, 0x2732, data, 1200, nullptr, 400);
  }
  Owned<TRecordingTransportLog> log;
  Owned<TProbeTransport> t;
};

TEST_F(TransportLogTest, SendModeLogsRequestsAndRepliesAsBlocks) {
  t->SetEventLogOptions(nxtpLogRequests | nxtpLogReplies);
  Traffic();
  const auto blocks = log->Blocks();
  ASSERT_EQ(blocks.size(), 2u);
  EXPECT_EQ(blocks[0].lines, (std::vector<std::string>{
                                 "SendRequest [Tr1: nxtmSend]",
                                 "  aTransportID:       [1A2B]",
                                 "  aSessionID:         [C0DE]",
                                 "  aThreadPriority:    [-3]",
                                 "  aMsgID:             [547/223]",
                                 "  aMsgType:           [1]",
                                 "  aErrorCode:         [10036/2734]",
                                 "  aCompressType:      [11]",
                                 "  aUncompressedSize:  [600]",
                                 "  aBufferSize:        [300]",
                             }));
  EXPECT_EQ(blocks[1].lines, (std::vector<std::string>{
                                 "RecieveReply [Tr1: nxtmSend]",
                                 "  aMsgID:               [260/104]",
                                 "  aErrorCode:           [10034/2732]",
                                 "  aReplyDataLen:        [1200]",
                                 "  aReplyCompressedSize: [400]",
                             }));
  for (const auto& b : blocks) {
    EXPECT_EQ(b.priority, lpDebug);
    EXPECT_EQ(b.category, "transport");
  }
}

TEST_F(TransportLogTest, ListenModeSwapsTheOptionsAndHeadings) {
  t->SetMode(nxtmListen);
  t->SetEventLogOptions(nxtpLogReplies);
  Traffic();
  auto blocks = log->Blocks();
  ASSERT_EQ(blocks.size(), 1u);
  EXPECT_EQ(blocks[0].lines.front(), "SendReply [Tr1: nxtmListen]");
  t->SetEventLogOptions(nxtpLogRequests);
  Traffic();
  blocks = log->Blocks();
  ASSERT_EQ(blocks.size(), 2u);
  EXPECT_EQ(blocks[1].lines.front(), "RecieveRequest [Tr1: nxtmListen]");
}

TEST_F(TransportLogTest, NothingIsLoggedWithoutTheOptionOrWithTheLogDisabled) {
  t->SetEventLogOptions(nxtpLogErrors | nxtpLogApiTrace);
  Traffic();
  t->SetEventLogOptions(nxtpLogRequests | nxtpLogReplies);
  t->SetEventLogEnabled(false);
  Traffic();
  EXPECT_TRUE(log->Blocks().empty());
}

// ---- settings and properties ----

class TCollectedSettings : public TnxBaseSettings {
public:
  std::vector<std::unique_ptr<TnxBaseSetting>> items;
  TnxBaseSetting* AddSetting(std::unique_ptr<TnxBaseSetting> aSetting) override {
    items.push_back(std::move(aSetting));
    return items.back().get();
  }
};

class TMapConfiguration : public TnxBaseComponentConfiguration {
public:
  TMapConfiguration() : TnxBaseComponentConfiguration(nullptr) {}
  std::map<std::u16string, platform::TnxVariant> values;
  platform::TnxVariant GetValue(std::u16string_view aName,
                                const platform::TnxVariant& aDefault) override {
    auto it = values.find(std::u16string(aName));
    return it == values.end() ? aDefault : it->second;
  }
  void SetValue(std::u16string_view aName, const platform::TnxVariant& aValue) override {
    values[std::u16string(aName)] = aValue;
  }
};

TEST_F(TransportTest, OffersRespondToBroadCastsAndStoresItUnderItsKey) {
  auto t = MakeOwned<TTestTransport>(u"T");
  TCollectedSettings settings;
  t->GetConfigSettings(settings);
  ASSERT_FALSE(settings.items.empty());
  const TnxBaseSetting& last = *settings.items.back();
  EXPECT_EQ(U8(last.fName), "RespondToBroadCasts");
  EXPECT_EQ(U8(last.fPropertyName), "RespondToBroadCasts");
  EXPECT_EQ(last.fSettingType, nxstBoolean);
  EXPECT_EQ(U8(last.fDefaultValue.AsString()), "false");

  TMapConfiguration config;
  config.values[u"RespondToBroadcasts"] = platform::TnxVariant::FromBoolean(true);
  t->LoadConfig(config);
  EXPECT_TRUE(t->RespondToBroadcasts());
  t->SetRespondToBroadcasts(false);
  t->SaveConfig(config);
  EXPECT_FALSE(config.values.at(u"RespondToBroadcasts").AsBoolean());
}

class TVersion2Transport : public TTestTransport {
public:
  using TTestTransport::TTestTransport;
  void SaveSettingsToStream(TnxWriter& aWriter) override {
    TnxStateComponent::SaveSettingsToStream(aWriter);
    aWriter.WriteInteger(int32_t{2});
    aWriter.WriteBoolean(true);
  }
};

TEST_F(TransportTest, SettingsStreamCarriesVersionOneAndRespondToBroadcasts) {
  TnxMemoryStream stream;
  {
    auto source = MakeOwned<TTestTransport>(u"A");
    source->SetRespondToBroadcasts(true);
    TnxWriter writer(stream);
    source->SaveSettingsToStream(writer);
  }
  stream.SetPosition(0);
  auto target = MakeOwned<TTestTransport>(u"B");
  {
    TnxReader reader(stream);
    target->LoadSettingsFromStream(reader);
  }
  EXPECT_TRUE(target->RespondToBroadcasts());

  TnxMemoryStream newer;
  {
    auto source = MakeOwned<TVersion2Transport>(u"C");
    TnxWriter writer(newer);
    source->SaveSettingsToStream(writer);
  }
  newer.SetPosition(0);
  TnxReader reader(newer);
  try {
    target->LoadSettingsFromStream(reader);
    FAIL() << "a version 2 stream was taken";
  } catch (const EnxTransportException& e) {
    EXPECT_EQ(e.ErrorCode(), nxeIncompatibleStream);
  }
}

TEST_F(TransportTest, CreatedWithTheDocumentedDefaults) {
  auto t = MakeOwned<TTestTransport>(u"T");
  EXPECT_EQ(t->Mode(), nxtmSend);
  EXPECT_EQ(t->Timeout(), 3000u);
  EXPECT_EQ(t->ThreadPriorityMin(), -15);
  EXPECT_EQ(t->ThreadPriorityMax(), 15);
  EXPECT_TRUE(t->KeepStats());
  EXPECT_FALSE(t->RespondToBroadcasts());
  EXPECT_EQ(U8(t->DisplayCategory()), "Transports");
  EXPECT_EQ(t->ServerGUID(), platform::TGUID{});
  platform::TStringList captions;
  t->GetStatsCaptions(captions);
  ASSERT_GE(captions.Count(), 2);
  EXPECT_EQ(U8(captions[0]), "Uptime");
  EXPECT_EQ(U8(captions[1]), "Last Start Error");
}

TEST_F(TransportTest, WiringPropertiesNeedTheTransportInactive) {
  auto handler = MakeOwned<TTestCommandHandler>(u"H");
  auto t = MakeOwned<TTestTransport>(u"T");
  t->SetServerName(u"Server1");
  t->SetActive(true);
  ASSERT_EQ(t->State(), nxsStarted);
  const std::string inactive = "This component must be inactive when performing this operation.";
  struct Row {
    const char* name;
    std::function<void()> change;
  } rows[] = {
      {"Mode", [&] { t->SetMode(nxtmListen); }},
      {"RespondToBroadcasts", [&] { t->SetRespondToBroadcasts(true); }},
      {"CommandHandler", [&] { t->SetCommandHandler(handler.get()); }},
      {"ServerName", [&] { t->SetServerName(u"Server2"); }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    try {
      row.change();
      ADD_FAILURE() << "changed while started";
    } catch (const EnxTransportException& e) {
      EXPECT_NE(U8(e.Message()).find(inactive), std::string::npos) << U8(e.Message());
    }
  }
  // Unchanged values and the other mode's name pass.
  t->SetServerName(u"Server1");
  t->SetServerNameDesigntime(u"Designed");
  t->SetMode(nxtmSend);
  EXPECT_EQ(U8(t->ServerName()), "Server1");
  EXPECT_EQ(U8(t->ServerNameDesigntime()), "Designed");
}

TEST_F(TransportTest, ModeChangeSetsTheStateBySupport) {
  auto t = MakeOwned<TTestTransport>(u"T");
  t->IsSupported = false;
  t->SetMode(nxtmListen);
  EXPECT_EQ(t->State(), nxsUnsupported);
  t->IsSupported = true;
  t->SetMode(nxtmSend);
  EXPECT_EQ(t->State(), nxsInactive);

  t->IsSupported = false;
  t->BeginLoading();
  t->SetMode(nxtmListen);
  EXPECT_EQ(t->State(), nxsInactive) << "no state change while loading";
  t->EndLoading();
  EXPECT_EQ(t->State(), nxsUnsupported) << "Loaded sets it";
}

// ---- start-up ----

class TnxServerEngine : public TnxStateComponent, public InxServerEngineName {
  REVUROV_COMPONENT_CLASS(TnxServerEngine, TnxStateComponent)
  using TnxStateComponent::TnxStateComponent;
  std::u16string ServerEngineName() const override { return u"EngineName"; }
};

TEST_F(TransportTest, ListeningTransportTakesItsNameFromEngineOrHandler) {
  {
    auto engine = MakeOwned<TnxServerEngine>(u"E");
    auto t = MakeOwned<TTestTransport>(u"T");
    t->SetMode(nxtmListen);
    TnxComponent::LinkDependent(t.get(), engine.get());
    t->SetActive(true);
    EXPECT_EQ(U8(t->ServerNameRuntime()), "EngineName");
  }
  {
    auto handler = MakeOwned<TTestCommandHandler>(u"H");
    handler->HandlerServerName = u"FromHandler";
    auto t = MakeOwned<TTestTransport>(u"T");
    t->SetMode(nxtmListen);
    t->SetCommandHandler(handler.get());
    t->SetActive(true);
    EXPECT_EQ(t->State(), nxsStarted);
    EXPECT_EQ(U8(t->ServerName()), "FromHandler");
    EXPECT_EQ(t->ServerGUID(), TTestCommandHandler::kServerGUID);
  }
}

TEST_F(TransportTest, StartFailsWithoutNameOrSupport) {
  TFakeTransportClock clock;
  struct Row {
    const char* name;
    TnxTransportMode mode;
    bool supportedAtStart;
    uint32_t code;
  } rows[] = {
      {"listening without a name", nxtmListen, true, nxeNoServerName},
      {"sending without an answering server", nxtmSend, true, nxeServerNotFound},
      {"support lost before the start", nxtmSend, false, nxeCapabilityNotSupported},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    auto t = MakeOwned<TTestTransport>(u"T");
    t->SetMode(row.mode);
    t->IsSupported = row.supportedAtStart;
    try {
      t->SetActive(true);
      ADD_FAILURE() << "started";
    } catch (const EnxTransportException& e) {
      EXPECT_EQ(e.ErrorCode(), row.code);
    }
    EXPECT_EQ(t->State(), nxsInactive);
  }
}

// ---- sessions and received requests ----

class TPlainHandler : public TnxBaseCommandHandler {
  REVUROV_COMPONENT_CLASS(TPlainHandler, TnxBaseCommandHandler)
  using TnxBaseCommandHandler::TnxBaseCommandHandler;
  platform::TGUID GetServerGUID() const override { return platform::TGUID{}; }
};

TEST_F(TransportTest, AddSessionGoesToTheEventElseTheHandlerElseFails) {
  auto t = MakeOwned<TTestTransport>(u"T");
  t->SetMode(nxtmListen);
  TnxSessionID session = 0;
  int32_t version = 0;
  try {
    t->btAddSession(u"u", u"p", u"addr", 100, 47501, session, version);
    FAIL();
  } catch (const EnxTransportException& e) {
    EXPECT_EQ(e.ErrorCode(), nxeCapabilityNotSupported);
    EXPECT_NE(U8(e.Message()).find(
                  "btAddSession requires an OnAddSession handler or an attached CommandHandler"),
              std::string::npos);
  }
  EXPECT_THROW(t->btRemoveSession(7), EnxTransportException);
  t->btSessionFailed(7);  // nobody to tell

  auto plain = MakeOwned<TPlainHandler>(u"P");
  t->SetCommandHandler(plain.get());
  try {
    t->btAddSession(u"u", u"p", u"addr", 100, 47501, session, version);
    FAIL();
  } catch (const EnxCommandHandlerException& e) {
    EXPECT_EQ(e.ErrorCode(), nxeCapabilityNotSupported);
    EXPECT_NE(U8(e.Message()).find("bchAddSession not supported by TnxBaseCommandHandler"),
              std::string::npos);
  }
  EXPECT_EQ(t->btRemoveSession(7), 0u);

  auto handler = MakeOwned<TTestCommandHandler>(u"H");
  t->SetCommandHandler(handler.get());
  EXPECT_EQ(t->btAddSession(u"admin", u"secret", u"addr", 100, 47501, session, version), 0u);
  EXPECT_EQ(session, 1u);
  EXPECT_EQ(version, 47501);
  EXPECT_EQ(t->btAddSession(u"admin", u"wrong", u"addr", 100, 47501, session, version),
            nxeUnknownUserOrPassword);

  std::u16string seenUser;
  t->OnAddSession = [&](TnxBaseTransport* aSender, const std::u16string& aUser,
                        const std::u16string&, int32_t, int32_t, TnxSessionID& aSession,
                        int32_t& aVersion) -> uint32_t {
    EXPECT_EQ(aSender, t.get());
    seenUser = aUser;
    aSession = 99;
    aVersion = 1;
    return 0;
  };
  t->OnRemoveSession = [](TnxBaseTransport*, TnxSessionID aSession) -> uint32_t {
    return aSession == 99 ? 0 : nxeInvalidHandle;
  };
  EXPECT_EQ(t->btAddSession(u"x", u"y", u"addr", 100, 47501, session, version), 0u);
  EXPECT_EQ(session, 99u);
  EXPECT_EQ(U8(seenUser), "x");
  EXPECT_EQ(t->btRemoveSession(99), 0u);
  EXPECT_EQ(handler->Sessions().size(), 1u) << "the event took precedence";
}

TEST_F(TransportTest, HandlerGoingAwayDeactivatesTheTransport) {
  auto t = MakeOwned<TTestTransport>(u"T");
  auto handler = MakeOwned<TTestCommandHandler>(u"H");
  t->SetMode(nxtmListen);
  t->SetServerName(u"S");
  t->SetCommandHandler(handler.get());
  EXPECT_TRUE(t->IsDependentOn(handler.get()));
  t->SetActive(true);
  ASSERT_EQ(t->State(), nxsStarted);
  handler.reset();
  EXPECT_EQ(t->State(), nxsInactive);
  EXPECT_EQ(t->CommandHandler(), nullptr);
}

std::vector<TnxMsgID> gHookMessages;
void RecordChannelRequest(const TnxDataMessage& aMessage) { gHookMessages.push_back(aMessage.dmMsg); }

TEST_F(TransportTest, ReceivedRequestsGoToTheChannelHookOrTheHandler) {
  gHookMessages.clear();
  auto t = MakeOwned<TTestTransport>(u"T");
  TnxDataMessage remoting, engine;
  remoting.dmMsg = nxChannelRequestMsgID;
  engine.dmMsg = 0x223;

  t->btProcessMessage(engine);  // no receiver: dropped
  EXPECT_EQ(t->MsgCount(), 1);
  EXPECT_EQ(TnxBaseTransport::CurrentTransport(), t.get());

  auto handler = MakeOwned<TTestCommandHandler>(u"H");
  handler->Script(nxChannelRequestMsgID, {testing::TReplyKind::rkNoReply, {}, 0, {}});
  handler->Script(0x223, {testing::TReplyKind::rkNoReply, {}, 0, {}});
  t->SetCommandHandler(handler.get());
  t->btProcessMessage(remoting);  // no hook: the handler
  nxSetChannelRequestHook(&RecordChannelRequest);
  t->btProcessMessage(remoting);
  t->btProcessMessage(engine);
  nxSetChannelRequestHook(nullptr);

  EXPECT_EQ(gHookMessages, std::vector<TnxMsgID>{nxChannelRequestMsgID});
  const auto received = handler->Received();
  ASSERT_EQ(received.size(), 2u);
  EXPECT_EQ(received[0].msgID, nxChannelRequestMsgID);
  EXPECT_EQ(received[1].msgID, 0x223u);
  EXPECT_EQ(t->MsgCount(), 4);
  t->ResetMsgCount();
  EXPECT_EQ(t->MsgCount(), 0);
  t.reset();
  EXPECT_EQ(TnxBaseTransport::CurrentTransport(), nullptr);
}

TEST_F(TransportTest, ReplyNeedsAServingTransport) {
  std::thread([] {
    EXPECT_EQ(TnxBaseTransport::CurrentTransport(), nullptr);
    EXPECT_THROW(TnxBaseTransport::Reply(1, 0, nullptr, 0), EnxTransportException);
    EXPECT_FALSE(TnxBaseTransport::GetSessionCallback());
  }).join();
  auto t = MakeOwned<TTestTransport>(u"T");
  t->btSetCurrentTransport();
  try {
    TnxBaseTransport::Reply(1, 0, nullptr, 0);
    FAIL() << "replied on a transport that is not started";
  } catch (const EnxTransportException& e) {
    EXPECT_NE(U8(e.Message()).find("must be started"), std::string::npos);
  }
}

}  // namespace
}  // namespace revurov
