// The owning side of a remote object: the class stub that stands for one
// local object towards every peer holding a reference to it, and the
// factory that makes and finds stubs.
//
// Contract:
// - One stub per object: the factory keys stubs by the object's IInterface
//   identity (a pointer that never leaves the process) until the stub
//   releases its object; after that the object gets a new stub.
// - A stub's instance ID is a handle, never an address: word 0 the stub's
//   handle in its factory's table (slot, generation, type tag), word 1 a
//   random secret, word 2 the handle's generation, word 3 the xor of the
//   three. FindInstance answers RPC_E_INVALID_OBJREF for a wrong check word,
//   a released stub or a slot used again, and never revives a stub in its
//   last release.
// - Dispatch reads the class-level request: version (1 only), the object
//   identity (its instance ID must be this stub's), the kind: 0 get an
//   interface, 1 call an interface, 2 get several. A count of interface
//   proxy IDs below 1 answers E_NOINTERFACE, above 128 RPC_E_INVALID_DATAPACKET
//   before anything is sized by it. A disconnected stub answers
//   CO_E_OBJNOTCONNECTED.
// - Disconnect: no new calls; the object is released when the last running
//   call ends, and with it the interface stubs and the listed channel exits.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <vector>

#include "lowlevel/objects/handle_table.h"
#include "lowlevel/objects/interfaced_object.h"
#include "lowlevel/sync/padlock.h"
#include "lowlevel/sync/read_write_portal.h"
#include "platform/guid.h"
#include "platform/interface.h"
#include "transport/remoting/factory_interfaces.h"
#include "transport/remoting/remoting_interfaces.h"
#include "transport/remoting/remoting_types.h"

namespace revurov {

inline constexpr platform::TGUID nxDefaultClassStubID = platform::nxGuid("{4DD40D56-402A-41A4-9D68-207A1B78768E}");
inline constexpr int32_t nxClassGetInterface = 0;
inline constexpr int32_t nxClassCallInterface = 1;
inline constexpr int32_t nxClassQueryMultiple = 2;
// The most interface proxy IDs a caller offers for one interface.
inline constexpr int32_t nxMaxInterfaceProxyIDs = 128;

class TnxClassStubFactory;

class TnxClassStub : public TnxInterfacedObject, public InxClassStub {
public:
  // aObject is the object's IInterface identity. The factory files the stub.
  TnxClassStub(TnxClassStubFactory& aFactory, const platform::TGUID& aClassID, platform::IInterface* aObject);

  int32_t Release() noexcept override;

  platform::HRESULT GetRoutingPath(TnxRoutingPath& aPath) override;
  platform::HRESULT AddChannel(InxChannelExit* aExit) override;
  platform::HRESULT RemoveChannel(InxChannelExit* aExit) override;
  platform::HRESULT Dispatch(InxChannelExit* aExit, InxReader* aReader, InxWriter* aWriter) override;
  platform::HRESULT DisconnectChannels() override;
  platform::HRESULT Disconnect() override;
  platform::HRESULT WriteVersion(InxWriter* aWriter) override;
  platform::HRESULT QueryObject(const platform::TGUID& aIID,
                                platform::TInterfacePtr<platform::IInterface>& aInterface) override;

  static platform::HRESULT Supports(const platform::TGUID&) { return platform::S_OK; }
  const platform::TGUID& InstanceID() const noexcept { return csInstanceID; }

protected:
  ~TnxClassStub() override;
  bool GetInterface(const platform::TGUID& iid, void** obj) noexcept override;
  virtual int32_t Version() const { return 1; }
  virtual platform::HRESULT GetRemoteInterface(InxChannelExit* aExit, InxReader& aReader, InxWriter& aWriter);
  virtual platform::HRESULT CallInterface(InxChannelExit* aExit, InxReader& aReader, InxWriter& aWriter);
  virtual platform::HRESULT QueryMultiple(InxChannelExit* aExit, InxReader& aReader, InxWriter& aWriter);

private:
  friend class TnxClassStubFactory;

  struct TStubEntry {
    platform::TGUID interfaceID;
    platform::TGUID stubID;
    platform::TInterfacePtr<InxInterfaceStub> stub;
  };

  // Reads N and the N interface proxy IDs, picks the interface stub and
  // makes it when it is new.
  platform::HRESULT StubFor(const platform::TGUID& aIID, InxReader& aReader, platform::TGUID& aStubID,
                            platform::TInterfacePtr<InxInterfaceStub>& aStub);
  void LeaveCall() noexcept;
  void ReleaseObject() noexcept;
  bool TryAddRef() noexcept;

  TnxInternalReadWritePortal csPortal;  // csChannels and csStubs
  TnxRoutingPath csPath;
  TnxClassStubFactory* csFactory;
  platform::TInterfacePtr<platform::IInterface> csFactoryRef;
  platform::TGUID csClassID;
  TnxPadlock csObjectLock;  // csInterface
  platform::TInterfacePtr<platform::IInterface> csInterface;
  platform::IInterface* csIntfPtr;  // the key in the factory's table
  platform::TGUID csInstanceID{};
  uint32_t csHandle = 0;
  uint32_t csSecret = 0;
  uint32_t csGeneration = 0;  // 0 once released
  std::atomic<bool> csDisconnected{false};
  std::atomic<int32_t> csInCallCount{0};
  std::vector<InxChannelExit*> csChannels;  // not counted: each exit removes itself
  std::vector<TStubEntry> csStubs;
};

class TnxClassStubFactory final : public TnxInterfacedObject, public InxClassStubFactory {
public:
  platform::HRESULT Supports(const platform::TGUID& aClassID) override;
  platform::HRESULT CreateStub(const platform::TGUID& aClassID, platform::IInterface* aObject,
                               platform::TInterfacePtr<InxClassStub>& aStub) override;
  platform::HRESULT FindInstance(const platform::TGUID& aInstanceID,
                                 platform::TInterfacePtr<InxClassStub>& aStub) override;
  platform::HRESULT FindStub(platform::IInterface* aObject, platform::TInterfacePtr<InxClassStub>& aStub) override;

protected:
  bool GetInterface(const platform::TGUID& iid, void** obj) noexcept override;

private:
  friend class TnxClassStub;

  TnxPadlock shfPadlock;  // the table, the mapping and every stub's last release
  TnxHandleTable shfHandles;
  std::map<platform::IInterface*, TnxClassStub*> shfMapping;
};

// Class stubs not yet destroyed, for tests and diagnostics.
int32_t nxLiveClassStubCount() noexcept;

// The unit pair in the remoting start-up table: registers the default class
// stub factory for every class, and drops it.
void nxClassStubsStartup();
void nxClassStubsShutdown();

}  // namespace revurov
