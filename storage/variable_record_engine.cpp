#include "storage/variable_record_engine.h"

#include <algorithm>
#include <cstring>

#include "dictionary/data_dictionary.h"
#include "dictionary/field_descriptor.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/file_descriptors.h"
#include "dictionary/filter_engines.h"
#include "dictionary/storage_descriptors.h"
#include "dictionary/table_descriptors.h"
#include "lowlevel/errors/error_codes.h"
#include "platform/endian.h"
#include "platform/text.h"
#include "storage/block_access.h"
#include "storage/deadline.h"
#include "storage/header_access.h"
#include "storage/record_compression.h"

namespace revurov {

using platform::LoadU16;
using platform::LoadU32;
using platform::LoadU64;
using platform::StoreU16;
using platform::StoreU32;
using platform::StoreU64;

namespace {

constexpr TnxBlockSignature kDataBlockSig{'N', 'X', 'H', 'D'};
// The block header of the record heaps (chained both ways).
constexpr uint16_t kBlockHeaderSize = 24;
constexpr uint16_t kKnownFlags = nxvrfReferenced | nxvrfRaw | nxvrfReference | nxvrfPadded;
constexpr uint32_t kTicksPerCheck = 1000;

constexpr std::u16string_view kTooLarge = u"Maximum record size has been exceeded";

TnxBaseFilterEngine* ActiveFilter(TnxBaseFilterEngine* aFilter) {
  return aFilter && aFilter->GetActive() ? aFilter : nullptr;
}

inline void SegmentTick(uint32_t& aCounter) {
  if (++aCounter % kTicksPerCheck == 2) nxCheckTimeout();
}

// The data dictionary at the root of a descriptor's tree, or null.
TnxDataDictionary* RootDictionary(TnxPersistent* aItem) {
  for (TnxPersistent* p = aItem; p;) {
    if (auto* dict = dynamic_cast<TnxDataDictionary*>(p)) return dict;
    auto* item = dynamic_cast<TnxDictionaryItem*>(p);
    p = item ? item->DirectParent() : nullptr;
  }
  return nullptr;
}

bool IsNullCompression(const TnxBaseRecordCompressionEngine& aEngine) {
  return &aEngine.ClassType() == &TnxNullRecordCompressionEngine::ClassInfo();
}

// The checks both engines make of a table descriptor; answers its heap
// record descriptor.
template <class TException>
TnxHeapRecordDescriptor& CheckHeapRecord(TnxBaseTableDescriptor& aTable, std::u16string_view aNotHeapText) {
  auto* record = dynamic_cast<TnxHeapRecordDescriptor*>(aTable.RecordDescriptor());
  if (!record) throw TException(nxeInvalidDescriptor, aNotHeapText);
  if (!record->HeapDescriptor()) throw TException(nxeInvalidDescriptor, u"A HeapDescriptor is required");
  TnxBaseHeapEngine::CheckValidBaseFromDescriptor(record->HeapDescriptor());
  return *record;
}

// Raises the record file's block size until a segment of aSegmentSize
// fits the heap's blocks.
template <class TException>
void FitBlockSize(TnxBaseTableDescriptor& aTable, TnxHeapRecordDescriptor& aRecord, uint32_t aSegmentSize) {
  TnxDataDictionary* root = RootDictionary(&aTable);
  if (!root) throw TException(nxeObjectNotFound);
  const uint32_t length = static_cast<uint32_t>(aTable.FieldsDescriptor().RecordLength());
  for (int size = nxbs4k; size <= nxbs64k; ++size) {
    const auto blockSize = static_cast<TnxBlockSize>(size);
    const uint32_t usable = root->UsableBlockSize(blockSize);
    if (usable < length + 25) continue;
    const auto blocks = TnxBaseBlockHeapEngine::CreateEngine(aRecord.HeapDescriptor()->BlockHeapDescriptor(), usable,
                                                             kBlockHeaderSize, static_cast<int32_t>(nxLibraryVersion));
    if (!blocks || blocks->bbheMaxSegmentSize < aSegmentSize) continue;
    TnxFilesDescriptor& files = root->FilesDescriptor();
    if (aRecord.FileNumber() < files.FileCount()) {
      TnxFileDescriptor* file = files.FileDescriptor(aRecord.FileNumber());
      if (file->BlockSize() < blockSize) file->SetBlockSize(blockSize);
    }
    return;
  }
  throw TException(nxeRecordTooLarge, kTooLarge);
}

}  // namespace

// A segment held in its block.
struct TnxVariableRecordEngine::TSegment {
  TnxBlockGuard Guard;
  uint8_t* Data = nullptr;
  uint16_t Size = 0;
  TnxSegmentRef Slot = 0;
};

// A stored segment, checked: its flags, version and payload.
struct TnxVariableRecordEngine::TForm {
  uint16_t Flags = 0;
  uint32_t Version = 0;
  const uint8_t* Payload = nullptr;
  uint16_t PayloadSize = 0;
};

// What a record is written as: flags, payload and padding.
struct TnxVariableRecordEngine::TStoredForm {
  uint16_t Flags = 0;
  const uint8_t* Payload = nullptr;
  uint16_t PayloadSize = 0;
  const uint8_t* Padding = nullptr;
  uint16_t PaddingSize = 0;
};

void TnxPoolBufferRelease::operator()(uint8_t* aBuffer) const noexcept {
  if (aBuffer) TnxMemoryPool::DisposeDirect(Pool, aBuffer);
}

// ---- creation and checks ----

TnxVariableRecordEngine::TnxVariableRecordEngine(const TnxSubEngineArgs& aArgs)
    : TnxVariableRecordEngine(aArgs, false) {}

TnxVariableRecordEngine::TnxVariableRecordEngine(const TnxSubEngineArgs& aArgs, bool aVersioned)
    : TnxBaseRecordEngine(aArgs),
      reVersioned(aVersioned),
      reFlagsSize(aVersioned ? 2 : 1),
      reMinPayload(aVersioned ? 10 : 9) {
  reRecordAllocator = nxGetMemoryPool(std::max<uint32_t>(uint32_t{breRecordLength} + 4, reMinPayload));
  reRecordBuffer = TPoolBuffer(static_cast<uint8_t*>(TnxMemoryPool::Alloc(reRecordAllocator)), {reRecordAllocator});
  if (breRecordLength < reMinPayload) {
    reRawPadding = TPoolBuffer(static_cast<uint8_t*>(TnxMemoryPool::Alloc(reRecordAllocator)), {reRecordAllocator});
    reRawPaddingSize = static_cast<uint16_t>(reMinPayload - breRecordLength);
    // Written to disk: no stale heap bytes.
    std::memset(reRawPadding.get(), 0, reRawPaddingSize);
  }
  auto* descriptor = dynamic_cast<TnxHeapRecordDescriptor*>(aArgs.Descriptor);
  if (!descriptor) Raise(nxeInvalidDescriptor, u"TnxHeapRecordDescriptor is required");
  {
    auto header = breDataFile.HeaderAccess(aArgs.Trans, aArgs.Trans != nullptr);
    reHeaderSection =
        header->RegisterHeaderSection(descriptor->HeaderSection(), nxvrsSectionSize, aArgs.Trans != nullptr, false);
    if (aArgs.Trans) std::memset(header->Header() + reHeaderSection, 0, nxvrsSectionSize);
  }
  // Both engines' heaps behave alike; the versioned one names its own.
  std::unique_ptr<TnxHeapHeaderHandler> handler;
  if (aVersioned)
    handler = std::make_unique<TnxVariableVersionedRecordHeapHeaderHandler>(reHeaderSection);
  else
    handler = std::make_unique<TnxVariableRecordHeapHeaderHandler>(reHeaderSection);
  reHeapEngine = TnxBaseHeapEngine::CreateEngine(descriptor->HeapDescriptor(), breDataFile, std::move(handler));
  if (!reHeapEngine) Raise(nxeInvalidDescriptor, u"A HeapDescriptor is required");
  reCompressionEngine =
      TnxBaseRecordCompressionEngine::CreateEngine(descriptor->RecordCompressionDescriptor(), bseTableVersion);
}

TnxVariableRecordEngine::~TnxVariableRecordEngine() = default;

void TnxVariableRecordEngine::Raise(uint32_t aCode, std::u16string_view aMessage,
                                    std::initializer_list<platform::TFormatArg> aArgs) const {
  if (reVersioned) throw EnxVariableVersionedRecordEngineException(aCode, aMessage, aArgs);
  throw EnxVariableRecordEngineException(aCode, aMessage, aArgs);
}

void TnxVariableRecordEngine::CheckValidDescriptor(TnxDictionaryItem& aDescriptor) {
  auto& table = dynamic_cast<TnxBaseTableDescriptor&>(aDescriptor);
  TnxHeapRecordDescriptor& record = CheckHeapRecord<EnxVariableRecordEngineException>(
      table, u"Record descriptor must be a TnxHeapRecordDescriptor is required");
  TnxBaseRecordCompressionEngine::CheckValidBaseFromDescriptor(record.RecordCompressionDescriptor());
  // The whole record uncompressed behind the flags, at least the minimum
  // payload: the record length + 25 alone does not leave room for it.
  const uint32_t length = static_cast<uint32_t>(table.FieldsDescriptor().RecordLength());
  FitBlockSize<EnxVariableRecordEngineException>(table, record, 1 + std::max<uint32_t>(length, 9));
}

int32_t TnxVariableRecordEngine::GetRecoverID() { return reHeapEngine->bseID; }

void TnxVariableRecordEngine::ReplaceAllRecords(TnxBaseTransaction&, const TnxGetRecordCallback&) {
  Raise(nxeCapabilityNotSupported, u"ReplaceAllRecords is not supported by TnxVariableRecordEngine");
}

void TnxVariableRecordEngine::Rollback(TnxBaseTransaction& aTrans) {
  TnxBaseRecordEngine::Rollback(aTrans);
  reHeapEngine->Rollback(aTrans);
}

uint32_t TnxVariableRecordEngine::StoredLength(uint32_t) const { return breRecordLength; }

void TnxVariableRecordEngine::Decompress(uint32_t, const uint8_t* aSource, uint16_t aSize, PnxRecordBuffer aTarget) {
  reCompressionEngine->DecompressRecord(aSource, aSize, aTarget);
}

void TnxVariableRecordEngine::UpgradeRecord(uint32_t, PnxRecordBuffer) {}

// ---- segments ----

void TnxVariableRecordEngine::RaiseDamaged(TnxRefNr aRefNr) const {
  Raise(nxeCorruptFile, u"Damaged record segment [%s, ref %d]", {breDataFile.fiName(), aRefNr});
}

void TnxVariableRecordEngine::RaiseChainTooLong(TnxBlockNumber aBlock) const {
  Raise(nxeCorruptFile, u"Damaged record block chain [%s, block %d]",
        {breDataFile.fiName(), static_cast<int64_t>(aBlock)});
}

TnxHeapRef TnxVariableRecordEngine::Locate(TnxRefNr aRefNr) const { return aRefNr & reHeapEngine->bheHeapRefMask; }

void TnxVariableRecordEngine::GetSegment(TnxBaseTransaction* aTrans, TnxRefNr aRefNr, bool aForChange,
                                         TSegment& aSegment) {
  aSegment.Guard.Release();
  const TnxHeapRef ref = Locate(aRefNr);
  PnxBlock block = nullptr;
  aSegment.Data = reHeapEngine->GetSegment(aTrans, ref, aForChange, aSegment.Size, block,
                                           aSegment.Guard.ReleaseMethod());
  aSegment.Guard.Hold(block);
  aSegment.Slot = nxHeapRefSegment(ref);
}

TnxVariableRecordEngine::TForm TnxVariableRecordEngine::Parse(const uint8_t* aSegment, uint16_t aSize,
                                                              TnxRefNr aRefNr) const {
  if (aSize < reFlagsSize) RaiseDamaged(aRefNr);
  TForm form;
  const uint16_t word = reFlagsSize == 1 ? aSegment[0] : LoadU16(aSegment);
  form.Flags = static_cast<uint16_t>(word & 0xFF);
  form.Version = word >> 8;
  form.Payload = aSegment + reFlagsSize;
  form.PayloadSize = static_cast<uint16_t>(aSize - reFlagsSize);
  if ((form.Flags & ~kKnownFlags) != 0 || form.Version > reMaxVersion) RaiseDamaged(aRefNr);
  if (form.Flags & nxvrfReference) {
    // Only a home forwards, and only by its 8 bytes.
    if (word != nxvrfReference || form.PayloadSize != 8) RaiseDamaged(aRefNr);
    return form;
  }
  if (form.PayloadSize < reMinPayload) RaiseDamaged(aRefNr);
  const uint32_t length = StoredLength(form.Version);
  if (form.Flags & nxvrfRaw) {
    const bool padded = length < reMinPayload;
    if (padded != ((form.Flags & nxvrfPadded) != 0)) RaiseDamaged(aRefNr);
    if (form.PayloadSize != (padded ? reMinPayload : length)) RaiseDamaged(aRefNr);
  } else if (form.Flags & nxvrfPadded) {
    const uint8_t pad = form.Payload[form.PayloadSize - 1];
    if (form.PayloadSize != reMinPayload || pad == 0 || pad >= reMinPayload) RaiseDamaged(aRefNr);
  } else if (form.PayloadSize > length) {
    // No compressed form is longer than its record.
    RaiseDamaged(aRefNr);
  }
  return form;
}

TnxHeapRef TnxVariableRecordEngine::ForwardOf(const TForm& aForm) const {
  return static_cast<TnxHeapRef>(LoadU64(aForm.Payload));
}

void TnxVariableRecordEngine::GetBody(TnxBaseTransaction* aTrans, TnxHeapRef aBodyRef, bool aForChange,
                                      TSegment& aBody, TForm& aForm) {
  GetSegment(aTrans, aBodyRef, aForChange, aBody);
  aForm = Parse(aBody.Data, aBody.Size, aBodyRef);
  // One hop: what a home points to is a body and never forwards again.
  if ((aForm.Flags & nxvrfReferenced) == 0 || (aForm.Flags & nxvrfReference) != 0) RaiseDamaged(aBodyRef);
}

void TnxVariableRecordEngine::Decode(const TForm& aForm, TnxRefNr aRefNr, PnxRecordBuffer aTarget) {
  if (aForm.Flags & nxvrfRaw) {
    std::memcpy(aTarget, aForm.Payload, StoredLength(aForm.Version));
  } else {
    // Nothing is stored compressed where records are not compressed.
    if (IsNullCompression(*reCompressionEngine)) RaiseDamaged(aRefNr);
    uint16_t size = aForm.PayloadSize;
    if (aForm.Flags & nxvrfPadded) size = static_cast<uint16_t>(size - aForm.Payload[size - 1]);
    Decompress(aForm.Version, aForm.Payload, size, aTarget);
  }
  UpgradeRecord(aForm.Version, aTarget);
}

void TnxVariableRecordEngine::DecodeHome(TnxBaseTransaction* aTrans, const TForm& aForm, TnxRefNr aRefNr,
                                         PnxRecordBuffer aTarget) {
  if (aForm.Flags & nxvrfReference) {
    TSegment body;
    TForm bodyForm;
    GetBody(aTrans, ForwardOf(aForm), false, body, bodyForm);
    if (aTarget) Decode(bodyForm, ForwardOf(aForm), aTarget);
  } else if (aTarget) {
    Decode(aForm, aRefNr, aTarget);
  }
  if (aTarget) breSetRefNr(aTarget, aRefNr);
}

TnxVariableRecordEngine::TStoredForm TnxVariableRecordEngine::Encode(PnxRecordBuffer aRecord) {
  TStoredForm form;
  uint8_t* scratch = reRecordBuffer.get();
  const uint16_t length = reCompressionEngine->CompressRecord(aRecord, scratch);
  if (length > breRecordLength) Raise(nxeRecordTooLarge, kTooLarge);
  form.Flags = reNewRecordFlags;
  if (length > 0) {
    form.Payload = scratch;
    form.PayloadSize = length;
    if (length < reMinPayload) {
      std::memset(scratch + length, 0, reMinPayload - length);
      scratch[reMinPayload - 1] = static_cast<uint8_t>(reMinPayload - length);
      form.Flags |= nxvrfPadded;
      form.PayloadSize = reMinPayload;
    }
  } else {
    form.Flags |= nxvrfRaw;
    form.Payload = aRecord;
    form.PayloadSize = breRecordLength;
    if (reRawPadding) {
      form.Flags |= nxvrfPadded;
      form.Padding = reRawPadding.get();
      form.PaddingSize = reRawPaddingSize;
    }
  }
  // Refused before anything changes: the heap cannot hold it.
  const uint32_t total = uint32_t{reFlagsSize} + form.PayloadSize + form.PaddingSize;
  if (total > reHeapEngine->bheBlockHeapEngine->bbheMaxSegmentSize) Raise(nxeRecordTooLarge, kTooLarge);
  return form;
}

void TnxVariableRecordEngine::WriteFlags(uint8_t* aSegment, uint16_t aFlags) const noexcept {
  if (reFlagsSize == 1)
    aSegment[0] = static_cast<uint8_t>(aFlags);
  else
    StoreU16(aSegment, aFlags);
}

void TnxVariableRecordEngine::FreeBody(TnxBaseTransaction& aTrans, TnxHeapRef aBodyRef) {
  TSegment body;
  TForm form;
  GetBody(&aTrans, aBodyRef, true, body, form);
  reHeapEngine->bheBlockHeapEngine->FreeSegment(body.Guard.Block(), body.Slot);
}

void TnxVariableRecordEngine::ChangeRecordCount(TnxBaseTransaction& aTrans, int32_t aDelta) {
  auto header = breDataFile.HeaderAccess(&aTrans, true);
  uint8_t* section = header->Header() + reHeaderSection + nxvrsRecordCount;
  StoreU32(section, static_cast<uint32_t>(static_cast<int32_t>(LoadU32(section)) + aDelta));
}

// ---- changes ----

void TnxVariableRecordEngine::AddRecord(TnxBaseTransaction& aTrans, TnxRefNr& aRefNr, PnxRecordBuffer aRecData) {
  const TStoredForm form = Encode(aRecData);
  uint8_t flags[2];
  WriteFlags(flags, form.Flags);
  const void* const pointers[] = {flags, form.Payload, form.Padding};
  const uint16_t sizes[] = {reFlagsSize, form.PayloadSize, form.PaddingSize};
  const TnxHeapRef ref = reHeapEngine->AllocSegment(aTrans, pointers, sizes);
  // A record that was never stored must not be counted.
  if (ref == 0) Raise(nxeRecordTooLarge, kTooLarge);
  aRefNr = ref;
  breSetRefNr(aRecData, aRefNr);
  ChangeRecordCount(aTrans, 1);
}

void TnxVariableRecordEngine::UpdateRecord(TnxBaseTransaction& aTrans, TnxRefNr aRefNr, PnxRecordBuffer aNewRecord,
                                           PnxRecordBuffer aOldRecord) {
  TSegment home;
  GetSegment(&aTrans, aRefNr, true, home);
  const TForm old = Parse(home.Data, home.Size, aRefNr);
  if (old.Flags & nxvrfReferenced)
    Raise(nxeInvalidRefNr, u"Record reference number is invalid [%s, ref %d]", {breDataFile.fiName(), aRefNr});
  const bool forwarded = (old.Flags & nxvrfReference) != 0;
  const TnxHeapRef oldBody = forwarded ? ForwardOf(old) : 0;
  if (aOldRecord) {
    DecodeHome(&aTrans, old, aRefNr, aOldRecord);
  } else if (forwarded) {
    // The body is checked before anything changes.
    TSegment body;
    TForm bodyForm;
    GetBody(&aTrans, oldBody, false, body, bodyForm);
  }
  breSetRefNr(aNewRecord, aRefNr);
  const TStoredForm form = Encode(aNewRecord);
  TnxBaseBlockHeapEngine& blocks = *reHeapEngine->bheBlockHeapEngine;
  if (forwarded) FreeBody(aTrans, oldBody);
  const uint32_t total = uint32_t{reFlagsSize} + form.PayloadSize + form.PaddingSize;
  if (uint8_t* p = blocks.ReAllocSegment(home.Guard.Block(), static_cast<uint16_t>(total), home.Slot)) {
    WriteFlags(p, form.Flags);
    std::memcpy(p + reFlagsSize, form.Payload, form.PayloadSize);
    if (form.PaddingSize) std::memcpy(p + reFlagsSize + form.PayloadSize, form.Padding, form.PaddingSize);
    return;
  }
  // The body is placed before the home is shrunk into a reference to it.
  uint8_t flags[2];
  WriteFlags(flags, static_cast<uint16_t>(form.Flags | nxvrfReferenced));
  const void* const pointers[] = {flags, form.Payload, form.Padding};
  const uint16_t sizes[] = {reFlagsSize, form.PayloadSize, form.PaddingSize};
  const TnxHeapRef body = reHeapEngine->AllocSegment(aTrans, pointers, sizes);
  if (body == 0) Raise(nxeRecordTooLarge, kTooLarge);
  // The allocation may have packed the home block: ask for the slot again.
  uint8_t* p = blocks.ReAllocSegment(home.Guard.Block(), static_cast<uint16_t>(reFlagsSize + 8), home.Slot);
  if (!p) RaiseDamaged(aRefNr);
  WriteFlags(p, nxvrfReference);
  StoreU64(p + reFlagsSize, static_cast<uint64_t>(body));
}

void TnxVariableRecordEngine::DeleteRecord(TnxBaseTransaction& aTrans, TnxRefNr aRefNr) {
  {
    auto header = breDataFile.HeaderAccess(&aTrans, false);
    if (LoadU32(header->Header() + reHeaderSection + nxvrsRecordCount) == 0)
      Raise(nxeCorruptHeader, u"Corrupt table/index header.");
  }
  TSegment home;
  GetSegment(&aTrans, aRefNr, true, home);
  const TForm form = Parse(home.Data, home.Size, aRefNr);
  // Freeing a body would leave its home forwarding to a free slot.
  if (form.Flags & nxvrfReferenced)
    Raise(nxeInvalidRefNr, u"Record reference number is invalid [%s, ref %d]", {breDataFile.fiName(), aRefNr});
  if (form.Flags & nxvrfReference) FreeBody(aTrans, ForwardOf(form));
  reHeapEngine->bheBlockHeapEngine->FreeSegment(home.Guard.Block(), home.Slot);
  home.Guard.Release();
  ChangeRecordCount(aTrans, -1);
}

// ---- reads ----

void TnxVariableRecordEngine::ReadRecord(TnxBaseTransaction* aTrans, TnxRefNr aRefNr, PnxRecordBuffer aRecData) {
  TSegment segment;
  GetSegment(aTrans, aRefNr, false, segment);
  const TForm form = Parse(segment.Data, segment.Size, aRefNr);
  DecodeHome(aTrans, form, aRefNr, aRecData);
}

void TnxVariableRecordEngine::GetRecordCount(TnxBaseTransaction* aTrans, uint32_t& aCount) {
  auto header = breDataFile.HeaderAccess(aTrans, false);
  aCount = LoadU32(header->Header() + reHeaderSection + nxvrsRecordCount);
}

template <class TVisit>
bool TnxVariableRecordEngine::Walk(TnxBaseTransaction* aTrans, TnxRefNr aFrom, bool aBackward, TVisit&& aVisit) {
  TnxBlockNumber number;
  TnxSegmentRef slot = aBackward ? 0xFFFFFFFFu : 0u;
  uint32_t limit;
  {
    auto header = breDataFile.HeaderAccess(aTrans, false);
    limit = header->UsedBlocks();
    if (aFrom != 0) {
      const TnxHeapRef from = Locate(aFrom);
      number = nxHeapRefBlock(from);
      slot = nxHeapRefSegment(from);
    } else {
      number = LoadU32(header->Header() + reHeaderSection + (aBackward ? nxrhSectionLast : nxrhSectionFirst));
    }
  }
  TnxBaseBlockHeapEngine& blocks = *reHeapEngine->bheBlockHeapEngine;
  uint32_t counter = 0;
  TnxBlockGuard guard;
  for (uint32_t walked = 0; number != 0; ++walked) {
    if (walked >= limit) RaiseChainTooLong(number);
    nxCheckTimeout();
    guard.Release();
    guard.Hold(reHeapEngine->ReadBlockHeap(aTrans, number, false, guard.ReleaseMethod()));
    uint8_t* block = guard.Block();
    uint16_t size = 0;
    for (uint8_t* p = aBackward ? blocks.GetPrevSegment(block, slot, size) : blocks.GetNextSegment(block, slot, size);
         p; p = aBackward ? blocks.GetPrevSegment(block, slot, size) : blocks.GetNextSegment(block, slot, size)) {
      SegmentTick(counter);
      const TnxRefNr ref = nxMakeHeapRef(number, slot);
      const TForm form = Parse(p, size, ref);
      if (form.Flags & nxvrfReferenced) continue;
      if (aVisit(ref, form)) return true;
    }
    number = LoadU32(block + (aBackward ? nxrhBlockPrev : nxrhBlockNext));
    slot = aBackward ? 0xFFFFFFFFu : 0u;
  }
  return false;
}

void TnxVariableRecordEngine::ReadNeighbour(TnxBaseTransaction* aTrans, TnxRefNr aFromRefNr, TnxRefNr& aRefNr,
                                            PnxRecordBuffer aRecData, bool aBackward) {
  aRefNr = 0;
  Walk(aTrans, aFromRefNr, aBackward, [&](TnxRefNr aRef, const TForm& aForm) {
    DecodeHome(aTrans, aForm, aRef, aRecData);
    aRefNr = aRef;
    return true;
  });
}

void TnxVariableRecordEngine::ReadNextRecord(TnxBaseTransaction* aTrans, TnxRefNr aFromRefNr, TnxRefNr& aRefNr,
                                             PnxRecordBuffer aRecData) {
  ReadNeighbour(aTrans, aFromRefNr, aRefNr, aRecData, false);
}

void TnxVariableRecordEngine::ReadPrevRecord(TnxBaseTransaction* aTrans, TnxRefNr aFromRefNr, TnxRefNr& aRefNr,
                                             PnxRecordBuffer aRecData) {
  ReadNeighbour(aTrans, aFromRefNr, aRefNr, aRecData, true);
}

// The buffer of a walk: the caller's, or one of the pool that goes back
// when the walk ends. A slot the engine filled is emptied again.
struct TnxVariableRecordEngine::TWalkBuffer {
  TWalkBuffer(TnxPoolHandle aPool, PnxRecordBuffer* aSlot) : Pool(aPool), Slot(aSlot) {}
  ~TWalkBuffer() {
    Settle();
    if (Filled) *Slot = nullptr;
  }
  TWalkBuffer(const TWalkBuffer&) = delete;
  TWalkBuffer& operator=(const TWalkBuffer&) = delete;

