#include "app/gui/dialog_service.h"

#include <QApplication>
#include <QDialog>
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
  int ExecForm(QDialog& form) override { return form.exec(); }
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

int TDialogFormRunner::Exec(QDialog& form) { return DialogService().ExecForm(form); }

bool TDialogFormRunner::ChoosePrinter(QPrinter& printer, QWidget* parent) {
  return previous_ && previous_->ChoosePrinter(printer, parent);
}

void TDialogFormRunner::Beep() {
  if (previous_) previous_->Beep();
}

TDialogFormRunnerGuard::TDialogFormRunnerGuard() {
  // The runner keeps the one it replaces; taken back out, that one is put
  // back in its place.
  auto runner = std::make_unique<TDialogFormRunner>();
  TDialogFormRunner* raw = runner.get();
  raw->SetPrevious(revurov::nxSetFormRunner(std::move(runner)));
}

TDialogFormRunnerGuard::~TDialogFormRunnerGuard() {
  std::unique_ptr<revurov::TnxFormRunner> ours = revurov::nxSetFormRunner(nullptr);
  if (auto* runner = dynamic_cast<TDialogFormRunner*>(ours.get())) revurov::nxSetFormRunner(runner->TakePrevious());
}

}  // namespace tesmira
