// TnxAbstractDatabase: a database opened in a session. It works in one
// transaction context, forwards the transaction operations to it, and
// declares the table operations the engines implement.
//
// Contract:
// - Opened without a context, the database makes one of its own through
//   its session, owns it, frees it with itself and hands its timeout on to
//   it; a context given by the client keeps its own timeout.
// - The database joins its session's database list and its context's list
//   at construction and leaves both at destruction; the engine's
//   DatabaseCount follows it from after construction to before
//   destruction.
// - A context destroyed under the database re-attaches it: the database
//   then owns a new context with its own timeout. Should the session refuse
//   a new context, the database is left without one and its transaction
//   operations answer 9990.
// - The database owns its cursors and statements: each joins its list at
//   construction; the database frees what is left of them when it goes.
//   With adCursorAutoFree set the last cursor to leave frees the database.
// - TableStreamRead and TableStreamWrite open a cursor on the table
//   (read-only or read-write, shared) and free it on every path.
// - Engines check table names first (engine/name_rules.h).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/abstract_statement.h"
#include "engine/abstract_trans_context.h"
#include "platform/guid.h"
#include "platform/interface.h"
#include "platform/string_list.h"

namespace revurov {

namespace platform {
class TStream;
}

class InxDatabaseCursorSource;
class InxDatabaseCursorSourceControl;
class TnxAbstractTaskInfo;
class TnxBaseTableMapperDescriptor;
class TnxDataDictionary;
class TnxFieldDescriptor;
class TnxIndexDescriptor;

enum TnxTableScope : uint8_t { tsPersistent, tsTempGlobal, tsTempDatabase, tsTempUnnamed };

enum TnxCursorOpenOption : uint8_t { cooRequestMultipartRecordGet, cooRecordGetFollowedByGetBookmark, cooFlipOrder };
using TnxCursorOpenOptions = uint8_t;  // bit set
enum TnxStatementExecDirectPhase : uint8_t { sedAlloc, sedPrepare, sedSetParams, sedExec, sedGetParams, sedFree };

// The filter timeout of the cursor a table stream operation opens.
inline constexpr uint32_t kTableStreamFilterTimeout = 500;

inline constexpr std::u16string_view nxAllowSystemTableAccessOption = u"ALLOWSYSTEMTABLEACCESS";

// The extended interface of a server's database, reached through
// CreateInstanceFor on "<Self>" of the database.
class InxAbstractDatabase31000 : public virtual platform::IInterface {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{41BDEED6-5BC3-4599-9212-15DEDBCD55C0}");
  // The base names of the tables whose dictionaries ask for a pack.
  virtual void GetTablesNeedingPack(std::vector<std::u16string>& aTables) = 0;
};

class TnxAbstractDatabase : public TnxBaseTransContext {
  REVUROV_SERVER_OBJECT_CLASS(TnxAbstractDatabase, TnxBaseTransContext)
  TnxAbstractTransContext* TransContext() const noexcept { return adTransContext; }
  bool OwnsTransContext() const noexcept { return adOwnedTransContext != nullptr; }
  TnxAbstractDatabase* SessionNext() const noexcept { return adSessionNext; }
  TnxAbstractDatabase* TransContextNext() const noexcept { return adTransContextNext; }
  // The children in list order, read under the list's padlock.
  std::vector<TnxAbstractCursor*> Cursors();
  std::vector<TnxAbstractStatement*> Statements();
  bool CursorAutoFree() const noexcept { return adCursorAutoFree; }

  // True when the database's own option ALLOWSYSTEMTABLEACCESS is "1".
  virtual bool ExplicitAllowSystem();
  virtual bool IsCache() const { return false; }
  void SetTimeout(uint32_t aValue) override;

  // Forwarded to the context.
  uint32_t TransactionStart(bool aFailSafe, bool aSnapShot) override;
  uint32_t TransactionStartWith(bool aFailSafe, bool aSnapShot, std::span<TnxAbstractCursor* const> aCursors) override;
  uint32_t TransactionCommit() override;
  uint32_t TransactionRollback() override;
  uint32_t TransactionCorrupted() override;
  uint32_t TransactionGetLevel(int32_t& aTransLevel) override;
  uint32_t TransactionGetInfo(TnxTransactionInfo& aTransInfo, bool aAllowCached) override;

