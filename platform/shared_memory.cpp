#include "platform/shared_memory.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <ctime>
#include <new>
#include <thread>

#include "platform/endian.h"

namespace revurov::platform {

namespace {

static_assert(sizeof(pthread_mutex_t) == 40 && alignof(pthread_mutex_t) <= 8);
static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t) && std::atomic<uint32_t>::is_always_lock_free);

constexpr std::size_t kMaxNameLength = 254;

bool PosixName(const std::string& aName, std::string& aPosix) noexcept {
  if (aName.empty() || aName.size() > kMaxNameLength || aName.find('/') != std::string::npos) {
    errno = EINVAL;
    return false;
  }
  try {
    aPosix = "/" + aName;
  } catch (...) {
    errno = ENOMEM;
    return false;
  }
  return true;
}

int Fd(THandle aHandle) noexcept { return static_cast<int>(aHandle); }

pthread_mutex_t* Native(unsigned char* aStorage) noexcept {
  return std::launder(reinterpret_cast<pthread_mutex_t*>(aStorage));
}

TSharedMutex::TLockResult LockResult(int aRc) noexcept {
  switch (aRc) {
    case 0: return TSharedMutex::TLockResult::Locked;
    case EOWNERDEAD: return TSharedMutex::TLockResult::OwnerDied;
    case EBUSY: return TSharedMutex::TLockResult::Busy;
    default: errno = aRc; return TSharedMutex::TLockResult::Failed;
  }
}

}  // namespace

// ---- objects ----

TSharedMemory& TSharedMemory::operator=(TSharedMemory&& aOther) noexcept {
  if (this != &aOther) {
    Close();
    smHandle = aOther.Release();
  }
  return *this;
}

bool TSharedMemory::Open(const std::string& aName, bool aCreate) noexcept {
  Close();
  std::string name;
  if (!PosixName(aName, name)) return false;
  const int fd = shm_open(name.c_str(), O_RDWR | O_CLOEXEC | (aCreate ? O_CREAT : 0), 0600);
  if (fd < 0) return false;
  smHandle = fd;
  return true;
}

bool TSharedMemory::Create(const std::string& aName) noexcept {
  Close();
  std::string name;
  if (!PosixName(aName, name)) return false;
  const int fd = shm_open(name.c_str(), O_RDWR | O_CLOEXEC | O_CREAT | O_EXCL, 0600);
  if (fd < 0) return false;
  smHandle = fd;
  return true;
}

void TSharedMemory::Close() noexcept {
  if (IsOpen()) ::close(Fd(Release()));
}

THandle TSharedMemory::Release() noexcept {
  const THandle h = smHandle;
  smHandle = INVALID_HANDLE_VALUE;
  return h;
}

bool TSharedMemory::State(TSharedMemoryState& aState) const noexcept {
  aState = TSharedMemoryState{};
  struct stat st {};
  if (!IsOpen()) {
    errno = EBADF;
    return false;
  }
  if (fstat(Fd(smHandle), &st) != 0) return false;
  aState.Size = static_cast<uint64_t>(st.st_size);
  aState.Unlinked = st.st_nlink == 0;
  return true;
}

bool TSharedMemory::Resize(uint64_t aSize) noexcept {
  if (aSize > uint64_t(INT64_MAX)) {
    errno = EINVAL;
    return false;
  }
  if (!IsOpen()) {
    errno = EBADF;
    return false;
  }
  return ftruncate(Fd(smHandle), static_cast<off_t>(aSize)) == 0;
}

