// The variable record engines: each record is one segment of a heap
// ("NXHD" blocks chained both ways), stored compressed when its form is
// shorter, and addressed by the heap reference of its home segment. A
// record that outgrows its home block moves; its home becomes a forwarding
// reference to the moved body and the reference number stays.
//
// "Variable" stores a 1-byte flag field before the payload (minimum payload
// 9 bytes); "VariableVersioned" a 16-bit flag word whose high byte is the
// layout version the record was written in (minimum payload 10 bytes), so
// that fields can be appended without rewriting records: a record of an
// older version reads back widened, the added fields null and zero.
//
// Contract:
// - Forwarding is one hop: the body of a moved record is flagged
//   "referenced" and never a reference itself. Segments come from disk and
//   are untrusted: a reference to a segment that is not a body, a body that
//   forwards again, a version above the engine's, unknown flag bits or a
//   payload whose size does not match its form give 8962, never a loop, a
//   read outside the segment or another record's data.
// - A record whose stored form does not fit one segment of the heap gives
//   15495 before anything changes (add and update alike). The dictionary
//   check sizes new files so that every record fits uncompressed; existing
//   files keep their block size.
// - The reference of a moved record's body is not a record: updating or
//   deleting it gives 15412 and changes nothing.
// - Walks meet every record once, under its home reference, test the
//   deadline on every thousandth segment and at every block, and stop with
//   8962 on a block chain longer than the file.
// - Iterate with a slot that is empty (or without a slot but with a
//   filter) decodes into a buffer of reRecordAllocator; the iterator may
//   take that buffer over by emptying the slot (it then owns it and gives it
//   back to reRecordAllocator). A slot the engine filled is empty again
//   after the call, also when the iterator raises.
// - RecoverIterate hands out every record of a block it can decode, bodies
//   included; a segment whose form is damaged is passed over and a block
//   whose layout is damaged ends its walk, so that recovery gets what is
//   left.
// - Every change runs in the caller's transaction; Rollback drops the
//   heap's mirror.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "storage/heap_engines.h"
#include "storage/sub_engines.h"

namespace revurov {

class TnxBaseHeapEngine;
class TnxBaseRecordCompressionEngine;
class TnxBlockGuard;

REVUROV_EXCEPTION_CLASS(EnxVariableRecordEngineException, EnxBaseRecordEngineException);
REVUROV_EXCEPTION_CLASS(EnxVariableVersionedRecordEngineException, EnxBaseRecordEngineException);

// The engine's header section: the record count, then the heap's chain
// and first management block (nxrhSection... in heap_engines.h).
inline constexpr uint32_t nxvrsRecordCount = 0;
inline constexpr uint8_t nxvrsSectionSize = 24;

// Flags of a stored segment (the low byte of the versioned flag word).
inline constexpr uint16_t nxvrfReferenced = 1;
inline constexpr uint16_t nxvrfRaw = 2;
inline constexpr uint16_t nxvrfReference = 4;
inline constexpr uint16_t nxvrfPadded = 8;

// Gives a buffer back to its pool (null is ignored).
struct TnxPoolBufferRelease {
  TnxPoolHandle Pool = 0;
  void operator()(uint8_t* aBuffer) const noexcept;
};

class TnxVariableRecordEngine : public TnxBaseRecordEngine {
  REVUROV_REGISTERABLE_RECORD(TnxVariableRecordEngine, TnxBaseRecordEngine, TnxSubEngineClass, nullptr,
                              &TnxVariableRecordEngine::CheckValidDescriptor,
                              &nxNewSubEngine<TnxVariableRecordEngine>)

  explicit TnxVariableRecordEngine(const TnxSubEngineArgs& aArgs);
  ~TnxVariableRecordEngine() override;

  // aDescriptor is the whole table descriptor.
  static void CheckValidDescriptor(TnxDictionaryItem& aDescriptor);

