// The FTP client window against a real FTP server: connecting and
// disconnecting, the listing drawn from parsed entries, the trace, the
// commands, aborting and disconnecting during a transfer, the check boxes
// and the settings file.
#include <QApplication>
#include <QCheckBox>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QScopeGuard>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include <filesystem>
#include <sstream>

#include "AppFtpTest.h"
#include "RecordingCanvas.h"
#include "ScriptedFtpServer.h"
#include "appcontrols.h"
#include "appdialogs.h"
#include "mainf.h"

namespace {

const QColor Blue(0, 0, 255);
const QColor Red(255, 0, 0);

QString SettingsFile() { return QCoreApplication::applicationDirPath() + "/FtpHost.ini"; }

// Field AIndex (0-based) of a listing line split at blanks.
std::string Field(const std::string& ALine, size_t AIndex) {
  std::istringstream Words(ALine);
  std::string Word;
  for (size_t i = 0; i <= AIndex && Words >> Word; ++i) {
  }
  return Word;
}

class ClientWindowFtpTest : public AppFtpTest {
 protected:
  void SetUp() override {
    WriteFile(ServerFile("a.txt"), "hello\n");
    std::filesystem::create_directory(ServerFile("docs"));
    WriteFile(ServerFile("docs/inner.txt"), "inner");
    PointAt(Form.get());
    Form->setWindowState(Qt::WindowNoState);
    Form->show();
  }

  void Click(QPushButton* AButton) { QTest::mouseClick(AButton, Qt::LeftButton); }

  void Connect() {
    Click(Form->ConnectButton);
    ASSERT_EQ(Errors, QStringList());
    ASSERT_EQ(Form->ConnectButton->text(), "Disconnect");
  }

  // The row of the listing entry named AName, or -1.
  int RowOf(const std::string& AName) {
    TNetFTPListItems& Entries = Form->NetFTP1->ParsedListing();
    for (int i = 0; i < Entries.Count(); ++i)
      if (Entries.Items(i).ItemName == AName) return i;
    return -1;
  }

  QStringList Listing() const {
    QStringList Lines;
    for (int i = 0; i < Form->DirectoryListBox->count(); ++i) Lines << Form->DirectoryListBox->item(i)->text();
    return Lines;
  }

  QStringList Trace() const { return TraceLines(*Form); }

  // Posts a click on AButton at the first work event that counts bytes: the
  // anti-freeze delivers it while the transfer runs. ARunning tells whether
  // the transfer was still running when the click arrived.
  void ClickDuringTransfer(QPushButton* AButton, bool& ARunning) {
    auto Posted = std::make_shared<bool>(false);
    QObject::connect(Form->ProgressBar1, &QProgressBar::valueChanged, Form.get(), [this, AButton, &ARunning, Posted](int AValue) {
      if (AValue == 0 || *Posted) return;
      *Posted = true;
      QTimer::singleShot(0, Form.get(), [this, AButton, &ARunning] {
        ARunning = Form->TransferRunning;
        QTest::mouseClick(AButton, Qt::LeftButton);
      });
    });
  }

  std::unique_ptr<TMainForm> Form = std::make_unique<TMainForm>();
};

}  // namespace

