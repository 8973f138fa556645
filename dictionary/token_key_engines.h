// Key engines of the indices that hold fulltext tokens. They do not build
// keys from records: the fulltext engines build one key per token with
// InternalBuildKey, on a cleared key.
//
// Key layouts (16-bit words, little-endian; L = MaxTokenSize, n <= L):
//   bit-array:  segment, n, L token units, [field number]
//   main index: n, L token units, [32-bit location in the last 4 bytes]
//
// Contract:
// - A token longer than L keeps its first L units, one fewer when that cut
//   would leave the high half of a surrogate pair behind. Reversed tokens
//   keep each surrogate pair in order.
// - Without a locale tokens compare by their bytes, low byte first, then
//   by length; with one, by the locale's collation. Comparisons allocate
//   nothing.
// - The bit-array engine offers no key fields: field lookups answer -1,
//   null or false. BuildKey answers 12289 (bit-array) or 1 (main index), so
//   comparisons against records raise.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "dictionary/key_engine.h"

namespace revurov {

namespace platform {
class TLocaleCollator;
}

class TnxLocaleDescriptor;

class TnxBitArrayTokenKeyEngine : public TnxBaseKeyEngine {
  REVUROV_REGISTERABLE_RECORD(TnxBitArrayTokenKeyEngine, TnxBaseKeyEngine, TnxKeyEngineClass,
                              &nxNewKeyEngine<TnxBitArrayTokenKeyEngine>,
                              &TnxBitArrayTokenKeyEngine::CheckValidDescriptor)

  // The runtime's invalid cast for another descriptor.
  explicit TnxBitArrayTokenKeyEngine(TnxBaseKeyDescriptor& aDescriptor);
  ~TnxBitArrayTokenKeyEngine() override;
  static void CheckValidDescriptor(TnxBaseKeyDescriptor& aDescriptor);
  bool SupportsReindex() const noexcept override { return true; }

  int32_t MaxTokenSize() const noexcept { return batkeMaxTokenSize; }

  using TnxBaseKeyEngine::CompareKey;

  bool GetKeyFieldForFilter(int32_t aIndex, std::u16string_view aName, const uint8_t* aKey, uint16_t& aType,
                            uint16_t& aSize, bool& aIsNull, const void*& aValue,
                            uint16_t& aCodePage) const override;
  int32_t GetKeyFieldIndex(std::u16string_view aName) const override;
  int32_t GetMaxFieldCount() const noexcept override { return 0; }
  InxFieldDescriptor* GetKeyFieldEngine(int32_t aIndex) const override;
  int32_t GetFieldsOffset() const noexcept override { return 0; }

  void ClearKey(uint8_t* aKey) const noexcept override;
  uint32_t BuildKey(const uint8_t* aRecord, uint8_t* aKey, TnxRefNr aRefNr, bool aIgnoreFilter) const override;
  int CompareKey(const uint8_t* aKey1, const uint8_t* aKey2, int32_t aFieldCount,
                 int32_t aPartialLen) const override;
  // An array of segment, token (Null when empty) and, per field, the field
  // number; 9999 for a field outside -1 to the last element; Null without
  // a key.
  platform::TnxVariant KeyAsVariant(const uint8_t* aKey, int32_t aField) const override;
  bool KeyContainsNulls(const uint8_t*) const noexcept override { return false; }

  void InternalBuildKey(uint16_t aSegment, std::u16string_view aToken, int16_t aField, uint8_t* aKey) const;

private:
  bool batkePerField = false;
  int32_t batkeMaxTokenSize = 0;
  bool batkeReverse = false;
  uint32_t batkeLocale = 0;
  uint32_t batkeFlags = 0;
  std::unique_ptr<platform::TLocaleCollator> batkeCollator;
};

class TnxMainIndexTokenKeyEngine : public TnxBaseKeyEngine, public InxFieldDescriptor {
  REVUROV_REGISTERABLE_RECORD(TnxMainIndexTokenKeyEngine, TnxBaseKeyEngine, TnxKeyEngineClass,
                              &nxNewKeyEngine<TnxMainIndexTokenKeyEngine>,
                              &TnxMainIndexTokenKeyEngine::CheckValidDescriptor)

