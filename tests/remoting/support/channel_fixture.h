// Doubles of the channel tests: a sink that echoes, reports the call
// context it runs in or raises; a server command handler that logs in and
// answers the create-instance request with an exit on a new sink; a client
// session over a TCP transport's Request with its own notification list; a
// session that records what is sent and answers from a script; and the TCP
// pair on 127.0.0.1 around a test.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exceptions.h"
#include "lowlevel/objects/session_notifications.h"
#include "lowlevel/streams/memory_stream.h"
#include "support/within.h"
#include "transport/command_handler.h"
#include "transport/remoting/call_context.h"
#include "transport/remoting/channels.h"
#include "transport/remoting/keep_alive.h"
#include "transport/remoting/startup.h"
#include "transport/session_requests.h"
#include "transport/support/tcp_medium.h"
#include "remoting/remoting_test_support.h"

namespace revurov::testing {

// --- tagged bytes by hand ---

inline void AppendInt8(TaggedBytes& aBytes, int8_t aValue) {
  aBytes.push_back(vaInt8);
  aBytes.push_back(static_cast<uint8_t>(aValue));
}

inline void AppendInt32(TaggedBytes& aBytes, uint32_t aValue) {
  aBytes.push_back(vaInt32);
  for (int i = 0; i < 4; ++i) aBytes.push_back(static_cast<uint8_t>(aValue >> (8 * i)));
}

inline void AppendPath(TaggedBytes& aBytes, const TnxRoutingPath& aPath) {
  aBytes.push_back(vaList);
  AppendInt8(aBytes, static_cast<int8_t>(aPath.size()));
  for (const auto& entry : aPath) {
    AppendGuid(aBytes, entry.oiServerID);
    AppendGuid(aBytes, entry.oiInstanceID);
  }
  aBytes.push_back(vaNull);
}

// The call context block of aContext, by hand.
inline TaggedBytes ContextBlock(InxCallContext& aContext) {
  TaggedBytes bytes;
  AppendGuid(bytes, InxCallContext::IID);
  AppendInt8(bytes, 1);
  TnxRoutingPath path;
  aContext.GetRoutingPath(path);
  AppendPath(bytes, path);
  return bytes;
}

inline TaggedBytes operator+(TaggedBytes aLeft, const TaggedBytes& aRight) {
  aLeft.insert(aLeft.end(), aRight.begin(), aRight.end());
  return aLeft;
}

// What a call through the echo sink asks for (the first Integer of a call).
enum TSinkOp : int32_t {
  soEcho = 1,     // Integer n, binary of n bytes: the same back
  soContext = 2,  // the routing path of the thread's current context (empty without one)
  soRaise = 3,    // Integer code: raises EnxBaseException with it
  soFail = 4,     // Integer result: the call answers it
};

class TEchoSink final : public TnxInterfacedObject, public InxChannelSink {
public:
  TEchoSink() { Live().fetch_add(1); }
  ~TEchoSink() override { Live().fetch_sub(1); }

  static std::atomic<int32_t>& Live() {
    static std::atomic<int32_t> live{0};
    return live;
  }

  platform::HRESULT GetRoutingPath(TnxRoutingPath& aPath) override {
    aPath.clear();
    return platform::S_OK;
  }
  platform::HRESULT AddChannel(InxChannelExit*) override { return platform::S_OK; }
  platform::HRESULT RemoveChannel(InxChannelExit*) override {
    removed.fetch_add(1);
    return platform::S_OK;
  }
  platform::HRESULT Dispatch(InxChannelExit*, InxReader* aReader, InxWriter* aWriter) override {
    calls.fetch_add(1);
    switch (aReader->ReadInteger()) {
      case soEcho: {
        const int32_t size = aReader->ReadInteger();
        std::vector<uint8_t> data(static_cast<size_t>(size));
        aReader->ReadBinary(data.data(), size);
        aWriter->WriteBinary(data.data(), size);
        return platform::S_OK;
      }
      case soContext: {
        TnxRoutingPath path;
        if (auto context = nxCurrentCallContext()) context->GetRoutingPath(path);
        nxWriteRoutingPath(*aWriter, path);
        return platform::S_OK;
      }
      case soRaise:
        throw EnxBaseException(aReader->ReadInteger());
      case soFail:
        return aReader->ReadInteger();
      default:
        return platform::E_INVALIDARG;
    }
  }

