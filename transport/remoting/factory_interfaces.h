// The factories that make remoting objects, the controls by which a
// registered factory says what it serves, and the registries that find them.
//
// Contract (every operation answers an HRESULT; out parameters are cleared
// on entry):
// - Register<Family>Factory: CO_E_OBJISREG when the ID is taken,
//   E_INVALIDARG for a nil factory, else S_OK with the factory's control.
// - A control registers its factory for keys (a class, an interface or a
//   class-interface pair) or generic, each at a priority from -5 to 5
//   (E_INVALIDARG outside); the same key or a second generic registration
//   gives CO_E_OBJISREG. Unregister drops every key and the generic entry.
//   The registration under the ID lasts while the control lives.
// - Enum<Family>Factories offers each control whose factory Supports the
//   key once, at its lowest priority, priorities ascending and, within one,
//   pair keys, class keys, interface keys, then generic. An empty aIDs only
//   counts; otherwise up to aIDs.size() IDs are copied and a further match
//   ends the walk with S_FALSE. E_NOINTERFACE when nothing matched.
// - Select<Family>Factory: the first registered candidate decides: S_FALSE
//   when it is not registered for the key, else its factory's Supports
//   answer (the ID returned on S_OK). E_NOINTERFACE when none is
//   registered.
// - Create operations: CO_E_OBJNOTREG for an unknown ID, else the
//   factory's answer; the factory is called outside the registry's lock,
//   so it may register and unregister.
#pragma once

#include <cstdint>
#include <span>

#include "lowlevel/objects/utils_system.h"
#include "platform/guid.h"
#include "platform/interface.h"
#include "transport/remoting/remoting_interfaces.h"
#include "transport/remoting/remoting_types.h"

