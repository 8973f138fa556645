// A command handler for tests of the listening side: one user and password,
// sessions numbered from 1, and per request number a scripted answer: the
// default, a fixed reply with code and text, an exception, two replies or
// none, the default reply without its last byte (a list without its end),
// under another ID, wrapped in a multi-reply, held back until released, or
// the connection closed instead (TTestTcpServer carries that out).
//
// The default answers the remote engine's session, database and
// transaction-context requests from a small model (aliases, tables per
// alias, opened databases, session options); any other request is echoed.
// Replies go through reply writers, so they reach the serving thread's
// current transport. Thread-safe: a transport may serve requests on several
// threads at once.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "lowlevel/errors/error_codes.h"
#include "lowlevel/streams/exception_conversion.h"
#include "lowlevel/streams/memory_stream.h"
#include "lowlevel/streams/tagged_stream.h"
#include "platform/endian.h"
#include "platform/guid.h"
#include "platform/string_list.h"
#include "platform/text.h"
#include "transport/command_handler.h"
#include "transport/data_message_queue.h"
#include "transport/request_reader.h"

namespace revurov::testing {

enum class TReplyKind {
  rkEcho,        // the default answer (an echo for requests it does not know)
  rkFixed,       // data, code and text as scripted
  rkRaise,       // the handler raises code and text
  rkReplyTwice,  // the fixed reply twice
  rkNoReply,     // nothing (the transport answers 15522)
  rkNoListEnd,   // the default answer less its last byte
  rkOtherID,     // the default answer under otherID
  rkMultiReply,  // the default answer as the one part of a multi-reply
  rkLate,        // the default answer once ReleaseLate is called
  rkClose,       // the connection is closed instead of answered
};

struct TScriptedReply {
  TReplyKind kind = TReplyKind::rkEcho;
  std::vector<uint8_t> data;  // rkFixed, rkReplyTwice: the reply's data
  uint32_t code = 0;          // rkFixed, rkReplyTwice: result; rkRaise: the exception's code
  std::u16string text;        // the error text that goes with the code
  TnxMsgID otherID = 0;       // rkOtherID
};

// A fault of kind aKind (rkOtherID: under aOtherID).
inline TScriptedReply Injected(TReplyKind aKind, TnxMsgID aOtherID = 0) {
  TScriptedReply reply;
  reply.kind = aKind;
  reply.otherID = aOtherID;
  return reply;
}
// A fixed reply: code, data and the server's text.
inline TScriptedReply Fixed(uint32_t aCode, std::vector<uint8_t> aData = {}, std::u16string aText = {}) {
  TScriptedReply reply;
  reply.kind = TReplyKind::rkFixed;
  reply.code = aCode;
  reply.data = std::move(aData);
  reply.text = std::move(aText);
  return reply;
}

// What the handler saw of one request.
struct TReceivedRequest {
  TnxMsgID msgID = 0;
  TnxSessionID sessionID = 0;
  std::vector<uint8_t> data;
};

// In Events(): a session's end, after its requests.
inline constexpr TnxMsgID kSessionEndEvent = 0xFFFFFFFFu;

// Set by the handler on the serving thread: the reply about to be written
// is to close the connection instead.
inline bool& tlsCloseInsteadOfReply() {
  static thread_local bool close = false;
  return close;
}

class TTestCommandHandler : public TnxBaseCommandHandler {
  REVUROV_COMPONENT_CLASS(TTestCommandHandler, TnxBaseCommandHandler)
  using TnxBaseCommandHandler::TnxBaseCommandHandler;

  static constexpr platform::TGUID kServerGUID = platform::nxGuid("{6B1F3C2A-8D4E-4F5A-9B6C-7D8E9FA0B1C2}");

  std::u16string UserName = u"admin";
  std::u16string Password = u"secret";
  int32_t ServerVersion = 47501;
  std::u16string HandlerServerName;
  // The server's own text for a refused log-in; none when empty.
  std::u16string RefusalText;

