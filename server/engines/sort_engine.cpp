#include "server/engines/sort_engine.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <utility>

#include "dictionary/comp_key_engines.h"
#include "dictionary/data_dictionary.h"
#include "dictionary/field_descriptor.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/index_descriptor.h"
#include "dictionary/indices_descriptors.h"
#include "dictionary/key_engine.h"
#include "dictionary/locale_descriptor.h"
#include "engine/abstract_cursor.h"
#include "engine/batch_stream.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/streams/memory_stream.h"
#include "platform/endian.h"
#include "storage/deadline.h"

namespace revurov {

namespace {

const TnxSortEngineClass kMergeSortEngineClass{u"TnxMergeSortEngine", &TnxMergeSortEngine::New};

std::atomic<const TnxSortEngineClass*> gDefaultSortEngineClass{nullptr};
std::atomic<TnxSortRunCreator> gSortRunCreator{nullptr};

constexpr uint32_t kPartitionCheckSteps = 100;

// One sort's buffer and keys kept for the next: fresh memory costs a page
// fault per page, more than sorting what is in it.
constexpr size_t kSpareWorkMemSize = 2 * size_t{nxSortBufferSize};
std::atomic<uint8_t*> gSpareWorkMem{nullptr};
constexpr uint32_t kMergeCheckRecords = 1000;
constexpr int32_t kRunReadBytes = 128 * 1024;

// The run cursors' frames set the thread deadline from their own timeout;
// nested, they keep the sort's.
class TDeadlineNesting {
public:
  TDeadlineNesting() noexcept { nxEnterTimeoutNesting(); }
  ~TDeadlineNesting() { nxLeaveTimeoutNesting(); }
  TDeadlineNesting(const TDeadlineNesting&) = delete;
  TDeadlineNesting& operator=(const TDeadlineNesting&) = delete;
};

// A run stores and hands back bytes: fields whose insert would write them
// (AutoInc, RecRev, RefNr) or whose bytes name something of the source
// table (BLOB numbers) become integers of the same width; no defaults,
// validations or required flags come along.
TnxFieldType PlainRunFieldType(TnxFieldType aType) noexcept {
  switch (aType) {
    case nxtAutoInc:
    case nxtRecRev: return nxtWord32;
    case nxtRefNr:
    case nxtBlob:
    case nxtBlobMemo:
    case nxtBlobGraphic:
    case nxtBlobWideMemo: return nxtInt64;
    default: return aType;
  }
}

std::unique_ptr<TnxDataDictionary> NewRunLayout(const TnxDataDictionary& aSource) {
  auto layout = std::make_unique<TnxDataDictionary>();
  layout->RemoveIndicesDescriptor();
  const TnxFieldsDescriptor& fields = aSource.FieldsDescriptor();
  for (int32_t i = 0; i < fields.FieldCount(); ++i) {
    const TnxFieldDescriptor& source = *fields.FieldDescriptor(i);
    const TnxFieldType type = PlainRunFieldType(source.FieldType());
    const TnxFieldDescriptorClass* fieldClass =
        type == source.FieldType() ? &static_cast<const TnxFieldDescriptorClass&>(source.ClassType()) : nullptr;
    TnxFieldDescriptor* field = layout->FieldsDescriptor().AddField(source.Name(), source.Desc(), type,
                                                                    source.Units(), source.DecPl(), false, fieldClass);
    if (const TnxLocaleDescriptor* locale = source.LocaleDescriptor())
      field->AddLocaleDescriptor(&static_cast<const TnxLocaleDescriptorClass&>(locale->ClassType()))->Assign(locale);
    if (field->Offset() != source.Offset() || field->Length() != source.Length())
      throw EnxMergeSortEngineException(nxeInvalidRecordStructure, u"The sort run layout differs from the table's",
                                        {});
  }
  if (layout->FieldsDescriptor().RecordLength() != fields.RecordLength())
    throw EnxMergeSortEngineException(nxeInvalidRecordStructure, u"The sort run layout differs from the table's", {});
  return layout;
}

uint32_t CodeOf(const EnxBaseException& aException) noexcept {
  return aException.ErrorCode() != 0 ? aException.ErrorCode() : nxeUnknownException;
}

}  // namespace

const TnxSortEngineClass* nxDefaultSortEngineClass() noexcept {
  return gDefaultSortEngineClass.load(std::memory_order_acquire);
}

void nxSetDefaultSortEngineClass(const TnxSortEngineClass* aClass) noexcept {
  gDefaultSortEngineClass.store(aClass, std::memory_order_release);
}

const TnxSortEngineClass& nxMergeSortEngineClass() noexcept { return kMergeSortEngineClass; }

TnxSortRunCreator nxSortRunCreator() noexcept { return gSortRunCreator.load(std::memory_order_acquire); }

void nxSetSortRunCreator(TnxSortRunCreator aCreator) noexcept {
  gSortRunCreator.store(aCreator, std::memory_order_release);
}

void nxMergeSortEngineStartup() {
  const TnxSortEngineClass* none = nullptr;
  gDefaultSortEngineClass.compare_exchange_strong(none, &kMergeSortEngineClass);
}

void nxMergeSortEngineShutdown() {
  const TnxSortEngineClass* merge = &kMergeSortEngineClass;
  gDefaultSortEngineClass.compare_exchange_strong(merge, nullptr);
  if (uint8_t* spare = gSpareWorkMem.exchange(nullptr)) nxFreeMem(spare);
}

// ---- TnxBaseSortEngine ----

TnxBaseSortEngine::TnxBaseSortEngine(TnxAbstractDatabase* aDB, TnxDataDictionary& aDict,
                                     TnxIndexDescriptor& aIndexDesc)
    : bsDB(aDB) {
  bsDict = aDict.Duplicate();
  bsDict->RemoveIndicesDescriptor();
  bsDictNoIdx = NewRunLayout(*bsDict);
  // Adding hands the copy's ID to the descriptor; the caller's dictionary
  // keeps its own numbering.
  const int32_t id = aIndexDesc.ID();
  try {
    bsDict->EnsureIndicesDescriptor()->AddIndex(aIndexDesc);
  } catch (...) {
    aIndexDesc.SetID(id);
    throw;
  }
  aIndexDesc.SetID(id);
  bsRecLen = static_cast<uint32_t>(aDict.FieldsDescriptor().RecordLength());
  bsRecLenBuf = (bsRecLen + 15) & ~uint32_t{15};
  bsKeyEngine = TnxBaseKeyEngine::CreateFor(*bsDict->IndicesDescriptor()->IndexDescriptor(0)->KeyDescriptor());
}

TnxBaseSortEngine::~TnxBaseSortEngine() = default;

// ---- TnxMergeSortEngine ----

std::unique_ptr<TnxBaseSortEngine> TnxMergeSortEngine::New(TnxAbstractDatabase* aDB, TnxDataDictionary& aDict,
                                                           TnxIndexDescriptor& aIndexDesc) {
  return std::make_unique<TnxMergeSortEngine>(aDB, aDict, aIndexDesc);
}

TnxMergeSortEngine::TMem TnxMergeSortEngine::NewMem(size_t aSize) {
  return TMem(static_cast<uint8_t*>(nxGetMem(aSize)));
}

void TnxMergeSortEngine::WorkMemRelease::operator()(uint8_t* aMem) const noexcept {
  if (Spare) aMem = gSpareWorkMem.exchange(aMem);
  if (aMem) nxFreeMem(aMem);
}

TnxMergeSortEngine::TWorkMem TnxMergeSortEngine::NewWorkMem(size_t aSize) {
  if (aSize > kSpareWorkMemSize) return TWorkMem(static_cast<uint8_t*>(nxGetMem(aSize)));
  uint8_t* spare = gSpareWorkMem.exchange(nullptr);
  if (!spare) spare = static_cast<uint8_t*>(nxGetMem(kSpareWorkMemSize));
  return TWorkMem(spare, WorkMemRelease(true));
}

TnxMergeSortEngine::TnxMergeSortEngine(TnxAbstractDatabase* aDB, TnxDataDictionary& aDict,
                                       TnxIndexDescriptor& aIndexDesc, uint32_t aBufferSize)
    : TnxBaseSortEngine(aDB, aDict, aIndexDesc) {
  // A layout longer than half the buffer would give fewer than two slots,
  // and a buffer of one record writes a run per Put: two slots at least.
  msMaxRecCount = std::max<uint32_t>(aBufferSize / bsRecLenBuf, 2);
  msRecBuffer = NewMem(bsRecLenBuf);
  msMergeRecords = NewMem(size_t{nxMaxMergeCursors} * bsRecLenBuf);
  msScratch = NewMem(size_t{3} * bsRecLenBuf);
  msBufferRefs.resize(msMaxRecCount);
  // A key no longer than a slot costs at most as much memory again and is
  // built once per record instead of twice per comparison.
  msKeyLen = bsKeyEngine->KeyLength();
  msKeyEntryLen = (msKeyLen + 4 + 7) & ~uint32_t{7};
  msEntryRefOffset = msKeyLen;
  if (msKeyLen == 0 || msKeyEntryLen > bsRecLenBuf) msKeyLen = msKeyEntryLen = 0;
  if (msKeyLen != 0)
    if (const auto* comp = dynamic_cast<const TnxCompKeyEngine*>(bsKeyEngine.get())) {
      const auto formLen = static_cast<uint32_t>(comp->ByteOrderKeyLength());
      // The number sits behind the form, inside the last word compared
      // where there is room: the compare masks it off.
      const uint32_t refOffset = (formLen + 3) & ~uint32_t{3};
      const uint32_t entryLen = (refOffset + 4 + 7) & ~uint32_t{7};
      if (formLen != 0 && entryLen <= bsRecLenBuf) {
        msFormEngine = comp;
        msFormLen = formLen;
        msEntryRefOffset = refOffset;
        msKeyEntryLen = entryLen;
        msKeyScratch = NewMem(msKeyLen);
      }
    }
  const size_t recordBytes = size_t{msMaxRecCount} * bsRecLenBuf;
  msBuffer = NewWorkMem(recordBytes + size_t{msMaxRecCount} * msKeyEntryLen);
  if (msKeyLen != 0) {
    msKeys = msBuffer.get() + recordBytes;
    msMergeKeys = NewMem(size_t{nxMaxMergeCursors} * msKeyLen);
    msPivot = NewMem(msKeyEntryLen);
  }
  for (int i = 0; i < nxMaxMergeCursors; ++i) {
    MergeSlot& slot = msMergeCursor[static_cast<size_t>(i)];
    slot.Current = msMergeRecords.get() + size_t(i) * bsRecLenBuf;
    if (msKeyLen != 0) slot.Key = msMergeKeys.get() + size_t(i) * msKeyLen;
  }
}

TnxMergeSortEngine::~TnxMergeSortEngine() { FreeRuns(); }

void TnxMergeSortEngine::FreeRuns() noexcept {
  for (MergeSlot& slot : msMergeCursor) {
    slot.Batch.reset();
    slot.Cursor = nullptr;
  }
  msMergeCursorCount = 0;
  msOutputCursor = nullptr;
  TDeadlineNesting nesting;
  while (!msCursorList.empty()) msCursorList.pop_back();
}

void TnxMergeSortEngine::RemoveRun(TnxAbstractCursor* aCursor) noexcept {
  for (auto it = msCursorList.begin(); it != msCursorList.end(); ++it)
    if (it->get() == aCursor) {
      TDeadlineNesting nesting;
      msCursorList.erase(it);
      return;
    }
}

uint32_t TnxMergeSortEngine::Fail(uint32_t aCode) noexcept {
  FreeRuns();
  msFailure = aCode;
  return aCode;
}

bool TnxMergeSortEngine::Less(const uint8_t* aRecord1, const uint8_t* aRecord2) const {
  return bsKeyEngine->CompareRecord(aRecord1, aRecord2) < 0;
}

// CompareRecord builds both keys and compares them; a key built once
// answers the same.
void TnxMergeSortEngine::BuildKey(const uint8_t* aRecord, uint8_t* aKey) const {
  if (const uint32_t result = bsKeyEngine->BuildKey(aRecord, aKey, 0, true))
    throw EnxMergeSortEngineException(result);
}

bool TnxMergeSortEngine::MergeLess(const MergeSlot& aSlot1, const MergeSlot& aSlot2) const {
  return msKeyLen != 0 ? bsKeyEngine->CompareKey(aSlot1.Key, aSlot2.Key) < 0 : Less(aSlot1.Current, aSlot2.Current);
}

namespace {

// The first aLen bytes of two entries in byte order, eight at a time as
// big-endian numbers; the bytes behind aLen in the last word are masked.
class TFormLess {
public:
  explicit TFormLess(uint32_t aLen) noexcept
      : flWords((aLen + 7) / 8), flLastMask(aLen % 8 == 0 ? ~uint64_t{0} : (uint64_t{1} << (8 * (aLen % 8))) - 1) {}
  bool operator()(const uint8_t* a, const uint8_t* b) const noexcept {
    for (size_t w = 0; w + 1 < flWords; ++w, a += 8, b += 8) {
      const uint64_t x = Word(a), y = Word(b);
      if (x != y) return BigEndian(x) < BigEndian(y);
    }
    return BigEndian(Word(a) & flLastMask) < BigEndian(Word(b) & flLastMask);
  }

private:
  static uint64_t Word(const uint8_t* p) noexcept { return platform::LoadLE<uint64_t>(p); }
  // The word's first byte in memory counts most.
  static uint64_t BigEndian(uint64_t aLoaded) noexcept { return __builtin_bswap64(aLoaded); }
  size_t flWords;
  uint64_t flLastMask;
};

}  // namespace

void TnxMergeSortEngine::SortBuffer() {
  if (msFormEngine) {
    SortKeyEntries(TFormLess(msFormLen));
    return;
  }
  if (msKeyLen != 0) {
    if (const auto* comp = dynamic_cast<const TnxCompKeyEngine*>(bsKeyEngine.get()))
      SortKeyEntries([comp](const uint8_t* aKey1, const uint8_t* aKey2) { return comp->CompareKey(aKey1, aKey2) < 0; });
    else
      SortKeyEntries([this](const uint8_t* aKey1, const uint8_t* aKey2) {
        return bsKeyEngine->CompareKey(aKey1, aKey2) < 0;
      });
    return;
  }
  for (uint32_t i = 0; i < msRecCount; ++i) msBufferRefs[i] = i;
  if (msRecCount < 2) return;
  uint32_t* refs = msBufferRefs.data();
  auto record = [this, refs](int64_t aPos) -> const uint8_t* { return Slot(refs[aPos]); };
  QuickSort(
      record, [refs](int64_t aPos1, int64_t aPos2) { std::swap(refs[aPos1], refs[aPos2]); },
      // The pivot's record stays put while the references move.
      record, [this](const uint8_t* aRecord1, const uint8_t* aRecord2) { return Less(aRecord1, aRecord2); });
}

// The same quicksort over the key entries, which move instead of the
// references: the partitions then walk memory in order. The comparisons
// and swaps are the same, so the order is too.
template <class TLess>
void TnxMergeSortEngine::SortKeyEntries(TLess aLess) {
  const size_t stride = msKeyEntryLen;
  const size_t words = stride / 8;
  uint8_t* const keys = msKeys;
  if (msRecCount >= 2) {
    auto entry = [keys, stride](int64_t aPos) -> uint8_t* { return keys + size_t(aPos) * stride; };
    QuickSort(
        entry,
        [&](int64_t aPos1, int64_t aPos2) {
          uint8_t* a = entry(aPos1);
          uint8_t* b = entry(aPos2);
          for (size_t w = 0; w < words; ++w, a += 8, b += 8) {
            uint64_t x, y;
            std::memcpy(&x, a, 8);
            std::memcpy(&y, b, 8);
            std::memcpy(a, &y, 8);
            std::memcpy(b, &x, 8);
          }
        },
        [&](int64_t aPos) -> const uint8_t* {
          std::memcpy(msPivot.get(), entry(aPos), stride);
          return msPivot.get();
        },
        aLess);
  }
  for (uint32_t i = 0; i < msRecCount; ++i) std::memcpy(&msBufferRefs[i], KeyEntry(i) + msEntryRefOffset, 4);
}

// The quicksort of the first msRecCount positions: aItem(position) is what
// aLess compares, aSwap swaps two positions, aPivot(position) gives the
// pivot in a place the swaps leave alone.
template <class TItem, class TSwap, class TPivot, class TLess>
void TnxMergeSortEngine::QuickSort(TItem aItem, TSwap aSwap, TPivot aPivot, TLess aLess) {
  // Each pair on the stack is the larger side of a range whose smaller side
  // was sorted on; that smaller side holds at most half of the range, so
  // each further pair comes from a range at most half the size of the one
  // below it. With fewer than 2^32 records no more than 32 pairs are ever
  // waiting.
  struct Range {
    int64_t Low, High;
  };
  std::array<Range, 32> stack;
  size_t top = 0;
  stack[top++] = {0, int64_t{msRecCount} - 1};
  while (top > 0) {
    auto [low, high] = stack[--top];
    while (low < high) {
      int64_t i = low;
      int64_t j = high;
      const int64_t n = high - low + 1;
      int64_t pivotPos = low + n / 2;
      if (n > 15) {
        const int64_t mid = pivotPos;
        if (aLess(aItem(mid), aItem(low))) aSwap(mid, low);
        if (aLess(aItem(high), aItem(low))) aSwap(high, low);
        if (aLess(aItem(high), aItem(mid))) aSwap(high, mid);
        aSwap(mid, high - 1);
        pivotPos = high - 1;
        i = low + 1;
        j = high - 2;
      }
      const uint8_t* pivot = aPivot(pivotPos);
      uint32_t untilCheck = kPartitionCheckSteps;
      auto step = [&] {
        if (--untilCheck == 0) {
          untilCheck = kPartitionCheckSteps;
          nxCheckTimeout();
        }
      };
      do {
        while (aLess(aItem(i), pivot)) {
          ++i;
          step();
        }
        while (aLess(pivot, aItem(j))) {
          --j;
          step();
        }
        if (i == j) {
          ++i;
          --j;
        } else if (i < j) {
          aSwap(i, j);
          ++i;
          --j;
        }
        step();
      } while (j >= i);
      if (j - low < high - i) {
        if (high - i >= 1) stack[top++] = {i, high};
        high = j;
      } else {
        if (j - low >= 1) stack[top++] = {low, j};
        low = i;
      }
    }
  }
}

TnxServerObjectPtr<TnxAbstractCursor> TnxMergeSortEngine::NewRun() {
  const TnxSortRunCreator creator = nxSortRunCreator();
  if (!creator)
    throw EnxMergeSortEngineException(nxeCapabilityNotSupported, u"No table for the sort's runs can be made", {});
  const int32_t remaining = nxRemainingTimeout();
  TnxServerObjectPtr<TnxAbstractCursor> run = creator(bsDB, *bsDictNoIdx, static_cast<uint32_t>(remaining));
  ++msRunsWritten;
  // Its writes commit or roll back on their own, also inside the caller's
  // transaction, which a failed run must not spoil.
  run->RequestNestedTransactions();
  if (!msBatch) {
    msBatchMax = 4 * msMaxRecCount;
    msBatch = NewMem(8 + size_t{msBatchMax} * (4 + size_t{bsRecLen}));
  }
  return run;
}

void TnxMergeSortEngine::BatchStart() noexcept {
  msBatchCount = 0;
  msBatchOffset = 8;
}

// The place of the next record in the batch; nil when the batch is full.
uint8_t* TnxMergeSortEngine::BatchNext() noexcept {
  if (msBatchCount == msBatchMax) return nullptr;
  uint8_t* entry = msBatch.get() + msBatchOffset;
  platform::StoreLE<int32_t>(entry, static_cast<int32_t>(bsRecLen));
  msBatchOffset += 4 + size_t{bsRecLen};
  ++msBatchCount;
  return entry + 4;
}

uint32_t TnxMergeSortEngine::BatchFlush(TnxAbstractCursor& aRun) {
  if (msBatchCount == 0) return 0;
  platform::StoreLE<int32_t>(msBatch.get() + 4, static_cast<int32_t>(msBatchCount));
  TnxStaticMemoryStream stream(msBatch.get(), static_cast<int64_t>(msBatchOffset));
  BatchStart();
  return aRun.RecordInsertBatch(stream);
}

uint32_t TnxMergeSortEngine::WriteRun() noexcept {
  try {
    SortBuffer();
    TDeadlineNesting nesting;
    TnxServerObjectPtr<TnxAbstractCursor> run = NewRun();
    // A buffer's records go in one batch: the run is complete or absent.
    BatchStart();
    for (uint32_t i = 0; i < msRecCount; ++i) std::memcpy(BatchNext(), Slot(msBufferRefs[i]), bsRecLen);
    if (const uint32_t result = BatchFlush(*run)) return Fail(result);
    msCursorList.push_back(std::move(run));
    msRecCount = 0;
    msBufferOffset = 0;
    return 0;
  } catch (const EnxBaseException& e) {
    return Fail(CodeOf(e));
  } catch (...) {
    return Fail(nxeUnknownException);
  }
}

uint32_t TnxMergeSortEngine::Put(const uint8_t* aRecord) {
  if (msFailure != 0) return msFailure;
  if (msState == nxspGetting)
    return EnxBaseException::nxSetMessage(nxeInvalidHandle, u"Records are put before the first read");
  if (!aRecord) return EnxBaseException::nxSetMessage(nxeInvalidParameter, u"No record to put");
  msState = nxspPutting;
  if (msRecCount == msMaxRecCount) {
    const uint32_t result = WriteRun();
    if (result != 0) return result;
  }
  if (msKeyLen != 0) {
    try {
      uint8_t* entry = KeyEntry(msRecCount);
      if (msFormEngine) {
        BuildKey(aRecord, msKeyScratch.get());
        msFormEngine->BuildByteOrderKey(msKeyScratch.get(), entry);
      } else {
        BuildKey(aRecord, entry);
      }
      std::memcpy(entry + msEntryRefOffset, &msRecCount, 4);
    } catch (const EnxBaseException& e) {
      return CodeOf(e);
    }
  }
  std::memcpy(msBuffer.get() + msBufferOffset, aRecord, bsRecLen);
  msBufferOffset += bsRecLenBuf;
  ++msRecCount;
  ++msTotalCount;
  return 0;
}

uint32_t TnxMergeSortEngine::SwitchToReading() {
  if (msState == nxspGetting || msFailure != 0) return msFailure;
  msRunIndex = msRecCount;
  msState = nxspGetting;
  if (msRecCount == 0) return nxeAtEndOfTable;
  if (msCursorList.empty()) {
    try {
      SortBuffer();
    } catch (const EnxBaseException& e) {
      return Fail(CodeOf(e));
    }
    msRunIndex = 0;
    return 0;
  }
  const uint32_t result = WriteRun();
  if (result != 0) return result;
  msMerging = true;
  try {
    TDeadlineNesting nesting;
    while (msCursorList.size() > nxMaxMergeCursors) MergeIntermediate();
    OpenMergeCursors();
  } catch (const EnxBaseException& e) {
    Fail(CodeOf(e));
    throw;
  } catch (...) {
    Fail(nxeUnknownException);
    throw;
  }
  return 0;
}

void TnxMergeSortEngine::OpenMergeCursors() {
  msMergeCursorCount = 0;
  const size_t count = std::min<size_t>(nxMaxMergeCursors, msCursorList.size());
  for (size_t i = 0; i < count; ++i) {
    TnxAbstractCursor* cursor = msCursorList[i].get();
    MergeSlot& slot = msMergeCursor[msMergeCursorCount];
    slot.Batch.reset();
    slot.LastBatch = false;
    slot.Cursor = cursor;
    uint32_t result = cursor->SetToBegin();
    if (result == 0) result = ReadMerged(slot);
    if (result != 0) {
      slot.Batch.reset();
      throw EnxMergeSortEngineException(result);
    }
    slot.Cursor = cursor;
    ++msMergeCursorCount;
  }
}

void TnxMergeSortEngine::MergeIntermediate() {
  OpenMergeCursors();
  TnxServerObjectPtr<TnxAbstractCursor> output = NewRun();
  msOutputCursor = output.get();
  msCursorList.push_back(std::move(output));
  uint32_t merged = 0;
  BatchStart();
  while (msMergeCursorCount > 0) {
    if (merged++ % kMergeCheckRecords == 0) nxCheckTimeout();
    uint8_t* target = BatchNext();
    if (!target) {
      if (const uint32_t result = BatchFlush(*msOutputCursor)) throw EnxMergeSortEngineException(result);
      target = BatchNext();
    }
    TakeMerged(SmallestMerged(), target);
  }
  if (const uint32_t result = BatchFlush(*msOutputCursor)) throw EnxMergeSortEngineException(result);
  msOutputCursor = nullptr;
}

int TnxMergeSortEngine::SmallestMerged() const {
  int smallest = 0;
  for (int i = 1; i < msMergeCursorCount; ++i)
    if (MergeLess(msMergeCursor[size_t(i)], msMergeCursor[size_t(smallest)])) smallest = i;
  return smallest;
}

void TnxMergeSortEngine::TakeMerged(int aInx, uint8_t* aTarget) {
  MergeSlot& slot = msMergeCursor[size_t(aInx)];
  if (aTarget) std::memcpy(aTarget, slot.Current, bsRecLen);
  const uint32_t result = ReadMerged(slot);
  if (result == 0) return;
  if (result != nxeAtEndOfTable) throw EnxMergeSortEngineException(result);
  slot.Batch.reset();
  RemoveRun(slot.Cursor);
  --msMergeCursorCount;
  // The last merge cursor takes the freed place, its record buffer with it.
  std::swap(slot, msMergeCursor[msMergeCursorCount]);
  msMergeCursor[msMergeCursorCount].Cursor = nullptr;
}

// Runs are read a batch at a time: one call per record would cost more
// than the merge.
uint32_t TnxMergeSortEngine::ReadMerged(MergeSlot& aSlot) {
  TnxBatchStreamEntry entry;
  while (!aSlot.Batch || !aSlot.Batch->Next(entry)) {
    if (aSlot.LastBatch) return nxeAtEndOfTable;
    TnxBatchStreamAccess* batch = aSlot.Batch.release();
    const uint32_t result = aSlot.Cursor->RecordGetBatch(kRunReadBytes, 0, batch, 0, true);
    aSlot.Batch.reset(batch);
    if (result != 0) return result;
    const uint32_t status = batch ? batch->InnerError() : nxeInvalidParameter;
    if (status != 0 && status != nxeAtEndOfTable) return status;
    // A batch that brought nothing and did not reach the end would bring
    // nothing again.
    aSlot.LastBatch = status != 0 || batch->Count() == 0;
  }
  if (entry.bseResult != 0) return entry.bseResult;
  const uint8_t* record = entry.Record();
  if (!record || entry.bseSize < bsRecLen) return nxeInvalidRecordStructure;
  // Copied: the batch's records are not aligned, and the caller keeps the
  // record beyond the next read.
  std::memcpy(aSlot.Current, record, bsRecLen);
  if (msKeyLen != 0) BuildKey(aSlot.Current, aSlot.Key);
  return 0;
}

const uint8_t* TnxMergeSortEngine::PeekRecord() const {
  if (msMerging) return msMergeCursorCount > 0 ? msMergeCursor[size_t(SmallestMerged())].Current : nullptr;
  return msRunIndex < msRecCount ? Slot(msBufferRefs[msRunIndex]) : nullptr;
}

const uint8_t* TnxMergeSortEngine::NextRecord(uint8_t* aScratch) {
  if (msMerging) {
    if (msMergeCursorCount == 0) return nullptr;
    try {
      TDeadlineNesting nesting;
      TakeMerged(SmallestMerged(), aScratch);
    } catch (const EnxBaseException& e) {
      Fail(CodeOf(e));
      throw;
    }
    return aScratch;
  }
  if (msRunIndex >= msRecCount) return nullptr;
  return Slot(msBufferRefs[msRunIndex++]);
}

uint32_t TnxMergeSortEngine::Get(PnxRecordBuffer aRecord) {
  uint32_t result = SwitchToReading();
  if (result != 0) return result;
  const uint8_t* record = NextRecord(msScratch.get());
  if (!record) return nxeAtEndOfTable;
  if (aRecord) std::memcpy(aRecord, record, bsRecLen);
  return 0;
}

bool TnxMergeSortEngine::Iterate(PnxRecordBuffer* aData, bool* aKeyChanged, const TnxRecordIterator& aIterator,
                                 void* aCookie) {
  if (SwitchToReading() != 0) return false;
  PnxRecordBuffer local = nullptr;
  PnxRecordBuffer* data = aData ? aData : &local;
  const bool copy = *data != nullptr;
  const uint8_t* previous = nullptr;
  int scratch = 0;
  bool any = false;
  while (const uint8_t* record = NextRecord(msScratch.get() + size_t(scratch) * bsRecLenBuf)) {
    scratch ^= 1;
    if (aKeyChanged) *aKeyChanged = !previous || bsKeyEngine->CompareRecord(previous, record) != 0;
    previous = record;
    if (copy)
      std::memcpy(*data, record, bsRecLen);
    else
      *data = const_cast<uint8_t*>(record);
    any = true;
    if (aIterator(*data, aCookie) == rirStop) return false;
  }
  return any;
}

bool TnxMergeSortEngine::IterateSameKey(PnxRecordBuffer* aData, const TnxRecordIterator& aIterator,
                                        void* aCookie) {
  if (SwitchToReading() != 0) return false;
  PnxRecordBuffer local = nullptr;
  PnxRecordBuffer* data = aData ? aData : &local;
  const bool copy = *data != nullptr;
  const uint8_t* first = nullptr;
  int scratch = 0;
  bool any = false;
  for (;;) {
    if (first) {
      const uint8_t* next = PeekRecord();
      if (!next || bsKeyEngine->CompareRecord(first, next) != 0) break;
    }
    // While merging, the group's first record keeps scratch 0 for the key
    // test; the others alternate over 1 and 2 so the previous stays valid.
    const uint8_t* record = NextRecord(msScratch.get() + size_t(scratch) * bsRecLenBuf);
    if (!record) break;
    if (!first) first = record;
    scratch = scratch == 1 ? 2 : 1;
    if (copy)
      std::memcpy(*data, record, bsRecLen);
    else
      *data = const_cast<uint8_t*>(record);
    any = true;
    if (aIterator(*data, aCookie) == rirStop) return false;
  }
  return any;
}

}  // namespace revurov
