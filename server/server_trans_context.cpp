#include "server/server_trans_context.h"

#include "server/server_session.h"

namespace revurov {

TnxServerTransContext::TnxServerTransContext(TnxServerSession* aSession, uint32_t aTimeout)
    : TnxAbstractTransContext(aSession, aTimeout) {}

uint32_t TnxServerTransContext::TransactionStart(bool, bool) { return NotSupported(u"TransactionStart"); }

uint32_t TnxServerTransContext::TransactionStartWith(bool, bool, std::span<TnxAbstractCursor* const>) {
  return NotSupported(u"TransactionStartWith");
}

uint32_t TnxServerTransContext::TransactionCommit() { return NotSupported(u"TransactionCommit"); }

uint32_t TnxServerTransContext::TransactionRollback() { return NotSupported(u"TransactionRollback"); }

uint32_t TnxServerTransContext::TransactionCorrupted() { return NotSupported(u"TransactionCorrupted"); }

uint32_t TnxServerTransContext::TransactionGetLevel(int32_t& aTransLevel) {
  aTransLevel = -1;
  return NotSupported(u"TransactionGetLevel");
}

uint32_t TnxServerTransContext::TransactionGetInfo(TnxTransactionInfo&, bool) {
  return NotSupported(u"TransactionGetInfo");
}

}  // namespace revurov
