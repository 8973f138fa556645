// The invoke registry and the two directions of dynamic invocation: the
// dynamic invoke stub (an implementation of a registered interface whose
// every call arrives at a dispatcher as a method entry and pointer array)
// and the dynamic invoke proxy (call frames that call a real interface
// from a pointer array); and the invoke wrapper that puts an interceptor in
// front of every call of a real object.
//
// Contract:
// - RegisterInterface registers the parent first and answers the same
//   index for an interface registered before; nil raises Exception "no
//   type info". Entries are never removed.
// - IsRegistered: S_OK for an interface with method information, else
//   S_FALSE. CreateStub / CreateProxy: E_NOINTERFACE without an entry or a
//   factory.
// - A stub made with a dispatcher counts on it (AddRef and Release go to
//   the dispatcher) and answers its interface, InxInvokeDispatcher (the
//   dispatcher) and, through the dispatcher, everything else; its own life
//   is one reference that the dispatcher's owner takes with
//   nxTakeInvokeStub and drops with the dispatcher. Without a dispatcher a
//   stub counts itself.
// - CreateCallFrame takes indexes 3 … count − 1; CreateCallFrameFor and
//   …From take only this metadata's own entries; else RPC_E_INVALIDMETHOD.
// - CopyFrom copies by type (RPC_E_INVALID_PARAMETER for a type that
//   cannot be copied).
// - nxRaiseSafeCallError raises EOleException with the thread's error
//   information (taken out of the slot) or EOleSysError without.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "lowlevel/objects/interfaced_object.h"
#include "platform/error_info.h"
#include "platform/guid.h"
#include "platform/interface.h"
#include "platform/rtl_exception.h"
#include "transport/remoting/invoke_interfaces.h"
#include "transport/remoting/method_info.h"

namespace revurov {

// A declared invokable interface: its parent's declaration and its
// metadata, made once.
struct TnxInterfaceDecl {
  const TnxInterfaceDecl* idParent = nullptr;
  TnxIntfMetaData idMeta;
};

// The runtime's COM error exceptions: a failed HRESULT, and one with the
// error information that came with it.
class EOleSysError : public platform::Exception {
public:
  EOleSysError(std::u16string aMessage, platform::HRESULT aErrorCode)
      : Exception(std::move(aMessage)), oeErrorCode(aErrorCode) {}
  platform::HRESULT ErrorCode() const noexcept { return oeErrorCode; }
  std::u16string_view ClassName() const noexcept override { return u"EOleSysError"; }

private:
  platform::HRESULT oeErrorCode;
};

class EOleException : public EOleSysError {
public:
  EOleException(std::u16string aMessage, platform::HRESULT aErrorCode, std::u16string aSource,
                std::u16string aHelpFile, uint32_t aHelpContext)
      : EOleSysError(std::move(aMessage), aErrorCode),
        oeSource(std::move(aSource)),
        oeHelpFile(std::move(aHelpFile)),
        oeHelpContext(aHelpContext) {}
  const std::u16string& Source() const noexcept { return oeSource; }
  const std::u16string& HelpFile() const noexcept { return oeHelpFile; }
  uint32_t HelpContext() const noexcept { return oeHelpContext; }
  std::u16string_view ClassName() const noexcept override { return u"EOleException"; }

private:
  std::u16string oeSource;
  std::u16string oeHelpFile;
  uint32_t oeHelpContext;
};

[[noreturn]] void nxRaiseSafeCallError(platform::HRESULT aResult);
// Inside a catch block: the HRESULT a safecall method of aObject answers
// for the exception, its error information left on the thread.
platform::HRESULT nxSafeCallFailure(platform::IInterface* aObject) noexcept;

class TnxDynamicInvokeStub : public TnxAggregatableObject, public InxInvokeStub {
public:
  TnxDynamicInvokeStub(const TnxIntfMetaData& aMetaData, InxInvokeDispatcher* aDispatcher) noexcept
      : TnxAggregatableObject(aDispatcher), disMetaData(&aMetaData), disDispatcher(aDispatcher) {}

  const TnxIntfMetaData* GetMetaData() override { return disMetaData; }
  InxInvokeDispatcher* Dispatcher() const noexcept { return disDispatcher; }
  // The interface the stub implements, as a query hands it out.
  virtual void* ImplementedInterface() noexcept = 0;
  // A call's way out: aParams as the dispatcher wants it.
  void DispatchCall(const TnxIntfMethEntry& aMethod, void** aParams);
  const TnxIntfMethEntry& MethodNamed(const char16_t* aName) const;

protected:
  platform::HRESULT OuterQueryInterface(const platform::TGUID& iid, void** obj) noexcept override;
  platform::HRESULT InnerQueryInterface(const platform::TGUID& iid, void** obj) noexcept override;
  bool GetInterface(const platform::TGUID& iid, void** obj) noexcept override;

  const TnxIntfMetaData* disMetaData;
  InxInvokeDispatcher* disDispatcher;  // not counted
};

class TnxDynamicInvokeProxy : public TnxInterfacedObject, public InxInvokeProxy {
public:
  TnxDynamicInvokeProxy(const TnxIntfMetaData& aMetaData, platform::IInterface* aInterface);
  ~TnxDynamicInvokeProxy() override;

  const TnxIntfMetaData* GetMetaData() override { return ipMetaData; }
  platform::HRESULT CreateCallFrame(int32_t aIndex, const TnxIntfMethEntry*& aMethod,
                                    platform::TInterfacePtr<InxCallFrame>& aFrame, void**& aParams) override;
  platform::HRESULT CreateCallFrameFor(const TnxIntfMethEntry* aMethod, void** aParams,
                                       platform::TInterfacePtr<InxCallFrame>& aFrame) override;
  platform::HRESULT CreateCallFrameFrom(const TnxIntfMethEntry* aMethod, void** aValues,
                                        platform::TInterfacePtr<InxCallFrame>& aFrame, void**& aParams) override;

protected:
  bool GetInterface(const platform::TGUID& iid, void** obj) noexcept override;

private:
  bool OwnMethod(const TnxIntfMethEntry* aMethod) const noexcept;
  platform::TInterfacePtr<InxCallFrame> MakeFrame(const TnxIntfMethEntry& aMethod, void** aParams);

  const TnxIntfMetaData* ipMetaData;
  platform::TInterfacePtr<platform::IInterface> ipInterface;
  platform::TInterfacePtr<InxInvokeDispatcher> ipDispatcher;
};

// The owning reference of a stub made with a dispatcher (see above); a
// stub without one, or of another factory, is simply held.
platform::TInterfacePtr<platform::IInterface> nxTakeInvokeStub(InxInvokeStub* aStub) noexcept;

// The process-wide registry, made on first use.
platform::TInterfacePtr<InxInvokeRegistry> nxInvokeRegistry();
// Drops the process-wide registry (the remoting shut-down).
void nxInvokeRegistryShutdown() noexcept;

}  // namespace revurov
