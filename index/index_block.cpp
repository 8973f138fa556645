#include "index/index_block.h"

#include <cstring>
#include <utility>

#include "lowlevel/errors/error_codes.h"
#include "platform/endian.h"
#include "storage/block_access.h"
#include "storage/header_access.h"

namespace revurov {

using platform::LoadU32;
using platform::LoadU64;
using platform::StoreU64;

PnxBlock nxReadIndexBlock(TnxBaseTransaction* aTrans, TnxBaseFileHeaderAccess& aFileHeader, int32_t aID,
                          bool aMarkDirty, TnxBlockNumber aBlockNumber, TnxReleaseMethod& aReleaseMethod) {
  TnxBlockAccess& access = aFileHeader.BlockAccess();
  if (!access.ValidBlock(aBlockNumber, aFileHeader))
    throw EnxBaseIndexEngineException(nxeInvalidBlockNumber,
                                      u"Block number is either < 0, or >= number of blocks in file [%s, block %d]",
                                      {access.fiName(), aBlockNumber});
  TnxBlockGuard guard;
  guard.Hold(access.GetBlock(aTrans, aBlockNumber, aID, aMarkDirty, guard.ReleaseMethod()));
  PnxBlock block = guard.Block();
  if (std::memcmp(block, nxIndexBlockSignature.data(), 4) != 0 || LoadU32(block + 4) != aBlockNumber)
    throw EnxBaseIndexEngineException(nxeNotAnIndexBlock,
                                      u"Block just read from file is not a valid index block [%s, block %d]",
                                      {access.fiName(), aBlockNumber});
  if (aMarkDirty) StoreU64(block + nxihChangeCounter, LoadU64(block + nxihChangeCounter) + 1);
  aReleaseMethod = std::exchange(guard.ReleaseMethod(), {});
  return block;
}

}  // namespace revurov
