// TnxCachedBlobHandler: the blob handler of a cursor on a cache table, a
// local table that holds copies of a remote table's records and blobs.
// Records hold the remote side's blob numbers; the table's index of cached
// blobs maps (blob number, field, record version) to the local blob that
// holds the copy. Local changes go into new local blobs noted in a private
// in-memory table (a result-set cursor on the owner's database) until the
// remote side has taken them and the record modify merges them.
//
// Contract:
// - Blobs created here get temporary numbers: the high 32 bits all ones,
//   the low 32 bits from a per-handler counter (atomic), one apart.
// - A blob that is neither changed here nor cached answers 3 "Cache is
//   invalid"; the first change of a cached blob asks the owner's remote
//   cursor to fetch it (12289 without one) and copies it into a new local
//   blob (cbsiModified). A state that does not fit the operation answers
//   11896 and changes nothing; a failure in a record hook also marks the
//   transaction corrupted. Nothing is deleted on a guess: a merge that
//   cannot place a flushed local blob keeps it and answers 11896.
// - Deleting a created blob the remote side never took forgets it; once
//   it took it, a cbsiDeleted note stays (also after a later change
//   cleared the flush mark), so that the deletion reaches it.
// - Without the index of cached blobs, reads of unchanged blobs,
//   BlobAddToCache and GetBlobs' reports answer 12289 (GetBlobs: none).
// - The handler belongs to one cursor and runs under its frames; the
//   private cursor's work runs with the thread's timeout nesting raised.
// - Destruction deletes the local blobs of changes never merged (in a
//   transaction of its own on the owner), then frees the private cursor,
//   its buffers and the index path.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "dictionary/engine_records.h"
#include "dictionary/engine_types.h"
#include "server/blob_handler.h"
#include "storage/blob_engines.h"

namespace revurov {

class TnxBaseIndexEngine;
class TnxBaseIndexPath;
class TnxDataDictionary;
class TnxFieldsDescriptor;
class TnxServerTableCursor;

class TnxCachedBlobHandler : public TnxBaseBlobHandler {
  REVUROV_SERVER_OBJECT_CLASS(TnxCachedBlobHandler, TnxBaseBlobHandler)

  // A temporary number's high 32 bits.
  static constexpr TnxBlobNr kInternalHigh = TnxBlobNr(0xFFFFFFFF00000000ull);
  static bool IsInternalBlobNr(TnxBlobNr aBlobNr) noexcept {
    return (uint64_t(aBlobNr) & 0xFFFFFFFF00000000ull) == 0xFFFFFFFF00000000ull;
  }

  TnxCachedBlobHandler(TnxServerTableCursor* aOwner, TnxBaseBlobEngine* aBlobEngine,
                       TnxBaseBlobLinkHandler* aBlobLinkHandler, TnxFieldsDescriptor* aFieldsDescriptor);

  // The private table's layout, built once per process.
  static TnxDataDictionary& CachedBlobDictionary();
  // Frees it at the server's shut-down.
  static void FreeCachedBlobDictionary() noexcept;

  // The private cursor (nil until first needed); for tests.
  TnxServerTableCursor* Cache() const noexcept { return cbhCache; }
  bool HasCachedBlobsIndex() const noexcept { return cbhCachedBlobsIndexEngine != nullptr; }
  // The local copy the index of cached blobs names, 0 for none.
  TnxBlobNr CachedCopy(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr);

  uint32_t GetBlobs(TnxBaseTransaction* aTrans, const uint8_t* aData, const TnxMarkedBlobsByBlobIdx* aMarkedBlobs,
                    uint16_t& aBlobCount, TnxBlobNr* aBlobNrs) override;
  uint32_t BlobsCancel(TnxBaseTransaction* aTrans, TnxRefNr aRefNr) override;
  bool BlobVerifyNr(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, int32_t aFieldNo,
                    TnxBlobNr aBlobNr) override;
  uint32_t GetBlobCacheInfos(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, TnxBlobCacheInfos& aBCIs) override;
  uint32_t BlobCacheFlushed(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr,
                            TnxBlobNr aNewBlobNr) override;
  uint32_t BlobCreate(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, int32_t aFieldNo,
                      TnxBlobNr& aBlobNr) override;
  uint32_t BlobCreateFile(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, int32_t aFieldNo,
                          std::u16string_view aFileName, TnxBlobNr& aBlobNr) override;
  uint32_t BlobCreateLink(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, int32_t aFieldNo,
                          std::u16string_view aTableName, TnxBlobNr aTableBlobNr, TnxBlobNr& aBlobNr) override;
  uint32_t BlobDelete(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, int32_t aFieldNo,
                      TnxBlobNr aBlobNr) override;
  uint32_t BlobFree(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr,
                    bool& aBlobDeleted) override;
  uint32_t BlobTruncate(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr,
                        uint32_t aBlobLength) override;
  uint32_t BlobWrite(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr,
                     uint32_t aOffset, uint32_t aLen, const void* aBlob) override;
  uint32_t BlobReplace(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr& aBlobNr,
                       uint32_t aLen, const void* aBlob) override;
  uint32_t BlobGetLength(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, int32_t aFieldNo, bool aReadOld,
                         TnxBlobNr aBlobNr, uint32_t& aLength) override;
  bool BlobIsLink(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr,
                  std::u16string& aSrcTableName, TnxBlobNr& aSrcTableBlobNr) override;
  uint32_t BlobRead(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, int32_t aFieldNo, bool aReadOld,
                    TnxBlobNr aBlobNr, uint32_t aOffset, uint32_t aLen, platform::TStream& aStream,
                    uint32_t* aBlobLen) override;
  uint32_t BlobModified(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr,
                        bool& aChanged) override;
  uint32_t BlobAddToCache(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr,
                          uint32_t aLen, const void* aBlob) override;
  // Asks the owner's remote cursor for a blob not in the cache yet.
  uint32_t BlobEnsureCached(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr);
  uint32_t AfterDelete(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, const uint8_t* aRecord) override;
  uint32_t BeforeInsert(TnxBaseTransaction* aTrans, uint8_t* aRecord) override;
  uint32_t BeforeModify(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, const uint8_t* aOldRecord,
                        uint8_t* aNewRecord) override;
  uint32_t AfterModify(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, const uint8_t* aOldRecord,
                       const uint8_t* aNewRecord) override;
  bool NeedNested() override;

protected:
  ~TnxCachedBlobHandler() override;
  void PrepareDestroy() override;

private:
  struct TFound {
    bool Found = false;
    TnxCachedBlobStateInfo State = cbsiCreated;
    TnxBlobNr CacheBlobNr = 0;  // the local blob, 0 for none
    bool Flushed = false;
    bool EverFlushed = false;
    bool Live() const noexcept { return Found && (State == cbsiCreated || State == cbsiModified); }
  };
  struct TEntry;

