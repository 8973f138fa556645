#include "platform/process.h"

#include <pthread.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace revurov::platform {

namespace {

struct TProcessStat {
  char State = 0;
  uint64_t StartTime = 0;
};

// /proc/<pid>/stat: the fields after the command name, which may itself
// hold spaces and parentheses; the state is field 3, the start time 22.
bool ReadProcessStat(uint32_t aPid, TProcessStat& aStat) noexcept {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%u/stat", aPid);
  FILE* f = std::fopen(path, "re");
  if (!f) return false;
  char buf[1024];
  const std::size_t n = std::fread(buf, 1, sizeof buf - 1, f);
  std::fclose(f);
  buf[n] = 0;
  const char* p = std::strrchr(buf, ')');
  if (!p) return false;
  ++p;
  for (int field = 3; field <= 22 && *p; ++field) {
    while (*p == ' ') ++p;
    if (field == 3) aStat.State = *p;
    if (field == 22) {
      aStat.StartTime = std::strtoull(p, nullptr, 10);
      return true;
    }
    while (*p && *p != ' ') ++p;
  }
  return false;
}

}  // namespace

uint32_t CurrentProcessId() noexcept { return static_cast<uint32_t>(getpid()); }

uint64_t ProcessStartTime(uint32_t aPid) noexcept {
  TProcessStat stat;
  return ReadProcessStat(aPid, stat) ? stat.StartTime : 0;
}

TProcessIdentity CurrentProcessIdentity() noexcept {
  const uint32_t pid = CurrentProcessId();
  return {pid, ProcessStartTime(pid)};
}

bool ProcessIsAlive(const TProcessIdentity& aProcess) noexcept {
  if (aProcess.Pid == 0 || aProcess.StartTime == 0) return false;
  TProcessStat stat;
  if (!ReadProcessStat(aProcess.Pid, stat) || stat.StartTime != aProcess.StartTime) return false;
  // A zombie has ended; only its exit status waits to be collected.
  return stat.State != 'Z' && stat.State != 'X';
}

bool RegisterForkHandlers(void (*before)(), void (*inParent)(), void (*inChild)()) noexcept {
  return pthread_atfork(before, inParent, inChild) == 0;
}

int32_t ForkProcess() noexcept { return static_cast<int32_t>(fork()); }

void ExitProcessNow(int aCode) noexcept { _exit(aCode); }

bool KillProcess(uint32_t aPid) noexcept { return aPid != 0 && kill(static_cast<pid_t>(aPid), SIGKILL) == 0; }

bool WaitProcess(uint32_t aPid) noexcept {
  int status = 0;
  for (;;) {
    if (waitpid(static_cast<pid_t>(aPid), &status, 0) == static_cast<pid_t>(aPid)) return true;
    if (errno != EINTR) return false;
  }
}

}  // namespace revurov::platform