// flock, not a lock inside the memory: it belongs to the open object, so
// the system drops it when its holder dies, and it works before the memory
// holds anything.
bool TSharedMemory::Lock(uint32_t aTimeoutMs) noexcept {
  if (!IsOpen()) {
    errno = EBADF;
    return false;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(aTimeoutMs);
  while (flock(Fd(smHandle), LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK && errno != EINTR) return false;
    if (std::chrono::steady_clock::now() > deadline) {
      errno = ETIMEDOUT;
      return false;
    }
    // Holders keep it for microseconds; a blocking flock would know no limit.
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

bool TSharedMemory::Unlock() noexcept { return IsOpen() && flock(Fd(smHandle), LOCK_UN) == 0; }

bool TSharedMemory::Unlink(const std::string& aName) noexcept {
  std::string name;
  return PosixName(aName, name) && shm_unlink(name.c_str()) == 0;
}

TSharedMemoryLock::TSharedMemoryLock(TSharedMemory& aMemory, uint32_t aTimeoutMs) noexcept {
  if (aMemory.Lock(aTimeoutMs)) lHandle = aMemory.Handle();
}

TSharedMemoryLock::~TSharedMemoryLock() {
  if (Locked()) flock(Fd(lHandle), LOCK_UN);
}

// ---- views ----

bool TSharedView::Map(const TSharedMemory& aMemory, std::size_t aSize, bool aWritable) noexcept {
  Unmap();
  if (!aMemory.IsOpen() || aSize == 0) {
    errno = aMemory.IsOpen() ? EINVAL : EBADF;
    return false;
  }
  void* p = mmap(nullptr, aSize, aWritable ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED,
                 Fd(aMemory.Handle()), 0);
  if (p == MAP_FAILED) return false;
  vData = static_cast<uint8_t*>(p);
  vSize = aSize;
  return true;
}

void TSharedView::Unmap() noexcept {
  if (vData) munmap(vData, vSize);
  vData = nullptr;
  vSize = 0;
}

// ---- owner record ----

void StoreOwner(uint8_t* aRecord, const TProcessIdentity& aOwner) noexcept {
  StoreU32(aRecord, aOwner.Pid);
  StoreU64(aRecord + 8, aOwner.StartTime);
}

TProcessIdentity LoadOwner(const uint8_t* aRecord) noexcept { return {LoadU32(aRecord), LoadU64(aRecord + 8)}; }

// ---- robust mutex ----

bool TSharedMutex::Init() noexcept {
  pthread_mutexattr_t attr;
  if (pthread_mutexattr_init(&attr) != 0) return false;
  int rc = pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
  if (rc == 0) rc = pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
  if (rc == 0) rc = pthread_mutex_init(new (smStorage) pthread_mutex_t, &attr);
  pthread_mutexattr_destroy(&attr);
  if (rc != 0) errno = rc;
  return rc == 0;
}

TSharedMutex::TLockResult TSharedMutex::Lock() noexcept { return LockResult(pthread_mutex_lock(Native(smStorage))); }

TSharedMutex::TLockResult TSharedMutex::TryLock() noexcept {
  return LockResult(pthread_mutex_trylock(Native(smStorage)));
}

TSharedMutex::TLockResult TSharedMutex::LockFor(uint32_t aTimeoutMs) noexcept {
  if (aTimeoutMs == kInfinite) return Lock();
  // Free or given up by a dead holder: taken without a deadline.
  if (const TLockResult now = TryLock(); now != TLockResult::Busy) return now;
  // The realtime form: the monotonic one (pthread_mutex_clocklock) is
  // unknown to the race detector, which then takes every unlock for wrong.
  timespec limit{};
  clock_gettime(CLOCK_REALTIME, &limit);
  limit.tv_sec += aTimeoutMs / 1000;
  limit.tv_nsec += long(aTimeoutMs % 1000) * 1000000L;
  if (limit.tv_nsec >= 1000000000L) {
    ++limit.tv_sec;
    limit.tv_nsec -= 1000000000L;
  }
  const int rc = pthread_mutex_timedlock(Native(smStorage), &limit);
  return LockResult(rc == ETIMEDOUT ? EBUSY : rc);
}

bool TSharedMutex::MarkConsistent() noexcept { return pthread_mutex_consistent(Native(smStorage)) == 0; }

void TSharedMutex::Unlock() noexcept { pthread_mutex_unlock(Native(smStorage)); }

// ---- futex ----

// Not FUTEX_PRIVATE_FLAG: the word may be shared with other processes.
TFutexWaitResult FutexWait(std::atomic<uint32_t>& aWord, uint32_t aExpected, uint32_t aTimeoutMs) noexcept {
  timespec timeout{};
  timespec* limit = nullptr;
  if (aTimeoutMs != kInfinite) {
    timeout.tv_sec = aTimeoutMs / 1000;
    timeout.tv_nsec = long(aTimeoutMs % 1000) * 1000000L;
    limit = &timeout;
  }
  if (syscall(SYS_futex, reinterpret_cast<uint32_t*>(&aWord), FUTEX_WAIT, aExpected, limit, nullptr, 0) == 0)
    return TFutexWaitResult::Woken;
  switch (errno) {
    case EAGAIN: return TFutexWaitResult::Changed;
    case ETIMEDOUT: return TFutexWaitResult::TimedOut;
    case EINTR: return TFutexWaitResult::Woken;
    default: return TFutexWaitResult::Failed;
  }
}

int FutexWake(std::atomic<uint32_t>& aWord, int aCount) noexcept {
  const long n = syscall(SYS_futex, reinterpret_cast<uint32_t*>(&aWord), FUTEX_WAKE, aCount, nullptr, nullptr, 0);
  return n < 0 ? 0 : static_cast<int>(n);
}

}  // namespace revurov::platform
