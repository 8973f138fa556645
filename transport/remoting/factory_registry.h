// The five factory registries: one template over the family (its factory,
// control and registry interfaces and whether keys name interfaces), and
// the controls it hands out. The contract is in factory_interfaces.h.
//
// - Keys are GUID texts (braced, upper case): a class key is the class ID's
//   text, an interface key the interface ID's, a pair key the two texts
//   joined; the factories are kept by their ID's text, which orders
//   FindClassStubForObject.
// - Every operation holds the registry's portal: changes write, lookups
//   read. Enumerate, select and FindClassStubForObject call the factories
//   under the read side; the create operations release it first.
// - A control holds a counted reference to its factory and to its registry,
//   so a registry lives while any of its controls does, also past the
//   shut-down that drops the process's references.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "lowlevel/objects/interfaced_object.h"
#include "lowlevel/sync/read_write_portal.h"
#include "platform/guid.h"
#include "platform/interface.h"
#include "transport/remoting/factory_interfaces.h"

namespace revurov {

inline constexpr int8_t nxMinFactoryPriority = -5;
inline constexpr int8_t nxMaxFactoryPriority = 5;

// The kinds of keyed registration, in the order enumeration visits them.
enum TnxFactoryKeyKind : int { fkPair = 0, fkClass = 1, fkInterface = 2 };

struct TnxClassFactoryFamily {
  using Factory = InxClassFactory;
  using Control = InxClassFactoryControl;
  using Registry = InxClassFactoryRegistry;
  static constexpr bool kKeyed = false;
  static constexpr bool kInterfaceKeys = false;
};

struct TnxClassStubFactoryFamily {
  using Factory = InxClassStubFactory;
  using Control = InxClassStubFactoryControl;
  using Registry = InxClassStubFactoryRegistry;
  static constexpr bool kKeyed = true;
  static constexpr bool kInterfaceKeys = false;
};

struct TnxInterfaceStubFactoryFamily {
  using Factory = InxInterfaceStubFactory;
  using Control = InxInterfaceStubFactoryControl;
  using Registry = InxInterfaceStubFactoryRegistry;
  static constexpr bool kKeyed = true;
  static constexpr bool kInterfaceKeys = true;
};

struct TnxClassProxyFactoryFamily {
  using Factory = InxClassProxyFactory;
  using Control = InxClassProxyFactoryControl;
  using Registry = InxClassProxyFactoryRegistry;
  static constexpr bool kKeyed = true;
  static constexpr bool kInterfaceKeys = false;
};

struct TnxInterfaceProxyFactoryFamily {
  using Factory = InxInterfaceProxyFactory;
  using Control = InxInterfaceProxyFactoryControl;
  using Registry = InxInterfaceProxyFactoryRegistry;
  static constexpr bool kKeyed = true;
  static constexpr bool kInterfaceKeys = true;
};

template <class F>
class TnxFactoryRegistry;

// The control of a stub or proxy factory.
template <class F>
class TnxKeyedFactoryControl final : public TnxInterfacedObject, public F::Control {
public:
  // No generic registration.
  static constexpr int32_t kNoGeneric = INT32_MIN;

  TnxKeyedFactoryControl(TnxFactoryRegistry<F>* aRegistry, const platform::TGUID& aID, typename F::Factory* aFactory);
  ~TnxKeyedFactoryControl() override;

  platform::HRESULT Unregister() override;
  platform::HRESULT RegisterForClass(int8_t aPriority, const platform::TGUID& aClassID) override;
  platform::HRESULT RegisterGeneric(int8_t aPriority) override;
  // Interface families only (their control interfaces declare them).
  platform::HRESULT RegisterForPair(int8_t aPriority, const platform::TGUID& aClassID,
                                    const platform::TGUID& aInterfaceID);
  platform::HRESULT RegisterForInterface(int8_t aPriority, const platform::TGUID& aInterfaceID);

  const platform::TGUID& ID() const noexcept { return fcID; }
  typename F::Factory* Factory() const noexcept { return fcFactory.Get(); }

protected:
  bool GetInterface(const platform::TGUID& iid, void** obj) noexcept override;

private:
  friend class TnxFactoryRegistry<F>;

  platform::HRESULT RegisterKey(TnxFactoryKeyKind aKind, int8_t aPriority, std::u16string aKey);
  // Under the registry's write lock.
  void DropRegistrations();

  platform::TGUID fcID;
  std::u16string fcIDText;
  platform::TInterfacePtr<typename F::Factory> fcFactory;
  platform::TInterfacePtr<TnxFactoryRegistry<F>> fcRegistry;
  // Per key kind: the keys this control registered, each with its priority.
  std::array<std::map<std::u16string, int8_t>, 3> fcRegLists;
  int32_t fcRegGeneric = kNoGeneric;
};

// The control of a class factory: its registration is the entry under its
// class ID, which Unregister removes.
class TnxClassFactoryControl final : public TnxInterfacedObject, public InxClassFactoryControl {
public:
  TnxClassFactoryControl(TnxFactoryRegistry<TnxClassFactoryFamily>* aRegistry, const platform::TGUID& aClassID,
                         InxClassFactory* aClassFactory);
  ~TnxClassFactoryControl() override;

