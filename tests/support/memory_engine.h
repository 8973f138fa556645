// A small in-memory engine built on the abstract session, database,
// transaction context and task info: its sessions open databases on a set
// of known aliases, make contexts and task infos, and record what they were
// asked, so tests can drive the abstract classes' own steps.
#pragma once

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "engine/abstract_database.h"
#include "engine/abstract_session.h"
#include "engine/abstract_task_info.h"
#include "engine/abstract_trans_context.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exceptions.h"
#include "platform/stream.h"
#include "support/test_engine.h"

namespace revurov::testing {

class MemoryEngine;

// How an inner operation of a temporary database ends.
enum class InnerOutcome { Succeed, Fail, Raise };
inline constexpr uint32_t kInnerFailure = 10025;

struct DatabaseOpenCall {
  std::u16string AliasType;
  std::u16string Alias;
  bool GivenContext;
  TnxOpenMode OpenMode;
  TnxShareMode ShareMode;
  uint32_t Timeout;
};

class MemoryTransContext : public TnxAbstractTransContext {
  REVUROV_SERVER_OBJECT_CLASS(MemoryTransContext, TnxAbstractTransContext)
  MemoryTransContext(TnxAbstractSession* aSession, uint32_t aTimeout, MemoryEngine& aEngine)
      : TnxAbstractTransContext(aSession, aTimeout), mtcEngine(aEngine) {}

  uint32_t TransactionStart(bool, bool) override { ++Level; return 0; }
  uint32_t TransactionStartWith(bool, bool, std::span<TnxAbstractCursor* const>) override { ++Level; return 0; }
  uint32_t TransactionCommit() override { if (Level > 0) --Level; return 0; }
  uint32_t TransactionRollback() override { if (Level > 0) --Level; return 0; }
  uint32_t TransactionCorrupted() override { return 0; }
  uint32_t TransactionGetLevel(int32_t& aTransLevel) override { aTransLevel = Level; return 0; }
  uint32_t TransactionGetInfo(TnxTransactionInfo& aTransInfo, bool) override {
    aTransInfo.tiLevel = Level;
    return 0;
  }
  void atcForceRollback() override;

  int32_t Level = 0;
  int ForcedRollbacks = 0;

private:
  MemoryEngine& mtcEngine;
};

class MemoryDatabase : public TnxAbstractDatabase {
  REVUROV_SERVER_OBJECT_CLASS(MemoryDatabase, TnxAbstractDatabase)
  MemoryDatabase(TnxAbstractSession* aSession, TnxAbstractTransContext* aTransContext, uint32_t aTimeout,
                 MemoryEngine& aEngine)
      : TnxAbstractDatabase(aSession, aTransContext, aTimeout), mdEngine(aEngine) {}

  uint32_t TableExists(std::u16string_view aTableName, std::u16string_view, bool& aExists, bool aAllowSystem) override;
  uint32_t TableStreamRead(std::u16string_view aTableName, std::u16string_view, std::u16string_view aStreamName,
                           platform::TStream& aStream) override;
  uint32_t TableStreamWrite(std::u16string_view aTableName, std::u16string_view, std::u16string_view aStreamName,
                            platform::TStream& aStream) override;

