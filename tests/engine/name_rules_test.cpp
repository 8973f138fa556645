#include "engine/name_rules.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "lowlevel/errors/exceptions.h"
#include "lowlevel/startup.h"
#include "support/u8_text.h"

namespace revurov {
namespace {

using testing::U8;

enum Check { TableName, RelativeName, TablePath, AliasName, ObjectName };

struct Case {
  Check check;
  std::u16string name;
  bool emptyIsMissing;
  bool allowSystem;
  uint32_t result;
  // The code and the text of the message left behind (none for 0).
  uint32_t messageCode;
  const char* messageText;
};

uint32_t RunCheck(const Case& c) {
  switch (c.check) {
    case TableName: return nxValidateTableName(c.name, c.emptyIsMissing, c.allowSystem);
    case RelativeName: return nxValidateRelativeTableName(c.name);
    case TablePath: return nxValidateTablePath(c.name, c.emptyIsMissing, c.allowSystem);
    case AliasName: return nxValidateAliasName(c.name, c.emptyIsMissing);
    case ObjectName: return nxValidateName(c.name, c.emptyIsMissing);
  }
  return 0;
}

std::string Expected(uint32_t aCode, const std::string& aText) {
  char tail[32];
  std::snprintf(tail, sizeof tail, " [$%X/%u]", aCode, aCode);
  return "RevurOV: " + aText + tail;
}

class NameRules : public ::testing::Test {
protected:
  void SetUp() override { EnxBaseException::SetLastConvertedException(0, u""); }
  TnxLowLevelStartupGuard library;
};

TEST_F(NameRules, ChecksEveryFormWithItsCodeAndDetail) {
  const std::u16string l128(128, u'a');
  const std::u16string l129(129, u'a');
  const Case cases[] = {
      // Table names.
      {TableName, u"Customers", false, false, 0, 0, ""},
      {TableName, l128, false, false, 0, 0, ""},
      {TableName, l129, false, false, 10039, 10039, "Invalid table name. Maximum length of 128 characters has been exceeded."},
      {TableName, u"<" + l128 + u">", false, false, 0, 0, ""},
      {TableName, u"<>", false, false, 10039, 10039, "Invalid table name. \"<\" is not a valid character."},
      {TableName, u"<a>", false, false, 0, 0, ""},
      {TableName, u"<$a>", false, false, 10039, 10039, "Invalid table name. Reserved Identifier not allowed."},
      {TableName, u"<$a>", false, true, 0, 0, ""},
      {TableName, u"$Sys", false, false, 10039, 10039, "Invalid table name. Reserved Identifier not allowed."},
      {TableName, u"$Sys", false, true, 0, 0, ""},
      {TableName, u"a:b", false, false, 10039, 10039, "Invalid table name. Child name separators \":\" are not allowed."},
      {TableName, u"", false, false, 10039, 10039, "Invalid table name. Empty string is not allowed."},
      {TableName, u"", true, false, 10024, 10039, "Invalid table name. Empty string is not allowed."},
      {TableName, u" a", true, false, 10039, 10039, "Invalid table name. Leading/trailing spaces are not allowed."},
      {TableName, u"###a", false, false, 0, 0, ""},
      // Relative parts.
      {RelativeName, u".", false, false, 0, 0, ""},
      {RelativeName, u"..:Orders", false, false, 0, 0, ""},
      {RelativeName, u"$Sys", false, false, 0, 0, ""},
      {RelativeName, u"a::b", false, false, 10039, 10039, "Invalid table name. Empty string is not allowed."},
      {RelativeName, u"a*", false, false, 10039, 10039, "Invalid table name. \"*\" is not a valid character."},
      // Table paths.
      {TablePath, u"a:b", false, false, 0, 0, ""},
      {TablePath, u"a:..:b", false, false, 0, 0, ""},
      {TablePath, u"a:.", false, false, 0, 0, ""},
      {TablePath, u"<t>:..", false, false, 0, 0, ""},
      {TablePath, u"a::b", false, false, 10039, 10039, "Invalid table name. Empty string is not allowed."},
      {TablePath, u"a:", false, false, 10039, 10039, "Invalid table name. Empty string is not allowed."},
      {TablePath, u":a", true, false, 10039, 10039, "Invalid table name. Empty string is not allowed."},
      {TablePath, u"$a:b", false, false, 10039, 10039, "Invalid table name. Reserved Identifier not allowed."},
      {TablePath, u"$a:b", false, true, 0, 0, ""},
      {TablePath, u"", true, false, 10024, 10039, "Invalid table name. Empty string is not allowed."},
      {TablePath, u"", false, false, 10039, 10039, "Invalid table name. Empty string is not allowed."},
      // Aliases: "$" is allowed.
      {AliasName, u"Data", false, false, 0, 0, ""},
      {AliasName, u"$Data", false, false, 0, 0, ""},
      {AliasName, l129, false, false, 10067, 10067, "Invalid alias name. Maximum length of 128 characters has been exceeded."},
      {AliasName, u"a:b", false, false, 10067, 10067, "Invalid alias name. \":\" is not a valid character."},
      {AliasName, u"", false, false, 10067, 10067, "Invalid alias name. Empty string is not allowed."},
      {AliasName, u"", true, false, 10014, 10067, "Invalid alias name. Empty string is not allowed."},
      // Other objects.
      {ObjectName, u"sp_Do", false, false, 0, 0, ""},
      {ObjectName, u"x ", false, false, 10068, 10068, "Invalid name. Leading/trailing spaces are not allowed."},
      {ObjectName, u"", false, false, 10068, 10068, "Invalid name. Empty string is not allowed."},
      {ObjectName, u"", true, false, 8712, 10068, "Invalid name. Empty string is not allowed."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(U8(c.name) + " check " + std::to_string(c.check));
    EnxBaseException::SetLastConvertedException(0, u"");
    EXPECT_EQ(RunCheck(c), c.result);
    uint32_t code = 0;
    std::u16string message;
    EnxBaseException::GetLastConvertedException(code, message);
    EXPECT_EQ(code, c.messageCode);
    if (c.messageCode) {
      EXPECT_EQ(U8(EnxBaseException(c.messageCode).Message()), Expected(c.messageCode, c.messageText));
    }
  }
}

TEST_F(NameRules, TellsTemporaryTablesByTheirNames) {
  struct TempCase {
    std::u16string name;
    bool global, database;
  };
  const TempCase cases[] = {
      {u"#a", false, false},   {u"##a", false, true}, {u"###a", true, false}, {u"####a", false, false},
      {u"<a>", true, false},   {u"<>", false, false}, {u"###", false, false}, {u"##", false, false},
      {u"a##", false, false},  {u"", false, false},
  };
  for (const TempCase& c : cases) {
    EXPECT_EQ(nxIsTempGlobalTableName(c.name), c.global) << U8(c.name);
    EXPECT_EQ(nxIsTempDatabaseTableName(c.name), c.database) << U8(c.name);
  }
}

}  // namespace
}  // namespace revurov
