// The send-files window against a real FTP server: DOWNLOAD and UPLOAD from
// the click to the end of the program, resuming, failures, and buttons
// pressed while a transfer runs.
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <vector>

#include "AppFtpTest.h"
#include "LoopbackSocket.h"
#include "NetFTPReceipt.h"
#include "Sha256.h"
#include "adLabelEdit.h"
#include "appcontrols.h"
#include "mainf.h"
#include "remessadados_u.h"

namespace {

constexpr int64_t FileBytes = 3 * 1024 * 1024 + 123;

// Runs of speed texts in a row count as one entry, since their number
// depends on the speed.
QStringList Collapsed(const QStringList& AMessages) {
  QStringList Result;
  for (const QString& Message : AMessages) {
    QString Entry = Message;
    if (Message.startsWith("Download speed ")) Entry = "<Download speed>";
    if (Message.startsWith("Uploade speed ")) Entry = "<Uploade speed>";
    if (Result.isEmpty() || Result.back() != Entry || !Entry.startsWith('<')) Result << Entry;
  }
  return Result;
}

// The server offers no TLS: the default mode (auto) goes on without it.
const QStringList Login = {"Resolving hostname localhost.", "Connecting to 127.0.0.1.", "Connected.",
                           "Connection is not encrypted", "Connection established"};
// A listing reads like a download: its bytes are counted as work too.
const QStringList Download = {"Starting FTP transfer", "<Download speed>", "Transfer complete.", "Transfer complete"};
const QStringList Listing = Download;
const QStringList Upload = {"Starting FTP transfer", "<Uploade speed>", "Transfer complete.", "Transfer complete"};

class SendFilesFtpTest : public AppFtpTest {
 protected:
  void SetUp() override {
    f_remessadados = Window.get();
    Window->OnClientWindowCreated = [this](TMainForm* AClient) {
      PointAt(AClient, Host);
      QObject::connect(AClient->ProgressBar1, &QProgressBar::valueChanged,
                       [this](int AValue) { ClientPositions.push_back(AValue); });
      if (Customize) Customize(AClient);
    };
    QObject::connect(Window.get(), &Tf_remessadados::MensagemChanged,
                     [this](const QString& AText) { Messages << AText; });
    QObject::connect(Window->ProgressBar1, &QProgressBar::valueChanged,
                     [this](int AValue) { Positions.push_back(AValue); });
    std::filesystem::create_directories(ServerFile("corvatec/demo"));
    WritePatternFile(ServerFile("corvatec/demo/operacoes.exe"), FileBytes);
    Window->show();
  }
  void TearDown() override { f_remessadados = nullptr; }

  static bool Moved(const std::vector<int>& APositions) {
    return !APositions.empty() && *std::max_element(APositions.begin(), APositions.end()) > 0 &&
           APositions.back() == 0;
  }

  std::unique_ptr<Tf_remessadados> Window = std::make_unique<Tf_remessadados>();
  QString Host = "localhost";
  std::function<void(TMainForm*)> Customize;  // more settings for each new client window
  QStringList Messages;                        // the message label's captions, in order
  std::vector<int> Positions;                  // the progress bar's values, in order
  std::vector<int> ClientPositions;            // those of the client windows' bars
};

}  // namespace