  // Looks at the slot after the iterator had it: emptied means taken over.
  void Settle() noexcept {
    if (!Filled || *Slot == Own.get()) return;
    Filled = false;
    if (*Slot == nullptr) (void)Own.release();
  }
  PnxRecordBuffer Get() {
    Settle();
    if (Filled) return Own.get();
    if (Slot && *Slot) return *Slot;
    if (!Own) Own = TPoolBuffer(static_cast<uint8_t*>(TnxMemoryPool::Alloc(Pool)), {Pool});
    if (Slot) {
      *Slot = Own.get();
      Filled = true;
    }
    return Own.get();
  }

  TnxPoolHandle Pool;
  PnxRecordBuffer* Slot;
  TPoolBuffer Own;
  // The slot holds Own, put there by the engine.
  bool Filled = false;
};

void TnxVariableRecordEngine::IterateDir(TnxBaseTransaction* aTrans, TnxRefNr& aRefNr, PnxRecordBuffer* aData,
                                         const TnxStorageRecordIterator& aIterator, void* aCookie,
                                         TnxBaseFilterEngine* aFilter, bool aKeepPosition, bool aSkipFirst,
                                         bool aBackward) {
  aFilter = ActiveFilter(aFilter);
  if (!aKeepPosition || aRefNr == 0) {
    aRefNr = 0;
    aKeepPosition = false;
    aSkipFirst = false;
  }
  const TnxRefNr start = aRefNr;
  const bool decode = aData || aFilter;
  TWalkBuffer buffer(reRecordAllocator, aData);
  const bool stopped = Walk(aTrans, start, aBackward, [&](TnxRefNr aRef, const TForm& aForm) {
    aRefNr = aRef;
    PnxRecordBuffer record = nullptr;
    if (decode) {
      record = buffer.Get();
      DecodeHome(aTrans, aForm, aRef, record);
    }
    const bool skip = aSkipFirst && aRef == start;
    aSkipFirst = false;
    if (skip) return false;
    if (aFilter && !aFilter->MatchesBuffer(record)) return false;
    return aIterator(aCookie, aRef, record) == rirStop;
  });
  if (!stopped) aRefNr = 0;
}

void TnxVariableRecordEngine::Iterate(TnxBaseTransaction* aTrans, TnxRefNr& aRefNr, PnxRecordBuffer* aData,
                                      const TnxStorageRecordIterator& aIterator, void* aCookie,
                                      TnxBaseFilterEngine* aFilter, bool aKeepPosition, bool aSkipFirst) {
  IterateDir(aTrans, aRefNr, aData, aIterator, aCookie, aFilter, aKeepPosition, aSkipFirst, false);
}

void TnxVariableRecordEngine::IterateBackward(TnxBaseTransaction* aTrans, TnxRefNr& aRefNr, PnxRecordBuffer* aData,
                                              const TnxStorageRecordIterator& aIterator, void* aCookie,
                                              TnxBaseFilterEngine* aFilter, bool aKeepPosition, bool aSkipFirst) {
  IterateDir(aTrans, aRefNr, aData, aIterator, aCookie, aFilter, aKeepPosition, aSkipFirst, true);
}

uint32_t TnxVariableRecordEngine::RecNoGet(TnxBaseTransaction* aTrans, TnxRefNr aRefNr, TnxBaseFilterEngine* aFilter,
                                           uint32_t& aRecNo, bool aFlipOrder) {
  aFilter = ActiveFilter(aFilter);
  aRecNo = 0;
  const TnxHeapRef target = Locate(aRefNr);
  TWalkBuffer buffer(reRecordAllocator, nullptr);
  uint32_t result = nxeAtEndOfTable;
  Walk(aTrans, 0, aFlipOrder, [&](TnxRefNr aRef, const TForm& aForm) {
    bool passes = true;
    if (aFilter) {
      PnxRecordBuffer record = buffer.Get();
      DecodeHome(aTrans, aForm, aRef, record);
      passes = aFilter->MatchesBuffer(record);
    }
    if (passes) ++aRecNo;
    if (aRef != target) return false;
    result = passes ? 0 : nxeNoCurrentRecord;
    return true;
  });
  return result;
}

uint32_t TnxVariableRecordEngine::RecNoSet(TnxBaseTransaction* aTrans, uint32_t aRecNo, TnxRefNr& aRefNr,
                                           TnxBaseFilterEngine* aFilter, bool aFlipOrder) {
  aFilter = ActiveFilter(aFilter);
  aRefNr = 0;
  if (aRecNo == 0) return nxeAtEndOfTable;
  TWalkBuffer buffer(reRecordAllocator, nullptr);
  uint32_t count = 0;
  const bool found = Walk(aTrans, 0, aFlipOrder, [&](TnxRefNr aRef, const TForm& aForm) {
    if (aFilter) {
      PnxRecordBuffer record = buffer.Get();
      DecodeHome(aTrans, aForm, aRef, record);
      if (!aFilter->MatchesBuffer(record)) return false;
    }
    if (++count != aRecNo) return false;
    aRefNr = aRef;
    return true;
  });
  return found ? 0 : nxeAtEndOfTable;
}

TnxRecordIteratorResult TnxVariableRecordEngine::ReadRecordForIterate(TnxBaseTransaction* aTrans, TnxRefNr aRefNr,
                                                                      PnxRecordBuffer* aData,
                                                                      const TnxStorageRecordIterator& aIterator,
                                                                      void* aCookie, TnxBaseFilterEngine* aFilter) {
  aFilter = ActiveFilter(aFilter);
  if (!aData && !aFilter) {
    ReadRecord(aTrans, aRefNr, nullptr);
    return aIterator(aCookie, aRefNr, nullptr);
  }
  PnxRecordBuffer local = nullptr;
  PnxRecordBuffer* slot = aData ? aData : &local;
  // The caller's slot gets its content back whatever the iterator does.
  struct TRestore {
    PnxRecordBuffer* Slot;
    PnxRecordBuffer Saved;
    ~TRestore() { *Slot = Saved; }
  } restore{slot, *slot};
  TPoolBuffer own;
  if (!*slot) {
    own = TPoolBuffer(static_cast<uint8_t*>(TnxMemoryPool::Alloc(reRecordAllocator)), {reRecordAllocator});
    *slot = own.get();
  }
  PnxRecordBuffer record = *slot;
  ReadRecord(aTrans, aRefNr, record);
  if (aFilter && !aFilter->MatchesBuffer(record)) return rirContinue;
  return aIterator(aCookie, aRefNr, record);
}

TnxRecordIteratorResult TnxVariableRecordEngine::RecoverIterate(const uint8_t* aBlock, TnxBlockNumber aBlockNumber,
                                                                PnxRecordBuffer* aData,
                                                                const TnxStorageRecordIterator& aIterator,
                                                                void* aCookie) {
  if (!aBlock) return rirContinue;
  const TnxBlockCommonHeader header = nxLoadBlockCommonHeader(aBlock);
  if (header.bchSignature != kDataBlockSig || header.bchThisBlock != aBlockNumber) return rirContinue;
  TWalkBuffer buffer(reRecordAllocator, aData);
  TnxBaseBlockHeapEngine& blocks = *reHeapEngine->bheBlockHeapEngine;
  // The block heap only reads here; the block is the caller's copy.
  auto* block = const_cast<uint8_t*>(aBlock);
  uint32_t counter = 0;
  TnxSegmentRef slot = 0;
  for (;;) {
    uint16_t size = 0;
    uint8_t* p;
    try {
      p = blocks.GetNextSegment(block, slot, size);
    } catch (const EnxBaseException&) {
      // A damaged layout: what it still holds cannot be told apart.
      return rirContinue;
    }
    if (!p) return rirContinue;
    SegmentTick(counter);
    if (size < reFlagsSize + 1u) return rirContinue;
    PnxRecordBuffer record = buffer.Get();
    try {
      const TForm form = Parse(p, size, nxMakeHeapRef(aBlockNumber, slot));
      if (form.Flags & nxvrfReference) continue;
      Decode(form, 0, record);
    } catch (const EnxBaseException& e) {
      // A damaged record is passed over, the rest of the block is not.
      if (e.ErrorCode() != nxeCorruptFile) throw;
      continue;
    }
    if (aIterator(aCookie, 0, record) == rirStop) return rirStop;
  }
}

// ---- the versioned engine ----

TnxVariableVersionedRecordEngine::TnxVariableVersionedRecordEngine(const TnxSubEngineArgs& aArgs)
    : TnxVariableRecordEngine(aArgs, true), reFieldsDescriptor(breFieldsDescriptor) {
  reFieldCount = reFieldsDescriptor.FieldCount();
  reOriginalFieldCount = reFieldsDescriptor.OriginalFieldCount();
  reCurrentVersion = reFieldCount - reOriginalFieldCount;
  if (reCurrentVersion < 0 || reCurrentVersion > nxMaxRecordVersion)
    Raise(nxeInvalidDescriptor, u"OriginalFieldCount %d does not fit %d fields",
          {reOriginalFieldCount, reFieldCount});
  reFieldInfos.resize(static_cast<size_t>(reCurrentVersion) + 1);
  int32_t length = 0;
  int32_t n = 0;
  for (int32_t v = 0; v <= reCurrentVersion; ++v) {
    for (; n < reOriginalFieldCount + v; ++n) length += reFieldsDescriptor.FieldDescriptor(n)->Length();
    TnxVariableVersionedRecordEngineFieldInfo& info = reFieldInfos[static_cast<size_t>(v)];
    info.fiFieldsLength = length;
    info.fiNullBitsOffset = (length + 3) / 4 * 4;
    info.fiNullBitsSize = (n + 31) / 32 * 4;
  }
  const TnxVariableVersionedRecordEngineFieldInfo& current = reFieldInfos.back();
  reCurrentFieldsLength = current.fiFieldsLength;
  reCurrentNullBitsOffset = current.fiNullBitsOffset;
  reCurrentNullBitsSize = current.fiNullBitsSize;
  for (TnxVariableVersionedRecordEngineFieldInfo& info : reFieldInfos)
    info.fiClearBytesCount = reCurrentNullBitsOffset - info.fiFieldsLength;
  reCurrentVersionFlags = static_cast<uint16_t>(reCurrentVersion << 8);
  reNewRecordFlags = reCurrentVersionFlags;
  reMaxVersion = static_cast<uint32_t>(reCurrentVersion);
}

void TnxVariableVersionedRecordEngine::CheckValidDescriptor(TnxDictionaryItem& aDescriptor) {
  using E = EnxVariableVersionedRecordEngineException;
  auto& table = dynamic_cast<TnxBaseTableDescriptor&>(aDescriptor);
  TnxHeapRecordDescriptor& record =
      CheckHeapRecord<E>(table, u"Record descriptor must be a TnxHeapRecordDescriptor");
  TnxBaseRecordCompressionDescriptor* compression = record.RecordCompressionDescriptor();
  if (!compression) throw E(nxeInvalidDescriptor, u"A RecordCompressionDescriptor is required");
  if (!platform::AsciiSameText(compression->RecordCompressionEngine(), u"Compressor"))
    throw E(nxeInvalidDescriptor, u"Only \"Compressor\" RecordCompressionEngine is supported");
  TnxFieldsDescriptor& fields = table.FieldsDescriptor();
  const int32_t appended = fields.FieldCount() - fields.OriginalFieldCount();
  if (appended < 0 || appended > nxMaxRecordVersion)
    throw E(nxeInvalidDescriptor, u"OriginalFieldCount %d does not fit %d fields",
            {fields.OriginalFieldCount(), fields.FieldCount()});
  const uint32_t length = static_cast<uint32_t>(fields.RecordLength());
  FitBlockSize<E>(table, record, 2 + std::max<uint32_t>(length, 10));
}

bool TnxVariableVersionedRecordEngine::CanAddField(const TnxDictionaryItem& aFieldDesc) {
  const auto* field = dynamic_cast<const TnxFieldDescriptor*>(&aFieldDesc);
  if (!field || field->Required() || field->DefaultValue() || field->Validations()) return false;
  return reCurrentVersion < nxMaxRecordVersion;
}

void TnxVariableVersionedRecordEngine::ReplaceAllRecords(TnxBaseTransaction&, const TnxGetRecordCallback&) {
  Raise(nxeCapabilityNotSupported, u"ReplaceAllRecords is not supported by TnxVariableVersionedRecordEngine");
}

uint32_t TnxVariableVersionedRecordEngine::StoredLength(uint32_t aVersion) const {
  const TnxVariableVersionedRecordEngineFieldInfo& info = reFieldInfos[aVersion];
  return static_cast<uint32_t>(info.fiNullBitsOffset + info.fiNullBitsSize);
}

void TnxVariableVersionedRecordEngine::Decompress(uint32_t aVersion, const uint8_t* aSource, uint16_t aSize,
                                                  PnxRecordBuffer aTarget) {
  // A record of an older layout decodes to its own, shorter length; the
  // compressor refuses a form that does not fill the target exactly.
  auto* compressor = dynamic_cast<TnxCompressorRecordCompressionEngine*>(reCompressionEngine.get());
  if (aVersion == static_cast<uint32_t>(reCurrentVersion) || !compressor) {
    reCompressionEngine->DecompressRecord(aSource, aSize, aTarget);
    return;
  }
  if (!compressor->srceCompressor->Uncompress(aSource, aTarget, aSize, StoredLength(aVersion)))
    throw EnxCompressorRecordCompressionEngineException(nxeCorruptFile, u"Damaged compressed record");
}

void TnxVariableVersionedRecordEngine::UpgradeRecord(uint32_t aVersion, PnxRecordBuffer aRecord) {
  if (aVersion >= static_cast<uint32_t>(reCurrentVersion)) return;
  const TnxVariableVersionedRecordEngineFieldInfo& info = reFieldInfos[aVersion];
  std::memmove(aRecord + reCurrentNullBitsOffset, aRecord + info.fiNullBitsOffset,
               static_cast<size_t>(info.fiNullBitsSize));
  std::memset(aRecord + info.fiFieldsLength, 0, static_cast<size_t>(info.fiClearBytesCount));
  // The grown part of the bitmap lay beyond the old record: no stale bits.
  std::memset(aRecord + reCurrentNullBitsOffset + info.fiNullBitsSize, 0,
              static_cast<size_t>(reCurrentNullBitsSize - info.fiNullBitsSize));
  for (int32_t i = reOriginalFieldCount + static_cast<int32_t>(aVersion); i < reFieldCount; ++i)
    aRecord[reCurrentNullBitsOffset + i / 8] |= static_cast<uint8_t>(1u << (i % 8));
}

// ---- start-up ----

void nxVariableRecordEngineStartup() {
  TnxVariableRecordEngine::ClassInfo().Register(u"Variable");
  TnxVariableVersionedRecordEngine::ClassInfo().Register(u"VariableVersioned");
}

void nxVariableRecordEngineShutdown() noexcept {
  TnxVariableVersionedRecordEngine::ClassInfo().Unregister();
  TnxVariableRecordEngine::ClassInfo().Unregister();
}

}  // namespace revurov
