#include "lowlevel/objects/registerable.h"

#include <algorithm>

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
}

void TnxClassRegistry::Remove(const TnxRegisterableClass& aClass) noexcept {
  WriteGuard guard(rLock);
  if (!rList) return;
  std::erase_if(*rList, [&](const Entry& e) { return e.Class == &aClass; });
  if (rList->empty()) rList.reset();
}

const TnxRegisterableClass* TnxClassRegistry::Find(std::u16string_view aName) const noexcept {
  ReadGuard guard(rLock);
  if (!rList) return nullptr;
  auto at = std::lower_bound(rList->begin(), rList->end(), aName, [](const Entry& e, std::u16string_view n) {
    return AsciiCompareText(e.Name, n) < 0;
  });
  return at != rList->end() && AsciiSameText(at->Name, aName) ? at->Class : nullptr;
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
