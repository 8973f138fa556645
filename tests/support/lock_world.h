// Cursors of three sessions of one memory engine and transactions owned by
// those sessions: what the server's lock tests request locks with.
#pragma once

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "platform/text.h"
#include "storage/buffer_manager.h"
#include "storage/startup.h"
#include "storage/transactions.h"
#include "support/engine_fixture.h"
#include "support/memory_engine.h"
#include "support/temp_dir.h"

namespace revurov::testing {

class LockWorld {
public:
  static constexpr int kSessions = 3;

  explicit LockWorld(int aCursorsPerSession = 2) {
    for (int s = 0; s < kSessions; ++s) {
      std::u16string name = u"user" + std::u16string(1, char16_t(u'A' + s));
      Sessions[s] = engine->OpenMemory(name, u"host" + std::u16string(1, char16_t(u'1' + s)));
      TnxAbstractDatabase* database = nullptr;
      Sessions[s]->DatabaseOpen(database, u"Name", u"Data", nullptr, omReadWrite, smShared, 0);
      Databases[s] = static_cast<MemoryDatabase*>(database);
      for (int c = 0; c < aCursorsPerSession; ++c) Cursors[s].push_back(Databases[s]->OpenCursor(u"Customers"));
    }
  }
  ~LockWorld() {
    Transactions.clear();
    engine.reset();
  }
  LockWorld(const LockWorld&) = delete;
  LockWorld& operator=(const LockWorld&) = delete;

  TnxAbstractCursor* Cursor(int aSession, int aIndex = 0) const { return Cursors[aSession][size_t(aIndex)]; }
  // A transaction owned by the session (nil: by none).
  TnxBaseTransaction* NewTransaction(TnxAbstractSession* aSession) {
    Transactions.push_back(std::make_unique<TnxBaseTransaction>(*bufferManager, aSession, false, false));
    return Transactions.back().get();
  }

private:
  TnxStorageStartupGuard library;
  TempDir dir;
  std::unique_ptr<TnxBufferManager> bufferManager{
      std::make_unique<TnxBufferManager>(platform::Utf8ToUtf16(dir.Dir()))};

public:
  ComponentPtr<MemoryEngine> engine{new MemoryEngine(nullptr)};
  std::array<MemorySession*, kSessions> Sessions{};
  std::array<MemoryDatabase*, kSessions> Databases{};
  std::array<std::vector<TnxAbstractCursor*>, kSessions> Cursors;
  std::vector<std::unique_ptr<TnxBaseTransaction>> Transactions;
};

}  // namespace revurov::testing
