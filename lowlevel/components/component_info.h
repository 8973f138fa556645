// A component's information object, by which remote administration reads
// a component's names and statistics without holding the component.
#pragma once

#include <string>
#include <vector>

#include "lowlevel/objects/interfaced_object.h"
#include "lowlevel/sync/padlock.h"
#include "platform/guid.h"

namespace revurov {

class TnxComponent;

// The class identifier under which nxcCreateInstance makes a component's
// information object.
inline constexpr platform::TGUID nxComponentInfoClassID = platform::nxGuid("{9A00537F-49C8-456A-8770-E2143749D2FC}");

class InxComponentInfo31000 : public virtual platform::IInterface {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{62C02ED7-4544-43EC-A717-8E8DB13A0062}");
  virtual std::u16string GetClassName() = 0;
  virtual std::u16string GetName() = 0;
  virtual std::u16string GetDisplayName() = 0;
  virtual std::u16string GetDisplayCategory() = 0;
  virtual std::vector<std::u16string> GetStatsCaptions() = 0;
  virtual std::vector<std::u16string> GetStatsValues() = 0;
};

class InxComponentInfoDisconnect : public virtual platform::IInterface {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{FC7190C6-1D67-4DB0-84D2-3ED4F22D8DEA}");
  // Forgets the component; later calls answer empty values.
  virtual void Disconnect() = 0;
};

// A component's information object, for remote administration. It keeps
// its component without owning it; the component disconnects it when going
// away, and a call under way finishes first, so no call reaches a freed
// component.
class TnxComponentInfo : public TnxInterfacedObject,
                         public InxComponentInfo31000,
                         public InxComponentInfoDisconnect {
public:
  explicit TnxComponentInfo(TnxComponent* aComponent) : ciComponent(aComponent) {}

  std::u16string GetClassName() override;
  std::u16string GetName() override;
  std::u16string GetDisplayName() override;
  std::u16string GetDisplayCategory() override;
  std::vector<std::u16string> GetStatsCaptions() override;
  std::vector<std::u16string> GetStatsValues() override;
  void Disconnect() override;

protected:
  bool GetInterface(const platform::TGUID& iid, void** obj) noexcept override;
  // Runs aRead on the component under the object's lock; aEmpty without one.
  template <class R, class F>
  R WithComponent(R aEmpty, F aRead) {
    TnxPadlockGuard guard(ciLock);
    return ciComponent ? aRead(ciComponent) : aEmpty;
  }

private:
  TnxPadlock ciLock;
  TnxComponent* ciComponent;
};

}  // namespace revurov
