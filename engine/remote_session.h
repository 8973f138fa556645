// The remote engine: a server engine whose sessions turn every operation
// into a numbered request through a transport, and the request machinery
// that all remote objects share (replies sent ahead, equivalent reply IDs,
// the direct path, timeout batches).
//
// Contract:
// - A session is used by one thread at a time. The transport calls the
//   reply callback on the requesting thread before Request returns, so the
//   session's queue has no lock.
// - Queued replies wait under a source token that the session hands out
//   and never reuses; a remote object drops its queued replies when it goes
//   (TnxRemoteSource), so a later object never takes a stale reply.
// - One request takes at most one callback; a later one (a failure after
//   the reply, 11276) is dropped.
// - The request entry points never raise: an exception inside becomes its
//   code (std::bad_alloc 9473).
// - nxEquivalentReplies is filled by the engine's start-up and only read
//   afterwards.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "engine/abstract_session.h"
#include "engine/server_engine.h"
#include "lowlevel/streams/tagged_stream.h"
#include "transport/data_message_queue.h"
#include "transport/request_reader.h"
#include "transport/session_requests.h"

namespace revurov {

class TnxBaseTransport;
class TnxRemoteSession;

enum TnxClientFeature : uint8_t {
  cfDictionaryCache = 0,
  cfMessageReduction = 1,
  cfAutoIncCache = 2,
  cfRecordCache = 3,
  cfDelayedSetToBookmark = 4,
};
using TnxClientFeatures = uint8_t;
inline constexpr TnxClientFeatures nxAllClientFeatures = 0x1F;

// Process-wide; all on until a test switches them.
TnxClientFeatures nxClientFeatures() noexcept;
void nxSetClientFeatures(TnxClientFeatures aFeatures) noexcept;
bool nxClientFeatureOn(TnxClientFeature aFeature) noexcept;

// The version this client announces at log-in.
inline constexpr int32_t nxRemoteClientVersion = 47501;
// Servers above it batch timeouts.
inline constexpr int32_t nxTimeoutBatchMinServer = 47004;
// Servers above it take the session's table stream and existence requests.
inline constexpr int32_t nxSessionTableRequestsMinServer = 47001;

inline constexpr TnxMsgID nxnmSessionAliasGetList = 0x104;
inline constexpr TnxMsgID nxnmSessionAliasAdd = 0x106;
inline constexpr TnxMsgID nxnmSessionAliasDelete = 0x107;
inline constexpr TnxMsgID nxnmSessionAliasModify = 0x108;
inline constexpr TnxMsgID nxnmSessionAliasGetPath = 0x109;
inline constexpr TnxMsgID nxnmSessionCloseInactiveFolders = 0x111;
inline constexpr TnxMsgID nxnmSessionCloseInactiveTables = 0x112;
inline constexpr TnxMsgID nxnmSessionDatabaseOpen = 0x122;
inline constexpr TnxMsgID nxnmSessionGetRegisteredClassList = 0x131;
inline constexpr TnxMsgID nxnmSessionPasswordAdd = 0x141;
inline constexpr TnxMsgID nxnmSessionPasswordRemove = 0x142;
inline constexpr TnxMsgID nxnmSessionPasswordRemoveAll = 0x143;
inline constexpr TnxMsgID nxnmSessionTransContextCreate = 0x151;
inline constexpr TnxMsgID nxnmSessionTableStreamRead = 0x171;
inline constexpr TnxMsgID nxnmSessionTableStreamWrite = 0x172;
inline constexpr TnxMsgID nxnmSessionTableExists = 0x180;
inline constexpr TnxMsgID nxnmSessionSetTimeout = 0x1F0;
inline constexpr TnxMsgID nxnmSessionFailed = 0x1F1;
inline constexpr TnxMsgID nxnmSessionFailedPermanent = 0x1F2;
inline constexpr TnxMsgID nxnmSessionOptionClear = 0x1F3;
inline constexpr TnxMsgID nxnmSessionOptionSet = 0x1F4;
inline constexpr TnxMsgID nxnmSessionOptionGet = 0x1F5;
inline constexpr TnxMsgID nxnmSessionOptionGetEffective = 0x1F6;
inline constexpr TnxMsgID nxnmSessionOptionList = 0x1F7;
inline constexpr TnxMsgID nxnmSessionOptionListEffective = 0x1F8;
inline constexpr TnxMsgID nxnmTimeoutBatch = 0x1F9;

// A transport's report of a lost connection to its dependents; aData points
// to the session ID, nil for every session.
inline constexpr TnxNotifyOp nxn_ConnectionLost = 2;

// What a session tells its server of the client: the program's path, its
// size and local modification time, the computer and the user
// ("path;Size:n;Date:yyyy-mm-dd hh:nn:ss;Computer:c;User:u"). The first
// step the system does not answer ends the text there.
std::u16string nxClientInfoText(const std::string& aProgramPath);

// aEquivalent counts as a reply to aExpected; the table grows as needed
// and keeps each pair once.
void nxAddEquivalentReply(TnxMsgID aExpected, TnxMsgID aEquivalent);
bool nxIsEquivalentReply(TnxMsgID aExpected, TnxMsgID aReply) noexcept;
// The engine's start-up unit: the fifteen pairs, both ways.
void nxEquivalentRepliesStartup();
void nxEquivalentRepliesShutdown();

class TnxRemoteServerEngine : public TnxBaseServerEngine {
  REVUROV_COMPONENT_CLASS(TnxRemoteServerEngine, TnxBaseServerEngine)
  explicit TnxRemoteServerEngine(platform::TComponent* aOwner);
  ~TnxRemoteServerEngine() override;

