#include "app/gui/box_procs.h"

#include <QLabel>
#include <gtest/gtest.h>

#include "gui_test_support.h"
#include "platform/rtl_exception.h"

namespace tesmira {
namespace {

using test::App;

class BoxProcsTest : public ::testing::Test {
protected:
  void SetUp() override {
    src.resize(200, 200);
    dst.resize(200, 200);
    src.SetMultiSelect(true);
    dst.SetMultiSelect(true);
  }
  void Fill(TListBox& list, int n) {
    for (int i = 0; i < n; ++i) list.AddItem(QString(QChar(u'A' + i)), static_cast<uintptr_t>(100 + i));
  }
  void Select(TListBox& list, std::initializer_list<int> rows) {
    for (int r : rows) list.item(r)->setSelected(true);
  }
  QPoint Center(TListBox& list, int row) { return list.visualItemRect(list.item(row)).center(); }

  test::TAppRef app_;
  TListBox src, dst;
};

TEST_F(BoxProcsTest, NeutralValuesOnControlsThatAreNoLists) {
  QLabel label;
  int hover = 7;
  EXPECT_EQ(FirstSelected(&label), -1);
  EXPECT_EQ(ListCount(&label), 0);
  EXPECT_EQ(ListSelCount(&label), 0);
  EXPECT_EQ(ListItemIndex(&label), -1);
  EXPECT_EQ(ListItemAtPos(&label, 1, 1), -1);
  EXPECT_EQ(ListItemRect(&label, 0), QRect(0, 0, 0, 0));
  EXPECT_FALSE(ListMultiSelect(&label));
  EXPECT_FALSE(CanDropOnItem(&label, 1, 1, hover));
  EXPECT_EQ(hover, -1);
  SetItem(&label, 0);
  MoveSelectedItems(&label, &dst);
  MoveAllItems(&label, &dst);
  MoveSelectedItemTo(&label, 0);
  EXPECT_EQ(dst.count(), 0);
}

// Items set at once replace every earlier item and its object and
// selection, in the given order, also when set again with fewer; the
// list's own repaint switch is as the caller had it.
TEST_F(BoxProcsTest, SetItemsReplacesEveryItemInOrder) {
  Fill(src, 4);
  Select(src, {1, 3});
  src.SetItems({"kunde", "artikel", "lager"});
  EXPECT_EQ(src.Texts(), (QStringList{"kunde", "artikel", "lager"}));
  for (int i = 0; i < src.count(); ++i) EXPECT_EQ(src.Object(i), 0u);
  EXPECT_EQ(ListSelCount(&src), 0);
  EXPECT_TRUE(src.updatesEnabled());
  src.SetItems({"belege"});
  EXPECT_EQ(src.Texts(), QStringList{"belege"});
  src.setUpdatesEnabled(false);
  src.SetItems({});
  EXPECT_EQ(src.count(), 0);
  EXPECT_FALSE(src.updatesEnabled());
}

TEST_F(BoxProcsTest, SingleSelectListReportsSelectionCountMinusOne) {
  src.SetMultiSelect(false);
  Fill(src, 2);
  EXPECT_EQ(ListSelCount(&src), -1);
}

TEST_F(BoxProcsTest, MovingItemsOneAndThreeOfFiveSelectsTheItemNowAtOne) {
  Fill(src, 5);
  Select(src, {1, 3});
  MoveSelectedItems(&src, &dst);
  EXPECT_EQ(src.Texts(), (QStringList{"A", "C", "E"}));
  EXPECT_EQ(dst.Texts(), (QStringList{"B", "D"}));
  EXPECT_EQ(dst.Object(0), 101u);
  EXPECT_EQ(dst.Object(1), 103u);
  EXPECT_EQ(FirstSelected(&src), 1);
  EXPECT_EQ(ListSelCount(&src), 1);
}

TEST_F(BoxProcsTest, MovingTheLastItemsSelectsTheNewLastItem) {
  Fill(src, 4);
  Select(src, {2, 3});
  MoveSelectedItems(&src, &dst);
  EXPECT_EQ(src.Texts(), (QStringList{"A", "B"}));
  EXPECT_EQ(FirstSelected(&src), 1);
}

TEST_F(BoxProcsTest, MovingWithNothingSelectedChangesNothing) {
  Fill(src, 3);
  MoveSelectedItems(&src, &dst);
  EXPECT_EQ(src.count(), 3);
  EXPECT_EQ(dst.count(), 0);
}

TEST_F(BoxProcsTest, MovingEverySelectedItemEmptiesTheSourceQuietly) {
  Fill(src, 2);
  Select(src, {0, 1});
  MoveSelectedItems(&src, &dst);
  EXPECT_EQ(src.count(), 0);
  EXPECT_EQ(dst.Texts(), (QStringList{"A", "B"}));
}

TEST_F(BoxProcsTest, MoveAllAppendsInOrderAndSelectsTheFirstSourceItem) {
  Fill(src, 3);
  dst.AddItem("Z");
  MoveAllItems(&src, &dst);
  EXPECT_EQ(src.count(), 0);
  EXPECT_EQ(dst.Texts(), (QStringList{"Z", "A", "B", "C"}));
  EXPECT_EQ(dst.Object(3), 102u);
}

TEST_F(BoxProcsTest, SetItemClampsTheIndex) {
  struct Case {
    int count;
    bool multi;
    int index;
    int selected;  // the row selected or focused afterwards, -1 none
  } cases[] = {
      {3, true, -1, 0}, {3, true, 7, 2}, {3, true, 1, 1}, {0, true, -1, -1}, {0, true, 4, -1},
      {3, false, -1, 0}, {3, false, 9, 2}, {3, false, -5, -1},
  };
  for (const Case& c : cases) {
    TListBox list;
    list.SetMultiSelect(c.multi);
    Fill(list, c.count);
    SetItem(&list, c.index);
    const int got = c.multi ? FirstSelected(&list) : list.currentRow();
    EXPECT_EQ(got, c.selected) << "count " << c.count << " multi " << c.multi << " index " << c.index;
  }
}

TEST_F(BoxProcsTest, MoveSelectedItemToReordersAroundTheFocusedItem) {
  struct Case {
    int focused, index;
    const char* after;
  } cases[] = {
      {0, 2, "BCADE"}, {4, 0, "EABCD"}, {1, 1, "ABCDE"}, {1, 5, "ABCDE"}, {1, -1, "ABCDE"}, {2, 3, "ABDCE"},
  };
  for (const Case& c : cases) {
    TListBox list;
    list.SetMultiSelect(false);
    Fill(list, 5);
    list.setCurrentRow(c.focused);
    MoveSelectedItemTo(&list, c.index);
    EXPECT_EQ(list.Texts().join(""), QString::fromLatin1(c.after)) << c.focused << "->" << c.index;
    if (QString::fromLatin1(c.after) != "ABCDE") {
      EXPECT_EQ(list.currentRow(), c.index);
    }
  }
}

TEST_F(BoxProcsTest, MoveSelectedItemToWithoutFocusRaisesTheListIndexError) {
  Fill(src, 3);
  src.setCurrentRow(-1);
  try {
    MoveSelectedItemTo(&src, 1);
    FAIL() << "no error";
  } catch (const revurov::platform::Exception& e) {
    EXPECT_STREQ(e.what(), "List index out of bounds (-1)");
  }
  EXPECT_EQ(src.Texts().join(""), "ABC");
}

TEST_F(BoxProcsTest, CanDropOnItemNeedsOneFocusedSelectedItemAndAnotherTarget) {
  Fill(src, 4);
  int hover = 0;
  src.setCurrentRow(0);  // selects item 0 as well
  EXPECT_TRUE(CanDropOnItem(&src, Center(src, 2).x(), Center(src, 2).y(), hover));
  EXPECT_EQ(hover, 2);
  EXPECT_FALSE(CanDropOnItem(&src, Center(src, 0).x(), Center(src, 0).y(), hover));
  EXPECT_EQ(hover, 0);
  EXPECT_FALSE(CanDropOnItem(&src, 5, 190, hover));  // below the last item
  EXPECT_EQ(hover, -1);
  Select(src, {1});
  EXPECT_FALSE(CanDropOnItem(&src, Center(src, 2).x(), Center(src, 2).y(), hover));
  EXPECT_EQ(hover, -1);
}

TEST_F(BoxProcsTest, DragFromAnotherControlAcceptsAnyWidgetAndLeavesTheTag) {
  Fill(src, 3);
  bool accept = false;
  ListBoxDragOverFeedback(&src, &dst, 1, 1, TDragState::dsDragMove, false, accept);
  EXPECT_TRUE(accept);
  QObject not_a_widget;
  ListBoxDragOverFeedback(&src, &not_a_widget, 1, 1, TDragState::dsDragMove, false, accept);
  EXPECT_FALSE(accept);
  ListBoxDragOverFeedback(&src, nullptr, 1, 1, TDragState::dsDragMove, false, accept);
  EXPECT_FALSE(accept);
  EXPECT_EQ(src.Tag(), 0);
}

TEST_F(BoxProcsTest, SortedListRefusesDragsInsideItself) {
  Fill(src, 3);
  src.setCurrentRow(0);
  bool accept = true;
  const QPoint p = Center(src, 2);
  ListBoxDragOverFeedback(&src, &src, p.x(), p.y(), TDragState::dsDragMove, true, accept);
  EXPECT_FALSE(accept);
  EXPECT_EQ(src.Tag(), 0);
}

TEST_F(BoxProcsTest, DropIndicatorFollowsTheHoveredItem) {
  Fill(src, 4);
  src.setCurrentRow(0);
  struct Step {
    int row;  // hovered row, -1 = below the items
    TDragState state;
    bool accept;
    intptr_t tag;
  } steps[] = {
      {2, TDragState::dsDragEnter, true, 3},  {2, TDragState::dsDragMove, true, 3},
      {3, TDragState::dsDragMove, true, 4},   {0, TDragState::dsDragMove, false, 1},
      {-1, TDragState::dsDragMove, false, 0}, {1, TDragState::dsDragMove, true, 2},
      {1, TDragState::dsDragLeave, true, 0},
  };
  for (const Step& s : steps) {
    const QPoint p = s.row >= 0 ? Center(src, s.row) : QPoint(5, 190);
    bool accept = !s.accept;
    ListBoxDragOverFeedback(&src, &src, p.x(), p.y(), s.state, false, accept);
    EXPECT_EQ(accept, s.accept) << "row " << s.row;
    EXPECT_EQ(src.Tag(), s.tag) << "row " << s.row;
  }
}

TEST_F(BoxProcsTest, DragWithTwoSelectedItemsIsRefusedAndDrawsNoIndicator) {
  Fill(src, 4);
  src.setCurrentRow(0);
  Select(src, {1});
  bool accept = true;
  const QPoint p = Center(src, 3);
  ListBoxDragOverFeedback(&src, &src, p.x(), p.y(), TDragState::dsDragEnter, false, accept);
  EXPECT_FALSE(accept);
  EXPECT_EQ(src.Tag(), 0);
}

TEST_F(BoxProcsTest, LeavingAwayFromTheIndicatorMovesItToTheHoveredItem) {
  Fill(src, 4);
  src.setCurrentRow(0);
  src.SetTag(3);
  bool accept = false;
  const QPoint p = Center(src, 1);
  ListBoxDragOverFeedback(&src, &src, p.x(), p.y(), TDragState::dsDragLeave, false, accept);
  EXPECT_EQ(src.Tag(), 2);
}

}  // namespace
}  // namespace tesmira
