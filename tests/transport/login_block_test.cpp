#include <gtest/gtest.h>

#include <string>

#include "platform/endian.h"
#include "transport/login_block.h"

namespace revurov {
namespace {

std::u16string Repeat(std::u16string_view aUnit, int aCount) {
  std::u16string out;
  for (int i = 0; i < aCount; ++i) out += aUnit;
  return out;
}

// A text beyond 255 UTF-8 bytes loses the character the cut would split,
// never a part of it.
TEST(LoginBlock, TextsAreCutAtACharacterBoundary) {
  struct Row {
    const char* name;
    std::u16string text;
    size_t bytes;
  };
  const Row rows[] = {
      {"empty", u"", 0},
      {"ASCII of exactly 255 bytes", Repeat(u"a", 255), 255},
      {"ASCII beyond", Repeat(u"a", 300), 255},
      {"two-byte characters, cut inside the 128th", Repeat(u"\u00e9", 150), 254},
      {"three-byte characters, cut on a boundary", Repeat(u"\u20ac", 100), 255},
      {"four-byte characters, cut inside the 64th", Repeat(u"\U0001F600", 70), 252},
      {"one byte then four-byte characters", u"a" + Repeat(u"\U0001F600", 70), 253},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string cut = nxUtf8Prefix(row.text, nxLoginTextMax);
    EXPECT_EQ(cut.size(), row.bytes);
    const TnxLoginBlock block = nxBuildLoginBlock(row.text, u"", 0, 0);
    EXPECT_EQ(block[0], row.bytes);
    EXPECT_EQ(std::string(block.begin() + 1, block.begin() + 1 + row.bytes), cut);
  }
}

TEST(LoginBlock, FieldsLieWhereTheLayoutPutsThemAndTheRestIsZero) {
  const TnxLoginBlock block = nxBuildLoginBlock(u"ab", u"xyz", -1, 47501);
  TnxLoginBlock expected{};
  expected[0] = 2;
  expected[1] = 'a';
  expected[2] = 'b';
  expected[256] = 3;
  expected[257] = 'x';
  expected[258] = 'y';
  expected[259] = 'z';
  platform::StoreU32(expected.data() + 512, 0xFFFFFFFFu);
  platform::StoreU32(expected.data() + 516, 47501);
  EXPECT_EQ(block, expected);
}

}  // namespace
}  // namespace revurov
