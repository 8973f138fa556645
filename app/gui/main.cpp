// Tesmira Security: the security manager of the suite.
#include <QApplication>

#include "app/gui/frm_main.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Tesmira Security"));
  tesmira::TDataSec window;
  window.show();
  // A failed password check closes the window within its first show, before
  // the event loop runs, where the last window's quit request is lost.
  if (!window.isVisible()) return 0;
  return QApplication::exec();
}