TEST_F(ClientWindowFtpTest, ConnectListsTheFolderAndDisconnectResets) {
  QFile::remove(SettingsFile());
  EXPECT_EQ(Form->ConnectButton->text(), "CONECTAR");
  EXPECT_TRUE(Form->ConnectButton->isDefault());
  Connect();

  EXPECT_FALSE(Form->ConnectButton->isDefault());
  EXPECT_TRUE(Form->ConnectButton->isEnabled());
  EXPECT_TRUE(Form->UsePassive->isChecked());  // every connect runs passive
  EXPECT_TRUE(Form->NetFTP1->Passive);
  EXPECT_EQ(Form->CurrentDirEdit->text(), "/");
  EXPECT_EQ(Listing().size(), 2);
  for (QWidget* Command : {(QWidget*)Form->DownloadButton, (QWidget*)Form->DeleteButton,
                           (QWidget*)Form->ChDirButton, (QWidget*)Form->CreateDirButton})
    EXPECT_TRUE(Command->isEnabled()) << Command->objectName().toStdString();

  QFile Settings(SettingsFile());
  ASSERT_TRUE(Settings.open(QIODevice::ReadOnly));
  EXPECT_EQ(Settings.readAll(), "[Server]\nFTPHOST=127.0.0.1\n");
  Settings.close();

  // The trace: one line per line of traffic, sent lines red, the password masked.
  const QStringList Lines = Trace();
  EXPECT_TRUE(Lines.contains("<<- 220 pyftpdlib test server ready."));
  EXPECT_TRUE(Lines.contains("->> USER " FTP_DEFAULT_USER));
  EXPECT_TRUE(Lines.contains("->> PASS ***"));
  EXPECT_TRUE(Lines.contains("->> PWD"));
  for (const char* Status : {"Connected.", "Connection established", "Starting FTP transfer", "Transfer complete"})
    EXPECT_TRUE(Lines.contains(Status)) << Status;
  for (int i = 0; i < Lines.size(); ++i) {
    EXPECT_FALSE(Lines[i].contains("#7204kq63*"));
    EXPECT_FALSE(Lines[i].contains('\r') || Lines[i].contains('\n')) << Lines[i].toStdString();
    TRecordingCanvas Canvas;
    Form->DebugListBoxDrawItem(Canvas, i, QRect(0, 13 * i, 700, 13), false);
    ASSERT_EQ(Canvas.Texts.size(), 1u);
    EXPECT_EQ(Canvas.Texts[0].Color, Lines[i].startsWith("->> ") ? Red : Blue) << Lines[i].toStdString();
  }

  Click(Form->ConnectButton);
  EXPECT_EQ(Errors, QStringList());
  EXPECT_EQ(Form->ConnectButton->text(), "Connect");
  EXPECT_TRUE(Form->ConnectButton->isDefault());
  EXPECT_TRUE(Form->ConnectButton->isEnabled());
  EXPECT_FALSE(Form->NetFTP1->IsConnected());
  EXPECT_EQ(Form->CurrentDirEdit->text(), "/");
  EXPECT_EQ(Form->DirectoryListBox->count(), 0);
  EXPECT_FALSE(Form->DownloadButton->isEnabled());
  EXPECT_EQ(Form->StatusBar1->PanelText(1), "Disconnected.");
  EXPECT_TRUE(Trace().contains("->> QUIT"));
}

TEST_F(ClientWindowFtpTest, ListingRowsShowTheParsedEntries) {
  // Older than half a year: the server gives the year instead of the time.
  utimbuf Times{};
  Times.actime = Times.modtime = 1614859200;  // 4 March 2021, 12:00 UTC
  ASSERT_EQ(utime(ServerFile("a.txt").c_str(), &Times), 0);
  chmod(ServerFile("a.txt").c_str(), 0640);
  // The rows of a long listing ("LIST"); those of "MLSD" are tested below.
  Form->NetFTP1->UseMLSD = false;
  Connect();
  EXPECT_FALSE(Form->NetFTP1->MachineListing());

  const int File = Listing().indexOf(QRegularExpression(".* a\\.txt$"));
  const int Folder = Listing().indexOf(QRegularExpression(".* docs$"));
  ASSERT_GE(File, 0);
  ASSERT_GE(Folder, 0);
  const auto Cells = [this](int ARow) {
    TRecordingCanvas Canvas;
    Form->DirectoryListBoxDrawItem(Canvas, ARow, QRect(0, 13 * ARow, 800, 13), false);
    return Canvas.Texts;
  };
  const std::string FileLine = Listing()[File].toStdString();
  const char Date = SystemSeparators().Date;
  const char Time = SystemSeparators().Time;
  const QString Modified = QString("03") + Date + "04" + Date + "2021 00" + Time + "00";
  const auto Texts = Cells(File);
  ASSERT_EQ(Texts.size(), 7u);
  const QString Expected[] = {"a.txt", "6", "File", Modified, QString::fromStdString(Field(FileLine, 3)),
                              QString::fromStdString(Field(FileLine, 2)), "rw-r-----"};
  // Each column starts where the header's sections before it end.
  int Left = 0;
  for (size_t k = 0; k < 7; ++k) {
    EXPECT_EQ(Texts[k].Text, Expected[k]) << k;
    EXPECT_EQ(Texts[k].At, QPoint(Left, 13 * File)) << k;
    Left += Form->HeaderControl1->sectionSize(static_cast<int>(k));
  }
  const auto FolderTexts = Cells(Folder);
  ASSERT_EQ(FolderTexts.size(), 7u);
  EXPECT_EQ(FolderTexts[0].Text, "docs");
  EXPECT_EQ(FolderTexts[2].Text, "Directory");
  EXPECT_EQ(FolderTexts[6].Text, QString::fromStdString(Field(Listing()[Folder].toStdString(), 0).substr(1)));

  // Narrowing the name column moves the others left and repaints the list.
  Form->HeaderControl1->resizeSection(0, 10);
  EXPECT_EQ(Cells(File)[1].At, QPoint(10, 13 * File));

  // Selecting a line names what the download button would do with it.
  Form->DirectoryListBox->setCurrentRow(Folder);
  EXPECT_EQ(Form->DownloadButton->text(), "Change dir");
  Form->DirectoryListBox->setCurrentRow(File);
  EXPECT_EQ(Form->DownloadButton->text(), "Download");
  EXPECT_EQ(Errors, QStringList());

  // The selected row is painted in the selection colour.
  QApplication::processEvents();
  const QImage Painted = Form->DirectoryListBox->viewport()->grab().toImage();
  EXPECT_EQ(QColor(Painted.pixel(Painted.width() - 3, 13 * File + 6)), QColor(10, 95, 137));
}

