// The tables of one database rather than of its folder (scope
// tsTempDatabase). Databases reach the mapper through InxTableMapper; the
// private databases of background tasks share their database's mapper, so
// it lives while any of them refers to it and frees its tables when it goes.
//
// Contract:
// - Names compare without ASCII case; the mapper owns the tables it holds
//   and frees them, last name first, when it is destroyed.
// - Every access goes through Lock/Unlock or Contains; the server database
//   takes the mapper's lock after its folder's tables padlock.
#pragma once

#include <map>
#include <string>
#include <string_view>

#include "lowlevel/objects/interfaced_object.h"
#include "lowlevel/sync/padlock.h"
#include "platform/guid.h"
#include "platform/interface.h"

namespace revurov {

class TnxServerRootTable;

// Upper-cased name -> owned table.
using TnxTableMappings = std::map<std::u16string, TnxServerRootTable*>;

class InxTableMapper : public virtual platform::IInterface {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{C3BF5477-9EEF-4BD2-B279-A0C6B4C162A3}");
  virtual TnxTableMappings& Lock() = 0;
  virtual void Unlock() = 0;
  virtual bool Contains(std::u16string_view aName) = 0;
  // Without locking, for callers that hold the lock.
  virtual TnxTableMappings& GetMappings() = 0;

protected:
  ~InxTableMapper() = default;
};

class TnxTableMapper final : public TnxInterfacedObject, public InxTableMapper {
public:
  TnxTableMapper() = default;

  platform::HRESULT QueryInterface(const platform::TGUID& iid, void** obj) noexcept override {
    return TnxInterfacedObject::QueryInterface(iid, obj);
  }
  int32_t AddRef() noexcept override { return TnxInterfacedObject::AddRef(); }
  int32_t Release() noexcept override { return TnxInterfacedObject::Release(); }

  TnxTableMappings& Lock() override;
  void Unlock() override;
  bool Contains(std::u16string_view aName) override;
  TnxTableMappings& GetMappings() override { return tmMappings; }

  static std::u16string Key(std::u16string_view aName);

protected:
  ~TnxTableMapper() override;
  bool GetInterface(const platform::TGUID& iid, void** obj) noexcept override;

private:
  TnxTableMappings tmMappings;
  TnxPadlock tmPadlock{true};
};

}  // namespace revurov
