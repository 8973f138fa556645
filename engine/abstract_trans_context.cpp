#include "engine/abstract_trans_context.h"

#include "engine/abstract_cursor.h"
#include "engine/abstract_database.h"
#include "engine/abstract_session.h"
#include "engine/child_links.h"
#include "engine/server_engine.h"
#include "lowlevel/errors/exception_data_interfaces.h"
#include "lowlevel/sync/lock_guard.h"
#include "platform/format.h"
#include "platform/text.h"

namespace revurov {

TnxBaseTransContext::TnxBaseTransContext(TnxAbstractSession* aSession, uint32_t aTimeout)
    : TnxAbstractTimeoutObject(aSession, aTimeout) {}

TnxAbstractTransContext::TnxAbstractTransContext(TnxAbstractSession* aSession, uint32_t aTimeout)
    : TnxBaseTransContext(aSession, aTimeout) {
  TnxPadlockGuard guard(aSession->asTransContextsPadlock);
  nxLinkAtTail<TnxAbstractTransContext, &TnxAbstractTransContext::atcSessionPrev,
               &TnxAbstractTransContext::atcSessionNext>(aSession->asTransContextsHead,
                                                         aSession->asTransContextsTail, this);
}

void TnxAbstractTransContext::AfterConstruction() {
  TnxBaseTransContext::AfterConstruction();
  if (TnxBaseServerEngine* engine = OwningServerEngine()) {
    engine->TransContextCounter().fetch_add(1);
    atcLockedIncDone = true;
  }
}

void TnxAbstractTransContext::BeforeDestruction() {
  if (atcLockedIncDone) {
    atcLockedIncDone = false;
    if (TnxBaseServerEngine* engine = OwningServerEngine()) engine->TransContextCounter().fetch_sub(1);
  }
  TnxBaseTransContext::BeforeDestruction();
  // The engine's rollback is gone once the destructors run.
  try {
    atcForceRollback();
  } catch (const std::exception& e) {
    asoConvertException(e);
  }
}

void TnxAbstractTransContext::PrepareDestroy() {
  TnxBaseTransContext::PrepareDestroy();
  try {
    Failed();
  } catch (const std::exception& e) {
    asoConvertException(e);
  }
}

TnxAbstractTransContext::~TnxAbstractTransContext() {
  Unlink();
  TnxPadlockGuard guard(atcDatabasesPadlock);
  while (TnxAbstractDatabase* database = atcDatabasesHead) {
    database->ReattachFrom(this);
    // A database that could not leave is dropped, so the walk ends.
    if (atcDatabasesHead == database)
      nxUnlink<TnxAbstractDatabase, &TnxAbstractDatabase::adTransContextPrev,
               &TnxAbstractDatabase::adTransContextNext>(atcDatabasesHead, atcDatabasesTail, database);
  }
}

void TnxAbstractTransContext::Unlink() noexcept {
  auto* session = static_cast<TnxAbstractSession*>(Session());
  if (!session) return;
  TnxPadlockGuard guard(session->asTransContextsPadlock);
  nxUnlink<TnxAbstractTransContext, &TnxAbstractTransContext::atcSessionPrev,
           &TnxAbstractTransContext::atcSessionNext>(session->asTransContextsHead, session->asTransContextsTail,
                                                     this);
}

void TnxAbstractTransContext::Failed() {
  atcFailed = true;
  atcForceRollback();
}

uint32_t TnxAbstractTransContext::SetCacheTransContext(TnxBaseTransContext*) {
  return NotSupported(u"SetCacheTransContext");
}

std::vector<TnxAbstractDatabase*> TnxAbstractTransContext::AttachedDatabases() {
  std::vector<TnxAbstractDatabase*> databases;
  TnxPadlockGuard guard(atcDatabasesPadlock);
  for (TnxAbstractDatabase* d = atcDatabasesHead; d; d = d->adTransContextNext) databases.push_back(d);
  return databases;
}

bool TnxAbstractTransContext::HoldsCursor(const TnxAbstractCursor* aCursor) {
  if (!aCursor) return false;
  TnxPadlockGuard guard(atcDatabasesPadlock);
  for (TnxAbstractDatabase* d = atcDatabasesHead; d; d = d->adTransContextNext) {
    TnxPadlockGuard cursors(d->adCursorsPadlock);
    for (const TnxAbstractCursor* c = d->adCursorsHead; c; c = c->DatabaseNext())
      if (c == aCursor) return true;
  }
  return false;
}

platform::HRESULT TnxAbstractTransContext::CreateInstanceFor(std::u16string_view aName,
                                                             const platform::TGUID& aClassID,
                                                             platform::IInterface* aOuter,
                                                             const platform::TGUID& aInterfaceID, void** aInterface) {
  auto [first, rest] = nxSplitObjectPath(aName);
  if (platform::AsciiSameText(first, u"<TransContext>"))
    return CreateInstanceFor(rest, aClassID, aOuter, aInterfaceID, aInterface);
  return TnxBaseTransContext::CreateInstanceFor(aName, aClassID, aOuter, aInterfaceID, aInterface);
}

void TnxAbstractTransContext::GetExceptionData(InxExceptionDataContainer& aContainer, bool aIncludeChildren) {
  TnxBaseTransContext::GetExceptionData(aContainer, aIncludeChildren);
  aContainer.AddObject(u"Session", static_cast<TnxObject*>(Session()), false);
  TnxPadlockGuard guard(atcDatabasesPadlock);
  const char16_t* attached = !atcDatabasesHead                       ? u"None"
                             : atcDatabasesHead == atcDatabasesTail ? u"One"
                                                                     : u"Multiple";
  aContainer.AddString(u"AttachedDatabases", attached);
  if (!aIncludeChildren) return;
  TnxExceptionDataRef databases = aContainer.AddContainer(u"Databases");
  int32_t i = 0;
  for (TnxAbstractDatabase* d = atcDatabasesHead; d; d = d->adTransContextNext)
    databases->AddObject(platform::Format(u"[%d]", {i++}), static_cast<TnxObject*>(d), true);
}

}  // namespace revurov
