// The log-on prompt shown when a server refuses a user name and password.
//
// Contract: ShowServerLogonDialog puts the names into the form's edits and
// runs it through the form runner (GUI thread only). OK (both edits filled)
// copies the edits back and answers true; anything else leaves both
// arguments as they were and answers false.
#pragma once

#include <QDialog>
#include <string>

class QLabel;
class QLineEdit;
class QPushButton;
class QWidget;

namespace revurov {

class TfrmLogin : public QDialog {
public:
  TfrmLogin();

  QWidget* paTop = nullptr;
  QLabel* laDescription = nullptr;
  QWidget* Panel1 = nullptr;
  QLabel* lbUsername = nullptr;
  QLineEdit* edUserName = nullptr;
  QLabel* lbPassword = nullptr;
  QLineEdit* edPassword = nullptr;
  QPushButton* btnOK = nullptr;
  QPushButton* btnCancel = nullptr;

protected:
  void showEvent(QShowEvent* aEvent) override;

private:
  void btnOKClick();
};

bool ShowServerLogonDialog(std::u16string& aUserName, std::u16string& aPassword);

}  // namespace revurov
