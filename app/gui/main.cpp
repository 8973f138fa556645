// Tesmira Security: the security manager of the suite.
#include <QApplication>

#include "app/gui/frm_main.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Tesmira Security"));
  tesmira::TDataSec window;
  window.show();
  return QApplication::exec();
}
