// The library's component base: links between components (the dependents)
// with notifications, iteration and broadcast over everything linked,
// display name and category, component identifiers, the registry of
// registerable component classes and the component exception family.
//
// Contract:
// - Links are symmetric (`LinkDependent`); a component going away tells every
//   linked component (notification 1), each of which drops the link, so no
//   component is left holding a freed one. Free components with
//   `TComponent::Free` or nxFreeAndNil so that the before-destruction step
//   runs while the object is whole.
// - Notifications run on the caller's thread over a snapshot of the sender's
//   dependents, taken under the list's padlock but called without it, so two
//   linked components notifying each other on two threads cannot deadlock.
//   When a callee links or unlinks (the list's generation moves), the walk
//   restarts from the new last entry, skipping those already notified. A
//   component going away waits for calls into it that other threads' walks
//   have already begun.
// - Class names in messages come from the class records, never from typeid.
#pragma once

#include <atomic>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "lowlevel/errors/exceptions.h"
#include "lowlevel/heap/memory_manager.h"
#include "lowlevel/objects/interfaced_object.h"
#include "lowlevel/objects/lists.h"
#include "lowlevel/streams/exception_data.h"
#include "lowlevel/streams/tagged_stream.h"
#include "lowlevel/sync/padlock.h"
#include "platform/rtl_component.h"
#include "platform/string_list.h"
#include "platform/variant.h"

namespace revurov {

class TnxComponent;

// ---- exceptions ----

// Raised for a component: "RevurOV: <name>: <message> [$<hex>/<dec>]" or
// "... [no error code]". The name is the component's, "<unnamed <class>
// instance>" when empty, "<nil pointer>" without a component. The code-only
// form takes the text of this thread's last conversion of the same code when
// there is one, else the code's own text. The base's forms (no component)
// stay available.
class EnxComponentException : public EnxBaseException {
public:
  using EnxBaseException::EnxBaseException;
  EnxComponentException(const TnxComponent* aComponent, int64_t aErrorCode);
  EnxComponentException(const TnxComponent* aComponent, int64_t aErrorCode,
                        std::u16string_view aAltMsg);
  EnxComponentException(const TnxComponent* aComponent, int64_t aErrorCode,
                        std::u16string_view aAltMsg, std::initializer_list<FormatArg> aArgs);
  EnxComponentException(const TnxComponent* aComponent, std::u16string_view aMsg);
  EnxComponentException(const TnxComponent* aComponent, std::u16string_view aMsg,
                        std::initializer_list<FormatArg> aArgs);

