// The interfaces of dynamic invocation: calls made on an interface arrive
// as data (a method entry and a pointer array) at a dispatcher, and data
// becomes a call on a real interface through a call frame.
//
// A pointer array (void**) has one entry per parameter of the method entry
// (imeParams order: Self and a hidden result included), each pointing at
// the parameter's value of its C++ type (for a by-reference parameter: at
// the caller's variable), and a last entry pointing at the result's place.
#pragma once

#include "platform/guid.h"
#include "platform/interface.h"

namespace revurov {

struct TnxIntfMetaData;
struct TnxIntfMethEntry;

class InxInvokeHasIntfMetaData : public virtual platform::IInterface {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{6C1C29B0-51A7-4D7E-9C0B-8F2A4D3E7B01}");
  virtual const TnxIntfMetaData* GetMetaData() = 0;
};

class InxInvokeHasIntfMethEntry : public virtual platform::IInterface {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{6C1C29B0-51A7-4D7E-9C0B-8F2A4D3E7B02}");
  virtual const TnxIntfMethEntry* GetMethEntry() = 0;
};

class InxInvokeStub : public InxInvokeHasIntfMetaData {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{6C1C29B0-51A7-4D7E-9C0B-8F2A4D3E7B03}");
};

class InxCallFrame : public InxInvokeHasIntfMethEntry {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{6C1C29B0-51A7-4D7E-9C0B-8F2A4D3E7B04}");
  // Copies every parameter (and a register result) from aValues into the
  // frame's own values.
  virtual platform::HRESULT CopyFrom(void** aValues) = 0;
  virtual platform::HRESULT Execute() = 0;
};

class InxInvokeProxy : public InxInvokeHasIntfMetaData {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{6C1C29B0-51A7-4D7E-9C0B-8F2A4D3E7B05}");
  virtual platform::HRESULT CreateCallFrame(int32_t aIndex, const TnxIntfMethEntry*& aMethod,
                                            platform::TInterfacePtr<InxCallFrame>& aFrame, void**& aParams) = 0;
  virtual platform::HRESULT CreateCallFrameFor(const TnxIntfMethEntry* aMethod, void** aParams,
                                               platform::TInterfacePtr<InxCallFrame>& aFrame) = 0;
  virtual platform::HRESULT CreateCallFrameFrom(const TnxIntfMethEntry* aMethod, void** aValues,
                                                platform::TInterfacePtr<InxCallFrame>& aFrame, void**& aParams) = 0;
};

class InxInvokeDispatcher : public virtual platform::IInterface {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{6C1C29B0-51A7-4D7E-9C0B-8F2A4D3E7B06}");
  virtual void Dispatch(const TnxIntfMethEntry* aMethod, void** aParams) = 0;
};

class InxInvokeInterceptor : public virtual platform::IInterface {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{6C1C29B0-51A7-4D7E-9C0B-8F2A4D3E7B07}");
  virtual platform::HRESULT Intercept(const TnxIntfMethEntry* aMethod, void** aParams, InxCallFrame* aFrame) = 0;
};

class InxInvokeStubFactory : public InxInvokeHasIntfMetaData {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{6C1C29B0-51A7-4D7E-9C0B-8F2A4D3E7B08}");
  virtual platform::HRESULT CreateStub(InxInvokeDispatcher* aDispatcher,
                                       platform::TInterfacePtr<InxInvokeStub>& aStub) = 0;
};

class InxInvokeProxyFactory : public InxInvokeHasIntfMetaData {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{6C1C29B0-51A7-4D7E-9C0B-8F2A4D3E7B09}");
  virtual platform::HRESULT CreateProxy(platform::IInterface* aInterface,
                                        platform::TInterfacePtr<InxInvokeProxy>& aProxy) = 0;
};

class InxInvokeEnumCallback : public virtual platform::IInterface {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{6C1C29B0-51A7-4D7E-9C0B-8F2A4D3E7B0A}");
  virtual platform::HRESULT Found(const TnxIntfMetaData* aMetaData) = 0;
};

struct TnxInterfaceDecl;

class InxInvokeRegistry : public virtual platform::IInterface {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{6C1C29B0-51A7-4D7E-9C0B-8F2A4D3E7B0B}");
  // The interface's index in the registry; its parent is registered first.
  virtual int32_t RegisterInterface(const TnxInterfaceDecl* aDecl) = 0;
  virtual void RegisterStubFactory(InxInvokeStubFactory* aFactory) = 0;
  virtual void RegisterProxyFactory(InxInvokeProxyFactory* aFactory) = 0;
  virtual platform::HRESULT IsRegistered(const platform::TGUID& aIID) = 0;
  virtual platform::HRESULT CreateStub(const platform::TGUID& aIID, InxInvokeDispatcher* aDispatcher,
                                       platform::TInterfacePtr<InxInvokeStub>& aStub) = 0;
  virtual platform::HRESULT CreateProxy(const platform::TGUID& aIID, platform::IInterface* aInterface,
                                        platform::TInterfacePtr<InxInvokeProxy>& aProxy) = 0;
  virtual platform::HRESULT CreateWrapper(platform::IInterface* aInterface, InxInvokeInterceptor* aInterceptor,
                                          platform::TInterfacePtr<platform::IInterface>& aWrapper) = 0;
  virtual platform::HRESULT Enumerate(InxInvokeEnumCallback* aCallback) = 0;
};

}  // namespace revurov
