// The windows on a bad network: a stalled transfer ends after the idle
// time-out (IDLETIMEOUT), or at once with Abort; a send-files download that
// the network breaks is retried and resumed by itself; a local copy is
// resumed only when its record matches the server's file; a first listing
// line that merely holds "total" stays a row.
#include <QApplication>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>

#include "AppFtpTest.h"
#include "ScriptedFtpServer.h"
#include "adLabelEdit.h"
#include "appcontrols.h"
#include "idletimeout.h"
#include "inifile.h"
#include "mainf.h"
#include "remessadados_u.h"
#include "settingsplace.h"

namespace {

using Clock = std::chrono::steady_clock;

int64_t MillisSince(Clock::time_point AStart) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - AStart).count();
}

// Sends the first 1000 bytes of a download, then nothing for 20 s.
FtpTransferOptions Stalling() {
  FtpTransferOptions Options;
  Options.ChunkSize = 1000;
  Options.ChunkPauseMs = 20000;
  return Options;
}

class NetworkFaultsTest : public AppFtpTest {
 protected:
  // The settings file is the test's own.
  NetworkFaultsTest() {
    std::filesystem::create_directories(Work.File("settings"));
    SetConfigFile(Work.File("settings/FtpHost.ini"));
  }
  ~NetworkFaultsTest() override {
    f_remessadados = nullptr;
    SetConfigFile("");
  }

  static void SetIdleTimeout(const char* ASeconds) {
    WriteIniString(QString::fromStdString(SettingsFilePath()), "Server", IdleTimeoutKey, ASeconds);
  }

  // A client window logged in to AServer with its folder listed.
  std::unique_ptr<TMainForm> ConnectedTo(ScriptedFtpServer& AServer) {
    auto Form = std::make_unique<TMainForm>();
    Form->FtpServerEdit->setText("127.0.0.1");
    Form->NetFTP1->Port = AServer.Port();
    Form->CurrentDirEdit->setText("/");
    Form->setWindowState(Qt::WindowNoState);
    Form->show();
    QTest::mouseClick(Form->ConnectButton, Qt::LeftButton);
    EXPECT_TRUE(Form->NetFTP1->IsConnected());
    return Form;
  }

  // A new send-files window whose client windows go to APort; the message
  // label's captions are gathered in Messages. Retries wait 100 ms.
  Tf_remessadados& NewSendFiles(int APort) {
    SendFiles = std::make_unique<Tf_remessadados>();
    f_remessadados = SendFiles.get();
    SendFiles->RetryDelaysMs = {100, 100, 100};
    SendFiles->OnClientWindowCreated = [APort](TMainForm* AClient) {
      AClient->FtpServerEdit->setText("127.0.0.1");
      AClient->NetFTP1->Port = APort;
    };
    QObject::connect(SendFiles.get(), &Tf_remessadados::MensagemChanged,
                     [this](const QString& AText) { Messages << AText; });
    SendFiles->show();
    return *SendFiles;
  }

  // Clicks AStart, and Abort ADelayMs after the transfer it begins is
  // running (the time of that click in AClicked); false when no transfer ran.
  static bool StartThenAbort(TMainForm& AForm, QPushButton* AStart, int ADelayMs, Clock::time_point& AClicked) {
    bool Posted = false;
    QTimer Watch;
    QObject::connect(&Watch, &QTimer::timeout, &AForm, [&AForm, &AClicked, &Posted, ADelayMs] {
      if (!AForm.TransferRunning || Posted) return;
      Posted = true;
      QTimer::singleShot(ADelayMs, &AForm, [&AForm, &AClicked] {
        AClicked = Clock::now();
        QTest::mouseClick(AForm.AbortButton, Qt::LeftButton);
      });
    });
    Watch.start(20);
    QTest::mouseClick(AStart, Qt::LeftButton);
    return Posted;
  }

  void UseServerThatCutsTheFirstDownloadAfter(int64_t ABytes) {
    PyftpdlibOptions Options;
    Options.User = FTP_DEFAULT_USER;
    Options.Password = "#7204kq63*";
    Options.Verbose = true;
    Options.CutFirstDownloadAfter = ABytes;
    Server.reset();
    Server = std::make_unique<PyftpdlibServer>(Options);
    std::filesystem::create_directories(ServerFile("corvatec/demo"));
  }

