// TnxServerTransContext: the transaction context of the in-process engine,
// the one a database works in. It owns at most one server transaction;
// further starts open nested levels of it.
//
// Contract:
// - The public operations run in the object's frame (deadline, session
//   lock, exceptions as codes); the stc workers run in the caller's frame
//   and may raise.
// - 10257 without a transaction for commit, rollback, corrupted, level and
//   info; 8455 for commit or rollback while the current level is in use;
//   15443 for a failed context or a failed or corrupted transaction; 10255
//   for a deadlocked one; 9990 for a cursor of TransactionStartWith that is
//   no table cursor of a database in this context (nothing starts then).
//   TransactionStartWith takes each cursor's content lock for the new level
//   (exclusive, shared for a snapshot); the first refusal rolls that level
//   back and is the answer.
// - stcTransaction changes only under stcTransactionPadlock; the owned
//   transaction clears it when it ends.
// - A context made with stcForceFailSafe (its engine's seoForceFailSafe)
//   starts fail-safe transactions unless the start overrides it.
#pragma once

#include <cstdint>
#include <span>

#include "engine/abstract_trans_context.h"
#include "lowlevel/sync/padlock.h"
#include "server/server_transaction.h"

namespace revurov {

class TnxServerSession;
class TnxServerTransContext;

class TnxServerTransContextOwnedTransaction : public TnxServerTransaction {
public:
  TnxServerTransContextOwnedTransaction(TnxServerTransContext& aTransContext, bool aSnapshot, bool aFailSafe,
                                        bool aOverrideForceFailsafe);
  // Clears the context's stcTransaction when it still names this one.
  ~TnxServerTransContextOwnedTransaction() override;

  TnxServerTransContext& TransContext() const noexcept { return stcotTransContext; }

private:
  TnxServerTransContext& stcotTransContext;
};

class TnxServerTransContext : public TnxAbstractTransContext {
  REVUROV_SERVER_OBJECT_CLASS(TnxServerTransContext, TnxAbstractTransContext)
  TnxServerTransContext(TnxServerSession* aSession, uint32_t aTimeout);

  TnxServerSession& ServerSession() const noexcept;

  uint32_t TransactionStart(bool aFailSafe, bool aSnapShot) override;
  uint32_t TransactionStartWith(bool aFailSafe, bool aSnapShot, std::span<TnxAbstractCursor* const> aCursors) override;
  uint32_t TransactionCommit() override;
  uint32_t TransactionRollback() override;
  uint32_t TransactionCorrupted() override;
  uint32_t TransactionGetLevel(int32_t& aTransLevel) override;
  uint32_t TransactionGetInfo(TnxTransactionInfo& aTransInfo, bool aAllowCached) override;
  void atcForceRollback() override;
  void Failed() override;

  // The workers; the caller holds the session lock.
  uint32_t stcTransactionStart(bool aFailSafe, bool aSnapShot, bool aOverrideForceFailsafe, bool aNoMoreNested,
                               bool aForceNested, bool aOverrideSecurity);
  uint32_t stcTransactionStartWith(bool aFailSafe, bool aSnapShot, std::span<TnxAbstractCursor* const> aCursors,
                                   bool aOverrideForceFailsafe, bool aNoMoreNested, bool aForceNested,
                                   bool aOverrideSecurity);
  uint32_t stcTransactionCommit();
  uint32_t stcTransactionRollback();
  uint32_t stcTransactionMarkCorrupted();

  // The running transaction, nil when none.
  TnxServerTransaction* stcTransaction() const noexcept { return stcTransactionPtr; }
  bool stcForceFailSafe() const noexcept { return stcForceFailSafeFlag; }
  void stcSetForceFailSafe(bool aValue) noexcept { stcForceFailSafeFlag = aValue; }

protected:
  ~TnxServerTransContext() override = default;

private:
  friend class TnxServerTransContextOwnedTransaction;

  // Steps 1 and 2 of a start, without the after-notification.
  uint32_t stcStartLevel(bool aFailSafe, bool aSnapShot, bool aOverrideForceFailsafe, bool aForceNested,
                         bool aOverrideSecurity);
  void stcNotifyStarted(bool aFailSafe, bool aSnapShot, bool aForceNested, bool aOverrideSecurity);
  // The object's frame; a session lock that refuses (a failed or kicked
  // session) is a result too.
  template <class F>
  uint32_t Entry(F&& aWork);
  // 8455 as an exception when the current level is in use.
  void stcCheckNotLocked() const;

  TnxPadlock stcTransactionPadlock{true};
  TnxServerTransaction* stcTransactionPtr = nullptr;
  bool stcForceFailSafeFlag = false;
};

}  // namespace revurov
