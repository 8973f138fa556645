// TnxAbstractSession: one client's session with an engine, the owner of
// every other engine object the client makes. It holds the session lock
// that all its objects share, the lists of its databases, transaction
// contexts and task infos, and the clean-up after a failure; it implements
// the table operations that go through a temporary database, the user
// information lines and the client text of the lock.
//
// Contract:
// - The session's lists own its children: each child joins its list at
//   construction and leaves it at destruction; a client ends one earlier
//   with Free or Close. Each list has its own fast padlock; the padlocks
//   live as long as the session.
// - The engine owns the session (SessionAdded by the engine's
//   SessionOpenEx); the session leaves the engine's list in its destructor,
//   and the engine's AllSessionsClosed runs when the last one leaves.
// - Destruction reports a permanent failure, so FailedCleanup runs once
//   (here, or on the thread that leaves the session last): up to 20 passes
//   of PrepareDestroy over the task infos while any remain, 100 ms of the
//   engine clock apart, then PrepareDestroy of every database and context,
//   then everything left is freed, tail first.
// - The implemented operations never raise once the session lock is
//   taken; an exception becomes the result. Taking the lock may raise.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "dictionary/engine_types.h"
#include "engine/session_lock.h"
#include "engine/session_stats.h"
#include "engine/timeout_object.h"
#include "lowlevel/sync/padlock.h"
#include "platform/date_time.h"
#include "platform/string_list.h"

namespace revurov {

namespace platform {
class TStream;
}

class InxSessionNotifications;
class TnxAbstractDatabase;
class TnxAbstractTaskInfo;
class TnxAbstractTransContext;
class TnxLocaleDescriptor;
class TnxSessionNotifications;

// One alias as AliasGetList answers it.
class TnxAliasDescriptor : public TnxObject {
public:
  TnxAliasDescriptor(std::u16string aAlias, std::u16string aPath)
      : adAlias(std::move(aAlias)), adPath(std::move(aPath)) {}
  std::u16string adAlias;
  std::u16string adPath;
};
using TnxAliasDescriptors = std::vector<std::unique_ptr<TnxAliasDescriptor>>;

// Takes the aliases' names one by one, in AliasGetList's order; a name's
// text lives only for the call.
class TnxAliasNameSink {
public:
  virtual void AliasName(std::u16string_view aName) = 0;

protected:
  ~TnxAliasNameSink() = default;
};

// The option whose value the lock reports as the session's client.
inline constexpr std::u16string_view nxCurrentClientInfoOption = u"_CurrentClientInfo";
// Pauses of the clean-up while task infos remain.
inline constexpr int kFailedCleanupTaskPasses = 20;
inline constexpr uint32_t kFailedCleanupTaskPause = 100;

class TnxAbstractSession : public TnxAbstractTimeoutObject {
  REVUROV_SERVER_OBJECT_CLASS(TnxAbstractSession, TnxAbstractTimeoutObject)
  TnxBaseServerEngine* ServerEngine() const noexcept { return asServerEngine; }
  virtual int32_t ClientVersion() const { return nxDefaultClientVersion; }
  virtual int32_t ServerVersion() const { return nxDefaultClientVersion; }
  virtual const TnxLocaleDescriptor* ClientDefaultLocale() const { return nullptr; }
  const std::u16string& UserName() const noexcept { return asUserName; }
  const std::u16string& Password() const noexcept { return asPassword; }
  const std::u16string& ConnectedFrom() const noexcept { return asConnectedFrom; }
  platform::TDateTime ConnectedSince() const noexcept { return asConnectedSince; }
  bool Authenticated() const noexcept { return asAuthenticated; }
  bool MustBeAuthenticated() const noexcept { return asMustBeAuthenticated; }
  bool CleanedUp() const noexcept { return asCleanedUp.load(std::memory_order_acquire); }
  TnxSimpleLock& Lock() const noexcept { return *asLock; }
  // Made on first use; lives as long as the session.
  InxSessionNotifications* SessionNotifications();

  // The children in list order, read under the list's padlock.
  std::vector<TnxAbstractDatabase*> Databases();
  std::vector<TnxAbstractTransContext*> TransContexts();
  std::vector<TnxAbstractTaskInfo*> TaskInfos();

  // Reports a failure without waiting; nothing while being destroyed.
  void Failed(bool aPermanent);
  virtual void RemoveFromServerEngine();
  virtual void ReportFailure(bool aPermanent, bool aWait);
  virtual void FailedCleanup();
  virtual TnxSessionStatsRef CreateSessionStats();
  static uint32_t LookupByID(TnxSessionID aSessionID, TnxAbstractSession*& aSession) noexcept;

