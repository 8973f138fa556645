#include "index/bulk_build_static_key.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include "dictionary/comp_key_engines.h"
#include "dictionary/key_engine.h"
#include "index/index_engines.h"
#include "index/static_key_bstar_tree.h"
#include "lowlevel/errors/error_codes.h"
#include "platform/endian.h"
#include "storage/block_access.h"
#include "storage/deadline.h"
#include "storage/header_access.h"
#include "storage/transactions.h"

namespace revurov {

using platform::LoadU32;
using platform::LoadU64;
using platform::StoreU16;
using platform::StoreU32;
using platform::StoreU64;

namespace {

constexpr uint32_t kContainerBytes = 4194304;
constexpr int32_t kSortStack = 32;
// Entries between two looks at the deadline and the cache.
constexpr uint32_t kCheckEvery = 4096;
// New nodes between two looks at the cache budget.
constexpr uint32_t kNodesBetweenPasses = 32;

[[noreturn]] void RaiseInvalid(std::u16string_view aWhat) {
  throw EnxBaseIndexBulkBuilder(nxeInvalidParameter, aWhat);
}

TnxStaticKeyBstarTreeIndexEngine& TreeEngine(TnxBaseIndexEngine& aEngine) {
  auto* tree = dynamic_cast<TnxStaticKeyBstarTreeIndexEngine*>(&aEngine);
  if (!tree) RaiseInvalid(u"The static-key bulk builder needs a static-key B*-tree index");
  return *tree;
}

}  // namespace

// ---- sorting ----

namespace {

// The sort itself; the containers call it with their comparison inlined.
template <class TCompare>
int32_t SortEntries(uint8_t* aBase, uint32_t aCount, uint32_t aEntrySize, uint8_t* aSwap,
                    const TCompare& aCompare) {
  if (aCount < 2) return 0;
  const auto at = [&](uint32_t i) { return aBase + size_t{i} * aEntrySize; };
  // Input that arrives in key order costs one comparison per entry.
  uint32_t ordered = 1;
  while (ordered < aCount && aCompare(at(ordered - 1), at(ordered)) < 0) ++ordered;
  if (ordered == aCount) return 0;
  const auto swap = [&](uint32_t i, uint32_t j) {
    if (i == j) return;
    if (aEntrySize == 16) {
      // A key's stand-in: copies of a known size need no call.
      uint8_t held[16];
      std::memcpy(held, at(i), 16);
      std::memcpy(at(i), at(j), 16);
      std::memcpy(at(j), held, 16);
      return;
    }
    std::memcpy(aSwap, at(i), aEntrySize);
    std::memcpy(at(i), at(j), aEntrySize);
    std::memcpy(at(j), aSwap, aEntrySize);
  };
  // The pivot slot is met by the scans; an entry equals itself without
  // being a duplicate.
  const auto compare = [&](uint32_t i, uint32_t j) { return i == j ? 0 : aCompare(at(i), at(j)); };
  struct TRange {
    uint32_t Lo, Hi;
  } stack[kSortStack];
  int32_t depth = 0;
  int32_t peak = 0;
  uint32_t lo = 0, hi = aCount - 1;
  for (;;) {
    while (hi - lo + 1 > 15) {
      const uint32_t mid = lo + (hi - lo) / 2;
      if (compare(mid, lo) < 0) swap(mid, lo);
      if (compare(hi, lo) < 0) swap(hi, lo);
      if (compare(hi, mid) < 0) swap(hi, mid);
      // lo and hi now bound both scans; the pivot waits next to the end.
      const uint32_t pivot = hi - 1;
      swap(mid, pivot);
      uint32_t i = lo, j = pivot;
      for (;;) {
        while (compare(++i, pivot) < 0) {
        }
        while (compare(--j, pivot) > 0) {
        }
        if (i >= j) break;
        swap(i, j);
      }
      swap(i, pivot);
      // The smaller part next, the larger waits: the stack stays within
      // log2 of the count.
      if (depth == kSortStack) throw EnxBaseBulkBuilder(nxeInvalidParameter, u"Sort stack exhausted");
      if (i - lo < hi - i) {
        stack[depth++] = {i + 1, hi};
        hi = i - 1;
      } else {
        stack[depth++] = {lo, i - 1};
        lo = i + 1;
      }
      peak = std::max(peak, depth);
    }
    for (uint32_t k = lo + 1; k <= hi && k > lo; ++k)
      for (uint32_t j = k; j > lo && compare(j - 1, j) > 0; --j) swap(j - 1, j);
    if (depth == 0) return peak;
    --depth;
    lo = stack[depth].Lo;
    hi = stack[depth].Hi;
  }
}

}  // namespace

int32_t nxSortEntries(uint8_t* aBase, uint32_t aCount, uint32_t aEntrySize, uint8_t* aSwap,
                      const TnxEntryCompare& aCompare) {
  return SortEntries(aBase, aCount, aEntrySize, aSwap, aCompare);
}

// ---- the head and its containers ----

TnxStaticKeyBstarTreeIndexBulkBuilderHead::~TnxStaticKeyBstarTreeIndexBulkBuilderHead() {
  // One by one: a long chain freed through its links would recurse.
  while (bsibbhCurrentContainer)
    bsibbhCurrentContainer = std::exchange(bsibbhCurrentContainer->kcNext, nullptr);
}

std::vector<std::unique_ptr<TnxKeyContainer>> TnxStaticKeyBstarTreeIndexBulkBuilderHead::TakeAll() {
  std::vector<std::unique_ptr<TnxKeyContainer>> all;
  while (bsibbhCurrentContainer) {
    std::unique_ptr<TnxKeyContainer> next = std::move(bsibbhCurrentContainer->kcNext);
    all.push_back(std::move(bsibbhCurrentContainer));
    bsibbhCurrentContainer = std::move(next);
  }
  bsibbhContainerCount = 0;
  std::reverse(all.begin(), all.end());
  return all;
}

TnxKeyContainer::TnxKeyContainer(TnxStaticKeyBstarTreeIndexBulkBuilder& aBulkIndexer)
    : kcBulkIndexer(aBulkIndexer) {
  kcScratchHandle = aBulkIndexer.bsibbBufferManager.CreateScratchBlock(mm::nxbs4M);
}

TnxKeyContainer::~TnxKeyContainer() {
  TnxBufferManager& bm = kcBulkIndexer.bsibbBufferManager;
  try {
    if (Locked()) Unlock();
    bm.FreeScratchBlock(kcScratchHandle);
  } catch (...) {
    // The handle was made here and is locked only through Lock, so the
    // buffer manager has no reason to refuse; the block goes with it.
  }
}

void TnxKeyContainer::Lock() {
  if (Locked()) return;
  kcScratchPointer = static_cast<uint8_t*>(kcBulkIndexer.bsibbBufferManager.LockScratchBlock(kcScratchHandle));
  kcCurrentPointer = kcScratchPointer;
  kcBulkIndexer.Locked(1);
}

void TnxKeyContainer::Unlock() {
  if (!Locked()) return;
  uint8_t* memory = std::exchange(kcScratchPointer, nullptr);
  kcCurrentPointer = nullptr;
  kcBulkIndexer.Locked(-1);
  kcBulkIndexer.bsibbBufferManager.UnlockScratchBlock(kcScratchHandle, memory);
}

void TnxKeyContainer::Close() {
  const uint32_t entry = kcBulkIndexer.bsibbKeyLength;
  kcFirstKey.assign(entry, 0);
  kcLastKey.assign(entry, 0);
  if (kcKeyCount > 1 && NeedsSort()) {
    const int32_t depth = kcBulkIndexer.SortContainer(kcScratchPointer, kcKeyCount, kcFirstKey.data());
    kcBulkIndexer.bsibbPeakSortStack = std::max(kcBulkIndexer.bsibbPeakSortStack, depth);
  }
  std::memcpy(kcFirstKey.data(), kcScratchPointer, entry);
  std::memcpy(kcLastKey.data(), kcScratchPointer + size_t{kcKeyCount - 1} * entry, entry);
  Unlock();
}

// ---- the builder ----

TnxStaticKeyBstarTreeIndexBulkBuilder::TnxStaticKeyBstarTreeIndexBulkBuilder(TnxBaseTransaction& aTrans,
                                                                             TnxBaseIndexEngine& aIndexEngine)
    : TnxBaseIndexBulkBuilder(aTrans, aIndexEngine),
      bsibbBufferManager(aTrans.TransBufferManager()),
      bsibbIndexEngine(TreeEngine(aIndexEngine)),
      bsibbKeyLength((uint32_t{bibbKeyEngine.KeyLength()} + 23) & ~15u),
      bsibbKeysPerContainer(kContainerBytes / bsibbKeyLength) {}

TnxStaticKeyBstarTreeIndexBulkBuilder::~TnxStaticKeyBstarTreeIndexBulkBuilder() = default;

void TnxStaticKeyBstarTreeIndexBulkBuilder::SetKeysPerContainer(uint32_t aCount) {
  if (aCount == 0 || aCount > kContainerBytes / bsibbKeyLength) RaiseInvalid(u"Keys per container out of range");
  bsibbKeysPerContainer = aCount;
}

void TnxStaticKeyBstarTreeIndexBulkBuilder::Locked(int32_t aDelta) {
  bsibbLocked += aDelta;
  bsibbPeakLocked = std::max(bsibbPeakLocked, bsibbLocked);
  SampleCache();
}

void TnxStaticKeyBstarTreeIndexBulkBuilder::SampleCache() {
  bsibbPeakResidentPages = std::max(bsibbPeakResidentPages, bsibbBufferManager.ResidentPages());
}

TnxKeyContainer& TnxStaticKeyBstarTreeIndexBulkBuilder::NewContainer(bool aPreSorted) {
  TnxStaticKeyBstarTreeIndexBulkBuilderHead& head = bsibbDefaultHead;
  std::unique_ptr<TnxKeyContainer> made = aPreSorted ? std::make_unique<TnxPreSortedKeyContainer>(*this)
                                                     : std::make_unique<TnxKeyContainer>(*this);
  made->kcNext = std::move(head.bsibbhCurrentContainer);
  head.bsibbhCurrentContainer = std::move(made);
  ++head.bsibbhContainerCount;
  ++bsibbContainersMade;
  head.bsibbhCurrentContainer->Lock();
  return *head.bsibbhCurrentContainer;
}

void TnxStaticKeyBstarTreeIndexBulkBuilder::CloseCurrent() {
  TnxStaticKeyBstarTreeIndexBulkBuilderHead& head = bsibbDefaultHead;
  TnxKeyContainer* current = head.bsibbhCurrentContainer.get();
  if (!current) return;
  if (current->kcKeyCount == 0) {
    head.bsibbhCurrentContainer = std::move(current->kcNext);
    --head.bsibbhContainerCount;
    return;
  }
  current->Close();
  nxCheckTimeout();
}

void TnxStaticKeyBstarTreeIndexBulkBuilder::RaiseDuplicate(const uint8_t* aEntry) {
  const auto refNr = static_cast<TnxRefNr>(LoadU64(aEntry + bsibbKeyLength - 8));
  throw EnxBaseBulkBuilder(bibbIndexEngine.GetKeyError(etBulkCreate, aEntry, refNr));
}

int TnxStaticKeyBstarTreeIndexBulkBuilder::CompareEntries(const uint8_t* aEntry1, const uint8_t* aEntry2) {
  int c = bibbKeyEngine.CompareKey(aEntry1, aEntry2, 0, 0);
  if (c != 0) return c;
  const TnxBaseIndexEngine& index = bibbIndexEngine;
  if (!index.Dups() || (index.DupsNullOnly() && !bibbKeyEngine.KeyContainsNulls(aEntry1))) RaiseDuplicate(aEntry2);
  const auto r1 = static_cast<TnxRefNr>(LoadU64(aEntry1 + bsibbKeyLength - 8));
  const auto r2 = static_cast<TnxRefNr>(LoadU64(aEntry2 + bsibbKeyLength - 8));
  c = r1 < r2 ? -1 : (r1 > r2 ? 1 : 0);
  if (c == 0) RaiseDuplicate(aEntry2);
  return c;
}

int32_t TnxStaticKeyBstarTreeIndexBulkBuilder::SortContainer(uint8_t* aBase, uint32_t aCount, uint8_t* aSwap) {
  const uint32_t entry = bsibbKeyLength;
  const auto compareEntries = [this](const uint8_t* a, const uint8_t* b) { return CompareEntries(a, b); };
  const auto* comp = dynamic_cast<const TnxCompKeyEngine*>(&bibbKeyEngine);
  const uint32_t formLen = comp ? static_cast<uint32_t>(comp->ByteOrderKeyLength()) : 0;
  // Stand-ins of the entries: the key's byte-order form in whole words,
  // zero-padded, then the entry's number. Compared inline, they answer as
  // CompareEntries wherever the keys differ and ask it where they do not,
  // so the sort makes the same moves and raises the same duplicate.
  const uint32_t words = (formLen + 7) / 8;
  const uint32_t proxyLen = words * 8 + 8;
  std::vector<uint8_t> proxies;
  std::vector<uint8_t> swap;
  std::vector<uint32_t> from;
  if (formLen != 0) {
    try {
      proxies.assign(size_t{aCount} * proxyLen, 0);
      swap.resize(proxyLen);
      from.resize(aCount);
    } catch (const std::bad_alloc&) {
      proxies.clear();
    }
  }
  if (proxies.empty()) return SortEntries(aBase, aCount, entry, aSwap, compareEntries);
  const auto at = [&](uint32_t i) { return aBase + size_t{i} * entry; };
  for (uint32_t i = 0; i < aCount; ++i) {
    uint8_t* proxy = proxies.data() + size_t{i} * proxyLen;
    comp->BuildByteOrderKey(at(i), proxy);
    StoreU32(proxy + words * 8, i);
  }
  const auto compare = [&](const uint8_t* a, const uint8_t* b) {
    for (uint32_t w = 0; w < words; ++w) {
      uint64_t x, y;
      std::memcpy(&x, a + w * 8, 8);
      std::memcpy(&y, b + w * 8, 8);
      if (x != y) return __builtin_bswap64(x) < __builtin_bswap64(y) ? -1 : 1;
    }
    return CompareEntries(at(LoadU32(a + words * 8)), at(LoadU32(b + words * 8)));
  };
  const int32_t depth = SortEntries(proxies.data(), aCount, proxyLen, swap.data(), compare);
  for (uint32_t i = 0; i < aCount; ++i) from[i] = LoadU32(proxies.data() + size_t{i} * proxyLen + words * 8);
  // Each entry to its place, one cycle of the permutation at a time.
  for (uint32_t k = 0; k < aCount; ++k) {
    if (from[k] == k) continue;
    std::memcpy(aSwap, at(k), entry);
    uint32_t j = k;
    for (;;) {
      const uint32_t source = from[j];
      from[j] = j;
      if (source == k) {
        std::memcpy(at(j), aSwap, entry);
        break;
      }
      std::memcpy(at(j), at(source), entry);
      j = source;
    }
  }
  return depth;
}

void TnxStaticKeyBstarTreeIndexBulkBuilder::CheckUsable() const {
  // Finalized, or given up after an exception: every container is gone.
  if (bsibbDone) RaiseInvalid(u"The bulk builder has finished");
}

uint32_t TnxStaticKeyBstarTreeIndexBulkBuilder::InsertKey(TnxRefNr aRefNr, const uint8_t* aRecord,
                                                          TnxBaseTransaction& /*aTrans*/) {
  CheckUsable();
  TnxKeyContainer* current = bsibbDefaultHead.bsibbhCurrentContainer.get();
  try {
    if (!current) {
      current = &NewContainer(false);
    } else if (current->kcKeyCount >= bsibbKeysPerContainer) {
      CloseCurrent();
      current = &NewContainer(false);
    }
  } catch (...) {
    bsibbDone = true;
    bsibbDefaultHead.TakeAll();
    throw;
  }
  const uint32_t r = bibbKeyEngine.BuildKey(aRecord, current->kcCurrentPointer, aRefNr, false);
  if (r == 1) return 0;
  if (r != 0) return r;
  StoreU64(current->kcCurrentPointer + bsibbKeyLength - 8, static_cast<uint64_t>(aRefNr));
  current->kcCurrentPointer += bsibbKeyLength;
  ++current->kcKeyCount;
  // The header counts keys in 32 bits.
  if (bsibbTotalKeyCount == UINT32_MAX) RaiseInvalid(u"Too many keys for one index");
  ++bsibbTotalKeyCount;
  return 0;
}

void TnxStaticKeyBstarTreeIndexBulkBuilder::Emit(const uint8_t* aEntry, TnxTreeBuilder* aTree) {
  if (++bsibbEmitted % kCheckEvery == 0) {
    nxCheckTimeout();
    SampleCache();
  }
  if (aTree) {
    aTree->InsertKey(aEntry);
    return;
  }
  TnxKeyContainer* out = bsibbDefaultHead.bsibbhCurrentContainer.get();
  if (!out || out->kcKeyCount >= bsibbKeysPerContainer) {
    CloseCurrent();
    out = &NewContainer(true);
  }
  std::memcpy(out->kcCurrentPointer, aEntry, bsibbKeyLength);
  out->kcCurrentPointer += bsibbKeyLength;
  ++out->kcKeyCount;
}

void TnxStaticKeyBstarTreeIndexBulkBuilder::Merge(TRun& aFirst, TRun& aSecond, TnxTreeBuilder* aTree) {
  // A run being read: its containers are freed as they are used up.
  struct TCursor {
    TRun& Run;
    size_t Index = 0;
    uint32_t Left = 0;
    bool Next() {
      if (Index > 0) Run[Index - 1].reset();
      if (Index == Run.size()) return false;
      TnxKeyContainer& c = *Run[Index++];
      c.Lock();
      Left = c.KeyCount();
      return true;
    }
    const uint8_t* Entry() const { return Run[Index - 1]->kcCurrentPointer; }
    bool Advance(uint32_t aEntry) {
      Run[Index - 1]->kcCurrentPointer += aEntry;
      return --Left > 0 || Next();
    }
  };
  TCursor a{aFirst}, b{aSecond};
  bool haveA = a.Next(), haveB = b.Next();
  while (haveA && haveB) {
    if (CompareEntries(a.Entry(), b.Entry()) <= 0) {
      Emit(a.Entry(), aTree);
      haveA = a.Advance(bsibbKeyLength);
    } else {
      Emit(b.Entry(), aTree);
      haveB = b.Advance(bsibbKeyLength);
    }
  }
  for (; haveA; haveA = a.Advance(bsibbKeyLength)) Emit(a.Entry(), aTree);
  for (; haveB; haveB = b.Advance(bsibbKeyLength)) Emit(b.Entry(), aTree);
  aFirst.clear();
  aSecond.clear();
  if (!aTree) CloseCurrent();
}

uint32_t TnxStaticKeyBstarTreeIndexBulkBuilder::Finalize(TnxBaseTransaction& aTrans) {
  CheckUsable();
  bsibbDone = true;
  bsibbRunCount = 0;
  bsibbMergePasses = 0;
  if (bsibbTotalKeyCount == 0) {
    bsibbDefaultHead.TakeAll();
    return 0;
  }
  try {
    CloseCurrent();
    TRun all = bsibbDefaultHead.TakeAll();
    const auto firstOf = [](const std::unique_ptr<TnxKeyContainer>& c) { return c->FirstKey(); };
    std::stable_sort(all.begin(), all.end(), [&](const auto& x, const auto& y) {
      return CompareEntries(firstOf(x), firstOf(y)) < 0;
    });
    // Runs: each takes, in order, every container that starts at or above
    // the end of its last one.
    std::vector<TRun> runs;
    while (!all.empty()) {
      TRun run, rest;
      run.push_back(std::move(all.front()));
      for (size_t i = 1; i < all.size(); ++i) {
        if (CompareEntries(all[i]->FirstKey(), run.back()->LastKey()) >= 0)
          run.push_back(std::move(all[i]));
        else
          rest.push_back(std::move(all[i]));
      }
      runs.push_back(std::move(run));
      all = std::move(rest);
    }
    bsibbRunCount = static_cast<uint32_t>(runs.size());
    // Longest first, equal lengths by first entry; merging takes the last two.
    const auto before = [&](const TRun& x, const TRun& y) {
      if (x.size() != y.size()) return x.size() > y.size();
      return CompareEntries(x.front()->FirstKey(), y.front()->FirstKey()) < 0;
    };
    std::stable_sort(runs.begin(), runs.end(), before);
    while (runs.size() > 2) {
      TRun second = std::move(runs.back());
      runs.pop_back();
      TRun first = std::move(runs.back());
      runs.pop_back();
      Merge(first, second, nullptr);
      TRun merged = bsibbDefaultHead.TakeAll();
      runs.insert(std::upper_bound(runs.begin(), runs.end(), merged, before), std::move(merged));
      ++bsibbMergePasses;
    }
    bsibbTreeBuilder =
        std::make_unique<TnxTreeBuilder>(bsibbIndexEngine, aTrans, bsibbTotalKeyCount, bsibbKeyLength - 8);
    if (runs.size() == 1) {
      for (auto& container : runs[0]) {
        container->Lock();
        for (uint32_t i = 0; i < container->KeyCount(); ++i) {
          Emit(container->kcCurrentPointer, bsibbTreeBuilder.get());
          container->kcCurrentPointer += bsibbKeyLength;
        }
        container.reset();
      }
    } else {
      Merge(runs[0], runs[1], bsibbTreeBuilder.get());
    }
    bsibbTreeBuilder->Finalize();
    bsibbTreeBuilder.reset();
    SampleCache();
  } catch (...) {
    bsibbTreeBuilder.reset();
    bsibbDefaultHead.TakeAll();
    throw;
  }
  return 0;
}

// ---- the tree builder ----

TnxTreeBuilder::TnxTreeBuilder(TnxStaticKeyBstarTreeIndexEngine& aIndexEngine, TnxBaseTransaction& aTrans,
                               uint32_t aPlannedKeys, uint32_t aRefNrOffset)
    : tbIndexEngine(aIndexEngine),
      tbTrans(aTrans),
      tbIndexHeaderAccess(aIndexEngine.CreateHeaderAccess(&aTrans, true, true, 0, 0)),
      tbRefNrOffset(aRefNrOffset),
      tbSeparator(aIndexEngine.NodeKeyLength(), 0) {
  const uint32_t maxInternal = aIndexEngine.MaxInternal();
  const uint32_t maxLeaf = aIndexEngine.MaxLeaf();
  // 80 %, in integers so that no size rounds the other way.
  uint32_t internal = maxInternal * 4 / 5;
  if (internal >= maxInternal) internal = maxInternal - 1;
  if (internal <= maxInternal / 2) internal = maxInternal / 2 + 1;
  uint32_t leaf = maxLeaf * 4 / 5;
  if (leaf >= maxLeaf) leaf = maxLeaf - 1;
  if (leaf < maxLeaf / 2) leaf = maxLeaf / 2 + 1;
  tbInternalNodeKeyCount = static_cast<uint16_t>(std::min(internal, maxInternal));
  tbLeafNodeKeyCount = static_cast<uint16_t>(std::max<uint32_t>(1, std::min(leaf, maxLeaf)));
  tbInternalNodeFirstKey = 0;
  tbLeafNodeFirstKey = static_cast<uint16_t>((maxLeaf - tbLeafNodeKeyCount) / 2);
  tbTotalKeys = std::max<uint32_t>(aPlannedKeys, 1);
  tbTotalLeafNodes = static_cast<uint32_t>((tbTotalKeys + tbLeafNodeKeyCount - 1) / tbLeafNodeKeyCount);
  // Each level's nodes hold the level's children less one per node.
  const uint32_t k = tbInternalNodeKeyCount;
  for (uint32_t c = tbTotalLeafNodes; c > 1;) {
    const uint32_t n = static_cast<uint32_t>((uint64_t{c} + k) / (k + 1));
    TLevel level;
    level.PlannedNodes = n;
    level.PlannedKeys = c - n;
    tbCurrentInternal.push_back(std::move(level));
    c = n;
  }
  tbPlannedLevels = tbCurrentInternal.size();
  // Levels are added beyond the plan without moving the held nodes' guards.
  tbCurrentInternal.reserve(nxMaxTreeDepth);
}

TnxTreeBuilder::~TnxTreeBuilder() = default;

PnxBlock TnxTreeBuilder::NewNode(uint8_t aKind, TnxBlockGuard& aGuard) {
  TnxBaseIndexHeaderAccess& header = *tbIndexHeaderAccess;
  aGuard.Release();
  aGuard.Hold(header.FileHeader().GetNewBlock(tbTrans, tbIndexEngine.IndicesEngine().bseID, aGuard.ReleaseMethod()));
  PnxBlock node = aGuard.Block();
  std::memcpy(node, nxIndexBlockSignature.data(), 4);
  std::memset(node + nxihChangeCounter, 0, tbIndexEngine.IndexFile().fiBlockSizeBytes() - nxihChangeCounter);
  StoreU64(node + nxihChangeCounter, tbIndexEngine.NewChangeCounter(tbTrans));
  StoreU32(node + nxihPrevNode, nxNoNode);
  StoreU32(node + nxihNextNode, nxNoNode);
  node[nxihNodeKind] = aKind;
  node[nxihIndexNumber] = static_cast<uint8_t>(tbIndexEngine.IndexNumber() & 0xFF);
  // New blocks evict only under memory pressure; a bulk build makes so
  // many that the cache would outgrow its budget without a pass now and
  // then (the transaction's copies are parked in the temporary store). The
  // pass is forced: an unforced one backs off for a second after one that
  // found nothing, and the build makes hundreds of nodes meanwhile.
  if (++tbPagesMade % kNodesBetweenPasses == 0) {
    TnxBufferManager& bm = tbTrans.TransBufferManager();
    if (bm.ResidentPages() > bm.TargetPages()) bm.EvictNow(true);
  }
  return node;
}

void TnxTreeBuilder::InsertKey(const uint8_t* aEntry) {
  const uint32_t keyLength = tbIndexEngine.KeyEngine().KeyLength();
  const uint32_t descKeyLength = tbIndexEngine.DescKeyLength();
  PnxBlock leaf = tbCurrentLeafNode.Block();
  uint16_t count = leaf ? platform::LoadU16(leaf + nxihKeyCount) : 0;
  // Finished at the target, or once the leaves so far hold their planned
  // share (keys / leaves made >= total / planned leaves, in integers).
  const bool finished =
      leaf && count > 0 &&
      (count >= tbLeafNodeKeyCount || tbCurrentLeafKeys * tbTotalLeafNodes >= tbTotalKeys * tbCurrentLeafNodes);
  TnxBlockGuard finishedLeaf;
  if (finished) finishedLeaf = std::move(tbCurrentLeafNode);
  if (!tbCurrentLeafNode.Block()) {
    leaf = NewNode(nxnkLeaf, tbCurrentLeafNode);
    StoreU16(leaf + nxihFirstSlot, tbLeafNodeFirstKey);
    ++tbCurrentLeafNodes;
    count = 0;
    if (finishedLeaf.Block()) {
      StoreU32(finishedLeaf.Block() + nxihNextNode, platform::LoadU32(leaf + 4));
      StoreU32(leaf + nxihPrevNode, platform::LoadU32(finishedLeaf.Block() + 4));
    }
  }
  const uint32_t slot = uint32_t{tbLeafNodeFirstKey} + count;
  uint8_t* at = leaf + tbIndexEngine.LeafKeyOffset(slot);
  if (tbIndexEngine.IsKeyless()) {
    std::memcpy(at, aEntry + tbRefNrOffset, 8);
  } else {
    std::memcpy(at, aEntry, keyLength);
    if (descKeyLength > keyLength) std::memset(at + keyLength, 0, descKeyLength - keyLength);
    if (!tbIndexEngine.KeysAreRefs()) std::memcpy(at + descKeyLength, aEntry + tbRefNrOffset, 8);
  }
  StoreU16(leaf + nxihKeyCount, static_cast<uint16_t>(count + 1));
  ++tbCurrentLeafKeys;
  if (finishedLeaf.Block()) {
    const PnxBlock done = finishedLeaf.Block();
    const uint32_t last = uint32_t{platform::LoadU16(done + nxihFirstSlot)} + platform::LoadU16(done + nxihKeyCount) - 1;
    std::memcpy(tbSeparator.data(), done + tbIndexEngine.LeafKeyOffset(last), tbSeparator.size());
    AddToLevel(0, platform::LoadU32(done + 4), platform::LoadU32(leaf + 4), tbSeparator.data());
  }
}

void TnxTreeBuilder::AppendPair(PnxBlock aNode, uint32_t aLeft, uint32_t aRight, const uint8_t* aSeparator) {
  const uint16_t count = platform::LoadU16(aNode + nxihKeyCount);
  if (count == 0) StoreU32(aNode + tbIndexEngine.TreePointerOffset(0), aLeft);
  std::memcpy(aNode + tbIndexEngine.InternalKeyOffset(count), aSeparator, tbIndexEngine.NodeKeyLength());
  StoreU32(aNode + tbIndexEngine.TreePointerOffset(count + 1u), aRight);
  StoreU16(aNode + nxihKeyCount, static_cast<uint16_t>(count + 1));
}

void TnxTreeBuilder::AddToLevel(size_t aLevel, uint32_t aLeft, uint32_t aRight, const uint8_t* aSeparator) {
  if (aLevel == tbCurrentInternal.size()) {
    // The top level needs a second node: one level more, so the tree keeps
    // a single root.
    if (aLevel >= static_cast<size_t>(nxMaxTreeDepth))
      throw EnxBaseIndexBulkBuilder(nxeInvalidParameter, u"Index tree deeper than %d levels", {nxMaxTreeDepth});
    tbCurrentInternal.emplace_back();
  }
  TLevel& level = tbCurrentInternal[aLevel];
  if (!level.PendingSeparator.empty()) {
    PnxBlock node = NewNode(nxnkInternal, level.Node);
    ++level.NodesMade;
    StoreU32(node + tbIndexEngine.TreePointerOffset(0), level.PendingRight);
    const uint32_t finished = platform::LoadU32(level.Finished.Block() + 4);
    // The level above may be added now; that moves no level (room for every
    // level is reserved).
    AddToLevel(aLevel + 1, finished, platform::LoadU32(node + 4), level.PendingSeparator.data());
    level.Finished.Release();
    level.PendingSeparator.clear();
    AppendPair(node, aLeft, aRight, aSeparator);
    ++level.KeysAdded;
    return;
  }
  PnxBlock node = level.Node.Block();
  const uint16_t count = node ? platform::LoadU16(node + nxihKeyCount) : 0;
  const bool planned = level.PlannedNodes > 0;
  // A node is finished at the target, or once the level's nodes hold their
  // planned share of keys (in integers); never empty.
  const bool finished =
      node && count > 0 &&
      (count >= tbInternalNodeKeyCount ||
       (planned && level.KeysAdded * level.PlannedNodes >= uint64_t{level.PlannedKeys} * level.NodesMade));
  if (finished) {
    level.Finished = std::move(level.Node);
    level.PendingSeparator.assign(aSeparator, aSeparator + tbIndexEngine.NodeKeyLength());
    level.PendingRight = aRight;
    return;
  }
  if (!node) {
    node = NewNode(nxnkInternal, level.Node);
    ++level.NodesMade;
  }
  AppendPair(node, aLeft, aRight, aSeparator);
  ++level.KeysAdded;
}

void TnxTreeBuilder::Finalize() {
  TnxBaseIndexHeaderAccess& header = *tbIndexHeaderAccess;
  uint32_t root = nxNoNode;
  if (tbCurrentLeafNode.Block()) root = platform::LoadU32(tbCurrentLeafNode.Block() + 4);
  for (TLevel& level : tbCurrentInternal) {
    if (!level.PendingSeparator.empty()) {
      // Nothing came after the finished node: the waiting pair joins it.
      level.Node = std::move(level.Finished);
      const uint16_t count = platform::LoadU16(level.Node.Block() + nxihKeyCount);
      const uint32_t left = platform::LoadU32(level.Node.Block() + tbIndexEngine.TreePointerOffset(count));
      AppendPair(level.Node.Block(), left, level.PendingRight, level.PendingSeparator.data());
      level.PendingSeparator.clear();
    }
    // The highest level that got a node holds the root; planned levels above
    // it stay unused when fewer keys came than planned.
    if (level.Node.Block()) root = platform::LoadU32(level.Node.Block() + 4);
  }
  if (root != nxNoNode) {
    header.SetIndexRoot(root);
    header.SetIndexPageCount(header.GetIndexPageCount() + tbPagesMade);
    header.SetIndexKeyCount(header.GetIndexKeyCount() + static_cast<uint32_t>(tbCurrentLeafKeys));
  }
  tbCurrentLeafNode.Release();
  for (TLevel& level : tbCurrentInternal) level.Node.Release();
}

// ---- the tree engine's builder ----

std::unique_ptr<TnxBaseBulkBuilder> TnxStaticKeyBstarTreeIndexEngine::CreateBulkBuilder(TnxBaseTransaction& aTrans) {
  return std::make_unique<TnxStaticKeyBstarTreeIndexBulkBuilder>(aTrans, *this);
}

}  // namespace revurov
