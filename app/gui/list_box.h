// The list box of the window: a QListWidget whose items carry a text and an
// object reference, with the list box's own events (click, double-click,
// drag-over with enter/leave/move states, drop, key down, key press) and an
// integer tag that holds the drop indicator of the list-box routines.
//
// The drop indicator is painted in the list's viewport from the tag (an
// exclusive-or rectangle on the screen does not exist here): tag k > 0 draws
// a focus rectangle around item k - 1, tag 0 draws none.
#pragma once

#include <QListWidget>
#include <QPointer>
#include <cstdint>

namespace tesmira {

enum class TDragState { dsDragEnter, dsDragLeave, dsDragMove };
enum class TDragCursor { crDrag, crMultiDrag };

class TListBox : public QListWidget {
  Q_OBJECT
public:
  explicit TListBox(QWidget* parent = nullptr);

  intptr_t Tag() const { return tag_; }
  // Repaints the indicator area of the old and the new tag.
  void SetTag(intptr_t tag);

  bool MultiSelect() const;
  // Switching the mode drops the selection, as rebuilding a native list box
  // does.
  void SetMultiSelect(bool on);
  bool Sorted() const { return isSortingEnabled(); }
  void SetSorted(bool on) { setSortingEnabled(on); }
  TDragCursor DragCursor() const { return drag_cursor_; }
  void SetDragCursor(TDragCursor cursor) { drag_cursor_ = cursor; }

  // Items with their object reference (Qt::UserRole).
  void AddItem(const QString& text, uintptr_t object = 0);
  void InsertItem(int index, const QString& text, uintptr_t object = 0);
  // Every item replaced by texts, without object references: one insertion
  // into the model and one repaint, not one per item.
  void SetItems(const QStringList& texts);
  uintptr_t Object(int index) const;
  QStringList Texts() const;

signals:
  void Click();
  void DblClick();
  // accept comes in true; a handler sets it.
  void DragOver(QObject* source, int x, int y, tesmira::TDragState state, bool& accept);
  void DragDrop(QObject* source, int x, int y);
  // A handler consumes the key by setting it to 0.
  void KeyDown(int& key, Qt::KeyboardModifiers shift);
  void KeyPress(QChar& key);

protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dragLeaveEvent(QDragLeaveEvent* event) override;
  void dropEvent(QDropEvent* event) override;
  Qt::DropActions supportedDropActions() const override;

private:
  bool EmitDragOver(QObject* source, QPoint pos, TDragState state);
  void UpdateItemRect(intptr_t tag);

  intptr_t tag_ = 0;
  TDragCursor drag_cursor_ = TDragCursor::crDrag;
  QPoint last_drag_pos_;
  QPointer<QObject> last_drag_source_;
};

}  // namespace tesmira
