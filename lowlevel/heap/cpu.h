// Processor detection: what the processor offers, found once at start-up and
// read-only afterwards. nxCpuInfo (the first processor found) alone chooses
// the variants of nxMove and nxFillChar.
//
// On x86-64 the features come from CPUID and XGETBV. Elsewhere every record
// stays zero and the portable variants are used.
#pragma once

#include <cstdint>

namespace revurov {

enum TnxCpuVendor : uint8_t {
  cvUnknown,
  cvAMD,
  cvCentaur,
  cvCyrix,
  cvIntel,
  cvTransmeta,
  cvNexGen,
  cvRise,
  cvUMC,
  cvNSC,
  cvSiS,
};

// Bits of TnxCpuInfo::ciFeatures.
enum TnxCpuFeature : uint32_t {
  cfFPU = 0x1,
  cfTSC = 0x2,
  cfCX8 = 0x4,
  cfSEP = 0x8,
  cfCMOV = 0x10,
  cfMMX = 0x20,
  cfFXSR = 0x40,
  cfSSE = 0x80,
  cfSSE2 = 0x100,
  cfSSE3 = 0x200,
  cfSSSE3 = 0x400,
  cfSSE4A = 0x800,
  cfSSE41 = 0x1000,
  cfSSE42 = 0x2000,
  cfLeaf1Ecx11 = 0x4000,
  cfAVX = 0x8000,
  cfMONITOR = 0x10000,
  cfCX16 = 0x20000,
  cfLM = 0x40000,
  cfMMXExt = 0x80000,
  cf3DNowExt = 0x100000,
  cf3DNow = 0x200000,
};

enum TnxCpuClass : uint8_t {
  ccGeneric,
  ccGenericMMX,
  ccIntelFamily6,
  ccIntelFamily6Mobile,
  ccIntelFamily15,
  ccIntelFamily15SSE3,
  ccIntelFamily15x64,
  ccAmdFamily6,
  ccAmdFamily6SSE,
  ccAmdFamily15,
  ccAmdFamily15SSE3,
};

struct TnxCpuInfo {
  TnxCpuVendor ciVendor = cvUnknown;
  uint32_t ciSignature = 0;  // CPUID leaf 1, EAX
  uint8_t ciFamily = 0;      // base + extended family
  uint8_t ciModel = 0;       // base + 16 * extended model
  uint8_t ciBaseModel = 0;
  uint16_t ciL1CodeKB = 0;
  uint16_t ciL1DataKB = 0;
  uint16_t ciL2KB = 0;
  uint16_t ciL3KB = 0;
  uint32_t ciFeatures = 0;  // TnxCpuFeature bits
};

constexpr int nxMaxCpus = 32;

extern TnxCpuInfo nxCpuInfos[nxMaxCpus];  // indexed by the affinity-mask bit
extern int32_t nxCpuCount;
extern TnxCpuInfo nxCpuInfo;
extern TnxCpuClass nxCpuClass;

// Whether the operating system saves SSE state across task switches.
bool nxOsSupportsSse() noexcept;
// Detects the processor the calling thread runs on.
void nxDetectCpu(TnxCpuInfo& info) noexcept;
// Fills nxCpuInfos, nxCpuCount and nxCpuInfo, running once on each processor
// of the affinity mask (bits 0 to 31), which it restores afterwards.
void nxDetectCpus() noexcept;
// Sets nxCpuClass from nxCpuInfo.
void nxSelectCpuClass() noexcept;

// Reference-counted: the first start-up detects, later ones only count.
void nxCpuDetectStartup();
void nxCpuDetectShutdown();

namespace detail {

// The processor as detection sees it; tests replay recorded answers.
class TnxCpuidSource {
public:
  virtual ~TnxCpuidSource() = default;
  // EAX, EBX, ECX, EDX of CPUID for `leaf` (sub-leaf 0).
  virtual void Query(uint32_t leaf, uint32_t regs[4]) const = 0;
  // XGETBV(0); only asked when CPUID says the OS uses it.
  virtual uint64_t ExtendedControl() const = 0;
};

void nxDecodeCpu(const TnxCpuidSource& source, TnxCpuInfo& info) noexcept;
TnxCpuVendor nxVendorOf(const char vendor[12]) noexcept;
TnxCpuClass nxCpuClassOf(const TnxCpuInfo& info, bool osSupportsSse) noexcept;

}  // namespace detail

}  // namespace revurov