// pyftpdlib lists MLST among its features: the window lists by MLSD and fills
// the same columns from the facts, the time in local time to the second.
TEST_F(ClientWindowFtpTest, ListingByMlsdFillsTheSameColumns) {
  utimbuf Times{};
  Times.actime = Times.modtime = 1614859200;  // 4 March 2021, 12:00 UTC
  ASSERT_EQ(utime(ServerFile("a.txt").c_str(), &Times), 0);
  chmod(ServerFile("a.txt").c_str(), 0640);
  EXPECT_TRUE(Form->NetFTP1->UseMLSD);
  Connect();
  EXPECT_TRUE(Form->NetFTP1->MachineListing());
  EXPECT_TRUE(Trace().contains("->> MLSD"));
  EXPECT_EQ(Listing().size(), 2);

  const int File = RowOf("a.txt");
  const int Folder = RowOf("docs");
  ASSERT_GE(File, 0);
  ASSERT_GE(Folder, 0);
  TRecordingCanvas Canvas;
  Form->DirectoryListBoxDrawItem(Canvas, File, QRect(0, 13 * File, 800, 13), false);
  ASSERT_EQ(Canvas.Texts.size(), 7u);
  const time_t At = 1614859200;
  tm Local{};
  localtime_r(&At, &Local);
  const char Date = SystemSeparators().Date;
  const char Time = SystemSeparators().Time;
  const QString Modified = QString::asprintf("%02d%c%02d%c%04d %02d%c%02d", Local.tm_mon + 1, Date, Local.tm_mday, Date,
                                             Local.tm_year + 1900, Local.tm_hour, Time, Local.tm_min);
  struct stat Info{};
  ASSERT_EQ(stat(ServerFile("a.txt").c_str(), &Info), 0);
  const QString Expected[] = {"a.txt", "6", "File", Modified, QString::number(Info.st_gid),
                              QString::number(Info.st_uid), "rw-r-----"};
  for (size_t k = 0; k < 7; ++k) EXPECT_EQ(Canvas.Texts[k].Text, Expected[k]) << k;
  Form->DirectoryListBox->setCurrentRow(Folder);
  EXPECT_EQ(Form->DownloadButton->text(), "Change dir");

  // A folder whose first (here only) entry is named "total": MLSD rows are
  // never taken for the "total" line of a long listing.
  std::filesystem::create_directory(ServerFile("docs/sums"));
  WriteFile(ServerFile("docs/sums/total"), "1");
  Form->ChangeDirAndList(QStringLiteral("/docs/sums"));
  ASSERT_EQ(Listing().size(), 1);
  EXPECT_EQ(RowOf("total"), 0);
  EXPECT_EQ(Errors, QStringList());
}

