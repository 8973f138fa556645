#include "app/gui/list_box.h"

#include <QDragEnterEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QStyleOptionFocusRect>

namespace tesmira {

TListBox::TListBox(QWidget* parent) : QListWidget(parent) {
  setSelectionMode(QAbstractItemView::SingleSelection);
  // Drops are handled by the window's handlers; the list itself never moves
  // items on its own, so a drag only ever copies in Qt's sense.
  setDefaultDropAction(Qt::CopyAction);
  setDragDropMode(QAbstractItemView::NoDragDrop);
}

void TListBox::UpdateItemRect(intptr_t tag) {
  if (tag <= 0 || tag - 1 >= count()) return;
  viewport()->update(visualItemRect(item(static_cast<int>(tag - 1))).adjusted(-1, -1, 1, 1));
}

void TListBox::SetTag(intptr_t tag) {
  if (tag == tag_) return;
  UpdateItemRect(tag_);
  tag_ = tag;
  UpdateItemRect(tag_);
}

bool TListBox::MultiSelect() const {
  return selectionMode() == QAbstractItemView::ExtendedSelection ||
         selectionMode() == QAbstractItemView::MultiSelection;
}

void TListBox::SetMultiSelect(bool on) {
  const bool blocked = blockSignals(true);
  clearSelection();
  setSelectionMode(on ? QAbstractItemView::ExtendedSelection : QAbstractItemView::SingleSelection);
  blockSignals(blocked);
}

void TListBox::AddItem(const QString& text, uintptr_t object) { InsertItem(count(), text, object); }

void TListBox::InsertItem(int index, const QString& text, uintptr_t object) {
  auto* it = new QListWidgetItem(text);
  it->setData(Qt::UserRole, QVariant::fromValue<quintptr>(object));
  insertItem(index, it);
}

void TListBox::SetItems(const QStringList& texts) {
  const bool enabled = updatesEnabled();
  setUpdatesEnabled(false);
  clear();
  addItems(texts);
  setUpdatesEnabled(enabled);
}

uintptr_t TListBox::Object(int index) const {
  const QListWidgetItem* it = item(index);
  return it ? it->data(Qt::UserRole).value<quintptr>() : 0;
}

QStringList TListBox::Texts() const {
  QStringList out;
  for (int i = 0; i < count(); ++i) out << item(i)->text();
  return out;
}

void TListBox::paintEvent(QPaintEvent* event) {
  QListWidget::paintEvent(event);
  if (tag_ <= 0 || tag_ - 1 >= count()) return;
  QPainter painter(viewport());
  QStyleOptionFocusRect option;
  option.initFrom(this);
  option.rect = visualItemRect(item(static_cast<int>(tag_ - 1)));
  option.backgroundColor = palette().color(QPalette::Base);
  style()->drawPrimitive(QStyle::PE_FrameFocusRect, &option, &painter, this);
  painter.setPen(QPen(palette().color(QPalette::Text), 1, Qt::DotLine));
  painter.drawRect(option.rect.adjusted(0, 0, -1, -1));
}

void TListBox::mousePressEvent(QMouseEvent* event) {
  QListWidget::mousePressEvent(event);
  if (event->button() == Qt::LeftButton) emit Click();
}

void TListBox::mouseDoubleClickEvent(QMouseEvent* event) {
  QListWidget::mouseDoubleClickEvent(event);
  if (event->button() == Qt::LeftButton) emit DblClick();
}

void TListBox::keyPressEvent(QKeyEvent* event) {
  int key = event->key();
  emit KeyDown(key, event->modifiers());
  if (key == 0) {
    event->accept();
    return;
  }
  QChar ch;
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
    ch = QChar(13);
  } else if (!event->text().isEmpty()) {
    ch = event->text().at(0);
  }
  if (!ch.isNull()) {
    emit KeyPress(ch);
    if (ch.isNull()) {
      event->accept();
      return;
    }
  }
  const int row = currentRow();
  const auto selected = selectedItems();
  QListWidget::keyPressEvent(event);
  if (row != currentRow() || selected != selectedItems()) emit Click();
}

bool TListBox::EmitDragOver(QObject* source, QPoint pos, TDragState state) {
  last_drag_pos_ = pos;
  last_drag_source_ = source;
  bool accept = true;
  emit DragOver(source, pos.x(), pos.y(), state, accept);
  return accept;
}

void TListBox::dragEnterEvent(QDragEnterEvent* event) {
  // Enter is always taken so that move and leave events follow; whether a
  // drop is allowed is decided per position.
  EmitDragOver(event->source(), event->position().toPoint(), TDragState::dsDragEnter);
  event->setDropAction(Qt::CopyAction);
  event->accept();
}

void TListBox::dragMoveEvent(QDragMoveEvent* event) {
  const bool accept = EmitDragOver(event->source(), event->position().toPoint(), TDragState::dsDragMove);
  event->setDropAction(Qt::CopyAction);
  event->setAccepted(accept);
}

void TListBox::dragLeaveEvent(QDragLeaveEvent* event) {
  EmitDragOver(last_drag_source_, last_drag_pos_, TDragState::dsDragLeave);
  event->accept();
}

void TListBox::dropEvent(QDropEvent* event) {
  const QPoint pos = event->position().toPoint();
  // The list sees the leave before the drop, so the indicator is gone first.
  if (!EmitDragOver(event->source(), pos, TDragState::dsDragLeave)) {
    event->ignore();
    return;
  }
  event->setDropAction(Qt::CopyAction);
  event->accept();
  emit DragDrop(event->source(), pos.x(), pos.y());
}

Qt::DropActions TListBox::supportedDropActions() const { return Qt::CopyAction; }

}  // namespace tesmira
