// Program start: the command line is read first (--help, --version and a
// wrong option need no display); then the send-files window becomes the main
// window (closing it ends the program) and one client window waits hidden
// and idle beside it.
#include <fcntl.h>
#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>
#include <QStyleFactory>
#include <csignal>
#include <cstdio>
#include <exception>
#include <memory>

#include "RemessaVersion.h"
#include "appdialogs.h"
#include "commandline.h"
#include "remessadados_u.h"
#include "settingsplace.h"

#ifndef REMESSA_APP_ID
#define REMESSA_APP_ID "org.remessa.remessadados"
#endif

namespace {

// SIGTERM (a session that ends, a test that is done) and SIGINT close the
// main window as its close box would. The handler only writes a byte into a
// pipe; the event loop reads it. A signal that arrives before the loop runs
// waits in the pipe.
int TerminationPipe[2] = {-1, -1};

void OnTerminationSignal(int) {
  const char Byte = 1;
  [[maybe_unused]] const ssize_t Written = ::write(TerminationPipe[1], &Byte, 1);
}

void CatchTerminationSignals() {
  if (::pipe2(TerminationPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  struct sigaction Action = {};
  Action.sa_handler = OnTerminationSignal;
  sigemptyset(&Action.sa_mask);
  Action.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &Action, nullptr);
  sigaction(SIGINT, &Action, nullptr);
}

int PrintHelp() {
  std::string Settings;
  try {
    Settings = SettingsFilePath();
  } catch (const std::exception& E) {
    Settings = std::string("none (") + E.what() + ")";
  }
  std::fputs(HelpText(Settings).c_str(), stdout);
  return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
  CatchTerminationSignals();
  const TCommandLine Line = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
  switch (Line.Action) {
    case caShowHelp:
      SetConfigFile(Line.ConfigFile);
      return PrintHelp();
    case caShowVersion:
      std::printf("remessadados %s\n", REMESSA_VERSION);
      return 0;
    case caUsageError:
      std::fprintf(stderr, "remessadados: %s\nTry 'remessadados --help' for more information.\n", Line.Error.c_str());
      return 2;
    case caRunWindows:
      break;
  }
  SetConfigFile(Line.ConfigFile);

  QApplication Application(argc, argv);
  QApplication::setApplicationVersion(QStringLiteral(REMESSA_VERSION));
  QGuiApplication::setDesktopFileName(QStringLiteral(REMESSA_APP_ID));
  // The windows are laid out in fixed pixels for this style's margins; a
  // style asked for by name (-style, QT_STYLE_OVERRIDE) still wins.
  if (!Line.StyleRequested && qEnvironmentVariableIsEmpty("QT_STYLE_OVERRIDE"))
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));

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

  std::unique_ptr<QSocketNotifier> Termination;
  if (TerminationPipe[0] >= 0) {
    Termination = std::make_unique<QSocketNotifier>(TerminationPipe[0], QSocketNotifier::Read);
    QObject::connect(Termination.get(), &QSocketNotifier::activated, SendFiles.get(), [&SendFiles] {
      char Bytes[16];
      while (::read(TerminationPipe[0], Bytes, sizeof Bytes) > 0) {
      }
      SendFiles->close();
    });
  }
  SendFiles->show();
  return QApplication::exec();
}
