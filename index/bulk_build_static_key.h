// The static-key B*-tree's bulk builder: keys are collected in 4 MB
// containers (scratch blocks of the buffer manager), each sorted when it
// fills, ordered containers are chained into runs, runs are merged two at a
// time (shortest first) and the last merge feeds a tree builder that writes
// the tree bottom-up, leaves first, each node filled to a set level.
//
// Contract:
// - Entries: the key, then the RefNr in the entry's last 8 bytes; the entry
//   is key length + 8 rounded up to 16 bytes.
// - Entry order is the tree's: the whole key, then (duplicates allowed) the
//   RefNr. Two entries the index may not both hold (equal entries, equal
//   keys in a unique index, equal keys without NULLs where only NULL keys
//   may repeat) raise 9729 with the "BulkCreate" key-violation message,
//   whenever the sort, run forming or merge meets them.
// - Only the containers being filled or merged are locked (at most one per
//   run being merged plus the output); the others may be parked in the
//   temporary store. Locked or not, their pages count in the cache budget.
// - Any exception frees every container; nodes written so far stay for the
//   transaction's rollback.
// - Input in key order forms a single run: no merge pass at all.
// - The tree builder plans its levels from the key count and fills them
//   evenly; a level beyond the plan is added when the top level would get a
//   second node, so whatever it is fed it leaves one root.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "index/bulk_build.h"
#include "index/index_block.h"
#include "storage/buffer_manager.h"
#include "storage/release_method.h"

namespace revurov {

class TnxBaseIndexHeaderAccess;
class TnxKeyContainer;
class TnxStaticKeyBstarTreeIndexBulkBuilder;
class TnxStaticKeyBstarTreeIndexEngine;

// Sorts aCount entries of aEntrySize bytes in place: a quicksort with an
// explicit stack of 32 ranges (the smaller part goes first, so the stack
// never needs more than log2 of the count), median of three for ranges of
// more than 15 entries, insertion sort below. aSwap holds one entry.
// aCompare is never asked to compare an entry with itself. Answers the
// deepest stack used.
using TnxEntryCompare = std::function<int(const uint8_t*, const uint8_t*)>;
int32_t nxSortEntries(uint8_t* aBase, uint32_t aCount, uint32_t aEntrySize, uint8_t* aSwap,
                      const TnxEntryCompare& aCompare);

struct TnxStaticKeyBstarTreeIndexBulkBuilderHead {
  TnxStaticKeyBstarTreeIndexBulkBuilderHead() = default;
  ~TnxStaticKeyBstarTreeIndexBulkBuilderHead();
  TnxStaticKeyBstarTreeIndexBulkBuilderHead(const TnxStaticKeyBstarTreeIndexBulkBuilderHead&) = delete;
  TnxStaticKeyBstarTreeIndexBulkBuilderHead& operator=(const TnxStaticKeyBstarTreeIndexBulkBuilderHead&) = delete;

  // The chain, oldest first, taken out of the head.
  std::vector<std::unique_ptr<TnxKeyContainer>> TakeAll();

  std::unique_ptr<TnxKeyContainer> bsibbhCurrentContainer;  // the newest; the older behind it
  uint32_t bsibbhContainerCount = 0;
};

// One batch of entries in a 4 MB scratch block.
class TnxKeyContainer : public TnxObject {
public:
  TnxKeyContainer(TnxStaticKeyBstarTreeIndexBulkBuilder& aBulkIndexer);
  ~TnxKeyContainer() override;
  TnxKeyContainer(const TnxKeyContainer&) = delete;
  TnxKeyContainer& operator=(const TnxKeyContainer&) = delete;

  virtual bool NeedsSort() const noexcept { return true; }

  // Memory of the locked block, write position at the start.
  void Lock();
  void Unlock();
  bool Locked() const noexcept { return kcScratchPointer != nullptr; }
  // Sorts when asked to, keeps the first and last entry and unlocks.
  void Close();

