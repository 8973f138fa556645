// Every modal interaction of the window (message boxes, the password dialog,
// the hourglass cursor) goes through one replaceable service, so that tests
// drive each path without a blocking event loop.
//
// Contract: `DialogService()` always returns a live service (the Qt one until
// a test installs its own). `SetDialogService` takes ownership and returns
// the previous service; passing null restores the Qt service.
#pragma once

#include <QString>
#include <memory>

#include "client/platform/form_runner.h"

class QDialog;
class QWidget;

namespace tesmira {

class TPasswordDlg;

enum class TMsgDlgType { mtError, mtInformation };

class TDialogService {
public:
  virtual ~TDialogService();
  // The application's error display: an exception text that ends a handler.
  virtual void ShowException(QWidget* parent, const QString& text) = 0;
  // A message box with one OK button.
  virtual void MessageDlg(QWidget* parent, const QString& text, TMsgDlgType type) = 0;
  // Shows the dialog modally; answers QDialog::Accepted or QDialog::Rejected.
  virtual int ExecPasswordDialog(TPasswordDlg& dialog) = 0;
  // Hourglass cursor on (true) or back to the default (false).
  virtual void SetHourglass(bool on) = 0;
  // The library's own forms (server log-on, server pick): the form's result.
  virtual int ExecForm(QDialog& form) = 0;
};

TDialogService& DialogService();
std::unique_ptr<TDialogService> SetDialogService(std::unique_ptr<TDialogService> service);

// The library's form runner for the window's process: its forms go through
// the dialog service; printing and beeps stay with the runner it replaced.
class TDialogFormRunner final : public revurov::TnxFormRunner {
public:
  void SetPrevious(std::unique_ptr<revurov::TnxFormRunner> previous) { previous_ = std::move(previous); }
  std::unique_ptr<revurov::TnxFormRunner> TakePrevious() { return std::move(previous_); }
  int Exec(QDialog& form) override;
  bool ChoosePrinter(QPrinter& printer, QWidget* parent) override;
  void Beep() override;

private:
  std::unique_ptr<revurov::TnxFormRunner> previous_;
};

// Installs a TDialogFormRunner for the life of the guard.
class TDialogFormRunnerGuard {
public:
  TDialogFormRunnerGuard();
  ~TDialogFormRunnerGuard();
  TDialogFormRunnerGuard(const TDialogFormRunnerGuard&) = delete;
  TDialogFormRunnerGuard& operator=(const TDialogFormRunnerGuard&) = delete;
};

// Hourglass for the life of the guard, restored also when a step throws.
class THourglassGuard {
public:
  THourglassGuard() { DialogService().SetHourglass(true); }
  ~THourglassGuard() { DialogService().SetHourglass(false); }
  THourglassGuard(const THourglassGuard&) = delete;
  THourglassGuard& operator=(const THourglassGuard&) = delete;
};

}  // namespace tesmira
