#include "lowlevel/heap/move_fill.h"

#include <cstring>
#include <mutex>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace revurov {

#if defined(__x86_64__)

namespace {

using u8 = uint8_t;

template <typename T>
inline T Load(const u8* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

template <typename T>
inline void Store(u8* p, T v) {
  std::memcpy(p, &v, sizeof v);
}

inline __m128i LoadU(const u8* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
inline __m128i LoadA(const u8* p) { return _mm_load_si128(reinterpret_cast<const __m128i*>(p)); }
inline void StoreU(u8* p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }
inline void StoreA(u8* p, __m128i v) { _mm_store_si128(reinterpret_cast<__m128i*>(p), v); }
inline void StoreNT(u8* p, __m128i v) { _mm_stream_si128(reinterpret_cast<__m128i*>(p), v); }

// LDDQU, the SSE3 unaligned load that never splits a cache line; as inline
// assembly so that the rest of the file needs no SSE3 code generation.
inline __m128i LoadDq(const u8* p) {
  __m128i v;
  __asm__("lddqu %1, %0" : "=x"(v) : "m"(*reinterpret_cast<const char(*)[16]>(p)));
  return v;
}

template <bool kLddqu>
inline __m128i LoadAny(const u8* p) {
  if constexpr (kLddqu)
    return LoadDq(p);
  else
    return LoadU(p);
}

// 0 to 16 bytes as two overlapping loads of the widest fitting word, both
// before the stores.
inline void MoveUpTo16(const u8* s, u8* d, size_t n) {
  if (n >= 8) {
    uint64_t a = Load<uint64_t>(s), b = Load<uint64_t>(s + n - 8);
    Store(d, a);
    Store(d + n - 8, b);
  } else if (n >= 4) {
    uint32_t a = Load<uint32_t>(s), b = Load<uint32_t>(s + n - 4);
    Store(d, a);
    Store(d + n - 4, b);
  } else if (n >= 2) {
    uint16_t a = Load<uint16_t>(s), b = Load<uint16_t>(s + n - 2);
    Store(d, a);
    Store(d + n - 2, b);
  } else if (n == 1) {
    *d = *s;
  }
}

// 0 to 16 bytes with two overlapping stores of the widest fitting word.
inline void FillUpTo16(u8* d, size_t n, uint8_t value) {
  const uint64_t pattern = 0x0101010101010101ull * value;
  if (n >= 8) {
    Store(d, pattern);
    Store(d + n - 8, pattern);
  } else if (n >= 4) {
    Store(d, static_cast<uint32_t>(pattern));
    Store(d + n - 4, static_cast<uint32_t>(pattern));
  } else if (n >= 2) {
    Store(d, static_cast<uint16_t>(pattern));
    Store(d + n - 2, static_cast<uint16_t>(pattern));
  } else if (n == 1) {
    *d = value;
  }
}

// Up to 36 bytes. Every load happens before the first store, which makes
// the copy safe for overlap in either direction.
inline void MoveSmall(const u8* s, u8* d, size_t n) {
  if (n > 32) {
    __m128i a = LoadU(s), b = LoadU(s + 16);
    uint32_t e = Load<uint32_t>(s + n - 4);
    StoreU(d, a);
    StoreU(d + 16, b);
    Store(d + n - 4, e);
  } else if (n >= 16) {
    // Nothing past the source's end is read: it may be the end of a page.
    __m128i a = LoadU(s), c = LoadU(s + n - 16);
    StoreU(d, a);
    StoreU(d + n - 16, c);
  } else {
    MoveUpTo16(s, d, n);
  }
}

// 37 to 64 bytes, all loaded before any store.
inline void MoveMedium(const u8* s, u8* d, size_t n) {
  __m128i a = LoadU(s), b = LoadU(s + 16), c = LoadU(s + n - 32), e = LoadU(s + n - 16);
  StoreU(d, a);
  StoreU(d + 16, b);
  StoreU(d + n - 32, c);
  StoreU(d + n - 16, e);
}

// 65 to 128 bytes, all loaded before any store.
inline void MoveUpTo128(const u8* s, u8* d, size_t n) {
  __m128i a0 = LoadU(s), a1 = LoadU(s + 16), a2 = LoadU(s + 32), a3 = LoadU(s + 48);
  __m128i b0 = LoadU(s + n - 64), b1 = LoadU(s + n - 48), b2 = LoadU(s + n - 32),
          b3 = LoadU(s + n - 16);
  StoreU(d, a0);
  StoreU(d + 16, a1);
  StoreU(d + 32, a2);
  StoreU(d + 48, a3);
  StoreU(d + n - 64, b0);
  StoreU(d + n - 48, b1);
  StoreU(d + n - 32, b2);
  StoreU(d + n - 16, b3);
}

// 1 to 128 bytes with overlapping unaligned stores.
inline void FillSmall(u8* d, size_t n, uint8_t value) {
  if (n >= 16) {
    const __m128i v = _mm_set1_epi8(static_cast<char>(value));
    if (n > 64) {
      StoreU(d + 32, v);
      StoreU(d + 48, v);
      StoreU(d + n - 64, v);
      StoreU(d + n - 48, v);
    }
    if (n > 32) {
      StoreU(d + 16, v);
      StoreU(d + n - 32, v);
    }
    StoreU(d, v);
    StoreU(d + n - 16, v);
    return;
  }
  FillUpTo16(d, n, value);
}

// The same for processors with AVX: 32-byte registers halve the steps.
#define REVUROV_AVX __attribute__((target("avx")))

REVUROV_AVX inline __m256i LoadU32(const u8* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}
REVUROV_AVX inline void StoreU32(u8* p, __m256i v) {
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v);
}

REVUROV_AVX inline void MoveUpTo128Avx(const u8* s, u8* d, size_t n) {
  if (n <= 32) {
    MoveSmall(s, d, n);
  } else if (n <= 64) {
    __m256i a = LoadU32(s), b = LoadU32(s + n - 32);
    StoreU32(d, a);
    StoreU32(d + n - 32, b);
  } else {
    __m256i a = LoadU32(s), b = LoadU32(s + 32), c = LoadU32(s + n - 64), e = LoadU32(s + n - 32);
    StoreU32(d, a);
    StoreU32(d + 32, b);
    StoreU32(d + n - 64, c);
    StoreU32(d + n - 32, e);
  }
}

REVUROV_AVX inline void FillUpTo128Avx(u8* d, size_t n, uint8_t value) {
  if (n < 32) {
    FillSmall(d, n, value);
    return;
  }
  const __m256i v = _mm256_set1_epi8(static_cast<char>(value));
  if (n > 64) {
    StoreU32(d + 32, v);
    StoreU32(d + n - 64, v);
  }
  StoreU32(d, v);
  StoreU32(d + n - 32, v);
}

// Source above Dest or no overlap. Head and tail are loaded before the body
// is stored: with Dest just below Source the body overwrites the source's
// tail before a late load could read it.
template <bool kLddqu>
void MoveForward(const u8* s, u8* d, size_t n) {
  const __m128i head = LoadAny<kLddqu>(s);
  const __m128i tail1 = LoadAny<kLddqu>(s + n - 32), tail2 = LoadAny<kLddqu>(s + n - 16);
  const size_t skew = 16 - (reinterpret_cast<uintptr_t>(d) & 15);  // 1..16
  size_t i = skew;
  const size_t end = n - 32;  // the preloaded tail covers [n - 32, n)
  if (n >= 2048) {
    const size_t blocks = (end - i) & ~size_t(127);
    const bool stream = static_cast<int64_t>(blocks) + nxMoveStreamThreshold > 0;
    const bool aligned = ((reinterpret_cast<uintptr_t>(s) + i) & 15) == 0;
    const size_t stop = i + blocks;
    if (stream) {
      for (; i < stop; i += 128) {
        _mm_prefetch(reinterpret_cast<const char*>(s + i + 512), _MM_HINT_NTA);
        _mm_prefetch(reinterpret_cast<const char*>(s + i + 576), _MM_HINT_NTA);
        for (int k = 0; k < 128; k += 16)
          StoreNT(d + i + k, aligned ? LoadA(s + i + k) : LoadAny<kLddqu>(s + i + k));
      }
      _mm_sfence();
    } else if (aligned) {
      for (; i < stop; i += 128)
        for (int k = 0; k < 128; k += 16) StoreA(d + i + k, LoadA(s + i + k));
    } else {
      for (; i < stop; i += 128)
        for (int k = 0; k < 128; k += 16) StoreA(d + i + k, LoadAny<kLddqu>(s + i + k));
    }
    for (; i + 16 <= end; i += 16) StoreA(d + i, LoadAny<kLddqu>(s + i));
  } else {
    for (; i + 32 <= end; i += 32) {
      __m128i a = LoadAny<kLddqu>(s + i), b = LoadAny<kLddqu>(s + i + 16);
      StoreA(d + i, a);
      StoreA(d + i + 16, b);
    }
    for (; i + 16 <= end; i += 16) StoreA(d + i, LoadAny<kLddqu>(s + i));
  }
  if (i < end) StoreU(d + i, LoadAny<kLddqu>(s + i));  // less than 16 left before the tail
  StoreU(d, head);
  StoreU(d + n - 32, tail1);
  StoreU(d + n - 16, tail2);
}

// Dest inside the source range: downwards, 32 bytes per step into aligned
// addresses. Head and tail are preloaded for the same reason as forwards;
// the head's 48 bytes cover whatever the aligned steps leave at the start.
template <bool kLddqu>
void MoveBackward(const u8* s, u8* d, size_t n) {
  const __m128i head1 = LoadAny<kLddqu>(s), head2 = LoadAny<kLddqu>(s + 16);
  const __m128i head3 = LoadAny<kLddqu>(s + 32), tail = LoadAny<kLddqu>(s + n - 16);
  // Aligned, within the last 16 bytes, which the tail covers.
  size_t i = (reinterpret_cast<uintptr_t>(d + n) & ~uintptr_t(15)) - reinterpret_cast<uintptr_t>(d);
  while (i >= 64) {
    i -= 32;
    __m128i b = LoadAny<kLddqu>(s + i + 16), a = LoadAny<kLddqu>(s + i);
    StoreA(d + i + 16, b);
    StoreA(d + i, a);
  }
  if (i >= 48) {
    i -= 16;
    StoreA(d + i, LoadAny<kLddqu>(s + i));
  }
  StoreU(d + n - 16, tail);
  StoreU(d + 32, head3);
  StoreU(d + 16, head2);
  StoreU(d, head1);
}

template <bool kLddqu>
inline void MoveSse(const void* source, void* dest, int32_t count) {
  const auto* s = static_cast<const u8*>(source);
  auto* d = static_cast<u8*>(dest);
  if (count <= 36) {
    if (count > 0 && s != d) MoveSmall(s, d, static_cast<size_t>(count));
    return;
  }
  const size_t n = static_cast<size_t>(count);
  if (s == d) return;
  if (n <= 64) {
    MoveMedium(s, d, n);
  } else if (s > d || s + n <= d) {
    MoveForward<kLddqu>(s, d, n);
  } else {
    MoveBackward<kLddqu>(s, d, n);
  }
}

constexpr size_t kFillStreamAbove = 512 * 1024;

}  // namespace

void nxMoveSSE2(const void* source, void* dest, int32_t count) {
  MoveSse<false>(source, dest, count);
}

void nxMoveSSE3(const void* source, void* dest, int32_t count) {
  MoveSse<true>(source, dest, count);
}

void nxFillCharSSE2(void* dest, int32_t count, uint8_t value) {
  if (count <= 0) return;
  auto* d = static_cast<u8*>(dest);
  const size_t n = static_cast<size_t>(count);
  if (n <= 64) {
    FillSmall(d, n, value);
    return;
  }
  const __m128i v = _mm_set1_epi8(static_cast<char>(value));
  StoreU(d, v);
  StoreU(d + n - 16, v);
  u8* p = reinterpret_cast<u8*>((reinterpret_cast<uintptr_t>(d) + 16) & ~uintptr_t(15));
  // The tail store covers what lies past the last aligned unit.
  u8* end = reinterpret_cast<u8*>(reinterpret_cast<uintptr_t>(d + n) & ~uintptr_t(15));
  if (static_cast<size_t>(end - p) > kFillStreamAbove) {
    for (; p + 64 <= end; p += 64) {
      StoreNT(p, v);
      StoreNT(p + 16, v);
      StoreNT(p + 32, v);
      StoreNT(p + 48, v);
    }
    for (; p < end; p += 16) StoreNT(p, v);
    _mm_sfence();
    return;
  }
  for (; p + 64 <= end; p += 64) {
    StoreA(p, v);
    StoreA(p + 16, v);
    StoreA(p + 32, v);
    StoreA(p + 48, v);
  }
  for (; p < end; p += 16) StoreA(p, v);
}

#endif  // __x86_64__

// The C library's routines behind the count tests of the contract (a
// negative count must not reach them as a huge size_t). Up to 128 bytes the
// copy or fill is done here: for such counts the call into the C library
// costs as much as the work.
void nxFillCharLibc(void* dest, int32_t count, uint8_t value) {
#if defined(__x86_64__)
  if (count <= 128) {
    if (count > 0) FillSmall(static_cast<u8*>(dest), static_cast<size_t>(count), value);
    return;
  }
#else
  if (count <= 0) return;
#endif
  std::memset(dest, value, static_cast<size_t>(count));
}

void nxMoveLibc(const void* source, void* dest, int32_t count) {
#if defined(__x86_64__)
  if (count <= 128) {
    const auto* s = static_cast<const u8*>(source);
    auto* d = static_cast<u8*>(dest);
    if (count > 64)
      MoveUpTo128(s, d, static_cast<size_t>(count));
    else if (count > 36)
      MoveMedium(s, d, static_cast<size_t>(count));
    else if (count > 0)
      MoveSmall(s, d, static_cast<size_t>(count));
    return;
  }
#else
  if (count <= 0) return;
#endif
  if (source != dest) std::memmove(dest, source, static_cast<size_t>(count));
}

#if defined(__x86_64__)
// The smallest counts are tested first, on the count as unsigned so that a
// negative one falls through to the final test: fewer branches before the
// common short copies.
REVUROV_AVX void nxFillCharLibcAVX(void* dest, int32_t count, uint8_t value) {
  auto* d = static_cast<u8*>(dest);
  const uint32_t n = static_cast<uint32_t>(count);
  if (n <= 16) {
    FillUpTo16(d, n, value);
  } else if (n <= 32) {
    const __m128i v = _mm_set1_epi8(static_cast<char>(value));
    StoreU(d, v);
    StoreU(d + n - 16, v);
  } else if (n <= 128) {
    FillUpTo128Avx(d, n, value);
  } else if (count > 0) {
    std::memset(dest, value, n);
  }
}

REVUROV_AVX void nxMoveLibcAVX(const void* source, void* dest, int32_t count) {
  const auto* s = static_cast<const u8*>(source);
  auto* d = static_cast<u8*>(dest);
  const uint32_t n = static_cast<uint32_t>(count);
  if (n <= 16) {
    MoveUpTo16(s, d, n);
  } else if (n <= 128) {
    MoveUpTo128Avx(s, d, n);
  } else if (count > 0 && s != d) {
    std::memmove(dest, source, n);
  }
}

// With AVX-512BW counts up to 64 need no branch on the size: masked
// 64-byte loads and stores touch only the bytes the mask selects (the CPU
// suppresses faults on the others). Up to 512 bytes the work stays here
// (a copy loaded whole before the first store, as memmove does); past that
// the call goes straight on to the C library.
#define REVUROV_AVX512 __attribute__((target("avx512f,avx512bw,bmi2")))

namespace {
REVUROV_AVX512 inline __m512i LoadU64(const u8* p) { return _mm512_loadu_si512(p); }
REVUROV_AVX512 inline void StoreU64(u8* p, __m512i v) { _mm512_storeu_si512(p, v); }

// The first n bytes of 64.
REVUROV_AVX512 inline __mmask64 ShortMask(uint32_t n) { return _bzhi_u64(~0ull, n); }
}  // namespace

REVUROV_AVX512 void nxMoveLibcAVX512(const void* source, void* dest, int32_t count) {
  const auto* s = static_cast<const u8*>(source);
  auto* d = static_cast<u8*>(dest);
  const uint32_t n = static_cast<uint32_t>(count);
  if (n <= 64) {
    const __mmask64 k = ShortMask(n);
    _mm512_mask_storeu_epi8(d, k, _mm512_maskz_loadu_epi8(k, s));
  } else if (n <= 128) {
    const __m512i a = LoadU64(s), b = LoadU64(s + n - 64);
    StoreU64(d, a);
    StoreU64(d + n - 64, b);
  } else if (n <= 256) {
    const __m512i a = LoadU64(s), b = LoadU64(s + 64), c = LoadU64(s + n - 128),
                  e = LoadU64(s + n - 64);
    StoreU64(d, a);
    StoreU64(d + 64, b);
    StoreU64(d + n - 128, c);
    StoreU64(d + n - 64, e);
  } else if (n <= 512) {
    const __m512i a0 = LoadU64(s), a1 = LoadU64(s + 64), a2 = LoadU64(s + 128),
                  a3 = LoadU64(s + 192);
    const __m512i b0 = LoadU64(s + n - 256), b1 = LoadU64(s + n - 192),
                  b2 = LoadU64(s + n - 128), b3 = LoadU64(s + n - 64);
    StoreU64(d, a0);
    StoreU64(d + 64, a1);
    StoreU64(d + 128, a2);
    StoreU64(d + 192, a3);
    StoreU64(d + n - 256, b0);
    StoreU64(d + n - 192, b1);
    StoreU64(d + n - 128, b2);
    StoreU64(d + n - 64, b3);
  } else if (n <= 4096 && reinterpret_cast<uintptr_t>(d) - reinterpret_cast<uintptr_t>(s) >= n) {
    // Forwards (Dest below Source or apart): 256 bytes per step into
    // 64-byte-aligned addresses. Head and tail are loaded first, for the
    // reason given at MoveForward; the last step may run into the tail.
    const __m512i head = LoadU64(s);
    const __m512i t0 = LoadU64(s + n - 256), t1 = LoadU64(s + n - 192),
                  t2 = LoadU64(s + n - 128), t3 = LoadU64(s + n - 64);
    const size_t end = n - 256;
    for (size_t i = 64 - (reinterpret_cast<uintptr_t>(d) & 63); i < end; i += 256) {
      const __m512i a = LoadU64(s + i), b = LoadU64(s + i + 64), c = LoadU64(s + i + 128),
                    e = LoadU64(s + i + 192);
      _mm512_store_si512(d + i, a);
      _mm512_store_si512(d + i + 64, b);
      _mm512_store_si512(d + i + 128, c);
      _mm512_store_si512(d + i + 192, e);
    }
    StoreU64(d + n - 256, t0);
    StoreU64(d + n - 192, t1);
    StoreU64(d + n - 128, t2);
    StoreU64(d + n - 64, t3);
    StoreU64(d, head);
  } else if (count > 0 && s != d) [[likely]] {
    std::memmove(dest, source, n);
  }
}

REVUROV_AVX512 void nxFillCharLibcAVX512(void* dest, int32_t count, uint8_t value) {
  auto* d = static_cast<u8*>(dest);
  const uint32_t n = static_cast<uint32_t>(count);
  if (n <= 128) {
    const __m512i v = _mm512_set1_epi8(static_cast<char>(value));
    _mm512_mask_storeu_epi8(d, ShortMask(n), v);
    _mm512_mask_storeu_epi8(d + 64, n > 64 ? ShortMask(n - 64) : 0, v);
  } else if (n <= 512) {
    const __m512i v = _mm512_set1_epi8(static_cast<char>(value));
    if (n > 256) {
      StoreU64(d + 128, v);
      StoreU64(d + 192, v);
      StoreU64(d + n - 256, v);
      StoreU64(d + n - 192, v);
    }
    StoreU64(d, v);
    StoreU64(d + 64, v);
    StoreU64(d + n - 128, v);
    StoreU64(d + n - 64, v);
  } else if (count > 0) [[likely]] {
    std::memset(dest, value, n);
  }
}
#endif

TnxFillCharProc nxFillChar = nxFillCharLibc;
TnxMoveProc nxMove = nxMoveLibc;
int32_t nxMoveStreamThreshold = 0;

// The C library's routines dispatch on the processor themselves (wider
// vectors, string instructions, their own streaming threshold) and measured
// at least as fast as the SSE2 variants from 128 bytes up (bench/move_fill.cpp),
// so every x86-64 processor takes them, with the small counts done here in
// the widest registers the processor offers. The fill keeps its choice by
// class and the move by features; on x86-64 only AVX and AVX-512 make a
// difference.
#if defined(__x86_64__)
namespace {
// AVX-512 is not among the detected features; the compiler's runtime check
// includes the operating system's saving of the mask and 512-bit registers.
bool HasAvx512BW() noexcept {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("bmi2");
}
}  // namespace
#endif

TnxFillCharProc nxFillCharFor(TnxCpuClass cpuClass, const TnxCpuInfo& info) noexcept {
  (void)cpuClass;
#if defined(__x86_64__)
  if (info.ciFeatures & cfAVX) return HasAvx512BW() ? nxFillCharLibcAVX512 : nxFillCharLibcAVX;
#else
  (void)info;
#endif
  return nxFillCharLibc;
}

TnxMoveProc nxMoveFor(const TnxCpuInfo& info) noexcept {
#if defined(__x86_64__)
  if (info.ciFeatures & cfAVX) return HasAvx512BW() ? nxMoveLibcAVX512 : nxMoveLibcAVX;
#else
  (void)info;
#endif
  return nxMoveLibc;
}

namespace {
std::mutex gStartupLock;
int gStartups = 0;
}  // namespace

void nxMoveFillStartup() {
  std::lock_guard<std::mutex> guard(gStartupLock);
  if (gStartups++ > 0) return;
  nxCpuDetectStartup();
  nxFillChar = nxFillCharFor(nxCpuClass, nxCpuInfo);
  nxMove = nxMoveFor(nxCpuInfo);
  nxMoveStreamThreshold = -static_cast<int32_t>(nxCpuInfo.ciL2KB) * 512;
}

void nxMoveFillShutdown() {
  std::lock_guard<std::mutex> guard(gStartupLock);
  if (gStartups == 0) return;
  --gStartups;
  nxCpuDetectShutdown();
}

}  // namespace revurov
