#include "lowlevel/startup.h"

#include <cstddef>
#include <mutex>

#include "lowlevel/base_cipher.h"
#include "lowlevel/base_compressor.h"
#include "lowlevel/blowfish_rc4.h"
#include "lowlevel/events.h"
#include "lowlevel/exception_data.h"
#include "lowlevel/lz4_compressor.h"
#include "lowlevel/memory_manager.h"
#include "lowlevel/platform_interface.h"
#include "lowlevel/wide_string.h"
#include "lowlevel/wide_string_categories.h"

namespace revurov {

namespace {

struct TnxUnitPair {
  void (*Startup)();
  void (*Shutdown)();
};

void MainThreadStartup() { nxSetIsMainThread(true); }
void MainThreadShutdown() { nxSetIsMainThread(false); }

// The units in start-up order; shut-down runs backwards.
constexpr TnxUnitPair kUnits[] = {
    // The heap binds first: every later unit may allocate.
    {&nxMemoryManagerBind, &nxMemoryManagerUnbind},
    {&MainThreadStartup, &MainThreadShutdown},
    {&nxSyncStartup, &nxSyncShutdown},
    {&nxExceptionDataStartup, &nxExceptionDataShutdown},
    {&nxBaseCipherStartup, &nxBaseCipherShutdown},
    {&nxBlowfishRC4Startup, &nxBlowfishRC4Shutdown},
    {&nxBaseCompressorStartup, &nxBaseCompressorShutdown},
    {&nxLz4CompressorStartup, &nxLz4CompressorShutdown},
    {&nxWideStringStartup, &nxWideStringShutdown},
    {&nxWideStringCategoriesStartup, &nxWideStringCategoriesShutdown},
};

std::mutex gStartupLock;
int gStartupCount = 0;

}  // namespace

void nxLowLevelStartup() {
  std::lock_guard guard(gStartupLock);
  if (gStartupCount > 0) {
    ++gStartupCount;
    return;
  }
  size_t started = 0;
  try {
    for (; started < std::size(kUnits); ++started) kUnits[started].Startup();
  } catch (...) {
    while (started > 0) kUnits[--started].Shutdown();
    throw;
  }
  gStartupCount = 1;
}

void nxLowLevelShutdown() {
  std::lock_guard guard(gStartupLock);
  if (gStartupCount == 0) return;
  if (--gStartupCount > 0) return;
  for (size_t i = std::size(kUnits); i > 0; --i) kUnits[i - 1].Shutdown();
}

bool nxUnitStartupIsFirst(std::atomic<int>& aCount) noexcept {
  return aCount.fetch_add(1, std::memory_order_acq_rel) == 0;
}

bool nxUnitShutdownIsLast(std::atomic<int>& aCount) noexcept {
  int started = aCount.load(std::memory_order_acquire);
  do {
    if (started == 0) return false;
  } while (!aCount.compare_exchange_weak(started, started - 1, std::memory_order_acq_rel));
  return started == 1;
}

int nxLowLevelStartupCount() noexcept {
  std::lock_guard guard(gStartupLock);
  return gStartupCount;
}

}  // namespace revurov
