// The pooled transport component: defaults, setter rules, configuration,
// settings stream, statistics, the thread's idle handler, and a stop that
// ends.
#include "transport/pooled_transport.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <thread>
#include <vector>

#include "lowlevel/components/component_settings.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/streams/memory_stream.h"
#include "lowlevel/streams/tagged_stream.h"
#include "support/fake_transport_clock.h"
#include "support/named_component.h"
#include "support/u8_text.h"
#include "transport/connection.h"
#include "transport/freed_connections.h"
#include "transport/support/map_configuration.h"
#include "transport/support/stub_pooled_transport.h"
#include "transport/transport_test_support.h"

namespace revurov {
namespace {

using platform::TThreadPriority;
using testing::LibraryStarted;
using testing::Make;
using testing::TFakeTransportClock;
using testing::TMapConfiguration;
using testing::U8;

// The medium-independent part alone: no connection can be made.
class TPooledProbe : public testing::TStubPooledTransport {
  REVUROV_COMPONENT_CLASS(TPooledProbe, testing::TStubPooledTransport)
  using TStubPooledTransport::TStubPooledTransport;
  using TnxBasePooledTransport::btProcessing;
  using TnxBasePooledTransport::btTransportID;

  std::u16string GetName() const override { return u"Probe"; }

  // What the client start raises, if anything.
  std::function<void()> StartClient;

protected:
  void btStartClient() override {
    if (StartClient) StartClient();
  }
};

template <class T>
struct Freed {
  void operator()(T* aComponent) const { platform::TComponent::Free(aComponent); }
};
using Probe = std::unique_ptr<TPooledProbe, Freed<TPooledProbe>>;
Probe MakeProbe(std::u16string aName = u"P") {
  Probe p(Make<TPooledProbe>(std::move(aName)));
  p->SetServerName(u"Server1");
  return p;
}

// A connection that leaves its transport's list when it is disconnected or
// freed, as the server thread of a real one does.
class TListedConnection : public TnxBaseConnection {
public:
  TListedConnection(TnxBasePooledTransport* aTransport, bool aServer)
      : TnxBaseConnection(aTransport), lcTransport(aTransport), lcServer(aServer) {
    if (lcServer)
      lcTransport->AddServerConnection(this);
    else
      lcTransport->AddClientConnection(this);
  }
  ~TListedConnection() override { Leave(); }
  void Deactivate() override {}
  void DoWrite(TnxTransportID, TnxSessionID, TnxThreadPriority, TnxMsgID, uint8_t, uint32_t, uint8_t, uint32_t,
               const void*, uint32_t) override {}
  void Read(TnxReplyCallback, void*) override {}
  void ForceDisconnect() override {
    bcForcedDisconnect.store(true);
    Leave();
  }

private:
  void Leave() {
    if (lcServer)
      lcTransport->RemoveServerConnection(this);
    else
      lcTransport->RemoveClientConnection(this);
  }
  TnxBasePooledTransport* lcTransport;
  bool lcServer;
};

class PooledTransport : public LibraryStarted {};

TEST_F(PooledTransport, CreatedWithTheDocumentedDefaults) {
  auto t = MakeProbe();
  EXPECT_EQ(t->Port(), 16000);
  EXPECT_EQ(t->CompressType(), 0);
  EXPECT_EQ(t->CompressLimit(), 512u);
  EXPECT_EQ(t->ServerThreadPriority(), TThreadPriority::tpNormal);
  EXPECT_EQ(t->ConcurrentIOCPThreads(), 0);
  EXPECT_EQ(t->HeartbeatThreadPriority(), TThreadPriority::tpTimeCritical);
  EXPECT_EQ(t->HeartbeatInterval(), 10000u);
  EXPECT_EQ(t->WatchdogThreadPriority(), TThreadPriority::tpHighest);
  EXPECT_EQ(t->WatchdogInterval(), 10000u);
  EXPECT_EQ(t->LostConnectionTimeout(), 10000u);
  EXPECT_FALSE(t->OverlappedClient());
  EXPECT_EQ(t->CallbackThreadCount(), 0);
  EXPECT_EQ(t->CallbackThreadPriority(), TThreadPriority::tpNormal);
  EXPECT_FALSE(t->Failed());
  EXPECT_EQ(t->CompletionQueue(), nullptr);
  EXPECT_EQ(nxPooledTransportMessageKey().size(), 64u);
  EXPECT_EQ(static_cast<uint8_t>(nxPooledTransportMessageKey()[0]), 0x5a);
  EXPECT_EQ(static_cast<uint8_t>(nxPooledTransportMessageKey()[63]), 0x63);
}

TEST_F(PooledTransport, EachTransportIsRegisteredWithTheDeferredRelease) {
  const int32_t before = nxFreedConnectionCounts().Transports;
  {
    auto a = MakeProbe(u"A");
    auto b = MakeProbe(u"B");
    EXPECT_EQ(nxFreedConnectionCounts().Transports, before + 2);
    EXPECT_TRUE(nxFreedConnectionCounts().ThreadRunning);
  }
  EXPECT_EQ(nxFreedConnectionCounts().Transports, before);
}

TEST_F(PooledTransport, SettersWhileStartedFollowTheirRule) {
  auto t = MakeProbe();
  t->SetActive(true);
  ASSERT_EQ(t->State(), nxsStarted);
  struct Row {
    const char* name;
    std::function<void()> change;
    bool allowedWhenStopped;
  } rows[] = {
      {"Port", [&] { t->SetPort(1); }, false},
      {"ServerThreadPriority", [&] { t->SetServerThreadPriority(TThreadPriority::tpHigher); }, false},
      {"HeartbeatThreadPriority", [&] { t->SetHeartbeatThreadPriority(TThreadPriority::tpLower); }, false},
      {"HeartbeatInterval", [&] { t->SetHeartbeatInterval(1); }, false},
      {"WatchdogThreadPriority", [&] { t->SetWatchdogThreadPriority(TThreadPriority::tpLower); }, false},
      {"WatchdogInterval", [&] { t->SetWatchdogInterval(1); }, false},
      {"LostConnectionTimeout", [&] { t->SetLostConnectionTimeout(1); }, false},
      {"OverlappedClient", [&] { t->SetOverlappedClient(true); }, false},
      {"CallbackThreadPriority", [&] { t->SetCallbackThreadPriority(TThreadPriority::tpLower); }, false},
      {"ConcurrentIOCPThreads", [&] { t->SetConcurrentIOCPThreads(4); }, true},
      {"CallbackThreadCount", [&] { t->SetCallbackThreadCount(2); }, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_THROW(row.change(), EnxPooledTransportException);
  }
  // Unchanged values and the two plain fields pass while started.
  t->SetPort(16000);
  t->SetWatchdogInterval(10000);
  t->SetCompressType(2);
  t->SetCompressLimit(100);
  EXPECT_EQ(t->CompressLimit(), 100u);

  t->SetState(nxsStopped);
  ASSERT_EQ(t->State(), nxsStopped);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    if (row.allowedWhenStopped)
      EXPECT_NO_THROW(row.change());
    else
      EXPECT_THROW(row.change(), EnxPooledTransportException);
  }
  EXPECT_EQ(t->ConcurrentIOCPThreads(), 4);
  EXPECT_EQ(t->CallbackThreadCount(), 2);
}

TEST_F(PooledTransport, ConfigurationKeysAndSettingsList) {
  auto t = MakeProbe();
  TMapConfiguration config;
  config.values[u"CompressLimit"] = platform::TnxVariant::FromInteger(99);
  config.values[u"Port"] = platform::TnxVariant::FromInteger(17000);
  config.values[u"ConcurrentIOCPThreads"] = platform::TnxVariant::FromInteger(3);
  config.values[u"ServerThreadPriority"] = platform::TnxVariant::FromInteger(5);
  t->LoadConfig(config);
  EXPECT_EQ(t->CompressLimit(), 99u);
  EXPECT_EQ(t->Port(), 17000);
  EXPECT_EQ(t->ConcurrentIOCPThreads(), 3);
  EXPECT_EQ(t->ServerThreadPriority(), TThreadPriority::tpHighest);
  EXPECT_EQ(t->WatchdogInterval(), 10000u) << "a missing key keeps the value";

  t->SetWatchdogInterval(250);
  TMapConfiguration saved;
  t->SaveConfig(saved);
  for (const char16_t* key :
       {u"RespondToBroadcasts", u"CompressLimit", u"Port", u"ConcurrentIOCPThreads", u"ServerThreadPriority",
        u"WatchdogInterval"})
    EXPECT_EQ(saved.values.count(key), 1u) << U8(key);
  EXPECT_EQ(saved.values.at(u"WatchdogInterval").AsInt64(), 250);
  EXPECT_EQ(saved.values.at(u"ServerThreadPriority").AsInt64(), 5);

  testing::TListedSettings list;
  t->GetConfigSettings(list);
  ASSERT_GE(list.items.size(), 5u);
  const size_t first = list.items.size() - 5;
  struct Row {
    const char* name;
    TnxSettingType type;
    int32_t min, max;  // max 0: none
  } rows[] = {{"CompressLimit", nxstInteger, 1, 0},
              {"WatchDogInterval", nxstInteger, 1, 0},
              {"Port", nxstInteger, 1, 65535},
              {"ConcurrentIOCPThreads", nxstInteger, 1, 1024},
              {"ServerThreadPriority", nxstThreadPriority, 0, 0}};
  for (size_t i = 0; i < 5; ++i) {
    const TnxBaseSetting& s = *list.items[first + i];
    SCOPED_TRACE(rows[i].name);
    EXPECT_EQ(U8(s.fName), rows[i].name);
    EXPECT_EQ(U8(s.fPropertyName), rows[i].name);
    EXPECT_EQ(s.fSettingType, rows[i].type);
    if (rows[i].min) {
      EXPECT_EQ(s.fMin.AsInt64(), rows[i].min);
    }
    if (rows[i].max) {
      EXPECT_EQ(s.fMax.AsInt64(), rows[i].max);
    }
  }
}

// Writes the inherited part and then the pooled part in a given version.
void WritePooledStream(TnxMemoryStream& aStream, int32_t aVersion) {
  auto source = MakeProbe(u"S");
  TnxWriter writer(aStream);
  source->TnxBaseDirectTransport::SaveSettingsToStream(writer);
  writer.WriteInteger(aVersion);
  writer.WriteInteger(int32_t{77});
  if (aVersion >= 2) {
    writer.WriteInteger(int32_t{17001});
    writer.WriteInteger(int32_t{6});
    writer.WriteString(u"tpLowest");
  }
  if (aVersion >= 3) writer.WriteInteger(int32_t{4321});
}

TEST_F(PooledTransport, SettingsStreamVersions) {
  struct Row {
    int32_t version;
    bool accepted;
    uint16_t port;
    uint32_t watchdog;
  } rows[] = {
      {1, true, 16000, 10000},
      {2, true, 17001, 10000},  // the watchdog interval stays as it was
      {3, true, 17001, 4321},
      {4, false, 0, 0},
      {0, false, 0, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.version);
    TnxMemoryStream stream;
    WritePooledStream(stream, row.version);
    stream.SetPosition(0);
    auto target = MakeProbe(u"T");
    TnxReader reader(stream);
    if (!row.accepted) {
      try {
        target->LoadSettingsFromStream(reader);
        ADD_FAILURE() << "taken";
      } catch (const EnxPooledTransportException& e) {
        EXPECT_EQ(e.ErrorCode(), nxeIncompatibleStream);
      }
      continue;
    }
    target->LoadSettingsFromStream(reader);
    EXPECT_EQ(target->CompressLimit(), 77u);
    EXPECT_EQ(target->Port(), row.port);
    EXPECT_EQ(target->WatchdogInterval(), row.watchdog);
    if (row.version >= 2) {
      EXPECT_EQ(target->ConcurrentIOCPThreads(), 6);
      EXPECT_EQ(target->ServerThreadPriority(), TThreadPriority::tpLowest);
    }
  }
}

TEST_F(PooledTransport, SettingsStreamRoundTrip) {
  TnxMemoryStream stream;
  {
    auto source = MakeProbe(u"S");
    source->SetCompressLimit(4096);
    source->SetPort(18000);
    source->SetConcurrentIOCPThreads(9);
    source->SetServerThreadPriority(TThreadPriority::tpTimeCritical);
    source->SetWatchdogInterval(1234);
    TnxWriter writer(stream);
    source->SaveSettingsToStream(writer);
  }
  stream.SetPosition(0);
  auto target = MakeProbe(u"T");
  TnxReader reader(stream);
  target->LoadSettingsFromStream(reader);
  EXPECT_EQ(target->CompressLimit(), 4096u);
  EXPECT_EQ(target->Port(), 18000);
  EXPECT_EQ(target->ConcurrentIOCPThreads(), 9);
  EXPECT_EQ(target->ServerThreadPriority(), TThreadPriority::tpTimeCritical);
  EXPECT_EQ(target->WatchdogInterval(), 1234u);
}

TEST_F(PooledTransport, StatisticsOfATransportThatSentNothing) {
  auto t = MakeProbe();
  platform::TStringList captions, values;
  t->GetStatsCaptions(captions);
  t->GetStatsValues(values);
  ASSERT_EQ(captions.Count(), values.Count());
  const char* expected[] = {"Local Address",         "Total Connections",     "Connected Transports",
                            "Open Sessions",         "Messages sent",         "Actual bytes sent",
                            "Uncompressed bytes sent", "Ratio sent",          "Messages received",
                            "Actual bytes received", "Uncompressed bytes received", "Ratio received"};
  const int first = captions.Count() - 12;
  ASSERT_GE(first, 0);
  for (int i = 0; i < 12; ++i) EXPECT_EQ(U8(captions[first + i]), expected[i]);
  EXPECT_EQ(U8(values[first + 7]), "1.00");
  EXPECT_EQ(U8(values[first + 11]), "1.00");
  EXPECT_EQ(U8(values[first + 1]), "0");
}

TEST_F(PooledTransport, ConnectedAndCountedByClientConnections) {
  auto t = MakeProbe();
  EXPECT_FALSE(t->IsConnected());
  EXPECT_EQ(t->ConnectionCount(), 0);
  std::vector<TListedConnection*> pool;
  for (int i = 0; i < 10; ++i) pool.push_back(new TListedConnection(t.get(), false));
  EXPECT_TRUE(t->IsConnected());
  EXPECT_EQ(t->ConnectionCount(), 1) << "a busy client counts as one";
  t->SetMode(nxtmListen);
  EXPECT_EQ(t->ConnectionCount(), 0) << "no remote transports";
  for (auto* c : pool) c->Free();
  EXPECT_EQ(t->ClientConnectionCount(), 0);
}

TEST_F(PooledTransport, StopOfAClientThatNeverConnectedDoesNotWait) {
  TFakeTransportClock clock;
  auto t = MakeProbe();
  t->SetActive(true);
  ASSERT_EQ(t->State(), nxsStarted);
  EXPECT_NE(t->CompletionQueue(), nullptr);
  t->SetActive(false);
  EXPECT_TRUE(clock.Sleeps().empty());
  EXPECT_EQ(t->CompletionQueue(), nullptr);
}

TEST_F(PooledTransport, StopDisconnectsServerConnectionsAndFreesClientOnes) {
  TFakeTransportClock clock;
  auto t = MakeProbe();
  t->SetActive(true);
  std::vector<TListedConnection*> server;
  for (int i = 0; i < 3; ++i) server.push_back(new TListedConnection(t.get(), true));
  for (int i = 0; i < 2; ++i) new TListedConnection(t.get(), false);
  ASSERT_EQ(t->ServerConnectionCount(), 3);
  t->SetActive(false);
  EXPECT_EQ(t->ServerConnectionCount(), 0);
  EXPECT_EQ(t->ClientConnectionCount(), 0);
  // Disconnected, they left their list; freeing them is their server
  // thread's work.
  for (auto* c : server) {
    EXPECT_TRUE(c->ForcedDisconnect());
    c->Free();
  }
}

TEST_F(PooledTransport, StopWaitsForMessagesInProcessingAtMostFiftyTimes) {
  TFakeTransportClock clock;
  auto t = MakeProbe();
  t->SetActive(true);
  t->btProcessing.store(1);  // never ends
  t->SetActive(false);
  const auto sleeps = clock.Sleeps();
  EXPECT_EQ(sleeps.size(), 50u);
  for (uint32_t s : sleeps) EXPECT_EQ(s, 100u);
  t->btProcessing.store(0);
}

TEST_F(PooledTransport, FailuresOfTheClientStart) {
  struct Row {
    const char* name;
    std::function<void()> raise;
    bool started;
    uint32_t code;  // of the raised component error; 0: none
  } rows[] = {
      {"abort ends quietly", [] { throw platform::EAbort(u"stop"); }, true, 0},
      {"library exception passes", [] { throw EnxBaseException(nxeLostConnection); }, false, nxeLostConnection},
      {"unknown object", [] { throw 42; }, false, nxeServerNotFound},
      {"standard exception", [] { throw std::runtime_error("x"); }, false, nxeServerNotFound},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    auto t = MakeProbe();
    t->StartClient = row.raise;
    uint32_t code = 0;
    try {
      t->SetActive(true);
    } catch (const EnxBaseException& e) {
      code = static_cast<uint32_t>(e.ErrorCode());
    }
    EXPECT_EQ(code, row.code);
    EXPECT_EQ(t->State() == nxsStarted, row.started);
  }
}

class TProbeClient : public TnxBaseClientConnection {
public:
  TProbeClient(TnxBasePooledTransport* aTransport, bool aFail, std::atomic<int>& aDestroyed)
      : TnxBaseClientConnection(aTransport), pcFail(aFail), pcDestroyed(aDestroyed) {}
  ~TProbeClient() override { pcDestroyed.fetch_add(1); }
  void Initialize() override {
    if (pcFail) throw EnxBaseException(nxeServerNotFound);
  }
  void DoWrite(TnxTransportID, TnxSessionID, TnxThreadPriority, TnxMsgID, uint8_t, uint32_t, uint8_t, uint32_t,
               const void*, uint32_t) override {}
  void Read(TnxReplyCallback, void*) override {}
  void ReadMessage(TnxBaseHeader&, TnxHeapBuffer&) override {}
  void ForceDisconnect() override {}

private:
  bool pcFail;
  std::atomic<int>& pcDestroyed;
};

TEST_F(PooledTransport, ClientConnectionsEnterTheListConnectedAndReturnToThePool) {
  std::atomic<int> destroyed{0};
  auto t = MakeProbe();
  t->SetActive(true);
  EXPECT_THROW(nxCreateClientConnection<TProbeClient>(t.get(), true, destroyed), EnxBaseException);
  EXPECT_EQ(destroyed.load(), 1) << "a connection that did not connect is freed";
  EXPECT_EQ(t->ClientConnectionCount(), 0);

  auto* a = nxCreateClientConnection<TProbeClient>(t.get(), false, destroyed);
  auto* b = nxCreateClientConnection<TProbeClient>(t.get(), false, destroyed);
  EXPECT_EQ(t->ClientConnectionCount(), 2);
  a->Deactivate();
  b->Deactivate();
  EXPECT_EQ(t->AvailableConnectionCount(), 2);
  EXPECT_EQ(t->PopAvailableConnection(), b);
  b->Free();  // a failed exchange frees the connection; it leaves the list
  EXPECT_EQ(t->ClientConnectionCount(), 1);
  EXPECT_EQ(t->AvailableConnectionCount(), 1);
  t->SetActive(false);
  EXPECT_EQ(destroyed.load(), 3);
  EXPECT_EQ(t->ClientConnectionCount(), 0);
  EXPECT_EQ(t->AvailableConnectionCount(), 0);
}

// Transact: the transport counts the message, the connection writes it,
// then reads the reply.
TEST_F(PooledTransport, TransactWritesThroughTheTransportAndThenReads) {
  class TRecording : public TnxBaseClientConnection {
  public:
    using TnxBaseClientConnection::TnxBaseClientConnection;
    std::vector<std::string> steps;
    void DoWrite(TnxTransportID aTransportID, TnxSessionID aSessionID, TnxThreadPriority, TnxMsgID aMsgID, uint8_t,
                 uint32_t, uint8_t, uint32_t, const void*, uint32_t aBufferSize) override {
      steps.push_back("write " + std::to_string(aTransportID) + " " + std::to_string(aSessionID) + " " +
                      std::to_string(aMsgID) + " " + std::to_string(aBufferSize));
    }
    void Read(TnxReplyCallback, void* aCookie) override { steps.push_back(aCookie ? "read cookie" : "read"); }
    void ReadMessage(TnxBaseHeader&, TnxHeapBuffer&) override {}
    void ForceDisconnect() override {}
  };
  auto t = MakeProbe();
  auto* c = nxCreateClientConnection<TRecording>(t.get());
  const char payload[40] = {};
  int cookie = 0;
  c->Transact(7, 9, 0, 0x1234, nxmtRequest, 0, 0, 40, payload, 40, nullptr, &cookie);
  EXPECT_EQ(c->steps, (std::vector<std::string>{"write 7 9 4660 40", "read cookie"}));
  EXPECT_EQ(t->MessagesSent(), 1);
  EXPECT_EQ(t->ActualBytesSent(), 40);
  c->Free();
}

// A connect failure of another code than 11276 or 11278 is 11278 while the
// transport never registered, 11276 afterwards; either way it fails the
// transport.
TEST_F(PooledTransport, OtherConnectFailuresBecomeTheCodeOfTheRegistrationState) {
  for (const auto& [registered, code] : {std::pair{false, nxeServerNotFound}, std::pair{true, nxeLostConnection}}) {
    SCOPED_TRACE(registered ? "registered" : "never registered");
    auto t = MakeProbe();
    t->SetActive(true);
    if (registered) t->btTransportID.store(5);
    TnxSessionID session = 0;
    int32_t version = 0;
    // The probe has no medium: its connect raises 12289.
    EXPECT_EQ(t->EstablishConnection(0, u"u", u"p", 0, 47501, version, session), code);
    EXPECT_TRUE(t->Failed());
    uint32_t replied = 0;
    t->Request(0, 1, 0, 1, 0, nullptr, 0,
               [](TnxMsgID, uint32_t aCode, const void*, int32_t, void* aCookie) {
                 *static_cast<uint32_t*>(aCookie) = aCode;
               },
               &replied);
    EXPECT_EQ(replied, nxeLostConnection);
    t->SetActive(false);
    EXPECT_FALSE(t->Failed()) << "the stop clears the failure";
  }
}

TEST_F(PooledTransport, TheIdleHandlerBelongsToTheCallingThread) {
  int calls = 0;
  TnxBasePooledTransport::SetNetIdle([&](void*, platform::EventHandle) { ++calls; }, 50, 7);
  TnxNetIdleEvent handler;
  uint32_t interval = 0, mask = 0;
  ASSERT_TRUE(TnxBasePooledTransport::GetNetIdle(handler, interval, mask));
  EXPECT_EQ(interval, 50u);
  EXPECT_EQ(mask, 7u);
  handler(nullptr, nullptr);
  EXPECT_EQ(calls, 1);
  std::thread other([] {
    TnxNetIdleEvent none;
    uint32_t i = 99, m = 99;
    EXPECT_FALSE(TnxBasePooledTransport::GetNetIdle(none, i, m));
    EXPECT_EQ(i, 99u) << "untouched without a handler";
  });
  other.join();
  TnxBasePooledTransport::SetNetIdle(nullptr, 0, 0);
  EXPECT_FALSE(TnxBasePooledTransport::GetNetIdle(handler, interval, mask));
}

}  // namespace
}  // namespace revurov