  virtual uint32_t SetCacheDatabase(TnxAbstractDatabase* aCacheDatabase);
  // Not offered here: clears aControl, 12289.
  virtual uint32_t RegisterCursorSource(InxDatabaseCursorSource* aSource, InxDatabaseCursorSourceControl*& aControl);
  virtual uint32_t TableBuild(bool aOverWrite, std::u16string_view aTableName, std::u16string_view aPassword,
                              TnxDataDictionary* aDictionary, TnxTableScope aTableScope, bool aAllowSystem) = 0;
  virtual uint32_t TablePack(std::u16string_view aTableName, std::u16string_view aPassword,
                             TnxAbstractTaskInfo*& aTaskInfo) = 0;
  virtual uint32_t TableBackup(std::u16string_view aTableName, std::u16string_view aPassword,
                               TnxAbstractDatabase* aTargetDatabase, TnxAbstractTaskInfo*& aTaskInfo) = 0;
  virtual uint32_t TableRebuildIndex(std::u16string_view aTableName, std::u16string_view aPassword,
                                     std::u16string_view aIndexName, int32_t aIndexID,
                                     TnxAbstractTaskInfo*& aTaskInfo) = 0;
  virtual uint32_t TableRestructure(std::u16string_view aTableName, std::u16string_view aPassword,
                                    TnxDataDictionary* aDictionary, TnxBaseTableMapperDescriptor* aMapperDesc,
                                    bool aAllowSystem, TnxAbstractTaskInfo*& aTaskInfo) = 0;
  virtual uint32_t TableAddField(std::u16string_view aTableName, std::u16string_view aPassword,
                                 TnxFieldDescriptor* aFieldDesc) = 0;
  virtual uint32_t TableAddIndex(std::u16string_view aTableName, std::u16string_view aPassword,
                                 TnxIndexDescriptor* aIndexDesc, bool aNewDefault) = 0;
  virtual uint32_t TableDropIndex(std::u16string_view aTableName, std::u16string_view aPassword,
                                  std::u16string_view aIndexName, int32_t aIndexID) = 0;
  virtual uint32_t TableRename(std::u16string_view aOldName, std::u16string_view aNewName,
                               std::u16string_view aPassword) = 0;
  virtual uint32_t TableRecover(std::u16string_view aTableName, std::u16string_view aPassword,
                                TnxAbstractTaskInfo*& aTaskInfo) = 0;
  virtual uint32_t TableVerifyChecksum(std::u16string_view aTableName, std::u16string_view aPassword, bool aRaw,
                                       bool aForceRecheck, TnxAbstractTaskInfo*& aTaskInfo) = 0;
  virtual uint32_t TableDelete(std::u16string_view aTableName, std::u16string_view aPassword) = 0;
  virtual uint32_t TableEmpty(std::u16string_view aTableName, std::u16string_view aPassword) = 0;
  virtual uint32_t TableChangePassword(std::u16string_view aTableName, std::u16string_view aOldPassword,
                                       std::u16string_view aNewPassword) = 0;
  virtual uint32_t TableExists(std::u16string_view aTableName, std::u16string_view aPassword, bool& aExists,
                               bool aAllowSystem) = 0;
  virtual uint32_t TableGetDictionary(std::u16string_view aTableName, std::u16string_view aPassword,
                                      TnxDataDictionary* aDictionary) = 0;
  // Replaces aList's lines by the database's table names.
  virtual uint32_t TableGetList(platform::TStringList& aList) = 0;
  virtual uint32_t TableAutoIncGet(std::u16string_view aTableName, std::u16string_view aPassword,
                                   uint32_t& aValue) = 0;
  virtual uint32_t GetChangedTables(platform::TStringList& aTables) = 0;
  // Read and write a named stream stored with a table, through a cursor.
  virtual uint32_t TableStreamRead(std::u16string_view aTableName, std::u16string_view aPassword,
                                   std::u16string_view aStreamName, platform::TStream& aStream);
  virtual uint32_t TableStreamWrite(std::u16string_view aTableName, std::u16string_view aPassword,
                                    std::u16string_view aStreamName, platform::TStream& aStream);
  // aMarkedBlobs: the names of the blob fields to read ahead, or nil.
  virtual uint32_t CursorOpen(TnxAbstractCursor*& aCursor, std::u16string_view aTableName,
                              std::u16string_view aPassword, TnxOpenMode aOpenMode, TnxShareMode aShareMode,
                              uint32_t aTimeout, std::u16string_view aIndexName, int32_t aIndexID,
                              bool aAllowSystem, TnxCursorOpenOptions aOpenOptions, uint32_t aFilterTimeout,
                              const platform::TStringList* aMarkedBlobs) = 0;
  virtual uint32_t CursorCacheOpen(TnxAbstractCursor*& aCursor, std::u16string_view aTableName,
                                   std::u16string_view aPassword, TnxOpenMode aOpenMode, TnxShareMode aShareMode,
                                   uint32_t aTimeout, std::u16string_view aIndexName, int32_t aIndexID,
                                   bool aAllowSystem, TnxCursorOpenOptions aOpenOptions, uint32_t aFilterTimeout);
  virtual uint32_t StatementAlloc(TnxAbstractStatement*& aStatement, uint32_t aTimeout) = 0;
  virtual uint32_t StatementExecDirect(uint32_t aTimeout, TnxStatementType aStatementType,
                                       std::u16string_view aQueryText, platform::TStream* aPrepareStream,
                                       const TnxSqlParamList& aParams, platform::TStream* aSetParamsStream,
                                       TnxAbstractCursor*& aCursor, TnxOpenMode aOpenMode,
                                       platform::TStream* aExecStream, platform::TStream* aGetParamsStream,
                                       TnxStatementExecDirectPhase& aPhase) = 0;
  virtual uint32_t GetFreespace(int64_t& aFreeSpace) = 0;
  virtual uint32_t GetPath(std::u16string& aPath) = 0;
  virtual uint32_t GetAlias(std::u16string& aAlias) = 0;

