// Reading a static-key B*-tree: positioning, steps, validating a path,
// ranged iteration, record numbers and estimates.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <utility>
#include <vector>

#include "dictionary/filter_engines.h"
#include "index/bstar_node.h"
#include "index/static_key_bstar_tree.h"
#include "index/static_key_bstar_tree_path.h"
#include "lowlevel/errors/error_codes.h"
#include "platform/endian.h"
#include "storage/block_access.h"
#include "storage/buffer_manager.h"
#include "storage/deadline.h"
#include "storage/header_access.h"
#include "storage/transactions.h"

namespace revurov {

using platform::LoadU64;
using namespace bstar_node;
using TPath = TnxStaticKeyBstarTreeIndexPath;

namespace {

TnxBaseFilterEngine* Active(TnxBaseFilterEngine* aFilter) { return aFilter && aFilter->GetActive() ? aFilter : nullptr; }

bool IsGreaterAction(TnxSearchKeyAction a) {
  return a == skaGreaterEqual || a == skaGreater || a == skaAnyGreaterEqual || a == skaAnyGreater;
}
bool IsSmallerAction(TnxSearchKeyAction a) {
  return a == skaSmallerEqual || a == skaSmaller || a == skaAnySmallerEqual || a == skaAnySmaller;
}

// The transaction stays locked while a walk runs, however it ends.
class TTransLock {
public:
  explicit TTransLock(TnxBaseTransaction* aTrans) : tlTrans(aTrans) {
    if (tlTrans) tlTrans->Lock();
  }
  ~TTransLock() {
    if (tlTrans) tlTrans->Unlock();
  }
  TTransLock(const TTransLock&) = delete;
  TTransLock& operator=(const TTransLock&) = delete;

private:
  TnxBaseTransaction* tlTrans;
};

// A key filter's time-out check belongs to stepping a cursor: walks run
// without it and give it back when they end.
class TTimeOutPause {
public:
  explicit TTimeOutPause(TnxBaseFilterEngine* aFilter) : tpFilter(aFilter) {
    if (tpFilter) tpSaved = std::exchange(tpFilter->kfCheckTimeOut, nullptr);
  }
  ~TTimeOutPause() {
    if (tpFilter) tpFilter->kfCheckTimeOut = std::move(tpSaved);
  }
  TTimeOutPause(const TTimeOutPause&) = delete;
  TTimeOutPause& operator=(const TTimeOutPause&) = delete;

private:
  TnxBaseFilterEngine* tpFilter;
  std::function<bool(uint32_t&)> tpSaved;
};

// A bound that claims a key must carry one.
void CheckBounds(const TnxRangeInfo& aStart, const TnxRangeInfo& aEnd) {
  if ((aStart.riValid && !aStart.riKey) || (aEnd.riValid && !aEnd.riKey))
    throw EnxStaticKeyBstarTreeIndexEngineException(nxeInvalidParameter, u"A valid range bound without a key");
}

}  // namespace

// One reading operation: its header accessor and the one node it holds.
class TnxStaticKeyBstarTreeIndexEngine::TReader {
public:
  TReader(TnxStaticKeyBstarTreeIndexEngine& aEngine, TnxBaseTransaction* aTrans)
      : Trans(aTrans), rEngine(aEngine), rHeader(aEngine.CreateHeaderAccess(aTrans, false, false, 0, 0)) {}

  uint32_t Root() { return rHeader->GetIndexRoot(); }
  TnxBaseIndexHeaderAccess& Header() { return *rHeader; }
  TnxBaseFileHeaderAccess& File() { return rHeader->FileHeader(); }
  void SetDepth(int32_t aFieldCount, int32_t aPartialLen) { rHeader->SetCompareDate(aFieldCount, aPartialLen); }

  // A checked node; the one held before is released.
  const uint8_t* Read(uint32_t aBlock) {
    if (aBlock == rBlock && rGuard) return rGuard.Block();
    rGuard.Release();
    rBlock = nxNoNode;
    rGuard.Hold(nxReadIndexBlock(Trans, File(), rEngine.IndicesEngine().bseID, false, aBlock, rGuard.ReleaseMethod()));
    rBlock = aBlock;
    if (!rEngine.NodeShapeOk(rGuard.Block())) rEngine.RaiseDamaged(aBlock);
    return rGuard.Block();
  }
  const uint8_t* ReadLeaf(uint32_t aBlock) {
    const uint8_t* node = Read(aBlock);
    if (Kind(node) != nxnkLeaf) rEngine.RaiseDamaged(aBlock);
    return node;
  }
  // Moving to another leaf of a chain: a chain longer than the file goes
  // round a cycle; walks test the deadline here.
  void NextLeaf(uint32_t aBlock, bool aWalk) {
    if (rLimit == 0) rLimit = File().UsedBlocks();
    if (++rLeaves > rLimit) rEngine.RaiseDamaged(aBlock);
    if (aWalk) nxCheckTimeout();
  }

