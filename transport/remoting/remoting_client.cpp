#include "transport/remoting/remoting_client.h"

#include <algorithm>
#include <vector>

#include "platform/endian.h"
#include "transport/remoting/channels.h"
#include "transport/remoting/class_proxies.h"
#include "transport/remoting/factory_interfaces.h"
#include "transport/remoting/remoting_types.h"

namespace revurov {

using platform::E_INVALIDARG;
using platform::HRESULT;
using platform::IInterface;
using platform::S_OK;
using platform::TGUID;
using platform::TInterfacePtr;

bool TnxRemotingClient::GetSessionRequests(TInterfacePtr<InxSessionRequests>& aSession) {
  aSession = platform::Supports<InxSessionRequests>(dynamic_cast<IInterface*>(Session()));
  return aSession != nullptr;
}

HRESULT TnxRemotingClient::CreateChannel(const TGUID& aServerID, const TGUID& aChannelID,
                                         TInterfacePtr<InxChannelEntrance>& aEntrance) {
  TInterfacePtr<InxSessionRequests> session;
  GetSessionRequests(session);
  return nxCreateChannelEntrance(session.Get(), aServerID, aChannelID, aEntrance);
}

HRESULT TnxRemotingClient::CreateInstance(const TGUID& aClassID, IInterface* aOuter, const TGUID& aInterfaceID,
                                          TInterfacePtr<IInterface>& aInterface) {
  CheckStarted();
  aInterface = nullptr;
  // An aggregated proxy is reached through its outer object only.
  if (aOuter && !(aInterfaceID == IInterface::IID)) return E_INVALIDARG;

  const TInterfacePtr<InxClassProxyFactoryRegistry> proxies = nxClassProxyFactoryRegistry();
  std::vector<TGUID> ids(nxMaxClassProxyIDs);
  int32_t found = 0;
  HRESULT result = proxies->EnumClassProxyFactories(aClassID, ids, found);
  if (result < 0) return result;
  ids.resize(static_cast<size_t>(std::min(found, nxMaxClassProxyIDs)));

  TInterfacePtr<InxSessionRequests> session;
  GetSessionRequests(session);
  TInterfacePtr<InxRequestWriter> writer;
  if (result = nxCreateRequestWriter(session.Get(), writer); result < 0) return result;
  std::vector<uint8_t> raw(16 * ids.size());
  for (size_t i = 0; i < ids.size(); ++i) platform::GUIDToBytes(ids[i], raw.data() + 16 * i);
  writer->WriteInteger(static_cast<int32_t>(ids.size()));
  writer->WriteBinary(raw.data(), static_cast<int32_t>(raw.size()));
  writer->WriteGuid(aClassID);
  writer->WriteGuid(aInterfaceID);
  writer->WriteGuid(nxProcessID());
  TInterfacePtr<InxReader> reader;
  if (result = writer->Send(nxCreateInstanceMsgID, reader); result < 0) return result;

  const TGUID serverID = reader->ReadGuid();
  const TGUID channelID = reader->ReadGuid();
  const TGUID proxyID = reader->ReadGuid();
  TnxRoutingPath path;
  nxReadRoutingPath(*reader, path);
  TInterfacePtr<InxChannelEntrance> entrance;
  if (result = CreateChannel(serverID, channelID, entrance); result < 0) return result;
  TInterfacePtr<InxClassProxy> proxy;
  if (result = proxies->CreateClassProxy(aOuter, proxyID, entrance.Get(), aClassID, path, reader.Get(), proxy);
      result < 0)
    return result;
  if (aOuter) {
    // Aggregated: the outer object keeps the proxy through this entry and
    // answers every query itself.
    aInterface = nxClassProxyEntry(proxy.Get());
    return aInterface ? S_OK : platform::E_NOINTERFACE;
  }
  // The out parameter holds an IInterface: the proxy's own entry, once it
  // has answered for the interface asked for.
  void* asked = nullptr;
  if (result = proxy->QueryInterface(aInterfaceID, &asked); result != S_OK) return result;
  proxy->Release();
  void* entry = nullptr;
  if (result = proxy->QueryInterface(IInterface::IID, &entry); result != S_OK) return result;
  aInterface = TInterfacePtr<IInterface>::Attach(static_cast<IInterface*>(entry));
  return S_OK;
}

void nxRemotingClientStartup() { TnxRegisterableComponent::Register(TnxRemotingClient::ClassInfo()); }

void nxRemotingClientShutdown() { TnxRegisterableComponent::Unregister(TnxRemotingClient::ClassInfo()); }

}  // namespace revurov