  std::unique_ptr<Tf_remessadados> SendFiles;
  QStringList Messages;
};

const QString TimedOut = "Transfer timed out: no data arrived on the data connection for 1 s.";

}  // namespace

// IDLETIMEOUT is read as a client window is made: seconds, 0 for no limit,
// 60 when missing or not a number of seconds.
TEST_F(NetworkFaultsTest, IdleTimeoutComesFromTheSettingsFile) {
  const struct {
    const char* Value;
    int32_t Milliseconds;
  } Cases[] = {{nullptr, 60000}, {"5", 5000},       {"0", 0},          {"2147483", 2147483000},
               {"abc", 60000},   {"-3", 60000},     {"1.5", 60000},    {"2147484", 60000}};
  for (const auto& Case : Cases) {
    SCOPED_TRACE(Case.Value ? Case.Value : "missing");
    if (Case.Value) SetIdleTimeout(Case.Value);
    TMainForm Window;
    EXPECT_EQ(Window.NetFTP1->IdleTimeout, Case.Milliseconds);
    EXPECT_EQ(Window.NetFTP1->ReadTimeout, Case.Milliseconds);  // the replies' wait too
  }
}

// The download fails with the time-out's message once the idle time-out has
// passed without data; what came stays with its record, and the next
// download resumes it.
TEST_F(NetworkFaultsTest, StalledDownloadEndsAfterTheIdleTimeout) {
  SetIdleTimeout("1");
  ScriptedFtpServer Scripted;
  Scripted.SetFile("a.bin", PatternBytes(4, 0, 3000));
  const std::unique_ptr<TMainForm> Form = ConnectedTo(Scripted);
  Scripted.SetTransferOptions(Stalling());
  Form->arquivo->setText("a.bin");

  const Clock::time_point Start = Clock::now();
  QTest::mouseClick(Form->DownloadButton, Qt::LeftButton);
  // The time-out, as long again for the final reply, and room for a slow machine.
  EXPECT_LT(MillisSince(Start), 6000);
  EXPECT_EQ(Errors, QStringList{TimedOut});
  EXPECT_TRUE(Form->DownloadButton->isEnabled());
  EXPECT_TRUE(ReadFile(LocalFile("a.bin")) == PatternBytes(4, 0, 1000));
  ASSERT_TRUE(ReadResumeRecord(LocalFile("a.bin")));
  EXPECT_EQ(ReadResumeRecord(LocalFile("a.bin"))->Size, 3000);

  Errors.clear();
  Scripted.SetTransferOptions(FtpTransferOptions());
  if (!Form->NetFTP1->IsConnected()) QTest::mouseClick(Form->ConnectButton, Qt::LeftButton);
  QTest::mouseClick(Form->DownloadButton, Qt::LeftButton);
  EXPECT_EQ(Errors, QStringList());
  EXPECT_TRUE(ReadFile(LocalFile("a.bin")) == PatternBytes(4, 0, 3000));
  EXPECT_FALSE(PathExists(ResumeRecordPath(LocalFile("a.bin"))));
  const std::vector<std::string> Commands = Scripted.Commands();
  EXPECT_NE(std::find(Commands.begin(), Commands.end(), "REST 1000"), Commands.end());
}

// With the default time-out of 60 s, Abort ends a stalled download at once;
// the aborted copy keeps its record.
TEST_F(NetworkFaultsTest, AbortEndsAStalledDownloadAtOnce) {
  ScriptedFtpServer Scripted;
  Scripted.SetFile("a.bin", PatternBytes(4, 0, 3000));
  const std::unique_ptr<TMainForm> Form = ConnectedTo(Scripted);
  Scripted.SetTransferOptions(Stalling());
  Form->arquivo->setText("a.bin");
  Clock::time_point Clicked{};
  // Once the download's work has begun (the first 1000 bytes come, then
  // nothing), well into the stall.
  ASSERT_TRUE(StartThenAbort(*Form, Form->DownloadButton, 700, Clicked));
  EXPECT_LT(MillisSince(Clicked), 2000);
  EXPECT_EQ(Errors, QStringList());  // an abort is no failure
  const QStringList Trace = TraceLines(*Form);
  EXPECT_TRUE(Trace.contains("->> ABOR"));
  EXPECT_EQ(Trace.back(), "Transfer aborted");
  EXPECT_TRUE(Form->NetFTP1->IsConnected());
  EXPECT_TRUE(ReadFile(LocalFile("a.bin")) == PatternBytes(4, 0, 1000));
  EXPECT_TRUE(ReadResumeRecord(LocalFile("a.bin")));
}

