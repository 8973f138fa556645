// TnxServerSession: one client's session on the in-process engine. Alias
// administration through the engine's alias handler, the session's table
// passwords, the client's default locale for string literals, closing
// inactive folders and tables, the lists of registered classes, and the
// road from an alias or path to the folder a database opens in.
//
// Contract:
// - Every operation answers 0 or a library code with its message in the
//   thread's slot; nothing raises once the session lock is held.
// - Alias names are checked before anything else (10067 malformed; 10014
//   empty, except for AliasAdd where it is 10067). After AliasAdd, Delete
//   and Modify, whatever their result, everything linked to the handler
//   hears nxn_AliasesChanged, sessions, databases and cursors excepted.
// - Passwords compare exactly; the list and the locale live as long as
//   the session. The locale is built once, on the first request.
// - Kick fails the session for good: its operations answer 9990 after.
// - Database open resolves the folder (10014, 10067, 12289, 10018): a
//   path is made absolute and normalised by its text, with a trailing "/";
//   empty and "#..." paths are in-memory folders used as given. Paths
//   compare byte for byte. A folder open in the other cache mode answers
//   9219. Then the share rules: an exclusive database is alone; share-read
//   forbids writers beside it in both directions; shared writers share.
//   A refusal answers 10253. omWriteOnly opens omReadWrite; a read-only
//   folder opens every database omReadOnly.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "dictionary/engine_types.h"
#include "engine/abstract_session.h"
#include "lowlevel/strings/utils_text.h"
#include "lowlevel/sync/padlock.h"

namespace revurov {

class TnxLocaleDescriptor;
class TnxServerEngine;
class TnxServerFolder;

class TnxServerSession : public TnxAbstractSession {
  REVUROV_SERVER_OBJECT_CLASS(TnxServerSession, TnxAbstractSession)
  TnxServerSession(TnxServerEngine* aServerEngine, uint32_t aTimeout, std::u16string_view aUserName,
                   std::u16string_view aPassword, std::u16string_view aConnectedFrom, int32_t aClientVersion);

  TnxServerEngine& Engine() const noexcept;
  int32_t ClientVersion() const override { return ssClientVersion; }
  const TnxLocaleDescriptor* ClientDefaultLocale() const override;
  void Kick() { Failed(true); }

  uint32_t AliasAdd(std::u16string_view aAlias, std::u16string_view aPath, bool aEnforce) override;
  uint32_t AliasDelete(std::u16string_view aAlias) override;
  uint32_t AliasModify(std::u16string_view aAlias, std::u16string_view aNewName, std::u16string_view aNewPath,
                       bool aEnforce) override;
  uint32_t AliasGetList(TnxAliasDescriptors& aList) override;
  uint32_t AliasGetPath(std::u16string_view aAlias, std::u16string& aPath) override;
  uint32_t PasswordAdd(std::u16string_view aPassword) override;
  uint32_t PasswordRemove(std::u16string_view aPassword) override;
  uint32_t PasswordRemoveAll() override;
  uint32_t CloseInactiveFolders() override;
  uint32_t CloseInactiveTables() override;
  uint32_t DatabaseOpen(TnxAbstractDatabase*& aDatabase, std::u16string_view aAliasType, std::u16string_view aAlias,
                        TnxAbstractTransContext* aTransContext, TnxOpenMode aOpenMode, TnxShareMode aShareMode,
                        uint32_t aTimeout) override;
  uint32_t DatabaseCacheOpen(TnxAbstractDatabase*& aDatabase, std::u16string_view aAliasType,
                             std::u16string_view aAlias, TnxAbstractTransContext* aTransContext,
                             TnxOpenMode aOpenMode, TnxShareMode aShareMode, uint32_t aTimeout) override;
  uint32_t TransContextCreate(TnxAbstractTransContext*& aTransContext, uint32_t aTimeout) override;
  uint32_t GetRegisteredClassList(TnxClassListType aClassListType, platform::TStringList& aList) override;

  // The passwords a table open tries: the session's, then aPassword when
  // not empty; extenders may change them (eaBuildPasswords).
  void ssBuildPasswords(std::u16string_view aAlias, std::u16string_view aTableName, std::u16string_view aPassword,
                        TnxUnicodeStrings& aList);

protected:
  ~TnxServerSession() override;

  uint32_t ssDoDatabaseOpen(TnxAbstractDatabase*& aDatabase, std::u16string_view aAliasType,
                            std::u16string_view aAlias, TnxAbstractTransContext* aTransContext,
                            TnxOpenMode aOpenMode, TnxShareMode aShareMode, uint32_t aTimeout, bool aIsCache);
  // Opens the database in the folder of aPath (with a trailing "/", or
  // empty or "#..." for one in memory), making the folder when there is
  // none; called under the engine's folder padlock.
  virtual uint32_t ssOpenDatabaseInFolder(TnxAbstractDatabase*& aDatabase, std::u16string_view aAliasName,
                                          std::u16string_view aPath, TnxAbstractTransContext* aTransContext,
                                          TnxOpenMode aOpenMode, TnxShareMode aShareMode, uint32_t aTimeout,
                                          bool aIsCache);

public:
  // A database in aFolder under the share rules (skipped with
  // aIgnoreShare); also used by the database's maintenance operations.
  uint32_t ssDatabaseOpen(TnxAbstractDatabase*& aDatabase, std::u16string_view aAlias,
                          TnxAbstractTransContext* aTransContext, TnxServerFolder* aFolder, TnxOpenMode aOpenMode,
                          TnxShareMode aShareMode, bool aIgnoreShare, uint32_t aTimeout);

private:
  // The frame of an operation: deadline, session lock, the exception as
  // the result; a refused lock (a kicked session: 9990) is a result too.
  template <class F>
  uint32_t Entry(F&& aWork);
  // Alias operations: the name check, the handler's presence, the extender
  // pair around aWork and, for changes, the broadcast.
  template <class F>
  uint32_t AliasOperation(std::u16string_view aOperation, std::u16string_view aAlias, bool aEmptyIsUnknown,
                          TnxEngineAction aAction, TnxEngineArgs aArgs, bool aBroadcast, F&& aWork);
  void ssLoadClientDefaultLocale() const;

  int32_t ssClientVersion = 0;
  TnxUnicodeStrings ssPasswords;
  mutable TnxPadlock ssLocalePadlock{true};
  mutable std::unique_ptr<TnxLocaleDescriptor> ssClientDefaultLocale;
  mutable bool ssClientDefaultLocaleChecked = false;
};

}  // namespace revurov
