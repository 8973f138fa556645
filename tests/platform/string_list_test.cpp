#include "platform/string_list.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "platform/format.h"
#include "support/string_list_lines.h"
#include "support/temp_dir.h"

namespace revurov::platform {
namespace {

TEST(StringList, UpdateBracketReportsOneChange) {
  TStringList l;
  int changes = 0;
  l.OnChange = [&](TStringList&) { ++changes; };
  l.Add(u"a");
  l.Delete(0);
  l.Clear();  // already empty: no change
  EXPECT_EQ(changes, 2);

  changes = 0;
  l.BeginUpdate();
  l.BeginUpdate();
  l.Add(u"b");
  l.Add(u"c");
  l.EndUpdate();
  EXPECT_EQ(changes, 0);
  l.EndUpdate();
  EXPECT_EQ(changes, 1);
  l.EndUpdate();  // unmatched: nothing
  EXPECT_EQ(changes, 1);
  EXPECT_EQ(l.UpdateCount(), 0);

  changes = 0;
  l.SetText(u"x\r\ny\r\nz");
  EXPECT_EQ(changes, 1);
  EXPECT_EQ(l.Count(), 3);
}

// A subclass's comparison decides ordering and matching.
struct ReverseList : TStringList {
  int CompareStrings(std::u16string_view a, std::u16string_view b) const override { return b.compare(a); }
};

TEST(StringList, SubclassComparisonOrdersAndFinds) {
  ReverseList l;
  l.SetSorted(true);
  for (const char16_t* s : {u"a", u"c", u"b"}) l.Add(s);
  EXPECT_EQ(l[0], u"c");
  EXPECT_EQ(l[2], u"a");
  EXPECT_EQ(l.IndexOf(u"b"), 1);
  EXPECT_EQ(l.IndexOf(u"B"), -1);
}

TEST(StringList, IndexErrorsNameTheIndex) {
  TStringList l;
  l.Add(u"a");
  try {
    (void)l.Strings(1);
    FAIL();
  } catch (const EStringListError& e) {
    EXPECT_EQ(e.Message(), Format(SListIndexError, {1}));
  }
  EXPECT_THROW(l.Delete(-1), EStringListError);
  EXPECT_THROW(l.Move(0, 1), EStringListError);
  EXPECT_THROW(l.Insert(2, u"x"), EStringListError);
}

TEST(StringList, ObjectsTravelWithTheirText) {
  TStringList l;
  int a = 0, b = 0, c = 0;
  l.AddObject(u"a", &a);
  l.AddObject(u"b", &b);
  l.AddObject(u"c", &c);
  l.Move(0, 2);
  EXPECT_EQ(l.Text(), u"b\r\nc\r\na\r\n");
  EXPECT_EQ(l.Objects(2), &a);
  l.Exchange(0, 1);
  EXPECT_EQ(l[0], u"c");
  EXPECT_EQ(l.Objects(0), &c);
  EXPECT_EQ(l.IndexOfObject(&b), 1);
}

TEST(StringList, SortedListAppliesDuplicateRule) {
  TStringList l;
  l.SetSorted(true);
  for (auto s : {u"delta", u"Alpha", u"charlie", u"ALPHA", u"bravo"}) l.Add(s);
  EXPECT_EQ(l.Text(), u"Alpha\r\nbravo\r\ncharlie\r\ndelta\r\n");
  EXPECT_EQ(l.IndexOf(u"CHARLIE"), 2);
  EXPECT_EQ(l.IndexOf(u"echo"), -1);
  EXPECT_THROW(l.Insert(0, u"x"), EStringListError);
  l.SetDuplicates(TDuplicates::dupError);
  EXPECT_THROW(l.Add(u"bravo"), EStringListError);
  l.SetDuplicates(TDuplicates::dupAccept);
  l.Add(u"BRAVO");
  EXPECT_EQ(l.Count(), 5);
}

// AddText fills a cleared list from the memory its lines had: whatever the
// lengths, the list holds the new lines alone, in order, with no object;
// a sorted list still sorts and applies its duplicate rule; a copy made
// between clear and fill has its own lines.
TEST(StringList, AListClearedAndFilledAgainHoldsOnlyItsNewLines) {
  const std::vector<std::vector<std::u16string>> rounds = {
      {u"Table_0001", u"a much longer table name than the others", u"x", u"Table_0003"},
      {u"short", u"Table_0002"},
      {},
      {u"Table_0009", u"Table_0008", u"Table_0007", u"Table_0006", u"Table_0005", u"Table_0004"},
      {u"a name of more than two hundred and fifty-six code units " + std::u16string(220, u'z')},
  };
  TStringList l;
  int dummy = 0;
  for (const auto& lines : rounds) {
    l.Clear();
    for (const auto& line : lines) l.AddText(line);
    EXPECT_EQ(testing::LinesOf(l), lines);
    for (int i = 0; i < l.Count(); ++i) EXPECT_EQ(l.Objects(i), nullptr);
    if (l.Count() > 0) l.SetObjects(0, &dummy);
  }

  TStringList sorted;
  sorted.SetSorted(true);
  for (auto s : {u"Table_delta", u"Table_alpha", u"Table_charlie"}) sorted.AddText(s);
  sorted.Clear();
  for (auto s : {u"Table_bravo", u"TABLE_BRAVO", u"Table_alpha"}) sorted.AddText(s);
  EXPECT_EQ(testing::LinesOf(sorted), (std::vector<std::u16string>{u"Table_alpha", u"Table_bravo"}));

  TStringList original;
  for (auto s : {u"Table_0001", u"Table_0002"}) original.AddText(s);
  original.Clear();
  TStringList copy = original;
  copy.AddText(u"Table_copy");
  original.AddText(u"Table_original");
  EXPECT_EQ(testing::LinesOf(copy), std::vector<std::u16string>{u"Table_copy"});
  EXPECT_EQ(testing::LinesOf(original), std::vector<std::u16string>{u"Table_original"});
}

// AddLine appends a line of the asked length for its caller to fill, from
// a cleared line's memory or not; OnChange hears of it; a sorted list
// refuses it.
TEST(StringList, AddLineGivesALineToFillAndASortedListRefusesIt) {
  TStringList l;
  int changes = 0;
  l.OnChange = [&](TStringList&) { ++changes; };
  const std::vector<std::vector<std::u16string>> rounds = {
      {u"Table_0001", u"x", u"", u"a much longer table name than the others"},
      {u"Table_0002", u"Table_0003", u"Table_0004", u"Table_0005", u"Table_0006"},
      {u"ab"},
  };
  for (const auto& lines : rounds) {
    l.Clear();
    changes = 0;
    for (const auto& line : lines) {
      std::u16string& text = l.AddLine(line.size());
      ASSERT_EQ(text.size(), line.size());
      std::copy(line.begin(), line.end(), text.begin());
    }
    EXPECT_EQ(testing::LinesOf(l), lines);
    EXPECT_EQ(changes, static_cast<int>(lines.size()));
    for (int i = 0; i < l.Count(); ++i) EXPECT_EQ(l.Objects(i), nullptr);
  }

  // A list's own line added again, while the list grows past its room.
  TStringList own;
  own.Add(u"Table_of_its_own_0001");
  for (int i = 0; i < 40; ++i) own.AddText(own[i % 3 == 0 ? 0 : own.Count() - 1]);
  for (int i = 0; i < own.Count(); ++i) EXPECT_EQ(own[i], u"Table_of_its_own_0001");
  own.Clear();
  own.AddText(u"Table_after_clear_01");
  for (int i = 0; i < 40; ++i) own.AddText(own[0]);
  for (int i = 0; i < own.Count(); ++i) EXPECT_EQ(own[i], u"Table_after_clear_01");

  TStringList sorted;
  sorted.SetSorted(true);
  sorted.Add(u"b");
  EXPECT_THROW(sorted.AddLine(3), EStringListError);
  EXPECT_EQ(testing::LinesOf(sorted), std::vector<std::u16string>{u"b"});
}

// A list read again is written over line by line and cut to the new
// length; nothing of an old line (text, object) shows through.
TEST(StringList, RefillingWritesOverTheOldLinesAndTruncateCutsTheRest) {
  TStringList l;
  int objectTag = 0;
  const std::vector<std::vector<std::u16string>> rounds = {
      {u"Table_0001", u"x", u"", u"a much longer table name than the others"},
      {u"Table_0002", u"Table_0003", u"Table_0004", u"Table_0005", u"Table_0006", u"Table_0007"},
      {u"ab", u"Table_of_a_longer_name"},
      {},
      {u"Table_again"},
  };
  for (const auto& lines : rounds) {
    for (int i = 0; i < l.Count(); ++i) l.SetObjects(i, &objectTag);
    int filled = 0;
    for (const auto& line : lines) {
      std::u16string& text = l.RefillLine(filled++, line.size());
      ASSERT_EQ(text.size(), line.size());
      std::copy(line.begin(), line.end(), text.begin());
    }
    l.Truncate(filled);
    EXPECT_EQ(testing::LinesOf(l), lines);
    for (int i = 0; i < l.Count(); ++i) EXPECT_EQ(l.Objects(i), nullptr) << i;
  }

  // Past the end, a negative length to cut to, a sorted list: refused, the
  // lines as they were.
  EXPECT_THROW(l.RefillLine(l.Count() + 1, 2), EStringListError);
  EXPECT_THROW(l.RefillLine(-1, 2), EStringListError);
  EXPECT_THROW(l.Truncate(-1), EStringListError);
  l.Truncate(l.Count() + 5);
  EXPECT_EQ(testing::LinesOf(l), std::vector<std::u16string>{u"Table_again"});
  TStringList sorted;
  sorted.SetSorted(true);
  sorted.Add(u"b");
  EXPECT_THROW(sorted.RefillLine(0, 3), EStringListError);
  EXPECT_EQ(testing::LinesOf(sorted), std::vector<std::u16string>{u"b"});

  // The cut lines' memory serves later additions; a line's own text added
  // again after a cut stays intact.
  TStringList own;
  for (int i = 0; i < 40; ++i) own.Add(u"Table_of_its_own_" + std::u16string(1, char16_t(u'A' + i % 26)));
  own.Truncate(1);
  for (int i = 0; i < 40; ++i) own.AddText(own[0]);
  for (int i = 0; i < own.Count(); ++i) EXPECT_EQ(own[i], u"Table_of_its_own_A");
}

TEST(StringList, CaseSensitivityAndLocaleOrder) {
  TStringList l;
  l.Add(u"\u00C4pfel");
  l.Add(u"Birnen");
  EXPECT_EQ(l.IndexOf(u"\u00E4PFEL"), 0);
  l.SetCaseSensitive(true);
  EXPECT_EQ(l.IndexOf(u"\u00E4PFEL"), -1);
  l.SetCaseSensitive(false);
  l.Add(u"Zitronen");
  l.Sort();
  // Locale order puts "Ä" with "A", before "B".
  EXPECT_EQ(l[0], u"\u00C4pfel");
}

TEST(StringList, TextSplitsAtEveryKindOfLineBreak) {
  const struct {
    std::u16string in;
    std::vector<std::u16string> lines;
  } cases[] = {
      {u"a\r\nb\r\n", {u"a", u"b"}},
      {u"a\nb", {u"a", u"b"}},
      {u"a\rb\r\n\r\n", {u"a", u"b", u""}},
      {u"", {}},
      {u"\r\n", {u""}},
      {u"a\n\rb", {u"a", u"", u"b"}},
  };
  for (const auto& c : cases) EXPECT_EQ(SplitLines(c.in), c.lines);
}

TEST(StringList, NameValuePairs) {
  TStringList l;
  l.SetText(u"Key=1\r\nother=x=y\r\nnovalue\r\n");
  EXPECT_EQ(l.Values(u"KEY"), u"1");
  EXPECT_EQ(l.Values(u"other"), u"x=y");
  EXPECT_EQ(l.IndexOfName(u"novalue"), -1);
  l.SetValues(u"key", u"2");
  EXPECT_EQ(l[0], u"key=2");
  l.SetValues(u"new", u"3");
  EXPECT_EQ(l[3], u"new=3");
  l.SetValues(u"key", u"");
  EXPECT_EQ(l.IndexOfName(u"key"), -1);
}

TEST(StringList, FileRoundTripKeepsEncoding) {
  revurov::testing::TempDir dir;
  dir.Write("a", std::string("\xFF\xFE" "x\0\r\0\n\0", 8));
  TStringList l;
  l.LoadFromFile(dir.Path("a"));
  EXPECT_EQ(l.Encoding(), TTextEncoding::Utf16LE);
  EXPECT_EQ(l.Text(), u"x\r\n");
  l.Add(u"\u00FC");
  l.SaveToFile(dir.Path("b"), TTextEncoding::Utf8, true);
  EXPECT_EQ(dir.Read("b"), "\xEF\xBB\xBFx\r\n\xC3\xBC\r\n");
  EXPECT_THROW(l.LoadFromFile(dir.Path("none")), EFOpenError);
}

}  // namespace
}  // namespace revurov::platform
