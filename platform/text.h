// UTF-8 <-> UTF-16 conversion for the edges where text leaves the library
// (POSIX paths, logs, test output). Code-page conversion lives elsewhere.
//
// Contract: both directions never throw on malformed input; an unpaired
// surrogate or an invalid UTF-8 sequence becomes U+FFFD.
#pragma once

#include <string>
#include <string_view>

namespace revurov::platform {

std::string Utf16ToUtf8(std::u16string_view text);
std::u16string Utf8ToUtf16(std::string_view text);
// True when every sequence is well-formed UTF-8 (no overlong forms, no
// surrogates, nothing above U+10FFFF, nothing cut off at the end).
bool IsValidUtf8(std::string_view text) noexcept;
// True when the text holds a surrogate that is not half of a pair: such
// text has no exact UTF-8 form.
bool HasUnpairedSurrogate(std::u16string_view text) noexcept;

// ASCII-only case mapping and compare; the locale-aware and ordinal forms
// are separate routines, chosen per call site.
char16_t AsciiUpper(char16_t c) noexcept;
char16_t AsciiLower(char16_t c) noexcept;
std::u16string AsciiUpperCase(std::u16string_view text);
std::u16string AsciiLowerCase(std::u16string_view text);
// -1, 0 or 1.
int AsciiCompareText(std::u16string_view a, std::u16string_view b) noexcept;
bool AsciiSameText(std::u16string_view a, std::u16string_view b) noexcept;

// The runtime's Trim and TrimRight: every unit up to U+0020 (blanks and
// control characters) removed from both ends, or from the end; the result
// views the same text.
std::u16string_view Trim(std::u16string_view text) noexcept;
std::u16string_view TrimRight(std::u16string_view text) noexcept;

}  // namespace revurov::platform