// The same for an upload that the server stops taking: the sends wait for
// room in slices, so the click comes through.
TEST_F(NetworkFaultsTest, AbortEndsAStalledUploadAtOnce) {
  ScriptedFtpServer Scripted;
  const std::unique_ptr<TMainForm> Form = ConnectedTo(Scripted);
  // Nobody reads the data connection: the kernel takes the first megabytes,
  // then there is no room.
  Scripted.SetHandler("STOR", [](FtpSession& ASession, const std::string&) { ASession.Reply("150 Ok to send data."); });
  WritePatternFile(LocalFile("big.bin"), 64 << 20);
  Form->arquivo->setText("big.bin");
  Clock::time_point Clicked{};
  ASSERT_TRUE(StartThenAbort(*Form, Form->UploadButton, 1500, Clicked));
  EXPECT_LT(MillisSince(Clicked), 2000);
  EXPECT_EQ(Errors, QStringList());
  const QStringList Trace = TraceLines(*Form);
  EXPECT_TRUE(Trace.contains("->> ABOR"));
  EXPECT_TRUE(Trace.contains("Transfer aborted"));
  EXPECT_TRUE(Form->NetFTP1->IsConnected());
}

// Each stall costs one attempt; every retry resumes where the last one
// stopped, on a new session; after the third the time-out's message stays.
TEST_F(NetworkFaultsTest, SendFilesDownloadThatKeepsStallingFailsAfterThreeRetries) {
  SetIdleTimeout("1");
  ScriptedFtpServer Scripted;
  Scripted.SetFile("a.bin", PatternBytes(4, 0, 10000));
  Scripted.SetTransferOptions(Stalling());
  Tf_remessadados& Window = NewSendFiles(Scripted.Port());
  Window.NOMEARQUIVO->setText("a.bin");

  const Clock::time_point Start = Clock::now();
  QTest::mouseClick(Window.BitBtn2, Qt::LeftButton);
  EXPECT_LT(MillisSince(Start), 30000);
  EXPECT_EQ(Errors, QStringList{TimedOut});
  for (const char* Retry : {"Connection lost; retrying in 1 s (attempt 1 of 3)",
                            "Connection lost; retrying in 1 s (attempt 2 of 3)",
                            "Connection lost; retrying in 1 s (attempt 3 of 3)"})
    EXPECT_TRUE(Messages.contains(Retry)) << Retry << "\n" << Messages.join(" | ").toStdString();
  const std::vector<std::string> Commands = Scripted.Commands();
  for (const char* Rest : {"REST 1000", "REST 2000", "REST 3000"})
    EXPECT_NE(std::find(Commands.begin(), Commands.end(), Rest), Commands.end()) << Rest;
  EXPECT_TRUE(ReadFile(LocalFile("a.bin")) == PatternBytes(4, 0, 4000));
  EXPECT_TRUE(Window.isVisible());
}

// The server cuts the first data connection halfway: the DOWNLOAD resumes by
// itself after the first pause and the file arrives byte-exact.
TEST_F(NetworkFaultsTest, SendFilesDownloadCutOnceFinishesByItself) {
  constexpr int64_t FileBytes = 3 * 1024 * 1024 + 123;
  UseServerThatCutsTheFirstDownloadAfter(1 << 20);
  WritePatternFile(ServerFile("corvatec/demo/operacoes.exe"), FileBytes);
  Tf_remessadados& Window = NewSendFiles(Server->Port());
  Window.empresa->setText("demo");
  ASSERT_TRUE(ClickAndRunUntilQuit(Window.BitBtn2));

  EXPECT_EQ(Errors, QStringList());
  EXPECT_EQ(FindPatternMismatch(LocalFile("operacoes.exe"), FileBytes), -1);
  EXPECT_TRUE(Messages.contains("Connection lost; retrying in 1 s (attempt 1 of 3)")) << Messages.join(" | ").toStdString();
  EXPECT_FALSE(Messages.contains("Connection lost; retrying in 1 s (attempt 2 of 3)"));
  EXPECT_NE(Server->Log().find("426 Transfer aborted"), std::string::npos) << Server->Log();
  EXPECT_NE(Server->Log().find("REST 1048576"), std::string::npos) << Server->Log();
  EXPECT_FALSE(PathExists(ResumeRecordPath(LocalFile("operacoes.exe"))));
  EXPECT_EQ(Window.ClientWindowCount(), 0u);
}

