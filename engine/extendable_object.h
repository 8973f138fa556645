// TnxExtendableServerObject: an engine object with a parent, named string
// options inherited along the parents, and engine extenders that hear of
// its actions; TnxLockedOptionsExtendableServerObject guards its options
// with a padlock of its own.
//
// Contract:
// - Options: names compare without case; a name that is empty or holds "="
//   is refused with 9986 (the name=value store would file it under another
//   option); a missing option answers 8712 with an empty value. The plain
//   class does not lock its options, its callers serialise (the session
//   lock); the locked variant runs every store access under its padlock.
// - Extenders: NotifyExtenders walks the extenders under the object's
//   extenders padlock; the first non-zero answer is a veto and ends the
//   walk. GetNotifyFor answers a callable to run outside that padlock: the
//   one interested extender's Notify, which keeps the extender alive as long
//   as the callable lives, or the object's own NotifyExtenders.
// - AfterConstruction lets the engine's monitors attach extenders, then
//   announces eaChildCreate to the parent and eaCreate to the object; a veto
//   raises the engine's exception for that code and the object is freed.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "engine/server_object.h"
#include "lowlevel/sync/padlock.h"
#include "platform/string_list.h"

namespace revurov {

class TnxBaseEngineExtender;

class TnxExtendableServerObject : public TnxAbstractServerObject {
  REVUROV_SERVER_OBJECT_CLASS(TnxExtendableServerObject, TnxAbstractServerObject)
  TnxExtendableServerObject* Parent() const noexcept { return esoParent; }
  TnxBaseServerEngine* OwningServerEngine() const override;
  platform::HRESULT CreateInstanceFor(std::u16string_view aName, const platform::TGUID& aClassID,
                                      platform::IInterface* aOuter, const platform::TGUID& aInterfaceID,
                                      void** aInterface) override;
  void GetExceptionData(InxExceptionDataContainer& aContainer, bool aIncludeChildren) override;
  void AfterConstruction() override;
  void BeforeDestruction() override;

  // Options.
  // Virtual: timeout objects run them under the session lock.
  virtual uint32_t OptionClear(std::u16string_view aName) { return esoOptionClear(aName); }
  virtual uint32_t OptionSet(std::u16string_view aName, std::u16string_view aValue) { return esoOptionSet(aName, aValue); }
  virtual uint32_t OptionGet(std::u16string_view aName, std::u16string& aValue);
  virtual uint32_t OptionGetEffective(std::u16string_view aName, std::u16string& aValue);
  virtual uint32_t OptionList(platform::TStringList& aList) { return esoOptionList(aList); }
  virtual uint32_t OptionListEffective(platform::TStringList& aList) { return esoOptionListEffective(aList); }

  // Extenders.
  virtual bool esoIsMonitored() const { return true; }
  virtual platform::HRESULT CreateInstanceForExtenders(const platform::TGUID& aClassID, platform::IInterface* aOuter,
                                                       const platform::TGUID& aInterfaceID, void** aInterface);
  virtual uint32_t NotifyExtenders(TnxEngineAction aAction, bool aBefore, TnxEngineArgs aArgs);
  TnxEngineNotify GetNotifyFor(TnxEngineAction aAction);
  // The first extender of the class (or derived from it); nil when none.
  TnxBaseEngineExtender* GetExtenderOfType(const TnxRegisterableClass& aClass);
  TnxEngineActions ExtendersActions() const noexcept {
    return TnxEngineActions(esoExtendersActions.load(std::memory_order_acquire));
  }
  int32_t ExtenderCount();

  void BeginIgnoreSecurity() noexcept { ++esoIgnoreSecurity; }
  void EndIgnoreSecurity() noexcept { --esoIgnoreSecurity; }
  // True while this object or one up the parents counts above 0.
  bool IgnoreSecurity() const noexcept;

protected:
  // aParent: the object this one is created under (nil for a session). The
  // session is the parent when that is a session, else the parent's.
  explicit TnxExtendableServerObject(TnxExtendableServerObject* aParent);
  ~TnxExtendableServerObject() override;
  void PrepareDestroy() override;

  virtual TnxExtendableServerObject* esoOptionParent() const { return esoParent; }
  virtual uint32_t esoOptionClear(std::u16string_view aName);
  virtual uint32_t esoOptionSet(std::u16string_view aName, std::u16string_view aValue);
  virtual void esoOptionChanged(std::u16string_view, std::u16string_view) {}
  virtual uint32_t esoOptionGet(std::u16string_view aName, std::u16string& aValue);
  virtual uint32_t esoOptionGetParent(std::u16string_view aName, std::u16string& aValue);
  virtual uint32_t esoOptionGetEffective(std::u16string_view aName, std::u16string& aValue);
  virtual uint32_t esoOptionList(platform::TStringList& aList);
  virtual uint32_t esoOptionListParent(platform::TStringList& aList);
  virtual uint32_t esoOptionListEffective(platform::TStringList& aList);
  virtual uint32_t esoOptionMerge(platform::TStringList& aTarget, const platform::TStringList& aSource);
  // The option store for the exception data; nil without options.
  const platform::TStringList* Options() const noexcept { return esoOptions.get(); }

private:
  friend class TnxBaseEngineExtender;

  TnxExtendableServerObject* esoParent = nullptr;
  TnxPadlock esoExtendersLock;
  TnxBaseEngineExtender* esoExtendersHead = nullptr;  // the list holds a reference on each
  TnxBaseEngineExtender* esoExtendersTail = nullptr;
  std::atomic<uint64_t> esoExtendersActions{0};
  std::unique_ptr<platform::TStringList> esoOptions;
  int32_t esoIgnoreSecurity = 0;
  TnxBaseServerEngine* esoDestroyEngine = nullptr;
};

class TnxLockedOptionsExtendableServerObject : public TnxExtendableServerObject {
  REVUROV_SERVER_OBJECT_CLASS(TnxLockedOptionsExtendableServerObject, TnxExtendableServerObject)
  void GetExceptionData(InxExceptionDataContainer& aContainer, bool aIncludeChildren) override;

protected:
  using TnxExtendableServerObject::TnxExtendableServerObject;
  uint32_t esoOptionClear(std::u16string_view aName) override;
  uint32_t esoOptionSet(std::u16string_view aName, std::u16string_view aValue) override;
  uint32_t esoOptionGet(std::u16string_view aName, std::u16string& aValue) override;
  uint32_t esoOptionList(platform::TStringList& aList) override;

private:
  TnxPadlock loesoOptionsLock;
};

}  // namespace revurov
