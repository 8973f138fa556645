#include "platform/locale.h"

#include <unicode/ucol.h>
#include <unicode/udat.h>
#include <unicode/uloc.h>
#include <unicode/unum.h>

#include <algorithm>

#include "platform/code_page.h"
#include "platform/locale_text.h"
#include "platform/rtl_exception.h"
#include "platform/text.h"

namespace revurov::platform {

namespace {
thread_local uint32_t tlsThreadLocale = 0;  // 0: not set, the user's locale
}  // namespace

uint32_t GetThreadLocale() {
  if (tlsThreadLocale) return tlsThreadLocale;
  const uint32_t user = uloc_getLCID(UserLocale().c_str());
  return user ? user : 1031;
}

void SetThreadLocale(uint32_t lcid) noexcept { tlsThreadLocale = lcid; }

std::string LocaleNameForLCID(uint32_t lcid) {
  if (lcid == LOCALE_INVARIANT) return "en_US_POSIX";
  // ICU's answer for an LCID never changes; mapping one token after another
  // asks for the same LCID over and over.
  thread_local uint32_t tlsLastLcid = 0;
  thread_local std::string tlsLastName;
  if (lcid != 0 && lcid == tlsLastLcid) return tlsLastName;
  char buf[ULOC_FULLNAME_CAPACITY] = {};
  UErrorCode status = U_ZERO_ERROR;
  int32_t n = uloc_getLocaleForLCID(lcid, buf, sizeof buf - 1, &status);
  if (U_FAILURE(status) || n <= 0) return {};
  tlsLastName.assign(buf, static_cast<size_t>(n));
  tlsLastLcid = lcid;
  return tlsLastName;
}

uint32_t LocaleAnsiCodePage(uint32_t lcid) {
  const std::string name = LocaleNameForLCID(lcid);
  if (name.empty()) return 0;
  char lang[ULOC_LANG_CAPACITY] = {}, script[ULOC_SCRIPT_CAPACITY] = {}, country[ULOC_COUNTRY_CAPACITY] = {};
  UErrorCode st = U_ZERO_ERROR;
  uloc_getLanguage(name.c_str(), lang, sizeof lang, &st);
  st = U_ZERO_ERROR;
  uloc_getScript(name.c_str(), script, sizeof script, &st);
  st = U_ZERO_ERROR;
  uloc_getCountry(name.c_str(), country, sizeof country, &st);
  const std::string l = lang, s = script, c = country;
  auto in = [&l](std::initializer_list<const char*> langs) {
    return std::any_of(langs.begin(), langs.end(), [&l](const char* x) { return l == x; });
  };
  if (s == "Cyrl" || (s != "Latn" && in({"ru", "uk", "be", "bg", "mk", "kk", "ky", "mn", "tt", "ba", "sah"})))
    return 1251;
  if (in({"cs", "pl", "hu", "hr", "sk", "sl", "ro", "sq", "sr", "bs", "hsb", "dsb", "tk"})) return 1250;
  if (in({"el"})) return 1253;
  if (in({"tr", "az", "uz"})) return 1254;
  if (in({"he", "yi"})) return 1255;
  if (in({"ar", "fa", "ur", "ps", "prs", "ug"})) return 1256;
  if (in({"et", "lv", "lt"})) return 1257;
  if (in({"vi"})) return 1258;
  if (in({"th"})) return 874;
  if (in({"ja"})) return 932;
  if (in({"ko"})) return 949;
  if (l == "zh") return (c == "TW" || c == "HK" || c == "MO" || s == "Hant") ? 950 : 936;
  // Scripts without an ANSI code page of their own.
  if (in({"hi", "mr", "sa", "kok", "bn", "pa", "gu", "or", "ta", "te", "kn", "ml", "as", "hy", "ka",
          "ne", "si", "km", "lo", "am", "bo", "dv", "syr", "iu", "chr"}))
    return 0;
  return 1252;
}

std::u16string LocaleDisplayName(uint32_t lcid) {
  const std::string name = LocaleNameForLCID(lcid);
  if (name.empty()) return {};
  UChar buf[256];
  UErrorCode st = U_ZERO_ERROR;
  int32_t n = uloc_getDisplayName(name.c_str(), "en", buf, 256, &st);
  if (U_FAILURE(st) || n <= 0) return Utf8ToUtf16(name);
  return std::u16string(reinterpret_cast<const char16_t*>(buf), static_cast<size_t>(std::min(n, 256)));
}

const std::vector<uint32_t>& InstalledLocales() {
  static const std::vector<uint32_t> list = [] {
    std::vector<uint32_t> ids;
    for (int32_t i = 0, n = uloc_countAvailable(); i < n; ++i) {
      uint32_t id = uloc_getLCID(uloc_getAvailable(i));
      if (id != 0) ids.push_back(id);
    }
    ids.push_back(LOCALE_INVARIANT);
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    return ids;
  }();
  return list;
}

const std::vector<TCodePageInfo>& InstalledCodePages() {
  static const std::vector<TCodePageInfo> list = [] {
    // The Windows code pages a client may name; each kept when the
    // code-page conversion has a converter for it.
    static const uint32_t candidates[] = {
        37,    437,   500,   708,   720,   737,   775,   850,   852,   855,   857,   858,   860,   861,
        862,   863,   864,   865,   866,   869,   870,   874,   875,   932,   936,   949,   950,   1026,
        1047,  1140,  1141,  1142,  1143,  1144,  1145,  1146,  1147,  1148,  1149,  1250,  1251,  1252,
        1253,  1254,  1255,  1256,  1257,  1258,  1361,  10000, 10006, 10007, 10029, 10079, 10081, 20127,
        20866, 20932, 20936, 21866, 28591, 28592, 28593, 28594, 28595, 28596, 28597, 28598, 28599, 28603,
        28605, 50220, 50221, 50222, 50225, 51932, 51949, 52936, 54936, 65001};
    std::vector<TCodePageInfo> pages;
    for (uint32_t cp : candidates) {
      try {
        UnicodeToCodePageLossy(u"a", cp);
      } catch (const EConvertError&) {
        continue;
      }
      pages.push_back({cp, Format(u"%u", {cp})});
    }
    return pages;
  }();
  return list;
}

namespace {

bool IsPatternLetter(char16_t c) { return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z'); }

// An ICU date or time pattern in the runtime's specifiers; the first
// separator between fields goes to aSeparator. Years take four digits, as
// the platform's short dates do.
std::u16string RuntimeFormatOf(std::u16string_view icu, char16_t& aSeparator) {
  std::u16string out;
  bool separatorSeen = false;
  for (size_t i = 0; i < icu.size();) {
    const char16_t c = icu[i];
    if (c == u'\'') {
      const size_t end = icu.find(u'\'', i + 1);
      const size_t stop = end == std::u16string_view::npos ? icu.size() : end;
      if (stop == i + 1) {
        out += u"\"'\"";  // '' is a quote itself
      } else {
        out += u'"';
        out += icu.substr(i + 1, stop - i - 1);
        out += u'"';
      }
      i = stop == icu.size() ? stop : stop + 1;
      continue;
    }
    if (!IsPatternLetter(c)) {
      if (!separatorSeen && c != u' ' && c != u',' && c != 0x00A0 && c != 0x202F) {
        aSeparator = c;
        separatorSeen = true;
      }
      // The runtime's locales join time and AM/PM with a plain blank, so
      // text written with them fits 8-bit fields and reads back.
      if (c == u'"') out += u"'\"'";
      else if (c == 0x00A0 || c == 0x202F) out += u' ';
      else out += c;
      ++i;
      continue;
    }
    size_t n = 1;
    while (i + n < icu.size() && icu[i + n] == c) ++n;
    i += n;
    switch (c) {
      case u'y': case u'Y': case u'u': out += u"yyyy"; break;
      case u'M': case u'L': out += n == 1 ? u"m" : n == 2 ? u"mm" : n == 3 ? u"mmm" : u"mmmm"; break;
      case u'd': out += n == 1 ? u"d" : u"dd"; break;
      case u'E': case u'c': case u'e': out += n <= 3 ? u"ddd" : u"dddd"; break;
      case u'H': case u'k': case u'h': case u'K': out += n == 1 ? u"h" : u"hh"; break;
      case u'm': out += n == 1 ? u"n" : u"nn"; break;
      case u's': out += n == 1 ? u"s" : u"ss"; break;
      case u'S': out += n == 1 ? u"z" : n == 2 ? u"zz" : u"zzz"; break;
      case u'a': case u'b': case u'B': out += u"AMPM"; break;
      default: break;  // eras, zones and the like have no runtime form
    }
  }
  // A field dropped at either end leaves its separating blank behind.
  while (!out.empty() && out.back() == u' ') out.pop_back();
  return out;
}

std::u16string IcuPattern(UDateFormatStyle timeStyle, UDateFormatStyle dateStyle, const std::string& locale) {
  UErrorCode st = U_ZERO_ERROR;
  UDateFormat* df = udat_open(timeStyle, dateStyle, locale.c_str(), nullptr, -1, nullptr, -1, &st);
  if (U_FAILURE(st) || !df) return {};
  UChar buf[128];
  st = U_ZERO_ERROR;
  const int32_t n = udat_toPattern(df, false, buf, 128, &st);
  udat_close(df);
  if (U_FAILURE(st) || n <= 0 || n > 128) return {};
  return std::u16string(reinterpret_cast<const char16_t*>(buf), static_cast<size_t>(n));
}

void FillDateTimeSettings(const std::string& locale, TFormatSettings& fs) {
  const std::u16string date = IcuPattern(UDAT_NONE, UDAT_SHORT, locale);
  const std::u16string time = IcuPattern(UDAT_MEDIUM, UDAT_NONE, locale);
  if (date.empty() || time.empty()) return;
  fs.ShortDateFormat = RuntimeFormatOf(date, fs.DateSeparator);
  fs.LongTimeFormat = RuntimeFormatOf(time, fs.TimeSeparator);
  UErrorCode st = U_ZERO_ERROR;
  UDateFormat* df = udat_open(UDAT_MEDIUM, UDAT_NONE, locale.c_str(), nullptr, -1, nullptr, -1, &st);
  if (U_FAILURE(st) || !df) return;
  for (int i = 0; i < 2; ++i) {
    UChar buf[32];
    st = U_ZERO_ERROR;
    const int32_t n = udat_getSymbols(df, UDAT_AM_PMS, i, buf, 32, &st);
    if (U_SUCCESS(st) && n > 0 && n <= 32)
      (i == 0 ? fs.TimeAMString : fs.TimePMString).assign(reinterpret_cast<const char16_t*>(buf), static_cast<size_t>(n));
  }
  udat_close(df);
}

}  // namespace

TFormatSettings LocaleFormatSettings(uint32_t lcid) {
  TFormatSettings fs;
  if (lcid == LOCALE_INVARIANT) return fs;
  const std::string name = LocaleNameForLCID(lcid);
  UErrorCode st = U_ZERO_ERROR;
  UNumberFormat* nf = unum_open(UNUM_DECIMAL, nullptr, 0, name.c_str(), nullptr, &st);
  if (U_FAILURE(st) || !nf) return fs;
  UChar sym[8];
  st = U_ZERO_ERROR;
  if (unum_getSymbol(nf, UNUM_DECIMAL_SEPARATOR_SYMBOL, sym, 8, &st) == 1 && U_SUCCESS(st))
    fs.DecimalSeparator = sym[0];
  st = U_ZERO_ERROR;
  if (unum_getSymbol(nf, UNUM_GROUPING_SEPARATOR_SYMBOL, sym, 8, &st) == 1 && U_SUCCESS(st))
    fs.ThousandSeparator = sym[0];
  unum_close(nf);
  if (!name.empty()) FillDateTimeSettings(name, fs);
  return fs;
}

TCollationVersion LocaleCollationVersion(uint32_t lcid) {
  TCollationVersion v;
  UErrorCode st = U_ZERO_ERROR;
  const std::string name = LocaleNameForLCID(lcid);
  UCollator* c = ucol_open(name.c_str(), &st);
  if (U_FAILURE(st) || !c) return v;
  UVersionInfo ver, uca;
  ucol_getVersion(c, ver);
  ucol_getUCAVersion(c, uca);
  std::copy(ver, ver + 4, v.version.begin());
  std::copy(uca, uca + 4, v.ucaVersion.begin());
  v.ok = true;
  ucol_close(c);
  return v;
}

}  // namespace revurov::platform