  // The model the default answers come from; changed through Configure
  // while requests may be served.
  std::vector<std::pair<std::u16string, std::u16string>> Aliases;  // alias, path
  std::map<std::u16string, std::vector<std::u16string>> Tables;      // by alias (or path)
  std::vector<std::u16string> ChangedTables;
  // $122 answers with a transaction context made for the database.
  bool OpenWithContext = false;
  // Tables cursors open on ($232 to $235), by name (letter case ignored).
  // The dictionary (its stream as written for the client's version) goes
  // with the reply unless the request names its identity; the index ID is
  // the request's when it names one.
  struct TCursorTable {
    std::vector<uint8_t> dictionary;
    platform::TGUID guid{};
    int32_t currentID = 0;
    int32_t indexID = -1;
    int64_t autoInc = -1;
  };
  std::map<std::u16string, TCursorTable> CursorTables;
  // Replies sent after an open reply in one multi-reply: (ID, data) each.
  std::vector<std::pair<TnxMsgID, std::vector<uint8_t>>> OpenExtraParts;
  // Off, nothing is recorded (a benchmark's long run).
  bool Recording = true;

  // Runs aChange on the handler under its lock.
  template <class F>
  void Configure(F&& aChange) {
    std::lock_guard<std::mutex> guard(thLock);
    aChange(*this);
    thListReplies.clear();
  }
  void Script(TnxMsgID aMsgID, TScriptedReply aReply) {
    std::lock_guard<std::mutex> guard(thLock);
    thScript[aMsgID] = std::move(aReply);
  }
  std::vector<TReceivedRequest> Received() const {
    std::lock_guard<std::mutex> guard(thLock);
    return thReceived;
  }
  // The requests and the ends of sessions (kSessionEndEvent) in order.
  std::vector<TReceivedRequest> Events() const {
    std::lock_guard<std::mutex> guard(thLock);
    return thEvents;
  }
  // The message IDs of Received, for sessions aSession (0: all).
  std::vector<TnxMsgID> ReceivedIDs(TnxSessionID aSession = 0) const {
    std::vector<TnxMsgID> ids;
    for (const auto& r : Received())
      if (aSession == 0 || r.sessionID == aSession) ids.push_back(r.msgID);
    return ids;
  }
  // A session option as kept from $1F4; empty when not set.
  std::u16string SessionOption(TnxSessionID aSession, const std::u16string& aName) const {
    std::lock_guard<std::mutex> guard(thLock);
    auto it = thOptions.find(aSession);
    return it == thOptions.end() ? std::u16string() : it->second.Values(aName);
  }
  // Lets every held-back reply go (and later ones at once).
  void ReleaseLate() {
    std::lock_guard<std::mutex> guard(thLock);
    thLateReleased = true;
    thLateWake.notify_all();
  }
  // Holds later replies again (under Configure).
  void ResetLate() { thLateReleased = false; }
  // Replies held back now.
  int LateHeld() const {
    std::lock_guard<std::mutex> guard(thLock);
    return thLateHeld;
  }
  // Server cursors open now ($3FF closes one).
  std::set<uint32_t> OpenCursors() const {
    std::lock_guard<std::mutex> guard(thLock);
    return thCursors;
  }
  // The databases open now, by the alias (or path) each was opened on.
  std::vector<std::u16string> OpenDatabases() const {
    std::lock_guard<std::mutex> guard(thLock);
    std::vector<std::u16string> open;
    for (const auto& entry : thDatabases) open.push_back(entry.second);
    return open;
  }
  // The ID the handler gave the last session it added.
  TnxSessionID LastSession() const {
    std::lock_guard<std::mutex> guard(thLock);
    return thLastSession;
  }
  // Every log-in as it came (user name, password), refused or not.
  std::vector<std::pair<std::u16string, std::u16string>> Logins() const {
    std::lock_guard<std::mutex> guard(thLock);
    return thLogins;
  }
  std::set<TnxSessionID> Sessions() const {
    std::lock_guard<std::mutex> guard(thLock);
    return thSessions;
  }

