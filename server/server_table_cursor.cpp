#include "server/server_table_cursor.h"

#include <utility>

#include "dictionary/data_dictionary.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/file_descriptors.h"
#include "dictionary/filter_engines.h"
#include "dictionary/indices_descriptors.h"
#include "dictionary/table_descriptors.h"
#include "engine/abstract_task_info.h"
#include "index/index_path.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exception_data_interfaces.h"
#include "lowlevel/errors/exceptions.h"
#include "platform/string_list.h"
#include "platform/text.h"
#include "server/blob_link_handler.h"
#include "server/cached_blob_handler.h"
#include "server/caching_blob_handler.h"
#include "server/engines/fulltext_engine_base.h"
#include "server/engines/referential_integrity.h"
#include "server/key_fields_source.h"
#include "server/null_blob_handler.h"
#include "server/passthrough_blob_handler.h"
#include "server/server_data_dict.h"
#include "server/server_database.h"
#include "server/server_folder.h"
#include "server/server_table.h"
#include "server/table_cursor_blob_handler.h"
#include "server/table_lock_container.h"
#include "storage/server_exceptions.h"

namespace revurov {

namespace {

constexpr std::u16string_view kShareModeNames[] = {u"smExclusive", u"smShared", u"smShareRead"};
constexpr std::u16string_view kNLSChangedText =
    u"Table contains one or more indices where NLS version of stored keys differs from current NLS version. "
    u"Table must be packed to enable write access";

void AddRangeData(InxExceptionDataContainer& aContainer, std::u16string_view aName, const TnxRangeInfo& aRange,
                  TnxBaseIndexEngine* aEngine) {
  TnxExceptionDataRef side = aContainer.AddContainer(std::u16string(aName));
  side->AddBoolean(u"Valid", aRange.riValid);
  side->AddInteger(u"FieldCount", aRange.riFieldCount);
  side->AddInteger(u"Partitial", aRange.riPartitial);
  side->AddBoolean(u"Exclusive", aRange.riExclusive);
  if (aRange.riKey && aEngine) {
    TnxExceptionDataRef key = side->AddContainer(u"Key");
    aEngine->KeyEngine().KeyAsExceptionData(aRange.riKey, *key);
  }
}

}  // namespace

// ---- construction ----

TnxServerTableCursor::TnxServerTableCursor(TnxServerDatabase* aDatabase, TnxServerBaseTable* aTable,
                                           uint32_t aTimeout, TnxOpenMode aOpenMode, TnxShareMode aShareMode,
                                           std::u16string_view aIndexName, int32_t aIndexID, bool aBlobCache,
                                           bool aInternal)
    : TnxServerBaseCursor(aDatabase, aTimeout,
                          aTable->Root()->OpenMode() == omReadOnly ? omReadOnly : aOpenMode) {
  // No destructor runs for a constructor that raises: what was taken is
  // given back here, and the table's list must not keep the cursor.
  try {
    stcCreate(aTable, aOpenMode, aShareMode, aIndexName, aIndexID, aBlobCache, aInternal);
  } catch (...) {
    stcRelease();
    throw;
  }
}

void TnxServerTableCursor::stcCreate(TnxServerBaseTable* aTable, TnxOpenMode, TnxShareMode aShareMode,
                                     std::u16string_view aIndexName, int32_t aIndexID, bool aBlobCache,
                                     bool aInternal) {
  if (aInternal) BeginIgnoreSecurity();
  stcTable = aTable;
  TnxBaseTableDescriptor* descriptor = aTable->TableDescriptor();
  const bool isCache = descriptor->CachingState() == tcsIsCache;
  SetIsCache(isCache);
  TnxCacheableInfo* info = nullptr;
  const bool cacheable = descriptor->IsCacheable(info, isCache ? tcsIsCache : tcsCacheable, false);
  TnxCacheableInfoRef infoRef = TnxCacheableInfoRef::Adopt(info);
  if (info) {
    stcModifyLSNIndex = info->ciModifyLSNIndex;
    stcGraveyardLSNIndex = info->ciGraveyardLSNIndex;
    stcGraveyardRefNrIndex = info->ciGraveyardRefNrIndex;
  }
  if (cacheable) SetCacheableInfo(std::move(infoRef));
  if (isCache && !cacheable) throw EnxServerException(nxeOperationNotApplicable, u"Cache Table is not Cacheable", {});
  stcShareMode = aShareMode;
  sbcRecordBuffer = static_cast<PnxRecordBuffer>(TnxMemoryPool::Alloc(aTable->RecordAllocator()));
  InitRecordLayout();

  TnxBaseIndicesEngine* indices = aTable->IndicesEngine();
  TnxBaseIndicesEngine* internal = aTable->InternalIndicesEngine();
  if ((indices && indices->NLSVersionChanged()) || (internal && internal->NLSVersionChanged()))
    sbcSetReadOnly(nxeHigherTableLevelRequired, kNLSChangedText);

  TnxBlobFields blobs;
  const bool hasBlobFields = descriptor->FieldsDescriptor().HasBlobFields(blobs);
  switch (nxChooseBlobHandlerKind(aTable->BlobEngine() != nullptr, hasBlobFields, isCache, aBlobCache)) {
    case bhkNull:
      stcBlobHandler = nxCreateServerObject<TnxNullBlobHandler>(this);
      break;
    case bhkPassthrough:
      stcBlobHandler = nxCreateServerObject<TnxPassthroughBlobHandler>(
          this, aTable->BlobEngine(), static_cast<TnxServerDatabase*>(Database())->BlobLinkHandler(),
          &descriptor->FieldsDescriptor());
      break;
    case bhkCaching:
      stcBlobHandler = nxCreateServerObject<TnxCachingBlobHandler>(
          this, aTable->BlobEngine(), static_cast<TnxServerDatabase*>(Database())->BlobLinkHandler(),
          &descriptor->FieldsDescriptor());
      break;
    case bhkCached:
      stcBlobHandler = nxCreateServerObject<TnxCachedBlobHandler>(
          this, aTable->BlobEngine(), static_cast<TnxServerDatabase*>(Database())->BlobLinkHandler(),
          &descriptor->FieldsDescriptor());
      break;
  }
  if (!isCache) stcFulltextEngine = TnxBaseFulltextCursorEngine::CreateFor(aTable->FulltextEngine(), this);
  if (!isCache) stcRefIntEngine = TnxBaseRefIntegrityEngine::CreateFor(*descriptor, this);

  if (indices && descriptor->IndicesDescriptor()) stcDefaultIndex = descriptor->IndicesDescriptor()->DefaultIndex();
  if (aIndexID < 0) aIndexID = stcDefaultIndex;
  stcAddToTable();
  if (sbcSwitchToIndex(aIndexName, aIndexID, porFalse) != 0 &&
      sbcSwitchToIndex(u"", stcDefaultIndex, porFalse) != 0)
    sbcSwitchToIndex(u"", -1, porFalse);
  if (!stcIndexPath) stcIndexPath = TnxBaseIndexPath::CreateStandalone();

  stcTakeIndexEngines();
  if (internal && !isCache) {
    if (stcGraveyardLSNIndex >= 0 && stcGraveyardLSNIndex < internal->IndexCount()) {
      stcGraveyardLSNIndexEngine = &internal->Indices(stcGraveyardLSNIndex);
      stcGraveyardLSNIndexPath = stcGraveyardLSNIndexEngine->CreateIndexPath();
    }
    if (stcGraveyardRefNrIndex >= 0 && stcGraveyardRefNrIndex < internal->IndexCount()) {
      stcGraveyardRefNrIndexEngine = &internal->Indices(stcGraveyardRefNrIndex);
      stcGraveyardRefNrIndexPath = stcGraveyardRefNrIndexEngine->CreateIndexPath();
    }
  }
}

void TnxServerTableCursor::AfterConstruction() {
  TnxServerBaseCursor::AfterConstruction();
  // The handle, not the address: unique among live cursors, and a slot
  // taken again comes with a new generation.
  stcSelfRefNr = nxSelfRefNrHigh | TnxRefNr(RemoteID());
}

TnxServerObjectPtr<TnxServerTableCursor> TnxServerTableCursor::CreateResultSet(TnxServerDatabase* aDatabase,
                                                                               TnxDataDictionary* aDictionary,
                                                                               uint32_t aTimeout) {
  if (!aDatabase || !aDictionary)
    throw EnxServerException(nxeInvalidParameter, u"No database or dictionary for the result set", {});
  TnxServerFolder& folder = *aDatabase->Folder();
  TnxPadlockGuard tables(folder.TablesPadlock());
  TnxFilesDescriptor& files = aDictionary->FilesDescriptor();
  for (int32_t i = 0; i < files.FileCount(); ++i) files.FileDescriptor(i)->SetBlockSize(nxbs4k);
  TnxServerRootTable* table = nullptr;
  const uint32_t result = folder.sfTableCreate(u"", u"", false, *aDictionary, tsTempUnnamed, table);
  if (result != 0) throw EnxServerException(result, u"The result set table could not be made", {});
  const std::u16string name = table->TableName();
  try {
    return nxCreateServerObject<TnxServerTableCursor>(ResultSetTag{}, aDatabase, table, aTimeout);
  } catch (...) {
    // A cursor that was linked already took the table with it.
    if (folder.FindTable(name) == table) folder.sfCloseIfClosable(table, true, false, 1);
    throw;
  }
}

TnxServerTableCursor::TnxServerTableCursor(ResultSetTag, TnxServerDatabase* aDatabase, TnxServerBaseTable* aTable,
                                           uint32_t aTimeout)
    : TnxServerTableCursor(aDatabase, aTable, aTimeout, omReadWrite, smExclusive, u"", -1, false, true) {
  IsUnnamed = true;
}

void TnxServerTableCursor::PrepareDestroy() {
  TnxServerBaseCursor::PrepareDestroy();
  stcFreeEngines();
}

void TnxServerTableCursor::stcFreeEngines() noexcept {
  stcBlobHandler.reset();
  stcFulltextEngine.reset();
  stcRefIntEngine.reset();
}

TnxServerTableCursor::~TnxServerTableCursor() {
  sbcTaskInfo.reset();
  stcRelease();
}

void TnxServerTableCursor::stcRelease() noexcept {
  // Locks first: while they are listed, the transaction link may still
  // reach the cursor.
  if (stcTable) {
    try {
      stcTable->Locks().ClearCursorLocks(this);
    } catch (...) {
      // Clearing takes only the container's gate.
    }
  }
  stcLeaveTransLink();
  stcFreeKeys();
  stcIndexPath.reset();
  stcSavePath.reset();
  stcTempPath.reset();
  if (stcTable) {
    TnxPoolHandle pool = stcTable->RecordAllocator();
    if (sbcRecordBuffer) TnxMemoryPool::DisposeDirect(pool, std::exchange(sbcRecordBuffer, nullptr));
    if (sbcRecordBuffer2) TnxMemoryPool::DisposeDirect(pool, std::exchange(sbcRecordBuffer2, nullptr));
  }
  // Everything that reaches into the table's engines goes before the
  // unlink: the last cursor of a result set frees the table with it.
  stcFreeEngines();
  stcSeqAccessIndexPath.reset();
  stcLSNIndexPath.reset();
  stcRefNrIndexPath.reset();
  stcGraveyardLSNIndexPath.reset();
  stcGraveyardRefNrIndexPath.reset();
  stcRemoveFromTable();
}

// ---- the table's cursor list ----

void TnxServerTableCursor::stcAddToTable() {
  TnxServerRootTable* root = stcTable->Root();
  TnxPadlockGuard guard(stcTable->CursorsPadlock());
  stcTablePrev = stcTable->sbtCursorsTail;
  stcTableNext = nullptr;
  if (stcTablePrev)
    stcTablePrev->stcTableNext = this;
  else
    stcTable->sbtCursorsHead = this;
  stcTable->sbtCursorsTail = this;
  stcTable->sbtCursorAttached();
  stcInTable = true;
  if (root != stcTable) {
    TnxPadlockGuard rootGuard(root->CursorsPadlock());
    root->srtCursorAdded();
  } else {
    root->srtCursorAdded();
  }
}

void TnxServerTableCursor::stcRemoveFromTable() noexcept {
  if (!stcTable || !stcInTable) {
    stcTable = nullptr;
    return;
  }
  TnxServerBaseTable* table = std::exchange(stcTable, nullptr);
  TnxServerRootTable* root = table->Root();
  root->LockIsInactive().fetch_add(1);
  {
    TnxPadlockGuard guard(table->CursorsPadlock());
    (stcTablePrev ? stcTablePrev->stcTableNext : table->sbtCursorsHead) = stcTableNext;
    (stcTableNext ? stcTableNext->stcTablePrev : table->sbtCursorsTail) = stcTablePrev;
    stcTablePrev = stcTableNext = nullptr;
    stcInTable = false;
    table->sbtCursorDetached();
    if (root != table) {
      TnxPadlockGuard rootGuard(root->CursorsPadlock());
      root->srtCursorRemoved();
    } else {
      root->srtCursorRemoved();
    }
  }
  bool freeTable = false;
  try {
    freeTable = root->TableScope() == tsTempUnnamed && !root->Destroying() && root->srtCanClose(false, false, 1);
  } catch (...) {
    freeTable = false;
  }
  if (!freeTable) {
    root->LockIsInactive().fetch_sub(1);
    return;
  }
  try {
    TnxPadlockGuard tables(root->Folder().TablesPadlock());
    // Whoever else looks at the table raises the guard first and then
    // leaves it alone.
    if (root->LockIsInactive().fetch_sub(1) - 1 == 0 && root->srtCanClose(false, false, 0)) root->Free();
  } catch (...) {
    // Freeing a temporary table deletes nothing a caller could keep.
  }
}

// ---- keys and paths ----

void TnxServerTableCursor::stcFreeKeys() noexcept {
  if (stcIndexEngine) {
    const TnxBaseKeyEngine& keys = stcIndexEngine->KeyEngine();
    keys.FreeKey(stcKeyBuffer);
    keys.FreeKey(stcRangeStartKey);
    keys.FreeKey(stcRangeEndKey);
  }
  stcKeyBuffer = stcRangeStartKey = stcRangeEndKey = nullptr;
  stcRangeStart = TnxRangeInfo{};
  stcRangeEnd = TnxRangeInfo{};
}

void TnxServerTableCursor::stcAllocKeys() {
  stcRangeStart = TnxRangeInfo{};
  stcRangeEnd = TnxRangeInfo{};
  if (!stcIndexEngine) return;
  const TnxBaseKeyEngine& keys = stcIndexEngine->KeyEngine();
  stcKeyBuffer = keys.AllocKey();
  stcRangeStartKey = keys.AllocKey();
  stcRangeEndKey = keys.AllocKey();
  stcRangeStart.riKey = stcRangeStartKey;
  stcRangeEnd.riKey = stcRangeEndKey;
}

// ---- duplicate ----

uint32_t TnxServerTableCursor::sbcDuplicate(TnxOpenMode aOpenMode, TnxAbstractCursor*& aNewCursor,
                                            bool aForceWrite) {
  aNewCursor = nullptr;
  TnxServerTableCursor* copy = nullptr;
  uint32_t result = 0;
  try {
    auto* database = static_cast<TnxServerDatabase*>(Database());
    if (!stcTable || !database) return EnxBaseException::nxSetMessage(nxeInvalidHandle, u"The cursor has no table");
    const TnxOpenMode mode = OpenMode() == omReadOnly && !aForceWrite ? omReadOnly : aOpenMode;
    int32_t indexID = -1;
    sbcGetIndexID(indexID);
    TnxServerRootTable* root = stcTable->Root();
    TnxAbstractCursor* opened = nullptr;
    result = database->sdCursorOpen(opened, stcTable->FullName(), root->ExtractPassword(), root->ForServer(), mode,
                                    smShared, true, Timeout(), u"", indexID, false, IsCache());
    copy = static_cast<TnxServerTableCursor*>(opened);
    if (result == 0) {
      int32_t copyIndex = -1;
      copy->sbcGetIndexID(copyIndex);
      if (copyIndex != indexID) result = copy->sbcSwitchToIndex(u"", indexID, porFalse);
    }
    if (result == 0) {
      copy->stcIndexPath->Assign(stcIndexPath.get());
      auto takeSide = [&](const TnxRangeInfo& aFrom, TnxRangeInfo& aTo, uint8_t* aToKey) {
        aTo.riValid = aFrom.riValid;
        aTo.riFieldCount = aFrom.riFieldCount;
        aTo.riPartitial = aFrom.riPartitial;
        aTo.riExclusive = aFrom.riExclusive;
        if (!aToKey || !stcIndexEngine) return;
        const TnxBaseKeyEngine& keys = stcIndexEngine->KeyEngine();
        if (aFrom.riValid && aFrom.riKey)
          keys.CopyKey(aFrom.riKey, aToKey);
        else
          keys.ClearKey(aToKey);
      };
      takeSide(stcRangeStart, copy->stcRangeStart, copy->stcRangeStartKey);
      takeSide(stcRangeEnd, copy->stcRangeEnd, copy->stcRangeEndKey);
      if (Filter()) {
        TnxFilterID id = 0;
        std::unique_ptr<TnxBaseFilterEngine> filter = Filter()->Duplicate(copy);
        filter->SetActive(false);
        copy->sbcFilterAddCustom(std::move(filter), id, false);
      }
    }
  } catch (const std::exception& e) {
    result = asoConvertException(e);
  }
  if (result != 0) {
    if (copy) {
      try {
        copy->Free();
      } catch (...) {
        // The open's own failure is the answer.
      }
    }
    return result;
  }
  aNewCursor = copy;
  return 0;
}

// ---- catalogue ----

TnxDataDictionary* TnxServerTableCursor::_Dictionary() {
  return stcTable ? &stcTable->Root()->Dictionary() : nullptr;
}

TnxBaseTableDescriptor* TnxServerTableCursor::TableDescriptor() {
  return stcTable ? stcTable->TableDescriptor() : nullptr;
}

std::u16string TnxServerTableCursor::FullName() { return stcTable ? stcTable->FullName() : std::u16string(); }

std::u16string TnxServerTableCursor::AliasName() {
  auto* database = dynamic_cast<TnxServerDatabase*>(Database());
  return database ? database->Alias() : std::u16string();
}

std::u16string TnxServerTableCursor::sbcGetRootName() {
  return stcTable ? stcTable->Root()->Name() : std::u16string();
}

TnxServerTableStats TnxServerTableCursor::sbcGetStats() {
  TnxServerTableStats stats;
  if (stcTable) stcTable->sbtGetStats(stats);
  return stats;
}

void TnxServerTableCursor::sbcSetOnRequestClose(platform::TInterfacePtr<InxRequestCloseHandler> aHandler) {
  if (!stcTable) {
    TnxServerBaseCursor::sbcSetOnRequestClose(std::move(aHandler));
    return;
  }
  TnxPadlockGuard guard(stcTable->CursorsPadlock());
  TnxServerBaseCursor::sbcSetOnRequestClose(std::move(aHandler));
}

std::u16string TnxServerTableCursor::sbcExtractPassword() {
  return stcTable ? stcTable->Root()->ExtractPassword() : std::u16string();
}

uint32_t TnxServerTableCursor::esoOptionGetParent(std::u16string_view aName, std::u16string& aValue) {
  if (stcTable) {
    const uint32_t result = stcTable->esoOptionGetEffective(aName, aValue);
    if (result != nxeObjectNotFound) return result;
  }
  return TnxServerBaseCursor::esoOptionGetParent(aName, aValue);
}

uint32_t TnxServerTableCursor::esoOptionListParent(platform::TStringList& aList) {
  if (!stcTable) return TnxServerBaseCursor::esoOptionListParent(aList);
  uint32_t result = stcTable->esoOptionList(aList);
  if (result != 0) return result;
  platform::TStringList inherited;
  result = TnxServerBaseCursor::esoOptionListParent(inherited);
  return result == 0 ? esoOptionMerge(aList, inherited) : result;
}

platform::HRESULT TnxServerTableCursor::CreateInstanceFor(std::u16string_view aName,
                                                          const platform::TGUID& aClassID,
                                                          platform::IInterface* aOuter,
                                                          const platform::TGUID& aInterfaceID, void** aInterface) {
  const auto [head, rest] = nxSplitObjectPath(aName);
  if (stcTable && platform::AsciiSameText(head, u"<Table>"))
    return stcTable->CreateInstanceFor(rest, aClassID, aOuter, aInterfaceID, aInterface);
  return TnxServerBaseCursor::CreateInstanceFor(aName, aClassID, aOuter, aInterfaceID, aInterface);
}

void TnxServerTableCursor::GetExceptionData(InxExceptionDataContainer& aContainer, bool aIncludeChildren) {
  TnxServerBaseCursor::GetExceptionData(aContainer, aIncludeChildren);
  aContainer.AddObject(u"Table", static_cast<TnxObject*>(stcTable), false);
  aContainer.AddString(u"ShareMode", std::u16string(kShareModeNames[stcShareMode <= smShareRead ? stcShareMode : 0]));
  if (stcIndexPath)
    aContainer.AddObject(u"IndexPath", static_cast<TnxObject*>(stcIndexPath.get()), false);
  else
    aContainer.AddObject(u"IndexEngine", static_cast<TnxObject*>(stcIndexEngine), false);
  TnxExceptionDataRef range = aContainer.AddContainer(u"Range");
  AddRangeData(*range, u"Start", stcRangeStart, stcIndexEngine);
  AddRangeData(*range, u"End", stcRangeEnd, stcIndexEngine);
}

}  // namespace revurov
