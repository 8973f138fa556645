#include "lowlevel/sync/unit_table.h"

namespace revurov {

void TnxUnitTable::Startup() {
  std::lock_guard guard(utLock);
  if (utCount > 0) {
    ++utCount;
    return;
  }
  if (utBelow.Startup) utBelow.Startup();
  size_t started = 0;
  try {
    for (; started < utUnits.size(); ++started) utUnits[started].Startup();
  } catch (...) {
    while (started > 0) utUnits[--started].Shutdown();
    if (utBelow.Shutdown) utBelow.Shutdown();
    throw;
  }
  utCount = 1;
}

void TnxUnitTable::Shutdown() {
  std::lock_guard guard(utLock);
  if (utCount == 0) return;
  if (--utCount > 0) return;
  for (size_t i = utUnits.size(); i > 0; --i) utUnits[i - 1].Shutdown();
  if (utBelow.Shutdown) utBelow.Shutdown();
}

int TnxUnitTable::Count() noexcept {
  std::lock_guard guard(utLock);
  return utCount;
}

}  // namespace revurov