  TnxBaseTransport* Transport() const noexcept { return rseTransport; }
  // Needs the engine inactive.
  void SetTransport(TnxBaseTransport* aValue);
  bool CacheAliases() const noexcept { return rseCacheAliases; }
  // Switching it off makes every session's alias list stale.
  void SetCacheAliases(bool aValue);
  // Every session's alias list is stale.
  void MarkAliasCachesStale();
  TnxThreadPriority RemoteThreadPriority() const noexcept { return rseRemoteThreadPriority; }
  void SetRemoteThreadPriority(TnxThreadPriority aValue) noexcept { rseRemoteThreadPriority = aValue; }
  TnxTransportID TransportID() const noexcept { return rseTransportID; }

  [[noreturn]] void RaiseEngineException(uint32_t aErrorCode) override;
  platform::TGUID ServerGuid() const override;
  std::u16string ServerName() const override;
  // Logs in through the transport; the transport's result.
  uint32_t SessionOpenEx(TnxAbstractServerObject*& aSession, std::u16string_view aUserName,
                         std::u16string_view aPassword, std::u16string_view aConnectedFrom,
                         uint32_t aTimeout, int32_t aClientVersion) override;
  bool IsDependentOn(TnxStateComponent* aOther) const override;
  // The transport going away deactivates the engine and is forgotten; a
  // lost connection marks its session (nil: every session).
  void DependentNotify(TnxComponent* aSender, TnxNotifyOp aOp, void* aData) override;

protected:
  // "Transport required" without one.
  void DoInitialize() override;

private:
  TnxThreadPriority rseRemoteThreadPriority = 0;
  TnxTransportID rseTransportID = 0;
  TnxBaseTransport* rseTransport = nullptr;  // linked, not owned
  bool rseCacheAliases = false;
};

class TnxRemoteSession : public TnxAbstractSession, public InxSessionRequests {
  REVUROV_SERVER_OBJECT_CLASS(TnxRemoteSession, TnxAbstractSession)
  TnxRemoteSession(TnxRemoteServerEngine* aEngine, uint32_t aTimeout, std::u16string_view aUserName,
                   std::u16string_view aPassword, std::u16string_view aConnectedFrom,
                   int32_t aServerVersion, TnxSessionID aSessionID);

