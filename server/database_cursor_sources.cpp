#include "server/database_cursor_sources.h"

#include "engine/child_links.h"
#include "server/server_database.h"

namespace revurov {

TnxServerDatabaseCursorSourceContainer::TnxServerDatabaseCursorSourceContainer(TnxServerDatabase& aDatabase,
                                                                               InxDatabaseCursorSource* aSource)
    : cscLock(aDatabase.SessionLock()), cscDatabase(&aDatabase), cscSource(aSource) {
  nxLinkAtTail<TnxServerDatabaseCursorSourceContainer, &TnxServerDatabaseCursorSourceContainer::cscDatabasePrev,
               &TnxServerDatabaseCursorSourceContainer::cscDatabaseNext>(aDatabase.sdCursorSourceHead,
                                                                          aDatabase.sdCursorSourceTail, this);
}

TnxServerDatabaseCursorSourceContainer::~TnxServerDatabaseCursorSourceContainer() { Unregister(); }

void TnxServerDatabaseCursorSourceContainer::Unlink() noexcept {
  if (!cscDatabase) return;
  nxUnlink<TnxServerDatabaseCursorSourceContainer, &TnxServerDatabaseCursorSourceContainer::cscDatabasePrev,
           &TnxServerDatabaseCursorSourceContainer::cscDatabaseNext>(cscDatabase->sdCursorSourceHead,
                                                                      cscDatabase->sdCursorSourceTail, this);
  cscDatabase = nullptr;
}

uint32_t TnxServerDatabaseCursorSourceContainer::Unregister() {
  platform::TInterfacePtr<InxSimpleLock> lock = std::move(cscLock);
  if (!lock) return 0;
  lock->Lock();
  Unlink();
  cscSource.Reset();
  uint32_t result = 0;
  lock->Unlock(result);
  return result;
}

TnxAbstractCursor* TnxServerDatabaseCursorSourceContainer::CursorOpen(std::u16string_view aTableName,
                                                                      uint32_t& aResult) {
  for (TnxServerDatabaseCursorSourceContainer* c = this; c; c = c->cscDatabaseNext) {
    if (!c->cscSource) continue;
    if (TnxAbstractCursor* cursor = c->cscSource->CursorOpen(aTableName)) {
      aResult = 0;
      return cursor;
    }
  }
  return nullptr;
}

bool TnxServerDatabaseCursorSourceContainer::GetInterface(const platform::TGUID& iid, void** obj) noexcept {
  return nxOfferInterface<InxDatabaseCursorSourceControl>(this, iid, obj) ||
         TnxInterfacedObject::GetInterface(iid, obj);
}

void nxDetachCursorSources(TnxServerDatabase& aDatabase) noexcept {
  while (TnxServerDatabaseCursorSourceContainer* c = aDatabase.sdCursorSourceHead) {
    c->Unlink();
    c->cscSource.Reset();
    c->cscLock.Reset();
  }
}

}  // namespace revurov