// [Server] USEMLSD=0 in FtpHost.ini keeps the window to LIST; anything else
// (or nothing) lets it use MLSD.
TEST_F(ClientWindowFtpTest, UseMlsdSetting) {
  const auto Restore = qScopeGuard([] { QFile::remove(SettingsFile()); });
  const struct {
    const char* Text;
    bool UseMLSD;
  } Cases[] = {{nullptr, true}, {"[Server]\nUSEMLSD=0\n", false}, {"[server]\nusemlsd = 0\n", false},
               {"[Server]\nUSEMLSD=1\n", true}, {"[Server]\nUSEMLSD=no\n", true}, {"[Other]\nUSEMLSD=0\n", true}};
  for (const auto& Case : Cases) {
    QFile::remove(SettingsFile());
    if (Case.Text) WriteFile(SettingsFile().toStdString(), Case.Text);
    TMainForm Window;
    EXPECT_EQ(Window.NetFTP1->UseMLSD, Case.UseMLSD) << (Case.Text ? Case.Text : "no file");
    EXPECT_TRUE(Window.NetFTP1->UseFEAT);
  }
  QFile::remove(SettingsFile());
  WriteFile(SettingsFile().toStdString(), "[Server]\nUSEMLSD=0\n");
  Form = std::make_unique<TMainForm>();
  PointAt(Form.get());
  Connect();
  EXPECT_FALSE(Form->NetFTP1->MachineListing());
  EXPECT_TRUE(Trace().contains("->> LIST"));
  EXPECT_FALSE(Trace().contains("->> MLSD"));
  EXPECT_EQ(Listing().size(), 2);
}

TEST_F(ClientWindowFtpTest, DeleteRemovesTheSelectedFileOrFolder) {
  WriteFile(ServerFile("old.txt"), "old");
  std::filesystem::create_directory(ServerFile("olddir"));
  Connect();
  for (const std::string Name : {"old.txt", "olddir"}) {
    SCOPED_TRACE(Name);
    Form->DirectoryListBox->setCurrentRow(RowOf(Name));
    Click(Form->DeleteButton);
    EXPECT_EQ(Errors, QStringList());
    EXPECT_FALSE(PathExists(ServerFile(Name)));
    EXPECT_EQ(RowOf(Name), -1);
    EXPECT_TRUE(Form->DeleteButton->isEnabled());
  }
  EXPECT_EQ(Listing().size(), 2);

  // Nothing selected: the lookup fails before anything is sent.
  Form->DirectoryListBox->setCurrentRow(-1);
  const int TraceLines = Form->DebugListBox->count();
  Click(Form->DeleteButton);
  EXPECT_EQ(Errors, QStringList{"List index out of bounds (-1)"});
  EXPECT_EQ(Form->DebugListBox->count(), TraceLines);
}

TEST_F(ClientWindowFtpTest, MakeDirAsksForTheNameChangeDirAndBack) {
  Connect();
  InputBoxHook = [](const QString& ACaption, const QString& APrompt, QString& AValue) {
    EXPECT_EQ(ACaption, "Make new directory");
    EXPECT_EQ(APrompt, "Name");
    EXPECT_EQ(AValue, "");
    AValue = "novo";
    return true;
  };
  Click(Form->CreateDirButton);
  EXPECT_EQ(Errors, QStringList());
  EXPECT_TRUE(std::filesystem::is_directory(ServerFile("novo")));
  EXPECT_GE(RowOf("novo"), 0);
  EXPECT_TRUE(Form->CreateDirButton->isEnabled());

  Form->CurrentDirEdit->setText("docs");
  Click(Form->ChDirButton);
  EXPECT_EQ(Form->CurrentDirEdit->text(), "/docs");
  EXPECT_EQ(Listing().size(), 1);
  EXPECT_EQ(RowOf("inner.txt"), 0);
  Click(Form->BackButton);
  EXPECT_EQ(Form->CurrentDirEdit->text(), "/");
  EXPECT_EQ(Listing().size(), 3);
  EXPECT_EQ(Errors, QStringList());
}

TEST_F(ClientWindowFtpTest, DownloadAndUploadTheNamedFile) {
  Connect();
  Form->arquivo->setText("a.txt");
  Click(Form->DownloadButton);
  EXPECT_EQ(Errors, QStringList());
  EXPECT_EQ(ReadFile(LocalFile("a.txt")), "hello\n");

  WritePatternFile(LocalFile("up.bin"), 300000, 3);
  Form->arquivo->setText("up.bin");
  Click(Form->UploadButton);
  EXPECT_EQ(Errors, QStringList());
  EXPECT_EQ(FindPatternMismatch(ServerFile("up.bin"), 300000, 3), -1);
  EXPECT_GE(RowOf("up.bin"), 0);  // listed again after the upload

  // A name the server does not have: the download fails without creating a
  // local file, and the commands come back.
  Form->arquivo->setText("missing.bin");
  Click(Form->DownloadButton);
  ASSERT_EQ(Errors.size(), 1);
  EXPECT_EQ(Errors[0].trimmed(), "No such file or directory.");
  EXPECT_FALSE(PathExists(LocalFile("missing.bin")));
  EXPECT_TRUE(Form->DownloadButton->isEnabled());
}