  uint32_t bchAddSession(TnxBaseTransport*, const std::u16string& aUserName,
                         const std::u16string& aPassword, const std::u16string&, int32_t, int32_t,
                         TnxSessionID& aSessionID, int32_t& aServerVersion) override {
    std::lock_guard<std::mutex> guard(thLock);
    thLogins.emplace_back(aUserName, aPassword);
    if (aUserName != UserName || aPassword != Password) {
      // Where the transport takes a reply's error text from.
      if (!RefusalText.empty()) EnxBaseException::SetLastConvertedException(nxeUnknownUserOrPassword, RefusalText);
      return nxeUnknownUserOrPassword;
    }
    aSessionID = ++thLastSession;
    aServerVersion = ServerVersion;
    thSessions.insert(aSessionID);
    return 0;
  }

  uint32_t bchRemoveSession(TnxBaseTransport*, TnxSessionID aSessionID) override {
    std::lock_guard<std::mutex> guard(thLock);
    thEvents.push_back({kSessionEndEvent, aSessionID, {}});
    return thSessions.erase(aSessionID) ? 0 : nxeInvalidHandle;
  }

  void bchHandleMessage(const TnxDataMessage& aMessage) override {
    TScriptedReply script;
    const uint8_t* data = aMessage.dmData.get();
    const std::vector<uint8_t> request(data, data + (data ? aMessage.dmDataLen : 0));
    {
      std::lock_guard<std::mutex> guard(thLock);
      if (Recording) {
        thReceived.push_back({aMessage.dmMsg, aMessage.dmSessionID, request});
        thEvents.push_back(thReceived.back());
      }
      if (auto it = thScript.find(aMessage.dmMsg); it != thScript.end()) script = it->second;
    }
    switch (script.kind) {
      case TReplyKind::rkEcho:
      case TReplyKind::rkNoListEnd:
      case TReplyKind::rkOtherID:
      case TReplyKind::rkMultiReply:
      case TReplyKind::rkLate: {
        TAnswer answer = DefaultAnswer(aMessage.dmMsg, aMessage.dmSessionID, request);
        TnxMsgID replyID = aMessage.dmMsg;
        if (script.kind == TReplyKind::rkNoListEnd && !answer.data.empty()) answer.data.pop_back();
        if (script.kind == TReplyKind::rkOtherID) replyID = script.otherID;
        if (script.kind == TReplyKind::rkMultiReply) {
          answer.data = MultiReplyOf(aMessage.dmMsg, answer.code, answer.data);
          answer.code = 0;
          replyID = nxMultiReplyMsgID;
        }
        if (script.kind == TReplyKind::rkEcho && aMessage.dmMsg >= 0x232 && aMessage.dmMsg <= 0x235 &&
            answer.code == 0) {
          std::vector<std::pair<TnxMsgID, std::vector<uint8_t>>> extra;
          Configure([&](TTestCommandHandler& h) { extra = h.OpenExtraParts; });
          if (!extra.empty()) {
            answer.data = MultiReplyOf(aMessage.dmMsg, 0, answer.data);
            for (const auto& [id, part] : extra) {
              const std::vector<uint8_t> more = MultiReplyOf(id, 0, part);
              answer.data.insert(answer.data.end(), more.begin(), more.end());
            }
            replyID = nxMultiReplyMsgID;
          }
        }
        if (script.kind == TReplyKind::rkLate) HoldBack();
        Send(replyID, answer.code, answer.data, {});
        break;
      }
      case TReplyKind::rkFixed:
      case TReplyKind::rkReplyTwice:
        for (int i = script.kind == TReplyKind::rkReplyTwice ? 2 : 1; i > 0; --i)
          Send(aMessage.dmMsg, script.code, script.data, script.text);
        break;
      case TReplyKind::rkRaise:
        RaiseError(script.code, script.text);
      case TReplyKind::rkClose:
        tlsCloseInsteadOfReply() = true;
        break;
      case TReplyKind::rkNoReply:
        break;
    }
  }

