// TnxServerEngine: the in-process database server. A state component that
// owns the block cache (from initialize to deactivate), the alias handler,
// a linked SQL engine and the cleanup timer (while started), and opens
// TnxServerSession objects; everything else goes through those sessions.
//
// Contract:
// - Setters of the configuration (options, names, sizes, paths, alias
//   handler, SQL engine) need the engine inactive and raise otherwise.
//   MaxRAM and TempStoreSize below their limits (1 and 0) are computed at
//   initialize from the readings (TnxServerEngineReadings, replaceable).
// - SessionOpenEx never raises: an engine not started answers the code and
//   message of its state check; a fatal flush error 15443; a secure engine
//   and a session that is not authenticated 10036, the session freed.
// - State steps and session opening exclude each other (the engine's state
//   portal), so a session opened while started is in the session list
//   before a stop begins, and the stop frees it. A client must not touch
//   its sessions once it has asked the engine to stop.
// - The cleanup timer calls every CleanupInterval ms (1000) while started,
//   only try-locks, and is joined before the stop frees anything.
// - Folders live in the engine, one per path; the stop frees them all.
//   The timer frees the oldest folder without databases when more than 16
//   are inactive, or when it has been inactive for more than 16 hours
//   (engine clock); a close request frees every inactive one.
// - An empty journal class name in a settings stream means "no journal
//   class" (what an engine without one writes).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "engine/server_engine.h"
#include "lowlevel/components/component_exceptions.h"
#include "lowlevel/components/state_component.h"
#include "lowlevel/sync/padlock.h"
#include "lowlevel/sync/read_write_portal.h"
#include "platform/guid.h"
#include "platform/rtl_thread.h"

namespace revurov {

class TnxBaseAliasHandler;
class TnxBufferManager;
class TnxServerBaseTable;
class TnxServerFolder;
class TnxServerRootTable;
class TnxServerSession;
class TnxSimpleTimerThread;

// Frees a component through its before-destruction step.
struct TnxComponentDeleter {
  void operator()(platform::TComponent* aComponent) const { platform::TComponent::Free(aComponent); }
};
using TnxAliasHandlerPtr = std::unique_ptr<TnxBaseAliasHandler, TnxComponentDeleter>;

REVUROV_COMPONENT_EXCEPTION_CLASS(EnxServerEngineException, EnxStateComponentException);

enum TnxServerEngineOption : uint8_t {
  seoReadOnly,
  seoForceFailSafe,
  seoCloseInactiveFolders,
  seoCloseInactiveTables,
  seoInMemOnly,
  seoIsSecure,
  seoVerifyTableNames,
  seoCloseAllWhenInactive,
  seoKeepSessionStats,
};
inline constexpr int kServerEngineOptionCount = 9;
// Bit i = option i.
using TnxServerEngineOptions = uint16_t;
constexpr TnxServerEngineOptions nxServerEngineOption(TnxServerEngineOption aOption) noexcept {
  return static_cast<TnxServerEngineOptions>(1u << aOption);
}
// "seoReadOnly" ...; false for a name that is no option.
std::u16string_view nxServerEngineOptionName(TnxServerEngineOption aOption) noexcept;
bool nxServerEngineOptionFromName(std::u16string_view aName, TnxServerEngineOption& aOption) noexcept;

// In-process clients.
inline constexpr int32_t nxInProcessClientVersion = 47501;

// What the engine reads of the machine to size its cache and temporary
// store; tests put in their own.
struct TnxServerEngineReadings {
  // Physical memory in bytes; false when the system does not tell.
  std::function<bool(uint64_t& aBytes)> TotalMemory;
  // Bytes the caller may still write under aDirectory; false when unknown.
  std::function<bool(std::u16string_view aDirectory, uint64_t& aBytes)> DiskFree;
  // The largest file the file system under aDirectory holds; 0 when unknown.
  std::function<int64_t(std::u16string_view aDirectory)> MaxFileSize;
  std::function<std::u16string()> TempDirectory;
};
TnxServerEngineReadings nxSystemReadings();

// The cache in MB for a machine of aTotalMB: half of it, or all but a
// fifth (at least 2048 MB) when that is more; at least 1.
int32_t nxDefaultCacheSize(int64_t aTotalMB) noexcept;
// The temporary store in MB: 0 when the free space is unknown, else the
// least of ten caches, a third of the free space and a third of the
// largest file.
int32_t nxDefaultTempStoreSize(int32_t aCacheMB, bool aFreeKnown, uint64_t aFreeBytes, int64_t aMaxFileSize) noexcept;

class TnxServerEngine : public TnxBaseServerEngine {
  REVUROV_COMPONENT_CLASS(TnxServerEngine, TnxBaseServerEngine)
  explicit TnxServerEngine(platform::TComponent* aOwner);
  ~TnxServerEngine() override;

