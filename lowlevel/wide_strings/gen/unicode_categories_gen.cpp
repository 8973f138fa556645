// Build-time generator of the Unicode category resource ("NX_UNICODEDATA",
// "CATEGORIES") from ICU's character data. Writes a C++ source holding the
// resource bytes: records of category (1 byte), range count (32-bit LE) and
// ranges (first, last: 32-bit LE each), for the categories 0 to 47 except
// the unassigned one, then the assigned code points (54); up to U+10FFFD.
#include <unicode/uchar.h>

#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

constexpr UChar32 kLast = 0x10FFFD;

// General categories in the resource's order (0 to 29).
constexpr UCharCategory kGeneral[30] = {
    U_UPPERCASE_LETTER,     U_LOWERCASE_LETTER,    U_TITLECASE_LETTER,     U_NON_SPACING_MARK,
    U_COMBINING_SPACING_MARK, U_ENCLOSING_MARK,    U_DECIMAL_DIGIT_NUMBER, U_LETTER_NUMBER,
    U_OTHER_NUMBER,         U_SPACE_SEPARATOR,     U_LINE_SEPARATOR,       U_PARAGRAPH_SEPARATOR,
    U_CONTROL_CHAR,         U_FORMAT_CHAR,         U_SURROGATE,            U_PRIVATE_USE_CHAR,
    U_UNASSIGNED,           U_MODIFIER_LETTER,     U_OTHER_LETTER,         U_CONNECTOR_PUNCTUATION,
    U_DASH_PUNCTUATION,     U_START_PUNCTUATION,   U_END_PUNCTUATION,      U_INITIAL_PUNCTUATION,
    U_FINAL_PUNCTUATION,    U_OTHER_PUNCTUATION,   U_MATH_SYMBOL,          U_CURRENCY_SYMBOL,
    U_MODIFIER_SYMBOL,      U_OTHER_SYMBOL};

// Bidirectional classes in the resource's order (30 to 46).
constexpr UCharDirection kBidi[17] = {
    U_LEFT_TO_RIGHT,         U_LEFT_TO_RIGHT_EMBEDDING, U_LEFT_TO_RIGHT_OVERRIDE, U_RIGHT_TO_LEFT,
    U_RIGHT_TO_LEFT_ARABIC,  U_RIGHT_TO_LEFT_EMBEDDING, U_RIGHT_TO_LEFT_OVERRIDE, U_POP_DIRECTIONAL_FORMAT,
    U_EUROPEAN_NUMBER,       U_EUROPEAN_NUMBER_SEPARATOR, U_EUROPEAN_NUMBER_TERMINATOR, U_ARABIC_NUMBER,
    U_COMMON_NUMBER_SEPARATOR, U_BOUNDARY_NEUTRAL,      U_SEGMENT_SEPARATOR,      U_WHITE_SPACE_NEUTRAL,
    U_OTHER_NEUTRAL};

constexpr int kComposed = 47;
constexpr int kUnassigned = 16;
constexpr int kAssigned = 54;

bool InCategory(int category, UChar32 c) {
  const auto gc = static_cast<UCharCategory>(u_charType(c));
  if (category == kAssigned) return gc != U_UNASSIGNED;
  if (category < 30) return gc == kGeneral[category];
  // Only assigned code points carry a bidirectional class or a decomposition.
  if (gc == U_UNASSIGNED) return false;
  if (category < 47) return u_charDirection(c) == kBidi[category - 30];
  return u_getIntPropertyValue(c, UCHAR_DECOMPOSITION_TYPE) == U_DT_CANONICAL;
}

void Put32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT.cpp\n", argv[0]);
    return 2;
  }
  std::vector<int> categories;
  for (int c = 0; c <= kComposed; ++c)
    if (c != kUnassigned) categories.push_back(c);
  categories.push_back(kAssigned);

  std::vector<uint8_t> data;
  for (int category : categories) {
    std::vector<std::pair<uint32_t, uint32_t>> ranges;
    for (UChar32 c = 0; c <= kLast; ++c) {
      if (!InCategory(category, c)) continue;
      if (!ranges.empty() && ranges.back().second + 1 == static_cast<uint32_t>(c))
        ranges.back().second = static_cast<uint32_t>(c);
      else
        ranges.emplace_back(static_cast<uint32_t>(c), static_cast<uint32_t>(c));
    }
    data.push_back(static_cast<uint8_t>(category));
    Put32(data, static_cast<uint32_t>(ranges.size()));
    for (const auto& r : ranges) {
      Put32(data, r.first);
      Put32(data, r.second);
    }
  }

  std::FILE* f = std::fopen(argv[1], "w");
  if (!f) {
    std::perror(argv[1]);
    return 1;
  }
  std::fprintf(f, "// Generated from ICU %s (Unicode %s) at build time; do not edit.\n", U_ICU_VERSION,
               U_UNICODE_VERSION);
  std::fprintf(f, "#include <cstddef>\n#include <cstdint>\n\nnamespace revurov {\n\n");
  std::fprintf(f, "extern const uint8_t nxUnicodeCategoriesResource[];\n");
  std::fprintf(f, "extern const size_t nxUnicodeCategoriesResourceSize;\n\n");
  std::fprintf(f, "const uint8_t nxUnicodeCategoriesResource[] = {");
  for (size_t i = 0; i < data.size(); ++i)
    std::fprintf(f, "%s%u,", i % 24 == 0 ? "\n" : "", static_cast<unsigned>(data[i]));
  std::fprintf(f, "\n};\n\nconst size_t nxUnicodeCategoriesResourceSize = %zu;\n\n}  // namespace revurov\n",
               data.size());
  const bool ok = std::fclose(f) == 0;
  return ok ? 0 : 1;
}
