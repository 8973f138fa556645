#include "lowlevel/errors/error_codes.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>


namespace revurov {
namespace {

constexpr char16_t kUnknown[] = u"Unknown (server exception object has unknown error code)";

std::u16string TextOf(int32_t code) {
  std::u16string text = u"stale";
  nxBdeErrorMessage(code, text);
  return text;
}

struct CodeText {
  int32_t code;
  const char16_t* text;
};

TEST(ErrorCodes, CodesYieldTheirOwnOrComposedTexts) {
  const CodeText cases[] = {
      {0, u"Success"},
      {1, u"Key has been filtered"},
      {3, u"Cache is invalid"},
      {8455, u"System has been illegally re-entered."},
      {8705, u"At beginning of table."},
      {8712, u"Could not find object."},
      {8962, u"Corrupt file - other than header."},
      {9221, u"Cannot access file. File may be in use by another process."},
      {9473, u"Insufficient memory for this operation."},
      {9729, u"Key violation."},
      {9751, u"Expression validity check failed."},
      {9985, u"Number is out of range."},
      {10043, u"Invalid language Driver."},
      {10050, u"Filter handle is invalid"},
      {10068, u"Invalid name."},
      {10259, u"Couldn't perform the edit because another user changed the record."},
      {10503, u"Encrypted tables not supported."},
      {10764, u"No associated index."},
      {11114, u"No ServerEngine is connected to the CommandHandler."},
      {11278, u"Cannot locate or connect to network server."},
      {11896, u"General BLOB error."},
      {12040, u"Higher table level required"},
      {12289, u"Capability not supported."},
      {13062, u"Update aborted."},
      {15360, u"TnxBaseFile contains invalid data"},
      {15409, u"Block number is either < 0, or >= number of blocks in file"},
      {15414,
       u"A TnxServerEngine without file header access factories has been detected. Please add "
       u"\"nxseAllEngines\" to your program's USES clause, and recompile."},
      {15497, u"Temporary Storage: Full"},
      {15521, u"Unknown (unexpected exception object raised)"},
      {15536, u"No message is queued"},
      // Cache-invalid forms of the positioning codes compose their text.
      {8946, u"Cache is invalid: At end of table."},
      {8949, u"Cache is invalid: No current record."},
      {8945, u"Cache is invalid: At beginning of table."},
      {8952, u"Cache is invalid: Could not find object."},
      // The positioning codes 0x2200 and 0x220F have no row of their own.
      {8944, u"Cache is invalid: Unknown (server exception object has unknown error code)"},
      {8959, u"Cache is invalid: Unknown (server exception object has unknown error code)"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(TextOf(c.code), c.text) << c.code;
  }
}

TEST(ErrorCodes, NamedConstantsCarryTheirCodes) {
  EXPECT_EQ(nxeKeyViolation, 9729u);
  EXPECT_EQ(nxeIncompatibleStream, 15498u);
  EXPECT_EQ(nxeUnsupportedDictionaryDescriptor, 15499u);
  EXPECT_EQ(nxeSubEngineNotSupported, 15503u);
  EXPECT_EQ(nxeIncompatibleVersion, 12039u);
  EXPECT_EQ(nxeOutOfMemory, 9473u);
  EXPECT_EQ(nxeUnknownException, 15521u);
  EXPECT_EQ(TextOf(nxeOSError), u"Unknown internal operating system error.");
}

TEST(ErrorCodes, CodesWithoutARowYieldTheUnknownText) {
  const int32_t cases[] = {
      4,       8707,   8943,  8960,  15520, 15523, 15537, 65535, 0x10000 | 9729,
      0x122F6, -1,     -9729, INT32_MIN, INT32_MAX,
  };
  for (int32_t code : cases) {
    EXPECT_EQ(TextOf(code), kUnknown) << code;
  }
  EXPECT_EQ(TextOf(nxeExceptionWithoutCode), kUnknown);
}

TEST(ErrorMessages, CodeFormsShowTheCodeInHexAndDecimal) {
  EXPECT_EQ(nxFormatCodeMessage(u"Key violation.", 9729), u"RevurOV: Key violation. [$2601/9729]");
  EXPECT_EQ(nxFormatCodeMessage(u"Bad name", 10039), u"RevurOV: Bad name [$2737/10039]");
  EXPECT_EQ(nxFormatCodeMessage(u"", 0), u"RevurOV:  [$0/0]");
  // Codes are unsigned: the top bit shows as a large number, not a negative one.
  EXPECT_EQ(nxFormatCodeMessage(u"x", 0xFFFFFFFFu), u"RevurOV: x [$FFFFFFFF/4294967295]");
  EXPECT_EQ(nxFormatComponentCodeMessage(u"nxSession", u"Table is open.", 10031),
            u"RevurOV: nxSession: Table is open. [$272F/10031]");
}

TEST(ErrorMessages, NoCodeFormsSaySo) {
  EXPECT_EQ(nxFormatNoCodeMessage(u"Success"), u"RevurOV: Success [no error code]");
  EXPECT_EQ(nxFormatComponentNoCodeMessage(u"Log1", u"gone"),
            u"RevurOV: Log1: gone [no error code]");
}

TEST(ErrorMessages, MessageTextIsNotReadAsAFormat) {
  EXPECT_EQ(nxFormatCodeMessage(u"100% %s %d done", 9986),
            u"RevurOV: 100% %s %d done [$2702/9986]");
  EXPECT_EQ(nxFormatComponentNoCodeMessage(u"a%x", u"%%"), u"RevurOV: a%x: %% [no error code]");
  EXPECT_EQ(nxFormatCodeMessage(u"Ünderung\nzwei", 1), u"RevurOV: Ünderung\nzwei [$1/1]");
}

}  // namespace
}  // namespace revurov
