// How a cursor takes a table transaction lock, for tests and benchmarks
// until the table cursor does it: the transaction's link for the table is
// used, upgraded in place, upgraded by a new link, or a new link is made at
// the innermost level. BeginTableLink decides; a waiting request then ends
// with FinishTableLink (which waits as WaitFor does and frees a link that
// was not granted). A request in a deadlocked transaction answers 10255; a
// second upgrade while one waits marks the innermost level deadlocked.
#pragma once

#include <cstdint>

#include "lowlevel/errors/error_codes.h"
#include "lowlevel/sync/lock_guard.h"
#include "server/server_table.h"
#include "server/server_transaction.h"
#include "storage/server_exceptions.h"

namespace revurov::testing {

struct TLinkRequest {
  TnxServerTransactionLevelTableLink* Link = nullptr;
  bool Waiting = false;
  uint32_t Code = 0;
};

inline TLinkRequest BeginTableLink(TnxServerTransaction& aTrans, TnxServerRootTable& aTable, bool aExclusive,
                                   bool aConditional, TnxLockFailureReason* aReason = nullptr) {
  if (uint32_t code = aTrans.CheckState()) return {nullptr, false, code};
  TnxServerTransactionLevel& level = *aTrans.ServerLevel();
  TnxServerTransactionLevelTableLink* link = nullptr;
  TnxServerTransactionLevelTableLinkState state = ttlsFailed;
  bool deadlock = false;
  {
    TnxPadlockGuard guard(aTable.TransLinksPadlock());
    TnxServerTransactionLevelTableLink* own = aTrans.stFindTableLink(aTable);
    // A snapshot reads what it saw; its links never conflict.
    if (own && own->Snapshot()) return {own, false, 0};
    if (own && own->State() == ttlsGranted && (own->Exclusive() || !aExclusive)) return {own, false, 0};
    if (own && own->State() == ttlsGranted) {
      if (aTable.TransLinksGrantedHead() == own && !own->TableNext() && own->TransactionLevel() == &level) {
        own->ttlMakeExclusive();
        return {own, false, 0};
      }
      if (aTable.TransLinksPendingUpgrade())
        deadlock = true;
      else
        link = new TnxServerTransactionLevelTableLink(level, aTable, true, own, aReason);
    } else if (own) {
      return {own, true, 0};
    } else {
      link = new TnxServerTransactionLevelTableLink(level, aTable, aExclusive, nullptr, aReason);
    }
    // Another thread may decide the link as soon as the padlock goes.
    if (link) state = link->State();
  }
  if (deadlock) {
    level.stlMarkDeadlock();
    return {nullptr, false, nxeDeadlock};
  }
  if (state == ttlsGranted) return {link, false, 0};
  if (aConditional || !link->ttlPrepareWait()) {
    const uint32_t code = link->WaitFor();
    if (code != 0) delete link;
    return {code ? nullptr : link, false, code};
  }
  return {link, true, 0};
}

inline uint32_t FinishTableLink(TnxServerTransactionLevelTableLink* aLink) {
  const uint32_t code = aLink->WaitFor();
  if (code != 0) delete aLink;
  return code;
}

inline uint32_t TableLink(TnxServerTransaction& aTrans, TnxServerRootTable& aTable, bool aExclusive,
                          bool aConditional = false, TnxLockFailureReason* aReason = nullptr) {
  TLinkRequest request = BeginTableLink(aTrans, aTable, aExclusive, aConditional, aReason);
  if (!request.Waiting) return request.Code;
  return FinishTableLink(request.Link);
}

}  // namespace revurov::testing
