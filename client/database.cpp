#include "client/database.h"

#include <exception>
#include <utility>

#include "client/session.h"
#include "client/timeout_batch_scope.h"
#include "client/trans_context.h"
#include "engine/abstract_database.h"
#include "engine/abstract_session.h"
#include "engine/abstract_task_info.h"
#include "engine/name_rules.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exceptions.h"
#include "lowlevel/streams/memory_stream.h"
#include "platform/string_list.h"
#include "platform/text.h"

namespace revurov {

namespace {

constexpr std::u16string_view kNoOwningSession = u"No owning session";
constexpr std::u16string_view kAliasRequired = u"AliasName or AliasPath must be specified";
constexpr std::u16string_view kImplicitAlias = u"AliasName can't be changed for an implicit database";

// The path a setter stores: trimmed, without its trailing "/" unless it is
// the root.
std::u16string_view NormalisedPath(std::u16string_view aValue) {
  std::u16string_view v = platform::Trim(aValue);
  if (v.size() > 1 && v.back() == u'/') v.remove_suffix(1);
  return v;
}

// The table name without its extension: the part from the last "." on,
// when that dot comes after any folder separator.
std::u16string_view WithoutExtension(std::u16string_view aName) {
  const size_t dot = aName.find_last_of(u'.');
  if (dot == std::u16string_view::npos) return aName;
  const size_t separator = aName.find_last_of(u"/\\:");
  if (separator != std::u16string_view::npos && separator > dot) return aName;
  return aName.substr(0, dot);
}

// A code of the component's own check. A name check earlier on this thread
// may have left its detail in the thread's message slot, which the
// exception for this code would otherwise show.
uint32_t Own(uint32_t aCode) {
  EnxBaseException::SetLastConvertedException(0, u"");
  return aCode;
}

// A list an operation fills: one update bracket, ended on every path,
// emptied first.
class TListFill {
public:
  explicit TListFill(platform::TStringList& aList) : lfList(aList) {
    lfList.BeginUpdate();
    lfList.Clear();
  }
  ~TListFill() { lfList.EndUpdate(); }
  TListFill(const TListFill&) = delete;
  TListFill& operator=(const TListFill&) = delete;

private:
  platform::TStringList& lfList;
};

// A list an engine call replaces: one update bracket, ended on every path;
// the list keeps its old lines for the call to fill over and is emptied
// unless the call succeeded.
class TListRefill {
public:
  explicit TListRefill(platform::TStringList& aList) : lrList(aList) { lrList.BeginUpdate(); }
  ~TListRefill() {
    if (!lrFilled) lrList.Clear();
    lrList.EndUpdate();
  }
  TListRefill(const TListRefill&) = delete;
  TListRefill& operator=(const TListRefill&) = delete;
  uint32_t Result(uint32_t aResult) {
    lrFilled = aResult == 0;
    return aResult;
  }

private:
  platform::TStringList& lrList;
  bool lrFilled = false;
};

}  // namespace

// ---- session binding ----

void TnxSessionOwnedDataAccessStateComponent::SetSession(TnxBaseSession* aValue) {
  if (aValue == soSession) return;
  CheckInactive();
  if (soSession) UnlinkDependent(this, soSession);
  soSession = aValue;
  if (soSession) LinkDependent(this, soSession);
}

void TnxSessionOwnedDataAccessStateComponent::EnsureSession() {
  if (!soSession) SetSession(TnxBaseSession::DefaultSession());
}

void TnxSessionOwnedDataAccessStateComponent::SetTimeout(int32_t aValue) {
  if (aValue == soTimeout) return;
  soTimeout = aValue;
  ApplyTimeout();
}

uint32_t TnxSessionOwnedDataAccessStateComponent::GetEffectiveTimeout() const {
  if (soTimeout >= 0) return static_cast<uint32_t>(soTimeout);
  return soSession ? soSession->GetEffectiveTimeout() : nxDefaultComponentTimeout;
}

void TnxSessionOwnedDataAccessStateComponent::RequireSession() const {
  if (!soSession) RaiseError(kNoOwningSession);
}

void TnxSessionOwnedDataAccessStateComponent::Loaded() {
  TnxDataAccessStateComponent::Loaded();
  EnsureSession();
}

void TnxSessionOwnedDataAccessStateComponent::DependentNotify(TnxComponent* aSender, TnxNotifyOp aOp, void* aData) {
  if (aOp == nxn_Destroying && aSender && aSender == soSession) {
    SetActive(false);
    soSession = nullptr;
  }
  TnxDataAccessStateComponent::DependentNotify(aSender, aOp, aData);
}

bool TnxSessionOwnedDataAccessStateComponent::IsDependentOn(TnxStateComponent* aOther) const {
  return (aOther && aOther == soSession) || TnxDataAccessStateComponent::IsDependentOn(aOther);
}

// ---- TnxBaseDatabase ----

TnxBaseDatabase::TnxBaseDatabase(platform::TComponent* aOwner) : TnxSessionOwnedDataAccessStateComponent(aOwner) {
  if (!IsLoading()) EnsureSession();
}

TnxBaseDatabase::~TnxBaseDatabase() = default;

TnxBaseDatabase::TnxDatabaseOpenMethod TnxBaseDatabase::GetDatabaseOpenMethod() const {
  return &TnxAbstractSession::DatabaseOpen;
}

TnxCacheDatabase::TnxDatabaseOpenMethod TnxCacheDatabase::GetDatabaseOpenMethod() const {
  return &TnxAbstractSession::DatabaseCacheOpen;
}

bool TnxBaseDatabase::AliasChangeAllowed(std::u16string_view aCurrent, std::u16string_view aValue) {
  if (platform::AsciiSameText(aCurrent, aValue)) return false;
  if (bdbImplicit) RaiseError(kImplicitAlias);
  CheckInactive();
  return true;
}

void TnxBaseDatabase::SetAliasName(std::u16string_view aValue) {
  const std::u16string_view v = platform::Trim(aValue);
  // A change of letter case names the same alias: accepted while active.
  if (!AliasChangeAllowed(bdbAliasName, v)) {
    bdbAliasName = v;
    return;
  }
  bdbAliasName = v;
  if (!v.empty()) bdbAliasPath.clear();
}

void TnxBaseDatabase::SetAliasPath(std::u16string_view aValue) {
  const std::u16string_view v = NormalisedPath(aValue);
  // Folders differ by letter case here, so only the very same path passes
  // without the checks.
  if (v == bdbAliasPath) return;
  if (bdbImplicit) RaiseError(kImplicitAlias);
  CheckInactive();
  bdbAliasPath = v;
  if (!v.empty()) bdbAliasName.clear();
}

void TnxBaseDatabase::SetExclusive(bool aValue) {
  if (aValue == bdbExclusive) return;
  CheckInactive();
  bdbExclusive = aValue;
}

void TnxBaseDatabase::SetReadOnly(bool aValue) {
  if (aValue == bdbReadOnly) return;
  CheckInactive();
  bdbReadOnly = aValue;
}

void TnxBaseDatabase::SetTransContext(TnxTransContext* aValue) {
  if (aValue == bdbTransContext) return;
  CheckInactive();
  if (bdbTransContext) UnlinkDependent(this, bdbTransContext);
  bdbTransContext = aValue;
  if (bdbTransContext) LinkDependent(this, bdbTransContext);
  if (bdbTransContext && bdbTransContext->Session()) SetSession(bdbTransContext->Session());
}

void TnxBaseDatabase::SetSession(TnxBaseSession* aValue) {
  if (bdbImplicit) return;
  TnxSessionOwnedDataAccessStateComponent::SetSession(aValue);
  TnxBaseSession* session = Session();
  if (session && (!bdbTransContext || bdbTransContext->Session() != session))
    SetTransContext(session->DefaultTransContext());
}

void TnxBaseDatabase::EnsureSession() {
  TnxSessionOwnedDataAccessStateComponent::EnsureSession();
  if (Session() && !bdbTransContext) SetTransContext(Session()->DefaultTransContext());
}

void TnxBaseDatabase::ApplyTimeout() {
  TnxAbstractDatabase* database = bdbAbstractDatabase.get();
  if (!database) return;
  TnxTimeoutBatchScope batch(*database);
  database->SetTimeout(GetEffectiveTimeout());
}

void TnxBaseDatabase::DoInitialize() {
  RequireSession();
  if (bdbAliasName.empty() && bdbAliasPath.empty()) RaiseError(kAliasRequired);
  TnxSessionOwnedDataAccessStateComponent::DoInitialize();
}

void TnxBaseDatabase::DoStart() {
  TnxSessionOwnedDataAccessStateComponent::DoStart();
  TnxBaseSession* session = Session();
  session->CheckStarted();
  TnxAbstractTransContext* context = bdbTransContext ? bdbTransContext->AbstractTransContext() : nullptr;
  const bool byName = !bdbAliasName.empty();
  // Only a text this reply brings may go into the exception; an earlier
  // failure on this thread leaves its own in the slot.
  EnxBaseException::SetLastConvertedException(0, u"");
  TnxAbstractDatabase* opened = nullptr;
  const uint32_t result = (session->AbstractSession()->*GetDatabaseOpenMethod())(
      opened, byName ? u"Name" : u"Path", byName ? bdbAliasName : bdbAliasPath, context,
      bdbReadOnly ? omReadOnly : omReadWrite, bdbExclusive ? smExclusive : smShared, GetEffectiveTimeout());
  // An engine that answers a failure together with a database keeps none.
  TnxServerObjectPtr<TnxAbstractDatabase> owned(opened);
  CheckError(result);
  if (!owned) CheckError(nxeUnknownDatabase);
  bdbAbstractDatabase = std::move(owned);
}

void TnxBaseDatabase::DoStop() {
  // The deleter swallows what freeing raises, so the engine database goes
  // on every path.
  bdbAbstractDatabase.reset();
  TnxSessionOwnedDataAccessStateComponent::DoStop();
}

bool TnxBaseDatabase::Exists() {
  if (Active()) return true;
  TnxBaseSession* session = Session();
  if (!session) return false;
  if (!bdbAliasName.empty()) return session->IsAlias(bdbAliasName);
  if (bdbAliasPath.empty()) return false;
  try {
    SetActive(true);
    SetActive(false);
    return true;
  } catch (const std::exception&) {
    SetActive(false);
    return false;
  }
}

uint32_t TnxBaseDatabase::GetFreeDiskSpaceEx(int64_t& aFreeSpace) {
  aFreeSpace = 0;
  CheckStarted();
  return bdbAbstractDatabase->GetFreespace(aFreeSpace);
}

int64_t TnxBaseDatabase::GetFreeDiskSpace() {
  int64_t space = 0;
  CheckError(GetFreeDiskSpaceEx(space));
  return space;
}

std::u16string TnxBaseDatabase::GetPath() {
  CheckStarted();
  std::u16string path;
  CheckError(bdbAbstractDatabase->GetPath(path));
  return path;
}

std::u16string TnxBaseDatabase::Path() {
  if (bdbAbstractDatabase) {
    std::u16string path;
    if (bdbAbstractDatabase->GetPath(path) == 0) return path;
  }
  if (!bdbAliasPath.empty()) return bdbAliasPath;
  if (TnxBaseSession* session = Session()) return session->GetAliasPath(bdbAliasName);
  CheckStarted();
  return {};
}

void TnxBaseDatabase::DependentNotify(TnxComponent* aSender, TnxNotifyOp aOp, void* aData) {
  if (aSender && aSender == bdbTransContext && aOp == nxn_Destroying) {
    SetActive(false);
    bdbTransContext = nullptr;
  }
  if (aOp == nxn_CloseDatabase && aSender && aSender == Session()) SetActive(false);
  // An implicit database is owned by its session, which frees it as its
  // own last step; freeing it here as well would free it twice.
  TnxSessionOwnedDataAccessStateComponent::DependentNotify(aSender, aOp, aData);
}

bool TnxBaseDatabase::IsDependentOn(TnxStateComponent* aOther) const {
  return (aOther && aOther == bdbTransContext) || TnxSessionOwnedDataAccessStateComponent::IsDependentOn(aOther);
}

// ---- TnxDatabase ----

TnxDatabase::TnxDatabase(platform::TComponent* aOwner) : TnxBaseDatabase(aOwner) {}

TnxDatabase::~TnxDatabase() = default;

bool TnxDatabase::Default() const { return Session() && Session()->DefaultDatabase() == this; }

void TnxDatabase::SetDefault(bool aValue) {
  if (IsLoading()) {
    dbLoadedDefault = aValue;
    return;
  }
  if (aValue == Default()) return;
  TnxBaseSession* session = Session();
  if (!session) return;
  session->bsDefaultDatabase = aValue ? this : nullptr;
}

void TnxDatabase::Loaded() {
  TnxBaseDatabase::Loaded();
  SetDefault(dbLoadedDefault);
}

void TnxDatabase::SetCacheDatabase(TnxCacheDatabase* aValue) {
  if (aValue == dbCacheDatabase) return;
  CheckInactive();
  if (dbCacheDatabase) UnlinkDependent(this, dbCacheDatabase);
  dbCacheDatabase = aValue;
  if (dbCacheDatabase) LinkDependent(this, dbCacheDatabase);
}

bool TnxDatabase::IsDependentOn(TnxStateComponent* aOther) const {
  return (aOther && aOther == dbCacheDatabase) || TnxBaseDatabase::IsDependentOn(aOther);
}

void TnxDatabase::DependentNotify(TnxComponent* aSender, TnxNotifyOp aOp, void* aData) {
  if (aSender && aSender == dbCacheDatabase && aOp == nxn_Destroying) {
    SetActive(false);
    dbCacheDatabase = nullptr;
  }
  TnxBaseDatabase::DependentNotify(aSender, aOp, aData);
}

void TnxDatabase::DoStart() {
  TnxBaseDatabase::DoStart();
  if (dbCacheDatabase && dbCacheDatabase->AbstractDatabase())
    AbstractDatabase()->SetCacheDatabase(dbCacheDatabase->AbstractDatabase());
}

// ---- tables ----

void TnxDatabase::GetTableNames(platform::TStringList* aList) {
  if (!aList) RaiseError(Own(nxeInvalidParameter));
  CheckStarted();
  TListRefill fill(*aList);
  CheckError(fill.Result(AbstractDatabase()->TableGetList(*aList)));
}

void TnxDatabase::GetChangedTables(platform::TStringList* aList) {
  if (!aList) RaiseError(Own(nxeInvalidParameter));
  CheckStarted();
  TListFill fill(*aList);
  CheckError(AbstractDatabase()->GetChangedTables(*aList));
}

bool TnxDatabase::TableExists(std::u16string_view aTableName, std::u16string_view aPassword) {
  if (aTableName.empty()) return false;
  CheckStarted();
  const bool allowSystem = AbstractDatabase()->ExplicitAllowSystem();
  CheckError(nxValidateTablePath(aTableName, true, allowSystem));
  bool exists = false;
  CheckError(AbstractDatabase()->TableExists(aTableName, aPassword, exists, allowSystem));
  return exists;
}

uint32_t TnxDatabase::CreateTableEx(bool aOverWrite, std::u16string_view aTableName, std::u16string_view aPassword,
                                    TnxDataDictionary* aDictionary, TnxTableScope aTableScope) {
  CheckStarted();
  if (!aDictionary) return Own(nxeInvalidParameter);
  if (aTableName.empty()) return Own(nxeInvalidTableName);
  return AbstractDatabase()->TableBuild(aOverWrite, aTableName, aPassword, aDictionary, aTableScope,
                                        AbstractDatabase()->ExplicitAllowSystem());
}

void TnxDatabase::CreateTable(bool aOverWrite, std::u16string_view aTableName, std::u16string_view aPassword,
                              TnxDataDictionary* aDictionary, TnxTableScope aTableScope) {
  CheckError(CreateTableEx(aOverWrite, aTableName, aPassword, aDictionary, aTableScope));
}

void TnxDatabase::DeleteTable(std::u16string_view aTableName, std::u16string_view aPassword) {
  if (aTableName.empty()) return;
  CheckStarted();
  const uint32_t result = AbstractDatabase()->TableDelete(aTableName, aPassword);
  if (result != nxeTableDoesNotExist) CheckError(result);
}

void TnxDatabase::EmptyTable(std::u16string_view aTableName, std::u16string_view aPassword) {
  CheckStarted();
  if (aTableName.empty()) RaiseError(Own(nxeInvalidTableName));
  CheckError(AbstractDatabase()->TableEmpty(aTableName, aPassword));
}

void TnxDatabase::RenameTable(std::u16string_view aOldName, std::u16string_view aNewName,
                              std::u16string_view aPassword) {
  CheckStarted();
  if (aOldName.empty() || aNewName.empty()) RaiseError(Own(nxeInvalidTableName));
  CheckError(AbstractDatabase()->TableRename(aOldName, aNewName, aPassword));
}

namespace {

// Runs an engine operation that may hand back a task, which the caller
// then owns, also when the operation fails.
template <class F>
uint32_t WithTask(TnxTaskInfoPtr& aTaskInfo, F&& aOperation) {
  TnxAbstractTaskInfo* task = nullptr;
  const uint32_t result = aOperation(task);
  aTaskInfo.reset(task);
  return result;
}

}  // namespace

uint32_t TnxDatabase::PackTableEx(std::u16string_view aTableName, std::u16string_view aPassword,
                                  TnxTaskInfoPtr& aTaskInfo) {
  aTaskInfo.reset();
  CheckStarted();
  if (aTableName.empty()) return Own(nxeInvalidTableName);
  return WithTask(aTaskInfo, [&](TnxAbstractTaskInfo*& t) { return AbstractDatabase()->TablePack(aTableName, aPassword, t); });
}

TnxTaskInfoPtr TnxDatabase::PackTable(std::u16string_view aTableName, std::u16string_view aPassword) {
  TnxTaskInfoPtr task;
  CheckError(PackTableEx(aTableName, aPassword, task));
  return task;
}

uint32_t TnxDatabase::ReIndexTableEx(std::u16string_view aTableName, std::u16string_view aPassword,
                                     std::u16string_view aIndexName, TnxTaskInfoPtr& aTaskInfo) {
  aTaskInfo.reset();
  CheckStarted();
  if (aTableName.empty()) return Own(nxeInvalidTableName);
  return WithTask(aTaskInfo, [&](TnxAbstractTaskInfo*& t) {
    return AbstractDatabase()->TableRebuildIndex(aTableName, aPassword, aIndexName, -1, t);
  });
}

uint32_t TnxDatabase::ReIndexTableEx(std::u16string_view aTableName, std::u16string_view aPassword,
                                     int32_t aIndexNum, TnxTaskInfoPtr& aTaskInfo) {
  aTaskInfo.reset();
  CheckStarted();
  if (aTableName.empty()) return Own(nxeInvalidTableName);
  return WithTask(aTaskInfo, [&](TnxAbstractTaskInfo*& t) {
    return AbstractDatabase()->TableRebuildIndex(aTableName, aPassword, u"", aIndexNum, t);
  });
}

TnxTaskInfoPtr TnxDatabase::ReIndexTable(std::u16string_view aTableName, std::u16string_view aPassword,
                                         std::u16string_view aIndexName) {
  TnxTaskInfoPtr task;
  CheckError(ReIndexTableEx(aTableName, aPassword, aIndexName, task));
  return task;
}

TnxTaskInfoPtr TnxDatabase::ReIndexTable(std::u16string_view aTableName, std::u16string_view aPassword,
                                         int32_t aIndexNum) {
  TnxTaskInfoPtr task;
  CheckError(ReIndexTableEx(aTableName, aPassword, aIndexNum, task));
  return task;
}

uint32_t TnxDatabase::RestructureTableEx(std::u16string_view aTableName, std::u16string_view aPassword,
                                         TnxDataDictionary* aDictionary, TnxBaseTableMapperDescriptor* aMapperDesc,
                                         TnxTaskInfoPtr& aTaskInfo) {
  aTaskInfo.reset();
  CheckStarted();
  if (aTableName.empty()) return Own(nxeInvalidTableName);
  if (!aDictionary) return Own(nxeInvalidParameter);
  return WithTask(aTaskInfo, [&](TnxAbstractTaskInfo*& t) {
    return AbstractDatabase()->TableRestructure(aTableName, aPassword, aDictionary, aMapperDesc,
                                                AbstractDatabase()->ExplicitAllowSystem(), t);
  });
}

TnxTaskInfoPtr TnxDatabase::RestructureTable(std::u16string_view aTableName, std::u16string_view aPassword,
                                             TnxDataDictionary* aDictionary,
                                             TnxBaseTableMapperDescriptor* aMapperDesc) {
  TnxTaskInfoPtr task;
  CheckError(RestructureTableEx(aTableName, aPassword, aDictionary, aMapperDesc, task));
  return task;
}

uint32_t TnxDatabase::RecoverTableEx(std::u16string_view aTableName, std::u16string_view aPassword,
                                     TnxTaskInfoPtr& aTaskInfo) {
  aTaskInfo.reset();
  CheckStarted();
  if (uint32_t result = nxValidateTableName(aTableName, true, AbstractDatabase()->ExplicitAllowSystem()))
    return result;
  return WithTask(aTaskInfo,
                  [&](TnxAbstractTaskInfo*& t) { return AbstractDatabase()->TableRecover(aTableName, aPassword, t); });
}

TnxTaskInfoPtr TnxDatabase::RecoverTable(std::u16string_view aTableName, std::u16string_view aPassword) {
  TnxTaskInfoPtr task;
  CheckError(RecoverTableEx(aTableName, aPassword, task));
  return task;
}

uint32_t TnxDatabase::VerifyChecksumTableEx(std::u16string_view aTableName, std::u16string_view aPassword, bool aRaw,
                                            bool aForceRecheck, TnxTaskInfoPtr& aTaskInfo) {
  aTaskInfo.reset();
  CheckStarted();
  if (uint32_t result = nxValidateTableName(aTableName, true, AbstractDatabase()->ExplicitAllowSystem()))
    return result;
  return WithTask(aTaskInfo, [&](TnxAbstractTaskInfo*& t) {
    return AbstractDatabase()->TableVerifyChecksum(aTableName, aPassword, aRaw, aForceRecheck, t);
  });
}

TnxTaskInfoPtr TnxDatabase::VerifyChecksumTable(std::u16string_view aTableName, std::u16string_view aPassword,
                                                bool aRaw, bool aForceRecheck) {
  TnxTaskInfoPtr task;
  CheckError(VerifyChecksumTableEx(aTableName, aPassword, aRaw, aForceRecheck, task));
  return task;
}

uint32_t TnxDatabase::BackupTableEx(std::u16string_view aTableName, std::u16string_view aPassword,
                                    TnxBaseDatabase* aTarget, TnxTaskInfoPtr& aTaskInfo) {
  aTaskInfo.reset();
  CheckStarted();
  if (aTableName.empty()) return Own(nxeInvalidTableName);
  if (!aTarget) return Own(nxeInvalidParameter);
  if (aTarget->Session() != Session()) return Own(nxeDifferentSessions);
  // Alias names compare without letter case wherever they are looked up,
  // so "Data" and "DATA" are one folder; paths are folders on disk and
  // differ by case.
  if (platform::AsciiSameText(aTarget->AliasName(), AliasName()) && aTarget->AliasPath() == AliasPath())
    return Own(nxeSameFolder);
  // A target without an engine database would leave the engine to guess
  // where the backup goes.
  aTarget->CheckStarted();
  return WithTask(aTaskInfo, [&](TnxAbstractTaskInfo*& t) {
    return AbstractDatabase()->TableBackup(aTableName, aPassword, aTarget->AbstractDatabase(), t);
  });
}

TnxTaskInfoPtr TnxDatabase::BackupTable(std::u16string_view aTableName, std::u16string_view aPassword,
                                        TnxBaseDatabase* aTarget) {
  TnxTaskInfoPtr task;
  CheckError(BackupTableEx(aTableName, aPassword, aTarget, task));
  return task;
}

uint32_t TnxDatabase::AddFieldToTable(std::u16string_view aTableName, std::u16string_view aPassword,
                                      TnxFieldDescriptor* aFieldDesc) {
  CheckStarted();
  if (aTableName.empty()) return Own(nxeInvalidTableName);
  if (!aFieldDesc) return Own(nxeInvalidParameter);
  return AbstractDatabase()->TableAddField(aTableName, aPassword, aFieldDesc);
}

uint32_t TnxDatabase::ChangePasswordEx(std::u16string_view aTableName, std::u16string_view aOldPassword,
                                       std::u16string_view aNewPassword) {
  CheckStarted();
  return AbstractDatabase()->TableChangePassword(aTableName, aOldPassword, aNewPassword);
}

void TnxDatabase::ChangePassword(std::u16string_view aTableName, std::u16string_view aOldPassword,
                                 std::u16string_view aNewPassword) {
  CheckError(ChangePasswordEx(aTableName, aOldPassword, aNewPassword));
}

uint32_t TnxDatabase::GetAutoIncValue(std::u16string_view aTableName, std::u16string_view aPassword,
                                      uint32_t& aValue) {
  aValue = 0;
  CheckStarted();
  return AbstractDatabase()->TableAutoIncGet(aTableName, aPassword, aValue);
}

uint32_t TnxDatabase::GetDataDictionaryEx(std::u16string_view aTableName, std::u16string_view aPassword,
                                          TnxDataDictionary* aDictionary) {
  CheckStarted();
  if (aTableName.empty()) return Own(nxeInvalidTableName);
  if (!aDictionary) return Own(nxeInvalidParameter);
  return AbstractDatabase()->TableGetDictionary(WithoutExtension(aTableName), aPassword, aDictionary);
}

void TnxDatabase::GetDataDictionary(std::u16string_view aTableName, std::u16string_view aPassword,
                                    TnxDataDictionary* aDictionary) {
  CheckError(GetDataDictionaryEx(aTableName, aPassword, aDictionary));
}

uint32_t TnxDatabase::TableStreamReadEx(std::u16string_view aTableName, std::u16string_view aPassword,
                                        std::u16string_view aStreamName, platform::TStream& aStream) {
  CheckStarted();
  if (uint32_t result = nxValidateTablePath(aTableName, true, AbstractDatabase()->ExplicitAllowSystem()))
    return result;
  return AbstractDatabase()->TableStreamRead(aTableName, aPassword, aStreamName, aStream);
}

std::unique_ptr<platform::TStream> TnxDatabase::TableStreamRead(std::u16string_view aTableName,
                                                                std::u16string_view aPassword,
                                                                std::u16string_view aStreamName) {
  auto stream = std::make_unique<TnxMemoryStream>();
  CheckError(TableStreamReadEx(aTableName, aPassword, aStreamName, *stream));
  return stream;
}

uint32_t TnxDatabase::TableStreamWriteEx(std::u16string_view aTableName, std::u16string_view aPassword,
                                         std::u16string_view aStreamName, platform::TStream& aStream) {
  CheckStarted();
  if (uint32_t result = nxValidateTablePath(aTableName, true, AbstractDatabase()->ExplicitAllowSystem()))
    return result;
  return AbstractDatabase()->TableStreamWrite(aTableName, aPassword, aStreamName, aStream);
}

void TnxDatabase::TableStreamWrite(std::u16string_view aTableName, std::u16string_view aPassword,
                                   std::u16string_view aStreamName, platform::TStream& aStream) {
  CheckError(TableStreamWriteEx(aTableName, aPassword, aStreamName, aStream));
}

// ---- transactions ----

void TnxDatabase::StartTransaction(bool aSnapShot) {
  CheckStarted();
  CheckError(AbstractDatabase()->TransactionStart(FailSafe(), aSnapShot));
}

void TnxDatabase::Commit() {
  CheckStarted();
  CheckError(AbstractDatabase()->TransactionCommit());
}

void TnxDatabase::Rollback() {
  CheckStarted();
  CheckError(AbstractDatabase()->TransactionRollback());
}

void TnxDatabase::TransactionCorrupted() {
  CheckStarted();
  CheckError(AbstractDatabase()->TransactionCorrupted());
}

bool TnxDatabase::InTransaction() {
  if (!AbstractDatabase()) return false;
  int32_t level = -1;
  const uint32_t result = AbstractDatabase()->TransactionGetLevel(level);
  if (result == nxeNoTransaction) return false;
  CheckError(result);
  return level >= 0;
}

bool TnxDatabase::TryStartTransaction(bool aSnapShot) {
  if (InTransaction()) return false;
  StartTransaction(aSnapShot);
  return true;
}

}  // namespace revurov
