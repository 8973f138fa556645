#include "platform/format.h"

#include <cmath>
#include <cstdio>
#include <vector>

#include "platform/rtl_exception.h"
#include "platform/text.h"

namespace revurov::platform {

TFormatSettings& FormatSettings() noexcept {
  static TFormatSettings settings;
  return settings;
}

namespace {

[[noreturn]] void Invalid(std::u16string_view fmt) {
  throw EConvertError(u"Format '" + std::u16string(fmt) + u"' invalid or incompatible with argument");
}

std::u16string Ascii(const std::string& s) { return std::u16string(s.begin(), s.end()); }

std::u16string Digits(uint64_t v, unsigned base) {
  static const char16_t kDigits[] = u"0123456789ABCDEF";
  std::u16string out;
  do {
    out.insert(out.begin(), kDigits[v % base]);
    v /= base;
  } while (v != 0);
  return out;
}

// The bit pattern a negative value has in its declared width, as the runtime
// shows it for %u and %x.
uint64_t AsPattern(const TFormatArg& a) {
  if (a.kind() == TFormatArg::Kind::UInt) return a.AsUInt();
  const int64_t v = a.AsInt();
  if (v < 0 && a.IsNarrowInt()) return static_cast<uint32_t>(v);
  return static_cast<uint64_t>(v);
}

std::u16string Fixed(long double v, int prec, bool thousands) {
  if (!std::isfinite(v)) return std::isnan(v) ? u"NAN" : (v < 0 ? u"-INF" : u"INF");
  char buf[512];
  std::snprintf(buf, sizeof buf, "%.*Lf", prec, v);
  std::u16string s = Ascii(buf);
  const auto& fs = FormatSettings();
  size_t dot = s.find(u'.');
  if (dot != std::u16string::npos) s[dot] = fs.DecimalSeparator;
  if (thousands) {
    size_t start = (s[0] == u'-') ? 1 : 0;
    size_t end = dot == std::u16string::npos ? s.size() : dot;
    for (size_t pos = end; pos > start + 3; pos -= 3) s.insert(pos - 3, 1, fs.ThousandSeparator);
  }
  return s;
}

std::u16string Scientific(long double v, int prec) {
  if (!std::isfinite(v)) return std::isnan(v) ? u"NAN" : (v < 0 ? u"-INF" : u"INF");
  if (prec < 1) prec = 1;
  if (prec > 18) prec = 18;
  char buf[128];
  std::snprintf(buf, sizeof buf, "%.*LE", prec - 1, v);
  std::string s(buf);
  // printf gives E+dd; the runtime shows at least three exponent digits.
  size_t e = s.find('E');
  std::string mant = s.substr(0, e);
  char sign = s[e + 1];
  std::string exp = s.substr(e + 2);
  while (exp.size() < 3) exp.insert(exp.begin(), '0');
  std::u16string out = Ascii(mant + "E" + sign + exp);
  size_t dot = out.find(u'.');
  if (dot != std::u16string::npos) out[dot] = FormatSettings().DecimalSeparator;
  return out;
}

std::u16string General(long double v, int prec) {
  if (!std::isfinite(v)) return std::isnan(v) ? u"NAN" : (v < 0 ? u"-INF" : u"INF");
  if (prec < 1 || prec > 18) prec = 15;
  char buf[128];
  std::snprintf(buf, sizeof buf, "%.*LG", prec, v);
  std::string s(buf);
  size_t e = s.find('E');
  if (e != std::string::npos) {
    // E+20 -> E20, E-07 -> E-7
    std::string mant = s.substr(0, e);
    char sign = s[e + 1];
    std::string exp = s.substr(e + 2);
    while (exp.size() > 1 && exp[0] == '0') exp.erase(exp.begin());
    s = mant + "E" + (sign == '-' ? "-" : "") + exp;
  }
  std::u16string out = Ascii(s);
  size_t dot = out.find(u'.');
  if (dot != std::u16string::npos) out[dot] = FormatSettings().DecimalSeparator;
  return out;
}

}  // namespace

std::u16string Format(std::u16string_view fmt, std::initializer_list<TFormatArg> args) {
  std::vector<const TFormatArg*> av;
  av.reserve(args.size());
  for (const auto& a : args) av.push_back(&a);

  std::u16string out;
  size_t next = 0;
  size_t i = 0;
  const size_t n = fmt.size();

  auto read_number = [&](int& value, bool allow_star) -> bool {
    if (allow_star && i < n && fmt[i] == u'*') {
      ++i;
      if (next >= av.size() || av[next]->kind() != TFormatArg::Kind::Int) Invalid(fmt);
      value = static_cast<int>(av[next++]->AsInt());
      return true;
    }
    bool any = false;
    value = 0;
    while (i < n && fmt[i] >= u'0' && fmt[i] <= u'9') {
      if (value > 100000) Invalid(fmt);
      value = value * 10 + (fmt[i] - u'0');
      ++i;
      any = true;
    }
    return any;
  };

  while (i < n) {
    const char16_t c = fmt[i];
    if (c != u'%') {
      out.push_back(c);
      ++i;
      continue;
    }
    ++i;
    if (i >= n) Invalid(fmt);
    if (fmt[i] == u'%') {
      out.push_back(u'%');
      ++i;
      continue;
    }
    bool left = false;
    int width = -1;
    int prec = -1;
    int num = 0;
    // index, flag, width
    size_t save = i;
    if (read_number(num, false) && i < n && fmt[i] == u':') {
      next = static_cast<size_t>(num);
      ++i;
    } else {
      i = save;
    }
    if (i < n && fmt[i] == u'-') {
      left = true;
      ++i;
    }
    if (read_number(num, true)) width = num;
    if (i < n && fmt[i] == u'.') {
      ++i;
      if (read_number(num, true)) prec = num; else prec = 0;
    }
    if (i >= n) Invalid(fmt);
    const char16_t type = AsciiUpper(fmt[i++]);
    if (next >= av.size()) Invalid(fmt);
    const TFormatArg& a = *av[next++];
    const bool is_int = a.kind() == TFormatArg::Kind::Int || a.kind() == TFormatArg::Kind::UInt;
    std::u16string piece;
    switch (type) {
      case u'D': {
        if (!is_int) Invalid(fmt);
        bool neg = a.kind() == TFormatArg::Kind::Int && a.AsInt() < 0;
        uint64_t mag = a.kind() == TFormatArg::Kind::UInt
                           ? a.AsUInt()
                           : (neg ? 0 - static_cast<uint64_t>(a.AsInt()) : static_cast<uint64_t>(a.AsInt()));
        piece = Digits(mag, 10);
        if (prec > 0 && piece.size() < static_cast<size_t>(prec)) piece.insert(0, prec - piece.size(), u'0');
        if (neg) piece.insert(piece.begin(), u'-');
        break;
      }
      case u'U':
      case u'X': {
        if (!is_int) Invalid(fmt);
        piece = Digits(AsPattern(a), type == u'U' ? 10 : 16);
        if (prec > 0 && piece.size() < static_cast<size_t>(prec)) piece.insert(0, prec - piece.size(), u'0');
        break;
      }
      case u'E':
        if (a.kind() != TFormatArg::Kind::Float) Invalid(fmt);
        piece = Scientific(a.AsFloat(), prec < 0 ? 15 : prec);
        break;
      case u'F':
      case u'N':
        if (a.kind() != TFormatArg::Kind::Float) Invalid(fmt);
        piece = Fixed(a.AsFloat(), prec < 0 ? 2 : (prec > 18 ? 18 : prec), type == u'N');
        break;
      case u'G':
        if (a.kind() != TFormatArg::Kind::Float) Invalid(fmt);
        piece = General(a.AsFloat(), prec < 0 ? 15 : prec);
        break;
      case u'P':
        if (a.kind() != TFormatArg::Kind::Ptr) Invalid(fmt);
        piece = Digits(reinterpret_cast<uintptr_t>(a.AsPtr()), 16);
        piece.insert(0, 16 - piece.size(), u'0');
        break;
      case u'S':
        if (a.kind() == TFormatArg::Kind::Str16) piece = std::u16string(a.AsStr16());
        else if (a.kind() == TFormatArg::Kind::Str8) piece = Utf8ToUtf16(a.AsStr8());
        else Invalid(fmt);
        if (prec >= 0 && piece.size() > static_cast<size_t>(prec)) piece.resize(static_cast<size_t>(prec));
        break;
      default:
        Invalid(fmt);
    }
    if (width > 0 && piece.size() < static_cast<size_t>(width)) {
      const size_t pad = static_cast<size_t>(width) - piece.size();
      if (left) piece.append(pad, u' ');
      else piece.insert(0, pad, u' ');
    }
    out += piece;
  }
  return out;
}

std::string Format(std::string_view fmt, std::initializer_list<TFormatArg> args) {
  return Utf16ToUtf8(Format(std::u16string_view(Utf8ToUtf16(fmt)), args));
}

}  // namespace revurov::platform
