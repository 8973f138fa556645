// Transaction contexts: TnxBaseTransContext declares the transaction
// operations that a database forwards and a context implements;
// TnxAbstractTransContext is the context a session creates, which several
// databases of the session may share so that one transaction spans them.
//
// Contract:
// - A context joins its session's context list at construction and leaves
//   it at destruction; databases attached to it sit in its own list, under
//   its database padlock.
// - Destroying a context rolls back every open level (Failed, then once
//   more), and gives each database still attached a context of its own,
//   owned by the database, with the database's timeout. Lock order there:
//   this context's database padlock, the session's context padlock, the new
//   context's database padlock.
// - The engine's TransContextCount counts every context, also those that
//   databases made for themselves.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "dictionary/engine_records.h"
#include "engine/timeout_object.h"
#include "lowlevel/sync/padlock.h"

namespace revurov {

class TnxAbstractCursor;
class TnxAbstractDatabase;
class TnxAbstractSession;

class TnxBaseTransContext : public TnxAbstractTimeoutObject {
  REVUROV_SERVER_OBJECT_CLASS(TnxBaseTransContext, TnxAbstractTimeoutObject)
  virtual uint32_t TransactionStart(bool aFailSafe, bool aSnapShot) = 0;
  virtual uint32_t TransactionStartWith(bool aFailSafe, bool aSnapShot, std::span<TnxAbstractCursor* const> aCursors) = 0;
  virtual uint32_t TransactionCommit() = 0;
  virtual uint32_t TransactionRollback() = 0;
  virtual uint32_t TransactionCorrupted() = 0;
  virtual uint32_t TransactionGetLevel(int32_t& aTransLevel) = 0;
  virtual uint32_t TransactionGetInfo(TnxTransactionInfo& aTransInfo, bool aAllowCached) = 0;

protected:
  TnxBaseTransContext(TnxAbstractSession* aSession, uint32_t aTimeout);
  ~TnxBaseTransContext() override = default;
};

class TnxAbstractTransContext : public TnxBaseTransContext {
  REVUROV_SERVER_OBJECT_CLASS(TnxAbstractTransContext, TnxBaseTransContext)
  // Rolls back every open level; the engines' contexts fill it in.
  virtual void atcForceRollback() {}
  // One-way: marks the context failed and rolls it back.
  virtual void Failed();
  virtual uint32_t SetCacheTransContext(TnxBaseTransContext* aCacheTransContext);

  bool IsFailed() const noexcept { return atcFailed; }
  TnxAbstractTransContext* SessionPrev() const noexcept { return atcSessionPrev; }
  TnxAbstractTransContext* SessionNext() const noexcept { return atcSessionNext; }
  // The attached databases in list order, read under the padlock.
  std::vector<TnxAbstractDatabase*> AttachedDatabases();
  // Whether aCursor is a live cursor of a database attached here; compares
  // addresses only, so a pointer of doubtful origin is never read.
  bool HoldsCursor(const TnxAbstractCursor* aCursor);

  platform::HRESULT CreateInstanceFor(std::u16string_view aName, const platform::TGUID& aClassID,
                                      platform::IInterface* aOuter, const platform::TGUID& aInterfaceID,
                                      void** aInterface) override;
  void GetExceptionData(InxExceptionDataContainer& aContainer, bool aIncludeChildren) override;
  void AfterConstruction() override;
  void BeforeDestruction() override;

protected:
  TnxAbstractTransContext(TnxAbstractSession* aSession, uint32_t aTimeout);
  ~TnxAbstractTransContext() override;
  void PrepareDestroy() override;

private:
  friend class TnxAbstractDatabase;
  friend class TnxAbstractSession;

  void Unlink() noexcept;

  bool atcFailed = false;
  bool atcLockedIncDone = false;
  TnxAbstractTransContext* atcSessionPrev = nullptr;
  TnxAbstractTransContext* atcSessionNext = nullptr;
  TnxPadlock atcDatabasesPadlock{true};
  TnxAbstractDatabase* atcDatabasesHead = nullptr;
  TnxAbstractDatabase* atcDatabasesTail = nullptr;
};

}  // namespace revurov
