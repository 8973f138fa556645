// National language support calls as the library's text routines expect
// them: code-page conversion, locale string mapping, folding and locale
// compare, on ICU.
//
// Contract (every routine, as the calls it stands in for):
// - A source length of -1 means "up to and including the terminating zero";
//   otherwise the length counts code units (or bytes) and zeros are text.
// - A destination length of 0 asks for the result length, which is returned
//   without writing. Otherwise the result is written and its length returned.
// - 0 is returned on failure, with the last OS error set: EINVAL for an
//   unknown code page or locale, invalid flags or arguments; ENOBUFS when the
//   destination is too small; EILSEQ for an invalid character where the
//   flags ask for strict conversion. An empty source is an invalid argument.
// - Code pages: 0 is the system's ANSI code page (platform/code_page.h),
//   1 the OEM code page 850, 2 the Macintosh code page 10000, 3 the ANSI code
//   page of the thread's locale; others by their Windows numbers (the
//   conversions serve those of platform/locale.h's InstalledCodePages).
// - Locales are Windows LCIDs; 0, LOCALE_USER_DEFAULT and
//   LOCALE_SYSTEM_DEFAULT are the user's locale (platform/locale_text.h).
// - Safe from any thread: ICU converters and collators are kept per thread.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

struct UCollator;

