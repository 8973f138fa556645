// The transaction-context component: an engine transaction context of its
// session. Databases that name it as their TransContext are opened inside
// it, so one transaction spans all of them.
//
// Contract:
// - Activation brings up the session first; databases that name it follow
//   its state (they close before it does). Stopping frees the engine
//   context on every path.
// - Transaction operations need a started context: unlike a database's,
//   its InTransaction raises on an inactive one.
#pragma once

#include <cstdint>
#include <vector>

#include "client/database.h"

namespace revurov {

class TnxTransContext : public TnxSessionOwnedDataAccessStateComponent {
  REVUROV_COMPONENT_CLASS(TnxTransContext, TnxSessionOwnedDataAccessStateComponent)
  explicit TnxTransContext(platform::TComponent* aOwner);
  ~TnxTransContext() override;

  // The engine context while started; nil otherwise.
  TnxAbstractTransContext* AbstractTransContext() const noexcept { return tcAbstractTransContext.get(); }

  bool FailSafe() const noexcept { return tcFailSafe; }
  // Allowed while active: it steers the next transaction only.
  void SetFailSafe(bool aValue) noexcept { tcFailSafe = aValue; }
  // Whether this is its session's default transaction context.
  bool Default() const;
  void SetDefault(bool aValue);

  void StartTransaction(bool aSnapShot = false);
  void Commit();
  void Rollback();
  void TransactionCorrupted();
  bool InTransaction();
  // True when it started one; False when one was running already.
  bool TryStartTransaction(bool aSnapShot = false);

  // The databases that name this context, in the order they joined.
  int DatabaseCount() const noexcept { return static_cast<int>(tcDatabases.size()); }
  TnxBaseDatabase* Databases(int aIndex) const { return tcDatabases.at(static_cast<size_t>(aIndex)); }

  void ApplyTimeout() override;
  void AddDependent(TnxComponent* aComponent) override;
  void RemoveDependent(TnxComponent* aComponent) override;

protected:
  void Loaded() override;
  void DoInitialize() override;
  void DoStart() override;
  void DoStop() override;

private:
  TnxServerObjectPtr<TnxAbstractTransContext> tcAbstractTransContext;
  std::vector<TnxBaseDatabase*> tcDatabases;
  bool tcFailSafe = false;
  bool tcLoadedDefault = false;
};

}  // namespace revurov
