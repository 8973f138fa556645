#include "platform/nls.h"

#include <unicode/uchar.h>
#include <unicode/ucnv.h>
#include <unicode/ucol.h>
#include <unicode/uloc.h>
#include <unicode/unorm2.h>
#include <unicode/ustring.h>
#include <unicode/utrans.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/code_page.h"
#include "platform/locale.h"
#include "platform/locale_text.h"
#include "platform/os_error.h"

namespace revurov::platform {

namespace {

int Fail(int error) {
  SetLastOSError(static_cast<uint32_t>(error));
  return 0;
}

const UChar* U(const char16_t* p) { return reinterpret_cast<const UChar*>(p); }
UChar* U(char16_t* p) { return reinterpret_cast<UChar*>(p); }

// ---- converters ----

enum ConverterMode : uint8_t { kSubstitute = 0, kStrict = 1, kNoBestFit = 2 };

struct CachedConverter {
  uint32_t code_page = 0;
  uint8_t mode = 0;
  bool single_byte = false;  // one byte per character both ways
  UConverter* conv = nullptr;
};

// ICU converters keep conversion state, so each thread has its own few,
// most recently used first. The cache is trivially constructed so that the
// hit path costs no thread-local initialisation check; a closer object is
// set up with the first converter a thread opens.
struct ThreadConverters {
  std::array<CachedConverter, 6> entries;
};
constinit thread_local ThreadConverters tlsConverters{};

struct ThreadConvertersCloser {
  ~ThreadConvertersCloser() {
    for (auto& e : tlsConverters.entries) {
      if (e.conv) ucnv_close(e.conv);
      e.conv = nullptr;
    }
  }
};

bool IsUnicode(const UConverter* conv) {
  const UConverterType type = ucnv_getType(conv);
  return type == UCNV_UTF8 || type == UCNV_UTF7 || type == UCNV_CESU8;
}

UConverter* OpenConverter(uint32_t code_page, uint8_t mode) {
  UConverter* conv = OpenCodePageConverter(code_page);
  if (!conv) return nullptr;
  UErrorCode err = U_ZERO_ERROR;
  bool set = true;
  if (mode & kStrict) {
    ucnv_setToUCallBack(conv, UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &err);
    set = SetStrictFromUnicode(conv);
  } else {
    if (!IsUnicode(conv)) {
      // The platform's default character; the UTF converters keep U+FFFD.
      static const UChar question = u'?';
      ucnv_setSubstString(conv, &question, 1, &err);
    }
    // Every unmappable character is substituted, ignorable ones too, so
    // that a single-byte length query is one byte per character.
    set = SetSubstitutingFromUnicode(conv);
  }
  ucnv_setFallback(conv, (mode & kNoBestFit) == 0);
  if (U_FAILURE(err) || !set) {
    ucnv_close(conv);
    return nullptr;
  }
  return conv;
}

CachedConverter* OpenCachedConverter(uint32_t code_page, uint8_t mode) {
  auto& entries = tlsConverters.entries;
  for (size_t i = 1; i < entries.size() && entries[i].conv; ++i) {
    if (entries[i].code_page == code_page && entries[i].mode == mode) {
      std::swap(entries[0], entries[i]);
      return &entries[0];
    }
  }
  thread_local ThreadConvertersCloser tlsCloser;
  (void)tlsCloser;
  UConverter* conv = OpenConverter(code_page, mode);
  if (!conv) return nullptr;
  if (entries.back().conv) ucnv_close(entries.back().conv);
  for (size_t i = entries.size() - 1; i > 0; --i) entries[i] = entries[i - 1];
  entries[0] = {code_page, mode, !IsUnicode(conv) && ucnv_getMinCharSize(conv) == 1 && ucnv_getMaxCharSize(conv) == 1,
                conv};
  return &entries[0];
}

// The hit on the most recent converter is inlined into every conversion.
inline CachedConverter* Converter(uint32_t code_page, uint8_t mode) {
  if (code_page <= CP_THREAD_ACP) code_page = ResolveCodePage(code_page);
  CachedConverter& first = tlsConverters.entries[0];
  if (first.conv && first.code_page == code_page && first.mode == mode) [[likely]]
    return &first;
  return OpenCachedConverter(code_page, mode);
}

bool BadBuffers(const void* src, int src_len, const void* dst, int dst_len) {
  return !src || src_len == 0 || src_len < -1 || dst_len < 0 || (dst_len > 0 && !dst);
}

int ConversionFailure(UErrorCode err) {
  if (err == U_BUFFER_OVERFLOW_ERROR) return Fail(ENOBUFS);
  if (err == U_INVALID_CHAR_FOUND || err == U_ILLEGAL_CHAR_FOUND || err == U_TRUNCATED_CHAR_FOUND)
    return Fail(EILSEQ);
  return Fail(EINVAL);
}

// Characters a single-byte code page turns a UTF-16 text into: a surrogate
// pair is one character, and so is a lone surrogate (it is substituted).
int CodePointCount(const char16_t* s, int n) {
  // Most texts hold no surrogate at all, which one pass without carried
  // state shows; for short texts the pair count's tail loop cost more.
  uint16_t surrogates = 0;
  for (int i = 0; i < n; ++i) surrogates |= static_cast<uint16_t>((s[i] & 0xF800) == 0xD800);
  if (!surrogates) return n;
  // Pairs cannot overlap (no unit is both high and low), so a branch-free
  // count is exact; 16-bit partial sums let the compiler use 8 lanes.
  int pairs = 0;
  for (int start = 0; start + 1 < n;) {
    const int end = std::min(n - 1, start + 0xFFFF);
    uint16_t block = 0;
    for (int i = start; i < end; ++i)
      block += static_cast<uint16_t>(((s[i] & 0xFC00) == 0xD800) & ((s[i + 1] & 0xFC00) == 0xDC00));
    pairs += block;
    start = end;
  }
  return n - pairs;
}

// ---- locales ----

bool IsDefaultLocale(uint32_t locale) {
  return locale == 0 || locale == LOCALE_USER_DEFAULT || locale == LOCALE_SYSTEM_DEFAULT;
}

std::string LocaleName(uint32_t locale) {
  if (IsDefaultLocale(locale)) return UserLocale();
  if (locale == LOCALE_INVARIANT) return "root";  // the collation without tailoring
  return LocaleNameForLCID(locale);
}

constexpr uint32_t kCompareFlags = NORM_IGNORECASE | NORM_IGNORENONSPACE | NORM_IGNORESYMBOLS |
                                   LINGUISTIC_IGNORECASE | LINGUISTIC_IGNOREDIACRITIC | SORT_STRINGSORT |
                                   NORM_IGNOREKANATYPE | NORM_IGNOREWIDTH | NORM_LINGUISTIC_CASING;

struct CachedCollator {
  std::string locale;
  uint32_t flags = 0;
  UCollator* coll = nullptr;
};

// The one place compare flags become collator settings.
UCollator* OpenCollator(const std::string& locale, uint32_t flags) {
  UErrorCode err = U_ZERO_ERROR;
  UCollator* coll = ucol_open(locale.c_str(), &err);
  if (U_FAILURE(err)) return nullptr;
  const bool ignore_case = flags & (NORM_IGNORECASE | LINGUISTIC_IGNORECASE);
  const bool ignore_marks = flags & (NORM_IGNORENONSPACE | LINGUISTIC_IGNOREDIACRITIC);
  const bool ignore_width = flags & (NORM_IGNOREWIDTH | NORM_IGNOREKANATYPE);
  if (ignore_marks || ignore_case || ignore_width) {
    ucol_setStrength(coll, ignore_marks ? UCOL_PRIMARY : UCOL_SECONDARY);
    // Case stays significant unless asked for, while marks or width go.
    if (!ignore_case) ucol_setAttribute(coll, UCOL_CASE_LEVEL, UCOL_ON, &err);
  }
  if (flags & NORM_IGNORESYMBOLS) ucol_setAttribute(coll, UCOL_ALTERNATE_HANDLING, UCOL_SHIFTED, &err);
  if (U_FAILURE(err)) {
    ucol_close(coll);
    return nullptr;
  }
  return coll;
}

class ThreadCollators {
public:
  ~ThreadCollators() {
    for (auto& e : entries_) ucol_close(e.coll);
  }

