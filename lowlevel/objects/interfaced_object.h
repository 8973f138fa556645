// Reference-counted bases for interface implementations, on the library
// heap: TnxInterfacedObject, TnxAggregatableObject and the weak-reference
// monitor TnxLifetimeMonitor.
//
// Contract:
// - Create interfaced objects with nxCreate<T>(...): the count is 1 while
//   the constructor runs (a reference taken and dropped there cannot destroy
//   the object) and goes back to 0 after it.
// - Release that brings the count to 0 destroys the object unless it was
//   created keep-alive; a compare-exchange on ioReleased makes that happen
//   once even when the count passes 0 again during destruction.
// - Free() ends the keep-alive: the object goes at once when nobody holds a
//   reference, else with the last Release. nxFreeAndNil (and Destroy) raise
//   EInvalidPointer for an object that still has references.
// - Descendants add interfaces by overriding GetInterface: on a match it
//   stores the interface in *obj, takes one reference through it (use
//   nxOfferInterface) and answers true; otherwise it asks the base.
// - TnxAggregatableObject: every interface of the object forwards its three
//   operations to the host when one is set (the Outer operations); the
//   object's own entry, InnerInterface(), counts the object itself.
// - TnxLifetimeMonitor: the monitored object holds the InxLifetimeMonitorObject
//   side; weak holders hold InxLifetimeMonitorRef and ask IsAlive, which is
//   false after Dead or once the object side has no reference left.
#pragma once

#include <atomic>
#include <cstdint>
#include <utility>

#include "lowlevel/heap/memory_manager.h"
#include "platform/interface.h"

namespace revurov {

// Stores self as interface I in *obj with one reference when iid is I's.
template <typename I, typename Self>
bool nxOfferInterface(Self* self, const platform::TGUID& iid, void** obj) noexcept {
  if (!(iid == I::IID)) return false;
  I* i = static_cast<I*>(self);
  i->AddRef();
  *obj = i;
  return true;
}

class TnxInterfacedObject : public TnxObject, public virtual platform::IInterface {
public:
  explicit TnxInterfacedObject(bool aKeepAlive = false) noexcept : ioKeepAlive(aKeepAlive) {}

  platform::HRESULT QueryInterface(const platform::TGUID& iid, void** obj) noexcept override;
  int32_t AddRef() noexcept override;
  int32_t Release() noexcept override;

  // Ends the keep-alive; see the contract above.
  void Free();
  // Destroys the object; EInvalidPointer while references are held.
  void Destroy();
  // Run by nxCreate once the constructor has finished.
  void AfterConstruction() noexcept;

  int32_t RefCount() const noexcept { return ioRefCount.load(); }
  bool KeepAlive() const noexcept { return ioKeepAlive.load(); }

protected:
  ~TnxInterfacedObject() override = default;
  // The hook Free runs on a keep-alive object.
  virtual void DoFree() {}
  // The class's interface lookup.
  virtual bool GetInterface(const platform::TGUID& iid, void** obj) noexcept;

  std::atomic<int32_t> ioRefCount{1};
  std::atomic<int32_t> ioReleased{0};
  std::atomic<bool> ioKeepAlive{false};
};

// Creates an interfaced object (or any TnxObject) and finishes its
// construction.
template <typename T, typename... A>
T* nxCreate(A&&... args) {
  T* obj = new T(std::forward<A>(args)...);
  if constexpr (std::is_base_of_v<TnxInterfacedObject, T>) obj->AfterConstruction();
  return obj;
}

class TnxAggregatableObject : public TnxInterfacedObject {
public:
  // The host is kept without a reference: it owns this object.
  TnxAggregatableObject(platform::IInterface* aHost, bool aKeepAlive = false) noexcept
      : TnxInterfacedObject(aKeepAlive), aoHost(aHost) {}

  platform::HRESULT QueryInterface(const platform::TGUID& iid, void** obj) noexcept override { return OuterQueryInterface(iid, obj); }
  int32_t AddRef() noexcept override { return OuterAddRef(); }
  int32_t Release() noexcept override { return OuterRelease(); }

  // The object's own IInterface entry (no reference taken).
  platform::IInterface* InnerInterface() noexcept { return &aoInner; }
  platform::TInterfacePtr<platform::IInterface> Host() const noexcept { return aoHost; }

protected:
  virtual platform::HRESULT InnerQueryInterface(const platform::TGUID& iid, void** obj) noexcept;
  virtual int32_t InnerAddRef() noexcept { return TnxInterfacedObject::AddRef(); }
  virtual int32_t InnerRelease() noexcept { return TnxInterfacedObject::Release(); }
  virtual platform::HRESULT OuterQueryInterface(const platform::TGUID& iid, void** obj) noexcept;
  virtual int32_t OuterAddRef() noexcept { return aoHost ? aoHost->AddRef() : InnerAddRef(); }
  virtual int32_t OuterRelease() noexcept { return aoHost ? aoHost->Release() : InnerRelease(); }

private:
  struct TInnerEntry final : platform::IInterface {
    TnxAggregatableObject* owner;
    explicit TInnerEntry(TnxAggregatableObject* o) : owner(o) {}
    platform::HRESULT QueryInterface(const platform::TGUID& iid, void** obj) noexcept override {
      return owner->InnerQueryInterface(iid, obj);
    }
    int32_t AddRef() noexcept override { return owner->InnerAddRef(); }
    int32_t Release() noexcept override { return owner->InnerRelease(); }
  };
  TInnerEntry aoInner{this};
  platform::IInterface* aoHost = nullptr;
};

class InxLifetimeMonitorRef : public virtual platform::IInterface {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{B653B08D-95B4-4219-9929-4B51944226F9}");
  virtual bool IsAlive() noexcept = 0;
};

class InxLifetimeMonitorObject : public virtual platform::IInterface {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{7137B921-9BBE-4943-90D7-69FE38DF7994}");
  virtual void Dead() noexcept = 0;
};

class TnxLifetimeMonitor : public TnxInterfacedObject, public InxLifetimeMonitorRef {
public:
  TnxLifetimeMonitor() noexcept : TnxInterfacedObject(false) {}
  bool IsAlive() noexcept override { return !ltmIsDead.load() && ltmObjectRefCount.load() >= 1; }

protected:
  bool GetInterface(const platform::TGUID& iid, void** obj) noexcept override;

private:
  friend platform::TInterfacePtr<InxLifetimeMonitorObject> nxCreateLifetimeMonitor();

  // The monitored object's side: its references are counted apart.
  struct TObjectSide final : InxLifetimeMonitorObject {
    TnxLifetimeMonitor* owner;
    explicit TObjectSide(TnxLifetimeMonitor* o) : owner(o) {}
    platform::HRESULT QueryInterface(const platform::TGUID& iid, void** obj) noexcept override {
      return owner->QueryInterface(iid, obj);
    }
    int32_t AddRef() noexcept override {
      owner->ltmObjectRefCount.fetch_add(1);
      return owner->AddRef();
    }
    int32_t Release() noexcept override {
      owner->ltmObjectRefCount.fetch_sub(1);
      return owner->Release();
    }
    void Dead() noexcept override { owner->ltmIsDead.store(true); }
  };

  std::atomic<int32_t> ltmObjectRefCount{0};
  std::atomic<bool> ltmIsDead{false};
  TObjectSide ltmObjectSide{this};
};

platform::TInterfacePtr<InxLifetimeMonitorObject> nxCreateLifetimeMonitor();

}  // namespace revurov
