// TnxServerTransContext: the transaction context of the in-process engine,
// the one a database works in. Transactions through it are not offered
// yet: every transaction operation answers 12289.
#pragma once

#include <cstdint>
#include <span>

#include "engine/abstract_trans_context.h"

namespace revurov {

class TnxServerSession;

class TnxServerTransContext : public TnxAbstractTransContext {
  REVUROV_SERVER_OBJECT_CLASS(TnxServerTransContext, TnxAbstractTransContext)
  TnxServerTransContext(TnxServerSession* aSession, uint32_t aTimeout);

  uint32_t TransactionStart(bool aFailSafe, bool aSnapShot) override;
  uint32_t TransactionStartWith(bool aFailSafe, bool aSnapShot, std::span<TnxAbstractCursor* const> aCursors) override;
  uint32_t TransactionCommit() override;
  uint32_t TransactionRollback() override;
  uint32_t TransactionCorrupted() override;
  uint32_t TransactionGetLevel(int32_t& aTransLevel) override;
  uint32_t TransactionGetInfo(TnxTransactionInfo& aTransInfo, bool aAllowCached) override;

protected:
  ~TnxServerTransContext() override = default;
};

}  // namespace revurov
