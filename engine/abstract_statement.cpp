#include "engine/abstract_statement.h"

#include "engine/abstract_database.h"
#include "engine/child_links.h"
#include "engine/server_engine.h"
#include "lowlevel/errors/exception_data_interfaces.h"
#include "lowlevel/sync/lock_guard.h"
#include "platform/text.h"

namespace revurov {

TnxAbstractStatement::TnxAbstractStatement(TnxAbstractDatabase* aDatabase, uint32_t aTimeout)
    : TnxAbstractTimeoutObject(aDatabase, aTimeout), asDatabase(aDatabase) {
  TnxPadlockGuard guard(aDatabase->adStatementsPadlock);
  nxLinkAtTail<TnxAbstractStatement, &TnxAbstractStatement::asDatabasePrev, &TnxAbstractStatement::asDatabaseNext>(
      aDatabase->adStatementsHead, aDatabase->adStatementsTail, this);
}

void TnxAbstractStatement::AfterConstruction() {
  TnxAbstractTimeoutObject::AfterConstruction();
  if (TnxBaseServerEngine* engine = OwningServerEngine()) {
    engine->StatementCounter().fetch_add(1);
    asLockedIncDone = true;
  }
}

void TnxAbstractStatement::BeforeDestruction() {
  if (asLockedIncDone) {
    asLockedIncDone = false;
    if (TnxBaseServerEngine* engine = OwningServerEngine()) engine->StatementCounter().fetch_sub(1);
  }
  TnxAbstractTimeoutObject::BeforeDestruction();
}

TnxAbstractStatement::~TnxAbstractStatement() {
  TnxPadlockGuard guard(asDatabase->adStatementsPadlock);
  nxUnlink<TnxAbstractStatement, &TnxAbstractStatement::asDatabasePrev, &TnxAbstractStatement::asDatabaseNext>(
      asDatabase->adStatementsHead, asDatabase->adStatementsTail, this);
}

platform::HRESULT TnxAbstractStatement::CreateInstanceFor(std::u16string_view aName, const platform::TGUID& aClassID,
                                                          platform::IInterface* aOuter,
                                                          const platform::TGUID& aInterfaceID, void** aInterface) {
  auto [first, rest] = nxSplitObjectPath(aName);
  if (platform::AsciiSameText(first, u"<Statement>"))
    return CreateInstanceFor(rest, aClassID, aOuter, aInterfaceID, aInterface);
  if (platform::AsciiSameText(first, u"<Database>"))
    return asDatabase->CreateInstanceFor(rest, aClassID, aOuter, aInterfaceID, aInterface);
  return TnxAbstractTimeoutObject::CreateInstanceFor(aName, aClassID, aOuter, aInterfaceID, aInterface);
}

void TnxAbstractStatement::GetExceptionData(InxExceptionDataContainer& aContainer, bool aIncludeChildren) {
  TnxAbstractTimeoutObject::GetExceptionData(aContainer, aIncludeChildren);
  aContainer.AddObject(u"Database", static_cast<TnxObject*>(asDatabase), false);
}

}  // namespace revurov