  uint32_t KeyCount() const noexcept { return kcKeyCount; }
  const uint8_t* FirstKey() const noexcept { return kcFirstKey.data(); }
  const uint8_t* LastKey() const noexcept { return kcLastKey.data(); }

private:
  friend class TnxStaticKeyBstarTreeIndexBulkBuilder;
  friend struct TnxStaticKeyBstarTreeIndexBulkBuilderHead;

  std::unique_ptr<TnxKeyContainer> kcNext;
  TnxStaticKeyBstarTreeIndexBulkBuilder& kcBulkIndexer;
  TnxScratchBlockHandle kcScratchHandle;
  uint8_t* kcScratchPointer = nullptr;
  uint8_t* kcCurrentPointer = nullptr;
  uint32_t kcKeyCount = 0;
  std::vector<uint8_t> kcFirstKey;
  std::vector<uint8_t> kcLastKey;
};

// Filled in order by a merge.
class TnxPreSortedKeyContainer : public TnxKeyContainer {
public:
  using TnxKeyContainer::TnxKeyContainer;
  bool NeedsSort() const noexcept override { return false; }
};

// Writes the tree bottom-up from entries that arrive in ascending order.
class TnxTreeBuilder : public TnxObject {
public:
  // aPlannedKeys: the keys the plan is made for.
  TnxTreeBuilder(TnxStaticKeyBstarTreeIndexEngine& aIndexEngine, TnxBaseTransaction& aTrans, uint32_t aPlannedKeys,
                 uint32_t aRefNrOffset);
  ~TnxTreeBuilder() override;
  TnxTreeBuilder(const TnxTreeBuilder&) = delete;
  TnxTreeBuilder& operator=(const TnxTreeBuilder&) = delete;

  void InsertKey(const uint8_t* aEntry);
  // Names the root and writes the counts.
  void Finalize();

  uint16_t LeafTarget() const noexcept { return tbLeafNodeKeyCount; }
  uint16_t InternalTarget() const noexcept { return tbInternalNodeKeyCount; }
  size_t PlannedLevels() const noexcept { return tbPlannedLevels; }
  size_t Levels() const noexcept { return tbCurrentInternal.size(); }

private:
  // A finished node waits until its level gets another pair: only then is
  // its successor made and the separator sent up. Without one the waiting
  // pair goes into the finished node (which the target leaves room for), so
  // no node ever ends with a single child.
  struct TLevel {
    TnxBlockGuard Node;
    TnxBlockGuard Finished;
    std::vector<uint8_t> PendingSeparator;  // empty: nothing waits
    uint32_t PendingRight = nxNoNode;
    uint32_t PlannedNodes = 0;  // 0: added beyond the plan
    uint32_t PlannedKeys = 0;
    uint32_t NodesMade = 0;
    uint64_t KeysAdded = 0;  // in the level's nodes
  };
  PnxBlock NewNode(uint8_t aKind, TnxBlockGuard& aGuard);
  void AddToLevel(size_t aLevel, uint32_t aLeft, uint32_t aRight, const uint8_t* aSeparator);
  void AppendPair(PnxBlock aNode, uint32_t aLeft, uint32_t aRight, const uint8_t* aSeparator);

  TnxStaticKeyBstarTreeIndexEngine& tbIndexEngine;
  TnxBaseTransaction& tbTrans;
  std::unique_ptr<TnxBaseIndexHeaderAccess> tbIndexHeaderAccess;
  uint32_t tbRefNrOffset;
  uint16_t tbInternalNodeKeyCount = 0;
  uint16_t tbLeafNodeKeyCount = 0;
  uint16_t tbInternalNodeFirstKey = 0;
  uint16_t tbLeafNodeFirstKey = 0;
  TnxBlockGuard tbCurrentLeafNode;
  uint32_t tbTotalLeafNodes = 0;
  uint64_t tbTotalKeys = 0;
  uint32_t tbCurrentLeafNodes = 0;
  uint64_t tbCurrentLeafKeys = 0;
  uint32_t tbPagesMade = 0;
  size_t tbPlannedLevels = 0;
  std::vector<TLevel> tbCurrentInternal;
  std::vector<uint8_t> tbSeparator;
};

class TnxStaticKeyBstarTreeIndexBulkBuilder : public TnxBaseIndexBulkBuilder {
public:
  // aIndexEngine must be a TnxStaticKeyBstarTreeIndexEngine (else 9986).
  // After Finalize, or after an exception has freed the containers, both
  // operations give 9986.
  TnxStaticKeyBstarTreeIndexBulkBuilder(TnxBaseTransaction& aTrans, TnxBaseIndexEngine& aIndexEngine);
  ~TnxStaticKeyBstarTreeIndexBulkBuilder() override;

