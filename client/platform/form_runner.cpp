#include "client/platform/form_runner.h"

#include <QApplication>
#include <QDialog>
#include <QPrintDialog>
#include <QPrinter>

namespace revurov {

TnxFormRunner::~TnxFormRunner() = default;

namespace {

class TnxQtFormRunner final : public TnxFormRunner {
public:
  int Exec(QDialog& aForm) override { return aForm.exec(); }
  bool ChoosePrinter(QPrinter& aPrinter, QWidget* aParent) override {
    QPrintDialog dialog(&aPrinter, aParent);
    return dialog.exec() == QDialog::Accepted;
  }
  void Beep() override { QApplication::beep(); }
};

std::unique_ptr<TnxFormRunner>& CurrentRunner() {
  static std::unique_ptr<TnxFormRunner> runner = std::make_unique<TnxQtFormRunner>();
  return runner;
}

}  // namespace

TnxFormRunner& nxFormRunner() { return *CurrentRunner(); }

std::unique_ptr<TnxFormRunner> nxSetFormRunner(std::unique_ptr<TnxFormRunner> aRunner) {
  if (!aRunner) aRunner = std::make_unique<TnxQtFormRunner>();
  CurrentRunner().swap(aRunner);
  return aRunner;
}

}  // namespace revurov
