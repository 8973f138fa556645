#include "client/trans_context.h"

#include <algorithm>

#include "client/session.h"
#include "engine/abstract_session.h"
#include "engine/abstract_trans_context.h"
#include "lowlevel/errors/error_codes.h"

namespace revurov {

TnxTransContext::TnxTransContext(platform::TComponent* aOwner) : TnxSessionOwnedDataAccessStateComponent(aOwner) {
  if (!IsLoading()) EnsureSession();
}

TnxTransContext::~TnxTransContext() = default;

bool TnxTransContext::Default() const { return Session() && Session()->DefaultTransContext() == this; }

void TnxTransContext::SetDefault(bool aValue) {
  if (IsLoading()) {
    tcLoadedDefault = aValue;
    return;
  }
  if (aValue == Default()) return;
  TnxBaseSession* session = Session();
  if (!session) return;
  session->bsDefaultTransContext = aValue ? this : nullptr;
}

void TnxTransContext::Loaded() {
  TnxSessionOwnedDataAccessStateComponent::Loaded();
  SetDefault(tcLoadedDefault);
}

void TnxTransContext::AddDependent(TnxComponent* aComponent) {
  TnxSessionOwnedDataAccessStateComponent::AddDependent(aComponent);
  if (auto* database = dynamic_cast<TnxBaseDatabase*>(aComponent))
    if (std::find(tcDatabases.begin(), tcDatabases.end(), database) == tcDatabases.end())
      tcDatabases.push_back(database);
}

void TnxTransContext::RemoveDependent(TnxComponent* aComponent) {
  // By address alone: a component half torn down no longer casts.
  std::erase_if(tcDatabases, [aComponent](TnxComponent* aLinked) { return aLinked == aComponent; });
  TnxSessionOwnedDataAccessStateComponent::RemoveDependent(aComponent);
}

void TnxTransContext::ApplyTimeout() {
  if (tcAbstractTransContext) tcAbstractTransContext->SetTimeout(GetEffectiveTimeout());
}

void TnxTransContext::DoInitialize() {
  RequireSession();
  TnxSessionOwnedDataAccessStateComponent::DoInitialize();
}

void TnxTransContext::DoStart() {
  TnxSessionOwnedDataAccessStateComponent::DoStart();
  TnxBaseSession* session = Session();
  session->CheckStarted();
  TnxAbstractTransContext* made = nullptr;
  const uint32_t result = session->AbstractSession()->TransContextCreate(made, GetEffectiveTimeout());
  TnxServerObjectPtr<TnxAbstractTransContext> owned(made);
  CheckError(result);
  if (!owned) CheckError(nxeInvalidParameter);
  tcAbstractTransContext = std::move(owned);
}

void TnxTransContext::DoStop() {
  TnxSessionOwnedDataAccessStateComponent::DoStop();
  tcAbstractTransContext.reset();
}

void TnxTransContext::StartTransaction(bool aSnapShot) {
  CheckStarted();
  CheckError(tcAbstractTransContext->TransactionStart(tcFailSafe, aSnapShot));
}

void TnxTransContext::Commit() {
  CheckStarted();
  CheckError(tcAbstractTransContext->TransactionCommit());
}

void TnxTransContext::Rollback() {
  CheckStarted();
  CheckError(tcAbstractTransContext->TransactionRollback());
}

void TnxTransContext::TransactionCorrupted() {
  CheckStarted();
  CheckError(tcAbstractTransContext->TransactionCorrupted());
}

bool TnxTransContext::InTransaction() {
  CheckStarted();
  int32_t level = -1;
  const uint32_t result = tcAbstractTransContext->TransactionGetLevel(level);
  if (result == nxeNoTransaction) return false;
  CheckError(result);
  return level >= 0;
}

bool TnxTransContext::TryStartTransaction(bool aSnapShot) {
  if (InTransaction()) return false;
  StartTransaction(aSnapShot);
  return true;
}

}  // namespace revurov
