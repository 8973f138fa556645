// TnxCachingBlobHandler: the blob handler of a cursor whose client keeps
// blob changes back until the record is posted. New blobs go into the
// table's blob engine at once but stay pending; changes to blobs a record
// holds go to private copies; deletions are only noted. The record's
// insert, modify or delete reconciles them. The bookkeeping is a private
// in-memory table (a result-set cursor on the owner's database) keyed by
// the masked blob number.
//
// Contract:
// - Private states: 0 created here and pending, 1 deletion noted, 2 changed
//   (content in the private copy). A state that does not fit the number
//   asked about, or a record whose blob numbers the handler cannot account
//   for, answers 11896 "General BLOB error." and deletes nothing; a failure
//   in a record hook also marks the transaction corrupted.
// - Until the record is modified, other cursors see the table's blobs
//   unchanged; a modify that takes a changed copy gives the field a new
//   full number (the incarnation bits of the blob engine).
// - The handler belongs to one cursor and runs under its frames; the
//   private cursor's work runs with the thread's timeout nesting raised.
// - Destruction first cancels every pending blob (in a transaction of its
//   own on the owner, nested in the caller's when one runs), so that no
//   blob created here stays in the table unnamed; then the private cursor
//   and its buffers go.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "dictionary/engine_types.h"
#include "server/blob_handler.h"
#include "storage/blob_engines.h"

namespace revurov {

class TnxBaseIndexEngine;
class TnxBaseIndexPath;
class TnxDataDictionary;
class TnxFieldsDescriptor;
class TnxServerTableCursor;

class TnxCachingBlobHandler : public TnxBaseBlobHandler {
  REVUROV_SERVER_OBJECT_CLASS(TnxCachingBlobHandler, TnxBaseBlobHandler)

  enum TState : uint8_t { bsiCreated = 0, bsiDeleted = 1, bsiChanged = 2 };

  TnxCachingBlobHandler(TnxServerTableCursor* aOwner, TnxBaseBlobEngine* aBlobEngine,
                        TnxBaseBlobLinkHandler* aBlobLinkHandler, TnxFieldsDescriptor* aFieldsDescriptor);

  // The private table's layout, built once per process.
  static TnxDataDictionary& CachingBlobDictionary();
  // Frees it at the server's shut-down.
  static void FreeCachingBlobDictionary() noexcept;

  // The private cursor (nil until first needed); for tests.
  TnxServerTableCursor* Cache() const noexcept { return cbhCache; }
  // The private records, in key order: (masked number, state).
  std::vector<std::pair<TnxBlobNr, uint8_t>> PendingStates();

  bool BlobVerifyNr(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, int32_t aFieldNo,
                    TnxBlobNr aBlobNr) override;
  uint32_t BlobsCancel(TnxBaseTransaction* aTrans, TnxRefNr aRefNr) override;
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
  uint32_t AfterDelete(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, const uint8_t* aRecord) override;
  uint32_t BeforeInsert(TnxBaseTransaction* aTrans, uint8_t* aRecord) override;
  uint32_t BeforeModify(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, const uint8_t* aOldRecord,
                        uint8_t* aNewRecord) override;
  uint32_t AfterModify(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, const uint8_t* aOldRecord,
                       const uint8_t* aNewRecord) override;
  bool NeedNested() override;

protected:
  ~TnxCachingBlobHandler() override;
  void PrepareDestroy() override;

private:
  struct TFound {
    bool Found = false;
    uint8_t State = 0;
    TnxBlobNr CachedBlob = 0;  // the private copy, 0 for none
    TnxBlobNr Unmasked = 0;
    TnxRefNr RefNr = 0;
  };

  TnxBlobNr Masked(TnxBlobNr aBlobNr) const noexcept { return aBlobNr & cbhBlobNrMask; }
  void cbhEnsureCache();
  // Positions the private cursor on the record of aMasked when there is one.
  TFound cbhFindCacheRecord(TnxBlobNr aMasked);
  void cbhInsertCacheRecord(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aCachedBlob, uint8_t aState,
                            TnxBlobNr aUnmasked, TnxBlobNr aMasked);
  // Deletes the record the private cursor stands on: 0 or its code.
  uint32_t cbhDeleteCurrent();
  void cbhReuseBlobNr(TnxBaseTransaction& aTrans, TnxBlobNr& aBlobNr, TnxBlobNr& aMasked);
  void cbhReleaseBlobNr(TnxBaseTransaction& aTrans, TnxBlobNr aBlobNr, TnxBlobNr aMasked);
  // A new pending blob of the engine, numbered and noted.
  void cbhNoteCreated(TnxBaseTransaction& aTrans, const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr& aBlobNr);
  // A private copy of the first aMaxLength bytes of the table's blob
  // (0xFFFFFFFF all), noted in state 2.
  uint32_t cbhCopyToPrivate(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr, uint32_t aMaxLength,
                            TnxBlobNr& aCopy);
  bool cbhBlobField(const uint8_t* aRecord, int32_t aField, TnxBlobNr& aBlobNr) const;
  uint32_t cbhInconsistent(std::u16string_view aWhat, TnxBlobNr aBlobNr) const;
  uint32_t cbhCancel(TnxBaseTransaction& aTrans, TnxRefNr aRefNr);
  void cbhFreeCache() noexcept;

  TnxServerTableCursor* cbhOwner = nullptr;
  TnxBaseBlobEngine* cbhBlobEngine = nullptr;
  TnxBaseBlobLinkHandler* cbhBlobLinkHandler = nullptr;
  TnxBlobLinkRead cbhLinkRead;
  TnxBlobLinkGetLength cbhLinkGetLength;
  TnxFieldsDescriptor* cbhFieldsDescriptor = nullptr;
  TnxBlobFields cbhBlobFields;
  TnxBlobNr cbhBlobNrMask = -1;
  TnxBaseIndexEngine* cbhBlobNrCounterIndexEngine = nullptr;
  std::unique_ptr<TnxBaseIndexPath> cbhBlobNrCounterIndexPath;
  TnxServerTableCursor* cbhCache = nullptr;
  // Set when the database frees the private cursor before this handler.
  bool cbhCacheGone = false;
  std::vector<uint8_t> cbhCacheRecord;
  std::vector<uint8_t> cbhCacheRecordAsKey;
};

}  // namespace revurov
