#include "client/platform/message_dialog.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QPushButton>
#include <optional>

#include "gui_test_support.h"

namespace revurov {
namespace {

using testing::TGuiTest;

class MessageDialog : public TGuiTest {};

constexpr TnxMsgDlgButtons Set(std::initializer_list<TnxMsgDlgBtn> aButtons) {
  TnxMsgDlgButtons set = 0;
  for (TnxMsgDlgBtn b : aButtons) set |= nxMsgDlgButton(b);
  return set;
}

// What the user does with the box.
enum class Action { Press, PressAll, Escape, Close };

struct Case {
  uint8_t type;
  TnxMsgDlgButtons buttons;
  Action action;
  QMessageBox::StandardButton pressed;  // for Press
  uint8_t answer;
};

TEST_F(MessageDialog, TypeButtonsAndPressedGiveTheAnswer) {
  const Case cases[] = {
      {mtConfirmation, Set({mbYes, mbNo}), Action::Press, QMessageBox::Yes, mbYes},
      {mtConfirmation, Set({mbYes, mbNo}), Action::Press, QMessageBox::No, mbNo},
      {7, Set({mbOK, mbCancel}), Action::Press, QMessageBox::Ok, mbOK},
      {mtWarning, Set({mbOK, mbCancel}), Action::Press, QMessageBox::Cancel, mbCancel},
      {mtError, Set({mbAbort, mbRetry, mbIgnore}), Action::Press, QMessageBox::Abort, mbAbort},
      {mtError, Set({mbAbort, mbRetry, mbIgnore}), Action::Press, QMessageBox::Retry, mbRetry},
      {mtError, Set({mbAbort, mbRetry, mbIgnore}), Action::Press, QMessageBox::Ignore, mbIgnore},
      {mtConfirmation, Set({mbYes, mbAll, mbNoToAll, mbYesToAll}), Action::PressAll, QMessageBox::NoButton, mbAll},
      {mtConfirmation, Set({mbYes, mbAll, mbNoToAll, mbYesToAll}), Action::Press, QMessageBox::NoToAll,
       mbNoToAll},
      {mtConfirmation, Set({mbYes, mbAll, mbNoToAll, mbYesToAll}), Action::Press, QMessageBox::YesToAll,
       mbYesToAll},
      {mtInformation, Set({mbOK, mbHelp}), Action::Press, QMessageBox::Help, nxMsgDlgNoAnswer},
      // Escape presses Cancel when there is one, and nothing otherwise.
      {mtWarning, Set({mbYes, mbNo, mbCancel}), Action::Escape, QMessageBox::NoButton, mbCancel},
      {mtInformation, Set({mbOK}), Action::Escape, QMessageBox::NoButton, nxMsgDlgNoAnswer},
      {mtConfirmation, Set({mbYes, mbNo}), Action::Escape, QMessageBox::NoButton, nxMsgDlgNoAnswer},
      {mtConfirmation, Set({mbYes, mbNo}), Action::Close, QMessageBox::NoButton, nxMsgDlgNoAnswer},
      {mtConfirmation, Set({mbOK, mbCancel}), Action::Close, QMessageBox::NoButton, mbCancel},
      // Bits above Help are ignored; no button at all gives an OK button.
      {mtInformation, static_cast<TnxMsgDlgButtons>(0xF800), Action::Press, QMessageBox::Ok, mbOK},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "type " << int(c.type) << " buttons " << c.buttons << " action "
                                      << int(c.action) << " pressed " << c.pressed);
    Runner->Script = [&](QDialog& dialog) {
      auto& box = dynamic_cast<QMessageBox&>(dialog);
      switch (c.action) {
        case Action::Press: {
          QAbstractButton* b = box.button(c.pressed);
          ASSERT_NE(b, nullptr);
          b->click();
          break;
        }
        case Action::PressAll: {
          QAbstractButton* all = nullptr;
          for (QAbstractButton* b : box.buttons())
            if (b->text() == QStringLiteral("&All")) all = b;
          ASSERT_NE(all, nullptr);
          all->click();
          break;
        }
        case Action::Escape: {
          QKeyEvent key(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
          QApplication::sendEvent(&box, &key);
          break;
        }
        case Action::Close:
          box.close();
          break;
      }
      EXPECT_FALSE(box.isVisible());
    };
    EXPECT_EQ(ShowPlatformMessageDialog(u"Proceed?", static_cast<TnxMsgDlgType>(c.type), c.buttons, 0), c.answer);
  }
}

TEST_F(MessageDialog, TypeGivesTheIconAndEachChosenButtonIsShown) {
  const struct {
    uint8_t type;
    QMessageBox::Icon icon;
  } cases[] = {{mtWarning, QMessageBox::Warning},         {mtError, QMessageBox::Critical},
               {mtInformation, QMessageBox::Information}, {mtConfirmation, QMessageBox::Question},
               {mtCustom, QMessageBox::NoIcon},           {7, QMessageBox::NoIcon}};
  for (const auto& c : cases) {
    int buttons = -1;
    std::optional<QMessageBox::Icon> icon;
    QString text;
    Runner->Script = [&](QDialog& dialog) {
      auto& box = dynamic_cast<QMessageBox&>(dialog);
      icon = box.icon();
      text = box.text();
      buttons = static_cast<int>(box.buttons().size());
      box.close();
    };
    ShowPlatformMessageDialog(u"Tabelle öffnen?", static_cast<TnxMsgDlgType>(c.type), 0x07FF, 0);
    EXPECT_EQ(icon, c.icon) << int(c.type);
    EXPECT_EQ(text, QStringLiteral("Tabelle öffnen?"));
    EXPECT_EQ(buttons, 11);
  }
}

}  // namespace
}  // namespace revurov
