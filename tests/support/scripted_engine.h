// An engine whose answers a test gives: each log-on takes the next code of
// a queue (0 opens a session), each session operation answers the code
// scripted for its name, and every call is counted and its arguments kept.
// For the client components' tables of failures and log-on paths.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "engine/abstract_session.h"
#include "lowlevel/objects/interfaced_object.h"
#include "platform/stream.h"
#include "support/test_engine.h"
#include "transport/session_requests.h"

namespace revurov::testing {

class ScriptedEngine;

class ScriptedSession : public TnxAbstractSession, public InxSessionRequests {
  REVUROV_SERVER_OBJECT_CLASS(ScriptedSession, TnxAbstractSession)
  ScriptedSession(ScriptedEngine& aEngine, std::u16string_view aUserName, std::u16string_view aPassword,
                  uint32_t aTimeout);

  platform::HRESULT QueryInterface(const platform::TGUID& iid, void** obj) noexcept override {
    return TnxAbstractSession::QueryInterface(iid, obj);
  }
  int32_t AddRef() noexcept override { return -1; }
  int32_t Release() noexcept override { return -1; }

  uint32_t AliasAdd(std::u16string_view, std::u16string_view, bool) override { return Answer(u"AliasAdd"); }
  uint32_t AliasDelete(std::u16string_view) override { return Answer(u"AliasDelete"); }
  uint32_t AliasModify(std::u16string_view, std::u16string_view, std::u16string_view, bool) override {
    return Answer(u"AliasModify");
  }
  uint32_t AliasGetList(TnxAliasDescriptors& aList) override;
  uint32_t AliasGetPath(std::u16string_view aAlias, std::u16string& aPath) override;
  uint32_t PasswordAdd(std::u16string_view) override { return Answer(u"PasswordAdd"); }
  uint32_t PasswordRemove(std::u16string_view) override { return Answer(u"PasswordRemove"); }
  uint32_t PasswordRemoveAll() override { return Answer(u"PasswordRemoveAll"); }
  uint32_t CloseInactiveFolders() override { return Answer(u"CloseInactiveFolders"); }
  uint32_t CloseInactiveTables() override { return Answer(u"CloseInactiveTables"); }
  uint32_t DatabaseOpen(TnxAbstractDatabase*& aDatabase, std::u16string_view, std::u16string_view,
                        TnxAbstractTransContext*, TnxOpenMode, TnxShareMode, uint32_t) override {
    aDatabase = nullptr;
    return Answer(u"DatabaseOpen", nxeUnknownDatabase);
  }
  uint32_t TransContextCreate(TnxAbstractTransContext*& aTransContext, uint32_t) override {
    aTransContext = nullptr;
    return Answer(u"TransContextCreate", nxeInvalidParameter);
  }
  uint32_t GetRegisteredClassList(TnxClassListType, platform::TStringList& aList) override;
  // Streams and existence straight from the engine's maps.
  uint32_t TableStreamRead(std::u16string_view, std::u16string_view aTableName, std::u16string_view,
                           std::u16string_view aStreamName, platform::TStream& aStream) override;
  uint32_t TableStreamWrite(std::u16string_view, std::u16string_view aTableName, std::u16string_view,
                            std::u16string_view aStreamName, platform::TStream& aStream) override;
  uint32_t TableExists(std::u16string_view, std::u16string_view aTableName, std::u16string_view, bool& aExists,
                       bool aAllowSystem) override;

  // Timeouts and their batches, for ApplyTimeout.
  void SetTimeout(uint32_t aValue) override;
  int32_t BeginTimeoutBatch() override;
  int32_t EndTimeoutBatch() override;

