// Keys over record fields: a row of key field engines with the null flags
// in front (TnxCompKeyEngine) or without them (TnxNoNullCompKeyEngine).
//
// Key layout of TnxCompKeyEngine: (field count + 7) div 8 bytes of null
// flags (bit i, least significant first, set for a null key field i), then
// each key field's value, KeyLength() bytes each, in key field order. The
// no-null engine's keys hold the values alone.
//
// Contract: everything the engine computes is computed in its
// constructor (offsets included), so one engine serves many threads.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "dictionary/key_engine.h"
#include "dictionary/key_field_engines.h"

namespace revurov {

class TnxFieldsDescriptor;

class TnxCompKeyEngine : public TnxBaseKeyEngine {
  REVUROV_REGISTERABLE_RECORD(TnxCompKeyEngine, TnxBaseKeyEngine, TnxKeyEngineClass,
                              &nxNewKeyEngine<TnxCompKeyEngine>, &TnxCompKeyEngine::CheckValidDescriptor)

  // Raises what a key field engine raises; nothing is left behind.
  explicit TnxCompKeyEngine(TnxBaseKeyDescriptor& aDescriptor);
  ~TnxCompKeyEngine() override;
  // The runtime's invalid cast for a descriptor that is no composite key;
  // every key field must have a working engine.
  static void CheckValidDescriptor(TnxBaseKeyDescriptor& aDescriptor);

  using TnxBaseKeyEngine::CompareKeyToRecord;
  using TnxBaseKeyEngine::CompareRecord;

  TnxFieldsDescriptor& FieldsDescriptor() const noexcept { return *ckeFieldsDescriptor; }
  int32_t KeyFieldCount() const noexcept { return ckeKeyFieldCount; }
  TnxCompositeKeyFieldEngine& KeyField(int32_t aIndex) const { return *ckeKeyFieldEngines.at(aIndex); }

  // The key field's compare code page is reported for text (0 for
  // others), so that a filter reads key text in the code page it is in.
  bool GetKeyFieldForFilter(int32_t aIndex, std::u16string_view aName, const uint8_t* aKey, uint16_t& aType,
                            uint16_t& aSize, bool& aIsNull, const void*& aValue,
                            uint16_t& aCodePage) const override;
  // By the record field's name, or name "_" engine name for a key field
  // with a named engine; without case.
  int32_t GetKeyFieldIndex(std::u16string_view aName) const override;
  int32_t GetMaxFieldCount() const noexcept override { return ckeKeyFieldCount; }
  InxFieldDescriptor* GetKeyFieldEngine(int32_t aIndex) const override;
  int32_t GetFieldsOffset() const noexcept override { return ckeKeyOffset; }
  int32_t GetKeyFieldOffset(int32_t aIndex) const noexcept override;

  void ClearKey(uint8_t* aKey) const noexcept override;
  uint32_t BuildKey(const uint8_t* aRecord, uint8_t* aKey, TnxRefNr aRefNr, bool aIgnoreFilter) const override;
  uint32_t KeyToRecord(const uint8_t* aKey, uint8_t* aRecord) const override;
  int CompareKey(const uint8_t* aKey1, const uint8_t* aKey2, int32_t aFieldCount,
                 int32_t aPartialLen) const override;
  // final: a caller holding this class calls it without the table.
  int CompareKey(const uint8_t* aKey1, const uint8_t* aKey2) const final;
  int CompareKeyToRecord(const uint8_t* aKey, const uint8_t* aRecord, TnxRefNr aRefNr, int32_t aFieldCount,
                         int32_t aPartialLen) const override;
  int CompareKeyToRecord(const uint8_t* aKey, const uint8_t* aRecord, TnxRefNr aRefNr) const override;
  int CompareRecord(const uint8_t* aRecord1, TnxRefNr aRefNr1, const uint8_t* aRecord2, TnxRefNr aRefNr2,
                    int32_t aFieldCount, int32_t aPartialLen) const override;
  platform::TnxVariant KeyAsVariant(const uint8_t* aKey, int32_t aField) const override;
  bool KeyContainsNulls(const uint8_t* aKey) const noexcept override;

