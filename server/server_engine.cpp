#include "server/server_engine.h"

#include <algorithm>
#include <utility>

#include "dictionary/locale_descriptor.h"
#include "engine/child_links.h"
#include "engine/deadline_hooks.h"
#include "engine/engine_clock.h"
#include "lowlevel/components/component_settings.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/heap/memory_manager.h"
#include "lowlevel/streams/tagged_stream.h"
#include "lowlevel/sync/lock_guard.h"
#include "lowlevel/sync/thread.h"
#include "lowlevel/wide_strings/utils_identifier.h"
#include "platform/file_identity.h"
#include "platform/format.h"
#include "platform/paths.h"
#include "platform/string_list.h"
#include "platform/system_info.h"
#include "platform/text.h"
#include "platform/variant.h"
#include "server/alias_handler.h"
#include "server/server_folder.h"
#include "server/server_session.h"
#include "server/server_table.h"
#include "server/sql_engine.h"
#include "storage/buffer_manager.h"
#include "storage/journal_classes.h"
#include "transport/registry_hook.h"

namespace revurov {

using platform::TnxVariant;

namespace {

constexpr std::u16string_view kOptionNames[kServerEngineOptionCount] = {
    u"seoReadOnly",         u"seoForceFailSafe",   u"seoCloseInactiveFolders",
    u"seoCloseInactiveTables", u"seoInMemOnly",    u"seoIsSecure",
    u"seoVerifyTableNames", u"seoCloseAllWhenInactive", u"seoKeepSessionStats",
};
constexpr TnxServerEngineOptions kAllOptions = (1u << kServerEngineOptionCount) - 1;

constexpr std::u16string_view kFatalText =
    u"A fatal error has occurred. Server operations are suspended until the server is restarted. Check exception "
    u"log at server for further information";

constexpr int64_t kMegabyte = 1048576;
constexpr int64_t kStoreShare = 3 * kMegabyte;
constexpr int kCloseTablesAttempts = 21;
constexpr uint32_t kCloseTablesPause = 50;
// Inactive tables beyond this many go at once, the oldest first; younger
// ones after 20 hours.
constexpr int32_t kInactiveTableLimit = 256;
constexpr uint64_t kInactiveTableAge = 20ull * 3600 * 1000;
// Inactive folders beyond this many go at once, the oldest first.
constexpr int32_t kInactiveFolderLimit = 16;
// Two thirds of a day.
constexpr uint64_t kInactiveFolderAge = 16ull * 3600 * 1000;

// Holds a padlock only when it was free.
class TTryPadlock {
public:
  explicit TTryPadlock(TnxPadlock& aLock) : tpLock(aLock), tpOwns(aLock.TryLock()) {}
  ~TTryPadlock() {
    if (tpOwns) tpLock.Unlock();
  }
  TTryPadlock(const TTryPadlock&) = delete;
  TTryPadlock& operator=(const TTryPadlock&) = delete;
  bool Owns() const noexcept { return tpOwns; }

private:
  TnxPadlock& tpLock;
  bool tpOwns;
};

std::u16string OptionKey(int aNumber) { return platform::Format(u"Options%d", {int32_t(aNumber)}); }

int64_t IntegerOf(const TnxVariant& aValue, int64_t aDefault) {
  if (aValue.IsEmpty() || aValue.IsNull()) return aDefault;
  try {
    return aValue.AsInt64();
  } catch (const std::exception&) {
    return aDefault;
  }
}

std::u16string StringOf(const TnxVariant& aValue) {
  return aValue.IsEmpty() || aValue.IsNull() ? std::u16string() : aValue.AsString();
}

}  // namespace

std::u16string_view nxServerEngineOptionName(TnxServerEngineOption aOption) noexcept {
  return aOption < kServerEngineOptionCount ? kOptionNames[aOption] : std::u16string_view();
}

bool nxServerEngineOptionFromName(std::u16string_view aName, TnxServerEngineOption& aOption) noexcept {
  for (int i = 0; i < kServerEngineOptionCount; ++i)
    if (platform::AsciiSameText(kOptionNames[i], aName)) {
      aOption = static_cast<TnxServerEngineOption>(i);
      return true;
    }
  return false;
}

TnxServerEngineReadings nxSystemReadings() {
  TnxServerEngineReadings r;
  r.TotalMemory = [](uint64_t& aBytes) {
    platform::TSystemMemory memory;
    const bool known = platform::GetSystemMemory(memory);
    aBytes = memory.Total;
    return known;
  };
  r.DiskFree = [](std::u16string_view aDirectory, uint64_t& aBytes) {
    return platform::GetDiskFreeSpace(platform::ToOsPath(aDirectory), aBytes);
  };
  r.MaxFileSize = [](std::u16string_view aDirectory) {
    return platform::MaxFileSizeForPath(platform::ToOsPath(aDirectory));
  };
  r.TempDirectory = [] { return platform::TempDirectory(); };
  return r;
}

int32_t nxDefaultCacheSize(int64_t aTotalMB) noexcept {
  // The reading is taken as a 32-bit count.
  const int64_t total = static_cast<int32_t>(aTotalMB);
  const int64_t reserve = std::max<int64_t>((2 * total) / 10, 2048);
  return static_cast<int32_t>(std::clamp<int64_t>(std::max(total / 2, total - reserve), 1, INT32_MAX));
}

int32_t nxDefaultTempStoreSize(int32_t aCacheMB, bool aFreeKnown, uint64_t aFreeBytes, int64_t aMaxFileSize) noexcept {
  if (!aFreeKnown) return 0;
  int64_t size = int64_t{aCacheMB} * 10;
  size = std::min<int64_t>(size, static_cast<int64_t>(std::min<uint64_t>(aFreeBytes / kStoreShare, INT64_MAX)));
  size = std::min<int64_t>(size, std::max<int64_t>(aMaxFileSize, 0) / kStoreShare);
  return static_cast<int32_t>(std::clamp<int64_t>(size, 0, INT32_MAX));
}

// ---- construction ----

TnxServerEngine::TnxServerEngine(platform::TComponent* aOwner)
    : TnxBaseServerEngine(aOwner), seReadings(nxSystemReadings()) {
  try {
    seServerGuid = platform::CreateGUID();
  } catch (const std::exception&) {
    seServerGuid = platform::TGUID{};
  }
  SetAliasHandler(TnxServerEngine::CreateDefaultAliasHandler());
}

TnxServerEngine::~TnxServerEngine() = default;

void TnxServerEngine::BeforeDestruction() {
  // Sessions go while the alias handler they use still exists.
  SetActive(false);
  if (seAliasHandler) {
    TnxComponent::UnlinkDependent(this, seAliasHandler.get());
    seAliasHandler.reset();
  }
  if (seSqlEngine) TnxComponent::UnlinkDependent(this, std::exchange(seSqlEngine, nullptr));
  TnxBaseServerEngine::BeforeDestruction();
}

TnxAliasHandlerPtr TnxServerEngine::CreateDefaultAliasHandler() {
  return TnxAliasHandlerPtr(new TnxSimpleAliasHandler(nullptr));
}

// ---- configuration ----

void TnxServerEngine::SetAliasHandler(TnxAliasHandlerPtr aHandler) {
  if (aHandler.get() == seAliasHandler.get()) {
    (void)aHandler.release();
    return;
  }
  CheckInactive();
  if (seAliasHandler) TnxComponent::UnlinkDependent(this, seAliasHandler.get());
  seAliasHandler = std::move(aHandler);
  if (seAliasHandler) {
    seAliasHandler->SetDisplayName(u"Aliases");
    seAliasHandler->SetName(Name().empty() ? std::u16string() : Name() + u"_AliasHandler");
    TnxComponent::LinkDependent(this, seAliasHandler.get());
  }
}

void TnxServerEngine::SetSqlEngine(TnxStateComponent* aValue) {
  if (aValue == seSqlEngine) return;
  CheckInactive();
  if (seSqlEngine) TnxComponent::UnlinkDependent(this, seSqlEngine);
  seSqlEngine = aValue;
  if (seSqlEngine) TnxComponent::LinkDependent(this, seSqlEngine);
}

void TnxServerEngine::SetName(std::u16string aName) {
  TnxBaseServerEngine::SetName(aName);
  if (seAliasHandler) seAliasHandler->SetName(aName.empty() ? std::u16string() : aName + u"_AliasHandler");
}

void TnxServerEngine::SetMaxRAM(int32_t aValue) {
  CheckInactive();
  seMaxRAM = aValue;
}

void TnxServerEngine::SetTempStorePath(std::u16string_view aValue) {
  CheckInactive();
  seTempStorePath = aValue;
}

void TnxServerEngine::SetTempStoreSize(int32_t aValue) {
  CheckInactive();
  seTempStoreSize = aValue;
}

void TnxServerEngine::SetTableExtension(std::u16string_view aValue) {
  CheckInactive();
  if (aValue == seTableExtension) return;
  CheckError(nxCheckIdentifier(aValue, nxeInvalidFileExtension, false, true));
  seTableExtension = aValue;
}

void TnxServerEngine::SetOptions(TnxServerEngineOptions aValue) {
  CheckInactive();
  seOptions = aValue & kAllOptions;
}

void TnxServerEngine::SetServerName(std::u16string_view aValue) {
  CheckInactive();
  seServerName = aValue;
}

void TnxServerEngine::SetReadings(TnxServerEngineReadings aReadings) {
  CheckInactive();
  seReadings = std::move(aReadings);
}

void TnxServerEngine::DependentNotify(TnxComponent* aSender, TnxNotifyOp aOp, void* aData) {
  TnxBaseServerEngine::DependentNotify(aSender, aOp, aData);
  if (aOp != nxn_Destroying || !aSender) return;
  if (aSender == seAliasHandler.get()) {
    SetActive(false);
    // Whoever frees it owns it now.
    (void)seAliasHandler.release();
  } else if (aSender == seSqlEngine) {
    SetActive(false);
    seSqlEngine = nullptr;
  }
}

bool TnxServerEngine::IsDependentOn(TnxStateComponent* aOther) const {
  return (aOther && aOther == seSqlEngine) || TnxBaseServerEngine::IsDependentOn(aOther);
}

const TnxComponentExceptionClass& TnxServerEngine::GetExceptionClass() const {
  return nxComponentExceptionClass<EnxServerEngineException>();
}

void TnxServerEngine::RaiseEngineException(uint32_t aErrorCode) { RaiseError(aErrorCode); }

void TnxServerEngine::LoadConfig(TnxBaseComponentConfiguration& aConfig) {
  TnxBaseServerEngine::LoadConfig(aConfig);
  SetServerName(StringOf(aConfig.GetValue(u"ServerName", TnxVariant::FromString(seServerName))));
  SetMaxRAM(static_cast<int32_t>(IntegerOf(aConfig.GetValue(u"MaxRAM", TnxVariant::FromInteger(seMaxRAM)), seMaxRAM)));
  SetTempStorePath(StringOf(aConfig.GetValue(u"TempStorePath", TnxVariant::FromString(seTempStorePath))));
  SetTempStoreSize(static_cast<int32_t>(
      IntegerOf(aConfig.GetValue(u"TempStoreSize", TnxVariant::FromInteger(seTempStoreSize)), seTempStoreSize)));
  const std::u16string journal = StringOf(aConfig.GetValue(
      u"JournalEngineClass", TnxVariant::FromString(std::u16string(nxDefaultJournalEngineClassName()))));
  if (const TnxJournalEngineClass* found = nxFindJournalEngineClass(journal)) nxSetDefaultJournalEngineClass(found);
  TnxServerEngineOptions options = 0;
  if (IntegerOf(aConfig.GetValue(u"NewOptionsLogic", TnxVariant::FromInteger(0)), 0) == 1) {
    options = static_cast<TnxServerEngineOptions>(
        IntegerOf(aConfig.GetValue(u"Options", TnxVariant::FromInteger(0)), 0) & kAllOptions);
  } else {
    const int64_t count = IntegerOf(aConfig.GetValue(u"OptionsCount", TnxVariant::FromInteger(0)), 0);
    for (int i = 1; i <= count; ++i) {
      TnxServerEngineOption option;
      if (nxServerEngineOptionFromName(StringOf(aConfig.GetValue(OptionKey(i), TnxVariant::FromString(u""))), option))
        options |= nxServerEngineOption(option);
    }
  }
  SetOptions(options);
}

void TnxServerEngine::SaveConfig(TnxBaseComponentConfiguration& aConfig) {
  TnxBaseServerEngine::SaveConfig(aConfig);
  aConfig.SetValue(u"ServerName", TnxVariant::FromString(seServerName));
  aConfig.SetValue(u"MaxRAM", TnxVariant::FromInteger(seMaxRAM));
  aConfig.SetValue(u"TempStorePath", TnxVariant::FromString(seTempStorePath));
  aConfig.SetValue(u"TempStoreSize", TnxVariant::FromInteger(seTempStoreSize));
  aConfig.SetValue(u"JournalEngineClass", TnxVariant::FromString(std::u16string(nxDefaultJournalEngineClassName())));
  const int64_t stored = IntegerOf(aConfig.GetValue(u"OptionsCount", TnxVariant::FromInteger(0)), 0);
  for (int i = 1; i <= stored; ++i) aConfig.SetValue(OptionKey(i), TnxVariant::FromString(u""));
  int32_t count = 0;
  for (int i = 0; i < kServerEngineOptionCount; ++i)
    if (HasOption(static_cast<TnxServerEngineOption>(i)))
      aConfig.SetValue(OptionKey(++count), TnxVariant::FromString(std::u16string(kOptionNames[i])));
  aConfig.SetValue(u"OptionsCount", TnxVariant::FromInteger(count));
  aConfig.SetValue(u"Options", TnxVariant::FromInteger(seOptions));
  aConfig.SetValue(u"NewOptionsLogic", TnxVariant::FromInteger(1));
  aConfig.SetValue(u"ServerEngine Version", TnxVariant::FromString(Version()));
}

void TnxServerEngine::GetConfigSettings(TnxBaseSettings& aSettings) {
  TnxBaseServerEngine::GetConfigSettings(aSettings);
  auto add = [&](std::u16string aName, TnxSettingType aType, TnxVariant aDefault) {
    std::u16string property = aName;
    return aSettings.AddSetting(std::make_unique<TnxBaseSetting>(std::move(aName), aType, std::move(aDefault),
                                                                 std::move(property)));
  };
  add(u"ServerName", nxstString, TnxVariant::FromString(u"RevurOV"));
  TnxBaseSetting* maxRam = add(u"MaxRam", nxstInteger, TnxVariant::FromInteger(-1));
  maxRam->fMin = TnxVariant::FromInteger(-1);
  maxRam->fMax = TnxVariant::FromInteger(131072);
  add(u"TempStoreSize", nxstInteger, TnxVariant::FromInteger(-1))->fMin = TnxVariant::FromInteger(-1);
  add(u"TempStorePath", nxstString, TnxVariant::FromString(u""));
  TnxBaseSetting* journal = add(u"JournalEngineClass", nxstString, TnxVariant::FromString(u""));
  journal->fEnforceValues = true;
  journal->fValueList = u"Tnx1xRollbackJournalEngine,Tnx1xJournalEngine,Tnx1xCommitJournalEngine";
  add(u"Options", nxstMultiOption, TnxVariant::FromString(u""))->fValueList =
      u"ReadOnly,ForceFailSafe,CloseInactiveFolders,CloseInactiveTables,InMemOnly,IsSecure,VerifyTableNames,"
      u"CloseAllWhenInactive,KeepSessionStats";
  add(u"ActiveOptions", nxstCaption, TnxVariant())->fLabel = u"Active Options";
  add(u"ServerEngine Version", nxstCaption, TnxVariant::FromString(Version()));
}

void TnxServerEngine::SaveSettingsToStream(TnxWriter& aWriter) {
  TnxBaseServerEngine::SaveSettingsToStream(aWriter);
  aWriter.WriteInteger(int32_t{1});
  aWriter.WriteString(seServerName);
  aWriter.WriteInteger(seMaxRAM);
  aWriter.WriteInteger(seTempStoreSize);
  aWriter.WriteString(seTempStorePath);
  aWriter.WriteString(nxDefaultJournalEngineClassName());
  aWriter.WriteListBegin();
  for (int i = 0; i < kServerEngineOptionCount; ++i)
    if (HasOption(static_cast<TnxServerEngineOption>(i))) aWriter.WriteString(kOptionNames[i]);
  aWriter.WriteListEnd();
}

void TnxServerEngine::LoadSettingsFromStream(TnxReader& aReader) {
  TnxBaseServerEngine::LoadSettingsFromStream(aReader);
  if (aReader.ReadInteger() != 1) RaiseError(nxeIncompatibleStream);
  const std::u16string serverName = aReader.ReadString();
  const int32_t maxRam = aReader.ReadInteger();
  const int32_t storeSize = aReader.ReadInteger();
  const std::u16string storePath = aReader.ReadString();
  const std::u16string journalName = aReader.ReadString();
  const TnxJournalEngineClass* journal = nullptr;
  if (!journalName.empty()) {
    journal = nxFindJournalEngineClass(journalName);
    if (!journal) throw platform::EClassNotFound(platform::Format(u"Klasse %s nicht gefunden", {journalName}));
  }
  TnxServerEngineOptions options = 0;
  aReader.ReadListBegin();
  while (!aReader.EndOfList()) {
    TnxServerEngineOption option;
    if (nxServerEngineOptionFromName(aReader.ReadString(), option)) options |= nxServerEngineOption(option);
  }
  aReader.ReadListEnd();
  // Applied once the whole part was read, so a bad stream changes nothing here.
  SetServerName(serverName);
  SetMaxRAM(maxRam);
  SetTempStoreSize(storeSize);
  SetTempStorePath(storePath);
  nxSetDefaultJournalEngineClass(journal);
  SetOptions(options);
}

std::u16string TnxServerEngine::GetDisplayOnlyValue(std::u16string_view aValueName) const {
  if (platform::AsciiSameText(aValueName, u"ActiveOptions")) {
    std::u16string text = u", SecureServer, NX_PROTECT_SERVER_ON_CRITICAL_ERROR";
    if (nxPhysicalMemoryActive()) text += u", NX_MM_SUPPORT_AWE";
    if (nxDisable30900LocaleFixes()) text += u", Disable30900LocaleFixes";
    return text.substr(2);
  }
  if (platform::AsciiSameText(aValueName, u"ServerEngine Version")) return Version();
  return TnxBaseServerEngine::GetDisplayOnlyValue(aValueName);
}

void TnxServerEngine::GetStatsCaptions(platform::TStringList& aList) const {
  TnxBaseServerEngine::GetStatsCaptions(aList);
  for (const char16_t* caption : {u"Executing Statements", u"Executed Statements", u"Active Folders",
                                  u"Inactive Folders", u"Active Tables", u"Inactive Tables"})
    aList.Add(caption);
  TnxBufferManager::GetStatsCaptions(aList);
}

void TnxServerEngine::GetStatsValues(platform::TStringList& aList) const {
  TnxBaseServerEngine::GetStatsValues(aList);
  const int32_t inactiveFolders = seInactiveFoldersCount.load();
  const int32_t inactiveTables = seInactiveTablesCount.load();
  for (int32_t value : {seExecutingStatements.load(), seExecutedStatements.load(), seFolderCount.load() - inactiveFolders,
                        inactiveFolders, seTableCount.load() - inactiveTables, inactiveTables})
    aList.Add(nxFormatGrouped(value));
  if (seBufferManager)
    seBufferManager->GetStatsValues(aList);
  else
    TnxBufferManager::GetStatsValuesStatic(aList);
}

// ---- states ----

void TnxServerEngine::SetState(TnxState aTarget) {
  TnxPortalWriteGuard guard(seStatePortal);
  TnxBaseServerEngine::SetState(aTarget);
}

void TnxServerEngine::DoInitialize() {
  std::u16string directory(platform::Trim(seTempStorePath));
  if (directory.empty() && seReadings.TempDirectory) directory = seReadings.TempDirectory();
  int32_t cache = seMaxRAM;
  if (cache < 1) {
    uint64_t total = 0;
    if (!seReadings.TotalMemory || !seReadings.TotalMemory(total)) total = 0;
    cache = nxDefaultCacheSize(static_cast<int64_t>(total / kMegabyte));
  }
  int32_t store = seTempStoreSize;
  if (store < 0) {
    uint64_t free = 0;
    const bool known = seReadings.DiskFree && seReadings.DiskFree(directory, free);
    const int64_t largest = known && seReadings.MaxFileSize ? seReadings.MaxFileSize(directory) : 0;
    store = nxDefaultTempStoreSize(cache, known, free, largest);
  }
  auto manager = std::make_unique<TnxBufferManager>(directory);
  manager->SetMaxRAM(cache);
  manager->SetTempStoreSize(store);
  seTempDirectory = std::move(directory);
  seCacheSize = cache;
  seStoreSize = store;
  seBufferManager = std::move(manager);
  TnxBaseServerEngine::DoInitialize();
}

void TnxServerEngine::DoDeactivate() {
  TnxBaseServerEngine::DoDeactivate();
  seBufferManager.reset();
  seExecutedStatements.store(0);
}

void TnxServerEngine::DoStart() {
  TnxBaseServerEngine::DoStart();
  seCleanupThread = platform::NewThread<TnxSimpleTimerThread>(
      seCleanupInterval, platform::TThreadPriority::tpHighest, [this](TnxSimpleTimerThread*) { seCleanup(); });
}

void TnxServerEngine::FreeCleanupThread() { seCleanupThread.reset(); }

void TnxServerEngine::DoStop() {
  FreeCleanupThread();
  // The SQL engine lets go of sessions, databases and tables before they go.
  if (auto* sqlEngine = dynamic_cast<TnxBaseSqlEngine*>(seSqlEngine)) sqlEngine->PrepareShutdown();
  TnxBaseServerEngine::DoStop();
  FreeAllFolders();
  seExecutedStatements.store(0);
}

// ---- folders ----

TnxServerFolder* TnxServerEngine::FindFolder(std::u16string_view aPath) {
  TnxPadlockGuard guard(seFoldersPadlock);
  const auto it = seFolders.find(std::u16string(aPath));
  return it == seFolders.end() ? nullptr : it->second.get();
}

TnxServerFolder* TnxServerEngine::AddFolder(TnxServerObjectPtr<TnxServerFolder> aFolder) {
  TnxPadlockGuard guard(seFoldersPadlock);
  TnxServerFolder* folder = aFolder.get();
  const auto [it, added] = seFolders.try_emplace(folder->Path(), std::move(aFolder));
  if (!added) throw EnxBaseException(nxeNameNotUnique);
  return folder;
}

void TnxServerEngine::FreeFolder(TnxServerFolder* aFolder) {
  TnxPadlockGuard guard(seFoldersPadlock);
  auto node = seFolders.extract(aFolder->Path());
  if (node.empty() || node.mapped().get() != aFolder) return;
  node.mapped().reset();
}

void TnxServerEngine::FreeAllFolders() {
  TnxPadlockGuard guard(seFoldersPadlock);
  while (!seFolders.empty()) {
    auto node = seFolders.extract(std::prev(seFolders.end()));
    try {
      node.mapped().reset();
    } catch (const std::exception&) {
      // A folder that cannot be written back is gone all the same.
    }
  }
}

void TnxServerEngine::InactiveFolderAdd(TnxServerFolder* aFolder) {
  TnxPadlockGuard guard(seInactiveFoldersPadlock);
  if (aFolder->sfInServerEngineInactiveFolders || aFolder->Destroying()) return;
  aFolder->sfInactiveSince = nxEngineTickCount();
  nxLinkAtTail<TnxServerFolder, &TnxServerFolder::sfServerEngineInactiveFoldersPrev,
               &TnxServerFolder::sfServerEngineInactiveFoldersNext>(seInactiveFoldersHead, seInactiveFoldersTail,
                                                                     aFolder);
  aFolder->sfInServerEngineInactiveFolders = true;
  seInactiveFoldersCount.fetch_add(1);
}

void TnxServerEngine::InactiveFolderRemove(TnxServerFolder* aFolder) {
  TnxPadlockGuard guard(seInactiveFoldersPadlock);
  if (!aFolder->sfInServerEngineInactiveFolders) return;
  nxUnlink<TnxServerFolder, &TnxServerFolder::sfServerEngineInactiveFoldersPrev,
           &TnxServerFolder::sfServerEngineInactiveFoldersNext>(seInactiveFoldersHead, seInactiveFoldersTail,
                                                                 aFolder);
  aFolder->sfInServerEngineInactiveFolders = false;
  seInactiveFoldersCount.fetch_sub(1);
}

// ---- closing inactive objects ----

void TnxServerEngine::seCleanup() {
  if (!seCleanupFolders()) return;
  if (!seCleanupTables()) return;
  {
    // A run counts only when it found the folder list free.
    TnxPadlockGuard inactive(seInactiveTablesPadlock);
    TTryPadlock folders(seFoldersPadlock);
    if (!folders.Owns()) return;
  }
  seCleanupRuns.fetch_add(1);
}

void TnxServerEngine::InactiveTableAdd(TnxServerRootTable* aTable) {
  TnxPadlockGuard guard(seInactiveTablesPadlock);
  if (aTable->srtInServerEngineInactiveTables || aTable->Destroying()) return;
  aTable->srtInactiveSince = nxEngineTickCount();
  nxLinkAtTail<TnxServerRootTable, &TnxServerRootTable::srtServerEngineInactiveTablesPrev,
               &TnxServerRootTable::srtServerEngineInactiveTablesNext>(seInactiveTablesHead, seInactiveTablesTail,
                                                                        aTable);
  aTable->srtInServerEngineInactiveTables = true;
  seInactiveTablesCount.fetch_add(1);
}

void TnxServerEngine::InactiveTableRemove(TnxServerRootTable* aTable) {
  TnxPadlockGuard guard(seInactiveTablesPadlock);
  if (!aTable->srtInServerEngineInactiveTables) return;
  nxUnlink<TnxServerRootTable, &TnxServerRootTable::srtServerEngineInactiveTablesPrev,
           &TnxServerRootTable::srtServerEngineInactiveTablesNext>(seInactiveTablesHead, seInactiveTablesTail, aTable);
  aTable->srtInServerEngineInactiveTables = false;
  seInactiveTablesCount.fetch_sub(1);
}

bool TnxServerEngine::seCleanupTables() {
  // As the folders: the inactive list first, the folder list and the
  // table's folder only tried; one table per lock cycle.
  bool old = seInactiveTablesCount.load() > 0;
  while (old || seInactiveTablesCount.load() > kInactiveTableLimit) {
    TnxPadlockGuard inactive(seInactiveTablesPadlock);
    TTryPadlock folders(seFoldersPadlock);
    if (!folders.Owns()) return false;
    if (old) old = seInactiveTablesCount.load() > 0;
    TnxServerRootTable* head = seInactiveTablesHead;
    if (!head || (!old && seInactiveTablesCount.load() <= kInactiveTableLimit)) break;
    const uint64_t now = nxEngineTickCount();
    {
      TTryPadlock tables(head->Folder().sfTablesPadlock);
      if (!tables.Owns()) return false;
      if (seInactiveTablesCount.load() > kInactiveTableLimit || now - head->srtInactiveSince > kInactiveTableAge) {
        // Closed only through srtCanClose with the guard raised, so a
        // table that another thread is about to use is only unlisted.
        if (!head->Folder().sfCloseIfClosable(head, false, false, 1)) InactiveTableRemove(head);
      }
    }
    head = seInactiveTablesHead;
    old = head && now - head->srtInactiveSince > kInactiveTableAge;
  }
  return true;
}

bool TnxServerEngine::seCleanupFolders() {
  // The inactive list before the folder list, which is only tried: the
  // closers hold it while they take the inactive list. A busy lock ends
  // the run; the next one tries again.
  bool old = seInactiveFoldersCount.load() > 0;
  while (old || seInactiveFoldersCount.load() > kInactiveFolderLimit) {
    TnxPadlockGuard inactive(seInactiveFoldersPadlock);
    TTryPadlock folders(seFoldersPadlock);
    if (!folders.Owns()) return false;
    if (old) old = seInactiveFoldersCount.load() > 0;
    TnxServerFolder* head = seInactiveFoldersHead;
    if (!head || (!old && seInactiveFoldersCount.load() <= kInactiveFolderLimit)) break;
    const uint64_t now = nxEngineTickCount();
    if (seInactiveFoldersCount.load() > kInactiveFolderLimit || now - head->sfInactiveSince > kInactiveFolderAge) {
      // Its databases are only tried too: whoever holds them may be
      // waiting for the inactive list.
      bool unused;
      {
        TTryPadlock databases(head->sfDatabasesPadlock);
        if (!databases.Owns()) return false;
        unused = head->sfDatabasesHead == nullptr;
      }
      if (unused) {
        try {
          FreeFolder(head);
        } catch (const std::exception&) {
          // Freed all the same; its next LSN is found again by the scan.
        }
      } else {
        InactiveFolderRemove(head);
      }
    }
    head = seInactiveFoldersHead;
    old = head && now - head->sfInactiveSince > kInactiveFolderAge;
  }
  return true;
}

uint32_t TnxServerEngine::seCloseInactiveFolders() {
  uint32_t result = 0;
  try {
    TnxPadlockGuard guard(seFoldersPadlock);
    for (bool freed = true; freed;) {
      freed = false;
      std::vector<TnxServerFolder*> folders;
      for (auto it = seFolders.rbegin(); it != seFolders.rend(); ++it) folders.push_back(it->second.get());
      for (TnxServerFolder* folder : folders) {
        if (!folder->sfIsInactive(false, true)) continue;
        try {
          FreeFolder(folder);
          freed = true;
        } catch (const std::exception& e) {
          result = ConvertException(e, nullptr);
        }
      }
    }
  } catch (const std::exception& e) {
    result = ConvertException(e, nullptr);
  }
  return result;
}

uint32_t TnxServerEngine::seCloseInactiveTables() {
  try {
    for (int attempt = 0; attempt < kCloseTablesAttempts; ++attempt) {
      bool failed = false;
      uint32_t result = 0;
      {
        TTryPadlock folders(seFoldersPadlock);
        if (folders.Owns()) {
          for (auto it = seFolders.rbegin(); it != seFolders.rend() && result == 0; ++it)
            result = it->second->sfCloseInactiveTables();
          failed = result == nxeRecordLocked;
        } else {
          failed = true;
        }
      }
      if (!failed) return result;
      nxEngineSleep(kCloseTablesPause);
    }
    return 0;
  } catch (const std::exception& e) {
    return ConvertException(e, nullptr);
  }
}

void TnxServerEngine::AllSessionsClosed() {
  TnxBaseServerEngine::AllSessionsClosed();
  if (!HasOption(seoCloseAllWhenInactive)) return;
  seCloseInactiveTables();
  seCloseInactiveFolders();
}

// ---- sessions ----

platform::HRESULT TnxServerEngine::CreateInstanceFor(TnxAbstractServerObject* aSession, std::u16string_view aName,
                                                     const platform::TGUID& aClassID, platform::IInterface* aOuter,
                                                     const platform::TGUID& aInterfaceID, void** aInterface) {
  if (platform::AsciiSameText(aName, u"<AliasHandler>")) {
    *aInterface = nullptr;
    if (!seAliasHandler) return platform::E_NOTIMPL;
    return seAliasHandler->nxcCreateInstance(nullptr, aClassID, aOuter, aInterfaceID, aInterface);
  }
  if (platform::AsciiSameText(aName, u"<Registry>")) {
    *aInterface = nullptr;
    TnxRegistryInstanceFactory factory = nxRegistryInstanceHook();
    if (!factory) return platform::E_NOTIMPL;
    platform::TInterfacePtr<platform::IInterface> registry = factory();
    if (!registry) return platform::E_NOTIMPL;
    return registry->QueryInterface(aInterfaceID, aInterface);
  }
  return TnxBaseServerEngine::CreateInstanceFor(aSession, aName, aClassID, aOuter, aInterfaceID, aInterface);
}

uint32_t TnxServerEngine::CreateSession(TnxServerObjectPtr<TnxServerSession>& aSession, std::u16string_view aUserName,
                                        std::u16string_view aPassword, std::u16string_view aConnectedFrom,
                                        uint32_t aTimeout, int32_t aClientVersion) {
  aSession.reset();
  if (nxFatalErrorFlag.load(std::memory_order_acquire))
    return EnxBaseException::nxSetMessage(nxeTransactionCorrupt, kFatalText);
  aSession = nxCreateServerObject<TnxServerSession>(this, aTimeout, aUserName, aPassword, aConnectedFrom,
                                                    aClientVersion);
  return 0;
}

uint32_t TnxServerEngine::SessionOpenEx(TnxAbstractServerObject*& aSession, std::u16string_view aUserName,
                                        std::u16string_view aPassword, std::u16string_view aConnectedFrom,
                                        uint32_t aTimeout, int32_t aClientVersion) {
  aSession = nullptr;
  try {
    TnxPortalReadGuard guard(seStatePortal);
    CheckStarted();
    nxSetTimeoutHook(aTimeout, false);
    TnxServerObjectPtr<TnxServerSession> session;
    const uint32_t result =
        CreateSession(session, aUserName, aPassword, aConnectedFrom, aTimeout, aClientVersion);
    if (result != 0) return result;
    if ((IsSecureServer() || session->MustBeAuthenticated()) && !session->Authenticated()) {
      session.reset();
      RaiseError(nxeUnknownUserOrPassword);
    }
    aSession = session.get();
    SessionAdded(TnxServerObjectPtr<TnxAbstractServerObject>(session.release()));
    return 0;
  } catch (const std::exception& e) {
    aSession = nullptr;
    return ConvertException(e, nullptr);
  }
}

}  // namespace revurov
