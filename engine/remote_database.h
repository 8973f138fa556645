// TnxRemoteDatabase: the client side of a database opened on a server.
// The session's DatabaseOpen makes it from the server's reply.
//
// Contract:
// - Its requests go through its session with a source token of its own,
//   its own thread priority and its own timeout.
// - Opened with a context the server made for it, it owns that context and
//   frees it with itself; the context does not own its server ID, so
//   nothing is sent for it. Opened without a context, the base makes one
//   through the session ($151), which closes its ID when freed.
// - A timeout change joins an open timeout batch, else goes out as $2F0.
// - Freed, it closes the server's database ($2FF) before its context goes;
//   the close's failure is swallowed.
// - Replies are untrusted: a table list that breaks off answers the
//   reader's error and adds nothing.
// - Table maintenance, existence, streams, options, path and free space are
//   requests of their own; names are checked first and a refused name
//   sends nothing. Raw replies shorter than their layout answer 15522.
// - StatementAlloc makes a remote statement for the server's ID.
//   StatementExecDirect checks every block of its reply against the bytes
//   that came (15522 otherwise) and the values read back as a statement's
//   GetParams does.
// - CursorOpen: an index ID the server names outside the table answers
//   15522 and the server's cursor is closed again.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "dictionary/engine_types.h"
#include "engine/abstract_database.h"
#include "engine/remote_dictionary.h"
#include "engine/remote_session.h"

namespace revurov {

class TnxMemoryStream;
class TnxRemoteTransContext;
class TnxRequestWriter;
struct TnxRemoteRequestTarget;

inline constexpr TnxMsgID nxnmDatabaseTableBuild = 0x211;
inline constexpr TnxMsgID nxnmDatabaseStatementAlloc = 0x241;
inline constexpr TnxMsgID nxnmDatabaseStatementExecDirect = 0x242;
inline constexpr TnxMsgID nxnmDatabaseTableAddIndex = 0x215;
inline constexpr TnxMsgID nxnmDatabaseTableChangePassword = 0x21B;
inline constexpr TnxMsgID nxnmDatabaseTableBackup = 0x21C;
inline constexpr TnxMsgID nxnmDatabaseTableVerifyChecksum = 0x21D;
inline constexpr TnxMsgID nxnmDatabaseTableAddField = 0x21E;
inline constexpr TnxMsgID nxnmDatabaseTableAutoIncGet = 0x224;
inline constexpr TnxMsgID nxnmDatabaseGetFreespace = 0x251;
inline constexpr TnxMsgID nxnmDatabaseGetPath = 0x253;
inline constexpr TnxMsgID nxnmDatabaseTableStreamRead = 0x271;
inline constexpr TnxMsgID nxnmDatabaseTableStreamWrite = 0x272;
inline constexpr TnxMsgID nxnmDatabaseOptionBase = 0x2F0;
inline constexpr TnxMsgID nxnmDatabaseTablePack = 0x712;
inline constexpr TnxMsgID nxnmDatabaseTableRebuildIndex = 0x713;
inline constexpr TnxMsgID nxnmDatabaseTableRestructure = 0x714;
inline constexpr TnxMsgID nxnmDatabaseTableDropIndex = 0x716;
inline constexpr TnxMsgID nxnmDatabaseTableRename = 0x717;
inline constexpr TnxMsgID nxnmDatabaseTableDelete = 0x718;
inline constexpr TnxMsgID nxnmDatabaseTableEmpty = 0x719;
inline constexpr TnxMsgID nxnmDatabaseTableRecover = 0x71A;
inline constexpr TnxMsgID nxnmDatabaseTableExists = 0x721;
inline constexpr TnxMsgID nxnmDatabaseTableGetList = 0x223;
inline constexpr TnxMsgID nxnmDatabaseGetChangedTables = 0x226;
inline constexpr TnxMsgID nxnmDatabaseSetTimeout = 0x2F0;
inline constexpr TnxMsgID nxnmDatabaseClose = 0x2FF;
inline constexpr TnxMsgID nxnmDatabaseCursorOpen = 0x232;
inline constexpr TnxMsgID nxnmDatabaseCursorOpenCached = 0x233;
inline constexpr TnxMsgID nxnmDatabaseCursorOpenReduced = 0x234;

// Servers above these take the dictionary identity, and the index and
// filter timeout with the open.
inline constexpr int32_t nxDictionaryCacheMinServer = 46004;
inline constexpr int32_t nxCursorOpenReducedMinServer = 47001;
// Servers above it verify checksums.
inline constexpr int32_t nxVerifyChecksumMinServer = 30899;

class TnxRemoteDatabase : public TnxAbstractDatabase {
  REVUROV_SERVER_OBJECT_CLASS(TnxRemoteDatabase, TnxAbstractDatabase)
  // aOwnsCtx: the database owns aTransContext (one the server made for it).
  TnxRemoteDatabase(TnxRemoteSession* aSession, uint32_t aTimeout, bool aOwnsCtx,
                    TnxAbstractTransContext* aTransContext, TnxDatabaseID aDatabaseID);

