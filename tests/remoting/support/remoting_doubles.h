// Doubles of the remoting tests and benchmarks: a sink that echoes,
// reports the call context it runs in or raises; a server command handler
// that logs in and answers the create-instance request with an exit on a new
// sink; a client session over a TCP transport's Request with its own
// notification list.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exceptions.h"
#include "lowlevel/objects/session_notifications.h"
#include "transport/base_transport.h"
#include "transport/command_handler.h"
#include "transport/remoting/call_context.h"
#include "transport/remoting/channels.h"
#include "transport/remoting/class_stubs.h"
#include "transport/remoting/factory_interfaces.h"
#include "transport/session_requests.h"

namespace revurov::testing {

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
    if (MakeObject) {
      if (const platform::TInterfacePtr<platform::IInterface> object = MakeObject(classID))
        return ReplyWithStub(writer, classID, clientID, platform::GUIDFromBytes(ids.data()), object.Get());
    }
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

  // Objects made for a create-instance request travel behind their class
  // stub when this gives one; else the request gets an echo sink.
  std::function<platform::TInterfacePtr<platform::IInterface>(const platform::TGUID&)> MakeObject;

  platform::TGUID GetServerGUID() const override { return platform::nxGuid("{3E5A7C91-2B4D-4F6E-8A0C-1D3F5B7E9A21}"); }

  std::vector<platform::TGUID> Offered() {
    std::lock_guard guard(rhLock);
    return OfferedIDs;
  }
  std::vector<uint8_t> LastCreate() {
    std::lock_guard guard(rhLock);
    return LastCreateRequest;
  }

private:
  void ReplyWithStub(InxReplyWriter& aWriter, const platform::TGUID& aClassID, const platform::TGUID& aClientID,
                     const platform::TGUID& aProxyID, platform::IInterface* aObject) {
    platform::TInterfacePtr<InxClassStub> stub;
    platform::HRESULT result =
        nxClassStubFactoryRegistry()->CreateClassStub(nxDefaultClassStubID, aClassID, aObject, stub);
    if (result < 0) return aWriter.Finish(result);
    auto notifications = platform::Supports<InxSessionNotifications>(TnxBaseTransport::GetSessionCallback());
    platform::TInterfacePtr<InxChannelExit> exit;
    nxCreateChannelExit(aClientID, notifications.Get(), stub.Get(), exit);
    stub->AddChannel(exit.Get());
    platform::TGUID channelID;
    exit->GetChannelID(channelID);
    TnxRoutingPath path;
    stub->GetRoutingPath(path);
    aWriter.WriteGuid(nxProcessID());
    aWriter.WriteGuid(channelID);
    aWriter.WriteGuid(aProxyID);
    nxWriteRoutingPath(aWriter, path);
    stub->WriteVersion(&aWriter);
    aWriter.Finish(platform::S_OK);
  }

  std::atomic<TnxSessionID> rhLastSession{0};
  std::mutex rhLock;
  std::vector<platform::TGUID> OfferedIDs;
  std::vector<uint8_t> LastCreateRequest;
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

}  // namespace revurov::testing
