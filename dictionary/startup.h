// The dictionary's start-up: its own unit table, which starts the low-level
// library first (lowlevel/sync/unit_table.h has the rules).
//
// Contract: nxDictionaryStartup and nxDictionaryShutdown pair up around a
// counter; the first start-up starts the low-level library and then the
// dictionary's units in order, the last shut-down stops them in reverse
// and then the low-level library.
#pragma once

namespace revurov {

void nxDictionaryStartup();
void nxDictionaryShutdown();
// How many start-ups are not yet matched by a shut-down.
int nxDictionaryStartupCount() noexcept;

class TnxDictionaryStartupGuard {
public:
  TnxDictionaryStartupGuard() { nxDictionaryStartup(); }
  ~TnxDictionaryStartupGuard() { nxDictionaryShutdown(); }
  TnxDictionaryStartupGuard(const TnxDictionaryStartupGuard&) = delete;
  TnxDictionaryStartupGuard& operator=(const TnxDictionaryStartupGuard&) = delete;
};

}  // namespace revurov
