#include "app/security_file.h"

#include <gtest/gtest.h>

#include <functional>

#include "platform/file_ops.h"
#include "platform/format.h"
#include "platform/text.h"
#include "support/fault_file_ops.h"
#include "support/temp_dir.h"

namespace tesmira {
namespace {

using revurov::platform::EConvertError;
using revurov::platform::EEncodingError;
using revurov::platform::Exception;
using revurov::platform::Utf8ToUtf16;
using revurov::testing::TFaultFileOps;
using revurov::testing::TFileOp;
using revurov::testing::TempDir;

TRightsBoxes Boxes(std::u16string_view flags) {
  TRightsBoxes b{};
  for (size_t i = 0; i < b.size(); ++i) b[i] = flags[i] == u'1';
  return b;
}

TEST(SecurityFile, RightsStringsOfTheBoxes) {
  EXPECT_EQ(GroupRightsToString(Boxes(u"1111111111111111")), u"1111111111111111");
  EXPECT_EQ(TableRightsToString(Boxes(u"1000000000000001")), u"1000000000000001");
  EXPECT_EQ(GroupRightsToString(TRightsBoxes{}), u"0000000000000000");
  EXPECT_EQ(kRights[8].TableCaption, std::u16string_view(u"Externe Prog. starten"));
  EXPECT_EQ(kRights[8].GroupCaption, std::u16string_view(u"Externe Prg. starten"));
  EXPECT_STREQ(kRights[15].GroupBox, "cbPrintReportGrp");
}

TEST(SecurityFile, ApplyRightsPadsAndChecks) {
  const struct {
    std::u16string value;
    std::u16string boxes;
  } cases[] = {
      {u"1111111111111111111", u"1111111111111111"},  // the missing-key default
      {u"0000000000", u"0000000000111111"},           // ten flags of an older file
      {u"0", u"0111111111111111"},                    // never read past the end
      {u"", u"1111111111111111"},
      {u"2000000000000000", u"1000000000000000"},     // any digit but 0 allows
      {u"00000000000000009", u"0000000000000000"},    // only sixteen are read
      {u"010101010101", u"0101010101011111"},
  };
  for (const auto& c : cases) {
    TRightsBoxes b{};
    ApplyRights(c.value, b);
    EXPECT_EQ(TableRightsToString(b), c.boxes) << revurov::platform::Utf16ToUtf8(c.value);
  }
}

TEST(SecurityFile, NonDigitStopsAfterSettingTheBoxesBeforeIt) {
  TRightsBoxes b = Boxes(u"1111111111111111");
  try {
    ApplyRights(u"00x0000000000000", b);
    FAIL();
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), u"'x' ist kein g\u00FCltiger Integerwert");
  }
  EXPECT_EQ(TableRightsToString(b), u"0011111111111111");
}

TEST(SecurityFile, SplitGroupList) {
  const struct {
    std::u16string text;
    std::vector<std::u16string> items;
  } cases[] = {
      {u"g1;g2;x", {u"G1", u"G2"}},
      {u"G1;G2;", {u"G1", u"G2"}},
      {u"a;;b;", {u"A", u"", u"B"}},
      {u"", {}},
      {u"nosemicolon", {}},
      {u"m\u00FCller;", {u"M\u00DCLLER"}},
  };
  for (const auto& c : cases) EXPECT_EQ(SplitGroupList(c.text), c.items);
  std::vector<std::u16string> list{u"KEEP"};
  SplitGroupList(u"a;", list);
  EXPECT_EQ(list, (std::vector<std::u16string>{u"KEEP", u"A"}));
  EXPECT_EQ(JoinGroupList({u"G1", u"G2"}), u"G1;G2;");
}

TEST(SecurityFile, GoldenFileOfAdminUserAndGroup) {
  TempDir dir;
  TSecurityData data(Utf8ToUtf16(dir.Dir()));
  EXPECT_FALSE(data.Exists());
  data.SaveAdmin(u"Chef", u"abc");
  data.WriteUser(u"M\u00DCLLER", TUserEntry{u"geheim", false, {u"G1", u"G2"}});
  data.WriteTableRights(u"G1", {u"ARTIKEL", u"KUNDEN"}, u"1111000011110000");
  const std::string expected =
      "\xEF\xBB\xBF"
      "[Config]\r\nAdmin=Chef\r\nPW=a\xC3\x83" "c\r\n\r\n"
      "[M\xC3\x9CLLER]\r\nPW=geheim\r\nSetup=0\r\nGruppe=G1;G2;\r\n\r\n"
      "[G1]\r\nARTIKEL=1111000011110000\r\nKUNDEN=1111000011110000\r\n\r\n";
  EXPECT_EQ(dir.Read("TesmiraSec.dat"), expected);

  const TAdminEntry admin = data.ReadAdmin();
  EXPECT_EQ(admin.Admin, u"Chef");
  EXPECT_EQ(admin.Password, u"abc");
  const TUserEntry user = data.ReadUser(u"m\u00FCller");
  EXPECT_EQ(user.Password, u"geheim");
  EXPECT_FALSE(user.Setup);
  EXPECT_EQ(user.Groups, (std::vector<std::u16string>{u"G1", u"G2"}));
  TRightsBoxes b{};
  data.LoadTableRights(u"g1", u"artikel", b);
  EXPECT_EQ(TableRightsToString(b), u"1111000011110000");
  data.LoadTableRights(u"G1", u"MISSING", b);
  EXPECT_EQ(TableRightsToString(b), u"1111111111111111");
}

