#include "fieldmap/number_text.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>

#include "platform/c_number.h"

namespace revurov {

namespace {

// Far beyond any 64-bit target and far from overflowing 128 bits.
constexpr __int128 kSaturated = static_cast<__int128>(1000000000000000000LL) * 1000000000000LL;

template <class C>
unsigned Unit(C c) noexcept {
  if constexpr (sizeof(C) == 1)
    return static_cast<unsigned char>(c);
  else
    return static_cast<unsigned>(c);
}

int HexValue(unsigned c) noexcept {
  if (c >= '0' && c <= '9') return int(c - '0');
  if (c >= 'A' && c <= 'F') return int(c - 'A' + 10);
  if (c >= 'a' && c <= 'f') return int(c - 'a' + 10);
  return -1;
}

template <class C>
TnxIntegerText ReadInteger(std::basic_string_view<C> aText, int aWidth) noexcept {
  const size_t n = aText.size();
  size_t i = 0;
  while (i < n && Unit(aText[i]) == ' ') ++i;
  bool negative = false;
  if (i < n && (Unit(aText[i]) == '+' || Unit(aText[i]) == '-')) negative = Unit(aText[i++]) == '-';
  bool hex = false;
  if (i < n && (Unit(aText[i]) == '$' || Unit(aText[i]) == 'x' || Unit(aText[i]) == 'X')) {
    hex = true;
    ++i;
  } else if (i + 1 < n && Unit(aText[i]) == '0' && (Unit(aText[i + 1]) == 'x' || Unit(aText[i + 1]) == 'X')) {
    hex = true;
    i += 2;
  }
  if (i == n) return {};
  __int128 value = 0;
  if (hex) {
    unsigned __int128 bits = 0;
    for (; i < n; ++i) {
      const int d = HexValue(Unit(aText[i]));
      if (d < 0) return {};
      bits = bits << 4 | unsigned(d);
      if (bits >> aWidth) return {};
    }
    value = aWidth == 32 ? __int128{static_cast<int32_t>(static_cast<uint32_t>(bits))}
                         : __int128{static_cast<int64_t>(static_cast<uint64_t>(bits))};
  } else {
    // 18 digits always fit 64 bits; only longer texts need the wide sum.
    uint64_t head = 0;
    const size_t fast = std::min(n, i + 18);
    for (; i < fast; ++i) {
      const unsigned d = Unit(aText[i]) - '0';
      if (d > 9) return {};
      head = head * 10 + d;
    }
    value = head;
    for (; i < n; ++i) {
      const unsigned d = Unit(aText[i]) - '0';
      if (d > 9) return {};
      value = value * 10 + d;
      if (value > kSaturated) value = kSaturated;
    }
  }
  return {true, negative ? -value : value};
}

template <class C>
bool ReadFloat(std::basic_string_view<C> aText, long double& aValue) noexcept {
  const size_t n = aText.size();
  size_t i = 0;
  while (i < n && Unit(aText[i]) == ' ') ++i;
  const size_t start = i;
  if (i < n && (Unit(aText[i]) == '+' || Unit(aText[i]) == '-')) ++i;
  size_t digits = 0;
  auto isDigit = [&](size_t k) { return k < n && Unit(aText[k]) >= '0' && Unit(aText[k]) <= '9'; };
  while (isDigit(i)) ++i, ++digits;
  if (i < n && Unit(aText[i]) == '.') {
    ++i;
    while (isDigit(i)) ++i, ++digits;
  }
  if (digits == 0) return false;
  if (i < n && (Unit(aText[i]) == 'E' || Unit(aText[i]) == 'e')) {
    ++i;
    if (i < n && (Unit(aText[i]) == '+' || Unit(aText[i]) == '-')) ++i;
    if (!isDigit(i)) return false;
    while (isDigit(i)) ++i;
  }
  if (i != n) return false;
  // Only ASCII is left: copy it as the C reader's bytes.
  const size_t length = n - start;
  char fixed[128];
  std::unique_ptr<char[]> heap;
  char* bytes = fixed;
  if (length >= sizeof fixed) {
    heap.reset(new (std::nothrow) char[length + 1]);
    if (!heap) return false;
    bytes = heap.get();
  }
  for (size_t k = 0; k < length; ++k) bytes[k] = static_cast<char>(Unit(aText[start + k]));
  bytes[length] = 0;
  aValue = platform::CTextToExtended(bytes);
  return true;
}

}  // namespace

TnxIntegerText nxReadIntegerText(std::string_view aText, int aWidth) noexcept { return ReadInteger(aText, aWidth); }
TnxIntegerText nxReadIntegerText(std::u16string_view aText, int aWidth) noexcept {
  return ReadInteger(aText, aWidth);
}
bool nxReadFloatText(std::string_view aText, long double& aValue) noexcept { return ReadFloat(aText, aValue); }
bool nxReadFloatText(std::u16string_view aText, long double& aValue) noexcept { return ReadFloat(aText, aValue); }

}  // namespace revurov
