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
// - Notifications run on the caller's thread with the sender's dependents
//   list held (the padlock, which re-enters): callees on the same thread may link and
//   unlink; other threads wait.
// - Class names in messages come from the class records, never from typeid.
#pragma once

#include <atomic>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "lowlevel/exceptions.h"
#include "lowlevel/padlock.h"
#include "lowlevel/tagged_stream.h"
#include "platform/component.h"

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

// Components sorted by display name (compared without case), ties by
// address. `Add` takes an item only when `Accept` agrees; -1 otherwise.
class TnxIterationList {
public:
  virtual ~TnxIterationList() = default;
  int Add(TnxComponent* aComponent);
  bool Contains(const TnxComponent* aComponent) const noexcept;
  int Count() const noexcept { return static_cast<int>(ilItems.size()); }
  TnxComponent* Items(int aIndex) const { return ilItems.at(static_cast<size_t>(aIndex)); }

protected:
  virtual bool Accept(TnxComponent* aComponent);

private:
  std::vector<TnxComponent*> ilItems;
};
using TnxIterationListFactory = TnxIterationList* (*)();

// Class names compared without case.
using TnxClassNameList = std::vector<std::u16string>;

struct TnxIterationData {
  TnxIterationList* IteratonList = nullptr;
  const TnxClassNameList* IgnoreIterateClasses = nullptr;  // none when null
};

struct TnxBroadcastData : TnxIterationData {
  TnxComponent* bdSender = nullptr;
  TnxNotifyOp bdNotifyOp = 0;
  void* bdParam = nullptr;
};

// Follows "4.7501 " in a component's Version.
inline constexpr std::u16string_view nxBuildDescription = u"RevurOV (Linux x86-64)";

// ---- the component base ----

class TnxComponent : public platform::TComponent {
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
  bool DestroyingNotified() const noexcept { return nxcDestroying; }

  // Notifications.
  virtual void DependentNotify(TnxComponent* aSender, TnxNotifyOp aOp, void* aData);
  virtual void NotifyDependents(TnxNotifyOp aOp, void* aData, TnxComponent* aExclude = nullptr);
  virtual void BroadcastToDependents(TnxNotifyOp aOp, void* aData,
                                     const TnxClassNameList& aIgnoreClasses = {});
  // A new list (the caller owns it) of this component and everything
  // reachable through links, not going past the ignored classes.
  TnxIterationList* IterateDependents(TnxIterationListFactory aListClass = nullptr);
  TnxIterationList* IterateDependentsEx(const TnxClassNameList& aIgnoreClasses,
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

  // Settings and statistics. A settings stream holds each class's part after
  // its parent's, each beginning with its own version; a version this code
  // does not know fails with 15498 "Incompatible stream".
  virtual void LoadSettingsFromStream(TnxReader& aReader);
  virtual void SaveSettingsToStream(TnxWriter& aWriter);
  virtual bool UISettingsVisible() const { return true; }
  bool UIStatsVisible() const;
  // Append captions and the matching values.
  virtual void GetStatsCaptions(std::vector<std::u16string>& aList) const;
  virtual void GetStatsValues(std::vector<std::u16string>& aList) const;
  virtual void ClearStats() {}
  virtual std::u16string GetDisplayOnlyValue(std::u16string_view aValueName) const;

protected:
  // The dependents list's lock, which also guards small shared flags of
  // subclasses (a log's Enabled).
  TnxPadlock& DependentLock() const noexcept { return nxcDependentLock; }

private:
  mutable TnxPadlock nxcDependentLock;
  std::vector<TnxComponent*> nxcDependentList;  // sorted by address
  uint64_t nxcDependentGeneration = 0;          // moves on every change
  bool nxcDestroying = false;
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
  struct TnxRegisteredClass {
    std::u16string Name;
    const platform::TComponentClass* Class;
  };
  static void GetRegisteredClasses(const platform::TComponentClass& aBase,
                                   std::vector<TnxRegisteredClass>& aList);
};

// Settings of a group of components (version 2: each named component's
// settings as a length-prefixed block; a block of a component that is not
// in the list is skipped). Reading also takes version 1 (names, then each
// component's settings inline; a name not in the list fails with 15498).
void nxSaveSettingsToStream(const TnxIterationList& aList, TnxWriter& aWriter);
void nxLoadSettingsFromStream(const TnxIterationList& aList, TnxReader& aReader);

// Frees a component through its before-destruction step.
template <std::derived_from<platform::TComponent> T>
void nxFreeAndNil(T*& aComponent) {
  T* old = std::atomic_ref<T*>(aComponent).exchange(nullptr);
  platform::TComponent::Free(old);
}

}  // namespace revurov
