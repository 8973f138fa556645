#include "transport/remoting/object_references.h"

#include "transport/remoting/channels.h"
#include "transport/remoting/factory_interfaces.h"
#include "transport/remoting/interface_stubs.h"
#include "transport/remoting/remoting_interfaces.h"

namespace revurov {

using platform::E_INVALIDARG;
using platform::E_NOTIMPL;
using platform::HRESULT;
using platform::IInterface;
using platform::S_OK;
using platform::TGUID;
using platform::TInterfacePtr;

HRESULT nxWriteObjectReference(InxSessionNotifications* aNotifications, const TGUID* aServerID, InxWriter& aWriter,
                               const TGUID&, IInterface* aObject) {
  if (!aNotifications || !aServerID) return E_NOTIMPL;
  if (!aObject) return E_INVALIDARG;
  TGUID classID = platform::GUID_NULL;
  if (auto cls = platform::Supports<InxClass>(aObject)) cls->GetClassID(classID);
  void* identity = nullptr;
  HRESULT result = aObject->QueryInterface(IInterface::IID, &identity);
  if (result != S_OK) return result;
  const TInterfacePtr<IInterface> object = TInterfacePtr<IInterface>::Attach(static_cast<IInterface*>(identity));

  const TInterfacePtr<InxClassStubFactoryRegistry> registry = nxClassStubFactoryRegistry();
  TGUID stubID{};
  int32_t found = 0;
  if (result = registry->EnumClassStubFactories(classID, {&stubID, 1}, found); result < 0) return result;
  TInterfacePtr<InxClassStub> stub;
  if (result = registry->CreateClassStub(stubID, classID, object.Get(), stub); result < 0) return result;
  TInterfacePtr<InxChannelExit> exit;
  if (result = nxCreateChannelExit(*aServerID, aNotifications, stub.Get(), exit); result < 0) return result;
  stub->AddChannel(exit.Get());
  TnxRoutingPath path;
  stub->GetRoutingPath(path);
  TGUID channelID{};
  exit->GetChannelID(channelID);

  aWriter.WriteGuid(classID);
  aWriter.WriteGuid(stubID);
  nxWriteRoutingPath(aWriter, path);
  aWriter.WriteGuid(channelID);
  return stub->WriteVersion(&aWriter);
}

namespace {

// The object itself when one hop of the path is a stub of this process that
// still has it. aRefused: a hop names this process but no stub of it.
TInterfacePtr<IInterface> LocalObject(const TGUID& aStubID, const TnxRoutingPath& aPath, const TGUID& aIID,
                                      bool& aRefused) {
  aRefused = false;
  const TInterfacePtr<InxClassStubFactoryRegistry> registry = nxClassStubFactoryRegistry();
  for (const TnxObjectIdentity& hop : aPath) {
    if (!(hop.oiServerID == nxProcessID())) continue;
    TInterfacePtr<InxClassStub> stub;
    if (registry->FindClassStub(aStubID, hop.oiInstanceID, stub) != S_OK || !stub) {
      aRefused = true;
      continue;
    }
    TInterfacePtr<IInterface> object;
    if (stub->QueryObject(aIID, object) == S_OK && object) return object;
  }
  return nullptr;
}

// Opens and drops an entrance to the exit the writer made: its close
// request ends that exit.
void CloseTrip(InxSessionRequests* aSession, const TGUID* aServerID, const TGUID& aChannelID) noexcept {
  if (!aSession || !aServerID) return;
  try {
    TInterfacePtr<InxChannelEntrance> entrance;
    nxCreateChannelEntrance(aSession, *aServerID, aChannelID, entrance);
  } catch (...) {
    // The exit ends with its keep time anyway.
  }
}

}  // namespace

HRESULT nxReadObjectReference(InxSessionRequests* aSession, const TGUID* aServerID, InxReader& aReader,
                              const TGUID& aIID, TInterfacePtr<IInterface>& aInterface) {
  aInterface = nullptr;
  const TGUID classID = aReader.ReadGuid();
  const TGUID stubID = aReader.ReadGuid();
  TnxRoutingPath path;
  nxReadRoutingPath(aReader, path);
  const TGUID channelID = aReader.ReadGuid();

  bool refused = false;
  if (TInterfacePtr<IInterface> object = LocalObject(stubID, path, aIID, refused)) {
    // No proxy reads the version of a reference that came home.
    aReader.ReadInteger();
    CloseTrip(aSession, aServerID, channelID);
    aInterface = std::move(object);
    return S_OK;
  }
  // A hop of this process that names no stub of it is forged or names an
  // object long gone: no proxy is made for it.
  if (refused) {
    aReader.ReadInteger();
    CloseTrip(aSession, aServerID, channelID);
    return RPC_E_INVALID_OBJREF;
  }
  if (!aSession || !aServerID) return E_INVALIDARG;
  TInterfacePtr<InxChannelEntrance> entrance;
  HRESULT result = nxCreateChannelEntrance(aSession, *aServerID, channelID, entrance);
  if (result < 0) return result;
  TInterfacePtr<InxClassProxy> proxy;
  result = nxClassProxyFactoryRegistry()->CreateClassProxy(nullptr, stubID, entrance.Get(), classID, path, &aReader,
                                                           proxy);
  if (result < 0) return result;
  // The proxy's IInterface entry, once it has answered for the interface.
  void* asked = nullptr;
  if (result = proxy->QueryInterface(aIID, &asked); result != S_OK) return result;
  proxy->Release();
  void* entry = nullptr;
  if (result = proxy->QueryInterface(IInterface::IID, &entry); result != S_OK) return result;
  aInterface = TInterfacePtr<IInterface>::Attach(static_cast<IInterface*>(entry));
  return S_OK;
}

}  // namespace revurov
