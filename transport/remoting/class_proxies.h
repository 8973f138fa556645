// The calling side of a remote object: TnxClass (base of objects offered to
// other processes and of class proxies), the class proxy that owns the
// channel entrance to the object's class stub, and its factory.
//
// Contract:
// - One class proxy per remote object and process: the factory keys proxies
//   by the first element of the routing path and hands out the live one for
//   a further reference (its version value is read and the new entrance is
//   left to the caller, who releases it and so closes that channel). A proxy
//   made with an outer object is never entered and never shared; it is
//   aggregated: its interfaces and those of its interface proxies count on
//   and query the outer object, and the outer holds nxClassProxyEntry.
// - A query asks the local interfaces first, then the proxy's table, then
//   the class stub (kind 0) under the table's write lock, so concurrent
//   first queries for one interface make one interface proxy.
// - QueryMultipleInterfaces (IMultiQI) sends every interface not yet known
//   in one kind 2 request: S_OK when all entries succeed, S_FALSE when some,
//   E_NOINTERFACE when none; each entry keeps its own result.
// - The last release takes the factory's padlock, so a reference read while
//   it runs gets the live proxy or a new one, never a dying one.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "lowlevel/objects/interfaced_object.h"
#include "lowlevel/sync/padlock.h"
#include "lowlevel/sync/read_write_portal.h"
#include "platform/guid.h"
#include "platform/interface.h"
#include "platform/multi_qi.h"
#include "platform/server_exception_handler.h"
#include "transport/remoting/factory_interfaces.h"
#include "transport/remoting/remoting_interfaces.h"
#include "transport/remoting/remoting_types.h"

namespace revurov {

class TnxClass;

// Through it a class keeps its single live instance.
struct TnxClassReferenceStore {
  TnxPadlock crsPadlock;
  TnxClass* crsRef = nullptr;
};

class TnxClass : public TnxAggregatableObject, public InxClass {
public:
  // aClassID may be nil (GUID_NULL is answered); aRefStore may be nil; the
  // new object enters an empty store.
  TnxClass(const platform::TGUID* aClassID, TnxClassReferenceStore* aRefStore, platform::IInterface* aOuter,
           bool aKeepAlive = false);

  platform::HRESULT GetClassID(platform::TGUID& aClassID) override;

  void SetServerExceptionHandler(platform::IServerExceptionHandler* aHandler) { clServerExceptionHandler = aHandler; }
  // Called inside a catch block: what a method of this object answers for
  // the exception being handled. The handler decides when it handles it;
  // else E_UNEXPECTED with the message as the thread's error information.
  platform::HRESULT SafeCallException(const void* aAddress = nullptr) noexcept;

protected:
  ~TnxClass() override;
  bool GetInterface(const platform::TGUID& iid, void** obj) noexcept override;
  int32_t InnerRelease() noexcept override;

  TnxClassReferenceStore* clRefStore;
  std::optional<platform::TGUID> clClassID;
  platform::TInterfacePtr<platform::IServerExceptionHandler> clServerExceptionHandler;
};

class TnxClassProxyFactory;

class TnxClassProxy : public TnxClass, public InxClassProxy, public platform::IMultiQI {
public:
  TnxClassProxy(TnxClassProxyFactory& aFactory, platform::IInterface* aOuter, InxChannelEntrance* aChannel,
                const platform::TGUID& aClassID, const TnxRoutingPath& aPath, InxReader* aReader,
                std::string aRegString);

  platform::HRESULT GetRoutingPath(TnxRoutingPath& aPath) override;
  platform::HRESULT CreateRequest(platform::TInterfacePtr<InxWriter>& aWriter) override;
  platform::HRESULT SendRequest(InxWriter* aWriter, platform::TInterfacePtr<InxReader>& aReader) override;
  platform::HRESULT ReferenceReceived(InxChannelEntrance* aChannel, const TnxRoutingPath& aPath) override;
  platform::HRESULT QueryMultipleInterfaces(uint32_t aCount, platform::MULTI_QI* aEntries) override;

  static platform::HRESULT Supports(const platform::TGUID&) { return platform::S_OK; }

protected:
  ~TnxClassProxy() override;
  bool GetInterface(const platform::TGUID& iid, void** obj) noexcept override;
  platform::HRESULT InnerQueryInterface(const platform::TGUID& iid, void** obj) noexcept override;
  int32_t InnerRelease() noexcept override;
  virtual int32_t Version() const { return 1; }

private:
  friend class TnxClassProxyFactory;

  struct TProxyEntry {
    platform::TGUID interfaceID;
    platform::TInterfacePtr<InxInterfaceProxy> proxy;
  };

  // The class header up to the kind.
  platform::HRESULT NewRequest(int32_t aKind, platform::TInterfacePtr<InxWriter>& aWriter);
  // The table's proxy for the interface, or nil; under the portal.
  InxInterfaceProxy* Known(const platform::TGUID& aIID) const;
  platform::HRESULT RemoteQuery(const platform::TGUID& aIID, void** obj);
  platform::HRESULT AddProxy(const platform::TGUID& aIID, const platform::TGUID& aStubID, InxReader* aReader,
                             void** obj);
  bool TryAddRef() noexcept;

  int32_t cpClassStubVersion = 0;
  TnxClassProxyFactory* cpFactory;
  platform::TInterfacePtr<platform::IInterface> cpFactoryRef;
  std::string cpRegString;
  TnxInternalReadWritePortal cpPortal;  // cpProxies
  platform::TInterfacePtr<InxChannelEntrance> cpChannel;
  platform::TGUID cpClassID;
  TnxRoutingPath cpPath;
  std::vector<TProxyEntry> cpProxies;
};

class TnxClassProxyFactory final : public TnxInterfacedObject, public InxClassProxyFactory {
public:
  platform::HRESULT Supports(const platform::TGUID& aClassID) override;
  platform::HRESULT CreateProxy(platform::IInterface* aOuter, InxChannelEntrance* aChannel,
                                const platform::TGUID& aClassID, const TnxRoutingPath& aPath, InxReader* aReader,
                                platform::TInterfacePtr<InxClassProxy>& aProxy) override;

protected:
  bool GetInterface(const platform::TGUID& iid, void** obj) noexcept override;

private:
  friend class TnxClassProxy;

  TnxPadlock cpfPadlock;  // the mapping and every proxy's last release
  std::map<std::string, TnxClassProxy*> cpfMapping;
};

// What holds a class proxy: for one made with an outer object its own
// entry, which counts the proxy itself (every other interface of it counts
// on the outer object, which keeps this entry); else its IInterface. The
// entry of a new aggregated proxy must be taken, or the proxy is never
// freed.
platform::TInterfacePtr<platform::IInterface> nxClassProxyEntry(InxClassProxy* aProxy);

// Class proxies not yet destroyed, for tests and diagnostics.
int32_t nxLiveClassProxyCount() noexcept;

// The unit pair in the remoting start-up table: registers the default class
// proxy factory for every class, and drops it.
void nxClassProxiesStartup();
void nxClassProxiesShutdown();

}  // namespace revurov
