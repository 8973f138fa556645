// The C++ types of the value kinds that remote methods take and that have
// no standard type of their own: 8-bit short strings with a maximum
// length, sets over a small ordinal range, currency and comp amounts, the
// COM wide string, and the declared range of an enumeration.
//
// Contract:
// - TnxShortString<N> is laid out as its length byte and N bytes of 8-bit
//   text (the text is in the system's ANSI code page); Assign refuses a
//   text longer than N and leaves the string as it was.
// - TnxSet<Lo, Hi> stores element e in bit e mod 8 of byte e div 8 - Lo div
//   8, so it takes Hi div 8 - Lo div 8 + 1 bytes; Include, Exclude and
//   Contains ignore elements outside Lo..Hi.
// - TnxEnumRange<E> gives an enumeration's declared range; specialise it
//   for every enumeration that travels (REVUROV_ENUM_RANGE). Without one,
//   the whole range of its underlying type is declared.
#pragma once

#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <type_traits>

namespace revurov {

template <int N>
struct TnxShortString {
  static_assert(N >= 1 && N <= 255, "a short string holds 1 to 255 characters");
  static constexpr int kMaxLength = N;

  uint8_t ssLength = 0;
  char ssChars[N] = {};

  TnxShortString() = default;
  std::string_view View() const noexcept { return {ssChars, ssLength}; }
  bool Assign(std::string_view aText) noexcept {
    if (aText.size() > size_t(N)) return false;
    ssLength = uint8_t(aText.size());
    std::memcpy(ssChars, aText.data(), aText.size());
    return true;
  }
  friend bool operator==(const TnxShortString& a, const TnxShortString& b) noexcept { return a.View() == b.View(); }
};

template <int Lo, int Hi>
struct TnxSet {
  static_assert(0 <= Lo && Lo <= Hi && Hi <= 255, "set elements lie in 0..255");
  static constexpr int kLow = Lo, kHigh = Hi;
  static constexpr int kSize = Hi / 8 - Lo / 8 + 1;

  uint8_t stBytes[kSize] = {};

  void Include(int e) noexcept {
    if (e >= Lo && e <= Hi) stBytes[e / 8 - Lo / 8] |= uint8_t(1u << (e % 8));
  }
  void Exclude(int e) noexcept {
    if (e >= Lo && e <= Hi) stBytes[e / 8 - Lo / 8] &= uint8_t(~(1u << (e % 8)));
  }
  bool Contains(int e) const noexcept {
    return e >= Lo && e <= Hi && (stBytes[e / 8 - Lo / 8] & (1u << (e % 8))) != 0;
  }
  friend bool operator==(const TnxSet& a, const TnxSet& b) noexcept {
    return std::memcmp(a.stBytes, b.stBytes, kSize) == 0;
  }
};

// An amount scaled by 10,000.
struct TnxCurrency {
  int64_t cyValue = 0;
  friend bool operator==(const TnxCurrency&, const TnxCurrency&) = default;
};

// A 64-bit integer that travels as a floating-point kind.
struct TnxComp {
  int64_t cpValue = 0;
  friend bool operator==(const TnxComp&, const TnxComp&) = default;
};

// The COM wide string, a kind apart from the Unicode string.
struct TnxOleString {
  std::u16string osText;
  friend bool operator==(const TnxOleString&, const TnxOleString&) = default;
};

template <class E>
struct TnxEnumRange {
  static_assert(std::is_enum_v<E>);
  using U = std::underlying_type_t<E>;
  static constexpr int64_t kLow = int64_t(std::numeric_limits<U>::min());
  static constexpr int64_t kHigh = int64_t(std::numeric_limits<U>::max());
};

template <>
struct TnxEnumRange<bool> {
  static constexpr int64_t kLow = 0, kHigh = 1;
};

}  // namespace revurov

// Declares the range of enumeration E (at namespace revurov or global
// scope).
#define REVUROV_ENUM_RANGE(E, Lo, Hi)                      \
  template <>                                              \
  struct revurov::TnxEnumRange<E> {                        \
    static constexpr int64_t kLow = int64_t(Lo);           \
    static constexpr int64_t kHigh = int64_t(Hi);          \
  }
