#include "engine/extendable_object.h"

#include <thread>

#include "engine/engine_extender.h"
#include "engine/server_engine.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exceptions.h"
#include "lowlevel/streams/exception_conversion.h"
#include "platform/text.h"

namespace revurov {

using platform::HRESULT;
using platform::TGUID;
using platform::TStringList;

namespace {

// A name=value store reads "a=b" as the name "a": such a name, and the
// empty one, would be filed under another option.
bool BadOptionName(std::u16string_view aName) noexcept {
  return aName.empty() || aName.find(u'=') != std::u16string_view::npos;
}

// Holds a count on an extender for a callable handed out of the padlock.
class ExtenderRef {
public:
  explicit ExtenderRef(TnxBaseEngineExtender* aExtender) noexcept : erExtender(aExtender) {
    erExtender->AddRefExtender();
  }
  ExtenderRef(const ExtenderRef& aOther) noexcept : ExtenderRef(aOther.erExtender) {}
  ExtenderRef& operator=(const ExtenderRef&) = delete;
  ~ExtenderRef() { erExtender->ReleaseExtender(); }
  TnxBaseEngineExtender* operator->() const noexcept { return erExtender; }

private:
  TnxBaseEngineExtender* erExtender;
};

}  // namespace

TnxExtendableServerObject::TnxExtendableServerObject(TnxExtendableServerObject* aParent)
    : TnxAbstractServerObject(aParent ? aParent->SessionForPath() : nullptr), esoParent(aParent) {}

TnxExtendableServerObject::~TnxExtendableServerObject() {
  // Take each extender out of the list under the padlock, then let it leave
  // its monitor outside it (the monitor's padlock comes first in the lock
  // order). One that its stopping monitor is freeing right now leaves this
  // list on that thread; wait for it.
  for (;;) {
    TnxBaseEngineExtender* extender;
    {
      TnxPadlockGuard guard(esoExtendersLock);
      extender = esoExtendersHead;
      if (!extender) break;
      if (extender->beeFreed.exchange(true)) {
        extender = nullptr;
      } else {
        extender->LeaveObject();
      }
    }
    if (!extender) {
      std::this_thread::yield();
      continue;
    }
    extender->LeaveMonitor();
    extender->ReleaseExtender();
  }
  if (esoDestroyEngine) esoDestroyEngine->NotifyObjectDestroyed(this);
}

TnxBaseServerEngine* TnxExtendableServerObject::OwningServerEngine() const {
  return esoParent ? esoParent->OwningServerEngine() : nullptr;
}

void TnxExtendableServerObject::AfterConstruction() {
  TnxAbstractServerObject::AfterConstruction();
  TnxBaseServerEngine* engine = OwningServerEngine();
  if (engine && esoIsMonitored()) engine->NotifyObjectCreated(this);
  uint32_t result = 0;
  if (esoParent) {
    TnxEngineArg self[] = {TnxEngineArg(this)};
    result = esoParent->NotifyExtenders(eaChildCreate, false, self);
  }
  if (result == 0) result = NotifyExtenders(eaCreate, false, {});
  if (result != 0) {
    if (engine) engine->RaiseEngineException(result);
    throw EnxBaseException(result);
  }
}

void TnxExtendableServerObject::BeforeDestruction() {
  MarkDestroying();
  // Asked while the object is whole: a session's override is gone in the
  // destructor.
  esoDestroyEngine = OwningServerEngine();
  NotifyExtenders(eaDestroy, true, {});
  if (esoParent) {
    TnxEngineArg self[] = {TnxEngineArg(this)};
    esoParent->NotifyExtenders(eaChildDestroy, true, self);
  }
  TnxAbstractServerObject::BeforeDestruction();
}

void TnxExtendableServerObject::PrepareDestroy() {
  TnxAbstractServerObject::PrepareDestroy();
  try {
    TnxPadlockGuard guard(esoExtendersLock);
    for (TnxBaseEngineExtender* e = esoExtendersHead; e; e = e->beeExtendableObjectNext) {
      try {
        e->PrepareDestroy();
      } catch (const std::exception& ex) {
        asoConvertException(ex);
      }
    }
  } catch (const std::exception& ex) {
    asoConvertException(ex);
  }
}

HRESULT TnxExtendableServerObject::CreateInstanceFor(std::u16string_view aName, const TGUID& aClassID,
                                                     platform::IInterface* aOuter, const TGUID& aInterfaceID,
                                                     void** aInterface) {
  if (platform::AsciiSameText(aName, u"<Extenders>")) {
    *aInterface = nullptr;
    return CreateInstanceForExtenders(aClassID, aOuter, aInterfaceID, aInterface);
  }
  return TnxAbstractServerObject::CreateInstanceFor(aName, aClassID, aOuter, aInterfaceID, aInterface);
}

void TnxExtendableServerObject::GetExceptionData(InxExceptionDataContainer& aContainer, bool aIncludeChildren) {
  TnxAbstractServerObject::GetExceptionData(aContainer, aIncludeChildren);
  if (esoOptions) aContainer.AddObject(u"Options", esoOptions.get(), aIncludeChildren);
}

// ---- options ----

uint32_t TnxExtendableServerObject::esoOptionSet(std::u16string_view aName, std::u16string_view aValue) {
  if (BadOptionName(aName)) return nxeInvalidParameter;
  if (!esoOptions) esoOptions = std::make_unique<TStringList>();
  esoOptions->SetValues(aName, aValue);
  esoOptionChanged(aName, aValue);
  return 0;
}

uint32_t TnxExtendableServerObject::esoOptionClear(std::u16string_view aName) {
  if (BadOptionName(aName)) return nxeInvalidParameter;
  int index = esoOptions ? esoOptions->IndexOfName(aName) : -1;
  if (index < 0) return nxeObjectNotFound;
  esoOptions->Delete(index);
  if (esoOptions->Count() == 0) esoOptions.reset();
  esoOptionChanged(aName, {});
  return 0;
}

uint32_t TnxExtendableServerObject::esoOptionGet(std::u16string_view aName, std::u16string& aValue) {
  aValue.clear();
  if (BadOptionName(aName)) return nxeInvalidParameter;
  int index = esoOptions ? esoOptions->IndexOfName(aName) : -1;
  if (index < 0) return nxeObjectNotFound;
  aValue = esoOptions->ValueFromIndex(index);
  return 0;
}

uint32_t TnxExtendableServerObject::esoOptionGetParent(std::u16string_view aName, std::u16string& aValue) {
  aValue.clear();
  TnxExtendableServerObject* parent = esoOptionParent();
  if (!parent) return nxeObjectNotFound;
  return parent->esoOptionGetEffective(aName, aValue);
}

uint32_t TnxExtendableServerObject::esoOptionGetEffective(std::u16string_view aName, std::u16string& aValue) {
  uint32_t result = esoOptionGet(aName, aValue);
  if (result == nxeObjectNotFound) result = esoOptionGetParent(aName, aValue);
  return result;
}

uint32_t TnxExtendableServerObject::esoOptionList(TStringList& aList) {
  aList.BeginUpdate();
  struct EndUpdate {
    TStringList& list;
    ~EndUpdate() { list.EndUpdate(); }
  } end{aList};
  aList.Clear();
  if (esoOptions) aList.AddStrings(*esoOptions);
  return 0;
}

uint32_t TnxExtendableServerObject::esoOptionListParent(TStringList& aList) {
  TnxExtendableServerObject* parent = esoOptionParent();
  return parent ? parent->esoOptionList(aList) : 0;
}

uint32_t TnxExtendableServerObject::esoOptionListEffective(TStringList& aList) {
  aList.BeginUpdate();
  struct EndUpdate {
    TStringList& list;
    ~EndUpdate() { list.EndUpdate(); }
  } end{aList};
  aList.Clear();
  uint32_t result = esoOptionList(aList);
  if (result == 0) {
    TStringList inherited;
    result = esoOptionListParent(inherited);
    if (result == 0) result = esoOptionMerge(aList, inherited);
  }
  return result;
}

uint32_t TnxExtendableServerObject::esoOptionMerge(TStringList& aTarget, const TStringList& aSource) {
  for (int i = 0; i < aSource.Count(); ++i) {
    std::u16string name = aSource.Names(i);
    if (aTarget.IndexOfName(name) < 0) aTarget.SetValues(name, aSource.Values(name));
  }
  return 0;
}

uint32_t TnxExtendableServerObject::OptionGet(std::u16string_view aName, std::u16string& aValue) {
  aValue.clear();
  return esoOptionGet(aName, aValue);
}

uint32_t TnxExtendableServerObject::OptionGetEffective(std::u16string_view aName, std::u16string& aValue) {
  aValue.clear();
  return esoOptionGetEffective(aName, aValue);
}

// ---- extenders ----

uint32_t TnxExtendableServerObject::NotifyExtenders(TnxEngineAction aAction, bool aBefore, TnxEngineArgs aArgs) {
  if (!ExtendersActions().Contains(aAction)) return 0;
  try {
    TnxPadlockGuard guard(esoExtendersLock);
    for (TnxBaseEngineExtender* e = esoExtendersHead; e; e = e->beeExtendableObjectNext) {
      if (!e->beeActions.Contains(aAction)) continue;
      uint32_t result;
      try {
        result = e->Notify(aAction, aBefore, aArgs);
      } catch (const std::exception& ex) {
        result = asoConvertException(ex);
      }
      if (result != 0) return result;
    }
    return 0;
  } catch (const std::exception& ex) {
    return asoConvertException(ex);
  }
}

TnxEngineNotify TnxExtendableServerObject::GetNotifyFor(TnxEngineAction aAction) {
  if (!ExtendersActions().Contains(aAction)) return {};
  TnxPadlockGuard guard(esoExtendersLock);
  TnxBaseEngineExtender* only = nullptr;
  for (TnxBaseEngineExtender* e = esoExtendersHead; e; e = e->beeExtendableObjectNext) {
    if (!e->beeActions.Contains(aAction)) continue;
    if (only) {
      return [this](TnxEngineAction aAct, bool aBefore, TnxEngineArgs aArgs) {
        return NotifyExtenders(aAct, aBefore, aArgs);
      };
    }
    only = e;
  }
  if (!only) return {};
  // Called outside the padlock: the callable's count keeps the extender
  // alive when its monitor frees it meanwhile.
  return [ref = ExtenderRef(only)](TnxEngineAction aAct, bool aBefore, TnxEngineArgs aArgs) {
    return ref->Notify(aAct, aBefore, aArgs);
  };
}

TnxBaseEngineExtender* TnxExtendableServerObject::GetExtenderOfType(const TnxRegisterableClass& aClass) {
  TnxPadlockGuard guard(esoExtendersLock);
  for (TnxBaseEngineExtender* e = esoExtendersHead; e; e = e->beeExtendableObjectNext)
    if (e->ClassType().InheritsFrom(aClass)) return e;
  return nullptr;
}

int32_t TnxExtendableServerObject::ExtenderCount() {
  TnxPadlockGuard guard(esoExtendersLock);
  int32_t count = 0;
  for (TnxBaseEngineExtender* e = esoExtendersHead; e; e = e->beeExtendableObjectNext) ++count;
  return count;
}

HRESULT TnxExtendableServerObject::CreateInstanceForExtenders(const TGUID& aClassID, platform::IInterface* aOuter,
                                                              const TGUID& aInterfaceID, void** aInterface) {
  *aInterface = nullptr;
  TnxPadlockGuard guard(esoExtendersLock);
  HRESULT result = platform::E_NOINTERFACE;
  for (TnxBaseEngineExtender* e = esoExtendersHead; e; e = e->beeExtendableObjectNext) {
    result = e->beeCreateInstance(aClassID, aOuter, aInterfaceID, aInterface);
    if (result == 0) break;
  }
  return result;
}

bool TnxExtendableServerObject::IgnoreSecurity() const noexcept {
  for (const TnxExtendableServerObject* o = this; o; o = o->esoParent)
    if (o->esoIgnoreSecurity > 0) return true;
  return false;
}

// ---- locked options ----

uint32_t TnxLockedOptionsExtendableServerObject::esoOptionClear(std::u16string_view aName) {
  TnxPadlockGuard guard(loesoOptionsLock);
  return TnxExtendableServerObject::esoOptionClear(aName);
}

uint32_t TnxLockedOptionsExtendableServerObject::esoOptionSet(std::u16string_view aName, std::u16string_view aValue) {
  TnxPadlockGuard guard(loesoOptionsLock);
  return TnxExtendableServerObject::esoOptionSet(aName, aValue);
}

uint32_t TnxLockedOptionsExtendableServerObject::esoOptionGet(std::u16string_view aName, std::u16string& aValue) {
  TnxPadlockGuard guard(loesoOptionsLock);
  return TnxExtendableServerObject::esoOptionGet(aName, aValue);
}

uint32_t TnxLockedOptionsExtendableServerObject::esoOptionList(TStringList& aList) {
  TnxPadlockGuard guard(loesoOptionsLock);
  return TnxExtendableServerObject::esoOptionList(aList);
}

void TnxLockedOptionsExtendableServerObject::GetExceptionData(InxExceptionDataContainer& aContainer,
                                                              bool aIncludeChildren) {
  TnxPadlockGuard guard(loesoOptionsLock);
  TnxExtendableServerObject::GetExceptionData(aContainer, aIncludeChildren);
}

}  // namespace revurov
