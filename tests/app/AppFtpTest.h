// What the window tests against a real FTP server share: a pyftpdlib server on
// 127.0.0.1 with the windows' default account, a fresh working folder that
// the test runs in, and the error box's messages.
#pragma once

#include <QString>
#include <QStringList>
#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>

#include "NetFTPResumeRecord.h"
#include "RealServers.h"
#include "TestFiles.h"

class QPushButton;
class TMainForm;

// The lines of the window's trace, in order.
QStringList TraceLines(const TMainForm& AWindow);

// Clicks AButton from the running event loop and runs the loop until the
// program is asked to end (true) or ATimeoutMs have passed (false).
bool ClickAndRunUntilQuit(QPushButton* AButton, int ATimeoutMs = 30000);

// Failures show texts as texts.
inline void PrintTo(const QString& AText, std::ostream* AStream) { *AStream << '"' << AText.toStdString() << '"'; }

class AppFtpTest : public testing::Test {
 protected:
  AppFtpTest();
  ~AppFtpTest() override;

  // Host, account and port of the server, in the window's fields and client.
  void PointAt(TMainForm* AWindow, const QString& AHost = QStringLiteral("127.0.0.1"));
  std::string ServerFile(const std::string& APath) const { return Server->Root() + "/" + APath; }
  std::string LocalFile(const std::string& AName) const { return Work.File(AName); }
  // Size and modification time of a file of the server as it reports them
  // ("SIZE", and "MDTM" in UTC): what a matching resume record holds.
  TNetRemoteFileStamp ServerStamp(const std::string& APath) const;

  // Replaces the server (and its fresh root folder) with one that throttles
  // every transfer to ARateBytesPerSecond (0: no limit) or logs the protocol.
  void RestartServer(int64_t ARateBytesPerSecond, bool AVerbose = false);

  std::unique_ptr<PyftpdlibServer> Server;
  TempDir Work{"remessa-work"};
  // $XDG_DATA_HOME while the test runs: the receipts land in it.
  TempDir Data{"remessa-data"};
  std::string ReceiptsFile() const { return Data.File("remessa/receipts.jsonl"); }
  QStringList Errors;  // what the error box showed, in order

 private:
  std::string FPreviousFolder;
  std::string FPreviousDataHome;
  bool FHadDataHome = false;
};
