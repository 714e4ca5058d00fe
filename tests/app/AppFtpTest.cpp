#include "AppFtpTest.h"

#include <QLineEdit>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
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

AppFtpTest::AppFtpTest()
    : Server(std::make_unique<PyftpdlibServer>(ServerOptions(0, false))), FPreviousFolder(CurrentFolder()) {
  // Downloads land in, and uploads come from, the working folder.
  ChangeFolder(Work.Path());
  ErrorBoxHook = [this](const QString& AMessage) { Errors << AMessage; };
}

AppFtpTest::~AppFtpTest() {
  ErrorBoxHook = nullptr;
  InputBoxHook = nullptr;
  ChangeFolder(FPreviousFolder);
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
