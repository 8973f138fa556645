// The sort engines: records of one layout go in with Put and come back in
// the order of an index the table need not have. TnxMergeSortEngine sorts
// in one memory buffer and, when more records come than fit, writes each
// sorted buffer as a run into a result-set table and merges the runs, five
// at a time.
//
// Contract:
// - Records are ordered by the sort index's CompareRecord on two record
//   buffers, with no further tie-break. All records are put before the
//   first read (Get, Iterate, IterateSameKey); a Put after that answers
//   9990.
// - The buffer holds at least two records, also for layouts longer than
//   the buffer: it then grows to two slots.
// - Runs keep the bytes exactly: their layout has no indices, defaults,
//   validations or required fields, and AutoInc, RecRev, RefNr and BLOB
//   fields are plain integers of the same width; inserts pass no insert
//   options. Run tables come from nxSortRunCreator (the server's start-up
//   fills it); without it a sort that needs a run fails with 12289.
// - Runs are written in batches, each in a transaction level of the run's
//   own (nested inside the caller's transaction, which a failed run leaves
//   usable), and read in batches.
// - The calling thread's deadline governs the whole sort: partitions test it
//   every 100 steps, merges every 1,000 records (15461), and the run
//   cursors' own operations do not move it.
// - Failures of writing a run are results of Put or of the switch to
//   reading; failures while merging raise EnxMergeSortEngineException with
//   the run cursor's code (the deadline's 15461 passes as raised). Either
//   way every run table made is freed at once and every later Put or read
//   answers the same code.
// - Reading past the last record, or from an engine that never got a
//   record, answers 8706.
// - An engine serves one thread at a time.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "engine/server_object.h"
#include "engine/sql_engine_classes.h"
#include "storage/server_exceptions.h"

namespace revurov {

class TnxAbstractCursor;
class TnxAbstractDatabase;
class TnxBatchStreamAccess;
class TnxBaseKeyEngine;
class TnxCompKeyEngine;
class TnxDataDictionary;
class TnxIndexDescriptor;

REVUROV_EXCEPTION_CLASS(EnxMergeSortEngineException, EnxServerException);

class TnxBaseSortEngine;

// A sort engine class: what the table cursor creates its sort engine
// through.
struct TnxSortEngineClass {
  std::u16string_view Name;
  std::unique_ptr<TnxBaseSortEngine> (*Create)(TnxAbstractDatabase* aDB, TnxDataDictionary& aDict,
                                               TnxIndexDescriptor& aIndexDesc) = nullptr;
};

// Nil until the merge engine's start-up; read and set atomically.
const TnxSortEngineClass* nxDefaultSortEngineClass() noexcept;
void nxSetDefaultSortEngineClass(const TnxSortEngineClass* aClass) noexcept;
const TnxSortEngineClass& nxMergeSortEngineClass() noexcept;

// A new run table of aDict's layout in aDB: a result-set table cursor with
// aTimeout. Raises what the creation raises.
using TnxSortRunCreator = TnxServerObjectPtr<TnxAbstractCursor> (*)(TnxAbstractDatabase* aDB,
                                                                    TnxDataDictionary& aDict, uint32_t aTimeout);
TnxSortRunCreator nxSortRunCreator() noexcept;
void nxSetSortRunCreator(TnxSortRunCreator aCreator) noexcept;

// The unit's start-up: the merge engine becomes the default class when none
// is set; its last shut-down clears the default when it still is the merge
// engine.
void nxMergeSortEngineStartup();
void nxMergeSortEngineShutdown();

class TnxBaseSortEngine : public TnxObject {
public:
  // bsDict: a copy of aDict whose only index is aIndexDesc; bsDictNoIdx:
  // the run layout (see the contract). Raises what the copies and the key
  // engine raise.
  TnxBaseSortEngine(TnxAbstractDatabase* aDB, TnxDataDictionary& aDict, TnxIndexDescriptor& aIndexDesc);
  ~TnxBaseSortEngine() override;

