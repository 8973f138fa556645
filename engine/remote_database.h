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
// - Operations that need cursors, statements or task infos come with their
//   requests; until then each answers 12289.
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

class TnxRemoteDatabase : public TnxAbstractDatabase {
  REVUROV_SERVER_OBJECT_CLASS(TnxRemoteDatabase, TnxAbstractDatabase)
  // aOwnsCtx: the database owns aTransContext (one the server made for it).
  TnxRemoteDatabase(TnxRemoteSession* aSession, uint32_t aTimeout, bool aOwnsCtx,
                    TnxAbstractTransContext* aTransContext, TnxDatabaseID aDatabaseID);

  TnxBaseID RemoteID() const noexcept override { return rdDatabaseID; }
  bool IsRemote() const noexcept override { return true; }
  int32_t RemoteThreadPriority() const override { return rdRemoteThreadPriority; }
  void SetRemoteThreadPriority(int32_t aValue) override { rdRemoteThreadPriority = aValue; }
  int32_t ServerVersion() const noexcept { return rdServerVersion; }
  TnxRemoteSession& Session() const noexcept { return rdSession; }
  TnxRemoteDictionaryCache& DictionaryCache() noexcept { return rdDictionaryCache; }
  void SetTimeout(uint32_t aValue) override;

  // Clears aList, then the server's names in its order.
  uint32_t TableGetList(platform::TStringList& aList) override;
  // Appends the server's names to aTables.
  uint32_t GetChangedTables(platform::TStringList& aTables) override;

  uint32_t TableBuild(bool, std::u16string_view, std::u16string_view, TnxDataDictionary*, TnxTableScope,
                      bool) override {
    return NotSupported(u"TableBuild");
  }
  uint32_t TablePack(std::u16string_view, std::u16string_view, TnxAbstractTaskInfo*& aTaskInfo) override {
    aTaskInfo = nullptr;
    return NotSupported(u"TablePack");
  }
  uint32_t TableBackup(std::u16string_view, std::u16string_view, TnxAbstractDatabase*,
                       TnxAbstractTaskInfo*& aTaskInfo) override {
    aTaskInfo = nullptr;
    return NotSupported(u"TableBackup");
  }
  uint32_t TableRebuildIndex(std::u16string_view, std::u16string_view, std::u16string_view, int32_t,
                             TnxAbstractTaskInfo*& aTaskInfo) override {
    aTaskInfo = nullptr;
    return NotSupported(u"TableRebuildIndex");
  }
  uint32_t TableRestructure(std::u16string_view, std::u16string_view, TnxDataDictionary*,
                            TnxBaseTableMapperDescriptor*, bool, TnxAbstractTaskInfo*& aTaskInfo) override {
    aTaskInfo = nullptr;
    return NotSupported(u"TableRestructure");
  }
  uint32_t TableAddField(std::u16string_view, std::u16string_view, TnxFieldDescriptor*) override {
    return NotSupported(u"TableAddField");
  }
  uint32_t TableAddIndex(std::u16string_view, std::u16string_view, TnxIndexDescriptor*, bool) override {
    return NotSupported(u"TableAddIndex");
  }
  uint32_t TableDropIndex(std::u16string_view, std::u16string_view, std::u16string_view, int32_t) override {
    return NotSupported(u"TableDropIndex");
  }
  uint32_t TableRename(std::u16string_view, std::u16string_view, std::u16string_view) override {
    return NotSupported(u"TableRename");
  }
  uint32_t TableRecover(std::u16string_view, std::u16string_view, TnxAbstractTaskInfo*& aTaskInfo) override {
    aTaskInfo = nullptr;
    return NotSupported(u"TableRecover");
  }
  uint32_t TableVerifyChecksum(std::u16string_view, std::u16string_view, bool, bool,
                               TnxAbstractTaskInfo*& aTaskInfo) override {
    aTaskInfo = nullptr;
    return NotSupported(u"TableVerifyChecksum");
  }
  uint32_t TableDelete(std::u16string_view, std::u16string_view) override { return NotSupported(u"TableDelete"); }
  uint32_t TableEmpty(std::u16string_view, std::u16string_view) override { return NotSupported(u"TableEmpty"); }
  uint32_t TableChangePassword(std::u16string_view, std::u16string_view, std::u16string_view) override {
    return NotSupported(u"TableChangePassword");
  }
  uint32_t TableExists(std::u16string_view, std::u16string_view, bool& aExists, bool) override {
    aExists = false;
    return NotSupported(u"TableExists");
  }
  uint32_t TableGetDictionary(std::u16string_view, std::u16string_view, TnxDataDictionary*) override {
    return NotSupported(u"TableGetDictionary");
  }
  uint32_t TableAutoIncGet(std::u16string_view, std::u16string_view, uint32_t& aValue) override {
    aValue = 0;
    return NotSupported(u"TableAutoIncGet");
  }
  uint32_t TableStreamRead(std::u16string_view, std::u16string_view, std::u16string_view,
                           platform::TStream&) override {
    return NotSupported(u"TableStreamRead");
  }
  uint32_t TableStreamWrite(std::u16string_view, std::u16string_view, std::u16string_view,
                            platform::TStream&) override {
    return NotSupported(u"TableStreamWrite");
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
  // Statements of a remote database come with the remote statement.
  uint32_t StatementAlloc(TnxAbstractStatement*& aStatement, uint32_t) override {
    aStatement = nullptr;
    return NotSupported(u"StatementAlloc");
  }
  uint32_t StatementExecDirect(uint32_t, TnxStatementType, std::u16string_view, platform::TStream*,
                               const TnxSqlParamList&, platform::TStream*, TnxAbstractCursor*& aCursor, TnxOpenMode,
                               platform::TStream*, platform::TStream*, TnxStatementExecDirectPhase&) override {
    aCursor = nullptr;
    return NotSupported(u"StatementExecDirect");
  }
  uint32_t GetFreespace(int64_t& aFreeSpace) override {
    aFreeSpace = 0;
    return NotSupported(u"GetFreespace");
  }
  uint32_t GetPath(std::u16string& aPath) override {
    aPath.clear();
    return NotSupported(u"GetPath");
  }
  uint32_t GetAlias(std::u16string& aAlias) override {
    aAlias.clear();
    return NotSupported(u"GetAlias");
  }

protected:
  ~TnxRemoteDatabase() override;

private:
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
};

}  // namespace revurov
