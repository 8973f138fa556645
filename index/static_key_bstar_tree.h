// The default index engine ("nx1xDefault"): one index as a B*-tree of
// fixed-size "NXIH" nodes. Leaves hold the keys (each with its RefNr) in a
// window of slots and are chained both ways; internal nodes hold child
// block numbers and separators, each the largest key (with its RefNr when
// duplicates are allowed) of the subtree on its left.
//
// Contract:
// - InsertKey answers false for a duplicate (unique index; with NULL-only
//   duplicates, an equal key without NULLs) and changes nothing then.
//   DeleteKey answers false for a key that is not there.
// - Nodes come from disk and are checked before use: kind, index byte,
//   window within the node, child numbers within the file, descent depth
//   within 32 levels, walks bounded by the file's block count. A damaged
//   tree gives 15409/15424 naming the file, never a read outside a node.
// - Every node fetched by one operation is released when it ends, also
//   when it raises; all changes are made on the transaction's copies, so a
//   failure half-way leaves only what the rollback discards.
// - A freed node that is reused gets a fresh random high half in its
//   change counter, so a stale position never takes it for its old node.
// - Keys above 32 bytes take slots rounded up to 4 bytes. The descriptor
//   check raises the index file's block size until four internal and three
//   leaf pairs fit, else 15494 naming the index.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "index/bstar_node.h"
#include "index/index_engines.h"
#include "storage/release_method.h"

namespace revurov {

class TnxTreeBuilder;

REVUROV_EXCEPTION_CLASS(EnxStaticKeyBstarTreeIndexEngineException, EnxBaseIndexEngineException);

// Levels of internal nodes a descent may pass.
inline constexpr int32_t nxMaxTreeDepth = 32;

class TnxStaticKeyBstarTreeIndexPath;

class TnxStaticKeyBstarTreeIndexEngine : public TnxBaseIndexEngine {
  REVUROV_REGISTERABLE_RECORD(TnxStaticKeyBstarTreeIndexEngine, TnxBaseIndexEngine, TnxSubEngineClass, nullptr,
                              &TnxStaticKeyBstarTreeIndexEngine::CheckValidFromDescriptor,
                              &nxNewSubEngine<TnxStaticKeyBstarTreeIndexEngine>)

  explicit TnxStaticKeyBstarTreeIndexEngine(const TnxSubEngineArgs& aArgs);
  ~TnxStaticKeyBstarTreeIndexEngine() override;

  // aDescriptor is an index descriptor.
  static void CheckValidFromDescriptor(TnxDictionaryItem& aDescriptor);

  void DeleteAllKeys(TnxBaseTransaction& aTrans) override;
  bool DeleteKey(TnxBaseTransaction& aTrans, const uint8_t* aKey, TnxRefNr aRefNr, TnxRefNr aCacheRefNr,
                 TnxBaseIndexPath* aPath) override;
  bool InsertKey(TnxBaseTransaction& aTrans, const uint8_t* aKey, TnxRefNr aRefNr, TnxRefNr aCacheRefNr,
                 TnxBaseIndexPath* aPath) override;
  void GetKeyCount(TnxBaseTransaction* aTrans, uint32_t& aCount) override;
  // Sorts the keys and writes the tree bottom-up (bulk_build_static_key.h).
  std::unique_ptr<TnxBaseBulkBuilder> CreateBulkBuilder(TnxBaseTransaction& aTrans) override;

