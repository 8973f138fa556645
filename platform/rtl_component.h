// Components: objects owned by an owner component, with a name, free
// notifications, a loading bracket and state flags, plus the class records by
// which classes are known by name.
//
// Contract:
// - An owner destroys the components it owns when it is destroyed; a
//   component leaves its owner's list when it is destroyed first.
// - Free a component with `Free` (or nxFreeAndNil): it runs the virtual
//   `BeforeDestruction` while the object is still whole (destroying flag,
//   free notifications, owned components), then deletes it. A plain `delete`
//   still unlinks owner, owned and free notifications, but without virtual
//   dispatch to the derived classes.
// - `FreeNotification(c)` links two components both ways: each is told
//   (`Notification(x, opRemove)`) when the other goes away.
// - `Notification` is passed on to every owned component; inserting and
//   removing an owned component notifies the owner and its components.
// - `BeginLoading`/`EndLoading` bracket the reading of a component and the
//   components it owns, as streaming from a stored form would: the loading
//   flag is set on all of them and `Loaded` runs for each at the end.
// - Class records (`TComponentClass`) hold a class's exact name, its parent
//   and, for creatable classes, a factory. Messages take class names from
//   here, never from typeid. The class registry is filled at start-up and
//   read without locks afterwards.
// Not thread-safe: a component tree belongs to one thread at a time.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace revurov::platform {

class TComponent;
using TComponentFactory = TComponent* (*)(TComponent* aOwner);

struct TComponentClass {
  std::u16string_view Name;
  const TComponentClass* Parent = nullptr;
  TComponentFactory Create = nullptr;  // null: cannot be made by name

  bool InheritsFrom(const TComponentClass& aClass) const noexcept;
};

// The factory of a class record: null for abstract classes and for those
// without an (owner) constructor.
template <class T>
constexpr TComponentFactory ComponentFactory() noexcept {
  if constexpr (!std::is_abstract_v<T> && std::is_constructible_v<T, TComponent*>)
    return [](TComponent* aOwner) -> TComponent* { return new T(aOwner); };
  else
    return nullptr;
}

// Declares the class record of a component class; leaves access public.
#define REVUROV_COMPONENT_CLASS(Name, ParentClass)                                         \
public:                                                                                    \
  static const ::revurov::platform::TComponentClass& ClassInfo() noexcept {               \
    static const ::revurov::platform::TComponentClass info{                               \
        u"" #Name, &ParentClass::ClassInfo(), ::revurov::platform::ComponentFactory<Name>()}; \
    return info;                                                                           \
  }                                                                                        \
  const ::revurov::platform::TComponentClass& ClassType() const noexcept override {       \
    return ClassInfo();                                                                    \
  }

// The process-wide class registry (names compare without ASCII case). A
// second registration of the same record is ignored; another record under a
// taken name is refused (false).
bool RegisterClass(const TComponentClass& aClass);
void UnRegisterClass(const TComponentClass& aClass) noexcept;
const TComponentClass* GetClass(std::u16string_view aName) noexcept;

// The application's display of an exception it catches instead of passing
// on (a design environment's load). Replaceable so that tests see it; by
// default the exception is dropped.
using TShowExceptionHandler = void (*)(const std::exception& aError);
void SetShowExceptionHandler(TShowExceptionHandler aHandler) noexcept;
void ApplicationShowException(const std::exception& aError) noexcept;

enum TOperation : uint8_t { opInsert, opRemove };

using TComponentState = uint8_t;
inline constexpr TComponentState csLoading = 0x01;
inline constexpr TComponentState csDesigning = 0x02;
inline constexpr TComponentState csDestroying = 0x04;
inline constexpr TComponentState csUpdating = 0x08;

class TComponent {
public:
  explicit TComponent(TComponent* aOwner);
  virtual ~TComponent();
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  static const TComponentClass& ClassInfo() noexcept;
  virtual const TComponentClass& ClassType() const noexcept { return ClassInfo(); }
  std::u16string_view ClassName() const noexcept { return ClassType().Name; }
  bool InheritsFrom(const TComponentClass& aClass) const noexcept {
    return ClassType().InheritsFrom(aClass);
  }

  // Runs BeforeDestruction, then deletes; nothing for null.
  static void Free(TComponent* aComponent);
  // The explicit before-destruction step; overrides call the base last.
  virtual void BeforeDestruction();

  TComponent* Owner() const noexcept { return cOwner; }
  int ComponentCount() const noexcept { return static_cast<int>(cComponents.size()); }
  TComponent* Components(int aIndex) const { return cComponents.at(static_cast<size_t>(aIndex)); }
  void InsertComponent(TComponent* aComponent);
  void RemoveComponent(TComponent* aComponent);

  const std::u16string& Name() const noexcept { return cName; }
  virtual void SetName(std::u16string aName) { cName = std::move(aName); }

  TComponentState ComponentState() const noexcept { return cState; }
  bool IsLoading() const noexcept { return cState & csLoading; }
  bool IsDesigning() const noexcept { return cState & csDesigning; }
  bool IsDestroying() const noexcept { return cState & csDestroying; }
  bool IsUpdating() const noexcept { return cState & csUpdating; }
  // A design environment; passed on to owned components.
  void SetDesigning(bool aValue);
  void Updating() noexcept { cState |= csUpdating; }
  void Updated() noexcept { cState &= static_cast<TComponentState>(~csUpdating); }

  void BeginLoading();
  // Clears the loading flags, then runs Loaded on this component and on every
  // owned component that was loading, in that order; an exception of one
  // Loaded stops the rest and passes on.
  void EndLoading();

  void FreeNotification(TComponent* aComponent);
  void RemoveFreeNotification(TComponent* aComponent) noexcept;

  // Sets the destroying flag here and on every owned component.
  void Destroying() noexcept;

protected:
  virtual void Notification(TComponent* aComponent, TOperation aOperation);
  // After loading; the base clears the loading flag.
  virtual void Loaded();

private:
  void CollectLoading(std::vector<TComponent*>& aList);
  void Unlink() noexcept;
  void Insert(TComponent* aComponent);
  void Remove(TComponent* aComponent) noexcept;
  void NotifyTree(TComponent* aComponent, TOperation aOperation);

  TComponent* cOwner = nullptr;
  std::vector<TComponent*> cComponents;
  std::vector<TComponent*> cFreeNotifies;
  std::u16string cName;
  TComponentState cState = 0;
};

}  // namespace revurov::platform
