#include "lowlevel/strings/utils_compare.h"

#include <algorithm>

#include "platform/locale_text.h"
#include "platform/text.h"

namespace revurov {

using utils_detail::Cmp3;

int nxCmpBytes(const void* P1, const void* P2, size_t Len) noexcept {
  if (Len == 0) return 0;
  int r = std::memcmp(P1, P2, Len);
  return r > 0 ? 1 : (r < 0 ? -1 : 0);
}

int nxCmpByteArrays(const std::vector<uint8_t>& A, const std::vector<uint8_t>& B) noexcept {
  if (!A.empty() && !B.empty()) {
    int r = nxCmpBytes(A.data(), B.data(), std::min(A.size(), B.size()));
    if (r != 0) return r;
  }
  return Cmp3(A.size(), B.size());
}

namespace {
uint8_t AsciiUp(uint8_t c) { return c >= 'a' && c <= 'z' ? static_cast<uint8_t>(c - 32) : c; }

int CmpShort(const uint8_t* S1, const uint8_t* S2, uint8_t MaxLen, bool fold) {
  const uint8_t l1 = std::min(S1[0], MaxLen), l2 = std::min(S2[0], MaxLen);
  const uint8_t n = std::min(l1, l2);
  for (uint8_t i = 1; i <= n; ++i) {
    uint8_t a = fold ? AsciiUp(S1[i]) : S1[i];
    uint8_t b = fold ? AsciiUp(S2[i]) : S2[i];
    if (a != b) return a > b ? 1 : -1;
  }
  return Cmp3(l1, l2);
}
}  // namespace

int nxCmpShortString(const uint8_t* S1, const uint8_t* S2, uint8_t MaxLen) noexcept {
  return CmpShort(S1, S2, MaxLen, false);
}

int nxCmpShortStringI(const uint8_t* S1, const uint8_t* S2, uint8_t MaxLen) noexcept {
  return CmpShort(S1, S2, MaxLen, true);
}

int nxCompareStrLocale(std::u16string_view S1, std::u16string_view S2) {
  return platform::AnsiCompareStr(S1, S2);
}

int nxCompareTextLocale(std::u16string_view S1, std::u16string_view S2) {
  return platform::AnsiCompareText(S1, S2);
}

namespace {
int StrLComp(const char16_t* S1, const char16_t* S2, size_t N, bool fold) {
  for (size_t i = 0; i < N; ++i) {
    char16_t a = fold ? platform::AsciiUpper(S1[i]) : S1[i];
    char16_t b = fold ? platform::AsciiUpper(S2[i]) : S2[i];
    if (a != b) return static_cast<int>(a) - static_cast<int>(b);
    if (a == 0) break;
  }
  return 0;
}
}  // namespace

int nxStrLCompW(const char16_t* S1, const char16_t* S2, size_t N) noexcept {
  return StrLComp(S1, S2, N, false);
}

int nxStrLICompW(const char16_t* S1, const char16_t* S2, size_t N) noexcept {
  return StrLComp(S1, S2, N, true);
}

bool nxSameByteArrays(const std::vector<uint8_t>& A, const std::vector<uint8_t>& B) noexcept {
  return A == B;
}

// ---- bit sets ----

namespace {
size_t ByteCount(size_t bits) { return (bits + 7) / 8; }
}  // namespace

void nxBitsClearAll(void* Bits, size_t Count) noexcept { std::memset(Bits, 0, ByteCount(Count)); }

void nxBitsSetAll(void* Bits, size_t Count) noexcept { std::memset(Bits, 0xFF, ByteCount(Count)); }

void nxBitClear(void* Bits, size_t Index) noexcept {
  static_cast<uint8_t*>(Bits)[Index >> 3] &= static_cast<uint8_t>(~(1u << (Index & 7)));
}

void nxBitSet(void* Bits, size_t Index) noexcept {
  static_cast<uint8_t*>(Bits)[Index >> 3] |= static_cast<uint8_t>(1u << (Index & 7));
}

int nxBitIsSet(const void* Bits, size_t Index) noexcept {
  return (static_cast<const uint8_t*>(Bits)[Index >> 3] >> (Index & 7)) & 1;
}

int64_t nxBitsFindFirstClear(const void* Bits, size_t Count) noexcept {
  const uint8_t* b = static_cast<const uint8_t*>(Bits);
  size_t i = 0;
  // Whole 32-bit words of ones are skipped at once; read byte-wise so that
  // the buffer needs no alignment and nothing past its end is touched.
  while (i + 32 <= Count) {
    uint32_t w;
    std::memcpy(&w, b + (i >> 3), 4);
    if (w != 0xFFFFFFFFu) break;
    i += 32;
  }
  for (; i < Count; ++i)
    if (!nxBitIsSet(Bits, i)) return static_cast<int64_t>(i);
  return -1;
}

void nxBitsOr(void* Dest, const void* Src, size_t Count) noexcept {
  uint8_t* d = static_cast<uint8_t*>(Dest);
  const uint8_t* s = static_cast<const uint8_t*>(Src);
  for (size_t i = 0, n = ByteCount(Count); i < n; ++i) d[i] |= s[i];
}

}  // namespace revurov
