// Classes chosen by name at run time: engine and descriptor families, each
// with its own registry of class records.
//
// How a family uses this unit:
//
//   // The family's registry: a process-wide variable, constant-initialised.
//   constinit TnxClassRegistry nxKeyEngines;
//
//   // The family's class record, when its classes need class-level
//   // operations (a factory, ...). Must derive from TnxRegisterableClass.
//   struct TnxKeyEngineClass : TnxRegisterableClass {
//     TnxBaseKeyEngine* (*CreateInstance)(...) = nullptr;
//   };
//
//   class TnxBaseKeyEngine : public TnxBaseRegisterableEngine {
//     // The family root names the registry (its class-level GetList).
//     REVUROV_REGISTERABLE_FAMILY(TnxBaseKeyEngine, TnxBaseRegisterableEngine,
//                                 TnxKeyEngineClass, &nxKeyEngines, nullptr)
//   };
//   class TnxInt64KeyEngine : public TnxBaseKeyEngine {
//     // Every other class inherits the family's registry.
//     REVUROV_REGISTERABLE_RECORD(TnxInt64KeyEngine, TnxBaseKeyEngine,
//                                 TnxKeyEngineClass, &Create)
//   };
//
//   // Families without class-level operations of their own use the plain
//   // record: REVUROV_REGISTERABLE_CLASS_FAMILY(Root, Parent, &registry) on
//   // the root, REVUROV_REGISTERABLE_CLASS(Name, Parent) below it.
//
//   // In the family's start-up / shut-down pair (see lowlevel/startup.h):
//   TnxInt64KeyEngine::ClassInfo().Register();           // under its class name
//   TnxInt64KeyEngine::ClassInfo().Register(u"Alias");   // an alias
//   ...
//   TnxInt64KeyEngine::ClassInfo().Unregister();         // all its names
//
//   // Lookups: a class of the family or null; the caller raises.
//   auto* c = nxFindClassAs<TnxKeyEngineClass>(TnxBaseKeyEngine::ClassInfo(), name);
//   if (!c) nxRaiseUnknownEngine<EnxKeyEngineException>(u"Key", name);
//
// Contract:
// - A class record holds the class's exact name, its parent's record and the
//   family's registry (class-level GetList): null in a record means "as the
//   parent", so every class of a family answers its root's registry. A class
//   whose GetList is null cannot register (EnxBaseRegisterableEngineException).
// - Names compare without regard to ASCII case. A registry refuses a second
//   entry under a name already taken (any case) with the platform string
//   list's duplicate error (EStringListError, SDuplicateString).
// - One class may be registered under several names: the entry whose name
//   equals the class name is its main entry, the others are aliases.
//   Unregister removes all of a class's entries; the registry's list is freed
//   when its last entry goes, and the next Register starts a fresh one.
// - Registries are filled and emptied by explicit start-up and shut-down
//   calls, never by static constructors. Registering, unregistering and
//   lookups may come from any thread: a registry is guarded by its own
//   reader/writer lock, and lookups never block one another.
// - A record registered must outlive its registration (records are
//   function-local statics of the class, see the macros).
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exceptions.h"
#include "lowlevel/objects/persistent.h"
#include "platform/os_mutex.h"

namespace revurov {

class TnxClassRegistry;

// The message texts lookups' callers raise.
inline constexpr std::u16string_view nxsUnknownEngine = u"Unknown %s engine: \"%s\"";
inline constexpr std::u16string_view nxsClassNotSupported = u"%s class is not supported: %s";

struct TnxRegisteredClassEntry;

// The class record of a registerable class. Families derive their own
// record type from it to add class-level operations.
struct TnxRegisterableClass {
  std::u16string_view Name;
  const TnxRegisterableClass* Parent = nullptr;
  TnxClassRegistry* List = nullptr;  // null: the parent's

  // Class-level: the family's registry (null when the family has none).
  TnxClassRegistry* GetList() const noexcept;
  bool InheritsFrom(const TnxRegisterableClass& aClass) const noexcept;

