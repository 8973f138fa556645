// Locales (by Windows LCID) and code pages (by Windows number) through ICU.
//
// Contract: every routine is safe from any thread. LCIDs map to ICU locales
// with uloc_getLocaleForLCID; an LCID ICU does not know is absent from
// InstalledLocales. The thread locale starts as the user's locale
// (platform/locale_text.h); code-page conversion is platform/code_page.h.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/format.h"

namespace revurov::platform {

inline constexpr uint32_t LOCALE_INVARIANT = 127;

// The calling thread's locale (the user's locale until set).
uint32_t GetThreadLocale();
void SetThreadLocale(uint32_t lcid) noexcept;

// ICU locale name of an LCID ("" when ICU does not know it).
std::string LocaleNameForLCID(uint32_t lcid);
// The Windows ANSI code page a locale defaults to (0: the locale has none,
// its texts are Unicode only).
uint32_t LocaleAnsiCodePage(uint32_t lcid);
// Display name ("German (Germany)").
std::u16string LocaleDisplayName(uint32_t lcid);

// Sorted, distinct LCIDs of every locale ICU can collate.
const std::vector<uint32_t>& InstalledLocales();
// Sorted Windows code page numbers that the code-page conversion serves,
// each named by its number.
struct TCodePageInfo {
  uint32_t number;
  std::u16string name;
};
const std::vector<TCodePageInfo>& InstalledCodePages();

// Decimal and thousand separators of a locale, its date and time
// separators, short date and long time formats (from the locale's short
// date and medium time patterns, years always with four digits) and its
// AM/PM texts. An unknown locale gives the invariant settings.
TFormatSettings LocaleFormatSettings(uint32_t lcid);

// Collation version of the locale (4 bytes, major first) and of the
// collation algorithm it is built on; zeros when ICU cannot open it.
struct TCollationVersion {
  std::array<uint8_t, 4> version{};
  std::array<uint8_t, 4> ucaVersion{};
  bool ok = false;
};
TCollationVersion LocaleCollationVersion(uint32_t lcid);

}  // namespace revurov::platform
