// Both windows over TLS: vsftpd with a certificate from a test authority
// that the system does not know, so that it does not verify. The question
// and what accepting, declining and a changed certificate do; the FTPTLS
// setting read at creation and written by the connection panel's menu; the
// trace and the status bar of an encrypted and a plain connection; the
// send-files window's download in required mode.
#include <QAction>
#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "AppFtpTest.h"
#include "TestCertificates.h"
#include "adLabelEdit.h"
#include "appcontrols.h"
#include "inifile.h"
#include "mainf.h"
#include "remessadados_u.h"
#include "settingsplace.h"
#include "tlssetup.h"

namespace {

std::string ReadAll(const QString& AFileName) {
  QFile File(AFileName);
  if (!File.open(QIODevice::ReadOnly)) return "<missing>";
  return File.readAll().toStdString();
}

class TlsWindowsTest : public AppFtpTest {
 protected:
  static void SetUpTestSuite() {
    Authority = new TestCertificateAuthority("Remessa Window Test CA");
    Certificate = new TestCertificate(Authority->Issue("localhost", "DNS:localhost,IP:127.0.0.1"));
  }
  static void TearDownTestSuite() {
    delete Certificate;
    delete Authority;
  }

  TlsWindowsTest() {
    SetConfigFile(Work.File("settings/FtpHost.ini"));
    std::filesystem::create_directories(Work.File("settings"));
  }
  ~TlsWindowsTest() override { SetConfigFile(""); }

  static VsftpdOptions TlsOptions() {
    VsftpdOptions Options;
    Options.CertFile = Certificate->CertFile;
    Options.KeyFile = Certificate->KeyFile;
    return Options;
  }

  // A client window pointed at the vsftpd server; its questions are
  // recorded and answered from Answers, in order (none left: decline).
  std::unique_ptr<TMainForm> NewWindow(VsftpdServer& AServer) {
    auto Window = std::make_unique<TMainForm>();
    PointAtVsftpd(Window.get(), AServer);
    return Window;
  }
  void PointAtVsftpd(TMainForm* AWindow, VsftpdServer& AServer) {
    AWindow->FtpServerEdit->setText("127.0.0.1");
    AWindow->CurrentDirEdit->setText("/");
    AWindow->UserIDEdit->setText("anonymous");
    AWindow->PasswordEdit->setText("test@example.org");
    AWindow->NetFTP1->Port = AServer.Port();
    AWindow->AskTrust = [this](const TTrustQuestion& AQuestion) {
      Questions.push_back(AQuestion);
      if (Answers.empty()) return false;
      const bool Answer = Answers.front();
      Answers.erase(Answers.begin());
      return Answer;
    };
  }

  std::string Server(VsftpdServer& AServer) const { return "127.0.0.1:" + std::to_string(AServer.Port()); }
  static QString StoreFile() { return TrustStorePath(); }

  static TestCertificateAuthority* Authority;
  static TestCertificate* Certificate;
  std::vector<TTrustQuestion> Questions;
  std::vector<bool> Answers;
};
TestCertificateAuthority* TlsWindowsTest::Authority = nullptr;
TestCertificate* TlsWindowsTest::Certificate = nullptr;

}  // namespace

TEST_F(TlsWindowsTest, AcceptedCertificateIsStoredAndNotAskedForAgain) {
  VsftpdServer Vsftpd(TlsOptions());
  auto Window = NewWindow(Vsftpd);
  Answers = {true};
  Window->ConnectButtonClick();
  ASSERT_TRUE(Window->NetFTP1->IsConnected());
  EXPECT_TRUE(Window->NetFTP1->DataProtected());

  ASSERT_EQ(Questions.size(), 1u);
  const TTrustQuestion& Question = Questions.front();
  EXPECT_EQ(Question.Kind, tqNewCertificate);
  EXPECT_EQ(Question.AcceptCaption, "Trust and connect");
  const QString Text = Question.Text;
  for (const std::string& Part : {"Server: " + Server(Vsftpd), std::string("Subject: CN = localhost"),
                                  std::string("Issuer: CN = Remessa Window Test CA"), std::string("Valid from: 20"),
                                  std::string("Valid until: 20"), std::string("Not verified: unknown issuer"),
                                  "SHA-256 fingerprint: " + Certificate->Fingerprint})
    EXPECT_TRUE(Text.contains(QString::fromStdString(Part))) << Part << "\n" << Text.toStdString();
  EXPECT_EQ(ReadAll(StoreFile()), Server(Vsftpd) + " " + Certificate->Fingerprint + "\n");

  // The trace shows the TLS commands like any other, and the session.
  const QStringList Trace = TraceLines(*Window);
  for (const char* Command : {"->> AUTH TLS", "->> PBSZ 0", "->> PROT P"})
    EXPECT_TRUE(Trace.contains(Command)) << Command << "\n" << Trace.join("\n").toStdString();
  const QRegularExpression Session(R"(^TLS 1\.[23], \S+$)");
  EXPECT_EQ(Trace.filter(Session).size(), 1) << Trace.join("\n").toStdString();
  EXPECT_TRUE(Window->EncryptionLabel->text().startsWith("Encrypted (TLS 1.")) << Window->EncryptionLabel->text().toStdString();
  EXPECT_EQ(Errors, QStringList());

  Window->ConnectButtonClick();  // disconnects
  EXPECT_EQ(Window->EncryptionLabel->text(), "");
  // A new window (the store is read at every connect) does not ask.
  auto Second = NewWindow(Vsftpd);
  Second->ConnectButtonClick();
  EXPECT_TRUE(Second->NetFTP1->IsConnected());
  EXPECT_EQ(Questions.size(), 1u);
  Second->ConnectButtonClick();
}

