// Free routines that move items between two list boxes, reorder items inside
// one, and keep the drop indicator while an item is dragged inside a list.
//
// Contract: every routine takes any control; on a control that is not a
// `TListBox` it does nothing or answers the neutral value (−1, false, 0).
// The drop indicator state is the list's tag: 0 none, k > 0 on item k − 1.
#pragma once

#include <QRect>

#include "app/gui/list_box.h"

class QObject;
class QWidget;

namespace tesmira {

// Accessors with the neutral value for a control that is not a list.
int ListCount(QWidget* control);
bool ListSelected(QWidget* control, int index);
void ListSetSelected(QWidget* control, int index, bool selected);
int ListItemIndex(QWidget* control);
void ListSetItemIndex(QWidget* control, int index);
bool ListMultiSelect(QWidget* control);
// A list in single-select mode answers −1, as the native list box does.
int ListSelCount(QWidget* control);
// Item under a viewport point, existing items only; −1 elsewhere.
int ListItemAtPos(QWidget* control, int x, int y);
QRect ListItemRect(QWidget* control, int index);
intptr_t ListTag(QWidget* control);

int FirstSelected(QWidget* list);
void SetItem(QWidget* list, int index);
void MoveSelectedItems(QWidget* source, QWidget* destination);
void MoveAllItems(QWidget* source, QWidget* destination);
// Raises the string list's index error when no item has the focus.
void MoveSelectedItemTo(QWidget* list, int index);
bool CanDropOnItem(QWidget* list, int x, int y, int& hover);
void ListBoxDragOverFeedback(QWidget* list, QObject* source, int x, int y, TDragState state,
                             bool sorted, bool& accept);

}  // namespace tesmira
