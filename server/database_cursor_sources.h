// TnxServerDatabaseCursorSourceContainer: one outside cursor source
// registered with a server database. The database asks its sources, in
// registration order, for a cursor on a table it cannot find itself.
//
// Contract:
// - The container lives while references to its control interface exist;
//   releasing the last one unregisters it.
// - Unregister takes the database's lock, unlinks the container and drops
//   the source; it answers what the lock's release reports (0 normally).
//   A second call, or one after the database went, answers 0 and does
//   nothing.
// - A database destroyed with sources still registered detaches them
//   (nxDetachCursorSources), so their containers never reach it again.
#pragma once

#include <cstdint>
#include <string_view>

#include "engine/database_cursor_source.h"
#include "engine/session_lock.h"
#include "lowlevel/objects/interfaced_object.h"

namespace revurov {

class TnxAbstractCursor;
class TnxServerDatabase;

class TnxServerDatabaseCursorSourceContainer final : public TnxInterfacedObject,
                                                     public InxDatabaseCursorSourceControl {
public:
  // Appends itself to the database's list (the caller holds its lock).
  TnxServerDatabaseCursorSourceContainer(TnxServerDatabase& aDatabase, InxDatabaseCursorSource* aSource);

  platform::HRESULT QueryInterface(const platform::TGUID& iid, void** obj) noexcept override {
    return TnxInterfacedObject::QueryInterface(iid, obj);
  }
  int32_t AddRef() noexcept override { return TnxInterfacedObject::AddRef(); }
  int32_t Release() noexcept override { return TnxInterfacedObject::Release(); }

  uint32_t Unregister() override;
  // From this container on along the list: the first source's cursor, with
  // aResult 0; nil and aResult untouched when none answers.
  TnxAbstractCursor* CursorOpen(std::u16string_view aTableName, uint32_t& aResult);
  TnxServerDatabaseCursorSourceContainer* Next() const noexcept { return cscDatabaseNext; }

protected:
  ~TnxServerDatabaseCursorSourceContainer() override;
  bool GetInterface(const platform::TGUID& iid, void** obj) noexcept override;

private:
  friend void nxDetachCursorSources(TnxServerDatabase& aDatabase) noexcept;
  void Unlink() noexcept;

  platform::TInterfacePtr<InxSimpleLock> cscLock;
  TnxServerDatabase* cscDatabase = nullptr;
  TnxServerDatabaseCursorSourceContainer* cscDatabasePrev = nullptr;
  TnxServerDatabaseCursorSourceContainer* cscDatabaseNext = nullptr;
  platform::TInterfacePtr<InxDatabaseCursorSource> cscSource;
};

// The database's destruction: every container still registered lets go of
// it and of its source.
void nxDetachCursorSources(TnxServerDatabase& aDatabase) noexcept;

}  // namespace revurov
