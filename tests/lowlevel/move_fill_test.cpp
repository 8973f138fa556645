#include "lowlevel/heap/move_fill.h"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <vector>

namespace revurov {
namespace {

struct MoveVariant {
  const char* name;
  TnxMoveProc proc;
};
struct FillVariant {
  const char* name;
  TnxFillCharProc proc;
};

#ifdef __x86_64__
bool HasAvx512() {
  return __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("bmi2");
}
#endif

std::vector<MoveVariant> MoveVariants() {
  std::vector<MoveVariant> v{{"nxMove", [](const void* s, void* d, int32_t n) { nxMove(s, d, n); }},
                             {"libc", nxMoveLibc}};
#ifdef __x86_64__
  v.push_back({"SSE2", nxMoveSSE2});
  v.push_back({"SSE3", nxMoveSSE3});
  if (__builtin_cpu_supports("avx")) v.push_back({"libc AVX", nxMoveLibcAVX});
  if (HasAvx512()) v.push_back({"libc AVX-512", nxMoveLibcAVX512});
#endif
  return v;
}

std::vector<FillVariant> FillVariants() {
  std::vector<FillVariant> v{
      {"nxFillChar", [](void* d, int32_t n, uint8_t b) { nxFillChar(d, n, b); }},
      {"libc", nxFillCharLibc}};
#ifdef __x86_64__
  v.push_back({"SSE2", nxFillCharSSE2});
  if (__builtin_cpu_supports("avx")) v.push_back({"libc AVX", nxFillCharLibcAVX});
  if (HasAvx512()) v.push_back({"libc AVX-512", nxFillCharLibcAVX512});
#endif
  return v;
}

// Sizes where the variants change their way of working.
const std::vector<int> kEdgeSizes = {0,  1,  2,   3,   4,   7,   8,   9,    15,   16,   17,   31,
                                     32, 33, 35,  36,  37,  39,  40,  63,   64,   65,   127,  128,
                                     129, 191, 255, 256, 257, 511, 512,  513,  2047, 2048, 2049,
                                     2175, 4095, 4096};

void Pattern(std::vector<uint8_t>& b, uint32_t seed) {
  for (auto& x : b) {
    seed = seed * 1103515245u + 12345u;
    x = static_cast<uint8_t>(seed >> 16);
  }
}

class MoveFillTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() { nxMoveFillStartup(); }
  static void TearDownTestSuite() { nxMoveFillShutdown(); }
};

const std::vector<uint8_t>& Noise(int which) {
  static std::vector<uint8_t> pools[2] = {std::vector<uint8_t>(16384), std::vector<uint8_t>(16384)};
  static bool ready = false;
  if (!ready) {
    Pattern(pools[0], 1);
    Pattern(pools[1], 2);
    ready = true;
  }
  return pools[which];
}

// Copies between separate buffers; every byte around Dest must stay as it was.
void CheckSeparate(const MoveVariant& v, int size, int srcOff, int dstOff) {
  static std::vector<uint8_t> dst(4096 + 192), want(4096 + 192);
  const size_t len = size + 192;
  const uint8_t* src = Noise(0).data() + (size & 511);
  std::memcpy(dst.data(), Noise(1).data() + srcOff, len);
  std::memcpy(want.data(), dst.data(), len);
  std::memcpy(want.data() + 64 + dstOff, src + 64 + srcOff, size);
  v.proc(src + 64 + srcOff, dst.data() + 64 + dstOff, size);
  if (std::memcmp(dst.data(), want.data(), len) != 0) {
    size_t at = 0;
    while (dst[at] == want[at]) ++at;
    ADD_FAILURE() << v.name << " size " << size << " src+" << srcOff << " dst+" << dstOff
                  << ": first wrong byte at " << int(at) - 64 - dstOff;
  }
}

TEST_F(MoveFillTest, MoveEverySizeUpTo4096) {
  for (const auto& v : MoveVariants())
    for (int size = 0; size <= 4096; ++size)
      CheckSeparate(v, size, size % 64, (size * 7 + 3) % 64);
}

TEST_F(MoveFillTest, MoveEdgeSizesAtEveryMisalignment) {
  for (const auto& v : MoveVariants())
    for (int size : kEdgeSizes)
      for (int so = 0; so < 64; ++so)
        for (int d = 0; d < 64; d += (size > 256 ? 5 : 1)) CheckSeparate(v, size, so, d);
}

// Copies within one buffer at every distance near the ends of the range.
TEST_F(MoveFillTest, MoveOverlappingRangesAsMemmoveDoes) {
  std::vector<uint8_t> buf(2 * 5200), want;
  std::vector<int> sizes = kEdgeSizes;
  sizes.push_back(5000);
  for (const auto& v : MoveVariants())
    for (int size : sizes) {
      std::vector<int> deltas;
      for (int k = -70; k <= 70; ++k) deltas.push_back(k);
      for (int k : {size - 1, size, size + 1}) {
        deltas.push_back(k);
        deltas.push_back(-k);
      }
      for (int delta : deltas)
        for (int align : {0, 5, 11}) {
          int src = 2600 - size / 2 + align;
          int dst = src + delta;
          if (dst < 0 || dst + size > int(buf.size())) continue;
          std::memcpy(buf.data(), Noise((delta & 1)).data() + (size & 1023), buf.size());
          want = buf;
          std::memmove(want.data() + dst, want.data() + src, size);
          v.proc(buf.data() + src, buf.data() + dst, size);
          ASSERT_EQ(buf, want) << v.name << " size " << size << " delta " << delta << " align " << align;
        }
    }
}

TEST_F(MoveFillTest, MoveOneByteUpIsABackwardCopy) {
  for (const auto& v : MoveVariants()) {
    std::vector<uint8_t> buf(5002);
    Pattern(buf, 9);
    std::vector<uint8_t> want = buf;
    for (int i = 4999; i >= 0; --i) want[i + 1] = want[i];
    v.proc(buf.data(), buf.data() + 1, 5000);
    EXPECT_EQ(buf, want) << v.name;
    Pattern(buf, 10);
    want = buf;
    for (int i = 0; i < 5000; ++i) want[i] = want[i + 1];
    v.proc(buf.data() + 1, buf.data(), 5000);
    EXPECT_EQ(buf, want) << v.name;
  }
}

TEST_F(MoveFillTest, MoveOfNoBytesOrNegativeCountDoesNothing) {
  for (const auto& v : MoveVariants()) {
    std::vector<uint8_t> a(64, 1), b(64, 2);
    for (int32_t n : {0, -1, -37, INT32_MIN}) v.proc(a.data(), b.data(), n);
    EXPECT_EQ(b, std::vector<uint8_t>(64, 2)) << v.name;
    v.proc(a.data(), a.data(), 64);  // onto itself
    EXPECT_EQ(a, std::vector<uint8_t>(64, 1)) << v.name;
  }
}

#ifdef __x86_64__
// Block copies beyond the threshold use non-temporal stores; with the
// threshold at 0 every copy of 2048 bytes and more takes that road.
TEST_F(MoveFillTest, StreamingCopiesAreExact) {
  const int32_t saved = nxMoveStreamThreshold;
  for (int32_t threshold : {0, -4096}) {
    nxMoveStreamThreshold = threshold;
    for (const auto& v : MoveVariants()) {
      if (v.proc == nxMoveLibc) continue;
      for (int size : {2048, 2049, 4096 + 37, 100000})
        for (int so : {0, 3})
          for (int d : {0, 9}) {
            std::vector<uint8_t> src(size + 64), dst(size + 64);
            Pattern(src, size + so);
            Pattern(dst, size + d + 1);
            std::vector<uint8_t> want = dst;
            std::memcpy(want.data() + 16 + d, src.data() + 16 + so, size - 32);
            v.proc(src.data() + 16 + so, dst.data() + 16 + d, size - 32);
            ASSERT_EQ(dst, want) << v.name << " size " << size << " threshold " << threshold;
          }
    }
  }
  nxMoveStreamThreshold = saved;
}
#endif

void CheckFill(const FillVariant& v, int size, int off, uint8_t value) {
  static std::vector<uint8_t> buf(4096 + 192), want(4096 + 192);
  const size_t len = size + 192;
  std::memcpy(buf.data(), Noise(1).data() + off, len);
  std::memcpy(want.data(), buf.data(), len);
  std::memset(want.data() + 64 + off, value, size);
  v.proc(buf.data() + 64 + off, size, value);
  if (std::memcmp(buf.data(), want.data(), len) != 0) {
    size_t at = 0;
    while (buf[at] == want[at]) ++at;
    ADD_FAILURE() << v.name << " size " << size << " dst+" << off << " value " << int(value)
                  << ": first wrong byte at " << int(at) - 64 - off;
  }
}

TEST_F(MoveFillTest, FillEverySizeUpTo4096) {
  for (const auto& v : FillVariants())
    for (int size = 0; size <= 4096; ++size) CheckFill(v, size, (size * 5) % 64, uint8_t(size * 37));
}

TEST_F(MoveFillTest, FillEdgeSizesAtEveryMisalignment) {
  for (const auto& v : FillVariants())
    for (int size : kEdgeSizes)
      for (int off = 0; off < 64; ++off)
        for (uint8_t value : {0x00, 0xA5, 0xFF}) CheckFill(v, size, off, value);
}

TEST_F(MoveFillTest, FillAboveTheStreamingSizeIsExact) {
  for (const auto& v : FillVariants())
    for (int size : {512 * 1024 + 17, 1024 * 1024 + 100})
      for (int off : {0, 7}) {
        std::vector<uint8_t> buf(size + 64, 0x11);
        v.proc(buf.data() + 16 + off, size, 0xEE);
        for (int i = 0; i < int(buf.size()); ++i) {
          uint8_t want = (i >= 16 + off && i < 16 + off + size) ? 0xEE : 0x11;
          ASSERT_EQ(buf[i], want) << v.name << " size " << size << " at " << i;
        }
      }
}

TEST_F(MoveFillTest, FillOfNoBytesOrNegativeCountDoesNothing) {
  for (const auto& v : FillVariants()) {
    std::vector<uint8_t> a(16, 1);
    for (int32_t n : {0, -1, INT32_MIN}) v.proc(a.data(), n, 9);
    EXPECT_EQ(a, std::vector<uint8_t>(16, 1)) << v.name;
  }
}

// Short counts may use masked wide loads and stores: with Source and Dest
// ending where a page that is neither readable nor writable begins, nothing
// may touch that page.
TEST_F(MoveFillTest, ShortCountsEndingBeforeAnUnmappedPageStayInside) {
  const size_t page = size_t(sysconf(_SC_PAGESIZE));
  void* map = mmap(nullptr, 4 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(map, MAP_FAILED);
  auto* base = static_cast<uint8_t*>(map);
  ASSERT_EQ(mprotect(base + page, page, PROT_NONE), 0);
  ASSERT_EQ(mprotect(base + 3 * page, page, PROT_NONE), 0);
  uint8_t* srcEnd = base + page;
  uint8_t* dstEnd = base + 3 * page;
  for (size_t i = 0; i < page; ++i) base[i] = uint8_t(i * 7 + 1);
  for (const auto& v : MoveVariants())
    for (int size = 0; size <= 600; ++size) {
      std::memset(dstEnd - page, 0, page);
      v.proc(srcEnd - size, dstEnd - size, size);
      ASSERT_EQ(std::memcmp(dstEnd - size, srcEnd - size, size), 0) << v.name << " size " << size;
      ASSERT_EQ(dstEnd[-1 - size], 0) << v.name << " size " << size;
    }
  for (const auto& v : FillVariants())
    for (int size = 0; size <= 600; ++size) {
      std::memset(dstEnd - page, 0, page);
      v.proc(dstEnd - size, size, 0x3C);
      ASSERT_EQ(std::vector<uint8_t>(dstEnd - size, dstEnd), std::vector<uint8_t>(size, 0x3C))
          << v.name << " size " << size;
      ASSERT_EQ(dstEnd[-1 - size], 0) << v.name << " size " << size;
    }
  munmap(map, 4 * page);
}

TEST_F(MoveFillTest, StartUpChoosesByProcessorAndSetsTheThreshold) {
  EXPECT_EQ(nxMove, nxMoveFor(nxCpuInfo));
  EXPECT_EQ(nxFillChar, nxFillCharFor(nxCpuClass, nxCpuInfo));
  EXPECT_EQ(nxMoveStreamThreshold, -int32_t(nxCpuInfo.ciL2KB) * 512);
  nxMoveFillStartup();  // counted: a second start-up changes nothing
  EXPECT_EQ(nxMove, nxMoveFor(nxCpuInfo));
  nxMoveFillShutdown();
}

}  // namespace
}  // namespace revurov
