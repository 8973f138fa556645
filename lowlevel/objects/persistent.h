// Persistent object bases of the library's engine objects.
//
// Contract:
// - TnxPersistent answers interface queries without counting references
//   (AddRef and Release answer -1; the owner frees the object). The private
//   identifier nxPersistentSelfIID yields the TnxPersistent itself, which
//   lets code get from any of its interfaces back to the object.
// - Subclasses add interfaces by overriding GetInterface (nxOfferInterface
//   takes its no-op reference) and name themselves with
//   REVUROV_PERSISTENT_CLASS; the name is what messages and exception data
//   show.
// - Copying: Assign(source) hands the work to source->AssignTo(this), so a
//   class can teach itself to be copied into classes that do not know it;
//   an override handles the sources it knows and passes others to the base.
//   A null source, or one that neither side knows, raises EConvertError
//   with SAssignError (source class name or "nil", target class name).
// - TnxLifetimeTrackedPersistent hands out weak references to a lifetime
//   monitor, made on the first request (one compare-and-swap publishes it;
//   a racing loser is dropped) and told at destruction, after which every
//   reference answers IsAlive false.
#pragma once

#include <atomic>
#include <cstdint>
#include <string_view>

#include "lowlevel/errors/exception_data_interfaces.h"
#include "lowlevel/heap/memory_manager.h"
#include "lowlevel/objects/interfaced_object.h"

namespace revurov {

inline constexpr platform::TGUID nxPersistentSelfIID = platform::nxGuid("{CEDF24DE-80A4-447D-8C75-EB871DC121FD}");

#define REVUROV_PERSISTENT_CLASS(Name)                                                   \
public:                                                                                  \
  std::u16string_view ClassName() const noexcept override { return u"" #Name; }

class TnxPersistent : public TnxObject, public virtual platform::IInterface, public InxExceptionData {
public:
  TnxPersistent() = default;
  ~TnxPersistent() override = default;

  platform::HRESULT QueryInterface(const platform::TGUID& iid, void** obj) noexcept override;
  int32_t AddRef() noexcept override { return -1; }
  int32_t Release() noexcept override { return -1; }

  virtual std::u16string_view ClassName() const noexcept { return u"TnxPersistent"; }
  // Copies aSource into this object (see Copying above).
  virtual void Assign(const TnxPersistent* aSource);
  // Copies this object into aDest; the base knows no target and raises.
  virtual void AssignTo(TnxPersistent* aDest) const;
  // Adds "SelfPtr" and "ClassName"; subclasses add their own values.
  void GetExceptionData(InxExceptionDataContainer& aContainer, bool aFlag) override;
  // Records "<operation> not supported by <class>" ("Method" without an
  // operation) with code 12289 for this thread and returns 12289.
  uint32_t NotSupported(std::u16string_view aOperation = {}) const;

  // The object behind an interface of a TnxPersistent; null otherwise.
  static TnxPersistent* FromInterface(platform::IInterface* aInterface) noexcept;

protected:
  // The class's interface table: IInterface here.
  virtual bool GetInterface(const platform::TGUID& iid, void** obj) noexcept;
  // Raises the "cannot assign aSource to this object" error.
  [[noreturn]] void AssignError(const TnxPersistent* aSource) const;
};

class TnxLifetimeTrackedPersistent : public TnxPersistent {
  REVUROV_PERSISTENT_CLASS(TnxLifetimeTrackedPersistent)
  TnxLifetimeTrackedPersistent() = default;
  // Tells the monitor that the object is gone.
  ~TnxLifetimeTrackedPersistent() override;

  platform::TInterfacePtr<InxLifetimeMonitorRef> GetLifetimeMonitor();

private:
  std::atomic<InxLifetimeMonitorObject*> ltpLifetimeMonitor{nullptr};
};

// The lazily made monitor of an object: publishes a new one into aSlot with
// one compare-and-swap (a loser is released) and answers a reference to it.
platform::TInterfacePtr<InxLifetimeMonitorRef> nxLifetimeMonitorOf(std::atomic<InxLifetimeMonitorObject*>& aSlot);
// Tells the monitor in aSlot (if any) that its object is gone and drops it.
void nxLifetimeMonitorDead(std::atomic<InxLifetimeMonitorObject*>& aSlot) noexcept;

}  // namespace revurov
