// The read/write portal against pthread_rwlock: nested reads on one thread,
// and outermost reads (pure and read-mostly) on 1 and 8 threads; the
// library's lock guards against the standard ones. The padlock (a fast lock)
// against a recursive pthread mutex, alone and on 8 threads.
#include <benchmark/benchmark.h>
#include <pthread.h>

#include <mutex>
#include <shared_mutex>

#include "lowlevel/sync/padlock.h"
#include "lowlevel/sync/read_write_portal.h"

namespace {

using revurov::TnxInternalReadWritePortal;
using revurov::TnxPadlock;

TnxInternalReadWritePortal& SharedPortal() {
  static auto* portal = new TnxInternalReadWritePortal;
  return *portal;
}

pthread_rwlock_t& SharedRwlock() {
  static pthread_rwlock_t lock = PTHREAD_RWLOCK_INITIALIZER;
  return lock;
}

// Guarded data, so that the locks guard something.
long gValue = 0;

void NestedReadOurs(benchmark::State& state) {
  auto& portal = SharedPortal();
  portal.BeginRead();
  for (auto _ : state) {
    portal.BeginRead();
    benchmark::DoNotOptimize(gValue);
    portal.EndRead();
  }
  portal.EndRead();
}

void NestedReadPeer(benchmark::State& state) {
  auto& lock = SharedRwlock();
  pthread_rwlock_rdlock(&lock);
  for (auto _ : state) {
    pthread_rwlock_rdlock(&lock);
    benchmark::DoNotOptimize(gValue);
    pthread_rwlock_unlock(&lock);
  }
  pthread_rwlock_unlock(&lock);
}

// Every writeEvery-th operation writes (0: never).
void ReadOurs(benchmark::State& state) {
  auto& portal = SharedPortal();
  const int64_t writeEvery = state.range(0);
  int64_t n = 0;
  for (auto _ : state) {
    if (writeEvery && ++n % writeEvery == 0) {
      portal.BeginWrite();
      ++gValue;
      portal.EndWrite();
    } else {
      portal.BeginRead();
      benchmark::DoNotOptimize(gValue);
      portal.EndRead();
    }
  }
}

void ReadPeer(benchmark::State& state) {
  auto& lock = SharedRwlock();
  const int64_t writeEvery = state.range(0);
  int64_t n = 0;
  for (auto _ : state) {
    if (writeEvery && ++n % writeEvery == 0) {
      pthread_rwlock_wrlock(&lock);
      ++gValue;
      pthread_rwlock_unlock(&lock);
    } else {
      pthread_rwlock_rdlock(&lock);
      benchmark::DoNotOptimize(gValue);
      pthread_rwlock_unlock(&lock);
    }
  }
}

// The same outermost reads and padlock sections through the library's
// guards, against the standard library's guards over its own locks.
void GuardedReadOurs(benchmark::State& state) {
  auto& portal = SharedPortal();
  for (auto _ : state) {
    revurov::TnxPortalReadGuard guard(portal);
    benchmark::DoNotOptimize(gValue);
  }
}

void GuardedReadPeer(benchmark::State& state) {
  static std::shared_mutex lock;
  for (auto _ : state) {
    std::shared_lock guard(lock);
    benchmark::DoNotOptimize(gValue);
  }
}

void GuardedPadlockOurs(benchmark::State& state) {
  static auto* padlock = new revurov::TnxPadlock;
  for (auto _ : state) {
    revurov::TnxPadlockGuard guard(*padlock);
    ++gValue;
  }
}

void GuardedPadlockPeer(benchmark::State& state) {
  static std::recursive_mutex lock;
  for (auto _ : state) {
    std::lock_guard guard(lock);
    ++gValue;
  }
}

TnxPadlock& SharedPadlock() {
  static auto* padlock = new TnxPadlock(true);
  return *padlock;
}

pthread_mutex_t& SharedMutex() {
  static pthread_mutex_t mutex = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;
  return mutex;
}

void PadlockOurs(benchmark::State& state) {
  auto& padlock = SharedPadlock();
  for (auto _ : state) {
    padlock.Lock();
    ++gValue;
    padlock.Unlock();
  }
}

void PadlockPeer(benchmark::State& state) {
  auto& mutex = SharedMutex();
  for (auto _ : state) {
    pthread_mutex_lock(&mutex);
    ++gValue;
    pthread_mutex_unlock(&mutex);
  }
}

BENCHMARK(NestedReadOurs)->Name("nested_read/ours");
BENCHMARK(NestedReadPeer)->Name("nested_read/peer:pthread_rwlock");
// The argument is how often a write comes: 0 never, 100 one in a hundred.
BENCHMARK(ReadOurs)->Name("read/ours")->Arg(0)->Threads(1)->Threads(8)->UseRealTime();
BENCHMARK(ReadPeer)->Name("read/peer:pthread_rwlock")->Arg(0)->Threads(1)->Threads(8)->UseRealTime();
BENCHMARK(ReadOurs)->Name("read_mostly/ours")->Arg(100)->Threads(8)->UseRealTime();
BENCHMARK(ReadPeer)->Name("read_mostly/peer:pthread_rwlock")->Arg(100)->Threads(8)->UseRealTime();
BENCHMARK(GuardedReadOurs)->Name("guarded_read/ours");
BENCHMARK(GuardedReadPeer)->Name("guarded_read/peer:std_shared_lock");
BENCHMARK(GuardedPadlockOurs)->Name("guarded_padlock/ours");
BENCHMARK(GuardedPadlockPeer)->Name("guarded_padlock/peer:std_lock_guard");
BENCHMARK(PadlockOurs)->Name("padlock/ours")->Threads(1)->Threads(8)->UseRealTime();
BENCHMARK(PadlockPeer)->Name("padlock/peer:pthread_mutex")->Threads(1)->Threads(8)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
