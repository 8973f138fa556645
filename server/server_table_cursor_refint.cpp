// The table cursor's record notifications: its references first, then
// the extenders.
#include "server/engines/referential_integrity.h"
#include "server/server_table_cursor.h"
#include "storage/deadline.h"

namespace revurov {

uint32_t TnxServerTableCursor::NotifyExtenders(TnxEngineAction aAction, bool aBefore, TnxEngineArgs aArgs) {
  if (stcRefIntEngine) {
    uint32_t result = 0;
    // The references' work on other cursors keeps this operation's deadline.
    nxEnterTimeoutNesting();
    try {
      result = stcRefIntEngine->Notify(aAction, aBefore, aArgs);
    } catch (...) {
      result = asoConvertCurrentException();
    }
    nxLeaveTimeoutNesting();
    if (result != 0) return result;
  }
  return TnxServerBaseCursor::NotifyExtenders(aAction, aBefore, aArgs);
}

}  // namespace revurov
