// TnxRemoteTransContext: the client side of a server transaction context.
// A session makes one with TransContextCreate ($151), owning the server's
// ID; one that came with DatabaseOpen belongs to its database and does not
// own the ID.
//
// Contract:
// - Its requests go through its session with a source token of its own,
//   its own thread priority and its own timeout.
// - A timeout change joins an open timeout batch, else goes out as $9F0.
// - Freed while owning the ID, it closes the server's object ($9FF); the
//   close's failure is swallowed.
// - The stated requests ($901 to $905; $911 to $915 for servers above
//   47004) take over the transaction state a reply holds, whatever the
//   result; a state is untrusted: a level count the reply cannot hold
//   answers 15522 before anything is made of it.
// - A local cache context is kept at the server's nesting level after a
//   start, commit or rollback, in at most as many steps as the state that
//   asks for them lists levels; its failures there are not reported. It is
//   reached through its lifetime monitor and forgotten once freed.
// - TransactionStartWith takes only remote cursors of this session (9990).
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "dictionary/engine_types.h"
#include "engine/abstract_trans_context.h"
#include "engine/remote_session.h"
#include "lowlevel/objects/interfaced_object.h"

namespace revurov {

class TnxMemoryStream;
struct TnxRemoteRequestTarget;

inline constexpr TnxMsgID nxnmTransContextStart = 0x901;
inline constexpr TnxMsgID nxnmTransContextStartWith = 0x902;
inline constexpr TnxMsgID nxnmTransContextCommit = 0x903;
inline constexpr TnxMsgID nxnmTransContextRollback = 0x904;
inline constexpr TnxMsgID nxnmTransContextCorrupted = 0x905;
inline constexpr TnxMsgID nxnmTransContextGetLevel = 0x906;
// The stated forms: the old ID plus this.
inline constexpr TnxMsgID nxnmTransContextStatedOffset = 0x10;
inline constexpr TnxMsgID nxnmTransContextSetTimeout = 0x9F0;
inline constexpr TnxMsgID nxnmTransContextClose = 0x9FF;

// Servers above it answer the transaction requests with the state.
inline constexpr int32_t nxTransactionInfoMinServer = 47004;

// All zero with level -1: no transaction known.
TnxTransactionInfo nxEmptyTransactionInfo();

class TnxRemoteTransContext : public TnxAbstractTransContext {
  REVUROV_SERVER_OBJECT_CLASS(TnxRemoteTransContext, TnxAbstractTransContext)
  TnxRemoteTransContext(TnxRemoteSession* aSession, uint32_t aTimeout, bool aOwnsID,
                        TnxTransContextID aTransContextID);

  TnxBaseID RemoteID() const noexcept override { return rtcTransContextID; }
  // Paths the local walk does not take go to the server object.
  platform::HRESULT CreateInstanceFor(std::u16string_view aName, const platform::TGUID& aClassID,
                                      platform::IInterface* aOuter, const platform::TGUID& aInterfaceID,
                                      void** aInterface) override;
  bool IsRemote() const noexcept override { return true; }
  int32_t RemoteThreadPriority() const override { return rtcRemoteThreadPriority; }
  void SetRemoteThreadPriority(int32_t aValue) override { rtcRemoteThreadPriority = aValue; }
  int32_t ServerVersion() const noexcept { return rtcServerVersion; }
  bool OwnsID() const noexcept { return rtcOwnsID; }
  void SetTimeout(uint32_t aValue) override;

  uint32_t TransactionStart(bool aFailSafe, bool aSnapShot) override;
  uint32_t TransactionStartWith(bool aFailSafe, bool aSnapShot, std::span<TnxAbstractCursor* const> aCursors) override;
  uint32_t TransactionCommit() override;
  uint32_t TransactionRollback() override;
  uint32_t TransactionCorrupted() override;
  uint32_t TransactionGetLevel(int32_t& aTransLevel) override;
  // 12039 from servers of 47004 and below; 10257 when no transaction runs.
  uint32_t TransactionGetInfo(TnxTransactionInfo& aTransInfo, bool aAllowCached) override;
  // Not owned; nil forgets it.
  uint32_t SetCacheTransContext(TnxBaseTransContext* aCacheTransContext) override;
  // The last state a reply held.
  const TnxTransactionInfo& TransInfo() const noexcept { return rtcTransInfo; }

  uint32_t OptionClear(std::u16string_view aName) override;
  uint32_t OptionSet(std::u16string_view aName, std::u16string_view aValue) override;
  uint32_t OptionGet(std::u16string_view aName, std::u16string& aValue) override;
  uint32_t OptionGetEffective(std::u16string_view aName, std::u16string& aValue) override;
  uint32_t OptionList(platform::TStringList& aList) override;
  uint32_t OptionListEffective(platform::TStringList& aList) override;

protected:
  ~TnxRemoteTransContext() override;

private:
  enum class TCacheStep : uint8_t { None, Start, Commit, Rollback };

  TnxRemoteRequestTarget rtcTarget() const noexcept;
  TnxMsgID rtcStatedID(TnxMsgID aOldID) const noexcept;
  // Runs aOperation; an exception becomes its code.
  template <class F>
  uint32_t rtcGuarded(F&& aOperation) noexcept;
  // Steps 3 to 6 of every stated request: the reply's state, the
  // after-notification and the cache context's step on success.
  uint32_t rtcFinishStated(uint32_t aResult, TnxMemoryStream& aReply, TCacheStep aStep, TnxEngineAction aAction,
                           TnxEngineArgs aArgs, bool aNotify);
  // The cache context while its monitor says it lives; else forgets it.
  bool rtcGetCacheTransContext(TnxBaseTransContext*& aCacheTransContext);
  void rtcStepCacheContext(TCacheStep aStep, const TnxTransactionInfo& aBefore, const TnxTransactionInfo& aReceived);
  TnxMemoryStream& rtcReplyStream();

  TnxRemoteSession& rtcSession;
  TnxRemoteSource rtcSource;
  TnxThreadPriority rtcRemoteThreadPriority = 0;
  int32_t rtcServerVersion = 0;
  bool rtcOwnsID = false;
  TnxTransContextID rtcTransContextID = 0;
  TnxBaseTransContext* rtcCacheTransContext = nullptr;  // not owned
  platform::TInterfacePtr<InxLifetimeMonitorRef> rtcCacheTransContextMonitorRef;
  TnxTransactionInfo rtcTransInfo = nxEmptyTransactionInfo();
  // Kept: a new stream reserves its memory from the system each time.
  std::unique_ptr<TnxMemoryStream> rtcReply;
};

}  // namespace revurov