TEST_F(SendFilesFtpTest, DownloadFetchesTheFileThenEndsTheProgram) {
  QTest::keyClicks(Window->empresa, "DEMO");
  ASSERT_TRUE(ClickAndRunUntilQuit(Window->BitBtn2));

  EXPECT_EQ(Errors, QStringList());
  EXPECT_EQ(FindPatternMismatch(LocalFile("operacoes.exe"), FileBytes), -1);
  EXPECT_EQ(Collapsed(Messages), Login + Listing + Download) << Messages.join(" | ").toStdString();
  const QRegularExpression Speed(R"(^Download speed \d+\.\d\d KB/s; (Time remaining [ \d]\d:[ \d]\d:[ \d]\d)?$)");
  for (const QString& Message : Messages.filter("Download")) {
    EXPECT_TRUE(Speed.match(Message).hasMatch()) << Message.toStdString();
  }
  EXPECT_TRUE(Moved(Positions));
  EXPECT_TRUE(Moved(ClientPositions));
  EXPECT_EQ(Window->ProgressBar1->Max(), FileBytes);  // the size the server gave

  // The client window is gone and the program was asked to end.
  EXPECT_EQ(Window->ClientWindowCount(), 0u);
  EXPECT_EQ(MainForm, nullptr);
  EXPECT_FALSE(Window->isVisible());
  EXPECT_EQ(Window->empresa->text(), "demo");

  // Its receipt: one line, checked against the file.
  const std::string Receipt = ReadFile(ReceiptsFile());
  const std::string Local = LocalFile("operacoes.exe");
  EXPECT_EQ(std::count(Receipt.begin(), Receipt.end(), '\n'), 1) << Receipt;
  for (const std::string& Part :
       {"\"direction\": \"download\", \"company\": \"demo\", \"server\": \"localhost:" +
            std::to_string(Server->Port()) + "\", \"remote_path\": \"/corvatec/demo/operacoes.exe\"",
        "\"local_path\": \"" + Local + "\", \"bytes\": " + std::to_string(FileBytes) + ", \"sha256\": \"" +
            Sha256OfFile(Local) + "\", \"remote_size\": " + std::to_string(FileBytes),
        std::string("\"server_digest\": null, \"result\": \"ok\", \"error\": null}\n")})
    EXPECT_NE(Receipt.find(Part), std::string::npos) << Part << "\n" << Receipt;
}

TEST_F(SendFilesFtpTest, DownloadResumesAPartialLocalCopy) {
  RestartServer(0, true);
  std::filesystem::create_directories(ServerFile("corvatec/demo"));
  WritePatternFile(ServerFile("corvatec/demo/operacoes.exe"), FileBytes);
  const int64_t Partial = 1 << 20;
  WriteFile(LocalFile("operacoes.exe"), PatternBytes(1, 0, Partial));
  // What an earlier download of this very file left beside it.
  WriteResumeRecord(LocalFile("operacoes.exe"), ServerStamp("corvatec/demo/operacoes.exe"));

  Window->empresa->setText("demo");
  ASSERT_TRUE(ClickAndRunUntilQuit(Window->BitBtn2));

  EXPECT_EQ(Errors, QStringList());
  EXPECT_EQ(FindPatternMismatch(LocalFile("operacoes.exe"), FileBytes), -1);
  EXPECT_NE(Server->Log().find("REST 1048576"), std::string::npos) << Server->Log();
  // The freed client window dropped its connection without a word.
  EXPECT_EQ(Server->Log().find("QUIT"), std::string::npos);
  EXPECT_EQ(Window->ProgressBar1->Max(), FileBytes - Partial);  // what was left to fetch
  EXPECT_FALSE(PathExists(ResumeRecordPath(LocalFile("operacoes.exe"))));
  EXPECT_FALSE(Window->isVisible());
  // The receipt's digest covers the whole file, the part that was there too.
  const std::string Receipt = ReadFile(ReceiptsFile());
  EXPECT_NE(Receipt.find("\"sha256\": \"" + Sha256OfFile(LocalFile("operacoes.exe")) + "\""), std::string::npos)
      << Receipt;
}

