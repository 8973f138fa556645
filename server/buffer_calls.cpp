#include "server/buffer_calls.h"

#include "storage/buffer_manager.h"
#include "storage/files.h"
#include "storage/release_method.h"
#include "storage/transactions.h"

namespace revurov {

void nxsrCommit(TnxBufferManager& aBufMgr, TnxBaseTransaction& aTrans) {
  aBufMgr.CommitTransaction(&aTrans, nullptr, false);
}

void nxsrRollback(TnxBufferManager& aBufMgr, TnxBaseTransaction& aTrans) { aBufMgr.RollbackTransaction(&aTrans); }

uint32_t nxsrAttachFile(TnxBufferManager& aBufMgr, TnxBaseFile& aFile, const std::vector<std::u16string>& aPasswords,
                        bool& aReadOnly) {
  TnxBlockGuard header;
  PnxBlock block = nullptr;
  const uint32_t result = aBufMgr.AddFile(aFile, aPasswords, header.ReleaseMethod(), block, aReadOnly);
  header.Hold(block);
  return result;
}

void nxsrDetachFile(TnxBufferManager& aBufMgr, TnxBaseFile& aFile, bool aClosing) {
  if (!aFile.fiBlockCache) return;
  if (aFile.QueuedBlocks() != 0) aBufMgr.RollbackUnwritten(aFile);
  aBufMgr.RemoveFile(aFile, aClosing);
}

}  // namespace revurov