  // Class-level registry operations on this class's family. An empty name
  // registers under the class name.
  void Register(std::u16string_view aName = {}) const;
  void Unregister() const noexcept;
  // The class registered under aName in this class's family, or null.
  const TnxRegisterableClass* FindClass(std::u16string_view aName) const;
  // Empties aList, then lists the family's entries in name order; without
  // aliases only each class's main entry stays.
  void GetRegistered(std::vector<TnxRegisteredClassEntry>& aList, bool aIncludeAliases) const;
};

struct TnxRegisteredClassEntry {
  std::u16string Name;
  const TnxRegisterableClass* Class = nullptr;
};

// One family's registry. Constant-initialised, so a namespace-scope
// variable is ready before any start-up code runs; its list exists only
// while something is registered.
class TnxClassRegistry {
public:
  constexpr TnxClassRegistry() noexcept = default;
  // Shut-down empties registries. Constant-initialised, a registry is
  // destroyed after every static that was initialised at run time, so
  // their destructors may still use it.
  ~TnxClassRegistry() = default;
  TnxClassRegistry(const TnxClassRegistry&) = delete;
  TnxClassRegistry& operator=(const TnxClassRegistry&) = delete;

  void Add(std::u16string_view aName, const TnxRegisterableClass& aClass);
  void Remove(const TnxRegisterableClass& aClass) noexcept;
  const TnxRegisterableClass* Find(std::u16string_view aName) const noexcept;
  void GetEntries(std::vector<TnxRegisteredClassEntry>& aList, bool aIncludeAliases) const;
  // False while nothing is registered (the list does not exist).
  bool Assigned() const noexcept;
  int Count() const noexcept;

private:
  struct Entry {
    std::u16string Name;
    const TnxRegisterableClass* Class;
  };
  mutable platform::TOsReadWriteLock rLock;
  std::unique_ptr<std::vector<Entry>> rList;  // sorted by name without case
};

// A lookup's result as the family's record type. Every class of a family
// carries that family's record type, so the cast holds for what a family
// lookup answers.
template <class Record>
const Record* nxFindClassAs(const TnxRegisterableClass& aFamilyClass, std::u16string_view aName) {
  return static_cast<const Record*>(aFamilyClass.FindClass(aName));
}

// The replacement of every "Descriptor" (any case) by "Engine": the name of
// the engine class that serves a descriptor class.
std::u16string nxEngineNameForDescriptor(std::u16string_view aDescriptorClassName);

// ---- the engine and descriptor bases ----

REVUROV_EXCEPTION_CLASS(EnxBaseRegisterableEngineException, EnxBaseException);
REVUROV_EXCEPTION_CLASS(EnxBaseRegisterableDescriptorException, EnxBaseException);

// Raise 15503 "Unknown %s engine: \"%s\"" (family word, name) and 15499
// "%s class is not supported: %s" (kind word, class name) in the family's
// exception class.
template <class E = EnxBaseRegisterableEngineException>
[[noreturn]] void nxRaiseUnknownEngine(std::u16string_view aFamilyWord, std::u16string_view aName) {
  throw E(nxeSubEngineNotSupported, nxsUnknownEngine, {aFamilyWord, aName});
}
template <class E = EnxBaseRegisterableDescriptorException>
[[noreturn]] void nxRaiseClassNotSupported(std::u16string_view aKindWord, std::u16string_view aName) {
  throw E(nxeUnsupportedDictionaryDescriptor, nxsClassNotSupported, {aKindWord, aName});
}

// Declares the class record of a registerable class whose record is the
// plain TnxRegisterableClass. Leaves access public.
#define REVUROV_REGISTERABLE_CLASS(Name, ParentClass)                                         \
public:                                                                                       \
  static const ::revurov::TnxRegisterableClass& ClassInfo() noexcept {                        \
    static const ::revurov::TnxRegisterableClass info{u"" #Name, &ParentClass::ClassInfo(),   \
                                                      nullptr};                               \
    return info;                                                                              \
  }                                                                                           \
  const ::revurov::TnxRegisterableClass& ClassType() const noexcept override {                \
    return ClassInfo();                                                                       \
  }

// The same for a family's root class: aList is the family's registry.
#define REVUROV_REGISTERABLE_CLASS_FAMILY(Name, ParentClass, aList)                          \
public:                                                                                       \
  static const ::revurov::TnxRegisterableClass& ClassInfo() noexcept {                        \
    static const ::revurov::TnxRegisterableClass info{u"" #Name, &ParentClass::ClassInfo(),   \
                                                      aList};                                 \
    return info;                                                                              \
  }                                                                                           \
  const ::revurov::TnxRegisterableClass& ClassType() const noexcept override {                \
    return ClassInfo();                                                                       \
  }

// Declares the class record of a registerable class (record type Record,
// which derives from TnxRegisterableClass); the arguments after Record
// initialise Record's own members in order. Leaves access public.
#define REVUROV_REGISTERABLE_RECORD(Name, ParentClass, Record, ...)                        \
  REVUROV_REGISTERABLE_RECORD_IN(Name, ParentClass, Record, nullptr __VA_OPT__(, ) __VA_ARGS__)

// The same for a family's root class: aList is the family's registry.
#define REVUROV_REGISTERABLE_FAMILY(Name, ParentClass, Record, aList, ...)                 \
  REVUROV_REGISTERABLE_RECORD_IN(Name, ParentClass, Record, aList __VA_OPT__(, ) __VA_ARGS__)

#define REVUROV_REGISTERABLE_RECORD_IN(Name, ParentClass, Record, aList, ...)                 \
public:                                                                                       \
  static const Record& ClassInfo() noexcept {                                                 \
    static const Record info{{u"" #Name, &ParentClass::ClassInfo(), aList} __VA_OPT__(, ) __VA_ARGS__}; \
    return info;                                                                              \
  }                                                                                           \
  const Record& ClassType() const noexcept override { return ClassInfo(); }

// Base of the engines chosen by name. Messages and exception data name an
// engine by its class record.
class TnxBaseRegisterableEngine : public TnxPersistent {
public:
  static const TnxRegisterableClass& ClassInfo() noexcept;
  virtual const TnxRegisterableClass& ClassType() const noexcept { return ClassInfo(); }
  std::u16string_view ClassName() const noexcept override { return ClassType().Name; }

  // Class-level operations, called on the class record of the class meant:
  // X::ClassInfo().Register(...) or these shorthands.
  static const TnxRegisterableClass* FindEngineClass(const TnxRegisterableClass& aClass,
                                                     std::u16string_view aName) {
    return aClass.FindClass(aName);
  }
  static void GetRegisteredEngines(const TnxRegisterableClass& aClass,
                                   std::vector<TnxRegisteredClassEntry>& aList,
                                   bool aIncludeAliases) {
    aClass.GetRegistered(aList, aIncludeAliases);
  }
};

// Base of the descriptors chosen by name; holders may watch a descriptor's
// lifetime through GetLifetimeMonitor.
class TnxBaseRegisterableDescriptor : public TnxLifetimeTrackedPersistent {
public:
  static const TnxRegisterableClass& ClassInfo() noexcept;
  virtual const TnxRegisterableClass& ClassType() const noexcept { return ClassInfo(); }
  std::u16string_view ClassName() const noexcept override { return ClassType().Name; }

  static const TnxRegisterableClass* FindDescriptorClass(const TnxRegisterableClass& aClass,
                                                         std::u16string_view aName) {
    return aClass.FindClass(aName);
  }
  static void GetRegisteredDescriptors(const TnxRegisterableClass& aClass,
                                       std::vector<TnxRegisteredClassEntry>& aList,
                                       bool aIncludeAliases) {
    aClass.GetRegistered(aList, aIncludeAliases);
  }
};

}  // namespace revurov
