#include "transport/remoting/class_activator_pair.h"

#include "transport/remoting/factory_interfaces.h"

namespace revurov {

using platform::E_NOINTERFACE;
using platform::E_NOTIMPL;
using platform::HRESULT;
using platform::IInterface;
using platform::S_OK;
using platform::TGUID;
using platform::TInterfacePtr;

HRESULT TnxClassActivatorInterfaceProxy::QueryProxy(const TGUID& aIID, void** aObj) noexcept {
  if (aIID == InxClassActivator::IID) {
    apActivator.AddRef();
    *aObj = static_cast<InxClassActivator*>(&apActivator);
    return S_OK;
  }
  *aObj = nullptr;
  return E_NOINTERFACE;
}

HRESULT TnxClassActivatorInterfaceProxy::TnxActivator::CreateInstance(const TGUID& aClassID, IInterface* aOuter,
                                                                      const TGUID& aInterfaceID,
                                                                      TInterfacePtr<IInterface>& aInterface) {
  return static_cast<TnxClassActivatorInterfaceProxy*>(pOwner)->CreateRemote(aClassID, aOuter, aInterfaceID,
                                                                             aInterface);
}

HRESULT TnxClassActivatorInterfaceProxy::CreateRemote(const TGUID& aClassID, IInterface* aOuter,
                                                      const TGUID& aInterfaceID,
                                                      TInterfacePtr<IInterface>& aInterface) {
  aInterface = nullptr;
  int32_t version = 0;
  TInterfacePtr<InxWriter> writer;
  HRESULT result = CreateCall(nxInterfaceMethodCall, version, writer);
  if (result < 0) return result;
  writer->WriteInteger(nxActivatorCreateInstance);
  writer->WriteGuid(aClassID);
  writer->WriteBoolean(aOuter != nullptr);
  if (aOuter) {
    const TInterfacePtr<InxInterfaceWriter> references = platform::Supports<InxInterfaceWriter>(static_cast<IInterface*>(writer.Get()));
    if (!references) return E_NOTIMPL;
    if (result = references->WriteInterface(IInterface::IID, aOuter); result < 0) return result;
  }
  writer->WriteGuid(aInterfaceID);
  TInterfacePtr<InxReader> reader;
  if (result = SendCall(writer.Get(), reader); result < 0) return result;
  const TInterfacePtr<InxInterfaceReader> references = platform::Supports<InxInterfaceReader>(static_cast<IInterface*>(reader.Get()));
  if (!references) return E_NOTIMPL;
  return references->ReadInterface(aInterfaceID, aInterface);
}

HRESULT TnxClassActivatorInterfaceStub::InvokeMethod(InxChannelExit*, InxClassStub*, int32_t, int32_t aMethodIndex,
                                                     InxReader* aReader, InxWriter* aWriter) {
  if (aMethodIndex != nxActivatorCreateInstance) return RPC_E_INVALIDMETHOD;
  const TGUID classID = aReader->ReadGuid();
  TInterfacePtr<IInterface> outer;
  HRESULT result = S_OK;
  if (aReader->ReadBoolean()) {
    const TInterfacePtr<InxInterfaceReader> references = platform::Supports<InxInterfaceReader>(static_cast<IInterface*>(aReader));
    if (!references) return E_NOTIMPL;
    if (result = references->ReadInterface(IInterface::IID, outer); result < 0) return result;
  }
  const TGUID interfaceID = aReader->ReadGuid();
  const TInterfacePtr<InxClassActivator> activator = platform::Supports<InxClassActivator>(stInterface.Get());
  if (!activator) return E_NOINTERFACE;
  TInterfacePtr<IInterface> made;
  if (result = activator->CreateInstance(classID, outer.Get(), interfaceID, made); result < 0) return result;
  if (!made) return E_NOINTERFACE;
  const TInterfacePtr<InxInterfaceWriter> references = platform::Supports<InxInterfaceWriter>(static_cast<IInterface*>(aWriter));
  if (!references) return E_NOTIMPL;
  return references->WriteInterface(interfaceID, made.Get());
}

namespace {
TInterfacePtr<InxInterfaceProxyFactoryControl> gProxyControl;
TInterfacePtr<InxInterfaceStubFactoryControl> gStubControl;
}  // namespace

void nxClassActivatorPairStartup() {
  const TInterfacePtr<InxInterfaceProxyFactory> proxies(
      nxCreate<TnxInterfaceProxyFactoryOf<TnxClassActivatorInterfaceProxy>>());
  if (nxInterfaceProxyFactoryRegistry()->RegisterInterfaceProxyFactory(nxClassActivatorProxyID, proxies.Get(),
                                                                       gProxyControl) == S_OK)
    gProxyControl->RegisterForInterface(0, InxClassActivator::IID);
  const TInterfacePtr<InxInterfaceStubFactory> stubs(
      nxCreate<TnxInterfaceStubFactoryOf<TnxClassActivatorInterfaceStub>>());
  if (nxInterfaceStubFactoryRegistry()->RegisterInterfaceStubFactory(nxClassActivatorProxyID, stubs.Get(),
                                                                     gStubControl) == S_OK)
    gStubControl->RegisterForInterface(0, InxClassActivator::IID);
}

void nxClassActivatorPairShutdown() {
  if (gStubControl) gStubControl->Unregister();
  if (gProxyControl) gProxyControl->Unregister();
  gStubControl = nullptr;
  gProxyControl = nullptr;
}

}  // namespace revurov
