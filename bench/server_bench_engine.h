// An in-process server engine for one benchmark run, with one session and
// databases opened on folders; stopped when the run ends.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string_view>

#include "platform/rtl_component.h"
#include "platform/text.h"
#include "server/server_engine.h"
#include "server/server_session.h"
#include "server/startup.h"

namespace revurov::bench {

class TServerBenchEngine {
public:
  explicit TServerBenchEngine(int32_t aMaxRamMB = 64) {
    nxServerStartup();
    engine_ = new TnxServerEngine(nullptr);
    engine_->SetMaxRAM(aMaxRamMB);
    engine_->SetTempStoreSize(0);
    engine_->SetActive(true);
    engine_->SessionOpen(session_, u"bench", u"", u"", 10000);
  }
  ~TServerBenchEngine() {
    // The engine frees its sessions; databases are the caller's to free first.
    platform::TComponent::Free(engine_);
    nxServerShutdown();
  }
  TServerBenchEngine(const TServerBenchEngine&) = delete;
  TServerBenchEngine& operator=(const TServerBenchEngine&) = delete;

  // A read-write shared database on aPath: its result code, database nil on failure.
  uint32_t OpenDatabase(std::u16string_view aPath, TnxAbstractDatabase*& aDatabase) {
    aDatabase = nullptr;
    if (!session_) return 1;
    return static_cast<TnxServerSession*>(session_)->DatabaseOpen(aDatabase, u"Path", aPath, nullptr, omReadWrite,
                                                                   smShared, 10000);
  }
  // The same on a folder; nil on failure.
  TnxAbstractDatabase* OpenFolder(const std::filesystem::path& aFolder) {
    TnxAbstractDatabase* database = nullptr;
    OpenDatabase(platform::Utf8ToUtf16(aFolder.string()), database);
    return database;
  }

private:
  TnxServerEngine* engine_ = nullptr;
  TnxAbstractServerObject* session_ = nullptr;
};

}  // namespace revurov::bench
