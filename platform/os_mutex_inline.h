// The inline bodies of TOsMutex's lock calls (see platform/os_mutex.h).
// Included by source files only: it brings the OS header along.
#pragma once

#include <pthread.h>

#include <new>

#include "platform/os_mutex.h"

namespace revurov::platform {

namespace os_mutex_detail {
static_assert(sizeof(pthread_mutex_t) == 40 && alignof(pthread_mutex_t) <= 8);

inline pthread_mutex_t* Native(unsigned char* storage) noexcept {
  return std::launder(reinterpret_cast<pthread_mutex_t*>(storage));
}
}  // namespace os_mutex_detail

inline void TOsMutex::Lock() noexcept { pthread_mutex_lock(os_mutex_detail::Native(mStorage)); }

inline void TOsMutex::Unlock() noexcept { pthread_mutex_unlock(os_mutex_detail::Native(mStorage)); }

inline bool TOsMutex::TryLock() noexcept { return pthread_mutex_trylock(os_mutex_detail::Native(mStorage)) == 0; }

}  // namespace revurov::platform
