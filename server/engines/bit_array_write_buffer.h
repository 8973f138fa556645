// The bit-array writes of an operation that changes many records (a batch
// insert), gathered in memory per array and written once at its end.
// Setting one bit straight into storage costs a key lookup and a read and
// write of the array's BLOB; a common token meets that once per record.
//
// Contract:
// - While open, every bit-array change of the token index goes through the
//   buffer (cursor engines ask ActiveFor first); each array is looked up and
//   its length and count read once, bytes are read only where a bit below
//   the stored end changes.
// - The checks are those of the storage handler and happen at once: a bit
//   set twice, a clear bit cleared or a damaged array raise 9729 when the
//   record is processed, not at the flush.
// - Flush leaves storage exactly as the same changes written one by one
//   would: an array gone and made again is a new BLOB with new keys, an
//   array only grows to the byte of its highest new bit.
// - Key writes happen at the flush and pass the token index write hook
//   there; a flush that fails leaves partial writes, so the operation's
//   transaction must be rolled back (the table cursor does).
// - End without Flush drops what is pending: the operation failed and its
//   transaction is rolled back. A rollback of the transaction while the
//   buffer holds changes spoils it: the flush then raises.
// - One transaction at a time; the engines run under the table cursor's
//   locks, which let only one transaction write the table.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "server/engines/bit_array_storage.h"

namespace revurov {

class TnxBaseIndexEngine;
class TnxBaseIndexPath;
class TnxBitArrayTokenKeyEngine;

class TnxBitArrayWriteBuffer {
public:
  // aPrimary: the index whose key is looked up (the forward one when there
  // is one); aSecondary: the other, or null.
  TnxBitArrayWriteBuffer(TnxBaseIndexEngine& aPrimary, TnxBaseIndexEngine* aSecondary,
                         TnxSimpleBitArrayStorageHandlerTableEngine& aStorage);
  ~TnxBitArrayWriteBuffer();
  TnxBitArrayWriteBuffer(const TnxBitArrayWriteBuffer&) = delete;
  TnxBitArrayWriteBuffer& operator=(const TnxBitArrayWriteBuffer&) = delete;

  // One array as the pending changes leave it.
  struct TArray {
    std::string Key;  // the primary index's key
    uint16_t Segment = 0;
    std::u16string Token;
    int16_t Field = 0;
    TnxBitArrayRef StoredRef = 0;  // in storage when first met; 0: none
    bool StoredGone = false;       // its last bit went: deleted at the flush
    bool Exists = false;
    bool Dirty = false;
    uint32_t Count = 0;
    // Bytes below BaseLength are the stored array's (read on demand into
    // Patches); a fresh array has none: its BaseLength is the count's 4.
    uint32_t BaseLength = 0;
    std::map<uint32_t, uint8_t> Patches;
    std::vector<uint8_t> Tail;  // bytes from BaseLength on
    bool Fresh() const noexcept { return StoredRef == 0 || StoredGone; }
  };

  // Opens (nested opens count) for aTrans; 15443 while open for another.
  void Begin(TnxBaseTransaction& aTrans);
  // Closes one level; the outermost drops what was not flushed.
  void End() noexcept;
  bool IsOpen() const noexcept { return wbDepth > 0; }
  // Open for aTrans; open for another raises 15443.
  bool ActiveFor(const TnxBaseTransaction& aTrans) const;
  // A rollback took storage back under the pending changes.
  void Spoil() noexcept;
  // Writes and forgets every pending change.
  void Flush(TnxBaseTransaction& aTrans);
  // What the pending changes hold in memory, roughly.
  size_t PendingBytes() const noexcept { return wbPendingBytes; }

  // The array of (aSegment, aToken, aField), looked up in storage on first
  // use in the open buffer.
  TArray& Find(TnxBaseTransaction& aTrans, uint16_t aSegment, std::u16string_view aToken, int16_t aField);
  // Storage handler semantics on the buffered array; Create only for an
  // array that does not exist.
  void Create(TArray& aArray, uint32_t aBit);
  void SetBit(TnxBaseTransaction& aTrans, TArray& aArray, uint32_t aBit);
  // True when the array went.
  bool ClearBit(TnxBaseTransaction& aTrans, TArray& aArray, uint32_t aBit);

private:
  struct TKeyLess {
    const TnxBitArrayTokenKeyEngine* Engine;
    bool operator()(std::string_view a, std::string_view b) const;
  };

  uint8_t ByteAt(TnxBaseTransaction& aTrans, TArray& aArray, uint32_t aOffset);
  void PutByte(TArray& aArray, uint32_t aOffset, uint8_t aByte);
  void FlushArray(TnxBaseTransaction& aTrans, TArray& aArray);
  void WriteKey(TnxBaseTransaction& aTrans, TnxBaseIndexEngine& aIndex, uint8_t* aKey, const TArray& aArray,
                TnxBitArrayRef aRef, bool aInsert);
  void Drop() noexcept;

  TnxBaseIndexEngine& wbPrimary;
  TnxBaseIndexEngine* wbSecondary;
  TnxSimpleBitArrayStorageHandlerTableEngine& wbStorage;
  TnxBitArrayTokenKeyEngine& wbPrimaryKeys;
  TnxBitArrayTokenKeyEngine* wbSecondaryKeys = nullptr;
  std::unique_ptr<TnxBaseIndexPath> wbPath;
  std::vector<uint8_t> wbKey;
  std::vector<uint8_t> wbSecondaryKey;
  std::vector<std::unique_ptr<TArray>> wbArrays;
  // Keys found by their bytes where the key engine compares bytes, by the
  // key engine (a locale's collation) otherwise.
  bool wbBytesDecide = true;
  std::unordered_map<std::string_view, TArray*> wbByBytes;
  std::map<std::string_view, TArray*, TKeyLess> wbByOrder;
  const TnxBaseTransaction* wbTrans = nullptr;
  int32_t wbDepth = 0;
  bool wbSpoiled = false;
  size_t wbPendingBytes = 0;
};

}  // namespace revurov
