// The block cache of a server engine: every block of every attached table
// file is read through it, once, and then handed out from memory together
// with a release method.
//
// Contract:
// - One fast padlock guards all cache state: the files' block indexes, the
//   block objects, the in-use list, the counters, LSNs and snapshot IDs.
//   Disk reads run with it released; a thread that finds a block being
//   read waits on the load's manual event, also with it released. Whoever
//   holds the padlock through Lock() must not fetch blocks meanwhile.
// - A block is read from disk once while it stays cached. A read that
//   fails, or an image that its file's header format refuses (8962), is
//   dropped again: the reader and every thread that waited for that read
//   get the error, and the next access reads the block again.
// - Every pointer handed out comes with a release method that the caller
//   calls exactly once (see release_method.h); releasing runs without the
//   padlock. A block with pointers out stays in memory.
// - RemoveFile drops every cached block of the file; in debug builds it
//   aborts when one is still handed out or being read. A file is removed
//   before it is destroyed.
// - A transaction changes a block only on its own copy, one per level
//   (transactions.h); the outermost commit makes the copy the committed
//   image and queues it in its file. A committed image that readers still
//   hold is retired, not freed, until the last of them releases it.
// - A snapshot transaction that has read a file keeps seeing the file's
//   blocks as they were then; the old images live until it ends.
// - LSNs only grow: NextLSN issues the next one, writing it and attaching a
//   file only raise the current one. Snapshot IDs are reused lowest first.
// - Physical memory never exists here, so block memory is mapped or parked
//   in the temporary store, and nothing is bulk-loaded.
// - Eviction (cache_policy.cpp) keeps the mapped pages within the budget:
//   clean blocks nobody holds lose their memory (and, with nothing else to
//   keep, their object); copies, snapshot images, scratch blocks and the
//   images of in-memory files are parked in the temporary store. What is
//   handed out, being read, or committed but not yet written stays; so does
//   whatever the store has no room for, and the budget is exceeded then.
//   An unforced pass stops after 150 ms of work, and after a pass that freed
//   nothing the next unforced one waits 1000 ms (engine clock).
// - Eviction may park any transaction's copy that is not handed out; a
//   pointer from DirtyBlock is only good until the next call that may
//   evict. A copy of a write-through file that must go commits its whole
//   transaction through (at its outermost level); the thread that caused
//   it writes that commit out at the end of its call, without the padlock.
//   While the transaction has blocks handed out, only a call made for it
//   commits it through so; a pass on any other thread parks the copy
//   instead, since the owner may be writing into what it holds.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "lowlevel/heap/memory_manager.h"
#include "lowlevel/sync/padlock.h"
#include "storage/cache_policy.h"
#include "storage/files.h"
#include "storage/release_method.h"
#include "storage/server_exceptions.h"
#include "storage/storage_types.h"

namespace revurov {

namespace platform {
class TStringList;
}

class TnxBaseFile;
class TnxBaseTempStorage;
class TnxBaseTransaction;
class TnxBaseTransactionLevel;
class TnxBufferManager;
class TnxFlushList;
class TnxModifiedBlock;
class TnxFileBlockCache;
struct TnxBlockLoad;
struct TnxTempStorageClass;

REVUROV_EXCEPTION_CLASS(EnxBufferManagerException, EnxServerException);

// Bytes and 4 KB cache pages of each block size.
inline constexpr std::array<uint32_t, nxBlockSizeAllCount> nxBlockSizeBytes{4096, 8192, 16384, 32768, 65536,
                                                                            4194304};
inline constexpr std::array<int32_t, nxBlockSizeAllCount> nxBlockSizePages{1, 2, 4, 8, 16, 1024};

// The transaction counters of the statistics.
enum TnxTransCounter : uint8_t { tcCommit, tcRollback, tcNestedCommit, tcNestedRollback, tcDeadlock, tcCorrupted };
inline constexpr int nxTransCounterCount = tcCorrupted + 1;

// The memory of one block image: a mapable block of the heap, mapped while
// it lives. Empty when default-made or moved from. Made for a buffer
// manager (padlock held), it comes from the manager's spare memory when
// there is some and goes back there when freed; its bytes are then those
// of an earlier image, so every maker writes the whole image.
class TnxBlockMemory {
public:
  TnxBlockMemory() = default;
  TnxBlockMemory(TnxBufferManager& aOwner, TnxBlockSizeAll aSize);
  ~TnxBlockMemory();
  TnxBlockMemory(TnxBlockMemory&& aOther) noexcept;
  TnxBlockMemory& operator=(TnxBlockMemory&& aOther) noexcept;

