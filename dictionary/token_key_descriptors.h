// The keys of the indices that hold fulltext tokens: a bit-array token key
// (segment, token, optional field number) and a main-index token key
// (token, optional 32-bit location). The layouts are the token key
// engines' (dictionary/token_key_engines.h).
//
// Contract:
// - MaxTokenSize is kept in 1 to nxMaxTokenSize whether it comes from a
//   setter or a stream, so a key length always fits its 16-bit field.
// - IsEqual compares every setting the stream carries.
// - A main-index token key with a location is refused (12039) for readers
//   below 20700, which know only the layout without one.
#pragma once

#include <cstdint>

#include "dictionary/key_descriptors.h"

namespace revurov {

REVUROV_EXCEPTION_CLASS(EnxBitArrayTokenKeyDescriptorException, EnxBaseKeyDescriptorException);
REVUROV_EXCEPTION_CLASS(EnxMainIndexTokenKeyDescriptorException, EnxBaseKeyDescriptorException);

// Longest token a key holds, in UTF-16 code units.
inline constexpr int32_t nxMaxTokenSize = 1024;
inline constexpr int32_t nxDefaultTokenSize = 20;
// Client version from which a main-index token key may carry a location.
inline constexpr uint32_t nxClientVersionTokenLocation = 20700;

int32_t nxClampTokenSize(int32_t aValue) noexcept;

class TnxBitArrayTokenKeyDescriptor : public TnxBaseKeyDescriptor {
  REVUROV_REGISTERABLE_RECORD(TnxBitArrayTokenKeyDescriptor, TnxBaseKeyDescriptor, TnxKeyDescriptorClass,
                              &nxNewKeyDescriptor<TnxBitArrayTokenKeyDescriptor>)
  using TnxBaseKeyDescriptor::TnxBaseKeyDescriptor;

  int32_t MaxTokenSize() const noexcept { return batkdMaxTokenSize; }
  void SetMaxTokenSize(int32_t aValue);
  bool PerFieldIndex() const noexcept { return batkdPerFieldIndex; }
  void SetPerFieldIndex(bool aValue);
  bool Reverse() const noexcept { return batkdReverse; }
  void SetReverse(bool aValue);
  // 0: tokens compare as bytes.
  uint32_t Locale() const noexcept { return batkdLocale; }
  void SetLocale(uint32_t aValue);
  uint32_t Flags() const noexcept { return batkdFlags; }
  void SetFlags(uint32_t aValue);

  // Segment and length words, the token area, the field number.
  uint32_t GetKeyLen() const override;
  bool CanContainNulls() const override { return false; }
  bool IsEqual(const TnxDictionaryItem* aItem) const override;
  void SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const override;
  void LoadFromReader(TnxReader& aReader) override;

private:
  int32_t batkdMaxTokenSize = nxDefaultTokenSize;
  bool batkdPerFieldIndex = false;
  bool batkdReverse = false;
  uint32_t batkdLocale = 0;
  uint32_t batkdFlags = 0;
};

class TnxMainIndexTokenKeyDescriptor : public TnxBaseKeyDescriptor {
  REVUROV_REGISTERABLE_RECORD(TnxMainIndexTokenKeyDescriptor, TnxBaseKeyDescriptor, TnxKeyDescriptorClass,
                              &nxNewKeyDescriptor<TnxMainIndexTokenKeyDescriptor>)
  using TnxBaseKeyDescriptor::TnxBaseKeyDescriptor;

  int32_t MaxTokenSize() const noexcept { return mitkdMaxTokenSize; }
  void SetMaxTokenSize(int32_t aValue);
  bool IncludeLocation() const noexcept { return mitkdIncludeLocation; }
  void SetIncludeLocation(bool aValue);
  uint32_t Locale() const noexcept { return mitkdLocale; }
  void SetLocale(uint32_t aValue);
  uint32_t Flags() const noexcept { return mitkdFlags; }
  void SetFlags(uint32_t aValue);

  // Length word, the token area, the location.
  uint32_t GetKeyLen() const override;
  bool CanContainNulls() const override { return false; }
  bool IsEqual(const TnxDictionaryItem* aItem) const override;
  void SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const override;
  void LoadFromReader(TnxReader& aReader) override;

private:
  int32_t mitkdMaxTokenSize = nxDefaultTokenSize;
  bool mitkdIncludeLocation = false;
  uint32_t mitkdLocale = 0;
  uint32_t mitkdFlags = 0;
};

}  // namespace revurov