  virtual uint32_t Get(PnxRecordBuffer aRecord) = 0;
  virtual uint32_t Put(const uint8_t* aRecord) = 0;
  virtual bool Iterate(PnxRecordBuffer* aData, bool* aKeyChanged, const TnxRecordIterator& aIterator,
                       void* aCookie) = 0;
  virtual bool IterateSameKey(PnxRecordBuffer* aData, const TnxRecordIterator& aIterator, void* aCookie) = 0;

  TnxAbstractDatabase* DB() const noexcept { return bsDB; }
  TnxDataDictionary& Dict() const noexcept { return *bsDict; }
  TnxDataDictionary& DictNoIdx() const noexcept { return *bsDictNoIdx; }
  TnxBaseKeyEngine& KeyEngine() const noexcept { return *bsKeyEngine; }
  uint32_t RecLen() const noexcept { return bsRecLen; }
  uint32_t RecLenBuf() const noexcept { return bsRecLenBuf; }

protected:
  TnxAbstractDatabase* bsDB;  // not owned
  std::unique_ptr<TnxDataDictionary> bsDict;
  std::unique_ptr<TnxDataDictionary> bsDictNoIdx;
  std::unique_ptr<TnxBaseKeyEngine> bsKeyEngine;
  uint32_t bsRecLen = 0;
  uint32_t bsRecLenBuf = 0;
};

enum TnxSortState : uint8_t { nxspEmpty, nxspPutting, nxspGetting };

inline constexpr uint32_t nxSortBufferSize = 1048576;
inline constexpr int nxMaxMergeCursors = 5;

class TnxMergeSortEngine : public TnxBaseSortEngine {
public:
  static std::unique_ptr<TnxBaseSortEngine> New(TnxAbstractDatabase* aDB, TnxDataDictionary& aDict,
                                                TnxIndexDescriptor& aIndexDesc);

  // aBufferSize other than nxSortBufferSize only for tests that want runs
  // of a few records.
  TnxMergeSortEngine(TnxAbstractDatabase* aDB, TnxDataDictionary& aDict, TnxIndexDescriptor& aIndexDesc,
                     uint32_t aBufferSize = nxSortBufferSize);
  ~TnxMergeSortEngine() override;

  uint32_t Get(PnxRecordBuffer aRecord) override;
  uint32_t Put(const uint8_t* aRecord) override;
  bool Iterate(PnxRecordBuffer* aData, bool* aKeyChanged, const TnxRecordIterator& aIterator,
               void* aCookie) override;
  bool IterateSameKey(PnxRecordBuffer* aData, const TnxRecordIterator& aIterator, void* aCookie) override;

  uint32_t MaxRecCount() const noexcept { return msMaxRecCount; }
  uint32_t TotalCount() const noexcept { return msTotalCount; }
  TnxSortState State() const noexcept { return msState; }
  // Run tables not yet consumed.
  int32_t RunCount() const noexcept { return static_cast<int32_t>(msCursorList.size()); }
  // Runs written in all, intermediate merge outputs included.
  uint32_t RunsWritten() const noexcept { return msRunsWritten; }
  uint32_t MergeCursorCount() const noexcept { return msMergeCursorCount; }

private:
  struct MemFree {
    void operator()(void* aMem) const noexcept { nxFreeMem(aMem); }
  };
  using TMem = std::unique_ptr<uint8_t, MemFree>;
  static TMem NewMem(size_t aSize);
  // The buffer with the keys behind it; a block of the usual size goes to
  // the next engine instead of back to the heap.
  struct WorkMemRelease {
    WorkMemRelease() noexcept : Spare(false) {}
    explicit WorkMemRelease(bool aSpare) noexcept : Spare(aSpare) {}
    bool Spare;
    void operator()(uint8_t* aMem) const noexcept;
  };
  using TWorkMem = std::unique_ptr<uint8_t, WorkMemRelease>;
  static TWorkMem NewWorkMem(size_t aSize);

  struct MergeSlot {
    TnxAbstractCursor* Cursor = nullptr;  // owned by msCursorList
    uint8_t* Current = nullptr;           // its current record, in msMergeRecords
    uint8_t* Key = nullptr;               // its key, in msMergeKeys (with keys)
    // The records read ahead, the next one to take and whether the run
    // ends after them.
    std::unique_ptr<TnxBatchStreamAccess> Batch;
    bool LastBatch = false;
  };