  // Reading. Paths must be this engine's own (CreateIndexPath), else 9986.
  std::unique_ptr<TnxBaseIndexPath> CreateIndexPath() override;
  void ValidateIndexPath(TnxBaseTransaction* aTrans, TnxBaseIndexPath& aPath) override;
  bool FindKey(TnxBaseTransaction* aTrans, const uint8_t* aKey, int32_t aFieldCount, int32_t aPartialLen,
               TnxRefNr aRefNr, TnxBaseIndexPath& aPath, TnxSearchKeyAction aAction,
               TnxBaseFilterEngine* aKeyFilter) override;
  bool NextKey(TnxBaseTransaction* aTrans, TnxBaseIndexPath& aPath, TnxBaseFilterEngine* aKeyFilter) override;
  bool PrevKey(TnxBaseTransaction* aTrans, TnxBaseIndexPath& aPath, TnxBaseFilterEngine* aKeyFilter) override;
  // A record iterator needs the table's record engine (12289). The
  // transaction is locked for the run; the deadline is tested per leaf.
  void Iterate(TnxBaseTransaction* aTrans, TnxBaseIndexPath* aPath, PnxRecordBuffer* aData,
               const TnxIndexKeyIterator& aKeyIterator, const TnxStorageRecordIterator& aRecIterator, void* aCookie,
               const TnxRangeInfo& aRangeStart, const TnxRangeInfo& aRangeEnd, TnxBaseFilterEngine* aFilter,
               TnxBaseFilterEngine* aKeyFilter, bool aKeepPosition) override;
  void IterateBackward(TnxBaseTransaction* aTrans, TnxBaseIndexPath* aPath, PnxRecordBuffer* aData,
                       const TnxIndexKeyIterator& aKeyIterator, const TnxStorageRecordIterator& aRecIterator,
                       void* aCookie, const TnxRangeInfo& aRangeStart, const TnxRangeInfo& aRangeEnd,
                       TnxBaseFilterEngine* aFilter, TnxBaseFilterEngine* aKeyFilter, bool aKeepPosition) override;
  uint32_t RecNoGet(TnxBaseTransaction* aTrans, TnxBaseIndexPath& aPath, const TnxRangeInfo& aRangeStart,
                    const TnxRangeInfo& aRangeEnd, TnxBaseFilterEngine* aFilter, TnxBaseFilterEngine* aKeyFilter,
                    uint32_t& aRecNo, bool aFlipOrder) override;
  uint32_t RecNoSet(TnxBaseTransaction* aTrans, uint32_t aRecNo, TnxBaseIndexPath& aPath,
                    const TnxRangeInfo& aRangeStart, const TnxRangeInfo& aRangeEnd, TnxBaseFilterEngine* aFilter,
                    TnxBaseFilterEngine* aKeyFilter, bool aFlipOrder) override;
  // Counted from the range's end.
  uint32_t RecNoGetBackward(TnxBaseTransaction* aTrans, TnxBaseIndexPath& aPath, const TnxRangeInfo& aRangeStart,
                            const TnxRangeInfo& aRangeEnd, TnxBaseFilterEngine* aFilter,
                            TnxBaseFilterEngine* aKeyFilter, uint32_t& aRecNo);
  uint32_t RecNoSetBackward(TnxBaseTransaction* aTrans, uint32_t aRecNo, TnxBaseIndexPath& aPath,
                            const TnxRangeInfo& aRangeStart, const TnxRangeInfo& aRangeEnd,
                            TnxBaseFilterEngine* aFilter, TnxBaseFilterEngine* aKeyFilter);
  // Exact when the range lies in one leaf; never above the key count.
  uint32_t EstimateRecordCount(TnxBaseTransaction* aTrans, const TnxRangeInfo& aRangeStart,
                               const TnxRangeInfo& aRangeEnd, uint32_t& aRecordCount, bool aFlipOrder) override;
  TnxRefNr SeqAccessLookup(TnxBaseTransaction* aTrans, TnxRefNr aCacheRefNr, TnxBaseIndexPath* aPath) override;

