// The two index families of the sub-engine registry: the indices engine of
// a table (one per table, owning one index engine per index descriptor) and
// the index engines, each chosen by the name its descriptor carries.
//
// Contract:
// - An unregistered name gives 15503 "Unknown indices engine: "<name>""
//   (EnxBaseIndicesEngineException) or "Unknown index engine: ..."
//   (EnxBaseIndexEngineException), from CreateEngine and from the checks.
// - The table check (CheckValid of the family) checks the indices engine's
//   name and every index descriptor's engine name.
// - A table holds at most 256 indices: more, or AddIndex of a number out of
//   step with the descriptor, gives 15425 before anything changes.
// - InsertKeys/UpdateKeys leave every index as it was when they fail: all
//   keys are built before any index changes, and a refused insert undoes
//   the earlier ones. An undo step that fails, and any failed delete of
//   DeleteKeys, marks the transaction corrupted (it can only roll back).
// - A refused insert or delete gives 9729 with the key-violation message
//   stored as the thread's last error (operation, file, index, key, RefNr).
// - The "current" fields name the key of the single index operation in
//   flight and are reset when it ends, also by an exception.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "dictionary/key_engine.h"
#include "index/index_block.h"
#include "storage/sub_engines.h"

namespace revurov {

namespace platform {
class TStringList;
}

class TnxBaseBulkBuilder;
class TnxBaseFilterEngine;
class TnxBaseIndexEngine;
class TnxBaseIndexHeaderAccess;
class TnxBaseIndexPath;
class TnxBaseIndicesEngine;
class TnxBaseIndicesDescriptor;
class TnxIndexDescriptor;

extern TnxClassRegistry nxIndicesEngines;
extern TnxClassRegistry nxIndexEngines;

inline constexpr int32_t nxMaxIndices = 256;
inline constexpr TnxRefNr nxNoCurrentRefNr = INT64_MAX;

enum TnxKeyErrorType : uint8_t { etInsert, etDelete, etModifyDelete, etModifyInsert, etBulkCreate };

// One bound of a key range; riValid false: the range is open that side.
struct TnxRangeInfo {
  const uint8_t* riKey = nullptr;
  int32_t riFieldCount = 0;
  int32_t riPartitial = 0;
  bool riExclusive = false;
  bool riValid = false;
};

using TnxIndexKeyIterator = std::function<TnxKeyIteratorResult(void* aCookie, TnxRefNr aRefNr, const uint8_t* aKey)>;

// What the indices family's virtual constructor gets beyond the common
// arguments (Descriptor: the indices descriptor).
struct TnxIndicesEngineArgs : TnxSubEngineArgs {
  TnxBaseRecordEngine* RecordEngine = nullptr;
  bool AddToExisting = false;
};

// The index family's (Descriptor: the index descriptor); the engine takes
// the key engine over.
struct TnxIndexEngineArgs : TnxSubEngineArgs {
  TnxBaseIndicesEngine* IndicesEngine = nullptr;
  std::unique_ptr<TnxBaseKeyEngine>* KeyEngine = nullptr;
};

class TnxBaseIndicesEngine : public TnxBaseSubEngine {
  REVUROV_REGISTERABLE_FAMILY(TnxBaseIndicesEngine, TnxBaseSubEngine, TnxSubEngineClass, &nxIndicesEngines,
                              &TnxBaseIndicesEngine::CheckValid)

  // aArgs is a TnxIndicesEngineArgs. Concrete constructors call
  // biseCreateIndices once, when their own preparation allows.
  explicit TnxBaseIndicesEngine(const TnxSubEngineArgs& aArgs);
  ~TnxBaseIndicesEngine() override;

