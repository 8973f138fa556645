#include "platform/format.h"

#include <gtest/gtest.h>

#include "platform/rtl_exception.h"

namespace revurov::platform {
namespace {

TEST(Format, ErrorMessageFormsOfTheLibrary) {
  EXPECT_EQ(Format(u"RevurOV: %s [$%x/%d]", {u"Out of memory", 9473, 9473}),
            u"RevurOV: Out of memory [$2501/9473]");
  EXPECT_EQ(Format(u"RevurOV: %s: %s [no error code]", {u"Table1", u"msg"}),
            u"RevurOV: Table1: msg [no error code]");
}

struct Case {
  const char16_t* fmt;
  std::u16string expected;
};

TEST(Format, IntegerDirectives) {
  EXPECT_EQ(Format(u"%d", {-42}), u"-42");
  EXPECT_EQ(Format(u"%5d|", {42}), u"   42|");
  EXPECT_EQ(Format(u"%-5d|", {42}), u"42   |");
  EXPECT_EQ(Format(u"%.4d", {-42}), u"-0042");
  EXPECT_EQ(Format(u"%x", {255}), u"FF");
  EXPECT_EQ(Format(u"%.4x", {255}), u"00FF");
  EXPECT_EQ(Format(u"%x", {-1}), u"FFFFFFFF");
  EXPECT_EQ(Format(u"%x", {int64_t{-1}}), u"FFFFFFFFFFFFFFFF");
  EXPECT_EQ(Format(u"%u", {-1}), u"4294967295");
  EXPECT_EQ(Format(u"%d", {INT64_MIN}), u"-9223372036854775808");
  EXPECT_EQ(Format(u"%d", {UINT64_MAX}), u"18446744073709551615");
  EXPECT_EQ(Format(u"%*d", {4, 7}), u"   7");
}

TEST(Format, TextIndexAndPercent) {
  EXPECT_EQ(Format(u"%s and %s", {u"a", std::string("b\xC3\xA4")}), u"a and b\u00E4");
  EXPECT_EQ(Format(u"%.2s", {u"abcdef"}), u"ab");
  EXPECT_EQ(Format(u"%1:s %0:s %s", {u"x", u"y"}), u"y x y");
  EXPECT_EQ(Format(u"100%%"), u"100%");
  EXPECT_EQ(Format(u"%s", {u'Z'}), u"Z");
}

TEST(Format, FloatDirectives) {
  EXPECT_EQ(Format(u"%f", {1.5}), u"1.50");
  EXPECT_EQ(Format(u"%.3f", {2.0}), u"2.000");
  EXPECT_EQ(Format(u"%n", {1234567.891}), u"1,234,567.89");
  EXPECT_EQ(Format(u"%n", {-1234.0}), u"-1,234.00");
  EXPECT_EQ(Format(u"%e", {1.0}), u"1.00000000000000E+000");
  EXPECT_EQ(Format(u"%g", {0.5}), u"0.5");
  EXPECT_EQ(Format(u"%g", {1e20}), u"1E20");
}

TEST(Format, RejectsMalformedOrMismatchedDirectives) {
  const char16_t* bad[] = {u"%", u"%d", u"%q", u"%5", u"%s"};
  for (const char16_t* f : bad) EXPECT_THROW(Format(f), EConvertError);
  EXPECT_THROW(Format(u"%d", {u"text"}), EConvertError);
  EXPECT_THROW(Format(u"%s", {5}), EConvertError);
  EXPECT_THROW(Format(u"%f", {5}), EConvertError);
  try {
    Format(u"%d", {u"x"});
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), u"Format '%d' invalid or incompatible with argument");
  }
}

TEST(Format, NarrowFormIsUtf8) { EXPECT_EQ(Format("%s=%d", {"\xC3\xA4", 3}), "\xC3\xA4=3"); }

}  // namespace
}  // namespace revurov::platform