  // Geometry, for checkers of the node format.
  uint16_t DescKeyLength() const noexcept { return ieDescKeyLength; }
  uint16_t NodeKeyLength() const noexcept { return ieNodeKeyLength; }
  uint16_t MaxLeaf() const noexcept { return ieMaxLeafNodeKeyCount; }
  uint16_t MaxInternal() const noexcept { return ieMaxInternalNodeKeyCount; }
  bool AddKeyRefsToKeys() const noexcept { return ieAddKeyRefsToKeys; }
  uint32_t LeafKeyOffset(uint32_t aSlot) const { return ieLeafNodeKeyOffset[aSlot]; }
  uint32_t InternalKeyOffset(uint32_t aSlot) const { return ieInternalNodeKeyOffset[aSlot]; }
  uint32_t TreePointerOffset(uint32_t aSlot) const { return ieTreePointerOffset[aSlot]; }
  // The RefNr of a leaf slot.
  TnxRefNr LeafRefNr(const uint8_t* aNode, uint32_t aSlot) const noexcept;
  // Orders two node keys (NodeKeyLength bytes) as the tree does.
  int CompareNodeKeys(const uint8_t* aKey1, const uint8_t* aKey2) const;
  bool IsCacheSeqAccess() const noexcept { return ieIsCacheSeqAccess; }
  // Leaves hold only RefNrs, internal nodes only RefNrs as separators.
  bool IsKeyless() const noexcept { return ieKeyless; }

protected:
  // aKeyless: 8-byte slots, whose keys are those of the records they name.
  // Neither the cache-table check nor the key-length check applies then.
  TnxStaticKeyBstarTreeIndexEngine(const TnxSubEngineArgs& aArgs, bool aKeyless);

  // Makes nodes as inserts do.
  friend class TnxTreeBuilder;
  struct TLevel {
    uint32_t Block;
    uint32_t Slot;
  };
  // The descent from the root to a leaf: the internal levels passed.
  struct TDescent {
    std::array<TLevel, nxMaxTreeDepth> Levels;
    int32_t Depth = 0;
    uint32_t Leaf = nxNoNode;
    const uint8_t* LeafNode = nullptr;  // as read, held until the operation ends
  };
  enum class TSearch { ByKey, ByKeyAndRef, NullOnly };
  class TOperation;
  class TReader;
  // A search of the reading operations: by (key, RefNr), or over a field
  // count and partial length, going left (first equal), right (last
  // equal) or stopping on an equal key.
  struct TNavSearch {
    enum class TMode { ByKeyAndRef, Stop, Left, Right };
    const uint8_t* Key;
    TnxRefNr RefNr;
    int32_t FieldCount;
    int32_t PartialLen;
    TMode Mode;
    bstar_node::TEqualGoes Goes() const noexcept {
      return Mode == TMode::Left    ? bstar_node::TEqualGoes::Left
             : Mode == TMode::Right ? bstar_node::TEqualGoes::Right
                                    : bstar_node::TEqualGoes::Stop;
    }
  };
  // A node a descent passed: its first slot, its entries (keys in a leaf,
  // pointers in an internal node) and the slot taken.
  struct TNodeEntry {
    uint32_t Block, First, Count, Slot;
  };

  // Node access: checked, kept in the release list until the operation ends.
  PnxBlock Node(TOperation& aOp, uint32_t aBlock, bool aMarkDirty);
  PnxBlock NewNode(TOperation& aOp, uint8_t aKind);
  void FreeNode(TOperation& aOp, PnxBlock aNode);
  [[noreturn]] void RaiseDamaged(uint32_t aBlock) const;

  // What orders equal keys: of an entry being filed, and of a path.
  virtual TnxRefNr TieRef(TnxRefNr aRefNr, TnxRefNr /*aCacheRefNr*/) const noexcept { return aRefNr; }
  virtual TnxRefNr PathTieRef(const TnxBaseIndexPath& aPath) const noexcept;
  // Before a path is checked: its RefNr from its cache RefNr, its key from
  // its record. False: the path was cleared.
  virtual bool CompletePath(TnxBaseTransaction* aTrans, TnxBaseIndexPath& aPath);
  [[noreturn]] virtual void RaiseKeyNotBuilt(uint32_t aCode, TnxRefNr aRefNr) const;

