#include "storage/buffer_manager.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <exception>
#include <functional>
#include <new>

#include "engine/engine_clock.h"
#include "engine/session_stats.h"
#include "lowlevel/components/component_settings.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/objects/utils_system.h"
#include "lowlevel/sync/events.h"
#include "platform/rtl_exception.h"
#include "platform/string_list.h"
#include "storage/encryption_engine.h"
#include "storage/file_header.h"
#include "storage/files.h"
#include "storage/temp_storage.h"
#include "storage/transactions.h"

namespace revurov {

// One read of a block from disk. The threads that wait for it keep this
// record, not the block object, and learn from it how the read ended.
struct TnxBlockLoad {
  TnxManualEventRef blEvent;
  // Set under the padlock before the signal when the read failed: raises a
  // copy of the error. Each waiter throws an exception object of its own;
  // one object shared by several threads would be freed by whichever of
  // them lets go last.
  std::function<void()> blRaise;
  int32_t blWaiters = 0;  // under the padlock
};

namespace {

// Gives the padlock up for a scope and takes it back at its end, also when
// the scope raises.
using TnxPadlockUnguard = TnxLockGuard<TnxPadlock, &TnxPadlock::Unlock, &TnxPadlock::Lock>;


// Room for one more entry, so that the push after it cannot fail; grows
// geometrically (reserving size + 1 each time would copy the list on every
// insert).
template <class Vector>
void ReserveOneMore(Vector& aList) {
  if (aList.size() == aList.capacity()) aList.reserve(std::max<size_t>(8, aList.capacity() * 2));
}

// Takes entry aSlot out of an owning list by moving the last entry into its
// place; aSetSlot tells the moved entry its new slot.
template <class T, class SetSlot>
std::unique_ptr<T> SwapRemove(std::vector<std::unique_ptr<T>>& aList, uint32_t aSlot, SetSlot&& aSetSlot) noexcept {
  std::unique_ptr<T> taken = std::move(aList[aSlot]);
  if (aSlot + 1 != aList.size()) {
    aList[aSlot] = std::move(aList.back());
    aSetSlot(*aList[aSlot], aSlot);
  }
  aList.pop_back();
  return taken;
}

[[noreturn]] void RaiseInvalid(std::u16string_view aText, std::initializer_list<platform::TFormatArg> aArgs) {
  throw EnxBufferManagerException(nxeInvalidParameter, aText, aArgs);
}

std::u16string Kbyte(int64_t aPages) { return nxFormatGrouped(aPages * 4) + u" kbyte"; }

const TnxTempStorageClass& InstalledTempStorageClass() {
  const TnxTempStorageClass* installed = nxDefaultTempStorageClass();
  return installed ? *installed : TnxNullTempStorage::ClassInfo();
}

void StaticTempStorageValues(const TnxTempStorageClass& aClass, platform::TStringList& aList) {
  (aClass.GetStatsValuesStatic ? aClass.GetStatsValuesStatic : &TnxBaseTempStorage::GetStatsValuesStatic)(aList);
}

const char16_t* AweText() {
  if (nxPhysicalMemoryActive()) return u"Yes, Active";
  return nxPhysicalMemorySupported() ? u"Yes, Inactive" : u"No";
}

// What raises a copy of the exception in flight, of its own class where it
// is one the read can raise; called inside a catch block.
std::function<void()> CopyOfCurrentException() {
  try {
    throw;
  } catch (const EnxLinuxFileException& e) {
    return [e] { throw e; };
  } catch (const EnxBaseFileException& e) {
    return [e] { throw e; };
  } catch (const Enx2xFileHeaderAccessException& e) {
    return [e] { throw e; };
  } catch (const Enx1xFileHeaderAccessException& e) {
    return [e] { throw e; };
  } catch (const EnxFileHeaderAccessException& e) {
    return [e] { throw e; };
  } catch (const EnxBlowfishRC4EncryptionEngineException& e) {
    return [e] { throw e; };
  } catch (const EnxBaseEncryptionEngineException& e) {
    return [e] { throw e; };
  } catch (const EnxBaseException& e) {
    return [e] { throw e; };
  } catch (const platform::EOutOfMemory& e) {
    return [e] { throw e; };
  } catch (const platform::Exception& e) {
    return [e] { throw e; };
  } catch (const std::bad_alloc&) {
    return [] { throw std::bad_alloc(); };
  } catch (...) {
    return [] { throw EnxBufferManagerException(nxeUnknownException, u"Reading a block failed"); };
  }
}

constexpr TnxSessionStatsCounter kSessionCounter[nxTransCounterCount] = {
    sscTransCommit, sscTransRollback, sscTransNestedCommit, sscTransNestedRollback, sscTransDeadlock,
    sscTransCorrupted};

}  // namespace

// ---- the block index of one file ----

// A four-level radix tree over the block number: the top array by bits
// 24..31, then containers by bits 16..23 and 8..15, and the leaves by bits
// 0..7. Block 0 (the header) is kept beside it. The cache owns every block
// object of the file in its list and every container in its pool.
class TnxFileBlockCache {
public:
  TnxFileBlockCache(TnxBufferManager& aOwner, TnxBaseFile& aFile) : fcOwner(aOwner), fcFile(aFile) {}
  TnxFileBlockCache(const TnxFileBlockCache&) = delete;
  TnxFileBlockCache& operator=(const TnxFileBlockCache&) = delete;

  TnxReadOnlyBlock* Find(TnxBlockNumber aNumber) const noexcept {
    if (aNumber == 0) return fcBlockZero;
    const Container* c = fcBlocks[aNumber >> 24];
    if (!c) return nullptr;
    c = static_cast<const Container*>(c->bcBlocks[(aNumber >> 16) & 255]);
    if (!c) return nullptr;
    c = static_cast<const Container*>(c->bcBlocks[(aNumber >> 8) & 255]);
    if (!c) return nullptr;
    return static_cast<TnxReadOnlyBlock*>(c->bcBlocks[aNumber & 255]);
  }

  // Nothing changes when it raises (out of memory), but for empty
  // containers that a later insert uses.
  void Insert(std::unique_ptr<TnxReadOnlyBlock> aBlock) {
    ReserveOneMore(fcBlockList);
    const TnxBlockNumber n = aBlock->BlockNumber();
    if (n == 0) {
      fcBlockZero = aBlock.get();
    } else {
      Container*& top = fcBlocks[n >> 24];
      if (!top) top = NewContainer();
      Container* level2 = Child(*top, (n >> 16) & 255);
      Container* leaf = Child(*level2, (n >> 8) & 255);
      leaf->bcBlocks[n & 255] = aBlock.get();
      ++leaf->bcCount;
    }
    aBlock->robFileSlot = static_cast<uint32_t>(fcBlockList.size());
    fcBlockList.push_back(std::move(aBlock));
  }

  std::unique_ptr<TnxReadOnlyBlock> Take(TnxReadOnlyBlock& aBlock) noexcept {
    const TnxBlockNumber n = aBlock.BlockNumber();
    if (n == 0) {
      fcBlockZero = nullptr;
    } else {
      Container*& top = fcBlocks[n >> 24];
      Container* level2 = static_cast<Container*>(top->bcBlocks[(n >> 16) & 255]);
      Container* leaf = static_cast<Container*>(level2->bcBlocks[(n >> 8) & 255]);
      leaf->bcBlocks[n & 255] = nullptr;
      // Emptied containers go back, level by level.
      if (--leaf->bcCount == 0) {
        level2->bcBlocks[(n >> 8) & 255] = nullptr;
        DisposeContainer(*leaf);
        if (--level2->bcCount == 0) {
          top->bcBlocks[(n >> 16) & 255] = nullptr;
          DisposeContainer(*level2);
          if (--top->bcCount == 0) {
            DisposeContainer(*top);
            top = nullptr;
          }
        }
      }
    }
    return SwapRemove(fcBlockList, aBlock.robFileSlot,
                      [](TnxReadOnlyBlock& aMoved, uint32_t aSlot) { aMoved.robFileSlot = aSlot; });
  }

  int32_t Count() const noexcept { return static_cast<int32_t>(fcBlockList.size()); }
  int32_t ContainerCount() const noexcept { return static_cast<int32_t>(fcContainers.size()); }

  TnxBufferManager& fcOwner;
  TnxBaseFile& fcFile;
  uint32_t fcSlot = 0;  // in the buffer manager's file list
  TnxReadOnlyBlock* fcBlockZero = nullptr;
  std::vector<std::unique_ptr<TnxReadOnlyBlock>> fcBlockList;
  // Snapshots: a counter that every link's start and end moves on, the
  // snapshot IDs that have read the file, and their links (oldest first).
  uint32_t fcSnapShotCounter = 0;
  std::vector<uint8_t> fcSnapShotFlags;
  std::vector<TnxFileSnapShotLink*> fcSnapShotLinks;
  bool HasSnapShotFlag(uint32_t aID) const noexcept {
    return aID / 8 < fcSnapShotFlags.size() && (fcSnapShotFlags[aID / 8] & (1u << (aID % 8)));
  }

private:
  struct Container {
    std::array<void*, 256> bcBlocks{};
    uint16_t bcCount = 0;  // entries not nil
    uint32_t bcSlot = 0;   // in fcContainers
  };

  Container* NewContainer() {
    ReserveOneMore(fcContainers);
    auto c = std::make_unique<Container>();
    c->bcSlot = static_cast<uint32_t>(fcContainers.size());
    fcContainers.push_back(std::move(c));
    return fcContainers.back().get();
  }

