// Tesmira Security: the security manager of the suite.
//
// --loopback-only keeps the server search on this machine's loopback
// addresses (the demo sets it).
#include <QApplication>
#include <cstring>

#include "app/gui/dialog_service.h"
#include "app/gui/frm_main.h"
#include "client/platform/startup.h"
#include "engine/startup.h"
#include "transport/tcp_transport.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Tesmira Security"));
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--loopback-only") == 0) revurov::nxSetWinsockLoopbackOnly(true);
  }
  // The library starts on this thread: the server log-on form needs it.
  revurov::TnxGuiPlatformStartupGuard gui_platform;
  revurov::TnxEngineStartupGuard engine;
  tesmira::TDialogFormRunnerGuard runner;
  tesmira::TDataSec window;
  window.show();
  // A failed password check closes the window within its first show, before
  // the event loop runs, where the last window's quit request is lost.
  if (!window.isVisible()) return 0;
  return QApplication::exec();
}