  // Null for a null descriptor or a table without indices.
  static std::unique_ptr<TnxBaseIndicesEngine> CreateEngine(TnxBaseIndicesDescriptor* aDescriptor,
                                                            const TnxBlockAccessList& aFiles,
                                                            TnxBaseRecordEngine* aRecordEngine,
                                                            TnxBaseTransaction* aTrans, bool aAddToExisting);
  static std::unique_ptr<TnxBaseIndicesEngine> CreateEngine(TnxBaseTableDescriptor& aDictionary,
                                                            const TnxBlockAccessList& aFiles,
                                                            TnxBaseRecordEngine* aRecordEngine,
                                                            TnxBaseTransaction* aTrans, bool aAddToExisting);
  static void CheckValid(TnxBaseTableDescriptor& aDictionary);
  // The named class's own check, then every index descriptor's engine.
  static void CheckValidBaseFromDescriptor(TnxBaseIndicesDescriptor& aDescriptor);
  // The class registered under the descriptor's indices engine name.
  static const TnxSubEngineClass& EngineClassFor(const TnxBaseIndicesDescriptor& aDescriptor);

  virtual std::unique_ptr<TnxBaseIndexHeaderAccess> CreateHeaderAccess(TnxBaseTransaction* aTrans,
                                                                       bool aMarkFileDirty, bool aMarkIndexDirty,
                                                                       int32_t aFieldCount, int32_t aPartialLen,
                                                                       TnxBaseIndexEngine& aIndex) = 0;

  // aPath may be null; an index engine positions it only when it is its own.
  uint32_t InsertKeys(TnxBaseTransaction& aTrans, TnxRefNr aRefNr, const uint8_t* aRecord,
                      TnxBaseIndexPath* aPath);
  uint32_t DeleteKeys(TnxBaseTransaction& aTrans, TnxRefNr aRefNr, const uint8_t* aRecord,
                      TnxBaseIndexPath* aPath);
  uint32_t UpdateKeys(TnxBaseTransaction& aTrans, TnxRefNr aOldRefNr, const uint8_t* aOldRecord,
                      TnxRefNr aNewRefNr, const uint8_t* aNewRecord, TnxBaseIndexPath* aPath);

  // Follow a change of the descriptor the caller has already made: aIndex
  // is its new last index, or the one it no longer holds. AddIndex fills
  // the new index from the table's records (BuildIndexKeys); when that
  // fails the engine is as before and the transaction holds what was
  // written, for the caller to roll back.
  void AddIndex(TnxBaseTransaction& aTrans, int32_t aIndex);
  void RemoveIndex(TnxBaseTransaction& aTrans, int32_t aIndex);
  // Fills the empty index aIndex with a key of every record of the record
  // engine, through the index's bulk builder; nothing without a record
  // engine. Raises the builder's code (9729 for a duplicate key, with the
  // key-violation message kept).
  void BuildIndexKeys(TnxBaseTransaction& aTrans, int32_t aIndex);
  // Drops the engine of the last index without writing: the undo of an
  // AddIndex whose transaction is rolled back.
  void ForgetLastIndex() noexcept;
  // SaveAll of every index, each dump headed by a line with its name.
  void SaveAll(TnxBaseTransaction* aTrans, platform::TStringList& aLines);
  // Fills the empty indices from existing records (bulk_build.h): null
  // without indices, the index's own builder for one, else a hub.
  virtual std::unique_ptr<TnxBaseBulkBuilder> CreateBulkBuilder(TnxBaseTransaction& aTrans);

