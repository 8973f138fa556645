#include "server/server_folder.h"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "dictionary/data_dictionary.h"
#include "dictionary/file_descriptors.h"
#include "engine/name_rules.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exceptions.h"
#include "lowlevel/streams/memory_stream.h"
#include "lowlevel/streams/tagged_stream.h"
#include "lowlevel/strings/utils_text.h"
#include "lowlevel/sync/lock_guard.h"
#include "platform/file_io.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "server/buffer_calls.h"
#include "server/server_data_dict.h"
#include "server/server_engine.h"
#include "server/server_table.h"
#include "server/table_file_moves.h"
#include "storage/file_management.h"
#include "storage/stream_engines.h"
#include "storage/transactions.h"

namespace revurov {

// ---- table operations ----

namespace {

uint32_t RootNotFound(std::u16string_view aName) {
  return EnxBaseException::nxSetMessage(nxeTableDoesNotExist, nxOriginalMessageTag() + u" Root table \"%s\" not found",
                                        {std::u16string(aName)});
}

uint32_t InvalidName() { return EnxBaseException::nxSetMessage(nxeInvalidTableName, u"Invalid table name."); }
uint32_t TableIsOpen() { return EnxBaseException::nxSetMessage(nxeTableIsOpen, u"Table is open."); }
uint32_t TableReadOnly() { return EnxBaseException::nxSetMessage(nxeTableReadOnly, u"Table is read only."); }
uint32_t AlreadyExists() { return EnxBaseException::nxSetMessage(nxeTableAlreadyExists, u"Table already exists."); }
uint32_t FolderReadOnly() { return EnxBaseException::nxSetMessage(nxeDatabaseReadOnly, u"Database is read only."); }

void TakeDictionary(TnxServerRootTable& aTable, TnxDataDictionary& aDict, bool* aFileIsLink,
                    std::u16string* aPassword) {
  aDict.Assign(&aTable.Dictionary());
  if (aPassword) *aPassword = aTable.ExtractPassword();
  if (aFileIsLink) *aFileIsLink = aTable.FileIsLink();
}

// A refused password is the caller's answer; anything else may be damage.
bool PasswordRefused(uint32_t aResult) {
  return aResult == nxeInvalidPassword || aResult == nxeUnknownUserOrPassword;
}

bool IsTemporary(TnxTableScope aScope) { return aScope != tsPersistent; }

}  // namespace

std::vector<std::u16string> TnxServerFolder::TableFileNames(std::u16string_view aStem,
                                                            const TnxDataDictionary& aDict) const {
  std::vector<std::u16string> names{nxAddExtension(aStem, sfServerEngine.TableExtension())};
  const TnxFilesDescriptor& files = aDict.FilesDescriptor();
  for (int32_t i = 1; i < files.FileCount(); ++i) names.push_back(nxAddExtension(aStem, files.FileDescriptor(i)->Extension()));
  return names;
}

void TnxServerFolder::sfSetNameInScope(TnxServerRootTable& aTable, std::u16string_view aName) {
  aTable.sbtNameInScope = aName;
  aTable.Dictionary().SetBaseName(aName);
}

std::u16string TnxServerFolder::DiskStem(std::u16string_view aName) {
  std::u16string fileName;
  if (FindMainFile(aName, fileName) != 0) return std::u16string(aName);
  std::u16string base = platform::ExtractFileName(fileName);
  return StripTableExtension(base);
}

uint32_t TnxServerFolder::sfTableWriteName(std::u16string_view aTableName,
                                           const std::vector<std::u16string>& aPasswords, bool aForServer,
                                           std::u16string_view aStoredName) {
  try {
    TnxPadlockGuard guard(sfTablesPadlock);
    TnxServerRootTable* table = nullptr;
    bool readOnly = false;
    if (const uint32_t result =
            sfTableOpen(aTableName, aPasswords, omReadWrite, smExclusive, aForServer, table, readOnly))
      return result;
    if (readOnly || table->TableScope() != tsPersistent) {
      sfCloseIfClosable(table, false, false, 1);
      return 0;
    }
    uint32_t result = 0;
    TnxBufferManager& bufMgr = *sfServerEngine.BufferManager();
    TnxBaseTransaction trans(bufMgr, nullptr, false, false);
    try {
      TnxBytesStream stream;
      {
        TnxWriter writer(stream);
        writer.WriteString(aStoredName.empty() ? aTableName : aStoredName);
        writer.FlushBuffer();
      }
      stream.SetPosition(0);
      nxCheckError(table->StreamEngine()->WriteNamedStream(trans, u"$TableName", stream));
      nxsrCommit(bufMgr, trans);
    } catch (const std::exception& e) {
      result = asoConvertException(e);
      try {
        nxsrRollback(bufMgr, trans);
      } catch (const std::exception& inner) {
        asoConvertException(inner);
      }
    }
    sfCloseIfClosable(table, false, false, 1);
    return result;
  } catch (const std::exception& e) {
    return asoConvertException(e);
  }
}

uint32_t TnxServerFolder::sfTableGetDictionary(std::u16string_view aTableName,
                                               const std::vector<std::u16string>& aPasswords, bool aForServer,
                                               TnxDataDictionary& aDict, bool* aFileIsLink,
                                               std::u16string* aPassword) {
  if (aFileIsLink) *aFileIsLink = false;
  if (aPassword) aPassword->clear();
  uint32_t result = 0;
  try {
    const std::u16string name = StripTableExtension(aTableName);
    TnxPadlockGuard guard(sfTablesPadlock);
    if (TnxServerRootTable* open = FindTable(name)) {
      result = open->srtAuthenticatePasswords(aPasswords);
      if (result == 0) TakeDictionary(*open, aDict, aFileIsLink, aPassword);
    } else if (sfInMemOnly) {
      result = RootNotFound(name);
    } else if (!nxIsValidTableName(name)) {
      result = InvalidName();
    } else {
      std::u16string fileName;
      result = FindMainFile(name, fileName);
      if (result == nxeObjectNotFound) result = RootNotFound(name);
      if (result == 0) {
        TnxServerRootTable* table =
            nxCreateServerObject<TnxServerRootTable>(*this, name, omReadOnly, smShareRead, tsPersistent).release();
        bool readOnly = false;
        result = table->srtOpenTable(nullptr, aPasswords, aForServer, 0, readOnly);
        if (result == 0) {
          try {
            TakeDictionary(*table, aDict, aFileIsLink, aPassword);
          } catch (...) {
            table->Free();
            throw;
          }
        }
        table->Free();
      }
    }
  } catch (const std::exception& e) {
    result = asoConvertException(e);
  }
  if (result != 0) {
    try {
      aDict.ClearContents(false, false);
    } catch (const std::exception&) {
      // The failure reported is the lookup's.
    }
  }
  return result;
}

uint32_t TnxServerFolder::sfTableBuild(bool aOverWrite, std::u16string_view aTableName, std::u16string_view aPassword,
                                       bool aForServer, const TnxDataDictionary& aDictionary,
                                       TnxTableScope aTableScope) {
  try {
    TnxTableScope scope = aTableScope;
    const TnxEngineArg args[] = {aOverWrite, aTableName, static_cast<void*>(const_cast<TnxDataDictionary*>(&aDictionary)),
                                 static_cast<void*>(&scope)};
    if (const uint32_t veto = NotifyExtenders(eaTableBuild, true, args)) return veto;
    if (ReadOnly()) return FolderReadOnly();
    const std::u16string name = StripTableExtension(aTableName);
    uint32_t result = 0;
    {
      TnxPadlockGuard guard(sfTablesPadlock);
      if (TnxServerRootTable* open = FindTable(name))
        if (!sfCloseIfClosable(open, true, true, 1)) return TableIsOpen();
      if (name.empty() || (aTableScope == tsPersistent && !nxIsValidTableName(name))) return InvalidName();
      if (sfTableExists(name) == 0) {
        if (!aOverWrite) return AlreadyExists();
        if (aTableScope == tsPersistent && !sfInMemOnly) {
          result = ReplaceTable(name, aPassword, aForServer, aDictionary);
        } else {
          if (sfTableDelete(name, {std::u16string(aPassword)}, aForServer) != 0) return TableReadOnly();
          result = nxeObjectNotFound;
        }
      } else {
        result = nxeObjectNotFound;
      }
      if (result == nxeObjectNotFound) {
        TnxServerRootTable* table = nullptr;
        result = sfTableCreate(aTableName, aPassword, aForServer, aDictionary, aTableScope, table);
        if (result == 0) sfCloseIfClosable(table, false, false, 1);
      }
    }
    if (result == 0) NotifyExtenders(eaTableBuild, false, args);
    return result;
  } catch (const std::exception& e) {
    return asoConvertException(e);
  }
}

uint32_t TnxServerFolder::ReplaceTable(std::u16string_view aName, std::u16string_view aPassword, bool aForServer,
                                       const TnxDataDictionary& aDictionary) {
  TnxDataDictionary oldDict;
  const uint32_t read = sfTableGetDictionary(aName, {std::u16string(aPassword)}, false, oldDict);
  if (PasswordRefused(read) || read == nxeInvalidTableName) return TableReadOnly();
  const std::u16string stem = DiskStem(aName);
  // A damaged old table still loses at least its main file.
  std::vector<std::u16string> oldFiles =
      read == 0 ? TableFileNames(stem, oldDict) : std::vector<std::u16string>{TableFileNames(stem, oldDict).front()};
  const std::u16string newStem = u"$BUILD_" + stem;
  const std::vector<std::u16string> newFiles = TableFileNames(newStem, aDictionary);
  std::vector<TnxFileMove> moves;
  std::vector<std::u16string> aside;
  for (const std::u16string& file : oldFiles) {
    aside.push_back(u"$OLD_" + file);
    moves.push_back({file, aside.back()});
  }
  for (const std::u16string& file : newFiles) moves.push_back({file, file.substr(std::u16string_view(u"$BUILD_").size())});
  for (const std::u16string& file : aside) moves.push_back({file, {}});
  TnxFileMoves plan(sfPath, std::move(moves), newFiles,
                    {{aside.front(), true}, {newFiles.front(), false}});
  for (const std::u16string& file : newFiles)
    if (platform::FileExists(platform::ToOsPath(nxCombinePath(sfPath, file))))
      DeleteFileChecked(nxCombinePath(sfPath, file));
  plan.AnnounceDiscards();
  TnxServerRootTable* table = nullptr;
  uint32_t result = CreateTableAs(newStem, aName, aPassword, aForServer, aDictionary, tsPersistent, table);
  if (result != 0) {
    plan.Abandon();
    return result;
  }
  table->Free();
  plan.Announce();
  plan.Run();
  return 0;
}

uint32_t TnxServerFolder::sfTableDelete(std::u16string_view aTableName, const std::vector<std::u16string>& aPasswords,
                                        bool aForServer) {
  try {
    const TnxEngineArg args[] = {aTableName};
    if (const uint32_t veto = NotifyExtenders(eaTableDelete, true, args)) return veto;
    if (ReadOnly()) return FolderReadOnly();
    const std::u16string name = StripTableExtension(aTableName);
    if (name.empty()) return InvalidName();
    TnxPadlockGuard guard(sfTablesPadlock);
    TnxDataDictionary dict;
    bool isLink = false;
    uint32_t read = 0;
    if (TnxServerRootTable* open = FindTable(name)) {
      read = open->srtAuthenticatePasswords(aPasswords);
      if (read != 0) return read;
      const bool temporary = IsTemporary(open->TableScope());
      if (!temporary) TakeDictionary(*open, dict, &isLink, nullptr);
      if (!sfCloseIfClosable(open, true, true, 1)) return TableIsOpen();
      if (temporary) return 0;
    } else {
      read = sfTableGetDictionary(name, aPasswords, aForServer, dict, &isLink, nullptr);
    }
    if (isLink) return TableReadOnly();
    if (read == nxeInvalidTableName || read == nxeTableDoesNotExist || PasswordRefused(read)) return read;
    const std::u16string stem = DiskStem(name);
    std::vector<std::u16string> files = TableFileNames(stem, dict);
    // A dictionary that cannot be read names no further file.
    if (read != 0) files.resize(1);
    std::vector<TnxFileMove> moves;
    for (std::u16string& file : files) moves.push_back({std::move(file), {}});
    nxRunFileMoves(sfPath, std::move(moves));
    BumpStructureGeneration();
    NotifyExtenders(eaTableDelete, false, args);
    return 0;
  } catch (const std::exception& e) {
    return asoConvertException(e);
  }
}

uint32_t TnxServerFolder::sfTableEmpty(std::u16string_view aTableName, const std::vector<std::u16string>& aPasswords,
                                       bool aForServer) {
  try {
    if (ReadOnly()) return FolderReadOnly();
    const std::u16string name = StripTableExtension(aTableName);
    if (name.empty()) return InvalidName();
    TnxPadlockGuard guard(sfTablesPadlock);
    TnxDataDictionary dict;
    std::u16string password;
    bool isLink = false;
    TnxTableScope scope = tsPersistent;
    const TnxEngineArg args[] = {aTableName, static_cast<void*>(&scope)};
    if (TnxServerRootTable* open = FindTable(name)) {
      scope = open->TableScope();
      if (const uint32_t veto = NotifyExtenders(eaTableEmpty, true, args)) return veto;
      if (const uint32_t result = open->srtAuthenticatePasswords(aPasswords)) return result;
      TakeDictionary(*open, dict, &isLink, &password);
      if (!sfCloseIfClosable(open, true, true, 1)) return TableIsOpen();
    } else {
      if (const uint32_t veto = NotifyExtenders(eaTableEmpty, true, args)) return veto;
      if (const uint32_t result = sfTableGetDictionary(name, aPasswords, aForServer, dict, &isLink, &password))
        return result;
    }
    if (isLink) return TableReadOnly();
    const uint32_t result = sfTableBuild(true, name, password, aForServer, dict, scope);
    if (result == 0) NotifyExtenders(eaTableEmpty, false, args);
    return result;
  } catch (const std::exception& e) {
    return asoConvertException(e);
  }
}

uint32_t TnxServerFolder::sfTableRename(std::u16string_view aOldName, std::u16string_view aNewName,
                                        const std::vector<std::u16string>& aPasswords, bool aForServer) {
  try {
    if (ReadOnly()) return FolderReadOnly();
    const std::u16string oldName = StripTableExtension(aOldName);
    const std::u16string newName = StripTableExtension(aNewName);
    TnxPadlockGuard guard(sfTablesPadlock);
    TnxDataDictionary dict;
    TnxServerRootTable* open = FindTable(oldName);
    bool isLink = open && open->FileIsLink();
    if (TnxServerRootTable* taken = FindTable(newName); taken && taken != open)
      if (!sfCloseIfClosable(taken, false, true, 1)) return AlreadyExists();
    // The same table under another spelling is no conflict.
    if (!platform::AsciiSameText(oldName, newName) && sfTableExists(newName) == 0) return AlreadyExists();
    if (open) {
      TnxTableScope scope = open->TableScope();
      const TnxEngineArg args[] = {aOldName, aNewName, static_cast<void*>(&scope)};
      if (const uint32_t veto = NotifyExtenders(eaTableRename, true, args)) return veto;
      if (IsTemporary(open->TableScope())) {
        open->srtUnregister();
        open->srtName = newName;
        sfSetNameInScope(*open, newName);
        open->srtRegister();
        NotifyExtenders(eaTableRename, false, args);
        return 0;
      }
      if (const uint32_t result = open->srtAuthenticatePasswords(aPasswords)) return result;
      TakeDictionary(*open, dict, &isLink, nullptr);
      if (!sfCloseIfClosable(open, false, true, 1)) return TableIsOpen();
    } else {
      const TnxEngineArg args[] = {aOldName, aNewName};
      if (const uint32_t veto = NotifyExtenders(eaTableRename, true, args)) return veto;
      if (const uint32_t result = sfTableGetDictionary(oldName, aPasswords, aForServer, dict, &isLink, nullptr))
        return result;
    }
    if (isLink) return TableReadOnly();
    if (!nxIsValidTableName(newName)) return InvalidName();
    const std::u16string stem = DiskStem(oldName);
    const std::vector<std::u16string> from = TableFileNames(stem, dict);
    const std::vector<std::u16string> to = TableFileNames(newName, dict);
    std::vector<TnxFileMove> moves;
    for (size_t i = 0; i < from.size(); ++i) moves.push_back({from[i], to[i]});
    // Forward once the new main file is there: the main file moves first.
    TnxFileMoves plan(sfPath, std::move(moves), {}, {{to.front(), true}});
    try {
      plan.Run();
    } catch (const std::exception&) {
      // Every file under its new name: only the record that nothing is
      // pending failed, and the rename stands (an open finishes it forward).
      auto here = [this](const std::u16string& aName) {
        return platform::FileExists(platform::ToOsPath(nxCombinePath(sfPath, aName)));
      };
      if (!std::all_of(to.begin(), to.end(), here) || std::any_of(from.begin(), from.end(), here)) throw;
    }
    // The name inside follows the files. When it cannot be written the
    // files go back, so that a failure leaves the table as it was: under
    // its new name with the old name inside it would not pass the
    // file-name check.
    if (const uint32_t written = sfTableWriteName(newName, aPasswords, aForServer)) {
      uint32_t code = written;
      std::u16string message;
      EnxBaseException::GetLastConvertedException(code, message);
      std::vector<TnxFileMove> back;
      for (size_t i = 0; i < from.size(); ++i) back.push_back({to[i], from[i]});
      try {
        TnxFileMoves undo(sfPath, std::move(back), {}, {{from.front(), true}});
        undo.Run();
      } catch (const std::exception& e) {
        // The move back undid its own steps: the table stays renamed.
        asoConvertException(e);
      }
      EnxBaseException::SetLastConvertedException(written, code == written ? message : std::u16string());
      return written;
    }
    BumpStructureGeneration();
    const TnxEngineArg after[] = {aOldName, aNewName};
    NotifyExtenders(eaTableRename, false, after);
    return 0;
  } catch (const std::exception& e) {
    return asoConvertException(e);
  }
}

}  // namespace revurov
