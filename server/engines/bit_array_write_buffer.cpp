#include "server/engines/bit_array_write_buffer.h"

#include <algorithm>

#include "dictionary/token_key_descriptors.h"
#include "dictionary/token_key_engines.h"
#include "index/index_engines.h"
#include "index/index_path.h"
#include "lowlevel/errors/error_codes.h"
#include "server/engines/fulltext_token_indices.h"
#include "storage/blob_engines.h"

namespace revurov {

namespace {

constexpr uint32_t kCountSize = 4;
// What an array costs in the map besides its bytes.
constexpr size_t kArrayOverhead = 160;

[[noreturn]] void RaiseInconsistent() { throw EnxSimpleBitArrayStorageHandlerTableEngineException(nxeKeyViolation); }

uint64_t Capacity(uint64_t aLength) noexcept { return (aLength - kCountSize) * 8; }

TnxBitArrayTokenKeyEngine& TokenKeysOf(TnxBaseIndexEngine& aIndex) {
  auto* keys = dynamic_cast<TnxBitArrayTokenKeyEngine*>(&aIndex.KeyEngine());
  if (!keys)
    throw EnxBitArrayTokenIndexCursorEngineException(nxeInvalidDescriptor,
                                                     u"Index %s does not hold bit-array token keys",
                                                     {aIndex.IndexName()});
  return *keys;
}

void StoreCount(uint8_t* aBytes, uint32_t aCount) noexcept {
  for (uint32_t i = 0; i < kCountSize; ++i) aBytes[i] = static_cast<uint8_t>(aCount >> (8 * i));
}

}  // namespace

bool TnxBitArrayWriteBuffer::TKeyLess::operator()(std::string_view a, std::string_view b) const {
  return Engine->CompareKey(reinterpret_cast<const uint8_t*>(a.data()), reinterpret_cast<const uint8_t*>(b.data())) <
         0;
}

TnxBitArrayWriteBuffer::TnxBitArrayWriteBuffer(TnxBaseIndexEngine& aPrimary, TnxBaseIndexEngine* aSecondary,
                                               TnxSimpleBitArrayStorageHandlerTableEngine& aStorage)
    : wbPrimary(aPrimary),
      wbSecondary(aSecondary),
      wbStorage(aStorage),
      wbPrimaryKeys(TokenKeysOf(aPrimary)),
      wbPath(aPrimary.CreateIndexPath()),
      wbKey(wbPrimaryKeys.KeyLength()),
      wbByOrder(TKeyLess{&wbPrimaryKeys}) {
  // Without a locale keys compare by their bytes (the unused token area is
  // cleared), so equal bytes are equal keys.
  auto* descriptor = dynamic_cast<TnxBitArrayTokenKeyDescriptor*>(&wbPrimaryKeys.KeyDescriptor());
  wbBytesDecide = descriptor && descriptor->Locale() == 0;
  if (wbSecondary) {
    wbSecondaryKeys = &TokenKeysOf(*wbSecondary);
    wbSecondaryKey.resize(wbSecondaryKeys->KeyLength());
  }
}

TnxBitArrayWriteBuffer::~TnxBitArrayWriteBuffer() = default;

void TnxBitArrayWriteBuffer::Begin(TnxBaseTransaction& aTrans) {
  if (wbDepth > 0 && wbTrans != &aTrans)
    throw EnxBitArrayTokenIndexCursorEngineException(
        nxeTransactionCorrupt, u"Bit-array changes of another transaction are waiting to be written", {});
  wbTrans = &aTrans;
  ++wbDepth;
}

void TnxBitArrayWriteBuffer::End() noexcept {
  if (wbDepth == 0 || --wbDepth > 0) return;
  Drop();
  wbTrans = nullptr;
  wbSpoiled = false;
}

bool TnxBitArrayWriteBuffer::ActiveFor(const TnxBaseTransaction& aTrans) const {
  if (wbDepth == 0) return false;
  if (wbTrans != &aTrans)
    throw EnxBitArrayTokenIndexCursorEngineException(
        nxeTransactionCorrupt, u"Bit-array changes of another transaction are waiting to be written", {});
  return true;
}

void TnxBitArrayWriteBuffer::Spoil() noexcept {
  if (wbDepth > 0 && !wbArrays.empty()) wbSpoiled = true;
  // What was read from storage may be gone with the rollback.
  Drop();
}

void TnxBitArrayWriteBuffer::Drop() noexcept {
  wbByBytes.clear();
  wbByOrder.clear();
  wbArrays.clear();
  wbPendingBytes = 0;
}

TnxBitArrayWriteBuffer::TArray& TnxBitArrayWriteBuffer::Find(TnxBaseTransaction& aTrans, uint16_t aSegment,
                                                             std::u16string_view aToken, int16_t aField) {
  wbPrimaryKeys.ClearKey(wbKey.data());
  wbPrimaryKeys.InternalBuildKey(aSegment, aToken, aField, wbKey.data());
  const std::string_view key(reinterpret_cast<const char*>(wbKey.data()), wbKey.size());
  if (wbBytesDecide) {
    if (auto it = wbByBytes.find(key); it != wbByBytes.end()) return *it->second;
  } else if (auto it = wbByOrder.find(key); it != wbByOrder.end()) {
    return *it->second;
  }
  auto array = std::make_unique<TArray>();
  array->Key = key;
  array->Segment = aSegment;
  array->Token = aToken;
  array->Field = aField;
  if (wbPrimary.FindKey(&aTrans, wbKey.data(), 0, 0, 0, *wbPath, skaEqualFirst, nullptr)) {
    array->StoredRef = wbPath->RefNr;
    array->BaseLength = wbStorage.ReadLength(aTrans, array->StoredRef);
    array->Count = wbStorage.ReadCount(aTrans, array->StoredRef, array->BaseLength);
    array->Exists = true;
  }
  wbArrays.reserve(wbArrays.size() + 1);
  TArray& added = *array;
  if (wbBytesDecide)
    wbByBytes.emplace(added.Key, &added);
  else
    wbByOrder.emplace(added.Key, &added);
  wbArrays.push_back(std::move(array));
  wbPendingBytes += kArrayOverhead + 2 * wbKey.size() + aToken.size() * 2;
  return added;
}

uint8_t TnxBitArrayWriteBuffer::ByteAt(TnxBaseTransaction& aTrans, TArray& aArray, uint32_t aOffset) {
  if (aOffset >= aArray.BaseLength) {
    const size_t at = aOffset - aArray.BaseLength;
    return at < aArray.Tail.size() ? aArray.Tail[at] : 0;
  }
  auto it = aArray.Patches.find(aOffset);
  if (it != aArray.Patches.end()) return it->second;
  const uint8_t byte = wbStorage.ReadByte(aTrans, aArray.StoredRef, aOffset);
  aArray.Patches.emplace(aOffset, byte);
  wbPendingBytes += 48;
  return byte;
}

void TnxBitArrayWriteBuffer::PutByte(TArray& aArray, uint32_t aOffset, uint8_t aByte) {
  if (aOffset < aArray.BaseLength) {
    aArray.Patches[aOffset] = aByte;
  } else {
    const size_t at = aOffset - aArray.BaseLength;
    if (at >= aArray.Tail.size()) {
      wbPendingBytes += at + 1 - aArray.Tail.size();
      aArray.Tail.resize(at + 1, 0);
    }
    aArray.Tail[at] = aByte;
  }
  aArray.Dirty = true;
}

void TnxBitArrayWriteBuffer::Create(TArray& aArray, uint32_t aBit) {
  aArray.Exists = true;
  aArray.Count = 1;
  aArray.BaseLength = kCountSize;
  aArray.Patches.clear();
  aArray.Tail.clear();
  PutByte(aArray, kCountSize + aBit / 8, static_cast<uint8_t>(1u << (aBit % 8)));
}

void TnxBitArrayWriteBuffer::SetBit(TnxBaseTransaction& aTrans, TArray& aArray, uint32_t aBit) {
  const uint32_t offset = kCountSize + aBit / 8;
  const auto mask = static_cast<uint8_t>(1u << (aBit % 8));
  const uint64_t length = aArray.BaseLength + aArray.Tail.size();
  const uint8_t current = ByteAt(aTrans, aArray, offset);
  if (current & mask) RaiseInconsistent();
  if (uint64_t{aArray.Count} + 1 > Capacity(std::max<uint64_t>(length, offset + 1))) RaiseInconsistent();
  PutByte(aArray, offset, static_cast<uint8_t>(current | mask));
  ++aArray.Count;
}

bool TnxBitArrayWriteBuffer::ClearBit(TnxBaseTransaction& aTrans, TArray& aArray, uint32_t aBit) {
  const uint32_t offset = kCountSize + aBit / 8;
  const auto mask = static_cast<uint8_t>(1u << (aBit % 8));
  if (offset >= aArray.BaseLength + aArray.Tail.size()) RaiseInconsistent();
  const uint8_t current = ByteAt(aTrans, aArray, offset);
  if (!(current & mask)) RaiseInconsistent();
  aArray.Dirty = true;
  if (aArray.Count == 1) {
    if (aArray.StoredRef != 0) aArray.StoredGone = true;
    aArray.Exists = false;
    aArray.Count = 0;
    aArray.Patches.clear();
    aArray.Tail.clear();
    return true;
  }
  PutByte(aArray, offset, static_cast<uint8_t>(current & ~mask));
  --aArray.Count;
  return false;
}

void TnxBitArrayWriteBuffer::WriteKey(TnxBaseTransaction& aTrans, TnxBaseIndexEngine& aIndex, uint8_t* aKey,
                                      const TArray& aArray, TnxBitArrayRef aRef, bool aInsert) {
  auto& keys = static_cast<TnxBitArrayTokenKeyEngine&>(aIndex.KeyEngine());
  keys.ClearKey(aKey);
  keys.InternalBuildKey(aArray.Segment, aArray.Token, aArray.Field, aKey);
  const bool done = aInsert ? nxTokenIndexWriteAllowed(TnxTokenIndexWrite::KeyInsert) &&
                                  aIndex.InsertKey(aTrans, aKey, aRef, 0, nullptr)
                            : nxTokenIndexWriteAllowed(TnxTokenIndexWrite::KeyDelete) &&
                                  aIndex.DeleteKey(aTrans, aKey, aRef, 0, nullptr);
  if (!done)
    throw EnxBitArrayTokenIndexCursorEngineException(
        nxeKeyViolation, u"Key violation: the key cannot be %s (token \"%s\", field %d, segment %d)",
        {std::u16string_view(aInsert ? u"inserted" : u"deleted"), aArray.Token, int32_t(aArray.Field),
         int32_t(aArray.Segment)});
}

void TnxBitArrayWriteBuffer::FlushArray(TnxBaseTransaction& aTrans, TArray& aArray) {
  TnxBaseBlobEngine& blobs = wbStorage.BlobEngine();
  if (aArray.StoredGone) {
    blobs.DeleteBlob(aTrans, aArray.StoredRef);
    WriteKey(aTrans, wbPrimary, wbKey.data(), aArray, aArray.StoredRef, false);
    if (wbSecondary) WriteKey(aTrans, *wbSecondary, wbSecondaryKey.data(), aArray, aArray.StoredRef, false);
  }
  if (!aArray.Exists) return;
  uint8_t count[kCountSize];
  StoreCount(count, aArray.Count);
  if (!aArray.Fresh()) {
    blobs.Write(aTrans, aArray.StoredRef, 0, kCountSize, count);
    // Runs of neighbouring changed bytes go out as one write.
    std::vector<uint8_t> run;
    uint32_t runStart = 0;
    const auto put = [&] {
      if (!run.empty()) blobs.Write(aTrans, aArray.StoredRef, runStart, uint32_t(run.size()), run.data());
      run.clear();
    };
    for (const auto& [offset, byte] : aArray.Patches) {
      if (!run.empty() && offset != runStart + run.size()) put();
      if (run.empty()) runStart = offset;
      run.push_back(byte);
    }
    put();
    if (!aArray.Tail.empty())
      blobs.Write(aTrans, aArray.StoredRef, aArray.BaseLength, uint32_t(aArray.Tail.size()), aArray.Tail.data());
    return;
  }
  std::vector<uint8_t> bytes(kCountSize + aArray.Tail.size());
  std::copy(count, count + kCountSize, bytes.begin());
  std::copy(aArray.Tail.begin(), aArray.Tail.end(), bytes.begin() + kCountSize);
  TnxBlobNr ref = 0;
  blobs.AddBlob(aTrans, ref);
  blobs.Write(aTrans, ref, 0, uint32_t(bytes.size()), bytes.data());
  WriteKey(aTrans, wbPrimary, wbKey.data(), aArray, ref, true);
  if (wbSecondary) WriteKey(aTrans, *wbSecondary, wbSecondaryKey.data(), aArray, ref, true);
}

void TnxBitArrayWriteBuffer::Flush(TnxBaseTransaction& aTrans) {
  if (wbSpoiled) {
    Drop();
    throw EnxBitArrayTokenIndexCursorEngineException(
        nxeTransactionCorrupt, u"A rollback took back storage that waiting bit-array changes rest on", {});
  }
  if (wbDepth > 0 && wbTrans != &aTrans)
    throw EnxBitArrayTokenIndexCursorEngineException(
        nxeTransactionCorrupt, u"Bit-array changes of another transaction are waiting to be written", {});
  // Whatever happens, the changes are out of the buffer: written, or part
  // of a transaction that must roll back.
  struct TDrop {
    TnxBitArrayWriteBuffer& Buffer;
    ~TDrop() { Buffer.Drop(); }
  } drop{*this};
  // In key order: neighbouring keys share index blocks.
  std::vector<TArray*> dirty;
  for (const auto& array : wbArrays)
    if (array->Dirty) dirty.push_back(array.get());
  const TKeyLess less{&wbPrimaryKeys};
  std::sort(dirty.begin(), dirty.end(), [&](const TArray* a, const TArray* b) { return less(a->Key, b->Key); });
  for (TArray* array : dirty) FlushArray(aTrans, *array);
}

}  // namespace revurov
