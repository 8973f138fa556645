// TnxBlobCacheKeyEngine: the key engine of a cache table's index of cached
// blobs. A key is 28 bytes, little-endian, never null: blob number (Int64)
// at 0, field number (Int32) at 8, RefNr (Int64) at 12 and insert LSN
// (Int64) at 20. A record buffer handed in is read as such a key.
//
// Contract:
// - Every field compares signed; a field count of 0 means all four, n
//   stops after the n-th field; partial lengths and RefNr arguments are
//   not used.
// - Only a TnxBlobCacheKeyDescriptor is served; another descriptor is
//   refused with the runtime's invalid cast.
// - Field names are found ignoring case; an unknown name or index answers
//   -1 (GetKeyFieldIndex), nil (GetKeyFieldEngine) or false.
// - KeyAsVariant: 9999 for a field outside -1 .. 3.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "dictionary/engine_records.h"
#include "dictionary/key_engine.h"

namespace revurov {

class TnxBlobCacheKeyEngine : public TnxBaseKeyEngine {
  REVUROV_REGISTERABLE_RECORD(TnxBlobCacheKeyEngine, TnxBaseKeyEngine, TnxKeyEngineClass,
                              &nxNewKeyEngine<TnxBlobCacheKeyEngine>, &TnxBlobCacheKeyEngine::CheckValidDescriptor)

  static constexpr uint16_t kKeyLength = 28;
  static constexpr int32_t kFieldCount = 4;

  explicit TnxBlobCacheKeyEngine(TnxBaseKeyDescriptor& aDescriptor);
  static void CheckValidDescriptor(TnxBaseKeyDescriptor& aDescriptor);

  // Writes a key of the layout above.
  static void StoreKey(uint8_t* aKey, TnxBlobNr aBlobNr, int32_t aFieldNo, const TnxRecID& aRecID) noexcept;

  using TnxBaseKeyEngine::CompareKey;

  bool GetKeyFieldForFilter(int32_t aIndex, std::u16string_view aName, const uint8_t* aKey, uint16_t& aType,
                            uint16_t& aSize, bool& aIsNull, const void*& aValue,
                            uint16_t& aCodePage) const override;
  int32_t GetKeyFieldIndex(std::u16string_view aName) const override;
  int32_t GetMaxFieldCount() const noexcept override { return kFieldCount; }
  InxFieldDescriptor* GetKeyFieldEngine(int32_t aIndex) const override;
  int32_t GetFieldsOffset() const noexcept override { return 0; }
  int32_t GetKeyFieldOffset(int32_t aIndex) const noexcept override;

  void CopyKey(const uint8_t* aFrom, uint8_t* aTo) const noexcept override;
  void ClearKey(uint8_t* aKey) const noexcept override;
  uint32_t BuildKey(const uint8_t* aRecord, uint8_t* aKey, TnxRefNr aRefNr, bool aIgnoreFilter) const override;
  int CompareKey(const uint8_t* aKey1, const uint8_t* aKey2, int32_t aFieldCount,
                 int32_t aPartialLen) const override;
  int CompareKeyToRecord(const uint8_t* aKey, const uint8_t* aRecord, TnxRefNr aRefNr, int32_t aFieldCount,
                         int32_t aPartialLen) const override;
  int CompareKeyToRecord(const uint8_t* aKey, const uint8_t* aRecord, TnxRefNr aRefNr) const override;
  int CompareRecord(const uint8_t* aRecord1, TnxRefNr aRefNr1, const uint8_t* aRecord2, TnxRefNr aRefNr2,
                    int32_t aFieldCount, int32_t aPartialLen) const override;
  int CompareRecord(const uint8_t* aRecord1, TnxRefNr aRefNr1, const uint8_t* aRecord2,
                    TnxRefNr aRefNr2) const override;
  int CompareRecord(const uint8_t* aRecord1, const uint8_t* aRecord2) const override;
  platform::TnxVariant KeyAsVariant(const uint8_t* aKey, int32_t aField) const override;
  bool KeyContainsNulls(const uint8_t* aKey) const noexcept override;

private:
  // One key field as the field descriptor interface shows it.
  class TKeyField : public InxFieldDescriptor {
  public:
    explicit TKeyField(int32_t aIndex) noexcept : kfIndex(aIndex) {}
    std::u16string GetName() override;
    TnxFieldType GetFieldType() override;
    int32_t GetUnits() override { return 0; }
    int32_t GetDecPl() override { return 0; }
    TnxLocaleDescriptor* GetFieldLocaleDescriptor() override { return nullptr; }
    uint16_t GetUsedStorageCodePage() override { return 0; }

  private:
    int32_t kfIndex;
  };

  mutable TKeyField bckeFields[kFieldCount] = {TKeyField(0), TKeyField(1), TKeyField(2), TKeyField(3)};
};

void nxBlobCacheKeyEngineStartup();
void nxBlobCacheKeyEngineShutdown();

}  // namespace revurov