  TnxBaseID RemoteID() const noexcept override { return rdDatabaseID; }
  // Paths the local walk does not take go to the server object.
  platform::HRESULT CreateInstanceFor(std::u16string_view aName, const platform::TGUID& aClassID,
                                      platform::IInterface* aOuter, const platform::TGUID& aInterfaceID,
                                      void** aInterface) override;
  bool IsRemote() const noexcept override { return true; }
  int32_t RemoteThreadPriority() const override { return rdRemoteThreadPriority; }
  void SetRemoteThreadPriority(int32_t aValue) override { rdRemoteThreadPriority = aValue; }
  int32_t ServerVersion() const noexcept { return rdServerVersion; }
  TnxRemoteSession& Session() const noexcept { return rdSession; }
  TnxRemoteDictionaryCache& DictionaryCache() noexcept { return rdDictionaryCache; }
  void SetTimeout(uint32_t aValue) override;

  // Replaces aList's lines by the server's names in its order; empty after
  // a veto or a failure.
  uint32_t TableGetList(platform::TStringList& aList) override;
  // Appends the server's names to aTables.
  uint32_t GetChangedTables(platform::TStringList& aTables) override;

  // ---- table maintenance, existence, streams, options, path, free space ----
  // Names are checked before anything is sent; a task the server starts
  // comes back as a TnxRemoteTaskInfo of the session.
  uint32_t TableBuild(bool aOverWrite, std::u16string_view aTableName, std::u16string_view aPassword,
                      TnxDataDictionary* aDictionary, TnxTableScope aTableScope, bool aAllowSystem) override;
  uint32_t TablePack(std::u16string_view aTableName, std::u16string_view aPassword,
                     TnxAbstractTaskInfo*& aTaskInfo) override;
  // aTargetDatabase: a remote database of this session (9986, 10760).
  uint32_t TableBackup(std::u16string_view aTableName, std::u16string_view aPassword,
                       TnxAbstractDatabase* aTargetDatabase, TnxAbstractTaskInfo*& aTaskInfo) override;
  uint32_t TableRebuildIndex(std::u16string_view aTableName, std::u16string_view aPassword,
                             std::u16string_view aIndexName, int32_t aIndexID,
                             TnxAbstractTaskInfo*& aTaskInfo) override;
  uint32_t TableRestructure(std::u16string_view aTableName, std::u16string_view aPassword,
                            TnxDataDictionary* aDictionary, TnxBaseTableMapperDescriptor* aMapperDesc,
                            bool aAllowSystem, TnxAbstractTaskInfo*& aTaskInfo) override;
  uint32_t TableAddField(std::u16string_view aTableName, std::u16string_view aPassword,
                         TnxFieldDescriptor* aFieldDesc) override;
  uint32_t TableAddIndex(std::u16string_view aTableName, std::u16string_view aPassword,
                         TnxIndexDescriptor* aIndexDesc, bool aNewDefault) override;
  uint32_t TableDropIndex(std::u16string_view aTableName, std::u16string_view aPassword,
                          std::u16string_view aIndexName, int32_t aIndexID) override;
  uint32_t TableRename(std::u16string_view aOldName, std::u16string_view aNewName,
                       std::u16string_view aPassword) override;
  uint32_t TableRecover(std::u16string_view aTableName, std::u16string_view aPassword,
                        TnxAbstractTaskInfo*& aTaskInfo) override;
  // Servers of 30899 and below cannot: 12039, nothing sent.
  uint32_t TableVerifyChecksum(std::u16string_view aTableName, std::u16string_view aPassword, bool aRaw,
                               bool aForceRecheck, TnxAbstractTaskInfo*& aTaskInfo) override;
  uint32_t TableDelete(std::u16string_view aTableName, std::u16string_view aPassword) override;
  uint32_t TableEmpty(std::u16string_view aTableName, std::u16string_view aPassword) override;
  uint32_t TableChangePassword(std::u16string_view aTableName, std::u16string_view aOldPassword,
                               std::u16string_view aNewPassword) override;
  // An empty name answers False and 0 without a request.
  uint32_t TableExists(std::u16string_view aTableName, std::u16string_view aPassword, bool& aExists,
                       bool aAllowSystem) override;
  uint32_t TableAutoIncGet(std::u16string_view aTableName, std::u16string_view aPassword,
                           uint32_t& aValue) override;
  // Requests of their own on servers above 47001 with cfMessageReduction;
  // else through a cursor.
  uint32_t TableStreamRead(std::u16string_view aTableName, std::u16string_view aPassword,
                           std::u16string_view aStreamName, platform::TStream& aStream) override;
  uint32_t TableStreamWrite(std::u16string_view aTableName, std::u16string_view aPassword,
                            std::u16string_view aStreamName, platform::TStream& aStream) override;
  uint32_t GetFreespace(int64_t& aFreeSpace) override;
  uint32_t GetPath(std::u16string& aPath) override;
  uint32_t GetAlias(std::u16string& aAlias) override {
    aAlias.clear();
    return NotSupported(u"GetAlias");
  }
  // A cache database only (9990); its context is handed to this
  // database's context.
  uint32_t SetCacheDatabase(TnxAbstractDatabase* aCacheDatabase) override;
  TnxAbstractDatabase* CacheDatabase() const noexcept { return rdCacheDatabase; }
  // With cfMessageReduction False without a request until the option was
  // set to "1" here.
  bool ExplicitAllowSystem() override;
  // The database's options live at the server.
  uint32_t OptionClear(std::u16string_view aName) override;
  uint32_t OptionSet(std::u16string_view aName, std::u16string_view aValue) override;
  uint32_t OptionGet(std::u16string_view aName, std::u16string& aValue) override;
  uint32_t OptionGetEffective(std::u16string_view aName, std::u16string& aValue) override;
  uint32_t OptionList(platform::TStringList& aList) override;
  uint32_t OptionListEffective(platform::TStringList& aList) override;

