#include "index/static_key_bstar_tree.h"

#include <algorithm>
#include <cstring>

#include "dictionary/data_dictionary.h"
#include "dictionary/file_descriptors.h"
#include "dictionary/index_descriptor.h"
#include "dictionary/key_descriptors.h"
#include "index/bstar_node.h"
#include "index/index_path.h"
#include "index/static_key_bstar_tree_path.h"
#include "lowlevel/errors/error_codes.h"
#include "platform/endian.h"
#include "platform/random.h"
#include "platform/text.h"
#include "storage/block_access.h"
#include "storage/deadline.h"
#include "storage/header_access.h"
#include "storage/transactions.h"

namespace revurov {

using platform::LoadU16;
using platform::LoadU32;
using platform::LoadU64;
using platform::StoreU16;
using platform::StoreU32;
using platform::StoreU64;
using namespace bstar_node;

namespace {

constexpr std::u16string_view kSeqAccessIndex = u"Sequential Access Index";

struct TGeometry {
  uint32_t DescKeyLength;
  bool AddKeyRefsToKeys;
  uint32_t NodeKeyLength;
  uint32_t InternalPair;
  uint32_t LeafPair;
  // Bytes a block must hold for four internal and three leaf pairs.
  uint32_t Needed() const { return std::max(44 + 4 * InternalPair, 40 + 3 * LeafPair); }
};

TGeometry GeometryOf(uint32_t aKeyLength, bool aDups, bool aKeysAreRefs) {
  TGeometry g;
  g.DescKeyLength = aKeyLength > 32 ? (aKeyLength + 3) & ~3u : aKeyLength;
  g.AddKeyRefsToKeys = aDups && !aKeysAreRefs;
  g.NodeKeyLength = g.DescKeyLength + (g.AddKeyRefsToKeys ? 8 : 0);
  g.InternalPair = g.NodeKeyLength + 4;
  g.LeafPair = aKeysAreRefs ? g.DescKeyLength : g.DescKeyLength + 8;
  return g;
}

// Only RefNrs in the nodes; the descriptor's key length still sizes the
// search key (key, RefNr).
TGeometry KeylessGeometryOf(uint32_t aKeyLength, bool aDups, bool aKeysAreRefs) {
  TGeometry g;
  g.DescKeyLength = aKeyLength > 32 ? (aKeyLength + 3) & ~3u : aKeyLength;
  g.AddKeyRefsToKeys = aDups && !aKeysAreRefs;
  g.NodeKeyLength = 8;
  g.InternalPair = 12;
  g.LeafPair = 8;
  return g;
}

[[noreturn]] void RaiseKeyTooLarge(int32_t aNumber, const std::u16string& aName) {
  throw EnxStaticKeyBstarTreeIndexEngineException(nxeKeyTooLarge, u"Maximum key size has been exceeded. Index: #%d %s",
                                                  {aNumber, aName});
}

TnxDataDictionary* RootDictionary(TnxPersistent* aItem) {
  for (TnxPersistent* p = aItem; p;) {
    if (auto* dict = dynamic_cast<TnxDataDictionary*>(p)) return dict;
    auto* item = dynamic_cast<TnxDictionaryItem*>(p);
    p = item ? item->DirectParent() : nullptr;
  }
  return nullptr;
}


}  // namespace

// One insert, delete or read: its header accessor, and the nodes it
// fetched, all released when it ends however it ends.
class TnxStaticKeyBstarTreeIndexEngine::TOperation {
public:
  TOperation(TnxStaticKeyBstarTreeIndexEngine& aEngine, TnxBaseTransaction* aTrans, bool aWriter)
      : opEngine(aEngine), Trans(aTrans), opHeader(aEngine.CreateHeaderAccess(aTrans, aWriter, aWriter, 0, 0)) {}
  ~TOperation() { opEngine.ieReleaseList.Release(); }
  TOperation(const TOperation&) = delete;
  TOperation& operator=(const TOperation&) = delete;