  // The search key of this operation in node-key form (key, RefNr).
  void MakeSearchKey(const uint8_t* aKey, TnxRefNr aRefNr);
  virtual bool SearchNode(const uint8_t* aNode, TSearch aSearch, uint32_t& aSlot) const;
  void Descend(TOperation& aOp, uint32_t aRoot, TDescent& aDescent);
  bool NullOnlyDuplicateInNeighbour(TOperation& aOp, uint32_t aBlock);

  virtual void WriteLeafSlot(PnxBlock aLeaf, uint32_t aSlot, const uint8_t* aKey, TnxRefNr aRefNr);
  // The slot the key went to.
  uint32_t InsertIntoLeaf(PnxBlock aLeaf, uint32_t aSlot, const uint8_t* aKey, TnxRefNr aRefNr);
  // The leaf the key went to, and its slot in aSlot.
  PnxBlock SplitLeafAndInsert(TOperation& aOp, PnxBlock aLeaf, uint32_t& aSlot, const uint8_t* aKey,
                              TnxRefNr aRefNr);
  void InsertSeparators(TOperation& aOp, const TDescent& aDescent);

  void RemoveFromLeaf(PnxBlock aLeaf, uint32_t aSlot);
  void RemoveFromInternal(PnxBlock aNode, uint32_t aSlot);
  // Sets the separator of the node aDescent reaches at aLevel through slot
  // aChild to aKey, wherever up the tree it lives.
  void SetSeparatorFor(TOperation& aOp, const TDescent& aDescent, int32_t aLevel, uint32_t aChild,
                       const uint8_t* aKey);
  void Rebalance(TOperation& aOp, TDescent& aDescent, PnxBlock aNode, uint32_t aBlock, int32_t aLevel);
  void RebalanceLeaf(TOperation& aOp, TDescent& aDescent, PnxBlock aNode, uint32_t aBlock, int32_t aLevel);
  void RebalanceInternal(TOperation& aOp, TDescent& aDescent, PnxBlock aNode, uint32_t aBlock, int32_t aLevel);

  void SetPathOnKey(TnxBaseIndexPath* aPath, const uint8_t* aNode, uint32_t aSlot) const;
  bool NodeShapeOk(const uint8_t* aNode) const noexcept;

