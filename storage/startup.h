// The storage library's start-up: its own unit table, which starts the
// dictionary (and with it the low-level library) first.
//
// Contract: nxStorageStartup and nxStorageShutdown pair up around a
// counter. The first start-up installs the operation deadline into the
// engine's hooks and makes the chunked temporary storage the default class
// (unless another was set), then registers the block encryption engines
// and the journal classes (the rollback journal the default unless another
// was set); the last shut-down unregisters them, puts the hooks' defaults
// back and clears the default classes when they are still its own.
#pragma once

namespace revurov {

void nxStorageStartup();
void nxStorageShutdown();
// How many start-ups are not yet matched by a shut-down.
int nxStorageStartupCount() noexcept;

class TnxStorageStartupGuard {
public:
  TnxStorageStartupGuard() { nxStorageStartup(); }
  ~TnxStorageStartupGuard() { nxStorageShutdown(); }
  TnxStorageStartupGuard(const TnxStorageStartupGuard&) = delete;
  TnxStorageStartupGuard& operator=(const TnxStorageStartupGuard&) = delete;
};

}  // namespace revurov