  explicit operator bool() const noexcept { return bmData != nullptr; }
  uint8_t* Data() const noexcept { return bmData; }

private:
  friend class TnxBufferManager;
  void Free() noexcept;
  TnxMapableBlockHandle bmHandle = 0;
  uint8_t* bmData = nullptr;
  TnxBufferManager* bmOwner = nullptr;
  TnxBlockSizeAll bmSize = mm::nxbs4k;
};

// The base of the cache's block objects: the image of one block size,
// mapped (boCacheBlock) or parked in the temporary store (boTempNum), and
// the object's place in the cache lists.
class TnxBlockObject : public TnxObject {
public:
  TnxBlockSizeAll BlockSizeAll() const noexcept { return boBlockSize; }
  // An image exists, mapped or parked.
  bool HasMemory() const noexcept { return boCacheBlock || boTempNum != kNoTempNum; }
  bool Parked() const noexcept { return boTempNum != kNoTempNum; }
  TnxCacheBlockState CacheState() const noexcept { return boCacheBlock ? cbsMapped : cbsStored; }
  uint32_t CacheHits(TnxCacheBlockState aState) const noexcept { return boBlockCacheHit[aState]; }
  uint32_t CacheEvictions(TnxCacheBlockState aState) const noexcept { return boBlockCacheEvict[aState]; }

  static constexpr uint32_t kNoTempNum = 0xFFFFFFFFu;

protected:
  TnxBlockObject(TnxBufferManager& aBufferManager, TnxBlockSizeAll aSize) noexcept
      : boBufferManager(aBufferManager), boBlockSize(aSize) {}
  ~TnxBlockObject() override;
  // Padlock held from here on.
  void SetCacheBlock(TnxBlockMemory aMemory, bool aCountIt = false) noexcept;
  void FreeCacheBlock(bool aCountIt = false) noexcept;
  // Maps a parked image first (which may raise).
  TnxBlockMemory TakeCacheBlock();
  // The image in memory, read back from the store when it was parked (the
  // store lets it go then); aCountIt counts a use. Nil without an image.
  uint8_t* MapImage(bool aCountIt);
  // Moves the image to the store: false when there is none, or the store
  // has no room or fails (the image then stays as it was).
  bool ParkImage();
  virtual TnxEvictResult CheckedEvict(bool aForce) = 0;
  // Padlock held, after CheckedEvict kept the object: true when it stays
  // unevictable until it is relinked or the temporary store changes, so
  // that passes need not ask again.
  virtual bool EvictionSettled() const noexcept = 0;
  // The temporary store has no room for an image of this size.
  bool StoreRefuses() const noexcept;

  TnxBufferManager& boBufferManager;
  TnxBlockMemory boCacheBlock;
  TnxBlockSizeAll boBlockSize;
  uint32_t boTempNum = kNoTempNum;

private:
  friend class TnxBufferManager;
  // Relinks the object after its memory changed state or was used.
  void UpdateBlockList(bool aCountIt) noexcept;
  void StopTracking(TnxCacheBlockState aState) noexcept;
  void Unlink(TnxCacheBlockState aState, bool aFreq, bool aResident) noexcept;
  void Append(TnxCacheBlockState aState, bool aFreq, bool aResident) noexcept;
  // Before the object leaves its place in a resident list.
  void LeaveScannedPart(TnxCacheBlockState aState, bool aFreq) noexcept;

  TnxBlockObject* boBlockNext[nxCacheBlockStateCount] = {};
  TnxBlockObject* boBlockPrev[nxCacheBlockStateCount] = {};
  uint32_t boBlockCacheHit[nxCacheBlockStateCount] = {};
  uint32_t boBlockCacheEvict[nxCacheBlockStateCount] = {};
  TnxCacheBlockState boBlockState = cbsStored;
  bool boBlockFreqUse = false;
  uint8_t boBlockTracked = 0;  // states whose tracked list holds it
  TnxWasBulkLoaded boWasBulkLoaded = wblNo;
  // The owner's bmMappedClock when the object last went to the tail of its
  // mapped resident list.
  uint32_t boMappedAt = 0;
  // In the owner's list of kept objects to ask again at the next pass.
  uint32_t boRecheckSlot = kNoTempNum;
};

// The holders of one committed image. A commit that replaces an image still
// held retires it together with this count; it is freed once the count is
// back at 0, so a reader's pointer outlives the commit.
class TnxReadOnlyBlock;

// Pins are only taken under the padlock, so taking one is a plain load and
// store; releasers count apart, without it, with the one locked instruction
// of a fetch. Both wrap; their difference is the count.
struct TnxImagePins {
  std::atomic<uint32_t> ipTaken{0};
  std::atomic<uint32_t> ipReleased{0};
  TnxReadOnlyBlock* ipBlock = nullptr;
  // Padlock held.
  void Take() noexcept { ipTaken.store(ipTaken.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed); }
  // Padlock held: at 0 every holder's reads happened before this.
  int32_t Count() const noexcept {
    return static_cast<int32_t>(ipTaken.load(std::memory_order_relaxed) -
                                ipReleased.load(std::memory_order_acquire));
  }
};

// A committed image kept for the snapshot transactions that saw it, as
// long as one of them may still read it.
class TnxBlockSnapShot final : public TnxBlockObject {
public:
  TnxBlockSnapShot(TnxReadOnlyBlock& aBlock, const uint8_t* aImage, uint32_t aBytes);
  // Padlock held: reads a parked image back.
  PnxBlock Block() { return MapImage(true); }

protected:
  TnxEvictResult CheckedEvict(bool aForce) override;
  bool EvictionSettled() const noexcept override;

private:
  friend class TnxReadOnlyBlock;
  TnxReadOnlyBlock& bssReadOnlyBlock;
  int32_t bssLinkRefCount = 0;
};

// Snapshot transaction fsslTrans has read the file: from then on every
// commit of a block of the file keeps the old image for it.
struct TnxFileSnapShotLink {
  TnxFileBlockCache* fsslCache;
  uint32_t fsslFileCounter;
  uint32_t fsslUsedBlocks;
  TnxBaseTransaction* fsslTrans;
};

// The committed image of one block of one file, with the copies of the
// transaction that dirtied it (newest on top, one per level).
class TnxReadOnlyBlock final : public TnxBlockObject, public TnxQueuedBlock {
public:
  TnxReadOnlyBlock(TnxBufferManager& aBufferManager, TnxBaseFile& aFile, TnxBlockNumber aBlockNumber, bool aNew);
  ~TnxReadOnlyBlock() override;