  // InxSessionRequests, answered only when the engine says so; each call
  // keeps its timeout.
  uint32_t ProcessRequest(TnxMessageSource, TnxThreadPriority, TnxMsgID, uint32_t aTimeout, const void*, int32_t,
                          void*, int32_t*, TnxNetMsgDataType, bool, uint32_t*) noexcept override;
  uint32_t ProcessRequestDirect(TnxThreadPriority, TnxMsgID, uint32_t aTimeout, const void*, int32_t, void*,
                                int32_t*, TnxNetMsgDataType) noexcept override;
  void ProcessPost(TnxMessageSource, TnxThreadPriority, TnxMsgID, uint32_t aTimeout, const void*,
                   int32_t) noexcept override;

protected:
  ~ScriptedSession() override;
  bool GetInterface(const platform::TGUID& iid, void** obj) noexcept override;

private:
  uint32_t Answer(const std::u16string& aOperation, uint32_t aDefault = 0);
  ScriptedEngine& ssEngine;
};

class ScriptedEngine : public TestEngine {
public:
  explicit ScriptedEngine(platform::TComponent* aOwner) : TestEngine(aOwner) {}

  struct Logon {
    std::u16string UserName;
    std::u16string Password;
    std::u16string ConnectedFrom;
    uint32_t Timeout = 0;
  };

  uint32_t SessionOpenEx(TnxAbstractServerObject*& aSession, std::u16string_view aUserName,
                         std::u16string_view aPassword, std::u16string_view aConnectedFrom, uint32_t aTimeout,
                         int32_t) override {
    aSession = nullptr;
    Logons.push_back({std::u16string(aUserName), std::u16string(aPassword), std::u16string(aConnectedFrom), aTimeout});
    uint32_t code = 0;
    if (!LogonCodes.empty()) {
      code = LogonCodes.front();
      LogonCodes.pop_front();
    }
    if (code) return code;
    auto session = nxCreateServerObject<ScriptedSession>(*this, aUserName, aPassword, aTimeout);
    aSession = session.get();
    SessionAdded(std::move(session));
    return 0;
  }