  std::u16string_view ClassName() const noexcept override { return u"EnxComponentException"; }
  // The component's name as the message shows it.
  static std::u16string ComponentName(const TnxComponent* aComponent);

private:
  void NameComponent(const TnxComponent* aComponent);
};

// A class of the component exception family, as a component names it for
// its errors: raising one turns a built EnxComponentException into it.
struct TnxComponentExceptionClass {
  std::u16string_view Name;
  [[noreturn]] void (*Raise)(const EnxComponentException& aBuilt);
};

template <class E>
const TnxComponentExceptionClass& nxComponentExceptionClass() noexcept {
  static const TnxComponentExceptionClass record{
      E::StaticClassName, [](const EnxComponentException& aBuilt) -> void { throw E(aBuilt); }};
  return record;
}

// Declares a class of the component exception family.
#define REVUROV_COMPONENT_EXCEPTION_CLASS(Name, Base)                                        \
  class Name : public Base {                                                                 \
  public:                                                                                    \
    using Base::Base;                                                                        \
    static constexpr std::u16string_view StaticClassName = u"" #Name;                        \
    explicit Name(const ::revurov::EnxComponentException& aBuilt) : Base(aBuilt) {}          \
    std::u16string_view ClassName() const noexcept override { return StaticClassName; }      \
  }

// EnxComponentException's own record.
template <>
inline const TnxComponentExceptionClass& nxComponentExceptionClass<EnxComponentException>() noexcept {
  static const TnxComponentExceptionClass record{
      u"EnxComponentException",
      [](const EnxComponentException& aBuilt) -> void { throw EnxComponentException(aBuilt); }};
  return record;
}

REVUROV_COMPONENT_EXCEPTION_CLASS(EnxRegisterableComponentException, EnxComponentException);

// ---- notifications ----

using TnxNotifyOp = int32_t;
inline constexpr TnxNotifyOp nxn_Destroying = 1;
inline constexpr TnxNotifyOp nxn_StateChanging = 4;
inline constexpr TnxNotifyOp nxn_StateChanged = 5;
inline constexpr TnxNotifyOp nxn_Iteration = 6;
inline constexpr TnxNotifyOp nxn_Broadcast = 9;

// Components sorted by display name (compared without case by the locale),
// ties by address. `Add` takes an item only when `Accept` agrees; -1
// otherwise.
class TnxIterationList : public TnxSortedList {
public:
  int32_t Add(void* aItem) override;
  bool Contains(const TnxComponent* aComponent);
  TnxComponent* Items(int aIndex) const { return static_cast<TnxComponent*>(blGet(aIndex)); }
  int8_t Compare(void* aItem1, void* aItem2) override;

protected:
  virtual bool Accept(TnxComponent* aComponent);
};
using TnxIterationListFactory = std::unique_ptr<TnxIterationList> (*)();

// Class names given by callers; kept as a sorted list compared without case
// while a walk runs.
using TnxClassNameList = std::vector<std::u16string>;

struct TnxIterationData {
  TnxIterationList* IteratonList = nullptr;
  const platform::TStringList* IgnoreIterateClasses = nullptr;  // none when null
};

struct TnxBroadcastData : TnxIterationData {
  TnxComponent* bdSender = nullptr;
  TnxNotifyOp bdNotifyOp = 0;
  void* bdParam = nullptr;
};

// ---- settings and configuration ----

enum TnxSettingType : uint8_t {
  nxstString = 0,
  nxstInteger = 1,
  nxstBoolean = 2,
  nxstStream = 3,
  nxstList = 4,
  nxstThreadPriority = 5,
  nxstSingleOption = 6,
  nxstMultiOption = 7,
  nxstAliases = 8,
  nxstUsers = 9,
  nxstExtended = 10,
  nxstPasswordString = 11,
  nxstCaption = 12,
  nxstMemo = 13,
  nxstPasswordMemo = 14,
};

// One describable setting, for an administration front end.
class TnxBaseSetting : public TnxObject {
public:
  TnxBaseSetting() = default;
  TnxBaseSetting(std::u16string aName, TnxSettingType aType, platform::TnxVariant aDefaultValue,
                 std::u16string aPropertyName, std::u16string aHint = {});

  bool fEnforceValues = false;
  platform::TnxVariant fDefaultValue;
  platform::TnxVariant fMin;
  platform::TnxVariant fMax;
  std::u16string fValueList;
  std::u16string fPropertyName;
  std::u16string fName;
  std::u16string fHint;
  TnxSettingType fSettingType = nxstString;
  std::u16string fLabel;
  bool fHideFromGUI = false;
  bool fNotQueryable = false;

