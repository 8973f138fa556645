#include "client/platform/message_dialog.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QKeySequence>
#include <QPushButton>

#include "client/platform/form_runner.h"

namespace revurov {

namespace {

// Button n of the set; mbAll has no standard Qt button (NoButton).
constexpr QMessageBox::StandardButton kStandardButtons[] = {
    QMessageBox::Yes,   QMessageBox::No,     QMessageBox::Ok,       QMessageBox::Cancel,
    QMessageBox::Abort, QMessageBox::Retry,  QMessageBox::Ignore,   QMessageBox::NoButton,
    QMessageBox::NoToAll, QMessageBox::YesToAll, QMessageBox::Help,
};

struct TypeLook {
  QMessageBox::Icon Icon;
  const char16_t* Caption;  // null: the application's name
};

TypeLook LookOf(TnxMsgDlgType aType) {
  switch (aType) {
    case mtWarning:
      return {QMessageBox::Warning, u"Warning"};
    case mtError:
      return {QMessageBox::Critical, u"Error"};
    case mtInformation:
      return {QMessageBox::Information, u"Information"};
    case mtConfirmation:
      return {QMessageBox::Question, u"Confirm"};
    default:
      return {QMessageBox::NoIcon, nullptr};
  }
}

}  // namespace

bool TnxMessageBox::HasCancel() const { return button(QMessageBox::Cancel) != nullptr; }

void TnxMessageBox::keyPressEvent(QKeyEvent* aEvent) {
  if (aEvent->matches(QKeySequence::Cancel) && !HasCancel()) {
    done(QDialog::Rejected);
    return;
  }
  QMessageBox::keyPressEvent(aEvent);
}

void TnxMessageBox::closeEvent(QCloseEvent* aEvent) {
  if (HasCancel()) {
    QMessageBox::closeEvent(aEvent);
    return;
  }
  aEvent->accept();
  done(QDialog::Rejected);
}

uint8_t ShowPlatformMessageDialog(const std::u16string& aMsg, TnxMsgDlgType aDlgType, TnxMsgDlgButtons aButtons,
                                  int32_t) {
  const TypeLook look = LookOf(aDlgType);
  TnxMessageBox box;
  box.setIcon(look.Icon);
  box.setWindowTitle(look.Caption ? QString::fromUtf16(look.Caption) : QApplication::applicationName());
  box.setText(QString::fromStdU16String(aMsg));
  QAbstractButton* all = nullptr;
  for (uint8_t b = mbYes; b <= mbHelp; ++b) {
    if (!(aButtons & nxMsgDlgButton(static_cast<TnxMsgDlgBtn>(b)))) continue;
    if (b == mbAll)
      all = box.addButton(QStringLiteral("&All"), QMessageBox::YesRole);
    else
      box.addButton(kStandardButtons[b]);
  }
  if (QAbstractButton* cancel = box.button(QMessageBox::Cancel)) box.setEscapeButton(cancel);
  nxFormRunner().Exec(box);

  QAbstractButton* pressed = box.clickedButton();
  if (!pressed) return nxMsgDlgNoAnswer;
  if (pressed == all) return mbAll;
  const QMessageBox::StandardButton standard = box.standardButton(pressed);
  for (uint8_t b = mbYes; b < mbHelp; ++b)
    if (b != mbAll && kStandardButtons[b] == standard) return b;
  return nxMsgDlgNoAnswer;
}

}  // namespace revurov