  TnxBaseIndexEngine& Indices(int32_t aInx) const { return *biseIndices[static_cast<size_t>(aInx)]; }
  TnxBlockAccess& Files(int32_t aInx) const { return *biseFiles[static_cast<size_t>(aInx)]; }
  int32_t IndexCount() const noexcept { return static_cast<int32_t>(biseIndices.size()); }
  int32_t FileCount() const noexcept { return static_cast<int32_t>(biseFiles.size()); }
  TnxBaseIndicesDescriptor& Descriptor() const noexcept { return biseDescriptor; }
  TnxBaseRecordEngine* RecordEngine() const noexcept { return biseRecordEngine; }
  TnxBaseIndexEngine* SeqIndexEngine() const noexcept { return biseSeqIndexEngine; }
  TnxBaseTransaction* CurrentTrans() const noexcept { return biseCurrentTrans; }
  TnxRefNr CurrentRefNr() const noexcept { return biseCurrentRefNr; }
  TnxRefNr CurrentCacheRefNr() const noexcept { return biseCurrentCacheRefNr; }
  const uint8_t* CurrentKey() const noexcept { return biseCurrentKey; }
  bool NLSVersionChanged() const noexcept { return biseNLSVersionChanged; }
  bool ContainsExtended() const noexcept { return biseContainsExtended; }
  int32_t RefNrOffset() const noexcept { return biseRefNrOffset; }
  // The table is a cache table.
  bool IsCache() const noexcept { return biseIsCache; }

protected:
  virtual void IndexAdded(TnxBaseTransaction& /*aTrans*/, int32_t /*aIndex*/) {}
  virtual void IndexRemoved(TnxBaseTransaction& /*aTrans*/, int32_t /*aIndex*/) {}
  // Index engines and key buffers for every index of the descriptor.
  void biseCreateIndices();
  [[noreturn]] static void RaiseIndexNumber(int32_t aIndex);

private:
  class TCurrentKey;
  std::unique_ptr<TnxBaseIndexEngine> NewIndexEngine(TnxIndexDescriptor& aDescriptor);
  void AppendIndex(std::unique_ptr<TnxBaseIndexEngine> aIndex);
  void AllocKeys();
  void FreeKeys() noexcept;
  TnxRefNr CacheRefNrOf(const uint8_t* aRecord) const noexcept;

  TnxBaseIndicesDescriptor& biseDescriptor;
  TnxBlockAccessList biseFiles;
  TnxBaseRecordEngine* biseRecordEngine;  // not owned
  std::vector<std::unique_ptr<TnxBaseIndexEngine>> biseIndices;
  TnxBaseIndexEngine* biseSeqIndexEngine = nullptr;
  bool biseIsCache = false;
  int32_t biseRefNrOffset = -1;
  bool biseKeysAllocated = false;
  std::vector<uint8_t*> biseNewKeys, biseOldKeys;  // each from its index's key engine
  std::vector<bool> biseNewKeysValid, biseOldKeysValid;
  std::vector<int32_t> biseComp;
  TnxBaseTransaction* biseCurrentTrans = nullptr;
  TnxRefNr biseCurrentRefNr = nxNoCurrentRefNr;
  TnxRefNr biseCurrentCacheRefNr = nxNoCurrentRefNr;
  const uint8_t* biseCurrentKey = nullptr;
  bool biseNLSVersionChanged = false;
  bool biseContainsExtended = false;
};

class TnxBaseIndexEngine : public TnxBaseSubEngine {
  REVUROV_REGISTERABLE_FAMILY(TnxBaseIndexEngine, TnxBaseSubEngine, TnxSubEngineClass, &nxIndexEngines)

  // aArgs is a TnxIndexEngineArgs.
  explicit TnxBaseIndexEngine(const TnxSubEngineArgs& aArgs);
  ~TnxBaseIndexEngine() override;

  static void CheckValidBaseFromDescriptor(TnxIndexDescriptor& aDescriptor);
  static const TnxSubEngineClass& EngineClassFor(const TnxIndexDescriptor& aDescriptor);

  // Writers pass (true, true, 0, 0), readers (false, false, ...).
  std::unique_ptr<TnxBaseIndexHeaderAccess> CreateHeaderAccess(TnxBaseTransaction* aTrans, bool aMarkFileDirty,
                                                               bool aMarkIndexDirty, int32_t aFieldCount,
                                                               int32_t aPartialLen);
  // A path of this engine's class; engines with position fields of their
  // own return their own class.
  virtual std::unique_ptr<TnxBaseIndexPath> CreateIndexPath();
  // The builder that fills this (empty) index; here one that inserts key by
  // key. 15511 for an index that is not empty.
  virtual std::unique_ptr<TnxBaseBulkBuilder> CreateBulkBuilder(TnxBaseTransaction& aTrans);
  virtual void DeleteAllKeys(TnxBaseTransaction& aTrans) = 0;
  // False: the key is not there.
  virtual bool DeleteKey(TnxBaseTransaction& aTrans, const uint8_t* aKey, TnxRefNr aRefNr,
                         TnxRefNr aCacheRefNr, TnxBaseIndexPath* aPath) = 0;
  // False: the key may not go in (duplicate).
  virtual bool InsertKey(TnxBaseTransaction& aTrans, const uint8_t* aKey, TnxRefNr aRefNr,
                         TnxRefNr aCacheRefNr, TnxBaseIndexPath* aPath) = 0;
  virtual void GetKeyCount(TnxBaseTransaction* aTrans, uint32_t& aCount) = 0;

