#include "lowlevel/wide_strings/wide_string.h"

#include <climits>

#include "lowlevel/errors/exceptions.h"
#include "lowlevel/strings/utils_locale.h"
#include "platform/locale.h"
#include "platform/nls.h"

namespace revurov {

namespace {

uint32_t CodePageOf(uint16_t aCodePage) { return aCodePage ? aCodePage : nxDefaultCodePage; }

int32_t LengthOf(size_t n, std::u16string_view aContext) {
  // The platform counts in 32-bit signed lengths.
  if (n > static_cast<size_t>(INT_MAX)) {
    platform::SetLastOSError(EOVERFLOW);
    nxRaiseLastOSError(aContext, 0);
  }
  return static_cast<int32_t>(n);
}

TnxWideString BytesToWide(const char* aSrc, int32_t aLen, uint16_t aCodePage, std::u16string_view aPass1,
                          std::u16string_view aPass2) {
  if (aLen <= 0) return {};
  const uint32_t cp = CodePageOf(aCodePage);
  const int n = platform::MultiByteToWideChar(cp, 0, aSrc, aLen, nullptr, 0);
  if (n == 0) nxRaiseLastOSError(aPass1, 0);
  TnxWideString result(static_cast<size_t>(n), u'\0');
  if (platform::MultiByteToWideChar(cp, 0, aSrc, aLen, result.data(), n) == 0) nxRaiseLastOSError(aPass2, 0);
  return result;
}

template <typename Out>
Out WideToBytes(const char16_t* aSrc, int32_t aLen, uint16_t aCodePage, std::u16string_view aPass1,
                std::u16string_view aPass2) {
  if (aLen <= 0) return {};
  const uint32_t cp = CodePageOf(aCodePage);
  const int n = platform::WideCharToMultiByte(cp, 0, aSrc, aLen, nullptr, 0);
  if (n == 0) nxRaiseLastOSError(aPass1, 0);
  Out result(static_cast<size_t>(n), 0);
  if (platform::WideCharToMultiByte(cp, 0, aSrc, aLen, reinterpret_cast<char*>(result.data()), n) == 0)
    nxRaiseLastOSError(aPass2, 0);
  return result;
}

constexpr std::u16string_view kToWide1 = u"nxStringToWideString/MultiByteToWideChar/1";
constexpr std::u16string_view kToWide2 = u"nxStringToWideString/MultiByteToWideChar/2";
constexpr std::u16string_view kToString1 = u"nxWideStringToString/WideCharToMultiByte/1";
constexpr std::u16string_view kToString2 = u"nxWideStringToString/WideCharToMultiByte/2";

}  // namespace

TnxWideString nxStringToWideString(std::string_view aString, uint16_t aCodePage) {
  return BytesToWide(aString.data(), LengthOf(aString.size(), kToWide1), aCodePage, kToWide1, kToWide2);
}

std::string nxWideStringToString(std::u16string_view aString, uint16_t aCodePage) {
  return WideToBytes<std::string>(aString.data(), LengthOf(aString.size(), kToString1), aCodePage, kToString1,
                                  kToString2);
}

TnxByteArray nxWideStringToBytes(std::u16string_view aString, uint16_t aCodePage) {
  return WideToBytes<TnxByteArray>(aString.data(), LengthOf(aString.size(), kToString1), aCodePage, kToString1,
                                   kToString2);
}

TnxWideString nxBytesToWideString(const void* aBuffer, int32_t aLength, uint16_t aCodePage) {
  if (!aBuffer) return {};
  return BytesToWide(static_cast<const char*>(aBuffer), aLength, aCodePage,
                     u"nxBytesToWideString/MultiByteToWideChar/1", u"nxBytesToWideString/MultiByteToWideChar/2");
}

TnxByteArray nxWideStringBufferToBytes(const char16_t* aBuffer, int32_t aLength, uint16_t aCodePage) {
  if (!aBuffer) return {};
  return WideToBytes<TnxByteArray>(aBuffer, aLength, aCodePage,
                                   u"nxWideStringBufferToBytes/WideCharToMultiByte/1",
                                   u"nxWideStringBufferToBytes/WideCharToMultiByte/2");
}

TnxWideString nxWideCharsConcat(const TnxWideString& a, const TnxWideString& b) {
  TnxWideString result;
  result.reserve(a.size() + b.size());
  result.append(a).append(b);
  return result;
}

TnxWideString nxWideCharsAppendChar(const TnxWideString& a, char16_t c) {
  TnxWideString result;
  result.reserve(a.size() + 1);
  result.append(a).push_back(c);
  return result;
}

uint32_t nxLocaleAnsiCodePage(uint32_t aLocale) {
  const uint32_t locale = platform::ResolveLocale(aLocale);
  // A locale the platform does not know has no number to give.
  if (platform::LocaleNameForLCID(locale).empty()) return nxDefaultCodePage;
  return platform::LocaleAnsiCodePage(locale);
}

void nxWideLCMapStringW(std::u16string_view aSource, uint32_t aLocale, uint32_t aMapFlags,
                        std::u16string& aResult) {
  aResult.clear();
  if (aSource.empty()) return;
  constexpr std::u16string_view context = u"nxWideLCMapStringW";
  const int32_t len = LengthOf(aSource.size(), context);
  // A sort key comes back as bytes, counted in bytes.
  const bool key = aMapFlags & platform::LCMAP_SORTKEY;
  if (!key) {
    // Most mappings keep the length: one call into a buffer of the source's
    // size (with room to spare) spares the length query; a longer result
    // falls back to asking first.
    std::u16string result(aSource.size() + 8, u'\0');
    const int m = platform::LCMapStringW(aLocale, aMapFlags, aSource.data(), len, result.data(),
                                         static_cast<int>(result.size()));
    if (m > 0) {
      result.resize(static_cast<size_t>(m));
      aResult = std::move(result);
      return;
    }
  }
  const int n = platform::LCMapStringW(aLocale, aMapFlags, aSource.data(), len, nullptr, 0);
  if (n == 0) nxRaiseLastOSError(context, 0);
  std::u16string result(key ? (static_cast<size_t>(n) + 1) / 2 : static_cast<size_t>(n), u'\0');
  if (platform::LCMapStringW(aLocale, aMapFlags, aSource.data(), len, result.data(), n) == 0)
    nxRaiseLastOSError(context, 0);
  aResult = std::move(result);
}

void nxWideLCMapStringA(std::u16string_view aSource, uint32_t aLocale, uint32_t aMapFlags,
                        std::u16string& aResult) {
  aResult.clear();
  constexpr std::u16string_view context = u"nxWideLCMapStringA";
  const uint32_t cp = nxLocaleAnsiCodePage(aLocale);
  const std::string source = nxWideStringToString(aSource, static_cast<uint16_t>(cp));
  std::string mapped;
  if (!source.empty()) {
    const int32_t len = LengthOf(source.size(), context);
    const int n = platform::LCMapStringA(aLocale, aMapFlags, source.data(), len, nullptr, 0);
    if (n == 0) nxRaiseLastOSError(context, 0);
    mapped.assign(static_cast<size_t>(n), '\0');
    if (platform::LCMapStringA(aLocale, aMapFlags, source.data(), len, mapped.data(), n) == 0)
      nxRaiseLastOSError(context, 0);
  }
  aResult = nxStringToWideString(mapped, static_cast<uint16_t>(cp));
}

TnxWideLCMapStringProc nxWideLCMapString = nxWideLCMapStringW;

void nxSelectWideLCMapString() { nxWideLCMapString = nxWideLCMapStringW; }

void nxWideStringStartup() { nxSelectWideLCMapString(); }

void nxWideStringShutdown() {}

}  // namespace revurov
