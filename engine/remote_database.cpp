#include "engine/remote_database.h"

#include <memory>

#include "dictionary/data_dictionary.h"
#include "dictionary/field_descriptor.h"
#include "dictionary/index_descriptor.h"
#include "dictionary/mapper_descriptors.h"
#include "engine/name_rules.h"
#include "engine/remote_cursor.h"
#include "engine/remote_object_requests.h"
#include "engine/remote_statement.h"
#include "engine/remote_task_info.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exceptions.h"
#include "lowlevel/streams/memory_stream.h"
#include "lowlevel/streams/tagged_stream.h"
#include "lowlevel/wide_strings/utils_identifier.h"
#include "platform/endian.h"
#include "platform/text.h"

namespace revurov {

TnxRemoteDatabase::TnxRemoteDatabase(TnxRemoteSession* aSession, uint32_t aTimeout, bool aOwnsCtx,
                                     TnxAbstractTransContext* aTransContext, TnxDatabaseID aDatabaseID)
    : TnxAbstractDatabase(aSession, aTransContext, aTimeout),
      rdSession(*aSession),
      rdSource(*aSession),
      rdRemoteThreadPriority(aSession->RemoteThreadPriority()),
      rdServerVersion(aSession->ServerVersion()),
      rdDatabaseID(aDatabaseID) {
  if (aOwnsCtx && aTransContext) AdoptTransContext();
}

TnxRemoteDatabase::~TnxRemoteDatabase() {
  uint8_t payload[4];
  platform::StoreU32(payload, rdDatabaseID);
  // The request path does not raise; its result has nobody to go to.
  rdSession.ProcessRequest(rdSource.Token(), rdRemoteThreadPriority, nxnmDatabaseClose, Timeout(), payload, 4,
                           nullptr, nullptr, nmdByteArray, true, nullptr);
}

void TnxRemoteDatabase::SetTimeout(uint32_t aValue) {
  if (aValue == Timeout()) return;
  TnxAbstractDatabase::SetTimeout(aValue);
  if (AddToTimeoutBatch(this)) return;
  uint8_t payload[8];
  platform::StoreU32(payload, rdDatabaseID);
  platform::StoreU32(payload + 4, aValue);
  rdSession.ProcessRequest(rdSource.Token(), rdRemoteThreadPriority, nxnmDatabaseSetTimeout, Timeout(), payload, 8,
                           nullptr, nullptr, nmdByteArray, false, nullptr);
}

uint32_t TnxRemoteDatabase::rdRequestNameList(TnxMsgID aMsgID, platform::TStringList& aNames) {
  uint8_t payload[4];
  platform::StoreU32(payload, rdDatabaseID);
  // The names are read where the reply lies: no copy of it, no queued
  // message. A reply that breaks off raises out of here.
  const auto view = [](void* aNames, uint32_t aCode, std::span<const uint8_t> aReply) -> uint32_t {
    if (aCode != 0) return aCode;
    TnxStaticMemoryStream reply(const_cast<uint8_t*>(aReply.data()), static_cast<int64_t>(aReply.size()));
    TnxReader reader(reply);
    reader.ReadStrings(*static_cast<platform::TStringList*>(aNames));
    return 0;
  };
  return rdSession.ProcessRequestInPlace(rdSource.Token(), rdRemoteThreadPriority, aMsgID, Timeout(), payload, 4,
                                         view, &aNames);
}

uint32_t TnxRemoteDatabase::TableGetList(platform::TStringList& aList) {
  aList.BeginUpdate();
  struct EndUpdate {
    platform::TStringList& list;
    ~EndUpdate() { list.EndUpdate(); }
  } endUpdate{aList};
  try {
    // The names are read over the list's old lines, which keeps their
    // memory; every way out without the names empties it.
    if (const uint32_t veto = NotifyExtenders(eaTableGetList, true, {})) {
      aList.Clear();
      return veto;
    }
    const uint32_t result = rdRequestNameList(nxnmDatabaseTableGetList, aList);
    if (result != 0) {
      aList.Clear();
      return result;
    }
    NotifyExtenders(eaTableGetList, false, {});
    return 0;
  } catch (const std::exception& e) {
    aList.Clear();
    return asoConvertException(e);
  }
}

uint32_t TnxRemoteDatabase::GetChangedTables(platform::TStringList& aTables) {
  try {
    if (const uint32_t veto = NotifyExtenders(eaGetChangedTables, true, {})) return veto;
    platform::TStringList names;
    const uint32_t result = rdRequestNameList(nxnmDatabaseGetChangedTables, names);
    if (result != 0) return result;
    if (names.Count() > 0) {
      aTables.BeginUpdate();
      aTables.AddStrings(names);
      aTables.EndUpdate();
    }
    NotifyExtenders(eaGetChangedTables, false, {});
    return 0;
  } catch (const std::exception& e) {
    return asoConvertException(e);
  }
}

}  // namespace revurov

