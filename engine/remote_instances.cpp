#include "engine/remote_instances.h"

#include <algorithm>
#include <exception>
#include <vector>

#include "engine/remote_cursor.h"
#include "engine/remote_database.h"
#include "engine/remote_session.h"
#include "engine/remote_statement.h"
#include "engine/remote_task_info.h"
#include "engine/remote_trans_context.h"
#include "engine/server_object.h"
#include "lowlevel/errors/exceptions.h"
#include "platform/text.h"
#include "transport/remoting/channels.h"
#include "transport/remoting/factory_interfaces.h"
#include "transport/remoting/remoting_client.h"
#include "transport/remoting/remoting_types.h"
#include "transport/session_requests.h"

namespace revurov {

using platform::HRESULT;
using platform::IInterface;
using platform::TGUID;
using platform::TInterfacePtr;

namespace {

HRESULT CreateInstance(InxSessionRequests* aSession, TnxMsgID aMsgID, const TnxBaseID* aObjectID,
                       std::u16string_view aName, const TGUID& aClassID, IInterface* aOuter, const TGUID& aInterfaceID,
                       void** aInterface) {
  const TInterfacePtr<InxClassProxyFactoryRegistry> proxies = nxClassProxyFactoryRegistry();
  std::vector<TGUID> ids(nxMaxClassProxyIDs);
  int32_t found = 0;
  HRESULT result = proxies->EnumClassProxyFactories(aClassID, ids, found);
  if (result < 0) return result;
  ids.resize(static_cast<size_t>(std::clamp(found, 0, nxMaxClassProxyIDs)));

  TInterfacePtr<InxRequestWriter> writer;
  if (result = nxCreateRequestWriter(aSession, writer); result < 0) return result;
  if (aObjectID) writer->WriteInteger(static_cast<int32_t>(*aObjectID));
  std::vector<uint8_t> raw(16 * ids.size());
  for (size_t i = 0; i < ids.size(); ++i) platform::GUIDToBytes(ids[i], raw.data() + 16 * i);
  writer->WriteInteger(static_cast<int32_t>(ids.size()));
  writer->WriteBinary(raw.data(), static_cast<int32_t>(raw.size()));
  writer->WriteString(aName);
  writer->WriteGuid(aClassID);
  writer->WriteGuid(aInterfaceID);
  writer->WriteGuid(nxProcessID());
  TInterfacePtr<InxReader> reader;
  if (result = writer->Send(aMsgID, reader); result < 0) return result;

  const TGUID serverID = reader->ReadGuid();
  const TGUID channelID = reader->ReadGuid();
  const TGUID proxyID = reader->ReadGuid();
  // Only a class proxy we offered may serve the answer.
  if (std::find(ids.begin(), ids.end(), proxyID) == ids.end()) return platform::E_INVALIDARG;
  TnxRoutingPath path;
  nxReadRoutingPath(*reader, path);
  TInterfacePtr<InxChannelEntrance> entrance;
  if (result = nxCreateChannelEntrance(aSession, serverID, channelID, entrance); result < 0) return result;
  TInterfacePtr<InxClassProxy> proxy;
  if (result = proxies->CreateClassProxy(aOuter, proxyID, entrance.Get(), aClassID, path, reader.Get(), proxy);
      result < 0)
    return result;
  return proxy->QueryInterface(aInterfaceID, aInterface);
}

}  // namespace

HRESULT nxRemoteCreateInstance(InxSessionRequests* aSession, TnxMsgID aMsgID, const TnxBaseID* aObjectID,
                               std::u16string_view aName, const TGUID& aClassID, IInterface* aOuter,
                               const TGUID& aInterfaceID, void** aInterface) {
  *aInterface = nullptr;
  // An aggregated proxy is reached through its outer object only.
  if (aOuter && !(aInterfaceID == IInterface::IID)) return platform::E_INVALIDARG;
  HRESULT result = platform::E_UNEXPECTED;
  try {
    result = CreateInstance(aSession, aMsgID, aObjectID, aName, aClassID, aOuter, aInterfaceID, aInterface);
  } catch (const EnxBaseException& e) {
    // The engine's code is kept for the caller; the answer must read as a failure.
    EnxBaseException::SetLastConvertedException(e.ErrorCode(), e.Message());
    result = nxEngineResultHResult(e.ErrorCode());
  } catch (const std::exception&) {
    result = platform::E_UNEXPECTED;
  }
  if (result != platform::S_OK) *aInterface = nullptr;
  return result;
}

bool nxRemotePathIsLocal(std::u16string_view aName, std::initializer_list<std::u16string_view> aOwn) noexcept {
  if (platform::AsciiSameText(aName, u"<Extenders>")) return true;
  const std::u16string_view head = nxSplitObjectPath(aName).first;
  if (platform::AsciiSameText(head, u"<Self>") || platform::AsciiSameText(head, u"<Session>")) return true;
  for (std::u16string_view own : aOwn)
    if (platform::AsciiSameText(head, own)) return true;
  return false;
}

// ---- the remote objects' step ----

namespace {

// The local walk of Base for the paths it takes (aOwn: the object's own
// heads), the server object for every other path.
template <class Base>
HRESULT RemoteStep(Base& aObject, std::initializer_list<std::u16string_view> aOwn, InxSessionRequests* aSession,
                   TnxMsgID aMsgID, bool aWithID, std::u16string_view aName, const TGUID& aClassID,
                   IInterface* aOuter, const TGUID& aInterfaceID, void** aInterface) {
  if (nxRemotePathIsLocal(aName, aOwn))
    return aObject.Base::CreateInstanceFor(aName, aClassID, aOuter, aInterfaceID, aInterface);
  const TnxBaseID id = aObject.RemoteID();
  return nxRemoteCreateInstance(aSession, aMsgID, aWithID ? &id : nullptr, aName, aClassID, aOuter, aInterfaceID,
                                aInterface);
}

}  // namespace

HRESULT TnxRemoteSession::CreateInstanceFor(std::u16string_view aName, const TGUID& aClassID, IInterface* aOuter,
                                            const TGUID& aInterfaceID, void** aInterface) {
  return RemoteStep<TnxAbstractSession>(*this, {}, this, nxnmSessionCreateInstance, false, aName, aClassID, aOuter,
                                        aInterfaceID, aInterface);
}

HRESULT TnxRemoteDatabase::CreateInstanceFor(std::u16string_view aName, const TGUID& aClassID, IInterface* aOuter,
                                             const TGUID& aInterfaceID, void** aInterface) {
  return RemoteStep<TnxAbstractDatabase>(*this, {u"<Database>", u"<TransContext>"}, &rdSession,
                                         nxnmDatabaseCreateInstance, true, aName, aClassID, aOuter, aInterfaceID,
                                         aInterface);
}

HRESULT TnxRemoteTransContext::CreateInstanceFor(std::u16string_view aName, const TGUID& aClassID,
                                                 IInterface* aOuter, const TGUID& aInterfaceID, void** aInterface) {
  return RemoteStep<TnxAbstractTransContext>(*this, {u"<TransContext>"}, &rtcSession, nxnmTransContextCreateInstance,
                                             true, aName, aClassID, aOuter, aInterfaceID, aInterface);
}

HRESULT TnxRemoteCursor::CreateInstanceFor(std::u16string_view aName, const TGUID& aClassID, IInterface* aOuter,
                                           const TGUID& aInterfaceID, void** aInterface) {
  return RemoteStep<TnxAbstractRemoteCursor>(*this, {u"<Cursor>", u"<Database>"}, &rcSession,
                                             nxnmCursorCreateInstance, true, aName, aClassID, aOuter, aInterfaceID,
                                             aInterface);
}

HRESULT TnxRemoteStatement::CreateInstanceFor(std::u16string_view aName, const TGUID& aClassID, IInterface* aOuter,
                                              const TGUID& aInterfaceID, void** aInterface) {
  return RemoteStep<TnxAbstractStatement>(*this, {u"<Statement>", u"<Database>"}, &rsSession,
                                          nxnmStatementCreateInstance, true, aName, aClassID, aOuter, aInterfaceID,
                                          aInterface);
}

HRESULT TnxRemoteTaskInfo::CreateInstanceFor(std::u16string_view aName, const TGUID& aClassID, IInterface* aOuter,
                                             const TGUID& aInterfaceID, void** aInterface) {
  return RemoteStep<TnxAbstractTaskInfo>(*this, {u"<TaskInfo>"}, &rtiSession, nxnmTaskInfoCreateInstance, true,
                                         aName, aClassID, aOuter, aInterfaceID, aInterface);
}

}  // namespace revurov
