#include "lowlevel/components/component.h"

#include <algorithm>
#include <exception>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "lowlevel/components/component_info.h"
#include "lowlevel/components/component_settings.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/heap/memory_manager.h"
#include "lowlevel/objects/persistent.h"
#include "lowlevel/streams/exception_data.h"
#include "lowlevel/streams/tagged_stream.h"
#include "lowlevel/strings/utils_text.h"
#include "platform/format.h"
#include "platform/locale_text.h"
#include "platform/string_list.h"
#include "platform/text.h"

namespace revurov {

using platform::TFormatArg;
using platform::HRESULT;
using platform::IInterface;
using platform::TGUID;
using platform::TInterfacePtr;

using platform::AsciiCompareText;
using platform::AsciiSameText;
using platform::TComponentClass;

// ---- iteration list ----

namespace {

bool ClassIgnored(const platform::TStringList* aList, std::u16string_view aClassName) {
  int at;
  return aList && aList->Find(aClassName, at);
}

// The walk's sorted, case-blind copy of the caller's class names.
std::unique_ptr<platform::TStringList> IgnoreList(const TnxClassNameList& aNames) {
  if (aNames.empty()) return nullptr;
  auto list = std::make_unique<platform::TStringList>();
  list->SetCaseSensitive(false);
  list->SetSorted(true);
  for (const std::u16string& name : aNames) list->Add(name);
  return list;
}

std::unique_ptr<TnxIterationList> NewIterationList() { return std::make_unique<TnxIterationList>(); }

// Live components, for LookupByComponentID: an identifier is checked here
// instead of probing memory.
std::mutex gLiveLock;
std::set<const TnxComponent*>& LiveComponents() {
  static std::set<const TnxComponent*> live;
  return live;
}

// Components this thread is calling into from a walk, innermost first; gone
// once the callee was freed from inside the call. The entries live in the
// calls' own frames: a container here would be destroyed with the thread's
// other locals at exit, while components may still be freed after that
// (from exit handlers and static destructors).
struct TnxInFlight {
  const TnxComponent* Callee;
  bool Gone;
  TnxInFlight* Outer;
};
thread_local TnxInFlight* tlsInFlight = nullptr;

}  // namespace

bool TnxIterationList::Accept(TnxComponent*) { return true; }

bool TnxIterationList::Contains(const TnxComponent* aComponent) {
  return IndexOf(const_cast<TnxComponent*>(aComponent)) >= 0;
}

int8_t TnxIterationList::Compare(void* aItem1, void* aItem2) {
  auto* a = static_cast<TnxComponent*>(aItem1);
  auto* b = static_cast<TnxComponent*>(aItem2);
  if (a == b) return 0;
  // Equal names keep address order so that two components of one name fit.
  const int c = platform::AnsiCompareText(a->DisplayName(), b->DisplayName());
  if (c != 0) return c < 0 ? -1 : 1;
  return std::less<TnxComponent*>()(a, b) ? -1 : 1;
}

int32_t TnxIterationList::Add(void* aItem) {
  if (!Accept(static_cast<TnxComponent*>(aItem))) return -1;
  return TnxSortedList::Add(aItem);
}

// ---- the component base ----

TnxComponent::TnxComponent(platform::TComponent* aOwner)
    : platform::TComponent(aOwner), nxcDependentList(std::make_unique<TnxListPadlock>(std::make_unique<TnxSortedList>())) {
  std::lock_guard guard(gLiveLock);
  LiveComponents().insert(this);
}

TnxComponent::~TnxComponent() {
  {
    std::lock_guard guard(gLiveLock);
    LiveComponents().erase(this);
  }
  // Reached without BeforeDestruction (a plain delete) the first notification
  // runs here; otherwise this one is ignored.
  NotifyDependents(nxn_Destroying, nullptr);
  Gone();
  DropLinks();
}

void TnxComponent::Gone() noexcept {
  nxLifetimeMonitorDead(nxcLifetimeMonitor);
  if (IInterface* info = nxcComponentInfo.exchange(nullptr)) {
    if (auto disconnect = platform::Supports<InxComponentInfoDisconnect>(info)) disconnect->Disconnect();
    info->Release();
  }
}

TInterfacePtr<InxLifetimeMonitorRef> TnxComponent::GetLifetimeMonitor() {
  return nxLifetimeMonitorOf(nxcLifetimeMonitor);
}

TInterfacePtr<IInterface> TnxComponent::GetComponentInfo() {
  return TInterfacePtr<IInterface>(
      static_cast<InxComponentInfo31000*>(nxCreate<TnxComponentInfo>(this)));
}

HRESULT TnxComponent::nxcCreateInstance(TnxComponent*, const TGUID& aClassID, IInterface* aOuter,
                                        const TGUID& aInterfaceID, void** aInterface) {
  if (!aInterface) return platform::E_NOTIMPL;
  *aInterface = nullptr;
  if (!(aClassID == nxComponentInfoClassID) || aOuter) return platform::E_NOTIMPL;
  IInterface* info = nxcComponentInfo.load(std::memory_order_acquire);
  if (!info) {
    IInterface* made = GetComponentInfo().Detach();
    if (nxcComponentInfo.compare_exchange_strong(info, made, std::memory_order_acq_rel)) {
      info = made;
    } else if (made) {
      // Lost the race: drop ours, use the published one.
      if (auto disconnect = platform::Supports<InxComponentInfoDisconnect>(made)) disconnect->Disconnect();
      made->Release();
    }
  }
  if (!info) return platform::E_NOINTERFACE;
  return info->QueryInterface(aInterfaceID, aInterface);
}

void TnxComponent::DropLinks() noexcept {
  std::vector<TnxComponent*> left;
  {
    DependentsGuard guard(Dependents());
    TnxWriteableList& list = guard.Entered();
    for (int32_t i = 0; i < list.Count(); ++i) left.push_back(static_cast<TnxComponent*>(list[i]));
    list.Clear();
  }
  // Outside our lock: taking another component's padlock while holding ours
  // is the order inversion that could deadlock against that component.
  for (TnxComponent* c : left) c->RemoveDependent(this);
  // Calls into this component on this thread's own stack end here: the walk
  // must not touch the object afterwards.
  for (TnxInFlight* call = tlsInFlight; call; call = call->Outer)
    if (call->Callee == this && !call->Gone) {
      call->Gone = true;
      nxcCallsIn.fetch_sub(1, std::memory_order_acq_rel);
    }
  while (nxcCallsIn.load(std::memory_order_acquire) > 0) std::this_thread::yield();
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
  Gone();
  // Each linked component unlinked itself; what is left (a subclass that did
  // not) goes now, before the derived parts are torn down.
  DropLinks();
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
  std::terminate();  // the raiser throws
}

void TnxComponent::RaiseError(std::u16string_view aMsg) const {
  GetExceptionClass().Raise(EnxComponentException(this, aMsg));
  std::terminate();  // the raiser throws
}

void TnxComponent::RaiseError(std::u16string_view aMsg,
                              std::initializer_list<TFormatArg> aArgs) const {
  GetExceptionClass().Raise(EnxComponentException(this, aMsg, aArgs));
  std::terminate();  // the raiser throws
}

void TnxComponent::RaiseError(int64_t aErrorCode, std::u16string_view aAltMsg) const {
  GetExceptionClass().Raise(EnxComponentException(this, aErrorCode, aAltMsg));
  std::terminate();  // the raiser throws
}

void TnxComponent::RaiseError(int64_t aErrorCode, std::u16string_view aAltMsg,
                              std::initializer_list<TFormatArg> aArgs) const {
  GetExceptionClass().Raise(EnxComponentException(this, aErrorCode, aAltMsg, aArgs));
  std::terminate();  // the raiser throws
}

void TnxComponent::AddDependent(TnxComponent* aComponent) {
  if (!aComponent || aComponent == this) return;
  DependentsGuard guard(Dependents());
  guard.Entered().Add(aComponent);  // the sorted list ignores a second add
}

void TnxComponent::RemoveDependent(TnxComponent* aComponent) {
  if (!aComponent) return;
  DependentsGuard guard(Dependents());
  guard.Entered().Remove(aComponent);
}

void TnxComponent::LinkDependent(TnxComponent* a, TnxComponent* b) {
  if (!a || !b || a->nxcDestroying.load() || b->nxcDestroying.load()) return;
  b->AddDependent(a);
  a->AddDependent(b);
}

void TnxComponent::UnlinkDependent(TnxComponent* a, TnxComponent* b) {
  if (!a || !b) return;
  b->RemoveDependent(a);
  a->RemoveDependent(b);
}

int TnxComponent::DependentCount() const {
  DependentsGuard guard(Dependents());
  return guard.Entered().Count();
}

bool TnxComponent::HasDependent(const TnxComponent* aComponent) const {
  DependentsGuard guard(Dependents());
  return guard.Entered().IndexOf(const_cast<TnxComponent*>(aComponent)) >= 0;
}

namespace {

// A call into a linked component from a walk: counted on the callee so that
// it does not go away under the call, and remembered for this thread so that
// a callee freed from inside its own notification does not wait for itself.
class TnxCallIn {
public:
  explicit TnxCallIn(std::atomic<int32_t>& aCount, const TnxComponent* aCallee)
      : ciCount(aCount), ciEntry{aCallee, false, tlsInFlight} {
    tlsInFlight = &ciEntry;
  }
  ~TnxCallIn() {
    tlsInFlight = ciEntry.Outer;
    if (!ciEntry.Gone) ciCount.fetch_sub(1, std::memory_order_acq_rel);
  }
  TnxCallIn(const TnxCallIn&) = delete;
  TnxCallIn& operator=(const TnxCallIn&) = delete;

private:
  std::atomic<int32_t>& ciCount;
  TnxInFlight ciEntry;
};

}  // namespace

void TnxComponent::NotifyDependents(TnxNotifyOp aOp, void* aData, TnxComponent* aExclude) {
  {
    DependentsGuard guard(Dependents());
    if (nxcDestroying.load() && aOp == nxn_Destroying) return;
    nxcDestroying.store(aOp == nxn_Destroying);
  }
  // The callees run without our padlock held: a callee that notifies us back
  // from another thread would otherwise wait for us while we wait for it.
  std::vector<TnxComponent*> snapshot;
  uint32_t generation = 0;
  size_t i = 0;
  bool first = true;
  TnxSortedList done;
  for (;;) {
    TnxComponent* c = nullptr;
    {
      DependentsGuard guard(Dependents());
      const TnxWriteableList& list = guard.Entered();
      if (first || list.Generation() != generation) {
        // First round, or a callee (or another thread) linked or unlinked:
        // start again from the new last entry.
        first = false;
        snapshot.clear();
        for (int32_t k = 0; k < list.Count(); ++k) snapshot.push_back(static_cast<TnxComponent*>(list[k]));
        generation = list.Generation();
        i = snapshot.size();
      }
      while (i > 0 && !c) {
        TnxComponent* candidate = snapshot[--i];
        if (candidate != aExclude && done.IndexOf(candidate) < 0) c = candidate;
      }
      if (!c) break;
      // Still linked (the snapshot matches the list): count the call before
      // letting go, so that c cannot finish going away under it.
      c->nxcCallsIn.fetch_add(1, std::memory_order_acq_rel);
    }
    TnxCallIn call(c->nxcCallsIn, c);
    done.Add(c);
    c->DependentNotify(this, aOp, aData);
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
  const std::unique_ptr<platform::TStringList> ignore = IgnoreList(aIgnoreClasses);
  TnxBroadcastData data;
  data.IteratonList = &list;
  data.IgnoreIterateClasses = ignore.get();
  data.bdSender = this;
  data.bdNotifyOp = aOp;
  data.bdParam = aData;
  DependentNotify(nullptr, nxn_Broadcast, &data);
}

std::unique_ptr<TnxIterationList> TnxComponent::IterateDependents(TnxIterationListFactory aListClass) {
  return IterateDependentsEx({}, aListClass);
}

std::unique_ptr<TnxIterationList> TnxComponent::IterateDependentsEx(const TnxClassNameList& aIgnoreClasses,
                                                                    TnxIterationListFactory aListClass) {
  std::unique_ptr<TnxIterationList> list = (aListClass ? aListClass : NewIterationList)();
  const std::unique_ptr<platform::TStringList> ignore = IgnoreList(aIgnoreClasses);
  TnxIterationData data;
  data.IteratonList = list.get();
  data.IgnoreIterateClasses = ignore.get();
  DependentNotify(nullptr, nxn_Iteration, &data);
  return list;
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
    if (LiveComponents().count(candidate) && !candidate->nxcDestroying.load() &&
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
  platform::TStringList captions;
  GetStatsCaptions(captions);
  return captions.Count() > 0;
}

void TnxComponent::GetStatsCaptions(platform::TStringList&) const {}
void TnxComponent::GetStatsValues(platform::TStringList&) const {}

void TnxComponent::GetExceptionData(InxExceptionDataContainer& aContainer, bool) {
  aContainer.AddPointer(u"SelfPtr", this);
  aContainer.AddString(u"ClassName", std::u16string(ClassName()));
  if (DisplayNameStored()) aContainer.AddString(u"DisplayName", nxcDisplayName);
  if (!nxcDisplayCategory.empty()) aContainer.AddString(u"DisplayCategory", nxcDisplayCategory);
  const TnxExceptionDataRef stats = aContainer.AddContainer(u"Stats");
  platform::TStringList captions, values;
  GetStatsCaptions(captions);
  GetStatsValues(values);
  for (int i = 0; i < captions.Count() && i < values.Count(); ++i)
    stats->AddString(captions[i], values[i]);
}

void TnxComponent::GetConfigSettings(TnxBaseSettings&) {}
void TnxComponent::LoadConfig(TnxBaseComponentConfiguration&) {}
void TnxComponent::SaveConfig(TnxBaseComponentConfiguration&) {}

void TnxComponent::DoLoadConfig(TnxBaseComponentConfiguration& aConfig) {
  LoadConfig(aConfig);
  if (nxcOnSettingsLoaded) nxcOnSettingsLoaded(this);
}

std::u16string TnxComponent::GetDisplayOnlyValue(std::u16string_view) const {
  return u"(not implemented)";
}

namespace {

[[noreturn]] void IncompatibleStream() {
  throw EnxComponentException(static_cast<int64_t>(nxeIncompatibleStream));
}

TnxComponent* FindInGroup(TnxIterationList& aList, std::u16string_view aName, bool aExact) {
  for (int i = 0; i < aList.Count(); ++i) {
    TnxComponent* c = aList.Items(i);
    if (aExact ? c->Name() == aName : platform::AnsiSameText(c->Name(), aName)) return c;
  }
  return nullptr;
}

}  // namespace

void nxSaveSettingsToStream(TnxIterationList& aList, TnxWriter& aWriter) {
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

void nxLoadSettingsFromStream(TnxIterationList& aList, TnxReader& aReader) {
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
    for (std::u16string& name : platform::SplitLines(aReader.ReadString()))
      if (!name.empty()) names.push_back(std::move(name));
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

// Names with their class records, sorted, compared without case; filled at
// start-up and read later without locks.
std::unique_ptr<platform::TStringList> gRegisteredClasses;

const TComponentClass* RegisteredAt(int aIndex) {
  return static_cast<const TComponentClass*>(gRegisteredClasses->Objects(aIndex));
}

}  // namespace

const TnxComponentExceptionClass& TnxRegisterableComponent::GetExceptionClass() const {
  return nxComponentExceptionClass<EnxRegisterableComponentException>();
}

const TComponentClass* TnxRegisterableComponent::FindRegisteredClass(std::u16string_view aClassName) {
  int at;
  if (!gRegisteredClasses || !gRegisteredClasses->Find(aClassName, at)) return nullptr;
  return RegisteredAt(at);
}

void TnxRegisterableComponent::Register(const TComponentClass& aClass) {
  if (FindRegisteredClass(aClass.Name))
    throw EnxRegisterableComponentException(u"The class \"%s\" is already registered",
                                            {aClass.Name});
  if (!gRegisteredClasses) {
    gRegisteredClasses = std::make_unique<platform::TStringList>();
    gRegisteredClasses->SetCaseSensitive(false);
    gRegisteredClasses->SetSorted(true);
  }
  gRegisteredClasses->AddObject(std::u16string(aClass.Name),
                                const_cast<TComponentClass*>(&aClass));
}

void TnxRegisterableComponent::Unregister(const TComponentClass& aClass) noexcept {
  if (!gRegisteredClasses) return;
  const int at = gRegisteredClasses->IndexOfObject(&aClass);
  if (at >= 0) gRegisteredClasses->Delete(at);
  if (gRegisteredClasses->Count() == 0) gRegisteredClasses.reset();
}

void TnxRegisterableComponent::GetRegisteredClasses(const TComponentClass& aBase,
                                                    platform::TStringList& aList) {
  aList.Clear();
  if (!gRegisteredClasses) return;
  for (int i = 0; i < gRegisteredClasses->Count(); ++i)
    if (RegisteredAt(i)->InheritsFrom(aBase))
      aList.AddObject((*gRegisteredClasses)[i], const_cast<TComponentClass*>(RegisteredAt(i)));
}

}  // namespace revurov