  // Reading the index. An engine that cannot answer one of these raises
  // 12289 naming the operation and its class.
  // Brings a path up to date after the index may have changed.
  virtual void ValidateIndexPath(TnxBaseTransaction* aTrans, TnxBaseIndexPath& aPath);
  virtual bool FindKey(TnxBaseTransaction* aTrans, const uint8_t* aKey, int32_t aFieldCount, int32_t aPartialLen,
                       TnxRefNr aRefNr, TnxBaseIndexPath& aPath, TnxSearchKeyAction aAction,
                       TnxBaseFilterEngine* aKeyFilter);
  virtual bool NextKey(TnxBaseTransaction* aTrans, TnxBaseIndexPath& aPath, TnxBaseFilterEngine* aKeyFilter);
  virtual bool PrevKey(TnxBaseTransaction* aTrans, TnxBaseIndexPath& aPath, TnxBaseFilterEngine* aKeyFilter);
  // aPath null: a path of the engine's own for the walk.
  virtual void Iterate(TnxBaseTransaction* aTrans, TnxBaseIndexPath* aPath, PnxRecordBuffer* aData,
                       const TnxIndexKeyIterator& aKeyIterator, const TnxStorageRecordIterator& aRecIterator,
                       void* aCookie, const TnxRangeInfo& aRangeStart, const TnxRangeInfo& aRangeEnd,
                       TnxBaseFilterEngine* aFilter, TnxBaseFilterEngine* aKeyFilter, bool aKeepPosition);
  virtual void IterateBackward(TnxBaseTransaction* aTrans, TnxBaseIndexPath* aPath, PnxRecordBuffer* aData,
                               const TnxIndexKeyIterator& aKeyIterator, const TnxStorageRecordIterator& aRecIterator,
                               void* aCookie, const TnxRangeInfo& aRangeStart, const TnxRangeInfo& aRangeEnd,
                               TnxBaseFilterEngine* aFilter, TnxBaseFilterEngine* aKeyFilter, bool aKeepPosition);
  virtual uint32_t RecNoGet(TnxBaseTransaction* aTrans, TnxBaseIndexPath& aPath, const TnxRangeInfo& aRangeStart,
                            const TnxRangeInfo& aRangeEnd, TnxBaseFilterEngine* aFilter,
                            TnxBaseFilterEngine* aKeyFilter, uint32_t& aRecNo, bool aFlipOrder);
  virtual uint32_t RecNoSet(TnxBaseTransaction* aTrans, uint32_t aRecNo, TnxBaseIndexPath& aPath,
                            const TnxRangeInfo& aRangeStart, const TnxRangeInfo& aRangeEnd,
                            TnxBaseFilterEngine* aFilter, TnxBaseFilterEngine* aKeyFilter, bool aFlipOrder);
  virtual uint32_t EstimateRecordCount(TnxBaseTransaction* aTrans, const TnxRangeInfo& aRangeStart,
                                       const TnxRangeInfo& aRangeEnd, uint32_t& aRecordCount, bool aFlipOrder);

