#include "app/gui/pw_dlg.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace tesmira {

TPasswordDlg::TPasswordDlg(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("Tesmira - Zuzaduvevuzezar"));
  setFixedSize(232, 94);
  setModal(true);

  lbEnterPassword = new QLabel(QStringLiteral("Bitte Paßwort eingeben"), this);
  lbEnterPassword->setGeometry(8, 8, 216, 16);
  PWInput = new QLineEdit(this);
  PWInput->setObjectName(QStringLiteral("PWInput"));
  PWInput->setEchoMode(QLineEdit::Password);
  PWInput->setGeometry(8, 28, 216, 22);
  OkBtn = new QPushButton(QStringLiteral("OK"), this);
  OkBtn->setGeometry(40, 60, 75, 25);
  OkBtn->setDefault(true);
  BitBtn2 = new QPushButton(QStringLiteral("Abbrechen"), this);
  BitBtn2->setGeometry(120, 60, 75, 25);
  connect(OkBtn, &QPushButton::clicked, this, &QDialog::accept);
  connect(BitBtn2, &QPushButton::clicked, this, &QDialog::reject);
  PWInput->setFocus();
}

}  // namespace tesmira