  // Configuration.
  int32_t MaxRAM() const noexcept { return seMaxRAM; }
  void SetMaxRAM(int32_t aValue);
  const std::u16string& TempStorePath() const noexcept { return seTempStorePath; }
  void SetTempStorePath(std::u16string_view aValue);
  int32_t TempStoreSize() const noexcept { return seTempStoreSize; }
  void SetTempStoreSize(int32_t aValue);
  const std::u16string& TableExtension() const noexcept { return seTableExtension; }
  // An identifier (10042 otherwise, nothing stored).
  void SetTableExtension(std::u16string_view aValue);
  TnxServerEngineOptions Options() const noexcept { return seOptions; }
  void SetOptions(TnxServerEngineOptions aValue);
  bool HasOption(TnxServerEngineOption aOption) const noexcept { return (seOptions & nxServerEngineOption(aOption)) != 0; }
  const std::u16string& GetServerName() const noexcept { return seServerName; }
  void SetServerName(std::u16string_view aValue);
  TnxBaseAliasHandler* AliasHandler() const noexcept { return seAliasHandler.get(); }
  // Nil leaves the engine without one.
  void SetAliasHandler(TnxAliasHandlerPtr aHandler);
  TnxStateComponent* SqlEngine() const noexcept { return seSqlEngine; }
  int32_t ExecutingStatements() const noexcept { return seExecutingStatements.load(); }
  int32_t ExecutedStatements() const noexcept { return seExecutedStatements.load(); }
  void SetSqlEngine(TnxStateComponent* aValue);
  void SetReadings(TnxServerEngineReadings aReadings);
  // The cleanup timer's period in ms, taken at the next start.
  void SetCleanupInterval(uint32_t aMilliseconds) noexcept { seCleanupInterval = aMilliseconds; }

  // While initialized.
  TnxBufferManager* BufferManager() const noexcept { return seBufferManager.get(); }
  // The directory of the temporary store and the sizes the last
  // initialize chose.
  const std::u16string& TempDirectory() const noexcept { return seTempDirectory; }
  int32_t CacheSize() const noexcept { return seCacheSize; }
  int32_t StoreSize() const noexcept { return seStoreSize; }
  int32_t FolderCount() const noexcept { return seFolderCount.load(); }
  int32_t TableCount() const noexcept { return seTableCount.load(); }
  // Timer runs that found the folder list free.
  int64_t CleanupRuns() const noexcept { return seCleanupRuns.load(); }
  TnxPadlock& FoldersPadlock() noexcept { return seFoldersPadlock; }

  // Folders. Under FoldersPadlock: the folder of aPath (compared byte for
  // byte), nil when none; a new folder joins the list; FreeFolder takes it
  // out and frees it.
  TnxServerFolder* FindFolder(std::u16string_view aPath);
  TnxServerFolder* AddFolder(TnxServerObjectPtr<TnxServerFolder> aFolder);
  void FreeFolder(TnxServerFolder* aFolder);
  // The list of folders without databases, oldest first; each joins it
  // once, stamped with the engine clock.
  void InactiveFolderAdd(TnxServerFolder* aFolder);
  void InactiveFolderRemove(TnxServerFolder* aFolder);
  int32_t InactiveFolderCount() const noexcept { return seInactiveFoldersCount.load(); }
  // The list of persistent root tables without cursors, oldest first.
  void InactiveTableAdd(TnxServerRootTable* aTable);
  void InactiveTableRemove(TnxServerRootTable* aTable);
  int32_t InactiveTableCount() const noexcept { return seInactiveTablesCount.load(); }

  // Close what is closable now; 0 or the first failure's code.
  virtual uint32_t seCloseInactiveFolders();
  virtual uint32_t seCloseInactiveTables();

