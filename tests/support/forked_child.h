// Runs a step of a crash test in a forked copy of this process. The copy
// keeps only the forking thread, so the step must not need any other; it
// ends with _exit, never by returning.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace revurov::testing {

// The child's exit code; -1 when it had to be killed after aMilliseconds,
// -2 when fork failed, -3 when it ended without exiting.
template <class F>
int RunForkedChild(F&& aChild, int aMilliseconds = 30000) {
  const pid_t child = fork();
  if (child == 0) {
    aChild();
    _exit(127);
  }
  if (child < 0) return -2;
  int status = 0;
  for (int i = 0; i < aMilliseconds; ++i) {
    if (waitpid(child, &status, WNOHANG) == child) return WIFEXITED(status) ? WEXITSTATUS(status) : -3;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  kill(child, SIGKILL);
  waitpid(child, &status, 0);
  return -1;
}

}  // namespace revurov::testing