  UCollator* Get(const std::string& locale, uint32_t flags) {
    for (size_t i = 0; i < entries_.size(); ++i) {
      if (entries_[i].flags == flags && entries_[i].locale == locale) {
        if (i) std::swap(entries_[0], entries_[i]);
        return entries_[0].coll;
      }
    }
    UCollator* coll = OpenCollator(locale, flags);
    if (!coll) return nullptr;
    if (entries_.size() >= 8) {
      ucol_close(entries_.back().coll);
      entries_.pop_back();
    }
    entries_.insert(entries_.begin(), CachedCollator{locale, flags, coll});
    return coll;
  }

private:
  std::vector<CachedCollator> entries_;
};

UCollator* Collator(uint32_t locale, uint32_t flags) {
  thread_local ThreadCollators tlsCollators;
  const std::string name = LocaleName(locale);
  if (name.empty()) return nullptr;
  return tlsCollators.Get(name, flags & kCompareFlags);
}

// ---- mapping ----

class ThreadTransliterators {
public:
  ~ThreadTransliterators() {
    for (auto& e : entries_) utrans_close(e.second);
  }
  UTransliterator* Get(const char16_t* id) {
    for (auto& e : entries_)
      if (e.first == id) return e.second;
    UErrorCode err = U_ZERO_ERROR;
    UTransliterator* t = utrans_openU(U(id), -1, UTRANS_FORWARD, nullptr, 0, nullptr, &err);
    if (U_FAILURE(err)) return nullptr;
    entries_.emplace_back(id, t);
    return t;
  }

private:
  std::vector<std::pair<const char16_t*, UTransliterator*>> entries_;
};

bool Transliterate(const char16_t* id, std::u16string& text) {
  thread_local ThreadTransliterators tlsTransliterators;
  UTransliterator* t = tlsTransliterators.Get(id);
  if (!t) return false;
  int32_t len = static_cast<int32_t>(text.size());
  int32_t limit = len;
  for (;;) {
    std::u16string buf = text;
    buf.resize(static_cast<size_t>(limit) * 2 + 16);
    UErrorCode err = U_ZERO_ERROR;
    int32_t n = len, lim = len;
    utrans_transUChars(t, U(buf.data()), &n, static_cast<int32_t>(buf.size()), 0, &lim, &err);
    if (err == U_BUFFER_OVERFLOW_ERROR) {
      limit = n;
      continue;
    }
    if (U_FAILURE(err)) return false;
    buf.resize(static_cast<size_t>(lim));
    text = std::move(buf);
    return true;
  }
}

bool Normalize(const UNormalizer2* norm, std::u16string& text) {
  UErrorCode err = U_ZERO_ERROR;
  const auto len = static_cast<int32_t>(text.size());
  const int32_t need = unorm2_normalize(norm, U(text.data()), len, nullptr, 0, &err);
  if (err != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(err)) return false;
  std::u16string out(static_cast<size_t>(need), u'\0');
  err = U_ZERO_ERROR;
  unorm2_normalize(norm, U(text.data()), len, U(out.data()), need, &err);
  if (U_FAILURE(err)) return false;
  text = std::move(out);
  return true;
}

template <typename Keep>
void Filter(std::u16string& text, Keep keep) {
  std::u16string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    UChar32 c;
    const size_t start = i;
    U16_NEXT(text.data(), i, text.size(), c);
    if (keep(c)) out.append(text, start, i - start);
  }
  text = std::move(out);
}

template <typename Map>
void MapCodePoints(std::u16string& text, Map map) {
  std::u16string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    UChar32 c;
    U16_NEXT(text.data(), i, text.size(), c);
    c = map(c);
    if (U_IS_BMP(c)) {
      out.push_back(static_cast<char16_t>(c));
    } else {
      out.push_back(static_cast<char16_t>(U16_LEAD(c)));
      out.push_back(static_cast<char16_t>(U16_TRAIL(c)));
    }
  }
  text = std::move(out);
}