  // The rest of the catalogue is not what these tests look at.
  uint32_t TableBuild(bool, std::u16string_view, std::u16string_view, TnxDataDictionary*, TnxTableScope, bool) override { return NotSupported(u"TableBuild"); }
  uint32_t TablePack(std::u16string_view, std::u16string_view, TnxAbstractTaskInfo*&) override { return NotSupported(u"TablePack"); }
  uint32_t TableBackup(std::u16string_view, std::u16string_view, TnxAbstractDatabase*, TnxAbstractTaskInfo*&) override { return NotSupported(u"TableBackup"); }
  uint32_t TableRebuildIndex(std::u16string_view, std::u16string_view, std::u16string_view, int32_t, TnxAbstractTaskInfo*&) override { return NotSupported(u"TableRebuildIndex"); }
  uint32_t TableRestructure(std::u16string_view, std::u16string_view, TnxDataDictionary*, TnxBaseTableMapperDescriptor*, bool, TnxAbstractTaskInfo*&) override { return NotSupported(u"TableRestructure"); }
  uint32_t TableAddField(std::u16string_view, std::u16string_view, TnxFieldDescriptor*) override { return NotSupported(u"TableAddField"); }
  uint32_t TableAddIndex(std::u16string_view, std::u16string_view, TnxIndexDescriptor*, bool) override { return NotSupported(u"TableAddIndex"); }
  uint32_t TableDropIndex(std::u16string_view, std::u16string_view, std::u16string_view, int32_t) override { return NotSupported(u"TableDropIndex"); }
  uint32_t TableRename(std::u16string_view, std::u16string_view, std::u16string_view) override { return NotSupported(u"TableRename"); }
  uint32_t TableRecover(std::u16string_view, std::u16string_view, TnxAbstractTaskInfo*&) override { return NotSupported(u"TableRecover"); }
  uint32_t TableVerifyChecksum(std::u16string_view, std::u16string_view, bool, bool, TnxAbstractTaskInfo*&) override { return NotSupported(u"TableVerifyChecksum"); }
  uint32_t TableDelete(std::u16string_view, std::u16string_view) override { return NotSupported(u"TableDelete"); }
  uint32_t TableEmpty(std::u16string_view, std::u16string_view) override { return NotSupported(u"TableEmpty"); }
  uint32_t TableChangePassword(std::u16string_view, std::u16string_view, std::u16string_view) override { return NotSupported(u"TableChangePassword"); }
  uint32_t TableGetDictionary(std::u16string_view, std::u16string_view, TnxDataDictionary*) override { return NotSupported(u"TableGetDictionary"); }
  uint32_t TableGetList(platform::TStringList&) override { return NotSupported(u"TableGetList"); }
  uint32_t TableAutoIncGet(std::u16string_view, std::u16string_view, uint32_t&) override { return NotSupported(u"TableAutoIncGet"); }
  uint32_t GetChangedTables(platform::TStringList&) override { return NotSupported(u"GetChangedTables"); }
  uint32_t GetFreespace(int64_t&) override { return NotSupported(u"GetFreespace"); }
  uint32_t GetPath(std::u16string&) override { return NotSupported(u"GetPath"); }
  uint32_t GetAlias(std::u16string&) override { return NotSupported(u"GetAlias"); }

protected:
  ~MemoryDatabase() override;

private:
  uint32_t Inner();
  MemoryEngine& mdEngine;
};

class MemoryTaskInfo : public TnxAbstractTaskInfo {
  REVUROV_SERVER_OBJECT_CLASS(MemoryTaskInfo, TnxAbstractTaskInfo)
  MemoryTaskInfo(TnxAbstractSession* aSession, int* aCancels) : TnxAbstractTaskInfo(aSession), mtiCancels(aCancels) {}
  uint32_t GetStatus(bool& aCompleted, TnxTaskStatus& aStatus) override {
    aCompleted = false;
    aStatus = {};
    return 0;
  }
  // The task never stops by itself.
  uint32_t Cancel() override {
    if (mtiCancels) ++*mtiCancels;
    return 0;
  }

private:
  int* mtiCancels;
};

class MemorySession : public TnxAbstractSession {
  REVUROV_SERVER_OBJECT_CLASS(MemorySession, TnxAbstractSession)
  MemorySession(MemoryEngine& aEngine, std::u16string_view aUserName, std::u16string_view aConnectedFrom,
                uint32_t aTimeout);