  // Log-on answers, first first; an empty queue opens.
  std::deque<uint32_t> LogonCodes;
  std::vector<Logon> Logons;
  // Per operation name: the code it answers (0 when missing).
  std::map<std::u16string, uint32_t> Codes;
  std::map<std::u16string, int> Calls;
  std::vector<std::pair<std::u16string, std::u16string>> Aliases;  // name, path
  std::vector<std::u16string> RegisteredClasses;
  // "table/stream" to bytes; the tables that exist.
  std::map<std::u16string, std::string> Streams;
  std::set<std::u16string> Tables;
  bool LastAllowSystem = true;
  // Timeouts as set, and the batch brackets.
  std::vector<uint32_t> TimeoutsSet;
  int BatchesBegun = 0;
  int BatchesEnded = 0;
  uint32_t RaiseOnTimeout = 0;  // SetTimeout raises this code (0: never)
  // Sessions answer InxSessionRequests; the timeouts they were given.
  bool AnswerRequests = true;
  std::vector<uint32_t> RequestTimeouts;
  int SessionsFreed = 0;
};

inline ScriptedSession::ScriptedSession(ScriptedEngine& aEngine, std::u16string_view aUserName,
                                        std::u16string_view aPassword, uint32_t aTimeout)
    : TnxAbstractSession(&aEngine, aUserName, aPassword, u"", aTimeout), ssEngine(aEngine) {}

inline ScriptedSession::~ScriptedSession() { ++ssEngine.SessionsFreed; }

inline uint32_t ScriptedSession::Answer(const std::u16string& aOperation, uint32_t aDefault) {
  ++ssEngine.Calls[aOperation];
  auto it = ssEngine.Codes.find(aOperation);
  return it == ssEngine.Codes.end() ? aDefault : it->second;
}

inline uint32_t ScriptedSession::AliasGetList(TnxAliasDescriptors& aList) {
  if (uint32_t code = Answer(u"AliasGetList")) return code;
  for (const auto& [name, path] : ssEngine.Aliases) aList.push_back(std::make_unique<TnxAliasDescriptor>(name, path));
  return 0;
}

inline uint32_t ScriptedSession::AliasGetPath(std::u16string_view aAlias, std::u16string& aPath) {
  if (uint32_t code = Answer(u"AliasGetPath")) return code;
  for (const auto& [name, path] : ssEngine.Aliases)
    if (name == aAlias) aPath = path;
  return 0;
}

inline uint32_t ScriptedSession::GetRegisteredClassList(TnxClassListType, platform::TStringList& aList) {
  uint32_t code = Answer(u"GetRegisteredClassList");
  for (const auto& name : ssEngine.RegisteredClasses) aList.Add(name);
  return code;
}

inline uint32_t ScriptedSession::TableStreamRead(std::u16string_view, std::u16string_view aTableName,
                                                 std::u16string_view, std::u16string_view aStreamName,
                                                 platform::TStream& aStream) {
  if (uint32_t code = Answer(u"TableStreamRead")) return code;
  const std::string& bytes = ssEngine.Streams[std::u16string(aTableName) + u"/" + std::u16string(aStreamName)];
  aStream.Write(bytes.data(), int64_t(bytes.size()));
  return 0;
}

inline uint32_t ScriptedSession::TableStreamWrite(std::u16string_view, std::u16string_view aTableName,
                                                  std::u16string_view, std::u16string_view aStreamName,
                                                  platform::TStream& aStream) {
  if (uint32_t code = Answer(u"TableStreamWrite")) return code;
  std::string bytes(size_t(aStream.GetSize()), '\0');
  aStream.Seek(0, platform::TSeekOrigin::soBeginning);
  aStream.Read(bytes.data(), int64_t(bytes.size()));
  ssEngine.Streams[std::u16string(aTableName) + u"/" + std::u16string(aStreamName)] = bytes;
  return 0;
}

inline uint32_t ScriptedSession::TableExists(std::u16string_view, std::u16string_view aTableName,
                                             std::u16string_view, bool& aExists, bool aAllowSystem) {
  ssEngine.LastAllowSystem = aAllowSystem;
  aExists = ssEngine.Tables.count(std::u16string(aTableName)) > 0;
  return Answer(u"TableExists");
}

inline void ScriptedSession::SetTimeout(uint32_t aValue) {
  ssEngine.TimeoutsSet.push_back(aValue);
  if (ssEngine.RaiseOnTimeout) throw EnxBaseException(ssEngine.RaiseOnTimeout);
  TnxAbstractSession::SetTimeout(aValue);
}

inline int32_t ScriptedSession::BeginTimeoutBatch() { return ++ssEngine.BatchesBegun; }
inline int32_t ScriptedSession::EndTimeoutBatch() { return ++ssEngine.BatchesEnded; }

inline uint32_t ScriptedSession::ProcessRequest(TnxMessageSource, TnxThreadPriority, TnxMsgID, uint32_t aTimeout,
                                                const void*, int32_t, void*, int32_t*, TnxNetMsgDataType, bool,
                                                uint32_t*) noexcept {
  ssEngine.RequestTimeouts.push_back(aTimeout);
  return 0;
}
inline uint32_t ScriptedSession::ProcessRequestDirect(TnxThreadPriority, TnxMsgID, uint32_t aTimeout, const void*,
                                                      int32_t, void*, int32_t*, TnxNetMsgDataType) noexcept {
  ssEngine.RequestTimeouts.push_back(aTimeout);
  return 0;
}
inline void ScriptedSession::ProcessPost(TnxMessageSource, TnxThreadPriority, TnxMsgID, uint32_t aTimeout,
                                         const void*, int32_t) noexcept {
  ssEngine.RequestTimeouts.push_back(aTimeout);
}

inline bool ScriptedSession::GetInterface(const platform::TGUID& iid, void** obj) noexcept {
  if (iid == InxSessionRequests::IID && !ssEngine.AnswerRequests) {
    *obj = nullptr;
    return false;
  }
  return nxOfferInterface<InxSessionRequests>(this, iid, obj) || TnxAbstractSession::GetInterface(iid, obj);
}

}  // namespace revurov::testing
