#include "server/server_database.h"

#include <algorithm>
#include <set>
#include <utility>
#include <vector>

#include "dictionary/data_dictionary.h"
#include "engine/abstract_session.h"
#include "engine/name_rules.h"
#include "engine/session_stats.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exception_data_interfaces.h"
#include "lowlevel/errors/exceptions.h"
#include "lowlevel/streams/memory_stream.h"
#include "lowlevel/streams/tagged_stream.h"
#include "lowlevel/sync/lock_guard.h"
#include "platform/paths.h"
#include "platform/string_list.h"
#include "platform/system_info.h"
#include "platform/text.h"
#include "server/blob_link_handler.h"
#include "server/database_cursor_sources.h"
#include "server/server_data_dict.h"
#include "server/server_engine.h"
#include "server/server_folder.h"
#include "server/server_session.h"
#include "server/server_table.h"
#include "server/server_table_cursor.h"
#include "server/server_trans_context.h"
#include "server/sql_engine.h"
#include "storage/buffer_manager.h"
#include "storage/stream_engines.h"

namespace revurov {

namespace {

constexpr std::u16string_view kOpenModeNames[] = {u"omReadOnly", u"omWriteOnly", u"omReadWrite"};
// In the order of TnxShareMode.
constexpr std::u16string_view kShareModeNames[] = {u"smExclusive", u"smShared", u"smShareRead"};

std::u16string_view ModeName(std::span<const std::u16string_view> aNames, size_t aValue) {
  return aValue < aNames.size() ? aNames[aValue] : std::u16string_view(u"?");
}

}  // namespace

TnxServerDatabase::TnxServerDatabase(TnxServerSession* aSession, TnxAbstractTransContext* aTransContext,
                                     std::u16string_view aAlias, TnxServerFolder* aFolder, uint32_t aTimeout,
                                     TnxOpenMode aOpenMode, TnxShareMode aShareMode)
    : TnxSqlAbstractDatabase(aSession, aTransContext, aTimeout, aOpenMode, aShareMode),
      sdAlias(aAlias),
      sdFolder(aFolder),
      sdIsCache(aFolder->IsCache()),
      sdSession(aSession),
      sdTables(nxCreate<TnxTableMapper>()) {
  sdLastCheckLSN = aFolder->Engine().BufferManager()->CurrentLSN();
  sdFolderStructureGeneration = aFolder->StructureGeneration();
  sdBlobLinkHandler = nxCreateServerObject<TnxBlobLinkHandler>(
      this, [this](std::u16string_view aTableName, std::u16string_view aPassword,
                   TnxServerObjectPtr<TnxSqlAbstractCursor>& aCursor) {
        TnxAbstractCursor* cursor = nullptr;
        const uint32_t result = sdCursorOpen(cursor, aTableName, aPassword, false, omReadOnly, smShared, false,
                                             Timeout(), u"", -1, false, false);
        aCursor.reset(static_cast<TnxSqlAbstractCursor*>(cursor));
        return result;
      });
}

TnxServerDatabase::~TnxServerDatabase() = default;

void TnxServerDatabase::AfterConstruction() {
  TnxSqlAbstractDatabase::AfterConstruction();
  // Raises when the folder's first journal check fails; the database is
  // freed then and leaves the folder again.
  sdFolder->AddDatabase(this, sdAlias);
}

void TnxServerDatabase::BeforeDestruction() {
  // Sources still registered must not reach a database that is gone.
  nxDetachCursorSources(*this);
  // Its source cursors are ours; they go before the base frees the rest.
  sdBlobLinkHandler.reset();
  TnxSqlAbstractDatabase::BeforeDestruction();
  // The last database that refers to the mapper frees its tables, while
  // the folder they are listed in still exists.
  sdTables.Reset();
  sdRemoveFromFolder();
}

void TnxServerDatabase::sdRemoveFromFolder() noexcept {
  if (!sdFolder) return;
  try {
    sdFolder->RemoveDatabase(this);
  } catch (...) {
    // Leaving a list takes only padlocks.
  }
  sdFolder = nullptr;
}

int32_t TnxServerDatabase::StructureGeneration() {
  if (sdFolder) {
    const int32_t folderGeneration = sdFolder->StructureGeneration();
    if (folderGeneration != sdFolderStructureGeneration) {
      sdFolderStructureGeneration = folderGeneration;
      ++sdStructureGeneration;
    }
  }
  return sdStructureGeneration;
}

// ---- path, alias, free space, options ----

uint32_t TnxServerDatabase::GetPath(std::u16string& aPath) {
  aPath = sdFolder ? sdFolder->Path() : std::u16string();
  return 0;
}

uint32_t TnxServerDatabase::GetAlias(std::u16string& aAlias) {
  aAlias = sdAlias;
  return 0;
}

uint32_t TnxServerDatabase::GetFreespace(int64_t& aFreeSpace) {
  aFreeSpace = 0;
  return Entry([&]() -> uint32_t {
    uint64_t bytes = 0;
    // An in-memory folder has no directory to ask.
    const std::u16string& path = sdFolder->Path();
    if (sdFolder->InMemOnly() || !platform::GetDiskFreeSpace(platform::ToOsPath(path), bytes))
      return EnxBaseException::nxSetMessage(nxeOSError, u"The free space of \"%s\" is not known", {path});
    aFreeSpace = static_cast<int64_t>(bytes / 1024);
    return 0;
  });
}

uint32_t TnxServerDatabase::esoOptionGetParent(std::u16string_view aName, std::u16string& aValue) {
  if (sdFolder) {
    const uint32_t result = sdFolder->OptionGetEffective(aName, aValue);
    if (result != nxeObjectNotFound) return result;
  }
  return TnxSqlAbstractDatabase::esoOptionGetParent(aName, aValue);
}

uint32_t TnxServerDatabase::esoOptionListParent(platform::TStringList& aList) {
  uint32_t result = 0;
  if (sdFolder) {
    result = sdFolder->OptionListEffective(aList);
    if (result != 0) return result;
  }
  platform::TStringList inherited;
  result = TnxSqlAbstractDatabase::esoOptionListParent(inherited);
  if (result == 0) result = esoOptionMerge(aList, inherited);
  return result;
}

platform::HRESULT TnxServerDatabase::CreateInstanceFor(std::u16string_view aName, const platform::TGUID& aClassID,
                                                       platform::IInterface* aOuter,
                                                       const platform::TGUID& aInterfaceID, void** aInterface) {
  const auto [first, rest] = nxSplitObjectPath(aName);
  if (sdFolder && platform::AsciiSameText(first, u"<Folder>"))
    return sdFolder->CreateInstanceFor(rest, aClassID, aOuter, aInterfaceID, aInterface);
  return TnxSqlAbstractDatabase::CreateInstanceFor(aName, aClassID, aOuter, aInterfaceID, aInterface);
}

void TnxServerDatabase::GetExceptionData(InxExceptionDataContainer& aContainer, bool aIncludeChildren) {
  TnxSqlAbstractDatabase::GetExceptionData(aContainer, aIncludeChildren);
  aContainer.AddString(u"Alias", sdAlias);
  aContainer.AddObject(u"Folder", static_cast<TnxObject*>(sdFolder), false);
  aContainer.AddString(u"OpenMode", std::u16string(ModeName(kOpenModeNames, OpenMode())));
  aContainer.AddString(u"ShareMode", std::u16string(ModeName(kShareModeNames, ShareMode())));
}

// ---- tables ----

namespace {

constexpr char16_t kSqlEngineRequired[] = u"An SQL Engine is required";

uint32_t DatabaseReadOnly() {
  return EnxBaseException::nxSetMessage(nxeDatabaseReadOnly, u"Database is read only.");
}

TnxTableScope RaisedScope(const TnxServerFolder& aFolder, std::u16string_view aName, TnxTableScope aScope) {
  if (aScope != tsPersistent) return aScope;
  if (aFolder.InMemOnly() || nxIsTempGlobalTableName(aName)) return tsTempGlobal;
  if (nxIsTempDatabaseTableName(aName)) return tsTempDatabase;
  return aScope;
}

// The folder's tables padlock, then the mapper's lock.
class TablesGuard {
public:
  TablesGuard(TnxServerFolder& aFolder, InxTableMapper& aMapper)
      : tgFolder(aFolder), tgMapper(aMapper), tgGuard(aFolder.TablesPadlock()), tgMappings(aMapper.Lock()) {}
  ~TablesGuard() { tgMapper.Unlock(); }
  TablesGuard(const TablesGuard&) = delete;
  TablesGuard& operator=(const TablesGuard&) = delete;
  TnxTableMappings& Mappings() const noexcept { return tgMappings; }
  TnxServerRootTable* Find(std::u16string_view aName) const {
    const auto it = tgMappings.find(TnxTableMapper::Key(aName));
    return it == tgMappings.end() ? nullptr : it->second;
  }

private:
  TnxServerFolder& tgFolder;
  InxTableMapper& tgMapper;
  TnxPadlockGuard tgGuard;
  TnxTableMappings& tgMappings;
};

std::pair<std::u16string_view, std::u16string_view> SplitPath(std::u16string_view aPath) {
  const size_t colon = aPath.find(nxChildNameSeparator);
  if (colon == std::u16string_view::npos) return {aPath, {}};
  return {aPath.substr(0, colon), aPath.substr(colon + 1)};
}

}  // namespace

std::vector<std::u16string> TnxServerDatabase::sdBuildPasswords(std::u16string_view aTableName,
                                                                std::u16string_view aPassword) {
  std::vector<std::u16string> passwords;
  if (sdSession)
    sdSession->ssBuildPasswords(sdAlias, aTableName, aPassword, passwords);
  else if (!aPassword.empty())
    passwords.emplace_back(aPassword);
  return passwords;
}

void TnxServerDatabase::TakeFolderGeneration(std::u16string_view aTableName) {
  if (!aTableName.empty() && aTableName.front() == u' ') return;
  ++sdStructureGeneration;
  sdFolderStructureGeneration = sdFolder->StructureGeneration();
}

uint32_t TnxServerDatabase::sdGetTable(TnxServerBaseTable*& aTable, std::u16string_view aTableName,
                                       std::u16string_view aPassword, bool aForServer, bool& aIsReadOnly,
                                       bool aInternal, bool aIsCache) {
  aIsReadOnly = false;
  aTable = nullptr;
  const std::vector<std::u16string> passwords = sdBuildPasswords(aTableName, aPassword);
  const auto [rootName, childPath] = SplitPath(aTableName);
  TnxServerRootTable* root = nullptr;
  {
    const auto it = sdTables->GetMappings().find(TnxTableMapper::Key(rootName));
    if (it != sdTables->GetMappings().end()) root = it->second;
  }
  bool openedHere = false;
  uint32_t result = 0;
  if (!root) root = sdFolder->FindTable(rootName);
  if (root) {
    if (root->TableScope() == tsTempDatabase && !sdTables->Contains(rootName)) {
      root = nullptr;
      result = nxeTableDoesNotExist;
    } else {
      result = root->srtAuthenticatePasswords(passwords);
      if (result == nxeTableReadOnly) {
        aIsReadOnly = true;
        result = 0;
      }
    }
  } else if (sdFolder->InMemOnly() || sdFolder->sfTableExists(rootName) != 0) {
    result = nxeTableDoesNotExist;
  } else {
    bool readOnly = false;
    result = sdFolder->sfTableOpen(rootName, passwords, sdFolder->ReadOnly() ? omReadOnly : omReadWrite,
                                   sdFolder->ReadOnly() ? smShareRead : smExclusive, aForServer, root, readOnly);
    if (result == nxeTableDoesNotExist && !sdFolder->ReadOnly())
      result = sdFolder->sfTableOpen(rootName, passwords, omReadOnly, smShareRead, aForServer, root, readOnly);
    openedHere = result == 0;
  }
  if (result == nxeTableDoesNotExist)
    return EnxBaseException::nxSetMessage(nxeTableDoesNotExist,
                                          nxOriginalMessageTag() + u" Root table \"%s\" not found",
                                          {std::u16string(rootName)});
  if (result != 0) return result;
  if (root->OpenMode() == omReadOnly) aIsReadOnly = true;
  if (openedHere && !aInternal && sdFolder->Engine().HasOption(seoVerifyTableNames) && root->StreamEngine()) {
    TnxBytesStream stream;
    if (root->StreamEngine()->ReadNamedStream(nullptr, u"$TableName", stream) == 0 && stream.GetSize() > 0) {
      stream.SetPosition(0);
      TnxReader reader(stream);
      const std::u16string stored = reader.ReadString();
      if (!platform::AsciiSameText(stored, rootName)) {
        sdFolder->sfCloseIfClosable(root, false, false, 1);
        return EnxBaseException::nxSetMessage(
            nxeInvalidTableName, u"Table file name (\"%s\") does not match actual table name (\"%s\")",
            {std::u16string(rootName), stored});
      }
    }
  }
  TnxServerBaseTable* table = root;
  if (!childPath.empty()) {
    result = root->GetChild(childPath, table);
    if (result != 0) {
      if (openedHere) sdFolder->sfCloseIfClosable(root, false, false, 1);
      return EnxBaseException::nxSetMessage(nxeTableDoesNotExist,
                                            nxOriginalMessageTag() + u" Child table \"%s\" not found",
                                            {std::u16string(aTableName)});
    }
  }
  if (table->IsCache() != aIsCache) {
    if (openedHere) sdFolder->sfCloseIfClosable(root, false, false, 1);
    return EnxBaseException::nxSetMessage(nxeCannotAccessFile, u"Table has conflicting cache mode");
  }
  aTable = table;
  return 0;
}

uint32_t TnxServerDatabase::sdTableExists(std::u16string_view aTableName, std::u16string_view aPassword,
                                          bool aForServer) {
  TablesGuard tables(*sdFolder, *sdTables);
  const auto [rootName, childPath] = SplitPath(aTableName);
  uint32_t result = tables.Find(rootName) ? 0 : sdFolder->sfTableExists(rootName);
  if (result != 0 || childPath.empty()) return result;
  TnxServerBaseTable* table = nullptr;
  bool readOnly = false;
  result = sdGetTable(table, aTableName, aPassword, aForServer, readOnly, false, sdIsCache);
  if (table && !table->Root()->TableCursorCount()) sdFolder->sfCloseIfClosable(table->Root(), false, false, 1);
  return result == nxeTableDoesNotExist ? nxeObjectNotFound : result;
}

uint32_t TnxServerDatabase::sdTableGetList(platform::TStringList& aList, bool aAllowSystem) {
  aList.BeginUpdate();
  struct EndUpdate {
    platform::TStringList& List;
    ~EndUpdate() { List.EndUpdate(); }
  } bracket{aList};
  aList.Clear();
  const TnxEngineArg args[] = {static_cast<void*>(&aList)};
  uint32_t result = NotifyExtenders(eaTableGetList, true, args);
  if (result != 0) return result;
  std::vector<std::u16string> names;
  {
    TablesGuard tables(*sdFolder, *sdTables);
    platform::TStringList folderNames;
    result = sdFolder->sfTableGetList(folderNames);
    for (int i = 0; i < folderNames.Count(); ++i) names.push_back(folderNames[i]);
    for (const auto& [key, table] : tables.Mappings()) names.push_back(table->Name());
  }
  std::sort(names.begin(), names.end(),
            [](const std::u16string& a, const std::u16string& b) { return platform::AsciiCompareText(a, b) < 0; });
  names.erase(std::unique(names.begin(), names.end(),
                          [](const std::u16string& a, const std::u16string& b) { return platform::AsciiSameText(a, b); }),
              names.end());
  for (const std::u16string& name : names)
    if (nxValidateTableName(name, false, aAllowSystem) == 0) aList.Add(name);
  if (result == 0) NotifyExtenders(eaTableGetList, false, args);
  return result;
}

uint32_t TnxServerDatabase::sdTableGetDictionary(std::u16string_view aTableName, std::u16string_view aPassword,
                                                 TnxDataDictionary& aDictionary) {
  const TnxEngineArg args[] = {aTableName, static_cast<void*>(&aDictionary)};
  if (const uint32_t veto = NotifyExtenders(eaTableGetDictionary, true, args)) return veto;
  const std::vector<std::u16string> passwords = sdBuildPasswords(aTableName, aPassword);
  uint32_t result = 0;
  {
    TablesGuard tables(*sdFolder, *sdTables);
    if (TnxServerRootTable* mapped = tables.Find(aTableName)) {
      result = mapped->srtAuthenticatePasswords(passwords);
      if (result == 0) aDictionary.Assign(&mapped->Dictionary());
    } else {
      result = sdFolder->sfTableGetDictionary(aTableName, passwords, false, aDictionary);
    }
  }
  if (result == 0) NotifyExtenders(eaTableGetDictionary, false, args);
  return result;
}

uint32_t TnxServerDatabase::TableGetDictionary(std::u16string_view aTableName, std::u16string_view aPassword,
                                               TnxDataDictionary* aDictionary) {
  if (const uint32_t result = nxValidateTableName(aTableName, true, true)) return result;
  if (!aDictionary) return EnxBaseException::nxSetMessage(nxeInvalidParameter, u"No dictionary given");
  return Entry([&]() -> uint32_t { return sdTableGetDictionary(aTableName, aPassword, *aDictionary); });
}

TnxIteratorResult TnxServerDatabase::sdIterateDictionaries(const TnxDictionaryIterator& aIterator, bool aAllowSystem,
                                                           bool aIgnoreError, void* aCookie) {
  TablesGuard tables(*sdFolder, *sdTables);
  platform::TStringList names;
  if (const uint32_t result = sdTableGetList(names, aAllowSystem))
    throw EnxServerException(result, u"The table list is not available", {});
  TnxIteratorResult answer = irContinue;
  for (int i = 0; i < names.Count(); ++i) {
    const std::u16string name = names[i];
    TnxServerRootTable* open = tables.Find(name);
    if (!open) open = sdFolder->FindTable(name);
    if (open) {
      answer = aIterator(static_cast<TnxDataDictionary*>(&open->Dictionary()), name, aCookie);
    } else {
      TnxDataDictionary dict;
      const uint32_t result = sdTableGetDictionary(name, u"", dict);
      if (result != 0) {
        if (aIgnoreError) continue;
        throw EnxServerException(result, u"The dictionary of \"%s\" is not available", {name});
      }
      answer = aIterator(&dict, name, aCookie);
    }
    if (answer == irStop) break;
  }
  return answer;
}

void TnxServerDatabase::GetTablesNeedingPack(std::vector<std::u16string>& aTables) {
  sdIterateDictionaries(
      [&aTables](TnxDataDictionary* aDictionary, std::u16string_view, void*) {
        if (aDictionary->RequiresPack()) aTables.push_back(aDictionary->BaseName());
        return irContinue;
      },
      ExplicitAllowSystem(), true, nullptr);
}

uint32_t TnxServerDatabase::sdTableBuild(bool aOverWrite, std::u16string_view aTableName,
                                         std::u16string_view aPassword, TnxDataDictionary& aDictionary,
                                         TnxTableScope aTableScope) {
  if (OpenMode() == omReadOnly) return DatabaseReadOnly();
  TnxTableScope scope = RaisedScope(*sdFolder, aTableName, aTableScope);
  const TnxEngineArg args[] = {aOverWrite, aTableName, static_cast<void*>(&aDictionary), static_cast<void*>(&scope)};
  if (const uint32_t veto = NotifyExtenders(eaTableBuild, true, args)) return veto;
  uint32_t result = 0;
  {
    TablesGuard tables(*sdFolder, *sdTables);
    TnxServerRootTable* mapped = tables.Find(aTableName);
    if (!aOverWrite && (mapped || ((scope == tsTempGlobal || scope == tsTempDatabase) &&
                                   sdFolder->sfTableExists(aTableName) == 0)))
      return EnxBaseException::nxSetMessage(nxeTableAlreadyExists, u"Table already exists.");
    if (scope == tsTempDatabase) {
      TnxServerRootTable* table = nullptr;
      result = sdFolder->sfTableCreate(u"", aPassword, false, aDictionary, scope, table);
      if (result != 0) return result;
      sdFolder->sfSetNameInScope(*table, aTableName);
      if (mapped && !sdFolder->sfCloseIfClosable(mapped, true, true, 1)) {
        table->Free();
        return EnxBaseException::nxSetMessage(nxeTableIsOpen, u"Table is open.");
      }
      tables.Mappings()[TnxTableMapper::Key(aTableName)] = table;
    } else {
      if (mapped) {
        if (!sdFolder->sfCloseIfClosable(mapped, true, true, 1))
          return EnxBaseException::nxSetMessage(nxeTableIsOpen, u"Table is open.");
        tables.Mappings().erase(TnxTableMapper::Key(aTableName));
      }
      result = sdFolder->sfTableBuild(aOverWrite, aTableName, aPassword, false, aDictionary, scope);
    }
  }
  if (result == 0) {
    TakeFolderGeneration(aTableName);
    NotifyExtenders(eaTableBuild, false, args);
  }
  return result;
}

uint32_t TnxServerDatabase::TableBuild(bool aOverWrite, std::u16string_view aTableName, std::u16string_view aPassword,
                                       TnxDataDictionary* aDictionary, TnxTableScope aTableScope, bool aAllowSystem) {
  if (const uint32_t result = nxValidateTableName(aTableName, false, aAllowSystem)) return result;
  if (!aDictionary) return EnxBaseException::nxSetMessage(nxeInvalidParameter, u"No dictionary given");
  try {
    aDictionary->CheckValid(true);
  } catch (const std::exception& e) {
    return asoConvertException(e);
  }
  return Entry([&]() -> uint32_t { return sdTableBuild(aOverWrite, aTableName, aPassword, *aDictionary, aTableScope); });
}

uint32_t TnxServerDatabase::sdTableDelete(std::u16string_view aTableName, std::u16string_view aPassword) {
  const std::vector<std::u16string> passwords = sdBuildPasswords(aTableName, aPassword);
  if (OpenMode() == omReadOnly) return DatabaseReadOnly();
  uint32_t result = 0;
  TnxTableScope scope = tsPersistent;
  {
    TablesGuard tables(*sdFolder, *sdTables);
    if (TnxServerRootTable* mapped = tables.Find(aTableName)) {
      scope = mapped->TableScope();
      const TnxEngineArg args[] = {aTableName, static_cast<void*>(&scope)};
      if (const uint32_t veto = NotifyExtenders(eaTableDelete, true, args)) return veto;
      if ((result = mapped->srtAuthenticatePasswords(passwords)) != 0) return result;
      if (!sdFolder->sfCloseIfClosable(mapped, true, true, 1))
        return EnxBaseException::nxSetMessage(nxeTableIsOpen, u"Table is open.");
      tables.Mappings().erase(TnxTableMapper::Key(aTableName));
    } else {
      const TnxEngineArg args[] = {aTableName};
      if (const uint32_t veto = NotifyExtenders(eaTableDelete, true, args)) return veto;
      result = sdFolder->sfTableDelete(aTableName, passwords, false);
    }
  }
  if (result == 0) {
    const TnxEngineArg args[] = {aTableName};
    NotifyExtenders(eaTableDelete, false, args);
    TakeFolderGeneration(aTableName);
  }
  return result;
}

uint32_t TnxServerDatabase::TableDelete(std::u16string_view aTableName, std::u16string_view aPassword) {
  if (const uint32_t result = nxValidateTableName(aTableName, true, true)) return result;
  return Entry([&]() -> uint32_t { return sdTableDelete(aTableName, aPassword); });
}

uint32_t TnxServerDatabase::sdTableEmpty(std::u16string_view aTableName, std::u16string_view aPassword) {
  const std::vector<std::u16string> passwords = sdBuildPasswords(aTableName, aPassword);
  if (OpenMode() == omReadOnly) return DatabaseReadOnly();
  uint32_t result = 0;
  {
    TablesGuard tables(*sdFolder, *sdTables);
    if (TnxServerRootTable* mapped = tables.Find(aTableName)) {
      TnxTableScope scope = mapped->TableScope();
      const TnxEngineArg args[] = {aTableName, static_cast<void*>(&scope)};
      if (const uint32_t veto = NotifyExtenders(eaTableEmpty, true, args)) return veto;
      if (mapped->FileIsLink()) return EnxBaseException::nxSetMessage(nxeTableReadOnly, u"Table is read only.");
      if ((result = mapped->srtAuthenticatePasswords(passwords)) != 0) return result;
      TnxServerRootTable* table = nullptr;
      result = sdFolder->sfTableCreate(u"", mapped->ExtractPassword(), mapped->ForServer(), mapped->Dictionary(),
                                       scope, table);
      if (result != 0) return result;
      sdFolder->sfSetNameInScope(*table, mapped->Name());
      if (!sdFolder->sfCloseIfClosable(mapped, true, true, 1)) {
        table->Free();
        return EnxBaseException::nxSetMessage(nxeTableIsOpen, u"Table is open.");
      }
      tables.Mappings()[TnxTableMapper::Key(aTableName)] = table;
    } else {
      const TnxEngineArg args[] = {aTableName};
      if (const uint32_t veto = NotifyExtenders(eaTableEmpty, true, args)) return veto;
      result = sdFolder->sfTableEmpty(aTableName, passwords, false);
    }
  }
  if (result == 0) {
    const TnxEngineArg args[] = {aTableName};
    NotifyExtenders(eaTableEmpty, false, args);
  }
  return result;
}

uint32_t TnxServerDatabase::TableEmpty(std::u16string_view aTableName, std::u16string_view aPassword) {
  if (const uint32_t result = nxValidateTableName(aTableName, true, true)) return result;
  return Entry([&]() -> uint32_t { return sdTableEmpty(aTableName, aPassword); });
}

uint32_t TnxServerDatabase::sdTableRename(std::u16string_view aOldName, std::u16string_view aNewName,
                                          std::u16string_view aPassword) {
  const std::vector<std::u16string> passwords = sdBuildPasswords(aOldName, aPassword);
  if (OpenMode() == omReadOnly) return DatabaseReadOnly();
  uint32_t result = 0;
  {
    TablesGuard tables(*sdFolder, *sdTables);
    if (TnxServerRootTable* mapped = tables.Find(aOldName)) {
      TnxTableScope scope = mapped->TableScope();
      const TnxEngineArg args[] = {aOldName, aNewName, static_cast<void*>(&scope)};
      if (const uint32_t veto = NotifyExtenders(eaTableRename, true, args)) return veto;
      if ((tables.Find(aNewName) && tables.Find(aNewName) != mapped) || sdFolder->sfTableExists(aNewName) == 0)
        return EnxBaseException::nxSetMessage(nxeTableAlreadyExists, u"Table already exists.");
      if ((result = mapped->srtAuthenticatePasswords(passwords)) != 0) return result;
      tables.Mappings().erase(TnxTableMapper::Key(aOldName));
      sdFolder->sfSetNameInScope(*mapped, aNewName);
      tables.Mappings()[TnxTableMapper::Key(aNewName)] = mapped;
    } else {
      const TnxEngineArg args[] = {aOldName, aNewName};
      if (const uint32_t veto = NotifyExtenders(eaTableRename, true, args)) return veto;
      result = sdFolder->sfTableRename(aOldName, aNewName, passwords, false);
    }
  }
  if (result != 0) return result;
  const TnxEngineArg args[] = {aOldName, aNewName};
  NotifyExtenders(eaTableRename, false, args);
  if (!(!aOldName.empty() && aOldName.front() == u' ') && !(!aNewName.empty() && aNewName.front() == u' '))
    TakeFolderGeneration(aNewName);
  return result;
}

uint32_t TnxServerDatabase::TableRename(std::u16string_view aOldName, std::u16string_view aNewName,
                                        std::u16string_view aPassword) {
  if (const uint32_t result = nxValidateTableName(aOldName, true, true)) return result;
  if (const uint32_t result = nxValidateTableName(aNewName, false, true)) return result;
  return Entry([&]() -> uint32_t { return sdTableRename(aOldName, aNewName, aPassword); });
}

// ---- cursors and cursor sources ----

uint32_t TnxServerDatabase::RegisterCursorSource(InxDatabaseCursorSource* aSource,
                                                 InxDatabaseCursorSourceControl*& aControl) {
  aControl = nullptr;
  if (!aSource) return EnxBaseException::nxSetMessage(nxeInvalidParameter, u"No cursor source given");
  return Entry([&]() -> uint32_t {
    auto* container = nxCreate<TnxServerDatabaseCursorSourceContainer>(*this, aSource);
    // The caller's reference; the database's list holds none.
    container->AddRef();
    aControl = container;
    return 0;
  });
}

namespace {

// 10253 when a cursor of aShareMode and aOpenMode may not join the table's
// cursors; the table's cursors padlock is held.
uint32_t CheckShareModes(TnxServerBaseTable& aTable, TnxOpenMode aOpenMode, TnxShareMode aShareMode) {
  TnxServerTableCursor* head = aTable.CursorsHead();
  if (!head) return 0;
  if (head->ShareMode() == smExclusive || aShareMode == smExclusive) return nxeNoExclusiveAccess;
  const bool writes = aOpenMode != omReadOnly;
  if (aShareMode == smShared) {
    if (!writes) return 0;
    for (TnxServerTableCursor* c = head; c; c = c->TableNext()) {
      if (c->ShareMode() == smShareRead) return nxeNoExclusiveAccess;
      if (c->ShareMode() == smShared && c->OpenMode() != omReadOnly) return 0;
    }
    return 0;
  }
  for (TnxServerTableCursor* c = head; c; c = c->TableNext())
    if ((c->ShareMode() == smShareRead && writes) || c->OpenMode() != omReadOnly) return nxeNoExclusiveAccess;
  return 0;
}

}  // namespace

uint32_t TnxServerDatabase::sdCursorOpen(TnxAbstractCursor*& aCursor, std::u16string_view aTableName,
                                         std::u16string_view aPassword, bool aForServer, TnxOpenMode aOpenMode,
                                         TnxShareMode aShareMode, bool aIgnoreExcl, uint32_t aTimeout,
                                         std::u16string_view aIndexName, int32_t aIndexID, bool aInternal,
                                         bool aIsCache) {
  aCursor = nullptr;
  if (aOpenMode == omWriteOnly) aOpenMode = omReadWrite;
  if (OpenMode() == omReadOnly && aOpenMode != omReadOnly) return DatabaseReadOnly();
  TnxServerObjectPtr<TnxServerTableCursor> cursor;
  uint32_t result = 0;
  TnxServerBaseTable* table = nullptr;
  try {
    // Held until the cursor is in the table's list: no other open can
    // pass the share check in between.
    TablesGuard tables(*sdFolder, *sdTables);
    bool readOnly = false;
    result = sdGetTable(table, aTableName, aPassword, aForServer, readOnly, aInternal, aIsCache);
    if (readOnly) aOpenMode = omReadOnly;
    if (!table) {
      if (sdCursorSourceHead) aCursor = sdCursorSourceHead->CursorOpen(aTableName, result);
      return result;
    }
    TnxServerRootTable* root = table->Root();
    if (!aIgnoreExcl) {
      for (int attempt = 0;; ++attempt) {
        {
          TnxPadlockGuard guard(table->CursorsPadlock());
          result = CheckShareModes(*table, aOpenMode, aShareMode);
        }
        if (result == 0 || attempt == 1) break;
        const int32_t expected = root->LockIsInactive().fetch_add(1) + 1;
        try {
          root->sbtCursorsCanClose(true);
          root->srtCanClose(true, false, expected);
        } catch (...) {
          root->LockIsInactive().fetch_sub(1);
          throw;
        }
        root->LockIsInactive().fetch_sub(1);
      }
      if (result != 0)
        result = EnxBaseException::nxSetMessage(nxeNoExclusiveAccess, u"Table \"%s\" is in use in another mode",
                                                {table->FullName()});
    }
    if (result == 0 && root->OpenMode() == omReadOnly && aOpenMode != omReadOnly)
      result = EnxBaseException::nxSetMessage(nxeTableReadOnly, u"Table is read only.");
    if (result == 0) {
      auto* session = dynamic_cast<TnxAbstractSession*>(Session());
      const bool blobCache = session && session->ClientVersion() > 19999;
      cursor = nxCreateServerObject<TnxServerTableCursor>(this, table, aTimeout, aOpenMode, aShareMode, aIndexName,
                                                          aIndexID, blobCache, aInternal);
    }
    if (result != 0 && root->TableCursorCount() == 0 && root->CursorCount() == 0)
      sdFolder->sfCloseIfClosable(root, false, false, 1);
  } catch (const std::exception& e) {
    result = asoConvertException(e);
  }
  if (result != 0) {
    cursor.reset();
    return result;
  }
  if (!cursor) return EnxBaseException::nxSetMessage(nxeExceptionWithoutCode, u"No cursor was opened");
  aCursor = cursor.release();
  return 0;
}

uint32_t TnxServerDatabase::CursorOpen(TnxAbstractCursor*& aCursor, std::u16string_view aTableName,
                                       std::u16string_view aPassword, TnxOpenMode aOpenMode, TnxShareMode aShareMode,
                                       uint32_t aTimeout, std::u16string_view aIndexName, int32_t aIndexID,
                                       bool aAllowSystem, TnxCursorOpenOptions, uint32_t aFilterTimeout,
                                       const platform::TStringList*) {
  aCursor = nullptr;
  if (const uint32_t result = nxValidateTablePath(aTableName, true, aAllowSystem)) return result;
  if (sdIsCache && !aAllowSystem)
    return EnxBaseException::nxSetMessage(nxeCannotAccessFile,
                                          u"Database does not support opening of cache cursors");
  return Entry([&]() -> uint32_t {
    uint32_t result = sdCursorOpen(aCursor, aTableName, aPassword, false, aOpenMode, aShareMode, false, aTimeout,
                                   aIndexName, aIndexID, false, false);
    if (result == 0 && aFilterTimeout != 500)
      if (auto* cursor = dynamic_cast<TnxServerTableCursor*>(aCursor)) cursor->SetFilterTimeout(aFilterTimeout);
    return result;
  });
}

uint32_t TnxServerDatabase::CursorCacheOpen(TnxAbstractCursor*& aCursor, std::u16string_view aTableName,
                                            std::u16string_view aPassword, TnxOpenMode aOpenMode,
                                            TnxShareMode aShareMode, uint32_t aTimeout,
                                            std::u16string_view aIndexName, int32_t aIndexID, bool aAllowSystem,
                                            TnxCursorOpenOptions, uint32_t aFilterTimeout) {
  aCursor = nullptr;
  if (const uint32_t result = nxValidateTablePath(aTableName, true, aAllowSystem)) return result;
  if (!sdIsCache)
    return EnxBaseException::nxSetMessage(nxeCannotAccessFile,
                                          u"Database does not support opening of cache cursors");
  return Entry([&]() -> uint32_t {
    uint32_t result = sdCursorOpen(aCursor, aTableName, aPassword, false, aOpenMode, aShareMode, false, aTimeout,
                                   aIndexName, aIndexID, false, true);
    if (result == 0 && aFilterTimeout != 500)
      if (auto* cursor = dynamic_cast<TnxServerTableCursor*>(aCursor)) cursor->SetFilterTimeout(aFilterTimeout);
    return result;
  });
}

// ---- statements ----

uint32_t TnxServerDatabase::sdStatementAlloc(TnxAbstractStatement*& aStatement, uint32_t aTimeout) {
  aStatement = nullptr;
  auto* sqlEngine = dynamic_cast<TnxBaseSqlEngine*>(sdFolder->Engine().SqlEngine());
  if (!sqlEngine) return EnxBaseException::nxSetMessage(nxeCapabilityNotSupported, kSqlEngineRequired);
  uint32_t result = 0;
  try {
    result = sqlEngine->StatementAlloc(this, aStatement, aTimeout);
  } catch (const std::exception& e) {
    result = asoConvertException(e);
  }
  if (result != 0 && aStatement) {
    try {
      std::exchange(aStatement, nullptr)->Free();
    } catch (const std::exception& e) {
      asoConvertException(e);
    }
  }
  aStatement = result == 0 ? aStatement : nullptr;
  return result;
}

uint32_t TnxServerDatabase::StatementAlloc(TnxAbstractStatement*& aStatement, uint32_t aTimeout) {
  aStatement = nullptr;
  return Entry([&]() -> uint32_t { return sdStatementAlloc(aStatement, aTimeout); });
}

uint32_t TnxServerDatabase::StatementExecDirect(uint32_t aTimeout, TnxStatementType aStatementType,
                                                std::u16string_view aQueryText, platform::TStream* aPrepareStream,
                                                const TnxSqlParamList& aParams, platform::TStream* aSetParamsStream,
                                                TnxAbstractCursor*& aCursor, TnxOpenMode aOpenMode,
                                                platform::TStream* aExecStream, platform::TStream* aGetParamsStream,
                                                TnxStatementExecDirectPhase& aPhase) {
  aCursor = nullptr;
  aPhase = sedAlloc;
  const uint32_t result = Entry([&]() -> uint32_t {
    TnxAbstractStatement* statement = nullptr;
    // Whatever way the work ends, the statement goes.
    struct StatementGuard {
      TnxAbstractStatement*& Statement;
      ~StatementGuard() {
        if (!Statement) return;
        try {
          std::exchange(Statement, nullptr)->Free();
        } catch (...) {
          // Freeing reports nothing more than the work did.
        }
      }
    } freeing{statement};
    if (const uint32_t alloc = sdStatementAlloc(statement, aTimeout)) return alloc;
    statement->asExecDirect = true;
    aPhase = sedPrepare;
    if (const uint32_t prepared = statement->Prepare(aStatementType, aQueryText, aPrepareStream)) return prepared;
    aPhase = sedSetParams;
    if (const uint32_t set = statement->SetParams(aParams, aSetParamsStream)) return set;
    aPhase = sedExec;
    TnxSessionStats::Count(sscStatements, 1);
    TnxServerEngine& engine = sdFolder->Engine();
    uint32_t executed = 0;
    {
      engine.seExecutingStatements.fetch_add(1);
      struct Executing {
        std::atomic<int32_t>& Count;
        ~Executing() { Count.fetch_sub(1); }
      } lowering{engine.seExecutingStatements};
      executed = statement->Exec(aCursor, aOpenMode, aExecStream);
    }
    engine.seExecutedStatements.fetch_add(1);
    if (executed != 0) return executed;
    aPhase = sedGetParams;
    if (aGetParamsStream) {
      TnxSqlParamList params = aParams;
      if (const uint32_t got = statement->GetParams(params, aGetParamsStream)) return got;
    }
    aPhase = sedFree;
    std::exchange(statement, nullptr)->Free();
    return 0;
  });
  if (result != 0 && aCursor) {
    try {
      std::exchange(aCursor, nullptr)->Free();
    } catch (const std::exception& e) {
      asoConvertException(e);
    }
  }
  return result;
}

uint32_t TnxServerDatabase::TableExists(std::u16string_view aTableName, std::u16string_view, bool& aExists,
                                        bool aAllowSystem) {
  aExists = false;
  if (aTableName.empty()) return 0;
  if (uint32_t result = nxValidateTablePath(aTableName, true, aAllowSystem)) return result;
  return Entry([&]() -> uint32_t {
    const TnxEngineArg args[] = {aTableName, static_cast<void*>(&aExists)};
    uint32_t result = NotifyExtenders(eaTableExists, true, args);
    if (result != 0) return result;
    result = sdTableExists(aTableName);
    if (result == 0) {
      aExists = true;
    } else if (result == nxeObjectNotFound) {
      result = 0;
    }
    if (result == 0) NotifyExtenders(eaTableExists, false, args);
    return result;
  });
}


uint32_t TnxServerDatabase::TableGetList(platform::TStringList& aList) {
  const bool allowSystem = ExplicitAllowSystem();
  return Entry([&]() -> uint32_t { return sdTableGetList(aList, allowSystem); });
}

void TnxServerDatabase::sadLockTables() {
  if (sdFolder) sdFolder->LockTables();
}

void TnxServerDatabase::sadUnlockTables() {
  if (sdFolder) sdFolder->UnlockTables();
}

// ---- operations on open tables, cursors and statements ----

uint32_t TnxServerDatabase::TableAutoIncGet(std::u16string_view aTableName, std::u16string_view aPassword,
                                            uint32_t& aValue) {
  aValue = 0;
  if (uint32_t result = nxValidateTablePath(aTableName, true, ExplicitAllowSystem())) return result;
  return Entry([&]() -> uint32_t {
    TnxAbstractCursor* opened = nullptr;
    const uint32_t result = sdCursorOpen(opened, aTableName, aPassword, false, omReadOnly, smShared, false, Timeout(),
                                         u"", -1, false, sdIsCache);
    if (result != 0) return result;
    TnxServerObjectPtr<TnxAbstractCursor> cursor(opened);
    if (auto* server = dynamic_cast<TnxSqlAbstractCursor*>(opened)) aValue = server->sbcAutoIncGet();
    return 0;
  });
}
uint32_t TnxServerDatabase::GetChangedTables(platform::TStringList& aTables) {
  return Entry([&]() -> uint32_t { return sdGetChangedTables(aTables); });
}

uint32_t TnxServerDatabase::sdGetChangedTables(platform::TStringList& aTables) {
  const TnxEngineArg args[] = {static_cast<void*>(&aTables)};
  if (uint32_t result = NotifyExtenders(eaGetChangedTables, true, args)) return result;
  auto* context = dynamic_cast<TnxServerTransContext*>(TransContext());
  TnxServerTransaction* trans = context ? context->stcTransaction() : nullptr;
  // A transaction that began before now stamps its tables with an LSN from
  // then, however late it commits: the mark stays below every such LSN.
  TnxBufferManager& bm = *sdFolder->Engine().BufferManager();
  const TnxLSN oldest = bm.OldestUnfinishedLSN();
  const TnxLSN mark = std::min(trans ? trans->LSN() - 1 : bm.CurrentLSN(), oldest);
  std::set<std::u16string> seen;
  for (TnxAbstractCursor* cursor : Cursors()) {
    auto* tableCursor = dynamic_cast<TnxServerTableCursor*>(cursor);
    if (!tableCursor || !tableCursor->Table()) continue;
    std::u16string name = tableCursor->FullName();
    if (!seen.insert(name).second) continue;
    if (tableCursor->Table()->sbtCurrentLSN(trans) > sdLastCheckLSN) aTables.Add(name);
  }
  if (uint32_t result = NotifyExtenders(eaGetChangedTables, false, args)) return result;
  sdLastCheckLSN = mark;
  return 0;
}
TnxSqlAbstractCursor* TnxServerDatabase::sadCreateResultSet(TnxDataDictionary* aDictionary, uint32_t aTimeout) {
  return TnxServerTableCursor::CreateResultSet(this, aDictionary, aTimeout).release();
}

}  // namespace revurov