  TnxBaseTransaction* Trans;

private:
  TnxStaticKeyBstarTreeIndexEngine& rEngine;
  std::unique_ptr<TnxBaseIndexHeaderAccess> rHeader;
  TnxBlockGuard rGuard;
  uint32_t rBlock = nxNoNode;
  uint32_t rLimit = 0;
  uint32_t rLeaves = 0;
};

std::unique_ptr<TnxBaseIndexPath> TnxStaticKeyBstarTreeIndexEngine::CreateIndexPath() {
  return std::make_unique<TPath>(this);
}

TPath& TnxStaticKeyBstarTreeIndexEngine::OwnPathOf(TnxBaseIndexPath& aPath) const {
  auto* own = dynamic_cast<TPath*>(&aPath);
  if (!own || own->IndexEngine() != this)
    throw EnxStaticKeyBstarTreeIndexEngineException(nxeInvalidParameter, u"Index path of another index engine: %s",
                                                    {std::u16string(aPath.ClassName())});
  return *own;
}

void TnxStaticKeyBstarTreeIndexEngine::SetOnSlot(TPath& aPath, const uint8_t* aNode, uint32_t aSlot) const {
  aPath.Clear();
  aPath.RefNr = LeafRefNr(aNode, aSlot);
  CopySlotKey(aPath, aNode, aSlot);
  aPath.KeyValid = true;
  aPath.Position = ippOnKey;
  aPath.bpipPage = BlockOf(aNode);
  aPath.bpipItem = static_cast<int32_t>(aSlot);
  aPath.bpipIdentCounter = ChangeCounter(aNode);
  aPath.bpipLSN = static_cast<TnxLSN>(LoadU64(aNode + 8));
}

// ---- searching ----

bool TnxStaticKeyBstarTreeIndexEngine::SearchNav(const uint8_t* aNode, const TNavSearch& aSearch,
                                                 uint32_t& aSlot) const {
  const bool leaf = Kind(aNode) == nxnkLeaf;
  const int64_t lo = leaf ? First(aNode) : 0;
  return SearchSlots(lo, lo + Count(aNode) - 1, aSearch.Goes(), [&](uint32_t aAt) {
    const uint8_t* key = aNode + (leaf ? ieLeafNodeKeyOffset[aAt] : ieInternalNodeKeyOffset[aAt]);
    int c = KeyEngine().CompareKey(aSearch.Key, key, aSearch.FieldCount, aSearch.PartialLen);
    if (c == 0 && aSearch.Mode == TNavSearch::TMode::ByKeyAndRef) {
      const auto ref =
          static_cast<TnxRefNr>(leaf ? LeafRefNr(aNode, aAt) : LoadU64(aNode + ieInternalNodeKeyRefOffset[aAt]));
      c = aSearch.RefNr < ref ? -1 : (aSearch.RefNr > ref ? 1 : 0);
    }
    return c;
  }, aSlot);
}

uint32_t TnxStaticKeyBstarTreeIndexEngine::DescendNav(TReader& aReader, const TNavSearch& aSearch,
                                                      std::vector<TNodeEntry>* aLevels) {
  uint32_t block = aReader.Root();
  for (int32_t depth = 0;; ++depth) {
    const uint8_t* node = aReader.Read(block);
    if (Kind(node) == nxnkLeaf) return block;
    if (depth >= nxMaxTreeDepth) RaiseDamaged(block);
    uint32_t slot;
    SearchNav(node, aSearch, slot);
    if (aLevels) aLevels->push_back({block, 0, Count(node) + 1u, slot});  // entries: the pointers
    block = platform::LoadU32(node + ieTreePointerOffset[slot]);
  }
}

uint32_t TnxStaticKeyBstarTreeIndexEngine::EdgeLeaf(TReader& aReader, bool aRightmost) {
  uint32_t block = aReader.Root();
  for (int32_t depth = 0;; ++depth) {
    const uint8_t* node = aReader.Read(block);
    if (Kind(node) == nxnkLeaf) return block;
    if (depth >= nxMaxTreeDepth) RaiseDamaged(block);
    block = platform::LoadU32(node + ieTreePointerOffset[aRightmost ? Count(node) : 0]);
  }
}

// ---- stepping ----

bool TnxStaticKeyBstarTreeIndexEngine::Step(TReader& aReader, TPath& aPath, TnxBaseFilterEngine* aKeyFilter,
                                            bool aBack, bool aWalk) {
  if (aPath.Position == (aBack ? ippBof : ippEof)) return false;
  uint32_t block;
  int64_t item;
  bool advance;
  const uint8_t* node;
  if (aPath.Position == (aBack ? ippEof : ippBof)) {
    if (aReader.Root() == nxNoNode) {
      aBack ? aPath.SetToBof() : aPath.SetToEof();
      return false;
    }
    block = EdgeLeaf(aReader, aBack);
    node = aReader.ReadLeaf(block);
    item = aBack ? int64_t{First(node)} + Count(node) - 1 : First(node);
    advance = false;
  } else {
    block = aPath.bpipPage;
    node = aReader.ReadLeaf(block);
    item = aPath.bpipItem;
    advance = aPath.Position != (aBack ? ippOnCrackAfter : ippOnCrackBefore);
  }
  for (;;) {
    if (advance) item += aBack ? -1 : 1;
    advance = true;
    for (;;) {
      const int64_t first = First(node), last = first + Count(node) - 1;
      if (aBack && item > last) item = last;
      if (!aBack && item < first) item = first;
      if (item >= first && item <= last) break;
      const uint32_t to = aBack ? Prev(node) : Next(node);
      if (to == nxNoNode) {
        aBack ? aPath.SetToBof() : aPath.SetToEof();
        return false;
      }
      aReader.NextLeaf(to, aWalk);
      block = to;
      node = aReader.ReadLeaf(block);
      item = aBack ? int64_t{First(node)} + Count(node) - 1 : First(node);
    }
    SetOnSlot(aPath, node, static_cast<uint32_t>(item));
    if (!aKeyFilter || aKeyFilter->MatchesKey(aPath.KeyBuffer())) return true;
    if (aKeyFilter->kfCheckTimeOut) {
      uint32_t local = 0;
      if (aKeyFilter->kfCheckTimeOut(aKeyFilter->kfResult ? *aKeyFilter->kfResult : local)) return true;
    }
    // The filter may have read other blocks: the node is fetched again.
    node = aReader.ReadLeaf(block);
  }
}

bool TnxStaticKeyBstarTreeIndexEngine::NextKey(TnxBaseTransaction* aTrans, TnxBaseIndexPath& aPath,
                                               TnxBaseFilterEngine* aKeyFilter) {
  TPath& path = OwnPathOf(aPath);
  if (path.IsEof()) return false;
  try {
    TReader reader(*this, aTrans);
    if (path.Position == ippUnknown)
      path.SetToBof();
    else
      ValidateIn(reader, path);
    if (!Step(reader, path, Active(aKeyFilter), false, false)) {
      path.SetToEof();
      return false;
    }
    return true;
  } catch (...) {
    path.SetToEof();
    throw;
  }
}

bool TnxStaticKeyBstarTreeIndexEngine::PrevKey(TnxBaseTransaction* aTrans, TnxBaseIndexPath& aPath,
                                               TnxBaseFilterEngine* aKeyFilter) {
  TPath& path = OwnPathOf(aPath);
  if (path.IsBof()) return false;
  try {
    TReader reader(*this, aTrans);
    if (path.Position == ippUnknown)
      path.SetToEof();
    else
      ValidateIn(reader, path);
    if (!Step(reader, path, Active(aKeyFilter), true, false)) {
      path.SetToBof();
      return false;
    }
    return true;
  } catch (...) {
    path.SetToBof();
    throw;
  }
}

// ---- positioning ----

bool TnxStaticKeyBstarTreeIndexEngine::FindKey(TnxBaseTransaction* aTrans, const uint8_t* aKey, int32_t aFieldCount,
                                               int32_t aPartialLen, TnxRefNr aRefNr, TnxBaseIndexPath& aPath,
                                               TnxSearchKeyAction aAction, TnxBaseFilterEngine* aKeyFilter) {
  TPath& path = OwnPathOf(aPath);
  try {
    TReader reader(*this, aTrans);
    return FindKeyIn(reader, aKey, aFieldCount, aPartialLen, aRefNr, TieRef(aRefNr, 0), path, aAction,
                     Active(aKeyFilter));
  } catch (...) {
    const bool toEof = aAction == skaGreaterEqual || aAction == skaGreater || aAction == skaEqualLast ||
                       aAction == skaAnyGreaterEqual || aAction == skaAnyGreater;
    toEof ? path.SetToEof() : path.SetToBof();
    throw;
  }
}

bool TnxStaticKeyBstarTreeIndexEngine::FindKeyIn(TReader& aReader, const uint8_t* aKey, int32_t aFieldCount,
                                                 int32_t aPartialLen, TnxRefNr aRefNr, TnxRefNr aTieRef, TPath& aPath,
                                                 TnxSearchKeyAction aAction, TnxBaseFilterEngine* aKeyFilter) {
  using TMode = TNavSearch::TMode;
  aReader.SetDepth(aFieldCount, aPartialLen);
  if (aReader.Root() == nxNoNode) {
    if (IsGreaterAction(aAction)) return aPath.SetToEof(), true;
    if (IsSmallerAction(aAction)) return aPath.SetToBof(), true;
    return false;
  }
  const bool depth = aFieldCount != 0 || aPartialLen != 0;
  const bool exact = ieAddKeyRefsToKeys && aRefNr != 0 && !depth;
  TNavSearch search{aKey, aTieRef, exact ? 0 : aFieldCount, exact ? 0 : aPartialLen, TMode::Stop};
  if (exact) {
    search.Mode = TMode::ByKeyAndRef;
  } else if (Dups() || aPartialLen != 0 || (aFieldCount != 0 && aFieldCount != KeyEngine().GetMaxFieldCount())) {
    switch (aAction) {
      case skaEqualFirst:
      case skaGreaterEqual:
      case skaGreater:
        search.Mode = TMode::Left;
        break;
      case skaEqualLast:
      case skaSmallerEqual:
      case skaSmaller:
        search.Mode = TMode::Right;
        break;
      default:
        break;
    }
  }
  const uint32_t leaf = DescendNav(aReader, search, nullptr);
  const uint8_t* node = aReader.ReadLeaf(leaf);
  if (Count(node) == 0) RaiseDamaged(leaf);
  uint32_t slot;
  const bool found = SearchNav(node, search, slot);
  const auto equal = [&](const TPath& aAt) {
    return KeyEngine().CompareKey(aAt.KeyBuffer(), aKey, aFieldCount, aPartialLen) == 0;
  };
  bool answer = true;
  if (found) {
    SetOnSlot(aPath, node, slot);
    // A search for a greater or smaller key that meets an equal one walks
    // past the equal run like skaGreater and skaSmaller, never answering
    // the equal key.
    const TnxSearchKeyAction action =
        aAction == skaAnyGreater ? skaGreater : (aAction == skaAnySmaller ? skaSmaller : aAction);
    const bool stays = action == skaAnyEqual || action == skaAnyGreaterEqual || action == skaAnySmallerEqual;
    if (!stays && (action == skaGreater || action == skaSmaller || (!exact && Dups()) || depth)) {
      const bool back = action == skaEqualFirst || action == skaGreaterEqual || action == skaSmaller;
      while (Step(aReader, aPath, nullptr, back, false) && equal(aPath)) {
      }
      if (action == skaEqualFirst || action == skaGreaterEqual)
        Step(aReader, aPath, aKeyFilter, false, false);
      else if (action == skaEqualLast || action == skaSmallerEqual)
        Step(aReader, aPath, aKeyFilter, true, false);
      else if (aKeyFilter && aPath.IsOnKey() && !aKeyFilter->MatchesKey(aPath.KeyBuffer()))
        Step(aReader, aPath, aKeyFilter, back, false);
    } else if (aKeyFilter && !aKeyFilter->MatchesKey(aPath.KeyBuffer())) {
      // The key found does not pass: the next one that does, the way the
      // action looks.
      Step(aReader, aPath, aKeyFilter, IsSmallerAction(action) || action == skaEqualLast, false);
    }
  } else {
    const uint32_t last = uint32_t{First(node)} + Count(node) - 1;
    SetOnSlot(aPath, node, std::min(slot, last));
    aPath.Position = slot <= last ? ippOnCrackBefore : ippOnCrackAfter;
    if (IsGreaterAction(aAction))
      Step(aReader, aPath, aKeyFilter, false, false);
    else if (IsSmallerAction(aAction))
      Step(aReader, aPath, aKeyFilter, true, false);
    answer = !aPath.IsOnCrack();
  }
  if (answer && aPath.IsOnKey() && (aAction == skaEqualFirst || aAction == skaEqualLast || aAction == skaAnyEqual) &&
      !equal(aPath)) {
    aPath.Position = aAction == skaEqualLast ? ippOnCrackAfter : ippOnCrackBefore;
    answer = false;
  }
  if (answer && (aAction == skaEqualFirst || aAction == skaEqualLast || aAction == skaAnyEqual) && !aPath.IsOnKey())
    answer = false;
  return answer;
}

// ---- validating a path ----

void TnxStaticKeyBstarTreeIndexEngine::ValidateIndexPath(TnxBaseTransaction* aTrans, TnxBaseIndexPath& aPath) {
  TPath& path = OwnPathOf(aPath);
  if (!path.IsOnCrack() && !path.IsOnKey()) return;
  TReader reader(*this, aTrans);
  ValidateIn(reader, path);
}

TnxRefNr TnxStaticKeyBstarTreeIndexEngine::PathTieRef(const TnxBaseIndexPath& aPath) const noexcept {
  return aPath.RefNr;
}

bool TnxStaticKeyBstarTreeIndexEngine::CompletePath(TnxBaseTransaction* aTrans, TnxBaseIndexPath& aPath) {
  if (aPath.RefNr == 0 && aPath.CacheRefNr != 0) aPath.RefNr = SeqAccessLookup(aTrans, aPath.CacheRefNr, nullptr);
  if (ieRecordEngine && !aPath.Deleted && aPath.RefNr != 0 &&
      (!aPath.KeyValid || (ieIsCacheSeqAccess && aPath.CacheRefNr == 0))) {
    const int32_t offset = IndicesEngine().RefNrOffset();
    bool rebuilt = false;
    const TnxStorageRecordIterator rebuild = [&](void*, TnxRefNr aRefNr, PnxRecordBuffer aRecord) {
      const uint32_t r = KeyEngine().BuildKey(aRecord, aPath.KeyBuffer(), aRefNr, true);
      if (r != 0) RaiseKeyNotBuilt(r, aRefNr);
      if (aPath.CacheRefNr == 0 && offset >= 0) aPath.CacheRefNr = static_cast<TnxRefNr>(LoadU64(aRecord + offset));
      rebuilt = true;
      return rirContinue;
    };
    PnxRecordBuffer slot = nullptr;  // engines that cannot hand over in place fill a buffer of their own
    ieRecordEngine->ReadRecordForIterate(aTrans, aPath.RefNr, &slot, rebuild, nullptr, nullptr);
    if (rebuilt) aPath.KeyValid = true;
  }
  return true;
}

void TnxStaticKeyBstarTreeIndexEngine::RaiseKeyNotBuilt(uint32_t aCode, TnxRefNr aRefNr) const {
  throw EnxStaticKeyBstarTreeIndexEngineException(aCode, u"The key of record %d cannot be built", {aRefNr});
}

void TnxStaticKeyBstarTreeIndexEngine::ValidateIn(TReader& aReader, TPath& aPath) {
  if (!aPath.IsOnCrack() && !aPath.IsOnKey()) return;
  if (!CompletePath(aReader.Trans, aPath)) return;
  if (FastCheck(aReader, aPath)) return;
  if (aReader.Root() == nxNoNode) return aPath.SetToBof();
  if (!aPath.KeyValid) return aPath.Clear();
  const TnxIndexPathPosition position = aPath.Position;
  const bool deleted = aPath.Deleted;
  const TnxRefNr refNr = aPath.RefNr;
  const TnxRefNr cacheRefNr = aPath.CacheRefNr;
  const TnxRefNr tieRef = PathTieRef(aPath);
  const std::vector<uint8_t> key(aPath.KeyBuffer(), aPath.KeyBuffer() + KeyEngine().KeyLength());
  if (FindKeyIn(aReader, key.data(), 0, 0, refNr, tieRef, aPath, skaEqualFirst, nullptr)) {
    aPath.Position = position;
    aPath.Deleted = deleted;
    return;
  }
  // The key has gone: the path stays on the crack where it was.
  if (position == ippOnCrackAfter) {
    if (aPath.Position == ippOnCrackBefore && !Step(aReader, aPath, nullptr, true, false)) return aPath.SetToBof();
    aPath.Position = ippOnCrackAfter;
  } else {
    if (aPath.Position == ippOnCrackAfter && !Step(aReader, aPath, nullptr, false, false)) return aPath.SetToEof();
    aPath.Position = ippOnCrackBefore;
  }
  aPath.Deleted = true;
  aPath.RefNr = refNr;
  aPath.CacheRefNr = cacheRefNr;
  KeyEngine().CopyKey(key.data(), aPath.KeyBuffer());
  aPath.KeyValid = true;
}

// The remembered leaf may have been freed and reused by now: only its
// header is trusted, and a slot only inside the window it states.
bool TnxStaticKeyBstarTreeIndexEngine::FastCheck(TReader& aReader, TPath& aPath) {
  TnxBlockAccess& access = IndexFile();
  if (aPath.bpipPage == nxNoNode || !access.ValidBlock(aPath.bpipPage, aReader.File())) return false;
  TnxBlockGuard guard;
  // Owner 0: a freed block may have been discarded and read back as zeros.
  guard.Hold(access.GetBlock(aReader.Trans, aPath.bpipPage, 0, false, guard.ReleaseMethod()));
  const uint8_t* node = guard.Block();
  if (std::memcmp(node, nxIndexBlockSignature.data(), 4) != 0 || BlockOf(node) != aPath.bpipPage ||
      Kind(node) != nxnkLeaf || !NodeShapeOk(node) || Count(node) == 0)
    return false;
  const int64_t first = First(node), last = first + Count(node) - 1;
  const uint64_t counter = ChangeCounter(node);
  const auto lsn = static_cast<TnxLSN>(LoadU64(node + 8));
  if (counter == aPath.bpipIdentCounter && lsn == aPath.bpipLSN)
    return aPath.bpipItem >= first && aPath.bpipItem <= last;
  if (!aPath.KeyValid || (counter >> 32) != (aPath.bpipIdentCounter >> 32) ||
      static_cast<uint32_t>(counter) <= static_cast<uint32_t>(aPath.bpipIdentCounter))
    return false;
  const TNavSearch search{aPath.KeyBuffer(), PathTieRef(aPath), 0, 0,
                          ieAddKeyRefsToKeys ? TNavSearch::TMode::ByKeyAndRef : TNavSearch::TMode::Stop};
  uint32_t slot;
  const bool found = SearchNav(node, search, slot);
  // Not found at the window's edge: the key may live in a neighbour.
  if (!found && !(slot > first && slot <= last)) return false;
  const TnxIndexPathPosition position = aPath.Position;
  const bool deleted = aPath.Deleted;
  if (found) {
    SetOnSlot(aPath, node, slot);
    aPath.Position = position;
    aPath.Deleted = deleted;
    return true;
  }
  aPath.bpipPage = BlockOf(node);
  aPath.bpipIdentCounter = counter;
  aPath.bpipLSN = lsn;
  aPath.Deleted = true;
  if (position == ippOnCrackAfter) {
    aPath.bpipItem = static_cast<int32_t>(slot - 1);
  } else {
    aPath.bpipItem = static_cast<int32_t>(slot);
    aPath.Position = ippOnCrackBefore;
  }
  return true;
}

// ---- ranges ----

bool TnxStaticKeyBstarTreeIndexEngine::EdgeOfRange(TReader& aReader, const TnxRangeInfo& aBound, bool aLast,
                                                   TPath& aPath, TnxBaseFilterEngine* aKeyFilter) {
  if (aBound.riValid) {
    const TnxSearchKeyAction action =
        aLast ? (aBound.riExclusive ? skaSmaller : skaSmallerEqual) : (aBound.riExclusive ? skaGreater : skaGreaterEqual);
    if (!FindKeyIn(aReader, aBound.riKey, aBound.riFieldCount, aBound.riPartitial, 0, 0, aPath, action,
                   aKeyFilter))
      return false;
  } else {
    aLast ? aPath.SetToEof() : aPath.SetToBof();
    Step(aReader, aPath, aKeyFilter, aLast, false);
  }
  return aPath.IsOnKey();
}

namespace {

int CompareBound(const TnxBaseKeyEngine& aKeys, const TnxRangeInfo& aBound, const uint8_t* aKey) {
  return aKeys.CompareKey(aBound.riKey, aKey, aBound.riFieldCount, aBound.riPartitial);
}
// aKey lies before a valid range start.
bool BeforeStart(const TnxBaseKeyEngine& aKeys, const TnxRangeInfo& aStart, const uint8_t* aKey) {
  if (!aStart.riValid) return false;
  const int c = CompareBound(aKeys, aStart, aKey);
  return c > 0 || (c == 0 && aStart.riExclusive);
}
// aKey lies after a valid range end.
bool AfterEnd(const TnxBaseKeyEngine& aKeys, const TnxRangeInfo& aEnd, const uint8_t* aKey) {
  if (!aEnd.riValid) return false;
  const int c = CompareBound(aKeys, aEnd, aKey);
  return c < 0 || (c == 0 && aEnd.riExclusive);
}

}  // namespace

bool TnxStaticKeyBstarTreeIndexEngine::KeyCounts(TnxBaseTransaction* aTrans, const TPath& aPath,
                                                 TnxBaseFilterEngine* aFilter, TnxBaseFilterEngine* aKeyFilter) {
  if (aKeyFilter && !aKeyFilter->MatchesKey(aPath.KeyBuffer())) return false;
  if (!aFilter) return true;
  bool counts = false;
  const TnxStorageRecordIterator count = [&counts](void*, TnxRefNr, PnxRecordBuffer) {
    counts = true;
    return rirContinue;
  };
  ieRecordEngine->ReadRecordForIterate(aTrans, aPath.RefNr, nullptr, count, nullptr, aFilter);
  return counts;
}

// ---- iterating ----

void TnxStaticKeyBstarTreeIndexEngine::Iterate(TnxBaseTransaction* aTrans, TnxBaseIndexPath* aPath,
                                               PnxRecordBuffer* aData, const TnxIndexKeyIterator& aKeyIterator,
                                               const TnxStorageRecordIterator& aRecIterator, void* aCookie,
                                               const TnxRangeInfo& aRangeStart, const TnxRangeInfo& aRangeEnd,
                                               TnxBaseFilterEngine* aFilter, TnxBaseFilterEngine* aKeyFilter,
                                               bool aKeepPosition) {
  IterateDir(false, aTrans, aPath, aData, aKeyIterator, aRecIterator, aCookie, aRangeStart, aRangeEnd, aFilter,
             aKeyFilter, aKeepPosition);
}

void TnxStaticKeyBstarTreeIndexEngine::IterateBackward(TnxBaseTransaction* aTrans, TnxBaseIndexPath* aPath,
                                                       PnxRecordBuffer* aData, const TnxIndexKeyIterator& aKeyIterator,
                                                       const TnxStorageRecordIterator& aRecIterator, void* aCookie,
                                                       const TnxRangeInfo& aRangeStart, const TnxRangeInfo& aRangeEnd,
                                                       TnxBaseFilterEngine* aFilter, TnxBaseFilterEngine* aKeyFilter,
                                                       bool aKeepPosition) {
  IterateDir(true, aTrans, aPath, aData, aKeyIterator, aRecIterator, aCookie, aRangeStart, aRangeEnd, aFilter,
             aKeyFilter, aKeepPosition);
}

void TnxStaticKeyBstarTreeIndexEngine::IterateDir(bool aBack, TnxBaseTransaction* aTrans, TnxBaseIndexPath* aPath,
                                                  PnxRecordBuffer* aData, const TnxIndexKeyIterator& aKeyIterator,
                                                  const TnxStorageRecordIterator& aRecIterator, void* aCookie,
                                                  const TnxRangeInfo& aRangeStart, const TnxRangeInfo& aRangeEnd,
                                                  TnxBaseFilterEngine* aFilter, TnxBaseFilterEngine* aKeyFilter,
                                                  bool aKeepPosition) {
  // A walk by keys alone needs no records.
  if (aRecIterator && !ieRecordEngine)
    throw EnxStaticKeyBstarTreeIndexEngineException(nxeCapabilityNotSupported, u"%s requires a RecordEngine",
                                                    {std::u16string(aBack ? u"IterateBackward" : u"Iterate")});
  CheckBounds(aRangeStart, aRangeEnd);
  std::unique_ptr<TnxBaseIndexPath> own;
  if (!aPath) {
    own = CreateIndexPath();
    aPath = own.get();
  }
  TPath& path = OwnPathOf(*aPath);
  aFilter = Active(aFilter);
  aKeyFilter = Active(aKeyFilter);
  TTransLock lock(aTrans);
  TTimeOutPause pause(aKeyFilter);
  // Keys in order mostly lead to records in order: the walk reads many
  // records of one block in a row, and nodes again, without the padlock.
  TnxBlockReuseScope reuse(IndexFile().BufferManager());
  TReader reader(*this, aTrans);
  const auto done = [&] { aBack ? path.SetToBof() : path.SetToEof(); };
  if (reader.Root() == nxNoNode) return done();
  const TnxBaseKeyEngine& keys = KeyEngine();
  // Forward the range's far end is its end; backward its start.
  const TnxRangeInfo& near = aBack ? aRangeEnd : aRangeStart;
  const TnxRangeInfo& far = aBack ? aRangeStart : aRangeEnd;
  const auto beyondFar = [&](const uint8_t* aKey) {
    return aBack ? BeforeStart(keys, aRangeStart, aKey) : AfterEnd(keys, aRangeEnd, aKey);
  };
  const auto beforeNear = [&](const uint8_t* aKey) {
    return aBack ? AfterEnd(keys, aRangeEnd, aKey) : BeforeStart(keys, aRangeStart, aKey);
  };
  bool keep = aKeepPosition;
  if (keep) {
    if (path.Position == ippUnknown || path.Position == (aBack ? ippBof : ippEof)) return done();
    ValidateIn(reader, path);
    if (path.Position == ippUnknown || path.Position == (aBack ? ippBof : ippEof)) return done();
    if (path.Position == (aBack ? ippEof : ippBof)) keep = false;
  }
  TPath scratch(this);
  bool hasStop = false;
  uint32_t stopPage = 0;
  int32_t stopItem = 0;
  if (far.riValid) {
    if (!EdgeOfRange(reader, far, !aBack, scratch, nullptr)) return done();
    hasStop = true;
    stopPage = scratch.bpipPage;
    stopItem = scratch.bpipItem;
    // A kept position already past the range has nothing left to visit.
    if (keep && path.KeyValid && beyondFar(path.KeyBuffer())) return done();
  }
  if (near.riValid) {
    if (keep && path.KeyValid && beforeNear(path.KeyBuffer())) keep = false;
    if (!EdgeOfRange(reader, near, aBack, scratch, nullptr)) return done();
    if (beyondFar(scratch.KeyBuffer())) return done();
    if (!keep) {
      path.Assign(&scratch);
      path.Position = aBack ? ippOnCrackAfter : ippOnCrackBefore;
    }
  } else if (!keep) {
    aBack ? path.SetToEof() : path.SetToBof();
  }
  const auto atStop = [&] { return hasStop && path.bpipPage == stopPage && path.bpipItem == stopItem; };
  if (path.Position == (aBack ? ippBof : ippEof) ||
      ((path.Position == ippOnKey || path.Position == (aBack ? ippOnCrackBefore : ippOnCrackAfter)) && atStop()))
    return done();
  while (Step(reader, path, nullptr, aBack, true)) {
    const bool last = atStop();
    if (!aKeyFilter || aKeyFilter->MatchesKey(path.KeyBuffer())) {
      TnxKeyIteratorResult k = kirContinue;
      if (aKeyIterator) k = aKeyIterator(aCookie, path.RefNr, path.KeyBuffer());
      if (k == kirStop) return;
      if (k == kirContinue && aRecIterator) {
        if (aData && *aData) {
          ieRecordEngine->ReadRecord(aTrans, path.RefNr, *aData);
          if ((!aFilter || aFilter->MatchesBuffer(*aData)) && aRecIterator(aCookie, path.RefNr, *aData) == rirStop)
            return;
        } else if (ieRecordEngine->ReadRecordForIterate(aTrans, path.RefNr, aData, aRecIterator, aCookie, aFilter) ==
                   rirStop) {
          return;
        }
      }
    }
    if (last) return done();
  }
}

// ---- record numbers ----

uint32_t TnxStaticKeyBstarTreeIndexEngine::RecNoGet(TnxBaseTransaction* aTrans, TnxBaseIndexPath& aPath,
                                                    const TnxRangeInfo& aRangeStart, const TnxRangeInfo& aRangeEnd,
                                                    TnxBaseFilterEngine* aFilter, TnxBaseFilterEngine* aKeyFilter,
                                                    uint32_t& aRecNo, bool aFlipOrder) {
  return RecNoGetDir(aFlipOrder, aTrans, aPath, aRangeStart, aRangeEnd, aFilter, aKeyFilter, aRecNo);
}

uint32_t TnxStaticKeyBstarTreeIndexEngine::RecNoGetBackward(TnxBaseTransaction* aTrans, TnxBaseIndexPath& aPath,
                                                            const TnxRangeInfo& aRangeStart,
                                                            const TnxRangeInfo& aRangeEnd,
                                                            TnxBaseFilterEngine* aFilter,
                                                            TnxBaseFilterEngine* aKeyFilter, uint32_t& aRecNo) {
  return RecNoGetDir(true, aTrans, aPath, aRangeStart, aRangeEnd, aFilter, aKeyFilter, aRecNo);
}

uint32_t TnxStaticKeyBstarTreeIndexEngine::RecNoSet(TnxBaseTransaction* aTrans, uint32_t aRecNo,
                                                    TnxBaseIndexPath& aPath, const TnxRangeInfo& aRangeStart,
                                                    const TnxRangeInfo& aRangeEnd, TnxBaseFilterEngine* aFilter,
                                                    TnxBaseFilterEngine* aKeyFilter, bool aFlipOrder) {
  return RecNoSetDir(aFlipOrder, aTrans, aRecNo, aPath, aRangeStart, aRangeEnd, aFilter, aKeyFilter);
}

uint32_t TnxStaticKeyBstarTreeIndexEngine::RecNoSetBackward(TnxBaseTransaction* aTrans, uint32_t aRecNo,
                                                            TnxBaseIndexPath& aPath, const TnxRangeInfo& aRangeStart,
                                                            const TnxRangeInfo& aRangeEnd,
                                                            TnxBaseFilterEngine* aFilter,
                                                            TnxBaseFilterEngine* aKeyFilter) {
  return RecNoSetDir(true, aTrans, aRecNo, aPath, aRangeStart, aRangeEnd, aFilter, aKeyFilter);
}

uint32_t TnxStaticKeyBstarTreeIndexEngine::RecNoGetDir(bool aBack, TnxBaseTransaction* aTrans,
                                                       TnxBaseIndexPath& aPath, const TnxRangeInfo& aRangeStart,
                                                       const TnxRangeInfo& aRangeEnd, TnxBaseFilterEngine* aFilter,
                                                       TnxBaseFilterEngine* aKeyFilter, uint32_t& aRecNo) {
  aRecNo = 0;
  CheckBounds(aRangeStart, aRangeEnd);
  aFilter = Active(aFilter);
  aKeyFilter = Active(aKeyFilter);
  if (aFilter && !ieRecordEngine)
    throw EnxStaticKeyBstarTreeIndexEngineException(
        nxeCapabilityNotSupported, u"%s requires a RecordEngine if a filter is active", {std::u16string(u"RecNoGet")});
  TPath& path = OwnPathOf(aPath);
  TTimeOutPause pause(aKeyFilter);
  TReader reader(*this, aTrans);
  ValidateIn(reader, path);
  if (const uint32_t state = path.CheckCurrentState()) return state;
  if (!path.KeyValid) return nxeNoCurrentRecord;
  if (BeforeStart(KeyEngine(), aRangeStart, path.KeyBuffer())) return nxeAtBeginningOfTable;
  if (AfterEnd(KeyEngine(), aRangeEnd, path.KeyBuffer())) return nxeAtEndOfTable;
  TPath scratch(this);
  const TnxRangeInfo& near = aBack ? aRangeEnd : aRangeStart;
  if (near.riValid) {
    if (!EdgeOfRange(reader, near, aBack, scratch, aKeyFilter)) return aBack ? nxeAtBeginningOfTable : nxeAtEndOfTable;
    scratch.Position = aBack ? ippOnCrackAfter : ippOnCrackBefore;
  } else {
    aBack ? scratch.SetToEof() : scratch.SetToBof();
  }
  uint32_t counted = 0;
  if (aFilter || aKeyFilter) {
    while (Step(reader, scratch, nullptr, aBack, true)) {
      if (KeyCounts(aTrans, scratch, aFilter, aKeyFilter)) ++counted;
      if (scratch.bpipPage == path.bpipPage && scratch.bpipItem == path.bpipItem) break;
    }
  } else {
    // Whole leaves by their counts.
    uint32_t block;
    int64_t item;
    if (scratch.Position == (aBack ? ippEof : ippBof)) {
      block = EdgeLeaf(reader, aBack);
      item = aBack ? INT64_MAX : 0;
    } else {
      block = scratch.bpipPage;
      item = scratch.bpipItem;
    }
    for (;;) {
      const uint8_t* node = reader.ReadLeaf(block);
      const int64_t first = First(node), last = first + Count(node) - 1;
      const int64_t from = aBack ? std::min(item, last) : std::max(item, first);
      if (block == path.bpipPage) {
        const int64_t n = aBack ? from - path.bpipItem + 1 : path.bpipItem - from + 1;
        if (n > 0) counted += static_cast<uint32_t>(n);
        break;
      }
      const int64_t n = aBack ? from - first + 1 : last - from + 1;
      if (n > 0) counted += static_cast<uint32_t>(n);
      const uint32_t to = aBack ? Prev(node) : Next(node);
      if (to == nxNoNode) break;
      reader.NextLeaf(to, true);
      block = to;
      item = aBack ? INT64_MAX : 0;
    }
  }
  aRecNo = counted;
  return 0;
}

uint32_t TnxStaticKeyBstarTreeIndexEngine::RecNoSetDir(bool aBack, TnxBaseTransaction* aTrans, uint32_t aRecNo,
                                                       TnxBaseIndexPath& aPath, const TnxRangeInfo& aRangeStart,
                                                       const TnxRangeInfo& aRangeEnd, TnxBaseFilterEngine* aFilter,
                                                       TnxBaseFilterEngine* aKeyFilter) {
  TPath& path = OwnPathOf(aPath);
  CheckBounds(aRangeStart, aRangeEnd);
  const auto done = [&] { aBack ? path.SetToBof() : path.SetToEof(); };
  if (aRecNo == 0) {
    path.SetToBof();
    return nxeAtBeginningOfTable;
  }
  aFilter = Active(aFilter);
  aKeyFilter = Active(aKeyFilter);
  if (aFilter && !ieRecordEngine)
    throw EnxStaticKeyBstarTreeIndexEngineException(
        nxeCapabilityNotSupported, u"%s requires a RecordEngine if a filter is active", {std::u16string(u"RecNoSet")});
  try {
    TTimeOutPause pause(aKeyFilter);
    TReader reader(*this, aTrans);
    if (reader.Root() == nxNoNode) {
      done();
      return path.CheckCurrentState();
    }
    const TnxRangeInfo& near = aBack ? aRangeEnd : aRangeStart;
    const TnxRangeInfo& far = aBack ? aRangeStart : aRangeEnd;
    bool hasStop = false;
    uint32_t stopPage = 0;
    int64_t stopItem = 0;
    if (far.riValid) {
      if (!EdgeOfRange(reader, far, !aBack, path, nullptr)) {
        done();
        return path.CheckCurrentState();
      }
      hasStop = true;
      stopPage = path.bpipPage;
      stopItem = path.bpipItem;
    }
    if (near.riValid) {
      // A range whose first key lies beyond its last one holds nothing.
      if (!EdgeOfRange(reader, near, aBack, path, aKeyFilter) ||
          (aBack ? BeforeStart(KeyEngine(), aRangeStart, path.KeyBuffer())
                 : AfterEnd(KeyEngine(), aRangeEnd, path.KeyBuffer()))) {
        done();
        return path.CheckCurrentState();
      }
      path.Position = aBack ? ippOnCrackAfter : ippOnCrackBefore;
    } else {
      aBack ? path.SetToEof() : path.SetToBof();
    }
    uint32_t remaining = aRecNo;
    if (aFilter || aKeyFilter) {
      while (Step(reader, path, nullptr, aBack, true)) {
        const bool last = hasStop && path.bpipPage == stopPage && path.bpipItem == stopItem;
        if (KeyCounts(aTrans, path, aFilter, aKeyFilter) && --remaining == 0) return 0;
        if (last) break;
      }
      done();
      return path.CheckCurrentState();
    }
    uint32_t block;
    int64_t item;
    if (path.Position == (aBack ? ippEof : ippBof)) {
      block = EdgeLeaf(reader, aBack);
      item = aBack ? INT64_MAX : 0;
    } else {
      block = path.bpipPage;
      item = path.bpipItem;
    }
    for (;;) {
      const uint8_t* node = reader.ReadLeaf(block);
      const int64_t first = First(node), last = first + Count(node) - 1;
      const int64_t from = aBack ? std::min(item, last) : std::max(item, first);
      const int64_t avail = aBack ? from - first + 1 : last - from + 1;
      const bool stopLeaf = hasStop && block == stopPage;
      if (avail > 0) {
        const int64_t n = std::min<int64_t>(remaining, avail);
        const int64_t target = aBack ? from - n + 1 : from + n - 1;
        if (stopLeaf && (aBack ? target < stopItem : target > stopItem)) break;
        remaining -= static_cast<uint32_t>(n);
        if (remaining == 0) {
          SetOnSlot(path, node, static_cast<uint32_t>(target));
          return 0;
        }
      }
      if (stopLeaf) break;
      const uint32_t to = aBack ? Prev(node) : Next(node);
      if (to == nxNoNode) break;
      reader.NextLeaf(to, true);
      block = to;
      item = aBack ? INT64_MAX : 0;
    }
    done();
    return path.CheckCurrentState();
  } catch (...) {
    path.SetToBof();
    throw;
  }
}

// ---- estimates ----

uint32_t TnxStaticKeyBstarTreeIndexEngine::EstimateRecordCount(TnxBaseTransaction* aTrans,
                                                               const TnxRangeInfo& aRangeStart,
                                                               const TnxRangeInfo& aRangeEnd, uint32_t& aRecordCount,
                                                               bool aFlipOrder) {
  if (aFlipOrder) return EstimateRecordCount(aTrans, aRangeEnd, aRangeStart, aRecordCount, false);
  aRecordCount = 0;
  CheckBounds(aRangeStart, aRangeEnd);
  TReader reader(*this, aTrans);
  TPath a(this), b(this);
  if (!EdgeOfRange(reader, aRangeStart, false, a, nullptr)) return 0;
  if (!EdgeOfRange(reader, aRangeEnd, true, b, nullptr)) return 0;
  if (a.bpipPage == b.bpipPage) {
    const int64_t n = int64_t{b.bpipItem} - a.bpipItem + 1;
    aRecordCount = n > 0 ? static_cast<uint32_t>(n) : 0;
    return 0;
  }
  int c = KeyEngine().CompareKey(a.KeyBuffer(), b.KeyBuffer(), 0, 0);
  if (c == 0) {
    const TnxRefNr ra = PathTieRef(a), rb = PathTieRef(b);
    c = ra < rb ? -1 : (ra > rb ? 1 : 0);
  }
  if (c > 0) return 0;
  // Both ways down, with every node's slot, first slot and count.
  std::vector<TNodeEntry> levelsA, levelsB;
  for (auto [path, levels] : {std::pair{&a, &levelsA}, std::pair{&b, &levelsB}}) {
    const TNavSearch search{path->KeyBuffer(), PathTieRef(*path), 0, 0,
                            ieAddKeyRefsToKeys ? TNavSearch::TMode::ByKeyAndRef : TNavSearch::TMode::Stop};
    const uint32_t leaf = DescendNav(reader, search, levels);
    const uint8_t* node = reader.ReadLeaf(leaf);
    uint32_t slot;
    SearchNav(node, search, slot);
    levels->push_back({leaf, First(node), Count(node), slot});
  }
  if (levelsA.size() != levelsB.size()) RaiseDamaged(levelsA.back().Block);
  const double keys = reader.Header().GetIndexKeyCount();
  const double pages = reader.Header().GetIndexPageCount();
  const double maxLeaf = ieMaxLeafNodeKeyCount, maxInternal = ieMaxInternalNodeKeyCount;
  const size_t depth = levelsA.size() - 1;
  const double children = levelsA.front().Count;
  // The average fill of the leaves, from the counts the header keeps. Small
  // or damaged counts give no usable figure: full leaves are assumed then.
  double fill = 1;
  const auto fillFrom = [&](double aDenominator) {
    if (aDenominator > 0) fill = keys / aDenominator;
  };
  if (depth == 0) {
    fillFrom(maxLeaf);
  } else if (depth == 1) {
    fillFrom((pages - 1) * maxLeaf);
  } else if (depth == 2) {
    fillFrom((pages - 1 - children) * maxLeaf);
  } else {
    double cf = 0.5, next = 0.5, level = children;
    for (int round = 0; round < 50; ++round) {
      double nodes = children + 1;
      level = children + 1;
      for (size_t i = 0; i + 2 < depth; ++i) {
        level *= (maxInternal + 1) * cf;
        nodes += level;
      }
      next = std::pow((pages - nodes) / children, 1.0 / static_cast<double>(depth - 1)) / (maxInternal + 1);
      if (!std::isfinite(next) || next <= 0) break;
      const bool converged = std::fabs(cf - next) < 0.0001;
      cf = next;
      if (converged) break;
    }
    if (std::isfinite(next) && next > 0) fillFrom(maxLeaf * level * next * (maxInternal + 1));
  }
  if (!std::isfinite(fill) || fill <= 0 || fill > 1) fill = 1;
  // Entries between the two ways down and beside them, each weighted by
  // the keys under it. Above the leaves a slot names the subtree the way
  // down takes, which the level below has counted already.
  double between = 1, outside = 0, weight = 1;
  for (size_t i = levelsA.size(); i-- > 0;) {
    const TNodeEntry& ea = levelsA[i];
    const TNodeEntry& eb = levelsB[i];
    const bool leaf = i == depth;
    const double sa = ea.Slot, sb = eb.Slot;
    // A leaf slot is one key: B itself is the 1 between starts with.
    const double own = leaf ? 1 : 0;
    if (ea.Block == eb.Block)
      between += std::max(0.0, sb - sa - 1 + own) * weight;
    else
      between += ((ea.First + ea.Count - sa - 1 + own) + (sb - eb.First)) * weight;
    outside += ((sa - ea.First) + (eb.First + eb.Count - 1 - sb)) * weight;
    weight = leaf ? maxLeaf * fill : weight * maxInternal * fill;
  }
  const double estimate = std::floor(between * keys / (between + outside));
  aRecordCount = static_cast<uint32_t>(std::clamp(estimate, 0.0, keys));
  return 0;
}

TnxRefNr TnxStaticKeyBstarTreeIndexEngine::SeqAccessLookup(TnxBaseTransaction* aTrans, TnxRefNr aCacheRefNr,
                                                           TnxBaseIndexPath* aPath) {
  if (!ieIsCacheSeqAccess || KeyEngine().KeyLength() < 8) return 0;
  std::vector<uint8_t> key(KeyEngine().KeyLength(), 0);
  platform::StoreU64(key.data(), static_cast<uint64_t>(aCacheRefNr));
  TPath scratch(this);
  TPath* path = &scratch;
  if (aPath && aPath->IndexEngine() == this) path = &OwnPathOf(*aPath);
  return FindKey(aTrans, key.data(), 0, 0, 0, *path, skaAnyEqual, nullptr) ? path->RefNr : 0;
}

}  // namespace revurov
