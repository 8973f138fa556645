// The database component: one open database of a session, a server alias
// or a folder path. Through it an application lists, creates, deletes,
// renames, packs, re-indexes, restructures, backs up and recovers tables
// and runs transactions. Every failure is an EnxDatabaseError naming the
// database.
//
// Contract:
// - Activation brings up the session (and the transaction context, when
//   one is named) first; a failed open leaves the database as it was and
//   holds no engine database. Closing frees the engine database on every
//   path, whatever the engine raises.
// - An implicit database is made by its session for one alias and owned
//   by it: it keeps that session and that alias (a change of letter case
//   only is accepted) and goes exactly once, with its session or when
//   freed before it.
// - Setters take effect only when their checks pass; one thread at a time
//   uses a database, which takes no lock of its own.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "client/data_access_component.h"
#include "dictionary/engine_types.h"
#include "engine/server_object.h"

namespace revurov {

namespace platform {
class TStream;
class TStringList;
}

class TnxAbstractDatabase;
class TnxAbstractSession;
class TnxAbstractTaskInfo;
class TnxAbstractTransContext;
class TnxBaseSession;
class TnxBaseTableMapperDescriptor;
class TnxDataDictionary;
class TnxFieldDescriptor;
class TnxTransContext;
enum TnxTableScope : uint8_t;

// Sent by a session to its databases: close now.
inline constexpr TnxNotifyOp nxn_CloseDatabase = 7;

// What a Timeout of -1 gives a component without a session.
inline constexpr uint32_t nxDefaultComponentTimeout = 10000;

// The task of a background table operation; the caller owns it.
using TnxTaskInfoPtr = TnxServerObjectPtr<TnxAbstractTaskInfo>;

// A component bound to a session: a database or a transaction context.
class TnxSessionOwnedDataAccessStateComponent : public TnxDataAccessStateComponent {
  REVUROV_COMPONENT_CLASS(TnxSessionOwnedDataAccessStateComponent, TnxDataAccessStateComponent)
  using TnxDataAccessStateComponent::TnxDataAccessStateComponent;

  TnxBaseSession* Session() const noexcept { return soSession; }
  virtual void SetSession(TnxBaseSession* aValue);
  // The calling thread's default session when none is set (may stay nil).
  virtual void EnsureSession();
  virtual void ApplyTimeout() = 0;

  int32_t Timeout() const noexcept { return soTimeout; }
  // Re-applied at once when changed.
  void SetTimeout(int32_t aValue);
  // Timeout when not negative, else the session's, else 10000.
  uint32_t GetEffectiveTimeout() const;

  void DependentNotify(TnxComponent* aSender, TnxNotifyOp aOp, void* aData) override;
  bool IsDependentOn(TnxStateComponent* aOther) const override;

protected:
  void Loaded() override;
  // "No owning session" without one.
  void RequireSession() const;

private:
  TnxBaseSession* soSession = nullptr;
  int32_t soTimeout = -1;
};

class TnxBaseDatabase : public TnxSessionOwnedDataAccessStateComponent {
  REVUROV_COMPONENT_CLASS(TnxBaseDatabase, TnxSessionOwnedDataAccessStateComponent)
  explicit TnxBaseDatabase(platform::TComponent* aOwner);
  ~TnxBaseDatabase() override;

  // The engine session's operation that opens this kind of database.
  using TnxDatabaseOpenMethod = uint32_t (TnxAbstractSession::*)(TnxAbstractDatabase*&, std::u16string_view,
                                                                   std::u16string_view, TnxAbstractTransContext*,
                                                                   TnxOpenMode, TnxShareMode, uint32_t);
  virtual TnxDatabaseOpenMethod GetDatabaseOpenMethod() const;

  // The engine database while started; nil otherwise.
  TnxAbstractDatabase* AbstractDatabase() const noexcept { return bdbAbstractDatabase.get(); }
  bool Implicit() const noexcept { return bdbImplicit; }

