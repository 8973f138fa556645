#include "transport/remoting/class_stubs.h"

#include <array>
#include <random>
#include <utility>

#include "lowlevel/sync/lock_guard.h"
#include "transport/remoting/channels.h"
#include "transport/remoting/interface_stubs.h"

namespace revurov {

using platform::E_INVALIDARG;
using platform::E_NOINTERFACE;
using platform::HRESULT;
using platform::IInterface;
using platform::S_FALSE;
using platform::S_OK;
using platform::TGUID;
using platform::TInterfacePtr;

namespace {

// The type tag of class stubs in their handles.
constexpr uint8_t kStubTag = 0xD;

std::atomic<int32_t> gLiveStubs{0};

uint32_t RandomSecret() {
  thread_local std::mt19937 tlsEngine{std::random_device{}()};
  return static_cast<uint32_t>(tlsEngine());
}

TInterfacePtr<IInterface> IdentityOf(IInterface* aObject, HRESULT& aResult) {
  void* identity = nullptr;
  aResult = aObject->QueryInterface(IInterface::IID, &identity);
  if (aResult != S_OK) return nullptr;
  return TInterfacePtr<IInterface>::Attach(static_cast<IInterface*>(identity));
}

}  // namespace

// --- class stub --------------------------------------------------------------

TnxClassStub::TnxClassStub(TnxClassStubFactory& aFactory, const TGUID& aClassID, IInterface* aObject)
    : csFactory(&aFactory),
      csFactoryRef(static_cast<InxClassStubFactory*>(&aFactory)),
      csClassID(aClassID),
      csInterface(aObject),
      csIntfPtr(aObject) {
  // A proxy of a remote object carries the route so far.
  if (auto routed = platform::Supports<InxRoutingPath>(aObject)) routed->GetRoutingPath(csPath);
  gLiveStubs.fetch_add(1, std::memory_order_relaxed);
}

TnxClassStub::~TnxClassStub() {
  DisconnectChannels();
  gLiveStubs.fetch_sub(1, std::memory_order_relaxed);
}

bool TnxClassStub::GetInterface(const TGUID& iid, void** obj) noexcept {
  return nxOfferInterface<InxClassStub>(this, iid, obj) || nxOfferInterface<InxChannelSink>(this, iid, obj) ||
         nxOfferInterface<InxRoutingPath>(this, iid, obj) || TnxInterfacedObject::GetInterface(iid, obj);
}

bool TnxClassStub::TryAddRef() noexcept {
  int32_t count = ioRefCount.load(std::memory_order_acquire);
  while (count > 0)
    if (ioRefCount.compare_exchange_weak(count, count + 1, std::memory_order_acq_rel)) return true;
  return false;
}

int32_t TnxClassStub::Release() noexcept {
  const int32_t count = ioRefCount.fetch_sub(1, std::memory_order_acq_rel) - 1;
  if (count != 0) return count;
  bool destroy = false;
  {
    TnxPadlockGuard guard(csFactory->shfPadlock);
    if (ioRefCount.load(std::memory_order_acquire) == 0) {
      int32_t expected = 0;
      destroy = ioReleased.compare_exchange_strong(expected, 1);
      if (destroy) {
        if (csHandle) csFactory->shfHandles.Remove(csHandle);
        csGeneration = 0;
        auto it = csFactory->shfMapping.find(csIntfPtr);
        if (it != csFactory->shfMapping.end() && it->second == this) csFactory->shfMapping.erase(it);
      }
    }
  }
  // The factory reference goes with the stub, after its padlock was left.
  if (destroy) delete this;
  return 0;
}

HRESULT TnxClassStub::GetRoutingPath(TnxRoutingPath& aPath) {
  aPath = csPath;
  return S_OK;
}

HRESULT TnxClassStub::AddChannel(InxChannelExit* aExit) {
  if (!aExit) return E_INVALIDARG;
  TnxPortalWriteGuard guard(csPortal);
  csChannels.push_back(aExit);
  return S_OK;
}

HRESULT TnxClassStub::RemoveChannel(InxChannelExit* aExit) {
  TnxPortalWriteGuard guard(csPortal);
  for (auto it = csChannels.begin(); it != csChannels.end(); ++it)
    if (*it == aExit) {
      csChannels.erase(it);
      break;
    }
  return S_OK;
}

HRESULT TnxClassStub::DisconnectChannels() {
  // An exit's Disconnect may drop the last reference to this stub.
  const bool held = TryAddRef();
  {
    TnxPortalWriteGuard guard(csPortal);
    // Taken off the list first: an exit in its destructor waits for the
    // portal to remove itself and finds nothing left to do.
    while (!csChannels.empty()) {
      InxChannelExit* exit = csChannels.back();
      csChannels.pop_back();
      exit->Disconnect();
    }
  }
  if (held) Release();
  return S_OK;
}

HRESULT TnxClassStub::Disconnect() {
  const TInterfacePtr<InxClassStub> self(this);
  csInCallCount.fetch_add(1, std::memory_order_acq_rel);
  csDisconnected.store(true, std::memory_order_release);
  LeaveCall();
  return S_OK;
}

void TnxClassStub::LeaveCall() noexcept {
  if (csInCallCount.fetch_sub(1, std::memory_order_acq_rel) == 1 && csDisconnected.load(std::memory_order_acquire))
    ReleaseObject();
}

void TnxClassStub::ReleaseObject() noexcept {
  const TInterfacePtr<InxClassStub> self(this);
  TInterfacePtr<IInterface> object;
  {
    TnxPadlockGuard guard(csObjectLock);
    object = std::move(csInterface);
  }
  if (!object) return;
  {
    // The object's address may name another object later.
    TnxPadlockGuard guard(csFactory->shfPadlock);
    auto it = csFactory->shfMapping.find(csIntfPtr);
    if (it != csFactory->shfMapping.end() && it->second == this) csFactory->shfMapping.erase(it);
  }
  DisconnectChannels();
  std::vector<TStubEntry> stubs;
  {
    TnxPortalWriteGuard guard(csPortal);
    stubs = std::move(csStubs);
    csStubs.clear();
  }
  stubs.clear();
  object = nullptr;
}

HRESULT TnxClassStub::WriteVersion(InxWriter* aWriter) {
  if (!aWriter) return E_INVALIDARG;
  aWriter->WriteInteger(Version());
  return S_OK;
}

HRESULT TnxClassStub::QueryObject(const TGUID& aIID, TInterfacePtr<IInterface>& aInterface) {
  aInterface = nullptr;
  TInterfacePtr<IInterface> object;
  {
    TnxPadlockGuard guard(csObjectLock);
    object = csInterface;
  }
  if (!object) return CO_E_OBJNOTCONNECTED;
  // Asked to learn that it has the interface; the object's count is one.
  void* asked = nullptr;
  const HRESULT result = object->QueryInterface(aIID, &asked);
  if (result != S_OK) return result;
  object->Release();
  aInterface = std::move(object);
  return S_OK;
}

HRESULT TnxClassStub::Dispatch(InxChannelExit* aExit, InxReader* aReader, InxWriter* aWriter) {
  if (!aReader || !aWriter) return E_INVALIDARG;
  const TInterfacePtr<InxClassStub> self(this);
  csInCallCount.fetch_add(1, std::memory_order_acq_rel);
  struct TLeave {
    TnxClassStub* stub;
    ~TLeave() { stub->LeaveCall(); }
  } leave{this};
  if (csDisconnected.load(std::memory_order_acquire)) return CO_E_OBJNOTCONNECTED;
  const int32_t version = aReader->ReadInteger();
  if (version < 1 || version > Version()) return RPC_E_INVALID_DATAPACKET;
  aReader->ReadGuid();  // the process; the instance ID alone names the stub
  const TGUID instance = aReader->ReadGuid();
  if (!(instance == csInstanceID)) return RPC_E_INVALID_DATAPACKET;
  switch (aReader->ReadInteger()) {
    case nxClassGetInterface:
      return GetRemoteInterface(aExit, *aReader, *aWriter);
    case nxClassCallInterface:
      return CallInterface(aExit, *aReader, *aWriter);
    case nxClassQueryMultiple:
      return QueryMultiple(aExit, *aReader, *aWriter);
    default:
      return RPC_E_INVALID_DATAPACKET;
  }
}

HRESULT TnxClassStub::StubFor(const TGUID& aIID, InxReader& aReader, TGUID& aStubID,
                              TInterfacePtr<InxInterfaceStub>& aStub) {
  aStub = nullptr;
  const int32_t count = aReader.ReadInteger();
  if (count < 1) return E_NOINTERFACE;
  if (count > nxMaxInterfaceProxyIDs) return RPC_E_INVALID_DATAPACKET;
  uint8_t raw[16 * nxMaxInterfaceProxyIDs];
  aReader.ReadBinary(raw, 16 * count);
  std::vector<TGUID> ids(static_cast<size_t>(count));
  for (int32_t i = 0; i < count; ++i) ids[size_t(i)] = platform::GUIDFromBytes(raw + 16 * i);

  // S_FALSE names no stub ID: none of the offered factories is registered.
  HRESULT result = nxInterfaceStubFactoryRegistry()->SelectInterfaceStubFactory(csClassID, aIID, ids, aStubID);
  if (result == S_FALSE) return E_NOINTERFACE;
  if (result < 0) return result;
  TInterfacePtr<IInterface> asked;
  if (result = QueryObject(aIID, asked); result != S_OK) return result < 0 ? result : E_NOINTERFACE;

  TnxPortalWriteGuard guard(csPortal);
  for (const TStubEntry& entry : csStubs)
    if (entry.interfaceID == aIID && entry.stubID == aStubID) {
      aStub = entry.stub;
      return S_OK;
    }
  TInterfacePtr<InxInterfaceStub> stub;
  result = nxInterfaceStubFactoryRegistry()->CreateInterfaceStub(aStubID, csClassID, aIID, asked.Get(), stub);
  if (result < 0) return result;
  if (!stub) return E_NOINTERFACE;
  csStubs.push_back({aIID, aStubID, stub});
  aStub = std::move(stub);
  return S_OK;
}

HRESULT TnxClassStub::GetRemoteInterface(InxChannelExit* aExit, InxReader& aReader, InxWriter& aWriter) {
  const TGUID iid = aReader.ReadGuid();
  TGUID stubID{};
  TInterfacePtr<InxInterfaceStub> stub;
  if (const HRESULT result = StubFor(iid, aReader, stubID, stub); result < 0) return result;
  aWriter.WriteGuid(stubID);
  return stub->WriteVersion(aExit, this, &aWriter);
}

HRESULT TnxClassStub::CallInterface(InxChannelExit* aExit, InxReader& aReader, InxWriter& aWriter) {
  const TGUID iid = aReader.ReadGuid();
  const TGUID stubID = aReader.ReadGuid();
  TInterfacePtr<InxInterfaceStub> stub;
  {
    TnxPortalReadGuard guard(csPortal);
    for (const TStubEntry& entry : csStubs)
      if (entry.interfaceID == iid && entry.stubID == stubID) {
        stub = entry.stub;
        break;
      }
  }
  if (!stub) return RPC_E_INVALID_DATAPACKET;
  return stub->Invoke(aExit, this, &aReader, &aWriter);
}

HRESULT TnxClassStub::QueryMultiple(InxChannelExit* aExit, InxReader& aReader, InxWriter& aWriter) {
  int32_t succeeded = 0;
  int32_t failed = 0;
  aReader.ReadListBegin();
  while (!aReader.EndOfList()) {
    const TGUID iid = aReader.ReadGuid();
    TGUID stubID{};
    TInterfacePtr<InxInterfaceStub> stub;
    const HRESULT result = StubFor(iid, aReader, stubID, stub);
    // Past a bad count the entries cannot be told apart any more.
    if (result == RPC_E_INVALID_DATAPACKET) return result;
    aWriter.WriteInteger(result);
    if (result < 0) {
      ++failed;
      continue;
    }
    ++succeeded;
    aWriter.WriteGuid(stubID);
    if (const HRESULT written = stub->WriteVersion(aExit, this, &aWriter); written < 0) return written;
  }
  aReader.ReadListEnd();
  if (succeeded == 0) return E_NOINTERFACE;
  return failed == 0 ? S_OK : S_FALSE;
}

// --- factory -----------------------------------------------------------------

bool TnxClassStubFactory::GetInterface(const TGUID& iid, void** obj) noexcept {
  return nxOfferInterface<InxClassStubFactory>(this, iid, obj) || TnxInterfacedObject::GetInterface(iid, obj);
}

HRESULT TnxClassStubFactory::Supports(const TGUID& aClassID) { return TnxClassStub::Supports(aClassID); }

HRESULT TnxClassStubFactory::CreateStub(const TGUID& aClassID, IInterface* aObject,
                                        TInterfacePtr<InxClassStub>& aStub) {
  aStub = nullptr;
  if (!aObject) return E_INVALIDARG;
  HRESULT result = S_OK;
  const TInterfacePtr<IInterface> identity = IdentityOf(aObject, result);
  if (!identity) return result < 0 ? result : E_NOINTERFACE;
  if (result = TnxClassStub::Supports(aClassID); result < 0) return result;
  TnxPadlockGuard guard(shfPadlock);
  auto it = shfMapping.find(identity.Get());
  if (it != shfMapping.end() && it->second->TryAddRef()) {
    aStub = TInterfacePtr<InxClassStub>::Attach(it->second);
    return S_OK;
  }
  auto* stub = nxCreate<TnxClassStub>(*this, aClassID, identity.Get());
  TInterfacePtr<InxClassStub> held(stub);
  stub->csHandle = shfHandles.Add(stub, nullptr, 0, kStubTag);
  stub->csSecret = RandomSecret();
  stub->csGeneration = TnxHandleTable::GenerationOf(stub->csHandle);
  stub->csInstanceID = nxGuidOfWords(
      {stub->csHandle, stub->csSecret, stub->csGeneration, stub->csHandle ^ stub->csSecret ^ stub->csGeneration});
  stub->csPath.push_back({nxProcessID(), stub->csInstanceID});
  shfMapping[identity.Get()] = stub;
  aStub = std::move(held);
  return S_OK;
}

HRESULT TnxClassStubFactory::FindStub(IInterface* aObject, TInterfacePtr<InxClassStub>& aStub) {
  aStub = nullptr;
  if (!aObject) return E_INVALIDARG;
  HRESULT result = S_OK;
  const TInterfacePtr<IInterface> identity = IdentityOf(aObject, result);
  if (!identity) return result < 0 ? result : E_NOINTERFACE;
  TnxPadlockGuard guard(shfPadlock);
  auto it = shfMapping.find(identity.Get());
  if (it == shfMapping.end() || !it->second->TryAddRef()) return platform::CO_E_OBJNOTREG;
  aStub = TInterfacePtr<InxClassStub>::Attach(it->second);
  return S_OK;
}

HRESULT TnxClassStubFactory::FindInstance(const TGUID& aInstanceID, TInterfacePtr<InxClassStub>& aStub) {
  aStub = nullptr;
  const std::array<uint32_t, 4> words = nxGuidWords(aInstanceID);
  if ((words[0] ^ words[1] ^ words[2]) != words[3]) return RPC_E_INVALID_OBJREF;
  if (TnxHandleTable::TagOf(words[0]) != kStubTag) return RPC_E_INVALID_OBJREF;
  TnxPadlockGuard guard(shfPadlock);
  auto* stub = static_cast<TnxClassStub*>(shfHandles.Lookup(words[0], nullptr, 0));
  if (!stub || stub->csSecret != words[1] || stub->csGeneration != words[2] || !stub->TryAddRef())
    return RPC_E_INVALID_OBJREF;
  aStub = TInterfacePtr<InxClassStub>::Attach(stub);
  return S_OK;
}

int32_t nxLiveClassStubCount() noexcept { return gLiveStubs.load(std::memory_order_relaxed); }

// --- registration ------------------------------------------------------------

namespace {
TInterfacePtr<InxClassStubFactoryControl> gDefaultStubControl;
}  // namespace

void nxClassStubsStartup() {
  const TInterfacePtr<InxClassStubFactory> factory(nxCreate<TnxClassStubFactory>());
  TInterfacePtr<InxClassStubFactoryControl> control;
  if (nxClassStubFactoryRegistry()->RegisterClassStubFactory(nxDefaultClassStubID, factory.Get(), control) != S_OK)
    return;
  control->RegisterGeneric(0);
  gDefaultStubControl = std::move(control);
}

void nxClassStubsShutdown() {
  if (!gDefaultStubControl) return;
  gDefaultStubControl->Unregister();
  gDefaultStubControl = nullptr;
}

}  // namespace revurov
