#include <gtest/gtest.h>

#include <cerrno>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/local_socket.h"
#include "platform/socket.h"
#include "platform/text.h"
#include "support/named_component.h"
#include "support/test_command_handler.h"
#include "support/within.h"
#include "transport/named_pipe_discovery.h"
#include "transport/named_pipe_transport.h"
#include "transport/support/pipe_medium.h"
#include "transport/transport_exception.h"
#include "transport/transport_test_support.h"

namespace revurov {
namespace {

using testing::Make;

struct Freed {
  void operator()(platform::TComponent* aComponent) const { platform::TComponent::Free(aComponent); }
};
using Transport = std::unique_ptr<TnxNamedPipeTransport, Freed>;

std::string Narrow(const std::u16string& aText) { return platform::Utf16ToUtf8(aText); }

TEST(PipeReplySlots, OnlyReplySlotsOfThisComputerAndPortAreAnswered) {
  const std::string computer = Narrow(nxGetComputerName());
  ASSERT_FALSE(computer.empty());
  const std::string base = "\\mailslot\\RevurOV\\1.0\\16000\\";
  const struct {
    std::string request;
    const char* slot;  // null: not answered
  } rows[] = {
      {"\\\\" + computer + base + "Client\\1234_1", "\\\\.\\mailslot\\RevurOV\\1.0\\16000\\Client\\1234_1"},
      {"\\\\" + Narrow(platform::AsciiUpperCase(platform::Utf8ToUtf16(computer))) + base + "Client\\7_99",
       "\\\\.\\mailslot\\RevurOV\\1.0\\16000\\Client\\7_99"},
      {"\\\\.\\" + base.substr(1) + "Client\\1234_1", nullptr},
      {"\\\\other-host" + base + "Client\\1234_1", nullptr},
      {"\\\\" + computer + "\\mailslot\\RevurOV\\1.0\\16001\\Client\\1234_1", nullptr},
      {"\\\\" + computer + base + "Server", nullptr},
      {"\\\\" + computer + base + "Client\\1234_", nullptr},
      {"\\\\" + computer + base + "Client\\_1", nullptr},
      {"\\\\" + computer + base + "Client\\12a4_1", nullptr},
      {"\\\\" + computer + base + "Client\\1234_1\\x", nullptr},
      {"\\\\" + computer + "\\pipe\\RevurOV\\1.0\\16000\\S", nullptr},
      {"", nullptr},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.request);
    std::string slot;
    ASSERT_EQ(nxReplySlotOfRequest(row.request, 16000, slot), row.slot != nullptr);
    if (row.slot) {
      EXPECT_EQ(slot, row.slot);
    }
  }
}

class TRecordingHandler : public TnxInterfacedObject, public InxBroadcastReplyHandler {
public:
  struct TSeen {
    std::u16string name;
    platform::TGUID id;
    int32_t version;
    int32_t port;
  };
  void ReplyReceived(InxBroadcastReply& aReply) override {
    std::lock_guard guard(rhLock);
    rhSeen.push_back({aReply.ServerName(), aReply.ServerID(), aReply.ServerVersion(), aReply.ServerPort()});
  }
  std::vector<TSeen> Seen() {
    std::lock_guard guard(rhLock);
    return rhSeen;
  }

protected:
  bool GetInterface(const platform::TGUID& iid, void** obj) noexcept override {
    return nxOfferInterface<InxBroadcastReplyHandler>(this, iid, obj) || TnxInterfacedObject::GetInterface(iid, obj);
  }

private:
  std::mutex rhLock;
  std::vector<TSeen> rhSeen;
};

class PipeDiscovery : public testing::LibraryStarted {
protected:
  void SetUp() override {
    LibraryStarted::SetUp();
    handler.reset(Make<testing::TTestCommandHandler>(u"H"));
    server.reset(Make<TnxNamedPipeTransport>(u"S"));
    server->SetServerName(u"S");
    server->SetMode(nxtmListen);
    server->SetPort(testing::PipeMediumPort());
    server->SetHeartbeatInterval(0);
    server->SetRespondToBroadcasts(true);
    server->SetCommandHandler(handler.get());
    server->SetActive(true);
    ASSERT_EQ(server->State(), nxsStarted);
    client.reset(Make<TnxNamedPipeTransport>(u"C"));
    client->SetPort(testing::PipeMediumPort());
    client->SetHeartbeatInterval(0);
  }
  void TearDown() override {
    client.reset();
    server.reset();
    handler.reset();
    LibraryStarted::TearDown();
  }
  std::string Slot(const std::u16string& aHost, const std::u16string& aTail) {
    return Narrow(nxMailslotName(aHost, testing::PipeMediumPort(), aTail));
  }

