// What the power-loss sweeps share: the ways a child is cut at a disk
// change, and the file through which it acknowledges what it committed.
#pragma once

#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/file_ops.h"
#include "platform/process.h"
#include "support/fault_file_ops.h"

namespace revurov::testing {

enum TCut { cExit, cPowerLoss, cSectors, cEIO, cCutCount };

// Cuts at the change aCutAt (counted from 1 into aChanges): the process
// exits, the power goes (keeping random unsynced sectors for cSectors), or
// that one change fails with EIO and the child carries on.
inline void CutAtChange(TFaultFileOps& aOps, int aCutAt, TCut aCut, int& aChanges) {
  aOps.OnChange([&aOps, &aChanges, aCutAt, aCut](TFileOp) {
    if (++aChanges != aCutAt) return 0;
    if (aCut == cPowerLoss) aOps.PowerLoss();
    if (aCut == cSectors) aOps.PowerLoss(static_cast<uint32_t>(aCutAt));
    if (aCut == cEIO) return EIO;
    platform::ExitProcessNow(0);
  });
}

// Plain writes outside the faulty seam: an acknowledgement outlives the cut.
class TAckFile {
public:
  explicit TAckFile(const std::string& aPath) : afFile(platform::PosixFileOps()) {
    afFile.Open(aPath, platform::TOpenFlags::ofWrite | platform::TOpenFlags::ofCreate);
  }
  void Ack(int32_t aValue) {
    int64_t done = 0;
    platform::PosixFileOps().WriteAt(afFile.Handle(), afAt, &aValue, 4, done);
    afAt += 4;
  }

private:
  platform::TFile afFile;
  int64_t afAt = 0;
};

}  // namespace revurov::testing
