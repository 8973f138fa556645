#include "app/gui/dialog_service.h"

#include <QApplication>
#include <QGuiApplication>
#include <QMessageBox>

#include "app/gui/pw_dlg.h"

namespace tesmira {

TDialogService::~TDialogService() = default;

namespace {

class TQtDialogService final : public TDialogService {
public:
  void ShowException(QWidget* parent, const QString& text) override {
    QMessageBox::critical(parent, QApplication::applicationName(), text);
  }
  void MessageDlg(QWidget* parent, const QString& text, TMsgDlgType type) override {
    if (type == TMsgDlgType::mtError) {
      QMessageBox::critical(parent, QApplication::applicationName(), text);
    } else {
      QMessageBox::information(parent, QApplication::applicationName(), text);
    }
  }
  int ExecPasswordDialog(TPasswordDlg& dialog) override { return dialog.exec(); }
  void SetHourglass(bool on) override {
    if (on) {
      QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    } else {
      QGuiApplication::restoreOverrideCursor();
    }
  }
};

std::unique_ptr<TDialogService>& Current() {
  static std::unique_ptr<TDialogService> service = std::make_unique<TQtDialogService>();
  return service;
}

}  // namespace

TDialogService& DialogService() { return *Current(); }

std::unique_ptr<TDialogService> SetDialogService(std::unique_ptr<TDialogService> service) {
  if (!service) service = std::make_unique<TQtDialogService>();
  Current().swap(service);
  return service;
}

}  // namespace tesmira