  platform::HRESULT CreateInstanceFor(std::u16string_view aName, const platform::TGUID& aClassID,
                                      platform::IInterface* aOuter, const platform::TGUID& aInterfaceID,
                                      void** aInterface) override;
  void GetExceptionData(InxExceptionDataContainer& aContainer, bool aIncludeChildren) override;
  void AfterConstruction() override;
  void BeforeDestruction() override;

protected:
  // Raises the session's answer when it cannot make the context the
  // database needs.
  TnxAbstractDatabase(TnxAbstractSession* aSession, TnxAbstractTransContext* aTransContext, uint32_t aTimeout);
  ~TnxAbstractDatabase() override;
  void PrepareDestroy() override;
  TnxExtendableServerObject* esoOptionParent() const override;
  // The database takes the context it was opened in as its own: it frees it
  // with itself, after leaving it. Nothing when it owns one already.
  void AdoptTransContext() noexcept;

  // Set by an engine that opens a database for a single cursor.
  bool adCursorAutoFree = false;

private:
  friend class TnxAbstractCursor;
  friend class TnxAbstractStatement;
  friend class TnxAbstractTransContext;
  friend class TnxAbstractSession;

  // A table stream operation on a cursor opened for it.
  template <class F>
  uint32_t WithTableCursor(std::u16string_view aTableName, std::u16string_view aPassword, TnxOpenMode aOpenMode,
                           F&& aOperation);

  TnxAbstractSession* OwnSession() const noexcept;
  void JoinTransContext(TnxAbstractTransContext* aTransContext) noexcept;
  void LeaveTransContext() noexcept;
  // Run by a dying context that this database is attached to.
  void ReattachFrom(TnxAbstractTransContext* aDying) noexcept;

  TnxAbstractDatabase* adSessionPrev = nullptr;
  TnxAbstractDatabase* adSessionNext = nullptr;
  TnxAbstractTransContext* adTransContext = nullptr;
  TnxServerObjectPtr<TnxAbstractTransContext> adOwnedTransContext;
  TnxAbstractDatabase* adTransContextPrev = nullptr;
  TnxAbstractDatabase* adTransContextNext = nullptr;
  TnxPadlock adCursorsPadlock{true};
  TnxAbstractCursor* adCursorsHead = nullptr;
  TnxAbstractCursor* adCursorsTail = nullptr;
  TnxPadlock adStatementsPadlock{true};
  TnxAbstractStatement* adStatementsHead = nullptr;
  TnxAbstractStatement* adStatementsTail = nullptr;
  bool adLockedIncDone = false;
};

}  // namespace revurov
