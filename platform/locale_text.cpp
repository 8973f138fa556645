#include "platform/locale_text.h"

#include <unicode/uchar.h>
#include <unicode/ucol.h>
#include <unicode/ustring.h>

#include <atomic>
#include <memory>
#include <mutex>

#include "platform/rtl_exception.h"

namespace revurov::platform {

namespace {

std::mutex gLocaleMutex;
std::string gLocale = "de_DE";
// Bumped on every locale change so that each thread reopens its collators.
std::atomic<unsigned> gLocaleGeneration{0};

struct CollatorCloser {
  void operator()(UCollator* c) const noexcept { ucol_close(c); }
};
using Collator = std::unique_ptr<UCollator, CollatorCloser>;

// Collators are used by one thread at a time: each thread keeps its own.
struct ThreadCollators {
  unsigned generation = ~0u;
  Collator ignore_case;
  Collator with_case;
};

UCollator* GetCollator(bool ignore_case) {
  thread_local ThreadCollators tlsCollators;
  const unsigned gen = gLocaleGeneration.load(std::memory_order_acquire);
  if (tlsCollators.generation != gen || !tlsCollators.ignore_case) {
    std::string locale;
    {
      std::lock_guard<std::mutex> lock(gLocaleMutex);
      locale = gLocale;
    }
    UErrorCode err = U_ZERO_ERROR;
    Collator a(ucol_open(locale.c_str(), &err));
    if (U_FAILURE(err)) throw Exception(u"Cannot open the collator of the user's locale");
    ucol_setStrength(a.get(), UCOL_SECONDARY);
    err = U_ZERO_ERROR;
    Collator b(ucol_open(locale.c_str(), &err));
    if (U_FAILURE(err)) throw Exception(u"Cannot open the collator of the user's locale");
    ucol_setStrength(b.get(), UCOL_TERTIARY);
    tlsCollators.ignore_case = std::move(a);
    tlsCollators.with_case = std::move(b);
    tlsCollators.generation = gen;
  }
  return ignore_case ? tlsCollators.ignore_case.get() : tlsCollators.with_case.get();
}

int Collate(UCollator* c, std::u16string_view a, std::u16string_view b) {
  const UCollationResult r =
      ucol_strcoll(c, reinterpret_cast<const UChar*>(a.data()), static_cast<int32_t>(a.size()),
                   reinterpret_cast<const UChar*>(b.data()), static_cast<int32_t>(b.size()));
  return r == UCOL_LESS ? -1 : (r == UCOL_GREATER ? 1 : 0);
}

}  // namespace

std::string UserLocale() {
  std::lock_guard<std::mutex> lock(gLocaleMutex);
  return gLocale;
}

void SetUserLocale(std::string locale) {
  std::lock_guard<std::mutex> lock(gLocaleMutex);
  gLocale = std::move(locale);
  gLocaleGeneration.fetch_add(1, std::memory_order_acq_rel);
}

int AnsiCompareText(std::u16string_view a, std::u16string_view b) { return Collate(GetCollator(true), a, b); }

int AnsiCompareStr(std::u16string_view a, std::u16string_view b) {
  const int r = Collate(GetCollator(false), a, b);
  if (r != 0 || a == b) return r;
  // Texts the collator cannot tell apart still differ: order them by code unit.
  return a < b ? -1 : 1;
}

bool AnsiSameText(std::u16string_view a, std::u16string_view b) { return AnsiCompareText(a, b) == 0; }

std::string AnsiTextSortKey(std::u16string_view text) {
  UCollator* c = GetCollator(true);
  const auto* chars = reinterpret_cast<const UChar*>(text.data());
  const auto length = static_cast<int32_t>(text.size());
  std::string key(64, '\0');
  int32_t size = ucol_getSortKey(c, chars, length, reinterpret_cast<uint8_t*>(key.data()), int32_t(key.size()));
  if (size > int32_t(key.size())) {
    key.resize(size_t(size));
    size = ucol_getSortKey(c, chars, length, reinterpret_cast<uint8_t*>(key.data()), int32_t(key.size()));
  }
  // The key ends with its terminating zero, which is not part of it.
  key.resize(size > 0 ? size_t(size - 1) : 0);
  return key;
}

int FoldCompareText(std::u16string_view a, std::u16string_view b) {
  UErrorCode err = U_ZERO_ERROR;
  const int32_t r = u_strCaseCompare(reinterpret_cast<const UChar*>(a.data()), static_cast<int32_t>(a.size()),
                                     reinterpret_cast<const UChar*>(b.data()), static_cast<int32_t>(b.size()),
                                     U_FOLD_CASE_DEFAULT | U_COMPARE_CODE_POINT_ORDER, &err);
  if (U_FAILURE(err)) return a < b ? -1 : (a == b ? 0 : 1);
  return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

bool FoldSameText(std::u16string_view a, std::u16string_view b) { return FoldCompareText(a, b) == 0; }

char16_t AnsiUpperChar(char16_t c) noexcept {
  if (c >= 0xD800 && c <= 0xDFFF) return c;
  const UChar32 u = u_toupper(c);
  return u <= 0xFFFF ? static_cast<char16_t>(u) : c;
}

char16_t AnsiLowerChar(char16_t c) noexcept {
  if (c >= 0xD800 && c <= 0xDFFF) return c;
  const UChar32 u = u_tolower(c);
  return u <= 0xFFFF ? static_cast<char16_t>(u) : c;
}

std::u16string AnsiUpperCase(std::u16string_view text) {
  std::u16string out(text);
  for (auto& c : out) c = AnsiUpperChar(c);
  return out;
}

std::u16string AnsiLowerCase(std::u16string_view text) {
  std::u16string out(text);
  for (auto& c : out) c = AnsiLowerChar(c);
  return out;
}

}  // namespace revurov::platform
