// The library's message box on Qt.
//
// Contract: ShowPlatformMessageDialog shows aMessage with the icon of aType
// (none past mtConfirmation) and the buttons of aButtons (none: an OK
// button) through the form runner (GUI thread only), and answers the
// pressed button's number (TnxMsgDlgBtn); Help, closing the box, or Escape
// when there is no Cancel button answer nxMsgDlgNoAnswer. aHelpCtx is not
// shown: there is no help file.
#pragma once

#include <QMessageBox>
#include <cstdint>
#include <string>

#include "lowlevel/sync/platform_interface.h"

namespace revurov {

// A message box that closes with no button on Escape or Close when it has
// no Cancel button.
class TnxMessageBox : public QMessageBox {
public:
  using QMessageBox::QMessageBox;

protected:
  void keyPressEvent(QKeyEvent* aEvent) override;
  void closeEvent(QCloseEvent* aEvent) override;

private:
  bool HasCancel() const;
};

uint8_t ShowPlatformMessageDialog(const std::u16string& aMsg, TnxMsgDlgType aDlgType, TnxMsgDlgButtons aButtons,
                                  int32_t aHelpCtx);

}  // namespace revurov