  void cbhEnsureCache();
  // Fills the private record buffer aRecord with the key fields.
  void cbhPutKey(uint8_t* aRecord, const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr) const;
  // Positions the private cursor on the record when there is one.
  TFound cbhFindCacheRecord(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr);
  void cbhInsertCacheRecord(const TnxRecID& aRecID, int32_t aFieldNo, std::u16string_view aFileName,
                            TnxBlobNr aCacheBlobNr, TnxCachedBlobStateInfo aState, TnxBlobNr aBlobNr);
  TEntry cbhCurrentEntry() const;
  // Rewrites the record the private cursor stands on (found before):
  // 0 or 11896.
  uint32_t cbhModifyCurrent(TnxCachedBlobStateInfo aState, bool aClearLocal);
  uint32_t cbhClearFlushMark();
  uint32_t cbhDeleteCurrent();
  // Ranges the private cursor on one record ID (RefNr only when the
  // insert LSN is 0).
  void cbhRangeOn(const TnxRecID& aRecID, bool aRefNrOnly);
  TnxBlobNr cbhNewBlobNr() noexcept;
  // The local copy of the index of cached blobs; 0 without.
  TnxBlobNr cbhCachedCopy(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr);
  // Deletes the index entry; its local copy when it was there.
  bool cbhDropCachedCopy(TnxBaseTransaction& aTrans, const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr);
  // The local blob that holds what aBlobNr reads as, or an answer.
  uint32_t cbhLocalBlobFor(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, int32_t aFieldNo, bool aReadOld,
                           TnxBlobNr aBlobNr, TnxBlobNr& aLocal);
  // A new local blob holding the cached blob's first aMaxLength bytes
  // (0xFFFFFFFF all), noted as cbsiModified.
  uint32_t cbhCopyCached(TnxBaseTransaction& aTrans, const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr,
                         uint32_t aMaxLength, TnxBlobNr& aLocal);
  bool cbhBlobField(const uint8_t* aRecord, int32_t aField, TnxBlobNr& aBlobNr) const;
  uint32_t cbhInconsistent(std::u16string_view aWhat, TnxBlobNr aBlobNr) const;
  uint32_t cbhCacheInvalid(TnxBlobNr aBlobNr) const;
  uint32_t cbhCancel(TnxBaseTransaction& aTrans, TnxRefNr aRefNr);
  uint32_t cbhReadInfos(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, TnxBlobCacheInfos& aBCIs);
  void cbhFreeCache() noexcept;

  TnxServerTableCursor* cbhOwner = nullptr;
  TnxBaseBlobEngine* cbhBlobEngine = nullptr;
  TnxBaseBlobLinkHandler* cbhBlobLinkHandler = nullptr;
  TnxBlobLinkRead cbhLinkRead;
  TnxBlobLinkGetLength cbhLinkGetLength;
  TnxFieldsDescriptor* cbhFieldsDescriptor = nullptr;
  TnxBlobFields cbhBlobFields;
  TnxBaseIndexEngine* cbhCachedBlobsIndexEngine = nullptr;
  std::unique_ptr<TnxBaseIndexPath> cbhCachedBlobsIndexPath;
  std::atomic<uint32_t> cbhCreatedBlobsCounter{0};
  TnxServerTableCursor* cbhCache = nullptr;
  // Set when the database frees the private cursor before this handler.
  bool cbhCacheGone = false;
  std::vector<uint8_t> cbhCacheRecord;
  std::vector<uint8_t> cbhCacheRecordAsKey;
};

}  // namespace revurov
