#include "engine/remote_database.h"

#include <memory>

#include "engine/name_rules.h"
#include "engine/remote_cursor.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exceptions.h"
#include "lowlevel/streams/kept_memory_stream.h"
#include "lowlevel/streams/memory_stream.h"
#include "lowlevel/streams/tagged_stream.h"
#include "platform/endian.h"

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
  // Kept per thread, not per database: a new stream reserves its memory
  // from the system each time, and a database is often opened for one list.
  TnxKeptMemoryStream kept;
  TnxMemoryStream& reply = kept.Stream();
  platform::TStream* variable = &reply;
  const uint32_t result = rdSession.ProcessRequest(rdSource.Token(), rdRemoteThreadPriority, aMsgID, Timeout(),
                                                   payload, 4, &variable, nullptr, nmdStream, false, nullptr);
  if (result != 0) return result;
  reply.SetPosition(0);
  TnxReader reader(reply);
  reader.ReadStrings(aNames);
  return 0;
}

uint32_t TnxRemoteDatabase::TableGetList(platform::TStringList& aList) {
  aList.BeginUpdate();
  struct EndUpdate {
    platform::TStringList& list;
    ~EndUpdate() { list.EndUpdate(); }
  } endUpdate{aList};
  try {
    aList.Clear();
    if (const uint32_t veto = NotifyExtenders(eaTableGetList, true, {})) return veto;
    // Straight into the list: a reply that breaks off is cleared below.
    const uint32_t result = rdRequestNameList(nxnmDatabaseTableGetList, aList);
    if (result != 0) return result;
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
      if (aFilterTimeout != nxDefaultFilterTimeout) cursor->FilterSetTimeout(aFilterTimeout);
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