namespace revurov {

uint32_t TnxRemoteDatabase::CursorOpen(TnxAbstractCursor*& aCursor, std::u16string_view aTableName,
                                       std::u16string_view aPassword, TnxOpenMode aOpenMode, TnxShareMode aShareMode,
                                       uint32_t aTimeout, std::u16string_view aIndexName, int32_t aIndexID,
                                       bool aAllowSystem, TnxCursorOpenOptions aOpenOptions, uint32_t aFilterTimeout,
                                       const platform::TStringList*) {
  aCursor = nullptr;
  if (const uint32_t check = nxValidateTablePath(aTableName, true, aAllowSystem)) return check;
  try {
    const bool dictionaryCache = nxClientFeatureOn(cfDictionaryCache);
    std::unique_ptr<TnxRemoteDataDictionary, TnxRemoteDictionaryRelease> cached;
    TnxMsgID msgID = nxnmDatabaseCursorOpen;
    if (dictionaryCache && rdServerVersion > nxDictionaryCacheMinServer) {
      cached.reset(rdDictionaryCache.Get(aTableName));
      if (cached) msgID = nxnmDatabaseCursorOpenCached;
    }
    if (nxClientFeatureOn(cfMessageReduction) && rdServerVersion > nxCursorOpenReducedMinServer &&
        (nxClientFeatureOn(cfAutoIncCache) || !aIndexName.empty() || aIndexID != -1 ||
         aFilterTimeout != nxDefaultFilterTimeout))
      msgID = nxnmDatabaseCursorOpenReduced;

    // Both kept: a new stream reserves its memory from the system each time.
    if (!rdRequest) rdRequest = std::make_unique<TnxMemoryStream>(-1);
    if (!rdReply) rdReply = std::make_unique<TnxMemoryStream>(-1);
    TnxMemoryStream& request = *rdRequest;
    TnxMemoryStream& reply = *rdReply;
    request.SetSize(0);
    request.SetPosition(0);
    reply.SetSize(0);
    reply.SetPosition(0);
    {
      TnxWriter writer(request);
      writer.WriteInteger(static_cast<int32_t>(rdDatabaseID));
      writer.WriteString(aTableName);
      writer.WriteString(aPassword);
      writer.WriteInteger(static_cast<int32_t>(aOpenMode));
      writer.WriteInteger(static_cast<int32_t>(aShareMode));
      writer.WriteInteger(static_cast<int32_t>(aTimeout));
      if (msgID >= nxnmDatabaseCursorOpenCached) {
        writer.WriteGuid(cached ? cached->Guid() : platform::TGUID{});
        writer.WriteInteger(cached ? cached->CurrentID() : 0);
      }
      if (msgID >= nxnmDatabaseCursorOpenReduced) {
        writer.WriteString(aIndexName);
        writer.WriteInteger(aIndexID);
        writer.WriteInteger(static_cast<int32_t>(aOpenOptions));
        writer.WriteInteger(static_cast<int64_t>(aFilterTimeout));
      }
      writer.FlushBuffer();
    }

    platform::TStream* replyVariable = &reply;
    uint32_t sequenceID = 0;
    const uint32_t result = rdSession.ProcessRequest(rdSource.Token(), rdRemoteThreadPriority, msgID, Timeout(),
                                                     request.Memory(), static_cast<int32_t>(request.GetSize()),
                                                     &replyVariable, nullptr, nmdStream, false, &sequenceID);
    if (result != 0) return result;

    reply.SetPosition(0);
    TnxCursorID cursorID = 0;
    int32_t indexID = -1;
    bool dictionaryFollows = true;
    int64_t autoInc = -1;
    {
      // Gives back what it read ahead: the dictionary follows at the position.
      TnxReader reader(reply);
      cursorID = static_cast<TnxCursorID>(reader.ReadInteger());
      indexID = reader.ReadInteger();
      if (msgID >= nxnmDatabaseCursorOpenCached) dictionaryFollows = reader.ReadBoolean();
      if (msgID >= nxnmDatabaseCursorOpenReduced) autoInc = reader.ReadInt64();
    }

    try {
      std::unique_ptr<TnxRemoteDataDictionary, TnxRemoteDictionaryRelease> received;
      std::unique_ptr<TnxDataDictionary> plain;
      if (!dictionaryCache) {
        plain = std::make_unique<TnxDataDictionary>();
        plain->ReadFromStream(reply, aTableName);
      } else if (dictionaryFollows) {
        auto* dictionary = new TnxRemoteDataDictionary(&rdDictionaryCache, reply, aTableName);
        received.reset(dictionary);
        dictionary->_AddRef();
      } else if (!cached) {
        // The server took us for holding a dictionary we do not have.
        throw EnxBaseException(nxeMessageUnrecognized);
      }
      TnxRemoteDataDictionary* shared = received ? received.get() : (plain ? nullptr : cached.get());
      auto cursor = nxCreateServerObject<TnxRemoteCursor>(this, aTimeout, cursorID, indexID, shared,
                                                          std::move(plain), aTableName, autoInc);
      if (aOpenOptions & (1u << cooRequestMultipartRecordGet))
        rdSession.SwapSourceForSequence(sequenceID, rdSource.Token(), cursor->Source());
      if (msgID < nxnmDatabaseCursorOpenReduced) {
        if (!aIndexName.empty() || aIndexID != -1) {
          int32_t wanted = aIndexID;
          if (!aIndexName.empty()) wanted = cursor->TableDescriptor()->GetIndexFromName(aIndexName);
          if (wanted >= 0 && wanted != indexID) cursor->SwitchToIndex(aIndexName, aIndexID, porFalse);
        }
      }
      // The newer open told the server already; the cursor keeps it too.
      if (aFilterTimeout != nxDefaultFilterTimeout) {
        if (msgID < nxnmDatabaseCursorOpenReduced) cursor->FilterSetTimeout(aFilterTimeout);
        else cursor->FilterTimeoutKnown(aFilterTimeout);
      }
      aCursor = cursor.release();
      return 0;
    } catch (...) {
      // The server's cursor has no client side: close it.
      uint8_t payload[4];
      platform::StoreU32(payload, cursorID);
      rdSession.ProcessRequest(rdSource.Token(), rdRemoteThreadPriority, nxnmCursorClose, Timeout(), payload, 4,
                               nullptr, nullptr, nmdByteArray, true, nullptr);
      throw;
    }
  } catch (const std::exception& e) {
    return asoConvertException(e);
  }
}

}  // namespace revurov

