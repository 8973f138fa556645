// Locale-aware compare and case mapping of the runtime's Ansi* routines,
// in the user's locale (German by default, set beside the ANSI code page).
//
// Contract:
// - `AnsiCompareText` ignores case (collation strength secondary),
//   `AnsiCompareStr` does not (tertiary); both return -1, 0 or 1 and are
//   safe to call from any thread.
// - `AnsiUpperCase`/`AnsiLowerCase` map code unit by code unit (simple case
//   mapping), so the length never changes ("ß" stays "ß").
// - The ASCII-only and ordinal compares live in platform/text.h.
#pragma once

#include <string>
#include <string_view>

namespace revurov::platform {

// ICU locale id of the user's locale, "de_DE" unless changed.
std::string UserLocale();
void SetUserLocale(std::string locale);

int AnsiCompareText(std::u16string_view a, std::u16string_view b);
int AnsiCompareStr(std::u16string_view a, std::u16string_view b);
bool AnsiSameText(std::u16string_view a, std::u16string_view b);
// Bytes that are equal exactly when AnsiCompareText finds the texts equal
// (and order as it does): made once per text, they spare a collation per
// comparison.
std::string AnsiTextSortKey(std::u16string_view text);
// A cheaper key for text of printable ASCII alone (U+0020 to U+007E): the
// text with its letters in lower case, made without the collator. Two such
// keys are equal exactly when AnsiCompareText finds the texts equal; they
// do not order as it does and never compare with AnsiTextSortKey's keys.
// False, with key untouched, for any other text, and for every text while
// the user's collation does not weigh printable ASCII one character at a
// time with letter case alone ignored (Turkish, Czech, Danish do not).
bool AnsiTextAsciiKey(std::u16string_view text, std::string& key);
// Case-insensitive by Unicode case folding, then code-point order: no
// characters are ignored, so distinct names never compare equal by accident.
// Used for INI section and key names.
int FoldCompareText(std::u16string_view a, std::u16string_view b);
bool FoldSameText(std::u16string_view a, std::u16string_view b);
std::u16string AnsiUpperCase(std::u16string_view text);
std::u16string AnsiLowerCase(std::u16string_view text);
// One code unit of the above; a surrogate, which has no case of its own, and
// a unit whose mapping lies beyond U+FFFF stay as they are.
char16_t AnsiUpperChar(char16_t c) noexcept;
char16_t AnsiLowerChar(char16_t c) noexcept;

}  // namespace revurov::platform
