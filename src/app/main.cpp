// Program start: the send-files window is the main window (closing it ends
// the program); one client window waits hidden and idle beside it.
#include <QApplication>
#include <memory>

#include "remessadados_u.h"

int main(int argc, char* argv[]) {
  QApplication Application(argc, argv);
  auto SendFiles = std::make_unique<Tf_remessadados>();
  f_remessadados = SendFiles.get();
  SendFiles->NewClientWindow();
  SendFiles->show();
  return QApplication::exec();
}