  // ---- request machinery ----
  // aReply: a void* variable (nmdByteArray, the caller frees the block with
  // nxFreeMem) or a platform::TStream* variable (stream types); nil for no
  // reply data.
  uint32_t ProcessRequest(TnxMessageSource aSource, TnxThreadPriority aRemoteThreadPriority,
                          TnxMsgID aMsgID, uint32_t aTimeout, const void* aRequestData,
                          int32_t aRequestDataLen, void* aReply, int32_t* aReplyLen,
                          TnxNetMsgDataType aReplyType, bool aCanSkipCantSkip,
                          uint32_t* aSequenceID) noexcept override;
  // A reply sent ahead for aSource, without sending; 15536 when none.
  uint32_t CheckQueuedReply(TnxMessageSource aSource, TnxMsgID aMsgID, void* aReply,
                            int32_t* aReplyLen, TnxNetMsgDataType aReplyType,
                            bool aCanSkipCantSkip, uint32_t* aSequenceID) noexcept;
  // ProcessRequest whose reply is read where it lies (the transport's
  // receive buffer, or a reply queued ahead) instead of being copied into a
  // block for the caller: aView gets the reply's code and bytes, only for
  // the time of the call, and answers the request's result. A transport
  // failure reaches aView as its code without bytes, as it reaches
  // ProcessRequest's caller; what aView raises is raised here.
  using ReplyView = uint32_t (*)(void* aContext, uint32_t aCode, std::span<const uint8_t> aReply);
  uint32_t ProcessRequestInPlace(TnxMessageSource aSource, TnxThreadPriority aRemoteThreadPriority,
                                 TnxMsgID aMsgID, uint32_t aTimeout, const void* aRequestData,
                                 int32_t aRequestDataLen, ReplyView aView, void* aViewContext);
  // The reply goes straight to the caller; the queue is left alone.
  uint32_t ProcessRequestDirect(TnxThreadPriority aRemoteThreadPriority, TnxMsgID aMsgID,
                                uint32_t aTimeout, const void* aRequestData,
                                int32_t aRequestDataLen, void* aReply, int32_t* aReplyLen,
                                TnxNetMsgDataType aReplyType) noexcept override;
  void ProcessPost(TnxMessageSource aSource, TnxThreadPriority aRemoteThreadPriority, TnxMsgID aMsgID,
                   uint32_t aTimeout, const void* aRequestData, int32_t aRequestDataLen) noexcept override;
  // ProcessRequest / ProcessRequestDirect for the session itself with its
  // priority and timeout; the reply (nmdStream) into *aReplyStream.
  uint32_t ProcessStreamedRequest(TnxMsgID aMsgID, TnxMemoryStream* aRequestStream, TnxMemoryStream** aReplyStream,
                                  bool aCanSkipCantSkip) noexcept;
  uint32_t ProcessStreamedRequestDirect(TnxMsgID aMsgID, TnxMemoryStream* aRequestStream,
                                        TnxMemoryStream** aReplyStream, bool aCanSkipCantSkip) noexcept;
  // Writers bound to the two streamed forms.
  std::unique_ptr<TnxRequestWriter> CreateRequest();
  std::unique_ptr<TnxRequestWriter> CreateRequestDirect();
  // An empty request; aResult gets its code, and the reader over the reply
  // (empty on failure) is the caller's.
  std::unique_ptr<TnxReplyReader> RequestNoData(TnxMsgID aMsgID, uint32_t& aResult);
  uint32_t RequestNoDataNoReply(TnxMsgID aMsgID) noexcept;
  // Queues a reply received in a batch for aSource; sequence 0 takes a new
  // one. The second form takes aData's library-heap block and clears aData.
  void rsQueueMessage(TnxMessageSource aSource, TnxMsgID aMsgID, uint32_t aErrorCode,
                      const void* aData, int32_t aDataLen, bool aAtFront);
  void rsQueueMessageTakeOwnership(TnxMessageSource aSource, TnxMsgID aMsgID, uint32_t aErrorCode, void*& aData,
                                   int32_t aDataLen, bool aAtFront);

  // A token no other object of this session ever gets.
  TnxMessageSource NewSource() noexcept;
  // Frees every message queued for aSource.
  void DropQueued(TnxMessageSource aSource) noexcept;
  // The replies of aSequenceID queued for aFrom go to aTo (a cursor born
  // of the request).
  void SwapSourceForSequence(uint32_t aSequenceID, TnxMessageSource aFrom, TnxMessageSource aTo) noexcept {
    rsMsgQueue.SwapSourceForSequence(aSequenceID, aFrom, aTo);
  }
  // The session's own token.
  TnxMessageSource Source() const noexcept { return rsSource; }

