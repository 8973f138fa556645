// The library's component base: links between components (the dependents)
// with notifications, iteration and broadcast over everything linked,
// display name and category, component identifiers, settings and
// statistics, and the registry of registerable component classes.
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

#include "lowlevel/components/component_exceptions.h"
#include "lowlevel/components/component_notifications.h"
#include "lowlevel/errors/exception_data_interfaces.h"
#include "lowlevel/heap/memory_manager.h"
#include "lowlevel/objects/interfaced_object.h"
#include "lowlevel/objects/lists.h"
#include "platform/rtl_component.h"

namespace revurov {

namespace platform {
class TStringList;
}  // namespace platform

class TnxBaseSettings;
class TnxBaseComponentConfiguration;
class TnxReader;
class TnxWriter;

// Follows "4.7501 " in a component's Version.
inline constexpr std::u16string_view nxBuildDescription = u"RevurOV (Linux x86-64)";

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
  [[noreturn]] void RaiseError(std::u16string_view aMsg, std::initializer_list<platform::TFormatArg> aArgs) const;
  [[noreturn]] void RaiseError(int64_t aErrorCode, std::u16string_view aAltMsg) const;
  [[noreturn]] void RaiseError(int64_t aErrorCode, std::u16string_view aAltMsg,
                               std::initializer_list<platform::TFormatArg> aArgs) const;

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
  virtual platform::TInterfacePtr<platform::IInterface> GetComponentInfo();
  // Clears *aInterface; for the component information class identifier and
  // no outer object, answers the query of the (cached) information object
  // for aInterfaceID, else E_NOTIMPL.
  platform::HRESULT nxcCreateInstance(TnxComponent* aSession, const platform::TGUID& aClassID, platform::IInterface* aOuter,
                            const platform::TGUID& aInterfaceID, void** aInterface);
  // A weak reference that answers IsAlive false once the component is gone.
  platform::TInterfacePtr<InxLifetimeMonitorRef> GetLifetimeMonitor();

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
  std::atomic<platform::IInterface*> nxcComponentInfo{nullptr};  // holds one reference
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
