// Conversions between 8-bit text in a code page, UTF-16 strings and
// TnxWideString, and the locale string mapping of the locale transformer.
//
// Contract:
// - TnxWideString, the UTF-16 string and the OLE wide string are all
//   std::u16string here, so the forms that differ only in those types are
//   one routine each.
// - Code pages are Windows numbers; 0 means nxDefaultCodePage. An empty
//   source gives an empty result without asking the platform. Otherwise the
//   platform is asked for the length, then converts into exactly that much;
//   a failure of either pass raises the OS error (EnxBaseException, code
//   11047) with the context "<routine>/<platform call>/1" or ".../2".
// - Conversions use flags 0: bytes without a mapping become U+FFFD and
//   characters without one become "?", as the platform converts them.
// - Every routine may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace revurov {

using TnxWideString = std::u16string;
using TnxByteArray = std::vector<uint8_t>;

TnxWideString nxStringToWideString(std::string_view aString, uint16_t aCodePage);
std::string nxWideStringToString(std::u16string_view aString, uint16_t aCodePage);
TnxByteArray nxWideStringToBytes(std::u16string_view aString, uint16_t aCodePage);
TnxWideString nxBytesToWideString(const void* aBuffer, int32_t aLength, uint16_t aCodePage);
TnxByteArray nxWideStringBufferToBytes(const char16_t* aBuffer, int32_t aLength, uint16_t aCodePage);

// Copies between the UTF-16 forms.
inline TnxWideString nxStringToWideChars(std::u16string_view s) { return TnxWideString(s); }
inline TnxWideString nxUnicodeStringToWideChars(std::u16string_view s) { return TnxWideString(s); }
inline TnxWideString nxWideStringToWideChars(std::u16string_view s) { return TnxWideString(s); }
inline std::u16string nxWideCharsToWideString(const TnxWideString& s) { return s; }
inline std::u16string nxWideCharsToString(const TnxWideString& s) { return s; }
TnxWideString nxWideCharsConcat(const TnxWideString& a, const TnxWideString& b);
TnxWideString nxWideCharsAppendChar(const TnxWideString& a, char16_t c);

// The locale's default ANSI code page; nxDefaultCodePage when the platform
// has no number for it (an unknown locale).
uint32_t nxLocaleAnsiCodePage(uint32_t aLocale);

// Locale string mapping, raising the OS error with the routine's name as
// context. The A form maps the text converted to the locale's ANSI code page.
void nxWideLCMapStringW(std::u16string_view aSource, uint32_t aLocale, uint32_t aMapFlags,
                        std::u16string& aResult);
void nxWideLCMapStringA(std::u16string_view aSource, uint32_t aLocale, uint32_t aMapFlags,
                        std::u16string& aResult);
using TnxWideLCMapStringProc = void (*)(std::u16string_view, uint32_t, uint32_t, std::u16string&);
// Chosen by nxSelectWideLCMapString at start-up (the W form here, where the
// platform is always Unicode); written before other threads run.
extern TnxWideLCMapStringProc nxWideLCMapString;
void nxSelectWideLCMapString();

// Unit start-up (selects nxWideLCMapString) and shut-down (nothing to undo).
void nxWideStringStartup();
void nxWideStringShutdown();

}  // namespace revurov
