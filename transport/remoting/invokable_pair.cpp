#include "transport/remoting/invokable_pair.h"

#include "platform/error_info.h"
#include "platform/rtl_exception.h"
#include "platform/text.h"
#include "transport/remoting/factory_interfaces.h"
#include "transport/remoting/factory_registry.h"
#include "transport/remoting/invoke_registry.h"
#include "transport/remoting/method_info.h"
#include "transport/remoting/value_marshalling.h"

namespace revurov {

using platform::HRESULT;
using platform::S_OK;
using platform::TGUID;
using platform::TInterfacePtr;

namespace {

TInterfacePtr<InxInterfaceProxyFactoryControl> gProxyControl;
TInterfacePtr<InxInterfaceStubFactoryControl> gStubControl;

}  // namespace

// ---- proxy ----

TnxInvokableInterfaceProxy::TnxInvokableInterfaceProxy(const TGUID& aClassID, const TGUID& aInterfaceID,
                                                       const TGUID& aStubID, InxClassProxy* aClassProxy,
                                                       InxReader* aReader, HRESULT& aResult)
    : TnxInterfaceProxy(aClassID, aInterfaceID, aStubID, aClassProxy, aReader, aResult) {
  if (aResult < 0 || CheckStubVersion() < 0) return;
  TInterfacePtr<InxInvokeStub> stub;
  aResult = nxInvokeRegistry()->CreateStub(aInterfaceID, &ipDispatcher, stub);
  if (aResult < 0) return;
  ipInvokeStub = stub.Get();
  ipStubOwner = nxTakeInvokeStub(stub.Get());
}

TnxInvokableInterfaceProxy::~TnxInvokableInterfaceProxy() = default;

HRESULT TnxInvokableInterfaceProxy::Supports(const TGUID&, const TGUID& aInterfaceID) {
  return nxInvokeRegistry()->IsRegistered(aInterfaceID);
}

HRESULT TnxInvokableInterfaceProxy::QueryProxy(const TGUID& aIID, void** aObj) noexcept {
  *aObj = nullptr;
  if (ipInvokeStub && aIID == pxInterfaceID) return ipInvokeStub->QueryInterface(aIID, aObj);
  return platform::E_NOINTERFACE;
}

void TnxInvokableInterfaceProxy::Dispatch(const TnxIntfMethEntry* aMethod, void** aParams) {
  const bool safeCall = aMethod->imeCC == ccSafeCall;
  if (safeCall) platform::nxSetErrorInfo(nullptr);
  TInterfacePtr<platform::IErrorInfo> errorInfo;
  HRESULT result = S_OK;
  try {
    int32_t version = 0;
    TInterfacePtr<InxWriter> writer;
    result = CreateCall(nxInterfaceMethodCall, version, writer);
    if (result >= 0) {
      writer->WriteInteger(int32_t(aMethod->imePos));
      if (version >= 3) writer->WriteIdent(aMethod->imeName);
      writer->WriteInteger(int32_t(aMethod->imeParamCount));
      if (version <= 2) writer->WriteInteger(int32_t(aMethod->imeSizeOnStack));
      for (const TnxIntfParamEntry* p : aMethod->WireParams(version, false)) {
        if (version >= 3) writer->WriteIdent(p->ipeName);
        result = nxWriteTypedValue(*writer, *p->ipeInfo, aParams[p->ipePos]);
        if (result < 0) break;
      }
    }
    TInterfacePtr<InxReader> reader;
    if (result >= 0) result = SendCall(writer.Get(), reader);
    if (result >= 0) {
      for (const TnxIntfParamEntry* p : aMethod->WireParams(version, true)) {
        if (version >= 3) reader->ReadIdent();
        result = nxReadTypedValue(*reader, *p->ipeInfo, aParams[p->ipePos]);
        if (result < 0) break;
      }
    }
    if (result >= 0 && aMethod->imeResultIn >= riEAX) {
      if (version >= 3) reader->ReadIdent();
      result = nxReadTypedValue(*reader, *aMethod->imeResult.ipeInfo, aParams[aMethod->imeParamCount]);
    }
    if (result >= 0 && safeCall) result = nxReadErrorInfo(*reader, errorInfo);
  } catch (const platform::Exception&) {
    // A reply that ends early or holds the wrong values.
    result = RPC_E_INVALID_DATAPACKET;
  }
  if (safeCall) platform::nxSetErrorInfo(errorInfo);
  if (result >= 0) return;
  if (aMethod->imeResultIn == riEAXHRESULT) {
    *static_cast<HRESULT*>(aParams[aMethod->imeParamCount]) = result;
    return;
  }
  platform::nxSetErrorInfo(nullptr);
  nxRaiseSafeCallError(result);
}

// ---- stub ----

TnxInvokableInterfaceStub::TnxInvokableInterfaceStub(const TGUID& aClassID, const TGUID& aInterfaceID,
                                                     platform::IInterface* aInterface, HRESULT& aResult)
    : TnxInterfaceStub(aClassID, aInterfaceID, aInterface) {
  aResult = nxInvokeRegistry()->CreateProxy(aInterfaceID, aInterface, isInvokeProxy);
}

HRESULT TnxInvokableInterfaceStub::Supports(const TGUID&, const TGUID& aInterfaceID) {
  return nxInvokeRegistry()->IsRegistered(aInterfaceID);
}

HRESULT TnxInvokableInterfaceStub::InvokeMethod(InxChannelExit*, InxClassStub*, int32_t aVersion, int32_t aMethodIndex,
                                                InxReader* aReader, InxWriter* aWriter) {
  const TnxIntfMethEntry* method = nullptr;
  TInterfacePtr<InxCallFrame> frame;
  void** params = nullptr;
  HRESULT result = isInvokeProxy->CreateCallFrame(aMethodIndex, method, frame, params);
  if (result < 0) return result;
  try {
    const std::u16string name = aVersion <= 2 ? method->imeName : aReader->ReadIdent();
    const int32_t count = aReader->ReadInteger();
    const int64_t stack = aVersion <= 2 ? int64_t(aReader->ReadInteger()) : int64_t(method->imeSizeOnStack);
    if (!platform::AsciiSameText(name, method->imeName) || count != int32_t(method->imeParamCount) ||
        stack != int64_t(method->imeSizeOnStack))
      return RPC_E_INVALID_DATAPACKET;
    for (const TnxIntfParamEntry* p : method->WireParams(aVersion, false)) {
      if (aVersion >= 3 && !platform::AsciiSameText(aReader->ReadIdent(), p->ipeName)) return RPC_E_INVALID_PARAMETER;
      result = nxReadTypedValue(*aReader, *p->ipeInfo, params[p->ipePos]);
      if (result < 0) return result;
    }
  } catch (const platform::Exception&) {
    return RPC_E_INVALID_DATAPACKET;
  }
  const bool safeCall = method->imeCC == ccSafeCall;
  TInterfacePtr<platform::IErrorInfo> errorInfo;
  if (safeCall) platform::nxSetErrorInfo(nullptr);
  try {
    result = frame->Execute();
  } catch (...) {
    // A method without a safecall frame that raised: its failure is the
    // call's.
    result = nxSafeCallFailure(stInterface.Get());
    platform::nxSetErrorInfo(nullptr);
  }
  if (safeCall) platform::nxGetErrorInfo(errorInfo);
  if (result < 0) return result;
  for (const TnxIntfParamEntry* p : method->WireParams(aVersion, true)) {
    if (aVersion >= 3) aWriter->WriteIdent(p->ipeName);
    result = nxWriteTypedValue(*aWriter, *p->ipeInfo, params[p->ipePos]);
    if (result < 0) return result;
  }
  if (method->imeResultIn >= riEAX) {
    if (aVersion >= 3) aWriter->WriteIdent(method->imeResult.ipeName);
    result = nxWriteTypedValue(*aWriter, *method->imeResult.ipeInfo, params[method->imeParamCount]);
    if (result < 0) return result;
  }
  if (safeCall) return nxWriteErrorInfo(*aWriter, errorInfo.Get());
  return S_OK;
}

// ---- registration ----

void nxInvokablePairStartup() {
  const TInterfacePtr<InxInterfaceProxyFactory> proxies(
      nxCreate<TnxInterfaceProxyFactoryOf<TnxInvokableInterfaceProxy>>());
  if (nxInterfaceProxyFactoryRegistry()->RegisterInterfaceProxyFactory(nxInvokableProxyID, proxies.Get(),
                                                                       gProxyControl) == S_OK)
    gProxyControl->RegisterGeneric(0);
  const TInterfacePtr<InxInterfaceStubFactory> stubs(
      nxCreate<TnxInterfaceStubFactoryOf<TnxInvokableInterfaceStub>>());
  if (nxInterfaceStubFactoryRegistry()->RegisterInterfaceStubFactory(nxInvokableProxyID, stubs.Get(), gStubControl) ==
      S_OK)
    gStubControl->RegisterGeneric(0);
}

void nxInvokablePairShutdown() {
  if (gStubControl) gStubControl->Unregister();
  if (gProxyControl) gProxyControl->Unregister();
  gStubControl = nullptr;
  gProxyControl = nullptr;
  nxInvokeRegistryShutdown();
}

}  // namespace revurov
