// The keyless B*-tree index engine ("KeylessBStarTree"): the static-key
// tree's shape and rules, but its nodes hold only 8-byte record references.
// The key of an entry is that of the record it names: the indices engine's
// key in flight for the reference being filed, else a key the operation's
// path has cached, else the record read as the transaction sees it.
//
// Contract:
// - Needs the table's record engine and refuses cache tables (12289);
//   puts no limit on the key length.
// - Equal keys are ordered by reference (CompareEntryRefs).
// - Every operation opens the key cache of its path (or of a path of its
//   own) and empties it when it ends, also by an exception.
// - Walks (Iterate, NextKey, PrevKey, record numbers) keep at most the key
//   of the entry they stand on, however many entries they pass.
#pragma once

#include <cstdint>
#include <memory>

#include "index/static_key_bstar_tree.h"

namespace revurov {

class TnxKeylessBstarTreeIndexPath;

REVUROV_EXCEPTION_CLASS(EnxKeylessBstarTreeIndexEngineException, EnxBaseIndexEngineException);

class TnxKeylessBstarTreeIndexEngine : public TnxStaticKeyBstarTreeIndexEngine {
  REVUROV_REGISTERABLE_RECORD(TnxKeylessBstarTreeIndexEngine, TnxStaticKeyBstarTreeIndexEngine, TnxSubEngineClass,
                              nullptr, &TnxKeylessBstarTreeIndexEngine::CheckValidFromDescriptor,
                              &nxNewSubEngine<TnxKeylessBstarTreeIndexEngine>)

  explicit TnxKeylessBstarTreeIndexEngine(const TnxSubEngineArgs& aArgs);
  ~TnxKeylessBstarTreeIndexEngine() override;

  // No key is stored: any key length goes.
  static void CheckValidFromDescriptor(TnxDictionaryItem& aDescriptor);

  bool DeleteKey(TnxBaseTransaction& aTrans, const uint8_t* aKey, TnxRefNr aRefNr, TnxRefNr aCacheRefNr,
                 TnxBaseIndexPath* aPath) override;
  bool InsertKey(TnxBaseTransaction& aTrans, const uint8_t* aKey, TnxRefNr aRefNr, TnxRefNr aCacheRefNr,
                 TnxBaseIndexPath* aPath) override;
  std::unique_ptr<TnxBaseBulkBuilder> CreateBulkBuilder(TnxBaseTransaction& aTrans) override;
  std::unique_ptr<TnxBaseIndexPath> CreateIndexPath() override;
  void ValidateIndexPath(TnxBaseTransaction* aTrans, TnxBaseIndexPath& aPath) override;
  bool FindKey(TnxBaseTransaction* aTrans, const uint8_t* aKey, int32_t aFieldCount, int32_t aPartialLen,
               TnxRefNr aRefNr, TnxBaseIndexPath& aPath, TnxSearchKeyAction aAction,
               TnxBaseFilterEngine* aKeyFilter) override;
  bool NextKey(TnxBaseTransaction* aTrans, TnxBaseIndexPath& aPath, TnxBaseFilterEngine* aKeyFilter) override;
  bool PrevKey(TnxBaseTransaction* aTrans, TnxBaseIndexPath& aPath, TnxBaseFilterEngine* aKeyFilter) override;
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
  uint32_t RecNoGetBackward(TnxBaseTransaction* aTrans, TnxBaseIndexPath& aPath, const TnxRangeInfo& aRangeStart,
                            const TnxRangeInfo& aRangeEnd, TnxBaseFilterEngine* aFilter,
                            TnxBaseFilterEngine* aKeyFilter, uint32_t& aRecNo);
  uint32_t RecNoSetBackward(TnxBaseTransaction* aTrans, uint32_t aRecNo, TnxBaseIndexPath& aPath,
                            const TnxRangeInfo& aRangeStart, const TnxRangeInfo& aRangeEnd,
                            TnxBaseFilterEngine* aFilter, TnxBaseFilterEngine* aKeyFilter);
  uint32_t EstimateRecordCount(TnxBaseTransaction* aTrans, const TnxRangeInfo& aRangeStart,
                               const TnxRangeInfo& aRangeEnd, uint32_t& aRecordCount, bool aFlipOrder) override;
  TnxRefNr SeqAccessLookup(TnxBaseTransaction* aTrans, TnxRefNr aCacheRefNr, TnxBaseIndexPath* aPath) override;

protected:
  struct TForCacheTables {};
  // No checks: the cache-table engine makes its own.
  TnxKeylessBstarTreeIndexEngine(const TnxSubEngineArgs& aArgs, TForCacheTables);

  // Orders two entries whose keys are equal: the search's reference
  // against the entry's.
  virtual int CompareEntryRefs(TnxRefNr aSearch, TnxRefNr aEntry) const;
  // aKey against the entry of aRefNr, equal keys then by aSearchRef against
  // the entry's reference.
  virtual int CompareToEntryByRef(const uint8_t* aKey, int32_t aFieldCount, int32_t aPartialLen, TnxRefNr aRefNr,
                                  TnxRefNr aSearchRef) const;
  [[noreturn]] void RaiseKeyNotBuilt(uint32_t aCode, TnxRefNr aRefNr) const override;
  // The indices engine is filing aRefNr in the operation's transaction.
  bool InFlight(TnxRefNr aRefNr) const noexcept;
  // Set while an insert runs: its key and RefNr, for the path set on it.
  bool IsInsertedEntry(TnxRefNr aRefNr) const noexcept { return ieInsertKey && aRefNr == ieInsertRefNr; }

  // The key of an entry under the entry-key rule: the key in flight when
  // the indices engine is filing aRefNr in the operation's transaction.
  int CompareKeyToEntry(const uint8_t* aKey, int32_t aFieldCount, int32_t aPartialLen, TnxRefNr aRefNr) const;
  const uint8_t* EntryKey(bool aDontCreate, TnxRefNr aRefNr) const;
  void CopyEntryKey(TnxRefNr aRefNr, uint8_t* aKey) const;
  // The path whose key cache the running operation uses.
  TnxKeylessBstarTreeIndexPath& CachePath() const;

  bool SearchNode(const uint8_t* aNode, TSearch aSearch, uint32_t& aSlot) const override;
  bool SearchNav(const uint8_t* aNode, const TNavSearch& aSearch, uint32_t& aSlot) const override;
  void CopySlotKey(TnxBaseIndexPath& aPath, const uint8_t* aNode, uint32_t aSlot) const override;
  void WriteLeafSlot(PnxBlock aLeaf, uint32_t aSlot, const uint8_t* aKey, TnxRefNr aRefNr) override;

private:
  class TKeyCacheUse;
  // The RefNr of a leaf slot or the separator of an internal one.
  TnxRefNr SlotRefNr(const uint8_t* aNode, bool aLeaf, uint32_t aSlot) const noexcept;

  TnxKeylessBstarTreeIndexPath* ieCachePath = nullptr;  // of the running operation
  std::unique_ptr<TnxKeylessBstarTreeIndexPath> ieOwnPath;  // for operations without a path
  bool ieWalk = false;
  const uint8_t* ieInsertKey = nullptr;  // the key being inserted, for the path set on it
  TnxRefNr ieInsertRefNr = 0;
};

void nxKeylessBstarTreeStartup();
void nxKeylessBstarTreeShutdown() noexcept;

}  // namespace revurov
