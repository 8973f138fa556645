#include "server/server_recover_task.h"

#include <utility>

#include "dictionary/fields_descriptor.h"
#include "dictionary/storage_descriptors.h"
#include "dictionary/table_descriptors.h"
#include "engine/abstract_session.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exceptions.h"
#include "lowlevel/streams/memory_stream.h"
#include "lowlevel/sync/lock_guard.h"
#include "platform/string_list.h"
#include "platform/text.h"
#include "server/server_database.h"
#include "server/server_folder.h"
#include "server/server_table.h"
#include "server/server_table_cursor.h"
#include "server/server_trans_context.h"
#include "server/table_file_moves.h"
#include "storage/deadline.h"
#include "storage/file_header.h"
#include "storage/files.h"
#include "storage/server_exceptions.h"
#include "storage/sub_engines.h"

namespace revurov {

namespace {

constexpr uint32_t kRecoverDeadline = 86'400'000;

[[noreturn]] void RaiseCode(uint32_t aCode) {
  uint32_t code = 0;
  std::u16string message;
  EnxBaseException::GetLastConvertedException(code, message);
  if (code != aCode || message.empty()) message = u"The recovery could not open its tables";
  throw EnxServerException(aCode, u"%s", {message});
}

TnxRecoverCursorPtr OpenCursor(TnxServerDatabase& aDatabase, const std::u16string& aName,
                               std::u16string_view aPassword, TnxOpenMode aMode) {
  TnxAbstractCursor* opened = nullptr;
  const uint32_t result = aDatabase.sdCursorOpen(opened, aName, aPassword, false, aMode, smExclusive, false,
                                                 aDatabase.Timeout(), u"", -1, false, false);
  if (result != 0) RaiseCode(result);
  TnxServerObjectPtr<TnxAbstractCursor> owned(opened);
  auto* cursor = dynamic_cast<TnxServerTableCursor*>(opened);
  if (!cursor) throw EnxServerException(nxeInvalidParameter, u"\"%s\" is no table of this database", {aName});
  (void)owned.release();
  return TnxRecoverCursorPtr(cursor);
}

// The new tables' commits reach the disk before they count.
void WriteThrough(TnxServerTableCursor& aCursor) {
  TnxServerRootTable* root = aCursor.Table()->Root();
  TnxBaseFile* main = root->MainFile();
  if (!main || (main->fiAttributes & (nxfaTemporary | nxfaMemTable)) != 0) return;
  for (int32_t i = 0; i < root->FileCount(); ++i)
    if (TnxBaseFile* file = root->File(i)) file->fiAttributes |= nxfaTransWriteThrough;
}

}  // namespace

TnxRecoverOpeningScope::TnxRecoverOpeningScope() : roBefore(nxRecoverOpening()) { nxRecoverOpening() = true; }

TnxRecoverOpeningScope::~TnxRecoverOpeningScope() { nxRecoverOpening() = roBefore; }

// ---- node ----

TnxServerRecoverNode::TnxServerRecoverNode(TnxRecoverCursorPtr aSource, TnxRecoverCursorPtr aTarget,
                                           TnxRecoverCursorPtr aFailed)
    : srnSourceCursor(std::move(aSource)), srnTargetCursor(std::move(aTarget)), srnFailedCursor(std::move(aFailed)) {
  TnxServerBaseTable& source = *srnSourceCursor->Table();
  srnID = source.RecordEngine()->GetRecoverID();
  const TnxBaseRecordDescriptor* record = source.TableDescriptor()->RecordDescriptor();
  srnFileNumber = record ? record->FileNumber() : 0;
  srnTargetCursor->Table()->FieldsDescriptor()->HasSameFields(*source.FieldsDescriptor(), &srnBlobFields);
  const uint32_t autoInc = srnSourceCursor->sbcAutoIncGet();
  for (TnxServerTableCursor* into : {srnTargetCursor.get(), srnFailedCursor.get()}) {
    const uint32_t result = into->sbcAutoIncSet(autoInc);
    if (result != 0 && result != nxeCapabilityNotSupported) RaiseCode(result);
  }
}

TnxServerRecoverNode::~TnxServerRecoverNode() {
  srnFailedCursor.reset();
  srnTargetCursor.reset();
  srnSourceCursor.reset();
}

TnxBlockIteratorResult TnxServerRecoverNode::IterateBlock(TnxRecoverContext& aContext, TnxBlockNumber aBlockNr,
                                                          PnxBlock aBlock) {
  aContext.rcRecord = nullptr;
  aContext.rcTarget = srnTargetCursor.get();
  aContext.rcFailed = srnFailedCursor.get();
  aContext.rcBlobFields = srnBlobFields.empty() ? nullptr : &srnBlobFields;
  aContext.rcBlockNumber = aBlockNr;
  TnxRecordIteratorResult answer = rirContinue;
  try {
    TnxServerTableCursor& source = *srnSourceCursor;
    answer = source.Table()->RecordEngine()->RecoverIterate(
        static_cast<const uint8_t*>(aBlock), aBlockNr, &aContext.rcRecord,
        [&source, &aContext](void*, TnxRefNr aRefNr, PnxRecordBuffer aRecord) {
          return source.stcRecoverRecord(aContext, aRefNr, aRecord);
        },
        &aContext);
  } catch (const std::exception& e) {
    aContext.rcResult = srnSourceCursor->asoConvertException(e);
    if (aContext.rcResult == 0) aContext.rcResult = nxeRecoveryFailed;
  }
  return aContext.rcResult != 0 || answer == rirStop ? birStop : birContinue;
}

// ---- container ----

TnxServerRecoverContainer::TnxServerRecoverContainer(TnxRecoverCursorPtr aSource, TnxRecoverCursorPtr aTarget,
                                                     TnxRecoverCursorPtr aFailed, TnxServerDatabase& aDatabase)
    : srcSourceDatabase(&aDatabase) {
  if (!aSource || !aTarget || !aFailed)
    throw EnxServerException(nxeInvalidParameter, u"A recovery needs three table cursors and their database", {});
  TnxServerTableCursor& source = *aSource;
  srcPassword = source.Table()->Root()->ExtractPassword();
  srcSourceName = source.sbcGetRootName();
  srcTargetName = aTarget->sbcGetRootName();
  srcFailedName = aFailed->sbcGetRootName();
  WriteThrough(*aTarget);
  WriteThrough(*aFailed);
  TnxServerRootTable* root = source.Table()->Root();
  TnxServerTableCursor* sourceCursor = aSource.get();
  srcNodes.push_back(
      std::make_unique<TnxServerRecoverNode>(std::move(aSource), std::move(aTarget), std::move(aFailed)));
  AddNested(u"", *sourceCursor);

  for (const auto& node : srcNodes) {
    const int32_t file = node->FileNumber();
    if (file < 0 || file >= root->FileCount() || node->ID() < 0) continue;
    if (srcIDMap.size() <= size_t(file)) srcIDMap.resize(size_t(file) + 1);
    srcIDMap[size_t(file)][node->ID()] = node.get();
  }
  srcFiles.assign(srcIDMap.size(), nullptr);
  for (size_t i = 0; i < srcIDMap.size(); ++i)
    if (!srcIDMap[i].empty()) srcFiles[i] = root->File(int32_t(i));
}

void TnxServerRecoverContainer::Take(TnxServerObjectPtr<TnxServerDatabase> aDatabase,
                                     std::unique_ptr<TnxFileMoves> aIntent) {
  srcDatabase = std::move(aDatabase);
  srcIntent = std::move(aIntent);
}

TnxServerRecoverContainer::~TnxServerRecoverContainer() {
  KeepTables();
  srcNodes.clear();
  if (srcDatabase) {
    if (TnxServerFolder* folder = srcDatabase->Folder()) folder->sfCloseInactiveTables();
    srcDatabase.reset();
  }
}

void TnxServerRecoverContainer::AddNested(const std::u16string& aPath, TnxServerTableCursor& aSource) {
  const TnxTablesDescriptor& tables = aSource.TableDescriptor()->TablesDescriptor();
  for (int32_t i = 0; i < tables.TableCount(); ++i) {
    const std::u16string path = aPath + u":" + tables.TableDescriptor(i)->Name();
    TnxRecoverCursorPtr source;
    {
      TnxRecoverOpeningScope opening;
      source = OpenCursor(*srcSourceDatabase, srcSourceName + path, srcPassword, omReadOnly);
    }
    TnxRecoverCursorPtr target = OpenCursor(*srcSourceDatabase, srcTargetName + path, srcPassword, omReadWrite);
    TnxRecoverCursorPtr failed = OpenCursor(*srcSourceDatabase, srcFailedName + path, srcPassword, omReadWrite);
    TnxServerTableCursor* nested = source.get();
    srcNodes.push_back(
        std::make_unique<TnxServerRecoverNode>(std::move(source), std::move(target), std::move(failed)));
    AddNested(path, *nested);
  }
}

uint32_t TnxServerRecoverContainer::GetTotalBlockCount() {
  uint32_t total = 0;
  for (TnxBaseFile* file : srcFiles)
    if (file) total += file->PhysicalBlockCount();
  return total;
}

TnxAbstractSession* TnxServerRecoverContainer::GetSession() const {
  return static_cast<TnxAbstractSession*>(srcSourceDatabase->Session());
}

bool TnxServerRecoverContainer::MakeSnapshot(uint32_t aBlocksRead, uint32_t aBlocksWritten, uint32_t aErrorCode) {
  if (!srcOwner) return false;
  return srcOwner->MakeSnapshot(srcBaseBlocksRead + aBlocksRead, srcBaseBlocksWritten + aBlocksWritten, aErrorCode);
}

uint32_t TnxServerRecoverContainer::ConvertException(const std::exception& aException) {
  const uint32_t code = srcOwner ? srcOwner->asoConvertException(aException) : nxeRecoveryFailed;
  return code != 0 ? code : nxeRecoveryFailed;
}

void TnxServerRecoverContainer::KeepTables() noexcept {
  if (!srcIntent || !srcSourceDatabase->Folder()) return;
  try {
    TnxPadlockGuard tables(srcSourceDatabase->Folder()->TablesPadlock());
    srcIntent->Keep();
  } catch (...) {
    // A failed clear leaves the intent: the folder's next open then drops
    // the new tables, and the source is still whole.
  }
  srcIntent.reset();
}

void TnxServerRecoverContainer::CopyStreams() {
  // Salvage: a stream that cannot be copied is left behind.
  try {
    TnxServerTableCursor& source = *srcNodes.front()->Source();
    TnxServerTableCursor& target = *srcNodes.front()->Target();
    platform::TStringList names;
    if (source.sbcTableStreamGetList(names, true) != 0) return;
    for (int i = 0; i < names.Count(); ++i) {
      const std::u16string& name = names[i];
      if (platform::AsciiSameText(name, u"DICT") || platform::AsciiSameText(name, u"$TableName")) continue;
      try {
        TnxBytesStream stream;
        if (source.sbcTableStreamRead(name, stream, true) != 0) continue;
        stream.SetPosition(0);
        target.sbcTableStreamWrite(name, stream, true);
      } catch (...) {
      }
    }
  } catch (...) {
  }
}

TnxBlockIteratorResult TnxServerRecoverContainer::OnBlock(TnxRecoverContext& aContext, TnxBaseFile& aFile,
                                                          TnxBlockNumber aBlockNr, PnxBlock aBlock) {
  ++srcBlocksRead;
  TnxBlockIteratorResult answer = birContinue;
  if (aBlock) {
    ++srcBlocksWritten;
    const int32_t id = aFile.fiHeaderAccessFactory ? aFile.fiHeaderAccessFactory->GetID(aBlock) : 0;
    const auto& nodes = srcIDMap[size_t(aContext.rcFileIndex)];
    if (id >= 0)
      if (const auto found = nodes.find(id); found != nodes.end())
        answer = found->second->IterateBlock(aContext, aBlockNr, aBlock);
  }
  if (MakeSnapshot(srcBlocksRead, srcBlocksWritten, 0)) {
    aContext.rcResult = EnxBaseException::nxSetMessage(nxeUpdateAborted, u"Update aborted.");
    return birStop;
  }
  return answer;
}

uint32_t TnxServerRecoverContainer::Walk(TnxRecoverContext& aContext) {
  srcBaseBlocksRead = 0;
  srcBaseBlocksWritten = 0;
  for (size_t i = 0; i < srcFiles.size(); ++i) {
    TnxBaseFile* file = srcFiles[i];
    if (!file) continue;
    srcBlocksRead = 0;
    srcBlocksWritten = 0;
    aContext.rcFileIndex = int32_t(i);
    try {
      const TnxBlockIteratorResult result =
          file->IterateBlocks(&aContext, [this, &aContext, file](void*, TnxBlockNumber aBlockNr, PnxBlock aBlock) {
            return OnBlock(aContext, *file, aBlockNr, aBlock);
          });
      if (result == birStop) {
        if (aContext.rcResult == 0)
          aContext.rcResult = EnxBaseException::nxSetMessage(nxeRecoveryFailed, u"Recovery failed.");
        break;
      }
    } catch (const std::exception& e) {
      aContext.rcResult = ConvertException(e);
      break;
    }
    srcBaseBlocksRead += srcBlocksRead;
    srcBaseBlocksWritten += srcBlocksWritten;
    srcBlocksRead = 0;
    srcBlocksWritten = 0;
  }
  return aContext.rcResult;
}

uint32_t TnxServerRecoverContainer::Execute() {
  srcLostRecords = 0;
  CopyStreams();
  TnxRecoverContext context;
  nxSetTimeout(kRecoverDeadline, true);
  nxEnterTimeoutNesting();
  struct LeaveNesting {
    ~LeaveNesting() { nxLeaveTimeoutNesting(); }
  } leave;

  TnxServerTableCursor& target = *srcNodes.front()->Target();
  TnxServerTransContext& trans = *target.TransContext();
  uint32_t error = 0;
  try {
    error = trans.stcTransactionStart(false, false, false, false, false, target.IsResultSet || target.IsUnnamed);
  } catch (const std::exception& e) {
    error = ConvertException(e);
  }
  if (error == 0) {
    context.rcTransLevels = 1;
    const uint32_t walk = Walk(context);
    uint32_t walkCode = 0;
    std::u16string walkMessage;
    if (walk != 0) EnxBaseException::GetLastConvertedException(walkCode, walkMessage);
    uint32_t committed = 0;
    try {
      // A record's own level is gone already; only the outer one is open.
      while (context.rcTransLevels > 1) {
        trans.stcTransactionRollback();
        --context.rcTransLevels;
      }
      committed = trans.stcTransactionCommit();
      if (committed == 0) context.rcTransLevels = 0;
    } catch (const std::exception& e) {
      committed = ConvertException(e);
    }
    if (context.rcTransLevels > 0) {
      try {
        trans.stcTransactionRollback();
      } catch (...) {
      }
      context.rcTransLevels = 0;
    }
    srcLostRecords = context.rcLostRecords;
    if (walk != 0) {
      error = walk;
      if (walkCode == walk) EnxBaseException::SetLastConvertedException(walkCode, walkMessage);
    } else if (context.rcFirstLoss != 0) {
      error = context.rcFirstLoss;
      EnxBaseException::SetLastConvertedException(error, context.rcFirstLossMessage);
    } else {
      error = committed;
    }
  }
  KeepTables();
  MakeSnapshot(0, 0, error);
  return error;
}

// ---- task ----

TnxServerRecoverTaskInfo::TnxServerRecoverTaskInfo(std::unique_ptr<TnxServerRecoverContainer> aContainer)
    : TnxServerTaskInfo(aContainer->GetSession(), aContainer->GetTotalBlockCount(),
                        platform::TThreadPriority::tpNormal),
      rtiContainer(std::move(aContainer)) {
  rtiContainer->SetOwner(this);
}

TnxServerRecoverTaskInfo::~TnxServerRecoverTaskInfo() {
  StopThread();
  rtiContainer.reset();
}

void TnxServerRecoverTaskInfo::Execute() {
  BeginRun();
  try {
    rtiContainer->Execute();
  } catch (const std::exception& e) {
    MakeSnapshot(0, 0, asoConvertException(e));
  }
  EndRun();
}

}  // namespace revurov