  TnxBlockNumber BlockNumber() const noexcept override { return robBlockNum; }
  TnxBaseFile& FileObject() const noexcept { return *robFile; }
  bool New() const noexcept { return robNew; }
  // Padlock held: pointers handed out and not yet released, those to
  // retired images included.
  int32_t RefCount() const noexcept {
    const int32_t current = robPins->Count();
    return robRetiredPins == 0 ? current : current + RetiredRefCount();
  }
  // Padlock held: a thread is reading the image from disk.
  bool Loading() const noexcept { return robLoading; }
  // Padlock held: a copy exists.
  bool Dirty() const noexcept { return robBlockListTail != nullptr; }
  TnxBaseTransaction* Trans() const noexcept { return robTrans; }

  // Padlock held once by the caller. The image as aTrans sees it: its own
  // newest copy when it dirtied the block (writable with aMarkDirty), else
  // the committed image; a new block reads as the shared zero block.
  // Raises what loading raises.
  PnxBlock Block(TnxBaseTransaction* aTrans, bool aMarkDirty, TnxReleaseMethod& aReleaseMethod);
  PnxBlock Block(TnxBaseTransaction* aTrans, TnxReleaseMethod& aReleaseMethod) {
    return Block(aTrans, false, aReleaseMethod);
  }
  // Padlock held once by the caller: reads the image unless it is in
  // memory or the block is new. Releases the padlock during the read.
  void CacheBlockNeeded();

  // Padlock held. Gives aTrans a copy at its current level.
  void MakeDirty(TnxBaseTransaction& aTrans);
  // Padlock held. Moves the newest copy one level out, or, at the
  // outermost level, makes it the committed image and queues it for
  // writing (answering true then).
  bool Commit(bool aForce, bool aIsWTCommit);
  // Padlock held. Drops the newest copy when it belongs to the current
  // level (Rollback) or to aLevel; a new block then left clean is freed.
  void Rollback();
  void RollbackTransLevel(TnxBaseTransactionLevel& aLevel);

  TnxLSN LastLSN() const noexcept override { return robLastLSN; }
  uint8_t* PinImage() override;
  void Unpin() noexcept override;
  std::vector<uint8_t>& EncryptionCookie() noexcept override { return robEncryptionCookie; }
  // Counts the block's entries in its file's queue: a block queued again
  // while a flush writes it stays unwritten until both are written.
  void SetUnwritten(bool aUnwritten) noexcept override;
  bool Unwritten() const noexcept { return robUnwritten.load(std::memory_order_acquire) > 0; }
  // Padlock held: a failed flush gives the committed image up; the next
  // read takes it from the file again, or, when snapshots keep older images,
  // from the newest of those.
  void RollbackUnwritten() override;
  // Padlock held: images kept for snapshot transactions.
  int32_t SnapShotCount() const noexcept { return static_cast<int32_t>(robSnapShots.size()); }

protected:
  TnxEvictResult CheckedEvict(bool aForce) override;
  bool EvictionSettled() const noexcept override;

private:
  friend class TnxBufferManager;
  friend class TnxFileBlockCache;
  friend class TnxModifiedBlock;
  friend class TnxBlockSnapShot;
  friend class TnxBaseTransaction;
  friend class TnxFlushList;
  friend class TnxBlockReuseScope;
  static void Release(void* aSelf, PnxBlock& aBlock) noexcept;
  PnxBlock Pin(PnxBlock aImage, TnxReleaseMethod& aReleaseMethod) noexcept;
  int32_t RetiredRefCount() const noexcept;
  // A write-through commit while pointers are out: the committed image
  // becomes a copy of aCopy, which stays for the transaction.
  bool CommitKeepingCopy(TnxModifiedBlock& aCopy, TnxLSN aOldLSN);
  // The committed image gets aMemory; the one it had is retired while held.
  void ReplaceImage(TnxBlockMemory aMemory);
  void PopCopy() noexcept;
  // Frees the block when it is new and clean again.
  void DropIfNewAndClean() noexcept;
  void UnlinkFromTrans() noexcept;
  // Before a commit replaces the image: keeps it for every snapshot that
  // started reading the file since the block's last commit.
  void KeepImageForSnapShots();
  void DropSnapShotLink(uint32_t aID) noexcept;