  // S_FALSE when no longer registered.
  platform::HRESULT Unregister() override;
  // E_NOINTERFACE when the factory has no hook.
  platform::HRESULT InvokeFactoryHook() override;

  const platform::TGUID& ID() const noexcept { return cfcClassID; }
  InxClassFactory* Factory() const noexcept { return cfcClassFactory.Get(); }

protected:
  bool GetInterface(const platform::TGUID& iid, void** obj) noexcept override;

private:
  // Counted, as in the other families: a control released after the
  // shut-down dropped the process's reference must still find its registry.
  platform::TInterfacePtr<TnxFactoryRegistry<TnxClassFactoryFamily>> cfcRegistry;
  platform::TGUID cfcClassID;
  std::u16string cfcIDText;
  platform::TInterfacePtr<InxClassFactory> cfcClassFactory;
  bool cfcRegistered = false;
};

template <class F>
class TnxFactoryRegistry : public TnxInterfacedObject, public F::Registry {
public:
  using Control = std::conditional_t<F::kKeyed, TnxKeyedFactoryControl<F>, TnxClassFactoryControl>;

  TnxFactoryRegistry() = default;

  platform::HRESULT Register(const platform::TGUID& aID, typename F::Factory* aFactory,
                             platform::TInterfacePtr<typename F::Control>& aControl);
  // aInterfaceID is not looked at in class families.
  platform::HRESULT Enumerate(const platform::TGUID& aClassID, const platform::TGUID& aInterfaceID,
                              std::span<platform::TGUID> aIDs, int32_t& aFound);
  platform::HRESULT Select(const platform::TGUID& aClassID, const platform::TGUID& aInterfaceID,
                           std::span<const platform::TGUID> aCandidates, platform::TGUID& aID);
  // The factory registered under aID (with a reference), null when none.
  platform::TInterfacePtr<typename F::Factory> FactoryOf(const platform::TGUID& aID);

protected:
  ~TnxFactoryRegistry() override = default;
  bool GetInterface(const platform::TGUID& iid, void** obj) noexcept override;

  TnxInternalReadWritePortal frPortal;
  // ID text to control; the control is not counted here.
  std::map<std::u16string, Control*> frFactories;

private:
  friend class TnxKeyedFactoryControl<F>;
  friend class TnxClassFactoryControl;

  static constexpr int kPriorities = nxMaxFactoryPriority - nxMinFactoryPriority + 1;
  struct TPrioritySlot {
    // Per key kind: key text to the controls registered for it here.
    std::array<std::map<std::u16string, std::vector<Control*>>, 3> psKeyed;
    std::vector<Control*> psGeneric;
  };

  platform::HRESULT Supports(Control& aControl, const platform::TGUID& aClassID, const platform::TGUID& aInterfaceID);
  bool RegisteredFor(const Control& aControl, const platform::TGUID& aClassID, const platform::TGUID& aInterfaceID);