// ---- table maintenance, existence, streams, options, path, free space ----

namespace revurov {

namespace {

// The text a name check left goes with its code.
uint32_t CheckIndexName(std::u16string_view aIndexName) {
  return nxCheckIdentifier(aIndexName, nxeInvalidIndexName, true, true);
}

uint32_t NotAssigned(std::u16string_view aWhat, std::u16string_view aOperation) {
  return EnxBaseException::nxSetMessage(nxeInvalidParameter, u"%s must be assigned for %s",
                                        {std::u16string(aWhat), std::u16string(aOperation)});
}

}  // namespace

uint32_t TnxRemoteDatabase::StatementAlloc(TnxAbstractStatement*& aStatement, uint32_t aTimeout) {
  aStatement = nullptr;
  try {
    uint8_t extra[4];
    platform::StoreU32(extra, aTimeout);
    std::vector<uint8_t> reply;
    if (uint32_t result = nxRemoteRawRequest(rdTarget(), nxnmDatabaseStatementAlloc, extra, &reply)) return result;
    if (reply.size() < 4) return nxeMessageUnrecognized;
    const TnxStatementID id = platform::LoadU32(reply.data());
    try {
      aStatement = nxCreateServerObject<TnxRemoteStatement>(this, aTimeout, id).release();
    } catch (...) {
      // The server's statement has no client side: close it.
      const TnxRemoteRequestTarget target{&rdSession, rdSource.Token(), rdRemoteThreadPriority, Timeout(), id};
      nxRemoteRawRequest(target, nxnmStatementClose, {}, nullptr, true);
      throw;
    }
    return 0;
  } catch (const std::exception& e) {
    return asoConvertException(e);
  }
}

uint32_t TnxRemoteDatabase::StatementExecDirect(uint32_t aTimeout, TnxStatementType aStatementType,
                                                std::u16string_view aQueryText, platform::TStream* aPrepareStream,
                                                const TnxSqlParamList& aParams, platform::TStream* aSetParamsStream,
                                                TnxAbstractCursor*& aCursor, TnxOpenMode aOpenMode,
                                                platform::TStream* aExecStream, platform::TStream* aGetParamsStream,
                                                TnxStatementExecDirectPhase& aPhase) {
  aCursor = nullptr;
  aPhase = sedAlloc;
  if (aOpenMode == omNone && rdServerVersion < nxStatementOpenModeNoneMinServer) aOpenMode = omReadOnly;
  if (aParams.empty()) aGetParamsStream = nullptr;
  try {
    const std::unique_ptr<TnxRequestWriter> writer = nxRemoteCreateRequest(rdTarget());
    writer->WriteInteger(static_cast<int32_t>(aTimeout));
    writer->WriteInteger(static_cast<int32_t>(aStatementType));
    writer->WriteString(aQueryText);
    writer->WriteInteger(static_cast<int32_t>(aParams.size()));
    if (!aParams.empty()) writer->WriteInteger(aGetParamsStream ? 3 : 2);
    nxWriteSqlParams(*writer, aParams);
    writer->WriteInteger(static_cast<int32_t>(aOpenMode));
    TnxMemoryStream reply(-1);
    TnxMemoryStream* into = &reply;
    uint32_t result = writer->RequestIntoStream(nxnmDatabaseStatementExecDirect, into);
    if (!into || into->GetSize() == 0) return result == 0 ? nxeExceptionWithoutCode : result;
    const auto* bytes = static_cast<const uint8_t*>(into->Memory());
    const size_t size = static_cast<size_t>(into->GetSize());
    aPhase = static_cast<TnxStatementExecDirectPhase>(bytes[0]);
    size_t at = 1;
    // Each block: a u32 length, then that many bytes, all of which must have come.
    auto block = [&](platform::TStream* aTarget) -> bool {
      if (size - at < 4) return false;
      const uint32_t len = platform::LoadU32(bytes + at);
      at += 4;
      if (len > size - at) return false;
      if (aTarget) {
        if (len) aTarget->Write(bytes + at, len);
        aTarget->SetPosition(0);
      }
      at += len;
      return true;
    };
    if (aPhase >= sedPrepare && !block(aPrepareStream)) return nxeMessageUnrecognized;
    if (aPhase >= sedSetParams && !block(aSetParamsStream)) return nxeMessageUnrecognized;
    if (aPhase >= sedExec) {
      if (!block(aExecStream)) return nxeMessageUnrecognized;
      if (result == 0 && aExecStream) {
        result = nxReadResultSetCursor(*aExecStream, this, Timeout(), rdRemoteThreadPriority, aCursor);
        if (result != 0) return result;
      }
    }
    if (aPhase >= sedGetParams && aGetParamsStream) {
      if (!block(aGetParamsStream)) return nxeMessageUnrecognized;
      // The values go into the caller's list only through a statement
      // object; here they are checked against it.
      if (result == 0) {
        TnxSqlParamList check = aParams;
        result = nxReadSqlParams(*aGetParamsStream, check);
        if (result == 0) aGetParamsStream->SetPosition(0);
      }
    }
    return result;
  } catch (const std::exception& e) {
    return asoConvertException(e);
  }
}

TnxRemoteRequestTarget TnxRemoteDatabase::rdTarget() const noexcept {
  return {&rdSession, rdSource.Token(), rdRemoteThreadPriority, Timeout(), rdDatabaseID};
}

template <class F>
uint32_t TnxRemoteDatabase::rdGuarded(F&& aOperation) noexcept {
  try {
    return aOperation();
  } catch (const std::exception& e) {
    return asoConvertException(e);
  } catch (...) {
    return nxeExceptionWithoutCode;
  }
}

bool TnxRemoteDatabase::rdMessageReductionServer() const noexcept {
  return rdServerVersion > nxSessionTableRequestsMinServer && nxClientFeatureOn(cfMessageReduction);
}

uint32_t TnxRemoteDatabase::rdTaskRequest(TnxRequestWriter& aWriter, TnxMsgID aMsgID, bool aPriority,
                                          TnxAbstractTaskInfo*& aTaskInfo) {
  uint32_t result = 0;
  TnxReplyReader* reader = aWriter.Request(aMsgID, result);
  if (result != 0) return result;
  TnxMemoryStream& reply = reader->StreamForReading();
  if (reply.GetSize() < 4) return nxeMessageUnrecognized;
  const TnxTaskID taskID = platform::LoadU32(reply.Memory());
  auto taskInfo = nxCreateServerObject<TnxRemoteTaskInfo>(&rdSession, taskID);
  if (aPriority) taskInfo->SetRemoteThreadPriority(rdRemoteThreadPriority);
  aTaskInfo = taskInfo.release();
  return 0;
}

uint32_t TnxRemoteDatabase::rdNamedRequest(TnxMsgID aMsgID, TnxEngineAction aAction, std::u16string_view aTableName,
                                           std::u16string_view aPassword) {
  if (const uint32_t check = nxValidateTableName(aTableName, true, false)) return check;
  return rdGuarded([&]() -> uint32_t {
    const TnxEngineArg args[] = {aTableName};
    if (const uint32_t veto = NotifyExtenders(aAction, true, args)) return veto;
    const std::unique_ptr<TnxRequestWriter> writer = nxRemoteCreateRequest(rdTarget());
    writer->WriteString(aTableName);
    writer->WriteString(aPassword);
    const uint32_t result = writer->RequestNoReply(aMsgID);
    if (result == 0) NotifyExtenders(aAction, false, args);
    return result;
  });
}

uint32_t TnxRemoteDatabase::TableBuild(bool aOverWrite, std::u16string_view aTableName, std::u16string_view aPassword,
                                       TnxDataDictionary* aDictionary, TnxTableScope aTableScope, bool aAllowSystem) {
  return rdGuarded([&]() -> uint32_t {
    if (!aDictionary) return NotAssigned(u"aDictionary", u"TableBuild");
    // An invalid dictionary raises before any name is looked at.
    aDictionary->CheckValid(true);
    if (const uint32_t check = nxValidateTableName(aTableName, false, aAllowSystem)) return check;
    const TnxEngineArg args[] = {aOverWrite, aTableName};
    if (const uint32_t veto = NotifyExtenders(eaTableBuild, true, args)) return veto;
    const std::unique_ptr<TnxRequestWriter> writer = nxRemoteCreateRequest(rdTarget());
    writer->WriteBoolean(aOverWrite);
    writer->WriteInteger(static_cast<int32_t>(aTableScope));
    writer->WriteString(aPassword);
    writer->WriteString(aTableName);
    aDictionary->WriteToWriter(*writer, static_cast<uint32_t>(rdServerVersion));
    const uint32_t result = writer->RequestNoReply(nxnmDatabaseTableBuild);
    if (result == 0) NotifyExtenders(eaTableBuild, false, args);
    return result;
  });
}

uint32_t TnxRemoteDatabase::TableAddIndex(std::u16string_view aTableName, std::u16string_view aPassword,
                                          TnxIndexDescriptor* aIndexDesc, bool aNewDefault) {
  if (const uint32_t check = nxValidateTablePath(aTableName, true, false)) return check;
  return rdGuarded([&]() -> uint32_t {
    if (!aIndexDesc) return NotAssigned(u"aIndexDesc", u"TableAddIndex");
    const TnxEngineArg args[] = {aTableName, aNewDefault};
    if (const uint32_t veto = NotifyExtenders(eaTableAddIndex, true, args)) return veto;
    // The password leads here, the ID follows it.
    const std::unique_ptr<TnxRequestWriter> writer = nxRemoteCreateRequest(rdTarget(), false);
    writer->WriteString(aPassword);
    writer->WriteBoolean(aNewDefault);
    writer->WriteInteger(static_cast<int32_t>(rdDatabaseID));
    writer->WriteString(aTableName);
    aIndexDesc->SaveStandalone(*writer, static_cast<uint32_t>(rdServerVersion));
    const uint32_t result = writer->RequestNoReply(nxnmDatabaseTableAddIndex);
    if (result == 0) NotifyExtenders(eaTableAddIndex, false, args);
    return result;
  });
}

uint32_t TnxRemoteDatabase::TableChangePassword(std::u16string_view aTableName, std::u16string_view aOldPassword,
                                                std::u16string_view aNewPassword) {
  if (const uint32_t check = nxValidateTableName(aTableName, true, false)) return check;
  return rdGuarded([&]() -> uint32_t {
    const std::unique_ptr<TnxRequestWriter> writer = nxRemoteCreateRequest(rdTarget());
    writer->WriteString(aTableName);
    writer->WriteString(aOldPassword);
    writer->WriteString(aNewPassword);
    return writer->RequestNoReply(nxnmDatabaseTableChangePassword);
  });
}

uint32_t TnxRemoteDatabase::TableBackup(std::u16string_view aTableName, std::u16string_view aPassword,
                                        TnxAbstractDatabase* aTargetDatabase, TnxAbstractTaskInfo*& aTaskInfo) {
  aTaskInfo = nullptr;
  if (const uint32_t check = nxValidateTableName(aTableName, true, false)) return check;
  auto* target = dynamic_cast<TnxRemoteDatabase*>(aTargetDatabase);
  if (!target) return nxeInvalidParameter;
  if (&target->rdSession != &rdSession) return nxeDifferentSessions;
  return rdGuarded([&]() -> uint32_t {
    const TnxEngineArg args[] = {aTableName, static_cast<TnxAbstractServerObject*>(target)};
    if (const uint32_t veto = NotifyExtenders(eaTableBackup, true, args)) return veto;
    const std::unique_ptr<TnxRequestWriter> writer = nxRemoteCreateRequest(rdTarget());
    writer->WriteString(aTableName);
    writer->WriteString(aPassword);
    writer->WriteInteger(static_cast<int32_t>(target->rdDatabaseID));
    return rdTaskRequest(*writer, nxnmDatabaseTableBackup, false, aTaskInfo);
  });
}

uint32_t TnxRemoteDatabase::TableVerifyChecksum(std::u16string_view aTableName, std::u16string_view aPassword,
                                                bool aRaw, bool aForceRecheck, TnxAbstractTaskInfo*& aTaskInfo) {
  aTaskInfo = nullptr;
  if (const uint32_t check = nxValidateTableName(aTableName, true, false)) return check;
  if (rdServerVersion <= nxVerifyChecksumMinServer)
    return EnxBaseException::nxSetMessage(nxeIncompatibleVersion,
                                          nxOriginalMessageTag() + u"\nMinimum required Version: 3.09.00");
  return rdGuarded([&]() -> uint32_t {
    const TnxEngineArg args[] = {aTableName, aRaw, aForceRecheck};
    if (const uint32_t veto = NotifyExtenders(eaTableVerifyChecksum, true, args)) return veto;
    const std::unique_ptr<TnxRequestWriter> writer = nxRemoteCreateRequest(rdTarget());
    writer->WriteString(aTableName);
    writer->WriteString(aPassword);
    writer->WriteBoolean(aRaw);
    writer->WriteBoolean(aForceRecheck);
    const uint32_t result = rdTaskRequest(*writer, nxnmDatabaseTableVerifyChecksum, true, aTaskInfo);
    if (result == 0) {
      const TnxEngineArg after[] = {aTableName, aRaw, aForceRecheck, static_cast<TnxAbstractServerObject*>(aTaskInfo)};
      NotifyExtenders(eaTableVerifyChecksum, false, after);
    }
    return result;
  });
}

uint32_t TnxRemoteDatabase::TableAddField(std::u16string_view aTableName, std::u16string_view aPassword,
                                          TnxFieldDescriptor* aFieldDesc) {
  if (const uint32_t check = nxValidateTablePath(aTableName, true, false)) return check;
  return rdGuarded([&]() -> uint32_t {
    if (!aFieldDesc) return NotAssigned(u"aFieldDesc", u"TableAddField");
    const TnxEngineArg args[] = {aTableName};
    if (const uint32_t veto = NotifyExtenders(eaTableAddField, true, args)) return veto;
    // The password leads here, the ID follows it.
    const std::unique_ptr<TnxRequestWriter> writer = nxRemoteCreateRequest(rdTarget(), false);
    writer->WriteString(aPassword);
    writer->WriteInteger(static_cast<int32_t>(rdDatabaseID));
    writer->WriteString(aTableName);
    aFieldDesc->SaveStandalone(*writer, static_cast<uint32_t>(rdServerVersion));
    const uint32_t result = writer->RequestNoReply(nxnmDatabaseTableAddField);
    if (result == 0) NotifyExtenders(eaTableAddField, false, args);
    return result;
  });
}

uint32_t TnxRemoteDatabase::TableAutoIncGet(std::u16string_view aTableName, std::u16string_view aPassword,
                                            uint32_t& aValue) {
  aValue = 0;
  if (const uint32_t check = nxValidateTablePath(aTableName, true, false)) return check;
  return rdGuarded([&]() -> uint32_t {
    const std::unique_ptr<TnxRequestWriter> writer = nxRemoteCreateRequest(rdTarget(), false);
    writer->WriteString(aPassword);
    writer->WriteInteger(static_cast<int32_t>(rdDatabaseID));
    writer->WriteString(aTableName);
    uint32_t result = 0;
    TnxReplyReader* reader = writer->Request(nxnmDatabaseTableAutoIncGet, result);
    if (result != 0) return result;
    TnxMemoryStream& reply = reader->StreamForReading();
    if (reply.GetSize() < 4) return nxeMessageUnrecognized;
    aValue = platform::LoadU32(reply.Memory());
    return 0;
  });
}

uint32_t TnxRemoteDatabase::GetFreespace(int64_t& aFreeSpace) {
  aFreeSpace = 0;
  return rdGuarded([&]() -> uint32_t {
    std::vector<uint8_t> reply;
    const uint32_t result = nxRemoteRawRequest(rdTarget(), nxnmDatabaseGetFreespace, {}, &reply);
    if (result != 0) return result;
    if (reply.size() < 8) return nxeMessageUnrecognized;
    aFreeSpace = static_cast<int64_t>(platform::LoadU64(reply.data()));
    return 0;
  });
}

uint32_t TnxRemoteDatabase::GetPath(std::u16string& aPath) {
  aPath.clear();
  return rdGuarded([&]() -> uint32_t {
    std::vector<uint8_t> reply;
    const uint32_t result = nxRemoteRawRequest(rdTarget(), nxnmDatabaseGetPath, {}, &reply);
    if (result != 0) return result;
    std::u16string path(reply.size() / 2, u'\0');
    for (size_t i = 0; i < path.size(); ++i) path[i] = static_cast<char16_t>(platform::LoadU16(reply.data() + 2 * i));
    aPath = std::move(path);
    return 0;
  });
}

uint32_t TnxRemoteDatabase::TableStreamRead(std::u16string_view aTableName, std::u16string_view aPassword,
                                            std::u16string_view aStreamName, platform::TStream& aStream) {
  if (!rdMessageReductionServer())
    return TnxAbstractDatabase::TableStreamRead(aTableName, aPassword, aStreamName, aStream);
  return rdGuarded([&]() -> uint32_t {
    aStream.SetSize(0);
    const std::unique_ptr<TnxRequestWriter> writer = nxRemoteCreateRequest(rdTarget());
    writer->WriteString(aTableName);
    writer->WriteString(aPassword);
    writer->WriteString(aStreamName);
    uint32_t result = 0;
    TnxReplyReader* reader = writer->Request(nxnmDatabaseTableStreamRead, result);
    if (result == 0) {
      TnxMemoryStream& bytes = reader->StreamForReading();
      if (bytes.GetSize() > 0) aStream.WriteBuffer(bytes.Memory(), bytes.GetSize());
    }
    aStream.SetPosition(0);
    return result;
  });
}

uint32_t TnxRemoteDatabase::TableStreamWrite(std::u16string_view aTableName, std::u16string_view aPassword,
                                             std::u16string_view aStreamName, platform::TStream& aStream) {
  if (!rdMessageReductionServer())
    return TnxAbstractDatabase::TableStreamWrite(aTableName, aPassword, aStreamName, aStream);
  return rdGuarded([&]() -> uint32_t {
    const std::unique_ptr<TnxRequestWriter> writer = nxRemoteCreateRequest(rdTarget());
    writer->WriteString(aTableName);
    writer->WriteString(aPassword);
    writer->WriteString(aStreamName);
    const int64_t size = aStream.GetSize();
    writer->WriteInteger(size);
    writer->FlushBuffer();
    aStream.SetPosition(0);
    writer->StreamForWriting().CopyFrom(aStream, size);
    return writer->RequestNoReply(nxnmDatabaseTableStreamWrite);
  });
}

uint32_t TnxRemoteDatabase::TablePack(std::u16string_view aTableName, std::u16string_view aPassword,
                                      TnxAbstractTaskInfo*& aTaskInfo) {
  aTaskInfo = nullptr;
  if (const uint32_t check = nxValidateTableName(aTableName, true, false)) return check;
  return rdGuarded([&]() -> uint32_t {
    const TnxEngineArg args[] = {aTableName};
    if (const uint32_t veto = NotifyExtenders(eaTablePack, true, args)) return veto;
    const std::unique_ptr<TnxRequestWriter> writer = nxRemoteCreateRequest(rdTarget());
    writer->WriteString(aTableName);
    writer->WriteString(aPassword);
    return rdTaskRequest(*writer, nxnmDatabaseTablePack, false, aTaskInfo);
  });
}

uint32_t TnxRemoteDatabase::TableRebuildIndex(std::u16string_view aTableName, std::u16string_view aPassword,
                                              std::u16string_view aIndexName, int32_t aIndexID,
                                              TnxAbstractTaskInfo*& aTaskInfo) {
  aTaskInfo = nullptr;
  if (const uint32_t check = nxValidateTablePath(aTableName, true, false)) return check;
  if (const uint32_t check = CheckIndexName(aIndexName)) return check;
  return rdGuarded([&]() -> uint32_t {
    const TnxEngineArg args[] = {aTableName, aIndexID};
    if (const uint32_t veto = NotifyExtenders(eaTableRebuildIndex, true, args)) return veto;
    const std::unique_ptr<TnxRequestWriter> writer = nxRemoteCreateRequest(rdTarget());
    writer->WriteString(aTableName);
    writer->WriteString(aPassword);
    writer->WriteString(aIndexName);
    writer->WriteInteger(aIndexID);
    return rdTaskRequest(*writer, nxnmDatabaseTableRebuildIndex, false, aTaskInfo);
  });
}

uint32_t TnxRemoteDatabase::TableRestructure(std::u16string_view aTableName, std::u16string_view aPassword,
                                             TnxDataDictionary* aDictionary, TnxBaseTableMapperDescriptor* aMapperDesc,
                                             bool aAllowSystem, TnxAbstractTaskInfo*& aTaskInfo) {
  aTaskInfo = nullptr;
  if (!aDictionary) return NotAssigned(u"aDictionary", u"TableRestructure");
  if (!aMapperDesc) return NotAssigned(u"aMapperDesc", u"TableRestructure");
  if (const uint32_t check = nxValidateTableName(aTableName, true, aAllowSystem)) return check;
  return rdGuarded([&]() -> uint32_t {
    const TnxEngineArg args[] = {aTableName};
    if (const uint32_t veto = NotifyExtenders(eaTableRestructure, true, args)) return veto;
    const std::unique_ptr<TnxRequestWriter> writer = nxRemoteCreateRequest(rdTarget());
    writer->WriteString(aTableName);
    writer->WriteString(aPassword);
    aDictionary->WriteToWriter(*writer, static_cast<uint32_t>(rdServerVersion));
    aMapperDesc->WriteToWriter(*writer, static_cast<uint32_t>(rdServerVersion));
    return rdTaskRequest(*writer, nxnmDatabaseTableRestructure, true, aTaskInfo);
  });
}

uint32_t TnxRemoteDatabase::TableDropIndex(std::u16string_view aTableName, std::u16string_view aPassword,
                                           std::u16string_view aIndexName, int32_t aIndexID) {
  if (const uint32_t check = nxValidateTablePath(aTableName, true, false)) return check;
  if (const uint32_t check = CheckIndexName(aIndexName)) return check;
  return rdGuarded([&]() -> uint32_t {
    const TnxEngineArg args[] = {aTableName, aIndexName, aIndexID};
    if (const uint32_t veto = NotifyExtenders(eaTableDropIndex, true, args)) return veto;
    const std::unique_ptr<TnxRequestWriter> writer = nxRemoteCreateRequest(rdTarget());
    writer->WriteString(aTableName);
    writer->WriteString(aPassword);
    writer->WriteString(aIndexName);
    writer->WriteInteger(aIndexID);
    const uint32_t result = writer->RequestNoReply(nxnmDatabaseTableDropIndex);
    if (result == 0) NotifyExtenders(eaTableDropIndex, false, args);
    return result;
  });
}

uint32_t TnxRemoteDatabase::TableRename(std::u16string_view aOldName, std::u16string_view aNewName,
                                        std::u16string_view aPassword) {
  if (const uint32_t check = nxValidateTableName(aOldName, true, false)) return check;
  if (const uint32_t check = nxValidateTableName(aNewName, false, false)) return check;
  return rdGuarded([&]() -> uint32_t {
    const TnxEngineArg args[] = {aOldName, aNewName};
    if (const uint32_t veto = NotifyExtenders(eaTableRename, true, args)) return veto;
    const std::unique_ptr<TnxRequestWriter> writer = nxRemoteCreateRequest(rdTarget());
    writer->WriteString(aOldName);
    writer->WriteString(aNewName);
    writer->WriteString(aPassword);
    const uint32_t result = writer->RequestNoReply(nxnmDatabaseTableRename);
    if (result == 0) NotifyExtenders(eaTableRename, false, args);
    return result;
  });
}

uint32_t TnxRemoteDatabase::TableDelete(std::u16string_view aTableName, std::u16string_view aPassword) {
  return rdNamedRequest(nxnmDatabaseTableDelete, eaTableDelete, aTableName, aPassword);
}

uint32_t TnxRemoteDatabase::TableEmpty(std::u16string_view aTableName, std::u16string_view aPassword) {
  return rdNamedRequest(nxnmDatabaseTableEmpty, eaTableEmpty, aTableName, aPassword);
}

uint32_t TnxRemoteDatabase::TableRecover(std::u16string_view aTableName, std::u16string_view aPassword,
                                         TnxAbstractTaskInfo*& aTaskInfo) {
  aTaskInfo = nullptr;
  if (const uint32_t check = nxValidateTableName(aTableName, true, false)) return check;
  return rdGuarded([&]() -> uint32_t {
    const TnxEngineArg args[] = {aTableName};
    if (const uint32_t veto = NotifyExtenders(eaTableRecover, true, args)) return veto;
    const std::unique_ptr<TnxRequestWriter> writer = nxRemoteCreateRequest(rdTarget());
    writer->WriteString(aTableName);
    writer->WriteString(aPassword);
    const uint32_t result = rdTaskRequest(*writer, nxnmDatabaseTableRecover, true, aTaskInfo);
    if (result == 0) NotifyExtenders(eaTableRecover, false, args);
    return result;
  });
}

uint32_t TnxRemoteDatabase::TableExists(std::u16string_view aTableName, std::u16string_view aPassword,
                                        bool& aExists, bool aAllowSystem) {
  aExists = false;
  // The remote database answers an empty name itself: no such table.
  if (aTableName.empty()) return 0;
  if (const uint32_t check = nxValidateTablePath(aTableName, false, aAllowSystem)) return check;
  return rdGuarded([&]() -> uint32_t {
    const TnxEngineArg before[] = {aTableName, aExists};
    if (const uint32_t veto = NotifyExtenders(eaTableExists, true, before)) return veto;
    const std::unique_ptr<TnxRequestWriter> writer = nxRemoteCreateRequest(rdTarget());
    writer->WriteString(aTableName);
    writer->WriteString(aPassword);
    uint32_t result = 0;
    TnxReplyReader* reader = writer->Request(nxnmDatabaseTableExists, result);
    if (result != 0) return result;
    TnxMemoryStream& reply = reader->StreamForReading();
    if (reply.GetSize() < 1) return nxeMessageUnrecognized;
    aExists = static_cast<const uint8_t*>(reply.Memory())[0] != 0;
    const TnxEngineArg after[] = {aTableName, aExists};
    NotifyExtenders(eaTableExists, false, after);
    return 0;
  });
}

uint32_t TnxRemoteDatabase::SetCacheDatabase(TnxAbstractDatabase* aCacheDatabase) {
  if (!aCacheDatabase || !aCacheDatabase->IsCache())
    return EnxBaseException::nxSetMessage(nxeInvalidHandle, u"Database is not a CacheDatabase");
  rdCacheDatabase = aCacheDatabase;
  if (TransContext()) TransContext()->SetCacheTransContext(aCacheDatabase->TransContext());
  return 0;
}

bool TnxRemoteDatabase::ExplicitAllowSystem() {
  if (nxClientFeatureOn(cfMessageReduction) && !rdExplicitAllowSystem) return false;
  return TnxAbstractDatabase::ExplicitAllowSystem();
}

uint32_t TnxRemoteDatabase::OptionClear(std::u16string_view aName) {
  return rdGuarded([&] { return nxRemoteOptionClear(rdTarget(), nxnmDatabaseOptionBase, aName); });
}

uint32_t TnxRemoteDatabase::OptionSet(std::u16string_view aName, std::u16string_view aValue) {
  return rdGuarded([&]() -> uint32_t {
    const uint32_t result = nxRemoteOptionSet(rdTarget(), nxnmDatabaseOptionBase, aName, aValue);
    if (result == 0 && platform::AsciiSameText(aName, nxAllowSystemTableAccessOption))
      rdExplicitAllowSystem = aValue == u"1";
    return result;
  });
}

uint32_t TnxRemoteDatabase::OptionGet(std::u16string_view aName, std::u16string& aValue) {
  aValue.clear();
  return rdGuarded([&] { return nxRemoteOptionGet(rdTarget(), nxnmDatabaseOptionBase, false, aName, aValue); });
}

uint32_t TnxRemoteDatabase::OptionGetEffective(std::u16string_view aName, std::u16string& aValue) {
  aValue.clear();
  return rdGuarded([&] { return nxRemoteOptionGet(rdTarget(), nxnmDatabaseOptionBase, true, aName, aValue); });
}

uint32_t TnxRemoteDatabase::OptionList(platform::TStringList& aList) {
  return rdGuarded([&] { return nxRemoteOptionList(rdTarget(), nxnmDatabaseOptionBase, false, aList); });
}

uint32_t TnxRemoteDatabase::OptionListEffective(platform::TStringList& aList) {
  return rdGuarded([&] { return nxRemoteOptionList(rdTarget(), nxnmDatabaseOptionBase, true, aList); });
}

}  // namespace revurov
