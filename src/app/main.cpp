// Program start: the send-files window is the main window (closing it ends
// the program); one client window waits hidden and idle beside it.
#include <QApplication>
#include <cstdio>
#include <exception>
#include <memory>

#include "appdialogs.h"
#include "remessadados_u.h"

int main(int argc, char* argv[]) {
  QApplication Application(argc, argv);
  std::unique_ptr<Tf_remessadados> SendFiles;
  try {
    SendFiles = std::make_unique<Tf_remessadados>();
    f_remessadados = SendFiles.get();
    // Its FTP client makes the socket stack, which may fail.
    SendFiles->NewClientWindow();
  } catch (const std::exception& E) {
    std::fprintf(stderr, "remessadados: %s\n", E.what());
    ShowErrorBox(QString::fromLocal8Bit(E.what()));
    return 1;
  }
  SendFiles->show();
  return QApplication::exec();
}