TEST(SecurityFile, EmptyPasswordDisablesTheCheck) {
  TempDir dir;
  TSecurityData data(Utf8ToUtf16(dir.Dir()));
  EXPECT_EQ(data.ReadAdmin().Password, u"");  // no file: no administrator
  data.SaveAdmin(u"", u"");
  EXPECT_EQ(dir.Read("TesmiraSec.dat"), "\xEF\xBB\xBF[Config]\r\nAdmin=\r\nPW=\r\n\r\n");
  EXPECT_EQ(data.ReadAdmin().Password, u"");
}

TEST(SecurityFile, PasswordWithLineBreakAfterScramblingReadsBack) {
  TempDir dir;
  TSecurityData data(Utf8ToUtf16(dir.Dir()));
  // 'a' + 0xAC = 0x10D -> 0x0D: the scrambled value holds a CR.
  const std::u16string pw = std::u16string{u'a', 0xAC, u'z'};
  data.SaveAdmin(u"A", pw);
  EXPECT_EQ(data.ReadAdmin().Password, pw);
}

TEST(SecurityFile, ReadingAndErasing) {
  TempDir dir;
  TSecurityData data(Utf8ToUtf16(dir.Dir()));
  const TUserEntry none = data.ReadUser(u"NOBODY");
  EXPECT_TRUE(none.Setup);
  EXPECT_TRUE(none.Groups.empty());
  data.WriteTableRights(u"G1", {}, u"1");
  EXPECT_FALSE(data.Exists());  // a group without tables writes nothing
  data.WriteUser(u"U", TUserEntry{u"", true, {u"G1"}});
  data.WriteTableRights(u"G1", {u"A", u"B"}, u"0000000000000000");
  data.DeleteTableRights(u"G1", u"A");
  EXPECT_EQ(dir.Read("TesmiraSec.dat"),
            "\xEF\xBB\xBF[U]\r\nPW=\r\nSetup=1\r\nGruppe=G1;\r\n\r\n[G1]\r\nB=0000000000000000\r\n\r\n");
  data.EraseGroup(u"G1");
  data.EraseUser(u"U");
  EXPECT_EQ(dir.Read("TesmiraSec.dat"), "\xEF\xBB\xBF");
}

TEST(SecurityFile, ConfigNameIsRefusedBeforeAnythingIsWritten) {
  TempDir dir;
  TSecurityData data(Utf8ToUtf16(dir.Dir()));
  data.SaveAdmin(u"Chef", u"pw");
  const std::string before = dir.Read("TesmiraSec.dat");
  const std::vector<std::function<void()>> writers = {
      [&] { data.WriteUser(u"CONFIG", TUserEntry{}); },
      [&] { data.WriteUser(u"config", TUserEntry{}); },
      [&] { data.EraseUser(u"Config"); },
      [&] { data.WriteTableRights(u"CONFIG", {u"ADMIN"}, u"1"); },
      [&] { data.DeleteTableRights(u"CONFIG", u"PW"); },
      [&] { data.EraseGroup(u"CoNfIg"); },
  };
  for (const auto& w : writers) {
    try {
      w();
      ADD_FAILURE();
    } catch (const Exception& e) {
      EXPECT_NE(e.Message().find(u"reserviert"), std::u16string::npos);
    }
  }
  EXPECT_EQ(dir.Read("TesmiraSec.dat"), before);
  EXPECT_NO_THROW(CheckEntryName(u"CONFIG2"));
  EXPECT_TRUE(IsReservedName(u"CONFIG"));
}

TEST(SecurityFile, LegacyAnsiFileIsRepairedToUtf8) {
  TempDir dir;
  dir.Write("TesmiraSec.dat", "[Config]\r\nAdmin=J\xFCrgen\r\nPW=\r\n\r\n[M\xDCLLER]\r\nGruppe=GR\xDC\x42" "E;\r\n");
  TSecurityData data(Utf8ToUtf16(dir.Dir()));
  const std::string original = dir.Read("TesmiraSec.dat");
  // Writers other than the administrator's do not repair; reading the
  // administrator repairs in memory only.
  EXPECT_THROW(data.ReadUser(u"M\u00DCLLER"), EEncodingError);
  EXPECT_EQ(data.ReadAdmin().Admin, u"J\u00FCrgen");
  EXPECT_EQ(dir.Read("TesmiraSec.dat"), original);
  EXPECT_TRUE(data.RepairEncoding());
  EXPECT_FALSE(data.RepairEncoding());
  EXPECT_EQ(dir.Read("TesmiraSec.dat.bak"), original);
  EXPECT_EQ(dir.Read("TesmiraSec.dat"),
            "\xEF\xBB\xBF[Config]\r\nAdmin=J\xC3\xBCrgen\r\nPW=\r\n\r\n[M\xC3\x9CLLER]\r\nGruppe=GR\xC3\x9C" "BE;\r\n");
  EXPECT_EQ(data.ReadUser(u"M\u00DCLLER").Groups, (std::vector<std::u16string>{u"GR\u00DCBE"}));
}

TEST(SecurityFile, FailedWriteKeepsTheOldFile) {
  TempDir dir;
  TSecurityData data(Utf8ToUtf16(dir.Dir()));
  data.SaveAdmin(u"Chef", u"pw");
  const std::string before = dir.Read("TesmiraSec.dat");
  for (auto op : {TFileOp::Write, TFileOp::DataSync, TFileOp::Rename}) {
    TFaultFileOps ops;
    ops.FailCall(op, 1);
    revurov::platform::ScopedFileOps guard(ops);
    EXPECT_THROW(data.WriteUser(u"NEU", TUserEntry{}), revurov::platform::EFCreateError);
  }
  EXPECT_EQ(dir.Read("TesmiraSec.dat"), before);
  EXPECT_EQ(dir.Count(), 1u);
}

}  // namespace
}  // namespace tesmira