  const std::u16string& AliasName() const noexcept { return bdbAliasName; }
  // Trimmed; a non-empty name empties AliasPath.
  void SetAliasName(std::u16string_view aValue);
  const std::u16string& AliasPath() const noexcept { return bdbAliasPath; }
  // Trimmed and without a trailing "/" (the root keeps it); a non-empty
  // path empties AliasName.
  void SetAliasPath(std::u16string_view aValue);
  bool Exclusive() const noexcept { return bdbExclusive; }
  void SetExclusive(bool aValue);
  bool ReadOnly() const noexcept { return bdbReadOnly; }
  void SetReadOnly(bool aValue);
  bool FailSafe() const noexcept { return bdbFailSafe; }
  // Allowed while active: it steers the next transaction only.
  void SetFailSafe(bool aValue) noexcept { bdbFailSafe = aValue; }
  TnxTransContext* TransContext() const noexcept { return bdbTransContext; }
  void SetTransContext(TnxTransContext* aValue);

  // Ignored for an implicit database; otherwise also takes the session's
  // default transaction context unless its own belongs to the session.
  void SetSession(TnxBaseSession* aValue) override;
  void EnsureSession() override;
  // The engine database's timeout inside one timeout batch.
  void ApplyTimeout() override;

  // True when active; else whether it could be opened (an alias: whether
  // the session knows it).
  bool Exists();
  uint32_t GetFreeDiskSpaceEx(int64_t& aFreeSpace);
  int64_t GetFreeDiskSpace();
  std::u16string GetPath();
  // The engine's path when open, else AliasPath, else the alias's path.
  std::u16string Path();

  void DependentNotify(TnxComponent* aSender, TnxNotifyOp aOp, void* aData) override;
  bool IsDependentOn(TnxStateComponent* aOther) const override;

protected:
  void DoInitialize() override;
  void DoStart() override;
  void DoStop() override;

private:
  friend class TnxBaseSession;

  // Whether aValue (trimmed, as the setters store it) may replace aCurrent.
  bool AliasChangeAllowed(std::u16string_view aCurrent, std::u16string_view aValue);

  TnxTransContext* bdbTransContext = nullptr;
  std::u16string bdbAliasName;
  std::u16string bdbAliasPath;
  TnxServerObjectPtr<TnxAbstractDatabase> bdbAbstractDatabase;
  bool bdbExclusive = false;
  bool bdbReadOnly = false;
  bool bdbFailSafe = false;
  bool bdbImplicit = false;
};

class TnxCacheDatabase : public TnxBaseDatabase {
  REVUROV_COMPONENT_CLASS(TnxCacheDatabase, TnxBaseDatabase)
  using TnxBaseDatabase::TnxBaseDatabase;
  TnxDatabaseOpenMethod GetDatabaseOpenMethod() const override;
};

class TnxDatabase : public TnxBaseDatabase {
  REVUROV_COMPONENT_CLASS(TnxDatabase, TnxBaseDatabase)
  explicit TnxDatabase(platform::TComponent* aOwner);
  ~TnxDatabase() override;

  // Whether this is its session's default database.
  bool Default() const;
  void SetDefault(bool aValue);
  TnxCacheDatabase* CacheDatabase() const noexcept { return dbCacheDatabase; }
  void SetCacheDatabase(TnxCacheDatabase* aValue);

