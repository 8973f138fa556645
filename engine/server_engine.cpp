#include "engine/server_engine.h"

#include <algorithm>

#include "engine/engine_extender.h"
#include "engine/extendable_object.h"
#include "lowlevel/components/component_settings.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/streams/exception_conversion.h"
#include "platform/format.h"
#include "platform/string_list.h"
#include "platform/text.h"

namespace revurov {

using platform::HRESULT;
using platform::TGUID;

TnxBaseServerEngine::TnxBaseServerEngine(platform::TComponent* aOwner)
    : TnxStateComponent(aOwner), bseMonitors(std::make_unique<TnxListPortal>(std::make_unique<TnxSortedList>())) {}

TnxBaseServerEngine::~TnxBaseServerEngine() = default;

uint32_t TnxBaseServerEngine::ConvertException(const std::exception& aException, TnxAbstractServerObject* aObject) {
  try {
    int32_t version = aObject ? aObject->MinVersion() : nxDefaultClientVersion;
    TnxConvertLog log = [this](const std::u16string& aText, uint32_t aMsgNumber, TnxConvertLogPriority aPriority) {
      static constexpr TnxLogPriority kPriorities[] = {lpFatal, lpError, lpWarn, lpInfo};
      lcLog(aText, aMsgNumber, kPriorities[int(aPriority)], {}, 0, 0);
    };
    return nxConvertException(aException, (GetEventLogEnabled() && EventLog()) ? &log : nullptr, static_cast<TnxObject*>(aObject), version);
  } catch (...) {
    return nxeUnknownException;
  }
}

void TnxBaseServerEngine::NotifyObjectCreated(TnxExtendableServerObject* aObject) {
  TnxListReadGuard guard(*bseMonitors);
  TnxBaseList& monitors = guard.Entered();
  for (int32_t i = 0; i < monitors.Count(); ++i) {
    auto* monitor = static_cast<TnxBaseEngineMonitor*>(monitors[i]);
    if (monitor->HearsObjects()) monitor->ExtendableObjectCreated(aObject);
  }
}

void TnxBaseServerEngine::NotifyObjectDestroyed(TnxExtendableServerObject* aObject) {
  TnxListReadGuard guard(*bseMonitors);
  TnxBaseList& monitors = guard.Entered();
  for (int32_t i = 0; i < monitors.Count(); ++i) {
    auto* monitor = static_cast<TnxBaseEngineMonitor*>(monitors[i]);
    if (monitor->HearsObjects()) monitor->ExtendableObjectDestroyed(aObject);
  }
}

HRESULT TnxBaseServerEngine::CreateInstanceFor(TnxAbstractServerObject*, std::u16string_view aName,
                                               const TGUID& aClassID, platform::IInterface* aOuter,
                                               const TGUID& aInterfaceID, void** aInterface) {
  *aInterface = nullptr;
  // Our components take no session of the engine interface; the session
  // only names the caller here.
  if (platform::AsciiSameText(aName, u"<ServerEngine>"))
    return nxcCreateInstance(nullptr, aClassID, aOuter, aInterfaceID, aInterface);
  std::unique_ptr<TnxIterationList> components = IterateDependents();
  HRESULT result = platform::E_NOINTERFACE;
  for (int32_t i = 0; i < components->Count(); ++i) {
    TnxComponent* component = components->Items(i);
    if (!aName.empty() && !platform::AsciiSameText(component->Name(), aName)) continue;
    result = component->nxcCreateInstance(nullptr, aClassID, aOuter, aInterfaceID, aInterface);
    if (result >= 0) break;
  }
  return result;
}

uint32_t TnxBaseServerEngine::SessionOpen(TnxAbstractServerObject*& aSession, std::u16string_view aUserName,
                                          std::u16string_view aPassword, std::u16string_view aConnectedFrom,
                                          uint32_t aTimeout) {
  return SessionOpenEx(aSession, aUserName, aPassword, aConnectedFrom, aTimeout, nxDefaultClientVersion);
}

void TnxBaseServerEngine::SessionAdded(TnxServerObjectPtr<TnxAbstractServerObject> aSession) {
  TnxPadlockGuard guard(bseSessionsPadlock);
  bseSessions.push_back(std::move(aSession));
}

void TnxBaseServerEngine::SessionRemoved(TnxAbstractServerObject* aSession) {
  bool last;
  {
    TnxPadlockGuard guard(bseSessionsPadlock);
    auto it = std::find_if(bseSessions.begin(), bseSessions.end(),
                           [aSession](const auto& aEntry) { return aEntry.get() == aSession; });
    if (it == bseSessions.end()) return;
    // The session is being destroyed by whoever freed it.
    (void)it->release();
    bseSessions.erase(it);
    last = bseSessions.empty();
  }
  if (last) AllSessionsClosed();
}

std::vector<TnxAbstractServerObject*> TnxBaseServerEngine::Sessions() const {
  TnxPadlockGuard guard(bseSessionsPadlock);
  std::vector<TnxAbstractServerObject*> sessions;
  for (const auto& s : bseSessions) sessions.push_back(s.get());
  return sessions;
}

void TnxBaseServerEngine::DoStop() {
  TnxStateComponent::DoStop();
  FreeSessions();
}

void TnxBaseServerEngine::BeforeDestruction() {
  TnxStateComponent::BeforeDestruction();
  // An engine never started still owns the sessions opened on it.
  FreeSessions();
}

void TnxBaseServerEngine::FreeSessions() {
  TnxPadlockGuard guard(bseSessionsPadlock);
  while (!bseSessions.empty()) {
    TnxAbstractServerObject* last = bseSessions.back().get();
    last->Free();
    // A session that did not leave the list by itself is dropped here.
    if (!bseSessions.empty() && bseSessions.back().get() == last) {
      (void)bseSessions.back().release();
      bseSessions.pop_back();
    }
  }
}

void TnxBaseServerEngine::AddDependent(TnxComponent* aComponent) {
  TnxStateComponent::AddDependent(aComponent);
  if (dynamic_cast<TnxBaseEngineMonitor*>(aComponent)) {
    TnxListWriteGuard guard(*bseMonitors);
    TnxWriteableList& monitors = guard.Entered();
    if (monitors.IndexOf(aComponent) < 0) monitors.Add(aComponent);
  }
}

void TnxBaseServerEngine::RemoveDependent(TnxComponent* aComponent) {
  TnxStateComponent::RemoveDependent(aComponent);
  if (dynamic_cast<TnxBaseEngineMonitor*>(aComponent)) bseMonitors->Remove(aComponent);
}

void TnxBaseServerEngine::GetStatsCaptions(platform::TStringList& aList) const {
  TnxStateComponent::GetStatsCaptions(aList);
  for (const char16_t* caption : {u"Sessions", u"Databases", u"Transaction Contexts", u"Cursors", u"Statements"})
    aList.Add(caption);
}

void TnxBaseServerEngine::GetStatsValues(platform::TStringList& aList) const {
  TnxStateComponent::GetStatsValues(aList);
  for (int32_t value : {SessionCount(), DatabaseCount(), TransContextCount(), CursorCount(), StatementCount()})
    aList.Add(nxFormatGrouped(value));
}

void TnxBaseServerEngine::GetExceptionData(InxExceptionDataContainer& aContainer, bool aIncludeChildren) {
  TnxStateComponent::GetExceptionData(aContainer, aIncludeChildren);
  if (!aIncludeChildren) return;
  TnxPadlockGuard guard(bseSessionsPadlock);
  TnxExceptionDataRef sessions = aContainer.AddContainer(u"Sessions");
  for (size_t i = 0; i < bseSessions.size(); ++i)
    sessions->AddObject(platform::Format(u"[%d]", {int32_t(i)}), static_cast<TnxObject*>(bseSessions[i].get()),
                        true);
}

}  // namespace revurov
