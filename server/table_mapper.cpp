#include "server/table_mapper.h"

#include <exception>
#include <iterator>

#include "lowlevel/sync/lock_guard.h"
#include "platform/text.h"
#include "server/server_table.h"

namespace revurov {

TnxTableMapper::~TnxTableMapper() {
  TnxPadlockGuard guard(tmPadlock);
  while (!tmMappings.empty()) {
    auto last = std::prev(tmMappings.end());
    TnxServerRootTable* table = last->second;
    tmMappings.erase(last);
    try {
      table->Free();
    } catch (const std::exception&) {
      // The mapper goes whatever one table answers.
    }
  }
}

std::u16string TnxTableMapper::Key(std::u16string_view aName) { return platform::AsciiUpperCase(aName); }

TnxTableMappings& TnxTableMapper::Lock() {
  tmPadlock.Lock();
  return tmMappings;
}

void TnxTableMapper::Unlock() { tmPadlock.Unlock(); }

bool TnxTableMapper::Contains(std::u16string_view aName) {
  TnxPadlockGuard guard(tmPadlock);
  return tmMappings.count(Key(aName)) != 0;
}

bool TnxTableMapper::GetInterface(const platform::TGUID& iid, void** obj) noexcept {
  return nxOfferInterface<InxTableMapper>(this, iid, obj) || TnxInterfacedObject::GetInterface(iid, obj);
}

}  // namespace revurov
