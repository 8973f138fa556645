// A sending transport without a medium whose replies come from a script:
// each Request takes the next entry and answers it on the calling thread
// before returning, with every callback of the entry in order (a reply, a
// reply under another ID, a multi-reply, an error without data, a late
// second call) or with none. A request past the script gets no callback.
// Requests, posts and terminations are recorded.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "transport/base_transport.h"

namespace revurov::testing {

struct ScriptedCall {
  // 0: the request's own ID.
  TnxMsgID MsgID = 0;
  uint32_t ErrorCode = 0;
  std::string Data;
};

// The callbacks one request gets; none when empty.
using ScriptedAnswer = std::vector<ScriptedCall>;

struct ScriptedRequest {
  TnxTransportID TransportID = 0;
  TnxSessionID SessionID = 0;
  TnxThreadPriority Priority = 0;
  TnxMsgID MsgID = 0;
  uint32_t Timeout = 0;
  std::string Data;
};

class ScriptedTransport : public TnxBaseDirectTransport {
  REVUROV_COMPONENT_CLASS(ScriptedTransport, TnxBaseDirectTransport)
  using TnxBaseDirectTransport::TnxBaseDirectTransport;

  std::deque<ScriptedAnswer> Script;
  std::vector<ScriptedRequest> Requests;
  std::vector<ScriptedRequest> Posts;
  std::vector<TnxSessionID> Terminated;
  // What EstablishConnection answers.
  uint32_t LoginResult = 0;
  int32_t ServerVersion = 47501;
  TnxSessionID NextSessionID = 7;

  void Answer(ScriptedAnswer aAnswer) { Script.push_back(std::move(aAnswer)); }
  // One plain reply under the request's ID.
  void Reply(std::string aData = {}, uint32_t aErrorCode = 0) {
    Answer({ScriptedCall{0, aErrorCode, std::move(aData)}});
  }
  // Requests that got no scripted answer.
  int Unanswered = 0;
  // Runs first in every Request (a test raises from it).
  std::function<void()> OnRequest;

  std::u16string GetName() const override { return u"Scripted"; }
  bool IsConnected() override { return true; }
  int32_t ConnectionCount() override { return 1; }
  platform::TInterfacePtr<InxActiveBroadcast> BeginBroadcast(InxBroadcastReplyHandler*, int32_t) override {
    return nullptr;
  }
  uint32_t EstablishConnection(TnxTransportID, const std::u16string&, const std::u16string&, int32_t, int32_t,
                               int32_t& aServerVersion, TnxSessionID& aSessionID) override {
    if (LoginResult) return LoginResult;
    aServerVersion = ServerVersion;
    aSessionID = NextSessionID++;
    return 0;
  }
  void Request(TnxTransportID aTransportID, TnxSessionID aSessionID, TnxThreadPriority aThreadPriority,
               TnxMsgID aMsgID, uint32_t aTimeout, const void* aRequestData, int32_t aRequestDataLen,
               TnxReplyCallback aReplyCallback, void* aReplyCookie) override {
    if (OnRequest) OnRequest();
    Requests.push_back(Record(aTransportID, aSessionID, aThreadPriority, aMsgID, aTimeout, aRequestData,
                              aRequestDataLen));
    if (Script.empty()) {
      ++Unanswered;
      return;
    }
    const ScriptedAnswer answer = std::move(Script.front());
    Script.pop_front();
    for (const ScriptedCall& call : answer)
      aReplyCallback(call.MsgID ? call.MsgID : aMsgID, call.ErrorCode, call.Data.empty() ? nullptr : call.Data.data(),
                     static_cast<int32_t>(call.Data.size()), aReplyCookie);
  }
  void Post(TnxTransportID aTransportID, TnxSessionID aSessionID, TnxThreadPriority aThreadPriority, TnxMsgID aMsgID,
            const void* aRequestData, int32_t aRequestDataLen, uint32_t aTimeout) override {
    Posts.push_back(Record(aTransportID, aSessionID, aThreadPriority, aMsgID, aTimeout, aRequestData, aRequestDataLen));
  }
  void Broadcast(TnxMsgID, TnxThreadPriority, const void*, int32_t, uint32_t) override {}
  void TerminateConnection(TnxTransportID, TnxSessionID aSessionID, uint32_t) override {
    Terminated.push_back(aSessionID);
  }

protected:
  // Sending needs no server name.
  void DoInitialize() override {}

private:
  static ScriptedRequest Record(TnxTransportID aTransportID, TnxSessionID aSessionID, TnxThreadPriority aPriority,
                                TnxMsgID aMsgID, uint32_t aTimeout, const void* aData, int32_t aDataLen) {
    ScriptedRequest request{aTransportID, aSessionID, aPriority, aMsgID, aTimeout, {}};
    if (aData && aDataLen > 0) request.Data.assign(static_cast<const char*>(aData), static_cast<size_t>(aDataLen));
    return request;
  }
};

}  // namespace revurov::testing
