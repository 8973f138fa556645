// A one-method test interface with its object and interface stub: Echo
// answers the bytes it was given. The stub's method 1 echoes a binary value;
// a test may hold a call inside the object through `onEcho`.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <vector>

#include "lowlevel/objects/interfaced_object.h"
#include "platform/guid.h"
#include "platform/interface.h"
#include "transport/remoting/interface_proxies.h"
#include "transport/remoting/interface_stubs.h"
#include "transport/remoting/remoting_interfaces.h"

namespace revurov::testing {

class ITestEcho : public virtual platform::IInterface {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{0B7E6A52-2C4D-4E8F-9A1B-3C5D7E9F1A01}");
  virtual std::vector<uint8_t> Echo(const std::vector<uint8_t>& aBytes) = 0;
};

inline constexpr platform::TGUID kEchoClassID = platform::nxGuid("{0B7E6A52-2C4D-4E8F-9A1B-3C5D7E9F1A02}");
inline constexpr platform::TGUID kEchoStubID = platform::nxGuid("{0B7E6A52-2C4D-4E8F-9A1B-3C5D7E9F1A03}");
inline constexpr int32_t kEchoMethod = 1;

inline std::atomic<int32_t> gLiveEchoObjects{0};
inline std::atomic<int32_t> gLiveEchoStubs{0};

class TestEchoObject final : public TnxInterfacedObject, public ITestEcho, public InxClass {
public:
  TestEchoObject() { ++gLiveEchoObjects; }
  ~TestEchoObject() override { --gLiveEchoObjects; }

  std::vector<uint8_t> Echo(const std::vector<uint8_t>& aBytes) override {
    if (onEcho) onEcho();
    return aBytes;
  }
  platform::HRESULT GetClassID(platform::TGUID& aClassID) override {
    aClassID = kEchoClassID;
    return platform::S_OK;
  }

  std::function<void()> onEcho;

protected:
  bool GetInterface(const platform::TGUID& iid, void** obj) noexcept override {
    return nxOfferInterface<ITestEcho>(this, iid, obj) || nxOfferInterface<InxClass>(this, iid, obj) ||
           TnxInterfacedObject::GetInterface(iid, obj);
  }
};

class TestEchoStub final : public TnxInterfaceStub {
public:
  TestEchoStub(const platform::TGUID& aClassID, const platform::TGUID& aInterfaceID, platform::IInterface* aInterface,
               platform::HRESULT&)
      : TnxInterfaceStub(aClassID, aInterfaceID, aInterface) {
    ++gLiveEchoStubs;
  }
  ~TestEchoStub() override { --gLiveEchoStubs; }

protected:
  platform::HRESULT InvokeMethod(InxChannelExit*, InxClassStub*, int32_t, int32_t aMethodIndex, InxReader* aReader,
                                 InxWriter* aWriter) override {
    if (aMethodIndex != kEchoMethod) return RPC_E_INVALIDMETHOD;
    const int32_t size = aReader->ReadInteger();
    if (size < 0 || size > aReader->BytesLeft()) return platform::E_INVALIDARG;
    std::vector<uint8_t> bytes(static_cast<size_t>(size));
    aReader->ReadBinary(bytes.data(), size);
    auto echo = platform::Supports<ITestEcho>(stInterface.Get());
    const std::vector<uint8_t> answer = echo->Echo(bytes);
    aWriter->WriteInteger(static_cast<int32_t>(answer.size()));
    aWriter->WriteBinary(answer.data(), static_cast<int32_t>(answer.size()));
    return platform::S_OK;
  }
};

// The calling side: Echo as method 1 through the class proxy.
class TestEchoProxy final : public TnxInterfaceProxy {
public:
  using TnxInterfaceProxy::TnxInterfaceProxy;

protected:
  platform::HRESULT QueryProxy(const platform::TGUID& aIID, void** aObj) noexcept override {
    if (aIID == ITestEcho::IID) {
      epEcho.AddRef();
      *aObj = static_cast<ITestEcho*>(&epEcho);
      return platform::S_OK;
    }
    *aObj = nullptr;
    return platform::E_NOINTERFACE;
  }

private:
  class TEcho final : public TnxProxied<ITestEcho> {
  public:
    using TnxProxied::TnxProxied;
    std::vector<uint8_t> Echo(const std::vector<uint8_t>& aBytes) override {
      return static_cast<TestEchoProxy*>(pOwner)->Call(aBytes);
    }
  };

  // An empty answer when the call fails.
  std::vector<uint8_t> Call(const std::vector<uint8_t>& aBytes) {
    int32_t version = 0;
    platform::TInterfacePtr<InxWriter> writer;
    if (CreateCall(nxInterfaceMethodCall, version, writer) < 0) return {};
    writer->WriteInteger(kEchoMethod);
    writer->WriteInteger(static_cast<int32_t>(aBytes.size()));
    writer->WriteBinary(aBytes.data(), static_cast<int32_t>(aBytes.size()));
    platform::TInterfacePtr<InxReader> reader;
    lastResult = SendCall(writer.Get(), reader);
    if (lastResult < 0) return {};
    std::vector<uint8_t> answer(static_cast<size_t>(reader->ReadInteger()));
    reader->ReadBinary(answer.data(), static_cast<int32_t>(answer.size()));
    return answer;
  }

  TEcho epEcho{*this};

public:
  platform::HRESULT lastResult = platform::S_OK;
};

}  // namespace revurov::testing
