// The start-up password dialog.
#pragma once

#include <QDialog>

class QLabel;
class QLineEdit;
class QPushButton;

namespace tesmira {

class TPasswordDlg : public QDialog {
  Q_OBJECT
public:
  explicit TPasswordDlg(QWidget* parent = nullptr);

  QLabel* lbEnterPassword = nullptr;
  QLineEdit* PWInput = nullptr;
  QPushButton* OkBtn = nullptr;
  QPushButton* BitBtn2 = nullptr;
};

}  // namespace tesmira
