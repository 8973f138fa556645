#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "lowlevel/errors/error_codes.h"
#include "platform/shared_memory.h"
#include "platform/text.h"
#include "support/within.h"
#include "transport/support/shm_medium.h"
#include "transport/transport_test_support.h"

namespace revurov {
namespace {

using namespace std::chrono_literals;
using testing::ShmClient;
using testing::ShmHandler;
using testing::ShmPort;
using testing::ShmServer;
using testing::ShmTransport;
using testing::ShmUnique;
using testing::Within;
using Frame = std::vector<uint8_t>;

constexpr TnxMsgID kEcho = 0x10;
constexpr TnxMsgID kLarge = 0x11;
constexpr TnxMsgID kHang = 0x12;

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

bool NameExists(const std::u16string& aObject) {
  platform::TSharedMemory memory;
  return memory.Open(platform::Utf16ToUtf8(aObject), false);
}

uint32_t LogIn(TnxSharedMemoryTransport& aClient, TnxSessionID& aSession) {
  int32_t version = 0;
  return aClient.EstablishConnection(0, u"admin", u"secret", 5000, 47501, version, aSession);
}

TReply Send(TnxSharedMemoryTransport& aClient, TnxSessionID aSession, TnxMsgID aMsgID, const Frame& aData,
            uint32_t aTimeout = 0) {
  TReply reply;
  aClient.Request(0, aSession, 0, aMsgID, aTimeout, aData.data(), static_cast<int32_t>(aData.size()),
                  &TReply::Callback, &reply);
  return reply;
}

TEST(SharedMemoryParts, AMessageTakesWholeBlocksOf64KiB) {
  const struct {
    uint32_t length;
    uint32_t parts;
  } rows[] = {{32, 1}, {65535, 1}, {65536, 1}, {65537, 2}, {200032, 4}, {0xFFFFFFFF, 65536}};
  for (const auto& row : rows) EXPECT_EQ(nxSharedMemoryParts(row.length), row.parts) << row.length;
}

TEST(SharedMemoryNames, ChannelNamesAreTakenUpToTheirZeroWithin256Bytes) {
  const struct {
    std::string bytes;
    bool taken;
    std::u16string name;
  } rows[] = {
      {std::string("Local\\TnxSharedMemoryServer_1_2") + '\0' + "rest", true, u"Local\\TnxSharedMemoryServer_1_2"},
      {std::string(255, 'a') + '\0', true, std::u16string(255, u'a')},
      {std::string(256, 'a') + '\0', false, {}},
      {std::string(1, '\0'), false, {}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.bytes.size());
    std::vector<uint8_t> block(nxSharedMemoryBlockSize, 'x');
    std::memcpy(block.data(), row.bytes.data(), row.bytes.size());
    std::u16string name;
    ASSERT_EQ(nxReadChannelName(block.data(), nxSharedMemoryBlockSize, name), row.taken);
    if (row.taken) {
      EXPECT_EQ(name, row.name);
    }
  }
  // No zero anywhere in the block: nothing is read past it.
  std::vector<uint8_t> full(300, 'y');
  std::u16string name;
  EXPECT_FALSE(nxReadChannelName(full.data(), 300, name));
}

TEST(SharedMemoryNames, ThePrefixFollowsTheScope) {
  ShmTransport transport(testing::Make<TnxSharedMemoryTransport>(u"T"));
  EXPECT_EQ(transport->Port(), 16000);
  EXPECT_EQ(transport->TransportScope(), smtsGlobal);
  const struct {
    TnxSharedMemTransportScope scope;
    std::u16string prefix;
  } rows[] = {{smtsGlobal, u"Global\\"}, {smtsLocal, u"Local\\"}, {smtsAuto, u"Global\\"}};
  for (const auto& row : rows) {
    transport->SetTransportScope(row.scope);
    EXPECT_EQ(transport->GetNamePrefix(), row.prefix);
    EXPECT_TRUE(transport->Supported());
  }
  transport->SetServerName(u"S");
  transport->SetTransportScope(smtsLocal);
  EXPECT_EQ(transport->ServerObjectName(), u"Local\\nxSharedMemoryTransport_16000_S");
}

class SharedMemoryListener : public testing::LibraryStarted {
protected:
  void SetUp() override {
    LibraryStarted::SetUp();
    name = ShmUnique(u"ShmServer");
    handler.reset(testing::Make<testing::TTestCommandHandler>(u"H"));
    server = ShmServer(name, handler.get());
    ASSERT_EQ(server->State(), nxsStarted);
  }
  void TearDown() override {
    client.reset();
    server.reset();
    handler.reset();
    LibraryStarted::TearDown();
  }
  void StartClient() {
    client = ShmClient(name);
    client->SetActive(true);
    ASSERT_EQ(client->State(), nxsStarted);
  }

