#include "lowlevel/components/component_info.h"

#include "lowlevel/components/component.h"
#include "platform/string_list.h"

namespace revurov {

using platform::TGUID;

bool TnxComponentInfo::GetInterface(const TGUID& iid, void** obj) noexcept {
  return nxOfferInterface<InxComponentInfo31000>(this, iid, obj) ||
         nxOfferInterface<InxComponentInfoDisconnect>(this, iid, obj) ||
         TnxInterfacedObject::GetInterface(iid, obj);
}

std::u16string TnxComponentInfo::GetClassName() {
  return WithComponent(std::u16string(),
                       [](TnxComponent* c) { return std::u16string(c->ClassName()); });
}

std::u16string TnxComponentInfo::GetName() {
  return WithComponent(std::u16string(), [](TnxComponent* c) { return c->Name(); });
}

std::u16string TnxComponentInfo::GetDisplayName() {
  return WithComponent(std::u16string(), [](TnxComponent* c) { return c->DisplayName(); });
}

std::u16string TnxComponentInfo::GetDisplayCategory() {
  return WithComponent(std::u16string(), [](TnxComponent* c) { return c->DisplayCategory(); });
}

namespace {
std::vector<std::u16string> ToArray(const platform::TStringList& aList) {
  std::vector<std::u16string> r;
  for (int i = 0; i < aList.Count(); ++i) r.push_back(aList[i]);
  return r;
}
}  // namespace

std::vector<std::u16string> TnxComponentInfo::GetStatsCaptions() {
  return WithComponent(std::vector<std::u16string>(), [](TnxComponent* c) {
    platform::TStringList list;
    c->GetStatsCaptions(list);
    return ToArray(list);
  });
}

std::vector<std::u16string> TnxComponentInfo::GetStatsValues() {
  return WithComponent(std::vector<std::u16string>(), [](TnxComponent* c) {
    platform::TStringList list;
    c->GetStatsValues(list);
    return ToArray(list);
  });
}

void TnxComponentInfo::Disconnect() {
  TnxPadlockGuard guard(ciLock);
  ciComponent = nullptr;
}

}  // namespace revurov
