// Facts about the system the process runs on.
//
// Contract:
// - GetSystemMemory fills the physical memory and swap of the machine in
//   bytes; Available is what the system could hand out now without
//   swapping (the kernel's MemAvailable; free memory and buffers where the
//   kernel does not give it). False when the system does not
//   tell; the record is then all zero.
// - GetKernelVersion gives the running kernel's release numbers
//   (major.minor.build); false, with all zero, when they cannot be read.
// - GetDiskFreeSpace gives the bytes an unprivileged caller may still write
//   on the file system that holds aPath (statvfs); false when the path
//   cannot be asked.
#pragma once

#include <cstdint>
#include <string>

namespace revurov::platform {

struct TSystemMemory {
  uint64_t Total = 0;
  uint64_t Available = 0;
  uint64_t SwapTotal = 0;
  uint64_t SwapFree = 0;
};

struct TKernelVersion {
  uint32_t Major = 0;
  uint32_t Minor = 0;
  uint32_t Build = 0;
};

bool GetSystemMemory(TSystemMemory& aMemory) noexcept;
bool GetKernelVersion(TKernelVersion& aVersion) noexcept;
bool GetDiskFreeSpace(const std::string& aPath, uint64_t& aFreeForCaller) noexcept;

}  // namespace revurov::platform