  TnxBaseIndexHeaderAccess& H() { return *opHeader; }
  TnxBaseFileHeaderAccess& File() { return opHeader->FileHeader(); }
  bool WasFreed(uint32_t aBlock) const { return std::find(Freed.begin(), Freed.end(), aBlock) != Freed.end(); }

private:
  TnxStaticKeyBstarTreeIndexEngine& opEngine;

public:
  TnxBaseTransaction* Trans;
  std::vector<uint32_t> Freed;

private:
  std::unique_ptr<TnxBaseIndexHeaderAccess> opHeader;
};

// ---- construction and checks ----

TnxStaticKeyBstarTreeIndexEngine::TnxStaticKeyBstarTreeIndexEngine(const TnxSubEngineArgs& aArgs)
    : TnxStaticKeyBstarTreeIndexEngine(aArgs, false) {}

TnxStaticKeyBstarTreeIndexEngine::TnxStaticKeyBstarTreeIndexEngine(const TnxSubEngineArgs& aArgs, bool aKeyless)
    : TnxBaseIndexEngine(aArgs), ieRecordEngine(IndicesEngine().RecordEngine()), ieKeyless(aKeyless) {
  if (!aKeyless && IndicesEngine().IsCache()) {
    if (!platform::AsciiSameText(IndexName(), kSeqAccessIndex))
      throw EnxStaticKeyBstarTreeIndexEngineException(nxeCapabilityNotSupported, u"%s is not supported for cache tables",
                                                      {std::u16string(ClassName())});
    ieIsCacheSeqAccess = true;
  }
  const TGeometry g = aKeyless ? KeylessGeometryOf(KeyEngine().KeyLength(), Dups(), KeysAreRefs())
                               : GeometryOf(KeyEngine().KeyLength(), Dups(), KeysAreRefs());
  const uint32_t usable = IndexFile().fiBlockSizeBytes();
  if (usable < g.Needed()) RaiseKeyTooLarge(IndexNumber(), IndexName());
  ieDescKeyLength = static_cast<uint16_t>(g.DescKeyLength);
  ieAddKeyRefsToKeys = g.AddKeyRefsToKeys;
  ieNodeKeyLength = static_cast<uint16_t>(g.NodeKeyLength);
  ieSizeOfInternalNodeKeyPair = static_cast<uint16_t>(g.InternalPair);
  ieSizeOfLeafNodeKeyPair = static_cast<uint16_t>(g.LeafPair);
  // Counts are stored in 16 bits.
  ieMaxInternalNodeKeyCount = static_cast<uint16_t>(std::min<uint32_t>((usable - 44) / g.InternalPair, 0xFFFE));
  ieMaxLeafNodeKeyCount = static_cast<uint16_t>(std::min<uint32_t>((usable - 40) / g.LeafPair, 0xFFFE));
  const uint32_t refPart = KeysAreRefs() || aKeyless ? 0 : g.DescKeyLength;
  ieInternalNodeKeyOffset = {44, g.InternalPair};
  ieInternalNodeKeyRefOffset = {44 + refPart, g.InternalPair};
  ieTreePointerOffset = {40, g.InternalPair};
  ieLeafNodeKeyOffset = {40, g.LeafPair};
  ieLeafNodeKeyRefOffset = {40 + refPart, g.LeafPair};
  ieTempInsertKey.assign(g.NodeKeyLength, 0);
  ieSearchKey.assign(std::max<uint32_t>(g.NodeKeyLength, g.DescKeyLength + 8), 0);
  ieScratchBytes = usable + g.InternalPair;
}

TnxStaticKeyBstarTreeIndexEngine::~TnxStaticKeyBstarTreeIndexEngine() = default;

void TnxStaticKeyBstarTreeIndexEngine::CheckValidFromDescriptor(TnxDictionaryItem& aDescriptor) {
  auto& index = dynamic_cast<TnxIndexDescriptor&>(aDescriptor);
  TnxBaseKeyDescriptor* key = index.KeyDescriptor();
  if (!key) return;
  const bool keysAreRefs = dynamic_cast<TnxRefKeyDescriptor*>(key) != nullptr;
  const bool dups = index.Dups() == idAll || (index.Dups() == idNull && key->CanContainNulls());
  const uint32_t needed = GeometryOf(key->KeyLen(), dups, keysAreRefs).Needed();
  TnxDataDictionary* root = RootDictionary(&index);
  if (!root || index.FileNumber() < 0 || index.FileNumber() >= root->FilesDescriptor().FileCount()) {
    if (needed > nxBlockSizeBytes(nxbs64k)) RaiseKeyTooLarge(index.Number(), index.Name());
    return;
  }
  TnxFileDescriptor& file = *root->FilesDescriptor().FileDescriptor(index.FileNumber());
  const TnxBlockSize original = file.BlockSize();
  for (int size = original; size <= nxbs64k; ++size) {
    if (file.BlockSize() != size) file.SetBlockSize(static_cast<TnxBlockSize>(size));
    if (file.UsableBlockSize() >= needed) return;
  }
  file.SetBlockSize(original);
  RaiseKeyTooLarge(index.Number(), index.Name());
}

// ---- nodes ----

void TnxStaticKeyBstarTreeIndexEngine::RaiseDamaged(uint32_t aBlock) const {
  throw EnxStaticKeyBstarTreeIndexEngineException(
      nxeNotAnIndexBlock, u"Block just read from file is not a valid index block [%s, block %d]",
      {IndexFile().fiName(), aBlock});
}

PnxBlock TnxStaticKeyBstarTreeIndexEngine::Node(TOperation& aOp, uint32_t aBlock, bool aMarkDirty) {
  if (aOp.WasFreed(aBlock)) RaiseDamaged(aBlock);
  TnxReleaseMethod release;
  PnxBlock node = nxReadIndexBlock(aOp.Trans, aOp.File(), IndicesEngine().bseID, aMarkDirty, aBlock, release);
  ieReleaseList.Add(node, release);
  if (!NodeShapeOk(node)) RaiseDamaged(aBlock);
  return node;
}

bool TnxStaticKeyBstarTreeIndexEngine::NodeShapeOk(const uint8_t* aNode) const noexcept {
  const uint8_t kind = Kind(aNode);
  // Index numbers only go down (a removed index renumbers the later ones),
  // so a node may carry the number its index had when it was made.
  return aNode[nxihIndexNumber] >= (IndexNumber() & 0xFF) &&
         ((kind == nxnkLeaf && uint32_t{First(aNode)} + Count(aNode) <= ieMaxLeafNodeKeyCount) ||
          (kind == nxnkInternal && Count(aNode) <= ieMaxInternalNodeKeyCount));
}

uint64_t TnxStaticKeyBstarTreeIndexEngine::NewChangeCounter(TnxBaseTransaction& aTrans) {
  if (ieRandomLeft == 0) {
    if (!platform::FillRandom(ieRandom.data(), sizeof(ieRandom))) {
      // The source failed: keep drawing from what it gave last time.
      for (uint16_t& r : ieRandom) r = static_cast<uint16_t>(r * 40503u + 0x9E37u);
    }
    ieRandomLeft = static_cast<uint32_t>(ieRandom.size());
  }
  const uint64_t random = ieRandom[--ieRandomLeft] % 65535u;
  return (random << 48) | ((static_cast<uint64_t>(aTrans.LSN()) & 0xFFFF) << 32);
}

PnxBlock TnxStaticKeyBstarTreeIndexEngine::NewNode(TOperation& aOp, uint8_t aKind) {
  TnxReleaseMethod release;
  PnxBlock node = aOp.File().GetNewBlock(*aOp.Trans, IndicesEngine().bseID, release);
  ieReleaseList.Add(node, release);
  const uint32_t block = BlockOf(node);
  std::erase(aOp.Freed, block);
  std::memcpy(node, nxIndexBlockSignature.data(), 4);
  std::memset(node + nxihChangeCounter, 0, IndexFile().fiBlockSizeBytes() - nxihChangeCounter);
  StoreU64(node + nxihChangeCounter, NewChangeCounter(*aOp.Trans));
  SetPrev(node, nxNoNode);
  SetNext(node, nxNoNode);
  node[nxihNodeKind] = aKind;
  node[nxihIndexNumber] = static_cast<uint8_t>(IndexNumber() & 0xFF);
  aOp.H().SetIndexPageCount(aOp.H().GetIndexPageCount() + 1);
  return node;
}

void TnxStaticKeyBstarTreeIndexEngine::FreeNode(TOperation& aOp, PnxBlock aNode) {
  const uint32_t block = BlockOf(aNode);
  aOp.File().DeleteBlock(*aOp.Trans, aNode);
  aOp.Freed.push_back(block);
}

TnxRefNr TnxStaticKeyBstarTreeIndexEngine::LeafRefNr(const uint8_t* aNode, uint32_t aSlot) const noexcept {
  return static_cast<TnxRefNr>(LoadU64(aNode + ieLeafNodeKeyRefOffset[aSlot]));
}

int TnxStaticKeyBstarTreeIndexEngine::CompareNodeKeys(const uint8_t* aKey1, const uint8_t* aKey2) const {
  const int c = KeyEngine().CompareKey(aKey1, aKey2, 0, 0);
  if (c != 0 || !ieAddKeyRefsToKeys) return c;
  const auto r1 = static_cast<TnxRefNr>(LoadU64(aKey1 + ieDescKeyLength));
  const auto r2 = static_cast<TnxRefNr>(LoadU64(aKey2 + ieDescKeyLength));
  return r1 < r2 ? -1 : (r1 > r2 ? 1 : 0);
}

// ---- searching ----

void TnxStaticKeyBstarTreeIndexEngine::MakeSearchKey(const uint8_t* aKey, TnxRefNr aRefNr) {
  const uint16_t length = KeyEngine().KeyLength();
  std::memcpy(ieSearchKey.data(), aKey, length);
  std::memset(ieSearchKey.data() + length, 0, ieSearchKey.size() - length);
  StoreU64(ieSearchKey.data() + ieDescKeyLength, static_cast<uint64_t>(aRefNr));
}

bool TnxStaticKeyBstarTreeIndexEngine::SearchNode(const uint8_t* aNode, TSearch aSearch, uint32_t& aSlot) const {
  const bool leaf = Kind(aNode) == nxnkLeaf;
  const uint8_t* search = ieSearchKey.data();
  const auto searchRef = static_cast<TnxRefNr>(LoadU64(search + ieDescKeyLength));
  const int64_t lo = leaf ? First(aNode) : 0;
  return SearchSlots(lo, lo + Count(aNode) - 1, TEqualGoes::Stop, [&](uint32_t aAt) {
    const uint8_t* key = aNode + (leaf ? ieLeafNodeKeyOffset[aAt] : ieInternalNodeKeyOffset[aAt]);
    int c = KeyEngine().CompareKey(search, key, 0, 0);
    if (c == 0 && aSearch != TSearch::ByKey && !(aSearch == TSearch::NullOnly && !KeyEngine().KeyContainsNulls(key))) {
      const auto ref =
          static_cast<TnxRefNr>(leaf ? LeafRefNr(aNode, aAt) : LoadU64(aNode + ieInternalNodeKeyRefOffset[aAt]));
      c = searchRef < ref ? -1 : (searchRef > ref ? 1 : 0);
    }
    return c;
  }, aSlot);
}

void TnxStaticKeyBstarTreeIndexEngine::Descend(TOperation& aOp, uint32_t aRoot, TDescent& aDescent) {
  const TSearch search = ieAddKeyRefsToKeys ? TSearch::ByKeyAndRef : TSearch::ByKey;
  aDescent.Depth = 0;
  uint32_t block = aRoot;
  for (;;) {
    const uint8_t* node = Node(aOp, block, false);
    if (Kind(node) == nxnkLeaf) {
      aDescent.Leaf = block;
      aDescent.LeafNode = node;
      return;
    }
    if (aDescent.Depth >= nxMaxTreeDepth) RaiseDamaged(block);
    uint32_t slot;
    SearchNode(node, search, slot);
    aDescent.Levels[static_cast<size_t>(aDescent.Depth++)] = {block, slot};
    block = LoadU32(node + ieTreePointerOffset[slot]);
  }
}

bool TnxStaticKeyBstarTreeIndexEngine::NullOnlyDuplicateInNeighbour(TOperation& aOp, uint32_t aBlock) {
  const uint8_t* node = Node(aOp, aBlock, false);
  if (Kind(node) != nxnkLeaf) RaiseDamaged(aBlock);
  uint32_t slot;
  return SearchNode(node, TSearch::NullOnly, slot);
}

// ---- inserting ----

void TnxStaticKeyBstarTreeIndexEngine::WriteLeafSlot(PnxBlock aLeaf, uint32_t aSlot, const uint8_t* aKey,
                                                     TnxRefNr aRefNr) {
  uint8_t* slot = aLeaf + ieLeafNodeKeyOffset[aSlot];
  const uint16_t length = KeyEngine().KeyLength();
  std::memcpy(slot, aKey, length);
  std::memset(slot + length, 0, ieDescKeyLength - length);
  if (!KeysAreRefs()) StoreU64(slot + ieDescKeyLength, static_cast<uint64_t>(aRefNr));
}

uint32_t TnxStaticKeyBstarTreeIndexEngine::InsertIntoLeaf(PnxBlock aLeaf, uint32_t aSlot, const uint8_t* aKey,
                                                      TnxRefNr aRefNr) {
  const uint32_t pair = ieSizeOfLeafNodeKeyPair;
  const uint32_t max = ieMaxLeafNodeKeyCount;
  uint32_t first = First(aLeaf);
  const uint32_t count = Count(aLeaf);
  const auto move = [&](uint32_t aFrom, uint32_t aTo, uint32_t aKeys) {
    if (aKeys > 0 && aFrom != aTo)
      std::memmove(aLeaf + ieLeafNodeKeyOffset[aTo], aLeaf + ieLeafNodeKeyOffset[aFrom], aKeys * pair);
  };
  uint32_t target;
  if (aSlot <= first + count / 2) {
    if (first > 0) {
      move(first, first - 1, aSlot - first);
      --first;
      target = aSlot - 1;
    } else {
      const uint32_t gap = (max - count - 1) / 2;
      move(aSlot, aSlot + gap + 1, count - aSlot);
      move(0, gap, aSlot);
      first = gap;
      target = aSlot + gap;
    }
  } else if (first + count < max) {
    move(aSlot, aSlot + 1, first + count - aSlot);
    target = aSlot;
  } else {
    const uint32_t gap = (max - count - 1) / 2;
    move(first, gap, aSlot - first);
    move(aSlot, aSlot - (first - gap - 1), max - aSlot);
    target = gap + aSlot - first;
    first = gap;
  }
  WriteLeafSlot(aLeaf, target, aKey, aRefNr);
  SetFirst(aLeaf, first);
  SetCount(aLeaf, count + 1);
  return target;
}

PnxBlock TnxStaticKeyBstarTreeIndexEngine::SplitLeafAndInsert(TOperation& aOp, PnxBlock aLeaf, uint32_t& aSlot,
                                                              const uint8_t* aKey, TnxRefNr aRefNr) {
  const uint32_t max = ieMaxLeafNodeKeyCount;
  const uint32_t pair = ieSizeOfLeafNodeKeyPair;
  PnxBlock right = NewNode(aOp, nxnkLeaf);
  const uint32_t rightBlock = BlockOf(right);
  const uint32_t leftBlock = BlockOf(aLeaf);
  const uint32_t split = max / 2 + ((max & 1) != 0 && aSlot > max / 2 ? 1 : 0);
  const uint32_t rightFirst = split / 2;
  const uint32_t rightCount = max - split;
  std::memcpy(right + ieLeafNodeKeyOffset[rightFirst], aLeaf + ieLeafNodeKeyOffset[split], rightCount * pair);
  SetFirst(right, rightFirst);
  SetCount(right, rightCount);
  SetFirst(aLeaf, 0);
  SetCount(aLeaf, split);
  const uint32_t oldNext = Next(aLeaf);
  SetNext(right, oldNext);
  SetPrev(right, leftBlock);
  SetNext(aLeaf, rightBlock);
  if (oldNext != nxNoNode) {
    PnxBlock next = Node(aOp, oldNext, true);
    if (Kind(next) != nxnkLeaf) RaiseDamaged(oldNext);
    SetPrev(next, rightBlock);
  }
  PnxBlock target = aLeaf;
  if (aSlot > split) {
    target = right;
    aSlot = InsertIntoLeaf(right, aSlot - split + rightFirst, aKey, aRefNr);
  } else if (aSlot == split && split >= rightCount) {
    target = right;
    aSlot = InsertIntoLeaf(right, rightFirst, aKey, aRefNr);
  } else {
    aSlot = InsertIntoLeaf(aLeaf, aSlot, aKey, aRefNr);
  }
  const uint32_t last = uint32_t{First(aLeaf)} + Count(aLeaf) - 1;
  std::memcpy(ieTempInsertKey.data(), aLeaf + ieLeafNodeKeyOffset[last], ieNodeKeyLength);
  ieTempInsertBlock = rightBlock;
  return target;
}

void TnxStaticKeyBstarTreeIndexEngine::InsertSeparators(TOperation& aOp, const TDescent& aDescent) {
  const uint32_t pair = ieSizeOfInternalNodeKeyPair;
  const uint32_t max = ieMaxInternalNodeKeyCount;
  const uint32_t keyLength = ieNodeKeyLength;
  if (ieScratch.size() < ieScratchBytes) ieScratch.assign(ieScratchBytes, 0);
  for (int32_t level = aDescent.Depth - 1; level >= 0; --level) {
    const TLevel& at = aDescent.Levels[static_cast<size_t>(level)];
    PnxBlock parent = Node(aOp, at.Block, true);
    const uint32_t count = Count(parent);
    const uint32_t s = at.Slot;
    if (Kind(parent) != nxnkInternal || s > count) RaiseDamaged(at.Block);
    if (count < max) {
      std::memmove(parent + ieInternalNodeKeyOffset[s + 1], parent + ieInternalNodeKeyOffset[s], (count - s) * pair);
      std::memcpy(parent + ieInternalNodeKeyOffset[s], ieTempInsertKey.data(), keyLength);
      StoreU32(parent + ieTreePointerOffset[s + 1], ieTempInsertBlock);
      SetCount(parent, count + 1);
      return;
    }
    // Full: the pointers and keys with the new pair go through the scratch
    // buffer (pointer i at i × pair, key i 4 bytes after it).
    uint8_t* scratch = ieScratch.data();
    std::memcpy(scratch, parent + nxihBody, max * pair + 4);
    std::memmove(scratch + 4 + (s + 1) * pair, scratch + 4 + s * pair, (max - s) * pair);
    std::memcpy(scratch + 4 + s * pair, ieTempInsertKey.data(), keyLength);
    StoreU32(scratch + (s + 1) * pair, ieTempInsertBlock);
    PnxBlock right = NewNode(aOp, nxnkInternal);
    const uint32_t half = max / 2;
    std::memcpy(parent + nxihBody, scratch, half * pair + 4);
    SetCount(parent, half);
    std::memcpy(right + nxihBody, scratch + (half + 1) * pair, (max - half) * pair + 4);
    SetCount(right, max - half);
    std::memcpy(ieTempInsertKey.data(), scratch + 4 + half * pair, keyLength);
    ieTempInsertBlock = BlockOf(right);
  }
  const uint32_t oldRoot = aDescent.Depth > 0 ? aDescent.Levels[0].Block : aDescent.Leaf;
  PnxBlock root = NewNode(aOp, nxnkInternal);
  StoreU32(root + ieTreePointerOffset[0], oldRoot);
  std::memcpy(root + ieInternalNodeKeyOffset[0], ieTempInsertKey.data(), keyLength);
  StoreU32(root + ieTreePointerOffset[1], ieTempInsertBlock);
  SetCount(root, 1);
  aOp.H().SetIndexRoot(BlockOf(root));
}

bool TnxStaticKeyBstarTreeIndexEngine::OwnPath(const TnxBaseIndexPath* aPath) const noexcept {
  return aPath && aPath->IndexEngine() == this;
}

void TnxStaticKeyBstarTreeIndexEngine::SetPathOnKey(TnxBaseIndexPath* aPath, const uint8_t* aNode,
                                                    uint32_t aSlot) const {
  if (!OwnPath(aPath)) return;
  if (auto* own = dynamic_cast<TnxStaticKeyBstarTreeIndexPath*>(aPath)) return SetOnSlot(*own, aNode, aSlot);
  aPath->Clear();
  aPath->RefNr = LeafRefNr(aNode, aSlot);
  CopySlotKey(*aPath, aNode, aSlot);
  aPath->KeyValid = true;
  aPath->Position = ippOnKey;
}

void TnxStaticKeyBstarTreeIndexEngine::CopySlotKey(TnxBaseIndexPath& aPath, const uint8_t* aNode,
                                                   uint32_t aSlot) const {
  KeyEngine().CopyKey(aNode + ieLeafNodeKeyOffset[aSlot], aPath.KeyBuffer());
  if (ieIsCacheSeqAccess) aPath.CacheRefNr = static_cast<TnxRefNr>(LoadU64(aPath.KeyBuffer()));
}

bool TnxStaticKeyBstarTreeIndexEngine::InsertKey(TnxBaseTransaction& aTrans, const uint8_t* aKey, TnxRefNr aRefNr,
                                                 TnxRefNr aCacheRefNr, TnxBaseIndexPath* aPath) {
  TOperation op(*this, &aTrans, true);
  MakeSearchKey(aKey, TieRef(aRefNr, aCacheRefNr));
  const uint32_t root = op.H().GetIndexRoot();
  if (root == nxNoNode) {
    PnxBlock leaf = NewNode(op, nxnkLeaf);
    op.H().SetIndexRoot(BlockOf(leaf));
    WriteLeafSlot(leaf, ieMaxLeafNodeKeyCount / 2, aKey, aRefNr);
    SetFirst(leaf, ieMaxLeafNodeKeyCount / 2);
    SetCount(leaf, 1);
    op.H().SetIndexKeyCount(1);
    SetPathOnKey(aPath, leaf, ieMaxLeafNodeKeyCount / 2);
    return true;
  }
  TDescent descent;
  Descend(op, root, descent);
  const uint8_t* leaf = descent.LeafNode;
  const TSearch search =
      DupsNullOnly() ? TSearch::NullOnly : (ieAddKeyRefsToKeys ? TSearch::ByKeyAndRef : TSearch::ByKey);
  uint32_t slot;
  if (SearchNode(leaf, search, slot)) return false;
  if (DupsNullOnly() && !KeyEngine().KeyContainsNulls(aKey)) {
    // The one equal key may end the previous leaf or start the next.
    const uint32_t first = First(leaf), count = Count(leaf);
    if (slot == first && Prev(leaf) != nxNoNode && NullOnlyDuplicateInNeighbour(op, Prev(leaf))) return false;
    if (slot == first + count && Next(leaf) != nxNoNode && NullOnlyDuplicateInNeighbour(op, Next(leaf)))
      return false;
  }
  PnxBlock changed = Node(op, descent.Leaf, true);
  if (Kind(changed) != nxnkLeaf) RaiseDamaged(descent.Leaf);
  PnxBlock target = changed;
  if (Count(changed) < ieMaxLeafNodeKeyCount) {
    slot = InsertIntoLeaf(changed, slot, aKey, aRefNr);
  } else {
    target = SplitLeafAndInsert(op, changed, slot, aKey, aRefNr);
    InsertSeparators(op, descent);
  }
  op.H().SetIndexKeyCount(op.H().GetIndexKeyCount() + 1);
  SetPathOnKey(aPath, target, slot);
  return true;
}

// ---- deleting ----

void TnxStaticKeyBstarTreeIndexEngine::RemoveFromLeaf(PnxBlock aLeaf, uint32_t aSlot) {
  const uint32_t pair = ieSizeOfLeafNodeKeyPair;
  const uint32_t first = First(aLeaf);
  const uint32_t count = Count(aLeaf);
  const uint32_t last = first + count - 1;
  if (aSlot != last) {
    if (aSlot < first + count / 2) {
      std::memmove(aLeaf + ieLeafNodeKeyOffset[first + 1], aLeaf + ieLeafNodeKeyOffset[first],
                   (aSlot - first) * pair);
      SetFirst(aLeaf, first + 1);
    } else {
      std::memmove(aLeaf + ieLeafNodeKeyOffset[aSlot], aLeaf + ieLeafNodeKeyOffset[aSlot + 1], (last - aSlot) * pair);
    }
  }
  SetCount(aLeaf, count - 1);
}

void TnxStaticKeyBstarTreeIndexEngine::RemoveFromInternal(PnxBlock aNode, uint32_t aSlot) {
  const uint32_t count = Count(aNode);
  std::memmove(aNode + ieInternalNodeKeyOffset[aSlot], aNode + ieInternalNodeKeyOffset[aSlot + 1],
               (count - 1 - aSlot) * ieSizeOfInternalNodeKeyPair);
  SetCount(aNode, count - 1);
}

void TnxStaticKeyBstarTreeIndexEngine::SetSeparatorFor(TOperation& aOp, const TDescent& aDescent, int32_t aLevel,
                                                       uint32_t aChild, const uint8_t* aKey) {
  std::memcpy(ieTempInsertKey.data(), aKey, ieNodeKeyLength);
  // The separator of a subtree's last leaf lives where the way down last
  // took a pointer other than the last one.
  for (int32_t level = aLevel; level >= 0; --level) {
    const TLevel& at = aDescent.Levels[static_cast<size_t>(level)];
    const uint32_t slot = level == aLevel ? aChild : at.Slot;
    if (slot >= Count(Node(aOp, at.Block, false))) continue;
    PnxBlock node = Node(aOp, at.Block, true);
    if (slot >= Count(node)) RaiseDamaged(at.Block);
    std::memcpy(node + ieInternalNodeKeyOffset[slot], ieTempInsertKey.data(), ieNodeKeyLength);
    return;
  }
}

void TnxStaticKeyBstarTreeIndexEngine::Rebalance(TOperation& aOp, TDescent& aDescent, PnxBlock aNode,
                                                 uint32_t aBlock, int32_t aLevel) {
  const uint32_t count = Count(aNode);
  const bool leaf = Kind(aNode) == nxnkLeaf;
  if (aLevel == 0) {
    if (count > 0) return;
    if (leaf) {
      FreeNode(aOp, aNode);
      aOp.H().SetIndexRoot(nxNoNode);
      aOp.H().SetIndexPageCount(0);
      return;
    }
    const uint32_t child = LoadU32(aNode + ieTreePointerOffset[0]);
    FreeNode(aOp, aNode);
    aOp.H().SetIndexPageCount(aOp.H().GetIndexPageCount() - 1);
    aOp.H().SetIndexRoot(child);
    PnxBlock root = Node(aOp, child, true);
    SetPrev(root, nxNoNode);
    SetNext(root, nxNoNode);
    return;
  }
  const uint32_t half = ((leaf ? ieMaxLeafNodeKeyCount : ieMaxInternalNodeKeyCount) + 1u) / 2;
  if (count >= half) return;
  if (leaf)
    RebalanceLeaf(aOp, aDescent, aNode, aBlock, aLevel);
  else
    RebalanceInternal(aOp, aDescent, aNode, aBlock, aLevel);
}

void TnxStaticKeyBstarTreeIndexEngine::RebalanceLeaf(TOperation& aOp, TDescent& aDescent, PnxBlock aNode,
                                                     uint32_t aBlock, int32_t aLevel) {
  const uint32_t pair = ieSizeOfLeafNodeKeyPair;
  const uint32_t max = ieMaxLeafNodeKeyCount;
  const TLevel& up = aDescent.Levels[static_cast<size_t>(aLevel - 1)];
  PnxBlock parent = Node(aOp, up.Block, true);
  const uint32_t c = up.Slot;
  const uint32_t parentCount = Count(parent);
  if (Kind(parent) != nxnkInternal || c > parentCount) RaiseDamaged(up.Block);
  if (parentCount == 0) return;
  const bool fromLeft = c > 0;
  const uint32_t siblingBlock = LoadU32(parent + ieTreePointerOffset[fromLeft ? c - 1 : c + 1]);
  if (siblingBlock == aBlock) RaiseDamaged(up.Block);
  PnxBlock sibling = Node(aOp, siblingBlock, true);
  if (Kind(sibling) != nxnkLeaf) RaiseDamaged(siblingBlock);
  uint32_t first = First(aNode), count = Count(aNode);
  uint32_t sFirst = First(sibling), sCount = Count(sibling);
  if (sCount > (max + 1) / 2) {
    const uint32_t moved = (sCount + count) / 2 - count;
    if (fromLeft) {
      if (first < moved) {
        std::memmove(aNode + ieLeafNodeKeyOffset[moved], aNode + ieLeafNodeKeyOffset[first], count * pair);
        first = moved;
      }
      std::memcpy(aNode + ieLeafNodeKeyOffset[first - moved], sibling + ieLeafNodeKeyOffset[sFirst + sCount - moved],
                  moved * pair);
      const bool wasEmpty = count == 0;
      first -= moved;
      count += moved;
      sCount -= moved;
      SetFirst(aNode, first);
      SetCount(aNode, count);
      SetCount(sibling, sCount);
      std::memcpy(parent + ieInternalNodeKeyOffset[c - 1], sibling + ieLeafNodeKeyOffset[sFirst + sCount - 1],
                  ieNodeKeyLength);
      // An emptied leaf's separator still names the key deleted from it.
      if (wasEmpty) SetSeparatorFor(aOp, aDescent, aLevel - 1, c, aNode + ieLeafNodeKeyOffset[first + count - 1]);
    } else {
      if (first + count + moved > max) {
        const uint32_t centred = (max - moved - count) / 2;
        std::memmove(aNode + ieLeafNodeKeyOffset[centred], aNode + ieLeafNodeKeyOffset[first], count * pair);
        first = centred;
      }
      std::memcpy(aNode + ieLeafNodeKeyOffset[first + count], sibling + ieLeafNodeKeyOffset[sFirst], moved * pair);
      count += moved;
      SetFirst(aNode, first);
      SetCount(aNode, count);
      SetFirst(sibling, sFirst + moved);
      SetCount(sibling, sCount - moved);
      std::memcpy(parent + ieInternalNodeKeyOffset[c], aNode + ieLeafNodeKeyOffset[first + count - 1],
                  ieNodeKeyLength);
    }
    return;
  }
  // Merge the right one of the pair into the left one.
  PnxBlock left = fromLeft ? sibling : aNode;
  PnxBlock right = fromLeft ? aNode : sibling;
  const uint32_t rightChild = fromLeft ? c : c + 1;
  uint32_t lFirst = First(left), lCount = Count(left);
  const uint32_t rFirst = First(right), rCount = Count(right);
  if (lCount + rCount > max) return;
  if (lFirst + lCount + rCount > max) {
    const uint32_t centred = (max - rCount - lCount) / 2;
    std::memmove(left + ieLeafNodeKeyOffset[centred], left + ieLeafNodeKeyOffset[lFirst], lCount * pair);
    lFirst = centred;
  }
  std::memcpy(left + ieLeafNodeKeyOffset[lFirst + lCount], right + ieLeafNodeKeyOffset[rFirst], rCount * pair);
  lCount += rCount;
  SetFirst(left, lFirst);
  SetCount(left, lCount);
  const uint32_t leftBlock = BlockOf(left);
  const uint32_t rightNext = Next(right);
  SetNext(left, rightNext);
  if (rightNext != nxNoNode) {
    PnxBlock next = Node(aOp, rightNext, true);
    if (Kind(next) != nxnkLeaf) RaiseDamaged(rightNext);
    SetPrev(next, leftBlock);
  }
  RemoveFromInternal(parent, rightChild - 1);
  FreeNode(aOp, right);
  aOp.H().SetIndexPageCount(aOp.H().GetIndexPageCount() - 1);
  if (lCount > 0)
    SetSeparatorFor(aOp, aDescent, aLevel - 1, rightChild - 1, left + ieLeafNodeKeyOffset[lFirst + lCount - 1]);
  Rebalance(aOp, aDescent, parent, up.Block, aLevel - 1);
}

void TnxStaticKeyBstarTreeIndexEngine::RebalanceInternal(TOperation& aOp, TDescent& aDescent, PnxBlock aNode,
                                                         uint32_t aBlock, int32_t aLevel) {
  const uint32_t pair = ieSizeOfInternalNodeKeyPair;
  const uint32_t max = ieMaxInternalNodeKeyCount;
  const uint32_t keyLength = ieNodeKeyLength;
  const TLevel& up = aDescent.Levels[static_cast<size_t>(aLevel - 1)];
  PnxBlock parent = Node(aOp, up.Block, true);
  const uint32_t c = up.Slot;
  const uint32_t parentCount = Count(parent);
  if (Kind(parent) != nxnkInternal || c > parentCount) RaiseDamaged(up.Block);
  if (parentCount == 0) return;
  const bool fromLeft = c > 0;
  const uint32_t siblingBlock = LoadU32(parent + ieTreePointerOffset[fromLeft ? c - 1 : c + 1]);
  // A sibling that is this node or one of its ancestors is a damaged tree.
  if (siblingBlock == aBlock) RaiseDamaged(up.Block);
  for (int32_t level = 0; level < aLevel; ++level)
    if (aDescent.Levels[static_cast<size_t>(level)].Block == siblingBlock) RaiseDamaged(up.Block);
  PnxBlock sibling = Node(aOp, siblingBlock, true);
  if (Kind(sibling) != nxnkInternal) RaiseDamaged(siblingBlock);
  const uint32_t count = Count(aNode), sCount = Count(sibling);
  if (sCount > (max + 1) / 2) {
    if (fromLeft) {
      std::memmove(aNode + nxihBody + pair, aNode + nxihBody, count * pair + 4);
      StoreU32(aNode + ieTreePointerOffset[0], LoadU32(sibling + ieTreePointerOffset[sCount]));
      std::memcpy(aNode + ieInternalNodeKeyOffset[0], parent + ieInternalNodeKeyOffset[c - 1], keyLength);
      std::memcpy(parent + ieInternalNodeKeyOffset[c - 1], sibling + ieInternalNodeKeyOffset[sCount - 1], keyLength);
    } else {
      StoreU32(aNode + ieTreePointerOffset[count + 1], LoadU32(sibling + ieTreePointerOffset[0]));
      std::memcpy(aNode + ieInternalNodeKeyOffset[count], parent + ieInternalNodeKeyOffset[c], keyLength);
      std::memcpy(parent + ieInternalNodeKeyOffset[c], sibling + ieInternalNodeKeyOffset[0], keyLength);
      std::memmove(sibling + nxihBody, sibling + nxihBody + pair, (sCount - 1) * pair + 4);
    }
    SetCount(aNode, count + 1);
    SetCount(sibling, sCount - 1);
    return;
  }
  PnxBlock left = fromLeft ? sibling : aNode;
  PnxBlock right = fromLeft ? aNode : sibling;
  const uint32_t rightChild = fromLeft ? c : c + 1;
  const uint32_t lCount = Count(left), rCount = Count(right);
  if (lCount + rCount + 1 > max) return;
  std::memcpy(left + ieInternalNodeKeyOffset[lCount], parent + ieInternalNodeKeyOffset[rightChild - 1], keyLength);
  std::memcpy(left + ieTreePointerOffset[lCount + 1], right + nxihBody, rCount * pair + 4);
  SetCount(left, lCount + rCount + 1);
  RemoveFromInternal(parent, rightChild - 1);
  FreeNode(aOp, right);
  aOp.H().SetIndexPageCount(aOp.H().GetIndexPageCount() - 1);
  Rebalance(aOp, aDescent, parent, up.Block, aLevel - 1);
}

bool TnxStaticKeyBstarTreeIndexEngine::DeleteKey(TnxBaseTransaction& aTrans, const uint8_t* aKey, TnxRefNr aRefNr,
                                                 TnxRefNr aCacheRefNr, TnxBaseIndexPath* aPath) {
  TOperation op(*this, &aTrans, true);
  const uint32_t root = op.H().GetIndexRoot();
  if (root == nxNoNode) return false;
  MakeSearchKey(aKey, TieRef(aRefNr, aCacheRefNr));
  TDescent descent;
  Descend(op, root, descent);
  uint32_t slot;
  if (!SearchNode(descent.LeafNode, ieAddKeyRefsToKeys ? TSearch::ByKeyAndRef : TSearch::ByKey, slot))
    return false;
  PnxBlock leaf = Node(op, descent.Leaf, true);
  if (Kind(leaf) != nxnkLeaf) RaiseDamaged(descent.Leaf);
  const uint32_t first = First(leaf), count = Count(leaf);
  if (slot < first || slot >= first + count) RaiseDamaged(descent.Leaf);
  const bool wasLast = slot == first + count - 1;
  RemoveFromLeaf(leaf, slot);
  op.H().SetIndexKeyCount(op.H().GetIndexKeyCount() - 1);
  if (OwnPath(aPath)) {
    // Borrowing and merging below may move the neighbours: the path keeps
    // the deleted key and finds its crack again by a search when next used.
    aPath->Clear();
    aPath->RefNr = aRefNr;
    KeyEngine().CopyKey(aKey, aPath->KeyBuffer());
    aPath->KeyValid = true;
    if (ieIsCacheSeqAccess) aPath->CacheRefNr = static_cast<TnxRefNr>(LoadU64(aKey));
    aPath->Position = wasLast ? ippOnCrackAfter : ippOnCrackBefore;
    aPath->Deleted = true;
    if (auto* own = dynamic_cast<TnxStaticKeyBstarTreeIndexPath*>(aPath)) own->bpipPage = nxNoNode;
  }
  if (descent.Depth > 0 && wasLast && Count(leaf) > 0) {
    const TLevel& up = descent.Levels[static_cast<size_t>(descent.Depth - 1)];
    SetSeparatorFor(op, descent, descent.Depth - 1, up.Slot,
                    leaf + ieLeafNodeKeyOffset[uint32_t{First(leaf)} + Count(leaf) - 1]);
  }
  Rebalance(op, descent, leaf, descent.Leaf, descent.Depth);
  if (OwnPath(aPath) && op.H().GetIndexRoot() == nxNoNode) aPath->SetToBof();
  return true;
}

void TnxStaticKeyBstarTreeIndexEngine::DeleteAllKeys(TnxBaseTransaction& aTrans) {
  TOperation op(*this, &aTrans, true);
  const uint32_t root = op.H().GetIndexRoot();
  op.H().SetIndexRoot(nxNoNode);
  op.H().SetIndexPageCount(0);
  op.H().SetIndexKeyCount(0);
  if (root == nxNoNode) return;
  // Each node is held only while it is read or freed, so a large index
  // does not pin all its nodes at once; a node met twice is a damaged tree.
  std::vector<bool> seen(op.File().UsedBlocks(), false);
  uint32_t tick = 0;
  const auto fetch = [&](uint32_t aBlock, bool aMarkDirty, TnxBlockGuard& aGuard) {
    aGuard.Hold(nxReadIndexBlock(op.Trans, op.File(), IndicesEngine().bseID, aMarkDirty, aBlock,
                                 aGuard.ReleaseMethod()));
    const uint8_t kind = Kind(aGuard.Block());
    if (kind != nxnkLeaf && kind != nxnkInternal) RaiseDamaged(aBlock);
  };
  const auto free = [&](auto& aSelf, uint32_t aBlock, int32_t aDepth) -> void {
    if (aDepth > nxMaxTreeDepth || aBlock >= seen.size() || seen[aBlock]) RaiseDamaged(aBlock);
    seen[aBlock] = true;
    if (++tick % 256 == 0) nxCheckTimeout();
    std::vector<uint32_t> children;
    {
      TnxBlockGuard guard;
      fetch(aBlock, false, guard);
      const uint8_t* node = guard.Block();
      if (Kind(node) == nxnkInternal) {
        if (Count(node) > ieMaxInternalNodeKeyCount) RaiseDamaged(aBlock);
        for (uint32_t i = 0; i <= Count(node); ++i) children.push_back(LoadU32(node + ieTreePointerOffset[i]));
      }
    }
    for (uint32_t child : children) aSelf(aSelf, child, aDepth + 1);
    TnxBlockGuard guard;
    fetch(aBlock, true, guard);
    op.File().DeleteBlock(*op.Trans, guard.Block());
  };
  free(free, root, 0);
}

void TnxStaticKeyBstarTreeIndexEngine::GetKeyCount(TnxBaseTransaction* aTrans, uint32_t& aCount) {
  aCount = bieGetKeyCount(aTrans);
}

void nxStaticKeyBstarTreeStartup() {
  TnxStaticKeyBstarTreeIndexEngine::ClassInfo().Register(nxDefaultIndexEngine);
}

void nxStaticKeyBstarTreeShutdown() noexcept { TnxStaticKeyBstarTreeIndexEngine::ClassInfo().Unregister(); }

}  // namespace revurov