TEST_F(SendFilesFtpTest, UploadStoresTheFileAndListsTheFolderAgain) {
  const int64_t Size = 2 * 1024 * 1024 + 7;
  WritePatternFile(LocalFile("dados.bin"), Size, 5);
  Window->empresa->setText("demo");
  Window->NOMEARQUIVO->setText("dados.bin");
  ASSERT_TRUE(ClickAndRunUntilQuit(Window->BitBtn3));

  EXPECT_EQ(Errors, QStringList());
  EXPECT_EQ(FindPatternMismatch(ServerFile("corvatec/demo/dados.bin"), Size, 5), -1);
  EXPECT_EQ(Collapsed(Messages), Login + Listing + Upload + Listing) << Messages.join(" | ").toStdString();
  EXPECT_TRUE(Moved(Positions));
  EXPECT_EQ(Window->ClientWindowCount(), 0u);
  EXPECT_FALSE(Window->isVisible());
  const std::string Receipt = ReadFile(ReceiptsFile());
  EXPECT_NE(Receipt.find("\"direction\": \"upload\", \"company\": \"demo\""), std::string::npos) << Receipt;
  EXPECT_NE(Receipt.find("\"remote_path\": \"/corvatec/demo/dados.bin\", \"local_path\": \"" +
                         LocalFile("dados.bin") + "\", \"bytes\": " + std::to_string(Size) + ", \"sha256\": \"" +
                         Sha256OfFile(LocalFile("dados.bin")) + "\", \"remote_size\": " + std::to_string(Size)),
            std::string::npos)
      << Receipt;
  EXPECT_NE(Receipt.find("\"result\": \"ok\""), std::string::npos) << Receipt;
}

TEST_F(SendFilesFtpTest, FailuresLeaveTheWindowOpenForAnotherTry) {
  struct TCase {
    const char* Company;
    std::function<void(TMainForm*)> Settings;
    const char* Message;
  };
  const int Closed = FindFreePort();  // nothing listens there
  const TCase Cases[] = {
      {"nada", nullptr, "No such file or directory"},
      {"demo", [](TMainForm* AClient) { AClient->PasswordEdit->setText("wrong"); }, "Authentication failed"},
      {"demo", [Closed](TMainForm* AClient) { AClient->NetFTP1->Port = Closed; },
       "Socket Error # 10061\r\nConnection refused."},
  };
  size_t Windows = 0;
  for (const TCase& Case : Cases) {
    SCOPED_TRACE(Case.Message);
    Errors.clear();
    Customize = Case.Settings;
    Window->empresa->setText(Case.Company);
    QTest::mouseClick(Window->BitBtn2, Qt::LeftButton);
    ASSERT_EQ(Errors.size(), 1);
    EXPECT_TRUE(Errors[0].contains(Case.Message)) << Errors[0].toStdString();
    // Nothing was fetched; the window and its fields stay; the client window
    // of the failed click is kept as the failure left it.
    EXPECT_FALSE(PathExists(LocalFile("operacoes.exe")));
    EXPECT_TRUE(Window->isVisible());
    EXPECT_EQ(Window->empresa->text(), Case.Company);
    EXPECT_EQ(Window->NOMEARQUIVO->text(), "operacoes.exe");
    EXPECT_EQ(Window->ClientWindowCount(), ++Windows);
    // A failed receipt with the message the error box showed.
    const std::string Receipts = ReadFile(ReceiptsFile());
    const std::string Last = Receipts.substr(Receipts.rfind('\n', Receipts.size() - 2) + 1);
    EXPECT_NE(Last.find("\"remote_path\": \"/corvatec/" + std::string(Case.Company) + "/operacoes.exe\""),
              std::string::npos)
        << Last;
    EXPECT_NE(Last.find("\"bytes\": null, \"sha256\": null"), std::string::npos) << Last;
    // No transfer began, yet the receipt has its time.
    EXPECT_TRUE(QRegularExpression(R"(^\{"time": "\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ", )")
                    .match(QString::fromStdString(Last))
                    .hasMatch())
        << Last;
    EXPECT_NE(Last.find("\"result\": \"failed\", \"error\": " + JSONString(Errors[0].toStdString()) + "}"),
              std::string::npos)
        << Last;
  }

  // Corrected, the next click works.
  Customize = nullptr;
  Window->empresa->setText("demo");
  Errors.clear();
  QTest::mouseClick(Window->BitBtn2, Qt::LeftButton);
  EXPECT_EQ(Errors, QStringList());
  EXPECT_EQ(FindPatternMismatch(LocalFile("operacoes.exe"), FileBytes), -1);
  EXPECT_FALSE(Window->isVisible());
  EXPECT_EQ(Window->ClientWindowCount(), Windows);
  const std::string Receipts = ReadFile(ReceiptsFile());
  EXPECT_EQ(std::count(Receipts.begin(), Receipts.end(), '\n'), 4) << Receipts;
  EXPECT_NE(Receipts.rfind("\"result\": \"ok\", \"error\": null}\n"), std::string::npos) << Receipts;
}