  uint32_t DatabaseOpen(TnxAbstractDatabase*& aDatabase, std::u16string_view aAliasType, std::u16string_view aAlias,
                        TnxAbstractTransContext* aTransContext, TnxOpenMode aOpenMode, TnxShareMode aShareMode,
                        uint32_t aTimeout) override;
  uint32_t TransContextCreate(TnxAbstractTransContext*& aTransContext, uint32_t aTimeout) override;
  MemoryTaskInfo* AddTaskInfo(int* aCancels = nullptr);
  void SetAuthenticated(bool aValue) { asAuthenticated = aValue; }

  uint32_t AliasAdd(std::u16string_view, std::u16string_view, bool) override { return NotSupported(u"AliasAdd"); }
  uint32_t AliasDelete(std::u16string_view) override { return NotSupported(u"AliasDelete"); }
  uint32_t AliasModify(std::u16string_view, std::u16string_view, std::u16string_view, bool) override { return NotSupported(u"AliasModify"); }
  uint32_t AliasGetList(TnxAliasDescriptors&) override { return NotSupported(u"AliasGetList"); }
  uint32_t AliasGetPath(std::u16string_view, std::u16string&) override { return NotSupported(u"AliasGetPath"); }
  uint32_t PasswordAdd(std::u16string_view) override { return NotSupported(u"PasswordAdd"); }
  uint32_t PasswordRemove(std::u16string_view) override { return NotSupported(u"PasswordRemove"); }
  uint32_t PasswordRemoveAll() override { return NotSupported(u"PasswordRemoveAll"); }
  uint32_t CloseInactiveFolders() override { return NotSupported(u"CloseInactiveFolders"); }
  uint32_t CloseInactiveTables() override { return NotSupported(u"CloseInactiveTables"); }
  uint32_t GetRegisteredClassList(TnxClassListType, platform::TStringList&) override { return NotSupported(u"GetRegisteredClassList"); }

protected:
  ~MemorySession() override = default;

private:
  MemoryEngine& msEngine;
};

class MemoryEngine : public TestEngine {
public:
  explicit MemoryEngine(platform::TComponent* aOwner) : TestEngine(aOwner) {}

  uint32_t SessionOpenEx(TnxAbstractServerObject*& aSession, std::u16string_view aUserName, std::u16string_view,
                         std::u16string_view aConnectedFrom, uint32_t aTimeout, int32_t) override {
    auto session = nxCreateServerObject<MemorySession>(*this, aUserName, aConnectedFrom, aTimeout);
    aSession = session.get();
    SessionAdded(std::move(session));
    return 0;
  }
  bool KeepSessionStats() const override { return false; }
  MemorySession* OpenMemory(std::u16string_view aUserName = u"", std::u16string_view aConnectedFrom = u"",
                            uint32_t aTimeout = 0) {
    TnxAbstractServerObject* session = nullptr;
    SessionOpenEx(session, aUserName, u"", aConnectedFrom, aTimeout, nxDefaultClientVersion);
    return static_cast<MemorySession*>(session);
  }