  // What every hit reads first, next to the base's list fields: one cache
  // line fewer per fetch of a block that is not in the CPU's cache.
  // Pins of the current image; those of retired images are counted by the
  // buffer manager's list, robRetiredPins of them this block's.
  std::unique_ptr<TnxImagePins> robPins;
  TnxBaseTransaction* robTrans = nullptr;
  TnxBaseFile* robFile;
  uint32_t robFileSlot = 0;  // in the owning file cache's block list
  TnxBlockNumber robBlockNum;
  TnxLSN robLastLSN = 0;
  bool robNew;
  bool robLoading = false;
  std::atomic<int32_t> robUnwritten{0};
  // Made with its manual event by the first thread that waits for the read,
  // so that a read nobody waits for costs no event. The waiters share it and
  // look the block up again afterwards instead of touching this object.
  std::shared_ptr<TnxBlockLoad> robLoad;
  TnxReadOnlyBlock* robInUseNext = nullptr;
  TnxReadOnlyBlock* robInUsePrev = nullptr;
  std::vector<uint8_t> robEncryptionCookie;
  int32_t robRetiredPins = 0;
  TnxImagePins* robFlushPins = nullptr;  // pinned by the running flush
  uint32_t robTransSlot = 0;  // in the transaction's block list
  std::unique_ptr<TnxModifiedBlock> robBlockListTail;
  std::vector<std::unique_ptr<TnxBlockSnapShot>> robSnapShots;  // oldest first
  std::vector<TnxBlockSnapShot*> robSnapShotLinks;              // by snapshot ID
  uint32_t robSnapShotCounter = 0;  // the file's counter at the last commit
};

// One transaction level's copy of a block; it owns the copy of the next
// outer level below it.
class TnxModifiedBlock final : public TnxBlockObject {
public:
  TnxModifiedBlock(TnxReadOnlyBlock& aBlock, TnxBaseTransactionLevel& aLevel);
  ~TnxModifiedBlock() override;

  // A discarded copy reads as zeros; dirtied, it starts from zeros.
  PnxBlock mbGetBlock(bool aMarkDirty);
  void Discard() noexcept;
  // Raises the header format's error (8962) for a damaged image.
  void Validate();
  bool Discarded() const noexcept { return mbDiscarded; }
  TnxBaseTransactionLevel& TransLevel() const noexcept { return *mbTransLevel; }
  TnxReadOnlyBlock& ReadOnlyBlock() const noexcept { return mbReadOnlyBlock; }

protected:
  TnxEvictResult CheckedEvict(bool aForce) override;
  bool EvictionSettled() const noexcept override;

private:
  friend class TnxReadOnlyBlock;
  friend class TnxBufferManager;
  // Moves the copy to the list of the next outer level.
  void DecreaseTransLevel();
  void StampLSN() noexcept;

  TnxReadOnlyBlock& mbReadOnlyBlock;
  std::unique_ptr<TnxModifiedBlock> mbPrev;
  TnxBaseTransactionLevel* mbTransLevel;
  bool mbDiscarded = false;
};

// Block-sized work memory that belongs to no file.
class TnxScratchBlock final : public TnxBlockObject {
public:
  TnxScratchBlock(TnxBufferManager& aBufferManager, TnxBlockSizeAll aSize);

protected:
  TnxEvictResult CheckedEvict(bool aForce) override;
  bool EvictionSettled() const noexcept override;

private:
  friend class TnxBufferManager;
  uint32_t sbID = 0;  // tick count at creation
  int32_t sbRefCount = 0;
};

struct TnxScratchBlockHandle {
  TnxScratchBlock* sbhScratchBlock = nullptr;  // owned by the buffer manager
  uint32_t sbhID = 0;
};

// While one lives on a thread, the clean committed images that thread
// fetches from the buffer manager stay pinned by it (the last few of them),
// and fetching one of them again by the same transaction costs no padlock;
// so do the transaction's own copies at its current level, to read or to
// change. Meant for a walk that reads many records of one block in a row,
// or a run of inserts that changes the same few blocks again and again:
// open it around the walk, on the stack. A pointer handed out through it is good
// until its release method is called or the scope ends, whichever is first.
// Scopes nest; only the outermost one of a thread remembers.
class TnxBlockReuseScope {
public:
  explicit TnxBlockReuseScope(TnxBufferManager& aBufferManager) noexcept;
  ~TnxBlockReuseScope();
  TnxBlockReuseScope(const TnxBlockReuseScope&) = delete;
  TnxBlockReuseScope& operator=(const TnxBlockReuseScope&) = delete;

private:
  friend class TnxBufferManager;
  struct Entry {
    const TnxFileBlockCache* eCache = nullptr;
    const TnxBaseTransaction* eTrans = nullptr;
    TnxImagePins* ePins = nullptr;  // the scope's own pin; nil when free
    PnxBlock eImage = nullptr;
    // The owner's bmViews when it was pinned; for an own copy, the
    // transaction's btCopies.
    uint64_t eViews = 0;
    TnxBlockNumber eNumber = 0;
    bool eUsed = false;  // found below the used-block count then
    bool eOwn = false;   // eTrans's own copy, which it may change too
  };
  void Drop(Entry& aEntry) noexcept;
  TnxBufferManager* rsOwner;  // nil: an outer scope remembers
  std::array<Entry, 8> rsEntries{};
  uint32_t rsNext = 0;
  int64_t rsHits = 0;  // answered here, counted when the scope ends
};

class TnxBufferManager : public TnxObject {
public:
  explicit TnxBufferManager(std::u16string_view aTempDir);
  ~TnxBufferManager() override;
  // What ViewsChange has moved on to; equal values read before and after
  // mean no transaction's view of any block changed in between.
  uint64_t Views() const noexcept { return bmViews.load(std::memory_order_acquire); }

