#include "lowlevel/component.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <set>

#include "lowlevel/error_codes.h"
#include "lowlevel/memory_manager.h"
#include "lowlevel/utils_text.h"
#include "platform/format.h"
#include "platform/locale_text.h"
#include "platform/text.h"

namespace revurov {

using platform::AsciiCompareText;
using platform::AsciiSameText;
using platform::TComponentClass;

// ---- exceptions ----

std::u16string EnxComponentException::ComponentName(const TnxComponent* aComponent) {
  if (!aComponent) return u"<nil pointer>";
  if (aComponent->Name().empty())
    return platform::Format(u"<unnamed %s instance>", {aComponent->ClassName()});
  return aComponent->Name();
}

void EnxComponentException::NameComponent(const TnxComponent* aComponent) {
  const std::u16string text = nxTrimTrailingBlankLines(ProcessedErrorString());
  SetMessage(ErrorCode() != 0
                 ? nxFormatComponentCodeMessage(ComponentName(aComponent), text, ErrorCode())
                 : nxFormatComponentNoCodeMessage(ComponentName(aComponent), text));
}

EnxComponentException::EnxComponentException(const TnxComponent* aComponent, int64_t aErrorCode)
    : EnxBaseException(aErrorCode) {
  NameComponent(aComponent);
}

EnxComponentException::EnxComponentException(const TnxComponent* aComponent, int64_t aErrorCode,
                                             std::u16string_view aAltMsg)
    : EnxBaseException(aErrorCode, aAltMsg) {
  NameComponent(aComponent);
}

EnxComponentException::EnxComponentException(const TnxComponent* aComponent, int64_t aErrorCode,
                                             std::u16string_view aAltMsg,
                                             std::initializer_list<FormatArg> aArgs)
    : EnxBaseException(aErrorCode, aAltMsg, aArgs) {
  NameComponent(aComponent);
}

EnxComponentException::EnxComponentException(const TnxComponent* aComponent,
                                             std::u16string_view aMsg)
    : EnxBaseException(aMsg) {
  NameComponent(aComponent);
}

EnxComponentException::EnxComponentException(const TnxComponent* aComponent,
                                             std::u16string_view aMsg,
                                             std::initializer_list<FormatArg> aArgs)
    : EnxBaseException(aMsg, aArgs) {
  NameComponent(aComponent);
}

// ---- iteration list ----

namespace {

// Display names compare without case by the system locale; equal names keep
// address order so that two components of one name both fit.
bool IterationLess(TnxComponent* a, const std::u16string& aName, TnxComponent* b,
                   const std::u16string& bName) {
  const int c = platform::AnsiCompareText(aName, bName);
  if (c != 0) return c < 0;
  return a < b;
}

bool ClassIgnored(const TnxClassNameList* aList, std::u16string_view aClassName) {
  if (!aList) return false;
  for (const std::u16string& name : *aList)
    if (AsciiSameText(name, aClassName)) return true;
  return false;
}

TnxIterationList* NewIterationList() { return new TnxIterationList; }

// Live components, for LookupByComponentID: an identifier is checked here
// instead of probing memory.
std::mutex gLiveLock;
std::set<const TnxComponent*>& LiveComponents() {
  static std::set<const TnxComponent*> live;
  return live;
}

}  // namespace

bool TnxIterationList::Accept(TnxComponent*) { return true; }

bool TnxIterationList::Contains(const TnxComponent* aComponent) const noexcept {
  return std::find(ilItems.begin(), ilItems.end(), aComponent) != ilItems.end();
}

int TnxIterationList::Add(TnxComponent* aComponent) {
  if (!Accept(aComponent)) return -1;
  const std::u16string name = aComponent->DisplayName();
  size_t lo = 0, hi = ilItems.size();
  while (lo < hi) {
    const size_t mid = (lo + hi) / 2;
    if (IterationLess(ilItems[mid], ilItems[mid]->DisplayName(), aComponent, name))
      lo = mid + 1;
    else
      hi = mid;
  }
  ilItems.insert(ilItems.begin() + static_cast<std::ptrdiff_t>(lo), aComponent);
  return static_cast<int>(lo);
}

// ---- the component base ----

TnxComponent::TnxComponent(platform::TComponent* aOwner) : platform::TComponent(aOwner) {
  std::lock_guard guard(gLiveLock);
  LiveComponents().insert(this);
}

TnxComponent::~TnxComponent() {
  {
    std::lock_guard guard(gLiveLock);
    LiveComponents().erase(this);
  }
  // Reached without BeforeDestruction (a plain delete): still drop every link
  // so that no linked component keeps this address.
  NotifyDependents(nxn_Destroying, nullptr);
  TnxPadlockGuard guard(nxcDependentLock);
  for (TnxComponent* c : nxcDependentList) c->RemoveDependent(this);
  nxcDependentList.clear();
}

void* TnxComponent::operator new(std::size_t aSize) { return nxGetMem(aSize); }

void TnxComponent::operator delete(void* aPointer) noexcept {
  try {
    nxFreeMem(aPointer);
  } catch (...) {
  }
}

void TnxComponent::BeforeDestruction() {
  {
    std::lock_guard guard(gLiveLock);
    LiveComponents().erase(this);
  }
  NotifyDependents(nxn_Destroying, nullptr);
  platform::TComponent::BeforeDestruction();
}

const TnxComponentExceptionClass& TnxComponent::GetExceptionClass() const {
  return nxComponentExceptionClass<EnxComponentException>();
}

void TnxComponent::CheckError(uint32_t aErrorCode) const {
  if (aErrorCode != 0) RaiseError(static_cast<int64_t>(aErrorCode));
}

void TnxComponent::RaiseError(int64_t aErrorCode) const {
  GetExceptionClass().Raise(EnxComponentException(this, aErrorCode));
}

void TnxComponent::RaiseError(std::u16string_view aMsg) const {
  GetExceptionClass().Raise(EnxComponentException(this, aMsg));
}

void TnxComponent::RaiseError(std::u16string_view aMsg,
                              std::initializer_list<FormatArg> aArgs) const {
  GetExceptionClass().Raise(EnxComponentException(this, aMsg, aArgs));
}

void TnxComponent::RaiseError(int64_t aErrorCode, std::u16string_view aAltMsg) const {
  GetExceptionClass().Raise(EnxComponentException(this, aErrorCode, aAltMsg));
}

void TnxComponent::RaiseError(int64_t aErrorCode, std::u16string_view aAltMsg,
                              std::initializer_list<FormatArg> aArgs) const {
  GetExceptionClass().Raise(EnxComponentException(this, aErrorCode, aAltMsg, aArgs));
}

void TnxComponent::AddDependent(TnxComponent* aComponent) {
  if (!aComponent || aComponent == this) return;
  TnxPadlockGuard guard(nxcDependentLock);
  auto at = std::lower_bound(nxcDependentList.begin(), nxcDependentList.end(), aComponent);
  if (at != nxcDependentList.end() && *at == aComponent) return;
  nxcDependentList.insert(at, aComponent);
  ++nxcDependentGeneration;
}

void TnxComponent::RemoveDependent(TnxComponent* aComponent) {
  if (!aComponent) return;
  TnxPadlockGuard guard(nxcDependentLock);
  auto at = std::lower_bound(nxcDependentList.begin(), nxcDependentList.end(), aComponent);
  if (at == nxcDependentList.end() || *at != aComponent) return;
  nxcDependentList.erase(at);
  ++nxcDependentGeneration;
}

void TnxComponent::LinkDependent(TnxComponent* a, TnxComponent* b) {
  if (!a || !b || a->nxcDestroying || b->nxcDestroying) return;
  b->AddDependent(a);
  a->AddDependent(b);
}

void TnxComponent::UnlinkDependent(TnxComponent* a, TnxComponent* b) {
  if (!a || !b) return;
  b->RemoveDependent(a);
  a->RemoveDependent(b);
}

int TnxComponent::DependentCount() const {
  TnxPadlockGuard guard(nxcDependentLock);
  return static_cast<int>(nxcDependentList.size());
}

bool TnxComponent::HasDependent(const TnxComponent* aComponent) const {
  TnxPadlockGuard guard(nxcDependentLock);
  return std::binary_search(nxcDependentList.begin(), nxcDependentList.end(), aComponent);
}

void TnxComponent::NotifyDependents(TnxNotifyOp aOp, void* aData, TnxComponent* aExclude) {
  TnxPadlockGuard guard(nxcDependentLock);
  if (nxcDestroying && aOp == nxn_Destroying) return;
  nxcDestroying = aOp == nxn_Destroying;
  std::set<TnxComponent*> done;
  for (;;) {
    const uint64_t generation = nxcDependentGeneration;
    bool restarted = false;
    for (size_t i = nxcDependentList.size(); i > 0; --i) {
      TnxComponent* c = nxcDependentList[i - 1];
      if (c == aExclude || done.count(c)) continue;
      done.insert(c);
      c->DependentNotify(this, aOp, aData);
      if (nxcDependentGeneration != generation) {
        restarted = true;
        break;
      }
    }
    if (!restarted) break;
  }
}

void TnxComponent::DependentNotify(TnxComponent* aSender, TnxNotifyOp aOp, void* aData) {
  switch (aOp) {
    case nxn_Destroying:
      UnlinkDependent(this, aSender);
      break;
    case nxn_Iteration:
    case nxn_Broadcast: {
      auto* data = static_cast<TnxIterationData*>(aData);
      if (data->IteratonList->Contains(this) ||
          ClassIgnored(data->IgnoreIterateClasses, ClassName()))
        return;
      if (data->IteratonList->Add(this) < 0) return;
      NotifyDependents(aOp, aData, nullptr);
      if (aOp == nxn_Broadcast) {
        auto* b = static_cast<TnxBroadcastData*>(aData);
        DependentNotify(b->bdSender, b->bdNotifyOp, b->bdParam);
      }
      break;
    }
    default:
      break;
  }
}

void TnxComponent::BroadcastToDependents(TnxNotifyOp aOp, void* aData,
                                         const TnxClassNameList& aIgnoreClasses) {
  TnxIterationList list;
  TnxBroadcastData data;
  data.IteratonList = &list;
  data.IgnoreIterateClasses = aIgnoreClasses.empty() ? nullptr : &aIgnoreClasses;
  data.bdSender = this;
  data.bdNotifyOp = aOp;
  data.bdParam = aData;
  DependentNotify(nullptr, nxn_Broadcast, &data);
}

TnxIterationList* TnxComponent::IterateDependents(TnxIterationListFactory aListClass) {
  return IterateDependentsEx({}, aListClass);
}

TnxIterationList* TnxComponent::IterateDependentsEx(const TnxClassNameList& aIgnoreClasses,
                                                    TnxIterationListFactory aListClass) {
  std::unique_ptr<TnxIterationList> list((aListClass ? aListClass : NewIterationList)());
  TnxIterationData data;
  data.IteratonList = list.get();
  data.IgnoreIterateClasses = aIgnoreClasses.empty() ? nullptr : &aIgnoreClasses;
  DependentNotify(nullptr, nxn_Iteration, &data);
  return list.release();
}

std::u16string TnxComponent::DisplayName() const {
  if (!nxcDisplayName.empty()) return nxcDisplayName;
  if (!Name().empty()) return Name();
  return std::u16string(ClassName());
}

void TnxComponent::SetDisplayName(std::u16string_view aValue) {
  if (AsciiSameText(aValue, Name()) || AsciiSameText(aValue, ClassName()))
    nxcDisplayName.clear();
  else
    nxcDisplayName = aValue;
}

std::u16string TnxComponent::Version() const {
  return u"4.7501 " + std::u16string(nxBuildDescription);
}

TnxComponent* TnxComponent::LookupByComponentID(intptr_t aID) {
  const auto* candidate = reinterpret_cast<const TnxComponent*>(aID);
  {
    std::lock_guard guard(gLiveLock);
    if (LiveComponents().count(candidate) && !candidate->nxcDestroying &&
        !candidate->IsDestroying())
      return const_cast<TnxComponent*>(candidate);
  }
  throw EnxComponentException(u"Invalid ComponentID");
}

const TComponentClass* TnxComponent::FindClassRecursive(std::u16string_view aSuffix) const {
  for (const TComponentClass* c = &ClassType(); c; c = c->Parent) {
    std::u16string name(c->Name);
    name += aSuffix;
    if (const TComponentClass* found = platform::GetClass(name)) return found;
  }
  return nullptr;
}

// ---- settings and statistics ----

void TnxComponent::SaveSettingsToStream(TnxWriter& aWriter) {
  aWriter.WriteInteger(int32_t{1});
  aWriter.WriteString(Name());
}

void TnxComponent::LoadSettingsFromStream(TnxReader& aReader) {
  if (aReader.ReadInteger() != 1) RaiseError(nxeIncompatibleStream);
  aReader.ReadString();  // the name it was saved under; not applied
}

bool TnxComponent::UIStatsVisible() const {
  std::vector<std::u16string> captions;
  GetStatsCaptions(captions);
  return !captions.empty();
}

void TnxComponent::GetStatsCaptions(std::vector<std::u16string>&) const {}
void TnxComponent::GetStatsValues(std::vector<std::u16string>&) const {}

std::u16string TnxComponent::GetDisplayOnlyValue(std::u16string_view) const {
  return u"(not implemented)";
}

namespace {

[[noreturn]] void IncompatibleStream() {
  throw EnxComponentException(static_cast<int64_t>(nxeIncompatibleStream));
}

TnxComponent* FindInGroup(const TnxIterationList& aList, std::u16string_view aName, bool aExact) {
  for (int i = 0; i < aList.Count(); ++i) {
    TnxComponent* c = aList.Items(i);
    if (aExact ? c->Name() == aName : platform::AnsiSameText(c->Name(), aName)) return c;
  }
  return nullptr;
}

}  // namespace

void nxSaveSettingsToStream(const TnxIterationList& aList, TnxWriter& aWriter) {
  aWriter.WriteInteger(int32_t{2});
  aWriter.WriteListBegin();
  for (int i = 0; i < aList.Count(); ++i) {
    TnxComponent* c = aList.Items(i);
    if (c->Name().empty()) continue;
    TnxMemoryStream block;
    {
      TnxWriter blockWriter(block);
      c->SaveSettingsToStream(blockWriter);
    }
    aWriter.WriteString(c->Name());
    aWriter.WriteInteger(block.GetSize());
    aWriter.Write(block.Memory(), block.GetSize());
  }
  aWriter.WriteListEnd();
}

void nxLoadSettingsFromStream(const TnxIterationList& aList, TnxReader& aReader) {
  const int32_t version = aReader.ReadInteger();
  if (version == 2) {
    aReader.ReadListBegin();
    while (!aReader.EndOfList()) {
      const std::u16string name = aReader.ReadString();
      const int64_t length = aReader.ReadInt64();
      // The length comes from the stream: check it before allocating.
      if (length < 0 || length > aReader.BytesLeft()) IncompatibleStream();
      TnxMemoryStream block;
      block.SetSize(length);
      aReader.Read(block.Memory(), length);
      if (TnxComponent* c = FindInGroup(aList, name, false)) {
        block.Seek(0, platform::TSeekOrigin::soBeginning);
        TnxReader blockReader(block);
        c->LoadSettingsFromStream(blockReader);
      }
    }
    aReader.ReadListEnd();
  } else if (version == 1) {
    std::vector<std::u16string> names;
    std::u16string text = aReader.ReadString();
    size_t start = 0;
    while (start < text.size()) {
      size_t end = text.find_first_of(u"\r\n", start);
      if (end == std::u16string::npos) end = text.size();
      if (end > start) names.push_back(text.substr(start, end - start));
      start = end + 1;
    }
    for (const std::u16string& name : names) {
      TnxComponent* c = FindInGroup(aList, name, true);
      if (!c) IncompatibleStream();
      c->LoadSettingsFromStream(aReader);
    }
  } else {
    IncompatibleStream();
  }
}

// ---- registerable components ----

namespace {

// Filled at start-up and read later without locks.
std::vector<const TComponentClass*>* gRegisteredClasses = nullptr;

}  // namespace

const TnxComponentExceptionClass& TnxRegisterableComponent::GetExceptionClass() const {
  return nxComponentExceptionClass<EnxRegisterableComponentException>();
}

const TComponentClass* TnxRegisterableComponent::FindRegisteredClass(std::u16string_view aClassName) {
  if (!gRegisteredClasses) return nullptr;
  for (const TComponentClass* c : *gRegisteredClasses)
    if (AsciiSameText(c->Name, aClassName)) return c;
  return nullptr;
}

void TnxRegisterableComponent::Register(const TComponentClass& aClass) {
  if (FindRegisteredClass(aClass.Name))
    throw EnxRegisterableComponentException(u"The class \"%s\" is already registered",
                                            {aClass.Name});
  if (!gRegisteredClasses) gRegisteredClasses = new std::vector<const TComponentClass*>;
  auto at = std::lower_bound(gRegisteredClasses->begin(), gRegisteredClasses->end(), &aClass,
                             [](const TComponentClass* a, const TComponentClass* b) {
                               return AsciiCompareText(a->Name, b->Name) < 0;
                             });
  gRegisteredClasses->insert(at, &aClass);
}

void TnxRegisterableComponent::Unregister(const TComponentClass& aClass) noexcept {
  if (!gRegisteredClasses) return;
  auto& list = *gRegisteredClasses;
  list.erase(std::remove(list.begin(), list.end(), &aClass), list.end());
  if (list.empty()) {
    delete gRegisteredClasses;
    gRegisteredClasses = nullptr;
  }
}

void TnxRegisterableComponent::GetRegisteredClasses(const TComponentClass& aBase,
                                                    std::vector<TnxRegisteredClass>& aList) {
  aList.clear();
  if (!gRegisteredClasses) return;
  for (const TComponentClass* c : *gRegisteredClasses)
    if (c->InheritsFrom(aBase)) aList.push_back({std::u16string(c->Name), c});
}

}  // namespace revurov