  // Table operations: each needs a started database unless said otherwise;
  // the Ex forms answer the code, the others raise it. A nil list raises
  // 9986.
  void GetTableNames(platform::TStringList* aList);
  void GetChangedTables(platform::TStringList* aList);
  // False for an empty name, even when inactive.
  bool TableExists(std::u16string_view aTableName, std::u16string_view aPassword = {});
  uint32_t CreateTableEx(bool aOverWrite, std::u16string_view aTableName, std::u16string_view aPassword,
                         TnxDataDictionary* aDictionary, TnxTableScope aTableScope);
  void CreateTable(bool aOverWrite, std::u16string_view aTableName, std::u16string_view aPassword,
                   TnxDataDictionary* aDictionary, TnxTableScope aTableScope);
  // Nothing for an empty name; a missing table is no error.
  void DeleteTable(std::u16string_view aTableName, std::u16string_view aPassword = {});
  void EmptyTable(std::u16string_view aTableName, std::u16string_view aPassword = {});
  void RenameTable(std::u16string_view aOldName, std::u16string_view aNewName, std::u16string_view aPassword = {});
  uint32_t PackTableEx(std::u16string_view aTableName, std::u16string_view aPassword, TnxTaskInfoPtr& aTaskInfo);
  TnxTaskInfoPtr PackTable(std::u16string_view aTableName, std::u16string_view aPassword = {});
  uint32_t ReIndexTableEx(std::u16string_view aTableName, std::u16string_view aPassword,
                          std::u16string_view aIndexName, TnxTaskInfoPtr& aTaskInfo);
  uint32_t ReIndexTableEx(std::u16string_view aTableName, std::u16string_view aPassword, int32_t aIndexNum,
                          TnxTaskInfoPtr& aTaskInfo);
  TnxTaskInfoPtr ReIndexTable(std::u16string_view aTableName, std::u16string_view aPassword,
                              std::u16string_view aIndexName);
  TnxTaskInfoPtr ReIndexTable(std::u16string_view aTableName, std::u16string_view aPassword, int32_t aIndexNum);
  uint32_t RestructureTableEx(std::u16string_view aTableName, std::u16string_view aPassword,
                              TnxDataDictionary* aDictionary, TnxBaseTableMapperDescriptor* aMapperDesc,
                              TnxTaskInfoPtr& aTaskInfo);
  TnxTaskInfoPtr RestructureTable(std::u16string_view aTableName, std::u16string_view aPassword,
                                  TnxDataDictionary* aDictionary, TnxBaseTableMapperDescriptor* aMapperDesc);
  uint32_t RecoverTableEx(std::u16string_view aTableName, std::u16string_view aPassword, TnxTaskInfoPtr& aTaskInfo);
  TnxTaskInfoPtr RecoverTable(std::u16string_view aTableName, std::u16string_view aPassword = {});
  uint32_t VerifyChecksumTableEx(std::u16string_view aTableName, std::u16string_view aPassword, bool aRaw,
                                 bool aForceRecheck, TnxTaskInfoPtr& aTaskInfo);
  TnxTaskInfoPtr VerifyChecksumTable(std::u16string_view aTableName, std::u16string_view aPassword, bool aRaw,
                                     bool aForceRecheck);
  // The target must be an active database of the same session on another
  // folder.
  uint32_t BackupTableEx(std::u16string_view aTableName, std::u16string_view aPassword, TnxBaseDatabase* aTarget,
                         TnxTaskInfoPtr& aTaskInfo);
  TnxTaskInfoPtr BackupTable(std::u16string_view aTableName, std::u16string_view aPassword,
                             TnxBaseDatabase* aTarget);
  uint32_t AddFieldToTable(std::u16string_view aTableName, std::u16string_view aPassword,
                           TnxFieldDescriptor* aFieldDesc);
  uint32_t ChangePasswordEx(std::u16string_view aTableName, std::u16string_view aOldPassword,
                            std::u16string_view aNewPassword);
  void ChangePassword(std::u16string_view aTableName, std::u16string_view aOldPassword,
                      std::u16string_view aNewPassword);
  uint32_t GetAutoIncValue(std::u16string_view aTableName, std::u16string_view aPassword, uint32_t& aValue);
  // The dictionary of the table named without its extension.
  uint32_t GetDataDictionaryEx(std::u16string_view aTableName, std::u16string_view aPassword,
                               TnxDataDictionary* aDictionary);
  void GetDataDictionary(std::u16string_view aTableName, std::u16string_view aPassword,
                         TnxDataDictionary* aDictionary);
  uint32_t TableStreamReadEx(std::u16string_view aTableName, std::u16string_view aPassword,
                             std::u16string_view aStreamName, platform::TStream& aStream);
  // A new stream holding the named stream; the caller owns it.
  std::unique_ptr<platform::TStream> TableStreamRead(std::u16string_view aTableName, std::u16string_view aPassword,
                                                     std::u16string_view aStreamName);
  uint32_t TableStreamWriteEx(std::u16string_view aTableName, std::u16string_view aPassword,
                              std::u16string_view aStreamName, platform::TStream& aStream);
  void TableStreamWrite(std::u16string_view aTableName, std::u16string_view aPassword,
                        std::u16string_view aStreamName, platform::TStream& aStream);

  // Transactions of the engine database.
  void StartTransaction(bool aSnapShot = false);
  void Commit();
  void Rollback();
  void TransactionCorrupted();
  // False on an inactive database.
  bool InTransaction();
  // True when it started one; False when one was running already.
  bool TryStartTransaction(bool aSnapShot = false);

  bool IsDependentOn(TnxStateComponent* aOther) const override;
  void DependentNotify(TnxComponent* aSender, TnxNotifyOp aOp, void* aData) override;

protected:
  void Loaded() override;
  void DoStart() override;

private:
  bool dbLoadedDefault = false;
  TnxCacheDatabase* dbCacheDatabase = nullptr;
};

}  // namespace revurov
