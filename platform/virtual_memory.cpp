#include "platform/virtual_memory.h"

#include <sys/mman.h>

#include <atomic>
#include <cerrno>

namespace revurov::platform {

namespace {

constexpr int kOps = 9;
std::atomic<int64_t> gCalls[kOps];

// Armed failure: calls of gFailOp numbered [gFailFrom, gFailFrom + gFailCount)
// (counted from the arming) fail.
std::atomic<int> gFailOp{-1};
std::atomic<int64_t> gFailSeen{0};
std::atomic<int64_t> gFailFrom{0};
std::atomic<int64_t> gFailCount{0};

bool Injected(TVmOp op) {
  gCalls[static_cast<int>(op)].fetch_add(1, std::memory_order_relaxed);
  gCalls[0].fetch_add(1, std::memory_order_relaxed);
  const int armed = gFailOp.load(std::memory_order_acquire);
  if (armed < 0 || (armed != 0 && armed != static_cast<int>(op))) return false;
  const int64_t n = gFailSeen.fetch_add(1) + 1;
  const int64_t from = gFailFrom.load();
  if (n < from || n >= from + gFailCount.load()) return false;
  errno = ENOMEM;  // what the OS gives when it runs out
  return true;
}

}  // namespace

void vmFailNext(TVmOp op, int64_t k, int64_t count) {
  gFailOp.store(-1);
  if (k <= 0 || count <= 0) return;
  gFailSeen.store(0);
  gFailFrom.store(k);
  gFailCount.store(count);
  gFailOp.store(static_cast<int>(op), std::memory_order_release);
}

int64_t vmCallCount(TVmOp op) { return gCalls[static_cast<int>(op)].load(std::memory_order_relaxed); }

void* vmReserve(std::size_t size, std::size_t alignment) {
  if (Injected(TVmOp::Reserve) || size == 0) return nullptr;
  if (alignment < vmPageSize) alignment = vmPageSize;
  // Over-reserve and trim both ends to reach the alignment.
  const std::size_t span = size + alignment - vmPageSize;
  void* raw = mmap(nullptr, span, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  const uintptr_t start = reinterpret_cast<uintptr_t>(raw);
  const uintptr_t aligned = (start + alignment - 1) & ~(uintptr_t(alignment) - 1);
  if (aligned > start) munmap(raw, aligned - start);
  const uintptr_t end = start + span;
  if (end > aligned + size) munmap(reinterpret_cast<void*>(aligned + size), end - (aligned + size));
  return reinterpret_cast<void*>(aligned);
}

void* vmReserveAt(void* p, std::size_t size) {
  if (Injected(TVmOp::Reserve) || size == 0) return nullptr;
  void* q = mmap(p, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED_NOREPLACE, -1, 0);
  if (q == MAP_FAILED) return nullptr;
  if (q != p) {  // kernels before 4.17 take the flag as a mere hint
    munmap(q, size);
    errno = EEXIST;
    return nullptr;
  }
  return q;
}

bool vmReserveFixed(void* p, std::size_t size) {
  if (Injected(TVmOp::ReserveFixed)) return false;
  return mmap(p, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED, -1, 0) == p;
}

bool vmCommit(void* p, std::size_t size) {
  if (Injected(TVmOp::Commit)) return false;
  return mprotect(p, size, PROT_READ | PROT_WRITE) == 0;
}

bool vmCommitReadOnly(void* p, std::size_t size) {
  if (Injected(TVmOp::CommitReadOnly)) return false;
  return mprotect(p, size, PROT_READ) == 0;
}

bool vmDecommit(void* p, std::size_t size) {
  if (Injected(TVmOp::Decommit)) return false;
  if (madvise(p, size, MADV_DONTNEED) != 0) return false;
  return mprotect(p, size, PROT_NONE) == 0;
}

bool vmReset(void* p, std::size_t size) {
  if (Injected(TVmOp::Reset)) return false;
  return madvise(p, size, MADV_DONTNEED) == 0;
}

bool vmRelease(void* p, std::size_t size) {
  if (Injected(TVmOp::Release)) return false;
  return munmap(p, size) == 0;
}

bool vmAdviseLargePages(void* p, std::size_t size) {
#ifdef MADV_HUGEPAGE
  return madvise(p, size, MADV_HUGEPAGE) == 0;
#else
  (void)p;
  (void)size;
  return false;
#endif
}

bool vmLock(void* p, std::size_t size) {
  if (Injected(TVmOp::Lock)) return false;
  return mlock(p, size) == 0;
}

}  // namespace revurov::platform
