#include "storage/cache_policy.h"

#include <algorithm>
#include <memory>
#include <utility>

#include "engine/engine_clock.h"
#include "lowlevel/heap/memory_manager.h"
#include "lowlevel/objects/utils_system.h"
#include "storage/buffer_manager.h"
#include "storage/files.h"
#include "storage/temp_storage.h"
#include "storage/transactions.h"

namespace revurov {

namespace {

constexpr uint64_t kMB = 1048576;
// An unforced pass stops after this much work; a pass that freed nothing
// is not repeated within the back-off.
constexpr uint64_t kPassLimitMs = 150;
constexpr uint64_t kFailedBackOffMs = 1000;
constexpr int kCleanupEvery = 64;

// Counts read without the padlock (AvailableRAM) are atomics, changed only
// under it: a plain load and store is enough.
void AddPages(std::atomic<int32_t>& aCount, int32_t aPages) noexcept {
  aCount.store(aCount.load(std::memory_order_relaxed) + aPages, std::memory_order_relaxed);
}

// A 64-bit process never runs short of address space.
constexpr bool AddressSpaceEmergency() noexcept { return false; }

}  // namespace

TnxCacheBudget nxCacheBudget(int32_t aMaxRAM, const TnxMemoryStatusEx* aStatus) noexcept {
  int64_t budget = aMaxRAM;
  if (aStatus) budget = std::min<int64_t>(budget, static_cast<int64_t>(aStatus->ullTotalPhys / kMB) * 8 / 10);
  // Half a page per list and below makes no cache.
  budget = std::clamp<int64_t>(budget, 1, INT32_MAX / nxPagesPerMB);
  TnxCacheBudget result;
  result.cbMaxRAM = static_cast<int32_t>(budget);
  result.cbListPages = result.cbMaxRAM * (nxPagesPerMB / 2);
  return result;
}

int64_t nxAvailableRAM(int64_t aTargetPages, int64_t aResidentPages, const TnxMemoryStatusEx* aStatus) noexcept {
  if (!aStatus) return 0;
  // What the cache may still take of its budget (nothing when over it).
  const int64_t unused = std::max<int64_t>(aTargetPages - aResidentPages, 0) * 4096;
  const int64_t virtualLeft = static_cast<int64_t>(std::min<uint64_t>(aStatus->ullAvailVirtual, INT64_MAX));
  const int64_t physicalLeft = static_cast<int64_t>(std::min<uint64_t>(aStatus->ullAvailPhys, INT64_MAX));
  const int64_t a = std::max<int64_t>(virtualLeft - unused - 256 * static_cast<int64_t>(kMB), 0);
  const int64_t b = std::max<int64_t>(physicalLeft - unused - 32 * static_cast<int64_t>(kMB), 0);
  return std::min(a, b);
}

const TnxMemoryStatusEx* nxReadMemoryStatus(TnxMemoryStatusEx& aStatus) {
  aStatus = TnxMemoryStatusEx{};
  if (nxGlobalMemoryStatusEx && nxGlobalMemoryStatusEx(aStatus)) return &aStatus;
  aStatus = TnxMemoryStatusEx{};
  return nxGetMemoryStatus(aStatus) ? &aStatus : nullptr;
}

// ---- cache lists ----

void TnxBlockObject::LeaveScannedPart(TnxCacheBlockState aState, bool aFreq) noexcept {
  TnxBufferManager::TnxEvictScan& scan = boBufferManager.bmEvictScan[aState][aFreq];
  if (scan.esLast == this) scan.esLast = boBlockPrev[aState];
  if (boRecheckSlot != kNoTempNum) {
    scan.esRecheck[boRecheckSlot] = nullptr;
    ++scan.esHoles;
    boRecheckSlot = kNoTempNum;
  }
}

void TnxBlockObject::Unlink(TnxCacheBlockState aState, bool aFreq, bool aResident) noexcept {
  TnxBufferManager& bm = boBufferManager;
  if (aResident) LeaveScannedPart(aState, aFreq);
  TnxBlockObject*& prevNext = boBlockPrev[aState] ? boBlockPrev[aState]->boBlockNext[aState]
                                                  : bm.bmBlockListHead[aState][aFreq][aResident];
  prevNext = boBlockNext[aState];
  TnxBlockObject*& nextPrev = boBlockNext[aState] ? boBlockNext[aState]->boBlockPrev[aState]
                                                  : bm.bmBlockListTail[aState][aFreq][aResident];
  nextPrev = boBlockPrev[aState];
  boBlockNext[aState] = nullptr;
  boBlockPrev[aState] = nullptr;
}

void TnxBlockObject::Append(TnxCacheBlockState aState, bool aFreq, bool aResident) noexcept {
  TnxBufferManager& bm = boBufferManager;
  if (aState == cbsMapped && aResident) boMappedAt = bm.bmMappedClock[aFreq] += nxBlockSizePages[boBlockSize];
  TnxBlockObject*& tail = bm.bmBlockListTail[aState][aFreq][aResident];
  boBlockPrev[aState] = tail;
  boBlockNext[aState] = nullptr;
  (tail ? tail->boBlockNext[aState] : bm.bmBlockListHead[aState][aFreq][aResident]) = this;
  tail = this;
}

void TnxBlockObject::StopTracking(TnxCacheBlockState aState) noexcept {
  const uint8_t bit = static_cast<uint8_t>(1u << aState);
  if (!(boBlockTracked & bit)) return;
  const bool top = boBlockCacheHit[aState] == nxCacheCounterTop;
  boBufferManager.bmWithinTargets = false;
  Unlink(aState, top, false);
  AddPages(boBufferManager.bmBlockListCount[aState][top][0], -nxBlockSizePages[boBlockSize]);
  boBlockTracked = static_cast<uint8_t>(boBlockTracked & ~bit);
}

void TnxBlockObject::UpdateBlockList(bool aCountIt) noexcept {
  TnxBufferManager& bm = boBufferManager;
  const TnxCacheBlockState now = CacheState();
  if (now == cbsMapped && boBlockState == cbsMapped && !(boBlockTracked & (1u << cbsMapped)) &&
      (boBlockCacheHit[cbsMapped] >= nxCacheFrequentUse) == boBlockFreqUse) {
    // A use of a mapped image (nearly every read): it only moves to the tail
    // of its list; the last one there is not even counted.
    TnxBlockObject* next = boBlockNext[cbsMapped];
    if (!next) return;
    // One in the youngest quarter of its list stays where it is: eviction
    // takes three quarters of the list before it, as it would after a move,
    // and the hit touches no neighbour (two cache misses on a large cache).
    const uint32_t since = bm.bmMappedClock[boBlockFreqUse] - boMappedAt;
    const int32_t listPages = bm.bmBlockListCount[cbsMapped][boBlockFreqUse][1].load(std::memory_order_relaxed);
    if (since < static_cast<uint32_t>(listPages) / 4) {
      if (aCountIt) {
        nxSaturatingInc(boBlockCacheHit[cbsMapped]);
        boWasBulkLoaded = wblNo;
      }
      return;
    }
    LeaveScannedPart(cbsMapped, boBlockFreqUse);
    boMappedAt = bm.bmMappedClock[boBlockFreqUse] += nxBlockSizePages[boBlockSize];
    TnxBlockObject*& tail = bm.bmBlockListTail[cbsMapped][boBlockFreqUse][1];
    (boBlockPrev[cbsMapped] ? boBlockPrev[cbsMapped]->boBlockNext[cbsMapped]
                            : bm.bmBlockListHead[cbsMapped][boBlockFreqUse][1]) = next;
    next->boBlockPrev[cbsMapped] = boBlockPrev[cbsMapped];
    boBlockPrev[cbsMapped] = tail;
    boBlockNext[cbsMapped] = nullptr;
    tail->boBlockNext[cbsMapped] = this;
    tail = this;
    if (aCountIt) {
      nxSaturatingInc(boBlockCacheHit[cbsMapped]);
      boWasBulkLoaded = wblNo;
    }
    return;
  }
  const bool freq = boBlockCacheHit[now] >= nxCacheFrequentUse;
  const bool top = boBlockCacheHit[now] == nxCacheCounterTop;
  const TnxCacheBlockState old = boBlockState;
  const bool oldFreq = boBlockFreqUse;
  if (now == old && freq == oldFreq && (now == cbsStored || !boBlockNext[now])) return;
  bm.bmWithinTargets = false;
  const int32_t pages = nxBlockSizePages[boBlockSize];
  if (old != cbsStored) Unlink(old, oldFreq, true);
  StopTracking(now);
  if (now != old || freq != oldFreq) {
    if (old != cbsStored) AddPages(bm.bmBlockListCount[old][oldFreq][1], -pages);
    if (now != cbsStored) AddPages(bm.bmBlockListCount[now][freq][1], pages);
  }
  const int newRank = nxCacheStateRank(now);
  const int oldRank = nxCacheStateRank(old);
  if (aCountIt) {
    if (oldRank < newRank) {
      // A block coming back shifts target towards the list it lands in.
      std::atomic<int32_t>& from = bm.bmMaxPages[now][!top];
      const int32_t moved = nxPromotionPages(from.load(std::memory_order_relaxed));
      AddPages(from, -moved);
      AddPages(bm.bmMaxPages[now][top], moved);
    }
    if (newRank < oldRank && now != cbsMapped) {
      nxSaturatingInc(boBlockCacheEvict[old]);
      if (boWasBulkLoaded != wblYesTrigger) ++bm.bmBlockCacheEvict[old][oldFreq][boWasBulkLoaded == wblYes];
      boWasBulkLoaded = wblNo;
    }
    if (now == cbsMapped) {
      nxSaturatingInc(boBlockCacheHit[old]);
      boWasBulkLoaded = wblNo;
    }
  }
  if (newRank < oldRank && boBlockCacheHit[old] != 0) {
    // Demoted after use: remembered in the history of the state it left.
    const bool oldTop = boBlockCacheHit[old] == nxCacheCounterTop;
    Append(old, oldTop, false);
    AddPages(bm.bmBlockListCount[old][oldTop][0], pages);
    boBlockTracked = static_cast<uint8_t>(boBlockTracked | (1u << old));
  }
  boBlockState = now;
  boBlockFreqUse = freq;
  if (now != cbsStored) Append(now, freq, true);
}

// ---- eviction answers ----

TnxEvictResult TnxReadOnlyBlock::CheckedEvict(bool /*aForce*/) {
  if (RefCount() > 0 || robLoading || robLoad) return erNone;
  // Committed and not yet written: the memory is the only copy until the
  // flush has written it.
  if (Unwritten()) return erNone;
  // An in-memory file has no other copy of its blocks.
  if (robFile->IsTemporary()) return ParkImage() ? erThis : erNone;
  FreeCacheBlock(true);
  // The header object stays: it carries the file's LSN and marks the file
  // as read.
  if (!robBlockListTail && !robTrans && robSnapShots.empty() && robBlockNum != 0) boBufferManager.FreeBlock(*this);
  return erThis;
}

bool TnxBlockObject::StoreRefuses() const noexcept {
  return !boBufferManager.bmTempStore->HasSpaceFor(boBlockSize);
}

bool TnxReadOnlyBlock::EvictionSettled() const noexcept {
  // Only an in-memory file's image the store has no room for stays for
  // good; pins, a read and a flush end without relinking the block.
  return robFile->IsTemporary() && RefCount() == 0 && !robLoading && !robLoad && !Unwritten() &&
         StoreRefuses();
}

TnxEvictResult TnxModifiedBlock::CheckedEvict(bool /*aForce*/) {
  TnxReadOnlyBlock& block = mbReadOnlyBlock;
  if (block.RefCount() > 0) return erNone;
  if ((block.robFile->fiAttributes & nxfaTransWriteThrough) && block.robBlockListTail.get() == this) {
    TnxBaseTransaction& trans = *block.robTrans;
    TnxBaseTransactionLevel& level = *trans.btTransLevelsTail;
    // Refused, the copy is only parked; the owner's own calls commit it
    // through later.
    if (level.tlLevel == 0 && level.tlNestingCount == 0 && boBufferManager.MayCommitThrough(trans)) {
      try {
        boBufferManager.CommitWriteThroughPending(trans);
        return erMany;
      } catch (...) {
        // Part of it may have gone through: the transaction can only be
        // rolled back now. Eviction itself never fails.
        try {
          trans.MarkCorrupted();
        } catch (...) {
        }
        return erNone;
      }
    }
    if (level.tlLevel > 0 || level.tlNestingCount > 0) trans.btWriteThroughCommit = true;
  }
  return ParkImage() ? erThis : erNone;
}

bool TnxModifiedBlock::EvictionSettled() const noexcept {
  // A write-through copy may have to commit through once its level ends.
  return !(mbReadOnlyBlock.robFile->fiAttributes & nxfaTransWriteThrough) && mbReadOnlyBlock.RefCount() == 0 &&
         StoreRefuses();
}

TnxEvictResult TnxBlockSnapShot::CheckedEvict(bool /*aForce*/) {
  if (bssReadOnlyBlock.RefCount() > 0) return erNone;
  return ParkImage() ? erThis : erNone;
}

bool TnxBlockSnapShot::EvictionSettled() const noexcept {
  return bssReadOnlyBlock.RefCount() == 0 && StoreRefuses();
}

TnxEvictResult TnxScratchBlock::CheckedEvict(bool /*aForce*/) {
  if (sbRefCount > 0) return erNone;
  return ParkImage() ? erThis : erNone;
}

bool TnxScratchBlock::EvictionSettled() const noexcept {
  return sbRefCount == 0 && StoreRefuses();
}

// ---- the buffer manager's side ----

void TnxBufferManager::ForgetScannedParts() noexcept {
  for (auto& lists : bmEvictScan)
    for (TnxEvictScan& scan : lists) {
      scan.esLast = nullptr;
      for (TnxBlockObject* block : scan.esRecheck)
        if (block) block->boRecheckSlot = TnxBlockObject::kNoTempNum;
      scan.esRecheck.clear();
      scan.esHoles = 0;
    }
}

void TnxBufferManager::CheckScanStore() noexcept {
  // Only passes park, so the store fills only during one; between them it
  // can only empty.
  const int64_t size = bmTempStore->GetSize();
  const int64_t inUse = bmTempStore->GetInUse();
  if (size != bmScanStoreSize || inUse < bmScanStoreInUse) ForgetScannedParts();
  bmScanStoreSize = size;
  bmScanStoreInUse = inUse;
}

void TnxBufferManager::ApplyBudget(const TnxCacheBudget& aBudget) noexcept {
  bmMaxRAM = aBudget.cbMaxRAM;
  bmWithinTargets = false;
  for (const bool freq : {false, true}) {
    bmMaxPages[cbsMapped][freq].store(aBudget.cbListPages, std::memory_order_relaxed);
    bmMaxPages[cbsAllocated][freq].store(0, std::memory_order_relaxed);
  }
  bmUseAllocated = false;
  TrimSpares(std::max(Target(cbsMapped) - Resident(cbsMapped), 0));
}

int64_t TnxBufferManager::AvailableRAM() {
  TnxMemoryStatusEx status;
  const TnxMemoryStatusEx* read = nxReadMemoryStatus(status);
  const auto count = [](const std::atomic<int32_t>& aCount) { return aCount.load(std::memory_order_relaxed); };
  const int64_t target = count(bmMaxPages[cbsMapped][0]) + count(bmMaxPages[cbsMapped][1]);
  const int64_t resident = count(bmBlockListCount[cbsMapped][0][1]) + count(bmBlockListCount[cbsMapped][1][1]);
  return nxAvailableRAM(target, resident, read);
}

int32_t TnxBufferManager::ResidentPages() {
  TnxPadlockGuard guard(bmPadlock);
  return Resident(cbsMapped);
}

int32_t TnxBufferManager::TargetPages() {
  TnxPadlockGuard guard(bmPadlock);
  return Target(cbsMapped);
}

int64_t TnxBufferManager::TempStoreInUse() {
  TnxPadlockGuard guard(bmPadlock);
  return bmTempStore->GetInUse();
}

void TnxBufferManager::EvictNow(bool aForce) {
  {
    TnxPadlockGuard guard(bmPadlock);
    RemoveExcessBlocks(aForce, aForce);
  }
  FlushPendingWriteThrough();
}

void TnxBufferManager::StandardEviction() {
  const bool low = nxMemoryManagerIsLowOnMemory();
  // Every list within its target and no pressure: a pass would find nothing
  // to do (this is the path of nearly every read). Plain moves within a list
  // leave the counts as they were when that was last found.
  if (!low && !AddressSpaceEmergency()) {
    if (bmWithinTargets) return;
    if (!OverAnyTarget()) {
      bmWithinTargets = true;
      return;
    }
  }
  RemoveExcessBlocks(AddressSpaceEmergency(), low);
}

bool TnxBufferManager::OverAnyTarget() const noexcept {
  // Written out: it runs on every block fetch.
  const auto over = [this](TnxCacheBlockState aState) {
    return Resident(aState) > Target(aState) || bmBlockListCount[aState][0][0] > bmMaxPages[aState][1] ||
           bmBlockListCount[aState][1][0] > bmMaxPages[aState][0];
  };
  return over(cbsAllocated) || over(cbsMapped);
}

void TnxBufferManager::EvictUnderPressure() {
  const bool low = nxMemoryManagerIsLowOnMemory();
  if (low || AddressSpaceEmergency()) RemoveExcessBlocks(AddressSpaceEmergency(), low);
}

void TnxBufferManager::RemoveExcessBlocks(bool aForceMapped, bool aForceAllocated) {
  // A pass's own calls (a block created by a write-through commit) leave
  // the lists to it.
  if (bmEvicting) return;
  bmEvicting = true;
  struct TReset {
    bool& flag;
    ~TReset() { flag = false; }
  } reset{bmEvicting};
  CheckScanStore();
  // What the pass parks is no room the next one may find.
  struct TStoreSeen {
    TnxBufferManager& bm;
    ~TStoreSeen() { bm.bmScanStoreInUse = bm.bmTempStore->GetInUse(); }
  } seen{*this};
  if (aForceMapped && AddressSpaceEmergency()) bmChunkEmergency = nxEngineTickCount();
  // Spare memory goes first, and the pass evicts into the heap, not there.
  if (aForceAllocated && nxMemoryManagerIsLowOnMemory()) TrimSpares(0);
  if (aForceAllocated && nxMemoryManagerIsLowOnMemory()) {
    bmPhysicalEmergency = nxEngineTickCount();
    RemoveExcessUsedBlocks(cbsAllocated, true);
    if (nxMemoryManagerIsLowOnMemory())
      aForceMapped = true;
    else
      aForceAllocated = false;
  }
  RemoveExcessUsedBlocks(cbsMapped, aForceMapped);
  RemoveExcessUsedBlocks(cbsAllocated, aForceAllocated);
  RemoveExcessTrackedBlocks(cbsMapped);
  RemoveExcessTrackedBlocks(cbsAllocated);
}

void TnxBufferManager::RemoveExcessUsedBlocks(TnxCacheBlockState aState, bool aForce) {
  int countdown = kCleanupEvery;
  const auto pressure = [&] {
    const bool low = nxMemoryManagerIsLowOnMemory();
    if (!low && !(aState == cbsMapped && AddressSpaceEmergency())) return false;
    if (--countdown <= 0) {
      nxMemoryManagerCleanupNow();
      countdown = kCleanupEvery;
    }
    return nxMemoryManagerIsLowOnMemory() || (aState == cbsMapped && AddressSpaceEmergency());
  };
  const auto overLimit = [&] { return Resident(aState) > Target(aState) || pressure(); };
  const auto listOver = [&](bool aFreq) {
    return bmBlockListCount[aState][aFreq][1] > bmMaxPages[aState][aFreq] || pressure();
  };
  uint64_t& failed = bmLastCheckFailed[aState];
  if (!aForce && failed != 0 && nxEngineTickCount() <= failed + kFailedBackOffMs) return;
  if (!overLimit()) return;
  const uint64_t start = nxEngineTickCount();
  // Every object is asked in list order as before; the scanned part only
  // spares asking again those whose answer cannot have changed.
  enum { goOn, stop, nextList } step = goOn;
  TnxEvictResult result = erNone;
  const auto ask = [&](TnxBlockObject& aBlock) {
    result = aBlock.CheckedEvict(aForce);
    if (result == erThis) {
      failed = 0;
      if (!aForce && nxEngineTickCount() > start + kPassLimitMs) return stop;
      if (!overLimit()) return stop;
    } else if (result == erMany) {
      // The commit moved blocks between lists: the remembered one may
      // be anywhere now.
      ForgetScannedParts();
      failed = 0;
      if (!aForce) return stop;
      return nextList;
    }
    return goOn;
  };
  for (;;) {
    failed = start;
    for (const bool freq : {false, true}) {
      TnxEvictScan& scan = bmEvictScan[aState][freq];
      // Closed up only when mostly holes: a pass that evicts a few blocks
      // costs no walk over all the kept ones.
      if (scan.esHoles > scan.esRecheck.size() / 2) {
        size_t kept = 0;
        for (TnxBlockObject* block : scan.esRecheck)
          if (block) {
            block->boRecheckSlot = static_cast<uint32_t>(kept);
            scan.esRecheck[kept++] = block;
          }
        scan.esRecheck.resize(kept);
        scan.esHoles = 0;
      }
      step = goOn;
      for (size_t i = 0; i < scan.esRecheck.size() && step == goOn && listOver(freq); ++i) {
        TnxBlockObject* block = scan.esRecheck[i];
        if (!block) continue;
        step = ask(*block);
        if (result == erNone && scan.esRecheck[i] == block && block->EvictionSettled()) {
          scan.esRecheck[i] = nullptr;
          ++scan.esHoles;
          block->boRecheckSlot = TnxBlockObject::kNoTempNum;
        }
      }
      if (step == stop) return;
      if (step == nextList) continue;
      TnxBlockObject* block = scan.esLast ? scan.esLast->boBlockNext[aState] : bmBlockListHead[aState][freq][1];
      while (block && listOver(freq)) {
        TnxBlockObject* next = block->boBlockNext[aState];
        step = ask(*block);
        if (step == stop) return;
        if (step == nextList) break;
        // Kept right behind the scanned part: the part grows over it.
        if (result == erNone &&
            (scan.esLast ? scan.esLast->boBlockNext[aState] : bmBlockListHead[aState][freq][1]) == block)
          KeepScanned(scan, *block);
        block = next;
      }
    }
    if (!overLimit() || failed != 0) return;
  }
}

void TnxBufferManager::KeepScanned(TnxEvictScan& aScan, TnxBlockObject& aBlock) noexcept {
  if (!aBlock.EvictionSettled()) {
    try {
      aScan.esRecheck.push_back(&aBlock);
    } catch (...) {
      // Not remembered: the part ends before it.
      return;
    }
    aBlock.boRecheckSlot = static_cast<uint32_t>(aScan.esRecheck.size() - 1);
  }
  aScan.esLast = &aBlock;
}

void TnxBufferManager::RemoveExcessTrackedBlocks(TnxCacheBlockState aState) noexcept {
  for (const bool freq : {false, true}) {
    TnxBlockObject* block = bmBlockListHead[aState][freq][0];
    while (block && bmBlockListCount[aState][freq][0] > bmMaxPages[aState][!freq]) {
      TnxBlockObject* next = block->boBlockNext[aState];
      block->StopTracking(aState);
      block->boBlockCacheHit[aState] = 0;
      block = next;
    }
  }
}

// ---- write-through commits ----

void TnxBufferManager::CommitWriteThrough(TnxBaseTransaction& aTrans, TnxFlushList& aFlushList) {
  // Every copy is checked first, as in a full commit.
  for (TnxReadOnlyBlock* block : aTrans.btBlocks) block->robBlockListTail->Validate();
  if (!(aTrans.btState & nxStateBit(tsSnapshot))) CountTrans(tcCommit);
  if (bmActiveSnapShotCount > 0 && aTrans.btFiles.size() >= 2) LinkFilesForSnapShots(aTrans);
  for (const auto& bound : aTrans.btFiles) bound.bfFile->ReserveQueue(aTrans.btBlocks.size() + 1);
  // A block with pointers out keeps its copy and stays in the list.
  const std::vector<TnxReadOnlyBlock*> blocks = aTrans.btBlocks;
  for (TnxReadOnlyBlock* block : blocks) block->Commit(true, true);
  aFlushList.Prepare(aTrans, true);
}

void TnxBufferManager::CommitWriteThroughPending(TnxBaseTransaction& aTrans) {
  bmPendingFlushes.reserve(bmPendingFlushes.size() + 1);
  auto list = std::make_unique<TnxFlushList>();
  CommitWriteThrough(aTrans, *list);
  bmPendingFlushes.push_back(std::move(list));
  bmPendingFlushCount.fetch_add(1, std::memory_order_release);
}

void TnxBufferManager::FlushPendingWriteThrough() {
  if (bmPendingFlushCount.load(std::memory_order_acquire) == 0) return;
  std::vector<std::unique_ptr<TnxFlushList>> lists;
  {
    TnxPadlockGuard guard(bmPadlock);
    lists.swap(bmPendingFlushes);
    bmPendingFlushCount.store(0, std::memory_order_release);
  }
  for (const auto& list : lists) list->Flush(false);
}

void TnxBufferManager::FlushPendingWriteThrough(TnxReleaseMethod& aReleaseMethod, PnxBlock aBlock) {
  if (bmPendingFlushCount.load(std::memory_order_acquire) == 0) return;
  try {
    FlushPendingWriteThrough();
  } catch (...) {
    if (aReleaseMethod) std::exchange(aReleaseMethod, {})(aBlock);
    throw;
  }
}

}  // namespace revurov
