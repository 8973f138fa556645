// An engine whose answers a test gives: each log-on takes the next code of
// a queue (0 opens a session), each session operation answers the code
// scripted for its name, and every call is counted and its arguments kept.
// Its sessions open scripted databases on the aliases it knows, inside
// scripted transaction contexts that count transaction levels; each
// database operation likewise answers its scripted code and is recorded.
// For the client components' tables of failures and log-on paths.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "engine/abstract_database.h"
#include "engine/abstract_session.h"
#include "engine/abstract_task_info.h"
#include "engine/abstract_trans_context.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/objects/interfaced_object.h"
#include "platform/stream.h"
#include "platform/text.h"
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
  // A known alias (letter case ignored) or any path opens; else 10014.
  uint32_t DatabaseOpen(TnxAbstractDatabase*& aDatabase, std::u16string_view aAliasType, std::u16string_view aAlias,
                        TnxAbstractTransContext* aTransContext, TnxOpenMode aOpenMode, TnxShareMode aShareMode,
                        uint32_t aTimeout) override;
  // Counted as its own operation, then opened like DatabaseOpen.
  uint32_t DatabaseCacheOpen(TnxAbstractDatabase*& aDatabase, std::u16string_view aAliasType,
                             std::u16string_view aAlias, TnxAbstractTransContext* aTransContext,
                             TnxOpenMode aOpenMode, TnxShareMode aShareMode, uint32_t aTimeout) override {
    if (uint32_t code = Answer(u"DatabaseCacheOpen")) {
      aDatabase = nullptr;
      return code;
    }
    return DatabaseOpen(aDatabase, aAliasType, aAlias, aTransContext, aOpenMode, aShareMode, aTimeout);
  }
  uint32_t TransContextCreate(TnxAbstractTransContext*& aTransContext, uint32_t aTimeout) override;
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

// One DatabaseOpen as the session was asked it.
struct ScriptedOpen {
  std::u16string AliasType;
  std::u16string Alias;
  TnxAbstractTransContext* Context = nullptr;
  TnxOpenMode OpenMode = omNone;
  TnxShareMode ShareMode = smShareRead;
  uint32_t Timeout = 0;
};

class ScriptedTransContext : public TnxAbstractTransContext {
  REVUROV_SERVER_OBJECT_CLASS(ScriptedTransContext, TnxAbstractTransContext)
  ScriptedTransContext(TnxAbstractSession* aSession, uint32_t aTimeout, ScriptedEngine& aEngine)
      : TnxAbstractTransContext(aSession, aTimeout), stcEngine(aEngine) {}

  uint32_t TransactionStart(bool aFailSafe, bool aSnapShot) override;
  uint32_t TransactionStartWith(bool aFailSafe, bool aSnapShot, std::span<TnxAbstractCursor* const>) override {
    return TransactionStart(aFailSafe, aSnapShot);
  }
  uint32_t TransactionCommit() override;
  uint32_t TransactionRollback() override;
  uint32_t TransactionCorrupted() override;
  // 10257 outside a transaction, else the level from 0.
  uint32_t TransactionGetLevel(int32_t& aTransLevel) override;
  uint32_t TransactionGetInfo(TnxTransactionInfo& aTransInfo, bool) override {
    aTransInfo.tiLevel = Level - 1;
    return 0;
  }
  void SetTimeout(uint32_t aValue) override;

  int32_t Level = 0;

protected:
  ~ScriptedTransContext() override;

private:
  ScriptedEngine& stcEngine;
};

class ScriptedTaskInfo : public TnxAbstractTaskInfo {
  REVUROV_SERVER_OBJECT_CLASS(ScriptedTaskInfo, TnxAbstractTaskInfo)
  ScriptedTaskInfo(TnxAbstractSession* aSession, ScriptedEngine& aEngine)
      : TnxAbstractTaskInfo(aSession), stiEngine(aEngine) {}
  uint32_t GetStatus(bool& aCompleted, TnxTaskStatus& aStatus) override {
    aCompleted = true;
    aStatus = {};
    return 0;
  }
  uint32_t Cancel() override { return 0; }

protected:
  ~ScriptedTaskInfo() override;

private:
  ScriptedEngine& stiEngine;
};

