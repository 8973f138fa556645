#include "platform/os_mutex.h"

#include <pthread.h>

#include <new>

#include "platform/os_mutex_inline.h"
#include "platform/rtl_exception.h"

namespace revurov::platform {

namespace {

static_assert(sizeof(pthread_rwlock_t) == 56 && alignof(pthread_rwlock_t) <= 8);

inline pthread_rwlock_t* NativeRw(unsigned char* storage) noexcept {
  return std::launder(reinterpret_cast<pthread_rwlock_t*>(storage));
}

}  // namespace

TOsMutex::TOsMutex() {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  const int rc = pthread_mutex_init(new (mStorage) pthread_mutex_t, &attr);
  pthread_mutexattr_destroy(&attr);
  if (rc != 0) throw EOutOfMemory();
}

TOsMutex::~TOsMutex() { pthread_mutex_destroy(os_mutex_detail::Native(mStorage)); }

// glibc's PTHREAD_RWLOCK_INITIALIZER is all zero bytes (tested), which the
// constexpr constructor stands in for.
void TOsReadWriteLock::BeginRead() noexcept { pthread_rwlock_rdlock(NativeRw(rwStorage)); }

void TOsReadWriteLock::EndRead() noexcept { pthread_rwlock_unlock(NativeRw(rwStorage)); }

void TOsReadWriteLock::BeginWrite() noexcept { pthread_rwlock_wrlock(NativeRw(rwStorage)); }

void TOsReadWriteLock::EndWrite() noexcept { pthread_rwlock_unlock(NativeRw(rwStorage)); }

}  // namespace revurov::platform