  // A multi-reply holding one part.
  static std::vector<uint8_t> MultiReplyOf(TnxMsgID aMsgID, uint32_t aCode, const std::vector<uint8_t>& aData) {
    // Sized once: an insert after the header trips GCC's bounds check at -O3.
    std::vector<uint8_t> out(nxMultiReplyPartHeaderSize + aData.size());
    platform::StoreU32(out.data(), aMsgID);
    platform::StoreU32(out.data() + 4, static_cast<uint32_t>(out.size()));
    platform::StoreU32(out.data() + 8, aCode);
    std::copy(aData.begin(), aData.end(), out.begin() + nxMultiReplyPartHeaderSize);
    return out;
  }

  platform::TGUID GetServerGUID() const override { return kServerGUID; }
  std::u16string bchGetServerName() const override { return HandlerServerName; }

private:
  struct TAnswer {
    uint32_t code = 0;
    std::vector<uint8_t> data;
  };

  void Send(TnxMsgID aMsgID, uint32_t aCode, const std::vector<uint8_t>& aData, const std::u16string& aText) {
    TnxReplyWriter reply(aMsgID);
    if (!aData.empty()) reply.Write(aData.data(), static_cast<int64_t>(aData.size()));
    reply.Error = aCode;
    if (!aText.empty()) KeepErrorText(aCode, aText);
    reply.Send();
  }

  // Bounded: a test that forgets to release still ends.
  void HoldBack() {
    std::unique_lock<std::mutex> guard(thLock);
    ++thLateHeld;
    thLateWake.wait_for(guard, std::chrono::seconds(20), [this] { return thLateReleased; });
    --thLateHeld;
  }

  template <class F>
  static std::vector<uint8_t> Tagged(F&& aWrite) {
    // Kept per thread: a new stream reserves its memory from the system.
    static thread_local TnxMemoryStream stream(-1);
    stream.SetSize(0);
    stream.SetPosition(0);
    {
      TnxWriter writer(stream);
      aWrite(writer);
      writer.FlushBuffer();
    }
    const auto* bytes = static_cast<const uint8_t*>(stream.Memory());
    return std::vector<uint8_t>(bytes, bytes + stream.GetSize());
  }
  static std::vector<uint8_t> U32(uint32_t aValue) {
    std::vector<uint8_t> out(4);
    platform::StoreU32(out.data(), aValue);
    return out;
  }
  static std::vector<uint8_t> NameList(const std::vector<std::u16string>& aNames) {
    return Tagged([&](TnxWriter& w) {
      w.WriteListBegin();
      for (const auto& name : aNames) w.WriteString(name);
      w.WriteListEnd();
    });
  }
  // Under thLock. A list reply's bytes, made again only after the model
  // changed (through Configure or a request that changes aliases): a real
  // server would not rebuild them either, and the benchmarks that ask for
  // long lists would measure this stand-in's writing otherwise.
  template <class F>
  std::vector<uint8_t> CachedList(const std::u16string& aKey, F&& aMake) {
    auto it = thListReplies.find(aKey);
    if (it == thListReplies.end()) it = thListReplies.emplace(aKey, aMake()).first;
    return it->second;
  }
  // The alias entry named aAlias (letter case ignored); end() when none.
  auto FindAlias(const std::u16string& aAlias) {
    for (auto it = Aliases.begin(); it != Aliases.end(); ++it)
      if (platform::AsciiSameText(it->first, aAlias)) return it;
    return Aliases.end();
  }