  std::atomic<int32_t> removed{0};
  std::atomic<int32_t> calls{0};

protected:
  bool GetInterface(const platform::TGUID& iid, void** obj) noexcept override {
    return nxOfferInterface<InxChannelSink>(this, iid, obj) || nxOfferInterface<InxRoutingPath>(this, iid, obj) ||
           TnxInterfacedObject::GetInterface(iid, obj);
  }
};

// The class the remoting handler refuses, and what it answers then.
inline constexpr platform::TGUID kRefusedClass = platform::nxGuid("{0F4A34C1-5E0B-4B55-9C55-21B7D3C9E101}");
inline constexpr platform::HRESULT kRefusedResult = platform::HRESULT(0x80040111u);
// The class stub version the handler's replies carry.
inline constexpr int32_t kStubVersion = 7;
inline constexpr TnxMsgID kPlainEcho = 0x10;

// Logs in admin/secret; answers 0x1200 by making an exit on a new echo sink
// for the session of the request, and kPlainEcho with the request's bytes.
class TRemotingHandler : public TnxBaseCommandHandler {
  REVUROV_COMPONENT_CLASS(TRemotingHandler, TnxBaseCommandHandler)
  using TnxBaseCommandHandler::TnxBaseCommandHandler;

  uint32_t bchAddSession(TnxBaseTransport*, const std::u16string& aUserName, const std::u16string& aPassword,
                         const std::u16string&, int32_t, int32_t, TnxSessionID& aSessionID,
                         int32_t& aServerVersion) override {
    if (aUserName != u"admin" || aPassword != u"secret") return nxeUnknownUserOrPassword;
    aSessionID = rhLastSession.fetch_add(1) + 1;
    aServerVersion = 47501;
    return 0;
  }
  uint32_t bchRemoveSession(TnxBaseTransport*, TnxSessionID) override { return 0; }

  void bchHandleMessage(const TnxDataMessage& aMessage) override {
    if (aMessage.dmMsg == kPlainEcho) {
      TnxBaseTransport::Reply(aMessage.dmMsg, 0, aMessage.dmData.get(), aMessage.dmDataLen);
      return;
    }
    if (aMessage.dmMsg != nxCreateInstanceMsgID) {
      TnxBaseTransport::Reply(aMessage.dmMsg, nxeMessageUnrecognized, nullptr, 0);
      return;
    }
    {
      std::lock_guard guard(rhLock);
      const uint8_t* data = aMessage.dmData.get();
      LastCreateRequest.assign(data, data + (data ? aMessage.dmDataLen : 0));
    }
    const platform::TInterfacePtr<TnxInterfacedRequestReader> reader(nxCreate<TnxInterfacedRequestReader>(aMessage));
    InxReplyWriter& writer = reader->ReplyWriter();
    platform::HRESULT result = reader->ReadContext();
    if (result != platform::S_OK) return writer.Finish(result);
    const int32_t count = reader->ReadInteger();
    std::vector<uint8_t> ids(16 * static_cast<size_t>(count));
    reader->ReadBinary(ids.data(), static_cast<int32_t>(ids.size()));
    const platform::TGUID classID = reader->ReadGuid();
    reader->ReadGuid();  // the interface
    const platform::TGUID clientID = reader->ReadGuid();
    {
      std::lock_guard guard(rhLock);
      OfferedIDs.clear();
      for (int32_t i = 0; i < count; ++i) OfferedIDs.push_back(platform::GUIDFromBytes(ids.data() + 16 * i));
    }
    if (classID == kRefusedClass) return writer.Finish(kRefusedResult);
    auto callback = TnxBaseTransport::GetSessionCallback();
    auto notifications = platform::Supports<InxSessionNotifications>(callback);
    platform::TInterfacePtr<InxChannelSink> sink(nxCreate<TEchoSink>());
    platform::TInterfacePtr<InxChannelExit> exit;
    nxCreateChannelExit(clientID, notifications.Get(), sink.Get(), exit);
    platform::TGUID channelID;
    exit->GetChannelID(channelID);
    writer.WriteGuid(nxProcessID());
    writer.WriteGuid(channelID);
    writer.WriteGuid(platform::GUIDFromBytes(ids.data()));
    nxWriteRoutingPath(writer, {{nxProcessID(), channelID}});
    writer.WriteInteger(kStubVersion);
    writer.Finish(platform::S_OK);
  }

  platform::TGUID GetServerGUID() const override { return platform::nxGuid("{3E5A7C91-2B4D-4F6E-8A0C-1D3F5B7E9A21}"); }