namespace revurov::platform {

inline constexpr uint32_t CP_ACP = 0;
inline constexpr uint32_t CP_OEMCP = 1;
inline constexpr uint32_t CP_MACCP = 2;
inline constexpr uint32_t CP_THREAD_ACP = 3;

inline constexpr uint32_t MB_ERR_INVALID_CHARS = 0x08;
inline constexpr uint32_t WC_ERR_INVALID_CHARS = 0x80;
inline constexpr uint32_t WC_NO_BEST_FIT_CHARS = 0x400;

inline constexpr uint32_t LOCALE_USER_DEFAULT = 0x0400;
inline constexpr uint32_t LOCALE_SYSTEM_DEFAULT = 0x0800;

// Compare and map flags.
inline constexpr uint32_t NORM_IGNORECASE = 0x00000001;
inline constexpr uint32_t NORM_IGNORENONSPACE = 0x00000002;
inline constexpr uint32_t NORM_IGNORESYMBOLS = 0x00000004;
inline constexpr uint32_t LINGUISTIC_IGNORECASE = 0x00000010;
inline constexpr uint32_t LINGUISTIC_IGNOREDIACRITIC = 0x00000020;
inline constexpr uint32_t SORT_STRINGSORT = 0x00001000;
inline constexpr uint32_t NORM_IGNOREKANATYPE = 0x00010000;
inline constexpr uint32_t NORM_IGNOREWIDTH = 0x00020000;
inline constexpr uint32_t NORM_LINGUISTIC_CASING = 0x08000000;
inline constexpr uint32_t LCMAP_LOWERCASE = 0x00000100;
inline constexpr uint32_t LCMAP_UPPERCASE = 0x00000200;
inline constexpr uint32_t LCMAP_SORTKEY = 0x00000400;
inline constexpr uint32_t LCMAP_BYTEREV = 0x00000800;
inline constexpr uint32_t LCMAP_HIRAGANA = 0x00100000;
inline constexpr uint32_t LCMAP_KATAKANA = 0x00200000;
inline constexpr uint32_t LCMAP_HALFWIDTH = 0x00400000;
inline constexpr uint32_t LCMAP_FULLWIDTH = 0x00800000;
inline constexpr uint32_t LCMAP_LINGUISTIC_CASING = 0x01000000;

// Fold flags: compatibility zone (NFKC, or NFKD with MAP_COMPOSITE),
// precomposed (NFC), composite (NFD), digits to ASCII, ligatures expanded.
inline constexpr uint32_t MAP_FOLDCZONE = 0x0010;
inline constexpr uint32_t MAP_PRECOMPOSED = 0x0020;
inline constexpr uint32_t MAP_COMPOSITE = 0x0040;
inline constexpr uint32_t MAP_FOLDDIGITS = 0x0080;
inline constexpr uint32_t MAP_EXPAND_LIGATURES = 0x2000;

inline constexpr int CSTR_LESS_THAN = 1;
inline constexpr int CSTR_EQUAL = 2;
inline constexpr int CSTR_GREATER_THAN = 3;

// The code page that 0 to 3 stand for; other numbers are returned as given.
// The thread's ANSI code page is its locale's (platform/locale.h), or the
// system's when that locale has none.
uint32_t ResolveCodePage(uint32_t code_page);
// The LCID that 0 and the default ids stand for; others as given.
uint32_t ResolveLocale(uint32_t locale);

// Bytes to UTF-16. With flags 0, bytes without a mapping become U+FFFD (or
// the code page's own substitute); MB_ERR_INVALID_CHARS makes them fail.
int MultiByteToWideChar(uint32_t code_page, uint32_t flags, const char* src, int src_len,
                        char16_t* dst, int dst_len);
// UTF-16 to bytes. With flags 0, the fallback (best-fit) mappings of ICU's
// table are used (fewer than Windows' own best fit: U+0100 becomes "?", not
// "A") and characters without one become "?"; WC_NO_BEST_FIT_CHARS drops them and
// WC_ERR_INVALID_CHARS makes unmappable characters fail.
int WideCharToMultiByte(uint32_t code_page, uint32_t flags, const char16_t* src, int src_len,
                        char* dst, int dst_len);

// Maps a string by locale: LCMAP_LOWERCASE/UPPERCASE (code point by code
// point, so the length is kept; LCMAP_LINGUISTIC_CASING adds the Turkish and
// Azeri dotted/dotless i), LCMAP_BYTEREV, LCMAP_HIRAGANA/KATAKANA,
// LCMAP_HALFWIDTH/FULLWIDTH, NORM_IGNORENONSPACE and NORM_IGNORESYMBOLS
// (characters dropped). LCMAP_SORTKEY writes the collation sort key of the
// locale and compare flags as bytes, its lengths counted in bytes, ending
// in a zero byte.
int LCMapStringW(uint32_t locale, uint32_t flags, const char16_t* src, int src_len, char16_t* dst,
                 int dst_len);
// The same on 8-bit text in the locale's ANSI code page.
int LCMapStringA(uint32_t locale, uint32_t flags, const char* src, int src_len, char* dst,
                 int dst_len);

int FoldStringW(uint32_t flags, const char16_t* src, int src_len, char16_t* dst, int dst_len);

// CSTR_LESS_THAN, CSTR_EQUAL or CSTR_GREATER_THAN; 0 on failure. Flags map
// to the collator's strength (ignore case: secondary, ignore nonspacing
// marks: primary with the case level kept) and to shifted symbols.
int CompareStringW(uint32_t locale, uint32_t flags, const char16_t* a, int a_len, const char16_t* b,
                   int b_len);

// One locale and compare-flag set, opened and configured once (as
// CompareStringW configures its collators) and never changed afterwards.
// ICU lets a collator that is no longer changed compare from any number of
// threads at once, so one object may be shared; the per-call lookup of
// CompareStringW is saved.
class TLocaleCollator {
public:
  // LOCALE_INVARIANT gives the root collation, which depends on no
  // process or user setting. Null with EINVAL for an unknown locale or
  // flags CompareStringW refuses.
  static std::unique_ptr<TLocaleCollator> Open(uint32_t locale, uint32_t flags);
  ~TLocaleCollator();
  TLocaleCollator(const TLocaleCollator&) = delete;
  TLocaleCollator& operator=(const TLocaleCollator&) = delete;

  // -1, 0 or 1; a length of -1 means up to the terminating zero.
  int Compare(const char16_t* a, int a_len, const char16_t* b, int b_len) const noexcept;
  // The sort key bytes without their terminating zero: their byte order is
  // the order of Compare.
  std::string SortKey(const char16_t* s, int len) const;
  // The collation version (ICU's ucol_getVersion): an order stored under
  // one version is only valid under the same version.
  std::array<uint8_t, 4> Version() const noexcept;

private:
  explicit TLocaleCollator(UCollator* coll) noexcept : coll_(coll) {}
  UCollator* coll_;
};

}  // namespace revurov::platform