class ScriptedDatabase : public TnxAbstractDatabase {
  REVUROV_SERVER_OBJECT_CLASS(ScriptedDatabase, TnxAbstractDatabase)
  ScriptedDatabase(TnxAbstractSession* aSession, TnxAbstractTransContext* aTransContext, uint32_t aTimeout,
                   ScriptedEngine& aEngine, std::u16string aAlias)
      : TnxAbstractDatabase(aSession, aTransContext, aTimeout), sdEngine(aEngine), sdAlias(std::move(aAlias)) {}

  const std::u16string& Alias() const noexcept { return sdAlias; }
  bool ExplicitAllowSystem() override;
  void SetTimeout(uint32_t aValue) override;
  int32_t BeginTimeoutBatch() override;
  int32_t EndTimeoutBatch() override;
  uint32_t SetCacheDatabase(TnxAbstractDatabase* aCacheDatabase) override;

  uint32_t TableBuild(bool, std::u16string_view aTableName, std::u16string_view, TnxDataDictionary*, TnxTableScope,
                      bool aAllowSystem) override {
    return Call(u"TableBuild", aTableName, aAllowSystem);
  }
  uint32_t TablePack(std::u16string_view aTableName, std::u16string_view, TnxAbstractTaskInfo*& aTaskInfo) override {
    return WithTask(u"TablePack", aTableName, aTaskInfo);
  }
  uint32_t TableBackup(std::u16string_view aTableName, std::u16string_view, TnxAbstractDatabase* aTargetDatabase,
                       TnxAbstractTaskInfo*& aTaskInfo) override;
  uint32_t TableRebuildIndex(std::u16string_view aTableName, std::u16string_view, std::u16string_view aIndexName,
                             int32_t aIndexID, TnxAbstractTaskInfo*& aTaskInfo) override;
  uint32_t TableRestructure(std::u16string_view aTableName, std::u16string_view, TnxDataDictionary*,
                            TnxBaseTableMapperDescriptor*, bool aAllowSystem, TnxAbstractTaskInfo*& aTaskInfo) override {
    Call(u"", aTableName, aAllowSystem);
    return WithTask(u"TableRestructure", aTableName, aTaskInfo);
  }
  uint32_t TableAddField(std::u16string_view aTableName, std::u16string_view, TnxFieldDescriptor*) override {
    return Call(u"TableAddField", aTableName);
  }
  uint32_t TableAddIndex(std::u16string_view aTableName, std::u16string_view, TnxIndexDescriptor*, bool) override {
    return Call(u"TableAddIndex", aTableName);
  }
  uint32_t TableDropIndex(std::u16string_view aTableName, std::u16string_view, std::u16string_view, int32_t) override {
    return Call(u"TableDropIndex", aTableName);
  }
  uint32_t TableRename(std::u16string_view aOldName, std::u16string_view, std::u16string_view) override {
    return Call(u"TableRename", aOldName);
  }
  uint32_t TableRecover(std::u16string_view aTableName, std::u16string_view, TnxAbstractTaskInfo*& aTaskInfo) override {
    return WithTask(u"TableRecover", aTableName, aTaskInfo);
  }
  uint32_t TableVerifyChecksum(std::u16string_view aTableName, std::u16string_view, bool, bool,
                               TnxAbstractTaskInfo*& aTaskInfo) override {
    return WithTask(u"TableVerifyChecksum", aTableName, aTaskInfo);
  }
  // Drops the table; 10024 for one that is not there.
  uint32_t TableDelete(std::u16string_view aTableName, std::u16string_view) override;
  uint32_t TableEmpty(std::u16string_view aTableName, std::u16string_view) override { return Call(u"TableEmpty", aTableName); }
  uint32_t TableChangePassword(std::u16string_view aTableName, std::u16string_view, std::u16string_view) override {
    return Call(u"TableChangePassword", aTableName);
  }
  uint32_t TableExists(std::u16string_view aTableName, std::u16string_view, bool& aExists, bool aAllowSystem) override;
  uint32_t TableGetDictionary(std::u16string_view aTableName, std::u16string_view, TnxDataDictionary*) override {
    return Call(u"TableGetDictionary", aTableName);
  }
  // The engine's tables, in their order.
  uint32_t TableGetList(platform::TStringList& aList) override;
  uint32_t TableAutoIncGet(std::u16string_view aTableName, std::u16string_view, uint32_t& aValue) override {
    aValue = 7;
    return Call(u"TableAutoIncGet", aTableName);
  }
  uint32_t GetChangedTables(platform::TStringList& aTables) override;
  uint32_t TableStreamRead(std::u16string_view aTableName, std::u16string_view, std::u16string_view,
                           platform::TStream&) override {
    return Call(u"TableStreamRead", aTableName);
  }
  uint32_t TableStreamWrite(std::u16string_view aTableName, std::u16string_view, std::u16string_view,
                            platform::TStream&) override {
    return Call(u"TableStreamWrite", aTableName);
  }
  uint32_t CursorOpen(TnxAbstractCursor*& aCursor, std::u16string_view, std::u16string_view, TnxOpenMode,
                      TnxShareMode, uint32_t, std::u16string_view, int32_t, bool, TnxCursorOpenOptions, uint32_t,
                      const platform::TStringList*) override {
    aCursor = nullptr;
    return NotSupported(u"CursorOpen");
  }
  uint32_t StatementAlloc(TnxAbstractStatement*& aStatement, uint32_t) override {
    aStatement = nullptr;
    return NotSupported(u"StatementAlloc");
  }
  uint32_t StatementExecDirect(uint32_t, TnxStatementType, std::u16string_view, platform::TStream*,
                               const TnxSqlParamList&, platform::TStream*, TnxAbstractCursor*& aCursor, TnxOpenMode,
                               platform::TStream*, platform::TStream*, TnxStatementExecDirectPhase& aPhase) override {
    aCursor = nullptr;
    aPhase = sedAlloc;
    return NotSupported(u"StatementExecDirect");
  }
  uint32_t GetFreespace(int64_t& aFreeSpace) override;
  uint32_t GetPath(std::u16string& aPath) override;
  uint32_t GetAlias(std::u16string& aAlias) override {
    aAlias = sdAlias;
    return Call(u"GetAlias");
  }

protected:
  ~ScriptedDatabase() override;

private:
  // Counts the call, keeps "<operation> <table>" and answers the code.
  uint32_t Call(std::u16string_view aOperation, std::u16string_view aTableName = {}, bool aAllowSystem = false);
  uint32_t WithTask(std::u16string_view aOperation, std::u16string_view aTableName, TnxAbstractTaskInfo*& aTaskInfo);