  void Lock() { bmPadlock.Lock(); }
  bool TryLock() { return bmPadlock.TryLock(); }
  void Unlock() { bmPadlock.Unlock(); }

  // Attaches an opened file and hands out its header block: 0, or the
  // code of ReadHeader or of the encryption engine's password check. A
  // file attached already is not read again; its passwords are checked.
  uint32_t AddFile(TnxBaseFile& aFile, const std::vector<std::u16string>& aPasswords,
                   TnxReleaseMethod& aReleaseMethod, PnxBlock& aBlock, bool& aIsReadOnly);
  // aClosing: the file is closed next, so its access hint is not reset.
  void RemoveFile(TnxBaseFile& aFile, bool aClosing = false);
  // Block aBlockNumber of an attached file as aTrans reads it; valid until
  // the release method is called. A file not attached raises 9986.
  PnxBlock GetBlock(TnxBaseFile& aFile, TnxBaseTransaction* aTrans, TnxBlockNumber aBlockNumber,
                    TnxReleaseMethod& aReleaseMethod) {
    return GetBlock(aFile, aTrans, aBlockNumber, false, aReleaseMethod);
  }
  // With aMarkDirty, a copy that aTrans may change.
  PnxBlock GetBlock(TnxBaseFile& aFile, TnxBaseTransaction* aTrans, TnxBlockNumber aBlockNumber, bool aMarkDirty,
                    TnxReleaseMethod& aReleaseMethod);
  // GetBlock for a number below the used-block count as aTrans sees it
  // (block 0 excepted), both under one hold of the padlock; nil for any
  // other number, with nothing held.
  PnxBlock GetUsedBlock(TnxBaseFile& aFile, TnxBaseTransaction* aTrans, TnxBlockNumber aBlockNumber, bool aMarkDirty,
                        TnxReleaseMethod& aReleaseMethod);
  // Asks for the memory (block object, pin count, image) of those of aFile's
  // blocks that are in the cache, without taking or changing anything, so
  // that a caller about to take them pays their cache misses together.
  void PrefetchBlocks(const TnxBaseFile& aFile, std::span<const TnxBlockNumber> aNumbers);
  // A block new to the file (never read from disk), dirtied for aTrans
  // when one is given. Block 0 of a file not attached yet attaches it: the
  // header of a file being created (TnxBaseFile::AddHeader).
  PnxBlock AddBlock(TnxBaseFile& aFile, TnxBaseTransaction* aTrans, TnxBlockNumber aBlockNumber,
                    TnxReleaseMethod& aReleaseMethod);
  // Only for a cached block: dirties it for aTrans and hands back its copy
  // (released already; valid while the copy lives); otherwise leaves
  // aModifiableBlock alone.
  void DirtyBlock(TnxBaseFile& aFile, TnxBlockNumber aBlockNumber, TnxBaseTransaction& aTrans,
                  PnxBlock& aModifiableBlock);
  // Only for a cached block: dirties it and marks the copy discarded. A
  // discarded copy that reaches the outermost commit leaves the committed
  // image as it was and writes nothing.
  void DiscardBlock(TnxBaseFile& aFile, TnxBlockNumber aBlockNumber, TnxBaseTransaction& aTrans);

