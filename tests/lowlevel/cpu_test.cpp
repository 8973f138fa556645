#include "lowlevel/heap/cpu.h"

#include <gtest/gtest.h>
#include <sched.h>

#include <array>
#include <cstring>
#include <map>

namespace revurov {
namespace {

using Regs = std::array<uint32_t, 4>;  // EAX, EBX, ECX, EDX

// Answers recorded CPUID leaves; unknown leaves read as zero.
class FakeCpuid final : public detail::TnxCpuidSource {
public:
  std::map<uint32_t, std::vector<Regs>> leaves;  // leaf 2 may answer differently each time
  uint64_t xcr0 = 0;
  mutable int xgetbvCalls = 0;
  mutable std::map<uint32_t, size_t> asked;

  void Query(uint32_t leaf, uint32_t regs[4]) const override {
    size_t n = asked[leaf]++;
    auto it = leaves.find(leaf);
    Regs r{};
    if (it != leaves.end() && !it->second.empty()) r = it->second[std::min(n, it->second.size() - 1)];
    std::memcpy(regs, r.data(), sizeof r);
  }
  uint64_t ExtendedControl() const override {
    ++xgetbvCalls;
    return xcr0;
  }

  void Vendor(const char* name, uint32_t maxLeaf) {
    Regs r{maxLeaf, 0, 0, 0};
    std::memcpy(&r[1], name, 4);
    std::memcpy(&r[3], name + 4, 4);
    std::memcpy(&r[2], name + 8, 4);
    leaves[0] = {r};
  }
};

TnxCpuInfo Decode(const FakeCpuid& f) {
  TnxCpuInfo info;
  info.ciL3KB = 999;  // decoding starts from a zeroed record
  detail::nxDecodeCpu(f, info);
  return info;
}

TEST(CpuVendor, WholeTwelveCharacterStringsOnly) {
  const std::pair<const char*, TnxCpuVendor> cases[] = {
      {"AuthenticAMD", cvAMD},     {"CentaurHauls", cvCentaur}, {"CyrixInstead", cvCyrix},
      {"GenuineIntel", cvIntel},   {"GenuineTMx86", cvTransmeta}, {"NexGenDriven", cvNexGen},
      {"RiseRiseRise", cvRise},    {"UMC UMC UMC ", cvUMC},     {"Geode by NSC", cvNSC},
      {"SiS SiS SiS ", cvSiS},     {"GenuineIntex", cvUnknown}, {"HygonGenuine", cvUnknown},
      {"SiS SiS SiS\0", cvUnknown},
  };
  for (auto& [name, vendor] : cases) EXPECT_EQ(detail::nxVendorOf(name), vendor) << name;
}

TEST(CpuDecode, SignatureGivesFamilyAndModelAlwaysAdded) {
  const struct {
    uint32_t sig;
    uint8_t family, model, baseModel;
  } cases[] = {
      {0x000906EA, 6, 158, 14},  // family 6 with extended model 9
      {0x00800F11, 23, 1, 1},    // family 15 + extended 8
      {0x00000F29, 15, 2, 2},
      {0x00000633, 6, 3, 3},
  };
  for (auto& c : cases) {
    FakeCpuid f;
    f.Vendor("AuthenticAMD", 1);
    f.leaves[1] = {{c.sig, 0, 0, 0}};
    TnxCpuInfo info = Decode(f);
    EXPECT_EQ(info.ciSignature, c.sig);
    EXPECT_EQ(info.ciFamily, c.family) << std::hex << c.sig;
    EXPECT_EQ(info.ciModel, c.model) << std::hex << c.sig;
    EXPECT_EQ(info.ciBaseModel, c.baseModel) << std::hex << c.sig;
    EXPECT_EQ(info.ciL3KB, 0);
  }
}

TEST(CpuDecode, FeatureBitsComeFromTheirLeaves) {
  FakeCpuid f;
  f.Vendor("GenuineIntel", 1);
  const uint32_t edx = 1u << 0 | 1u << 4 | 1u << 8 | 1u << 11 | 1u << 15 | 1u << 23 | 1u << 24 |
                       1u << 25 | 1u << 26;
  const uint32_t ecx = 1u << 0 | 1u << 3 | 1u << 9 | 1u << 11 | 1u << 13 | 1u << 19 | 1u << 20;
  f.leaves[1] = {{0x000906EA, 0, ecx, edx}};
  f.leaves[0x80000000] = {{0x80000001, 0, 0, 0}};
  f.leaves[0x80000001] = {{0, 0, 1u << 6, 1u << 22 | 1u << 29 | 1u << 30 | 1u << 31}};
  TnxCpuInfo info = Decode(f);
  EXPECT_EQ(info.ciVendor, cvIntel);
  EXPECT_EQ(info.ciFeatures, uint32_t(0x3FFFFF & ~cfAVX));
}

TEST(CpuDecode, QuirksOfSepMonitorAndAvx) {
  const struct {
    const char* vendor;
    uint32_t sig, ecx, edx;
    uint64_t xcr0;
    uint32_t want;
    int xgetbvCalls;
  } cases[] = {
      {"GenuineIntel", 0x632, 0, 1u << 11, 0, 0, 0},            // SEP of an early Pentium Pro
      {"GenuineIntel", 0x633, 0, 1u << 11, 0, cfSEP, 0},
      {"GenuineIntel", 0xF000C632, 0, 1u << 11, 0, 0, 0},      // bits 14-15 and 28-31 ignored
      {"AuthenticAMD", 0x632, 0, 1u << 11, 0, cfSEP, 0},
      {"AuthenticAMD", 0x600, 1u << 3, 0, 0, 0, 0},             // MONITOR on Intel only
      {"GenuineIntel", 0x600, 1u << 3, 0, 0, cfMONITOR, 0},
      {"AuthenticAMD", 0x600, 1u << 28, 0, 7, 0, 0},            // no OSXSAVE: XGETBV not run
      {"AuthenticAMD", 0x600, 1u << 28 | 1u << 27, 0, 7, cfAVX, 1},
      {"AuthenticAMD", 0x600, 1u << 28 | 1u << 27, 0, 3, 0, 1},  // OS saves no YMM state
  };
  for (auto& c : cases) {
    FakeCpuid f;
    f.Vendor(c.vendor, 1);
    f.leaves[1] = {{c.sig, 0, c.ecx, c.edx}};
    f.xcr0 = c.xcr0;
    TnxCpuInfo info = Decode(f);
    EXPECT_EQ(info.ciFeatures, c.want) << c.vendor << " " << std::hex << c.sig << " " << c.ecx;
    EXPECT_EQ(f.xgetbvCalls, c.xgetbvCalls);
  }
}

TEST(CpuDecode, MaximumLeafZeroGivesVendorOnly) {
  FakeCpuid f;
  f.Vendor("GenuineIntel", 0);
  f.leaves[1] = {{0x633, 0, ~0u, ~0u}};
  TnxCpuInfo info = Decode(f);
  EXPECT_EQ(info.ciVendor, cvIntel);
  EXPECT_EQ(info.ciSignature, 0u);
  EXPECT_EQ(info.ciFeatures, 0u);
  EXPECT_EQ(f.asked.count(1), 0u);
}

Regs Descriptors(std::array<uint8_t, 16> bytes) {
  Regs r;
  std::memcpy(r.data(), bytes.data(), 16);
  return r;
}

TEST(CpuDecode, CacheDescriptorsOfLeafTwo) {
  const struct {
    const char* name;
    const char* vendor;
    uint32_t sig;
    std::vector<Regs> leaf2;
    uint16_t l1Code, l1Data, l2, l3;
  } cases[] = {
      {"mixed", "GenuineIntel", 0x6F6,
       {Descriptors({1, 0x30, 0x2C, 0, 0x7D, 0x23, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0})}, 32, 32, 2048, 1024},
      {"later overwrites earlier", "GenuineIntel", 0x6F6,
       {Descriptors({1, 0x41, 0x45, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0})}, 0, 0, 2048, 0},
      {"0x49 on family 15 model 6 is L3", "GenuineIntel", 0xF60,
       {Descriptors({1, 0x49, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0})}, 0, 0, 0, 4096},
      {"0x49 elsewhere is L2", "GenuineIntel", 0x6F6,
       {Descriptors({1, 0x49, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0})}, 0, 0, 4096, 0},
      {"0x40 clears L3 once L2 is known", "GenuineIntel", 0x6F6,
       {Descriptors({1, 0x22, 0x43, 0x40, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0})}, 0, 0, 512, 0},
      {"0x40 before any L2 keeps L3", "GenuineIntel", 0x6F6,
       {Descriptors({1, 0x22, 0x40, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0})}, 0, 0, 0, 512},
      {"0x70 is no code cache on Cyrix", "CyrixInstead", 0x600,
       {Descriptors({1, 0x70, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0})}, 0, 0, 0, 0},
      {"0x70 elsewhere", "GenuineIntel", 0x6F6,
       {Descriptors({1, 0x70, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0})}, 12, 0, 0, 0},
      {"0x80 on NSC", "Geode by NSC", 0x500,
       {Descriptors({1, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0})}, 8, 8, 0, 0},
      {"0x80 elsewhere", "GenuineIntel", 0x6F6,
       {Descriptors({1, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0})}, 0, 0, 0, 0},
      {"all four registers, bytes 1 to 15", "GenuineIntel", 0x6F6,
       {Descriptors({1, 0, 0, 0, 0x06, 0, 0, 0, 0x0D, 0, 0, 0, 0, 0, 0xEC, 0})}, 8, 16, 0, 24576},
      {"byte 0 is the count, not a descriptor", "GenuineIntel", 0x6F6,
       {Descriptors({0x06, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0})}, 0, 0, 0, 0},
      {"a register with bit 31 set holds none", "GenuineIntel", 0x6F6,
       {Descriptors({1, 0, 0, 0, 0x43, 0, 0, 0x80, 0, 0, 0, 0, 0, 0, 0, 0})}, 0, 0, 0, 0},
      {"repeated as the count says", "GenuineIntel", 0x6F6,
       {Descriptors({2, 0x43, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}),
        Descriptors({2, 0x22, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0})}, 0, 0, 512, 512},
  };
  for (auto& c : cases) {
    FakeCpuid f;
    f.Vendor(c.vendor, 2);
    f.leaves[1] = {{c.sig, 0, 0, 0}};
    f.leaves[2] = c.leaf2;
    TnxCpuInfo info = Decode(f);
    EXPECT_EQ(info.ciL1CodeKB, c.l1Code) << c.name;
    EXPECT_EQ(info.ciL1DataKB, c.l1Data) << c.name;
    EXPECT_EQ(info.ciL2KB, c.l2) << c.name;
    EXPECT_EQ(info.ciL3KB, c.l3) << c.name;
  }
}

TEST(CpuDecode, ExtendedCacheLeaves) {
  const struct {
    const char* vendor;
    uint32_t sig;
    uint16_t l1Code, l1Data, l2;
  } cases[] = {
      {"AuthenticAMD", 0x00800F11, 64, 32, 512},
      {"AuthenticAMD", 0x630, 64, 32, 64},        // the early Duron
      {"GenuineIntel", 0x000906EA, 0, 0, 512},    // Intel: no leaf 0x80000005
      {"CyrixInstead", 0x600, 0, 0, 512},
      {"CentaurHauls", 0x670, 64, 32, 2},         // family 6 model 7: bits 24-31
      {"CentaurHauls", 0x690, 64, 32, 512},
  };
  for (auto& c : cases) {
    FakeCpuid f;
    f.Vendor(c.vendor, 1);
    f.leaves[1] = {{c.sig, 0, 0, 0}};
    f.leaves[0x80000000] = {{0x80000006, 0, 0, 0}};
    f.leaves[0x80000005] = {{0, 0, 32u << 24, 64u << 24}};
    f.leaves[0x80000006] = {{0, 0, 512u << 16, 0}};
    TnxCpuInfo info = Decode(f);
    EXPECT_EQ(info.ciL1CodeKB, c.l1Code) << c.vendor << std::hex << c.sig;
    EXPECT_EQ(info.ciL1DataKB, c.l1Data) << c.vendor << std::hex << c.sig;
    EXPECT_EQ(info.ciL2KB, c.l2) << c.vendor << std::hex << c.sig;
  }
  FakeCpuid f;  // maximum extended leaf 0x80000005: no cache leaves
  f.Vendor("AuthenticAMD", 1);
  f.leaves[0x80000000] = {{0x80000005, 0, 0, 0}};
  f.leaves[0x80000005] = {{0, 0, 32u << 24, 64u << 24}};
  EXPECT_EQ(Decode(f).ciL1DataKB, 0);
}

TEST(CpuClass, ChosenByVendorFamilyAndFeatures) {
  const uint32_t mmx = cfFPU | cfCMOV | cfMMX;
  const struct {
    TnxCpuVendor vendor;
    uint8_t family, model;
    uint32_t features;
    bool osSse;
    TnxCpuClass want;
  } cases[] = {
      {cvIntel, 6, 9, mmx, true, ccIntelFamily6Mobile},
      {cvIntel, 6, 13, mmx, true, ccIntelFamily6Mobile},
      {cvIntel, 6, 7, mmx, true, ccIntelFamily6},
      {cvIntel, 6, 158, mmx, true, ccIntelFamily6},
      {cvIntel, 6, 6, mmx, true, ccGenericMMX},
      {cvIntel, 15, 2, cfLM | cfSSE3, true, ccIntelFamily15x64},
      {cvIntel, 15, 2, cfSSE3, true, ccIntelFamily15SSE3},
      {cvIntel, 15, 2, 0, true, ccIntelFamily15},
      {cvAMD, 6, 1, cfSSE, true, ccAmdFamily6SSE},
      {cvAMD, 6, 1, mmx, true, ccAmdFamily6},
      {cvAMD, 15, 1, cfSSE3, true, ccAmdFamily15SSE3},
      {cvAMD, 15, 1, 0, true, ccAmdFamily15},
      {cvAMD, 23, 1, mmx | cfSSE3, true, ccGenericMMX},
      {cvCentaur, 6, 9, mmx, true, ccGenericMMX},
      {cvIntel, 6, 9, mmx, false, ccGenericMMX},  // no OS support: no refinement
      {cvIntel, 6, 9, cfFPU | cfMMX, false, ccGeneric},
  };
  for (auto& c : cases) {
    TnxCpuInfo info;
    info.ciVendor = c.vendor;
    info.ciFamily = c.family;
    info.ciModel = c.model;
    info.ciFeatures = c.features;
    EXPECT_EQ(detail::nxCpuClassOf(info, c.osSse), c.want)
        << int(c.vendor) << " " << int(c.family) << " " << int(c.model);
  }
}

int Popcount32(const cpu_set_t& set) {
  int n = 0;
  for (int cpu = 0; cpu < nxMaxCpus; ++cpu) n += CPU_ISSET(cpu, &set) ? 1 : 0;
  return n;
}

TEST(CpuDetect, VisitsEveryAllowedProcessorAndRestoresTheMask) {
  cpu_set_t before;
  ASSERT_EQ(sched_getaffinity(0, sizeof before, &before), 0);
  nxDetectCpus();
  cpu_set_t after;
  ASSERT_EQ(sched_getaffinity(0, sizeof after, &after), 0);
  EXPECT_TRUE(CPU_EQUAL(&before, &after));
  EXPECT_EQ(nxCpuCount, std::max(1, Popcount32(before)));
#ifdef __x86_64__
  // Part of every x86-64 processor; the lock-free list depends on CX16.
  EXPECT_NE(nxCpuInfo.ciFeatures & cfSSE2, 0u);
  EXPECT_NE(nxCpuInfo.ciFeatures & cfCX16, 0u);
  EXPECT_NE(nxCpuInfo.ciFeatures & cfLM, 0u);
  EXPECT_NE(nxCpuInfo.ciFamily, 0);
#endif
}

TEST(CpuDetect, NarrowedMaskIsHonouredAndRestored) {
  cpu_set_t before;
  ASSERT_EQ(sched_getaffinity(0, sizeof before, &before), 0);
  int first = -1;
  for (int cpu = 0; cpu < nxMaxCpus && first < 0; ++cpu)
    if (CPU_ISSET(cpu, &before)) first = cpu;
  if (first < 0) GTEST_SKIP() << "no processor below 32 in the mask";
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(first, &one);
  ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
  nxDetectCpus();
  cpu_set_t after;
  sched_getaffinity(0, sizeof after, &after);
  sched_setaffinity(0, sizeof before, &before);
  EXPECT_TRUE(CPU_EQUAL(&one, &after));
  EXPECT_EQ(nxCpuCount, 1);
  EXPECT_EQ(std::memcmp(&nxCpuInfos[first], &nxCpuInfo, sizeof nxCpuInfo), 0);
}

}  // namespace
}  // namespace revurov
