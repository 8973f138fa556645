// Keys of one signed 64-bit value: an index over Int64 values (the
// "record" is the 8-byte value itself) and the index in reference-number
// order. Field counts and partial lengths mean nothing to them.
#pragma once

#include "dictionary/key_engine.h"

namespace revurov {

class TnxInt64KeyEngine : public TnxBaseKeyEngine, public InxFieldDescriptor {
  REVUROV_REGISTERABLE_RECORD(TnxInt64KeyEngine, TnxBaseKeyEngine, TnxKeyEngineClass,
                              &nxNewKeyEngine<TnxInt64KeyEngine>, &TnxInt64KeyEngine::CheckValidDescriptor)

  // The runtime's invalid cast (EInvalidCast) for another descriptor.
  explicit TnxInt64KeyEngine(TnxBaseKeyDescriptor& aDescriptor);
  static void CheckValidDescriptor(TnxBaseKeyDescriptor& aDescriptor);

  using TnxBaseKeyEngine::CompareKey;
  using TnxBaseKeyEngine::CompareKeyToRecord;
  using TnxBaseKeyEngine::CompareRecord;

  bool GetKeyFieldForFilter(int32_t aIndex, std::u16string_view aName, const uint8_t* aKey, uint16_t& aType,
                            uint16_t& aSize, bool& aIsNull, const void*& aValue,
                            uint16_t& aCodePage) const override;
  int32_t GetKeyFieldIndex(std::u16string_view aName) const override;
  int32_t GetMaxFieldCount() const noexcept override { return 1; }
  InxFieldDescriptor* GetKeyFieldEngine(int32_t aIndex) const override;
  int32_t GetFieldsOffset() const noexcept override { return 0; }

  void ClearKey(uint8_t* aKey) const noexcept override;
  uint32_t BuildKey(const uint8_t* aRecord, uint8_t* aKey, TnxRefNr aRefNr, bool aIgnoreFilter) const override;
  int CompareKey(const uint8_t* aKey1, const uint8_t* aKey2, int32_t aFieldCount,
                 int32_t aPartialLen) const override;
  int CompareKey(const uint8_t* aKey1, const uint8_t* aKey2) const override;
  int CompareKeyToRecord(const uint8_t* aKey, const uint8_t* aRecord, TnxRefNr aRefNr, int32_t aFieldCount,
                         int32_t aPartialLen) const override;
  int CompareKeyToRecord(const uint8_t* aKey, const uint8_t* aRecord, TnxRefNr aRefNr) const override;
  int CompareRecord(const uint8_t* aRecord1, TnxRefNr aRefNr1, const uint8_t* aRecord2, TnxRefNr aRefNr2,
                    int32_t aFieldCount, int32_t aPartialLen) const override;
  int CompareRecord(const uint8_t* aRecord1, const uint8_t* aRecord2) const override;
  // 9999 for a field other than -1 and 0.
  platform::TnxVariant KeyAsVariant(const uint8_t* aKey, int32_t aField) const override;

  // InxFieldDescriptor of the one key field.
  std::u16string GetName() override { return std::u16string(FieldName()); }
  TnxFieldType GetFieldType() override { return nxtInt64; }
  int32_t GetUnits() override { return 0; }
  int32_t GetDecPl() override { return 0; }
  TnxLocaleDescriptor* GetFieldLocaleDescriptor() override { return nullptr; }
  uint16_t GetUsedStorageCodePage() override { return 0; }

protected:
  virtual std::u16string_view FieldName() const noexcept { return u"Int64"; }
};

// The key is the record's reference number; the records are never read.
class TnxRefKeyEngine : public TnxInt64KeyEngine {
  REVUROV_REGISTERABLE_RECORD(TnxRefKeyEngine, TnxInt64KeyEngine, TnxKeyEngineClass,
                              &nxNewKeyEngine<TnxRefKeyEngine>, &TnxRefKeyEngine::CheckValidDescriptor)

  explicit TnxRefKeyEngine(TnxBaseKeyDescriptor& aDescriptor);
  static void CheckValidDescriptor(TnxBaseKeyDescriptor& aDescriptor);

  using TnxInt64KeyEngine::CompareKeyToRecord;
  using TnxInt64KeyEngine::CompareRecord;

  uint32_t BuildKey(const uint8_t* aRecord, uint8_t* aKey, TnxRefNr aRefNr, bool aIgnoreFilter) const override;
  int CompareKeyToRecord(const uint8_t* aKey, const uint8_t* aRecord, TnxRefNr aRefNr, int32_t aFieldCount,
                         int32_t aPartialLen) const override;
  int CompareKeyToRecord(const uint8_t* aKey, const uint8_t* aRecord, TnxRefNr aRefNr) const override;
  int CompareRecord(const uint8_t* aRecord1, TnxRefNr aRefNr1, const uint8_t* aRecord2, TnxRefNr aRefNr2,
                    int32_t aFieldCount, int32_t aPartialLen) const override;
  int CompareRecord(const uint8_t* aRecord1, const uint8_t* aRecord2) const override;

protected:
  std::u16string_view FieldName() const noexcept override { return u"RefNr"; }
};

}  // namespace revurov