  // Every key in index order, one line each: the RefNr in 16 hex digits,
  // ": ", the key as text. Diagnostics; the caller keeps the list.
  void SaveAll(TnxBaseTransaction* aTrans, platform::TStringList& aLines);
  // Adds the index's number, name, duplicate rules and key engine.
  void GetExceptionData(InxExceptionDataContainer& aContainer, bool aFlag) override;
  // Stores the key-violation message as the thread's last error; 9729.
  virtual uint32_t GetKeyError(TnxKeyErrorType aErrorType, const uint8_t* aKey, TnxRefNr aRefNr);
  virtual TnxRefNr SeqAccessLookup(TnxBaseTransaction* /*aTrans*/, TnxRefNr /*aCacheRefNr*/,
                                   TnxBaseIndexPath* /*aPath*/) {
    return 0;
  }
  // The stored key count, through a reading header accessor.
  uint32_t bieGetKeyCount(TnxBaseTransaction* aTrans);

  TnxBaseIndicesEngine& IndicesEngine() const noexcept { return bieIndicesEngine; }
  TnxBaseKeyEngine& KeyEngine() const noexcept { return *bieKeyEngine; }
  TnxBookmarkHandler& BookmarkHandler() const noexcept { return *bieBookmarkHandler; }
  TnxBlockAccess& IndexFile() const noexcept { return bieIndexFile; }
  int32_t IndexNumber() const noexcept { return bieIndexNumber; }
  const std::u16string& IndexName() const noexcept { return bieIndexName; }
  bool Dups() const noexcept { return bieDups; }
  bool DupsNullOnly() const noexcept { return bieDupsNullOnly; }
  bool KeysAreRefs() const noexcept { return bieKeysAreRefs; }

protected:
  [[noreturn]] void RaiseNotSupported(std::u16string_view aOperation) const;

private:
  friend class TnxBaseIndicesEngine;
  // RemoveIndex renumbers the later engines and their bookmarks.
  void Renumber(int32_t aIndexNumber);

  TnxBaseIndicesEngine& bieIndicesEngine;
  std::unique_ptr<TnxBaseKeyEngine> bieKeyEngine;
  std::unique_ptr<TnxBookmarkHandler> bieBookmarkHandler;
  TnxBlockAccess& bieIndexFile;
  int32_t bieIndexNumber;
  std::u16string bieIndexName;
  bool bieDups;
  bool bieDupsNullOnly;
  bool bieKeysAreRefs;
  int32_t bieMaxFieldCount;
  int32_t bieRefNrOffset;
};

// The persistent values of one index, wherever its indices engine keeps
// them; lives for one operation.
class TnxBaseIndexHeaderAccess : public TnxObject {
public:
  TnxBaseIndexHeaderAccess(TnxBaseTransaction* aTrans, bool aMarkFileDirty, bool aMarkIndexDirty,
                           int32_t aFieldCount, int32_t aPartialLen, TnxBaseIndexEngine& aIndex);
  ~TnxBaseIndexHeaderAccess() override;

  virtual uint32_t GetIndexRoot() = 0;
  virtual void SetIndexRoot(uint32_t aValue) = 0;
  virtual uint32_t GetIndexPageCount() = 0;
  virtual void SetIndexPageCount(uint32_t aValue) = 0;
  virtual uint32_t GetIndexKeyCount() = 0;
  virtual void SetIndexKeyCount(uint32_t aValue) = 0;
  virtual TnxLSN GetIndexLSN() = 0;

  // The index file's header accessor for (trans, file dirty), made once.
  TnxBaseFileHeaderAccess& FileHeader();
  void SetCompareDate(int32_t aFieldCount, int32_t aPartialLen) noexcept {
    bhaFieldCount = aFieldCount;
    bhaPartialLen = aPartialLen;
  }

protected:
  TnxBaseTransaction* bhaTrans;
  bool bhaFileMarkDirty;
  bool bhaIndexMarkDirty;
  int32_t bhaID;
  TnxBaseIndexEngine& bhaIndex;
  std::unique_ptr<TnxBaseFileHeaderAccess> bhaFileHeader;
  int32_t bhaFieldCount;
  int32_t bhaPartialLen;
};

// Start-up unit: the indices-engine family joins the family list.
void nxIndexEngineFamiliesStartup();
void nxIndexEngineFamiliesShutdown() noexcept;

}  // namespace revurov