  // Ends the current level of aTrans: the outermost one commits and queues
  // the blocks for aFlushList (one made, flushed and freed here when nil);
  // a nested one moves its copies and files one level out.
  void CommitTransaction(TnxBaseTransaction* aTrans, TnxFlushList* aFlushList, bool aIsWTCommit);
  void RollbackTransaction(TnxBaseTransaction* aTrans);
  void RollbackTransactionLevel(TnxBaseTransactionLevel& aTransLevel);
  // The file's queued and unflushed blocks given back after a failed flush.
  void RollbackUnwritten(TnxBaseFile& aFile);
  // Committed images replaced while still held, not yet freed.
  int32_t RetiredImages();
  // Blocks of the file in the cache, block 0 included.
  int32_t CachedBlocks(const TnxBaseFile& aFile);
  // Pointers to the file's blocks not yet released.
  int32_t HandedOut(const TnxBaseFile& aFile);
  // Old images the file's blocks keep for snapshot transactions.
  int32_t SnapShotImages(const TnxBaseFile& aFile);
  // Threads waiting for the running read of a block.
  int32_t LoadWaiters(const TnxBaseFile& aFile, TnxBlockNumber aBlockNumber);
  // The buffer manager a file is attached to, nil when none.
  static TnxBufferManager* OwnerOf(const TnxBaseFile& aFile) noexcept;
  // The LSN of the file's header as last read or committed.
  TnxLSN FileLSN(const TnxBaseFile& aFile);
  // The file's used-block count, read under the padlock.
  uint32_t UsedBlocks(const TnxBaseFile& aFile);
  // The count as aTrans sees it: its own copy of the header when it has
  // changed it, else the committed one.
  uint32_t UsedBlocks(const TnxBaseFile& aFile, const TnxBaseTransaction* aTrans);

  TnxScratchBlockHandle CreateScratchBlock(TnxBlockSizeAll aSize);
  void* LockScratchBlock(TnxScratchBlockHandle aHandle);
  void UnlockScratchBlock(TnxScratchBlockHandle aHandle, void* aPointer);
  // A scratch block still locked raises 9986 and stays.
  void FreeScratchBlock(TnxScratchBlockHandle aHandle);

  // The RAM budget in MB: min(aMaxRAM, 80 % of physical memory), at least
  // 1; a value below 1 raises 9986. Resets the list targets.
  int32_t MaxRAM();
  void SetMaxRAM(int32_t aMaxRAM);
  // Bytes the process may still take beside the cache (an estimate, read
  // without the padlock).
  int64_t AvailableRAM();
  // The temporary store's size in MB; any value above 0 switches on a store
  // of the installed class (a failing one leaves none and raises). While
  // the store holds parked images it cannot be replaced (9986).
  int32_t TempStoreSize();
  void SetTempStoreSize(int32_t aSize);
  // Diagnostics: mapped pages in the resident lists, their target, and the
  // bytes parked in the store.
  int32_t ResidentPages();
  int32_t TargetPages();
  int64_t TempStoreInUse();
  // An eviction pass now: unforced as after a read, or forced as after a
  // commit (which ignores the back-off and the 150 ms bound).
  void EvictNow(bool aForce);

  TnxLSN CurrentLSN();
  TnxLSN NextLSN();
  void SetNextLSN(TnxLSN aLSN);

  // Transactions that may change files, each known by the LSN current when
  // it began (below every LSN it stamps): a caller asking what changed since
  // some point must still count on them. The key is given back once.
  TnxLSN RegisterWriter();
  void UnregisterWriter(TnxLSN aKey) noexcept;
  // The current LSN, or the lowest key of a writer still registered.
  TnxLSN OldestUnfinishedLSN();

  // The lowest free snapshot ID, now taken by aTrans.
  uint32_t RegisterSnapShot(TnxBaseTransaction& aTrans);
  void UnregisterSnapShot(uint32_t aID);
  int32_t ActiveSnapShotCount();
  size_t SnapShotFlagBytes();

  void CountTrans(TnxTransCounter aCounter);
  // Called by the file code without the padlock.
  void CountBlocksRead(int64_t aCount) noexcept { bmBlocksRead.fetch_add(aCount, std::memory_order_relaxed); }
  void CountBlocksWritten(int64_t aCount) noexcept {
    bmBlocksWritten.fetch_add(aCount, std::memory_order_relaxed);
  }

  static void GetStatsCaptions(platform::TStringList& aList);
  void GetStatsValues(platform::TStringList& aList);
  static void GetStatsValuesStatic(platform::TStringList& aList);

private:
  friend class TnxReadOnlyBlock;
  friend class TnxModifiedBlock;
  friend class TnxBlockObject;
  friend class TnxBaseTransaction;
  friend class TnxBaseTransactionLevel;
  friend class TnxFlushList;
  friend class TnxBlockMemory;
  friend class TnxBlockReuseScope;

