#include "lowlevel/wide_strings/wide_string_transform.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "lowlevel/errors/error_codes.h"
#include "platform/nls.h"
#include "platform/os_error.h"

namespace revurov {

int8_t TnxWideStringByteComparer::Compare(const TnxWideString& a, const TnxWideString& b) const {
  const size_t n = std::min(a.size(), b.size());
  // Memory order of little-endian code units: the low byte counts first.
  const int r = std::memcmp(a.data(), b.data(), n * sizeof(char16_t));
  if (r != 0) return r < 0 ? -1 : 1;
  return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}

int8_t TnxWideStringCompareStringWComparer::Compare(const TnxWideString& a, const TnxWideString& b) const {
  if (a.empty() || b.empty()) return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
  if (a.size() > static_cast<size_t>(INT_MAX) || b.size() > static_cast<size_t>(INT_MAX)) {
    platform::SetLastOSError(EOVERFLOW);
    nxRaiseLastOSError(u"TnxWideStringCompareStringWComparer.Compare/CompareStringW", 0);
  }
  const int r = platform::CompareStringW(bwscscLocale, bwscscFlags, a.data(), static_cast<int>(a.size()), b.data(),
                                         static_cast<int>(b.size()));
  // A failed compare (0) would otherwise read as "less" (-2).
  if (r == 0) nxRaiseLastOSError(u"TnxWideStringCompareStringWComparer.Compare/CompareStringW", 0);
  return static_cast<int8_t>(r - 2);
}

void TnxWideStringNullTransformer::Transform(const TnxWideString& aSource, TnxWideString& aResult) const {
  aResult = aSource;
}

void TnxWideStringFoldStringTransformer::Transform(const TnxWideString& aSource, TnxWideString& aResult) const {
  aResult.clear();
  if (aSource.empty()) return;
  if (aSource.size() > static_cast<size_t>(INT_MAX)) {
    platform::SetLastOSError(EOVERFLOW);
    nxRaiseLastOSError(u"TnxWideStringFoldStringTransformer.Transform/FoldStringW/1", 0);
  }
  const int len = static_cast<int>(aSource.size());
  const int n = platform::FoldStringW(wsfstFlags, aSource.data(), len, nullptr, 0);
  if (n == 0) nxRaiseLastOSError(u"TnxWideStringFoldStringTransformer.Transform/FoldStringW/1", 0);
  TnxWideString result(static_cast<size_t>(n) + 5, u'\0');
  const int m = platform::FoldStringW(wsfstFlags, aSource.data(), len, result.data(), n + 5);
  if (m == 0) nxRaiseLastOSError(u"TnxWideStringFoldStringTransformer.Transform/FoldStringW/2", 0);
  result.resize(static_cast<size_t>(m));
  aResult = std::move(result);
}

TnxWideStringLocaleMappingTransformer::TnxWideStringLocaleMappingTransformer(uint32_t aLocale, uint32_t aFlags)
    : wslmtLocale(aLocale), wslmtFlags(aFlags) {
  if (aFlags & platform::LCMAP_SORTKEY)
    throw EnxWideStringLocaleMappingTransformerException(
        nxeCapabilityNotSupported, u"LCMAP_SORTKEY is not supported by TnxWideStringLocaleMappingTransformer");
}

void TnxWideStringLocaleMappingTransformer::Transform(const TnxWideString& aSource, TnxWideString& aResult) const {
  aResult.clear();
  if (aSource.empty()) return;
  // TnxWideString and the UTF-16 string are one type here: no copies
  // between them.
  std::u16string mapped;
  nxWideLCMapString(aSource, wslmtLocale, wslmtFlags, mapped);
  aResult = std::move(mapped);
}

void TnxWideStringTruncateTransformer::Transform(const TnxWideString& aSource, TnxWideString& aResult) const {
  if (aSource.size() <= static_cast<size_t>(std::max<int32_t>(wsttMaxLength, 0))) {
    aResult = aSource;
    return;
  }
  // A maximum of 0 or less keeps nothing (and looks at no unit before the start).
  if (wsttMaxLength <= 0) {
    aResult.clear();
    return;
  }
  size_t keep = static_cast<size_t>(wsttMaxLength);
  const char16_t last = aSource[keep - 1];
  if (last >= 0xD800 && last <= 0xDBFF) --keep;
  aResult.assign(aSource, 0, keep);
}

void TnxWideStringTransformerHub::Transform(const TnxWideString& aSource, TnxWideString& aResult) const {
  TnxWideString current = aSource;
  for (const auto& t : wsthTransformers) {
    if (!t) continue;
    TnxWideString next;
    t->Transform(current, next);
    current = std::move(next);
  }
  aResult = std::move(current);
}

}  // namespace revurov
