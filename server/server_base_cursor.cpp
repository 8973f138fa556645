#include "server/server_base_cursor.h"

#include <exception>
#include <utility>

#include "dictionary/data_dictionary.h"
#include "dictionary/table_descriptors.h"
#include "engine/abstract_session.h"
#include "engine/abstract_task_info.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exception_data_interfaces.h"
#include "lowlevel/streams/exception_conversion.h"
#include "lowlevel/sync/padlock.h"
#include "platform/date_time.h"
#include "platform/format.h"
#include "platform/text.h"
#include "server/server_database.h"
#include "server/server_table.h"
#include "server/server_trans_context.h"
#include "server/server_transaction.h"
#include "storage/deadline.h"
#include "storage/server_exceptions.h"

namespace revurov {

namespace {

constexpr std::u16string_view kOpenModeNames[] = {u"omReadOnly", u"omWriteOnly", u"omReadWrite", u"omNone"};
constexpr std::u16string_view kOutdatedFormatText = u"Table format outdated. Table must be packed to enable write access";

constexpr TnxInsertOptions InsertBit(TnxInsertOption aOption) noexcept { return TnxInsertOptions(1u << aOption); }
constexpr TnxInsertOptions kDefaultInsertOptions =
    InsertBit(ioSetDefault) | InsertBit(ioSetAutoInc) | InsertBit(ioValidate);

struct InsertOptionName {
  std::u16string_view Name;
  TnxInsertOption Option;
};
constexpr InsertOptionName kInsertOptionNames[] = {
    {u"INSERT_OPTIONS_SETDEFAULT", ioSetDefault},
    {u"INSERT_OPTIONS_SETAUTOINC", ioSetAutoInc},
    {u"INSERT_OPTIONS_VALIDATE", ioValidate},
    {u"INSERT_OPTIONS_MODIFYIFFOUND", ioModifyIfFound},
};

bool HasDeadline(int64_t aDeadline) noexcept { return aDeadline != 0 && aDeadline != nxNoDeadline; }

// Puts the record or key filter in aField: alone, added to its hub, or in
// a new hub with the one there.
void AddFilterEngine(std::unique_ptr<TnxBaseFilterEngine>& aField, std::unique_ptr<TnxBaseFilterEngine> aEngine) {
  if (!aField) {
    aField = std::move(aEngine);
  } else if (auto* hub = dynamic_cast<TnxFilterEngineHub*>(aField.get())) {
    hub->AddFilter(std::move(aEngine));
  } else {
    aField = std::make_unique<TnxFilterEngineHub>(std::move(aField), std::move(aEngine));
  }
}

// FilterRemove and KeyFilterRemove: 0 drops the whole filter.
uint32_t RemoveFilterEngine(std::unique_ptr<TnxBaseFilterEngine>& aField, TnxFilterID aFilterID) {
  if (aFilterID == 0) {
    aField.reset();
    return 0;
  }
  if (!aField) return nxeInvalidFilterHandle;
  return aField->RemoveFilter(aFilterID, aField);
}

}  // namespace

// ---- the frame ----

template <uint8_t aSteps, class F>
uint32_t TnxServerBaseCursor::Frame(F&& aWork) {
  if constexpr ((aSteps & kReadOnly) != 0) {
    if (sbcIsReadOnly) return sbcGetReadOnlyResult();
  }
  if constexpr ((aSteps & kDeadline) != 0) nxSetTimeout(Timeout(), false);
  // The session owns its lock and outlives its cursors.
  InxSimpleLock* lock = SessionLock();
  try {
    lock->Lock();
  } catch (...) {
    return asoConvertCurrentException();
  }
  uint32_t result = 0;
  std::exception_ptr escaped;
  try {
    if constexpr ((aSteps & kContentLock) != 0) {
      result = sbcBeginContentLock(false, false, false);
      if (result == 0) {
        try {
          result = aWork();
        } catch (...) {
          sbcEndContentLock();
          throw;
        }
        sbcEndContentLock();
      }
    } else {
      result = aWork();
    }
  } catch (...) {
    if constexpr ((aSteps & kGuard) != 0)
      result = asoConvertCurrentException();
    else
      escaped = std::current_exception();
  }
  lock->Unlock(result);
  if constexpr ((aSteps & kGuard) == 0) {
    if (escaped) {
      try {
        std::rethrow_exception(std::move(escaped));
      } catch (...) {
        result = asoConvertCurrentException();
      }
    }
  }
  return result;
}

// ---- construction ----

TnxServerBaseCursor::TnxServerBaseCursor(TnxServerDatabase* aDatabase, uint32_t aTimeout, TnxOpenMode aOpenMode)
    : TnxSqlAbstractCursor(aDatabase, aTimeout) {
  sbcFilterTimeout = 500;
  sbcInsertOptions = kDefaultInsertOptions;
  sbcLockFailureReason = std::make_unique<TnxLockFailureReason>();
  sbcTransContext = dynamic_cast<TnxServerTransContext*>(aDatabase->TransContext());
  if (!sbcTransContext) throw platform::EInvalidCast(u"Invalid class typecast");
  sbcIsReadOnly = aOpenMode == omReadOnly;
  sbcReadOnlyResult = nxeTableReadOnly;
  sbcOpenMode = aOpenMode;
}

void TnxServerBaseCursor::AfterConstruction() {
  // The table's layout is the derived cursor's, so these steps wait until
  // it is whole.
  if (TnxBaseTableDescriptor* table = TableDescriptor()) {
    if (!nxRecoverOpening() && !IsCache()) {
      sbcDefaultValueHandler = TnxDefaultValueHandler::CreateFor(table->FieldsDescriptor(), aaServer, this);
      sbcValidationsHandler = TnxValidationsHandler::CreateFor(table->FieldsDescriptor(), aaServer);
    }
    if (!SFI()) InitRecordLayout();
  }
  if (SFI() && !SFI()->sfiBlobFields.empty())
    SetCapabilities(Capabilities() | TnxAbstractCursorCapabilities(1u << accCancelBlobs));
  TnxSqlAbstractCursor::AfterConstruction();
  if (!sbcIsReadOnly) {
    TnxDataDictionary* dictionary = _Dictionary();
    if (dictionary && dictionary->Version() < 2) sbcSetReadOnly(nxeHigherTableLevelRequired, kOutdatedFormatText);
  }
  sbcSetToBegin();
}

void TnxServerBaseCursor::sbcFreeOwned() noexcept {
  sbcTaskInfo.reset();
  sbcFilter.reset();
  sbcKeyFilter.reset();
  sbcDefaultValueHandler.reset();
  sbcValidationsHandler.reset();
}

void TnxServerBaseCursor::BeforeDestruction() {
  if (platform::TInterfacePtr<TnxRequestCloseLock> lock = sbcRequestCloseLock()) {
    // Re-entrant: a request-close handler on this thread may be freeing us.
    TnxPadlockGuard guard(lock->rclPadlock);
    MarkDestroying();
  }
  TnxSqlAbstractCursor::BeforeDestruction();
}

void TnxServerBaseCursor::PrepareDestroy() {
  sbcFreeOwned();
  TnxSqlAbstractCursor::PrepareDestroy();
}

TnxServerBaseCursor::~TnxServerBaseCursor() {
  sbcFreeOwned();
  sbcDefaultValueHandlerClient.reset();
}

void TnxServerBaseCursor::sbcSetReadOnly(uint32_t aResult, std::u16string_view aMessage) {
  sbcIsReadOnly = true;
  sbcReadOnlyResult = aResult;
  sbcReadOnlyResultMessage = aMessage;
  sbcHasReadOnlyResultMessage = !aMessage.empty();
}

// ---- state ----

bool TnxServerBaseCursor::IsSystemTable() {
  const std::u16string name = FullName();
  return !name.empty() && name[0] == u'$';
}

bool TnxServerBaseCursor::esoIsMonitored() const { return !nxRecoverOpening(); }

std::u16string TnxServerBaseCursor::GetUserName() {
  auto* session = dynamic_cast<TnxAbstractSession*>(Session());
  return session ? session->UserName() : std::u16string();
}

platform::TDateTime TnxServerBaseCursor::GetNow() { return platform::Now(); }

void TnxServerBaseCursor::esoOptionChanged(std::u16string_view aName, std::u16string_view aValue) {
  TnxSqlAbstractCursor::esoOptionChanged(aName, aValue);
  for (const InsertOptionName& option : kInsertOptionNames) {
    if (!platform::AsciiSameText(aName, option.Name)) continue;
    if (platform::AsciiSameText(aValue, u"True"))
      sbcInsertOptions |= InsertBit(option.Option);
    else
      sbcInsertOptions &= TnxInsertOptions(~InsertBit(option.Option));
    return;
  }
}

void TnxServerBaseCursor::GetExceptionData(InxExceptionDataContainer& aContainer, bool aIncludeChildren) {
  TnxSqlAbstractCursor::GetExceptionData(aContainer, aIncludeChildren);
  aContainer.AddString(u"OpenMode", std::u16string(kOpenModeNames[sbcOpenMode <= omNone ? sbcOpenMode : omNone]));
  aContainer.AddBoolean(u"IsReadOnly", sbcIsReadOnly);
  aContainer.AddBoolean(u"IsWriteOnly", false);
  aContainer.AddBoolean(u"IsResultSet", IsResultSet);
  aContainer.AddBoolean(u"IsUnnamed", IsUnnamed);
  aContainer.AddBoolean(u"UseNestedTransaction", sbcUseNestedTransaction);
  aContainer.AddObject(u"Filter", static_cast<TnxObject*>(sbcFilter.get()), aIncludeChildren);
  aContainer.AddObject(u"KeyFilter", static_cast<TnxObject*>(sbcKeyFilter.get()), aIncludeChildren);
}

void TnxServerBaseCursor::RecordBufferClear(PnxRecordBuffer aData) {
  TnxSqlAbstractCursor::RecordBufferClear(aData);
  if (!aData) return;
  if (!sbcDefaultValueHandlerClientCreated) {
    sbcDefaultValueHandlerClientCreated = true;
    if (FieldsDescriptor())
      sbcDefaultValueHandlerClient = TnxDefaultValueHandler::CreateFor(*FieldsDescriptor(), aaClient, this);
  }
  if (sbcDefaultValueHandlerClient) sbcDefaultValueHandlerClient->SetDefaultValuesInsert(aData);
}

void TnxServerBaseCursor::sacSetDefault(PnxRecordBuffer aRecordBuffer, int32_t aIndex) {
  if (sbcDefaultValueHandler) sbcDefaultValueHandler->SetDefaultValue(aRecordBuffer, aIndex);
}

void TnxServerBaseCursor::sacSetDefaultsInsert(PnxRecordBuffer aRecordBuffer) {
  if (sbcDefaultValueHandler) sbcDefaultValueHandler->SetDefaultValuesInsert(aRecordBuffer);
}

// ---- results ----

uint32_t TnxServerBaseCursor::sbcGetReadOnlyResult() {
  if (sbcHasReadOnlyResultMessage) EnxBaseException::nxSetMessage(sbcReadOnlyResult, sbcReadOnlyResultMessage);
  return sbcReadOnlyResult;
}

uint32_t TnxServerBaseCursor::sbcLockFailureResult(uint32_t aErrorCode) {
  std::u16string message = nxOriginalMessageTag();
  if (sbcLockFailureReason->Count() > 0) {
    if (sbcLockFailureReason->SameSession) aErrorCode = nxeLockConflict;
    message += u"\r\n\r\n";
    message += sbcLockFailureReason->Text();
    sbcLockFailureReason->Clear();
  }
  const std::u16string name = FullName();
  message += u"\r\n\r\nTableName: ";
  message += name;
  message += nxMessageTag(u"TableName", name);
  return EnxBaseException::nxSetMessage(aErrorCode, message);
}

void TnxServerBaseCursor::sbcRequestClose() {
  if (Destroying()) return;
  platform::TInterfacePtr<TnxRequestCloseLock> lock = sbcRequestCloseLock();
  if (!lock) return;
  platform::TInterfacePtr<InxLifetimeMonitorRef> alive = GetLifetimeMonitor();
  lock->rclPadlock.Lock();
  bool destroyed = false;
  bool* outer = SetDestroyFlag(&destroyed);
  try {
    if (!Destroying()) {
      // Our own reference: a handler that frees the cursor drops the
      // cursor's.
      platform::TInterfacePtr<InxRequestCloseHandler> handler = sbcRequestCloseHandler();
      if (handler) handler->RequestClose(this);
    }
  } catch (...) {
    if (destroyed || !alive->IsAlive()) {
      if (outer) *outer = true;
    } else {
      SetDestroyFlag(outer);
    }
    lock->rclPadlock.Unlock();
    throw;
  }
  if (destroyed || !alive->IsAlive()) {
    if (outer) *outer = true;
  } else {
    SetDestroyFlag(outer);
  }
  lock->rclPadlock.Unlock();
}

// ---- simple workers ----

TnxServerTableStats TnxServerBaseCursor::sbcGetStats() { return {}; }

uint32_t TnxServerBaseCursor::sbcRenameField(int32_t, std::u16string_view) {
  return EnxBaseException::nxSetMessage(nxeCapabilityNotSupported, u"%s is not supported by %s",
                                        {u"sbcRenameField", ClassName()});
}

uint32_t TnxServerBaseCursor::sbcGetBookmarkCache(PnxBookmarkBuffer, uint32_t) { return nxeCapabilityNotSupported; }

uint32_t TnxServerBaseCursor::sbcBlobAddToCache(const TnxRecID&, int32_t, TnxBlobNr, uint32_t, const void*) {
  return EnxBaseException::nxSetMessage(nxeCapabilityNotSupported, u"%s not supported by %s",
                                        {u"sbcBlobAddToCache", ClassName()});
}

// ---- positioning ----

uint32_t TnxServerBaseCursor::SetToBegin() {
  return Frame<kFull>([&] {
    sbcSetToBegin();
    return 0u;
  });
}

uint32_t TnxServerBaseCursor::SetToEnd() {
  return Frame<kFull>([&] {
    sbcSetToEnd();
    return 0u;
  });
}

uint32_t TnxServerBaseCursor::SetToCursor(TnxAbstractCursor* aCursor) {
  if (aCursor == this) {
    nxSetTimeout(Timeout(), false);
    return 0;
  }
  return Frame<kFull>([&] { return sbcSetToCursor(aCursor); });
}

uint32_t TnxServerBaseCursor::SetToBookmark(PnxBookmarkBuffer aBookmark, uint32_t aSize) {
  return Frame<kFull>([&] { return sbcSetToBookmark(aBookmark, aSize, false); });
}

uint32_t TnxServerBaseCursor::SetToCacheBookmark(PnxBookmarkBuffer aBookmark, uint32_t aSize) {
  return Frame<kFull>([&] { return sbcSetToBookmark(aBookmark, aSize, true); });
}

uint32_t TnxServerBaseCursor::GetBookmark(PnxBookmarkBuffer aBookmark, uint32_t aSize) {
  return Frame<kFull>([&] { return sbcGetBookmark(aBookmark, aSize); });
}

uint32_t TnxServerBaseCursor::GetBookmarkCache(PnxBookmarkBuffer aBookmark, uint32_t aSize) {
  return Frame<kFull>([&] { return sbcGetBookmarkCache(aBookmark, aSize); });
}

uint32_t TnxServerBaseCursor::CompareBookmarks(PnxBookmarkBuffer aBookmark1, PnxBookmarkBuffer aBookmark2,
                                               uint32_t aSize, TValueRelationship& aResult) {
  return Frame<kFull>([&] { return sbcCompareBookmarks(aBookmark1, aBookmark2, aSize, aResult); });
}

uint32_t TnxServerBaseCursor::BookmarkAsVariant(PnxBookmarkBuffer aBookmark, uint32_t aSize,
                                                platform::TnxVariant& aVar) {
  return Frame<kFull>([&] {
    aVar = platform::TnxVariant();
    return sbcBookmarkAsVariant(aBookmark, aSize, aVar);
  });
}

uint32_t TnxServerBaseCursor::RecNoGet(uint32_t& aRecNo, bool aFlipOrder) {
  return Frame<kFull | kContentLock>([&] { return sbcRecNoGet(aRecNo, aFlipOrder); });
}

uint32_t TnxServerBaseCursor::RecNoSet(uint32_t aRecNo, bool aFlipOrder) {
  return Frame<kFull | kContentLock>([&] { return sbcRecNoSet(aRecNo, aFlipOrder); });
}

uint32_t TnxServerBaseCursor::SwitchToIndex(std::u16string_view aIndexName, int32_t aIndexID,
                                            TnxPosnOnRec aPosnOnRec) {
  return Frame<kPlain>([&] { return sbcSwitchToIndex(aIndexName, aIndexID, aPosnOnRec); });
}

uint32_t TnxServerBaseCursor::GetIndexID(int32_t& aIndexID) {
  return Frame<kFull>([&] { return sbcGetIndexID(aIndexID); });
}

uint32_t TnxServerBaseCursor::SetToKey(TnxSearchKeyAction aAction, int32_t aFieldCount, int32_t aPartialLen,
                                       bool aDirectKey, PnxKeyOrRecordBuffer aData) {
  return Frame<kFull>([&] { return sbcSetToKey(aAction, aFieldCount, aPartialLen, aDirectKey, aData); });
}

uint32_t TnxServerBaseCursor::RangeReset() {
  return Frame<kFull>([&] {
    sbcRangeReset();
    return 0u;
  });
}

uint32_t TnxServerBaseCursor::RangeSet(int32_t aFieldCount1, int32_t aPartialLen1, bool aDirectKey1,
                                       PnxKeyOrRecordBuffer aKeyData1, bool aKeyIncl1, int32_t aFieldCount2,
                                       int32_t aPartialLen2, bool aDirectKey2, PnxKeyOrRecordBuffer aKeyData2,
                                       bool aKeyIncl2) {
  return Frame<kFull>([&] {
    uint32_t result = 0;
    try {
      result = sbcRangeSet(aFieldCount1, aPartialLen1, aDirectKey1, aKeyData1, aKeyIncl1, aFieldCount2,
                           aPartialLen2, aDirectKey2, aKeyData2, aKeyIncl2);
    } catch (...) {
      // No half-set range survives the failure.
      sbcRangeReset();
      throw;
    }
    if (result != 0) sbcRangeReset();
    return result;
  });
}

uint32_t TnxServerBaseCursor::CompareKeys(int32_t aFieldCount, int32_t aPartialLen, bool aDirectKey1,
                                          PnxKeyOrRecordBuffer aKey1, bool aDirectKey2, PnxKeyOrRecordBuffer aKey2,
                                          TValueRelationship& aResult) {
  return Frame<kFull>(
      [&] { return sbcCompareKeys(aFieldCount, aPartialLen, aDirectKey1, aKey1, aDirectKey2, aKey2, aResult); });
}

// ---- records ----

uint32_t TnxServerBaseCursor::sbcOwnFrame(const std::function<uint32_t()>& aWork) {
  return Frame<kFull>(aWork);
}

uint32_t TnxServerBaseCursor::RecordGet(TnxLockType aLockType, PnxRecordBuffer aData) {
  return Frame<kPlain>([&] { return sbcRecordGet(aLockType, aData); });
}

uint32_t TnxServerBaseCursor::RecordGetNext(TnxLockType aLockType, PnxRecordBuffer aData) {
  return Frame<kPlain>([&] { return sbcRecordGetNext(aLockType, aData); });
}

uint32_t TnxServerBaseCursor::RecordGetPrior(TnxLockType aLockType, PnxRecordBuffer aData) {
  return Frame<kPlain>([&] { return sbcRecordGetPrior(aLockType, aData); });
}

uint32_t TnxServerBaseCursor::RecordGetForKey(int32_t aFieldCount, int32_t aPartialLen, bool aDirectKey,
                                              PnxKeyOrRecordBuffer aKeyData, PnxRecordBuffer aData, bool aMatchFirst,
                                              bool aFirstCall) {
  return Frame<kFull>([&] {
    return sbcRecordGetForKey(aFieldCount, aPartialLen, aDirectKey, aKeyData, aData, aMatchFirst, aFirstCall);
  });
}

uint32_t TnxServerBaseCursor::RecordGetForKeyBatch(int32_t aCutoffSize, TnxRecordGetBatchExOptions aOptions,
                                                   TnxBatchStreamAccess*& aAccess,
                                                   TnxDataSetKeyBufferArray& aKeyBuffers, bool aMatchFirst,
                                                   bool aFirstCall) {
  return Frame<kFull>([&] {
    return sbcRecordGetForKeyBatch(aCutoffSize, aOptions, aAccess, aKeyBuffers, aMatchFirst, aFirstCall);
  });
}

uint32_t TnxServerBaseCursor::RecordInsert(TnxLockType aLockType, PnxRecordBuffer aData, int64_t* aAutoInc) {
  return Frame<kPlain>([&] { return sbcRecordInsert(aLockType, sbcInsertOptions, aData, aAutoInc); });
}

uint32_t TnxServerBaseCursor::RecordModify(PnxRecordBuffer aData, bool aReleaseLock, TnxRecordDiff* aDataDiff) {
  return Frame<kPlain>([&] { return sbcRecordModify(aData, aReleaseLock, aDataDiff); });
}

uint32_t TnxServerBaseCursor::RecordDelete(PnxRecordBuffer aData, TnxLSN aLSN) {
  return Frame<kPlain>([&] { return sbcRecordDelete(aData, aLSN); });
}

uint32_t TnxServerBaseCursor::RecordIsLocked(TnxLockType aLockType, TnxLockPresent& aLockPresent) {
  aLockPresent = lpNotAtAll;
  return Frame<kFull>([&] { return sbcRecordIsLocked(aLockType, aLockPresent); });
}

uint32_t TnxServerBaseCursor::RecordLockRelease(bool aAllLocks, bool aCancelBlobs) {
  return Frame<kFull>([&] { return sbcRecordLockRelease(aAllLocks, aCancelBlobs); });
}

uint32_t TnxServerBaseCursor::RecordGetBatch(int32_t aCutoffSize, TnxRecordGetBatchExOptions aOptions,
                                             TnxBatchStreamAccess*& aAccess, int32_t aMaxRecords, bool aForward) {
  return Frame<kPlain>([&] { return sbcRecordGetBatch(aCutoffSize, aOptions, aAccess, aMaxRecords, aForward); });
}

uint32_t TnxServerBaseCursor::RecordInsertBatch(TnxCustomMemoryStream& aStream) {
  return Frame<kReadOnly | kPlain>([&] { return sbcRecordInsertBatch(aStream); });
}

uint32_t TnxServerBaseCursor::CopyRecords(TnxAbstractCursor* aDestCursor, TnxBlobCopyMode aBlobCopyMode,
                                          int32_t aMaxTransSize) {
  return Frame<kFull>([&] { return sbcCopyRecords(aDestCursor, aBlobCopyMode, aMaxTransSize, true); });
}

uint32_t TnxServerBaseCursor::CopyRecordsEx(TnxAbstractCursor* aDestCursor, TnxBlobCopyMode aBlobCopyMode,
                                            int32_t aMaxTransSize, bool aCheckValFields) {
  return Frame<kFull>([&] { return sbcCopyRecords(aDestCursor, aBlobCopyMode, aMaxTransSize, aCheckValFields); });
}

uint32_t TnxServerBaseCursor::DeleteRecords() {
  return Frame<kFull>([&] { return sbcDeleteRecords(); });
}

uint32_t TnxServerBaseCursor::AutoIncGet(uint32_t& aValue, bool) {
  return Frame<kFull | kContentLock>([&] {
    aValue = sbcAutoIncGet();
    return 0u;
  });
}

uint32_t TnxServerBaseCursor::AutoIncSet(uint32_t aValue) {
  return Frame<kReadOnly | kFull>([&] { return sbcAutoIncSet(aValue); });
}

uint32_t TnxServerBaseCursor::GetRecordCount(uint32_t& aRecordCount, bool aEstimate) {
  return Frame<kFull>([&] { return sbcGetRecordCount(rcoClientFilteredKeyCount, aRecordCount, aEstimate); });
}

uint32_t TnxServerBaseCursor::GetRecordCountEx(TnxRecordCountOption aOption, uint32_t& aRecordCount,
                                               bool aEstimate) {
  return Frame<kFull>([&] { return sbcGetRecordCount(aOption, aRecordCount, aEstimate); });
}

uint32_t TnxServerBaseCursor::GetRecordCountAsync(TnxAbstractTaskInfo*& aTaskInfo) {
  return GetRecordCountExAsync(rcoClientFilteredKeyCount, aTaskInfo);
}

// ---- blobs ----

uint32_t TnxServerBaseCursor::BlobsCancel(TnxRefNr aRefNr) {
  if (sbcIsReadOnly || !SFI() || SFI()->sfiBlobFields.empty()) return 0;
  if (!(Capabilities() & (1u << accCancelBlobs))) return NotSupported(u"BlobsCancel");
  return Frame<kFull>([&] { return sbcBlobsCancel(aRefNr); });
}

uint32_t TnxServerBaseCursor::BlobCreate(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr& aBlobNr) {
  return Frame<kReadOnly | kFull>([&] { return sbcBlobCreate(aRecID, aFieldNo, aBlobNr); });
}

uint32_t TnxServerBaseCursor::BlobCreateFile(const TnxRecID& aRecID, int32_t aFieldNo,
                                             std::u16string_view aFileName, TnxBlobNr& aBlobNr) {
  return Frame<kReadOnly | kFull>([&] { return sbcBlobCreateFile(aRecID, aFieldNo, aFileName, aBlobNr); });
}

uint32_t TnxServerBaseCursor::BlobDelete(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr) {
  return Frame<kReadOnly | kFull>([&] { return sbcBlobDelete(aRecID, aFieldNo, aBlobNr); });
}

uint32_t TnxServerBaseCursor::BlobFree(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr) {
  return Frame<kReadOnly | kFull>([&] { return sbcBlobFree(aRecID, aFieldNo, aBlobNr); });
}

uint32_t TnxServerBaseCursor::BlobWrite(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr,
                                        uint32_t aOffset, uint32_t aLen, const void* aBlob) {
  return Frame<kReadOnly | kFull>([&] { return sbcBlobWrite(aRecID, aFieldNo, aBlobNr, aOffset, aLen, aBlob); });
}

uint32_t TnxServerBaseCursor::BlobReplace(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr& aBlobNr,
                                          uint32_t aLen, const void* aBlob) {
  return Frame<kReadOnly | kFull>([&] { return sbcBlobReplace(aRecID, aFieldNo, aBlobNr, aLen, aBlob); });
}

uint32_t TnxServerBaseCursor::BlobTruncate(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr,
                                           uint32_t aBlobLength) {
  return Frame<kReadOnly | kFull>([&] { return sbcBlobTruncate(aRecID, aFieldNo, aBlobNr, aBlobLength); });
}

uint32_t TnxServerBaseCursor::BlobModified(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr,
                                           bool& aModified) {
  return Frame<kPlain>([&] { return sbcBlobModified(aRecID, aFieldNo, aBlobNr, aModified); });
}

uint32_t TnxServerBaseCursor::BlobAddToCache(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr,
                                             uint32_t aLen, const void* aBlob) {
  if (!IsCache() || aRecID.ridRefNr == 0 || aRecID.ridInsertLSN == 0 || aFieldNo < 0 || aBlobNr == 0 || aLen < 1)
    return TnxSqlAbstractCursor::BlobAddToCache(aRecID, aFieldNo, aBlobNr, aLen, aBlob);
  return Frame<kReadOnly | kFull>([&] { return sbcBlobAddToCache(aRecID, aFieldNo, aBlobNr, aLen, aBlob); });
}

// ---- table streams, table locks, passwords ----

uint32_t TnxServerBaseCursor::TableStreamGetList(platform::TStringList& aList) {
  return Frame<kPlain>([&] { return sbcTableStreamGetList(aList, false); });
}

uint32_t TnxServerBaseCursor::TableStreamRead(std::u16string_view aStreamName, platform::TStream& aStream) {
  return Frame<kPlain>([&] { return sbcTableStreamRead(aStreamName, aStream, false); });
}

uint32_t TnxServerBaseCursor::TableStreamWrite(std::u16string_view aStreamName, platform::TStream& aStream) {
  return Frame<kReadOnly | kPlain>([&] { return sbcTableStreamWrite(aStreamName, aStream, false); });
}

uint32_t TnxServerBaseCursor::TableStreamDelete(std::u16string_view aStreamName) {
  return Frame<kReadOnly | kPlain>([&] { return sbcTableStreamDelete(aStreamName, false); });
}

uint32_t TnxServerBaseCursor::TableIsLocked(TnxLockType aLockType, TnxLockPresent& aLockPresent) {
  aLockPresent = lpNotAtAll;
  return Frame<kFull>([&] {
    aLockPresent = sbcTableIsLocked(aLockType);
    return 0u;
  });
}

uint32_t TnxServerBaseCursor::TableLockAcquire(TnxLockType aLockType) {
  return Frame<kPlain>([&] { return sbcTableLockAcquire(aLockType); });
}

uint32_t TnxServerBaseCursor::TableLockRelease(TnxLockType aLockType, bool aAllLocks) {
  return Frame<kPlain>([&] { return sbcTableLockRelease(aLockType, aAllLocks); });
}

uint32_t TnxServerBaseCursor::Duplicate(TnxOpenMode aOpenMode, TnxAbstractCursor*& aNewCursor) {
  return Frame<kPlain>([&] { return sbcDuplicate(aOpenMode, aNewCursor, false); });
}

uint32_t TnxServerBaseCursor::ChangePassword(std::u16string_view aNewPassword) {
  return Frame<kReadOnly | kPlain>([&] { return sbcChangePassword(aNewPassword); });
}

// ---- filters ----

std::unique_ptr<TnxBaseFilterEngine> TnxServerBaseCursor::sbcNewFilterEngine(TnxBaseFilterDescriptor* aFilter,
                                                                             const InxFieldsSource* aFieldsSource) {
  if (!aFilter)
    throw EnxBaseException(nxeInvalidParameter, u"A filter needs its definition (nil given) on %s", {ClassName()});
  return TnxBaseFilterEngine::CreateFor(*aFilter, aFieldsSource);
}

void TnxServerBaseCursor::sbcFilterAddCustom(std::unique_ptr<TnxBaseFilterEngine> aEngine, TnxFilterID& aFilterID,
                                             bool aActivated) {
  TnxBaseFilterEngine* engine = aEngine.get();
  AddFilterEngine(sbcFilter, std::move(aEngine));
  aFilterID = engine->FilterID();
  if (aActivated) engine->ActivateFilter(aFilterID);
}

void TnxServerBaseCursor::sbcKeyFilterAddCustomEngine(std::unique_ptr<TnxBaseFilterEngine> aEngine,
                                                      TnxKeyFilterID& aKeyFilterID) {
  aKeyFilterID = aEngine->FilterID();
  AddFilterEngine(sbcKeyFilter, std::move(aEngine));
}

uint32_t TnxServerBaseCursor::sbcKeyFilterAddCustom(TnxBaseFilterDescriptor* aKeyFilter,
                                                    TnxKeyFilterID& aKeyFilterID) {
  sbcKeyFilterAddCustomEngine(sbcNewFilterEngine(aKeyFilter, sbcGetKeyFieldsSource()), aKeyFilterID);
  return 0;
}

uint32_t TnxServerBaseCursor::sbcKeyFilterDeactivate(TnxKeyFilterID aFilterID) {
  if (!sbcKeyFilter) return nxeInvalidFilterHandle;
  return sbcKeyFilter->DeactivateFilter(aFilterID);
}

uint32_t TnxServerBaseCursor::FilterAddCustom(TnxBaseFilterDescriptor* aFilter, TnxFilterID& aFilterID,
                                              bool aActivated) {
  return Frame<kFull>([&] {
    sbcFilterAddCustom(sbcNewFilterEngine(aFilter, this), aFilterID, aActivated);
    return 0u;
  });
}

uint32_t TnxServerBaseCursor::FilterReplaceCustom(TnxBaseFilterDescriptor* aFilter, TnxFilterID& aFilterID,
                                                  bool aActivated, bool aIgnoreDropError) {
  return Frame<kFull>([&] {
    std::unique_ptr<TnxBaseFilterEngine> engine = sbcNewFilterEngine(aFilter, this);
    uint32_t result = 0;
    if (aFilterID != 0)
      result = sbcFilter ? sbcFilter->RemoveFilter(aFilterID, sbcFilter) : nxeInvalidFilterHandle;
    else
      sbcFilter.reset();
    if (aIgnoreDropError) result = 0;
    if (result != 0) return result;
    aFilterID = 0;
    sbcFilterAddCustom(std::move(engine), aFilterID, aActivated);
    return 0u;
  });
}

uint32_t TnxServerBaseCursor::FilterSetTimeout(uint32_t aTimeout) {
  return Frame<kGuard>([&] {
    sbcFilterTimeout = aTimeout;
    return 0u;
  });
}

uint32_t TnxServerBaseCursor::FilterActivate(TnxFilterID aFilterID) {
  return Frame<kFull>([&] { return sbcFilter ? sbcFilter->ActivateFilter(aFilterID) : nxeInvalidFilterHandle; });
}

uint32_t TnxServerBaseCursor::FilterDeactivate(TnxFilterID aFilterID) {
  return Frame<kFull>([&] { return sbcFilter ? sbcFilter->DeactivateFilter(aFilterID) : nxeInvalidFilterHandle; });
}

uint32_t TnxServerBaseCursor::FilterRemove(TnxFilterID aFilterID) {
  return Frame<kFull>([&] { return RemoveFilterEngine(sbcFilter, aFilterID); });
}

uint32_t TnxServerBaseCursor::KeyFilterAddCustom(TnxBaseFilterDescriptor* aFilter, TnxKeyFilterID& aFilterID) {
  return Frame<kFull>([&] { return sbcKeyFilterAddCustom(aFilter, aFilterID); });
}

uint32_t TnxServerBaseCursor::KeyFilterActivate(TnxKeyFilterID aFilterID) {
  return Frame<kFull>(
      [&] { return sbcKeyFilter ? sbcKeyFilter->ActivateFilter(aFilterID) : nxeInvalidFilterHandle; });
}

uint32_t TnxServerBaseCursor::KeyFilterDeactivate(TnxKeyFilterID aFilterID) {
  return Frame<kFull>([&] { return sbcKeyFilterDeactivate(aFilterID); });
}

uint32_t TnxServerBaseCursor::KeyFilterRemove(TnxKeyFilterID aFilterID) {
  return Frame<kFull>([&] { return RemoveFilterEngine(sbcKeyFilter, aFilterID); });
}

uint32_t TnxServerBaseCursor::SetToFilter(TnxBaseFilterDescriptor* aFilter, TnxBaseFilterDescriptor* aKeyFilter,
                                          bool aForward) {
  return Frame<kPlain>([&] {
    std::unique_ptr<TnxBaseFilterEngine> filter;
    std::unique_ptr<TnxBaseFilterEngine> keyFilter;
    if (aFilter) {
      filter = TnxBaseFilterEngine::CreateFor(*aFilter, this);
      filter->ActivateFilter(0);
    }
    if (aKeyFilter) {
      keyFilter = TnxBaseFilterEngine::CreateFor(*aKeyFilter, sbcGetKeyFieldsSource());
      keyFilter->ActivateFilter(0);
    }
    return sbcSetToFilter(filter.get(), keyFilter.get(), aForward);
  });
}

TnxKeyIteratorResult TnxServerBaseCursor::sbcSetToFilterKeyIterator(void* aCookie, TnxRefNr, const uint8_t* aKey) {
  auto* cookie = static_cast<TnxSetToFilterCookie*>(aCookie);
  if (cookie->stfKeyFilter && !cookie->stfKeyFilter->MatchesKey(aKey)) return kirSkipKey;
  return kirContinue;
}

TnxRecordIteratorResult TnxServerBaseCursor::sbcSetToFilterRecIterator(void* aCookie, TnxRefNr,
                                                                       const uint8_t* aRecord) {
  auto* cookie = static_cast<TnxSetToFilterCookie*>(aCookie);
  if (!cookie->stfFilter || cookie->stfFilter->MatchesBuffer(aRecord)) return rirStop;
  return rirContinue;
}

// ---- the filter time limit ----

void TnxServerBaseCursor::sbcFilterBeginTimeout(uint32_t* aResult) {
  if (sbcFilterTimeout > 0) {
    sbcFilterUntil = static_cast<int64_t>(nxDeadlineTickCount()) + static_cast<int64_t>(sbcFilterTimeout);
    const int64_t deadline = nxGetDeadline();
    if (HasDeadline(deadline) && deadline < sbcFilterUntil) sbcFilterUntil = deadline;
  } else {
    sbcFilterUntil = 0;
  }
  if (!sbcKeyFilter) return;
  if (sbcFilterUntil > 0 && aResult) {
    sbcKeyFilter->kfCheckTimeOut = [this](uint32_t& aCheckResult) { return sbcFilterCheckTimeout(aCheckResult); };
    sbcKeyFilter->kfResult = aResult;
  } else {
    sbcKeyFilter->kfCheckTimeOut = nullptr;
    sbcKeyFilter->kfResult = nullptr;
  }
}

bool TnxServerBaseCursor::sbcFilterCheckTimeout(uint32_t& aResult) const {
  const int64_t now = static_cast<int64_t>(nxDeadlineTickCount());
  const int64_t deadline = nxGetDeadline();
  const bool deadlinePassed = HasDeadline(deadline) && deadline < now;
  if (sbcFilterTimeoutLock <= 0 && sbcFilterUntil != 0 && sbcFilterUntil < now) {
    // A limit cut to the deadline ended because the operation's time did.
    aResult = deadlinePassed && deadline <= sbcFilterUntil ? nxeTimeout : nxeFilterTimeout;
    return true;
  }
  if (deadlinePassed) {
    aResult = nxeTimeout;
    return true;
  }
  return false;
}

void TnxServerBaseCursor::sbcFilterEndTimeout() noexcept {
  sbcFilterUntil = 0;
  if (sbcKeyFilter) {
    sbcKeyFilter->kfCheckTimeOut = nullptr;
    sbcKeyFilter->kfResult = nullptr;
  }
}

// ---- transactions ----

TnxServerTransaction* TnxServerBaseCursor::ActiveTrans() const noexcept {
  return sbcTransContext ? sbcTransContext->stcTransaction() : nullptr;
}

uint32_t TnxServerBaseCursor::sbcCheckTransactionState() {
  TnxServerTransaction* trans = ActiveTrans();
  return trans ? trans->CheckState() : 0;
}

bool TnxServerBaseCursor::BlobReadNeedsSnapshot(const TnxRecID&, int32_t, TnxBlobNr, bool) {
  return ActiveTrans() == nullptr;
}

uint32_t TnxServerBaseCursor::BlobReadSnapshotStart() {
  const uint32_t result = sbcTransContext->stcTransactionStart(false, true, false, false, false, false);
  if (result == 0) ActiveTrans()->MarkForBlobRead();
  return result;
}

uint32_t TnxServerBaseCursor::BlobReadSnapshotEnd() {
  // Only the snapshot a blob read started is ended here.
  constexpr TnxTransactionStates kBlobReadSnapshot = nxStateBit(tsSnapshot) | nxStateBit(tsForBlobRead);
  TnxServerTransaction* trans = ActiveTrans();
  if (!trans || (trans->State() & kBlobReadSnapshot) != kBlobReadSnapshot)
    return EnxBaseException::nxSetMessage(nxeNoTransaction, u"No user transaction is currently in progress.");
  return sbcTransContext->stcTransactionRollback();
}

}  // namespace revurov