  TnxFileBlockCache& Attached(const TnxBaseFile& aFile) const;
  // Padlock held once: the cached block, after waiting for a running load;
  // raises the error of a load that failed meanwhile.
  TnxReadOnlyBlock* FindBlock(TnxFileBlockCache& aCache, TnxBlockNumber aBlockNumber);
  TnxReadOnlyBlock* CreateBlock(TnxFileBlockCache& aCache, TnxBlockNumber aBlockNumber, bool aNew);
  void FreeBlock(TnxReadOnlyBlock& aBlock) noexcept;
  // Padlock held: gives the file an empty block cache here.
  void AttachFile(TnxBaseFile& aFile);
  // Padlock held: forgets the file's (empty) block cache.
  void DetachFile(TnxBaseFile& aFile, bool aClosing = false) noexcept;
  // The file's read of the block, then its header format's check.
  void ReadValidBlock(TnxReadOnlyBlock& aBlock, uint8_t* aImage, std::vector<uint8_t>& aCookie);
  TnxReadOnlyBlock* FindOrCreate(TnxBaseFile& aFile, TnxBlockNumber aBlockNumber, bool aNew);
  uint32_t LockedAddFile(TnxBaseFile& aFile, const std::vector<std::u16string>& aPasswords,
                         TnxReleaseMethod& aReleaseMethod, PnxBlock& aBlock, bool& aIsReadOnly);
  uint32_t LockedUsedBlocks(const TnxBaseFile& aFile, const TnxBaseTransaction* aTrans);
  // aUsed: the number was found below the used-block count.
  PnxBlock LockedGetBlock(TnxBaseFile& aFile, TnxBaseTransaction* aTrans, TnxBlockNumber aBlockNumber, bool aMarkDirty,
                          TnxReleaseMethod& aReleaseMethod, bool aUsed = false);
  // Padlock held: frees the retired images nobody holds any more.
  // ---- cache policy (cache_policy.cpp) ----
  int32_t Resident(TnxCacheBlockState aState) const noexcept {
    return bmBlockListCount[aState][0][1] + bmBlockListCount[aState][1][1];
  }
  int32_t Target(TnxCacheBlockState aState) const noexcept { return bmMaxPages[aState][0] + bmMaxPages[aState][1]; }
  void ApplyBudget(const TnxCacheBudget& aBudget) noexcept;
  // The standard call: forced eviction under memory pressure only.
  void StandardEviction();
  bool OverAnyTarget() const noexcept;
  void EvictUnderPressure();
  void RemoveExcessBlocks(bool aForceMapped, bool aForceAllocated);
  void RemoveExcessUsedBlocks(TnxCacheBlockState aState, bool aForce);
  void RemoveExcessTrackedBlocks(TnxCacheBlockState aState) noexcept;
  // Padlock held: the next pass walks every resident list from its head.
  void ForgetScannedParts() noexcept;
  struct TnxEvictScan;
  // Padlock held: a pass kept aBlock, the first object past the part.
  void KeepScanned(TnxEvictScan& aScan, TnxBlockObject& aBlock) noexcept;
  // Padlock held: forgets them when the store may have room now.
  void CheckScanStore() noexcept;
  // For one call on the calling thread: the transaction it works for, which
  // cannot be writing into the blocks it holds meanwhile.
  class TnxCallerTrans {
  public:
    explicit TnxCallerTrans(const TnxBaseTransaction* aTrans) noexcept;
    ~TnxCallerTrans();
    TnxCallerTrans(const TnxCallerTrans&) = delete;
    TnxCallerTrans& operator=(const TnxCallerTrans&) = delete;

  private:
    const TnxBaseTransaction* ctSaved;
  };
  // Padlock held: whether eviction may commit aTrans through now. A copy
  // that is handed out is copied by that commit, which is safe only on the
  // owner's own thread; elsewhere the owner may be writing into it.
  bool MayCommitThrough(const TnxBaseTransaction& aTrans) noexcept;
  // Padlock held: commits aTrans through at its outermost level; the
  // blocks are queued in aFlushList's files.
  void CommitWriteThrough(TnxBaseTransaction& aTrans, TnxFlushList& aFlushList);
  // From eviction: the commit is flushed by FlushPendingWriteThrough.
  void CommitWriteThroughPending(TnxBaseTransaction& aTrans);
  // Without the padlock: writes the write-through commits eviction made.
  void FlushPendingWriteThrough();
  // The same after handing out aBlock, which goes back when the flush fails.
  void FlushPendingWriteThrough(TnxReleaseMethod& aReleaseMethod, PnxBlock aBlock);

  // Padlock held: what some transaction sees of some block may change
  // now. Every such change moves bmViews on, under the padlock, before it
  // is released.
  void ViewsChange() noexcept {
    bmViews.store(bmViews.load(std::memory_order_relaxed) + 1, std::memory_order_release);
  }
  // Without the padlock: a fetch the thread's reuse scope answers.
  PnxBlock ReusedBlock(const TnxBaseFile& aFile, const TnxBaseTransaction* aTrans, TnxBlockNumber aBlockNumber,
                       bool aUsed, bool aMarkDirty, TnxReleaseMethod& aReleaseMethod) noexcept;
  // Padlock held: the thread's reuse scope pins the clean image too.
  void RememberBlock(TnxReadOnlyBlock& aBlock, const TnxBaseTransaction* aTrans, bool aUsed) noexcept;
  // Padlock held, after aTrans fetched the block: the scope remembers the
  // transaction's own copy when it may hand it out again.
  void RememberCopy(TnxReadOnlyBlock& aBlock, const TnxBaseTransaction& aTrans) noexcept;

  void SweepRetired() noexcept;
  void Retire(TnxBlockMemory aMemory, std::unique_ptr<TnxImagePins> aPins);
  // Padlock held.
  void CreateFileSnapShotLink(TnxFileBlockCache& aCache, TnxBaseTransaction& aTrans);
  void FreeSnapShotLinks(TnxBaseTransaction& aTrans) noexcept;
  // Makes every snapshot that has read one file of aTrans see them all as
  // they were before its commit.
  void LinkFilesForSnapShots(TnxBaseTransaction& aTrans);