bool DropsMark(UChar32 c) { return u_charType(c) == U_NON_SPACING_MARK; }

bool IsSymbol(UChar32 c) {
  const int32_t mask = U_MASK(u_charType(c));
  return (mask & (U_GC_P_MASK | U_GC_S_MASK | U_GC_ZS_MASK)) != 0;
}

constexpr uint32_t kMapFlags = LCMAP_LOWERCASE | LCMAP_UPPERCASE | LCMAP_SORTKEY | LCMAP_BYTEREV |
                               LCMAP_HIRAGANA | LCMAP_KATAKANA | LCMAP_HALFWIDTH | LCMAP_FULLWIDTH |
                               LCMAP_LINGUISTIC_CASING | kCompareFlags;

// The result of a locale mapping as text, or as sort-key bytes.
struct Mapped {
  std::u16string text;
  std::string key;
  bool is_key = false;
};

int MapString(uint32_t locale, uint32_t flags, std::u16string_view src, Mapped& out) {
  if ((flags & ~kMapFlags) != 0) return Fail(EINVAL);
  const auto both = [flags](uint32_t a, uint32_t b) { return (flags & a) && (flags & b); };
  if (both(LCMAP_LOWERCASE, LCMAP_UPPERCASE) || both(LCMAP_HIRAGANA, LCMAP_KATAKANA) ||
      both(LCMAP_HALFWIDTH, LCMAP_FULLWIDTH))
    return Fail(EINVAL);
  const std::string name = LocaleName(locale);
  if (name.empty()) return Fail(EINVAL);
  if (flags & LCMAP_SORTKEY) {
    if (flags & (kMapFlags & ~kCompareFlags & ~LCMAP_SORTKEY)) return Fail(EINVAL);
    UCollator* coll = Collator(locale, flags);
    if (!coll) return Fail(EINVAL);
    const auto len = static_cast<int32_t>(src.size());
    const UChar* s = reinterpret_cast<const UChar*>(src.data());
    std::string key(64, '\0');
    int32_t n = ucol_getSortKey(coll, s, len, reinterpret_cast<uint8_t*>(key.data()),
                                static_cast<int32_t>(key.size()));
    if (n > static_cast<int32_t>(key.size())) {
      key.resize(static_cast<size_t>(n));
      n = ucol_getSortKey(coll, s, len, reinterpret_cast<uint8_t*>(key.data()), n);
    }
    if (n <= 0) return Fail(EINVAL);
    key.resize(static_cast<size_t>(n));  // ends in its zero byte
    out.key = std::move(key);
    out.is_key = true;
    return 1;
  }
  std::u16string text(src);
  if (flags & (NORM_IGNORENONSPACE | LINGUISTIC_IGNOREDIACRITIC)) {
    UErrorCode err = U_ZERO_ERROR;
    if (!Normalize(unorm2_getNFDInstance(&err), text)) return Fail(EINVAL);
    Filter(text, [](UChar32 c) { return !DropsMark(c); });
    if (!Normalize(unorm2_getNFCInstance(&err), text)) return Fail(EINVAL);
  }
  if (flags & NORM_IGNORESYMBOLS) Filter(text, [](UChar32 c) { return !IsSymbol(c); });
  if ((flags & LCMAP_HALFWIDTH) && !Transliterate(u"Fullwidth-Halfwidth", text)) return Fail(EINVAL);
  if ((flags & LCMAP_FULLWIDTH) && !Transliterate(u"Halfwidth-Fullwidth", text)) return Fail(EINVAL);
  if ((flags & LCMAP_HIRAGANA) && !Transliterate(u"Katakana-Hiragana", text)) return Fail(EINVAL);
  if ((flags & LCMAP_KATAKANA) && !Transliterate(u"Hiragana-Katakana", text)) return Fail(EINVAL);
  const bool turkic = (flags & LCMAP_LINGUISTIC_CASING) && (name.rfind("tr", 0) == 0 || name.rfind("az", 0) == 0);
  if (flags & LCMAP_UPPERCASE) {
    MapCodePoints(text, [turkic](UChar32 c) -> UChar32 {
      if (turkic && c == u'i') return 0x130;
      return u_toupper(c);
    });
  } else if (flags & LCMAP_LOWERCASE) {
    MapCodePoints(text, [turkic](UChar32 c) -> UChar32 {
      if (turkic && c == u'I') return 0x131;
      if (turkic && c == 0x130) return u'i';
      return u_tolower(c);
    });
  }
  if (flags & LCMAP_BYTEREV)
    for (char16_t& c : text) c = static_cast<char16_t>((c >> 8) | (c << 8));
  out.text = std::move(text);
  return 1;
}