  // A form of the key whose bytes, compared unsigned from the first, order
  // keys as CompareKey(aKey1, aKey2) does, equal forms for keys it finds
  // equal: for a sort that compares far more often than it builds keys.
  // The length is 0 when a key field has no such form (anything but Int32,
  // Int64 and case-sensitive ShortStrings in code-unit order).
  int32_t ByteOrderKeyLength() const noexcept { return ckeByteOrderKeyLength; }
  // aKey's form into aForm, ByteOrderKeyLength() bytes; only where that
  // length is not 0.
  void BuildByteOrderKey(const uint8_t* aKey, uint8_t* aForm) const noexcept;

protected:
  TnxCompKeyEngine(TnxBaseKeyDescriptor& aDescriptor, bool aNullFlags);


private:
  struct Span {
    int32_t whole;
    bool partial;
  };
  Span SpanOf(int32_t aFieldCount, int32_t aPartialLen) const noexcept;
  bool KeyNull(const uint8_t* aKey, int32_t i) const noexcept;
  bool RecordNull(const uint8_t* aRecord, int32_t i) const noexcept;
  platform::TnxVariant FieldAsVariant(const uint8_t* aKey, int32_t i) const;
  // Compares fields with the null rule: aNullA/aNullB read the nulls,
  // aWhole and aPartial the values.
  template <class NullA, class NullB, class Whole, class Partial>
  int CompareFields(Span aSpan, int32_t aPartialLen, NullA aNullA, NullB aNullB, Whole aWhole,
                    Partial aPartial) const;

  // What a whole-key compare needs of each field, side by side.
  struct CompareSlot {
    TnxCompositeKeyFieldEngine::TCompare compare;
    const TnxCompositeKeyFieldEngine* engine;
    int32_t offset;
    int invertNull;
    TnxInlineCompare kind;
    bool descending;
    int32_t maxLen;  // ShortString: characters a key holds
  };
  static int SlotCompare(const CompareSlot& s, const uint8_t* a, const uint8_t* b);
  // Keys known to hold no nulls, from slot aFrom on.
  int CompareSlotsFrom(const uint8_t* aKey1, const uint8_t* aKey2, size_t aFrom) const;
  int CompareKeyWithNulls(const uint8_t* aKey1, const uint8_t* aKey2) const;

  TnxFieldsDescriptor* ckeFieldsDescriptor = nullptr;  // not owned
  std::vector<CompareSlot> ckeCompareSlots;
  // The whole-key compare's first field, kept apart so that the common
  // case (no nulls, a number in front) touches nothing else: icNone when
  // the null flags take more than a byte or the first field is no number.
  TnxInlineCompare ckeFirstKind = icNone;
  bool ckeFirstDescending = false;
  uint8_t ckeFlagMask = 0;  // the flag byte's bits; 0 without flags
  std::vector<std::unique_ptr<TnxCompositeKeyFieldEngine>> ckeKeyFieldEngines;
  std::vector<int> ckeKeyFieldInvertNull;
  std::vector<std::pair<std::u16string, int32_t>> ckeKeyFieldNames;  // sorted, lower-case A to Z
  int32_t ckeKeyFieldCount = 0;
  int32_t ckeKeyOffset = 0;
  std::vector<int32_t> ckeKeyFieldOffset;
  bool ckeHasNullFlags = true;
  int32_t ckeByteOrderKeyLength = 0;
};

class TnxNoNullCompKeyEngine : public TnxCompKeyEngine {
  REVUROV_REGISTERABLE_RECORD(TnxNoNullCompKeyEngine, TnxCompKeyEngine, TnxKeyEngineClass,
                              &nxNewKeyEngine<TnxNoNullCompKeyEngine>, &TnxCompKeyEngine::CheckValidDescriptor)
  explicit TnxNoNullCompKeyEngine(TnxBaseKeyDescriptor& aDescriptor);
};

}  // namespace revurov
