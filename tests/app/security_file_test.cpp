#include "app/security_file.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <random>

#include "platform/file_ops.h"
#include "platform/format.h"
#include "platform/os_error.h"
#include "platform/text.h"
#include "support/exception_message.h"
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
using revurov::testing::MessageOf;
using revurov::testing::TempDir;

namespace fs = std::filesystem;

unsigned ModeOf(const std::string& path) { return static_cast<unsigned>(fs::status(path).permissions()) & 0777; }

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

// A first character of U+0200 or above (the euro sign, Cyrillic, Greek)
// locked the administrator out.
TEST(SecurityFile, AdminPasswordsOfEveryScriptReadBack) {
  TempDir dir;
  TSecurityData data(Utf8ToUtf16(dir.Dir()));
  for (const std::u16string& pw : {std::u16string(u"\u20ACab"), std::u16string(u"\u041F\u0430\u0440\u043E\u043B\u044C"),
                                  std::u16string(u"\u03A3\u03BF\u03C6\u03AF\u03B1"), std::u16string(u"x\u00E4\u20AC")}) {
    data.SaveAdmin(u"x", pw);
    EXPECT_EQ(data.ReadAdmin().Password, pw);
  }
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

// A name with a line break would write lines of its own into the file,
// an administrator's "PW=" among them.
TEST(SecurityFile, NamesWithLineBreaksAreRefusedBeforeAnythingIsWritten) {
  TempDir dir;
  TSecurityData data(Utf8ToUtf16(dir.Dir()));
  data.SaveAdmin(u"Chef", u"pw");
  const std::string before = dir.Read("TesmiraSec.dat");
  const std::vector<std::function<void()>> writers = {
      [&] { data.SaveAdmin(u"x\r\nPW=", u"other"); },
      [&] { data.SaveAdmin(u"x\n[Config]", u"other"); },
      [&] { data.WriteUser(u"U\rV", TUserEntry{}); },
      [&] { data.WriteUser(u"U\n", TUserEntry{}); },
      [&] { data.WriteTableRights(u"G\n", {u"T"}, u"1"); },
      [&] { data.WriteTableRights(u"G", {u"T", u"X\r\nPW=x"}, u"1"); },
      [&] { data.DeleteTableRights(u"G\r", u"T"); },
      [&] { data.EraseGroup(u"\n"); },
  };
  for (const auto& w : writers) {
    try {
      w();
      ADD_FAILURE();
    } catch (const Exception& e) {
      EXPECT_EQ(e.Message(), SLineBreakInName);
    }
  }
  EXPECT_EQ(dir.Read("TesmiraSec.dat"), before);
  EXPECT_EQ(data.ReadAdmin().Password, u"pw");
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

// A repair keeps every well-formed UTF-8 sequence and takes only the stray
// bytes as ANSI; reading the administrator repairs in memory, only
// RepairEncoding writes, with the original kept as ".bak".
TEST(SecurityFile, EncodingRepairIsLossless) {
  std::string garbage(4096, '\0');
  std::mt19937 rng(59);
  for (char& c : garbage) c = static_cast<char>(rng());
  const struct {
    const char* what;
    std::string original;
    std::string repaired;
    std::u16string admin;
  } cases[] = {
      {"UTF-8 with one stray byte", "[Config]\r\nAdmin=P\xC3\xB6\r\n[U]\r\nPW=x\xE9y\r\n",
       "\xEF\xBB\xBF[Config]\r\nAdmin=P\xC3\xB6\r\n[U]\r\nPW=x\xC3\xA9y\r\n", u"P\u00F6"},
      {"legacy ANSI", "[Config]\r\nAdmin=J\xFCrgen \x80\r\n", "\xEF\xBB\xBF[Config]\r\nAdmin=J\xC3\xBCrgen \xE2\x82\xAC\r\n",
       u"J\u00FCrgen \u20AC"},
      {"BOM and a stray byte", "\xEF\xBB\xBF[Config]\r\nAdmin=P\xC3\xB6\xFF\r\n",
       "\xEF\xBB\xBF[Config]\r\nAdmin=P\xC3\xB6\xC3\xBF\r\n", u"P\u00F6\u00FF"},
      {"cut-off sequence at the end", "[Config]\r\nAdmin=A\xC3", "\xEF\xBB\xBF[Config]\r\nAdmin=A\xC3\x83\r\n",
       u"A\u00C3"},
      {"overlong and surrogate forms", "[Config]\r\nAdmin=\xC0\xAF\xED\xA0\x80\r\n",
       "\xEF\xBB\xBF[Config]\r\nAdmin=\xC3\x80\xC2\xAF\xC3\xAD\xC2\xA0\xE2\x82\xAC\r\n", u"\u00C0\u00AF\u00ED\u00A0\u20AC"},
      {"UTF-16 with BOM", std::string("\xFF\xFE[\0C\0o\0n\0f\0i\0g\0]\0\r\0\n\0A\0d\0m\0i\0n\0=\0\xFC\0", 36),
       "\xEF\xBB\xBF[Config]\r\nAdmin=\xC3\xBC\r\n", u"\u00FC"},
  };
  for (const auto& c : cases) {
    TempDir dir;
    dir.Write("TesmiraSec.dat", c.original);
    fs::permissions(dir.Path("TesmiraSec.dat"), fs::perms(0640));
    TSecurityData data(Utf8ToUtf16(dir.Dir()));
    EXPECT_EQ(data.ReadAdmin().Admin, c.admin) << c.what;
    EXPECT_EQ(dir.Read("TesmiraSec.dat"), c.original) << c.what;
    EXPECT_EQ(dir.Count(), 1u) << c.what;
    EXPECT_TRUE(data.RepairEncoding()) << c.what;
    EXPECT_EQ(dir.Read("TesmiraSec.dat"), c.repaired) << c.what;
    EXPECT_EQ(dir.Read("TesmiraSec.dat.bak"), c.original) << c.what;
    EXPECT_EQ(ModeOf(dir.Path("TesmiraSec.dat")), 0640u) << c.what;
    EXPECT_EQ(ModeOf(dir.Path("TesmiraSec.dat.bak")), 0640u) << c.what;
    EXPECT_EQ(data.ReadAdmin().Admin, c.admin) << c.what;
    EXPECT_FALSE(data.RepairEncoding()) << c.what;
  }
  // Garbage: every byte kept in the repaired text, the original beside it.
  TempDir dir;
  dir.Write("TesmiraSec.dat", garbage);
  TSecurityData data(Utf8ToUtf16(dir.Dir()));
  EXPECT_TRUE(data.RepairEncoding());
  EXPECT_EQ(dir.Read("TesmiraSec.dat.bak"), garbage);
  EXPECT_TRUE(revurov::platform::IsValidUtf8(dir.Read("TesmiraSec.dat")));
}

// Whatever keeps the file from being read raises a message naming it, and
// nothing is written.
TEST(SecurityFile, UnreadableFileRaisesAMessageNamingIt) {
  TempDir dir;
  const std::u16string name = Utf8ToUtf16(dir.Path("TesmiraSec.dat"));
  TSecurityData data(Utf8ToUtf16(dir.Dir()));
  dir.Write("TesmiraSec.dat", "[Config]\r\nAdmin=A\r\n");
  {
    TFaultFileOps ops;
    ops.FailCall(TFileOp::Open, 1, EACCES);
    revurov::platform::ScopedFileOps guard(ops);
    EXPECT_EQ(MessageOf<Exception>([&] { data.ReadAdmin(); }),
              u"Datei \"" + name + u"\" kann nicht ge\u00F6ffnet werden. Zugriff verweigert");
  }
  fs::remove(dir.Path("TesmiraSec.dat"));
  ASSERT_EQ(::mkfifo(dir.Path("TesmiraSec.dat").c_str(), 0600), 0);
  // Would block for good if the open waited for a writer.
  EXPECT_EQ(MessageOf<Exception>([&] { data.ReadAdmin(); }),
            u"Datei \"" + name + u"\" kann nicht ge\u00F6ffnet werden. Die Datei ist keine regul\u00E4re Datei.");
  EXPECT_EQ(dir.Count(), 1u);
}

TEST(SecurityFile, DuplicateSectionsReadAsOneAndEraseWhole) {
  TempDir dir;
  dir.Write("TesmiraSec.dat",
            "\xEF\xBB\xBF[Config]\r\nPW=\r\n[MAX]\r\nPW=eins\r\nPW=zwei\r\n[config]\r\nAdmin=Chef\r\nPW=x\r\n"
            "[G1]\r\nA=1111111111111111\r\n[max]\r\nGruppe=G1;\r\nSetup=0\r\n");
  TSecurityData data(Utf8ToUtf16(dir.Dir()));
  const TAdminEntry admin = data.ReadAdmin();
  EXPECT_EQ(admin.Admin, u"Chef");  // only the second copy holds it
  EXPECT_EQ(admin.Password, u"");   // the first copy's value wins
  const TUserEntry user = data.ReadUser(u"MAX");
  EXPECT_EQ(user.Password, u"eins");
  EXPECT_FALSE(user.Setup);
  EXPECT_EQ(user.Groups, (std::vector<std::u16string>{u"G1"}));
  data.EraseUser(u"MAX");
  EXPECT_EQ(dir.Read("TesmiraSec.dat"),
            "\xEF\xBB\xBF[Config]\r\nPW=\r\nAdmin=Chef\r\n\r\n[G1]\r\nA=1111111111111111\r\n\r\n");
  EXPECT_EQ(data.ReadUser(u"MAX").Password, u"");
}

TEST(SecurityFile, UserPasswordsReadBackExactly) {
  TempDir dir;
  TSecurityData data(Utf8ToUtf16(dir.Dir()));
  const std::u16string long_one(40000, u'x');
  for (const std::u16string& pw : {std::u16string(u"  blank at both ends  "), std::u16string(u"plain"),
                                   std::u16string(u"tab\tinside"), long_one}) {
    data.WriteUser(u"U", TUserEntry{pw, true, {u"G"}});
    EXPECT_EQ(data.ReadUser(u"U").Password, pw);
  }
  data.WriteUser(u"U", TUserEntry{u" a ", true, {u"G"}});
  // Hex in both keys, as the administrator's value: an older reader that
  // takes "PW" alone asks for a password nobody knows.
  EXPECT_EQ(dir.Read("TesmiraSec.dat"),
            "\xEF\xBB\xBF[U]\r\nPW=002000610020\r\nSetup=1\r\nGruppe=G;\r\nPWHex=002000610020\r\n\r\n");
}

TEST(SecurityFile, NewFileIsPrivateExistingKeepsItsModeLinkIsKept) {
  TempDir dir;
  TSecurityData data(Utf8ToUtf16(dir.Dir()));
  data.WriteUser(u"U", TUserEntry{u"pw", true, {u"G"}});
  EXPECT_EQ(ModeOf(dir.Path("TesmiraSec.dat")), 0600u);
  fs::permissions(dir.Path("TesmiraSec.dat"), fs::perms(0644));
  data.SaveAdmin(u"A", u"b");
  EXPECT_EQ(ModeOf(dir.Path("TesmiraSec.dat")), 0644u);
  EXPECT_EQ(dir.Count(), 1u);

  // A linked file is replaced in its own folder; the link stays.
  TempDir other;
  TSecurityData linked(Utf8ToUtf16(other.Dir()));
  fs::create_directories(other.Path("real"));
  other.Write("real/TesmiraSec.dat", "\xEF\xBB\xBF[Config]\r\nAdmin=A\r\n");
  fs::create_symlink("real/TesmiraSec.dat", other.Path("TesmiraSec.dat"));
  linked.WriteUser(u"U", TUserEntry{u"pw", true, {u"G"}});
  EXPECT_TRUE(fs::is_symlink(other.Path("TesmiraSec.dat")));
  EXPECT_EQ(other.Read("real/TesmiraSec.dat"),
            "\xEF\xBB\xBF[Config]\r\nAdmin=A\r\n\r\n[U]\r\nPW=pw\r\nSetup=1\r\nGruppe=G;\r\n\r\n");
}

// A full disk or a crash at any step of a save leaves the old or the new
// file whole, in German words, and no copy of the passwords behind.
TEST(SecurityFile, FullDiskAndCrashAtEveryStepOfASave) {
  const struct {
    TFileOp op;
    int k;  // the save's call: the read before it closes its file first
    int error;
  } cases[] = {{TFileOp::OpenTemporary, 1, ENOSPC}, {TFileOp::Write, 1, ENOSPC}, {TFileOp::DataSync, 1, EIO},
               {TFileOp::LinkTemporary, 1, ENOSPC}, {TFileOp::Close, 2, EIO},   {TFileOp::Rename, 1, EIO}};
  for (const auto& c : cases) {
    TempDir dir;
    TSecurityData data(Utf8ToUtf16(dir.Dir()));
    data.SaveAdmin(u"Chef", u"pw");
    const std::string before = dir.Read("TesmiraSec.dat");
    TFaultFileOps ops;
    ops.FailCall(c.op, c.k, c.error);
    {
      revurov::platform::ScopedFileOps guard(ops);
      EXPECT_EQ(MessageOf<revurov::platform::EFCreateError>([&] { data.WriteUser(u"NEU", TUserEntry{u"x", true, {}}); }),
                u"Datei \"" + Utf8ToUtf16(dir.Path("TesmiraSec.dat")) + u"\" kann nicht erstellt werden. " +
                    revurov::platform::SysErrorMessage(static_cast<uint32_t>(c.error)));
    }
    ops.PowerLoss();
    EXPECT_EQ(dir.Read("TesmiraSec.dat"), before) << static_cast<int>(c.op);
    EXPECT_EQ(dir.Count(), 1u) << static_cast<int>(c.op);
  }
  EXPECT_EQ(revurov::platform::SysErrorMessage(ENOSPC),
            u"Auf dem Datentr\u00E4ger ist nicht gen\u00FCgend Speicherplatz vorhanden.");
}

}  // namespace
}  // namespace tesmira