TEST_F(TlsWindowsTest, DeclinedCertificateEndsTheConnectAndStoresNothing) {
  VsftpdServer Vsftpd(TlsOptions());
  auto Window = NewWindow(Vsftpd);
  Answers = {false};
  QPushButton* Button = Window->ConnectButton;
  QTest::mouseClick(Button, Qt::LeftButton);  // through the handler that shows failures
  EXPECT_FALSE(Window->NetFTP1->IsConnected());
  EXPECT_EQ(Questions.size(), 1u);
  EXPECT_EQ(Errors, QStringList("Not connected: the certificate of " + QString::fromStdString(Server(Vsftpd)) +
                                " was not trusted."));
  EXPECT_FALSE(QFile::exists(StoreFile()));
  EXPECT_TRUE(Window->ConnectButton->isEnabled());
}

TEST_F(TlsWindowsTest, ChangedCertificateIsRefusedAndReplacedOnlyAfterConfirmation) {
  VsftpdServer Vsftpd(TlsOptions());
  const std::string Old = "SHA256:" + std::string(64, '0');
  TTrustStore(StoreFile()).Store("127.0.0.1", Vsftpd.Port(), Old);
  const std::string Stored = ReadAll(StoreFile());
  const QString Warning = "Not connected: the certificate of " + QString::fromStdString(Server(Vsftpd)) +
                          " has changed (trusted " + QString::fromStdString(Old) + ", offered " +
                          QString::fromStdString(Certificate->Fingerprint) + ").";

  // Answers to the warning and then to the confirmation; questions expected.
  const struct {
    std::vector<bool> Answers;
    std::vector<TTrustQuestionKind> Asked;
    bool Connected;
  } Cases[] = {
      {{false}, {tqChangedCertificate}, false},
      {{true, false}, {tqChangedCertificate, tqConfirmReplace}, false},
      {{true, true}, {tqChangedCertificate, tqConfirmReplace}, true},
  };
  for (const auto& Case : Cases) {
    SCOPED_TRACE(Case.Answers.size() + Case.Connected);
    Questions.clear();
    Errors.clear();
    Answers = Case.Answers;
    auto Window = NewWindow(Vsftpd);
    QTest::mouseClick(Window->ConnectButton, Qt::LeftButton);
    EXPECT_EQ(Window->NetFTP1->IsConnected(), Case.Connected);
    ASSERT_EQ(Questions.size(), Case.Asked.size());
    for (size_t i = 0; i < Questions.size(); ++i) EXPECT_EQ(Questions[i].Kind, Case.Asked[i]);
    // The warning names both fingerprints.
    const QString Text = Questions.front().Text;
    EXPECT_TRUE(Text.contains("Trusted fingerprint: " + QString::fromStdString(Old))) << Text.toStdString();
    EXPECT_TRUE(Text.contains("Offered fingerprint: " + QString::fromStdString(Certificate->Fingerprint)));
    EXPECT_TRUE(Text.startsWith("WARNING: the certificate of " + QString::fromStdString(Server(Vsftpd))));
    if (Case.Connected) {
      EXPECT_EQ(Errors, QStringList());
      EXPECT_EQ(ReadAll(StoreFile()), Server(Vsftpd) + " " + Certificate->Fingerprint + "\n");
      Window->ConnectButtonClick();
    } else {
      EXPECT_EQ(Errors, QStringList(Warning));
      EXPECT_EQ(ReadAll(StoreFile()), Stored);
    }
  }
}