  std::u16string name;
  ShmHandler handler;
  ShmTransport server;
  ShmTransport client;
};

TEST_F(SharedMemoryListener, ALoggedInClientGetsEverySizeEchoed) {
  StartClient();
  TnxSessionID session = 0;
  ASSERT_EQ(LogIn(*client, session), 0u);
  for (uint8_t compress : {uint8_t{0}, uint8_t{11}}) {
    client->SetCompressType(compress);
    // 65,504 payload bytes fill one block with the header; one more needs two.
    for (size_t size : {size_t{0}, size_t{1}, size_t{65504}, size_t{65505}, size_t{131040}, size_t{1} << 20}) {
      SCOPED_TRACE(::testing::Message() << "compression " << int(compress) << ", " << size << " bytes");
      const Frame data = Pattern(size);
      const TReply reply = Send(*client, session, kEcho, data);
      EXPECT_EQ(reply.code, 0u);
      EXPECT_TRUE(reply.data == data) << reply.data.size();
    }
  }
  EXPECT_EQ(client->ClientConnectionCount(), 1) << "one pooled connection carried them all";
}

TEST_F(SharedMemoryListener, ALargeReplyArrivesWholeWithItsCodeAndText) {
  const Frame large = Pattern(200000);
  handler->Script(kLarge, testing::Fixed(0, large));
  handler->Script(kLarge + 1, testing::Fixed(12345, {1, 2, 3}, u"Failed here"));
  StartClient();
  TnxSessionID session = 0;
  ASSERT_EQ(LogIn(*client, session), 0u);
  TReply reply = Send(*client, session, kLarge, {});
  EXPECT_EQ(reply.code, 0u);
  EXPECT_TRUE(reply.data == large) << reply.data.size();
  reply = Send(*client, session, kLarge + 1, {});
  EXPECT_EQ(reply.code, 12345u);
  EXPECT_EQ(reply.data, (Frame{1, 2, 3}));
}

TEST_F(SharedMemoryListener, ClientsOnSeveralThreadsEachGetTheirOwnAnswers) {
  StartClient();
  TnxSessionID session = 0;
  ASSERT_EQ(LogIn(*client, session), 0u);
  std::vector<std::thread> threads;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 20; ++i) {
        const Frame data = Pattern(static_cast<size_t>(t * 30000 + i * 17));
        if (Send(*client, session, kEcho, data).data != data) ++wrong;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
}

TEST_F(SharedMemoryListener, ASecondLiveServerOfTheNameIsRefusedAndItsNamesStay) {
  ShmHandler other(testing::Make<testing::TTestCommandHandler>(u"H2"));
  EXPECT_ANY_THROW(ShmServer(name, other.get()));
  const std::u16string base = u"Local\\nxSharedMemoryTransport_" + platform::Utf8ToUtf16(std::to_string(ShmPort())) +
                              u"_" + name;
  EXPECT_TRUE(NameExists(base + u"_Mutex"));
  EXPECT_TRUE(NameExists(base + u"_SharedMemory_SharedMemory"));
  StartClient();
  TnxSessionID session = 0;
  EXPECT_EQ(LogIn(*client, session), 0u) << "the first server still serves";
}

// A server caught between creating its connect object and sizing it: the
// client must not touch memory past the object's end (SIGBUS).
TEST(SharedMemoryConnect, AServerWhoseConnectObjectIsNotSizedYetIsNotFound) {
  const std::u16string name = ShmUnique(u"Unsized");
  const std::string object = platform::Utf16ToUtf8(u"Local\\" + nxSharedMemoryServerObjectName(ShmPort(), name) +
                                                    u"_Mutex");
  for (const uint64_t size : {uint64_t{0}, uint64_t{8}}) {
    SCOPED_TRACE(size);
    platform::TSharedMemory unsized;
    ASSERT_TRUE(unsized.Create(object));
    ASSERT_TRUE(unsized.Resize(size));
    ShmTransport client = ShmClient(name);
    try {
      client->SetActive(true);
      ADD_FAILURE() << "started";
    } catch (const EnxBaseException& e) {
      EXPECT_EQ(e.ErrorCode(), nxeServerNotFound);
    }
    platform::TSharedMemory::Unlink(object);
  }
}

TEST_F(SharedMemoryListener, ServersOfOtherPortsOrScopesAreNotFound) {
  const struct {
    const char* what;
    std::u16string server;
    uint16_t port;
    TnxSharedMemTransportScope scope;
  } rows[] = {
      {"another name", name + u"x", ShmPort(), smtsLocal},
      {"another port", name, testing::kShmPortOfNobody, smtsLocal},
      {"the global scope", name, ShmPort(), smtsGlobal},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    ShmTransport other = ShmClient(row.server, row.port, row.scope);
    try {
      other->SetActive(true);
      ADD_FAILURE() << "started";
    } catch (const EnxBaseException& e) {
      EXPECT_EQ(e.ErrorCode(), nxeServerNotFound);
    }
  }
}

TEST_F(SharedMemoryListener, OrderlyStopsLeaveNoNamesBehind) {
  StartClient();
  TnxSessionID session = 0;
  ASSERT_EQ(LogIn(*client, session), 0u);
  ASSERT_EQ(Send(*client, session, kEcho, {1}).code, 0u);
  const std::u16string base = u"Local\\nxSharedMemoryTransport_" + platform::Utf8ToUtf16(std::to_string(ShmPort())) +
                              u"_" + name;
  const std::u16string connection =
      u"Local\\TnxSharedMemoryServer_" + platform::Utf8ToUtf16(std::to_string(platform::CurrentProcessId())) + u"_";
  client.reset();
  server.reset();
  EXPECT_FALSE(NameExists(base + u"_Mutex"));
  EXPECT_FALSE(NameExists(base + u"_SharedMemory_SharedMemory"));
  // Connection channels went once their writers had written.
  for (int n = 1; n < 50; ++n)
    EXPECT_FALSE(NameExists(connection + platform::Utf8ToUtf16(std::to_string(n)) + u"_SharedMemory")) << n;
}

TEST_F(SharedMemoryListener, TheServerCallsBackOverAConnectionTheClientLent) {
  ShmHandler clientHandler(testing::Make<testing::TTestCommandHandler>(u"CH"));
  client = ShmClient(name);
  client->SetCallbackThreadCount(1);
  client->SetCommandHandler(clientHandler.get());
  client->SetActive(true);
  ASSERT_EQ(client->State(), nxsStarted);
  TnxSessionID session = 0;
  ASSERT_EQ(LogIn(*client, session), 0u);
  ASSERT_EQ(client->CallbackThreadsRunning(), 1);
  for (size_t size : {size_t{5}, size_t{200000}, size_t{0}}) {
    SCOPED_TRACE(size);
    const Frame data = Pattern(size);
    TReply reply;
    server->Request(0, *handler->Sessions().begin(), 0, kEcho, 5000, data.data(), static_cast<int32_t>(size),
                    &TReply::Callback, &reply);
    EXPECT_EQ(reply.code, 0u);
    EXPECT_TRUE(reply.data == data) << reply.data.size();
  }
  // Its stop ends the callback thread blocked in its read.
  client->SetActive(false);
  EXPECT_EQ(client->CallbackThreadsRunning(), 0);
}

TEST_F(SharedMemoryListener, AWaitingClientGivesItsThreadsIdleHandlerControl) {
  client = ShmClient(name);
  client->SetOverlappedClient(true);
  client->SetActive(true);
  TnxSessionID session = 0;
  ASSERT_EQ(LogIn(*client, session), 0u);
  handler->Script(kHang, testing::Injected(testing::TReplyKind::rkLate));
  int calls = 0;
  TnxBasePooledTransport::SetNetIdle(
      [&](void*, platform::EventHandle) {
        if (++calls == 3) handler->ReleaseLate();
      },
      5, 0);
  const TReply reply = Send(*client, session, kHang, {7});
  TnxBasePooledTransport::SetNetIdle(nullptr, 0, 0);
  EXPECT_EQ(reply.code, 0u);
  EXPECT_GE(calls, 3);
}

TEST_F(SharedMemoryListener, AStoppedServerFailsTheNextRequest) {
  StartClient();
  TnxSessionID session = 0;
  ASSERT_EQ(LogIn(*client, session), 0u);
  server->SetActive(false);
  const auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(Send(*client, session, kEcho, {1}).code, nxeLostConnection);
  EXPECT_LT(std::chrono::steady_clock::now() - before, 2s);
}

// ---- a raw client speaking the handshake by hand ----

class SharedMemoryRaw : public SharedMemoryListener {
protected:
  void SetUp() override {
    SharedMemoryListener::SetUp();
    owner = platform::NewThread<TnxSharedMemoryMutexOwner>(u"owner");
  }
  void TearDown() override {
    reading.reset();
    writing.reset();
    owner.reset();
    SharedMemoryListener::TearDown();
  }
  // Writes aRequest into the listening channel as a client's connect
  // request would be.
  void Request(const std::string& aRequest) {
    TnxSharedMemoryClient listening(server->ServerObjectName() + u"_SharedMemory", false);
    listening.WriteBuffer(aRequest.data(), static_cast<uint32_t>(aRequest.size()));
  }
  void Connect() {
    reading = std::make_unique<TnxSharedMemoryServer>([] { return std::u16string(u"Local\\"); }, *owner,
                                                      std::u16string());
    Request(platform::Utf16ToUtf8(reading->Name()) + '\0');
    const uint8_t* block = reading->Read(false, 10000);
    ASSERT_NE(block, nullptr);
    std::u16string name;
    ASSERT_TRUE(nxReadChannelName(block, nxSharedMemoryBlockSize, name));
    writing = std::make_unique<TnxSharedMemoryClient>(name, true);
    reading->LinkWith(*writing, nullptr);
    reading->Unlock();
  }
  static constexpr uint32_t kAsItBelongs = 0xFFFFFFFF;
  // Sends the first block of an echo request of aPayload bytes with the
  // header's length and part count as given.
  void SendEcho(uint32_t aPayload, uint32_t aLength = kAsItBelongs, uint32_t aParts = kAsItBelongs) {
    TnxBaseHeader header{};
    header.bhSessionID = 0;
    header.bhVersion = nxClientMessageVersion;
    header.bhMsgID = kEcho;
    header.bhMsgType = nxmtRequest;
    header.bhLength = aLength != kAsItBelongs ? aLength : nxHeaderSize + aPayload;
    header.bhParts = aParts != kAsItBelongs ? aParts : nxSharedMemoryParts(header.bhLength);
    uint8_t* block = writing->Write();
    nxStoreHeader(header, block);
    std::memset(block + nxHeaderSize, 0x5A, std::min<uint32_t>(aPayload, nxSharedMemoryBlockSize - nxHeaderSize));
    writing->Unlock();
  }
  // The answer's header, or false when the channel ended instead.
  bool Answer(TnxBaseHeader& aHeader) {
    try {
      const uint8_t* block = reading->Read(false, 10000);
      if (!block) return false;
      aHeader = nxLoadHeader(block);
      reading->Unlock();
      return true;
    } catch (const EnxSharedMemoryDisconnected&) {
      return false;
    }
  }