  std::array<TPrioritySlot, kPriorities> frRegistry;
};

class TnxClassFactoryRegistry final : public TnxFactoryRegistry<TnxClassFactoryFamily> {
public:
  platform::HRESULT CreateInstance(const platform::TGUID& aClassID, platform::IInterface* aOuter,
                                   const platform::TGUID& aInterfaceID,
                                   platform::TInterfacePtr<platform::IInterface>& aInterface) override;
  platform::HRESULT RegisterClassFactory(const platform::TGUID& aClassID, InxClassFactory* aClassFactory,
                                         platform::TInterfacePtr<InxClassFactoryControl>& aControl) override {
    return Register(aClassID, aClassFactory, aControl);
  }
  platform::HRESULT InvokeFactoryHooks() override;
};

class TnxClassStubFactoryRegistry final : public TnxFactoryRegistry<TnxClassStubFactoryFamily> {
public:
  platform::HRESULT RegisterClassStubFactory(const platform::TGUID& aClassStubID, InxClassStubFactory* aFactory,
                                             platform::TInterfacePtr<InxClassStubFactoryControl>& aControl) override {
    return Register(aClassStubID, aFactory, aControl);
  }
  platform::HRESULT EnumClassStubFactories(const platform::TGUID& aClassID, std::span<platform::TGUID> aIDs,
                                           int32_t& aFound) override {
    return Enumerate(aClassID, platform::GUID_NULL, aIDs, aFound);
  }
  platform::HRESULT SelectClassStubFactory(const platform::TGUID& aClassID,
                                           std::span<const platform::TGUID> aCandidates,
                                           platform::TGUID& aClassStubID) override {
    return Select(aClassID, platform::GUID_NULL, aCandidates, aClassStubID);
  }
  platform::HRESULT CreateClassStub(const platform::TGUID& aClassStubID, const platform::TGUID& aClassID,
                                    platform::IInterface* aObject,
                                    platform::TInterfacePtr<InxClassStub>& aClassStub) override;
  platform::HRESULT FindClassStub(const platform::TGUID& aClassStubID, const platform::TGUID& aInstanceID,
                                  platform::TInterfacePtr<InxClassStub>& aClassStub) override;
  platform::HRESULT FindClassStubForObject(platform::IInterface* aObject,
                                           platform::TInterfacePtr<InxClassStub>& aClassStub) override;
};

class TnxInterfaceStubFactoryRegistry final : public TnxFactoryRegistry<TnxInterfaceStubFactoryFamily> {
public:
  platform::HRESULT RegisterInterfaceStubFactory(
      const platform::TGUID& aStubID, InxInterfaceStubFactory* aFactory,
      platform::TInterfacePtr<InxInterfaceStubFactoryControl>& aControl) override {
    return Register(aStubID, aFactory, aControl);
  }
  platform::HRESULT EnumInterfaceStubFactories(const platform::TGUID& aClassID, const platform::TGUID& aInterfaceID,
                                               std::span<platform::TGUID> aIDs, int32_t& aFound) override {
    return Enumerate(aClassID, aInterfaceID, aIDs, aFound);
  }
  platform::HRESULT SelectInterfaceStubFactory(const platform::TGUID& aClassID, const platform::TGUID& aInterfaceID,
                                               std::span<const platform::TGUID> aCandidates,
                                               platform::TGUID& aStubID) override {
    return Select(aClassID, aInterfaceID, aCandidates, aStubID);
  }
  platform::HRESULT CreateInterfaceStub(const platform::TGUID& aStubID, const platform::TGUID& aClassID,
                                        const platform::TGUID& aInterfaceID, platform::IInterface* aInterface,
                                        platform::TInterfacePtr<InxInterfaceStub>& aStub) override;
};

class TnxClassProxyFactoryRegistry final : public TnxFactoryRegistry<TnxClassProxyFactoryFamily> {
public:
  platform::HRESULT RegisterClassProxyFactory(const platform::TGUID& aClassProxyID, InxClassProxyFactory* aFactory,
                                              platform::TInterfacePtr<InxClassProxyFactoryControl>& aControl) override {
    return Register(aClassProxyID, aFactory, aControl);
  }
  platform::HRESULT EnumClassProxyFactories(const platform::TGUID& aClassID, std::span<platform::TGUID> aIDs,
                                            int32_t& aFound) override {
    return Enumerate(aClassID, platform::GUID_NULL, aIDs, aFound);
  }
  platform::HRESULT CreateClassProxy(platform::IInterface* aOuter, const platform::TGUID& aClassProxyID,
                                     InxChannelEntrance* aChannel, const platform::TGUID& aClassID,
                                     const TnxRoutingPath& aPath, InxReader* aReader,
                                     platform::TInterfacePtr<InxClassProxy>& aClassProxy) override;
};

class TnxInterfaceProxyFactoryRegistry final : public TnxFactoryRegistry<TnxInterfaceProxyFactoryFamily> {
public:
  platform::HRESULT RegisterInterfaceProxyFactory(
      const platform::TGUID& aProxyID, InxInterfaceProxyFactory* aFactory,
      platform::TInterfacePtr<InxInterfaceProxyFactoryControl>& aControl) override {
    return Register(aProxyID, aFactory, aControl);
  }
  platform::HRESULT EnumInterfaceProxyFactories(const platform::TGUID& aClassID, const platform::TGUID& aInterfaceID,
                                                std::span<platform::TGUID> aIDs, int32_t& aFound) override {
    return Enumerate(aClassID, aInterfaceID, aIDs, aFound);
  }
  platform::HRESULT CreateInterfaceProxy(const platform::TGUID& aProxyID, const platform::TGUID& aClassID,
                                         const platform::TGUID& aInterfaceID, InxClassProxy* aClassProxy,
                                         InxReader* aReader,
                                         platform::TInterfacePtr<InxInterfaceProxy>& aProxy) override;
};

extern template class TnxKeyedFactoryControl<TnxClassStubFactoryFamily>;
extern template class TnxKeyedFactoryControl<TnxInterfaceStubFactoryFamily>;
extern template class TnxKeyedFactoryControl<TnxClassProxyFactoryFamily>;
extern template class TnxKeyedFactoryControl<TnxInterfaceProxyFactoryFamily>;
extern template class TnxFactoryRegistry<TnxClassFactoryFamily>;
extern template class TnxFactoryRegistry<TnxClassStubFactoryFamily>;
extern template class TnxFactoryRegistry<TnxInterfaceStubFactoryFamily>;
extern template class TnxFactoryRegistry<TnxClassProxyFactoryFamily>;
extern template class TnxFactoryRegistry<TnxInterfaceProxyFactoryFamily>;

}  // namespace revurov
