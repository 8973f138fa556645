// Doubles of the remoting tests: one factory that serves every family, a
// class stub that counts its disconnects, the remoting start-up around a
// test, and GUIDs in tagged bytes.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <vector>

#include "lowlevel/objects/interfaced_object.h"
#include "lowlevel/streams/tagged_stream.h"
#include "support/tagged_bytes.h"
#include "transport/remoting/factory_interfaces.h"
#include "transport/remoting/startup.h"

namespace revurov::testing {

class RemotingStarted : public ::testing::Test {
protected:
  void SetUp() override { nxRemotingStartup(); }
  void TearDown() override { nxRemotingShutdown(); }
};

class TestClassStub final : public TnxInterfacedObject, public InxClassStub {
public:
  platform::HRESULT GetRoutingPath(TnxRoutingPath& aPath) override {
    aPath.clear();
    return platform::S_OK;
  }
  platform::HRESULT AddChannel(InxChannelExit*) override { return platform::S_OK; }
  platform::HRESULT RemoveChannel(InxChannelExit*) override { return platform::S_OK; }
  platform::HRESULT Dispatch(InxChannelExit*, InxReader*, InxWriter*) override { return platform::E_NOTIMPL; }
  platform::HRESULT DisconnectChannels() override { return platform::S_OK; }
  platform::HRESULT Disconnect() override {
    ++disconnects;
    return platform::S_OK;
  }
  platform::HRESULT WriteVersion(InxWriter*) override { return platform::S_OK; }
  platform::HRESULT QueryObject(const platform::TGUID&, platform::TInterfacePtr<platform::IInterface>& aIntf) override {
    aIntf.Reset();
    return platform::E_NOINTERFACE;
  }

  std::atomic<int> disconnects{0};

protected:
  bool GetInterface(const platform::TGUID& iid, void** obj) noexcept override {
    return nxOfferInterface<InxClassStub>(this, iid, obj) || TnxInterfacedObject::GetInterface(iid, obj);
  }
};

// Serves every family. Supports answers what `supports` says (S_OK for all
// by default); the create and find operations record their arguments and
// answer `answer`, handing out `stub` where a class stub is asked for.
class TestFactory final : public TnxInterfacedObject,
                          public InxClassFactory,
                          public InxClassStubFactory,
                          public InxInterfaceStubFactory,
                          public InxClassProxyFactory,
                          public InxInterfaceProxyFactory {
public:
  using TSupports = std::function<platform::HRESULT(const platform::TGUID&, const platform::TGUID&)>;

  explicit TestFactory(TSupports aSupports = nullptr) : supports(std::move(aSupports)) {}

  platform::HRESULT Supports(const platform::TGUID& aClassID) override {
    return Supports(aClassID, platform::GUID_NULL);
  }
  platform::HRESULT Supports(const platform::TGUID& aClassID, const platform::TGUID& aInterfaceID) override {
    ++supportsCalls;
    return supports ? supports(aClassID, aInterfaceID) : platform::S_OK;
  }

  platform::HRESULT CreateInstance(platform::IInterface* aOuter, const platform::TGUID& aInterfaceID,
                                   platform::TInterfacePtr<platform::IInterface>& aInterface) override {
    Called(aOuter, aInterfaceID);
    aInterface = stub.Get();
    return answer;
  }
  platform::HRESULT CreateStub(const platform::TGUID& aClassID, platform::IInterface* aObject,
                               platform::TInterfacePtr<InxClassStub>& aStub) override {
    Called(aObject, aClassID);
    aStub = stub.Get();
    return answer;
  }
  platform::HRESULT FindInstance(const platform::TGUID& aInstanceID, platform::TInterfacePtr<InxClassStub>& aStub) override {
    Called(nullptr, aInstanceID);
    aStub = stub.Get();
    return answer;
  }
  platform::HRESULT FindStub(platform::IInterface* aObject, platform::TInterfacePtr<InxClassStub>& aStub) override {
    Called(aObject, platform::GUID_NULL);
    if (answer >= 0) aStub = stub.Get();
    return answer;
  }
  platform::HRESULT CreateStub(const platform::TGUID& aClassID, const platform::TGUID&, platform::IInterface* aInterface,
                               platform::TInterfacePtr<InxInterfaceStub>&) override {
    Called(aInterface, aClassID);
    return answer;
  }
  platform::HRESULT CreateProxy(platform::IInterface* aOuter, InxChannelEntrance*, const platform::TGUID& aClassID,
                                const TnxRoutingPath&, InxReader*, platform::TInterfacePtr<InxClassProxy>&) override {
    Called(aOuter, aClassID);
    return answer;
  }
  platform::HRESULT CreateProxy(const platform::TGUID& aProxyID, const platform::TGUID&, const platform::TGUID&,
                                InxClassProxy*, InxReader*, platform::TInterfacePtr<InxInterfaceProxy>&) override {
    Called(nullptr, aProxyID);
    return answer;
  }

  TSupports supports;
  platform::HRESULT answer = platform::S_OK;
  platform::TInterfacePtr<TestClassStub> stub;
  // Run inside every create or find operation.
  std::function<void()> onCall;
  std::atomic<int> supportsCalls{0};
  int calls = 0;
  platform::IInterface* lastObject = nullptr;
  platform::TGUID lastID;

protected:
  bool GetInterface(const platform::TGUID& iid, void** obj) noexcept override {
    return nxOfferInterface<InxClassFactory>(this, iid, obj) || nxOfferInterface<InxClassStubFactory>(this, iid, obj) ||
           nxOfferInterface<InxInterfaceStubFactory>(this, iid, obj) ||
           nxOfferInterface<InxClassProxyFactory>(this, iid, obj) ||
           nxOfferInterface<InxInterfaceProxyFactory>(this, iid, obj) || TnxInterfacedObject::GetInterface(iid, obj);
  }

private:
  void Called(platform::IInterface* aObject, const platform::TGUID& aID) {
    ++calls;
    lastObject = aObject;
    lastID = aID;
    if (onCall) onCall();
  }
};

// A counted reference to a new interfaced object.
template <class T, class... A>
platform::TInterfacePtr<T> Make(A&&... args) {
  return platform::TInterfacePtr<T>(nxCreate<T>(std::forward<A>(args)...));
}

// GUIDs that differ in their first field only, ordered by it.
inline platform::TGUID Id(uint32_t n) {
  platform::TGUID g = platform::nxGuid("{00000000-5EED-4000-8000-000000000000}");
  g.D1 = n;
  return g;
}

// A GUID as the tagged writer puts it: vaBinary, length 16, the 16 bytes.
inline void AppendGuid(TaggedBytes& aBytes, const platform::TGUID& aGuid) {
  const uint8_t head[] = {vaBinary, 16, 0, 0, 0};
  aBytes.insert(aBytes.end(), head, head + 5);
  uint8_t raw[16];
  platform::GUIDToBytes(aGuid, raw);
  aBytes.insert(aBytes.end(), raw, raw + 16);
}

}  // namespace revurov::testing
