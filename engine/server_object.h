// TnxAbstractServerObject: the root of every engine object. Its link to its
// session, its identity on the wire and the lookup of an identity, closing
// and destruction, the path walk that hands out interfaces, and the
// conversion of exceptions into result codes.
//
// Contract:
// - Objects are made by nxCreateServerObject, which runs AfterConstruction
//   once the constructors are done (the steps that call virtual operations)
//   and frees the object again when that raises. They end by Free (or Close,
//   or the owner's deleter), which runs BeforeDestruction while the object
//   is whole and then destroys it.
// - RemoteID is a handle of the engine's handle table (lowlevel/objects/
//   handle_table.h), filed with the object's class record and its session's
//   ID; it is handed out at AfterConstruction and ended at the first step of
//   destruction, so LookupByID answers 9990 and nil for 0, for a freed or
//   dying object (also when a new object took its slot), for an object not
//   of the expected class and for one of another session, and never touches
//   the memory the identity once named.
// - Results: engine operations answer 0 or a library error code;
//   CreateInstanceFor and what it calls answer HRESULTs.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "engine/engine_types.h"
#include "lowlevel/objects/persistent.h"
#include "lowlevel/objects/registerable.h"

namespace revurov {

class TnxBaseServerEngine;
class TnxHandleTable;

// {762A2DA1-44B8-447A-8CCA-74EBEAA4E9F1}: asks "<Self>" for the object's own
// interfaces.
inline constexpr platform::TGUID nxServerObjectClassID = platform::nxGuid("{762A2DA1-44B8-447A-8CCA-74EBEAA4E9F1}");

class InxAbstractServerObject41100 : public virtual platform::IInterface {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{65C25198-5DDF-4807-9196-6A76BBFE6768}");
  // The object's exception data, encoded for the thread's client version
  // (at most 47501).
  virtual std::u16string GetEncodedExceptionData(bool aIncludeChildren) = 0;
};

// The table that hands out the identities of engine objects.
TnxHandleTable& nxServerObjectHandles();

// A path's first part and the rest ("<Self>" when nothing follows it).
std::pair<std::u16string_view, std::u16string_view> nxSplitObjectPath(std::u16string_view aPath) noexcept;

class TnxAbstractServerObject : public TnxLifetimeTrackedPersistent, public InxAbstractServerObject41100 {
public:
  static const TnxRegisterableClass& ClassInfo() noexcept;
  virtual const TnxRegisterableClass& ClassType() const noexcept { return ClassInfo(); }
  std::u16string_view ClassName() const noexcept override { return ClassType().Name; }

  platform::HRESULT QueryInterface(const platform::TGUID& iid, void** obj) noexcept override {
    return TnxLifetimeTrackedPersistent::QueryInterface(iid, obj);
  }
  int32_t AddRef() noexcept override { return -1; }
  int32_t Release() noexcept override { return -1; }

  TnxAbstractServerObject* Session() const noexcept { return asoSession; }
  bool Destroying() const noexcept { return asoDestroying.load(std::memory_order_acquire); }

  virtual TnxBaseID RemoteID() const noexcept { return asoHandle; }
  virtual bool IsRemote() const noexcept { return false; }
  virtual int32_t RemoteThreadPriority() const { return 0; }
  virtual void SetRemoteThreadPriority(int32_t) {}
  // The session's; without a session the calling thread's client version.
  virtual int32_t MinVersion() const;
  // The session the path step "<Session>" goes to: the object's session; a
  // session answers itself.
  virtual TnxAbstractServerObject* SessionForPath() noexcept { return asoSession; }
  virtual TnxBaseServerEngine* OwningServerEngine() const { return nullptr; }

  virtual platform::HRESULT CreateInstanceOnSelf(const platform::TGUID& aClassID, platform::IInterface* aOuter,
                                                 const platform::TGUID& aInterfaceID, void** aInterface);
  virtual platform::HRESULT CreateInstanceFor(std::u16string_view aName, const platform::TGUID& aClassID,
                                              platform::IInterface* aOuter, const platform::TGUID& aInterfaceID,
                                              void** aInterface);
  virtual uint32_t asoConvertException(const std::exception& aException);
  // The exception in flight as a code; for catch (...) blocks.
  uint32_t asoConvertCurrentException() noexcept;
  // Closes and frees the object; 8455 while it is being destroyed.
  virtual uint32_t Close();
  // Frees the object unless it is already being destroyed.
  void Free();

  // The object of the expected class that aBaseID names in session
  // aSessionID, or 9990 and nil.
  static uint32_t LookupByID(const TnxRegisterableClass& aExpected, TnxSessionID aSessionID, TnxBaseID aBaseID,
                             TnxAbstractServerObject*& aBase) noexcept;
  template <class T>
  static uint32_t LookupByID(TnxSessionID aSessionID, TnxBaseID aBaseID, T*& aBase) noexcept {
    TnxAbstractServerObject* base = nullptr;
    uint32_t result = LookupByID(T::ClassInfo(), aSessionID, aBaseID, base);
    aBase = static_cast<T*>(base);
    return result;
  }

  void GetExceptionData(InxExceptionDataContainer& aContainer, bool aIncludeChildren) override;
  std::u16string GetEncodedExceptionData(bool aIncludeChildren) override;

  // Points the destroy flag at aFlag and answers the previous one, to be
  // given back when the caller is done (flags chain).
  bool* SetDestroyFlag(bool* aFlag) noexcept { return std::exchange(asoDestroyFlag, aFlag); }

  // Steps around construction and destruction; see the contract.
  virtual void AfterConstruction();
  virtual void BeforeDestruction();

protected:
  explicit TnxAbstractServerObject(TnxAbstractServerObject* aSession);
  ~TnxAbstractServerObject() override;

  bool GetInterface(const platform::TGUID& iid, void** obj) noexcept override;
  // Where each class releases what may still run on the object.
  virtual void PrepareDestroy() {}
  // Marks the object as dying (and the caller's destroy flag) and ends its
  // identity.
  void MarkDestroying() noexcept;

private:
  std::atomic<bool> asoDestroying{false};
  bool* asoDestroyFlag = nullptr;
  TnxAbstractServerObject* asoSession = nullptr;
  TnxBaseID asoHandle = 0;
};

// The class record lines of a server object class.
#define REVUROV_SERVER_OBJECT_CLASS(Name, ParentClass) REVUROV_REGISTERABLE_CLASS(Name, ParentClass)

// Frees a server object through Free, so its before-destruction step runs.
struct TnxServerObjectFree {
  void operator()(TnxAbstractServerObject* aObject) const noexcept {
    try {
      aObject->Free();
    } catch (...) {
      // A deleter cannot report; Close is the way to learn of a failure.
    }
  }
};
template <class T>
using TnxServerObjectPtr = std::unique_ptr<T, TnxServerObjectFree>;

// Makes a server object and runs its after-construction step; a failure
// there frees the half-built object and passes the exception on.
template <class T, class... A>
TnxServerObjectPtr<T> nxCreateServerObject(A&&... aArgs) {
  TnxServerObjectPtr<T> object(new T(std::forward<A>(aArgs)...));
  object->AfterConstruction();
  return object;
}

// Close that also takes nil (answers 0).
inline uint32_t nxCloseServerObject(TnxAbstractServerObject* aObject) { return aObject ? aObject->Close() : 0; }

}  // namespace revurov