namespace revurov {

// --- factories -----------------------------------------------------------------

class InxClassFactory : public virtual platform::IInterface {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{4470B7A4-7E67-4013-ACDC-2C59E479141D}");
  virtual platform::HRESULT CreateInstance(platform::IInterface* aOuter, const platform::TGUID& aInterfaceID,
                                           platform::TInterfacePtr<platform::IInterface>& aInterface) = 0;
};

// A class factory may offer this; the class factory registry's
// InvokeFactoryHooks calls its second operation. No factory of the library
// implements it.
class InxClassFactoryHook : public virtual platform::IInterface {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{9642CAEA-DC51-40F5-AE1F-FD3A7EE6E2AB}");
  virtual platform::HRESULT FirstHook() = 0;
  virtual platform::HRESULT SecondHook() = 0;
};

class InxClassStubFactory : public virtual platform::IInterface {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{75522482-ED0E-4947-99CA-A644BBA6E4CB}");
  // S_OK: the factory serves the class; anything else: it does not.
  virtual platform::HRESULT Supports(const platform::TGUID& aClassID) = 0;
  virtual platform::HRESULT CreateStub(const platform::TGUID& aClassID, platform::IInterface* aObject,
                                       platform::TInterfacePtr<InxClassStub>& aStub) = 0;
  virtual platform::HRESULT FindInstance(const platform::TGUID& aInstanceID,
                                         platform::TInterfacePtr<InxClassStub>& aStub) = 0;
  virtual platform::HRESULT FindStub(platform::IInterface* aObject, platform::TInterfacePtr<InxClassStub>& aStub) = 0;
};

class InxInterfaceStubFactory : public virtual platform::IInterface {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{98307AA5-9CB6-472E-A0E9-BFC2BEBEC840}");
  virtual platform::HRESULT Supports(const platform::TGUID& aClassID, const platform::TGUID& aInterfaceID) = 0;
  virtual platform::HRESULT CreateStub(const platform::TGUID& aClassID, const platform::TGUID& aInterfaceID,
                                       platform::IInterface* aInterface,
                                       platform::TInterfacePtr<InxInterfaceStub>& aStub) = 0;
};

class InxClassProxyFactory : public virtual platform::IInterface {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{DC2AC823-39F6-4F59-9A34-B445514E49A3}");
  virtual platform::HRESULT Supports(const platform::TGUID& aClassID) = 0;
  virtual platform::HRESULT CreateProxy(platform::IInterface* aOuter, InxChannelEntrance* aChannel,
                                        const platform::TGUID& aClassID, const TnxRoutingPath& aPath,
                                        InxReader* aReader, platform::TInterfacePtr<InxClassProxy>& aProxy) = 0;
};

class InxInterfaceProxyFactory : public virtual platform::IInterface {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{4C90607B-C41A-40E4-AE93-6A4AF3C57DA4}");
  virtual platform::HRESULT Supports(const platform::TGUID& aClassID, const platform::TGUID& aInterfaceID) = 0;
  virtual platform::HRESULT CreateProxy(const platform::TGUID& aProxyID, const platform::TGUID& aClassID,
                                        const platform::TGUID& aInterfaceID, InxClassProxy* aClassProxy,
                                        InxReader* aReader, platform::TInterfacePtr<InxInterfaceProxy>& aProxy) = 0;
};

// --- controls ------------------------------------------------------------------

class InxFactoryControl : public virtual platform::IInterface {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{5D181EA6-888A-4314-AB3A-0F496854CD69}");
  virtual platform::HRESULT Unregister() = 0;
};

class InxClassFactoryControl : public InxFactoryControl {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{CA98630F-A76E-41C9-B384-A675D2E0CBFA}");
  virtual platform::HRESULT InvokeFactoryHook() = 0;
};

// The operations of the class-keyed families' controls.
class InxClassKeyedControl : public InxFactoryControl {
public:
  virtual platform::HRESULT RegisterForClass(int8_t aPriority, const platform::TGUID& aClassID) = 0;
  virtual platform::HRESULT RegisterGeneric(int8_t aPriority) = 0;
};

// The operations of the interface-keyed families' controls.
class InxInterfaceKeyedControl : public InxFactoryControl {
public:
  virtual platform::HRESULT RegisterForPair(int8_t aPriority, const platform::TGUID& aClassID,
                                            const platform::TGUID& aInterfaceID) = 0;
  virtual platform::HRESULT RegisterForClass(int8_t aPriority, const platform::TGUID& aClassID) = 0;
  virtual platform::HRESULT RegisterForInterface(int8_t aPriority, const platform::TGUID& aInterfaceID) = 0;
  virtual platform::HRESULT RegisterGeneric(int8_t aPriority) = 0;
};

class InxClassStubFactoryControl : public InxClassKeyedControl {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{C41D7924-CA15-4DCB-A9DE-872C502E3993}");
};

class InxClassProxyFactoryControl : public InxClassKeyedControl {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{7267EDBB-2630-4537-986F-991BEF887D95}");
};

class InxInterfaceStubFactoryControl : public InxInterfaceKeyedControl {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{B01985D3-79F7-429E-A29A-4022832B81EB}");
};

class InxInterfaceProxyFactoryControl : public InxInterfaceKeyedControl {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{A39DFEF6-14DC-438C-AADB-AAA7416C3EE5}");
};

// --- registries ----------------------------------------------------------------

class InxClassFactoryRegistry : public InxClassActivator {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{54F6F091-45F0-4E16-8788-170EA7385BA4}");
  virtual platform::HRESULT RegisterClassFactory(const platform::TGUID& aClassID, InxClassFactory* aClassFactory,
                                                 platform::TInterfacePtr<InxClassFactoryControl>& aControl) = 0;
  // Under the registry's write lock, each factory's hook in ID order; the
  // first failure ends the walk and is the answer, else the last answer.
  virtual platform::HRESULT InvokeFactoryHooks() = 0;
};

class InxClassStubFactoryRegistry : public virtual platform::IInterface {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{2BA981C0-FA02-45B8-AA8C-6EBF7CA614E4}");
  virtual platform::HRESULT RegisterClassStubFactory(const platform::TGUID& aClassStubID, InxClassStubFactory* aFactory,
                                                     platform::TInterfacePtr<InxClassStubFactoryControl>& aControl) = 0;
  virtual platform::HRESULT EnumClassStubFactories(const platform::TGUID& aClassID, std::span<platform::TGUID> aIDs,
                                                   int32_t& aFound) = 0;
  virtual platform::HRESULT SelectClassStubFactory(const platform::TGUID& aClassID,
                                                   std::span<const platform::TGUID> aCandidates,
                                                   platform::TGUID& aClassStubID) = 0;
  // E_INVALIDARG without an object.
  virtual platform::HRESULT CreateClassStub(const platform::TGUID& aClassStubID, const platform::TGUID& aClassID,
                                            platform::IInterface* aObject,
                                            platform::TInterfacePtr<InxClassStub>& aClassStub) = 0;
  virtual platform::HRESULT FindClassStub(const platform::TGUID& aClassStubID, const platform::TGUID& aInstanceID,
                                          platform::TInterfacePtr<InxClassStub>& aClassStub) = 0;
  // Asks each factory in the order of their IDs' text; the first answer
  // that is not a failure wins, else CO_E_OBJNOTREG.
  virtual platform::HRESULT FindClassStubForObject(platform::IInterface* aObject,
                                                   platform::TInterfacePtr<InxClassStub>& aClassStub) = 0;
};

class InxInterfaceStubFactoryRegistry : public virtual platform::IInterface {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{2E88AFBF-2F7B-4685-B16B-06E48FA54CEC}");
  virtual platform::HRESULT RegisterInterfaceStubFactory(
      const platform::TGUID& aStubID, InxInterfaceStubFactory* aFactory,
      platform::TInterfacePtr<InxInterfaceStubFactoryControl>& aControl) = 0;
  virtual platform::HRESULT EnumInterfaceStubFactories(const platform::TGUID& aClassID,
                                                       const platform::TGUID& aInterfaceID,
                                                       std::span<platform::TGUID> aIDs, int32_t& aFound) = 0;
  virtual platform::HRESULT SelectInterfaceStubFactory(const platform::TGUID& aClassID,
                                                       const platform::TGUID& aInterfaceID,
                                                       std::span<const platform::TGUID> aCandidates,
                                                       platform::TGUID& aStubID) = 0;
  // E_INVALIDARG without an interface.
  virtual platform::HRESULT CreateInterfaceStub(const platform::TGUID& aStubID, const platform::TGUID& aClassID,
                                                const platform::TGUID& aInterfaceID, platform::IInterface* aInterface,
                                                platform::TInterfacePtr<InxInterfaceStub>& aStub) = 0;
};

class InxClassProxyFactoryRegistry : public virtual platform::IInterface {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{0DEF7E99-20F9-4179-B358-FDDB02B10777}");
  virtual platform::HRESULT RegisterClassProxyFactory(const platform::TGUID& aClassProxyID,
                                                      InxClassProxyFactory* aFactory,
                                                      platform::TInterfacePtr<InxClassProxyFactoryControl>& aControl) = 0;
  virtual platform::HRESULT EnumClassProxyFactories(const platform::TGUID& aClassID, std::span<platform::TGUID> aIDs,
                                                    int32_t& aFound) = 0;
  virtual platform::HRESULT CreateClassProxy(platform::IInterface* aOuter, const platform::TGUID& aClassProxyID,
                                             InxChannelEntrance* aChannel, const platform::TGUID& aClassID,
                                             const TnxRoutingPath& aPath, InxReader* aReader,
                                             platform::TInterfacePtr<InxClassProxy>& aClassProxy) = 0;
};

class InxInterfaceProxyFactoryRegistry : public virtual platform::IInterface {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{2684775A-9297-48BE-8ADB-BC01192337A6}");
  virtual platform::HRESULT RegisterInterfaceProxyFactory(
      const platform::TGUID& aProxyID, InxInterfaceProxyFactory* aFactory,
      platform::TInterfacePtr<InxInterfaceProxyFactoryControl>& aControl) = 0;
  virtual platform::HRESULT EnumInterfaceProxyFactories(const platform::TGUID& aClassID,
                                                        const platform::TGUID& aInterfaceID,
                                                        std::span<platform::TGUID> aIDs, int32_t& aFound) = 0;
  virtual platform::HRESULT CreateInterfaceProxy(const platform::TGUID& aProxyID, const platform::TGUID& aClassID,
                                                 const platform::TGUID& aInterfaceID, InxClassProxy* aClassProxy,
                                                 InxReader* aReader,
                                                 platform::TInterfacePtr<InxInterfaceProxy>& aProxy) = 0;
};

// The process-wide registries, made on first use (one wins a race).
platform::TInterfacePtr<InxClassFactoryRegistry> nxClassFactoryRegistry();
platform::TInterfacePtr<InxClassStubFactoryRegistry> nxClassStubFactoryRegistry();
platform::TInterfacePtr<InxInterfaceStubFactoryRegistry> nxInterfaceStubFactoryRegistry();
platform::TInterfacePtr<InxClassProxyFactoryRegistry> nxClassProxyFactoryRegistry();
platform::TInterfacePtr<InxInterfaceProxyFactoryRegistry> nxInterfaceProxyFactoryRegistry();
// Drops the process's references to the five registries (shut-down); a
// registry lives on while a control of it does.
void nxReleaseFactoryRegistries() noexcept;

}  // namespace revurov
