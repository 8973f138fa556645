#include "app/gui/box_procs.h"

#include <QVariant>
#include <optional>

#include "platform/format.h"
#include "platform/rtl_exception.h"

namespace tesmira {

namespace {

TListBox* AsList(QWidget* control) { return qobject_cast<TListBox*>(control); }

// Repainting of a list is suspended for the life of the guard.
class TUpdateGuard {
public:
  explicit TUpdateGuard(TListBox* list) : list_(list), was_(list->updatesEnabled()) {
    list_->setUpdatesEnabled(false);
  }
  ~TUpdateGuard() { list_->setUpdatesEnabled(was_); }
  TUpdateGuard(const TUpdateGuard&) = delete;
  TUpdateGuard& operator=(const TUpdateGuard&) = delete;

private:
  TListBox* list_;
  bool was_;
};

[[noreturn]] void ListIndexError(int index) {
  throw revurov::platform::Exception(
      revurov::platform::Format(u"List index out of bounds (%d)", {index}));
}

void SetTag(QWidget* control, intptr_t tag) {
  if (TListBox* list = AsList(control)) list->SetTag(tag);
}

}  // namespace

int ListCount(QWidget* control) {
  TListBox* list = AsList(control);
  return list ? list->count() : 0;
}

bool ListSelected(QWidget* control, int index) {
  TListBox* list = AsList(control);
  if (!list) return false;
  QListWidgetItem* it = list->item(index);
  return it && it->isSelected();
}

void ListSetSelected(QWidget* control, int index, bool selected) {
  TListBox* list = AsList(control);
  if (!list) return;
  if (QListWidgetItem* it = list->item(index)) it->setSelected(selected);
}

int ListItemIndex(QWidget* control) {
  TListBox* list = AsList(control);
  return list ? list->currentRow() : -1;
}

void ListSetItemIndex(QWidget* control, int index) {
  if (TListBox* list = AsList(control)) list->setCurrentRow(index);
}

bool ListMultiSelect(QWidget* control) {
  TListBox* list = AsList(control);
  return list && list->MultiSelect();
}

int ListSelCount(QWidget* control) {
  TListBox* list = AsList(control);
  if (!list) return 0;
  if (!list->MultiSelect()) return -1;
  return static_cast<int>(list->selectedItems().size());
}

int ListItemAtPos(QWidget* control, int x, int y) {
  TListBox* list = AsList(control);
  if (!list) return -1;
  QListWidgetItem* it = list->itemAt(x, y);
  return it ? list->row(it) : -1;
}

QRect ListItemRect(QWidget* control, int index) {
  TListBox* list = AsList(control);
  if (!list || !list->item(index)) return QRect(0, 0, 0, 0);
  return list->visualItemRect(list->item(index));
}

intptr_t ListTag(QWidget* control) {
  TListBox* list = AsList(control);
  return list ? list->Tag() : 0;
}

int FirstSelected(QWidget* list) {
  const int n = ListCount(list);
  for (int i = 0; i < n; ++i) {
    if (ListSelected(list, i)) return i;
  }
  return -1;
}

void SetItem(QWidget* control, int index) {
  TListBox* list = AsList(control);
  if (!list) return;
  if (list->isEnabled() && list->isVisible() && list->focusPolicy() != Qt::NoFocus) list->setFocus();
  const int last = list->count() - 1;
  // −1 on an empty list must end up negative too, not on a missing item 0.
  if (index == -1) index = 0;
  if (index > last) index = last;
  if (index < 0) return;
  if (list->MultiSelect()) {
    list->item(index)->setSelected(true);
    // The caret follows the selected item so that the keyboard reorder
    // routines keep working on the item the user moved.
    list->selectionModel()->setCurrentIndex(list->model()->index(index, 0),
                                            QItemSelectionModel::NoUpdate);
  } else {
    list->setCurrentRow(index);
  }
}

void MoveSelectedItems(QWidget* source, QWidget* destination) {
  const int first = FirstSelected(source);
  if (first == -1) return;
  TListBox* src = AsList(source);
  TListBox* dst = AsList(destination);
  {
    TUpdateGuard src_guard(src);
    std::optional<TUpdateGuard> dst_guard;
    if (dst) dst_guard.emplace(dst);
    int i = 0;
    while (i < src->count()) {
      if (src->item(i)->isSelected()) {
        if (dst) dst->AddItem(src->item(i)->text(), src->Object(i));
        delete src->takeItem(i);
      } else {
        ++i;
      }
    }
  }
  SetItem(source, first);
}

void MoveAllItems(QWidget* source, QWidget* destination) {
  TListBox* src = AsList(source);
  if (!src) return;
  if (TListBox* dst = AsList(destination)) {
    for (int i = 0; i < src->count(); ++i) dst->AddItem(src->item(i)->text(), src->Object(i));
  }
  src->clear();
  SetItem(source, 0);
}

void MoveSelectedItemTo(QWidget* control, int index) {
  TListBox* list = AsList(control);
  if (!list) return;
  const int focused = list->currentRow();
  if (index < 0 || index >= list->count() || index == focused) return;
  if (focused < 0) ListIndexError(focused);
  const bool blocked = list->blockSignals(true);
  QListWidgetItem* it = list->takeItem(focused);
  list->insertItem(index, it);
  list->blockSignals(blocked);
  SetItem(control, index);
}

bool CanDropOnItem(QWidget* list, int x, int y, int& hover) {
  hover = -1;
  if (ListMultiSelect(list) && ListSelCount(list) != 1) return false;
  const int focused = ListItemIndex(list);
  if (focused < 0) return false;
  hover = ListItemAtPos(list, x, y);
  return hover >= 0 && hover != focused;
}

void ListBoxDragOverFeedback(QWidget* list, QObject* source, int x, int y, TDragState state,
                             bool sorted, bool& accept) {
  if (source != list) {
    accept = source != nullptr && source->isWidgetType();
    return;
  }
  if (sorted) {
    accept = false;
    return;
  }
  int hover = -1;
  accept = CanDropOnItem(list, x, y, hover);
  const intptr_t t = ListTag(list);
  if (t - 1 == hover && hover >= 0) {
    if (state == TDragState::dsDragLeave) SetTag(list, 0);
    return;
  }
  // The indicator is painted from the tag, so erasing the old one and
  // drawing the new one is one change of the tag.
  SetTag(list, hover + 1);
}

}  // namespace tesmira