template <typename T>
int Deliver(const std::basic_string<T>& result, T* dst, int dst_len) {
  if (result.size() > static_cast<size_t>(INT_MAX)) return Fail(EINVAL);
  const int n = static_cast<int>(result.size());
  if (dst_len == 0) return n;
  if (n > dst_len) return Fail(ENOBUFS);
  std::memcpy(dst, result.data(), result.size() * sizeof(T));
  return n;
}

// Lengths of zero-terminated texts, without (compare) or with (the other
// calls) their terminator; -1 when too long.
int StrLen16(const char16_t* s, bool with_zero = true) {
  size_t n = 0;
  while (s[n]) ++n;
  n += with_zero;
  return n >= INT_MAX ? -1 : static_cast<int>(n);
}

int StrLen8(const char* s) {
  const size_t n = std::strlen(s) + 1;
  return n >= INT_MAX ? -1 : static_cast<int>(n);
}

}  // namespace

uint32_t ResolveLocale(uint32_t locale) {
  if (!IsDefaultLocale(locale)) return locale;
  const uint32_t user = uloc_getLCID(UserLocale().c_str());
  return user ? user : 1031;
}

uint32_t ResolveCodePage(uint32_t code_page) {
  switch (code_page) {
    case CP_ACP: return SystemAnsiCodePage();
    case CP_OEMCP: return 850;
    case CP_MACCP: return 10000;
    case CP_THREAD_ACP: {
      // Looked up again only when the thread's locale changes.
      thread_local uint32_t tlsSeenLocale = 0;
      thread_local uint32_t tlsSeenCodePage = 0;
      const uint32_t locale = GetThreadLocale();
      if (locale != tlsSeenLocale) {
        tlsSeenCodePage = LocaleAnsiCodePage(locale);
        tlsSeenLocale = locale;
      }
      // A locale whose texts are Unicode only has no ANSI code page.
      return tlsSeenCodePage ? tlsSeenCodePage : SystemAnsiCodePage();
    }
    default: return code_page;
  }
}