  // The engine interface.
  void SetState(TnxState aTarget) override;
  void SetName(std::u16string aName) override;
  void DependentNotify(TnxComponent* aSender, TnxNotifyOp aOp, void* aData) override;
  bool IsDependentOn(TnxStateComponent* aOther) const override;
  const TnxComponentExceptionClass& GetExceptionClass() const override;
  [[noreturn]] void RaiseEngineException(uint32_t aErrorCode) override;
  platform::TGUID ServerGuid() const override { return seServerGuid; }
  std::u16string ServerName() const override { return seServerName; }
  platform::HRESULT CreateInstanceFor(TnxAbstractServerObject* aSession, std::u16string_view aName,
                                      const platform::TGUID& aClassID, platform::IInterface* aOuter,
                                      const platform::TGUID& aInterfaceID, void** aInterface) override;
  void AllSessionsClosed() override;
  bool KeepSessionStats() const override { return HasOption(seoKeepSessionStats); }
  bool IsSecureServer() const override { return HasOption(seoIsSecure); }
  uint32_t SessionOpenEx(TnxAbstractServerObject*& aSession, std::u16string_view aUserName,
                         std::u16string_view aPassword, std::u16string_view aConnectedFrom, uint32_t aTimeout,
                         int32_t aClientVersion) override;

  void LoadConfig(TnxBaseComponentConfiguration& aConfig) override;
  void SaveConfig(TnxBaseComponentConfiguration& aConfig) override;
  void GetConfigSettings(TnxBaseSettings& aSettings) override;
  void LoadSettingsFromStream(TnxReader& aReader) override;
  void SaveSettingsToStream(TnxWriter& aWriter) override;
  std::u16string GetDisplayOnlyValue(std::u16string_view aValueName) const override;
  void GetStatsCaptions(platform::TStringList& aList) const override;
  void GetStatsValues(platform::TStringList& aList) const override;

protected:
  void BeforeDestruction() override;
  void DoInitialize() override;
  void DoDeactivate() override;
  void DoStart() override;
  void DoStop() override;
  virtual TnxAliasHandlerPtr CreateDefaultAliasHandler();
  // Makes the session; 15443 (nothing made) while the fatal flag is set.
  virtual uint32_t CreateSession(TnxServerObjectPtr<TnxServerSession>& aSession, std::u16string_view aUserName,
                                 std::u16string_view aPassword, std::u16string_view aConnectedFrom,
                                 uint32_t aTimeout, int32_t aClientVersion);
  // One run of the cleanup timer.
  virtual void seCleanup();

private:
  friend class TnxServerFolder;
  friend class TnxServerBaseTable;
  friend class TnxServerDatabase;

  void FreeCleanupThread();
  // False when a busy lock ended the run.
  bool seCleanupFolders();
  bool seCleanupTables();
  void FreeAllFolders();

  std::unique_ptr<TnxBufferManager> seBufferManager;
  platform::TThreadPtr<TnxSimpleTimerThread> seCleanupThread;
  platform::TGUID seServerGuid{};
  int32_t seMaxRAM = -1;
  std::u16string seTempStorePath;
  int32_t seTempStoreSize = -1;
  std::u16string seTableExtension = u"nx1";
  TnxPadlock seFoldersPadlock{true};
  TnxPadlock seInactiveTablesPadlock{true};
  std::atomic<int32_t> seInactiveTablesCount{0};
  TnxServerRootTable* seInactiveTablesHead = nullptr;
  TnxServerRootTable* seInactiveTablesTail = nullptr;
  std::map<std::u16string, TnxServerObjectPtr<TnxServerFolder>> seFolders;
  TnxPadlock seInactiveFoldersPadlock{true};
  TnxServerFolder* seInactiveFoldersHead = nullptr;
  TnxServerFolder* seInactiveFoldersTail = nullptr;
  std::atomic<int32_t> seInactiveFoldersCount{0};
  TnxAliasHandlerPtr seAliasHandler;
  TnxStateComponent* seSqlEngine = nullptr;        // linked, not owned
  std::u16string seServerName;
  TnxServerEngineOptions seOptions = 0;
  std::atomic<int32_t> seFolderCount{0};
  std::atomic<int32_t> seTableCount{0};
  std::atomic<int32_t> seExecutingStatements{0};
  std::atomic<int32_t> seExecutedStatements{0};

  TnxServerEngineReadings seReadings;
  uint32_t seCleanupInterval = 1000;
  std::atomic<int64_t> seCleanupRuns{0};
  std::u16string seTempDirectory;
  int32_t seCacheSize = 0;
  int32_t seStoreSize = 0;
  TnxInternalReadWritePortal seStatePortal;
};

}  // namespace revurov
