#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "lowlevel/errors/error_codes.h"
#include "platform/endian.h"
#include "platform/local_socket.h"
#include "platform/process.h"
#include "platform/security_descriptor.h"
#include "platform/socket.h"
#include "platform/text.h"
#include "support/exception_message.h"
#include "support/named_component.h"
#include "support/spawned_child.h"
#include "support/test_command_handler.h"
#include "support/within.h"
#include "transport/named_pipe_transport.h"
#include "transport/support/pipe_medium.h"
#include "transport/support/raw_client.h"
#include "transport/transport_test_support.h"

namespace revurov {
namespace {

using namespace std::chrono_literals;
using testing::Frame;
using testing::Make;
using testing::TPeerFrame;
using testing::TRawClient;
using testing::Within;

struct Freed {
  void operator()(platform::TComponent* aComponent) const { platform::TComponent::Free(aComponent); }
};
using Transport = std::unique_ptr<TnxNamedPipeTransport, Freed>;

constexpr TnxMsgID kEcho = 0x10;

struct TReply {
  uint32_t code = 0xFFFFFFFF;
  Frame data;
  static void Callback(TnxMsgID, uint32_t aCode, const void* aData, int32_t aLen, void* aCookie) {
    auto* self = static_cast<TReply*>(aCookie);
    const auto* bytes = static_cast<const uint8_t*>(aData);
    self->code = aCode;
    self->data = bytes ? Frame(bytes, bytes + aLen) : Frame{};
  }
};

Frame Pattern(size_t aSize) {
  Frame data(aSize);
  for (size_t i = 0; i < aSize; ++i) data[i] = static_cast<uint8_t>(i * 7 + i / 251);
  return data;
}

std::string Narrow(const std::u16string& aText) { return platform::Utf16ToUtf8(aText); }

TEST(PipeParts, ALengthTakesWholePartsOf65504Bytes) {
  const struct {
    uint32_t length;
    uint32_t parts;
  } rows[] = {{32, 1}, {65503, 1}, {65504, 1}, {65505, 2}, {131008, 2}, {131009, 3}, {0xFFFFFFFF, 65569}};
  for (const auto& row : rows) EXPECT_EQ(nxPipeParts(row.length), row.parts) << row.length;
}

TEST(PipeNames, TheHostBehindTheLastAtMustBeThisComputer) {
  const std::u16string computer = nxGetComputerName();
  ASSERT_FALSE(computer.empty());
  const struct {
    std::u16string serverName;
    bool local;
    std::u16string server;  // as the pipe name ends
  } rows[] = {
      {u"S", true, u"S"},
      {u" S ", true, u"S"},
      {u"S@", true, u"S"},
      {u"S@.", true, u"S"},
      {u"S @ " + platform::AsciiUpperCase(computer), true, u"S"},
      {u"S@" + platform::AsciiLowerCase(computer), true, u"S"},
      {u"S@x@.", true, u"S@x"},
      {u"S@other-host", false, {}},
      {u"S@" + computer + u"@other-host", false, {}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(Narrow(row.serverName));
    std::u16string pipe;
    ASSERT_EQ(nxLocalPipeName(row.serverName, 16000, pipe), row.local);
    if (row.local) {
      EXPECT_EQ(pipe, u"\\\\.\\pipe\\RevurOV\\1.0\\16000\\" + row.server);
    }
  }
}

class PipeListener : public testing::LibraryStarted {
protected:
  void SetUp() override {
    LibraryStarted::SetUp();
    handler.reset(Make<testing::TTestCommandHandler>(u"H"));
    server.reset(Make<TnxNamedPipeTransport>(u"S"));
    server->SetServerName(kServer);
    server->SetMode(nxtmListen);
    server->SetPort(testing::PipeMediumPort());
    server->SetHeartbeatInterval(0);
    server->SetCommandHandler(handler.get());
    server->SetActive(true);
    ASSERT_EQ(server->State(), nxsStarted);
  }
  void TearDown() override {
    client.reset();
    server.reset();
    handler.reset();
    LibraryStarted::TearDown();
  }
  std::unique_ptr<TRawClient> Dial() {
    const int fd = testing::DialPipe(kServer);
    EXPECT_GE(fd, 0);
    return std::make_unique<TRawClient>(fd);
  }
  void ExpectServed(TRawClient& aBystander) {
    aBystander.Open();
    EXPECT_NE(aBystander.Transport, 0u);
  }
  void StartClient(const std::u16string& aServerName, uint16_t aPort = testing::PipeMediumPort()) {
    client.reset(Make<TnxNamedPipeTransport>(u"C"));
    client->SetServerName(aServerName);
    client->SetPort(aPort);
    client->SetHeartbeatInterval(0);
    client->SetActive(true);
  }
  uint32_t LogIn(TnxSessionID& aSession) {
    int32_t version = 0;
    return client->EstablishConnection(0, u"admin", u"secret", 5000, 47501, version, aSession);
  }
  TReply Echo(TnxSessionID aSession, const Frame& aData) {
    TReply reply;
    client->Request(0, aSession, 0, kEcho, 0, aData.data(), static_cast<int32_t>(aData.size()), &TReply::Callback,
                    &reply);
    return reply;
  }

  static constexpr const char16_t* kServer = u"PipeServer";
  std::unique_ptr<testing::TTestCommandHandler, Freed> handler;
  Transport server;
  Transport client;
};

TEST_F(PipeListener, ALoggedInClientGetsEverySizeEchoed) {
  StartClient(kServer);
  TnxSessionID session = 0;
  ASSERT_EQ(LogIn(session), 0u);
  for (uint8_t compress : {uint8_t{0}, uint8_t{11}}) {
    client->SetCompressType(compress);
    for (size_t size : {size_t{0}, size_t{1}, size_t{65472}, size_t{65473}, size_t{131009}, size_t{1} << 20}) {
      SCOPED_TRACE(::testing::Message() << "compression " << int(compress) << ", " << size << " bytes");
      const Frame data = Pattern(size);
      const TReply reply = Echo(session, data);
      EXPECT_EQ(reply.code, 0u);
      EXPECT_TRUE(reply.data == data) << reply.data.size();
    }
  }
  EXPECT_EQ(client->ClientConnectionCount(), 1) << "one pooled connection carried them all";
}

TEST_F(PipeListener, RepliesCarryTheirPartCount) {
  auto raw = Dial();
  raw->Open();
  const Frame login = raw->Login(testing::EncipheredLogin(u"admin", u"secret"), raw->Transport);
  ASSERT_GE(login.size(), nxHeaderSize);
  const TnxSessionID session = nxLoadHeader(login.data()).bhSessionID;
  const struct {
    uint32_t payload;
    uint32_t parts;
  } rows[] = {{0, 1}, {65504 - 32, 1}, {65505 - 32, 2}, {2 * 65504 + 1 - 32, 3}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.payload);
    const Frame reply = raw->Exchange({.Type = nxmtRequest, .TransportID = raw->Transport, .SessionID = session,
                                       .MsgID = kEcho, .Payload = Pattern(row.payload)});
    ASSERT_EQ(reply.size(), nxHeaderSize + row.payload);
    EXPECT_EQ(nxLoadHeader(reply.data()).bhParts, row.parts);
  }
}

Frame WithParts(Frame aBytes, uint32_t aParts) {
  platform::StoreU32(aBytes.data() + 20, aParts);
  return aBytes;
}

TEST_F(PipeListener, ABrokenHeaderOrAWrongPartCountDropsOnlyItsConnection) {
  const Frame open = TPeerFrame{.Type = nxmtOpenTransport, .Payload = {}}.Bytes();
  const struct {
    const char* name;
    Frame bytes;
  } rows[] = {
      {"length below the header", TPeerFrame{.Type = nxmtOpenTransport, .Length = 31, .Payload = {}}.Bytes()},
      {"length above the limit",
       TPeerFrame{.Type = nxmtOpenTransport, .Length = nxMaxMessageSize + 1, .Payload = {}}.Bytes()},
      {"no parts", WithParts(open, 0)},
      {"two parts for 32 bytes", WithParts(open, 2)},
      {"parts 2^32 - 1", WithParts(open, 0xFFFFFFFF)},
      {"one part for 65505 bytes",
       WithParts(TPeerFrame{.Type = nxmtKeepAlive, .Payload = Frame(65505 - 32, 1)}.Bytes(), 1)},
  };
  auto bystander = Dial();
  ASSERT_TRUE(Within(20s, [&] { return server->ServerConnectionCount() == 1; }));
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    auto hostile = Dial();
    // A header already refused may be dropped before the rest is written.
    hostile->TrySend(row.bytes);
    EXPECT_TRUE(hostile->Receive().empty()) << "dropped without an answer";
    EXPECT_TRUE(Within(20s, [&] { return server->ServerConnectionCount() == 1; }));
  }
  ExpectServed(*bystander);
}

// Messages already in the read-ahead are served before the queue watches
// again, and their part count is checked there too: every request of one
// write, more than one turn takes and more than one read holds, is answered
// once and in order, and a lying count behind them drops the connection.
TEST_F(PipeListener, RequestsWrittenBackToBackAreAnsweredInOrderUpToALyingPartCount) {
  for (TnxMsgID count : {1u, 40u, 300u}) {
    SCOPED_TRACE(count);
    auto raw = Dial();
    raw->Open();
    const Frame login = raw->Login(testing::EncipheredLogin(u"admin", u"secret"), raw->Transport);
    ASSERT_GE(login.size(), nxHeaderSize);
    const TnxSessionID session = nxLoadHeader(login.data()).bhSessionID;
    Frame burst;
    for (TnxMsgID i = 0; i <= count; ++i) {
      Frame one = TPeerFrame{.Type = nxmtRequest, .TransportID = raw->Transport, .SessionID = session,
                             .MsgID = kEcho, .Payload = Pattern(1 + i)}
                      .Bytes();
      if (i == count) one = WithParts(one, 2);
      burst.insert(burst.end(), one.begin(), one.end());
    }
    raw->Send(burst);
    for (TnxMsgID i = 0; i < count; ++i) {
      ASSERT_TRUE(platform::WaitReadable(raw->Fd(), 20000)) << "stalled before reply " << i;
      const Frame answer = raw->Receive();
      ASSERT_EQ(answer.size(), nxHeaderSize + 1 + i) << "reply " << i;
      EXPECT_EQ(nxLoadHeader(answer.data()).bhParts, 1u);
      EXPECT_TRUE(Frame(answer.begin() + nxHeaderSize, answer.end()) == Pattern(1 + i));
    }
    ASSERT_TRUE(platform::WaitReadable(raw->Fd(), 20000));
    EXPECT_TRUE(raw->Receive().empty()) << "dropped without an answer to the lying frame";
  }
}

TEST_F(PipeListener, ClientsReachOnlyAServerOnThisComputer) {
  const std::u16string computer = nxGetComputerName();
  const struct {
    std::u16string serverName;
    uint16_t port;
    uint32_t result;
  } rows[] = {
      {kServer, testing::PipeMediumPort(), 0},
      {std::u16string(kServer) + u"@" + platform::AsciiUpperCase(computer), testing::PipeMediumPort(), 0},
      {std::u16string(kServer) + u"@other-host", testing::PipeMediumPort(), nxeServerNotFound},
      {u"NoSuchServer", testing::PipeMediumPort(), nxeServerNotFound},
      {kServer, testing::kPipePortOfNobody, nxeServerNotFound},
      // The pipe name no longer fits a local address.
      {std::u16string(100, u'x'), testing::PipeMediumPort(), nxeServerNotFound},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(Narrow(row.serverName));
    StartClient(row.serverName, row.port);
    TnxSessionID session = 0;
    EXPECT_EQ(LogIn(session), row.result);
    client.reset();
  }
}

TEST_F(PipeListener, AServerNameWithAtIsServed) {
  server->SetActive(false);
  server->SetServerName(u"Pipe@Server");
  server->SetActive(true);
  StartClient(u"Pipe@Server@.");
  TnxSessionID session = 0;
  EXPECT_EQ(LogIn(session), 0u);
}

TEST_F(PipeListener, OneIdlePipeWhileStartedAndTheComputerAsAddress) {
  platform::TStringList captions, values;
  server->GetStatsCaptions(captions);
  server->GetStatsValues(values);
  ASSERT_EQ(captions.Count(), values.Count());
  ASSERT_GE(captions.Count(), 3);
  EXPECT_EQ(captions[2], u"Idle NamedPipes");
  EXPECT_EQ(values[2], u"1");
  EXPECT_GE(captions.IndexOf(u"Total NamedPipes"), 0);
  platform::TStringList bound;
  server->GetBoundAddresses(bound);
  ASSERT_EQ(bound.Count(), 1);
  EXPECT_EQ(bound[0], nxGetComputerName());
  server->SetActive(false);
  server->GetStatsValues(values);
  EXPECT_EQ(values[2], u"0");
}

TEST_F(PipeListener, BeyondTheInstanceLimitAClientIsTurnedDown) {
  ASSERT_TRUE(platform::RaiseDescriptorLimit(4 * kMaxPipeInstances + 256));
  std::vector<std::unique_ptr<TRawClient>> clients;
  for (int i = 0; i < kMaxPipeInstances; ++i) {
    clients.push_back(Dial());
    ASSERT_TRUE(clients.back()->Connected()) << i;
  }
  for (auto& c : clients) ExpectServed(*c);
  EXPECT_EQ(server->PipeInstances(), kMaxPipeInstances);
  EXPECT_EQ(testing::DialPipe(kServer), -1) << "closed at once, without the greeting";
  StartClient(kServer);
  TnxSessionID session = 0;
  EXPECT_EQ(LogIn(session), nxeServerNotFound);
  client.reset();
  // An instance that is let go takes the next client.
  clients.pop_back();
  ASSERT_TRUE(Within(20s, [&] { return server->PipeInstances() == kMaxPipeInstances - 1; }));
  StartClient(kServer);
  EXPECT_EQ(LogIn(session), 0u);
}

TEST_F(PipeListener, TheSecurityDescriptorDecidesWhoIsServed) {
  EXPECT_HAS_TEXT(testing::MessageOf<platform::Exception>([&] { server->SetSecurityDescriptor(u"D:"); }),
                  u"must be inactive");
  server->SetActive(false);
  const std::u16string self = platform::Utf8ToUtf16(std::to_string(platform::CurrentIdentity().uid));
  const std::u16string stranger = platform::Utf8ToUtf16(std::to_string(platform::CurrentIdentity().uid + 1));
  const struct {
    std::u16string text;
    bool served;
  } rows[] = {
      {u"", true},
      {u"D:(A;;GA;;;WD)", true},
      {u"D:(D;;GA;;;WD)(A;;GA;;;WD)", false},
      {u"D:(A;;GA;;;S-1-22-1-" + self + u")", true},
      {u"D:(A;;GA;;;S-1-22-1-" + stranger + u")", false},
      {u"D:(A;;GR;;;CO)", false},
      {u"D:(A;;GRGW;;;CO)", true},
      {u"D:", false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(Narrow(row.text));
    server->SetSecurityDescriptor(row.text);
    server->SetActive(true);
    ASSERT_EQ(server->State(), nxsStarted);
    const int fd = testing::DialPipe(kServer);
    EXPECT_EQ(fd >= 0, row.served);
    if (fd >= 0) platform::CloseSocket(fd);
    StartClient(kServer);
    TnxSessionID session = 0;
    EXPECT_EQ(LogIn(session), row.served ? 0u : uint32_t(nxeServerNotFound));
    client.reset();
    server->SetActive(false);
  }
  // A text that cannot be read stops the start, and the server is not there.
  server->SetSecurityDescriptor(u"D:(A;;GA;;;WD");
  const std::u16string message = testing::MessageOf<platform::Exception>([&] { server->SetActive(true); });
  EXPECT_HAS_TEXT(message, u"TnxNamedPipeTransport");
  EXPECT_NE(server->State(), nxsStarted);
  EXPECT_EQ(testing::DialPipe(kServer), -1);
  server->SetSecurityDescriptor(u"D:(A;;GA;;;WD)");
  server->SetActive(true);
  EXPECT_EQ(server->State(), nxsStarted);
}

TEST_F(PipeListener, DiscoveryIsAnsweredAtTheBroadcastListenerPriority) {
  EXPECT_EQ(server->BroadcastListenerPriority(), platform::TThreadPriority::tpNormal);
  server->SetActive(false);
  server->SetBroadcastListenerPriority(platform::TThreadPriority::tpLowest);
  server->SetRespondToBroadcasts(true);
  server->SetActive(true);
  ASSERT_EQ(server->State(), nxsStarted);
  EXPECT_EQ(server->BroadcastListenerPriority(), platform::TThreadPriority::tpLowest);
}

// ---- a server process that is killed ----

// The child's server: its arguments are the pipe name and the port.
int PipeServerChildEntry(const std::vector<std::string>& aArgs) {
  if (aArgs.size() != 2) return 2;
  nxLowLevelStartup();
  std::unique_ptr<testing::TTestCommandHandler, Freed> handler;
  Transport server;
  try {
    handler.reset(Make<testing::TTestCommandHandler>(u"H"));
    server.reset(Make<TnxNamedPipeTransport>(u"S"));
    server->SetServerName(platform::Utf8ToUtf16(aArgs[0]));
    server->SetMode(nxtmListen);
    server->SetPort(static_cast<uint16_t>(std::stoi(aArgs[1])));
    server->SetHeartbeatInterval(0);
    server->SetCommandHandler(handler.get());
    server->SetActive(true);
  } catch (...) {
    return 1;
  }
  std::this_thread::sleep_for(60s);  // until the kill, never longer
  return 0;
}
REVUROV_CHILD_ENTRY("pipe-server", PipeServerChildEntry);

class PipeKilledServer : public testing::LibraryStarted {};

TEST_F(PipeKilledServer, TheNextRequestFailsWith11276AtOnceAndWaitingReadsReturn) {
  const std::u16string name = u"KilledServer";
  // Taken here: the child's process id differs.
  const uint16_t port = testing::PipeMediumPort();
  testing::TChildProcess child(testing::SpawnChild("pipe-server", {platform::Utf16ToUtf8(name), std::to_string(port)}));
  ASSERT_TRUE(child.Started());
  ASSERT_TRUE(Within(10s, [&] {
    const int fd = testing::DialPipe(name);
    platform::CloseSocket(fd);
    return fd >= 0;
  }));
  std::unique_ptr<testing::TTestCommandHandler, Freed> clientHandler(Make<testing::TTestCommandHandler>(u"CH"));
  Transport client(Make<TnxNamedPipeTransport>(u"C"));
  client->SetServerName(name);
  client->SetPort(port);
  client->SetHeartbeatInterval(0);
  // Its thread waits in a read on its callback connection.
  client->SetCallbackThreadCount(1);
  client->SetCommandHandler(clientHandler.get());
  client->SetActive(true);
  ASSERT_EQ(client->State(), nxsStarted);
  TnxSessionID session = 0;
  int32_t version = 0;
  ASSERT_EQ(client->EstablishConnection(0, u"admin", u"secret", 5000, 47501, version, session), 0u);
  const Frame data{1, 2, 3};
  TReply reply;
  client->Request(0, session, 0, kEcho, 0, data.data(), 3, &TReply::Callback, &reply);
  ASSERT_EQ(reply.code, 0u);
  // A reader waiting on a served connection of its own.
  auto waiting = std::make_unique<TRawClient>(testing::DialPipe(name));
  ASSERT_TRUE(waiting->Connected());
  waiting->Open();
  Frame received{1};
  std::thread reader([&] { received = waiting->Receive(); });
  ASSERT_EQ(client->CallbackThreadsRunning(), 1);
  child.Kill();
  reader.join();
  EXPECT_TRUE(received.empty()) << "the end of the stream";
  EXPECT_TRUE(Within(20s, [&] { return client->CallbackThreadsRunning() == 0; })) << "its read returned";
  const auto before = std::chrono::steady_clock::now();
  reply = TReply{};
  client->Request(0, session, 0, kEcho, 0, data.data(), 3, &TReply::Callback, &reply);
  EXPECT_EQ(reply.code, nxeLostConnection);
  EXPECT_LT(std::chrono::steady_clock::now() - before, 2s) << "not after a time-out";
}

}  // namespace
}  // namespace revurov
