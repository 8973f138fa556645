// Unicode character categories for UTF-16 code units, from the category
// resource linked into the program ("NX_UNICODEDATA", "CATEGORIES").
//
// Contract:
// - The resource is a sequence of records up to its end: category (1 byte,
//   0 to 54), range count (32-bit LE), then that many ranges of first and
//   last code point (32-bit LE each). A record cut short or a category out
//   of range raises EReadError ("Stream-Lesefehler").
// - nxCharInCategories loads the tables on first use, once per process,
//   under the unit's padlock, and may be called from any thread. Code units
//   are classified one by one: above U+FFFF nothing is classified, and the
//   halves of a surrogate pair are ccOtherSurrogate.
// - nxCodePointInCategories classifies a whole code point (0 to U+10FFFF),
//   so a character outside the BMP is judged by its own categories rather
//   than by those of its surrogates; above U+10FFFF nothing is classified.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <vector>

namespace revurov {

enum TnxCharacterCategory : uint8_t {
  ccLetterUppercase, ccLetterLowercase, ccLetterTitlecase, ccMarkNonSpacing, ccMarkSpacingCombining,
  ccMarkEnclosing, ccNumberDecimalDigit, ccNumberLetter, ccNumberOther, ccSeparatorSpace, ccSeparatorLine,
  ccSeparatorParagraph, ccOtherControl, ccOtherFormat, ccOtherSurrogate, ccOtherPrivate, ccOtherUnassigned,
  ccLetterModifier, ccLetterOther, ccPunctuationConnector, ccPunctuationDash, ccPunctuationOpen,
  ccPunctuationClose, ccPunctuationInitialQuote, ccPunctuationFinalQuote, ccPunctuationOther, ccSymbolMath,
  ccSymbolCurrency, ccSymbolModifier, ccSymbolOther, ccLeftToRight, ccLeftToRightEmbedding,
  ccLeftToRightOverride, ccRightToLeft, ccRightToLeftArabic, ccRightToLeftEmbedding, ccRightToLeftoverride,
  ccPopDirectionalFormat, ccEuropeanNumber, ccEuropeanNumberSeparator, ccEuropeanNumberTerminator,
  ccArabicNumber, ccCommonNumberSeparator, ccBoundaryNeutral, ccSegmentSeparator, ccWhiteSpace,
  ccOtherNeutrals, ccComposed, ccNonBreaking, ccSymmetric, ccHexDigit, ccQuotationMark, ccMirroring,
  ccSpaceOther, ccAssigned
};
inline constexpr int nxCharacterCategoryCount = 55;

// A set of categories: 7 bytes, bit n = category n.
class TnxCharacterCategories {
public:
  constexpr TnxCharacterCategories() = default;
  constexpr TnxCharacterCategories(std::initializer_list<TnxCharacterCategory> aCategories) {
    for (TnxCharacterCategory c : aCategories) Include(c);
  }
  constexpr void Include(TnxCharacterCategory c) { ccBits[c >> 3] |= static_cast<uint8_t>(1u << (c & 7)); }
  constexpr bool Contains(TnxCharacterCategory c) const { return (ccBits[c >> 3] >> (c & 7)) & 1; }
  constexpr bool Intersects(const TnxCharacterCategories& o) const {
    for (size_t i = 0; i < ccBits.size(); ++i)
      if (ccBits[i] & o.ccBits[i]) return true;
    return false;
  }
  constexpr bool Empty() const {
    for (uint8_t b : ccBits)
      if (b) return false;
    return true;
  }
  const std::array<uint8_t, 7>& Bits() const noexcept { return ccBits; }

private:
  std::array<uint8_t, 7> ccBits{};
};
static_assert(sizeof(TnxCharacterCategories) == 7);

struct TnxRange {
  uint32_t rngStart = 0;
  uint32_t rngStop = 0;
};
using TnxRangeArray = std::vector<TnxRange>;
using TnxCategoryRanges = std::array<TnxRangeArray, nxCharacterCategoryCount>;

// The bytes of the category resource.
std::span<const uint8_t> nxUnicodeCategoriesData() noexcept;

// Reads the records of a category resource into one range list per category.
void nxReadCharacterCategories(std::span<const uint8_t> aData, TnxCategoryRanges& aRanges);

// Unit start-up (creates the padlock) and shut-down (frees it and the
// tables); reference-counted, the first start-up and last shut-down act.
void nxWideStringCategoriesStartup();
void nxWideStringCategoriesShutdown();

void nxLoadCharacterCategories();
bool nxCharInCategories(char16_t aChar, const TnxCharacterCategories& aCategories);
bool nxCodePointInCategories(char32_t aCodePoint, const TnxCharacterCategories& aCategories);
// The ranges read for a category (loads the tables first).
const TnxRangeArray& nxCharacterCategoryRanges(TnxCharacterCategory aCategory);

}  // namespace revurov