  uint8_t* Slot(uint32_t aSlot) const noexcept { return msBuffer.get() + size_t{aSlot} * bsRecLenBuf; }
  // Before the sort entry i holds slot i's key (or its byte-order form) and
  // then its number.
  uint8_t* KeyEntry(uint32_t aPos) const noexcept { return msKeys + size_t{aPos} * msKeyEntryLen; }
  bool Less(const uint8_t* aRecord1, const uint8_t* aRecord2) const;
  // aRecord's key into aKey; raises what the key engine raises.
  void BuildKey(const uint8_t* aRecord, uint8_t* aKey) const;
  bool MergeLess(const MergeSlot& aSlot1, const MergeSlot& aSlot2) const;
  void SortBuffer();
  template <class TItem, class TSwap, class TPivot, class TLess>
  void QuickSort(TItem aItem, TSwap aSwap, TPivot aPivot, TLess aLess);
  template <class TLess>
  void SortKeyEntries(TLess aLess);
  uint32_t WriteRun() noexcept;
  TnxServerObjectPtr<TnxAbstractCursor> NewRun();
  // Records go to a run in batches, each inserted in a transaction of the
  // run's own.
  void BatchStart() noexcept;
  uint8_t* BatchNext() noexcept;
  uint32_t BatchFlush(TnxAbstractCursor& aRun);
  uint32_t SwitchToReading();
  void MergeIntermediate();
  void OpenMergeCursors();
  int SmallestMerged() const;
  void TakeMerged(int aInx, uint8_t* aTarget);
  // The slot's next record into Current (and its key): 0, 8706 at the
  // run's end, or the read's failure.
  uint32_t ReadMerged(MergeSlot& aSlot);
  // The next record, or nil at the end: a slot of the buffer or, while
  // merging, aScratch filled.
  const uint8_t* NextRecord(uint8_t* aScratch);
  const uint8_t* PeekRecord() const;
  uint32_t Fail(uint32_t aCode) noexcept;
  void FreeRuns() noexcept;
  void RemoveRun(TnxAbstractCursor* aCursor) noexcept;

  TWorkMem msBuffer;
  std::vector<uint32_t> msBufferRefs;
  uint32_t msBufferOffset = 0;
  std::vector<TnxServerObjectPtr<TnxAbstractCursor>> msCursorList;
  uint32_t msMaxRecCount = 0;
  std::array<MergeSlot, nxMaxMergeCursors> msMergeCursor{};
  uint16_t msMergeCursorCount = 0;
  TnxAbstractCursor* msOutputCursor = nullptr;  // owned by msCursorList
  TMem msRecBuffer;
  TMem msMergeRecords;  // the merge cursors' current records
  // The slots' keys, built once per record, and the merge cursors' current
  // keys; nil where the key is longer than a slot: records are compared
  // then.
  uint8_t* msKeys = nullptr;  // in msBuffer's block
  TMem msMergeKeys;
  uint32_t msKeyLen = 0;
  uint32_t msKeyEntryLen = 0;  // the key and a slot number, 8-byte aligned
  // Where the key engine has a byte-order form of its keys the entries hold
  // that form (msFormLen bytes), compared a word at a time without a call.
  const TnxCompKeyEngine* msFormEngine = nullptr;
  uint32_t msFormLen = 0;
  uint32_t msEntryRefOffset = 0;  // of the slot number in an entry
  TMem msKeyScratch;              // a key on its way to its form
  TMem msPivot;                // a copy of the pivot's key entry
  TMem msBatch;  // [4 free][count][length, record]...
  uint32_t msBatchMax = 0;
  uint32_t msBatchCount = 0;
  size_t msBatchOffset = 0;
  TMem msScratch;       // three records for the walks while merging
  uint32_t msRecCount = 0;
  uint32_t msRunIndex = 0;
  TnxSortState msState = nxspEmpty;
  uint32_t msTotalCount = 0;
  bool msMerging = false;
  uint32_t msFailure = 0;
  uint32_t msRunsWritten = 0;
};

}  // namespace revurov
