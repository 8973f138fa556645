#include "client/platform/pick_server_form.h"

#include <QApplication>
#include <QComboBox>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

#include "client/platform/form_runner.h"

namespace revurov {

TfrmPickServer::TfrmPickServer()
    : QDialog(nullptr, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::MSWindowsFixedSizeDialogHint |
                           Qt::WindowStaysOnTopHint) {
  setWindowTitle(QStringLiteral("RevurOV Server Selection"));

  Bevel1 = new QFrame(this);
  Bevel1->setFrameShape(QFrame::Box);
  Bevel1->setFrameShadow(QFrame::Sunken);
  Label1 = new QLabel(QStringLiteral("Login to:"), Bevel1);
  CBNames = new QComboBox(Bevel1);
  CBNames->setEditable(false);
  CBNames->setMinimumContentsLength(24);
  Label1->setBuddy(CBNames);
  auto* bevelLayout = new QVBoxLayout(Bevel1);
  bevelLayout->addWidget(Label1);
  bevelLayout->addWidget(CBNames);

  OKBtn = new QPushButton(QStringLiteral("OK"), this);
  OKBtn->setDefault(true);
  Button1 = new QPushButton(QStringLiteral("Cancel"), this);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(OKBtn);
  buttons->addWidget(Button1);

  auto* layout = new QVBoxLayout(this);
  layout->setSizeConstraint(QLayout::SetFixedSize);
  layout->addWidget(Bevel1);
  layout->addLayout(buttons);

  connect(OKBtn, &QPushButton::clicked, this, &QDialog::accept);
  connect(Button1, &QPushButton::clicked, this, &QDialog::reject);
}

// Centred on the application's window when it has one.
void TfrmPickServer::showEvent(QShowEvent* aEvent) {
  adjustSize();
  const QWidget* main = QApplication::activeWindow();
  if (main && main != this)
    move(main->geometry().center() - rect().center());
  else if (const QScreen* screen = QGuiApplication::primaryScreen())
    move(screen->availableGeometry().center() - rect().center());
  QDialog::showEvent(aEvent);
}

bool ShowServerPickDialog(const std::vector<std::u16string>& aServers, std::u16string& aServerName) {
  aServerName.clear();
  TfrmPickServer form;
  for (const std::u16string& name : aServers) form.CBNames->addItem(QString::fromStdU16String(name));
  form.CBNames->setCurrentIndex(aServers.empty() ? -1 : 0);
  if (nxFormRunner().Exec(form) != QDialog::Accepted) return false;
  aServerName = form.CBNames->currentText().toStdU16String();
  return true;
}

}  // namespace revurov