  virtual uint32_t AliasAdd(std::u16string_view aAlias, std::u16string_view aPath, bool aEnforce) = 0;
  virtual uint32_t AliasDelete(std::u16string_view aAlias) = 0;
  virtual uint32_t AliasModify(std::u16string_view aAlias, std::u16string_view aNewName,
                               std::u16string_view aNewPath, bool aEnforce) = 0;
  // Appends one descriptor per alias; entries already in aList stay.
  virtual uint32_t AliasGetList(TnxAliasDescriptors& aList) = 0;
  // The names AliasGetList gives, without a descriptor and two strings per
  // alias where only names are wanted. Names reach aSink as they are read,
  // so a non-zero result may follow some: keep them apart until it is 0.
  virtual uint32_t AliasGetNames(TnxAliasNameSink& aSink);
  virtual uint32_t AliasGetPath(std::u16string_view aAlias, std::u16string& aPath) = 0;
  virtual uint32_t PasswordAdd(std::u16string_view aPassword) = 0;
  virtual uint32_t PasswordRemove(std::u16string_view aPassword) = 0;
  virtual uint32_t PasswordRemoveAll() = 0;
  virtual uint32_t CloseInactiveFolders() = 0;
  virtual uint32_t CloseInactiveTables() = 0;
  // aAliasType: "Name" (aAlias names an alias) or "Path" (a folder). A nil
  // aTransContext gives the database a context of its own.
  virtual uint32_t DatabaseOpen(TnxAbstractDatabase*& aDatabase, std::u16string_view aAliasType,
                                std::u16string_view aAlias, TnxAbstractTransContext* aTransContext,
                                TnxOpenMode aOpenMode, TnxShareMode aShareMode, uint32_t aTimeout) = 0;
  virtual uint32_t DatabaseCacheOpen(TnxAbstractDatabase*& aDatabase, std::u16string_view aAliasType,
                                     std::u16string_view aAlias, TnxAbstractTransContext* aTransContext,
                                     TnxOpenMode aOpenMode, TnxShareMode aShareMode, uint32_t aTimeout);
  virtual uint32_t TableStreamRead(std::u16string_view aAliasName, std::u16string_view aTableName,
                                   std::u16string_view aPassword, std::u16string_view aStreamName,
                                   platform::TStream& aStream);
  virtual uint32_t TableStreamWrite(std::u16string_view aAliasName, std::u16string_view aTableName,
                                    std::u16string_view aPassword, std::u16string_view aStreamName,
                                    platform::TStream& aStream);
  virtual uint32_t TableExists(std::u16string_view aAliasName, std::u16string_view aTableName,
                               std::u16string_view aPassword, bool& aExists, bool aAllowSystem);
  virtual uint32_t TransContextCreate(TnxAbstractTransContext*& aTransContext, uint32_t aTimeout) = 0;
  virtual uint32_t GetRegisteredClassList(TnxClassListType aClassListType, platform::TStringList& aList) = 0;
  // Appends the lines that describe the session, with their message tags.
  virtual void GetUserInfo(platform::TStringList& aStrings);

  uint32_t OptionSet(std::u16string_view aName, std::u16string_view aValue) override;
  int32_t MinVersion() const override;
  TnxBaseServerEngine* OwningServerEngine() const override { return asServerEngine; }
  TnxAbstractServerObject* SessionForPath() noexcept override { return this; }
  void GetExceptionData(InxExceptionDataContainer& aContainer, bool aIncludeChildren) override;
  void AfterConstruction() override;
  void BeforeDestruction() override;

protected:
  TnxAbstractSession(TnxBaseServerEngine* aServerEngine, std::u16string_view aUserName,
                     std::u16string_view aPassword, std::u16string_view aConnectedFrom, uint32_t aTimeout);
  ~TnxAbstractSession() override;
  void PrepareDestroy() override;
  bool GetInterface(const platform::TGUID& iid, void** obj) noexcept override;

  bool asAuthenticated = false;
  bool asMustBeAuthenticated = false;

private:
  friend class TnxAbstractDatabase;
  friend class TnxAbstractTransContext;
  friend class TnxAbstractTaskInfo;

  // The temporary database of the session-level table operations.
  template <class F>
  uint32_t WithTemporaryDatabase(std::u16string_view aAliasName, TnxOpenMode aOpenMode, F&& aOperation);

  platform::TInterfacePtr<TnxSimpleLock> asLock;
  std::atomic<TnxSessionNotifications*> asSessionNotifications{nullptr};
  std::atomic<bool> asCleanedUp{false};
  TnxBaseServerEngine* asServerEngine = nullptr;
  TnxPadlock asDatabasesPadlock{true};
  TnxAbstractDatabase* asDatabasesHead = nullptr;
  TnxAbstractDatabase* asDatabasesTail = nullptr;
  TnxPadlock asTransContextsPadlock{true};
  TnxAbstractTransContext* asTransContextsHead = nullptr;
  TnxAbstractTransContext* asTransContextsTail = nullptr;
  TnxPadlock asTaskInfosPadlock{true};
  TnxAbstractTaskInfo* asTaskInfosHead = nullptr;
  TnxAbstractTaskInfo* asTaskInfosTail = nullptr;
  platform::TDateTime asConnectedSince = 0;
  bool asLockedIncDone = false;
  std::u16string asUserName;
  std::u16string asPassword;
  std::u16string asConnectedFrom;
};

}  // namespace revurov