TEST_F(TlsWindowsTest, SettingIsReadAtCreationAndTheMenuWritesIt) {
  const QString Ini = QString::fromStdString(SettingsFilePath());
  // Missing file, then every value (any case), then an unknown one.
  const struct {
    const char* Value;
    TNetFTPTLSMode Mode;
  } Cases[] = {{nullptr, tlsAuto},       {"off", tlsOff},         {"Auto", tlsAuto},
               {"REQUIRED", tlsRequired}, {"implicit", tlsImplicit}, {"sometimes", tlsAuto}};
  for (const auto& Case : Cases) {
    SCOPED_TRACE(Case.Value ? Case.Value : "missing");
    if (Case.Value) WriteIniString(Ini, "Server", TLSModeKey, Case.Value);
    TMainForm Window;
    EXPECT_EQ(Window.NetFTP1->TLSMode, Case.Mode);
    EXPECT_TRUE(Window.TLSModeItems.at(static_cast<size_t>(Case.Mode))->isChecked());
  }

  // The menu is there while every command is disabled, and each item writes
  // its value.
  TMainForm Window;
  ASSERT_EQ(Window.TLSModeItems.size(), 4u);
  for (TNetFTPTLSMode Mode : {tlsRequired, tlsOff, tlsImplicit, tlsAuto}) {
    QAction* Item = Window.TLSModeItems[static_cast<size_t>(Mode)];
    EXPECT_TRUE(Item->isEnabled());
    Item->trigger();
    EXPECT_EQ(Window.NetFTP1->TLSMode, Mode);
    EXPECT_TRUE(Item->isChecked());
    EXPECT_EQ(ReadIniString(Ini, "Server", TLSModeKey), TLSModeName(Mode));
  }
  EXPECT_EQ(Window.Panel1->contextMenuPolicy(), Qt::CustomContextMenu);
  EXPECT_EQ(Errors, QStringList());
}

// The pyftpdlib server offers no TLS: auto goes on in clear text and says so.
TEST_F(TlsWindowsTest, AutoFallsBackToAPlainConnection) {
  TMainForm Window;
  PointAt(&Window);
  Window.ConnectButtonClick();
  ASSERT_TRUE(Window.NetFTP1->IsConnected());
  EXPECT_TRUE(TraceLines(Window).contains("Connection is not encrypted"));
  EXPECT_EQ(Window.EncryptionLabel->text(), "Not encrypted");
  Window.ConnectButtonClick();

  // Required refuses that server.
  Window.TLSModeItems[tlsRequired]->trigger();
  QTest::mouseClick(Window.ConnectButton, Qt::LeftButton);
  EXPECT_FALSE(Window.NetFTP1->IsConnected());
  ASSERT_EQ(Errors.size(), 1);
  EXPECT_TRUE(Errors.front().startsWith("The server refused TLS")) << Errors.front().toStdString();
}

// The hidden client window behind the send-files window asks too; the file
// arrives byte-exact through TLS.
TEST_F(TlsWindowsTest, SendFilesDownloadInRequiredMode) {
  WriteIniString(QString::fromStdString(SettingsFilePath()), "Server", TLSModeKey, "required");
  VsftpdServer Vsftpd(TlsOptions());
  constexpr int64_t Bytes = 2 * 1024 * 1024 + 77;
  std::filesystem::create_directories(Vsftpd.Root() + "/corvatec/demo");
  WritePatternFile(Vsftpd.Root() + "/corvatec/demo/dados.bin", Bytes);

  auto SendFiles = std::make_unique<Tf_remessadados>();
  f_remessadados = SendFiles.get();
  std::vector<TNetFTPTLSMode> Modes;
  SendFiles->OnClientWindowCreated = [&](TMainForm* AClient) {
    PointAtVsftpd(AClient, Vsftpd);  // the send-files window sets the folder afterwards
    Modes.push_back(AClient->NetFTP1->TLSMode);
  };
  Answers = {true};
  QTest::keyClicks(SendFiles->empresa, "DEMO");
  SendFiles->NOMEARQUIVO->setText("dados.bin");
  SendFiles->show();
  QTimer Watchdog;
  Watchdog.setSingleShot(true);
  QObject::connect(&Watchdog, &QTimer::timeout, [] { QCoreApplication::exit(1); });
  Watchdog.start(30000);
  QTimer::singleShot(0, SendFiles->BitBtn2, [&] { QTest::mouseClick(SendFiles->BitBtn2, Qt::LeftButton); });
  EXPECT_EQ(QApplication::exec(), 0);
  f_remessadados = nullptr;

  EXPECT_EQ(Errors, QStringList());
  ASSERT_FALSE(Modes.empty());
  EXPECT_EQ(Modes.back(), tlsRequired);
  EXPECT_EQ(Questions.size(), 1u);
  EXPECT_EQ(FindPatternMismatch(LocalFile("dados.bin"), Bytes), -1);
}