  // ---- reading ----
  TnxStaticKeyBstarTreeIndexPath& OwnPathOf(TnxBaseIndexPath& aPath) const;
  void SetOnSlot(TnxStaticKeyBstarTreeIndexPath& aPath, const uint8_t* aNode, uint32_t aSlot) const;
  virtual bool SearchNav(const uint8_t* aNode, const TNavSearch& aSearch, uint32_t& aSlot) const;
  // The key of a leaf slot into a path whose RefNr is already that slot's.
  virtual void CopySlotKey(TnxBaseIndexPath& aPath, const uint8_t* aNode, uint32_t aSlot) const;
  // The leaf a search reaches; aLevels, when given, gets every node passed.
  uint32_t DescendNav(TReader& aReader, const TNavSearch& aSearch, std::vector<TNodeEntry>* aLevels);
  uint32_t EdgeLeaf(TReader& aReader, bool aRightmost);
  bool Step(TReader& aReader, TnxStaticKeyBstarTreeIndexPath& aPath, TnxBaseFilterEngine* aKeyFilter, bool aBack,
            bool aWalk);
  // aRefNr switches on the search by (key, aTieRef) in an index with
  // duplicates.
  bool FindKeyIn(TReader& aReader, const uint8_t* aKey, int32_t aFieldCount, int32_t aPartialLen, TnxRefNr aRefNr,
                 TnxRefNr aTieRef, TnxStaticKeyBstarTreeIndexPath& aPath, TnxSearchKeyAction aAction,
                 TnxBaseFilterEngine* aKeyFilter);
  void ValidateIn(TReader& aReader, TnxStaticKeyBstarTreeIndexPath& aPath);
  bool FastCheck(TReader& aReader, TnxStaticKeyBstarTreeIndexPath& aPath);
  // On the first (aLast: the last) key of a range bound, or off every key.
  bool EdgeOfRange(TReader& aReader, const TnxRangeInfo& aBound, bool aLast, TnxStaticKeyBstarTreeIndexPath& aPath,
                   TnxBaseFilterEngine* aKeyFilter);
  bool KeyCounts(TnxBaseTransaction* aTrans, const TnxStaticKeyBstarTreeIndexPath& aPath,
                 TnxBaseFilterEngine* aFilter, TnxBaseFilterEngine* aKeyFilter);
  void IterateDir(bool aBack, TnxBaseTransaction* aTrans, TnxBaseIndexPath* aPath, PnxRecordBuffer* aData,
                  const TnxIndexKeyIterator& aKeyIterator, const TnxStorageRecordIterator& aRecIterator,
                  void* aCookie, const TnxRangeInfo& aRangeStart, const TnxRangeInfo& aRangeEnd,
                  TnxBaseFilterEngine* aFilter, TnxBaseFilterEngine* aKeyFilter, bool aKeepPosition);
  uint32_t RecNoGetDir(bool aBack, TnxBaseTransaction* aTrans, TnxBaseIndexPath& aPath,
                       const TnxRangeInfo& aRangeStart, const TnxRangeInfo& aRangeEnd, TnxBaseFilterEngine* aFilter,
                       TnxBaseFilterEngine* aKeyFilter, uint32_t& aRecNo);
  uint32_t RecNoSetDir(bool aBack, TnxBaseTransaction* aTrans, uint32_t aRecNo, TnxBaseIndexPath& aPath,
                       const TnxRangeInfo& aRangeStart, const TnxRangeInfo& aRangeEnd, TnxBaseFilterEngine* aFilter,
                       TnxBaseFilterEngine* aKeyFilter);
  bool OwnPath(const TnxBaseIndexPath* aPath) const noexcept;
  uint64_t NewChangeCounter(TnxBaseTransaction& aTrans);

  TnxBaseRecordEngine* ieRecordEngine;
  bool ieKeyless = false;
  bool ieIsCacheSeqAccess = false;
  uint16_t ieNodeKeyLength = 0;
  uint16_t ieMaxInternalNodeKeyCount = 0;
  uint16_t ieMaxLeafNodeKeyCount = 0;
  bool ieAddKeyRefsToKeys = false;
  uint16_t ieSizeOfLeafNodeKeyPair = 0;
  uint16_t ieDescKeyLength = 0;
  uint16_t ieSizeOfInternalNodeKeyPair = 0;
  // Where slot i lies in a node: first + i × step, worked out on each use
  // rather than kept in tables a table open would have to build.
  struct TSlotOffsets {
    uint32_t first = 0;
    uint32_t step = 0;
    uint32_t operator[](uint32_t aSlot) const noexcept { return first + aSlot * step; }
  };
  TSlotOffsets ieInternalNodeKeyOffset;
  TSlotOffsets ieInternalNodeKeyRefOffset;
  TSlotOffsets ieTreePointerOffset;
  TSlotOffsets ieLeafNodeKeyOffset;
  TSlotOffsets ieLeafNodeKeyRefOffset;
  std::vector<uint8_t> ieTempInsertKey;  // the separator going up
  uint32_t ieTempInsertBlock = nxNoNode;  // the new child going up
  std::vector<uint8_t> ieSearchKey;
  std::vector<uint8_t> ieScratch;  // an internal node and one pair more, made at the first split
  uint32_t ieScratchBytes = 0;
  TnxReleaseList ieReleaseList;
  std::array<uint16_t, 32> ieRandom{};
  uint32_t ieRandomLeft = 0;
};

void nxStaticKeyBstarTreeStartup();
void nxStaticKeyBstarTreeShutdown() noexcept;

}  // namespace revurov
