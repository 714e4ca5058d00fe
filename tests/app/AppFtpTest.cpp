#include "AppFtpTest.h"

#include <QApplication>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <ctime>
#include <stdexcept>

#include "appdialogs.h"
#include "mainf.h"

namespace {

std::string CurrentFolder() {
  char Buffer[PATH_MAX];
  if (getcwd(Buffer, sizeof Buffer) == nullptr) throw std::runtime_error("getcwd failed");
  return Buffer;
}

void ChangeFolder(const std::string& APath) {
  if (chdir(APath.c_str()) != 0) throw std::runtime_error("cannot change to " + APath);
}

PyftpdlibOptions ServerOptions(int64_t ARateBytesPerSecond, bool AVerbose) {
  PyftpdlibOptions Result;
  Result.User = FTP_DEFAULT_USER;
  Result.Password = "#7204kq63*";
  Result.RateBytesPerSecond = ARateBytesPerSecond;
  Result.Verbose = AVerbose;
  return Result;
}

}  // namespace

QStringList TraceLines(const TMainForm& AWindow) {
  QStringList Lines;
  for (int i = 0; i < AWindow.DebugListBox->count(); ++i) Lines << AWindow.DebugListBox->item(i)->text();
  return Lines;
}

bool ClickAndRunUntilQuit(QPushButton* AButton, int ATimeoutMs) {
  QTimer Watchdog;
  Watchdog.setSingleShot(true);
  QObject::connect(&Watchdog, &QTimer::timeout, [] { QCoreApplication::exit(1); });
  Watchdog.start(ATimeoutMs);
  QTimer::singleShot(0, AButton, [AButton] { QTest::mouseClick(AButton, Qt::LeftButton); });
  return QApplication::exec() == 0;
}

AppFtpTest::AppFtpTest()
    : Server(std::make_unique<PyftpdlibServer>(ServerOptions(0, false))), FPreviousFolder(CurrentFolder()) {
  // Downloads land in, and uploads come from, the working folder.
  ChangeFolder(Work.Path());
  if (const char* DataHome = std::getenv("XDG_DATA_HOME")) {
    FHadDataHome = true;
    FPreviousDataHome = DataHome;
  }
  setenv("XDG_DATA_HOME", Data.Path().c_str(), 1);
  ErrorBoxHook = [this](const QString& AMessage) { Errors << AMessage; };
}

AppFtpTest::~AppFtpTest() {
  ErrorBoxHook = nullptr;
  InputBoxHook = nullptr;
  ChangeFolder(FPreviousFolder);
  if (FHadDataHome)
    setenv("XDG_DATA_HOME", FPreviousDataHome.c_str(), 1);
  else
    unsetenv("XDG_DATA_HOME");
}

void AppFtpTest::PointAt(TMainForm* AWindow, const QString& AHost) {
  AWindow->FtpServerEdit->setText(AHost);
  AWindow->NetFTP1->Port = Server->Port();
}

void AppFtpTest::RestartServer(int64_t ARateBytesPerSecond, bool AVerbose) {
  Server.reset();
  Server = std::make_unique<PyftpdlibServer>(ServerOptions(ARateBytesPerSecond, AVerbose));
}

TNetRemoteFileStamp AppFtpTest::ServerStamp(const std::string& APath) const {
  struct stat Info {};
  if (stat(ServerFile(APath).c_str(), &Info) != 0) throw std::runtime_error("no file " + ServerFile(APath));
  std::tm Utc{};
  gmtime_r(&Info.st_mtime, &Utc);
  char Text[32];
  std::strftime(Text, sizeof Text, "%Y%m%d%H%M%S", &Utc);
  return {static_cast<int64_t>(Info.st_size), Text};
}