  ScriptedEngine& sdEngine;
  std::u16string sdAlias;
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

  // Databases: every open asked, the calls "<operation> <table>" in order
  // (an operation that takes no table is kept by its name alone), the
  // changed tables, and what was freed.
  std::vector<ScriptedOpen> Opens;
  std::vector<std::u16string> TableCalls;
  std::vector<std::u16string> Changed;
  std::vector<std::u16string> TableOrder;  // TableGetList's order (Tables when empty)
  bool AllowSystem = false;                 // the databases' ExplicitAllowSystem
  bool LastDatabaseAllowSystem = false;
  std::u16string LastIndexName;
  int32_t LastIndexID = 0;
  TnxAbstractDatabase* LastBackupTarget = nullptr;
  TnxAbstractDatabase* LastCacheDatabase = nullptr;
  bool GiveTasks = false;  // background operations hand back a task
  int TasksFreed = 0;
  std::vector<uint32_t> DatabaseTimeouts;
  int DatabaseBatchesBegun = 0;
  int DatabaseBatchesEnded = 0;
  int DatabasesFreed = 0;
  std::vector<int> SessionsFreedBeforeEachDatabase;  // SessionsFreed as each database went
  // Transaction contexts: the last transaction start's flags, the
  // timeouts set, and what was freed.
  bool LastFailSafe = false;
  bool LastSnapShot = false;
  std::vector<uint32_t> ContextTimeouts;
  int ContextsFreed = 0;

  uint32_t Answered(std::u16string_view aOperation, uint32_t aDefault = 0) {
    std::u16string operation(aOperation);
    ++Calls[operation];
    auto it = Codes.find(operation);
    return it == Codes.end() ? aDefault : it->second;
  }
};

