#include "server/server_restructure_tasks.h"

#include <algorithm>
#include <utility>

#include "dictionary/fields_descriptor.h"
#include "dictionary/mapper_descriptors.h"
#include "dictionary/validation_engines.h"
#include "engine/abstract_session.h"
#include "fieldmap/record_mapper_engine.h"
#include "index/bulk_build.h"
#include "index/index_engines.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exceptions.h"
#include "lowlevel/streams/memory_stream.h"
#include "lowlevel/sync/lock_guard.h"
#include "platform/string_list.h"
#include "platform/text.h"
#include "server/engines/fulltext_token_indices.h"
#include "server/server_database.h"
#include "server/server_folder.h"
#include "server/server_table.h"
#include "server/server_table_cursor.h"
#include "server/server_trans_context.h"
#include "storage/files.h"
#include "storage/server_exceptions.h"
#include "storage/sub_engines.h"

namespace revurov {

namespace {

constexpr uint32_t kReportEvery = 10;

uint32_t TotalRecords(TnxServerTableCursor& aCursor) {
  uint32_t count = 0;
  aCursor.Table()->RecordEngine()->GetRecordCount(nullptr, count);
  return count;
}

// The clean-up after a failure keeps the failure's message.
template <class F>
void KeepingError(uint32_t aError, F&& aCleanUp) {
  uint32_t code = aError;
  std::u16string message;
  EnxBaseException::GetLastConvertedException(code, message);
  try {
    aCleanUp();
  } catch (const std::exception&) {
    // What is left is finished by the folder's next opening.
  }
  EnxBaseException::SetLastConvertedException(aError, code == aError ? message : std::u16string());
}

std::u16string ScopedName(TnxServerTableCursor& aCursor) { return aCursor.Table()->Root()->Name(); }

TnxServerDatabase& DatabaseOf(TnxServerTableCursor& aCursor) {
  auto* database = dynamic_cast<TnxServerDatabase*>(aCursor.Database());
  if (!database) throw EnxServerException(nxeInvalidParameter, u"A task needs a cursor of a server database", {});
  return *database;
}

}  // namespace

// ---- one table ----

TnxServerRestructureNode::TnxServerRestructureNode(TnxServerRestructureContainer& aOwner,
                                                   TnxServerObjectPtr<TnxServerTableCursor> aSource,
                                                   TnxServerObjectPtr<TnxServerTableCursor> aTarget,
                                                   TnxBaseRecordMapperDescriptor* aMapperDesc)
    : srnOwner(aOwner),
      srnSourceCursor(std::move(aSource)),
      srnTargetCursor(std::move(aTarget)),
      srnMapperDesc(aMapperDesc) {
  if (srnMapperDesc) srnRecordCount = TotalRecords(*srnSourceCursor);
}

TnxServerRestructureNode::~TnxServerRestructureNode() {
  RecordMapper.reset();
  srnBulkBuilder.reset();
  // The target goes first: the source may be the table it was made from.
  srnTargetCursor.reset();
  srnSourceCursor.reset();
}

void TnxServerRestructureNode::ReleaseCursors() noexcept {
  (void)srnSourceCursor.release();
  (void)srnTargetCursor.release();
}

bool TnxServerRestructureNode::MakeSnapshot(uint32_t aErrorCode) {
  return srnOwner.MakeSnapshot(RecordsRead, RecordsWritten, aErrorCode);
}

uint32_t TnxServerRestructureNode::Copy() {
  TnxServerTableCursor& source = *srnSourceCursor;
  TnxServerTableCursor& target = *srnTargetCursor;
  TnxServerTransContext& context = *target.TransContext();
  // Records come in the record engine's own order.
  if (const uint32_t result = source.sbcSwitchToIndex(u"", -1, porFalse)) return result;
  RecordMapper = TnxBaseRecordMapperEngine::CreateFor(*srnMapperDesc, &source, &target);
  if (!RecordMapper) return 0;

  uint32_t result = context.stcTransactionStart(false, false, false, true, false, target.IsResultSet);
  TransactionStarted = result == 0;
  if (result != 0) return result;
  // Inside the transaction the lock lasts to its end.
  if ((result = target.sbcBeginContentLock(true, false, false)) != 0) return result;
  target.sbcEndContentLock();
  if ((result = target.stcCreateBulkBuilder(srnBulkBuilder)) != 0) return result;
  struct FreeBuilder {
    std::unique_ptr<TnxBaseBulkBuilder>& Builder;
    ~FreeBuilder() { Builder.reset(); }
  } freeBuilder{srnBulkBuilder};

  RecordMapper->BeforeFirstRecord();
  source.sbcSetToBegin();
  srnBuffer = nullptr;
  srnError = 0;

  TnxServerBaseTable& table = *target.Table();
  TnxFieldsDescriptor& fields = *table.FieldsDescriptor();
  TnxBaseRecordEngine& records = *table.RecordEngine();
  auto* buffer = static_cast<uint8_t*>(target.sbcRecordBuffer);
  const TnxStorageRecordIterator copy = [&](void*, TnxRefNr, PnxRecordBuffer aRecord) {
    ++RecordsRead;
    TnxServerTransaction& trans = *context.stcTransaction();
    fields.InitRecord(buffer);
    srnError = RecordMapper->MapRecord(static_cast<const uint8_t*>(aRecord), buffer);
    if (srnError == 0 && target.ValidationsHandler()) {
      try {
        target.ValidationsHandler()->ValidateRecord(nullptr, buffer);
      } catch (const std::exception& e) {
        srnError = target.asoConvertException(e);
      }
    }
    if (srnError == 0) {
      int64_t next = 0;
      if (!target.GetNextLSN(next)) next = 1;
      table.sbtInitRecRev(buffer);
      table.sbtClearRefNr(buffer);
      table.sbtInitLSNFields(next, buffer);
      TnxRefNr refNr = 0;
      records.AddRecord(trans, refNr, buffer);
      if (srnBulkBuilder) srnError = srnBulkBuilder->InsertKey(refNr, buffer, trans);
      if (srnError == 0) srnError = nxFulltextRecordCopied(target.FulltextEngine(), trans, buffer, refNr);
      if (srnError == 0) ++RecordsWritten;
    }
    if (srnError == 0 && RecordsRead % kReportEvery == 0 && MakeSnapshot(0)) srnError = nxeUpdateAborted;
    return srnError != 0 ? rirStop : rirContinue;
  };
  try {
    source.stcIterate(&srnBuffer, {}, copy, false, nullptr, false, nullptr, nullptr);
  } catch (const EnxBaseException& e) {
    if (e.ErrorCode() != nxeAtEndOfTable) throw;
  }
  srnBuffer = nullptr;
  if (srnError != 0) return srnError;

  TnxServerTransaction& trans = *context.stcTransaction();
  if (srnBulkBuilder && (result = srnBulkBuilder->Finalize(trans)) != 0) return result;
  RecordMapper->BeforeCommit();
  TransactionStarted = false;
  Committed = true;
  if ((result = context.stcTransactionCommit()) != 0) {
    Committed = false;
    return result;
  }
  return 0;
}

void TnxServerRestructureNode::Execute() {
  if (!srnMapperDesc) return;
  RecordMapper.reset();
  srnError = 0;
  RecordsRead = 0;
  RecordsWritten = 0;
  TransactionStarted = false;
  Committed = false;
  TnxServerRestructureTaskInfo* task = srnOwner.Owner();
  auto convert = [&](const std::exception& e) {
    const uint32_t code = task ? task->asoConvertException(e) : srnTargetCursor->asoConvertException(e);
    return code != 0 ? code : uint32_t(nxeTransactionCorrupt);
  };
  try {
    srnError = Copy();
  } catch (const std::exception& e) {
    srnError = convert(e);
  }
  if (srnError != 0) {
    TnxServerTransContext& context = *srnTargetCursor->TransContext();
    try {
      if (TransactionStarted)
        context.stcTransactionRollback();
      else if (Committed)
        context.stcTransactionMarkCorrupted();
    } catch (const std::exception& e) {
      convert(e);
    }
    TransactionStarted = false;
  }
  // The records the walk handed over are what the target must hold; the
  // live counts of two tables say nothing when the source had records
  // another transaction deleted meanwhile.
  if (srnError == 0 && RecordsWritten != RecordsRead)
    srnError = EnxBaseException::nxSetMessage(nxeCorruptFile, u"Corrupt file - other than header.");
  if (srnError == 0 && MakeSnapshot(0)) srnError = EnxBaseException::nxSetMessage(nxeUpdateAborted, u"Update aborted.");
  MakeSnapshot(srnError);
  RecordMapper.reset();
  nxCheckError(srnError);
}

// ---- the container ----

TnxServerRestructureContainer::TnxServerRestructureContainer(
    TnxServerObjectPtr<TnxServerTableCursor>& aSourceCursor, TnxServerObjectPtr<TnxServerTableCursor>& aTargetCursor,
    const TnxBaseTableMapperDescriptor& aMapperDesc, TnxServerObjectPtr<TnxServerDatabase>& aSourceDatabase,
    TnxServerObjectPtr<TnxServerDatabase>& aTargetDatabase, std::u16string_view aTargetIntent)
    : srcMapperDesc(aMapperDesc.Duplicate()), srcTargetIntent(aTargetIntent) {
  TnxServerTableCursor& source = *aSourceCursor;
  TnxServerTableCursor& target = *aTargetCursor;
  srcPassword = source.Table()->Root()->ExtractPassword();
  srcSourceName = ScopedName(source);
  srcTargetName = ScopedName(target);
  TnxServerDatabase& sourceDatabase = DatabaseOf(source);
  TnxServerDatabase& targetDatabase = DatabaseOf(target);
  TnxServerRootTable& targetRoot = *target.Table()->Root();
  // A long copy lets the buffer manager write the open transaction's
  // blocks through instead of holding them all.
  if (targetRoot.FileCount() > 0 && !(targetRoot.File(0)->fiAttributes & (nxfaTemporary | nxfaMemTable)))
    for (int32_t i = 0; i < targetRoot.FileCount(); ++i) targetRoot.File(i)->fiAttributes |= nxfaTransWriteThrough;

  srcNodes.push_back(std::make_unique<TnxServerRestructureNode>(
      *this, TnxServerObjectPtr<TnxServerTableCursor>(&source), TnxServerObjectPtr<TnxServerTableCursor>(&target),
      srcMapperDesc->RecordMapper()));
  try {
    // Opened in the databases given, before they are taken over.
    struct Nested {
      TnxServerRestructureContainer& Self;
      TnxServerDatabase& From;
      TnxServerDatabase& To;
      void Add(const TnxBaseTableMapperDescriptor& aDesc, const std::u16string& aPath) {
        for (int32_t i = 0; i < aDesc.TableCount(); ++i) {
          const TnxBaseTableMapperDescriptor& nested = *aDesc.TableDescriptor(i);
          const std::u16string path = aPath + u":" + nested.Name();
          const std::u16string sourceName = Self.srcSourceName + path;
          std::u16string mapTo = nested.MapTo().empty() ? u"." : nested.MapTo();
          const std::u16string targetName = mapTo.front() == u'.'
                                                ? Self.srcTargetName + path + (mapTo == u"." ? u"" : u":" + mapTo)
                                                : Self.srcTargetName + u":" + mapTo;
          TnxServerObjectPtr<TnxServerTableCursor> sourceCursor = Open(From, sourceName, omReadOnly);
          TnxServerObjectPtr<TnxServerTableCursor> targetCursor = Open(To, targetName, omReadWrite);
          Self.srcNodes.push_back(std::make_unique<TnxServerRestructureNode>(
              Self, std::move(sourceCursor), std::move(targetCursor), nested.RecordMapper()));
          Add(nested, path);
        }
      }
      TnxServerObjectPtr<TnxServerTableCursor> Open(TnxServerDatabase& aDatabase, const std::u16string& aName,
                                                    TnxOpenMode aMode) {
        TnxAbstractCursor* opened = nullptr;
        const uint32_t result = aDatabase.sdCursorOpen(opened, aName, Self.srcPassword, false, aMode, smExclusive,
                                                       false, aDatabase.Timeout(), u"", -1, false, false);
        TnxServerObjectPtr<TnxAbstractCursor> owned(opened);
        if (result != 0) nxCheckError(result);
        auto* cursor = dynamic_cast<TnxServerTableCursor*>(opened);
        if (!cursor) throw EnxServerException(nxeInvalidParameter, u"\"%s\" is no table of this engine", {aName});
        (void)owned.release();
        return TnxServerObjectPtr<TnxServerTableCursor>(cursor);
      }
    } nested{*this, sourceDatabase, targetDatabase};
    nested.Add(*srcMapperDesc, std::u16string());
  } catch (...) {
    srcNodes.front()->ReleaseCursors();
    srcNodes.clear();
    throw;
  }
  (void)aSourceCursor.release();
  (void)aTargetCursor.release();
  srcSourceDatabase = std::move(aSourceDatabase);
  if (aTargetDatabase.get() != srcSourceDatabase.get()) srcTargetDatabase = std::move(aTargetDatabase);
}

TnxServerRestructureContainer::~TnxServerRestructureContainer() {
  srcNodes.clear();
  srcTargetDatabase.reset();
  srcSourceDatabase.reset();
}

uint32_t TnxServerRestructureContainer::GetRecordCount() const noexcept {
  uint32_t total = 0;
  for (const auto& node : srcNodes) total += node->RecordCount();
  return total;
}

TnxAbstractSession* TnxServerRestructureContainer::GetSession() const {
  return static_cast<TnxAbstractSession*>(srcNodes.front()->SourceCursor()->Session());
}

bool TnxServerRestructureContainer::MakeSnapshot(uint32_t aRecordsRead, uint32_t aRecordsWritten,
                                                 uint32_t aErrorCode) {
  srcCurrentRecordsRead = srcBaseRecordsRead + aRecordsRead;
  srcCurrentRecordsWritten = srcBaseRecordsWritten + aRecordsWritten;
  return srcOwner && srcOwner->MakeSnapshot(srcCurrentRecordsRead, srcCurrentRecordsWritten, aErrorCode);
}

uint32_t TnxServerRestructureContainer::Fail(const std::exception& aException) {
  const uint32_t code = srcOwner ? srcOwner->asoConvertException(aException) : 0;
  return code != 0 ? code : uint32_t(nxeExceptionWithoutCode);
}

// A stream lost would be a table that differs from its source in what its
// users stored beside the records: a failed copy fails the task.
uint32_t TnxServerRestructureContainer::CopyStreams() {
  TnxServerTableCursor& source = *srcNodes.front()->SourceCursor();
  TnxServerTableCursor& target = *srcNodes.front()->TargetCursor();
  platform::TStringList streams;
  if (const uint32_t result = source.sbcTableStreamGetList(streams, true)) return result;
  for (int i = 0; i < streams.Count(); ++i) {
    const std::u16string& name = streams[i];
    if (platform::AsciiSameText(name, u"DICT") || platform::AsciiSameText(name, u"$TableName")) continue;
    TnxBytesStream stream;
    if (const uint32_t result = source.sbcTableStreamRead(name, stream, true)) return result;
    stream.SetPosition(0);
    if (const uint32_t result = target.sbcTableStreamWrite(name, stream, true)) return result;
  }
  return 0;
}

void TnxServerRestructureContainer::Execute() {
  uint32_t error = 0;
  try {
    error = CopyStreams();
  } catch (const std::exception& e) {
    error = Fail(e);
  }
  srcBaseRecordsRead = srcBaseRecordsWritten = 0;
  for (size_t i = 0; error == 0 && i < srcNodes.size(); ++i) {
    try {
      srcNodes[i]->Execute();
    } catch (const std::exception& e) {
      error = Fail(e);
    }
    srcBaseRecordsRead = srcCurrentRecordsRead;
    srcBaseRecordsWritten = srcCurrentRecordsWritten;
  }
  try {
    error = Finish(error);
  } catch (const std::exception& e) {
    error = Fail(e);
  }
  srcError = error;
  srcBaseRecordsRead = srcCurrentRecordsRead;
  srcBaseRecordsWritten = srcCurrentRecordsWritten;
  MakeSnapshot(0, 0, error);
}

uint32_t TnxServerRestructureContainer::Finish(uint32_t aError) {
  TnxServerDatabase& sourceDatabase = *srcSourceDatabase;
  if (!SameDatabase()) {
    TnxServerDatabase& targetDatabase = *srcTargetDatabase;
    TnxServerFolder& folder = *targetDatabase.Folder();
    while (!srcNodes.empty()) srcNodes.pop_back();
    uint32_t error = aError;
    if (error == 0)
      error = folder.sfSettleTaskTarget(srcTargetIntent, srcTargetName,
                                        targetDatabase.sdBuildPasswords(srcTargetName, srcPassword));
    if (error != 0) {
      // A half-filled copy in the other database would pass for a backup.
      KeepingError(error, [&] {
        targetDatabase.sdTableDelete(srcTargetName, srcPassword);
        folder.sfDropTaskIntent(srcTargetIntent);
      });
    }
    folder.sfCloseInactiveTables();
    return error;
  }

  TnxServerFolder& folder = *sourceDatabase.Folder();
  const bool persistent = srcNodes.front()->TargetCursor()->Table()->Root()->TableScope() == tsPersistent;
  srcNodes.clear();
  if (aError != 0) {
    KeepingError(aError, [&] {
      sourceDatabase.sdTableDelete(srcTargetName, srcPassword);
      folder.sfDropTaskIntent(srcTargetIntent);
    });
    return aError;
  }
  if (folder.InMemOnly() || !persistent) {
    if (const uint32_t result = sourceDatabase.sdTableDelete(srcSourceName, srcPassword)) return result;
    return sourceDatabase.sdTableRename(srcTargetName, srcSourceName, srcPassword);
  }
  const uint32_t result = folder.sfTableSwap(srcSourceName, srcTargetName,
                                             sourceDatabase.sdBuildPasswords(srcSourceName, srcPassword),
                                             srcTargetIntent);
  if (result != 0) {
    KeepingError(result, [&] {
      if (folder.sfTableExists(srcTargetName) == 0) sourceDatabase.sdTableDelete(srcTargetName, srcPassword);
      folder.sfDropTaskIntent(srcTargetIntent, true);
    });
    return result;
  }
  sourceDatabase.sdStructureChanged(true);
  return 0;
}

// ---- the task info ----

TnxServerRestructureTaskInfo::TnxServerRestructureTaskInfo(std::unique_ptr<TnxServerRestructureContainer> aContainer)
    : TnxServerTaskInfo(aContainer->GetSession(), aContainer->GetRecordCount(), platform::TThreadPriority::tpNormal),
      rtiContainer(std::move(aContainer)) {
  rtiContainer->SetOwner(this);
}

TnxServerRestructureTaskInfo::~TnxServerRestructureTaskInfo() {
  StopThread();
  rtiContainer.reset();
}

void TnxServerRestructureTaskInfo::Execute() {
  BeginRun();
  try {
    rtiContainer->Execute();
  } catch (...) {
    MakeSnapshot(0, 0, asoConvertCurrentException());
  }
  EndRun();
}

}  // namespace revurov
