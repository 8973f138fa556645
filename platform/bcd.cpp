#include "platform/bcd.h"

#include <cmath>
#include <cstring>

namespace revurov::platform {

TBcd BcdZero() noexcept {
  TBcd b;
  b.Precision = 8;
  b.SignSpecialPlaces = 2;
  return b;
}

bool BcdEquals(const TBcd& a, const TBcd& b) noexcept {
  return a.Precision == b.Precision && a.SignSpecialPlaces == b.SignSpecialPlaces &&
         std::memcmp(a.Fraction, b.Fraction, sizeof a.Fraction) == 0;
}

std::u16string BcdToStr(const TBcd& aBcd, char16_t aSeparator) {
  const int p = aBcd.Precision, s = BcdScale(aBcd);
  // A scale above the precision would put the separator before the first
  // stored digit; the record comes off the wire, so it is refused.
  if (p == 0 || p > kMaxBcdDigits || s > p) throw EBcdOverflowException(u"BCD overflow");
  std::u16string out;
  out.reserve(size_t(p) + 2);
  for (int i = 0; i < p; ++i) {
    if (i == p - s) {
      if (out.empty()) out.push_back(u'0');
      out.push_back(aSeparator);
    }
    const int d = BcdDigit(aBcd, i);
    if (d == 0 && out.empty()) continue;
    out.push_back(char16_t(u'0' + d));
  }
  if (p - s > 0 && p - s < p) {
    while (out.size() > 1 && out.back() == u'0') out.pop_back();
    if (!out.empty() && out.back() == aSeparator) out.pop_back();
  }
  if (out.empty()) out.assign(1, u'0');
  if (BcdIsNegative(aBcd)) out.insert(out.begin(), u'-');
  const char16_t zeroPoint[] = {u'0', aSeparator, u'0', 0};
  const std::u16string_view v = out;
  if (v == u"-0" || v == zeroPoint || (v.size() == 4 && v[0] == u'-' && v.substr(1) == zeroPoint))
    return std::u16string(1, u'0');
  return out;
}

bool TryStrToBcd(std::u16string_view aText, TBcd& aBcd, char16_t aSeparator) noexcept {
  if (aText.empty() || aText == u"0") {
    aBcd = BcdZero();
    return true;
  }
  // Only a leading sign and one separator: a sign or a second separator
  // further on would otherwise be packed as a digit nibble.
  int separators = 0;
  bool anyDigit = false;
  for (size_t i = 0; i < aText.size(); ++i) {
    const char16_t c = aText[i];
    if (c == aSeparator) {
      if (++separators > 1) return false;
    } else if (c == u'-') {
      if (i != 0) return false;
    } else if (c >= u'0' && c <= u'9') {
      anyDigit = true;
    } else {
      return false;
    }
  }
  if (!anyDigit) return false;
  const size_t sep = aText.find(aSeparator);
  int p = sep == std::u16string_view::npos ? 0 : int(sep) + 1;
  size_t i = 0;
  auto skip = [&] {
    ++i;
    if (p > 0) --p;
  };
  while (i < aText.size() && aText[i] == u'0') skip();
  bool negative = false;
  if (i < aText.size() && aText[i] == u'-') {
    negative = true;
    skip();
    if (i < aText.size() && aText[i] == u'0') skip();
  }
  std::u16string_view rest = aText.substr(i);
  if (rest.find_first_of(u"0123456789") == std::u16string_view::npos) {
    // Only zeros, all of them skipped: "-0", "0.", "00".
    aBcd = BcdZero();
    return true;
  }
  int e = int(rest.size());
  if (e > kMaxBcdDigits) {
    if (p < 1 || p > kMaxBcdDigits) return false;
    e = kMaxBcdDigits;
  }
  TBcd b;
  int k = 0;
  for (int j = 0; j < e; ++j)
    if (rest[size_t(j)] != aSeparator) SetBcdDigit(b, k++, rest[size_t(j)] - u'0');
  if (p > 0) {
    b.Precision = uint8_t(e - 1);
    b.SignSpecialPlaces = uint8_t(e - p);
  } else {
    b.Precision = uint8_t(e);
  }
  if (negative) b.SignSpecialPlaces |= kBcdNegative;
  aBcd = b;
  return true;
}

bool BcdToCurr(const TBcd& aBcd, int64_t& aCurrency) noexcept {
  const int p = aBcd.Precision;
  if (p == 0 || p > kMaxBcdDigits) return false;
  long double v = 0;
  for (int i = 0; i < p; ++i) v = v * 10 + BcdDigit(aBcd, i);
  if (BcdIsNegative(aBcd)) v = -v;
  const int shift = 4 - BcdScale(aBcd);
  // Dividing keeps 10^k exact where multiplying by 10^-k would not be.
  if (shift >= 0)
    v *= std::pow(10.0L, shift);
  else
    v /= std::pow(10.0L, -shift);
  const long double r = std::nearbyintl(v);  // ties to even in the default mode
  if (!(r >= -9223372036854775808.0L && r < 9223372036854775808.0L)) return false;
  aCurrency = static_cast<int64_t>(r);
  return true;
}

TBcd CurrToBcd(int64_t aCurrency) noexcept {
  TBcd b;
  b.Precision = 32;
  b.SignSpecialPlaces = 4;
  uint64_t m = aCurrency < 0 ? 0 - static_cast<uint64_t>(aCurrency) : static_cast<uint64_t>(aCurrency);
  for (int i = 31; i >= 0 && m != 0; --i, m /= 10) SetBcdDigit(b, i, int(m % 10));
  if (aCurrency < 0) b.SignSpecialPlaces |= kBcdNegative;
  return b;
}

namespace {

// The significant digits: integer part without leading zeros, fraction
// without trailing zeros.
void Significant(const TBcd& b, std::string& whole, std::string& frac) {
  const int p = b.Precision > kMaxBcdDigits ? kMaxBcdDigits : b.Precision;
  const int s = BcdScale(b) > p ? p : BcdScale(b);
  for (int i = 0; i < p - s; ++i) {
    const int d = BcdDigit(b, i);
    if (d != 0 || !whole.empty()) whole.push_back(char('0' + d));
  }
  for (int i = p - s; i < p; ++i) frac.push_back(char('0' + BcdDigit(b, i)));
  while (!frac.empty() && frac.back() == '0') frac.pop_back();
}

int CompareMagnitude(const std::string& wa, const std::string& fa, const std::string& wb,
                     const std::string& fb) {
  if (wa.size() != wb.size()) return wa.size() < wb.size() ? -1 : 1;
  if (int c = wa.compare(wb)) return c < 0 ? -1 : 1;
  if (int c = fa.compare(fb)) return c < 0 ? -1 : 1;
  return 0;
}

}  // namespace

int BcdCompare(const TBcd& a, const TBcd& b) noexcept {
  std::string wa, fa, wb, fb;
  Significant(a, wa, fa);
  Significant(b, wb, fb);
  const bool za = wa.empty() && fa.empty(), zb = wb.empty() && fb.empty();
  const int sa = za ? 0 : (BcdIsNegative(a) ? -1 : 1);
  const int sb = zb ? 0 : (BcdIsNegative(b) ? -1 : 1);
  if (sa != sb) return sa < sb ? -1 : 1;
  if (sa == 0) return 0;
  const int m = CompareMagnitude(wa, fa, wb, fb);
  return sa < 0 ? -m : m;
}

}  // namespace revurov::platform