inline ScriptedSession::ScriptedSession(ScriptedEngine& aEngine, std::u16string_view aUserName,
                                        std::u16string_view aPassword, uint32_t aTimeout)
    : TnxAbstractSession(&aEngine, aUserName, aPassword, u"", aTimeout), ssEngine(aEngine) {}

inline ScriptedSession::~ScriptedSession() { ++ssEngine.SessionsFreed; }

inline uint32_t ScriptedSession::Answer(const std::u16string& aOperation, uint32_t aDefault) {
  return ssEngine.Answered(aOperation, aDefault);
}

inline uint32_t ScriptedSession::DatabaseOpen(TnxAbstractDatabase*& aDatabase, std::u16string_view aAliasType,
                                              std::u16string_view aAlias, TnxAbstractTransContext* aTransContext,
                                              TnxOpenMode aOpenMode, TnxShareMode aShareMode, uint32_t aTimeout) {
  aDatabase = nullptr;
  ssEngine.Opens.push_back({std::u16string(aAliasType), std::u16string(aAlias), aTransContext, aOpenMode, aShareMode,
                            aTimeout});
  if (uint32_t code = Answer(u"DatabaseOpen")) return code;
  bool known = aAliasType == u"Path";
  for (const auto& alias : ssEngine.Aliases) known = known || platform::AsciiSameText(alias.first, aAlias);
  if (!known) return nxeUnknownDatabase;
  try {
    aDatabase = nxCreateServerObject<ScriptedDatabase>(this, aTransContext, aTimeout, ssEngine, std::u16string(aAlias))
                    .release();
  } catch (const std::exception& e) {
    return asoConvertException(e);
  }
  return 0;
}

inline uint32_t ScriptedSession::TransContextCreate(TnxAbstractTransContext*& aTransContext, uint32_t aTimeout) {
  aTransContext = nullptr;
  if (uint32_t code = Answer(u"TransContextCreate")) return code;
  aTransContext = nxCreateServerObject<ScriptedTransContext>(this, aTimeout, ssEngine).release();
  return 0;
}

inline uint32_t ScriptedTransContext::TransactionStart(bool aFailSafe, bool aSnapShot) {
  stcEngine.LastFailSafe = aFailSafe;
  stcEngine.LastSnapShot = aSnapShot;
  if (uint32_t code = stcEngine.Answered(u"TransactionStart")) return code;
  ++Level;
  return 0;
}

inline uint32_t ScriptedTransContext::TransactionCommit() {
  if (uint32_t code = stcEngine.Answered(u"TransactionCommit")) return code;
  if (Level == 0) return nxeNoTransaction;
  --Level;
  return 0;
}

inline uint32_t ScriptedTransContext::TransactionRollback() {
  if (uint32_t code = stcEngine.Answered(u"TransactionRollback")) return code;
  if (Level == 0) return nxeNoTransaction;
  --Level;
  return 0;
}

inline uint32_t ScriptedTransContext::TransactionCorrupted() { return stcEngine.Answered(u"TransactionCorrupted"); }

inline uint32_t ScriptedTransContext::TransactionGetLevel(int32_t& aTransLevel) {
  aTransLevel = Level - 1;
  if (uint32_t code = stcEngine.Answered(u"TransactionGetLevel")) return code;
  return Level == 0 ? nxeNoTransaction : 0;
}

inline void ScriptedTransContext::SetTimeout(uint32_t aValue) {
  stcEngine.ContextTimeouts.push_back(aValue);
  TnxAbstractTransContext::SetTimeout(aValue);
}

inline ScriptedTransContext::~ScriptedTransContext() { ++stcEngine.ContextsFreed; }

inline ScriptedTaskInfo::~ScriptedTaskInfo() { ++stiEngine.TasksFreed; }

inline ScriptedDatabase::~ScriptedDatabase() {
  ++sdEngine.DatabasesFreed;
  sdEngine.SessionsFreedBeforeEachDatabase.push_back(sdEngine.SessionsFreed);
}

inline bool ScriptedDatabase::ExplicitAllowSystem() { return sdEngine.AllowSystem; }