  // fLabel, else fName with a blank before every later capital A-Z.
  std::u16string Label() const;
};

// A collection of settings; every operation is abstract here.
class TnxBaseSettings : public TnxObject {
public:
  virtual TnxBaseSetting* GetSetting(int aIndex);
  virtual void SetSetting(int aIndex, TnxBaseSetting* aValue);
  // Keeps the setting; returns it.
  virtual TnxBaseSetting* AddSetting(std::unique_ptr<TnxBaseSetting> aSetting);
  virtual void RemoveSetting(int aIndex);
};

class TnxBaseServerConfiguration;

// The stored configuration of one component. The base stores nothing:
// GetValue answers an unassigned variant.
class TnxBaseComponentConfiguration : public TnxObject {
public:
  explicit TnxBaseComponentConfiguration(TnxBaseServerConfiguration* aConfig) : fConfig(aConfig) {}
  virtual platform::TnxVariant GetValue(std::u16string_view aName,
                                        const platform::TnxVariant& aDefault);
  virtual void SetValue(std::u16string_view aName, const platform::TnxVariant& aValue);
  virtual void GetValueStream(std::u16string_view aName, platform::TStream& aStream);
  virtual void SetValueStream(std::u16string_view aName, platform::TStream& aStream);
  TnxBaseServerConfiguration* Config() const noexcept { return fConfig; }

protected:
  TnxBaseServerConfiguration* fConfig;
};

// A configuration store (a server's configuration file).
class TnxBaseServerConfiguration : public TnxObject {
public:
  explicit TnxBaseServerConfiguration(std::u16string aFileName) : fFileName(std::move(aFileName)) {}
  virtual void EnsureComponentConfiguration(std::u16string_view aComponentName,
                                            TnxBaseSettings& aSettings) = 0;
  virtual TnxBaseComponentConfiguration* GetComponentConfiguration(
      std::u16string_view aComponentName) = 0;
  virtual void Save() = 0;

  bool fReportErrors = false;
  std::u16string fFileName;
  std::u16string fConfigErrors;
};

// A 64-bit integer with the locale's thousands separators, no decimals.
std::u16string nxFormatGrouped(int64_t aValue);

// ---- component information ----

// The class identifier under which nxcCreateInstance makes a component's
// information object.
inline constexpr TGUID nxComponentInfoClassID = platform::nxGuid("{9A00537F-49C8-456A-8770-E2143749D2FC}");
inline constexpr HRESULT nxE_NOTIMPL = HRESULT(0x80004001u);

class InxComponentInfo31000 : public virtual IInterface {
public:
  static constexpr TGUID IID = platform::nxGuid("{62C02ED7-4544-43EC-A717-8E8DB13A0062}");
  virtual std::u16string GetClassName() = 0;
  virtual std::u16string GetName() = 0;
  virtual std::u16string GetDisplayName() = 0;
  virtual std::u16string GetDisplayCategory() = 0;
  virtual std::vector<std::u16string> GetStatsCaptions() = 0;
  virtual std::vector<std::u16string> GetStatsValues() = 0;
};

class InxComponentInfoDisconnect : public virtual IInterface {
public:
  static constexpr TGUID IID = platform::nxGuid("{FC7190C6-1D67-4DB0-84D2-3ED4F22D8DEA}");
  // Forgets the component; later calls answer empty values.
  virtual void Disconnect() = 0;
};

// A component's information object, for remote administration. It keeps
// its component without owning it; the component disconnects it when going
// away, and a call under way finishes first, so no call reaches a freed
// component.
class TnxComponentInfo : public TnxInterfacedObject,
                         public InxComponentInfo31000,
                         public InxComponentInfoDisconnect {
public:
  explicit TnxComponentInfo(TnxComponent* aComponent) : ciComponent(aComponent) {}

  std::u16string GetClassName() override;
  std::u16string GetName() override;
  std::u16string GetDisplayName() override;
  std::u16string GetDisplayCategory() override;
  std::vector<std::u16string> GetStatsCaptions() override;
  std::vector<std::u16string> GetStatsValues() override;
  void Disconnect() override;

protected:
  bool GetInterface(const TGUID& iid, void** obj) noexcept override;
  // Runs aRead on the component under the object's lock; aEmpty without one.
  template <class R, class F>
  R WithComponent(R aEmpty, F aRead) {
    TnxPadlockGuard guard(ciLock);
    return ciComponent ? aRead(ciComponent) : aEmpty;
  }

private:
  TnxPadlock ciLock;
  TnxComponent* ciComponent;
};

// Follows "4.7501 " in a component's Version.
inline constexpr std::u16string_view nxBuildDescription = u"RevurOV (Linux x86-64)";

// ---- the component base ----

class TnxComponent : public platform::TComponent, public TnxObject, public InxExceptionData {
  REVUROV_COMPONENT_CLASS(TnxComponent, platform::TComponent)
  explicit TnxComponent(platform::TComponent* aOwner);
  ~TnxComponent() override;

