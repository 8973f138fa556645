#include "transport/remoting/interface_proxies.h"

#include <algorithm>

#include "transport/remoting/interface_stubs.h"

namespace revurov {

using platform::HRESULT;
using platform::TGUID;
using platform::TInterfacePtr;

TnxInterfaceProxy::TnxInterfaceProxy(const TGUID& aClassID, const TGUID& aInterfaceID, const TGUID& aStubID,
                                     InxClassProxy* aClassProxy, InxReader* aReader, HRESULT& aResult)
    : pxClassID(aClassID), pxInterfaceID(aInterfaceID), pxStubID(aStubID), pxClassProxy(aClassProxy) {
  aResult = platform::S_OK;
  pxStubVersion = aReader->ReadInteger();
}

bool TnxInterfaceProxy::GetInterface(const TGUID& iid, void** obj) noexcept {
  return nxOfferInterface<InxInterfaceProxy>(this, iid, obj) || QueryProxy(iid, obj) == platform::S_OK ||
         TnxInterfacedObject::GetInterface(iid, obj);
}

HRESULT TnxInterfaceProxy::QueryProxy(const TGUID&, void** aObj) noexcept {
  *aObj = nullptr;
  return platform::E_NOINTERFACE;
}

HRESULT TnxInterfaceProxy::QueryProxied(const TGUID& iid, void** obj) noexcept {
  if (QueryProxy(iid, obj) == platform::S_OK) return platform::S_OK;
  return pxClassProxy->QueryInterface(iid, obj);
}

HRESULT TnxInterfaceProxy::CreateCall(int32_t aCallKind, int32_t& aVersion, TInterfacePtr<InxWriter>& aWriter) {
  aWriter = nullptr;
  aVersion = std::min(Version(), pxStubVersion);
  TInterfacePtr<InxWriter> writer;
  if (const HRESULT result = pxClassProxy->CreateRequest(writer); result < 0) return result;
  writer->WriteGuid(pxInterfaceID);
  writer->WriteGuid(pxStubID);
  writer->WriteInteger(aVersion);
  writer->WriteInteger(aCallKind);
  aWriter = std::move(writer);
  return platform::S_OK;
}

HRESULT TnxInterfaceProxy::SendCall(InxWriter* aWriter, TInterfacePtr<InxReader>& aReader) {
  return pxClassProxy->SendRequest(aWriter, aReader);
}

}  // namespace revurov