  std::vector<platform::TGUID> Offered() {
    std::lock_guard guard(rhLock);
    return OfferedIDs;
  }
  TaggedBytes LastCreate() {
    std::lock_guard guard(rhLock);
    return LastCreateRequest;
  }

private:
  std::atomic<TnxSessionID> rhLastSession{0};
  std::mutex rhLock;
  std::vector<platform::TGUID> OfferedIDs;
  TaggedBytes LastCreateRequest;
};

// A session that sends through a client transport's Request on one logged-in
// session, with a notification list of its own; End tells the list.
class TTransportSession : public TnxStateComponent, public InxSessionRequests {
  REVUROV_COMPONENT_CLASS(TTransportSession, TnxStateComponent)
  explicit TTransportSession(platform::TComponent* aOwner)
      : TnxStateComponent(aOwner),
        tsNotifications(nxCreate<TnxSessionNotifications>(static_cast<InxSessionRequests*>(this))) {}
  ~TTransportSession() override { End(); }

  void Attach(TnxBaseTransport* aTransport, TnxSessionID aSession) {
    tsTransport = aTransport;
    tsSession = aSession;
  }
  // The session goes away: its notifiers hear of it, requests fail.
  void End() {
    tsSession = 0;
    if (TnxSessionNotifications* notifications = std::exchange(tsNotifications, nullptr)) notifications->Free();
  }

  platform::HRESULT QueryInterface(const platform::TGUID& iid, void** obj) noexcept override {
    if (iid == InxSessionRequests::IID || iid == platform::IInterface::IID) {
      *obj = static_cast<InxSessionRequests*>(this);
      return platform::S_OK;
    }
    if (iid == InxSessionNotifications::IID && tsNotifications)
      return tsNotifications->InnerInterface()->QueryInterface(iid, obj);
    *obj = nullptr;
    return platform::E_NOINTERFACE;
  }
  int32_t AddRef() noexcept override { return -1; }
  int32_t Release() noexcept override { return -1; }

  uint32_t ProcessRequest(TnxMessageSource, TnxThreadPriority aPriority, TnxMsgID aMsgID, uint32_t aTimeout,
                          const void* aData, int32_t aLen, void* aReply, int32_t* aReplyLen,
                          TnxNetMsgDataType aReplyType, bool, uint32_t*) noexcept override {
    return ProcessRequestDirect(aPriority, aMsgID, aTimeout, aData, aLen, aReply, aReplyLen, aReplyType);
  }
  uint32_t ProcessRequestDirect(TnxThreadPriority aPriority, TnxMsgID aMsgID, uint32_t aTimeout, const void* aData,
                                int32_t aLen, void* aReply, int32_t* aReplyLen,
                                TnxNetMsgDataType aReplyType) noexcept override {
    requests.fetch_add(1);
    if (tsSession == 0) return nxeLostConnection;
    TnxStreamReplyCookie cookie{aMsgID, nxeLostConnection, aReply, aReplyLen, aReplyType};
    tsTransport->Request(0, tsSession, aPriority, aMsgID, aTimeout, aData, aLen, &nxStreamReplyCallback, &cookie);
    return cookie.srcResult;
  }
  void ProcessPost(TnxMessageSource, TnxThreadPriority, TnxMsgID, uint32_t, const void*, int32_t) noexcept override {}

  std::atomic<int32_t> requests{0};

private:
  TnxBaseTransport* tsTransport = nullptr;
  std::atomic<TnxSessionID> tsSession{0};
  TnxSessionNotifications* tsNotifications;  // aggregated; freed by End
};

struct TFreed {
  void operator()(platform::TComponent* aComponent) const { platform::TComponent::Free(aComponent); }
};
template <class T>
using TOwned = std::unique_ptr<T, TFreed>;

template <class T>
T* NewComponent(std::u16string aName) {
  auto* component = new T(nullptr);
  component->SetName(std::move(aName));
  return component;
}

// What the create-instance reply of the remoting handler carries.
struct TMadeExit {
  platform::HRESULT result = platform::E_UNEXPECTED;
  platform::TGUID serverID, channelID, proxyID;
  TnxRoutingPath path;
  int32_t version = 0;
  // Held from the reply on, so that a loaded machine cannot let the keep
  // time run out before the test's first call; drop it to let the exit go.
  platform::TInterfacePtr<InxTransportChannelExit> pin;
};

// A listening TCP transport on 127.0.0.1 with the remoting handler, a
// client TCP transport with a callback thread logged in to it, and the
// client session over them; exits are kept 200 ms.
class ChannelsOverTcp : public ::testing::Test {
protected:
  static constexpr uint32_t kKeepTime = 200;