  platform::TThreadPtr<TnxSharedMemoryMutexOwner> owner;
  std::unique_ptr<TnxSharedMemoryServer> reading;
  std::unique_ptr<TnxSharedMemoryClient> writing;
};

TEST_F(SharedMemoryRaw, AnUnregisteredPeerIsAnsweredInOneBlock) {
  Connect();
  SendEcho(5);
  TnxBaseHeader answer{};
  ASSERT_TRUE(Answer(answer));
  EXPECT_EQ(answer.bhMsgType, nxmtReply);
  EXPECT_EQ(answer.bhParts, 1u);
}

TEST_F(SharedMemoryRaw, ABrokenHeaderOrAWrongPartCountDropsTheConnection) {
  const struct {
    const char* what;
    uint32_t payload, length, parts;
  } rows[] = {
      {"length under the header", 0, 31, 1},
      {"length over the limit", 0, nxMaxMessageSize + 1, nxSharedMemoryParts(nxMaxMessageSize + 1)},
      {"no blocks", 5, kAsItBelongs, 0},
      {"two blocks for one", 5, kAsItBelongs, 2},
      {"one block for two", 65505, kAsItBelongs, 1},
      {"large before the peer registered", 65505, kAsItBelongs, kAsItBelongs},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    Connect();
    SendEcho(row.payload, row.length, row.parts);
    TnxBaseHeader answer{};
    EXPECT_FALSE(Answer(answer)) << "answered instead of dropped";
    EXPECT_TRUE(reading->IsDisconnected());
  }
  // The server still serves.
  Connect();
  SendEcho(1);
  TnxBaseHeader answer{};
  EXPECT_TRUE(Answer(answer));
}

TEST_F(SharedMemoryRaw, AConnectRequestWithoutItsZeroIsIgnored) {
  Request(std::string(300, 'L'));
  Request(std::string(256, 'L') + '\0');
  Request(std::string(1, '\0'));
  Connect();
  SendEcho(3);
  TnxBaseHeader answer{};
  EXPECT_TRUE(Answer(answer)) << "the listener goes on after broken requests";
  EXPECT_EQ(server->ServerConnectionCount(), 1);
}

TEST_F(SharedMemoryRaw, AClientWhoseServerNeverAnswersGivesUpAfterItsTimeout) {
  // A listener made by hand that takes connect requests and never answers.
  const std::u16string silent = ShmUnique(u"Silent");
  const std::u16string base = u"Local\\" + nxSharedMemoryServerObjectName(ShmPort(), silent);
  TnxSharedMemoryServer listening([] { return std::u16string(u"Local\\"); }, *owner, base + u"_SharedMemory");
  platform::TSharedMemory mutexObject;
  ASSERT_TRUE(mutexObject.Create(platform::Utf16ToUtf8(base + u"_Mutex")));
  struct Unlinked {
    std::string name;
    ~Unlinked() { platform::TSharedMemory::Unlink(name); }
  } unlinked{platform::Utf16ToUtf8(base + u"_Mutex")};
  ASSERT_TRUE(mutexObject.Resize(128));
  platform::TSharedView view;
  ASSERT_TRUE(view.Map(mutexObject, 128, true));
  ASSERT_TRUE(reinterpret_cast<platform::TSharedMutex*>(view.Data() + 64)->Init());
  platform::StoreOwner(view.Data() + 16, platform::CurrentProcessIdentity());
  reinterpret_cast<std::atomic<uint32_t>*>(view.Data())->store(nxSharedObjectReady);
  ShmTransport waiting = ShmClient(silent);
  waiting->SetTimeout(300);
  waiting->SetActive(true);
  std::atomic<int> requests{0};
  std::thread reader([&] {
    // However often the pooled transport tries.
    for (int i = 0; i < 2; ++i) {
      try {
        if (listening.Read(false, 1000)) ++requests;
      } catch (...) {
      }
    }
  });
  const auto before = std::chrono::steady_clock::now();
  TnxSessionID session = 0;
  EXPECT_EQ(LogIn(*waiting, session), nxeLostConnection);
  EXPECT_LT(std::chrono::steady_clock::now() - before, 3s) << "bounded by the timeout, not endless";
  reader.join();
  EXPECT_GE(requests.load(), 1);
}

// ---- a server process that is killed ----

// The child's server: its handler answers kLarge with a large reply
// ("large") or hangs in kHang ("hang").
int ShmServerChildEntry(const std::vector<std::string>& aArgs) {
  if (aArgs.size() != 4) return 2;
  nxLowLevelStartup();
  try {
    ShmHandler handler(testing::Make<testing::TTestCommandHandler>(u"H"));
    if (aArgs[3] == "large") handler->Script(kLarge, testing::Fixed(0, Pattern(200000)));
    if (aArgs[3] == "hang") handler->Script(kHang, testing::Injected(testing::TReplyKind::rkLate));
    ShmTransport server = ShmServer(platform::Utf8ToUtf16(aArgs[0]), handler.get(),
                                    static_cast<uint16_t>(std::stoi(aArgs[1])), smtsLocal, aArgs[2] == "1");
    if (server->State() != nxsStarted) return 1;
    std::this_thread::sleep_for(60s);  // until the kill, never longer
  } catch (...) {
    return 1;
  }
  return 0;
}
REVUROV_CHILD_ENTRY("shm-server", ShmServerChildEntry);

class SharedMemoryKilledServer : public testing::LibraryStarted {
protected:
  static ShmTransport ConnectTo(const std::u16string& aName) {
    for (int attempt = 0; attempt < 200; ++attempt) {
      ShmTransport client = ShmClient(aName);
      try {
        client->SetActive(true);
        return client;
      } catch (...) {
      }
      std::this_thread::sleep_for(50ms);
    }
    return nullptr;
  }
};

TEST_F(SharedMemoryKilledServer, AServerInAnotherProcessAnswersEverySize) {
  const std::u16string name = ShmUnique(u"Child");
  const Frame large = Pattern(200000);
  testing::TShmServerChild child(name, ShmPort(), false, "large");
  ASSERT_TRUE(child.Started());
  ShmTransport client = ConnectTo(name);
  ASSERT_TRUE(client);
  TnxSessionID session = 0;
  ASSERT_EQ(LogIn(*client, session), 0u);
  for (size_t size : {size_t{0}, size_t{65504}, size_t{65505}, size_t{1} << 20}) {
    SCOPED_TRACE(size);
    const Frame data = Pattern(size);
    const TReply reply = Send(*client, session, kEcho, data);
    EXPECT_EQ(reply.code, 0u);
    EXPECT_TRUE(reply.data == data) << reply.data.size();
  }
  const TReply reply = Send(*client, session, kLarge, {});
  EXPECT_TRUE(reply.data == large) << reply.data.size();
}

TEST_F(SharedMemoryKilledServer, AKillDuringAReplyWaitOrAWriteFailsTheClientAtOnce) {
  for (const bool inWrite : {false, true}) {
    SCOPED_TRACE(inWrite ? "in a write" : "in a reply wait");
    const std::u16string name = ShmUnique(inWrite ? u"KilledInWrite" : u"KilledInWait");
    testing::TShmServerChild child(name, ShmPort(), false, "hang");
    ASSERT_TRUE(child.Started());
    ShmTransport client = ConnectTo(name);
    ASSERT_TRUE(client);
    TnxSessionID session = 0;
    ASSERT_EQ(LogIn(*client, session), 0u);
    TReply reply;
    std::atomic<bool> sent{false};
    std::thread requester([&] {
      if (inWrite) {
        // The server thread hangs in the handler and reads no more: the
        // second block of the next request waits for a reader.
        client->Post(0, session, 0, kHang, nullptr, 0, 0);
        sent = true;
        reply = Send(*client, session, kEcho, Pattern(200000));
      } else {
        sent = true;
        reply = Send(*client, session, kHang, {1});
      }
    });
    ASSERT_TRUE(Within(10s, [&] { return sent.load(); }));
    std::this_thread::sleep_for(200ms);  // into the wait
    const auto killed = std::chrono::steady_clock::now();
    child.Kill();
    requester.join();
    EXPECT_EQ(reply.code, nxeLostConnection);
    EXPECT_LT(std::chrono::steady_clock::now() - killed, 2s) << "not after the 5,000 ms of a write";
  }
}

TEST_F(SharedMemoryKilledServer, ANewServerStartsOverItsKilledPredecessorsNames) {
  const std::u16string name = ShmUnique(u"Reborn");
  testing::TShmServerChild child(name, ShmPort(), true);
  {
    ASSERT_TRUE(child.Started());
    ShmTransport client = ConnectTo(name);
    ASSERT_TRUE(client);
    TnxSessionID session = 0;
    ASSERT_EQ(LogIn(*client, session), 0u);
    child.Kill();
  }
  const std::u16string base = u"Local\\" + nxSharedMemoryServerObjectName(ShmPort(), name);
  EXPECT_TRUE(NameExists(base + u"_Mutex")) << "the kill left the names";
  ShmTransport dead = ShmClient(name);
  try {
    dead->SetActive(true);
    ADD_FAILURE() << "a dead server was found";
  } catch (const EnxBaseException& e) {
    EXPECT_EQ(e.ErrorCode(), nxeServerNotFound);
  }
  ShmHandler handler(testing::Make<testing::TTestCommandHandler>(u"H"));
  ShmTransport server = ShmServer(name, handler.get(), ShmPort(), smtsLocal, true);
  ASSERT_EQ(server->State(), nxsStarted);
  ShmTransport client = ShmClient(name);
  client->SetActive(true);
  TnxSessionID session = 0;
  ASSERT_EQ(LogIn(*client, session), 0u);
  EXPECT_EQ(Send(*client, session, kEcho, {4, 5}).data, (Frame{4, 5}));
  client.reset();
  server.reset();
  testing::UnlinkShmRegistry(ShmPort());
}

TEST_F(SharedMemoryKilledServer, AfterAKillTheRegistryListsOnlyLiveServers) {
  const std::u16string doomed = ShmUnique(u"Doomed");
  const std::u16string alive = ShmUnique(u"Alive");
  testing::TShmServerChild child(doomed, ShmPort(), true);
  ASSERT_TRUE(child.Started());
  ASSERT_TRUE(ConnectTo(doomed));
  ShmHandler handler(testing::Make<testing::TTestCommandHandler>(u"H"));
  ShmTransport server = ShmServer(alive, handler.get(), ShmPort(), smtsLocal, true);
  ShmTransport lister = ShmClient(u"");
  platform::TStringList names;
  lister->GetServerNames(names, 0);
  ASSERT_EQ(names.Count(), 2);
  child.Kill();
  names.Clear();
  lister->GetServerNames(names, 0);
  ASSERT_EQ(names.Count(), 1);
  EXPECT_EQ(names[0], alive);
  server.reset();
  testing::UnlinkShmRegistry(ShmPort());
}

}  // namespace
}  // namespace revurov
