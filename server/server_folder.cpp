#include "server/server_folder.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "engine/child_links.h"
#include "engine/name_rules.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exception_data_interfaces.h"
#include "lowlevel/errors/exceptions.h"
#include "lowlevel/strings/utils_text.h"
#include "lowlevel/sync/lock_guard.h"
#include "platform/directory_list.h"
#include "platform/file_io.h"
#include "platform/format.h"
#include "platform/os_error.h"
#include "platform/paths.h"
#include "platform/string_list.h"
#include "platform/text.h"
#include "server/server_database.h"
#include "server/server_engine.h"
#include "server/server_table.h"
#include "server/server_transaction_mgr.h"
#include "server/table_file_moves.h"
#include "storage/buffer_manager.h"
#include "storage/file_management.h"
#include "storage/journal_classes.h"
#include "storage/journal_engine.h"
#include "storage/transactions.h"

namespace revurov {

namespace {

bool EndsWithoutCase(std::u16string_view aText, std::u16string_view aTail) {
  return aText.size() >= aTail.size() && platform::AsciiSameText(aText.substr(aText.size() - aTail.size()), aTail);
}

// The journal kind of the process-wide journal class; false without one.
bool JournalKind(int32_t& aKind) {
  const TnxJournalEngineClass* journalClass = nxDefaultJournalEngineClass();
  if (!journalClass) return false;
  aKind = journalClass->Kind;
  return true;
}

}  // namespace

TnxServerFolder::TnxServerFolder(TnxServerEngine& aServerEngine, std::u16string_view aPath, bool aIsCache)
    : TnxLockedOptionsExtendableServerObject(nullptr), sfServerEngine(aServerEngine), sfPath(aPath),
      sfIsCache(aIsCache) {
  sfInMemOnly = aServerEngine.HasOption(seoInMemOnly) || sfPath.empty() || sfPath.front() == u'#';
  sfReadOnly = !sfInMemOnly && aServerEngine.HasOption(seoReadOnly);
  sfForceFailSafe = aServerEngine.HasOption(seoForceFailSafe);
  stTransManager = std::make_unique<TnxServerTransactionMgr>(*this);
  // A rename or delete cut short leaves a table split across two names.
  if (!sfInMemOnly && !ReadOnly()) nxFinishFileMoves(sfPath);
}

TnxServerFolder::~TnxServerFolder() = default;

TnxBaseServerEngine* TnxServerFolder::OwningServerEngine() const { return &sfServerEngine; }

void TnxServerFolder::AfterConstruction() {
  TnxLockedOptionsExtendableServerObject::AfterConstruction();
  sfServerEngine.seFolderCount.fetch_add(1);
  sfLockedIncDone = true;
}

void TnxServerFolder::BeforeDestruction() {
  {
    TnxPadlockGuard guard(sfDatabasesPadlock);
    sfServerEngine.InactiveFolderRemove(this);
  }
  if (sfLockedIncDone) {
    sfLockedIncDone = false;
    sfServerEngine.seFolderCount.fetch_sub(1);
  }
  FreeAllTables();
  TnxLockedOptionsExtendableServerObject::BeforeDestruction();
  // Writes the next LSN while the buffer manager still exists.
  stTransManager.reset();
}

// ---- databases ----

bool TnxServerFolder::HasDatabases() {
  TnxPadlockGuard guard(sfDatabasesPadlock);
  return sfDatabasesHead != nullptr;
}

void TnxServerFolder::AddDatabase(TnxServerDatabase* aDatabase, std::u16string_view aAlias) {
  TnxPadlockGuard guard(sfDatabasesPadlock);
  nxLinkAtTail<TnxServerDatabase, &TnxServerDatabase::sdFolderPrev, &TnxServerDatabase::sdFolderNext>(
      sfDatabasesHead, sfDatabasesTail, aDatabase);
  aDatabase->sdInFolder = true;
  int32_t kind = 0;
  if (!sfInMemOnly && !ReadOnly() && !sfJournalChecked && JournalKind(kind)) {
    Tnx1xJournalEngine::Check(aAlias, sfPath, kind);
    sfJournalChecked = true;
    // A replayed journal may have written blocks newer than the scan saw.
    stTransManager->RescanNextLSN();
  }
  sfCheckInactive();
}

void TnxServerFolder::RemoveDatabase(TnxServerDatabase* aDatabase) {
  TnxPadlockGuard guard(sfDatabasesPadlock);
  if (!aDatabase->sdInFolder) return;
  nxUnlink<TnxServerDatabase, &TnxServerDatabase::sdFolderPrev, &TnxServerDatabase::sdFolderNext>(
      sfDatabasesHead, sfDatabasesTail, aDatabase);
  aDatabase->sdInFolder = false;
  sfCheckInactive();
}

bool TnxServerFolder::sfIsInactive(bool aIgnoreKeepInMemory, bool aRequestClose) {
  if (HasDatabases()) return false;
  TnxPadlockGuard guard(sfTablesPadlock);
  for (auto it = sfTables.rbegin(); it != sfTables.rend(); ++it)
    if (!it->second->srtCanClose(aIgnoreKeepInMemory, aRequestClose, 0)) return false;
  return true;
}

void TnxServerFolder::sfCheckInactive() {
  TnxPadlockGuard guard(sfDatabasesPadlock);
  if (!sfDatabasesHead && sfInMemoryCount.load() == 0 && sfIsInactive(false, false))
    sfServerEngine.InactiveFolderAdd(this);
  else
    sfServerEngine.InactiveFolderRemove(this);
}

// ---- tables ----

std::u16string TnxServerFolder::StripTableExtension(std::u16string_view aTableName) const {
  std::u16string dotExtension(1, u'.');
  dotExtension += sfServerEngine.TableExtension();
  if (aTableName.size() > dotExtension.size() && EndsWithoutCase(aTableName, dotExtension))
    aTableName.remove_suffix(dotExtension.size());
  return std::u16string(aTableName);
}

uint32_t TnxServerFolder::FindMainFile(std::u16string_view aName, std::u16string& aFileName) {
  const std::u16string wanted = nxAddExtension(aName, sfServerEngine.TableExtension());
  aFileName = nxCombinePath(sfPath, wanted);
  if (platform::FileExists(aFileName)) return 0;
  std::vector<std::string> names;
  platform::ListFolderFiles(platform::ToOsPath(sfPath), names);
  std::vector<std::u16string> matches;
  for (const std::string& name : names) {
    if (name.size() != platform::ToOsPath(wanted).size()) continue;
    std::u16string name16 = platform::Utf8ToUtf16(name);
    if (platform::AsciiSameText(name16, wanted)) matches.push_back(std::move(name16));
  }
  if (matches.size() == 1) {
    aFileName = nxCombinePath(sfPath, matches.front());
    return 0;
  }
  if (matches.empty()) return nxeObjectNotFound;
  std::sort(matches.begin(), matches.end());
  return EnxBaseException::nxSetMessage(nxeTableDoesNotExist,
                                        nxOriginalMessageTag() + u" Table \"%s\" matches both \"%s\" and \"%s\"",
                                        {std::u16string(aName), matches[0], matches[1]});
}

uint32_t TnxServerFolder::sfTableExists(std::u16string_view aTableName) {
  try {
    const std::u16string name = StripTableExtension(aTableName);
    TnxPadlockGuard guard(sfTablesPadlock);
    if (TnxServerRootTable* open = FindTable(name))
      return open->TableScope() == tsTempDatabase || open->TableScope() == tsTempUnnamed ? nxeObjectNotFound : 0;
    if (sfInMemOnly || name.empty() || nxIsTempGlobalTableName(name) || nxIsTempDatabaseTableName(name))
      return nxeObjectNotFound;
    std::u16string fileName;
    return FindMainFile(name, fileName);
  } catch (const std::exception& e) {
    return asoConvertException(e);
  }
}

uint32_t TnxServerFolder::sfTableMakeUniqueName(std::u16string_view aBaseName, std::u16string& aTableName) {
  try {
    TnxPadlockGuard guard(sfTablesPadlock);
    aTableName = aBaseName;
    for (uint32_t i = 1;; ++i) {
      const uint32_t result = sfTableExists(aTableName);
      if (result == nxeObjectNotFound) return 0;
      if (result != 0 && result != nxeTableDoesNotExist) return result;
      aTableName = std::u16string(aBaseName) + platform::Format(u"%u", {i});
    }
  } catch (const std::exception& e) {
    return asoConvertException(e);
  }
}

uint32_t TnxServerFolder::sfTableGetList(platform::TStringList& aList) {
  try {
    std::vector<std::u16string> found;
    {
      TnxPadlockGuard guard(sfTablesPadlock);
      // Open tables of a database or without a name belong to no list.
      for (const auto& [key, table] : sfTables)
        if (table->TableScope() == tsPersistent || table->TableScope() == tsTempGlobal)
          found.push_back(table->TableName());
      if (!sfInMemOnly) {
        std::vector<std::string> names;
        if (int error = platform::ListFolderFiles(platform::ToOsPath(sfPath), names))
          return EnxBaseException::nxSetMessage(nxeOSError, u"%s: %s",
                                                {sfPath, platform::SysErrorMessage(static_cast<uint32_t>(error))});
        std::u16string dotExtension(1, u'.');
        dotExtension += sfServerEngine.TableExtension();
        found.reserve(names.size());
        for (const std::string& name : names) {
          std::u16string name16 = platform::Utf8ToUtf16(name);
          if (name16.size() <= dotExtension.size() || !EndsWithoutCase(name16, dotExtension)) continue;
          name16.resize(name16.size() - dotExtension.size());
          found.push_back(std::move(name16));
        }
      }
    }
    std::sort(found.begin(), found.end(),
              [](const std::u16string& a, const std::u16string& b) { return platform::AsciiCompareText(a, b) < 0; });
    found.erase(std::unique(found.begin(), found.end(),
                            [](const std::u16string& a, const std::u16string& b) {
                              return platform::AsciiSameText(a, b);
                            }),
                found.end());
    aList.BeginUpdate();
    try {
      aList.Clear();
      for (std::u16string& name : found) aList.Add(std::move(name));
    } catch (...) {
      aList.EndUpdate();
      throw;
    }
    aList.EndUpdate();
    return 0;
  } catch (const std::exception& e) {
    return asoConvertException(e);
  }
}

// ---- open tables ----

void TnxServerFolder::FreeAllTables() noexcept {
  TnxPadlockGuard guard(sfTablesPadlock);
  while (!sfTables.empty()) {
    TnxServerRootTable* table = std::prev(sfTables.end())->second;
    try {
      table->Free();
    } catch (const std::exception& e) {
      asoConvertException(e);
    }
    // A table whose destruction failed before it unlinked itself.
    if (!sfTables.empty() && std::prev(sfTables.end())->second == table) sfTables.erase(std::prev(sfTables.end()));
  }
}

TnxServerRootTable* TnxServerFolder::FindTable(std::u16string_view aTableName) {
  TnxPadlockGuard guard(sfTablesPadlock);
  const auto it = sfTables.find(platform::AsciiUpperCase(StripTableExtension(aTableName)));
  return it == sfTables.end() ? nullptr : it->second;
}

int32_t TnxServerFolder::TableCount() {
  TnxPadlockGuard guard(sfTablesPadlock);
  return static_cast<int32_t>(sfTables.size());
}

bool TnxServerFolder::sfCloseIfClosable(TnxServerRootTable* aTable, bool aAnyScope, bool aRequestClose,
                                        int32_t aExpected) {
  aTable->LockIsInactive().fetch_add(1);
  const bool closable = aTable->srtCanClose(aAnyScope, aRequestClose, aExpected);
  if (aTable->LockIsInactive().fetch_sub(1) - 1 != 0 || !closable) return false;
  try {
    aTable->Free();
  } catch (const std::exception& e) {
    asoConvertException(e);
  }
  return true;
}

uint32_t TnxServerFolder::sfCloseInactiveTables() {
  try {
    if (!sfTablesPadlock.TryLock()) return nxeRecordLocked;
    TnxPadlockGuard guard(sfTablesPadlock);
    sfTablesPadlock.Unlock();
    for (bool freed = true; freed;) {
      freed = false;
      std::vector<TnxServerRootTable*> tables;
      for (auto& [name, table] : sfTables) tables.push_back(table);
      for (auto it = tables.rbegin(); it != tables.rend(); ++it)
        if (sfCloseIfClosable(*it, false, true, 1)) freed = true;
    }
    return 0;
  } catch (const std::exception& e) {
    return asoConvertException(e);
  }
}

uint32_t TnxServerFolder::sfTableCreate(std::u16string_view aTableName, std::u16string_view aPassword, bool aForServer,
                                        const TnxDataDictionary& aDictionary, TnxTableScope aTableScope,
                                        TnxServerRootTable*& aTable) {
  aTable = nullptr;
  try {
    return CreateTableAs(StripTableExtension(aTableName), aTableName, aPassword, aForServer, aDictionary, aTableScope,
                         aTable);
  } catch (const std::exception& e) {
    return asoConvertException(e);
  }
}

uint32_t TnxServerFolder::CreateTableAs(std::u16string_view aFileStem, std::u16string_view aStoredName,
                                        std::u16string_view aPassword, bool aForServer,
                                        const TnxDataDictionary& aDictionary, TnxTableScope aTableScope,
                                        TnxServerRootTable*& aTable) {
  aTable = nullptr;
  if (ReadOnly() && (aTableScope == tsPersistent || aTableScope == tsTempGlobal))
    return EnxBaseException::nxSetMessage(nxeDatabaseReadOnly, u"Database is read only.");
  if (sfInMemOnly && aTableScope == tsPersistent)
    return EnxBaseException::nxSetMessage(nxeCapabilityNotSupported,
                                          u"TableScope tsPersistent is not supported for in-memory database");
  TnxPadlockGuard guard(sfTablesPadlock);
  TnxServerRootTable* table =
      nxCreateServerObject<TnxServerRootTable>(*this, aFileStem, omReadWrite, smExclusive, aTableScope).release();
  uint8_t attributes = 0;
  if (aTableScope != tsPersistent) attributes |= nxfaTemporary;
  if (aTableScope == tsTempGlobal || aTableScope == tsTempDatabase) attributes |= nxfaMemTable;
  std::vector<std::u16string> passwords;
  if (!aPassword.empty()) passwords.emplace_back(aPassword);
  TnxBufferManager& bufMgr = *sfServerEngine.BufferManager();
  TnxBaseTransaction trans(bufMgr, nullptr, false, false);
  uint32_t result = table->srtCreateTable(trans, passwords, aStoredName, attributes, aDictionary, aForServer);
  uint32_t code = 0;
  std::u16string message;
  if (result == 0) {
    try {
      bufMgr.CommitTransaction(&trans, nullptr, false);
    } catch (const std::exception& e) {
      result = asoConvertException(e);
      EnxBaseException::GetLastConvertedException(code, message);
      bufMgr.RollbackTransaction(&trans);
      table->srtCloseFiles();
      if (aTableScope == tsPersistent) table->srtDeleteFiles();
    }
  } else {
    EnxBaseException::GetLastConvertedException(code, message);
    bufMgr.RollbackTransaction(&trans);
  }
  if (result != 0) {
    table->Free();
    // The clean-up may have reported on its own: the answer keeps the
    // failure's message.
    EnxBaseException::SetLastConvertedException(result, code == result ? message : std::u16string());
    return result;
  }
  BumpStructureGeneration();
  aTable = table;
  return 0;
}

uint32_t TnxServerFolder::sfTableOpen(std::u16string_view aTableName, const std::vector<std::u16string>& aPasswords,
                                      TnxOpenMode aOpenMode, TnxShareMode aShareMode, bool aForServer,
                                      TnxServerRootTable*& aTable, bool& aReadOnly) {
  aTable = nullptr;
  aReadOnly = false;
  try {
    TnxPadlockGuard guard(sfTablesPadlock);
    if (TnxServerRootTable* open = FindTable(aTableName)) {
      if (const uint32_t result = open->srtAuthenticatePasswords(aPasswords)) return result;
      aReadOnly = open->OpenMode() == omReadOnly;
      aTable = open;
      return 0;
    }
    if (ReadOnly()) aOpenMode = omReadOnly;
    TnxServerRootTable* table =
        nxCreateServerObject<TnxServerRootTable>(*this, StripTableExtension(aTableName), aOpenMode, aShareMode,
                                                 tsPersistent)
            .release();
    const uint32_t result = table->srtOpenTable(nullptr, aPasswords, aForServer, 0, aReadOnly);
    if (result != 0) {
      table->Free();
      return result;
    }
    aTable = table;
    return 0;
  } catch (const std::exception& e) {
    return asoConvertException(e);
  }
}

void TnxServerFolder::GetExceptionData(InxExceptionDataContainer& aContainer, bool aIncludeChildren) {
  TnxLockedOptionsExtendableServerObject::GetExceptionData(aContainer, aIncludeChildren);
  aContainer.AddString(u"Path", sfPath);
  aContainer.AddBoolean(u"InMemOnly", sfInMemOnly);
  aContainer.AddBoolean(u"ReadOnly", ReadOnly());
  std::vector<TnxServerDatabase*> databases;
  {
    TnxPadlockGuard guard(sfDatabasesPadlock);
    for (TnxServerDatabase* d = sfDatabasesHead; d; d = d->FolderNext()) databases.push_back(d);
  }
  aContainer.AddString(u"OpenDatabases", databases.empty()       ? u"None"
                                         : databases.size() == 1 ? u"One"
                                                                 : u"Multiple");
  if (!aIncludeChildren) return;
  TnxExceptionDataRef list = aContainer.AddContainer(u"Databases");
  int32_t i = 0;
  for (TnxServerDatabase* d : databases)
    list->AddObject(platform::Format(u"[%d]", {i++}), static_cast<TnxObject*>(d), false);
  std::vector<TnxServerRootTable*> tables;
  {
    TnxPadlockGuard guard(sfTablesPadlock);
    for (auto& [name, table] : sfTables) tables.push_back(table);
  }
  aContainer.AddInteger(u"OpenTables", static_cast<int64_t>(tables.size()));
  TnxExceptionDataRef tableList = aContainer.AddContainer(u"Tables");
  i = 0;
  for (TnxServerRootTable* t : tables)
    tableList->AddObject(platform::Format(u"[%d]", {i++}), static_cast<TnxObject*>(t), false);
}

}  // namespace revurov