  void SetUp() override {
    nxRemotingStartup();
    ctPreviousKeepTime = nxKeepAliveTime();
    nxSetKeepAliveTime(kKeepTime);
    ctStartExits = nxLiveChannelExitCount();
    ctStartSinks = TEchoSink::Live().load();
    ctStartContexts = nxLiveCallContextCount();
    handler.reset(NewComponent<TRemotingHandler>(u"RH"));
    server.reset(NewComponent<TTcpMediumTransport>(u"RS"));
    server->SetServerName(u"RemotingServer");
    server->SetMode(nxtmListen);
    server->SetHeartbeatInterval(0);
    server->SetCommandHandler(handler.get());
    server->SetActive(true);
    ASSERT_EQ(server->State(), nxsStarted);
    client.reset(NewComponent<TTcpMediumTransport>(u"RC"));
    client->SetMode(nxtmSend);
    client->SetServerName(u"127.0.0.1");
    client->SetHeartbeatInterval(0);
    client->SetCallbackThreadCount(1);
    client->SetActive(true);
    int32_t version = 0;
    ASSERT_EQ(client->EstablishConnection(0, u"admin", u"secret", 5000, 47501, version, sessionID), 0u);
    session.reset(NewComponent<TTransportSession>(u"RSession"));
    session->Attach(client.get(), sessionID);
  }
  void TearDown() override {
    session.reset();
    client.reset();
    server.reset();
    handler.reset();
    nxSetKeepAliveTime(ctPreviousKeepTime);
    nxRemotingShutdown();
  }

  InxSessionRequests* Requests() { return static_cast<InxSessionRequests*>(session.get()); }

  // Asks the server for an exit through a create-instance request.
  TMadeExit MakeExit(std::vector<platform::TGUID> aProxyIDs = {platform::nxGuid("{1D9B1A44-3E55-4E1B-8F0A-6C1C2E7B9A01}")},
                     const platform::TGUID& aClassID = platform::nxGuid("{2A7F5E33-9C4B-4D2A-B1E8-0F3D6C5B4A02}")) {
    TMadeExit made;
    platform::TInterfacePtr<InxRequestWriter> writer;
    EXPECT_EQ(nxCreateRequestWriter(Requests(), writer), platform::S_OK);
    writer->WriteInteger(static_cast<int32_t>(aProxyIDs.size()));
    std::vector<uint8_t> raw(16 * aProxyIDs.size());
    for (size_t i = 0; i < aProxyIDs.size(); ++i) platform::GUIDToBytes(aProxyIDs[i], raw.data() + 16 * i);
    writer->WriteBinary(raw.data(), static_cast<int32_t>(raw.size()));
    writer->WriteGuid(aClassID);
    writer->WriteGuid(platform::IInterface::IID);
    writer->WriteGuid(nxProcessID());
    platform::TInterfacePtr<InxReader> reader;
    made.result = writer->Send(nxCreateInstanceMsgID, reader);
    if (made.result != platform::S_OK) return made;
    made.serverID = reader->ReadGuid();
    made.channelID = reader->ReadGuid();
    made.proxyID = reader->ReadGuid();
    nxReadRoutingPath(*reader, made.path);
    made.version = reader->ReadInteger();
    nxFindChannelExit(made.channelID, made.pin);
    return made;
  }

  // Everything the tests made is gone again (the keep time has run out).
  void ExpectStartCounts() {
    EXPECT_TRUE(Within(std::chrono::seconds(5), [&] {
      return nxLiveChannelExitCount() == ctStartExits && TEchoSink::Live().load() == ctStartSinks &&
             nxLiveCallContextCount() == ctStartContexts;
    })) << "exits " << nxLiveChannelExitCount() - ctStartExits << ", sinks "
        << TEchoSink::Live().load() - ctStartSinks << ", contexts " << nxLiveCallContextCount() - ctStartContexts;
  }

  TOwned<TRemotingHandler> handler;
  TOwned<TTcpMediumTransport> server;
  TOwned<TTcpMediumTransport> client;
  TOwned<TTransportSession> session;
  TnxSessionID sessionID = 0;

private:
  uint32_t ctPreviousKeepTime = nxDefaultKeepAliveTime;
  int32_t ctStartExits = 0;
  int32_t ctStartSinks = 0;
  int32_t ctStartContexts = 0;
};

}  // namespace revurov::testing