  // ---- timeouts ----
  void SetTimeout(uint32_t aValue) override;
  bool AddToTimeoutBatch(TnxAbstractTimeoutObject* aObject) override;
  int32_t BeginTimeoutBatch() override;
  int32_t EndTimeoutBatch() override;

  // Sends the client text ("_CurrentClientInfo") after the inherited step.
  void AfterConstruction() override;
  // Tells the server (1F1, 1F2 when permanent), then fails the lock.
  void ReportFailure(bool aPermanent, bool aWait) override;

  int32_t ServerVersion() const override { return rsServerVersion; }
  TnxBaseID RemoteID() const noexcept override { return rsSessionID; }
  // Paths the local walk does not take go to the server object.
  platform::HRESULT CreateInstanceFor(std::u16string_view aName, const platform::TGUID& aClassID,
                                      platform::IInterface* aOuter, const platform::TGUID& aInterfaceID,
                                      void** aInterface) override;
  bool IsRemote() const noexcept override { return true; }
  int32_t RemoteThreadPriority() const override { return rsRemoteThreadPriority; }
  void SetRemoteThreadPriority(int32_t aValue) override { rsRemoteThreadPriority = aValue; }
  bool AliasCacheValid() const noexcept { return rsAliasCacheValid.load(std::memory_order_acquire); }
  void SetAliasCacheValid(bool aValue) noexcept { rsAliasCacheValid.store(aValue, std::memory_order_release); }
  bool ConnectionLost() const noexcept { return rsConnectionLost.load(std::memory_order_relaxed); }
  void SetConnectionLost() noexcept { rsConnectionLost.store(true, std::memory_order_relaxed); }
  bool TimeoutBatchSupported() const noexcept { return rsTimeoutBatchSupported; }

  // ---- the session's operations ----
  // With the engine's CacheAliases the first listing fills the alias
  // cache, and later ones and AliasGetPath are answered from it until an
  // alias changes. A name the alias check refuses is left out.
  uint32_t AliasGetList(TnxAliasDescriptors& aList) override;
  // The same request; with CacheAliases through AliasGetList.
  uint32_t AliasGetNames(TnxAliasNameSink& aSink) override;
  uint32_t AliasAdd(std::u16string_view aAlias, std::u16string_view aPath, bool aEnforce) override;
  uint32_t AliasDelete(std::u16string_view aAlias) override;
  uint32_t AliasModify(std::u16string_view aAlias, std::u16string_view aNewName, std::u16string_view aNewPath,
                       bool aEnforce) override;
  uint32_t AliasGetPath(std::u16string_view aAlias, std::u16string& aPath) override;
  uint32_t PasswordAdd(std::u16string_view aPassword) override;
  uint32_t PasswordRemove(std::u16string_view aPassword) override;
  uint32_t PasswordRemoveAll() override;
  uint32_t CloseInactiveFolders() override;
  uint32_t CloseInactiveTables() override;
  // Only the alias type "Name" has its alias checked. A database whose
  // context the server made owns that context.
  uint32_t DatabaseOpen(TnxAbstractDatabase*& aDatabase, std::u16string_view aAliasType, std::u16string_view aAlias,
                        TnxAbstractTransContext* aTransContext, TnxOpenMode aOpenMode, TnxShareMode aShareMode,
                        uint32_t aTimeout) override;
  uint32_t TransContextCreate(TnxAbstractTransContext*& aTransContext, uint32_t aTimeout) override;
  uint32_t GetRegisteredClassList(TnxClassListType aClassListType, platform::TStringList& aList) override;
  // Requests of their own on servers above 47001 with cfMessageReduction;
  // else through a temporary database.
  uint32_t TableStreamRead(std::u16string_view aAliasName, std::u16string_view aTableName,
                           std::u16string_view aPassword, std::u16string_view aStreamName,
                           platform::TStream& aStream) override;
  uint32_t TableStreamWrite(std::u16string_view aAliasName, std::u16string_view aTableName,
                            std::u16string_view aPassword, std::u16string_view aStreamName,
                            platform::TStream& aStream) override;
  uint32_t TableExists(std::u16string_view aAliasName, std::u16string_view aTableName, std::u16string_view aPassword,
                       bool& aExists, bool aAllowSystem) override;
  // The session's options live at the server.
  uint32_t OptionClear(std::u16string_view aName) override;
  uint32_t OptionSet(std::u16string_view aName, std::u16string_view aValue) override;
  uint32_t OptionGet(std::u16string_view aName, std::u16string& aValue) override;
  uint32_t OptionGetEffective(std::u16string_view aName, std::u16string& aValue) override;
  uint32_t OptionList(platform::TStringList& aList) override;
  uint32_t OptionListEffective(platform::TStringList& aList) override;

