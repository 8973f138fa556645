#include "platform/virtual_memory.h"

#include <sys/mman.h>

namespace revurov::platform {

void* ReserveAddressSpace(std::size_t size) noexcept {
  void* p = ::mmap(nullptr, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  return p == MAP_FAILED ? nullptr : p;
}

void* ReserveAddressSpaceAt(void* address, std::size_t size) noexcept {
  void* p = ::mmap(address, size, PROT_NONE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED_NOREPLACE, -1, 0);
  if (p == MAP_FAILED) return nullptr;
  if (p != address) {  // kernels before 4.17 take the flag as a mere hint
    ::munmap(p, size);
    return nullptr;
  }
  return p;
}

bool CommitPages(void* address, std::size_t size) noexcept {
  return ::mprotect(address, size, PROT_READ | PROT_WRITE) == 0;
}

void ReleaseAddressSpace(void* address, std::size_t size) noexcept {
  if (address && size) ::munmap(address, size);
}

}  // namespace revurov::platform
