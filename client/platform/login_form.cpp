#include "client/platform/login_form.h"

#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

#include "client/platform/form_runner.h"

namespace revurov {

TfrmLogin::TfrmLogin() : QDialog(nullptr, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowStaysOnTopHint) {
  setWindowTitle(QStringLiteral("RevurOV Server Log On"));

  paTop = new QWidget(this);
  laDescription = new QLabel(paTop);
  laDescription->setWordWrap(true);
  auto* topLayout = new QVBoxLayout(paTop);
  topLayout->addWidget(laDescription);

  Panel1 = new QWidget(this);
  lbUsername = new QLabel(QStringLiteral("&User name: "), Panel1);
  edUserName = new QLineEdit(Panel1);
  lbUsername->setBuddy(edUserName);
  lbPassword = new QLabel(QStringLiteral("&Password: "), Panel1);
  edPassword = new QLineEdit(Panel1);
  edPassword->setEchoMode(QLineEdit::Password);
  edPassword->setStyleSheet(QStringLiteral("lineedit-password-character: 42"));
  lbPassword->setBuddy(edPassword);
  btnOK = new QPushButton(QStringLiteral("&OK"), Panel1);
  btnOK->setDefault(true);
  btnCancel = new QPushButton(QStringLiteral("Cancel"), Panel1);

  auto* grid = new QGridLayout(Panel1);
  grid->addWidget(lbUsername, 0, 0);
  grid->addWidget(edUserName, 0, 1);
  grid->addWidget(lbPassword, 1, 0);
  grid->addWidget(edPassword, 1, 1);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(btnOK);
  buttons->addWidget(btnCancel);
  grid->addLayout(buttons, 2, 0, 1, 2);

  auto* layout = new QVBoxLayout(this);
  layout->setSizeConstraint(QLayout::SetFixedSize);
  layout->addWidget(paTop);
  layout->addWidget(Panel1);

  connect(btnOK, &QPushButton::clicked, this, [this] { btnOKClick(); });
  connect(btnCancel, &QPushButton::clicked, this, &QDialog::reject);
}

void TfrmLogin::showEvent(QShowEvent* aEvent) {
  paTop->setVisible(!laDescription->text().isEmpty());
  adjustSize();
  if (const QScreen* screen = QGuiApplication::primaryScreen())
    move(screen->availableGeometry().center() - rect().center());
  if (!edUserName->text().isEmpty())
    edPassword->setFocus();
  else
    edUserName->setFocus();
  QDialog::showEvent(aEvent);
}

void TfrmLogin::btnOKClick() {
  QLineEdit* empty = edUserName->text().isEmpty() ? edUserName : edPassword->text().isEmpty() ? edPassword : nullptr;
  if (empty) {
    empty->setFocus();
    nxFormRunner().Beep();
    return;
  }
  accept();
}

bool ShowServerLogonDialog(std::u16string& aUserName, std::u16string& aPassword) {
  TfrmLogin form;
  form.edUserName->setText(QString::fromStdU16String(aUserName));
  form.edPassword->setText(QString::fromStdU16String(aPassword));
  if (nxFormRunner().Exec(form) != QDialog::Accepted) return false;
  aUserName = form.edUserName->text().toStdU16String();
  aPassword = form.edPassword->text().toStdU16String();
  return true;
}

}  // namespace revurov
