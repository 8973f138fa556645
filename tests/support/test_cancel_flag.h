// A cancel flag per thread, answered by the deadline hook while the object
// lives, as the storage engine's deadline unit would.
#pragma once

#include <atomic>

#include "engine/deadline_hooks.h"

namespace revurov::testing {

class TTestCancelFlag {
public:
  TTestCancelFlag() { nxInstallThreadCancelFlagHook(&Flag); }
  ~TTestCancelFlag() { nxResetDeadlineHooks(); }
  TTestCancelFlag(const TTestCancelFlag&) = delete;
  TTestCancelFlag& operator=(const TTestCancelFlag&) = delete;

  static std::atomic<bool>* Flag() { return &tlsCancelFlag; }

private:
  static inline thread_local std::atomic<bool> tlsCancelFlag{false};
};

}  // namespace revurov::testing