  Container* Child(Container& aParent, uint32_t aIndex) {
    void*& entry = aParent.bcBlocks[aIndex];
    if (!entry) {
      entry = NewContainer();
      ++aParent.bcCount;
    }
    return static_cast<Container*>(entry);
  }

  void DisposeContainer(Container& aContainer) noexcept {
    SwapRemove(fcContainers, aContainer.bcSlot, [](Container& aMoved, uint32_t aSlot) { aMoved.bcSlot = aSlot; });
  }

  std::array<Container*, 256> fcBlocks{};
  std::vector<std::unique_ptr<Container>> fcContainers;
};

// ---- block memory ----

TnxBlockMemory::TnxBlockMemory(TnxBufferManager& aOwner, TnxBlockSizeAll aSize) : bmOwner(&aOwner), bmSize(aSize) {
  if (aOwner.TakeSpare(aSize, *this)) return;
  bmHandle = nxMapableBlockAlloc(aSize);
  try {
    bmData = static_cast<uint8_t*>(nxMapableBlockMap(bmHandle));
  } catch (...) {
    nxMapableBlockFree(std::exchange(bmHandle, 0));
    throw;
  }
}

TnxBlockMemory::~TnxBlockMemory() { Free(); }

TnxBlockMemory::TnxBlockMemory(TnxBlockMemory&& aOther) noexcept
    : bmHandle(std::exchange(aOther.bmHandle, 0)),
      bmData(std::exchange(aOther.bmData, nullptr)),
      bmOwner(aOther.bmOwner),
      bmSize(aOther.bmSize) {}

TnxBlockMemory& TnxBlockMemory::operator=(TnxBlockMemory&& aOther) noexcept {
  if (this != &aOther) {
    Free();
    bmHandle = std::exchange(aOther.bmHandle, 0);
    bmData = std::exchange(aOther.bmData, nullptr);
    bmOwner = aOther.bmOwner;
    bmSize = aOther.bmSize;
  }
  return *this;
}

void TnxBlockMemory::Free() noexcept {
  if (bmData && bmOwner && bmOwner->KeepSpare(*this)) return;
  // Both calls only refuse a handle the heap did not hand out, which this
  // object never holds; there is nobody to tell here anyway.
  try {
    if (bmData) nxMapableBlockUnmap(bmHandle, bmData);
    if (bmHandle) nxMapableBlockFree(bmHandle);
  } catch (...) {
  }
  bmHandle = 0;
  bmData = nullptr;
}

// ---- block objects ----

TnxBlockObject::~TnxBlockObject() {
  FreeCacheBlock();
  for (const TnxCacheBlockState state : {cbsAllocated, cbsMapped, cbsStored}) StopTracking(state);
}

void TnxBlockObject::SetCacheBlock(TnxBlockMemory aMemory, bool aCountIt) noexcept {
  FreeCacheBlock();
  boCacheBlock = std::move(aMemory);
  UpdateBlockList(aCountIt);
}

TnxBlockMemory TnxBlockObject::TakeCacheBlock() {
  MapImage(false);
  TnxBlockMemory taken = std::move(boCacheBlock);
  UpdateBlockList(false);
  return taken;
}

void TnxBlockObject::FreeCacheBlock(bool aCountIt) noexcept {
  if (boTempNum != kNoTempNum) {
    // The store only refuses a number it never gave out.
    try {
      boBufferManager.bmTempStore->ReleaseBlock(boTempNum, boBlockSize);
    } catch (...) {
    }
    boTempNum = kNoTempNum;
  }
  if (!boCacheBlock) return;
  boCacheBlock = TnxBlockMemory();
  UpdateBlockList(aCountIt);
}

uint8_t* TnxBlockObject::MapImage(bool aCountIt) {
  if (!boCacheBlock && boTempNum != kNoTempNum) {
    TnxBlockMemory memory(boBufferManager, boBlockSize);
    boBufferManager.bmTempStore->ReadBlock(boTempNum, boBlockSize, memory.Data());
    // Reading gave the stored copy up: nothing is left there to release.
    boTempNum = kNoTempNum;
    boCacheBlock = std::move(memory);
    UpdateBlockList(aCountIt);
  } else if (aCountIt && boCacheBlock) {
    UpdateBlockList(true);
  }
  return boCacheBlock.Data();
}

bool TnxBlockObject::ParkImage() {
  TnxBaseTempStorage& store = *boBufferManager.bmTempStore;
  if (!boCacheBlock || !store.HasSpaceFor(boBlockSize)) return false;
  try {
    boTempNum = store.WriteBlock(boCacheBlock.Data(), boBlockSize);
  } catch (...) {
    // A store that cannot take the image is a full one: the image stays.
    return false;
  }
  boCacheBlock = TnxBlockMemory();
  UpdateBlockList(true);
  return true;
}

TnxReadOnlyBlock::TnxReadOnlyBlock(TnxBufferManager& aBufferManager, TnxBaseFile& aFile, TnxBlockNumber aBlockNumber,
                                   bool aNew)
    : TnxBlockObject(aBufferManager, static_cast<TnxBlockSizeAll>(aFile.fiBlockSize)),
      robPins(std::make_unique<TnxImagePins>()),
      robFile(&aFile),
      robBlockNum(aBlockNumber),
      robNew(aNew) {
  robPins->ipBlock = this;
}

TnxReadOnlyBlock::~TnxReadOnlyBlock() = default;

PnxBlock TnxReadOnlyBlock::Block(TnxBaseTransaction* aTrans, bool aMarkDirty, TnxReleaseMethod& aReleaseMethod) {
  // A writer always sees its own latest change.
  if (aTrans && aTrans == robTrans && robBlockListTail)
    return Pin(robBlockListTail->mbGetBlock(aMarkDirty), aReleaseMethod);
  if (aTrans && (aTrans->btState & nxStateBit(tsSnapshot))) {
    const uint32_t id = aTrans->btSnapshotID;
    if (id < robSnapShotLinks.size() && robSnapShotLinks[id]) return Pin(robSnapShotLinks[id]->Block(), aReleaseMethod);
    TnxFileBlockCache& cache = *robFile->fiBlockCache;
    if (!cache.HasSnapShotFlag(id)) boBufferManager.CreateFileSnapShotLink(cache, *aTrans);
  }
  if (HasMemory()) {
    MapImage(true);
    ++boBufferManager.bmBlockCacheHit[cbsMapped][0][0];
  } else if (!robNew) {
    CacheBlockNeeded();
  }
  return Pin(boCacheBlock ? boCacheBlock.Data() : static_cast<PnxBlock>(const_cast<void*>(nxZeroBlock())),
             aReleaseMethod);
}

PnxBlock TnxReadOnlyBlock::Pin(PnxBlock aImage, TnxReleaseMethod& aReleaseMethod) noexcept {
  robPins->Take();
  aReleaseMethod = TnxReleaseMethod(&TnxReadOnlyBlock::Release, robPins.get());
  return aImage;
}

void TnxReadOnlyBlock::Release(void* aSelf, PnxBlock& aBlock) noexcept {
  // One count per image: the block's own count is summed from them under
  // the padlock, so a release touches nothing else.
  aBlock = nullptr;
  static_cast<TnxImagePins*>(aSelf)->ipReleased.fetch_add(1, std::memory_order_release);
}

int32_t TnxReadOnlyBlock::RetiredRefCount() const noexcept {
  int32_t count = 0;
  for (const auto& retired : boBufferManager.bmRetired)
    if (retired.riPins->ipBlock == this) count += retired.riPins->Count();
  return count;
}

uint8_t* TnxReadOnlyBlock::PinImage() {
  TnxPadlockGuard guard(boBufferManager.bmPadlock);
  CacheBlockNeeded();
  TnxReleaseMethod unused;
  robFlushPins = robPins.get();
  return Pin(boCacheBlock ? boCacheBlock.Data() : static_cast<PnxBlock>(const_cast<void*>(nxZeroBlock())), unused);
}

void TnxReadOnlyBlock::SetUnwritten(bool aUnwritten) noexcept {
  if (aUnwritten) {
    robUnwritten.fetch_add(1, std::memory_order_acq_rel);
    return;
  }
  int32_t queued = robUnwritten.load(std::memory_order_acquire);
  while (queued > 0 && !robUnwritten.compare_exchange_weak(queued, queued - 1, std::memory_order_acq_rel)) {
  }
}

void TnxReadOnlyBlock::Unpin() noexcept {
  PnxBlock none = nullptr;
  Release(robFlushPins, none);
}

void TnxReadOnlyBlock::ReplaceImage(TnxBlockMemory aMemory) {
  boBufferManager.ViewsChange();
  if (robPins->Count() > 0) {
    // Pins only grow under the padlock, which is held: at 0 nobody holds
    // the image and nobody can start to.
    auto fresh = std::make_unique<TnxImagePins>();
    fresh->ipBlock = this;
    ReserveOneMore(boBufferManager.bmRetired);
    boBufferManager.Retire(TakeCacheBlock(), std::exchange(robPins, std::move(fresh)));
    ++robRetiredPins;
  }
  SetCacheBlock(std::move(aMemory));
}

void TnxReadOnlyBlock::MakeDirty(TnxBaseTransaction& aTrans) {
  if (robTrans && robTrans != &aTrans)
    RaiseInvalid(u"Block %u of \"%s\" is dirty for another transaction", {robBlockNum, robFile->fiName});
  boBufferManager.ViewsChange();
  TnxBaseTransactionLevel& level = *aTrans.btTransLevelsTail;
  if (robBlockListTail) {
    if (robBlockListTail->mbTransLevel->Level() < level.Level()) {
      auto copy = std::make_unique<TnxModifiedBlock>(*this, level);
      copy->mbPrev = std::move(robBlockListTail);
      robBlockListTail = std::move(copy);
    }
    return;
  }
  aTrans.BindFile(*robFile);
  ReserveOneMore(aTrans.btBlocks);
  auto copy = std::make_unique<TnxModifiedBlock>(*this, level);
  robBlockListTail = std::move(copy);
  robTrans = &aTrans;
  robTransSlot = static_cast<uint32_t>(aTrans.btBlocks.size());
  aTrans.btBlocks.push_back(this);
  if (robBlockListTail->HasMemory()) robBlockListTail->StampLSN();
}

bool TnxReadOnlyBlock::Commit(bool aForce, bool aIsWTCommit) {
  TnxModifiedBlock* top = robBlockListTail.get();
  if (!top) return false;
  boBufferManager.ViewsChange();
  TnxBaseTransaction& trans = *robTrans;
  trans.CopiesChange();
  TnxBaseTransactionLevel& level = *top->mbTransLevel;
  if (!aForce && &level != trans.btTransLevelsTail) return false;
  if (top->mbPrev) {
    if (top->mbPrev->mbTransLevel == level.tlPrev) {
      // Merges into the outer level's copy.
      top->mbPrev->SetCacheBlock(top->TakeCacheBlock());
      top->mbPrev->mbDiscarded = top->mbDiscarded;
      robBlockListTail = std::move(top->mbPrev);
    } else {
      top->DecreaseTransLevel();
    }
    return false;
  }
  if (level.tlLevel > 0) {
    top->DecreaseTransLevel();
    return false;
  }
  if (top->mbDiscarded) {
    // A freed block: its content no longer matters, so the committed image
    // stays as it is and is not written again. A flush that queued it for
    // an earlier commit still finds that image whole.
    robBlockListTail.reset();
    UnlinkFromTrans();
    return true;
  }
  if (!robNew) KeepImageForSnapShots();
  const uint8_t* current = MapImage(false);
  const TnxLSN oldLSN = current ? nxLoadBlockCommonHeader(current).bchLSN : robLastLSN;
  if (aIsWTCommit && RefCount() > 0) return CommitKeepingCopy(*top, oldLSN);
  TnxBlockMemory image = top->TakeCacheBlock();
  if (!robFile->IsTemporary()) robFile->WriteBlock(*this);
  ReplaceImage(std::move(image));
  robLastLSN = oldLSN;
  robNew = false;
  robBlockListTail.reset();
  UnlinkFromTrans();
  if (robBlockNum == 0 && boCacheBlock) {
    if (robFile->fiHeaderAccessFactory)
      robFile->fiUsedBlocks = robFile->fiHeaderAccessFactory->GetUsedBlocks(boCacheBlock.Data());
    robLastLSN = nxLoadBlockCommonHeader(boCacheBlock.Data()).bchLSN;
  }
  return true;
}

bool TnxReadOnlyBlock::CommitKeepingCopy(TnxModifiedBlock& aCopy, TnxLSN aOldLSN) {
  // The holders go on using the copy: the committed image is a copy of it.
  TnxBlockMemory image;
  if (!aCopy.mbDiscarded) {
    const uint8_t* source = aCopy.MapImage(false);
    image = TnxBlockMemory(boBufferManager, boBlockSize);
    std::memcpy(image.Data(), source, robFile->BlockBytes());
  }
  if (!robFile->IsTemporary()) robFile->WriteBlock(*this);
  ReplaceImage(std::move(image));
  robLastLSN = aOldLSN;
  robNew = !boCacheBlock;
  if (robBlockNum == 0 && boCacheBlock) {
    if (robFile->fiHeaderAccessFactory)
      robFile->fiUsedBlocks = robFile->fiHeaderAccessFactory->GetUsedBlocks(boCacheBlock.Data());
    robLastLSN = nxLoadBlockCommonHeader(boCacheBlock.Data()).bchLSN;
  }
  return true;
}

void TnxReadOnlyBlock::Rollback() {
  if (robTrans && robTrans->btTransLevelsTail) RollbackTransLevel(*robTrans->btTransLevelsTail);
}

void TnxReadOnlyBlock::RollbackTransLevel(TnxBaseTransactionLevel& aLevel) {
  if (!robBlockListTail || robBlockListTail->mbTransLevel != &aLevel) return;
  boBufferManager.ViewsChange();
  robTrans->CopiesChange();
  robBlockListTail = std::move(robBlockListTail->mbPrev);
  if (robBlockListTail) return;
  UnlinkFromTrans();
  DropIfNewAndClean();
}

void TnxReadOnlyBlock::UnlinkFromTrans() noexcept {
  std::vector<TnxReadOnlyBlock*>& list = robTrans->btBlocks;
  if (robTransSlot + 1 != list.size()) {
    list[robTransSlot] = list.back();
    list[robTransSlot]->robTransSlot = robTransSlot;
  }
  list.pop_back();
  robTrans = nullptr;
}

void TnxReadOnlyBlock::DropIfNewAndClean() noexcept {
  if (robNew && !robTrans && !Unwritten() && !robLoading && RefCount() == 0) boBufferManager.FreeBlock(*this);
}

void TnxReadOnlyBlock::RollbackUnwritten() {
  boBufferManager.ViewsChange();
  robUnwritten.store(0, std::memory_order_release);
  if (!robSnapShots.empty()) {
    TnxBlockSnapShot& newest = *robSnapShots.back();
    TnxBlockMemory memory(boBufferManager, boBlockSize);
    std::memcpy(memory.Data(), newest.Block(), robFile->BlockBytes());
    ReplaceImage(std::move(memory));
    robNew = false;
    return;
  }
  if (!robTrans && !robLoading && RefCount() == 0) {
    boBufferManager.FreeBlock(*this);
    return;
  }
  // Held or dirty: only the image goes; the next read takes the file's.
  ReplaceImage(TnxBlockMemory());
  robNew = false;
}

void TnxReadOnlyBlock::KeepImageForSnapShots() {
  TnxFileBlockCache& cache = *robFile->fiBlockCache;
  if (robSnapShotCounter >= cache.fcSnapShotCounter) return;
  if (robFile->IsTemporary() && !(robFile->fiAttributes & nxfaMemTable)) return;
  TnxBlockSnapShot* shot = nullptr;
  for (auto it = cache.fcSnapShotLinks.rbegin();
       it != cache.fcSnapShotLinks.rend() && (*it)->fsslFileCounter > robSnapShotCounter; ++it) {
    TnxBaseTransaction& snapshot = *(*it)->fsslTrans;
    const uint32_t id = snapshot.btSnapshotID;
    if (id < robSnapShotLinks.size() && robSnapShotLinks[id]) continue;
    if (!shot) {
      CacheBlockNeeded();
      const uint8_t* image = boCacheBlock ? boCacheBlock.Data() : static_cast<const uint8_t*>(nxZeroBlock());
      ReserveOneMore(robSnapShots);
      robSnapShots.push_back(std::make_unique<TnxBlockSnapShot>(*this, image, robFile->BlockBytes()));
      shot = robSnapShots.back().get();
    }
    if (robSnapShotLinks.size() <= id) robSnapShotLinks.resize(id + 1, nullptr);
    ReserveOneMore(snapshot.btBlockSnapShotLinks);
    robSnapShotLinks[id] = shot;
    ++shot->bssLinkRefCount;
    snapshot.btBlockSnapShotLinks.push_back(this);
  }
  robSnapShotCounter = cache.fcSnapShotCounter;
}

void TnxReadOnlyBlock::DropSnapShotLink(uint32_t aID) noexcept {
  TnxBlockSnapShot* shot = robSnapShotLinks[aID];
  robSnapShotLinks[aID] = nullptr;
  if (--shot->bssLinkRefCount > 0) return;
  std::erase_if(robSnapShots, [shot](const auto& aShot) { return aShot.get() == shot; });
}

TnxBlockSnapShot::TnxBlockSnapShot(TnxReadOnlyBlock& aBlock, const uint8_t* aImage, uint32_t aBytes)
    : TnxBlockObject(aBlock.boBufferManager, aBlock.boBlockSize), bssReadOnlyBlock(aBlock) {
  TnxBlockMemory memory(boBufferManager, boBlockSize);
  std::memcpy(memory.Data(), aImage, aBytes);
  SetCacheBlock(std::move(memory));
}

TnxModifiedBlock::TnxModifiedBlock(TnxReadOnlyBlock& aBlock, TnxBaseTransactionLevel& aLevel)
    : TnxBlockObject(aBlock.boBufferManager, aBlock.boBlockSize), mbReadOnlyBlock(aBlock), mbTransLevel(&aLevel) {
  ReserveOneMore(aLevel.tlModifiedBlocks);
  const uint32_t bytes = aBlock.robFile->BlockBytes();
  if (const TnxModifiedBlock* below = aBlock.robBlockListTail.get()) {
    mbDiscarded = below->mbDiscarded;
    if (!mbDiscarded) {
      const uint8_t* source = const_cast<TnxModifiedBlock*>(below)->MapImage(false);
      TnxBlockMemory memory(boBufferManager, boBlockSize);
      std::memcpy(memory.Data(), source, bytes);
      SetCacheBlock(std::move(memory));
    }
  } else {
    mbDiscarded = aBlock.robNew;
    if (!mbDiscarded) {
      aBlock.CacheBlockNeeded();
      TnxBlockMemory memory(boBufferManager, boBlockSize);
      std::memcpy(memory.Data(), aBlock.boCacheBlock.Data(), bytes);
      SetCacheBlock(std::move(memory));
    }
  }
  aLevel.tlModifiedBlocks.push_back(this);
}

TnxModifiedBlock::~TnxModifiedBlock() {
  std::vector<TnxModifiedBlock*>& list = mbTransLevel->tlModifiedBlocks;
  const auto it = std::find(list.rbegin(), list.rend(), this);
  if (it != list.rend()) list.erase(std::next(it).base());
}

void TnxModifiedBlock::StampLSN() noexcept {
  TnxBlockCommonHeader header = nxLoadBlockCommonHeader(boCacheBlock.Data());
  header.bchLSN = mbReadOnlyBlock.robTrans->btLSN;
  nxStoreBlockCommonHeader(boCacheBlock.Data(), header);
}

PnxBlock TnxModifiedBlock::mbGetBlock(bool aMarkDirty) {
  if (mbDiscarded) {
    if (!aMarkDirty) return static_cast<PnxBlock>(const_cast<void*>(nxZeroBlock()));
    boBufferManager.ViewsChange();
    TnxBlockMemory memory(boBufferManager, boBlockSize);
    std::memset(memory.Data(), 0, mbReadOnlyBlock.robFile->BlockBytes());
    SetCacheBlock(std::move(memory));
    mbDiscarded = false;
    StampLSN();
  }
  uint8_t* image = MapImage(true);
  ++boBufferManager.bmBlockCacheHit[cbsMapped][0][0];
  return image;
}

void TnxModifiedBlock::Validate() {
  const TnxBaseFile& file = *mbReadOnlyBlock.robFile;
  if (HasMemory() && file.fiHeaderAccessFactory)
    file.fiHeaderAccessFactory->ValidateBlock(MapImage(false), mbReadOnlyBlock.robBlockNum);
}

void TnxModifiedBlock::Discard() noexcept {
  boBufferManager.ViewsChange();
  if (TnxBaseTransaction* trans = mbReadOnlyBlock.robTrans) trans->CopiesChange();
  mbDiscarded = true;
  FreeCacheBlock();
}

void TnxModifiedBlock::DecreaseTransLevel() {
  TnxBaseTransactionLevel& outer = *mbTransLevel->tlPrev;
  ReserveOneMore(outer.tlModifiedBlocks);
  std::vector<TnxModifiedBlock*>& list = mbTransLevel->tlModifiedBlocks;
  const auto it = std::find(list.rbegin(), list.rend(), this);
  if (it != list.rend()) list.erase(std::next(it).base());
  mbTransLevel = &outer;
  outer.tlModifiedBlocks.push_back(this);
}

void TnxReadOnlyBlock::CacheBlockNeeded() {
  if (boCacheBlock || robLoading) return;
  if (Parked()) {
    MapImage(false);
    return;
  }
  if (robNew) return;
  TnxBufferManager& bm = boBufferManager;
  TnxBlockMemory memory(boBufferManager, boBlockSize);
  std::vector<uint8_t> cookie;
  robLoading = true;
  std::exception_ptr error;
  std::function<void()> raise;
  {
    TnxPadlockUnguard unlocked(bm.bmPadlock);
    try {
      bm.ReadValidBlock(*this, memory.Data(), cookie);
    } catch (...) {
      error = std::current_exception();
      try {
        raise = CopyOfCurrentException();
      } catch (...) {
        raise = [] { throw std::bad_alloc(); };
      }
    }
  }
  robLoading = false;
  const std::shared_ptr<TnxBlockLoad> load = std::move(robLoad);
  if (error) {
    // Nothing of the failed read stays: the next access reads again.
    if (load) {
      load->blRaise = std::move(raise);
      load->blEvent->Signal();
    }
    std::rethrow_exception(error);
  }
  robLastLSN = nxLoadBlockCommonHeader(memory.Data()).bchLSN;
  robEncryptionCookie = std::move(cookie);
  SetCacheBlock(std::move(memory), true);
  ++bm.bmBlockCacheHit[cbsStored][0][0];
  if (load) load->blEvent->Signal();
}

TnxScratchBlock::TnxScratchBlock(TnxBufferManager& aBufferManager, TnxBlockSizeAll aSize)
    : TnxBlockObject(aBufferManager, aSize), sbID(static_cast<uint32_t>(nxEngineTickCount())) {
  SetCacheBlock(TnxBlockMemory(aBufferManager, aSize));
}

// ---- reuse scopes ----

// Why a reuse scope's answer is sound without the padlock:
// - The scope holds a pin of its own on the image, taken under the padlock
//   like any other, so the memory stays (retired at most, never freed or
//   reused) until the scope lets go; the pointer is always readable.
// - An entry is only made for the committed image of a clean block, as the
//   hit path hands it out to a transaction that is not a snapshot one.
//   Whatever changes what a transaction sees of a block (a copy made,
//   merged or dropped, a commit, a rolled-back flush, a block freed) does
//   so under the padlock and moves bmViews on before releasing it. An
//   answer needs an unchanged bmViews (acquire), so:
//   - every change made by this thread, or by one whose padlock section
//     this thread has taken the padlock after, is seen and the entry is
//     dropped;
//   - a change not yet seen is not ordered before this read, which then
//     reads the image as a fetch just before that change would have.
// - Entries are per thread (the scope lives on the thread's stack) and keyed
//   by file, block, transaction and whether the number was checked against
//   the used-block count, so an answer is one the padlock path would give.
// - A transaction's own copy is remembered only while it is the newest copy
//   at the transaction's current level, in memory and not discarded; then a
//   fetch to change it makes no new copy and changes nothing the padlock
//   guards. Such an entry holds btCopies, not bmViews: the copy stays the
//   answer until the transaction's copies are committed, merged, dropped or
//   discarded or a level begins or ends, and each of these moves btCopies
//   on (to a value no transaction had before). Only the owner's calls do
//   these, but for a write-through commit that eviction makes; that one
//   keeps a pinned copy (the scope's pin) as it is and moves btCopies on
//   too. Eviction does not park a pinned copy, so the image stays put.
namespace {

thread_local TnxBlockReuseScope* tlsReuseScope = nullptr;
thread_local const TnxBaseTransaction* tlsCallerTrans = nullptr;

// The scope keeps its own pin: the caller's release only forgets.
void ReleaseReused(void*, PnxBlock& aBlock) noexcept { aBlock = nullptr; }

}  // namespace

TnxBufferManager::TnxCallerTrans::TnxCallerTrans(const TnxBaseTransaction* aTrans) noexcept
    : ctSaved(std::exchange(tlsCallerTrans, aTrans)) {}

TnxBufferManager::TnxCallerTrans::~TnxCallerTrans() { tlsCallerTrans = ctSaved; }

bool TnxBufferManager::MayCommitThrough(const TnxBaseTransaction& aTrans) noexcept {
  if (tlsCallerTrans == &aTrans) return true;
  const uint64_t views = bmViews.load(std::memory_order_relaxed);
  if (bmRefusedTrans == &aTrans && bmRefusedViews == views) return false;
  for (const TnxReadOnlyBlock* block : aTrans.btBlocks) {
    if (block->RefCount() > 0) {
      bmRefusedTrans = &aTrans;
      bmRefusedViews = views;
      return false;
    }
  }
  return true;
}

TnxBlockReuseScope::TnxBlockReuseScope(TnxBufferManager& aBufferManager) noexcept
    : rsOwner(tlsReuseScope ? nullptr : &aBufferManager) {
  if (rsOwner) tlsReuseScope = this;
}

TnxBlockReuseScope::~TnxBlockReuseScope() {
  if (!rsOwner) return;
  for (Entry& entry : rsEntries) Drop(entry);
  tlsReuseScope = nullptr;
  if (rsHits == 0) return;
  TnxPadlockGuard guard(rsOwner->bmPadlock);
  rsOwner->bmBlockCacheHit[cbsMapped][0][0] += rsHits;
}

void TnxBlockReuseScope::Drop(Entry& aEntry) noexcept {
  if (!aEntry.ePins) return;
  PnxBlock image = aEntry.eImage;
  TnxReadOnlyBlock::Release(std::exchange(aEntry.ePins, nullptr), image);
}

PnxBlock TnxBufferManager::ReusedBlock(const TnxBaseFile& aFile, const TnxBaseTransaction* aTrans,
                                       TnxBlockNumber aBlockNumber, bool aUsed, bool aMarkDirty,
                                       TnxReleaseMethod& aReleaseMethod) noexcept {
  TnxBlockReuseScope* scope = tlsReuseScope;
  if (!scope || scope->rsOwner != this) return nullptr;
  const uint64_t views = bmViews.load(std::memory_order_acquire);
  const uint64_t copies = aTrans ? aTrans->btCopies.load(std::memory_order_acquire) : 0;
  for (TnxBlockReuseScope::Entry& entry : scope->rsEntries) {
    if (!entry.ePins || entry.eNumber != aBlockNumber || entry.eCache != aFile.fiBlockCache ||
        entry.eTrans != aTrans)
      continue;
    if (entry.eOwn) {
      // A count check reads the transaction's header copy, which it may
      // have changed since without telling anyone: that takes the padlock.
      if (aUsed) continue;
      if (entry.eViews != copies) break;
    } else {
      if (aMarkDirty || (aUsed && !entry.eUsed)) continue;
      if (entry.eViews != views) break;
    }
    ++scope->rsHits;
    aReleaseMethod = TnxReleaseMethod(&ReleaseReused, nullptr);
    return entry.eImage;
  }
  // Entries of an older view are of no more use: their images go now. Own
  // copies of another transaction are left alone: it may be gone.
  for (TnxBlockReuseScope::Entry& entry : scope->rsEntries) {
    if (!entry.ePins) continue;
    if (entry.eOwn ? entry.eTrans == aTrans && entry.eViews != copies : entry.eViews != views) scope->Drop(entry);
  }
  return nullptr;
}

void TnxBufferManager::RememberBlock(TnxReadOnlyBlock& aBlock, const TnxBaseTransaction* aTrans,
                                     bool aUsed) noexcept {
  TnxBlockReuseScope* scope = tlsReuseScope;
  if (!scope || scope->rsOwner != this) return;
  TnxBlockReuseScope::Entry& entry = scope->rsEntries[scope->rsNext++ % scope->rsEntries.size()];
  scope->Drop(entry);
  aBlock.robPins->Take();
  entry = {aBlock.robFile->fiBlockCache, aTrans, aBlock.robPins.get(), aBlock.boCacheBlock.Data(),
           bmViews.load(std::memory_order_relaxed), aBlock.robBlockNum, aUsed, false};
}

void TnxBufferManager::RememberCopy(TnxReadOnlyBlock& aBlock, const TnxBaseTransaction& aTrans) noexcept {
  TnxBlockReuseScope* scope = tlsReuseScope;
  if (!scope || scope->rsOwner != this) return;
  // Only a copy at the current level in memory: a fetch to change it would
  // make no new copy, and the pin keeps eviction from parking it.
  const TnxModifiedBlock* top = aBlock.robBlockListTail.get();
  if (aBlock.robTrans != &aTrans || !top || top->mbTransLevel != aTrans.btTransLevelsTail || top->mbDiscarded ||
      !top->boCacheBlock)
    return;
  TnxBlockReuseScope::Entry& entry = scope->rsEntries[scope->rsNext++ % scope->rsEntries.size()];
  scope->Drop(entry);
  aBlock.robPins->Take();
  entry = {aBlock.robFile->fiBlockCache, &aTrans, aBlock.robPins.get(), top->boCacheBlock.Data(),
           aTrans.btCopies.load(std::memory_order_relaxed), aBlock.robBlockNum, false, true};
}

// ---- buffer manager ----

TnxBufferManager::TnxBufferManager(std::u16string_view aTempDir) : bmTempDir(aTempDir) {
  bmTempStore = std::make_unique<TnxNullTempStorage>();
  bmTempStoreClass = &TnxNullTempStorage::ClassInfo();
  TnxMemoryStatusEx status;
  ApplyBudget(nxCacheBudget(10, nxReadMemoryStatus(status)));
}

TnxBufferManager::~TnxBufferManager() {
  // Waits for an operation still running.
  { TnxPadlockGuard guard(bmPadlock); }
  bmKeepSpares = false;
  TrimSpares(0);
  for (const auto& cache : bmFiles) cache->fcFile.fiBlockCache = nullptr;
  bmFiles.clear();
  bmRetired.clear();
  bmScratchBlocks.clear();
}

TnxFileBlockCache& TnxBufferManager::Attached(const TnxBaseFile& aFile) const {
  if (!aFile.fiBlockCache || &aFile.fiBlockCache->fcOwner != this)
    RaiseInvalid(u"File \"%s\" is not attached to this buffer manager", {aFile.fiName});
  return *aFile.fiBlockCache;
}

TnxBufferManager* TnxBufferManager::OwnerOf(const TnxBaseFile& aFile) noexcept {
  return aFile.fiBlockCache ? &aFile.fiBlockCache->fcOwner : nullptr;
}

TnxReadOnlyBlock* TnxBufferManager::FindBlock(TnxFileBlockCache& aCache, TnxBlockNumber aBlockNumber) {
  TnxReadOnlyBlock* block = aCache.Find(aBlockNumber);
  while (block && block->robLoading) {
    if (!block->robLoad) {
      auto made = std::make_shared<TnxBlockLoad>();
      nxGetManualEvent(made->blEvent);
      block->robLoad = std::move(made);
    }
    const std::shared_ptr<TnxBlockLoad> load = block->robLoad;
    ++load->blWaiters;
    {
      TnxPadlockUnguard unlocked(bmPadlock);
      load->blEvent->Wait();
    }
    --load->blWaiters;
    if (load->blRaise) load->blRaise();
    block = aCache.Find(aBlockNumber);
  }
  return block;
}

TnxReadOnlyBlock* TnxBufferManager::CreateBlock(TnxFileBlockCache& aCache, TnxBlockNumber aBlockNumber, bool aNew) {
  StandardEviction();
  auto owned = std::make_unique<TnxReadOnlyBlock>(*this, aCache.fcFile, aBlockNumber, aNew);
  TnxReadOnlyBlock* block = owned.get();
  aCache.Insert(std::move(owned));
  block->robInUsePrev = bmInUseListTail;
  (bmInUseListTail ? bmInUseListTail->robInUseNext : bmInUseListHead) = block;
  bmInUseListTail = block;
  return block;
}

void TnxBufferManager::FreeBlock(TnxReadOnlyBlock& aBlock) noexcept {
  ViewsChange();
  // Retired images still held outlive their block.
  if (aBlock.robRetiredPins > 0)
    for (const auto& retired : bmRetired)
      if (retired.riPins->ipBlock == &aBlock) retired.riPins->ipBlock = nullptr;
  (aBlock.robInUsePrev ? aBlock.robInUsePrev->robInUseNext : bmInUseListHead) = aBlock.robInUseNext;
  (aBlock.robInUseNext ? aBlock.robInUseNext->robInUsePrev : bmInUseListTail) = aBlock.robInUsePrev;
  aBlock.robFile->fiBlockCache->Take(aBlock);
}

bool TnxBufferManager::TakeSpare(TnxBlockSizeAll aSize, TnxBlockMemory& aMemory) noexcept {
  if (aSize >= kSpareSizes || bmSpares[aSize].empty()) return false;
  const TnxSpareBlock spare = bmSpares[aSize].back();
  bmSpares[aSize].pop_back();
  bmSparePages -= nxBlockSizePages[aSize];
  aMemory.bmHandle = spare.sbHandle;
  aMemory.bmData = spare.sbData;
  return true;
}

bool TnxBufferManager::KeepSpare(TnxBlockMemory& aMemory) noexcept {
  const TnxBlockSizeAll size = aMemory.bmSize;
  const int32_t pages = nxBlockSizePages[size];
  // The image being freed still counts as resident here: the spares stay
  // within the budget but for one block.
  if (!bmKeepSpares || size >= kSpareSizes || bmSparePages + Resident(cbsMapped) > Target(cbsMapped)) return false;
  std::vector<TnxSpareBlock>& list = bmSpares[size];
  if (list.size() == list.capacity()) {
    try {
      ReserveOneMore(list);
    } catch (...) {
      return false;
    }
  }
  if (nxMemoryManagerIsLowOnMemory()) return false;
  list.push_back({aMemory.bmHandle, aMemory.bmData});
  bmSparePages += pages;
  aMemory.bmHandle = 0;
  aMemory.bmData = nullptr;
  return true;
}

void TnxBufferManager::TrimSpares(int32_t aPages) noexcept {
  for (int size = kSpareSizes - 1; size >= 0 && bmSparePages > aPages; --size) {
    std::vector<TnxSpareBlock>& list = bmSpares[size];
    while (!list.empty() && bmSparePages > aPages) {
      const TnxSpareBlock spare = list.back();
      list.pop_back();
      bmSparePages -= nxBlockSizePages[size];
      // Only a handle the heap did not hand out is refused.
      try {
        nxMapableBlockUnmap(spare.sbHandle, spare.sbData);
        nxMapableBlockFree(spare.sbHandle);
      } catch (...) {
      }
    }
  }
}

void TnxBufferManager::ReadValidBlock(TnxReadOnlyBlock& aBlock, uint8_t* aImage, std::vector<uint8_t>& aCookie) {
  TnxBaseFile& file = *aBlock.robFile;
  file.ReadBlock(aBlock.robBlockNum, aImage, aCookie);
  // A damaged image must not become the cached one.
  if (file.fiHeaderAccessFactory) file.fiHeaderAccessFactory->ValidateBlock(aImage, aBlock.robBlockNum);
}

uint32_t TnxBufferManager::AddFile(TnxBaseFile& aFile, const std::vector<std::u16string>& aPasswords,
                                   TnxReleaseMethod& aReleaseMethod, PnxBlock& aBlock, bool& aIsReadOnly) {
  const uint32_t result = LockedAddFile(aFile, aPasswords, aReleaseMethod, aBlock, aIsReadOnly);
  FlushPendingWriteThrough(aReleaseMethod, aBlock);
  return result;
}

uint32_t TnxBufferManager::LockedAddFile(TnxBaseFile& aFile, const std::vector<std::u16string>& aPasswords,
                                         TnxReleaseMethod& aReleaseMethod, PnxBlock& aBlock, bool& aIsReadOnly) {
  TnxPadlockGuard guard(bmPadlock);
  aIsReadOnly = false;
  aReleaseMethod = {};
  aBlock = nullptr;
  if (aFile.fiBlockCache) Attached(aFile);
  uint32_t result = 0;
  TnxReadOnlyBlock* header = aFile.fiBlockCache ? FindBlock(*aFile.fiBlockCache, 0) : nullptr;
  if (header) {
    if (aFile.fiEncryptionEngine) {
      result = aFile.fiEncryptionEngine->AuthenticatePassword(aPasswords);
      if (result == nxeTableReadOnly) {
        aIsReadOnly = true;
        result = 0;
      }
    }
  } else {
    // Set before the header is read: read-ahead around it would put the
    // blocks written most into large folios.
    const bool hinted = !aFile.fiBlockCache;
    if (hinted) aFile.SetAccessHint(platform::TAccessHint::ahRandom);
    // A file attached already may be read by others meanwhile: only a new
    // one keeps the header image for its first block read.
    try {
      result = aFile.ReadHeader(aPasswords, aIsReadOnly, hinted);
    } catch (...) {
      if (hinted) {
        aFile.DropHeaderImage();
        aFile.SetAccessHint(platform::TAccessHint::ahNormal);
      }
      throw;
    }
    if (result != 0 && hinted) {
      aFile.DropHeaderImage();
      aFile.SetAccessHint(platform::TAccessHint::ahNormal);
    }
    if (result == 0) {
      const bool attaching = !aFile.fiBlockCache;
      if (attaching) AttachFile(aFile);
      try {
        header = CreateBlock(*aFile.fiBlockCache, 0, false);
        header->CacheBlockNeeded();
        if (hinted) aFile.DropHeaderImage();
      } catch (...) {
        if (hinted) aFile.DropHeaderImage();
        if (header) FreeBlock(*header);
        TnxFileBlockCache* cache = aFile.fiBlockCache;
        if (attaching && cache->Count() == 0) DetachFile(aFile);
        throw;
      }
    }
  }
  if (aFile.fiOpenMode == omReadOnly) aIsReadOnly = true;
  if (result == 0) {
    aBlock = header->Block(nullptr, aReleaseMethod);
    // LSNs keep growing across restarts.
    bmCurrentLSN = std::max(bmCurrentLSN, header->robLastLSN);
  }
  return result;
}

void TnxBufferManager::RemoveFile(TnxBaseFile& aFile, bool aClosing) {
  // A write-through commit of the file may still wait for its flush.
  FlushPendingWriteThrough();
  TnxPadlockGuard guard(bmPadlock);
  if (!aFile.fiBlockCache) return;
  TnxFileBlockCache& cache = Attached(aFile);
#ifndef NDEBUG
  for (const auto& block : cache.fcBlockList)
    assert(block->RefCount() == 0 && !block->robLoading && "a block of a removed file is still in use");
#endif
  while (!cache.fcBlockList.empty()) FreeBlock(*cache.fcBlockList.back());
  DetachFile(aFile, aClosing);
}

void TnxBufferManager::AttachFile(TnxBaseFile& aFile) {
  ReserveOneMore(bmFiles);
  auto cache = std::make_unique<TnxFileBlockCache>(*this, aFile);
  cache->fcSlot = static_cast<uint32_t>(bmFiles.size());
  aFile.fiBlockCache = cache.get();
  bmFiles.push_back(std::move(cache));
}

void TnxBufferManager::DetachFile(TnxBaseFile& aFile, bool aClosing) noexcept {
  if (aClosing)
    aFile.ForgetAccessHint();
  else
    aFile.SetAccessHint(platform::TAccessHint::ahNormal);
  const uint32_t slot = aFile.fiBlockCache->fcSlot;
  aFile.fiBlockCache = nullptr;
  SwapRemove(bmFiles, slot, [](TnxFileBlockCache& aMoved, uint32_t aSlot) { aMoved.fcSlot = aSlot; });
}

TnxReadOnlyBlock* TnxBufferManager::FindOrCreate(TnxBaseFile& aFile, TnxBlockNumber aBlockNumber, bool aNew) {
  TnxFileBlockCache& cache = Attached(aFile);
  TnxReadOnlyBlock* block = FindBlock(cache, aBlockNumber);
  // The blocks of an in-memory file are never read from disk.
  if (!block) block = CreateBlock(cache, aBlockNumber, aNew || aFile.IsTemporary());
  return block;
}

PnxBlock TnxBufferManager::GetBlock(TnxBaseFile& aFile, TnxBaseTransaction* aTrans, TnxBlockNumber aBlockNumber,
                                    bool aMarkDirty, TnxReleaseMethod& aReleaseMethod) {
  PnxBlock result = nullptr;
  if ((result = ReusedBlock(aFile, aTrans, aBlockNumber, false, aMarkDirty, aReleaseMethod))) return result;
  {
    TnxPadlockGuard guard(bmPadlock);
    result = LockedGetBlock(aFile, aTrans, aBlockNumber, aMarkDirty, aReleaseMethod);
  }
  FlushPendingWriteThrough(aReleaseMethod, result);
  return result;
}

PnxBlock TnxBufferManager::GetUsedBlock(TnxBaseFile& aFile, TnxBaseTransaction* aTrans, TnxBlockNumber aBlockNumber,
                                        bool aMarkDirty, TnxReleaseMethod& aReleaseMethod) {
  PnxBlock result = nullptr;
  if ((result = ReusedBlock(aFile, aTrans, aBlockNumber, true, aMarkDirty, aReleaseMethod))) return result;
  {
    // One hold of the padlock for the count and the block: a read of many
    // blocks pays for it once per block, not twice.
    TnxPadlockGuard guard(bmPadlock);
    if (aBlockNumber == 0 || aBlockNumber >= LockedUsedBlocks(aFile, aTrans)) return nullptr;
    result = LockedGetBlock(aFile, aTrans, aBlockNumber, aMarkDirty, aReleaseMethod, true);
  }
  FlushPendingWriteThrough(aReleaseMethod, result);
  return result;
}

void TnxBufferManager::PrefetchBlocks(const TnxBaseFile& aFile, std::span<const TnxBlockNumber> aNumbers) {
  TnxPadlockGuard guard(bmPadlock);
  if (OwnerOf(aFile) != this) return;
  const TnxFileBlockCache& cache = *aFile.fiBlockCache;
  // The objects first, then what they point to: by the second round their
  // lines are on the way, so its loads wait once for all.
  std::array<const TnxReadOnlyBlock*, 32> found;
  size_t n = 0;
  for (TnxBlockNumber number : aNumbers) {
    if (n == found.size()) break;
    const TnxReadOnlyBlock* block = cache.Find(number);
    if (!block) continue;
    // A hit reads the object's first three lines.
    for (size_t line = 0; line < 3 * 64 && line < sizeof(TnxReadOnlyBlock); line += 64)
      __builtin_prefetch(reinterpret_cast<const char*>(block) + line);
    found[n++] = block;
  }
  for (size_t i = 0; i < n; ++i) {
    if (found[i]->robPins) __builtin_prefetch(found[i]->robPins.get());
    // Block formats keep their headers in the image's first and last lines.
    if (const uint8_t* image = found[i]->boCacheBlock.Data()) {
      __builtin_prefetch(image);
      __builtin_prefetch(image + nxBlockSizeBytes[found[i]->BlockSizeAll()] - 64);
    }
  }
}

PnxBlock TnxBufferManager::LockedGetBlock(TnxBaseFile& aFile, TnxBaseTransaction* aTrans, TnxBlockNumber aBlockNumber,
                                          bool aMarkDirty, TnxReleaseMethod& aReleaseMethod, bool aUsed) {
  if (aMarkDirty && !aTrans) RaiseInvalid(u"A block can only be changed within a transaction", {});
  const TnxCallerTrans caller(aTrans);
  if (!bmRetired.empty()) SweepRetired();
  if (!aMarkDirty && (!aTrans || !(aTrans->btState & nxStateBit(tsSnapshot)))) {
    // The committed image in memory, not changed by aTrans: what nearly every
    // read finds, handed out as Block would.
    TnxReadOnlyBlock* cached = Attached(aFile).Find(aBlockNumber);
    if (cached && cached->boCacheBlock && !(aTrans && aTrans == cached->robTrans && cached->robBlockListTail)) {
      // The pin count lives apart from the block: its line is fetched while
      // the list move waits for the neighbours'.
      __builtin_prefetch(cached->robPins.get(), 1);
      cached->UpdateBlockList(true);
      ++bmBlockCacheHit[cbsMapped][0][0];
      const PnxBlock result = cached->Pin(cached->boCacheBlock.Data(), aReleaseMethod);
      RememberBlock(*cached, aTrans, aUsed);
      StandardEviction();
      return result;
    }
  }
  if (aMarkDirty) EvictUnderPressure();
  TnxReadOnlyBlock* block = FindOrCreate(aFile, aBlockNumber, false);
  try {
    if (aMarkDirty) block->MakeDirty(*aTrans);
    PnxBlock result = block->Block(aTrans, aMarkDirty, aReleaseMethod);
    if (aTrans && !aUsed) RememberCopy(*block, *aTrans);
    // The block is held now: the pass cannot take it.
    StandardEviction();
    return result;
  } catch (...) {
    // A block whose read failed holds nothing worth keeping; its waiters
    // look it up again, so it may go (a scan past the end of a file would
    // otherwise leave one empty object per number it tried).
    if (!block->HasMemory() && !block->robLoading && block->RefCount() == 0 && !block->Dirty() &&
        !block->Unwritten())
      FreeBlock(*block);
    throw;
  }
}

PnxBlock TnxBufferManager::AddBlock(TnxBaseFile& aFile, TnxBaseTransaction* aTrans, TnxBlockNumber aBlockNumber,
                                    TnxReleaseMethod& aReleaseMethod) {
  PnxBlock result;
  {
    TnxPadlockGuard guard(bmPadlock);
    const TnxCallerTrans caller(aTrans);
    EvictUnderPressure();
    // The header of a file being created: it has nothing on disk to read.
    const bool attaching = aBlockNumber == 0 && !aFile.fiBlockCache;
    if (attaching) {
      AttachFile(aFile);
      aFile.SetAccessHint(platform::TAccessHint::ahRandom);
    }
    TnxReadOnlyBlock* block = nullptr;
    try {
      block = FindOrCreate(aFile, aBlockNumber, true);
      if (aTrans) block->MakeDirty(*aTrans);
    } catch (...) {
      if (attaching) {
        if (block) FreeBlock(*block);
        DetachFile(aFile);
      }
      throw;
    }
    result = block->Block(aTrans, aTrans != nullptr, aReleaseMethod);
  }
  FlushPendingWriteThrough(aReleaseMethod, result);
  return result;
}

void TnxBufferManager::DirtyBlock(TnxBaseFile& aFile, TnxBlockNumber aBlockNumber, TnxBaseTransaction& aTrans,
                                  PnxBlock& aModifiableBlock) {
  TnxPadlockGuard guard(bmPadlock);
  const TnxCallerTrans caller(&aTrans);
  EvictUnderPressure();
  TnxReadOnlyBlock* block = FindBlock(Attached(aFile), aBlockNumber);
  if (!block) return;
  block->MakeDirty(aTrans);
  TnxReleaseMethod release;
  PnxBlock held = block->Block(&aTrans, true, release);
  aModifiableBlock = held;
  release(held);
}

void TnxBufferManager::DiscardBlock(TnxBaseFile& aFile, TnxBlockNumber aBlockNumber, TnxBaseTransaction& aTrans) {
  TnxPadlockGuard guard(bmPadlock);
  TnxReadOnlyBlock* block = FindBlock(Attached(aFile), aBlockNumber);
  if (!block) return;
  block->MakeDirty(aTrans);
  block->robBlockListTail->Discard();
}

void TnxBufferManager::CreateFileSnapShotLink(TnxFileBlockCache& aCache, TnxBaseTransaction& aTrans) {
  const uint32_t id = aTrans.btSnapshotID;
  auto link = std::make_unique<TnxFileSnapShotLink>(
      TnxFileSnapShotLink{&aCache, aCache.fcSnapShotCounter + 1, aCache.fcFile.fiUsedBlocks, &aTrans});
  ReserveOneMore(aCache.fcSnapShotLinks);
  ReserveOneMore(aTrans.btFileSnapShotLinks);
  if (aCache.fcSnapShotFlags.size() <= id / 8) aCache.fcSnapShotFlags.resize(id / 8 + 1, 0);
  aCache.fcSnapShotFlags[id / 8] |= static_cast<uint8_t>(1u << (id % 8));
  ++aCache.fcSnapShotCounter;
  aCache.fcSnapShotLinks.push_back(link.get());
  aTrans.btFileSnapShotLinks.push_back(std::move(link));
}

void TnxBufferManager::FreeSnapShotLinks(TnxBaseTransaction& aTrans) noexcept {
  const uint32_t id = aTrans.btSnapshotID;
  for (TnxReadOnlyBlock* block : aTrans.btBlockSnapShotLinks) block->DropSnapShotLink(id);
  aTrans.btBlockSnapShotLinks.clear();
  for (const auto& link : aTrans.btFileSnapShotLinks) {
    TnxFileBlockCache& cache = *link->fsslCache;
    ++cache.fcSnapShotCounter;
    cache.fcSnapShotFlags[id / 8] &= static_cast<uint8_t>(~(1u << (id % 8)));
    std::erase(cache.fcSnapShotLinks, link.get());
  }
  aTrans.btFileSnapShotLinks.clear();
}

void TnxBufferManager::LinkFilesForSnapShots(TnxBaseTransaction& aTrans) {
  std::vector<uint8_t> all;
  for (const auto& bound : aTrans.btFiles) {
    const std::vector<uint8_t>& flags = bound.bfFile->fiBlockCache->fcSnapShotFlags;
    const size_t bytes = std::min(flags.size(), bmSnapShotFlags.size());
    if (all.size() < bytes) all.resize(bytes, 0);
    for (size_t i = 0; i < bytes; ++i) all[i] |= flags[i];
  }
  for (const auto& bound : aTrans.btFiles) {
    TnxFileBlockCache& cache = *bound.bfFile->fiBlockCache;
    for (uint32_t id = 0; id < all.size() * 8; ++id)
      if ((all[id / 8] & (1u << (id % 8))) && !cache.HasSnapShotFlag(id) && bmSnapShotTrans[id])
        CreateFileSnapShotLink(cache, *bmSnapShotTrans[id]);
  }
}

void TnxBufferManager::Retire(TnxBlockMemory aMemory, std::unique_ptr<TnxImagePins> aPins) {
  bmRetired.push_back({std::move(aMemory), std::move(aPins)});
}

void TnxBufferManager::SweepRetired() noexcept {
  std::erase_if(bmRetired, [](const TnxRetiredImage& aImage) {
    if (aImage.riPins->Count() != 0) return false;
    if (TnxReadOnlyBlock* block = aImage.riPins->ipBlock) --block->robRetiredPins;
    return true;
  });
}

int32_t TnxBufferManager::RetiredImages() {
  TnxPadlockGuard guard(bmPadlock);
  SweepRetired();
  return static_cast<int32_t>(bmRetired.size());
}

void TnxBufferManager::RollbackUnwritten(TnxBaseFile& aFile) {
  TnxPadlockGuard guard(bmPadlock);
  aFile.RollbackUnwritten();
}

int32_t TnxBufferManager::SnapShotImages(const TnxBaseFile& aFile) {
  TnxPadlockGuard guard(bmPadlock);
  int32_t count = 0;
  for (const auto& block : Attached(aFile).fcBlockList) count += block->SnapShotCount();
  return count;
}

int32_t TnxBufferManager::HandedOut(const TnxBaseFile& aFile) {
  TnxPadlockGuard guard(bmPadlock);
  int32_t count = 0;
  for (const auto& block : Attached(aFile).fcBlockList) count += block->RefCount();
  return count;
}

int32_t TnxBufferManager::LoadWaiters(const TnxBaseFile& aFile, TnxBlockNumber aBlockNumber) {
  TnxPadlockGuard guard(bmPadlock);
  const TnxReadOnlyBlock* block = Attached(aFile).Find(aBlockNumber);
  return block && block->robLoad ? block->robLoad->blWaiters : 0;
}

int32_t TnxBufferManager::CachedBlocks(const TnxBaseFile& aFile) {
  TnxPadlockGuard guard(bmPadlock);
  return Attached(aFile).Count();
}

TnxLSN TnxBufferManager::FileLSN(const TnxBaseFile& aFile) {
  TnxPadlockGuard guard(bmPadlock);
  const TnxReadOnlyBlock* header = Attached(aFile).fcBlockZero;
  return header ? header->robLastLSN : 0;
}

uint32_t TnxBufferManager::UsedBlocks(const TnxBaseFile& aFile) {
  TnxPadlockGuard guard(bmPadlock);
  return aFile.fiUsedBlocks;
}

uint32_t TnxBufferManager::UsedBlocks(const TnxBaseFile& aFile, const TnxBaseTransaction* aTrans) {
  TnxPadlockGuard guard(bmPadlock);
  return LockedUsedBlocks(aFile, aTrans);
}

uint32_t TnxBufferManager::LockedUsedBlocks(const TnxBaseFile& aFile, const TnxBaseTransaction* aTrans) {
  if (!aTrans || !aFile.fiHeaderAccessFactory || OwnerOf(aFile) != this) return aFile.fiUsedBlocks;
  // The header as aTrans has changed it, nested rollbacks included.
  TnxReadOnlyBlock* header = aFile.fiBlockCache->fcBlockZero;
  if (!header || header->robTrans != aTrans || !header->robBlockListTail ||
      header->robBlockListTail->Discarded())
    return aFile.fiUsedBlocks;
  return aFile.fiHeaderAccessFactory->GetUsedBlocks(header->robBlockListTail->MapImage(false));
}

// ---- scratch blocks ----

TnxScratchBlockHandle TnxBufferManager::CreateScratchBlock(TnxBlockSizeAll aSize) {
  if (aSize >= nxBlockSizeAllCount) RaiseInvalid(u"Invalid block size %d", {static_cast<int32_t>(aSize)});
  {
    TnxPadlockGuard guard(bmPadlock);
    StandardEviction();
  }
  FlushPendingWriteThrough();
  TnxPadlockGuard guard(bmPadlock);
  ReserveOneMore(bmScratchBlocks);
  bmScratchBlocks.push_back(std::make_unique<TnxScratchBlock>(*this, aSize));
  TnxScratchBlock& block = *bmScratchBlocks.back();
  return {&block, block.sbID};
}

namespace {

// The scratch block a handle names, found by address only: a handle of a
// freed block is refused without touching it.
template <class List>
auto FindScratch(List& aList, TnxScratchBlockHandle aHandle) {
  const auto it = std::find_if(aList.begin(), aList.end(),
                               [&](const auto& aBlock) { return aBlock.get() == aHandle.sbhScratchBlock; });
  if (it == aList.end()) RaiseInvalid(u"Unknown scratch block", {});
  return it;
}

}  // namespace

void* TnxBufferManager::LockScratchBlock(TnxScratchBlockHandle aHandle) {
  TnxPadlockGuard guard(bmPadlock);
  EvictUnderPressure();
  TnxScratchBlock& block = **FindScratch(bmScratchBlocks, aHandle);
  uint8_t* image = block.MapImage(true);
  ++block.sbRefCount;
  ++bmBlockCacheHit[cbsMapped][0][0];
  return image;
}

void TnxBufferManager::UnlockScratchBlock(TnxScratchBlockHandle aHandle, void* aPointer) {
  TnxPadlockGuard guard(bmPadlock);
  TnxScratchBlock& block = **FindScratch(bmScratchBlocks, aHandle);
  if (block.sbRefCount == 0 || aPointer != block.boCacheBlock.Data())
    RaiseInvalid(u"Scratch block %u is not locked at that address", {block.sbID});
  --block.sbRefCount;
  EvictUnderPressure();
}

void TnxBufferManager::FreeScratchBlock(TnxScratchBlockHandle aHandle) {
  TnxPadlockGuard guard(bmPadlock);
  const auto it = FindScratch(bmScratchBlocks, aHandle);
  if ((*it)->sbRefCount != 0) RaiseInvalid(u"Scratch block %u is still locked", {(*it)->sbID});
  SwapRemove(bmScratchBlocks, static_cast<uint32_t>(it - bmScratchBlocks.begin()), [](TnxScratchBlock&, uint32_t) {});
  EvictUnderPressure();
}

// ---- settings, LSNs, snapshot IDs ----

int32_t TnxBufferManager::MaxRAM() {
  TnxPadlockGuard guard(bmPadlock);
  return bmMaxRAM;
}

void TnxBufferManager::SetMaxRAM(int32_t aMaxRAM) {
  if (aMaxRAM < 1) RaiseInvalid(u"Invalid RAM budget %d MB", {aMaxRAM});
  TnxMemoryStatusEx status;
  const TnxCacheBudget budget = nxCacheBudget(aMaxRAM, nxReadMemoryStatus(status));
  TnxPadlockGuard guard(bmPadlock);
  ApplyBudget(budget);
}

int32_t TnxBufferManager::TempStoreSize() {
  TnxPadlockGuard guard(bmPadlock);
  return static_cast<int32_t>(bmTempStore->GetSize() / 1048576);
}

void TnxBufferManager::SetTempStoreSize(int32_t aSize) {
  TnxPadlockGuard guard(bmPadlock);
  // Replacing the store would lose the images parked in it.
  if (bmTempStore->GetInUse() > 0)
    RaiseInvalid(u"The temporary store still holds %d kbyte of cached blocks",
                 {static_cast<int32_t>(bmTempStore->GetInUse() / 1024)});
  // Whatever a store had no room for may fit the next one.
  ForgetScannedParts();
  bmTempStore.reset();
  const TnxTempStorageClass* installed = nxDefaultTempStorageClass();
  try {
    if (aSize > 0 && installed) {
      bmTempStore = installed->Create(bmTempDir);
      bmTempStoreClass = installed;
      return;
    }
  } catch (...) {
    bmTempStore = std::make_unique<TnxNullTempStorage>();
    bmTempStoreClass = &TnxNullTempStorage::ClassInfo();
    throw;
  }
  bmTempStore = std::make_unique<TnxNullTempStorage>();
  bmTempStoreClass = &TnxNullTempStorage::ClassInfo();
}

TnxLSN TnxBufferManager::RegisterWriter() {
  TnxPadlockGuard guard(bmPadlock);
  bmWriters.insert(bmCurrentLSN);
  return bmCurrentLSN;
}

void TnxBufferManager::UnregisterWriter(TnxLSN aKey) noexcept {
  TnxPadlockGuard guard(bmPadlock);
  const auto found = bmWriters.find(aKey);
  if (found != bmWriters.end()) bmWriters.erase(found);
}

TnxLSN TnxBufferManager::OldestUnfinishedLSN() {
  TnxPadlockGuard guard(bmPadlock);
  return bmWriters.empty() ? bmCurrentLSN : std::min(bmCurrentLSN, *bmWriters.begin());
}

TnxLSN TnxBufferManager::CurrentLSN() {
  TnxPadlockGuard guard(bmPadlock);
  return bmCurrentLSN;
}

TnxLSN TnxBufferManager::NextLSN() {
  TnxPadlockGuard guard(bmPadlock);
  return ++bmCurrentLSN;
}

void TnxBufferManager::SetNextLSN(TnxLSN aLSN) {
  TnxPadlockGuard guard(bmPadlock);
  bmCurrentLSN = std::max(bmCurrentLSN, aLSN);
}

uint32_t TnxBufferManager::RegisterSnapShot(TnxBaseTransaction& aTrans) {
  TnxPadlockGuard guard(bmPadlock);
  const uint32_t bits = static_cast<uint32_t>(bmSnapShotFlags.size()) * 8;
  uint32_t id = bits;
  if (static_cast<uint32_t>(bmActiveSnapShotCount) < bits) {
    id = 0;
    while (bmSnapShotFlags[id / 8] & (1u << (id % 8))) ++id;
  }
  // Grown before anything changes, so that running out of memory leaves
  // the IDs as they were.
  if (id == bits) ReserveOneMore(bmSnapShotFlags);
  if (bmSnapShotTrans.size() < id + 1) bmSnapShotTrans.resize(id + 1, nullptr);
  if (id == bits) bmSnapShotFlags.push_back(0);
  bmSnapShotFlags[id / 8] |= static_cast<uint8_t>(1u << (id % 8));
  bmSnapShotTrans[id] = &aTrans;
  ++bmActiveSnapShotCount;
  return id;
}

void TnxBufferManager::UnregisterSnapShot(uint32_t aID) {
  TnxPadlockGuard guard(bmPadlock);
  if (aID >= bmSnapShotFlags.size() * 8 || !(bmSnapShotFlags[aID / 8] & (1u << (aID % 8))))
    RaiseInvalid(u"Snapshot ID %u is not in use", {aID});
  bmSnapShotTrans[aID] = nullptr;
  --bmActiveSnapShotCount;
  bmSnapShotFlags[aID / 8] &= static_cast<uint8_t>(~(1u << (aID % 8)));
  while (!bmSnapShotFlags.empty() && bmSnapShotFlags.back() == 0) bmSnapShotFlags.pop_back();
}

int32_t TnxBufferManager::ActiveSnapShotCount() {
  TnxPadlockGuard guard(bmPadlock);
  return bmActiveSnapShotCount;
}

size_t TnxBufferManager::SnapShotFlagBytes() {
  TnxPadlockGuard guard(bmPadlock);
  return bmSnapShotFlags.size();
}

// ---- statistics ----

void TnxBufferManager::CountTrans(TnxTransCounter aCounter) {
  {
    TnxPadlockGuard guard(bmPadlock);
    ++bmTransCounts[aCounter];
  }
  TnxSessionStats::Count(kSessionCounter[aCounter], 1);
}

// Without physical memory only the mapped rows exist; their captions carry
// a single blank where the mapped state would be named.
void TnxBufferManager::GetStatsCaptions(platform::TStringList& aList) {
  for (const char16_t* caption :
       {u"AWE Edition", u"Block Cache Available", u"Block Cache Used", u"Block Cache Miss", u"Block Cache Hit ",
        u"Block Cache Eviction ", u"Transactions Commited", u"Transactions Commited Nested",
        u"Transactions Rolledback", u"Transactions Rolledback Nested", u"Transactions Deadlocked",
        u"Transactions Corrupted", u"Blocks Read", u"Blocks Written"})
    aList.Add(caption);
  const TnxTempStorageClass& installed = InstalledTempStorageClass();
  (installed.GetStatsCaptions ? installed.GetStatsCaptions : &TnxBaseTempStorage::GetStatsCaptionsStatic)(aList);
}

void TnxBufferManager::GetStatsValues(platform::TStringList& aList) {
  TnxPadlockGuard guard(bmPadlock);
  aList.Add(AweText());
  aList.Add(Kbyte(Target(cbsMapped)));
  aList.Add(Kbyte(Resident(cbsMapped)));
  aList.Add(nxFormatGrouped(bmBlockCacheHit[cbsStored][0][0]));
  aList.Add(nxFormatGrouped(bmBlockCacheHit[cbsMapped][0][0]));
  aList.Add(nxFormatGrouped(bmBlockCacheEvict[cbsMapped][0][0]));
  for (const TnxTransCounter counter :
       {tcCommit, tcNestedCommit, tcRollback, tcNestedRollback, tcDeadlock, tcCorrupted})
    aList.Add(nxFormatGrouped(bmTransCounts[counter]));
  aList.Add(nxFormatGrouped(bmBlocksRead.load(std::memory_order_relaxed)));
  aList.Add(nxFormatGrouped(bmBlocksWritten.load(std::memory_order_relaxed)));
  const TnxTempStorageClass& installed = InstalledTempStorageClass();
  if (bmTempStoreClass == &installed)
    bmTempStore->GetStatsValues(aList);
  else
    StaticTempStorageValues(installed, aList);
}

void TnxBufferManager::GetStatsValuesStatic(platform::TStringList& aList) {
  aList.Add(AweText());
  aList.Add(u"0 kbyte");
  aList.Add(u"0 kbyte");
  for (int i = 0; i < 3 + nxTransCounterCount + 2; ++i) aList.Add(u"0");
  StaticTempStorageValues(InstalledTempStorageClass(), aList);
}

}  // namespace revurov
