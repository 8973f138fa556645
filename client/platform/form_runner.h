// The one place where the binding's forms run modally and where it beeps,
// so that tests can fill edits and press buttons without a blocking loop.
//
// Contract:
// - nxFormRunner() always answers a live runner: Qt's own (QDialog::exec,
//   QApplication::beep) until one is set.
// - nxSetFormRunner takes ownership and answers the previous runner; null
//   puts Qt's back. Set it only while no form runs.
// - Exec answers the form's result (QDialog::Accepted or Rejected, or what
//   the form's done() was given). ChoosePrinter lets the user set aPrinter
//   up (Qt's print dialog) and answers whether to print. Call both on the
//   GUI thread only.
#pragma once

#include <memory>

class QDialog;
class QPrinter;
class QWidget;

namespace revurov {

class TnxFormRunner {
public:
  virtual ~TnxFormRunner();
  virtual int Exec(QDialog& aForm) = 0;
  virtual bool ChoosePrinter(QPrinter& aPrinter, QWidget* aParent) = 0;
  virtual void Beep() = 0;
};

TnxFormRunner& nxFormRunner();
std::unique_ptr<TnxFormRunner> nxSetFormRunner(std::unique_ptr<TnxFormRunner> aRunner);

}  // namespace revurov