inline void ScriptedDatabase::SetTimeout(uint32_t aValue) {
  sdEngine.DatabaseTimeouts.push_back(aValue);
  TnxAbstractDatabase::SetTimeout(aValue);
}

inline int32_t ScriptedDatabase::BeginTimeoutBatch() { return ++sdEngine.DatabaseBatchesBegun; }
inline int32_t ScriptedDatabase::EndTimeoutBatch() { return ++sdEngine.DatabaseBatchesEnded; }

inline uint32_t ScriptedDatabase::SetCacheDatabase(TnxAbstractDatabase* aCacheDatabase) {
  sdEngine.LastCacheDatabase = aCacheDatabase;
  return Call(u"SetCacheDatabase");
}

inline uint32_t ScriptedDatabase::Call(std::u16string_view aOperation, std::u16string_view aTableName,
                                       bool aAllowSystem) {
  sdEngine.LastDatabaseAllowSystem = aAllowSystem;
  if (aOperation.empty()) return 0;
  std::u16string call(aOperation);
  if (!aTableName.empty()) call += u" " + std::u16string(aTableName);
  sdEngine.TableCalls.push_back(call);
  return sdEngine.Answered(aOperation);
}

inline uint32_t ScriptedDatabase::WithTask(std::u16string_view aOperation, std::u16string_view aTableName,
                                           TnxAbstractTaskInfo*& aTaskInfo) {
  aTaskInfo = nullptr;
  const uint32_t code = Call(aOperation, aTableName, sdEngine.LastDatabaseAllowSystem);
  if (code == 0 && sdEngine.GiveTasks)
    aTaskInfo = nxCreateServerObject<ScriptedTaskInfo>(static_cast<TnxAbstractSession*>(Session()), sdEngine).release();
  return code;
}

inline uint32_t ScriptedDatabase::TableBackup(std::u16string_view aTableName, std::u16string_view,
                                              TnxAbstractDatabase* aTargetDatabase, TnxAbstractTaskInfo*& aTaskInfo) {
  sdEngine.LastBackupTarget = aTargetDatabase;
  return WithTask(u"TableBackup", aTableName, aTaskInfo);
}

inline uint32_t ScriptedDatabase::TableRebuildIndex(std::u16string_view aTableName, std::u16string_view,
                                                    std::u16string_view aIndexName, int32_t aIndexID,
                                                    TnxAbstractTaskInfo*& aTaskInfo) {
  sdEngine.LastIndexName = aIndexName;
  sdEngine.LastIndexID = aIndexID;
  return WithTask(u"TableRebuildIndex", aTableName, aTaskInfo);
}

inline uint32_t ScriptedDatabase::TableDelete(std::u16string_view aTableName, std::u16string_view) {
  if (uint32_t code = Call(u"TableDelete", aTableName)) return code;
  return sdEngine.Tables.erase(std::u16string(aTableName)) ? 0 : nxeTableDoesNotExist;
}

inline uint32_t ScriptedDatabase::TableExists(std::u16string_view aTableName, std::u16string_view, bool& aExists,
                                              bool aAllowSystem) {
  aExists = sdEngine.Tables.count(std::u16string(aTableName)) > 0;
  return Call(u"TableExists", aTableName, aAllowSystem);
}

inline uint32_t ScriptedDatabase::TableGetList(platform::TStringList& aList) {
  if (uint32_t code = Call(u"TableGetList")) return code;
  aList.Clear();  // the engines replace the list
  if (!sdEngine.TableOrder.empty())
    for (const auto& name : sdEngine.TableOrder) aList.Add(name);
  else
    for (const auto& name : sdEngine.Tables) aList.Add(name);
  return 0;
}

inline uint32_t ScriptedDatabase::GetChangedTables(platform::TStringList& aTables) {
  if (uint32_t code = Call(u"GetChangedTables")) return code;
  for (const auto& name : sdEngine.Changed) aTables.Add(name);
  return 0;
}

inline uint32_t ScriptedDatabase::GetFreespace(int64_t& aFreeSpace) {
  aFreeSpace = 123456789;
  return Call(u"GetFreespace");
}

inline uint32_t ScriptedDatabase::GetPath(std::u16string& aPath) {
  aPath = u"/srv/" + sdAlias;
  return Call(u"GetPath");
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
