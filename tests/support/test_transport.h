// A transport without a medium, for tests of everything built on the
// transport interface.
//
// - Discovery: BeginBroadcast delivers the scripted server names from
//   several threads (each name once per repeat), or all of them on the
//   calling thread with a null broadcast when AnswerAtOnce is set. Stop
//   joins the threads, so every reply has arrived when it returns.
// - Requests: a sending transport hands each request to its Server, a
//   listening TTestTransport in the same process, which serves it on a
//   thread of its own (as a server thread would) through btProcessMessage;
//   the reply comes back through btDoCallBack on the requesting thread
//   before Request returns. A request without a reply is answered 15522; an
//   exception of the handler before the reply becomes its code; a second
//   reply is refused with 9990.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "lowlevel/errors/error_codes.h"
#include "lowlevel/streams/exception_conversion.h"
#include "transport/base_transport.h"

namespace revurov::testing {

class TTestBroadcast : public TnxInterfacedObject, public InxActiveBroadcast {
public:
  TTestBroadcast(TnxBaseTransport* aTransport, InxBroadcastReplyHandler* aHandler,
                 std::vector<std::u16string> aNames, int aThreads, int aRepeats)
      : tbHandler(aHandler) {
    for (int t = 0; t < aThreads; ++t)
      tbThreads.emplace_back([=, this] {
        for (int r = 0; r < aRepeats; ++r)
          for (size_t i = static_cast<size_t>(t); i < aNames.size(); i += static_cast<size_t>(aThreads)) {
            const platform::TInterfacePtr<InxBroadcastReply> reply(
                nxCreate<TnxBroadcastReply>(aTransport, aNames[i], 16000, u"", u"47501"));
            tbHandler->ReplyReceived(*reply);
          }
      });
  }
  ~TTestBroadcast() override { Stop(); }

  void SuspendSending() override {}
  void ResumeSending() override {}
  void Stop() override {
    for (auto& t : tbThreads)
      if (t.joinable()) t.join();
  }

protected:
  bool GetInterface(const platform::TGUID& iid, void** obj) noexcept override {
    return nxOfferInterface<InxActiveBroadcast>(this, iid, obj) ||
           TnxInterfacedObject::GetInterface(iid, obj);
  }

private:
  platform::TInterfacePtr<InxBroadcastReplyHandler> tbHandler;
  std::vector<std::thread> tbThreads;
};

class TTestTransport : public TnxBaseDirectTransport {
  REVUROV_COMPONENT_CLASS(TTestTransport, TnxBaseDirectTransport)
  using TnxBaseDirectTransport::TnxBaseDirectTransport;

  // Discovery script.
  std::vector<std::u16string> BroadcastNames;
  int BroadcastThreads = 4;
  int BroadcastRepeats = 1;
  bool AnswerAtOnce = false;
  std::atomic<int32_t> LastBroadcastInterval{-1};
  std::atomic<int32_t> BroadcastCount{0};

  bool IsSupported = true;
  // Where a sending transport's requests go; not owned.
  TTestTransport* Server = nullptr;

  bool Supported() const override { return IsSupported; }
  std::u16string GetName() const override { return u"Test"; }
  bool IsConnected() override { return State() == nxsStarted; }
  int32_t ConnectionCount() override { return 0; }

  platform::TInterfacePtr<InxActiveBroadcast> BeginBroadcast(InxBroadcastReplyHandler* aHandler,
                                                   int32_t aInterval) override {
    LastBroadcastInterval.store(aInterval);
    BroadcastCount.fetch_add(1);
    if (AnswerAtOnce) {
      for (const auto& name : BroadcastNames) {
        const platform::TInterfacePtr<InxBroadcastReply> reply(
            nxCreate<TnxBroadcastReply>(this, name, 16000, u"", u"47501"));
        aHandler->ReplyReceived(*reply);
      }
      return platform::TInterfacePtr<InxActiveBroadcast>(nxCreate<TnxNullActiveBroadcast>());
    }
    return platform::TInterfacePtr<InxActiveBroadcast>(nxCreate<TTestBroadcast>(
        this, aHandler, BroadcastNames, BroadcastThreads, BroadcastRepeats));
  }

  uint32_t EstablishConnection(TnxTransportID aTransportID, const std::u16string& aUserName,
                               const std::u16string& aPassword, int32_t aTimeout,
                               int32_t aClientVersion, int32_t& aServerVersion,
                               TnxSessionID& aSessionID) override {
    if (aTransportID != 0) return nxeInvalidHandle;
    if (!ServerReady()) return nxeLostConnection;
    uint32_t result = 0;
    OnServerThread([&] {
      try {
        result = Server->btAddSession(aUserName, aPassword, u"127.0.0.1", aTimeout, aClientVersion,
                                      aSessionID, aServerVersion);
      } catch (...) {
        result = nxConvertCurrentException();
      }
    });
    return result;
  }

