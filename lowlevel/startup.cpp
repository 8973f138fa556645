#include "lowlevel/startup.h"

#include <cstddef>
#include <mutex>

#include "lowlevel/events.h"
#include "lowlevel/exception_data.h"
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
    {&MainThreadStartup, &MainThreadShutdown},
    {&nxSyncStartup, &nxSyncShutdown},
    {&nxExceptionDataStartup, &nxExceptionDataShutdown},
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

int nxLowLevelStartupCount() noexcept {
  std::lock_guard guard(gStartupLock);
  return gStartupCount;
}

}  // namespace revurov
