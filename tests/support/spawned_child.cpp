#include "support/spawned_child.h"

#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <map>

#include "platform/process.h"

namespace revurov::testing {

namespace {

constexpr const char* kChildSwitch = "--revurov-child";

std::map<std::string, TChildEntry>& Entries() {
  static std::map<std::string, TChildEntry> entries;
  return entries;
}

}  // namespace

bool RegisterChildEntry(const char* aName, TChildEntry aEntry) { return Entries().emplace(aName, aEntry).second; }

int32_t SpawnChild(const std::string& aName, const std::vector<std::string>& aArgs) {
  if (Entries().count(aName) == 0) return -1;
  // Everything the child needs is made before the fork: between fork and
  // exec it may only make calls that take no lock.
  char self[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  if (length <= 0) return -1;
  self[length] = '\0';
  std::vector<std::string> words{self, kChildSwitch, aName};
  words.insert(words.end(), aArgs.begin(), aArgs.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid != 0) return pid > 0 ? static_cast<int32_t>(pid) : -1;
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) _exit(126);  // the parent died before the line above
  execv(self, argv.data());
  _exit(127);
}

bool RunChildEntry(int aArgc, char** aArgv, int& aExitCode) {
  if (aArgc < 3 || std::strcmp(aArgv[1], kChildSwitch) != 0) return false;
  const auto found = Entries().find(aArgv[2]);
  if (found == Entries().end()) {
    aExitCode = 125;
    return true;
  }
  aExitCode = found->second(std::vector<std::string>(aArgv + 3, aArgv + aArgc));
  return true;
}

void TChildProcess::Kill() {
  if (cpPid <= 0) return;
  platform::KillProcess(static_cast<uint32_t>(cpPid));
  platform::WaitProcess(static_cast<uint32_t>(cpPid));
  cpPid = -1;
}

}  // namespace revurov::testing
