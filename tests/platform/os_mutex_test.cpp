#include "platform/os_mutex.h"
#include "platform/os_mutex_inline.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

namespace revurov::platform {
namespace {

TEST(OsMutex, OwnerReentersAndOthersWaitForTheLastUnlock) {
  TOsMutex m;
  m.Lock();
  ASSERT_TRUE(m.TryLock());  // re-entered by the owner
  auto otherGets = [&] {
    bool got = false;
    std::thread([&] {
      got = m.TryLock();
      if (got) m.Unlock();
    }).join();
    return got;
  };
  m.Unlock();
  EXPECT_FALSE(otherGets());  // still held once
  m.Unlock();
  EXPECT_TRUE(otherGets());
}

// The constexpr constructor zero-fills in place of the system's static
// initialiser; that only holds while the two are the same bytes.
TEST(OsReadWriteLock, ZeroFilledIsTheSystemsStaticInitialiser) {
  const pthread_rwlock_t initial = PTHREAD_RWLOCK_INITIALIZER;
  const unsigned char zero[sizeof initial] = {};
  EXPECT_EQ(std::memcmp(&initial, zero, sizeof initial), 0);
  EXPECT_EQ(sizeof(TOsReadWriteLock), sizeof initial);
}

TEST(OsReadWriteLock, ReadersNeverSeeAWriteHalfDone) {
  static TOsReadWriteLock lock;  // constant-initialised, as registries use it
  long a = 0, b = 0;
  std::atomic<bool> torn{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 2000; ++i) {
        if (t % 2 == 0) {
          lock.BeginWrite();
          ++a;
          ++b;
          lock.EndWrite();
        } else {
          lock.BeginRead();
          if (a != b) torn = true;
          lock.EndRead();
        }
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_FALSE(torn);
  EXPECT_EQ(a, 4000);
}

}  // namespace
}  // namespace revurov::platform