  void AddRecord(TnxBaseTransaction& aTrans, TnxRefNr& aRefNr, PnxRecordBuffer aRecData) override;
  void DeleteRecord(TnxBaseTransaction& aTrans, TnxRefNr aRefNr) override;
  void ReadNextRecord(TnxBaseTransaction* aTrans, TnxRefNr aFromRefNr, TnxRefNr& aRefNr,
                      PnxRecordBuffer aRecData) override;
  void ReadPrevRecord(TnxBaseTransaction* aTrans, TnxRefNr aFromRefNr, TnxRefNr& aRefNr,
                      PnxRecordBuffer aRecData) override;
  void ReadRecord(TnxBaseTransaction* aTrans, TnxRefNr aRefNr, PnxRecordBuffer aRecData) override;
  void UpdateRecord(TnxBaseTransaction& aTrans, TnxRefNr aRefNr, PnxRecordBuffer aNewRecord,
                    PnxRecordBuffer aOldRecord) override;
  void GetRecordCount(TnxBaseTransaction* aTrans, uint32_t& aCount) override;
  void Iterate(TnxBaseTransaction* aTrans, TnxRefNr& aRefNr, PnxRecordBuffer* aData,
               const TnxStorageRecordIterator& aIterator, void* aCookie, TnxBaseFilterEngine* aFilter,
               bool aKeepPosition, bool aSkipFirst) override;
  void IterateBackward(TnxBaseTransaction* aTrans, TnxRefNr& aRefNr, PnxRecordBuffer* aData,
                       const TnxStorageRecordIterator& aIterator, void* aCookie, TnxBaseFilterEngine* aFilter,
                       bool aKeepPosition, bool aSkipFirst) override;
  uint32_t RecNoGet(TnxBaseTransaction* aTrans, TnxRefNr aRefNr, TnxBaseFilterEngine* aFilter, uint32_t& aRecNo,
                    bool aFlipOrder) override;
  uint32_t RecNoSet(TnxBaseTransaction* aTrans, uint32_t aRecNo, TnxRefNr& aRefNr, TnxBaseFilterEngine* aFilter,
                    bool aFlipOrder) override;
  int32_t GetRecoverID() override;
  TnxRecordIteratorResult RecoverIterate(const uint8_t* aBlock, TnxBlockNumber aBlockNumber, PnxRecordBuffer* aData,
                                         const TnxStorageRecordIterator& aIterator, void* aCookie) override;
  TnxRecordIteratorResult ReadRecordForIterate(TnxBaseTransaction* aTrans, TnxRefNr aRefNr, PnxRecordBuffer* aData,
                                               const TnxStorageRecordIterator& aIterator, void* aCookie,
                                               TnxBaseFilterEngine* aFilter) override;
  void ReplaceAllRecords(TnxBaseTransaction& aTrans, const TnxGetRecordCallback& aCallback) override;
  void Rollback(TnxBaseTransaction& aTrans) override;

  using TPoolBuffer = std::unique_ptr<uint8_t, TnxPoolBufferRelease>;

  uint16_t reHeaderSection = 0;
  // Buffers of max(record length + 4, minimum payload) bytes.
  TnxPoolHandle reRecordAllocator = 0;
  TPoolBuffer reRecordBuffer;
  TPoolBuffer reRawPadding;
  uint16_t reRawPaddingSize = 0;
  std::unique_ptr<TnxBaseHeapEngine> reHeapEngine;
  std::unique_ptr<TnxBaseRecordCompressionEngine> reCompressionEngine;

protected:
  // The versioned engine's form: a 16-bit flag word, minimum payload 10.
  TnxVariableRecordEngine(const TnxSubEngineArgs& aArgs, bool aVersioned);

  // The record length of layout version aVersion (0 here).
  virtual uint32_t StoredLength(uint32_t aVersion) const;
  // Rebuilds a record of version aVersion from its compressed form.
  virtual void Decompress(uint32_t aVersion, const uint8_t* aSource, uint16_t aSize, PnxRecordBuffer aTarget);
  // Widens a record of version aVersion to the current layout.
  virtual void UpgradeRecord(uint32_t aVersion, PnxRecordBuffer aRecord);
  [[noreturn]] void Raise(uint32_t aCode, std::u16string_view aMessage,
                          std::initializer_list<platform::TFormatArg> aArgs = {}) const;

  bool reVersioned;
  uint16_t reFlagsSize;
  uint16_t reMinPayload;
  // The flags every written record starts with (the versioned layout
  // version in the high byte).
  uint16_t reNewRecordFlags = 0;
  uint32_t reMaxVersion = 0;

private:
  struct TSegment;
  struct TForm;
  struct TStoredForm;
  struct TWalkBuffer;

