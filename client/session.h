// The session component: the client's handle on one logged-in session of a
// server engine. Activation opens an engine session, asking again through
// the log-on prompt while the server refuses the user name or password;
// through the open session it lists and maintains aliases and table
// passwords. Every failure is an EnxDatabaseError naming the session.
//
// Contract:
// - One thread at a time uses a session; it takes no lock of its own, with
//   two exceptions: the notifier list is made once by compare-exchange (the
//   engine side may ask for it from another thread), and the default-session
//   slots of the threads are guarded by one small lock, so a thread that
//   ends, or a session destroyed on another thread, leaves neither a slot
//   nor a session pointing at something gone.
// - After a failed log-on no engine session is kept, on every path.
// - TnxSession lets go of its server engine only after it is inactive.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "client/data_access_component.h"
#include "engine/server_object.h"
#include "lowlevel/objects/session_notifications.h"
#include "lowlevel/objects/utils_system.h"
#include "platform/text.h"
#include "transport/session_requests.h"

namespace revurov {

namespace platform {
class TStream;
class TStringList;
}

class TnxAbstractSession;
class TnxBaseDatabase;
class TnxBaseServerEngine;
class TnxBaseSession;
class TnxDatabase;
class TnxTransContext;
struct TnxDefaultSessionSlot;
enum TnxClassListType : uint8_t;

// The log-on of a session whose UserName or Password is empty; both empty
// unless an application sets them at start-up.
extern std::u16string nxDefaultUserName;
extern std::u16string nxDefaultPassword;

// What a Timeout of -1 (or any negative value) gives the engine session.
inline constexpr uint32_t nxDefaultSessionTimeout = 10000;
inline constexpr uint32_t nxDefaultPasswordRetries = 3;

// The log-on prompt: edits the user name and password in place and answers
// whether to try again (aResult comes in False).
using TnxLoginEvent = std::function<void(TnxBaseSession* aSender, std::u16string& aUserName,
                                         std::u16string& aPassword, bool& aResult)>;

class TnxBaseSession : public TnxDataAccessStateComponent,
                       public InxClassActivator,
                       public InxSessionNotifier,
                       public InxSessionRequests {
  REVUROV_COMPONENT_CLASS(TnxBaseSession, TnxDataAccessStateComponent)
  explicit TnxBaseSession(platform::TComponent* aOwner);
  ~TnxBaseSession() override;

  // Leaves the thread's default slot before the state component deactivates.
  void BeforeDestruction() override;

  // The component lives as long as its owner says; references are not
  // counted.
  platform::HRESULT QueryInterface(const platform::TGUID& iid, void** obj) noexcept override;
  int32_t AddRef() noexcept override { return -1; }
  int32_t Release() noexcept override { return -1; }

  virtual TnxBaseServerEngine* GetServerEngine() const = 0;
  virtual uint32_t GetEffectiveTimeout() const;
  // 15465 when no server engine is assigned.
  virtual void RequireServerEngine();
  // Sets the engine session's timeout inside one timeout batch.
  virtual void ApplyTimeout();

  // The engine session while started; nil otherwise.
  TnxAbstractSession* AbstractSession() const noexcept { return bsAbstractSession.get(); }

  const std::u16string& UserName() const noexcept { return bsUserName; }
  void SetUserName(std::u16string_view aValue);
  const std::u16string& Password() const noexcept { return bsPassword; }
  void SetPassword(std::u16string_view aValue);
  const std::u16string& CurrentUserName() const noexcept { return bsCurrentUserName; }
  int32_t PasswordRetries() const noexcept { return bsPasswordRetries; }
  void SetPasswordRetries(int32_t aValue) noexcept { bsPasswordRetries = aValue; }
  bool BeepOnLoginError() const noexcept { return bsBeepOnLoginError; }
  void SetBeepOnLoginError(bool aValue) noexcept { bsBeepOnLoginError = aValue; }
  int32_t Timeout() const noexcept { return bsTimeout; }
  // Re-applied to a started session at once.
  void SetTimeout(int32_t aValue);
  bool ClientLocaleAsDefault() const noexcept { return bsClientLocaleAsDefault; }
  void SetClientLocaleAsDefault(bool aValue);
  TnxLoginEvent OnLogin;

  // Whether this is the calling thread's default session; 8455 when it is
  // another thread's.
  bool Default() const;
  void SetDefault(bool aValue);
  // The calling thread's default session, nil when it has none.
  static TnxBaseSession* DefaultSession();

  // Made on first request; see the contract.
  InxSessionNotifications* SessionNotifications();

  // Aliases: the Ex forms answer the code, the others raise it.
  uint32_t AddAliasEx(std::u16string_view aName, std::u16string_view aPath, bool aEnforce = false);
  void AddAlias(std::u16string_view aName, std::u16string_view aPath, bool aEnforce = false);
  uint32_t DeleteAliasEx(std::u16string_view aName);
  void DeleteAlias(std::u16string_view aName);
  uint32_t ModifyAliasEx(std::u16string_view aName, std::u16string_view aNewName, std::u16string_view aNewPath,
                         bool aEnforce = false);
  void ModifyAlias(std::u16string_view aName, std::u16string_view aNewName, std::u16string_view aNewPath,
                   bool aEnforce = false);
  uint32_t GetAliasPathEx(std::u16string_view aName, std::u16string& aPath);
  std::u16string GetAliasPath(std::u16string_view aName);
  bool IsAlias(std::u16string_view aName);
  // The server's aliases in its order, less those aList already holds by
  // its own comparison; 9986 for a nil list.
  uint32_t GetAliasNamesEx(platform::TStringList* aList, bool aEmptyList);
  void GetAliasNames(platform::TStringList* aList);

  // Named streams stored with a table: the alias (empty: 10014) and then
  // the table name (empty: 10024) are checked first.
  uint32_t TableStreamReadEx(std::u16string_view aAliasName, std::u16string_view aTableName,
                             std::u16string_view aPassword, std::u16string_view aStreamName,
                             platform::TStream& aStream);
  // A new stream holding the named stream; the caller owns it.
  std::unique_ptr<platform::TStream> TableStreamRead(std::u16string_view aAliasName, std::u16string_view aTableName,
                                                     std::u16string_view aPassword, std::u16string_view aStreamName);
  uint32_t TableStreamWriteEx(std::u16string_view aAliasName, std::u16string_view aTableName,
                              std::u16string_view aPassword, std::u16string_view aStreamName,
                              platform::TStream& aStream);
  void TableStreamWrite(std::u16string_view aAliasName, std::u16string_view aTableName, std::u16string_view aPassword,
                        std::u16string_view aStreamName, platform::TStream& aStream);
  // Through the alias's implicit database when it is open; else asked of
  // the engine session, with system tables not allowed.
  bool TableExists(std::u16string_view aAliasName, std::u16string_view aTableName, std::u16string_view aPassword);

  // Databases by alias: one implicit database per alias, whatever the case
  // of its name, owned by the session.
  // The alias's implicit database (made when missing), opened.
  virtual TnxDatabase* OpenDatabase(std::u16string_view aAliasName);
  // The alias's implicit database, or nil; never makes one.
  virtual TnxDatabase* FindDatabase(std::u16string_view aAliasName);
  // Raises 10014 for an empty alias name, 10067 for an invalid one.
  TnxDatabase* GetImplicitDatabase(std::u16string_view aAliasName, bool aCreate);
  // The tables of an alias through its implicit database, which is opened
  // for it and left as it was found, also when the list fails.
  void GetTableNames(std::u16string_view aAliasName, platform::TStringList* aList);
  // Filled only when the alias's implicit database is active already.
  void GetChangedTables(std::u16string_view aAliasName, platform::TStringList* aList);
  // Closes the active implicit databases, the last made first.
  void CloseInactiveLocalDatabases();

  // The linked components, in the order they linked.
  TnxDatabase* DefaultDatabase() const noexcept { return bsDefaultDatabase; }
  TnxTransContext* DefaultTransContext() const noexcept { return bsDefaultTransContext; }
  int DatabaseCount() const noexcept { return static_cast<int>(bsDatabases.size()); }
  TnxDatabase* Databases(int aIndex) const { return bsDatabases.at(static_cast<size_t>(aIndex)); }
  int TransContextCount() const noexcept { return static_cast<int>(bsTransContexts.size()); }
  TnxTransContext* TransContexts(int aIndex) const { return bsTransContexts.at(static_cast<size_t>(aIndex)); }

  void AddDependent(TnxComponent* aComponent) override;
  void RemoveDependent(TnxComponent* aComponent) override;

  // Passwords and housekeeping; each needs a started session.
  void PasswordAdd(std::u16string_view aPassword);
  void PasswordRemove(std::u16string_view aPassword);
  void PasswordRemoveAll();
  void CloseInactiveTables();
  void CloseInactiveFolders();
  // Nothing for a nil list; cleared, then filled when an engine session is
  // open (its result is not looked at).
  void GetRegisteredClassList(TnxClassListType aClassListType, platform::TStringList* aList);
  // Stops the operation running in the engine session.
  void CancelProcessing();

  // InxClassActivator: "<Registry>" of the engine session;
  // RPC_E_DISCONNECTED without one.
  platform::HRESULT CreateInstance(const platform::TGUID& aClassID, platform::IInterface* aOuter,
                                   const platform::TGUID& aInterfaceID,
                                   platform::TInterfacePtr<platform::IInterface>& aInterface) override;
  // InxSessionNotifier: the engine session has gone.
  void SessionDisconnected() override;
  // InxSessionRequests, forwarded to the engine session's; a timeout of 0
  // becomes the effective timeout; 11278 without an engine session that
  // answers them (the post then does nothing).
  uint32_t ProcessRequest(TnxMessageSource aSource, TnxThreadPriority aRemoteThreadPriority, TnxMsgID aMsgID,
                          uint32_t aTimeout, const void* aRequestData, int32_t aRequestDataLen, void* aReply,
                          int32_t* aReplyLen, TnxNetMsgDataType aReplyType, bool aCanSkipCantSkip,
                          uint32_t* aSequenceID) noexcept override;
  uint32_t ProcessRequestDirect(TnxThreadPriority aRemoteThreadPriority, TnxMsgID aMsgID, uint32_t aTimeout,
                                const void* aRequestData, int32_t aRequestDataLen, void* aReply, int32_t* aReplyLen,
                                TnxNetMsgDataType aReplyType) noexcept override;
  void ProcessPost(TnxMessageSource aSource, TnxThreadPriority aRemoteThreadPriority, TnxMsgID aMsgID,
                   uint32_t aTimeout, const void* aRequestData, int32_t aRequestDataLen) noexcept override;

protected:
  void DoInitialize() override;
  void DoStart() override;
  void DoStop() override;
  // OnLogin when assigned; else the platform's log-on dialog, on the main
  // thread only.
  virtual bool DoLogin(std::u16string& aUserName, std::u16string& aPassword);

private:
  friend struct TnxDefaultSessionSlot;
  friend class TnxDatabase;
  friend class TnxTransContext;

  struct AliasLess {
    using is_transparent = void;
    bool operator()(std::u16string_view a, std::u16string_view b) const noexcept {
      return platform::AsciiCompareText(a, b) < 0;
    }
  };

  uint32_t OpenEngineSession(std::u16string_view aUserName, std::u16string_view aPassword);
  InxSessionRequests* EngineRequests() const noexcept;
  void LeaveDefaultSlot() noexcept;

  TnxServerObjectPtr<TnxAbstractSession> bsAbstractSession;
  TnxDefaultSessionSlot* bsDefaultRef = nullptr;  // guarded by the default-slot lock
  std::u16string bsUserName;
  std::u16string bsCurrentUserName;
  std::u16string bsPassword;
  int32_t bsPasswordRetries = nxDefaultPasswordRetries;
  bool bsBeepOnLoginError = true;
  int32_t bsTimeout = -1;
  std::vector<TnxDatabase*> bsDatabases;
  // Alias name to its implicit database (owned as a component).
  std::map<std::u16string, TnxDatabase*, AliasLess> bsTempDatabases;
  TnxDatabase* bsDefaultDatabase = nullptr;
  std::vector<TnxTransContext*> bsTransContexts;
  TnxTransContext* bsDefaultTransContext = nullptr;
  std::atomic<TnxSessionNotifications*> bsSessionNotifications{nullptr};
  bool bsClientLocaleAsDefault = false;
};

class TnxSession : public TnxBaseSession {
  REVUROV_COMPONENT_CLASS(TnxSession, TnxBaseSession)
  using TnxBaseSession::TnxBaseSession;

  // Deactivates, then lets go of the engine.
  void BeforeDestruction() override;

  TnxBaseServerEngine* GetServerEngine() const override { return sesServerEngine; }
  TnxBaseServerEngine* ServerEngine() const noexcept { return sesServerEngine; }
  virtual void SetServerEngine(TnxBaseServerEngine* aValue);

  // An engine that goes away takes the session down first.
  void DependentNotify(TnxComponent* aSender, TnxNotifyOp aOp, void* aData) override;
  bool IsDependentOn(TnxStateComponent* aOther) const override;

private:
  TnxBaseServerEngine* sesServerEngine = nullptr;
};

}  // namespace revurov