// A local copy is resumed only when the record that a download keeps beside
// it matches the server's file; any other copy, shorter or longer, is
// downloaded afresh and a status line says so.
TEST_F(ClientWindowFtpTest, DownloadResumesOnlyACopyWhoseRecordMatchesTheServersFile) {
  Connect();
  Form->arquivo->setText("a.txt");
  const QString Notice = "Local copy of a.txt does not match the server's file; downloading it afresh.";
  for (const char* Copy : {"hello\nand more than the server has\n", "hel"}) {
    SCOPED_TRACE(Copy);
    WriteFile(LocalFile("a.txt"), Copy);
    const int Before = Form->DebugListBox->count();
    Click(Form->DownloadButton);
    EXPECT_EQ(Errors, QStringList());
    EXPECT_EQ(ReadFile(LocalFile("a.txt")), "hello\n");
    const QStringList Lines = Trace().mid(Before);
    EXPECT_TRUE(Lines.contains(Notice)) << Lines.join(" | ").toStdString();
    EXPECT_TRUE(Lines.filter("->> REST ").isEmpty()) << Lines.join(" | ").toStdString();
    EXPECT_FALSE(PathExists(ResumeRecordPath(LocalFile("a.txt"))));  // gone with the whole copy
  }

  WriteFile(LocalFile("a.txt"), "hel");
  WriteResumeRecord(LocalFile("a.txt"), ServerStamp("a.txt"));
  const int Before = Form->DebugListBox->count();
  Click(Form->DownloadButton);
  EXPECT_EQ(Errors, QStringList());
  EXPECT_EQ(ReadFile(LocalFile("a.txt")), "hello\n");
  EXPECT_TRUE(Trace().mid(Before).contains("->> REST 3"));
  EXPECT_FALSE(Trace().mid(Before).contains(Notice));
  EXPECT_FALSE(PathExists(ResumeRecordPath(LocalFile("a.txt"))));
}

TEST_F(ClientWindowFtpTest, AbortClickedDuringADownloadStopsIt) {
  const int64_t Size = 64 << 20;
  WritePatternFile(ServerFile("big.bin"), Size);
  Connect();
  Form->arquivo->setText("big.bin");
  bool Running = false;
  ClickDuringTransfer(Form->AbortButton, Running);
  Click(Form->DownloadButton);

  EXPECT_TRUE(Running);
  EXPECT_EQ(Errors, QStringList());  // an abort is no failure
  const int64_t Got = FileSize(LocalFile("big.bin"));
  EXPECT_GT(Got, 0);
  EXPECT_LT(Got, Size);
  EXPECT_EQ(ReadFile(LocalFile("big.bin")), PatternBytes(1, 0, static_cast<size_t>(Got)));
  const QStringList Lines = Trace();
  EXPECT_TRUE(Lines.contains("->> ABOR"));
  EXPECT_EQ(Lines.back(), "Transfer aborted");
  EXPECT_TRUE(Form->AbortButton->isHidden());
  EXPECT_FALSE(Form->TransferRunning);
  EXPECT_TRUE(Form->DownloadButton->isEnabled());
  EXPECT_TRUE(Form->NetFTP1->IsConnected());
  EXPECT_FALSE(Form->AbortRequested);
}

