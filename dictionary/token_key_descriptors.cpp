#include "dictionary/token_key_descriptors.h"

#include <algorithm>

#include "lowlevel/errors/error_codes.h"
#include "lowlevel/streams/tagged_stream.h"

namespace revurov {

int32_t nxClampTokenSize(int32_t aValue) noexcept { return std::clamp(aValue, int32_t{1}, nxMaxTokenSize); }

// ---- TnxBitArrayTokenKeyDescriptor ----

void TnxBitArrayTokenKeyDescriptor::SetMaxTokenSize(int32_t aValue) {
  CheckReadOnly();
  batkdMaxTokenSize = nxClampTokenSize(aValue);
}
void TnxBitArrayTokenKeyDescriptor::SetPerFieldIndex(bool aValue) {
  CheckReadOnly();
  batkdPerFieldIndex = aValue;
}
void TnxBitArrayTokenKeyDescriptor::SetReverse(bool aValue) {
  CheckReadOnly();
  batkdReverse = aValue;
}
void TnxBitArrayTokenKeyDescriptor::SetLocale(uint32_t aValue) {
  CheckReadOnly();
  batkdLocale = aValue;
}
void TnxBitArrayTokenKeyDescriptor::SetFlags(uint32_t aValue) {
  CheckReadOnly();
  batkdFlags = aValue;
}

uint32_t TnxBitArrayTokenKeyDescriptor::GetKeyLen() const {
  return 2 * static_cast<uint32_t>(batkdMaxTokenSize) + 4 + (batkdPerFieldIndex ? 2 : 0);
}

bool TnxBitArrayTokenKeyDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  if (!TnxBaseKeyDescriptor::IsEqual(aItem)) return false;
  const auto* other = dynamic_cast<const TnxBitArrayTokenKeyDescriptor*>(aItem);
  return other && batkdMaxTokenSize == other->batkdMaxTokenSize &&
         batkdPerFieldIndex == other->batkdPerFieldIndex && batkdReverse == other->batkdReverse &&
         batkdLocale == other->batkdLocale && batkdFlags == other->batkdFlags;
}

void TnxBitArrayTokenKeyDescriptor::SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const {
  TnxBaseKeyDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(int32_t{1});
  aWriter.WriteInteger(batkdMaxTokenSize);
  aWriter.WriteBoolean(batkdPerFieldIndex);
  aWriter.WriteBoolean(batkdReverse);
  aWriter.WriteInteger(static_cast<int32_t>(batkdLocale));
  aWriter.WriteInteger(static_cast<int32_t>(batkdFlags));
}

void TnxBitArrayTokenKeyDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxBaseKeyDescriptor::LoadFromReader(aReader);
  if (aReader.ReadInteger() != 1) throw EnxBitArrayTokenKeyDescriptorException(nxeIncompatibleStream);
  batkdMaxTokenSize = nxClampTokenSize(aReader.ReadInteger());
  batkdPerFieldIndex = aReader.ReadBoolean();
  batkdReverse = aReader.ReadBoolean();
  batkdLocale = static_cast<uint32_t>(aReader.ReadInteger());
  batkdFlags = static_cast<uint32_t>(aReader.ReadInteger());
}

// ---- TnxMainIndexTokenKeyDescriptor ----

void TnxMainIndexTokenKeyDescriptor::SetMaxTokenSize(int32_t aValue) {
  CheckReadOnly();
  mitkdMaxTokenSize = nxClampTokenSize(aValue);
}
void TnxMainIndexTokenKeyDescriptor::SetIncludeLocation(bool aValue) {
  CheckReadOnly();
  mitkdIncludeLocation = aValue;
}
void TnxMainIndexTokenKeyDescriptor::SetLocale(uint32_t aValue) {
  CheckReadOnly();
  mitkdLocale = aValue;
}
void TnxMainIndexTokenKeyDescriptor::SetFlags(uint32_t aValue) {
  CheckReadOnly();
  mitkdFlags = aValue;
}

uint32_t TnxMainIndexTokenKeyDescriptor::GetKeyLen() const {
  return 2 * static_cast<uint32_t>(mitkdMaxTokenSize) + 2 + (mitkdIncludeLocation ? 4 : 0);
}

bool TnxMainIndexTokenKeyDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  if (!TnxBaseKeyDescriptor::IsEqual(aItem)) return false;
  const auto* other = dynamic_cast<const TnxMainIndexTokenKeyDescriptor*>(aItem);
  return other && mitkdMaxTokenSize == other->mitkdMaxTokenSize &&
         mitkdIncludeLocation == other->mitkdIncludeLocation && mitkdLocale == other->mitkdLocale &&
         mitkdFlags == other->mitkdFlags;
}

void TnxMainIndexTokenKeyDescriptor::SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const {
  if (mitkdIncludeLocation && aClientVersion < nxClientVersionTokenLocation)
    throw EnxMainIndexTokenKeyDescriptorException(nxeIncompatibleVersion);
  TnxBaseKeyDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(int32_t{mitkdIncludeLocation ? 2 : 1});
  aWriter.WriteInteger(mitkdMaxTokenSize);
  aWriter.WriteInteger(static_cast<int32_t>(mitkdLocale));
  aWriter.WriteInteger(static_cast<int32_t>(mitkdFlags));
  if (mitkdIncludeLocation) aWriter.WriteBoolean(true);
}

void TnxMainIndexTokenKeyDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxBaseKeyDescriptor::LoadFromReader(aReader);
  const int32_t version = aReader.ReadInteger();
  if (version != 1 && version != 2) throw EnxMainIndexTokenKeyDescriptorException(nxeIncompatibleStream);
  mitkdMaxTokenSize = nxClampTokenSize(aReader.ReadInteger());
  mitkdLocale = static_cast<uint32_t>(aReader.ReadInteger());
  mitkdFlags = static_cast<uint32_t>(aReader.ReadInteger());
  mitkdIncludeLocation = version == 2 && aReader.ReadBoolean();
}

}  // namespace revurov
