// Shared helpers of the GUI binding's tests: one QApplication for the test
// binary (which a test may end to see the binding without one) and a form
// runner that lets each test drive the form instead of a modal loop.
#pragma once

#include <QApplication>
#include <QDialog>
#include <QPrinter>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <utility>

#include "client/platform/form_runner.h"

namespace revurov::testing {

class TAppEnvironment : public ::testing::Environment {
public:
  static QApplication& Get() {
    static int argc = 1;
    static char name[] = "test_client_platform";
    static char* argv[] = {name, nullptr};
    if (!app_) app_ = std::make_unique<QApplication>(argc, argv);
    return *app_;
  }
  static void End() { app_.reset(); }
  void TearDown() override { End(); }

private:
  static inline std::unique_ptr<QApplication> app_;
};

inline ::testing::Environment* const kAppEnvironment =
    ::testing::AddGlobalTestEnvironment(new TAppEnvironment);

// Shows the form (so that its show handling runs) and hands it to the
// test's script, which presses buttons; answers the form's result.
class TScriptedRunner : public TnxFormRunner {
public:
  std::function<void(QDialog&)> Script;
  std::function<bool(QPrinter&)> PrinterScript;
  int Beeps = 0;
  int Runs = 0;

  int Exec(QDialog& aForm) override {
    ++Runs;
    aForm.show();
    if (Script) Script(aForm);
    if (aForm.isVisible()) aForm.done(QDialog::Rejected);  // a script that forgot to close it
    return aForm.result();
  }
  bool ChoosePrinter(QPrinter& aPrinter, QWidget*) override { return PrinterScript && PrinterScript(aPrinter); }
  void Beep() override { ++Beeps; }
};

// Fixture base: the application exists and the scripted runner is in place
// for the test's life.
class TGuiTest : public ::testing::Test {
protected:
  TGuiTest() {
    TAppEnvironment::Get();
    auto runner = std::make_unique<TScriptedRunner>();
    Runner = runner.get();
    previous_ = nxSetFormRunner(std::move(runner));
  }
  ~TGuiTest() override { nxSetFormRunner(std::move(previous_)); }

  TScriptedRunner* Runner = nullptr;

private:
  std::unique_ptr<TnxFormRunner> previous_;
};

}  // namespace revurov::testing