  // What a request callback is given; lives on the requester's stack.
  struct ReplyCookie {
    TnxRemoteSession* rcSession = nullptr;
    TnxMessageSource rcSource = nullptr;
    TnxMsgID rcMsgID = 0;
    platform::TStream* rcStream = nullptr;
    bool rcDelivered = false;
    // ProcessRequestInPlace: the reader of a reply to rcMsgID, and what it
    // answered or raised once it has read one.
    ReplyView rcView = nullptr;
    void* rcViewContext = nullptr;
    bool rcViewed = false;
    uint32_t rcViewResult = 0;
    std::exception_ptr rcViewFailure = nullptr;
  };

protected:
  ~TnxRemoteSession() override;
  TnxTimeoutBatch* TimeoutBatch() noexcept override { return &rsTimeoutBatch; }
  bool GetInterface(const platform::TGUID& iid, void** obj) noexcept override;

private:
  PnxDataMessage rsPopQueuedReply(TnxMessageSource aSource, TnxMsgID aMsgID, bool aDiscard);
  uint32_t rsTakeReply(PnxDataMessage aMessage, TnxMsgID aMsgID, void* aReply, int32_t* aReplyLen,
                       TnxNetMsgDataType aReplyType, uint32_t* aSequenceID);
  void rsFlushTimeoutBatch();
  // Runs aOperation; an exception becomes its code.
  template <class F>
  uint32_t Guarded(F&& aOperation) noexcept;
  bool rsMessageReductionServer() const noexcept;
  // Asks for the aliases and calls aEach (alias, path) for each the alias
  // check accepts, in the server's order; raises when the reply breaks off.
  template <class F>
  uint32_t rsRequestAliases(F&& aEach);
  // This session's alias list is stale, and with CacheAliases every
  // session's.
  void rsInvalidateAliasCache();
  uint32_t rsOptionGet(TnxMsgID aMsgID, std::u16string_view aName, std::u16string& aValue);
  uint32_t rsOptionList(TnxMsgID aMsgID, platform::TStringList& aList);
  TnxRemoteServerEngine& Engine() const noexcept;

  int32_t rsServerVersion = 0;
  TnxSessionID rsSessionID = 0;
  TnxDataMessageQueue rsMsgQueue;
  std::atomic<int32_t> rsTimeoutBatchCounter{0};
  TnxThreadPriority rsRemoteThreadPriority = 0;
  std::atomic<bool> rsConnectionLost{false};
  bool rsTimeoutBatchSupported = false;
  // Another thread (the engine's CacheAliases) clears it.
  std::atomic<bool> rsAliasCacheValid{false};
  TnxTimeoutBatch rsTimeoutBatch;
  // "alias=path" lines; read and written by the session's thread only.
  platform::TStringList rsAliasCache;
  uintptr_t rsLastSource = 0;
  TnxMessageSource rsSource = nullptr;
};

// A remote object's place in its session's queue: a fresh token, whose
// queued replies go with it.
class TnxRemoteSource {
public:
  explicit TnxRemoteSource(TnxRemoteSession& aSession) noexcept
      : rsoSession(&aSession), rsoToken(aSession.NewSource()) {}
  ~TnxRemoteSource() { rsoSession->DropQueued(rsoToken); }
  TnxRemoteSource(const TnxRemoteSource&) = delete;
  TnxRemoteSource& operator=(const TnxRemoteSource&) = delete;
  TnxMessageSource Token() const noexcept { return rsoToken; }

private:
  TnxRemoteSession* rsoSession;
  TnxMessageSource rsoToken;
};

}  // namespace revurov
