#include "lowlevel/heap/cpu.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/os_thread.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#define REVUROV_HAVE_CPUID 1
#endif

namespace revurov {

TnxCpuInfo nxCpuInfos[nxMaxCpus];
int32_t nxCpuCount = 0;
TnxCpuInfo nxCpuInfo;
TnxCpuClass nxCpuClass = ccGeneric;

namespace detail {

namespace {

constexpr const char* kVendorNames[] = {
    nullptr,        "AuthenticAMD", "CentaurHauls", "CyrixInstead", "GenuineIntel", "GenuineTMx86",
    "NexGenDriven", "RiseRiseRise", "UMC UMC UMC ", "Geode by NSC", "SiS SiS SiS ",
};

bool Bit(uint32_t value, int bit) { return (value >> bit) & 1; }

void Set(TnxCpuInfo& info, TnxCpuFeature feature, bool on) {
  if (on) info.ciFeatures |= feature;
}

void DecodeCacheDescriptor(TnxCpuInfo& info, uint8_t d) {
  const bool cyrixLike = info.ciVendor == cvCyrix || info.ciVendor == cvNSC;
  switch (d) {
    // L1 code
    case 0x06: info.ciL1CodeKB = 8; break;
    case 0x08: info.ciL1CodeKB = 16; break;
    case 0x09: case 0x30: case 0x72: info.ciL1CodeKB = 32; break;
    case 0x70: if (!cyrixLike) info.ciL1CodeKB = 12; break;
    case 0x71: info.ciL1CodeKB = 16; break;
    // L1 data
    case 0x0A: case 0x66: info.ciL1DataKB = 8; break;
    case 0x0C: case 0x0D: case 0x60: case 0x67: info.ciL1DataKB = 16; break;
    case 0x2C: case 0x68: info.ciL1DataKB = 32; break;
    case 0x80:
      if (cyrixLike) info.ciL1CodeKB = info.ciL1DataKB = 8;
      break;
    // L2
    case 0x39: case 0x3B: case 0x41: case 0x79: info.ciL2KB = 128; break;
    case 0x21: case 0x3C: case 0x42: case 0x7A: case 0x82: info.ciL2KB = 256; break;
    case 0x3D: info.ciL2KB = 384; break;
    case 0x3E: case 0x43: case 0x7B: case 0x7F: case 0x83: case 0x86: info.ciL2KB = 512; break;
    case 0x44: case 0x78: case 0x7C: case 0x84: case 0x87: info.ciL2KB = 1024; break;
    case 0x45: case 0x7D: case 0x85: info.ciL2KB = 2048; break;
    case 0x48: info.ciL2KB = 3072; break;
    case 0x4E: info.ciL2KB = 6144; break;
    // L3
    case 0x22: case 0xD0: info.ciL3KB = 512; break;
    case 0x23: case 0xD1: case 0xD6: info.ciL3KB = 1024; break;
    case 0xDC: info.ciL3KB = 1536; break;
    case 0x25: case 0xD2: case 0xD7: case 0xE2: info.ciL3KB = 2048; break;
    case 0xDD: info.ciL3KB = 3072; break;
    case 0x29: case 0x46: case 0xD8: case 0xE3: info.ciL3KB = 4096; break;
    case 0x4A: case 0xDE: info.ciL3KB = 6144; break;
    case 0x47: case 0x4B: case 0xE4: info.ciL3KB = 8192; break;
    case 0x4C: case 0xEA: info.ciL3KB = 12288; break;
    case 0x4D: info.ciL3KB = 16384; break;
    case 0xEB: info.ciL3KB = 18432; break;
    case 0xEC: info.ciL3KB = 24576; break;
    case 0x49:
      if (info.ciVendor == cvIntel && info.ciFamily == 15 && info.ciModel == 6)
        info.ciL3KB = 4096;
      else
        info.ciL2KB = 4096;
      break;
    case 0x40:
      if (info.ciL2KB != 0) info.ciL3KB = 0;
      break;
    default: break;
  }
}

}  // namespace

TnxCpuVendor nxVendorOf(const char vendor[12]) noexcept {
  for (int v = cvSiS; v >= cvAMD; --v)
    if (std::memcmp(vendor, kVendorNames[v], 12) == 0) return static_cast<TnxCpuVendor>(v);
  return cvUnknown;
}

void nxDecodeCpu(const TnxCpuidSource& source, TnxCpuInfo& info) noexcept {
  info = TnxCpuInfo{};
  uint32_t r[4];
  source.Query(0, r);
  const uint32_t maxLeaf = r[0];
  char vendor[12];
  std::memcpy(vendor, &r[1], 4);
  std::memcpy(vendor + 4, &r[3], 4);
  std::memcpy(vendor + 8, &r[2], 4);
  info.ciVendor = nxVendorOf(vendor);

  uint32_t leaf1Ecx = 0;
  if (maxLeaf >= 1) {
    source.Query(1, r);
    const uint32_t sig = r[0], ecx = r[2], edx = r[3];
    leaf1Ecx = ecx;
    info.ciSignature = sig;
    info.ciFamily = static_cast<uint8_t>(((sig >> 8) & 0xF) + ((sig >> 20) & 0xFF));
    info.ciBaseModel = static_cast<uint8_t>((sig >> 4) & 0xF);
    info.ciModel = static_cast<uint8_t>(info.ciBaseModel + 16 * ((sig >> 16) & 0xF));
    Set(info, cfFPU, Bit(edx, 0));
    Set(info, cfTSC, Bit(edx, 4));
    Set(info, cfCX8, Bit(edx, 8));
    // Early Pentium Pro models report SEP without supporting it.
    Set(info, cfSEP,
        Bit(edx, 11) && !(info.ciVendor == cvIntel && (sig & 0x0FFF3FFF) < 0x633));
    Set(info, cfCMOV, Bit(edx, 15));
    Set(info, cfMMX, Bit(edx, 23));
    Set(info, cfFXSR, Bit(edx, 24));
    Set(info, cfSSE, Bit(edx, 25));
    Set(info, cfSSE2, Bit(edx, 26));
    Set(info, cfSSE3, Bit(ecx, 0));
    Set(info, cfSSSE3, Bit(ecx, 9));
    Set(info, cfSSE41, Bit(ecx, 19));
    Set(info, cfSSE42, Bit(ecx, 20));
    Set(info, cfLeaf1Ecx11, Bit(ecx, 11));
    Set(info, cfAVX, Bit(ecx, 28));
    Set(info, cfMONITOR, Bit(ecx, 3) && info.ciVendor == cvIntel);
    Set(info, cfCX16, Bit(ecx, 13));
  }

  if (maxLeaf >= 2) {
    source.Query(2, r);
    int rounds = r[0] & 0xFF;
    for (int round = 0; round < rounds; ++round) {
      if (round > 0) source.Query(2, r);
      for (int reg = 0; reg < 4; ++reg) {
        // A register with bit 31 set holds no descriptors.
        if (Bit(r[reg], 31)) continue;
        for (int byte = reg == 0 ? 1 : 0; byte < 4; ++byte)
          DecodeCacheDescriptor(info, static_cast<uint8_t>(r[reg] >> (8 * byte)));
      }
    }
  }

  source.Query(0x80000000, r);
  const uint32_t maxExtLeaf = r[0];
  if (maxExtLeaf > 0x80000000) {
    source.Query(0x80000001, r);
    const uint32_t ecx = r[2], edx = r[3];
    Set(info, cfSSE4A, Bit(ecx, 6));
    Set(info, cfLM, Bit(edx, 29));
    Set(info, cfMMXExt, Bit(edx, 22));
    Set(info, cf3DNowExt, Bit(edx, 30));
    Set(info, cf3DNow, Bit(edx, 31));
  }

  // SSE state needs no probe: every x86-64 system saves it.

  if (info.ciFeatures & cfAVX) {
    // XGETBV faults unless the OS enabled it (leaf 1 ECX bit 27).
    if (!Bit(leaf1Ecx, 27) || (source.ExtendedControl() & 6) != 6) info.ciFeatures &= ~cfAVX;
  }

  if (maxExtLeaf > 0x80000005) {
    if (info.ciVendor != cvCyrix && info.ciVendor != cvIntel) {
      source.Query(0x80000005, r);
      info.ciL1DataKB = static_cast<uint16_t>(r[2] >> 24);
      info.ciL1CodeKB = static_cast<uint16_t>(r[3] >> 24);
    }
    source.Query(0x80000006, r);
    if (info.ciVendor == cvAMD && (info.ciSignature & 0xFFF) == 0x630)
      info.ciL2KB = 64;  // an early Duron reports its L2 size wrongly
    else if (info.ciVendor == cvCentaur && info.ciFamily == 6 &&
             (info.ciModel == 7 || info.ciModel == 8))
      info.ciL2KB = static_cast<uint16_t>(r[2] >> 24);
    else
      info.ciL2KB = static_cast<uint16_t>(r[2] >> 16);
  }
}

TnxCpuClass nxCpuClassOf(const TnxCpuInfo& info, bool osSupportsSse) noexcept {
  const uint32_t f = info.ciFeatures;
  TnxCpuClass result =
      (f & cfFPU) && (f & cfCMOV) && (f & cfMMX) ? ccGenericMMX : ccGeneric;
  if (!osSupportsSse) return result;
  if (info.ciVendor == cvIntel) {
    if (info.ciFamily == 6) {
      if (info.ciModel == 9 || info.ciModel == 13) return ccIntelFamily6Mobile;
      if (info.ciModel >= 7) return ccIntelFamily6;
    } else if (info.ciFamily == 15) {
      if (f & cfLM) return ccIntelFamily15x64;
      return (f & cfSSE3) ? ccIntelFamily15SSE3 : ccIntelFamily15;
    }
  } else if (info.ciVendor == cvAMD) {
    if (info.ciFamily == 6) return (f & cfSSE) ? ccAmdFamily6SSE : ccAmdFamily6;
    if (info.ciFamily == 15) return (f & cfSSE3) ? ccAmdFamily15SSE3 : ccAmdFamily15;
  }
  return result;
}

}  // namespace detail

namespace {

#ifdef REVUROV_HAVE_CPUID
class TnxHardwareCpuid final : public detail::TnxCpuidSource {
public:
  void Query(uint32_t leaf, uint32_t regs[4]) const override {
    __cpuid_count(leaf, 0, regs[0], regs[1], regs[2], regs[3]);
  }
  uint64_t ExtendedControl() const override {
    uint32_t lo, hi;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    return (uint64_t(hi) << 32) | lo;
  }
};
#endif

std::mutex gStartupLock;
int gStartups = 0;

}  // namespace

// x86-64 always has SSE state saved by the OS; no older system to rule out.
bool nxOsSupportsSse() noexcept {
#ifdef __x86_64__
  return true;
#else
  return false;
#endif
}

void nxDetectCpu(TnxCpuInfo& info) noexcept {
#ifdef REVUROV_HAVE_CPUID
  detail::nxDecodeCpu(TnxHardwareCpuid(), info);
#else
  info = TnxCpuInfo{};
#endif
}

void nxDetectCpus() noexcept {
  for (auto& rec : nxCpuInfos) rec = TnxCpuInfo{};
  nxCpuCount = 0;
  nxCpuInfo = TnxCpuInfo{};

  // Puts the thread's affinity back however detection ends.
  platform::TThreadAffinityScope affinity;
  uint32_t mask = 0;
  for (int cpu = 0; cpu < nxMaxCpus; ++cpu)
    if (affinity.Allows(cpu)) mask |= uint32_t(1) << cpu;
  if (mask == 0) {
    nxDetectCpu(nxCpuInfos[0]);
    nxCpuInfo = nxCpuInfos[0];
    nxCpuCount = 1;
    return;
  }

  for (int cpu = 0; cpu < nxMaxCpus; ++cpu) {
    if (!(mask & (uint32_t(1) << cpu))) continue;
    affinity.MoveTo(cpu);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));  // let the scheduler move the thread there
    nxDetectCpu(nxCpuInfos[cpu]);
    if (nxCpuCount++ == 0) nxCpuInfo = nxCpuInfos[cpu];
  }
}

void nxSelectCpuClass() noexcept {
  nxCpuClass = detail::nxCpuClassOf(nxCpuInfo, nxOsSupportsSse());
}

void nxCpuDetectStartup() {
  std::lock_guard<std::mutex> guard(gStartupLock);
  if (gStartups++ > 0) return;
  nxDetectCpus();
  nxSelectCpuClass();
}

void nxCpuDetectShutdown() {
  std::lock_guard<std::mutex> guard(gStartupLock);
  if (gStartups > 0) --gStartups;
}

}  // namespace revurov
