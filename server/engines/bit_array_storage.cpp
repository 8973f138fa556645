#include "server/engines/bit_array_storage.h"

#include <algorithm>
#include <cstring>

#include "dictionary/token_index_descriptors.h"
#include "lowlevel/errors/error_codes.h"
#include "server/engines/fulltext_table_engine.h"
#include "storage/blob_engines.h"

namespace revurov {

constinit TnxClassRegistry nxBitArrayStorageHandlerTableEngines;

namespace {

constexpr uint32_t kCountSize = 4;
// Zero gaps go out in pieces of this size; bits below 2^19 never need more
// than one.
constexpr uint32_t kZeroPiece = 65536;
constexpr uint8_t kZeros[kZeroPiece] = {};

[[noreturn]] void RaiseInconsistent() { throw EnxSimpleBitArrayStorageHandlerTableEngineException(nxeKeyViolation); }

// The bits a BLOB of aLength bytes can hold.
uint64_t Capacity(uint32_t aLength) noexcept { return uint64_t{aLength - kCountSize} * 8; }

void StoreCount(uint8_t (&aBytes)[kCountSize], uint32_t aCount) noexcept {
  for (uint32_t i = 0; i < kCountSize; ++i) aBytes[i] = static_cast<uint8_t>(aCount >> (8 * i));
}

}  // namespace

// ---- TnxBaseBitArrayStorageHandlerTableEngine ----

std::unique_ptr<TnxBaseBitArrayStorageHandlerTableEngine> TnxBaseBitArrayStorageHandlerTableEngine::CreateFor(
    TnxBitArrayTokenIndexTableEngine& aParent, TnxBaseBitArrayStorageHandlerDescriptor* aDescriptor,
    TnxBaseTransaction* aTrans) {
  if (!aDescriptor) return nullptr;
  const std::u16string name = nxReplaceEngineWord(aDescriptor->ClassName(), u"Descriptor", u"TableEngine");
  const auto* engineClass = nxFindClassAs<TnxBitArrayStorageHandlerTableEngineClass>(ClassInfo(), name);
  if (!engineClass || !engineClass->Create)
    nxRaiseUnknownEngine<EnxBaseBitArrayStorageHandlerTableEngineException>(u"BitArrayStorageHandler", name);
  return engineClass->Create(aParent, *aDescriptor, aTrans);
}

// ---- TnxSimpleBitArrayStorageHandlerTableEngine ----

namespace {

TnxBaseBlobEngine& FulltextBlobEngineOf(TnxBitArrayTokenIndexTableEngine& aParent) {
  TnxBaseBlobEngine* engine = aParent.ParentFulltextIndexTableEngine().ParentFulltextTableEngine().BlobEngine();
  if (!engine) throw EnxSimpleBitArrayStorageHandlerTableEngineException(nxeInvalidDescriptor);
  return *engine;
}

}  // namespace

std::unique_ptr<TnxBaseBitArrayStorageHandlerTableEngine> TnxSimpleBitArrayStorageHandlerTableEngine::New(
    TnxBitArrayTokenIndexTableEngine& aParent, TnxBaseBitArrayStorageHandlerDescriptor& aDescriptor,
    TnxBaseTransaction* /*aTrans*/) {
  return std::make_unique<TnxSimpleBitArrayStorageHandlerTableEngine>(aParent, aDescriptor);
}

TnxSimpleBitArrayStorageHandlerTableEngine::TnxSimpleBitArrayStorageHandlerTableEngine(
    TnxBitArrayTokenIndexTableEngine& aParent, TnxBaseBitArrayStorageHandlerDescriptor& aDescriptor)
    : TnxBaseBitArrayStorageHandlerTableEngine(aParent, aDescriptor), sbashBlobEngine(FulltextBlobEngineOf(aParent)) {}

uint32_t TnxSimpleBitArrayStorageHandlerTableEngine::ReadLength(TnxBaseTransaction& aTrans,
                                                                TnxBitArrayRef aBitArrayRef) {
  uint32_t length = 0;
  if (sbashBlobEngine.GetBlobLength(&aTrans, aBitArrayRef, {}, length) != 0) RaiseInconsistent();
  if (length < kCountSize) RaiseInconsistent();
  return length;
}

// A count of 0 or more bits than the array holds is damage: such an array
// would be deleted or grown on a word that is not true.
uint32_t TnxSimpleBitArrayStorageHandlerTableEngine::ReadCount(TnxBaseTransaction& aTrans,
                                                               TnxBitArrayRef aBitArrayRef, uint32_t aLength) {
  TnxCountStream stream;
  if (sbashBlobEngine.Read(&aTrans, aBitArrayRef, 0, kCountSize, {}, stream) != 0) RaiseInconsistent();
  if (stream.Received != kCountSize) RaiseInconsistent();
  if (stream.csCount == 0 || stream.csCount > Capacity(aLength)) RaiseInconsistent();
  return stream.csCount;
}

uint8_t TnxSimpleBitArrayStorageHandlerTableEngine::ReadByte(TnxBaseTransaction& aTrans, TnxBitArrayRef aBitArrayRef,
                                                             uint32_t aOffset) {
  TnxCurrentByteStream stream;
  if (sbashBlobEngine.Read(&aTrans, aBitArrayRef, aOffset, 1, {}, stream) != 0) RaiseInconsistent();
  if (stream.Received != 1) RaiseInconsistent();
  return stream.cbsCurrentByte;
}

void TnxSimpleBitArrayStorageHandlerTableEngine::WriteZeros(TnxBaseTransaction& aTrans, TnxBitArrayRef aBitArrayRef,
                                                            uint32_t aOffset, uint32_t aCount) {
  while (aCount > 0) {
    const uint32_t n = std::min(aCount, kZeroPiece);
    sbashBlobEngine.Write(aTrans, aBitArrayRef, aOffset, n, kZeros);
    aOffset += n;
    aCount -= n;
  }
}

// Everything is read and checked before the first write, so a refusal
// leaves the array as it was.
void TnxSimpleBitArrayStorageHandlerTableEngine::SetBit(TnxBaseTransaction& aTrans, TnxBitArrayRef aBitArrayRef,
                                                        uint32_t aBit) {
  const uint32_t offset = kCountSize + aBit / 8;
  const auto mask = static_cast<uint8_t>(1u << (aBit % 8));
  const uint32_t length = ReadLength(aTrans, aBitArrayRef);
  const uint32_t count = ReadCount(aTrans, aBitArrayRef, length);
  uint8_t current = 0;
  if (offset < length) {
    current = ReadByte(aTrans, aBitArrayRef, offset);
    if (current & mask) RaiseInconsistent();
  }
  // The set bits then number count + 1, which must fit what the array
  // then holds.
  if (uint64_t{count} + 1 > Capacity(std::max(length, offset + 1))) RaiseInconsistent();
  if (offset > length) WriteZeros(aTrans, aBitArrayRef, length, offset - length);
  const auto updated = static_cast<uint8_t>(current | mask);
  sbashBlobEngine.Write(aTrans, aBitArrayRef, offset, 1, &updated);
  uint8_t countBytes[kCountSize];
  StoreCount(countBytes, count + 1);
  sbashBlobEngine.Write(aTrans, aBitArrayRef, 0, kCountSize, countBytes);
}

// The bit is tested before anything changes: clearing a clear bit would
// otherwise take another record's posting (or, on a count of 1, the whole
// array) with it.
bool TnxSimpleBitArrayStorageHandlerTableEngine::ClearBit(TnxBaseTransaction& aTrans, TnxBitArrayRef aBitArrayRef,
                                                          uint32_t aBit) {
  const uint32_t offset = kCountSize + aBit / 8;
  const auto mask = static_cast<uint8_t>(1u << (aBit % 8));
  const uint32_t length = ReadLength(aTrans, aBitArrayRef);
  if (offset >= length) RaiseInconsistent();
  const uint32_t count = ReadCount(aTrans, aBitArrayRef, length);
  const uint8_t current = ReadByte(aTrans, aBitArrayRef, offset);
  if (!(current & mask)) RaiseInconsistent();
  if (count == 1) {
    sbashBlobEngine.DeleteBlob(aTrans, aBitArrayRef);
    return true;
  }
  uint8_t countBytes[kCountSize];
  StoreCount(countBytes, count - 1);
  sbashBlobEngine.Write(aTrans, aBitArrayRef, 0, kCountSize, countBytes);
  const auto updated = static_cast<uint8_t>(current & ~mask);
  sbashBlobEngine.Write(aTrans, aBitArrayRef, offset, 1, &updated);
  return false;
}

TnxBitArrayRef TnxSimpleBitArrayStorageHandlerTableEngine::CreateNew(TnxBaseTransaction& aTrans, uint32_t aBit) {
  TnxBlobNr blobNr = 0;
  sbashBlobEngine.AddBlob(aTrans, blobNr);
  try {
    uint8_t countBytes[kCountSize];
    StoreCount(countBytes, 1);
    sbashBlobEngine.Write(aTrans, blobNr, 0, kCountSize, countBytes);
    WriteZeros(aTrans, blobNr, kCountSize, aBit / 8);
    const auto mask = static_cast<uint8_t>(1u << (aBit % 8));
    sbashBlobEngine.Write(aTrans, blobNr, kCountSize + aBit / 8, 1, &mask);
  } catch (...) {
    // The write's exception is the one to report; a delete that fails too
    // leaves the BLOB to the rollback that follows.
    try {
      sbashBlobEngine.DeleteBlob(aTrans, blobNr);
    } catch (...) {
    }
    throw;
  }
  return blobNr;
}

// ---- streams ----

int64_t TnxCountStream::Read(void* /*aBuffer*/, int64_t /*aCount*/) { return 0; }

int64_t TnxCountStream::Write(const void* aBuffer, int64_t aCount) {
  if (aCount <= 0) return 0;
  const uint32_t n = std::min<uint32_t>(static_cast<uint32_t>(std::min<int64_t>(aCount, kCountSize)),
                                        kCountSize - std::min(Received, kCountSize));
  if (n > 0) {
    uint8_t bytes[kCountSize];
    StoreCount(bytes, csCount);
    std::memcpy(bytes + Received, aBuffer, n);
    csCount = static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
              static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
  }
  Received += static_cast<uint32_t>(std::min<int64_t>(aCount, UINT32_MAX - Received));
  return aCount;
}

int64_t TnxCountStream::Seek(int64_t /*aOffset*/, platform::TSeekOrigin /*aOrigin*/) { return Received; }

int64_t TnxCurrentByteStream::Read(void* /*aBuffer*/, int64_t /*aCount*/) { return 0; }

int64_t TnxCurrentByteStream::Write(const void* aBuffer, int64_t aCount) {
  if (aCount <= 0) return 0;
  if (Received == 0) cbsCurrentByte = *static_cast<const uint8_t*>(aBuffer);
  Received += static_cast<uint32_t>(std::min<int64_t>(aCount, UINT32_MAX - Received));
  return aCount;
}

int64_t TnxCurrentByteStream::Seek(int64_t /*aOffset*/, platform::TSeekOrigin /*aOrigin*/) { return Received; }

}  // namespace revurov