  // Where a reference points, its reuse counter masked off.
  TnxHeapRef Locate(TnxRefNr aRefNr) const;
  void GetSegment(TnxBaseTransaction* aTrans, TnxRefNr aRefNr, bool aForChange, TSegment& aSegment);
  TForm Parse(const uint8_t* aSegment, uint16_t aSize, TnxRefNr aRefNr) const;
  TnxHeapRef ForwardOf(const TForm& aForm) const;
  // Reads the body aBodyRef of a moved record and checks that it is one.
  void GetBody(TnxBaseTransaction* aTrans, TnxHeapRef aBodyRef, bool aForChange, TSegment& aBody, TForm& aForm);
  void Decode(const TForm& aForm, TnxRefNr aRefNr, PnxRecordBuffer aTarget);
  // Decodes a home segment, following its reference.
  void DecodeHome(TnxBaseTransaction* aTrans, const TForm& aForm, TnxRefNr aRefNr, PnxRecordBuffer aTarget);
  TStoredForm Encode(PnxRecordBuffer aRecord);
  void WriteFlags(uint8_t* aSegment, uint16_t aFlags) const noexcept;
  void FreeBody(TnxBaseTransaction& aTrans, TnxHeapRef aBodyRef);
  void ChangeRecordCount(TnxBaseTransaction& aTrans, int32_t aDelta);
  [[noreturn]] void RaiseDamaged(TnxRefNr aRefNr) const;
  [[noreturn]] void RaiseChainTooLong(TnxBlockNumber aBlock) const;
  // Calls aVisit(reference, payload form) for every home segment in walk
  // order from after (backward: before) aFrom, or from the chain's end
  // when aFrom is 0; stops when aVisit answers true. Answers whether it
  // was stopped.
  template <class TVisit>
  bool Walk(TnxBaseTransaction* aTrans, TnxRefNr aFrom, bool aBackward, TVisit&& aVisit);
  void ReadNeighbour(TnxBaseTransaction* aTrans, TnxRefNr aFromRefNr, TnxRefNr& aRefNr, PnxRecordBuffer aRecData,
                     bool aBackward);
  void IterateDir(TnxBaseTransaction* aTrans, TnxRefNr& aRefNr, PnxRecordBuffer* aData,
                  const TnxStorageRecordIterator& aIterator, void* aCookie, TnxBaseFilterEngine* aFilter,
                  bool aKeepPosition, bool aSkipFirst, bool aBackward);
};

// Appended fields: version v holds the original fields and the first v
// appended ones.
struct TnxVariableVersionedRecordEngineFieldInfo {
  int32_t fiFieldsLength = 0;
  int32_t fiNullBitsOffset = 0;
  int32_t fiNullBitsSize = 0;
  int32_t fiClearBytesCount = 0;
};

// The version is one byte: at most 255 appended fields.
inline constexpr int32_t nxMaxRecordVersion = 255;

class TnxVariableVersionedRecordEngine : public TnxVariableRecordEngine {
  // Its own engine of the record family, sharing the variable engine's code.
  REVUROV_REGISTERABLE_RECORD(TnxVariableVersionedRecordEngine, TnxBaseRecordEngine, TnxSubEngineClass, nullptr,
                              &TnxVariableVersionedRecordEngine::CheckValidDescriptor,
                              &nxNewSubEngine<TnxVariableVersionedRecordEngine>)

  explicit TnxVariableVersionedRecordEngine(const TnxSubEngineArgs& aArgs);

  static void CheckValidDescriptor(TnxDictionaryItem& aDescriptor);

  // A field that may be null and has no default and no rules, while fewer
  // than 255 fields have been appended.
  bool CanAddField(const TnxDictionaryItem& aFieldDesc) override;
  void ReplaceAllRecords(TnxBaseTransaction& aTrans, const TnxGetRecordCallback& aCallback) override;

  TnxFieldsDescriptor& reFieldsDescriptor;
  int32_t reOriginalFieldCount = 0;
  int32_t reFieldCount = 0;
  int32_t reCurrentVersion = 0;
  uint16_t reCurrentVersionFlags = 0;
  int32_t reCurrentFieldsLength = 0;
  int32_t reCurrentNullBitsOffset = 0;
  int32_t reCurrentNullBitsSize = 0;
  std::vector<TnxVariableVersionedRecordEngineFieldInfo> reFieldInfos;

protected:
  uint32_t StoredLength(uint32_t aVersion) const override;
  void Decompress(uint32_t aVersion, const uint8_t* aSource, uint16_t aSize, PnxRecordBuffer aTarget) override;
  void UpgradeRecord(uint32_t aVersion, PnxRecordBuffer aRecord) override;
};

// Registers "Variable" and "VariableVersioned" in the record family.
void nxVariableRecordEngineStartup();
void nxVariableRecordEngineShutdown() noexcept;

}  // namespace revurov
