// Notice of other processes' ends, at the moment they end.
//
// Contract:
// - A TProcessWatcher runs one thread of its own from construction to
//   destruction. Watch adds a process by its identity; when that process
//   ends (also killed, and also when it had ended before Watch), the
//   thread calls the watcher's callback once with the identity and forgets
//   it. Watching an identity already watched adds nothing. False when the
//   system refuses to watch it (errno set); the caller then has to find the
//   end another way.
// - The callback runs on the watcher's thread, never after the destructor
//   returned; it must not call into the watcher.
#pragma once

#include <functional>
#include <memory>

#include "platform/process.h"

namespace revurov::platform {

class TProcessWatcher {
public:
  using TOnExit = std::function<void(const TProcessIdentity& aProcess)>;

  explicit TProcessWatcher(TOnExit aOnExit);
  ~TProcessWatcher();
  TProcessWatcher(const TProcessWatcher&) = delete;
  TProcessWatcher& operator=(const TProcessWatcher&) = delete;

  bool Watch(const TProcessIdentity& aProcess) noexcept;

  struct State;

private:
  std::unique_ptr<State> pwState;
};

}  // namespace revurov::platform
