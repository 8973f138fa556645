// Isolators: they stand between a long-lived reference and a short-lived
// object, so that a call through the reference after the object went fails
// cleanly instead of reaching freed memory.
//
// Contract of TnxClassActivatorIsolator:
// - Clients hold its InxClassActivator (the ordinary count). The host's
//   owner holds HostEntry() (counted also as a host reference); when the
//   last host reference goes, the isolator disconnects for good.
// - Connected, CreateInstance goes to the host unchanged, and a query for
//   anything but InxClassActivator is the host's answer. Disconnected,
//   CreateInstance answers RPC_E_DISCONNECTED and so does a query for
//   anything but InxClassActivator and IInterface (the isolator's own).
// - A forwarded call counts itself in before it reads the host; the release
//   that disconnects waits until every such call has returned, so no call
//   runs on into a host being destroyed. REQUIRES: that release is not made
//   from inside a call through the same isolator.
//
// Contract of TnxSessionNotifierIsolator:
// - Made with an owner (not counted) and a session's notifier list (counted),
//   it registers itself there. SessionDisconnected tells the owner, once;
//   Detach leaves the list, once. Whichever comes first ends both: after
//   Detach the owner is never told, after SessionDisconnected the list is
//   never asked to unregister. The two may race from any threads.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "lowlevel/objects/interfaced_object.h"
#include "lowlevel/objects/session_notifications.h"
#include "lowlevel/objects/utils_system.h"
#include "lowlevel/sync/padlock.h"
#include "platform/interface.h"

namespace revurov {

class TnxClassActivatorIsolator final : public TnxInterfacedObject, public InxClassActivator {
public:
  // The host is kept without a reference.
  explicit TnxClassActivatorIsolator(InxClassActivator* aHost) noexcept : caiHost(aHost) {}

  platform::HRESULT QueryInterface(const platform::TGUID& iid, void** obj) noexcept override;
  platform::HRESULT CreateInstance(const platform::TGUID& aClassID, platform::IInterface* aOuter,
                                   const platform::TGUID& aInterfaceID,
                                   platform::TInterfacePtr<platform::IInterface>& aInterface) override;

  // The entry of the host's owner; no reference taken.
  platform::IInterface* HostEntry() noexcept { return &caiHostEntry; }
  bool Connected() const noexcept { return caiHost.load(std::memory_order_acquire) != nullptr; }

private:
  struct THostEntry final : platform::IInterface {
    TnxClassActivatorIsolator* owner;
    explicit THostEntry(TnxClassActivatorIsolator* aOwner) : owner(aOwner) {}
    platform::HRESULT QueryInterface(const platform::TGUID& iid, void** obj) noexcept override;
    int32_t AddRef() noexcept override;
    int32_t Release() noexcept override;
  };
  // Counts a forwarded call in for its lifetime; Host() is null once
  // disconnected.
  class TCallIn {
  public:
    explicit TCallIn(TnxClassActivatorIsolator& aIsolator) noexcept;
    ~TCallIn();
    TCallIn(const TCallIn&) = delete;
    TCallIn& operator=(const TCallIn&) = delete;
    InxClassActivator* Host() const noexcept { return ciHost; }

  private:
    TnxClassActivatorIsolator& ciIsolator;
    InxClassActivator* ciHost;
  };

  void Disconnect() noexcept;

  std::atomic<InxClassActivator*> caiHost;
  std::atomic<int32_t> caiHostReferences{0};
  std::atomic<int32_t> caiCallsIn{0};
  std::mutex caiCallsLock;
  std::condition_variable caiCallsDone;
  THostEntry caiHostEntry{this};
};

class InxSessionNotifierIsolator : public InxSessionNotifier {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{7F665B4F-AC1E-43EA-97B7-546535F16627}");
  virtual void Detach() = 0;
};

class TnxSessionNotifierIsolator final : public TnxInterfacedObject, public InxSessionNotifierIsolator {
public:
  TnxSessionNotifierIsolator(InxSessionNotifier* aOwner, InxSessionNotifications* aSessionNotifications);

  void SessionDisconnected() override;
  void Detach() override;

protected:
  bool GetInterface(const platform::TGUID& iid, void** obj) noexcept override;

private:
  InxSessionNotifier* sniOwner;
  platform::TInterfacePtr<InxSessionNotifications> sniSessionNotifications;
  TnxSessionNotifierCookie sniNotifierID{};
  TnxPadlock sniPadlock;
};

}  // namespace revurov
