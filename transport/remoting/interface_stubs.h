// The owning side of one remotely used interface: the interface stub that
// reads an interface-level call and calls the real interface, and the
// factory that makes one for the class stub.
//
// Contract:
// - Invoke reads the call version (below MinVersion: RPC_E_VERSION_MISMATCH),
//   the call kind (low byte not 0: RPC_E_INVALIDMETHOD) and the method index,
//   then answers InvokeMethod's result; the base knows no method (E_NOTIMPL).
// - WriteVersion writes the Integer Version.
// - TnxInterfaceStubFactoryOf<T> makes T through T::Supports and then the
//   constructor T(aClassID, aInterfaceID, aInterface, aResult); a failure in
//   aResult hands out nothing.
#pragma once

#include <cstdint>

#include "lowlevel/objects/interfaced_object.h"
#include "platform/guid.h"
#include "platform/interface.h"
#include "transport/remoting/factory_interfaces.h"
#include "transport/remoting/remoting_interfaces.h"

namespace revurov {

constexpr platform::HRESULT RPC_E_INVALIDMETHOD = platform::HRESULT(0x80010107u);
constexpr platform::HRESULT RPC_E_INVALID_OBJREF = platform::HRESULT(0x8001011Du);
constexpr platform::HRESULT CO_E_OBJNOTCONNECTED = platform::HRESULT(0x800401FDu);

inline constexpr int32_t nxInterfaceMethodCall = 0;

class TnxInterfaceStub : public TnxInterfacedObject, public InxInterfaceStub {
public:
  TnxInterfaceStub(const platform::TGUID& aClassID, const platform::TGUID& aInterfaceID,
                   platform::IInterface* aInterface)
      : stClassID(aClassID), stInterfaceID(aInterfaceID), stInterface(aInterface) {}

  platform::HRESULT Invoke(InxChannelExit* aExit, InxClassStub* aClassStub, InxReader* aReader,
                           InxWriter* aWriter) override;
  platform::HRESULT WriteVersion(InxChannelExit* aExit, InxClassStub* aClassStub, InxWriter* aWriter) override;

  static platform::HRESULT Supports(const platform::TGUID&, const platform::TGUID&) { return platform::S_OK; }

protected:
  bool GetInterface(const platform::TGUID& iid, void** obj) noexcept override;
  virtual int32_t Version() const { return 1; }
  virtual int32_t MinVersion() const { return 1; }
  virtual platform::HRESULT InvokeMethod(InxChannelExit* aExit, InxClassStub* aClassStub, int32_t aVersion,
                                         int32_t aMethodIndex, InxReader* aReader, InxWriter* aWriter);

  platform::TGUID stClassID;
  platform::TGUID stInterfaceID;
  platform::TInterfacePtr<platform::IInterface> stInterface;
};

template <class T>
class TnxInterfaceStubFactoryOf final : public TnxInterfacedObject, public InxInterfaceStubFactory {
public:
  platform::HRESULT Supports(const platform::TGUID& aClassID, const platform::TGUID& aInterfaceID) override {
    return T::Supports(aClassID, aInterfaceID);
  }
  platform::HRESULT CreateStub(const platform::TGUID& aClassID, const platform::TGUID& aInterfaceID,
                               platform::IInterface* aInterface,
                               platform::TInterfacePtr<InxInterfaceStub>& aStub) override {
    aStub = nullptr;
    platform::HRESULT result = T::Supports(aClassID, aInterfaceID);
    if (result < 0) return result;
    result = platform::S_OK;
    platform::TInterfacePtr<InxInterfaceStub> stub(
        static_cast<InxInterfaceStub*>(nxCreate<T>(aClassID, aInterfaceID, aInterface, result)));
    if (result >= 0) aStub = std::move(stub);
    return result;
  }

protected:
  bool GetInterface(const platform::TGUID& iid, void** obj) noexcept override {
    return nxOfferInterface<InxInterfaceStubFactory>(this, iid, obj) || TnxInterfacedObject::GetInterface(iid, obj);
  }
};

}  // namespace revurov
