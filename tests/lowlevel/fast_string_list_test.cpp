#include "lowlevel/strings/fast_string_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lowlevel/heap/memory_manager.h"
#include "platform/rtl_exception.h"
#include "support/string_list_lines.h"

namespace revurov {
namespace {

using platform::TDuplicates;

using testing::LinesOf;

TEST(FastStringList, ComparesOrdinallyWithAsciiFoldingOnly) {
  struct Case {
    const char16_t* a;
    const char16_t* b;
    int cs, ic;
  } cases[] = {
      {u"abc", u"abc", 0, 0},
      {u"abc", u"ABC", 1, 0},
      {u"B", u"a", -1, 1},        // code units: "B" < "a"; folded: "B" > "A"
      {u"_", u"a", -1, 1},        // "_" lies between the cases
      {u"\u00E4", u"\u00C4", 1, 1},  // only ASCII letters fold
      {u"ab", u"abc", -1, -1},
      {u"", u"", 0, 0},
      {u"\uFFFF", u"\U00010000", 1, 1},  // code units, not code points
  };
  TnxFastStringList plain;
  TnxFastStringListCS cs;
  TnxFastStringListIC ic;
  for (const auto& c : cases) {
    EXPECT_EQ(cs.CompareStrings(c.a, c.b), c.cs) << std::u16string(c.a).size();
    EXPECT_EQ(ic.CompareStrings(c.a, c.b), c.ic);
    EXPECT_EQ(plain.CompareStrings(c.a, c.b), c.ic);
  }
  plain.SetCaseSensitive(true);
  EXPECT_EQ(plain.CompareStrings(u"abc", u"ABC"), 1);
  // The fixed variants ignore the switch.
  cs.SetCaseSensitive(false);
  ic.SetCaseSensitive(true);
  EXPECT_EQ(cs.CompareStrings(u"abc", u"ABC"), 1);
  EXPECT_EQ(ic.CompareStrings(u"abc", u"ABC"), 0);
}

TEST(FastStringList, SortedListsOrderFindAndApplyTheDuplicatesRule) {
  auto cs = TnxFastStringListCS::CreateSorted(TDuplicates::dupError);
  for (const char16_t* s : {u"b", u"a", u"B", u"_"}) cs->Add(s);
  EXPECT_EQ(LinesOf(*cs), (std::vector<std::u16string>{u"B", u"_", u"a", u"b"}));
  int index = -1;
  EXPECT_TRUE(cs->Find(u"a", index));
  EXPECT_EQ(index, 2);
  EXPECT_FALSE(cs->Find(u"A", index));
  EXPECT_EQ(index, 0);
  EXPECT_THROW(cs->Add(u"a"), platform::EStringListError);
  EXPECT_EQ(cs->Count(), 4);

  auto ic = TnxFastStringListIC::CreateSorted(TDuplicates::dupIgnore);
  for (const char16_t* s : {u"b", u"a", u"B", u"_"}) ic->Add(s);
  EXPECT_EQ(LinesOf(*ic), (std::vector<std::u16string>{u"a", u"b", u"_"}));
  EXPECT_EQ(ic->IndexOf(u"B"), 1);
  EXPECT_EQ(ic->IndexOfName(u"X"), -1);

  auto accept = TnxFastStringList::CreateSorted(TDuplicates::dupAccept);
  accept->Add(u"x");
  accept->Add(u"X");
  EXPECT_EQ(accept->Count(), 2);
  EXPECT_TRUE(accept->Sorted());
}

struct Counted : TnxObject {
  explicit Counted(int& aLive) : live(aLive) { ++live; }
  ~Counted() override { --live; }
  int& live;
};

TEST(FastStringList, ClearFreesTheObjectsOnlyWhenAsked) {
  int live = 0;
  TnxFastStringList l;
  Counted kept(live);
  l.AddObject(u"a", new Counted(live));
  l.AddObject(u"nil", nullptr);
  l.AddObject(u"b", new Counted(live));
  EXPECT_EQ(live, 3);
  l.Clear(true);
  EXPECT_EQ(live, 1);
  EXPECT_EQ(l.Count(), 0);

  l.AddObject(u"k", &kept);
  l.Clear(false);
  EXPECT_EQ(live, 1);
  EXPECT_EQ(l.Count(), 0);
}

}  // namespace
}  // namespace revurov
