#include "server/server_session.h"

#include <algorithm>
#include <utility>

#include "dictionary/default_values.h"
#include "dictionary/locale_descriptor.h"
#include "dictionary/referential_integrity.h"
#include "dictionary/storage_descriptors.h"
#include "dictionary/validation_descriptors.h"
#include "engine/name_rules.h"
#include "index/index_engines.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exceptions.h"
#include "lowlevel/sync/lock_guard.h"
#include "lowlevel/wide_strings/utils_identifier.h"
#include "platform/format.h"
#include "platform/paths.h"
#include "platform/string_list.h"
#include "platform/text.h"
#include "server/alias_handler.h"
#include "server/server_database.h"
#include "server/server_engine.h"
#include "server/server_folder.h"
#include "server/server_trans_context.h"
#include "storage/encryption_engine.h"
#include "storage/sub_engines.h"

namespace revurov {

namespace {

constexpr std::u16string_view kDefaultLocaleOption = u"SQL_DEFAULT_LOCALE";

// The runtime's StrToIntDef for decimal text.
int64_t IntegerOrDefault(std::u16string_view aText, int64_t aDefault) {
  aText = platform::Trim(aText);
  size_t i = 0;
  bool negative = false;
  if (i < aText.size() && (aText[i] == u'-' || aText[i] == u'+')) negative = aText[i++] == u'-';
  if (i == aText.size()) return aDefault;
  int64_t value = 0;
  for (; i < aText.size(); ++i) {
    if (aText[i] < u'0' || aText[i] > u'9' || value > (INT32_MAX / 10 + 1)) return aDefault;
    value = value * 10 + (aText[i] - u'0');
  }
  value = negative ? -value : value;
  return value < INT32_MIN || value > INT32_MAX ? aDefault : value;
}

void AddRegisteredNames(const TnxRegisterableClass& aFamily, platform::TStringList& aList) {
  std::vector<TnxRegisteredClassEntry> entries;
  aFamily.GetRegistered(entries, false);
  for (const TnxRegisteredClassEntry& entry : entries) aList.Add(entry.Name);
}

bool NamesCache(std::u16string_view aName) {
  std::u16string lower(aName);
  for (char16_t& c : lower)
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
  return lower.find(u"cache") != std::u16string::npos;
}

}  // namespace

TnxServerSession::TnxServerSession(TnxServerEngine* aServerEngine, uint32_t aTimeout, std::u16string_view aUserName,
                                   std::u16string_view aPassword, std::u16string_view aConnectedFrom,
                                   int32_t aClientVersion)
    : TnxAbstractSession(aServerEngine, aUserName, aPassword, aConnectedFrom, aTimeout),
      ssClientVersion(aClientVersion) {}

TnxServerSession::~TnxServerSession() = default;

TnxServerEngine& TnxServerSession::Engine() const noexcept { return static_cast<TnxServerEngine&>(*ServerEngine()); }

template <class F>
uint32_t TnxServerSession::Entry(F&& aWork) {
  try {
    return ConvertingEntry(std::forward<F>(aWork));
  } catch (const std::exception& e) {
    return asoConvertException(e);
  }
}

// ---- the client's locale ----

const TnxLocaleDescriptor* TnxServerSession::ClientDefaultLocale() const {
  TnxPadlockGuard guard(ssLocalePadlock);
  if (!ssClientDefaultLocale && !ssClientDefaultLocaleChecked) {
    ssClientDefaultLocaleChecked = true;
    ssLoadClientDefaultLocale();
  }
  return ssClientDefaultLocale.get();
}

void TnxServerSession::ssLoadClientDefaultLocale() const {
  ssClientDefaultLocale.reset();
  std::u16string value;
  // Reading the options changes nothing of the session.
  auto* self = const_cast<TnxServerSession*>(this);
  if (self->esoOptionGetEffective(kDefaultLocaleOption, value) != 0) return;
  const int64_t locale = IntegerOrDefault(value, -1);
  if (locale <= 0) return;
  auto descriptor = std::make_unique<TnxLocaleDescriptor>(nullptr);
  descriptor->SetIsDefaultStringLiteralLocale(true);
  descriptor->SetLocale(static_cast<uint32_t>(locale));
  ssClientDefaultLocale = std::move(descriptor);
}

// ---- aliases ----

template <class F>
uint32_t TnxServerSession::AliasOperation(std::u16string_view aOperation, std::u16string_view aAlias,
                                          bool aEmptyIsUnknown, TnxEngineAction aAction, TnxEngineArgs aArgs,
                                          bool aBroadcast, F&& aWork) {
  if (uint32_t result = nxValidateAliasName(aAlias, aEmptyIsUnknown)) return result;
  return Entry([&]() -> uint32_t {
    TnxBaseAliasHandler* handler = Engine().AliasHandler();
    if (!handler)
      return EnxBaseException::nxSetMessage(nxeCapabilityNotSupported, u"%s requires an AliasHandler", {aOperation});
    uint32_t result = NotifyExtenders(aAction, true, aArgs);
    if (result == 0) {
      result = aWork(*handler);
      if (result == 0) NotifyExtenders(aAction, false, aArgs);
    }
    if (aBroadcast)
      handler->BroadcastToDependents(nxn_AliasesChanged, nullptr, {u"TnxSession", u"TnxDatabase", u"TnxCursor"});
    return result;
  });
}

uint32_t TnxServerSession::AliasAdd(std::u16string_view aAlias, std::u16string_view aPath, bool aEnforce) {
  const TnxEngineArg args[] = {aAlias, aPath, aEnforce};
  return AliasOperation(u"AliasAdd", aAlias, false, eaAliasAdd, args, true,
                        [&](TnxBaseAliasHandler& aHandler) { return aHandler.Add(aAlias, aPath, aEnforce); });
}

uint32_t TnxServerSession::AliasDelete(std::u16string_view aAlias) {
  const TnxEngineArg args[] = {aAlias};
  return AliasOperation(u"AliasDelete", aAlias, true, eaAliasDelete, args, true,
                        [&](TnxBaseAliasHandler& aHandler) { return aHandler.Delete(aAlias); });
}

uint32_t TnxServerSession::AliasModify(std::u16string_view aAlias, std::u16string_view aNewName,
                                       std::u16string_view aNewPath, bool aEnforce) {
  // A new name is held to the rules of AliasAdd, or a configuration load
  // would refuse it later.
  if (!aNewName.empty())
    if (uint32_t result = nxValidateAliasName(aNewName, false)) return result;
  const TnxEngineArg args[] = {aAlias, aNewName, aNewPath, aEnforce};
  return AliasOperation(u"AliasModify", aAlias, true, eaAliasModify, args, true, [&](TnxBaseAliasHandler& aHandler) {
    return aHandler.Modify(aAlias, aNewName, aNewPath, aEnforce);
  });
}

uint32_t TnxServerSession::AliasGetList(TnxAliasDescriptors& aList) {
  const TnxEngineArg args[] = {static_cast<void*>(&aList)};
  return Entry([&]() -> uint32_t {
    TnxBaseAliasHandler* handler = Engine().AliasHandler();
    if (!handler)
      return EnxBaseException::nxSetMessage(nxeCapabilityNotSupported, u"%s requires an AliasHandler",
                                            {u"AliasGetList"});
    uint32_t result = NotifyExtenders(eaAliasGetList, true, args);
    if (result != 0) return result;
    result = handler->GetList(aList);
    if (result == 0) NotifyExtenders(eaAliasGetList, false, args);
    for (size_t i = aList.size(); i-- > 0;)
      if (nxCheckIdentifier(aList[i]->adAlias, nxeInvalidAliasName, false, true) != 0)
        aList.erase(aList.begin() + static_cast<std::ptrdiff_t>(i));
    return result;
  });
}

uint32_t TnxServerSession::AliasGetPath(std::u16string_view aAlias, std::u16string& aPath) {
  aPath.clear();
  const TnxEngineArg args[] = {aAlias, static_cast<void*>(&aPath)};
  return AliasOperation(u"AliasGetPath", aAlias, true, eaAliasGetPath, args, false,
                        [&](TnxBaseAliasHandler& aHandler) { return aHandler.GetPath(aAlias, aPath); });
}

// ---- passwords ----

uint32_t TnxServerSession::PasswordAdd(std::u16string_view aPassword) {
  return Entry([&]() -> uint32_t {
    if (aPassword.empty()) return nxeInvalidParameter;
    if (std::find(ssPasswords.begin(), ssPasswords.end(), aPassword) != ssPasswords.end()) return nxeNameNotUnique;
    ssPasswords.emplace_back(aPassword);
    return 0;
  });
}

uint32_t TnxServerSession::PasswordRemove(std::u16string_view aPassword) {
  return Entry([&]() -> uint32_t {
    if (aPassword.empty()) return nxeInvalidParameter;
    auto it = std::find(ssPasswords.begin(), ssPasswords.end(), aPassword);
    if (it == ssPasswords.end()) return nxeObjectNotFound;
    ssPasswords.erase(it);
    return 0;
  });
}

uint32_t TnxServerSession::PasswordRemoveAll() {
  return Entry([&]() -> uint32_t {
    ssPasswords.clear();
    return 0;
  });
}

void TnxServerSession::ssBuildPasswords(std::u16string_view aAlias, std::u16string_view aTableName,
                                        std::u16string_view aPassword, TnxUnicodeStrings& aList) {
  aList = ssPasswords;
  if (!aPassword.empty()) aList.emplace_back(aPassword);
  const TnxEngineArg args[] = {aAlias, aTableName, static_cast<void*>(&aList)};
  NotifyExtenders(eaBuildPasswords, false, args);
}

// ---- inactive folders and tables ----

uint32_t TnxServerSession::CloseInactiveFolders() {
  return Entry([&]() -> uint32_t {
    uint32_t result = NotifyExtenders(eaCloseInactiveFolders, true, {});
    if (result != 0) return result;
    result = Engine().seCloseInactiveFolders();
    if (result == 0) NotifyExtenders(eaCloseInactiveFolders, false, {});
    return result;
  });
}

uint32_t TnxServerSession::CloseInactiveTables() {
  return Entry([&]() -> uint32_t {
    uint32_t result = NotifyExtenders(eaCloseInactiveTables, true, {});
    if (result != 0) return result;
    result = Engine().seCloseInactiveTables();
    if (result == 0) NotifyExtenders(eaCloseInactiveTables, false, {});
    return result;
  });
}

// ---- databases and transaction contexts ----

uint32_t TnxServerSession::DatabaseOpen(TnxAbstractDatabase*& aDatabase, std::u16string_view aAliasType,
                                        std::u16string_view aAlias, TnxAbstractTransContext* aTransContext,
                                        TnxOpenMode aOpenMode, TnxShareMode aShareMode, uint32_t aTimeout) {
  return ssDoDatabaseOpen(aDatabase, aAliasType, aAlias, aTransContext, aOpenMode, aShareMode, aTimeout, false);
}

uint32_t TnxServerSession::DatabaseCacheOpen(TnxAbstractDatabase*& aDatabase, std::u16string_view aAliasType,
                                             std::u16string_view aAlias, TnxAbstractTransContext* aTransContext,
                                             TnxOpenMode aOpenMode, TnxShareMode aShareMode, uint32_t aTimeout) {
  return ssDoDatabaseOpen(aDatabase, aAliasType, aAlias, aTransContext, aOpenMode, aShareMode, aTimeout, true);
}

uint32_t TnxServerSession::ssDoDatabaseOpen(TnxAbstractDatabase*& aDatabase, std::u16string_view aAliasType,
                                            std::u16string_view aAlias, TnxAbstractTransContext* aTransContext,
                                            TnxOpenMode aOpenMode, TnxShareMode aShareMode, uint32_t aTimeout,
                                            bool aIsCache) {
  aDatabase = nullptr;
  return Entry([&]() -> uint32_t {
    std::u16string path;
    std::u16string aliasName;
    if (platform::AsciiSameText(aAliasType, u"Name")) {
      if (uint32_t result = nxValidateAliasName(aAlias, true)) return result;
      TnxBaseAliasHandler* handler = Engine().AliasHandler();
      if (!handler)
        return EnxBaseException::nxSetMessage(nxeCapabilityNotSupported, u"%s requires an AliasHandler",
                                              {u"AliasType = 'Name'"});
      if (uint32_t result = handler->GetPath(aAlias, path)) return result;
      aliasName = aAlias;
    } else if (platform::AsciiSameText(aAliasType, u"Path")) {
      path = aAlias;
    } else {
      return EnxBaseException::nxSetMessage(nxeCapabilityNotSupported, u"AliasType '%s' not supported",
                                            {aAliasType});
    }
    path = std::u16string(platform::Trim(path));
    // Empty and "#..." name folders in memory, used as they are.
    if (!path.empty() && path.front() != u'#') {
      path = platform::ExpandFileName(path);
      if (path.size() > 1) path = platform::IncludeTrailingPathDelimiter(path);
      if (!platform::DirectoryExists(path)) return nxeAliasDirectoryMissing;
    }
    TnxPadlockGuard folders(Engine().FoldersPadlock());
    uint32_t result = ssOpenDatabaseInFolder(aDatabase, aliasName, path, aTransContext, aOpenMode, aShareMode,
                                             aTimeout, aIsCache);
    if (result != 0) aDatabase = nullptr;
    return result;
  });
}

uint32_t TnxServerSession::ssOpenDatabaseInFolder(TnxAbstractDatabase*& aDatabase, std::u16string_view aAliasName,
                                                  std::u16string_view aPath, TnxAbstractTransContext* aTransContext,
                                                  TnxOpenMode aOpenMode, TnxShareMode aShareMode, uint32_t aTimeout,
                                                  bool aIsCache) {
  aDatabase = nullptr;
  TnxServerEngine& engine = Engine();
  TnxServerFolder* folder = engine.FindFolder(aPath);
  if (folder) {
    if (folder->IsCache() != aIsCache)
      return EnxBaseException::nxSetMessage(nxeCannotAccessDirectory,
                                            u"Folder already open with conflicting cache mode");
  } else {
    folder = engine.AddFolder(nxCreateServerObject<TnxServerFolder>(engine, aPath, aIsCache));
  }
  return ssDatabaseOpen(aDatabase, aAliasName, aTransContext, folder, aOpenMode, aShareMode, false, aTimeout);
}

namespace {

// Whether a database of aOpenMode and aShareMode may not join the
// databases from aHead on.
bool ShareConflict(TnxServerDatabase* aHead, TnxOpenMode aOpenMode, TnxShareMode aShareMode) {
  if (!aHead) return false;
  // One exclusive database is always alone.
  if (aHead->ShareMode() == smExclusive || aShareMode == smExclusive) return true;
  for (TnxServerDatabase* d = aHead; d; d = d->FolderNext()) {
    if (aShareMode == smShared && aOpenMode != omReadOnly && d->ShareMode() == smShareRead) return true;
    if (aShareMode == smShareRead &&
        ((d->ShareMode() == smShareRead && aOpenMode != omReadOnly) || d->OpenMode() != omReadOnly))
      return true;
  }
  return false;
}

}  // namespace

uint32_t TnxServerSession::ssDatabaseOpen(TnxAbstractDatabase*& aDatabase, std::u16string_view aAlias,
                                          TnxAbstractTransContext* aTransContext, TnxServerFolder* aFolder,
                                          TnxOpenMode aOpenMode, TnxShareMode aShareMode, bool aIgnoreShare,
                                          uint32_t aTimeout) {
  aDatabase = nullptr;
  TnxOpenMode mode = aOpenMode == omWriteOnly ? omReadWrite : aOpenMode;
  if (aFolder->ReadOnly()) mode = omReadOnly;
  uint32_t result = 0;
  {
    TnxPadlockGuard databases(aFolder->DatabasesPadlock());
    try {
      if (aTransContext && !dynamic_cast<TnxServerTransContext*>(aTransContext)) {
        result = EnxBaseException::nxSetMessage(nxeInvalidParameter, u"%s is no transaction context of this engine",
                                                {aTransContext->ClassType().Name});
      } else if (!aIgnoreShare && ShareConflict(aFolder->DatabasesHead(), mode, aShareMode)) {
        result = nxeNoExclusiveAccess;
      } else {
        aDatabase = nxCreateServerObject<TnxServerDatabase>(this, aTransContext, aAlias, aFolder, aTimeout, mode,
                                                            aShareMode)
                        .release();
      }
    } catch (const std::exception& e) {
      result = asoConvertException(e);
    }
    aFolder->sfCheckInactive();
  }
  if (result != 0 && aDatabase) {
    TnxServerObjectPtr<TnxAbstractDatabase> free(aDatabase);
    aDatabase = nullptr;
  }
  return result;
}

uint32_t TnxServerSession::TransContextCreate(TnxAbstractTransContext*& aTransContext, uint32_t aTimeout) {
  aTransContext = nullptr;
  try {
    aTransContext = nxCreateServerObject<TnxServerTransContext>(this, aTimeout).release();
    return 0;
  } catch (const std::exception& e) {
    return asoConvertException(e);
  }
}

// ---- class lists ----

uint32_t TnxServerSession::GetRegisteredClassList(TnxClassListType aClassListType, platform::TStringList& aList) {
  try {
    aList.Clear();
    aList.BeginUpdate();
    struct EndUpdate {
      platform::TStringList& List;
      ~EndUpdate() { List.EndUpdate(); }
    } bracket{aList};
    const TnxEngineArg args[] = {int32_t(aClassListType), static_cast<void*>(&aList)};
    if (uint32_t result = NotifyExtenders(eaGetRegisteredClassList, true, args)) return result;
    switch (aClassListType) {
      case setAutoIncEngines: AddRegisteredNames(TnxBaseAutoIncEngine::ClassInfo(), aList); break;
      case setBlobEngines: AddRegisteredNames(TnxBaseBlobDescriptor::ClassInfo(), aList); break;
      case setIndexEngines: {
        platform::TStringList all;
        AddRegisteredNames(TnxBaseIndexEngine::ClassInfo(), all);
        // Cache engines serve the client side only.
        for (int i = 0; i < all.Count(); ++i)
          if (!NamesCache(all[i])) aList.Add(all[i]);
        break;
      }
      case setEncryptionEngines: TnxBaseEncryptionEngine::GetRegisteredEngines(aList, false); break;
      case setDefaultDescriptors: AddRegisteredNames(TnxBaseDefaultValueDescriptor::ClassInfo(), aList); break;
      case setValidationDescriptors:
        AddRegisteredNames(TnxBaseFieldValidationDescriptor::ClassInfo(), aList);
        break;
      case setRecordDescriptors: AddRegisteredNames(TnxBaseRecordEngine::ClassInfo(), aList); break;
      case setRIActionDescriptors: AddRegisteredNames(TnxBaseActionDescriptor::ClassInfo(), aList); break;
      default: return nxeObjectNotFound;
    }
    NotifyExtenders(eaGetRegisteredClassList, false, args);
    return 0;
  } catch (const std::exception& e) {
    return asoConvertException(e);
  }
}

}  // namespace revurov
