#include "lowlevel/wide_strings/wide_string_transform.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>

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
  // Into the result's own room: a caller that keeps its result string
  // folds without allocating.
  aResult.resize(static_cast<size_t>(n) + 5);
  const int m = platform::FoldStringW(wsfstFlags, aSource.data(), len, aResult.data(), n + 5);
  if (m == 0) {
    aResult.clear();
    nxRaiseLastOSError(u"TnxWideStringFoldStringTransformer.Transform/FoldStringW/2", 0);
  }
  aResult.resize(static_cast<size_t>(m));
}

struct TnxWideStringLocaleMappingTransformer::CasePage {
  bool Kept = false;
  char16_t Units[256];
};

TnxWideStringLocaleMappingTransformer::TnxWideStringLocaleMappingTransformer(uint32_t aLocale, uint32_t aFlags)
    : wslmtLocale(aLocale), wslmtFlags(aFlags) {
  if (aFlags & platform::LCMAP_SORTKEY)
    throw EnxWideStringLocaleMappingTransformerException(
        nxeCapabilityNotSupported, u"LCMAP_SORTKEY is not supported by TnxWideStringLocaleMappingTransformer");
  // The platform maps case code point by code point and keeps the length,
  // so a unit's mapping alone is its mapping in any text. The user's locale
  // may change under a default locale: those keep asking.
  constexpr uint32_t caseFlags = platform::LCMAP_LOWERCASE | platform::LCMAP_UPPERCASE;
  const bool defaultLocale =
      aLocale == 0 || aLocale == platform::LOCALE_USER_DEFAULT || aLocale == platform::LOCALE_SYSTEM_DEFAULT;
  wslmtCaseTable = !defaultLocale && (aFlags & caseFlags) != 0 && (aFlags & caseFlags) != caseFlags &&
                   (aFlags & ~(caseFlags | platform::LCMAP_LINGUISTIC_CASING)) == 0;
}

TnxWideStringLocaleMappingTransformer::~TnxWideStringLocaleMappingTransformer() {
  for (auto& slot : wslmtCasePages) delete slot.load(std::memory_order_acquire);
}

const TnxWideStringLocaleMappingTransformer::CasePage& TnxWideStringLocaleMappingTransformer::CasePageFor(
    size_t aPage) const {
  std::atomic<const CasePage*>& slot = wslmtCasePages[aPage];
  if (const CasePage* page = slot.load(std::memory_order_acquire)) return *page;
  auto page = std::make_unique<CasePage>();
  // Surrogates are halves of code points, not characters of their own.
  if (aPage < 0xD8 || aPage > 0xDF) {
    char16_t units[256];
    for (size_t i = 0; i < 256; ++i) units[i] = static_cast<char16_t>((aPage << 8) | i);
    page->Kept = platform::LCMapStringW(wslmtLocale, wslmtFlags, units, 256, page->Units, 256) == 256;
  }
  const CasePage* expected = nullptr;
  if (slot.compare_exchange_strong(expected, page.get(), std::memory_order_acq_rel)) return *page.release();
  return *expected;
}

void TnxWideStringLocaleMappingTransformer::Transform(const TnxWideString& aSource, TnxWideString& aResult) const {
  if (wslmtCaseTable && nxWideLCMapString == &nxWideLCMapStringW && &aSource != &aResult) {
    // Written into the result's own room: a caller that keeps its result
    // string maps without allocating.
    const size_t length = aSource.size();
    aResult.resize(length);
    size_t i = 0;
    for (; i < length; ++i) {
      const char16_t c = aSource[i];
      const CasePage* page = wslmtCasePages[c >> 8].load(std::memory_order_acquire);
      if (!page) page = &CasePageFor(c >> 8);
      if (!page->Kept) break;
      aResult[i] = page->Units[c & 0xFF];
    }
    if (i == length) return;
  }
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
