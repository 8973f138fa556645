#include "engine/remote_database.h"

#include <memory>

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
  // Kept: a new stream reserves its memory from the system each time.
  if (!rdReply) rdReply = std::make_unique<TnxMemoryStream>(-1);
  platform::TStream* variable = rdReply.get();
  const uint32_t result = rdSession.ProcessRequest(rdSource.Token(), rdRemoteThreadPriority, aMsgID, Timeout(),
                                                   payload, 4, &variable, nullptr, nmdStream, false, nullptr);
  if (result != 0) return result;
  rdReply->SetPosition(0);
  TnxReader reader(*rdReply);
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
