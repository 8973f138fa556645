// Bit arrays of the bit-array token indices: one BLOB of the fulltext BLOB
// engine per array, little-endian:
//
//   offset 0, 4 bytes: the number of set bits
//   offset 4, n bytes: bit k is bit (k mod 8) of byte 4 + k div 8
//
// A BLOB is never shorter than 4 bytes; it grows (with zero bytes up to
// the one that holds the new bit) only when a bit past its end is set, and
// an array whose count drops to 0 is deleted.
//
// Contract (every storage handler class):
// - SetBit, ClearBit and CreateNew answer an inconsistency with 9729 in
//   the class's exception: setting a set bit, clearing a clear bit or one
//   at or past the end, a BLOB shorter than 4 bytes, a count of 0 or more
//   than the array's bits can hold, a length or read call that fails or
//   delivers less than asked. Such an answer comes before anything is
//   written: the array is left as it was.
// - ClearBit answers true exactly when the array is gone: the bit was set
//   and was the last one.
// - CreateNew deletes its new BLOB when a write raises.
// - Exceptions the BLOB engine raises pass through unchanged; the caller's
//   transaction is then rolled back.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/stream.h"
#include "server/engines/fulltext_engine_base.h"

namespace revurov {

class TnxBaseBitArrayStorageHandlerDescriptor;
class TnxBaseBitArrayStorageHandlerTableEngine;
class TnxBaseBlobEngine;
class TnxBitArrayTokenIndexTableEngine;

REVUROV_EXCEPTION_CLASS(EnxBaseBitArrayStorageHandlerTableEngineException, EnxServerException);
REVUROV_EXCEPTION_CLASS(EnxSimpleBitArrayStorageHandlerTableEngineException,
                        EnxBaseBitArrayStorageHandlerTableEngineException);

extern TnxClassRegistry nxBitArrayStorageHandlerTableEngines;

// The BLOB number of a bit array in the fulltext BLOB engine.
using TnxBitArrayRef = int64_t;

struct TnxBitArrayStorageHandlerTableEngineClass : TnxRegisterableClass {
  std::unique_ptr<TnxBaseBitArrayStorageHandlerTableEngine> (*Create)(
      TnxBitArrayTokenIndexTableEngine& aParent, TnxBaseBitArrayStorageHandlerDescriptor& aDescriptor,
      TnxBaseTransaction* aTrans) = nullptr;
};

class TnxBaseBitArrayStorageHandlerTableEngine : public TnxBaseRegisterableEngine {
  REVUROV_REGISTERABLE_FAMILY(TnxBaseBitArrayStorageHandlerTableEngine, TnxBaseRegisterableEngine,
                              TnxBitArrayStorageHandlerTableEngineClass, &nxBitArrayStorageHandlerTableEngines)
  TnxBaseBitArrayStorageHandlerTableEngine(TnxBitArrayTokenIndexTableEngine& aParent,
                                           TnxBaseBitArrayStorageHandlerDescriptor& aDescriptor)
      : bbashBitArrayStorageHandlerDescriptor(aDescriptor), bbashParentBitArrayTokenIndexTableEngine(aParent) {}

  // Null for a null descriptor; 15503 with "BitArrayStorageHandler" for a
  // class that is not registered.
  static std::unique_ptr<TnxBaseBitArrayStorageHandlerTableEngine> CreateFor(
      TnxBitArrayTokenIndexTableEngine& aParent, TnxBaseBitArrayStorageHandlerDescriptor* aDescriptor,
      TnxBaseTransaction* aTrans);

  virtual void SetBit(TnxBaseTransaction& aTrans, TnxBitArrayRef aBitArrayRef, uint32_t aBit) = 0;
  // True when the array was deleted.
  virtual bool ClearBit(TnxBaseTransaction& aTrans, TnxBitArrayRef aBitArrayRef, uint32_t aBit) = 0;
  // A new array holding aBit alone.
  virtual TnxBitArrayRef CreateNew(TnxBaseTransaction& aTrans, uint32_t aBit) = 0;

