#include "platform/locale_text.h"

#include <unicode/uchar.h>
#include <unicode/ucol.h>
#include <unicode/ucoleitr.h>
#include <unicode/uset.h>
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
  // Whether AnsiTextAsciiKey may answer for ignore_case: -1 not known yet.
  int ascii_by_character = -1;
};

thread_local ThreadCollators tlsCollators;

// The answer of WeighsAsciiByCharacter depends on the locale alone, and
// finding it walks the whole collation table: found once per locale for
// all threads. (generation + 1) * 2 + answer; 0 while not known.
std::atomic<uint64_t> gAsciiByCharacter{0};

UCollator* GetCollator(bool ignore_case) {
  unsigned gen = gLocaleGeneration.load(std::memory_order_acquire);
  if (tlsCollators.generation != gen || !tlsCollators.ignore_case) {
    std::string locale;
    {
      // The locale and its generation as one pair: answers shared between
      // threads are labelled with it.
      std::lock_guard<std::mutex> lock(gLocaleMutex);
      locale = gLocale;
      gen = gLocaleGeneration.load(std::memory_order_acquire);
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
    tlsCollators.ascii_by_character = -1;
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

constexpr char16_t kFirstPrintableAscii = 0x20;
constexpr char16_t kLastPrintableAscii = 0x7E;

char FoldAscii(char16_t c) {
  return static_cast<char>(c >= u'A' && c <= u'Z' ? c + (u'a' - u'A') : c);
}

// Whether the caseless collator c compares texts of printable ASCII as
// those texts with their letters folded to lower case, checked on the
// collator itself rather than assumed of a locale (Turkish gives "I" a
// weight apart from "i", Czech contracts "ch", Danish "aa").
//
// The argument: at secondary strength two texts are equal exactly when
// their sequences of collation elements agree in primary and secondary
// weight. If (1) no contraction or prefix rule consists of printable ASCII
// alone, each such text's sequence is its characters' own elements one
// after the other; if (2) each character has exactly one element (no
// expansion, no continuation) with a primary weight that is not zero
// (nothing ignorable), (3) a capital has the very primary and secondary
// weight of its small letter, and (4) characters that differ after folding
// differ in primary weight, then equal folded texts give equal sequences,
// and equal sequences, one non-zero primary per character, give equal
// folded texts. (5) Attributes that work beyond the elements must be off:
// shifted punctuation (ignorable), the case level (case at secondary
// strength), numeric ordering ("01" = "1").
bool WeighsAsciiByCharacter(UCollator* c) {
  UErrorCode err = U_ZERO_ERROR;
  if (ucol_getStrength(c) != UCOL_SECONDARY ||
      ucol_getAttribute(c, UCOL_ALTERNATE_HANDLING, &err) != UCOL_NON_IGNORABLE ||
      ucol_getAttribute(c, UCOL_CASE_LEVEL, &err) != UCOL_OFF ||
      ucol_getAttribute(c, UCOL_NUMERIC_COLLATION, &err) != UCOL_OFF || U_FAILURE(err))
    return false;

  struct SetCloser {
    void operator()(USet* s) const noexcept { uset_close(s); }
  };
  std::unique_ptr<USet, SetCloser> contractions(uset_openEmpty());
  ucol_getContractionsAndExpansions(c, contractions.get(), nullptr, true, &err);
  if (U_FAILURE(err)) return false;
  const int32_t items = uset_getItemCount(contractions.get());
  for (int32_t i = 0; i < items; ++i) {
    UChar32 start = 0, end = 0;
    UChar text[64];
    err = U_ZERO_ERROR;
    const int32_t length = uset_getItem(contractions.get(), i, &start, &end, text, 64, &err);
    if (U_FAILURE(err)) return false;  // a string too long to look at: assume the worst
    bool allAscii = length > 0;
    for (int32_t k = 0; k < length && allAscii; ++k)
      allAscii = text[k] >= kFirstPrintableAscii && text[k] <= kLastPrintableAscii;
    if (allAscii) return false;
  }

  struct ElementsCloser {
    void operator()(UCollationElements* e) const noexcept { ucol_closeElements(e); }
  };
  int32_t element[128] = {};
  for (char16_t ch = kFirstPrintableAscii; ch <= kLastPrintableAscii; ++ch) {
    err = U_ZERO_ERROR;
    std::unique_ptr<UCollationElements, ElementsCloser> it(ucol_openElements(c, &ch, 1, &err));
    if (U_FAILURE(err)) return false;
    const int32_t first = ucol_next(it.get(), &err);
    const int32_t second = ucol_next(it.get(), &err);
    if (U_FAILURE(err) || first == UCOL_NULLORDER || second != UCOL_NULLORDER || ucol_primaryOrder(first) == 0)
      return false;
    element[ch] = first;
  }
  for (char16_t a = kFirstPrintableAscii; a <= kLastPrintableAscii; ++a) {
    for (char16_t b = kFirstPrintableAscii; b < a; ++b) {
      const int32_t ea = element[a], eb = element[b];
      if (FoldAscii(a) == FoldAscii(b)) {
        if (ucol_primaryOrder(ea) != ucol_primaryOrder(eb) || ucol_secondaryOrder(ea) != ucol_secondaryOrder(eb))
          return false;
      } else if (ucol_primaryOrder(ea) == ucol_primaryOrder(eb)) {
        return false;
      }
    }
  }
  return true;
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

bool AnsiTextAsciiKey(std::u16string_view text, std::string& key) {
  for (char16_t c : text)
    if (c < kFirstPrintableAscii || c > kLastPrintableAscii) return false;
  UCollator* c = GetCollator(true);
  if (tlsCollators.ascii_by_character < 0) {
    const uint64_t known = (uint64_t{tlsCollators.generation} + 1) * 2;
    const uint64_t shared = gAsciiByCharacter.load(std::memory_order_acquire);
    if ((shared & ~uint64_t{1}) == known) {
      tlsCollators.ascii_by_character = static_cast<int>(shared & 1);
    } else {
      tlsCollators.ascii_by_character = WeighsAsciiByCharacter(c) ? 1 : 0;
      gAsciiByCharacter.store(known | static_cast<uint64_t>(tlsCollators.ascii_by_character),
                              std::memory_order_release);
    }
  }
  if (tlsCollators.ascii_by_character == 0) return false;
  key.resize(text.size());
  for (size_t i = 0; i < text.size(); ++i) key[i] = FoldAscii(text[i]);
  return true;
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