TEST_F(ClientWindowFtpTest, DoubleClickOnTheListingDuringADownloadStartsNothing) {
  const int64_t Size = 8 << 20;
  WritePatternFile(ServerFile("big.bin"), Size);
  Connect();
  Form->arquivo->setText("big.bin");
  bool Posted = false;
  bool Running = false;
  int DoubleClicks = 0;
  QObject::connect(Form->DirectoryListBox, &QListWidget::itemDoubleClicked, [&] { ++DoubleClicks; });
  QObject::connect(Form->ProgressBar1, &QProgressBar::valueChanged, Form.get(), [&](int AValue) {
    if (AValue == 0 || Posted) return;
    Posted = true;
    QTimer::singleShot(0, Form.get(), [&] {
      Running = Form->TransferRunning;
      // What the list reports for a double click on a line (simulated mouse
      // events are not taken for a double click inside another handler).
      emit Form->DirectoryListBox->itemDoubleClicked(Form->DirectoryListBox->item(0));
    });
  });
  Click(Form->DownloadButton);

  EXPECT_TRUE(Running);
  EXPECT_EQ(DoubleClicks, 1);  // delivered, and ignored
  EXPECT_EQ(Errors, QStringList());
  EXPECT_EQ(FindPatternMismatch(LocalFile("big.bin"), Size), -1);
  EXPECT_EQ(Trace().filter("->> RETR ").size(), 1) << Trace().join(" | ").toStdString();
  // One download's sizes, before it and its check after it, by MLST: pyftpdlib
  // lists it.
  EXPECT_EQ(Trace().filter("->> MLST ").size(), 2);
  EXPECT_EQ(Trace().filter("->> SIZE ").size(), 0);
  // Once the command is over, a double click downloads again.
  Form->arquivo->setText("a.txt");
  emit Form->DirectoryListBox->itemDoubleClicked(Form->DirectoryListBox->item(0));
  EXPECT_EQ(Errors, QStringList());
  EXPECT_EQ(ReadFile(LocalFile("a.txt")), "hello\n");
}

TEST_F(ClientWindowFtpTest, DisconnectClickedDuringADownloadClosesTheSession) {
  WritePatternFile(ServerFile("big.bin"), 64 << 20);
  Connect();
  Form->arquivo->setText("big.bin");
  bool Running = false;
  ClickDuringTransfer(Form->ConnectButton, Running);
  Click(Form->DownloadButton);

  EXPECT_TRUE(Running);
  EXPECT_FALSE(Form->NetFTP1->IsConnected());
  EXPECT_EQ(Form->ConnectButton->text(), "Connect");
  EXPECT_TRUE(Form->ConnectButton->isDefault());
  EXPECT_EQ(Form->DirectoryListBox->count(), 0);
  EXPECT_FALSE(Form->TransferRunning);
  EXPECT_TRUE(Form->AbortButton->isHidden());
  // The download itself ends with the closed connection.
  EXPECT_EQ(Errors, QStringList{"Not Connected"});
  const QStringList Lines = Trace();
  EXPECT_TRUE(Lines.contains("->> ABOR"));
  EXPECT_TRUE(Lines.contains("->> QUIT"));
  EXPECT_TRUE(Lines.contains("Disconnected."));

  // A new connect works.
  Errors.clear();
  Connect();
}

TEST_F(ClientWindowFtpTest, PassiveAndTraceCheckBoxes) {
  Connect();
  // Active mode: the server connects back to the address the client announces.
  Form->UsePassive->click();
  EXPECT_FALSE(Form->NetFTP1->Passive);
  int Before = Form->DebugListBox->count();
  Click(Form->ChDirButton);
  EXPECT_EQ(Errors, QStringList());
  EXPECT_EQ(Listing().size(), 2);
  const QStringList Active = Trace().mid(Before);
  EXPECT_FALSE(Active.filter(QRegularExpression("^->> PORT 127,0,0,1,\\d+,\\d+$")).isEmpty())
      << Active.join(" | ").toStdString();
  EXPECT_TRUE(Active.filter("->> PASV").isEmpty());

  // Trace off: no traffic lines, status lines still.
  Form->TraceCheckBox->click();
  EXPECT_EQ(Form->NetFTP1->Intercept(), nullptr);
  EXPECT_TRUE(Form->DebugListBox->isHidden());
  Before = Form->DebugListBox->count();
  Click(Form->ChDirButton);
  const QStringList Quiet = Trace().mid(Before);
  EXPECT_TRUE(Quiet.contains("Starting FTP transfer"));
  EXPECT_TRUE(Quiet.filter(QRegularExpression("^(->>|<<-) ")).isEmpty()) << Quiet.join(" | ").toStdString();

  Form->TraceCheckBox->click();
  EXPECT_EQ(Form->NetFTP1->Intercept(), Form->NetLogEvent1.get());
  EXPECT_FALSE(Form->DebugListBox->isHidden());
  Before = Form->DebugListBox->count();
  Click(Form->ChDirButton);
  EXPECT_TRUE(Trace().mid(Before).contains("->> PWD"));
  EXPECT_EQ(Errors, QStringList());
}