  std::unique_ptr<testing::TTestCommandHandler, Freed> handler;
  Transport server;
  Transport client;
};

TEST_F(PipeDiscovery, AScanListsTheServerAtThisComputer) {
  platform::TStringList names;
  client->GetServerNames(names, 400);
  ASSERT_EQ(names.Count(), 1);
  EXPECT_EQ(names[0], u"S@" + nxGetComputerName());
  // Connectable as it is listed.
  client->SetServerName(names[0]);
  client->SetActive(true);
  TnxSessionID session = 0;
  int32_t version = 0;
  EXPECT_EQ(client->EstablishConnection(0, u"admin", u"secret", 5000, 47501, version, session), 0u);
}

TEST_F(PipeDiscovery, TheAnswerCarriesTheServersIdentityAndVersion) {
  const platform::TInterfacePtr<TRecordingHandler> recorder(nxCreate<TRecordingHandler>());
  auto scan = client->BeginBroadcast(recorder.Get(), 50);
  ASSERT_TRUE(testing::Within(std::chrono::seconds(20), [&] { return !recorder->Seen().empty(); }));
  scan->Stop();
  const auto seen = recorder->Seen();
  EXPECT_EQ(seen[0].name, u"S@" + nxGetComputerName());
  EXPECT_EQ(seen[0].id, testing::TTestCommandHandler::kServerGUID);
  EXPECT_EQ(seen[0].version, 47501);
  EXPECT_EQ(seen[0].port, testing::PipeMediumPort());
}

TEST_F(PipeDiscovery, ARequestNamingAnotherSocketGetsNoAnswer) {
  const std::string foreign = Slot(u".", u"Other");
  const std::string reply = Slot(u".", u"Client\\1_1");
  const int foreignFd = platform::LocalDatagramBind(foreign);
  const int replyFd = platform::LocalDatagramBind(reply);
  ASSERT_GE(foreignFd, 0);
  ASSERT_GE(replyFd, 0);
  const std::string server = Slot(u".", u"Server");
  for (const std::string& named : {Slot(nxGetComputerName(), u"Other"), foreign, Slot(nxGetComputerName(), u"Client\\1_1")})
    ASSERT_TRUE(platform::LocalDatagramSend(server, named.c_str(), named.size() + 1));
  // The server answers in order: once the reply slot has its answer, the
  // requests before it were turned down.
  char buffer[nxMailslotMessageSize];
  EXPECT_GT(platform::LocalDatagramReceive(replyFd, buffer, sizeof buffer, 20000), 0);
  EXPECT_EQ(platform::LocalDatagramReceive(foreignFd, buffer, sizeof buffer, 0), -1);
  platform::CloseSocket(foreignFd);
  platform::CloseSocket(replyFd);
}

TEST_F(PipeDiscovery, NoServerSlotWithoutRespondToBroadcastsOrAfterTheStop) {
  const std::string request = "x";
  EXPECT_TRUE(platform::LocalDatagramSend(Slot(u".", u"Server"), request.data(), 1));
  server->SetActive(false);
  EXPECT_FALSE(platform::LocalDatagramSend(Slot(u".", u"Server"), request.data(), 1));
  server->SetRespondToBroadcasts(false);
  server->SetActive(true);
  EXPECT_FALSE(platform::LocalDatagramSend(Slot(u".", u"Server"), request.data(), 1));
}

TEST_F(PipeDiscovery, AScanWithoutAHandlerSendsNothing) {
  server.reset();
  const int slot = platform::LocalDatagramBind(Slot(u".", u"Server"));
  ASSERT_GE(slot, 0);
  auto scan = client->BeginBroadcast(nullptr, 1);
  scan->Stop();
  char buffer[nxMailslotMessageSize];
  EXPECT_EQ(platform::LocalDatagramReceive(slot, buffer, sizeof buffer, 0), -1);
  platform::CloseSocket(slot);
}

TEST_F(PipeDiscovery, AServerWhoseSlotIsTakenDoesNotStart) {
  server.reset();
  const int slot = platform::LocalDatagramBind(Slot(u".", u"Server"));
  ASSERT_GE(slot, 0);
  Transport second(Make<TnxNamedPipeTransport>(u"T"));
  second->SetServerName(u"T");
  second->SetMode(nxtmListen);
  second->SetPort(testing::PipeMediumPort());
  second->SetRespondToBroadcasts(true);
  second->SetHeartbeatInterval(0);
  EXPECT_THROW(second->SetActive(true), EnxTransportException);
  EXPECT_NE(second->State(), nxsStarted) << "its server slot is in use";
  // Nor does it keep its pipe.
  EXPECT_EQ(testing::DialPipe(u"T"), -1);
  platform::CloseSocket(slot);
}

}  // namespace
}  // namespace revurov
