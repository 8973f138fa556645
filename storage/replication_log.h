// What a replication log is told of a flush: each transaction, and within
// it each file and every block written, with the LSN the block carried
// before this commit.
//
// Contract:
// - A flush of a file that is marked for the log calls BeginFile, then
//   WriteBlock for each block in the order written (the image as it goes to
//   disk, encrypted where the file is), then EndFile once all are written.
//   A flush that fails stops there, without EndFile.
#pragma once

#include <string_view>

#include "dictionary/engine_types.h"
#include "lowlevel/heap/memory_manager.h"
#include "storage/storage_types.h"

namespace revurov {

class TnxBaseReplicationLog : public TnxObject {
public:
  virtual void BeginTrans(TnxLSN aLSN) = 0;
  virtual void EndTrans() = 0;
  virtual void BeginFile(std::u16string_view aAlias, std::u16string_view aTable, std::u16string_view aFile,
                         TnxBlockSize aBlockSize) = 0;
  virtual void EndFile() = 0;
  virtual void WriteBlock(TnxBlockNumber aBlockNumber, TnxLSN aOldLSN, PnxBlock aBlock) = 0;
};

}  // namespace revurov