  // Instances live on the library heap.
  static void* operator new(std::size_t aSize);
  static void operator delete(void* aPointer) noexcept;

  // Tells the linked components that this one goes away, then runs the
  // platform's step.
  void BeforeDestruction() override;

  // Errors.
  virtual const TnxComponentExceptionClass& GetExceptionClass() const;
  void CheckError(uint32_t aErrorCode) const;
  [[noreturn]] void RaiseError(int64_t aErrorCode) const;
  [[noreturn]] void RaiseError(std::u16string_view aMsg) const;
  [[noreturn]] void RaiseError(std::u16string_view aMsg, std::initializer_list<FormatArg> aArgs) const;
  [[noreturn]] void RaiseError(int64_t aErrorCode, std::u16string_view aAltMsg) const;
  [[noreturn]] void RaiseError(int64_t aErrorCode, std::u16string_view aAltMsg,
                               std::initializer_list<FormatArg> aArgs) const;

  // Links.
  virtual void AddDependent(TnxComponent* aComponent);
  virtual void RemoveDependent(TnxComponent* aComponent);
  static void LinkDependent(TnxComponent* a, TnxComponent* b);
  static void UnlinkDependent(TnxComponent* a, TnxComponent* b);
  int DependentCount() const;
  bool HasDependent(const TnxComponent* aComponent) const;
  bool DestroyingNotified() const noexcept { return nxcDestroying.load(); }

  // Notifications.
  virtual void DependentNotify(TnxComponent* aSender, TnxNotifyOp aOp, void* aData);
  virtual void NotifyDependents(TnxNotifyOp aOp, void* aData, TnxComponent* aExclude = nullptr);
  virtual void BroadcastToDependents(TnxNotifyOp aOp, void* aData,
                                     const TnxClassNameList& aIgnoreClasses = {});
  // A new list of this component and everything reachable through links,
  // not going past the ignored classes.
  std::unique_ptr<TnxIterationList> IterateDependents(TnxIterationListFactory aListClass = nullptr);
  std::unique_ptr<TnxIterationList> IterateDependentsEx(const TnxClassNameList& aIgnoreClasses,
                                                        TnxIterationListFactory aListClass = nullptr);

  // Names and identity.
  std::u16string DisplayName() const;
  void SetDisplayName(std::u16string_view aValue);
  bool DisplayNameStored() const noexcept { return !nxcDisplayName.empty(); }
  const std::u16string& DisplayCategory() const noexcept { return nxcDisplayCategory; }
  void SetDisplayCategory(std::u16string aValue) { nxcDisplayCategory = std::move(aValue); }
  std::u16string Version() const;
  void SetVersion(std::u16string_view) noexcept {}
  intptr_t GetComponentID() const noexcept { return reinterpret_cast<intptr_t>(this); }
  // The live component of an identifier; fails with "Invalid ComponentID"
  // for anything else (freed, never a component, being destroyed).
  static TnxComponent* LookupByComponentID(intptr_t aID);
  virtual bool Supported() const { return true; }
  // The first registered class named <class name><suffix> for this class or
  // an ancestor; null when none.
  virtual const platform::TComponentClass* FindClassRecursive(std::u16string_view aSuffix) const;

  // The component's information object, new on each call (the class fitting
  // the component: component, loggable or state component information).
  virtual TInterfacePtr<IInterface> GetComponentInfo();
  // Clears *aInterface; for the component information class identifier and
  // no outer object, answers the query of the (cached) information object
  // for aInterfaceID, else nxE_NOTIMPL.
  HRESULT nxcCreateInstance(TnxComponent* aSession, const TGUID& aClassID, IInterface* aOuter,
                            const TGUID& aInterfaceID, void** aInterface);
  // A weak reference that answers IsAlive false once the component is gone.
  TInterfacePtr<InxLifetimeMonitorRef> GetLifetimeMonitor();

