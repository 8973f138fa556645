#include "lowlevel/objects/registerable.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <functional>

#include "lowlevel/sync/lock_guard.h"
#include "platform/text.h"

namespace revurov {

using platform::AsciiCompareText;
using platform::AsciiSameText;

namespace {

using ReadGuard = TnxLockGuard<platform::TOsReadWriteLock, &platform::TOsReadWriteLock::BeginRead,
                               &platform::TOsReadWriteLock::EndRead>;
using WriteGuard = TnxLockGuard<platform::TOsReadWriteLock, &platform::TOsReadWriteLock::BeginWrite,
                                &platform::TOsReadWriteLock::EndWrite>;

// Bumped, under the registry's write lock, after every change of any
// registry: a thread's remembered lookups of an older generation are stale.
std::atomic<uint64_t> gRegistryGeneration{1};

// Streams name a class for every item they hold, so the same few names are
// looked up again and again; each thread remembers its recent answers by
// exact spelling.
constexpr size_t kRememberedLookups = 64;
constexpr size_t kRememberedNameLength = 44;  // longer names are not remembered
struct RememberedLookup {
  const TnxClassRegistry* Registry = nullptr;
  uint64_t Generation = 0;
  const TnxRegisterableClass* Class = nullptr;
  uint32_t Length = 0;
  char16_t Name[kRememberedNameLength] = {};
};
thread_local std::array<RememberedLookup, kRememberedLookups> tlsLookups;

RememberedLookup* RememberedSlot(const TnxClassRegistry* aRegistry, std::u16string_view aName) noexcept {
  if (aName.size() > kRememberedNameLength) return nullptr;
  const size_t hash = std::hash<std::u16string_view>{}(aName) ^ reinterpret_cast<uintptr_t>(aRegistry);
  return &tlsLookups[hash % kRememberedLookups];
}

}  // namespace

// ---- class records ----

TnxClassRegistry* TnxRegisterableClass::GetList() const noexcept {
  for (const TnxRegisterableClass* c = this; c; c = c->Parent)
    if (c->List) return c->List;
  return nullptr;
}

bool TnxRegisterableClass::InheritsFrom(const TnxRegisterableClass& aClass) const noexcept {
  for (const TnxRegisterableClass* c = this; c; c = c->Parent)
    if (c == &aClass) return true;
  return false;
}

void TnxRegisterableClass::Register(std::u16string_view aName) const {
  TnxClassRegistry* list = GetList();
  if (!list)
    throw EnxBaseRegisterableEngineException(u"%s cannot be registered: its family has no registry",
                                             {Name});
  list->Add(aName.empty() ? Name : aName, *this);
}

void TnxRegisterableClass::Unregister() const noexcept {
  if (TnxClassRegistry* list = GetList()) list->Remove(*this);
}

const TnxRegisterableClass* TnxRegisterableClass::FindClass(std::u16string_view aName) const {
  const TnxClassRegistry* list = GetList();
  return list ? list->Find(aName) : nullptr;
}

void TnxRegisterableClass::GetRegistered(std::vector<TnxRegisteredClassEntry>& aList,
                                         bool aIncludeAliases) const {
  aList.clear();
  if (const TnxClassRegistry* list = GetList()) list->GetEntries(aList, aIncludeAliases);
}

// ---- registries ----

void TnxClassRegistry::Add(std::u16string_view aName, const TnxRegisterableClass& aClass) {
  WriteGuard guard(rLock);
  if (!rList) rList = std::make_unique<std::vector<Entry>>();
  auto at = std::lower_bound(rList->begin(), rList->end(), aName, [](const Entry& e, std::u16string_view n) {
    return AsciiCompareText(e.Name, n) < 0;
  });
  if (at != rList->end() && AsciiSameText(at->Name, aName))
    throw platform::EStringListError(platform::SDuplicateString);
  rList->insert(at, Entry{std::u16string(aName), &aClass});
  gRegistryGeneration.fetch_add(1, std::memory_order_release);
}

void TnxClassRegistry::Remove(const TnxRegisterableClass& aClass) noexcept {
  WriteGuard guard(rLock);
  if (!rList) return;
  std::erase_if(*rList, [&](const Entry& e) { return e.Class == &aClass; });
  if (rList->empty()) rList.reset();
  gRegistryGeneration.fetch_add(1, std::memory_order_release);
}

const TnxRegisterableClass* TnxClassRegistry::Find(std::u16string_view aName) const noexcept {
  // Read before the lookup: a change after it makes the answer stale.
  const uint64_t generation = gRegistryGeneration.load(std::memory_order_acquire);
  RememberedLookup* slot = RememberedSlot(this, aName);
  if (slot && slot->Registry == this && slot->Generation == generation &&
      std::u16string_view(slot->Name, slot->Length) == aName)
    return slot->Class;
  const TnxRegisterableClass* found = nullptr;
  {
    ReadGuard guard(rLock);
    if (rList) {
      auto at = std::lower_bound(rList->begin(), rList->end(), aName, [](const Entry& e, std::u16string_view n) {
        return AsciiCompareText(e.Name, n) < 0;
      });
      if (at != rList->end() && AsciiSameText(at->Name, aName)) found = at->Class;
    }
  }
  if (slot) {
    slot->Registry = this;
    slot->Generation = generation;
    slot->Class = found;
    slot->Length = static_cast<uint32_t>(aName.size());
    std::copy(aName.begin(), aName.end(), slot->Name);
  }
  return found;
}

void TnxClassRegistry::GetEntries(std::vector<TnxRegisteredClassEntry>& aList,
                                  bool aIncludeAliases) const {
  ReadGuard guard(rLock);
  if (!rList) return;
  for (const Entry& e : *rList)
    if (aIncludeAliases || AsciiSameText(e.Name, e.Class->Name)) aList.push_back({e.Name, e.Class});
}

bool TnxClassRegistry::Assigned() const noexcept {
  ReadGuard guard(rLock);
  return rList != nullptr;
}

int TnxClassRegistry::Count() const noexcept {
  ReadGuard guard(rLock);
  return rList ? static_cast<int>(rList->size()) : 0;
}

std::u16string nxEngineNameForDescriptor(std::u16string_view aDescriptorClassName) {
  static constexpr std::u16string_view kFrom = u"Descriptor";
  std::u16string result;
  size_t i = 0;
  while (i < aDescriptorClassName.size()) {
    if (aDescriptorClassName.size() - i >= kFrom.size() &&
        AsciiSameText(aDescriptorClassName.substr(i, kFrom.size()), kFrom)) {
      result += u"Engine";
      i += kFrom.size();
    } else {
      result += aDescriptorClassName[i++];
    }
  }
  return result;
}

// ---- bases ----

const TnxRegisterableClass& TnxBaseRegisterableEngine::ClassInfo() noexcept {
  static const TnxRegisterableClass info{u"TnxBaseRegisterableEngine", nullptr, nullptr};
  return info;
}

const TnxRegisterableClass& TnxBaseRegisterableDescriptor::ClassInfo() noexcept {
  static const TnxRegisterableClass info{u"TnxBaseRegisterableDescriptor", nullptr, nullptr};
  return info;
}

}  // namespace revurov