  TAnswer DefaultAnswer(TnxMsgID aMsgID, TnxSessionID aSession, const std::vector<uint8_t>& aRequest) {
    std::vector<uint8_t> copy = aRequest;
    TnxStaticMemoryStream in(copy.data(), static_cast<int64_t>(copy.size()));
    TnxReader reader(in);
    std::lock_guard<std::mutex> guard(thLock);
    switch (aMsgID) {
      case 0x104:
        return {0, CachedList(u"", [&] {
                  return Tagged([&](TnxWriter& w) {
                    w.WriteListBegin();
                    for (const auto& [alias, path] : Aliases) {
                      w.WriteString(alias);
                      w.WriteString(path);
                    }
                    w.WriteListEnd();
                  });
                })};
      case 0x106: {
        std::u16string alias = reader.ReadString();
        std::u16string path = reader.ReadString();
        if (FindAlias(alias) != Aliases.end()) return {nxeInvalidAliasName, {}};
        Aliases.emplace_back(std::move(alias), std::move(path));
        thListReplies.clear();
        return {};
      }
      case 0x107: {
        auto it = FindAlias(reader.ReadString());
        if (it == Aliases.end()) return {nxeUnknownDatabase, {}};
        Aliases.erase(it);
        thListReplies.clear();
        return {};
      }
      case 0x108: {
        auto it = FindAlias(reader.ReadString());
        if (it == Aliases.end()) return {nxeUnknownDatabase, {}};
        it->first = reader.ReadString();
        thListReplies.clear();
        it->second = reader.ReadString();
        return {};
      }
      case 0x109: {
        auto it = FindAlias(reader.ReadString());
        if (it == Aliases.end()) return {nxeUnknownDatabase, {}};
        return {0, Tagged([&](TnxWriter& w) { w.WriteString(it->second); })};
      }
      case 0x122: {
        const std::u16string type = reader.ReadString();
        const std::u16string alias = reader.ReadString();
        std::u16string key = alias;
        if (type == u"Name") {
          auto it = FindAlias(alias);
          if (it == Aliases.end()) return {nxeUnknownDatabase, {}};
          key = it->first;
        }
        const uint32_t database = ++thLastID;
        thDatabases[database] = key;
        const uint32_t context = OpenWithContext ? ++thLastID : 0;
        return {0, Tagged([&](TnxWriter& w) {
                  w.WriteBoolean(OpenWithContext);
                  if (OpenWithContext) w.WriteInteger(static_cast<int32_t>(context));
                  w.WriteInteger(static_cast<int32_t>(database));
                })};
      }
      case 0x131:
        return {0, NameList({})};
      case 0x151:
        if (aRequest.size() < 4) return {nxeInvalidParameter, {}};
        return {0, U32(++thLastID)};
      case 0x180:
        return {0, {0}};
      case 0x1F3:
        thOptions[aSession].SetValues(reader.ReadString(), u"");
        return {};
      case 0x1F4: {
        const std::u16string name = reader.ReadString();
        thOptions[aSession].SetValues(name, reader.ReadString());
        return {};
      }
      case 0x1F5:
      case 0x1F6: {
        const std::u16string value = thOptions[aSession].Values(reader.ReadString());
        return {0, Tagged([&](TnxWriter& w) { w.WriteString(value); })};
      }
      case 0x1F7:
      case 0x1F8: {
        const platform::TStringList& options = thOptions[aSession];
        return {0, Tagged([&](TnxWriter& w) { w.WriteStrings(options); })};
      }
      case 0x223:
      case 0x226: {
        if (aRequest.size() < 4) return {nxeInvalidParameter, {}};
        auto it = thDatabases.find(platform::LoadU32(aRequest.data()));
        if (it == thDatabases.end()) return {nxeInvalidHandle, {}};
        if (aMsgID == 0x226) return {0, NameList(ChangedTables)};
        auto tables = Tables.find(it->second);
        if (tables == Tables.end()) return {0, NameList({})};
        return {0, CachedList(u"tables:" + it->second, [&] { return NameList(tables->second); })};
      }
      case 0x232: case 0x233: case 0x234: case 0x235:
        return CursorOpenAnswer(aMsgID, reader);
      case 0x3C1: {
        if (aRequest.size() < 5 || !thCursors.count(platform::LoadU32(aRequest.data()))) return {nxeInvalidHandle, {}};
        const uint32_t id = ++thLastID;
        thCursors.insert(id);
        std::vector<uint8_t> out = U32(id);
        const std::vector<uint8_t> index = U32(static_cast<uint32_t>(thCursorIndex[platform::LoadU32(aRequest.data())]));
        thCursorIndex[id] = thCursorIndex[platform::LoadU32(aRequest.data())];
        out.insert(out.end(), index.begin(), index.end());
        return {0, out};
      }
      case 0x3FF:
        if (aRequest.size() >= 4) thCursors.erase(platform::LoadU32(aRequest.data()));
        return {};
      case 0x313:
        return {};
      case 0x2FF:
        if (aRequest.size() >= 4) thDatabases.erase(platform::LoadU32(aRequest.data()));
        return {};
      case 0x111: case 0x112: case 0x141: case 0x142: case 0x143: case 0x171: case 0x172:
      case 0x1F0: case 0x1F1: case 0x1F2: case 0x1F9: case 0x2F0: case 0x9F0: case 0x9FF:
        return {};
      default:
        return {0, aRequest};
    }
  }

