#include "transport/remoting/interface_stubs.h"

namespace revurov {

using platform::HRESULT;
using platform::TGUID;

bool TnxInterfaceStub::GetInterface(const TGUID& iid, void** obj) noexcept {
  return nxOfferInterface<InxInterfaceStub>(this, iid, obj) || TnxInterfacedObject::GetInterface(iid, obj);
}

HRESULT TnxInterfaceStub::Invoke(InxChannelExit* aExit, InxClassStub* aClassStub, InxReader* aReader,
                                 InxWriter* aWriter) {
  if (!aReader || !aWriter) return platform::E_INVALIDARG;
  const int32_t version = aReader->ReadInteger();
  if (version < MinVersion()) return platform::RPC_E_VERSION_MISMATCH;
  // Only the low byte names the kind.
  const int32_t kind = aReader->ReadInteger();
  if ((kind & 0xFF) != nxInterfaceMethodCall) return RPC_E_INVALIDMETHOD;
  const int32_t method = aReader->ReadInteger();
  return InvokeMethod(aExit, aClassStub, version, method, aReader, aWriter);
}

HRESULT TnxInterfaceStub::WriteVersion(InxChannelExit*, InxClassStub*, InxWriter* aWriter) {
  if (!aWriter) return platform::E_INVALIDARG;
  aWriter->WriteInteger(Version());
  return platform::S_OK;
}

HRESULT TnxInterfaceStub::InvokeMethod(InxChannelExit*, InxClassStub*, int32_t, int32_t, InxReader*, InxWriter*) {
  return platform::E_NOTIMPL;
}

}  // namespace revurov
