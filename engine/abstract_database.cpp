#include "engine/abstract_database.h"

#include "engine/abstract_cursor.h"
#include "engine/abstract_session.h"
#include "engine/child_links.h"
#include "engine/deadline_hooks.h"
#include "engine/server_engine.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exception_data_interfaces.h"
#include "lowlevel/errors/exceptions.h"
#include "lowlevel/sync/lock_guard.h"
#include "platform/format.h"
#include "platform/text.h"

namespace revurov {

TnxAbstractDatabase::TnxAbstractDatabase(TnxAbstractSession* aSession, TnxAbstractTransContext* aTransContext,
                                         uint32_t aTimeout)
    : TnxBaseTransContext(aSession, aTimeout) {
  if (!aTransContext) {
    TnxAbstractTransContext* own = nullptr;
    uint32_t result = aSession->TransContextCreate(own, aTimeout);
    // The session's list holds the context until the database takes it.
    if (result == 0 && !own) result = nxeInvalidHandle;
    if (result != 0) throw EnxBaseException(result);
    adOwnedTransContext.reset(own);
    aTransContext = own;
  }
  {
    TnxPadlockGuard guard(aSession->asDatabasesPadlock);
    nxLinkAtTail<TnxAbstractDatabase, &TnxAbstractDatabase::adSessionPrev, &TnxAbstractDatabase::adSessionNext>(
        aSession->asDatabasesHead, aSession->asDatabasesTail, this);
  }
  JoinTransContext(aTransContext);
}

void TnxAbstractDatabase::AfterConstruction() {
  TnxBaseTransContext::AfterConstruction();
  if (TnxBaseServerEngine* engine = OwningServerEngine()) {
    engine->DatabaseCounter().fetch_add(1);
    adLockedIncDone = true;
  }
}

void TnxAbstractDatabase::BeforeDestruction() {
  if (adLockedIncDone) {
    adLockedIncDone = false;
    if (TnxBaseServerEngine* engine = OwningServerEngine()) engine->DatabaseCounter().fetch_sub(1);
  }
  TnxBaseTransContext::BeforeDestruction();
}

namespace {

template <class T, class F>
void ForEachChild(TnxPadlock& aPadlock, T* aHead, T* (T::*aNext)() const noexcept, F&& aStep) {
  TnxPadlockGuard guard(aPadlock);
  for (T* child = aHead; child; child = (child->*aNext)()) aStep(*child);
}

// Frees the list head first until the list is empty; a child that does
// not leave (one dying on another thread) is taken out so the loop ends.
template <class T, T* T::*Prev, T* T::*Next>
void FreeChildren(TnxPadlock& aPadlock, T*& aHead, T*& aTail) {
  TnxPadlockGuard guard(aPadlock);
  while (T* child = aHead) {
    child->Free();
    if (aHead == child) nxUnlink<T, Prev, Next>(aHead, aTail, child);
  }
}

}  // namespace

void TnxAbstractDatabase::PrepareDestroy() {
  TnxBaseTransContext::PrepareDestroy();
  auto prepare = [this](auto& aChild) {
    try {
      aChild.PrepareDestroy();
    } catch (const std::exception& e) {
      asoConvertException(e);
    }
  };
  if (adOwnedTransContext) prepare(*adOwnedTransContext);
  ForEachChild(adCursorsPadlock, adCursorsHead, &TnxAbstractCursor::DatabaseNext,
               [&](TnxAbstractCursor& aCursor) { prepare(aCursor); });
  ForEachChild(adStatementsPadlock, adStatementsHead, &TnxAbstractStatement::DatabaseNext,
               [&](TnxAbstractStatement& aStatement) { prepare(aStatement); });
}

TnxAbstractDatabase::~TnxAbstractDatabase() {
  LeaveTransContext();
  if (TnxAbstractSession* session = OwnSession()) {
    TnxPadlockGuard guard(session->asDatabasesPadlock);
    nxUnlink<TnxAbstractDatabase, &TnxAbstractDatabase::adSessionPrev, &TnxAbstractDatabase::adSessionNext>(
        session->asDatabasesHead, session->asDatabasesTail, this);
  }
  FreeChildren<TnxAbstractStatement, &TnxAbstractStatement::asDatabasePrev, &TnxAbstractStatement::asDatabaseNext>(
      adStatementsPadlock, adStatementsHead, adStatementsTail);
  FreeChildren<TnxAbstractCursor, &TnxAbstractCursor::acDatabasePrev, &TnxAbstractCursor::acDatabaseNext>(
      adCursorsPadlock, adCursorsHead, adCursorsTail);
  adOwnedTransContext.reset();
}

std::vector<TnxAbstractCursor*> TnxAbstractDatabase::Cursors() {
  std::vector<TnxAbstractCursor*> result;
  ForEachChild(adCursorsPadlock, adCursorsHead, &TnxAbstractCursor::DatabaseNext,
               [&](TnxAbstractCursor& aCursor) { result.push_back(&aCursor); });
  return result;
}

std::vector<TnxAbstractStatement*> TnxAbstractDatabase::Statements() {
  std::vector<TnxAbstractStatement*> result;
  ForEachChild(adStatementsPadlock, adStatementsHead, &TnxAbstractStatement::DatabaseNext,
               [&](TnxAbstractStatement& aStatement) { result.push_back(&aStatement); });
  return result;
}

void TnxAbstractDatabase::AdoptTransContext() noexcept {
  if (!adOwnedTransContext) adOwnedTransContext.reset(adTransContext);
}

TnxAbstractSession* TnxAbstractDatabase::OwnSession() const noexcept {
  return static_cast<TnxAbstractSession*>(Session());
}

void TnxAbstractDatabase::JoinTransContext(TnxAbstractTransContext* aTransContext) noexcept {
  adTransContext = aTransContext;
  TnxPadlockGuard guard(aTransContext->atcDatabasesPadlock);
  nxLinkAtTail<TnxAbstractDatabase, &TnxAbstractDatabase::adTransContextPrev,
               &TnxAbstractDatabase::adTransContextNext>(aTransContext->atcDatabasesHead,
                                                         aTransContext->atcDatabasesTail, this);
}

void TnxAbstractDatabase::LeaveTransContext() noexcept {
  TnxAbstractTransContext* context = std::exchange(adTransContext, nullptr);
  if (!context) return;
  TnxPadlockGuard guard(context->atcDatabasesPadlock);
  nxUnlink<TnxAbstractDatabase, &TnxAbstractDatabase::adTransContextPrev,
           &TnxAbstractDatabase::adTransContextNext>(context->atcDatabasesHead, context->atcDatabasesTail, this);
}

void TnxAbstractDatabase::ReattachFrom(TnxAbstractTransContext* aDying) noexcept {
  if (adTransContext != aDying) return;
  // Runs under the dying context's database padlock (re-entered here).
  LeaveTransContext();
  // Someone else is freeing the context this database made.
  if (adOwnedTransContext.get() == aDying) (void)adOwnedTransContext.release();
  TnxAbstractTransContext* own = nullptr;
  uint32_t result = 0;
  try {
    result = OwnSession()->TransContextCreate(own, Timeout());
  } catch (const std::exception& e) {
    result = asoConvertException(e);
  }
  if (result != 0 || !own) return;
  adOwnedTransContext.reset(own);
  JoinTransContext(own);
}

bool TnxAbstractDatabase::ExplicitAllowSystem() {
  std::u16string value;
  // Only the exact text counts: "true" or " 1" do not.
  return OptionGet(nxAllowSystemTableAccessOption, value) == 0 && value == u"1";
}

void TnxAbstractDatabase::SetTimeout(uint32_t aValue) {
  TnxBaseTransContext::SetTimeout(aValue);
  if (adOwnedTransContext) adOwnedTransContext->SetTimeout(aValue);
}

TnxExtendableServerObject* TnxAbstractDatabase::esoOptionParent() const { return adTransContext; }

uint32_t TnxAbstractDatabase::TransactionStart(bool aFailSafe, bool aSnapShot) {
  return adTransContext ? adTransContext->TransactionStart(aFailSafe, aSnapShot) : nxeInvalidHandle;
}

uint32_t TnxAbstractDatabase::TransactionStartWith(bool aFailSafe, bool aSnapShot,
                                                   std::span<TnxAbstractCursor* const> aCursors) {
  return adTransContext ? adTransContext->TransactionStartWith(aFailSafe, aSnapShot, aCursors) : nxeInvalidHandle;
}

uint32_t TnxAbstractDatabase::TransactionCommit() {
  return adTransContext ? adTransContext->TransactionCommit() : nxeInvalidHandle;
}

uint32_t TnxAbstractDatabase::TransactionRollback() {
  return adTransContext ? adTransContext->TransactionRollback() : nxeInvalidHandle;
}

uint32_t TnxAbstractDatabase::TransactionCorrupted() {
  return adTransContext ? adTransContext->TransactionCorrupted() : nxeInvalidHandle;
}

uint32_t TnxAbstractDatabase::TransactionGetLevel(int32_t& aTransLevel) {
  aTransLevel = 0;
  return adTransContext ? adTransContext->TransactionGetLevel(aTransLevel) : nxeInvalidHandle;
}

uint32_t TnxAbstractDatabase::TransactionGetInfo(TnxTransactionInfo& aTransInfo, bool aAllowCached) {
  aTransInfo = {};
  return adTransContext ? adTransContext->TransactionGetInfo(aTransInfo, aAllowCached) : nxeInvalidHandle;
}

uint32_t TnxAbstractDatabase::SetCacheDatabase(TnxAbstractDatabase*) { return NotSupported(u"SetCacheDatabase"); }

uint32_t TnxAbstractDatabase::RegisterCursorSource(InxDatabaseCursorSource*, InxDatabaseCursorSourceControl*& aControl) {
  aControl = nullptr;
  return NotSupported(u"RegisterCursorSource");
}

uint32_t TnxAbstractDatabase::CursorCacheOpen(TnxAbstractCursor*& aCursor, std::u16string_view, std::u16string_view,
                                              TnxOpenMode, TnxShareMode, uint32_t, std::u16string_view, int32_t, bool,
                                              TnxCursorOpenOptions, uint32_t) {
  aCursor = nullptr;
  return NotSupported(u"CursorCacheOpen");
}

template <class F>
uint32_t TnxAbstractDatabase::WithTableCursor(std::u16string_view aTableName, std::u16string_view aPassword,
                                              TnxOpenMode aOpenMode, F&& aOperation) {
  return ConvertingEntry([&]() -> uint32_t {
    TnxAbstractCursor* opened = nullptr;
    uint32_t result = CursorOpen(opened, aTableName, aPassword, aOpenMode, smShared, Timeout(), u"", -1,
                                 ExplicitAllowSystem(), 0, kTableStreamFilterTimeout, nullptr);
    // Owned from here, whatever the answer, so no path leaves it behind.
    TnxServerObjectPtr<TnxAbstractCursor> cursor(opened);
    if (result == 0 && cursor) result = aOperation(*cursor);
    return result;
  });
}

uint32_t TnxAbstractDatabase::TableStreamRead(std::u16string_view aTableName, std::u16string_view aPassword,
                                              std::u16string_view aStreamName, platform::TStream& aStream) {
  return WithTableCursor(aTableName, aPassword, omReadOnly, [&](TnxAbstractCursor& aCursor) {
    return aCursor.TableStreamRead(aStreamName, aStream);
  });
}

uint32_t TnxAbstractDatabase::TableStreamWrite(std::u16string_view aTableName, std::u16string_view aPassword,
                                               std::u16string_view aStreamName, platform::TStream& aStream) {
  return WithTableCursor(aTableName, aPassword, omReadWrite, [&](TnxAbstractCursor& aCursor) {
    return aCursor.TableStreamWrite(aStreamName, aStream);
  });
}

platform::HRESULT TnxAbstractDatabase::CreateInstanceFor(std::u16string_view aName, const platform::TGUID& aClassID,
                                                         platform::IInterface* aOuter,
                                                         const platform::TGUID& aInterfaceID, void** aInterface) {
  auto [first, rest] = nxSplitObjectPath(aName);
  if (platform::AsciiSameText(first, u"<Database>"))
    return CreateInstanceFor(rest, aClassID, aOuter, aInterfaceID, aInterface);
  if (platform::AsciiSameText(first, u"<TransContext>"))
    return adTransContext ? adTransContext->CreateInstanceFor(rest, aClassID, aOuter, aInterfaceID, aInterface)
                          : platform::E_NOINTERFACE;
  return TnxBaseTransContext::CreateInstanceFor(aName, aClassID, aOuter, aInterfaceID, aInterface);
}

void TnxAbstractDatabase::GetExceptionData(InxExceptionDataContainer& aContainer, bool aIncludeChildren) {
  TnxBaseTransContext::GetExceptionData(aContainer, aIncludeChildren);
  aContainer.AddObject(u"TransContext", static_cast<TnxObject*>(adTransContext), false);
  if (!aIncludeChildren) return;
  auto add = [&](const char16_t* aName, auto&& aChildren) {
    TnxExceptionDataRef list = aContainer.AddContainer(aName);
    int32_t i = 0;
    for (auto* child : aChildren) list->AddObject(platform::Format(u"[%d]", {i++}), static_cast<TnxObject*>(child), true);
  };
  add(u"Cursors", Cursors());
  add(u"Statements", Statements());
}

}  // namespace revurov
