// A command handler for tests of the listening side: one user and password,
// sessions numbered from 1, and per request number a scripted answer: echo
// the request (the default), a fixed reply with code and text, an
// exception, two replies or none. Replies go through a request reader's
// reply writer, so they reach the serving thread's current transport.
// Thread-safe: a transport may serve requests on several threads at once.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "lowlevel/errors/error_codes.h"
#include "lowlevel/streams/exception_conversion.h"
#include "transport/command_handler.h"
#include "transport/request_reader.h"

namespace revurov::testing {

enum class TReplyKind { rkEcho, rkFixed, rkRaise, rkReplyTwice, rkNoReply };

struct TScriptedReply {
  TReplyKind kind = TReplyKind::rkEcho;
  std::vector<uint8_t> data;  // rkFixed, rkReplyTwice: the reply's data
  uint32_t code = 0;          // rkFixed, rkReplyTwice: result; rkRaise: the exception's code
  std::u16string text;        // the error text that goes with the code
};

// What the handler saw of one request.
struct TReceivedRequest {
  TnxMsgID msgID = 0;
  TnxSessionID sessionID = 0;
  std::vector<uint8_t> data;
};

class TTestCommandHandler : public TnxBaseCommandHandler {
  REVUROV_COMPONENT_CLASS(TTestCommandHandler, TnxBaseCommandHandler)
  using TnxBaseCommandHandler::TnxBaseCommandHandler;

  static constexpr platform::TGUID kServerGUID = platform::nxGuid("{6B1F3C2A-8D4E-4F5A-9B6C-7D8E9FA0B1C2}");

  std::u16string UserName = u"admin";
  std::u16string Password = u"secret";
  int32_t ServerVersion = 47501;
  std::u16string HandlerServerName;

  void Script(TnxMsgID aMsgID, TScriptedReply aReply) {
    std::lock_guard<std::mutex> guard(thLock);
    thScript[aMsgID] = std::move(aReply);
  }
  std::vector<TReceivedRequest> Received() const {
    std::lock_guard<std::mutex> guard(thLock);
    return thReceived;
  }
  std::set<TnxSessionID> Sessions() const {
    std::lock_guard<std::mutex> guard(thLock);
    return thSessions;
  }

  uint32_t bchAddSession(TnxBaseTransport*, const std::u16string& aUserName,
                         const std::u16string& aPassword, const std::u16string&, int32_t, int32_t,
                         TnxSessionID& aSessionID, int32_t& aServerVersion) override {
    if (aUserName != UserName || aPassword != Password) return nxeUnknownUserOrPassword;
    std::lock_guard<std::mutex> guard(thLock);
    aSessionID = ++thLastSession;
    aServerVersion = ServerVersion;
    thSessions.insert(aSessionID);
    return 0;
  }

  uint32_t bchRemoveSession(TnxBaseTransport*, TnxSessionID aSessionID) override {
    std::lock_guard<std::mutex> guard(thLock);
    return thSessions.erase(aSessionID) ? 0 : nxeInvalidHandle;
  }

  void bchHandleMessage(const TnxDataMessage& aMessage) override {
    TScriptedReply script;
    {
      std::lock_guard<std::mutex> guard(thLock);
      const uint8_t* data = aMessage.dmData.get();
      thReceived.push_back({aMessage.dmMsg, aMessage.dmSessionID,
                            std::vector<uint8_t>(data, data + (data ? aMessage.dmDataLen : 0))});
      if (auto it = thScript.find(aMessage.dmMsg); it != thScript.end()) script = it->second;
    }
    auto reader = TnxRequestReader::Create<TnxRequestReader>(aMessage);
    TnxReplyWriter& writer = reader->Writer();
    switch (script.kind) {
      case TReplyKind::rkEcho: {
        TnxDataMessageStream& in = reader->StreamForReading();
        const int64_t size = in.GetSize();
        if (size > 0) writer.Write(in.Memory(), size);
        writer.Send();
        break;
      }
      case TReplyKind::rkFixed:
      case TReplyKind::rkReplyTwice:
        for (int i = script.kind == TReplyKind::rkReplyTwice ? 2 : 1; i > 0; --i) {
          TnxReplyWriter reply(aMessage.dmMsg);
          if (!script.data.empty())
            reply.Write(script.data.data(), static_cast<int64_t>(script.data.size()));
          reply.Error = script.code;
          if (!script.text.empty()) KeepErrorText(script.code, script.text);
          reply.Send();
        }
        break;
      case TReplyKind::rkRaise:
        RaiseError(script.code, script.text);
      case TReplyKind::rkNoReply:
        break;
    }
  }

  platform::TGUID GetServerGUID() const override { return kServerGUID; }
  std::u16string bchGetServerName() const override { return HandlerServerName; }

private:
  // The text goes where a transport takes the error text of a reply from:
  // the thread's last converted exception.
  void KeepErrorText(uint32_t aCode, const std::u16string& aText) {
    try {
      RaiseError(aCode, aText);
    } catch (const std::exception& e) {
      nxConvertException(e);
    }
  }

  mutable std::mutex thLock;
  std::map<TnxMsgID, TScriptedReply> thScript;
  std::vector<TReceivedRequest> thReceived;
  std::set<TnxSessionID> thSessions;
  TnxSessionID thLastSession = 0;
};

}  // namespace revurov::testing