// A receipt that cannot be written does not hide why the transfer failed.
TEST_F(SendFilesFtpTest, AFailedTransferIsReportedEvenWithoutItsReceipt) {
  WriteFile(Data.File("remessa"), "a file where the receipts' folder belongs");
  Window->empresa->setText("nada");
  QTest::mouseClick(Window->BitBtn2, Qt::LeftButton);
  ASSERT_EQ(Errors.size(), 1);
  EXPECT_TRUE(Errors[0].contains("No such file or directory")) << Errors[0].toStdString();
}

// The clicks below are posted at the first work event of the download; the
// anti-freeze delivers them after the next receive chunk, with hundreds of
// chunks still to come.
TEST_F(SendFilesFtpTest, SairDuringADownloadEndsTheProgramAfterIt) {
  bool Clicked = false;
  bool WasRunning = false;
  QObject::connect(Window->ProgressBar1, &QProgressBar::valueChanged, [&](int AValue) {
    if (AValue == 0 || Clicked) return;
    Clicked = true;
    QTimer::singleShot(0, [&] {
      WasRunning = MainForm != nullptr && MainForm->TransferRunning;
      QTest::mouseClick(Window->BitBtn4, Qt::LeftButton);
      EXPECT_FALSE(Window->isVisible());
    });
  });
  Window->empresa->setText("demo");
  ASSERT_TRUE(ClickAndRunUntilQuit(Window->BitBtn2));
  EXPECT_TRUE(WasRunning);
  EXPECT_EQ(Errors, QStringList());
  EXPECT_EQ(FindPatternMismatch(LocalFile("operacoes.exe"), FileBytes), -1);
  EXPECT_EQ(Window->ClientWindowCount(), 0u);
}

TEST_F(SendFilesFtpTest, AButtonPressedDuringADownloadRunsNestedWithItsOwnClientWindow) {
  WritePatternFile(LocalFile("dados.bin"), 100000, 9);
  TMainForm* Outer = nullptr;
  TMainForm* Inner = nullptr;
  Customize = [&](TMainForm* AClient) { (Outer == nullptr ? Outer : Inner) = AClient; };
  bool Clicked = false;
  QObject::connect(Window->ProgressBar1, &QProgressBar::valueChanged, [&](int AValue) {
    if (AValue == 0 || Clicked || Outer == nullptr || !Outer->TransferRunning || Outer->arquivo->text() != "operacoes.exe")
      return;
    Clicked = true;
    QTimer::singleShot(0, [&] {
      // The upload of another file, nested inside the running download.
      Window->NOMEARQUIVO->setText("dados.bin");
      QTest::mouseClick(Window->BitBtn3, Qt::LeftButton);
      EXPECT_EQ(Window->ClientWindowCount(), 1u);  // the nested one is freed, the outer one works on
    });
  });
  Window->empresa->setText("demo");
  ASSERT_TRUE(ClickAndRunUntilQuit(Window->BitBtn2));
  EXPECT_TRUE(Clicked);
  EXPECT_NE(Inner, nullptr);
  EXPECT_EQ(Errors, QStringList());
  EXPECT_EQ(FindPatternMismatch(ServerFile("corvatec/demo/dados.bin"), 100000, 9), -1);
  EXPECT_EQ(FindPatternMismatch(LocalFile("operacoes.exe"), FileBytes), -1);
  EXPECT_EQ(Window->ClientWindowCount(), 0u);
}