int MultiByteToWideChar(uint32_t code_page, uint32_t flags, const char* src, int src_len, char16_t* dst,
                        int dst_len) {
  if (BadBuffers(src, src_len, dst, dst_len)) return Fail(EINVAL);
  constexpr uint32_t kPrecomposed = 0x01;
  if ((flags & ~(kPrecomposed | MB_ERR_INVALID_CHARS)) != 0) return Fail(EINVAL);
  if (src_len == -1 && (src_len = StrLen8(src)) < 0) return Fail(EINVAL);
  const bool strict = flags & MB_ERR_INVALID_CHARS;
  CachedConverter* c = Converter(code_page, strict ? kStrict : kSubstitute);
  if (!c) return Fail(EINVAL);
  // Each byte of a single-byte code page is one UTF-16 unit: substitutes too.
  if (dst_len == 0 && c->single_byte && !strict) return src_len;
  UErrorCode err = U_ZERO_ERROR;
  const int32_t n = ucnv_toUChars(c->conv, U(dst), dst_len, src, src_len, &err);
  if (err == U_BUFFER_OVERFLOW_ERROR && dst_len == 0) return n;
  if (U_FAILURE(err)) return ConversionFailure(err);
  return n;
}

int WideCharToMultiByte(uint32_t code_page, uint32_t flags, const char16_t* src, int src_len, char* dst,
                        int dst_len) {
  if (BadBuffers(src, src_len, dst, dst_len)) return Fail(EINVAL);
  if ((flags & ~(WC_ERR_INVALID_CHARS | WC_NO_BEST_FIT_CHARS)) != 0) return Fail(EINVAL);
  if (src_len == -1 && (src_len = StrLen16(src)) < 0) return Fail(EINVAL);
  const bool strict = flags & WC_ERR_INVALID_CHARS;
  const uint8_t mode = (strict ? kStrict : kSubstitute) | ((flags & WC_NO_BEST_FIT_CHARS) ? kNoBestFit : 0);
  CachedConverter* c = Converter(code_page, mode);
  if (!c) return Fail(EINVAL);
  if (dst_len == 0 && c->single_byte && !strict) return CodePointCount(src, src_len);
  UErrorCode err = U_ZERO_ERROR;
  const int32_t n = ucnv_fromUChars(c->conv, dst, dst_len, U(src), src_len, &err);
  if (err == U_BUFFER_OVERFLOW_ERROR && dst_len == 0) return n;
  if (U_FAILURE(err)) return ConversionFailure(err);
  return n;
}