  explicit TnxMainIndexTokenKeyEngine(TnxBaseKeyDescriptor& aDescriptor);
  ~TnxMainIndexTokenKeyEngine() override;
  static void CheckValidDescriptor(TnxBaseKeyDescriptor& aDescriptor);
  bool SupportsReindex() const noexcept override { return false; }

  int32_t MaxTokenSize() const noexcept { return mitkeMaxTokenSize; }
  bool IncludeLocation() const noexcept { return mitkeIncludeLocation; }
  // Built from the descriptor's locale and flags; null without a locale.
  TnxLocaleDescriptor* LocaleDescriptor() const noexcept { return mitkeLocaleDescriptor.get(); }

  using TnxBaseKeyEngine::CompareKey;

  // "Token" (0) and, with a location, "Location" (1).
  bool GetKeyFieldForFilter(int32_t aIndex, std::u16string_view aName, const uint8_t* aKey, uint16_t& aType,
                            uint16_t& aSize, bool& aIsNull, const void*& aValue,
                            uint16_t& aCodePage) const override;
  int32_t GetKeyFieldIndex(std::u16string_view aName) const override;
  int32_t GetMaxFieldCount() const noexcept override { return mitkeIncludeLocation ? 2 : 1; }
  InxFieldDescriptor* GetKeyFieldEngine(int32_t aIndex) const override;
  int32_t GetFieldsOffset() const noexcept override { return 0; }

  void ClearKey(uint8_t* aKey) const noexcept override;
  uint32_t BuildKey(const uint8_t* aRecord, uint8_t* aKey, TnxRefNr aRefNr, bool aIgnoreFilter) const override;
  // aPartialLen above 0 compares that many leading units; the location is
  // never compared.
  int CompareKey(const uint8_t* aKey1, const uint8_t* aKey2, int32_t aFieldCount,
                 int32_t aPartialLen) const override;
  // -1 and 0: the token (Null when empty); 1: the location.
  platform::TnxVariant KeyAsVariant(const uint8_t* aKey, int32_t aField) const override;
  bool KeyContainsNulls(const uint8_t*) const noexcept override { return false; }

  void InternalBuildKey(std::u16string_view aToken, uint32_t aLocation, uint8_t* aKey) const;

  // The token field.
  std::u16string GetName() override { return u"Token"; }
  TnxFieldType GetFieldType() override { return nxtWideString; }
  int32_t GetUnits() override { return mitkeMaxTokenSize; }
  int32_t GetDecPl() override { return 0; }
  TnxLocaleDescriptor* GetFieldLocaleDescriptor() override { return mitkeLocaleDescriptor.get(); }
  uint16_t GetUsedStorageCodePage() override { return 0; }

private:
  class LocationField : public InxFieldDescriptor {
  public:
    explicit LocationField(TnxMainIndexTokenKeyEngine& aEngine) noexcept : lfEngine(aEngine) {}
    std::u16string GetName() override { return u"Location"; }
    TnxFieldType GetFieldType() override { return nxtAutoInc; }
    int32_t GetUnits() override { return 4; }
    int32_t GetDecPl() override { return 0; }
    TnxLocaleDescriptor* GetFieldLocaleDescriptor() override { return lfEngine.mitkeLocaleDescriptor.get(); }
    uint16_t GetUsedStorageCodePage() override { return 0; }

  private:
    TnxMainIndexTokenKeyEngine& lfEngine;
  };

  int32_t mitkeMaxTokenSize = 0;
  bool mitkeIncludeLocation = false;
  uint32_t mitkeLocale = 0;
  uint32_t mitkeFlags = 0;
  std::unique_ptr<TnxLocaleDescriptor> mitkeLocaleDescriptor;
  std::unique_ptr<platform::TLocaleCollator> mitkeCollator;
  mutable LocationField mitkeLocationField{*this};
};

}  // namespace revurov