  TnxPadlock bmPadlock{true};
  // Freed block memory kept for the next image of its size, as long as it
  // and the resident pages stay within the budget and memory is not short
  // (before every member that holds block memory, so that it outlives
  // them). Padlock held.
  struct TnxSpareBlock {
    TnxMapableBlockHandle sbHandle;
    uint8_t* sbData;
  };
  static constexpr int kSpareSizes = mm::nxbs64k + 1;
  std::vector<TnxSpareBlock> bmSpares[kSpareSizes];
  int32_t bmSparePages = 0;
  bool bmKeepSpares = true;
  bool TakeSpare(TnxBlockSizeAll aSize, TnxBlockMemory& aMemory) noexcept;
  bool KeepSpare(TnxBlockMemory& aMemory) noexcept;
  // Gives spare memory back to the heap until at most aPages are left.
  void TrimSpares(int32_t aPages) noexcept;
  // Held by a journalled commit's flush list until its journal is removed.
  TnxPadlock bmJournalLock;
  int32_t bmMaxRAM = 0;
  // [state][frequently used][resident]; only mapped and allocated have lists.
  TnxBlockObject* bmBlockListHead[nxCacheBlockStateCount][2][2] = {};
  TnxBlockObject* bmBlockListTail[nxCacheBlockStateCount][2][2] = {};
  std::atomic<int32_t> bmBlockListCount[nxCacheBlockStateCount][2][2] = {};
  std::atomic<int32_t> bmMaxPages[nxCacheBlockStateCount][2] = {};
  // What eviction passes already found unevictable in each resident list
  // [state][frequently used]: the part from the head to esLast, where every
  // object is settled (EvictionSettled) or listed in esRecheck (in list
  // order, nil where one left), so a pass asks only those and what follows.
  // Before every member that holds block objects: they unlink themselves.
  struct TnxEvictScan {
    TnxBlockObject* esLast = nullptr;
    std::vector<TnxBlockObject*> esRecheck;
    size_t esHoles = 0;  // nil entries in esRecheck
  };
  TnxEvictScan bmEvictScan[nxCacheBlockStateCount][2];
  // The store as the scanned parts were found: one that may have room
  // since (another size, or less in use) forgets them; so does a new store.
  int64_t bmScanStoreSize = 0;
  int64_t bmScanStoreInUse = 0;
  // Pages appended to each mapped resident list so far (wrapping): how far
  // from its tail an object can be at most.
  uint32_t bmMappedClock[2] = {};
  uint64_t bmLastCheckFailed[nxCacheBlockStateCount] = {};
  uint64_t bmChunkEmergency = 0;
  uint64_t bmPhysicalEmergency = 0;
  bool bmUseAllocated = false;
  bool bmEvicting = false;  // a pass runs: the calls it causes evict nothing
  // No list over its target when last checked, and no count or target
  // changed since.
  bool bmWithinTargets = false;
  // The transaction MayCommitThrough last refused, and bmViews then: a pass
  // over its copies asks once, not once per copy.
  const TnxBaseTransaction* bmRefusedTrans = nullptr;
  uint64_t bmRefusedViews = 0;
  std::vector<std::unique_ptr<TnxFlushList>> bmPendingFlushes;
  std::atomic<int32_t> bmPendingFlushCount{0};
  std::u16string bmTempDir;
  std::unique_ptr<TnxBaseTempStorage> bmTempStore;
  const TnxTempStorageClass* bmTempStoreClass = nullptr;  // of bmTempStore
  TnxReadOnlyBlock* bmInUseListHead = nullptr;
  TnxReadOnlyBlock* bmInUseListTail = nullptr;
  // [state][frequently used][bulk loaded]
  int64_t bmBlockCacheHit[nxCacheBlockStateCount][2][2] = {};
  int64_t bmBlockCacheEvict[nxCacheBlockStateCount][2][2] = {};
  int64_t bmTransCounts[nxTransCounterCount] = {};
  TnxLSN bmCurrentLSN = 0;
  std::vector<uint8_t> bmSnapShotFlags;
  std::vector<TnxBaseTransaction*> bmSnapShotTrans;
  int32_t bmActiveSnapShotCount = 0;
  std::multiset<TnxLSN> bmWriters;
  std::atomic<uint64_t> bmViews{0};
  std::atomic<int64_t> bmBlocksRead{0};
  std::atomic<int64_t> bmBlocksWritten{0};
  std::vector<std::unique_ptr<TnxFileBlockCache>> bmFiles;
  std::vector<std::unique_ptr<TnxScratchBlock>> bmScratchBlocks;
  struct TnxRetiredImage {
    TnxBlockMemory riMemory;
    std::unique_ptr<TnxImagePins> riPins;
  };
  std::vector<TnxRetiredImage> bmRetired;
};

}  // namespace revurov
