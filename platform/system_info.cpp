#include "platform/system_info.h"

#include <sys/statvfs.h>
#include <sys/sysinfo.h>
#include <sys/utsname.h>

#include <cstdio>
#include <cstring>

namespace revurov::platform {

namespace {

// The kernel's own estimate of what can be had without swapping (it counts
// the page cache that can be dropped, which sysinfo does not); false on a
// kernel without it.
bool ReadMemAvailable(uint64_t& aBytes) noexcept {
  std::FILE* f = std::fopen("/proc/meminfo", "r");
  if (!f) return false;
  char line[128];
  bool found = false;
  unsigned long long kb = 0;
  while (!found && std::fgets(line, sizeof line, f))
    found = std::strncmp(line, "MemAvailable:", 13) == 0 && std::sscanf(line + 13, "%llu", &kb) == 1;
  std::fclose(f);
  if (found) aBytes = uint64_t{kb} * 1024;
  return found;
}

}  // namespace

bool GetSystemMemory(TSystemMemory& aMemory) noexcept {
  aMemory = TSystemMemory{};
  struct sysinfo si {};
  if (::sysinfo(&si) != 0) return false;
  const uint64_t unit = si.mem_unit ? si.mem_unit : 1;
  aMemory.Total = si.totalram * unit;
  if (!ReadMemAvailable(aMemory.Available) || aMemory.Available > aMemory.Total)
    aMemory.Available = (si.freeram + si.bufferram) * unit;
  aMemory.SwapTotal = si.totalswap * unit;
  aMemory.SwapFree = si.freeswap * unit;
  return true;
}

bool GetKernelVersion(TKernelVersion& aVersion) noexcept {
  aVersion = TKernelVersion{};
  utsname u{};
  if (uname(&u) != 0) return false;
  unsigned a = 0, b = 0, c = 0;
  if (std::sscanf(u.release, "%u.%u.%u", &a, &b, &c) < 1) return false;
  aVersion = {a, b, c};
  return true;
}

bool GetDiskFreeSpace(const std::string& aPath, uint64_t& aFreeForCaller) noexcept {
  aFreeForCaller = 0;
  struct statvfs vfs {};
  if (::statvfs(aPath.c_str(), &vfs) != 0) return false;
  aFreeForCaller = uint64_t{vfs.f_bavail} * (vfs.f_frsize ? vfs.f_frsize : vfs.f_bsize);
  return true;
}

}  // namespace revurov::platform