  uint32_t TableGetDictionary(std::u16string_view, std::u16string_view, TnxDataDictionary*) override {
    return NotSupported(u"TableGetDictionary");
  }
  // $232 to $234 as the server version and the client features allow; a
  // dictionary the server does not send again comes from the in-memory
  // cache. Without a local cache database there is no cache table, so no
  // $235 and no marked blobs.
  uint32_t CursorOpen(TnxAbstractCursor*& aCursor, std::u16string_view aTableName, std::u16string_view aPassword,
                      TnxOpenMode aOpenMode, TnxShareMode aShareMode, uint32_t aTimeout,
                      std::u16string_view aIndexName, int32_t aIndexID, bool aAllowSystem,
                      TnxCursorOpenOptions aOpenOptions, uint32_t aFilterTimeout,
                      const platform::TStringList* aMarkedBlobs) override;
  // A remote statement for the ID the server answers ($241).
  uint32_t StatementAlloc(TnxAbstractStatement*& aStatement, uint32_t aTimeout) override;
  // Prepare, parameters, execution and read-back in one request ($242);
  // aPhase is where the server stopped.
  uint32_t StatementExecDirect(uint32_t aTimeout, TnxStatementType aStatementType, std::u16string_view aQueryText,
                               platform::TStream* aPrepareStream, const TnxSqlParamList& aParams,
                               platform::TStream* aSetParamsStream, TnxAbstractCursor*& aCursor,
                               TnxOpenMode aOpenMode, platform::TStream* aExecStream,
                               platform::TStream* aGetParamsStream, TnxStatementExecDirectPhase& aPhase) override;

protected:
  ~TnxRemoteDatabase() override;

private:
  TnxRemoteRequestTarget rdTarget() const noexcept;
  template <class F>
  uint32_t rdGuarded(F&& aOperation) noexcept;
  bool rdMessageReductionServer() const noexcept;
  // Sends aWriter as aMsgID; on success the raw task ID of the reply
  // becomes aTaskInfo, with this database's priority when aPriority.
  uint32_t rdTaskRequest(TnxRequestWriter& aWriter, TnxMsgID aMsgID, bool aPriority,
                         TnxAbstractTaskInfo*& aTaskInfo);
  // A request of db, name and password with a before- and after-
  // notification of aAction with the name.
  uint32_t rdNamedRequest(TnxMsgID aMsgID, TnxEngineAction aAction, std::u16string_view aTableName,
                          std::u16string_view aPassword);

  // Sends the raw database ID as aMsgID and reads the tagged name list of
  // the reply into aNames (cleared first); untouched when the request
  // fails, partly filled when the reply breaks off (the reader raises).
  uint32_t rdRequestNameList(TnxMsgID aMsgID, platform::TStringList& aNames);

  TnxRemoteSession& rdSession;
  TnxRemoteSource rdSource;
  TnxThreadPriority rdRemoteThreadPriority = 0;
  int32_t rdServerVersion = 0;
  TnxDatabaseID rdDatabaseID = 0;
  std::unique_ptr<TnxMemoryStream> rdReply;
  std::unique_ptr<TnxMemoryStream> rdRequest;
  // Goes before the cursors (the base frees them): it detaches the
  // dictionaries they still hold.
  TnxRemoteDictionaryCache rdDictionaryCache;
  TnxAbstractDatabase* rdCacheDatabase = nullptr;  // not owned
  bool rdExplicitAllowSystem = false;
};

}  // namespace revurov
