// Child processes for tests that need a peer in another process: the child
// is this test binary started anew, running an entry registered by name.
// A forked copy of a threaded test process would keep only the forking
// thread, and every lock another thread held at the fork would stay locked
// in the child for ever: a server started there hangs now and then.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace revurov::testing {

// An entry answers the child's exit code.
using TChildEntry = int (*)(const std::vector<std::string>& aArgs);

// At static initialisation only; a name is registered once.
bool RegisterChildEntry(const char* aName, TChildEntry aEntry);

#define REVUROV_CHILD_ENTRY(aName, aFunction) \
  [[maybe_unused]] static const bool aFunction##_registered = ::revurov::testing::RegisterChildEntry(aName, aFunction)

// Starts the entry aName in a new start of this binary; answers its process
// id, or -1. The child is killed when the thread that started it ends, so
// a test's children never outlive it.
int32_t SpawnChild(const std::string& aName, const std::vector<std::string>& aArgs = {});

// For the test binaries' main: when the command line names an entry, runs it
// and answers true with its exit code.
bool RunChildEntry(int aArgc, char** aArgv, int& aExitCode);

// A child killed and collected on every way out of a test.
class TChildProcess {
public:
  explicit TChildProcess(int32_t aPid) : cpPid(aPid) {}
  ~TChildProcess() { Kill(); }
  TChildProcess(const TChildProcess&) = delete;
  TChildProcess& operator=(const TChildProcess&) = delete;

  bool Started() const { return cpPid > 0; }
  int32_t Pid() const { return cpPid; }
  void Kill();

private:
  int32_t cpPid;
};

}  // namespace revurov::testing
