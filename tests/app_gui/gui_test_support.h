// Shared helpers of the window tests: one QApplication for the test binary,
// the library started on its thread as main() does (discovery on loopback
// only), and a dialog service that records every message and answers the
// password dialog and the library's forms without blocking.
#pragma once

#include <QApplication>
#include <QLineEdit>
#include <QString>
#include <QStringList>
#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <memory>

#include "app/gui/dialog_service.h"
#include "app/gui/pw_dlg.h"
#include "client/platform/login_form.h"
#include "client/platform/pick_server_form.h"
#include "client/platform/startup.h"
#include "engine/startup.h"
#include "transport/tcp_transport.h"

namespace tesmira::test {

// The application is deleted when the test program ends its tests, not by
// an exit handler: Qt's own statics (QTest's input devices) are gone by then.
class TAppEnvironment : public ::testing::Environment {
public:
  static QApplication& Get() {
    static int argc = 1;
    static char name[] = "test_app_gui";
    static char* argv[] = {name, nullptr};
    if (!app_) {
      app_ = std::make_unique<QApplication>(argc, argv);
      QApplication::setApplicationName(QStringLiteral("Tesmira Security"));
      revurov::nxSetWinsockLoopbackOnly(true);
      gui_platform_ = std::make_unique<revurov::TnxGuiPlatformStartupGuard>();
      engine_ = std::make_unique<revurov::TnxEngineStartupGuard>();
      runner_ = std::make_unique<TDialogFormRunnerGuard>();
    }
    return *app_;
  }
  void TearDown() override {
    runner_.reset();
    engine_.reset();
    gui_platform_.reset();
    app_.reset();
  }

private:
  static inline std::unique_ptr<QApplication> app_;
  static inline std::unique_ptr<revurov::TnxGuiPlatformStartupGuard> gui_platform_;
  static inline std::unique_ptr<revurov::TnxEngineStartupGuard> engine_;
  static inline std::unique_ptr<TDialogFormRunnerGuard> runner_;
};

inline ::testing::Environment* const kAppEnvironment =
    ::testing::AddGlobalTestEnvironment(new TAppEnvironment);

inline QApplication& App() { return TAppEnvironment::Get(); }

// First member of a fixture that holds widgets: the application exists
// before any of them is built.
struct TAppRef {
  TAppRef() { App(); }
};

class TRecordingDialogs : public TDialogService {
public:
  QStringList errors;     // the application's error display
  QStringList messages;   // message boxes
  int password_asked = 0;
  QString password;       // typed into the dialog
  bool password_ok = true;
  int hourglass_depth = 0;
  int hourglass_calls = 0;
  QStringList forms;      // the library's forms shown: "login", "pick" or "other"
  // Answers a library form (fills its edits first); Rejected when unset.
  std::function<int(QDialog&)> on_form;

  void ShowException(QWidget*, const QString& text) override { errors << text; }
  void MessageDlg(QWidget*, const QString& text, TMsgDlgType) override { messages << text; }
  int ExecPasswordDialog(TPasswordDlg& dialog) override {
    ++password_asked;
    dialog.PWInput->setText(password);
    return password_ok ? QDialog::Accepted : QDialog::Rejected;
  }
  void SetHourglass(bool on) override {
    hourglass_depth += on ? 1 : -1;
    ++hourglass_calls;
  }
  int ExecForm(QDialog& form) override {
    forms << (dynamic_cast<revurov::TfrmLogin*>(&form)        ? QStringLiteral("login")
              : dynamic_cast<revurov::TfrmPickServer*>(&form) ? QStringLiteral("pick")
                                                              : QStringLiteral("other"));
    return on_form ? on_form(form) : QDialog::Rejected;
  }
};

// Installs a recording service for the life of the guard.
class TDialogsGuard {
public:
  TDialogsGuard() {
    auto owned = std::make_unique<TRecordingDialogs>();
    dialogs = owned.get();
    previous_ = SetDialogService(std::move(owned));
  }
  ~TDialogsGuard() { SetDialogService(std::move(previous_)); }
  TRecordingDialogs* dialogs;

private:
  std::unique_ptr<TDialogService> previous_;
};

}  // namespace tesmira::test

// Readable QStrings in failure messages.
inline void PrintTo(const QString& text, std::ostream* os) { *os << '"' << text.toStdString() << '"'; }
