// The server library started and one in-process engine whose machine
// readings are fixed (8 GB of memory, the free space unknown), so that
// tests neither depend on the machine nor make a temporary store; the
// process-wide journal class is put back afterwards.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "lowlevel/errors/exceptions.h"
#include "platform/text.h"
#include "server/server_engine.h"
#include "server/server_session.h"
#include "server/startup.h"
#include "storage/journal_classes.h"
#include "support/engine_fixture.h"

namespace revurov::testing {

// The message of the calling thread's last converted error, as UTF-8.
inline std::string LastMessage() {
  uint32_t code = 0;
  std::u16string message;
  EnxBaseException::GetLastConvertedException(code, message);
  return platform::Utf16ToUtf8(message);
}

inline TnxServerEngineReadings FixedReadings(uint64_t aMemoryMB = 8192) {
  TnxServerEngineReadings r;
  r.TotalMemory = [aMemoryMB](uint64_t& aBytes) {
    aBytes = aMemoryMB * 1048576;
    return true;
  };
  r.DiskFree = [](std::u16string_view, uint64_t&) { return false; };
  r.MaxFileSize = [](std::u16string_view) { return int64_t{0}; };
  r.TempDirectory = [] { return std::u16string(u"/tmp/"); };
  return r;
}

class ServerFixture : public ::testing::Test {
protected:
  ServerFixture() { engine->SetReadings(FixedReadings()); }
  ~ServerFixture() override { nxSetDefaultJournalEngineClass(journal); }

  // The engine started with a small cache.
  void Start() {
    engine->SetMaxRAM(16);
    engine->SetActive(true);
  }
  TnxServerSession* Open() {
    TnxAbstractServerObject* session = nullptr;
    EXPECT_EQ(engine->SessionOpen(session, u"user", u"", u"test", 10000), 0u);
    return static_cast<TnxServerSession*>(session);
  }

  TnxServerStartupGuard library;
  const TnxJournalEngineClass* journal = nxDefaultJournalEngineClass();
  ComponentPtr<TnxServerEngine> engine{new TnxServerEngine(nullptr)};
};

}  // namespace revurov::testing