  TnxBaseBitArrayStorageHandlerDescriptor& BitArrayStorageHandlerDescriptor() const noexcept {
    return bbashBitArrayStorageHandlerDescriptor;
  }
  TnxBitArrayTokenIndexTableEngine& ParentBitArrayTokenIndexTableEngine() const noexcept {
    return bbashParentBitArrayTokenIndexTableEngine;
  }

private:
  TnxBaseBitArrayStorageHandlerDescriptor& bbashBitArrayStorageHandlerDescriptor;
  TnxBitArrayTokenIndexTableEngine& bbashParentBitArrayTokenIndexTableEngine;
};

// Arrays in the fulltext table engine's BLOB engine; 10004 at creation when
// the fulltext descriptor has no BLOB storage.
class TnxSimpleBitArrayStorageHandlerTableEngine : public TnxBaseBitArrayStorageHandlerTableEngine {
public:
  static std::unique_ptr<TnxBaseBitArrayStorageHandlerTableEngine> New(
      TnxBitArrayTokenIndexTableEngine& aParent, TnxBaseBitArrayStorageHandlerDescriptor& aDescriptor,
      TnxBaseTransaction* aTrans);
  REVUROV_REGISTERABLE_RECORD(TnxSimpleBitArrayStorageHandlerTableEngine, TnxBaseBitArrayStorageHandlerTableEngine,
                              TnxBitArrayStorageHandlerTableEngineClass,
                              &TnxSimpleBitArrayStorageHandlerTableEngine::New)
  TnxSimpleBitArrayStorageHandlerTableEngine(TnxBitArrayTokenIndexTableEngine& aParent,
                                             TnxBaseBitArrayStorageHandlerDescriptor& aDescriptor);

  void SetBit(TnxBaseTransaction& aTrans, TnxBitArrayRef aBitArrayRef, uint32_t aBit) override;
  bool ClearBit(TnxBaseTransaction& aTrans, TnxBitArrayRef aBitArrayRef, uint32_t aBit) override;
  TnxBitArrayRef CreateNew(TnxBaseTransaction& aTrans, uint32_t aBit) override;

  TnxBaseBlobEngine& BlobEngine() const noexcept { return sbashBlobEngine; }

  // Checked reads (9729 as above), for writers that gather changes first.
  uint32_t ReadLength(TnxBaseTransaction& aTrans, TnxBitArrayRef aBitArrayRef);
  uint32_t ReadCount(TnxBaseTransaction& aTrans, TnxBitArrayRef aBitArrayRef, uint32_t aLength);
  uint8_t ReadByte(TnxBaseTransaction& aTrans, TnxBitArrayRef aBitArrayRef, uint32_t aOffset);

private:
  void WriteZeros(TnxBaseTransaction& aTrans, TnxBitArrayRef aBitArrayRef, uint32_t aOffset, uint32_t aCount);

  TnxBaseBlobEngine& sbashBlobEngine;  // the fulltext table engine's
};

// Streams that take the few bytes of a BLOB read without a buffer. Bytes
// arrive in as many pieces as the BLOB engine likes; Received tells how
// many came, so a short read is seen.
class TnxCountStream final : public platform::TStream {
public:
  int64_t Read(void* aBuffer, int64_t aCount) override;
  int64_t Write(const void* aBuffer, int64_t aCount) override;
  int64_t Seek(int64_t aOffset, platform::TSeekOrigin aOrigin) override;

  uint32_t csCount = 0;
  uint32_t Received = 0;
};

class TnxCurrentByteStream final : public platform::TStream {
public:
  int64_t Read(void* aBuffer, int64_t aCount) override;
  int64_t Write(const void* aBuffer, int64_t aCount) override;
  int64_t Seek(int64_t aOffset, platform::TSeekOrigin aOrigin) override;

  uint8_t cbsCurrentByte = 0;
  uint32_t Received = 0;
};

}  // namespace revurov
