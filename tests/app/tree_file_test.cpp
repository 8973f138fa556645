#include "app/tree_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "platform/file_io.h"
#include "platform/text.h"
#include "support/temp_dir.h"

namespace tesmira {
namespace {

using revurov::platform::TTextEncoding;
using revurov::platform::Utf16ToUtf8;
using revurov::platform::Utf8ToUtf16;
using revurov::testing::TempDir;

// "text@level" per node in pre-order.
std::string Shape(const TTree& tree) {
  std::string out;
  for (const TTreeNode* n : tree.PreOrder()) out += Utf16ToUtf8(n->Text()) + "@" + std::to_string(n->Level()) + " ";
  return out;
}

const char kSample[] =
    "Administration\r\n\tBenutzer\r\n\t\tHANS\r\n\t\tERNA\r\n\tDB-Gruppen\r\n\t\tG1\r\n\t\t\tARTIKEL\r\n"
    "\t\tG2\r\n";

TEST(TreeFile, ReadingRules) {
  const struct {
    std::u16string text;
    std::string shape;
  } cases[] = {
      {Utf8ToUtf16(kSample),
       "Administration@0 Benutzer@1 HANS@2 ERNA@2 DB-Gruppen@1 G1@2 ARTIKEL@3 G2@2 "},
      // The first line is top-level whatever its depth.
      {u"\t\tA\r\n\tB\r\n", "A@0 B@1 "},
      // Blanks count as depth like TABs.
      {u"A\n B\n \tC\n  D\n", "A@0 B@1 C@2 D@2 "},
      // A shallower line walks up to the first ancestor not deeper than it.
      {u"A\r\n\tB\r\n\t\tC\r\n\t\t\tD\r\n\tE\r\n", "A@0 B@1 C@2 D@3 E@1 "},
      {u"A\r\n\tB\r\nC\r\n", "A@0 B@1 C@0 "},
      {u"", ""},
  };
  for (const auto& c : cases) {
    TTree tree;
    ReadOutline(tree, c.text);
    EXPECT_EQ(Shape(tree), c.shape) << Utf16ToUtf8(c.text);
  }
}

TEST(TreeFile, DepthJumpFailsAndKeepsWhatWasRead) {
  TTree tree;
  tree.AddTop(u"old");
  try {
    ReadOutline(tree, u"A\r\n\tB\r\n\t\t\tTIEF\r\n\tC\r\n");
    FAIL();
  } catch (const ETreeViewError& e) {
    EXPECT_EQ(e.Message(), u"Ung\u00FCltige Ebene (3) f\u00FCr Eintrag \"TIEF\"");
  }
  EXPECT_EQ(Shape(tree), "A@0 B@1 ");
}

// Lines one level deeper each, "L0" to "L<levels-1>".
std::u16string Chain(int levels) {
  std::u16string text;
  for (int d = 0; d < levels; ++d) text += std::u16string(static_cast<size_t>(d), u'\t') + u"L" +
                                          Utf8ToUtf16(std::to_string(d)) + u"\r\n";
  return text;
}

TEST(TreeFile, DepthBeyondTheLimitFailsAsALevelError) {
  TTree tree;
  ReadOutline(tree, Chain(kMaxTreeDepth + 1));  // levels 0 .. kMaxTreeDepth
  EXPECT_EQ(tree.Count(), kMaxTreeDepth + 1);
  try {
    ReadOutline(tree, Chain(kMaxTreeDepth + 2) + u"\tNEXT\r\n");
    FAIL();
  } catch (const ETreeViewError& e) {
    EXPECT_EQ(e.Message(), u"Ung\u00FCltige Ebene (65) f\u00FCr Eintrag \"L65\"");
  }
  EXPECT_EQ(tree.Count(), kMaxTreeDepth + 1);
  // Far deeper: refused at the same line, however many follow.
  EXPECT_THROW(ReadOutline(tree, Chain(2000)), ETreeViewError);
  EXPECT_EQ(tree.Count(), kMaxTreeDepth + 1);
}

// Many lines, each walking up from the deepest level allowed: every line
// costs its own length only. Bounded by the test's time limit, not timed.
TEST(TreeFile, LongFilesReadInOneLinearPass) {
  std::u16string text = u"R\r\n";
  const int rounds = 2000;
  for (int r = 0; r < rounds; ++r) {
    for (int d = 1; d <= kMaxTreeDepth; ++d) text += std::u16string(static_cast<size_t>(d), u'\t') + u"N\r\n";
  }
  TTree tree;
  ReadOutline(tree, text);
  EXPECT_EQ(tree.Count(), 1 + rounds * kMaxTreeDepth);
  EXPECT_EQ(tree.Top(0)->Count(), rounds);
  EXPECT_EQ(WriteOutline(tree), text);
}

// A model far deeper than any file may be is walked, written and destroyed
// without recursion (a stack overflow otherwise, under ASan much sooner).
TEST(TreeFile, DeepModelNeedsNoCallStack) {
  const int depth = 200000;
  {
    TTree tree;
    TTreeNode* n = tree.AddTop(u"0");
    for (int d = 1; d < depth; ++d) n = n->AddChild(u"n");
    EXPECT_EQ(static_cast<int>(tree.PreOrder().size()), depth);
    tree.Delete(tree.Top(0));
    EXPECT_TRUE(tree.Empty());
    n = tree.AddTop(u"0");
    for (int d = 1; d < depth; ++d) n = n->AddChild(u"n");
  }  // and the destructor
  TTree small;
  TTreeNode* n = small.AddTop(u"A");
  for (int d = 1; d < 2000; ++d) n = n->AddChild(u"n");
  EXPECT_EQ(WriteOutline(small).size(), 2000u * 3 + 1999u * 2000 / 2);
}

TEST(TreeFile, FifoOrDeviceIsRefusedWithoutWaiting) {
  TempDir dir;
  ASSERT_EQ(::mkfifo(dir.Path("TesmiraSec.sec").c_str(), 0600), 0);
  TTreeFile file;
  try {
    file.LoadStartupTree(Utf8ToUtf16(dir.Dir()));
    FAIL();
  } catch (const revurov::platform::EFOpenError& e) {
    EXPECT_EQ(e.Message(), u"Datei \"" + Utf8ToUtf16(dir.Path("TesmiraSec.sec")) +
                               u"\" kann nicht ge\u00F6ffnet werden. Die Datei ist keine regul\u00E4re Datei.");
  }
}

TEST(TreeFile, GoldenFilesInTheLoadedEncoding) {
  TempDir dir;
  const std::u16string own = Utf8ToUtf16(dir.Path("TesmiraSec.sec"));
  TTreeFile file;
  MakeDefaultTree(file.Tree());
  file.Tree().Top(0)->Item(0)->AddChild(u"J\u00DCRGEN");
  // Never loaded: ANSI without BOM.
  file.Save(own);
  EXPECT_EQ(dir.Read("TesmiraSec.sec"), "Administration\r\n\tBenutzer\r\n\t\tJ\xDCRGEN\r\n\tDB-Gruppen\r\n");

  // Loaded from UTF-8 with BOM: written back the same way.
  dir.Write("TesmiraSec.sec", "\xEF\xBB\xBF" "A\r\n\tB\xC3\xA4\r\n");
  file.Load(own);
  EXPECT_EQ(file.LoadedEncoding(), TTextEncoding::Utf8);
  file.Save(own);
  EXPECT_EQ(dir.Read("TesmiraSec.sec"), "\xEF\xBB\xBF" "A\r\n\tB\xC3\xA4\r\n");

  // Loaded from ANSI, but a name the code page cannot hold: UTF-8 with BOM.
  dir.Write("TesmiraSec.sec", "A\r\n");
  file.Load(own);
  file.Tree().Top(0)->AddChild(u"\u0416");
  file.Save(own);
  EXPECT_EQ(dir.Read("TesmiraSec.sec"), "\xEF\xBB\xBF" "A\r\n\t\xD0\x96\r\n");

  // UTF-16 stays UTF-16 with its BOM.
  dir.Write("TesmiraSec.sec", std::string("\xFF\xFE" "A\0\r\0\n\0", 8));
  file.Load(own);
  file.Save(own);
  EXPECT_EQ(dir.Read("TesmiraSec.sec"), std::string("\xFF\xFE" "A\0\r\0\n\0", 8));
}

// An ANSI save that begins with the bytes of a byte-order mark would load
// back decoded as UTF-8 or UTF-16: such a tree is kept as UTF-8 with BOM.
TEST(TreeFile, AnsiTextThatStartsLikeAByteOrderMarkReadsBackAsSaved) {
  const std::u16string firsts[] = {u"\u00EF\u00BB\u00BFAdmin", u"\u00FF\u00FEAdmin", u"\u00FE\u00FF", u"\u00EF\u00BB\u00BF"};
  TempDir dir;
  const std::u16string own = Utf8ToUtf16(dir.Path("TesmiraSec.sec"));
  for (const std::u16string& first : firsts) {
    SCOPED_TRACE(Utf16ToUtf8(first));
    TTreeFile file;
    file.Tree().AddTop(first)->AddChild(u"J\u00DCRGEN");
    file.Save(own);
    EXPECT_EQ(dir.Read("TesmiraSec.sec").substr(0, 3), "\xEF\xBB\xBF");
    TTreeFile back;
    back.Load(own);
    EXPECT_EQ(Shape(back.Tree()), Shape(file.Tree()));
  }
  // A mark-like pair later in the text is no mark: ANSI as before.
  TTreeFile file;
  file.Tree().AddTop(u"A\u00FF\u00FE");
  file.Save(own);
  EXPECT_EQ(dir.Read("TesmiraSec.sec"), "A\xFF\xFE\r\n");
}

// An invisible character the ANSI page lacks is unrepresentable like any
// other: the name keeps it through a UTF-8 file instead of losing it.
TEST(TreeFile, InvisibleCharacterKeepsItsNodeNameWhole) {
  TempDir dir;
  const std::u16string own = Utf8ToUtf16(dir.Path("TesmiraSec.sec"));
  TTreeFile file;
  file.Tree().AddTop(u"A\u200BB");
  file.Save(own);
  EXPECT_EQ(dir.Read("TesmiraSec.sec"), "\xEF\xBB\xBF" "A\xE2\x80\x8B" "B\r\n");
  TTreeFile back;
  back.Load(own);
  EXPECT_EQ(back.Tree().Top(0)->Text(), u"A\u200BB");
}

TEST(TreeFile, StartupTreeSources) {
  TempDir dir;
  const std::u16string db = Utf8ToUtf16(dir.Dir());
  {
    TTreeFile file;
    EXPECT_EQ(file.LoadStartupTree(db), TTreeSource::Default);
    EXPECT_EQ(Shape(file.Tree()), "Administration@0 Benutzer@1 DB-Gruppen@1 ");
    EXPECT_FALSE(dir.Exists("TesmiraSec.sec"));
  }
  dir.Write("TesmiraSec.sec", "Administration\r\n\tX\r\n");
  {
    TTreeFile file;
    EXPECT_EQ(file.LoadStartupTree(db), TTreeSource::Own);
    EXPECT_EQ(Shape(file.Tree()), "Administration@0 X@1 ");
  }
  dir.Write("TesmiraSec.sec", "");
  {
    TTreeFile file;
    EXPECT_EQ(file.LoadStartupTree(db), TTreeSource::Own);
    EXPECT_EQ(Shape(file.Tree()), "Administration@0 Benutzer@1 DB-Gruppen@1 ");
  }
}

TEST(TreeFile, LegacyFileIsTakenOverAndMoved) {
  TempDir dir;
  const std::u16string db = Utf8ToUtf16(dir.Dir());
  dir.Write("ZOZavAzi.sec", "Administration\r\n\tBenutzer\r\n\t\tM\xDCLLER\r\n");
  dir.Write("TesmiraSec.sec", "old tree\r\n");
  TTreeFile file;
  EXPECT_EQ(file.LoadStartupTree(db), TTreeSource::Legacy);
  EXPECT_EQ(dir.Read("TesmiraSec.sec"), "Administration\r\n\tBenutzer\r\n\t\tM\xDCLLER\r\n");
  EXPECT_FALSE(dir.Exists("ZOZavAzi.sec"));
  EXPECT_EQ(dir.Read("ZOZavAzi.old"), "Administration\r\n\tBenutzer\r\n\t\tM\xDCLLER\r\n");
  // The next start reads the own file.
  TTreeFile next;
  EXPECT_EQ(next.LoadStartupTree(db), TTreeSource::Own);
}

TEST(TreeFile, TakeOverRepeatsWhileTheOldFileExists) {
  TempDir dir;
  const std::u16string db = Utf8ToUtf16(dir.Dir());
  dir.Write("ZOZavAzi.sec", "Administration\r\n\tL\r\n");
  dir.Write("ZOZavAzi.old", "earlier\r\n");
  for (int start = 0; start < 2; ++start) {
    dir.Write("TesmiraSec.sec", "Administration\r\n\tEDITED\r\n");
    TTreeFile file;
    EXPECT_EQ(file.LoadStartupTree(db), TTreeSource::Legacy);
    EXPECT_EQ(dir.Read("TesmiraSec.sec"), "Administration\r\n\tL\r\n");  // overwritten again
    EXPECT_TRUE(dir.Exists("ZOZavAzi.sec"));
    EXPECT_EQ(dir.Read("ZOZavAzi.old"), "earlier\r\n");
  }
}

TEST(TreeFile, BrokenLegacyFileIsNeitherSavedNorMoved) {
  TempDir dir;
  dir.Write("ZOZavAzi.sec", "A\r\n\t\tB\r\n");
  TTreeFile file;
  EXPECT_THROW(file.LoadStartupTree(Utf8ToUtf16(dir.Dir())), ETreeViewError);
  EXPECT_TRUE(dir.Exists("ZOZavAzi.sec"));
  EXPECT_FALSE(dir.Exists("TesmiraSec.sec"));
  EXPECT_EQ(Shape(file.Tree()), "A@0 ");
}

TEST(TreeFile, TidyCutsDbSuffixesAndSetsImages) {
  TTree tree;
  ReadOutline(tree,
              u"Administration\r\n\tBenutzer\r\n\t\tHANS\r\n\tDB-Gruppen\r\n\t\tG1\r\n\t\t\tartikel.db\r\n"
              u"\t\t\tartikel\r\n\t\t\tKunden.DBF\r\n\t\tG2\r\n\t\t\tx.db.db\r\n");
  TTreeNode* db_node = TidyTree(tree);
  ASSERT_NE(db_node, nullptr);
  EXPECT_EQ(db_node->Text(), u"G2");
  std::string out;
  for (const TTreeNode* n : tree.PreOrder()) out += Utf16ToUtf8(n->Text()) + ":" + std::to_string(n->ImageIndex()) + " ";
  EXPECT_EQ(out,
            "Administration:0 Benutzer:1 HANS:2 DB-Gruppen:3 G1:3 ARTIKEL:4 artikel:4 KUNDEN:4 G2:3 X:4 ");
  EXPECT_TRUE(tree.Top(0)->Expanded());
}

TEST(TreeFile, TidyOnOddShapes) {
  TTree empty;
  EXPECT_EQ(TidyTree(empty), nullptr);
  TTree no_groups;
  MakeDefaultTree(no_groups);
  EXPECT_EQ(TidyTree(no_groups), nullptr);
  // Several top-level nodes: nothing reads a missing parent.
  TTree several;
  ReadOutline(several, u"Administration\r\nBenutzer\r\n\tX\r\nOther\r\n");
  EXPECT_EQ(TidyTree(several), nullptr);
  EXPECT_EQ(several.Top(1)->ImageIndex(), imgUsers);
  EXPECT_EQ(several.Top(1)->Item(0)->ImageIndex(), imgUser);
  EXPECT_EQ(several.Top(2)->ImageIndex(), imgTable);
}

TEST(TreeFile, ModelEdits) {
  TTree tree;
  MakeDefaultTree(tree);
  TTreeNode* groups = tree.Top(0)->Item(1);
  TTreeNode* g = groups->AddChild(u"G");
  g->AddChildFirst(u"B");
  g->AddChildFirst(u"A");
  EXPECT_EQ(WriteOutline(tree), u"Administration\r\n\tBenutzer\r\n\tDB-Gruppen\r\n\t\tG\r\n\t\t\tA\r\n\t\t\tB\r\n");
  EXPECT_EQ(g->Item(1)->Index(), 1);
  EXPECT_EQ(g->Item(2), nullptr);
  tree.Delete(g);
  EXPECT_EQ(tree.Count(), 3);
}

}  // namespace
}  // namespace tesmira