  uint32_t InsertKey(TnxRefNr aRefNr, const uint8_t* aRecord, TnxBaseTransaction& aTrans) override;
  uint32_t Finalize(TnxBaseTransaction& aTrans) override;

  // Orders two entries as the tree does; raises 9729 ("BulkCreate") for two
  // the index may not both hold.
  int CompareEntries(const uint8_t* aEntry1, const uint8_t* aEntry2);
  // A container's entries into CompareEntries order, aSwap holding one;
  // answers the deepest sort stack used.
  int32_t SortContainer(uint8_t* aBase, uint32_t aCount, uint8_t* aSwap);

  uint32_t EntryLength() const noexcept { return bsibbKeyLength; }
  uint32_t KeysPerContainer() const noexcept { return bsibbKeysPerContainer; }
  // Smaller batches than a block holds (tests of runs and merges); 0 or more
  // than a block holds gives 9986.
  void SetKeysPerContainer(uint32_t aCount);
  uint32_t TotalKeyCount() const noexcept { return bsibbTotalKeyCount; }

  // What the last Finalize did, and the peaks of the whole build: runs
  // formed, merges before the one into the tree, containers made and
  // locked at once, the cache's mapped pages, the sort stack.
  uint32_t RunCount() const noexcept { return bsibbRunCount; }
  uint32_t MergePasses() const noexcept { return bsibbMergePasses; }
  uint32_t ContainersMade() const noexcept { return bsibbContainersMade; }
  int32_t PeakLockedContainers() const noexcept { return bsibbPeakLocked; }
  int32_t PeakResidentPages() const noexcept { return bsibbPeakResidentPages; }
  int32_t PeakSortStack() const noexcept { return bsibbPeakSortStack; }

private:
  friend class TnxKeyContainer;
  using TRun = std::vector<std::unique_ptr<TnxKeyContainer>>;

  TnxKeyContainer& NewContainer(bool aPreSorted);
  // Closes the head's current container; an empty one goes.
  void CloseCurrent();
  // Emits into aTree when given, else into presorted containers of the head.
  void Merge(TRun& aFirst, TRun& aSecond, TnxTreeBuilder* aTree);
  void Emit(const uint8_t* aEntry, TnxTreeBuilder* aTree);
  void CheckUsable() const;
  void Locked(int32_t aDelta);
  void SampleCache();
  [[noreturn]] void RaiseDuplicate(const uint8_t* aEntry);

  TnxBufferManager& bsibbBufferManager;
  TnxStaticKeyBstarTreeIndexEngine& bsibbIndexEngine;
  TnxStaticKeyBstarTreeIndexBulkBuilderHead bsibbDefaultHead;
  uint32_t bsibbKeyLength;
  uint32_t bsibbKeysPerContainer;
  uint32_t bsibbTotalKeyCount = 0;
  std::unique_ptr<TnxTreeBuilder> bsibbTreeBuilder;
  uint32_t bsibbRunCount = 0;
  uint32_t bsibbMergePasses = 0;
  uint32_t bsibbContainersMade = 0;
  int32_t bsibbLocked = 0;
  int32_t bsibbPeakLocked = 0;
  int32_t bsibbPeakResidentPages = 0;
  int32_t bsibbPeakSortStack = 0;
  uint32_t bsibbEmitted = 0;
  bool bsibbDone = false;
};

}  // namespace revurov