int LCMapStringW(uint32_t locale, uint32_t flags, const char16_t* src, int src_len, char16_t* dst,
                 int dst_len) {
  if (BadBuffers(src, src_len, dst, dst_len)) return Fail(EINVAL);
  if (src_len == -1 && (src_len = StrLen16(src)) < 0) return Fail(EINVAL);
  Mapped m;
  if (!MapString(locale, flags, std::u16string_view(src, static_cast<size_t>(src_len)), m)) return 0;
  if (m.is_key) return Deliver(m.key, reinterpret_cast<char*>(dst), dst_len);
  return Deliver(m.text, dst, dst_len);
}

int LCMapStringA(uint32_t locale, uint32_t flags, const char* src, int src_len, char* dst, int dst_len) {
  if (BadBuffers(src, src_len, dst, dst_len)) return Fail(EINVAL);
  if (src_len == -1 && (src_len = StrLen8(src)) < 0) return Fail(EINVAL);
  uint32_t code_page = LocaleAnsiCodePage(ResolveLocale(locale));
  if (code_page == 0) code_page = CP_ACP;
  const int wide_len = MultiByteToWideChar(code_page, 0, src, src_len, nullptr, 0);
  if (!wide_len) return 0;
  std::u16string wide(static_cast<size_t>(wide_len), u'\0');
  if (!MultiByteToWideChar(code_page, 0, src, src_len, wide.data(), wide_len)) return 0;
  Mapped m;
  if (!MapString(locale, flags, wide, m)) return 0;
  if (m.is_key) return Deliver(m.key, dst, dst_len);
  if (m.text.empty()) return Fail(EINVAL);
  const int n = WideCharToMultiByte(code_page, 0, m.text.data(), static_cast<int>(m.text.size()), nullptr, 0);
  if (!n) return 0;
  std::string bytes(static_cast<size_t>(n), '\0');
  if (!WideCharToMultiByte(code_page, 0, m.text.data(), static_cast<int>(m.text.size()), bytes.data(), n))
    return 0;
  return Deliver(bytes, dst, dst_len);
}

