#include "platform/system_info.h"

#include <sys/sysinfo.h>
#include <sys/utsname.h>

#include <cstdio>

namespace revurov::platform {

bool GetSystemMemory(TSystemMemory& aMemory) noexcept {
  aMemory = TSystemMemory{};
  struct sysinfo si {};
  if (::sysinfo(&si) != 0) return false;
  const uint64_t unit = si.mem_unit ? si.mem_unit : 1;
  aMemory.Total = si.totalram * unit;
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

}  // namespace revurov::platform