// A partial copy of an older version of the file, with no record or with the
// record of another version, is downloaded afresh, never extended.
TEST_F(NetworkFaultsTest, SendFilesDownloadReplacesACopyThatIsNotTheServersFile) {
  constexpr int64_t FileBytes = 2 * 1024 * 1024 + 5;
  std::filesystem::create_directories(ServerFile("corvatec/demo"));
  WritePatternFile(ServerFile("corvatec/demo/operacoes.exe"), FileBytes);
  const TNetRemoteFileStamp Now = ServerStamp("corvatec/demo/operacoes.exe");
  const struct {
    const char* What;
    std::optional<TNetRemoteFileStamp> Record;
  } Cases[] = {{"no record", std::nullopt},
               {"the record of an older version", TNetRemoteFileStamp{Now.Size, "20200101000000"}},
               {"the record of a shorter version", TNetRemoteFileStamp{Now.Size - 1, Now.Modified}}};
  for (const auto& Case : Cases) {
    SCOPED_TRACE(Case.What);
    WriteFile(LocalFile("operacoes.exe"), PatternBytes(7, 0, 1 << 20));  // an older version's beginning
    if (Case.Record) WriteResumeRecord(LocalFile("operacoes.exe"), *Case.Record);
    Messages.clear();
    Tf_remessadados& Window = NewSendFiles(Server->Port());
    Window.empresa->setText("demo");
    ASSERT_TRUE(ClickAndRunUntilQuit(Window.BitBtn2));
    EXPECT_EQ(Errors, QStringList());
    EXPECT_EQ(FindPatternMismatch(LocalFile("operacoes.exe"), FileBytes), -1);
    EXPECT_TRUE(Messages.contains("Local copy of operacoes.exe does not match the server's file; downloading it afresh."))
        << Messages.join(" | ").toStdString();
    EXPECT_FALSE(PathExists(ResumeRecordPath(LocalFile("operacoes.exe"))));
  }
}

// The window leaves out the first line exactly when the parser does, so each
// row keeps its own entry: "subtotal.csv" first is a row, a "total" line is not.
TEST_F(NetworkFaultsTest, FirstListingLineIsLeftOutOnlyWhenTheParserTakesItForATotal) {
  const std::string Entries = "-rw-r--r--   1 u  g   12 Mar  1 14:05 subtotal.csv\r\n"
                              "-rw-r--r--   1 u  g    5 Mar  1 14:05 z.txt\r\n";
  ScriptedFtpServer Scripted;
  const std::unique_ptr<TMainForm> Form = ConnectedTo(Scripted);
  for (const std::string& Listing : {Entries, "total 8\r\n" + Entries, "TOTAL 8\r\n" + Entries}) {
    SCOPED_TRACE(Listing.substr(0, Listing.find('\r')));
    Scripted.SetListing(Listing);
    QTest::mouseClick(Form->ChDirButton, Qt::LeftButton);
    ASSERT_EQ(Errors, QStringList());
    TNetFTPListItems& Parsed = Form->NetFTP1->ParsedListing();
    ASSERT_EQ(Form->DirectoryListBox->count(), 2);
    ASSERT_EQ(Parsed.Count(), 2);
    EXPECT_EQ(Parsed.Items(0).ItemName, "subtotal.csv");
    for (int i = 0; i < 2; ++i)
      EXPECT_TRUE(Form->DirectoryListBox->item(i)->text().endsWith(QString::fromStdString(Parsed.Items(i).ItemName)))
          << i;
  }
}