  void Request(TnxTransportID aTransportID, TnxSessionID aSessionID,
               TnxThreadPriority aThreadPriority, TnxMsgID aMsgID, uint32_t,
               const void* aRequestData, int32_t aRequestDataLen, TnxReplyCallback aReplyCallback,
               void* aReplyCookie) override {
    if (aTransportID != 0)
      return btDoCallBack(aReplyCallback, aMsgID, nxeInvalidHandle, nullptr, 0, aReplyCookie, 0);
    if (!ServerReady())
      return btDoCallBack(aReplyCallback, aMsgID, nxeLostConnection, nullptr, 0, aReplyCookie, 0);
    Write(nullptr, 0, aSessionID, aThreadPriority, aMsgID, nxmtRequest, 0, 0, 0, aRequestData,
          static_cast<uint32_t>(aRequestDataLen));
    TServed served = Server->Serve(aSessionID, aMsgID, aRequestData, aRequestDataLen, nxmtRequest);
    btDoCallBack(aReplyCallback, served.msgID, served.code,
                 served.data.empty() ? nullptr : served.data.data(),
                 static_cast<int32_t>(served.data.size()), aReplyCookie, 0);
  }

  void Post(TnxTransportID aTransportID, TnxSessionID aSessionID,
            TnxThreadPriority aThreadPriority, TnxMsgID aMsgID, const void* aRequestData,
            int32_t aRequestDataLen, uint32_t) override {
    if (aTransportID != 0 || !ServerReady()) return;
    Write(nullptr, 0, aSessionID, aThreadPriority, aMsgID, nxmtPost, 0, 0, 0, aRequestData,
          static_cast<uint32_t>(aRequestDataLen));
    Server->Serve(aSessionID, aMsgID, aRequestData, aRequestDataLen, nxmtPost);
  }

  void Broadcast(TnxMsgID, TnxThreadPriority, const void*, int32_t, uint32_t) override {}

  void TerminateConnection(TnxTransportID, TnxSessionID aSessionID, uint32_t) override {
    if (!ServerReady()) return;
    OnServerThread([&] {
      try {
        Server->btRemoveSession(aSessionID);
      } catch (...) {
      }
    });
  }

  // The listening side's reply to the request served on this thread.
  void btSendReply(TnxMsgID aMsgID, uint32_t aErrorCode, const void* aReplyData,
                   int32_t aReplyDataLen) override {
    TnxBaseDirectTransport::btSendReply(aMsgID, aErrorCode, aReplyData, aReplyDataLen);
    TServed* served = tServing;
    if (!served || served->msgType == nxmtPost) return;
    if (served->replied) RaiseError(nxeInvalidHandle);
    served->replied = true;
    served->msgID = aMsgID;
    served->code = aErrorCode;
    const auto* bytes = static_cast<const uint8_t*>(aReplyData);
    if (bytes && aReplyDataLen > 0) served->data.assign(bytes, bytes + aReplyDataLen);
    Write(nullptr, 0, served->sessionID, 0, aMsgID, nxmtReply, aErrorCode, 0, 0, aReplyData,
          static_cast<uint32_t>(aReplyDataLen > 0 ? aReplyDataLen : 0));
  }

private:
  struct TServed {
    TnxSessionID sessionID = 0;
    uint8_t msgType = 0;
    bool replied = false;
    TnxMsgID msgID = 0;
    uint32_t code = 0;
    std::vector<uint8_t> data;
  };

  bool ServerReady() const { return Server && Server->State() == nxsStarted; }

  template <class F>
  void OnServerThread(F aWork) {
    std::thread thread(aWork);
    thread.join();
  }

  TServed Serve(TnxSessionID aSessionID, TnxMsgID aMsgID, const void* aData, int32_t aDataLen,
                uint8_t aMsgType) {
    TServed served;
    served.sessionID = aSessionID;
    served.msgType = aMsgType;
    served.msgID = aMsgID;
    TnxDataMessage message;
    message.dmMsg = aMsgID;
    message.dmSessionID = aSessionID;
    if (aData && aDataLen > 0) {
      message.dmData = nxAllocHeapBlock(static_cast<size_t>(aDataLen));
      std::memcpy(message.dmData.get(), aData, static_cast<size_t>(aDataLen));
      message.dmDataLen = aDataLen;
    }
    std::thread thread([&] {
      tServing = &served;
      try {
        btProcessMessage(message);
      } catch (...) {
        const uint32_t code = nxConvertCurrentException();
        if (!served.replied) {
          served.replied = true;
          served.code = code;
        }
      }
      if (!served.replied) served.code = nxeMessageUnrecognized;
      tServing = nullptr;
    });
    thread.join();
    return served;
  }

  static inline thread_local TServed* tServing = nullptr;
};

}  // namespace revurov::testing