  std::set<std::u16string> Aliases{u"Data"};
  std::set<std::u16string> Tables{u"Customers", u"$System"};
  // Set as ALLOWSYSTEMTABLEACCESS of every database opened (none when empty).
  std::u16string NewDatabaseAllowSystem;
  InnerOutcome Inner = InnerOutcome::Succeed;
  // Runs inside the inner operation of a temporary database.
  std::function<void()> DuringInner;
  uint32_t RefuseContexts = 0;
  std::vector<DatabaseOpenCall> Opens;
  int DatabasesFreed = 0;
  int ForcedRollbacks = 0;
  bool LastAllowSystem = false;
  std::u16string LastStream;
  std::string StoredBytes = "stream bytes";
};

inline void MemoryTransContext::atcForceRollback() {
  ++ForcedRollbacks;
  ++mtcEngine.ForcedRollbacks;
  Level = 0;
}

inline MemoryDatabase::~MemoryDatabase() { ++mdEngine.DatabasesFreed; }

inline uint32_t MemoryDatabase::Inner() {
  if (mdEngine.DuringInner) mdEngine.DuringInner();
  if (mdEngine.Inner == InnerOutcome::Raise) throw EnxBaseException(nxeTableDoesNotExist);
  return mdEngine.Inner == InnerOutcome::Fail ? kInnerFailure : 0;
}

inline uint32_t MemoryDatabase::TableExists(std::u16string_view aTableName, std::u16string_view, bool& aExists,
                                            bool aAllowSystem) {
  mdEngine.LastAllowSystem = aAllowSystem;
  if (uint32_t result = Inner()) return result;
  aExists = mdEngine.Tables.count(std::u16string(aTableName)) > 0 && (aAllowSystem || !aTableName.starts_with(u'$'));
  return 0;
}

inline uint32_t MemoryDatabase::TableStreamRead(std::u16string_view aTableName, std::u16string_view,
                                                std::u16string_view aStreamName, platform::TStream& aStream) {
  mdEngine.LastStream = std::u16string(aTableName) + u"/" + std::u16string(aStreamName);
  if (uint32_t result = Inner()) return result;
  aStream.Write(mdEngine.StoredBytes.data(), int64_t(mdEngine.StoredBytes.size()));
  return 0;
}

inline uint32_t MemoryDatabase::TableStreamWrite(std::u16string_view aTableName, std::u16string_view,
                                                 std::u16string_view aStreamName, platform::TStream& aStream) {
  mdEngine.LastStream = std::u16string(aTableName) + u"/" + std::u16string(aStreamName);
  if (uint32_t result = Inner()) return result;
  std::string bytes(size_t(aStream.GetSize()), '\0');
  aStream.Seek(0, platform::TSeekOrigin::soBeginning);
  aStream.Read(bytes.data(), int64_t(bytes.size()));
  mdEngine.StoredBytes = bytes;
  return 0;
}

inline MemorySession::MemorySession(MemoryEngine& aEngine, std::u16string_view aUserName,
                                    std::u16string_view aConnectedFrom, uint32_t aTimeout)
    : TnxAbstractSession(&aEngine, aUserName, u"", aConnectedFrom, aTimeout), msEngine(aEngine) {}

inline uint32_t MemorySession::DatabaseOpen(TnxAbstractDatabase*& aDatabase, std::u16string_view aAliasType,
                                            std::u16string_view aAlias, TnxAbstractTransContext* aTransContext,
                                            TnxOpenMode aOpenMode, TnxShareMode aShareMode, uint32_t aTimeout) {
  aDatabase = nullptr;
  msEngine.Opens.push_back({std::u16string(aAliasType), std::u16string(aAlias), aTransContext != nullptr, aOpenMode,
                            aShareMode, aTimeout});
  if (!msEngine.Aliases.count(std::u16string(aAlias))) return nxeUnknownDatabase;
  try {
    auto database = nxCreateServerObject<MemoryDatabase>(this, aTransContext, aTimeout, msEngine);
    if (!msEngine.NewDatabaseAllowSystem.empty())
      database->OptionSet(nxAllowSystemTableAccessOption, msEngine.NewDatabaseAllowSystem);
    aDatabase = database.release();
  } catch (const std::exception& e) {
    return asoConvertException(e);
  }
  return 0;
}

inline uint32_t MemorySession::TransContextCreate(TnxAbstractTransContext*& aTransContext, uint32_t aTimeout) {
  aTransContext = nullptr;
  if (msEngine.RefuseContexts) return msEngine.RefuseContexts;
  aTransContext = nxCreateServerObject<MemoryTransContext>(this, aTimeout, msEngine).release();
  return 0;
}

inline MemoryTaskInfo* MemorySession::AddTaskInfo(int* aCancels) {
  return nxCreateServerObject<MemoryTaskInfo>(this, aCancels).release();
}

}  // namespace revurov::testing