  // Exception data: address, class, stored display name, category and the
  // statistics as a "Stats" container.
  void GetExceptionData(InxExceptionDataContainer& aContainer, bool aFlag) override;

  // Configuration: the settings this component offers, loading and saving
  // them from and to a store. DoLoadConfig loads, then fires
  // OnSettingsLoaded.
  virtual void GetConfigSettings(TnxBaseSettings& aSettings);
  virtual void LoadConfig(TnxBaseComponentConfiguration& aConfig);
  virtual void SaveConfig(TnxBaseComponentConfiguration& aConfig);
  void DoLoadConfig(TnxBaseComponentConfiguration& aConfig);
  std::function<void(TnxComponent* aSender)> nxcOnSettingsLoaded;

  // Settings and statistics. A settings stream holds each class's part after
  // its parent's, each beginning with its own version; a version this code
  // does not know fails with 15498 "Incompatible stream".
  virtual void LoadSettingsFromStream(TnxReader& aReader);
  virtual void SaveSettingsToStream(TnxWriter& aWriter);
  virtual bool UISettingsVisible() const { return true; }
  bool UIStatsVisible() const;
  // Append captions and the matching values.
  virtual void GetStatsCaptions(platform::TStringList& aList) const;
  virtual void GetStatsValues(platform::TStringList& aList) const;
  virtual void ClearStats() {}
  virtual std::u16string GetDisplayOnlyValue(std::u16string_view aValueName) const;

protected:
  // Holds the dependents list's padlock, which also guards small shared
  // flags of subclasses (a log's Enabled); Entered() is the list.
  using DependentsGuard = TnxListWriteGuard;
  TnxListSyncAccess& Dependents() const noexcept { return *nxcDependentList; }

private:
  // Drops every remaining link and waits for calls into this component that
  // other threads' walks have begun.
  void DropLinks() noexcept;

  // Tells the monitor and disconnects the information object.
  void Gone() noexcept;

  std::atomic<InxLifetimeMonitorObject*> nxcLifetimeMonitor{nullptr};
  std::atomic<IInterface*> nxcComponentInfo{nullptr};  // holds one reference
  std::unique_ptr<TnxListPadlock> nxcDependentList;  // TnxSortedList by address
  std::atomic<bool> nxcDestroying{false};
  // Calls into this component under way from walks of linked components.
  std::atomic<int32_t> nxcCallsIn{0};
  std::u16string nxcDisplayName;
  std::u16string nxcDisplayCategory;
};

// ---- registerable components ----

class TnxRegisterableComponent : public TnxComponent {
  REVUROV_COMPONENT_CLASS(TnxRegisterableComponent, TnxComponent)
  using TnxComponent::TnxComponent;

  const TnxComponentExceptionClass& GetExceptionClass() const override;

  // Class-level, on a class record: registration under the class name (a
  // second registration under one name fails), removal, lookup without case
  // and the list of registered classes derived from a class.
  static void Register(const platform::TComponentClass& aClass);
  static void Unregister(const platform::TComponentClass& aClass) noexcept;
  static const platform::TComponentClass* FindRegisteredClass(std::u16string_view aClassName);
  // Names with their class records (Objects) of every registered class
  // derived from aBase.
  static void GetRegisteredClasses(const platform::TComponentClass& aBase,
                                   platform::TStringList& aList);
};

// Settings of a group of components (version 2: each named component's
// settings as a length-prefixed block; a block of a component that is not
// in the list is skipped). Reading also takes version 1 (names, then each
// component's settings inline; a name not in the list fails with 15498).
void nxSaveSettingsToStream(TnxIterationList& aList, TnxWriter& aWriter);
void nxLoadSettingsFromStream(TnxIterationList& aList, TnxReader& aReader);

// Frees a component through its before-destruction step.
template <std::derived_from<platform::TComponent> T>
void nxFreeAndNil(T*& aComponent) {
  T* old = std::atomic_ref<T*>(aComponent).exchange(nullptr);
  platform::TComponent::Free(old);
}

}  // namespace revurov