  // Under thLock. The request's layout grows with its ID.
  TAnswer CursorOpenAnswer(TnxMsgID aMsgID, TnxReader& aReader) {
    const uint32_t database = static_cast<uint32_t>(aReader.ReadInteger());
    const std::u16string table = aReader.ReadString();
    aReader.ReadString();  // password
    for (int i = 0; i < 3; ++i) aReader.ReadInteger();
    platform::TGUID guid{};
    int32_t currentID = 0;
    int32_t indexID = -1;
    if (aMsgID >= 0x233) {
      guid = aReader.ReadGuid();
      currentID = aReader.ReadInteger();
    }
    if (aMsgID >= 0x234) {
      aReader.ReadString();
      indexID = aReader.ReadInteger();
    }
    if (!thDatabases.count(database)) return {nxeInvalidHandle, {}};
    const TCursorTable* found = nullptr;
    for (const auto& [name, entry] : CursorTables)
      if (platform::AsciiSameText(name, table)) found = &entry;
    if (!found) return {nxeTableDoesNotExist, {}};
    const bool follows = aMsgID == 0x232 || !(guid == found->guid) || currentID != found->currentID;
    const uint32_t id = ++thLastID;
    thCursors.insert(id);
    const int32_t answeredIndex = indexID != -1 ? indexID : found->indexID;
    thCursorIndex[id] = answeredIndex;
    std::vector<uint8_t> out = Tagged([&](TnxWriter& w) {
      w.WriteInteger(static_cast<int32_t>(id));
      w.WriteInteger(answeredIndex);
      if (aMsgID >= 0x233) w.WriteBoolean(follows);
      if (aMsgID >= 0x234) w.WriteInteger(found->autoInc);
    });
    if (follows) out.insert(out.end(), found->dictionary.begin(), found->dictionary.end());
    return {0, out};
  }

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
  std::vector<std::pair<std::u16string, std::u16string>> thLogins;
  std::set<TnxSessionID> thSessions;
  TnxSessionID thLastSession = 0;
  std::vector<TReceivedRequest> thEvents;
  std::map<TnxSessionID, platform::TStringList> thOptions;
  std::map<uint32_t, std::u16string> thDatabases;  // open databases: their alias or path
  std::set<uint32_t> thCursors;                    // open cursors
  std::map<uint32_t, int32_t> thCursorIndex;       // their index IDs
  std::map<std::u16string, std::vector<uint8_t>> thListReplies;  // see CachedList
  uint32_t thLastID = 100;
  std::condition_variable thLateWake;
  bool thLateReleased = false;
  int thLateHeld = 0;
};

}  // namespace revurov::testing