TEST_F(ClientWindowFtpTest, FailedConnectsAndASettingsFileThatCannotBeWritten) {
  // A refused login first: nothing is written, the caption stays.
  QFile::remove(SettingsFile());
  Form->PasswordEdit->setText("wrong");
  Click(Form->ConnectButton);
  ASSERT_EQ(Errors.size(), 1);
  EXPECT_TRUE(Errors[0].contains("Authentication failed")) << Errors[0].toStdString();
  EXPECT_EQ(Form->ConnectButton->text(), "CONECTAR");
  EXPECT_TRUE(Form->ConnectButton->isEnabled());
  EXPECT_FALSE(Form->DownloadButton->isEnabled());
  EXPECT_FALSE(QFile::exists(SettingsFile()));

  // Logged in, but the folder does not exist: the connection stays open with
  // usable commands, and still nothing is written.
  Errors.clear();
  Form->PasswordEdit->setText("#7204kq63*");
  Form->CurrentDirEdit->setText("nada");
  Click(Form->ConnectButton);
  ASSERT_EQ(Errors.size(), 1);
  EXPECT_EQ(Errors[0].trimmed(), "No such file or directory.");
  EXPECT_EQ(Form->ConnectButton->text(), "Disconnect");
  EXPECT_TRUE(Form->NetFTP1->IsConnected());
  EXPECT_TRUE(Form->DownloadButton->isEnabled());
  EXPECT_FALSE(QFile::exists(SettingsFile()));
  Click(Form->ConnectButton);
  ASSERT_FALSE(Form->NetFTP1->IsConnected());

  // A folder in the settings file's place cannot be written, even by root.
  ASSERT_TRUE(QDir().mkdir(SettingsFile()));
  const auto Remove = qScopeGuard([] { QDir().rmdir(SettingsFile()); });
  Errors.clear();
  Form->CurrentDirEdit->setText("");
  Click(Form->ConnectButton);
  EXPECT_EQ(Errors, QStringList{"Unable to write to " + SettingsFile()});
  EXPECT_EQ(Form->ConnectButton->text(), "Disconnect");
  EXPECT_TRUE(Form->NetFTP1->IsConnected());
  EXPECT_EQ(Listing().size(), 2);
}

// A server that is slow to answer a folder change, and the Disconnect
// button pressed while the window waits for that answer.
TEST(ClientWindowScriptedTest, DisconnectWhileAReplyIsAwaited) {
  QStringList Errors;
  ErrorBoxHook = [&](const QString& AMessage) { Errors << AMessage; };
  const auto Unhook = qScopeGuard([] { ErrorBoxHook = nullptr; });
  ScriptedFtpServer Server;
  auto Form = std::make_unique<TMainForm>();
  Form->FtpServerEdit->setText("127.0.0.1");
  Form->NetFTP1->Port = Server.Port();
  Form->show();
  QTest::mouseClick(Form->ConnectButton, Qt::LeftButton);
  ASSERT_EQ(Errors, QStringList());
  ASSERT_EQ(Form->ConnectButton->text(), "Disconnect");

  Server.QueueReply("CWD", FtpReply("250 Slowly there.").Delay(1500));
  QTimer::singleShot(300, Form.get(), [&] { QTest::mouseClick(Form->ConnectButton, Qt::LeftButton); });
  Form->CurrentDirEdit->setText("slow");
  QTest::mouseClick(Form->ChDirButton, Qt::LeftButton);

  // The folder change ends with the closed connection, without waiting for
  // the late answer.
  EXPECT_FALSE(Form->NetFTP1->IsConnected());
  EXPECT_EQ(Form->ConnectButton->text(), "Connect");
  EXPECT_EQ(Errors, QStringList{"Connection Closed Gracefully."});
  EXPECT_TRUE(Server.WaitForCommand("QUIT"));

  // The same client connects again.
  Errors.clear();
  QTest::mouseClick(Form->ConnectButton, Qt::LeftButton);
  EXPECT_EQ(Errors, QStringList());
  EXPECT_TRUE(Form->NetFTP1->IsConnected());
}