int FoldStringW(uint32_t flags, const char16_t* src, int src_len, char16_t* dst, int dst_len) {
  if (BadBuffers(src, src_len, dst, dst_len)) return Fail(EINVAL);
  constexpr uint32_t kAll = MAP_FOLDCZONE | MAP_PRECOMPOSED | MAP_COMPOSITE | MAP_FOLDDIGITS | MAP_EXPAND_LIGATURES;
  if (flags == 0 || (flags & ~kAll) != 0) return Fail(EINVAL);
  if ((flags & MAP_PRECOMPOSED) && (flags & MAP_COMPOSITE)) return Fail(EINVAL);
  if ((flags & MAP_EXPAND_LIGATURES) && (flags & (MAP_PRECOMPOSED | MAP_COMPOSITE))) return Fail(EINVAL);
  if (src_len == -1 && (src_len = StrLen16(src)) < 0) return Fail(EINVAL);
  std::u16string text(src, static_cast<size_t>(src_len));
  UErrorCode err = U_ZERO_ERROR;
  const UNormalizer2* norm = nullptr;
  if (flags & (MAP_FOLDCZONE | MAP_EXPAND_LIGATURES))
    norm = (flags & MAP_COMPOSITE) ? unorm2_getNFKDInstance(&err) : unorm2_getNFKCInstance(&err);
  else if (flags & MAP_COMPOSITE)
    norm = unorm2_getNFDInstance(&err);
  else if (flags & MAP_PRECOMPOSED)
    norm = unorm2_getNFCInstance(&err);
  if (U_FAILURE(err) || (norm && !Normalize(norm, text))) return Fail(EINVAL);
  if (flags & MAP_FOLDDIGITS) {
    MapCodePoints(text, [](UChar32 c) -> UChar32 {
      return u_charType(c) == U_DECIMAL_DIGIT_NUMBER ? u'0' + u_charDigitValue(c) : c;
    });
  }
  return Deliver(text, dst, dst_len);
}

int CompareStringW(uint32_t locale, uint32_t flags, const char16_t* a, int a_len, const char16_t* b,
                   int b_len) {
  if (!a || !b || a_len < -1 || b_len < -1) return Fail(EINVAL);
  if ((flags & ~kCompareFlags) != 0) return Fail(EINVAL);
  if (a_len == -1 && (a_len = StrLen16(a, false)) < 0) return Fail(EINVAL);
  if (b_len == -1 && (b_len = StrLen16(b, false)) < 0) return Fail(EINVAL);
  UCollator* coll = Collator(locale, flags);
  if (!coll) return Fail(EINVAL);
  switch (ucol_strcoll(coll, U(a), a_len, U(b), b_len)) {
    case UCOL_LESS: return CSTR_LESS_THAN;
    case UCOL_EQUAL: return CSTR_EQUAL;
    default: return CSTR_GREATER_THAN;
  }
}

std::unique_ptr<TLocaleCollator> TLocaleCollator::Open(uint32_t locale, uint32_t flags) {
  if ((flags & ~kCompareFlags) != 0) {
    Fail(EINVAL);
    return nullptr;
  }
  const std::string name = LocaleName(locale);
  UCollator* coll = name.empty() ? nullptr : OpenCollator(name, flags);
  if (!coll) {
    Fail(EINVAL);
    return nullptr;
  }
  return std::unique_ptr<TLocaleCollator>(new TLocaleCollator(coll));
}

TLocaleCollator::~TLocaleCollator() { ucol_close(coll_); }

int TLocaleCollator::Compare(const char16_t* a, int a_len, const char16_t* b, int b_len) const noexcept {
  switch (ucol_strcoll(coll_, U(a), a_len, U(b), b_len)) {
    case UCOL_LESS: return -1;
    case UCOL_EQUAL: return 0;
    default: return 1;
  }
}

std::string TLocaleCollator::SortKey(const char16_t* s, int len) const {
  std::string key(64, '\0');
  int32_t n = ucol_getSortKey(coll_, U(s), len, reinterpret_cast<uint8_t*>(key.data()),
                              static_cast<int32_t>(key.size()));
  if (n > static_cast<int32_t>(key.size())) {
    key.resize(static_cast<size_t>(n));
    n = ucol_getSortKey(coll_, U(s), len, reinterpret_cast<uint8_t*>(key.data()), n);
  }
  key.resize(n > 0 ? static_cast<size_t>(n - 1) : 0);
  return key;
}

std::array<uint8_t, 4> TLocaleCollator::Version() const noexcept {
  UVersionInfo v;
  ucol_getVersion(coll_, v);
  return {v[0], v[1], v[2], v[3]};
}

}  // namespace revurov::platform
