#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>

#include <map>
#include <stdexcept>

#include "RecordingCanvas.h"
#include "appcontrols.h"
#include "appdialogs.h"
#include "mainf.h"
#include "remessadados_u.h"
#include "settingsplace.h"

namespace {

const QColor SelectionBack(10, 95, 137);
const QColor White(255, 255, 255);
const QColor Blue(0, 0, 255);
const QColor Red(255, 0, 0);

std::optional<TListingColumns> SampleRow(int AIndex) {
  if (AIndex < 0 || AIndex > 1) return std::nullopt;
  TListingEntryView Entry;
  Entry.ItemName = AIndex == 0 ? "a-rather-long-file-name.zip" : "docs";
  Entry.ByteSize = 5368709120LL;
  Entry.IsDirectory = AIndex == 1;
  Entry.ModifiedAt = 45000.5;
  Entry.Group = "ftp";
  Entry.Owner = "ana";
  Entry.OwnerRights = "rw-";
  Entry.GroupRights = "r--";
  Entry.OtherRights = "---";
  return ListingColumnTexts(Entry);
}

QStringList TraceLines(const TMainForm& AForm) {
  QStringList Lines;
  for (int i = 0; i < AForm.DebugListBox->count(); ++i) Lines << AForm.DebugListBox->item(i)->text();
  return Lines;
}

class ClientWindowTest : public testing::Test {
 protected:
  std::unique_ptr<TMainForm> Form = std::make_unique<TMainForm>();
};

// The send-files window mirrors the client window's status and progress.
class ClientWindowMirrorTest : public ClientWindowTest {
 protected:
  void SetUp() override { SendFiles->FollowClientWindow(*Form); }
  std::unique_ptr<Tf_remessadados> SendFiles = std::make_unique<Tf_remessadados>();
};

}  // namespace

TEST_F(ClientWindowTest, LayoutMatchesTheWindowDesign) {
  EXPECT_EQ(Form->objectName(), "MainForm");
  EXPECT_EQ(Form->windowTitle(), "FTP client demo");
  EXPECT_EQ(Form->size(), QSize(721, 602));
  EXPECT_TRUE(Form->windowState() & Qt::WindowMaximized);
  EXPECT_TRUE(Form->isHidden());
  EXPECT_EQ(Form->font().pixelSize(), 11);

  // Deliberately off the design where the face needs it (app_layout proves
  // the fit): the check box widens to its caption, and the controls after
  // "Current directory is: " move right by the same amount.
  const int Wider = Form->UsePassive->width() - 121;
  const int Shift = Form->CurrentDirEdit->x() - 96;
  EXPECT_GE(Wider, 0);
  EXPECT_GE(Shift, 0);
  EXPECT_LE(Shift, 20);

  struct TControl {
    QWidget* Control;
    const char* Name;
    QWidget* Parent;
    QRect Geometry;
  };
  const TControl Controls[] = {
      {Form->Panel1, "Panel1", Form.get(), {0, 0, 721, 121}},
      {Form->FtpServerEdit, "FtpServerEdit", Form->Panel1, {8, 24, 233, 21}},
      {Form->ConnectButton, "ConnectButton", Form->Panel1, {248, 21, 75, 25}},
      {Form->UsePassive, "UsePassive", Form->Panel1, {328, 24, 121 + Wider, 17}},
      {Form->UserIDEdit, "UserIDEdit", Form->Panel1, {8, 64, 113, 21}},
      {Form->PasswordEdit, "PasswordEdit", Form->Panel1, {128, 64, 113, 21}},
      {Form->TraceCheckBox, "TraceCheckBox", Form->Panel1, {248, 64, 113, 17}},
      {Form->arquivo, "arquivo", Form->Panel1, {464, 8, 217, 21}},
      {Form->llocal, "llocal", Form->Panel1, {464, 32, 217, 21}},
      {Form->Panel3, "Panel3", Form->Panel1, {1, 87, 719, 33}},  // bottom of Panel1, inside its bevel
      {Form->CurrentDirEdit, "CurrentDirEdit", Form->Panel3, {96 + Shift, 6, 193, 21}},
      {Form->ChDirButton, "ChDirButton", Form->Panel3, {296 + Shift, 4, 105, 25}},
      {Form->CreateDirButton, "CreateDirButton", Form->Panel3, {408 + Shift, 4, 73, 25}},
      {Form->CommandPanel, "CommandPanel", Form.get(), {0, 121, 721, 40}},
      {Form->DownloadButton, "DownloadButton", Form->CommandPanel, {8, 7, 75, 25}},
      {Form->UploadButton, "UploadButton", Form->CommandPanel, {96, 8, 75, 25}},
      {Form->DeleteButton, "DeleteButton", Form->CommandPanel, {184, 7, 75, 25}},
      {Form->BackButton, "BackButton", Form->CommandPanel, {272, 8, 75, 25}},
      {Form->AbortButton, "AbortButton", Form->CommandPanel, {360, 8, 75, 25}},
      {Form->HeaderControl1, "HeaderControl1", Form.get(), {0, 161, 721, 17}},
      {Form->DirectoryListBox, "DirectoryListBox", Form.get(), {0, 178, 721, 232}},
      {Form->Splitter1, "Splitter1", Form.get(), {0, 410, 721, 3}},
      {Form->DebugListBox, "DebugListBox", Form.get(), {0, 413, 721, 170}},
      {Form->StatusBar1, "StatusBar1", Form.get(), {0, 583, 721, 19}},
      {Form->ProgressBar1, "ProgressBar1", Form->StatusBar1, {1, 2, 199, 17}},  // moved there at creation
  };
  for (const TControl& Item : Controls) {
    EXPECT_EQ(Form->findChild<QWidget*>(Item.Name), Item.Control) << Item.Name;
    EXPECT_EQ(Item.Control->parentWidget(), Item.Parent) << Item.Name;
    EXPECT_EQ(Item.Control->geometry(), Item.Geometry) << Item.Name;
  }

  const std::map<QLabel*, std::pair<QString, QPoint>> Labels = {
      {Form->Label1, {"FTP host name", {8, 8}}},
      {Form->Label2, {"User name", {8, 48}}},
      {Form->Label3, {"Password", {128, 48}}},
  };
  for (const auto& [Label, Expected] : Labels) {
    EXPECT_EQ(Label->text(), Expected.first);
    EXPECT_EQ(Label->pos(), Expected.second);
    EXPECT_EQ(Label->size(), Label->sizeHint());
  }

  EXPECT_EQ(Form->FtpServerEdit->text(), FTP_DEFAULT_HOST);
  EXPECT_EQ(Form->UserIDEdit->text(), FTP_DEFAULT_USER);
  EXPECT_EQ(Form->PasswordEdit->text(), "#7204kq63*");
  EXPECT_EQ(Form->PasswordEdit->echoMode(), QLineEdit::Password);
  EXPECT_EQ(Form->ConnectButton->text(), "CONECTAR");
  EXPECT_TRUE(Form->ConnectButton->isDefault());
  EXPECT_EQ(Form->UsePassive->text(), "Use passive transffer");
  EXPECT_FALSE(Form->UsePassive->isChecked());
  EXPECT_EQ(Form->TraceCheckBox->text(), "Connection trace");
  EXPECT_TRUE(Form->TraceCheckBox->isChecked());
  for (QLineEdit* Empty : {Form->arquivo, Form->llocal, Form->CurrentDirEdit}) EXPECT_EQ(Empty->text(), "");
  EXPECT_EQ(Form->Panel3->Caption, "Current directory is: ");
  EXPECT_EQ(Form->ChDirButton->text(), "Change directory");
  EXPECT_EQ(Form->CreateDirButton->text(), "Make Dir");
  EXPECT_EQ(Form->DownloadButton->text(), "BAIXAR");
  EXPECT_EQ(Form->UploadButton->text(), "Upload");
  EXPECT_EQ(Form->DeleteButton->text(), "Delete");
  EXPECT_EQ(Form->BackButton->text(), "Back");
  EXPECT_EQ(Form->AbortButton->text(), "Abort");
  EXPECT_TRUE(Form->AbortButton->isHidden());

  const char* const Sections[] = {"Name", "Size", "Type", "Modified", "Group", "User", "Permisions"};
  const int Widths[] = {150, 100, 100, 100, 100, 100, 50};
  ASSERT_EQ(Form->HeaderControl1->count(), 7);
  for (int i = 0; i < 7; ++i) {
    EXPECT_EQ(Form->HeaderControl1->model()->headerData(i, Qt::Horizontal).toString(), Sections[i]);
    // Wider where the caption or, for "Modified", a date and time needs it.
    EXPECT_GE(Form->HeaderControl1->sectionSize(i), Widths[i]);
    if (i != 3 && i != 6) {
      EXPECT_EQ(Form->HeaderControl1->sectionSize(i), Widths[i]);
    }
  }
  EXPECT_EQ(Form->DirectoryListBox->font().pixelSize(), 13);
  EXPECT_EQ(Form->DirectoryListBox->contextMenuPolicy(), Qt::CustomContextMenu);
  EXPECT_EQ(Form->Splitter1->cursor().shape(), Qt::SizeVerCursor);
  EXPECT_EQ(Form->StatusBar1->PanelRect(0), QRect(0, 0, 200, 19));
  EXPECT_EQ(Form->StatusBar1->PanelRect(1), QRect(200, 0, 521, 19));  // runs to the right end
}

TEST_F(ClientWindowTest, LayoutFollowsTheWindowSize) {
  Form->setWindowState(Qt::WindowNoState);
  Form->show();
  Form->resize(900, 700);
  QApplication::processEvents();
  ASSERT_EQ(Form->size(), QSize(900, 700));
  EXPECT_EQ(Form->Panel1->geometry(), QRect(0, 0, 900, 121));
  EXPECT_EQ(Form->Panel3->geometry(), QRect(1, 87, 898, 33));
  EXPECT_EQ(Form->DirectoryListBox->geometry(), QRect(0, 178, 900, 330));
  EXPECT_EQ(Form->DebugListBox->geometry(), QRect(0, 511, 900, 170));
  EXPECT_EQ(Form->StatusBar1->geometry(), QRect(0, 681, 900, 19));
}

TEST_F(ClientWindowTest, TabOrder) {
  const std::vector<QWidget*> Expected = {
      Form->FtpServerEdit,  Form->UserIDEdit,  Form->PasswordEdit,   Form->CurrentDirEdit, Form->ChDirButton,
      Form->CreateDirButton, Form->UsePassive, Form->ConnectButton,  Form->TraceCheckBox,  Form->arquivo,
      Form->llocal,         Form->DownloadButton, Form->UploadButton, Form->DeleteButton,   Form->BackButton,
      Form->AbortButton,    Form->DirectoryListBox, Form->DebugListBox};
  std::vector<QWidget*> Chain;
  QWidget* Current = Form->FtpServerEdit;
  do {
    if (Current->focusPolicy() & Qt::TabFocus) Chain.push_back(Current);
    Current = Current->nextInFocusChain();
  } while (Current != Form->FtpServerEdit && Chain.size() < 40);
  EXPECT_EQ(Chain, Expected);
}

TEST_F(ClientWindowTest, PopupMenuItems) {
  const QList<QAction*> Items = Form->PopupMenu1->actions();
  ASSERT_EQ(Items.size(), 5);
  EXPECT_EQ(Items[0]->text(), "Download");
  EXPECT_EQ(Items[1]->text(), "Upload");
  EXPECT_EQ(Items[2]->text(), "Delete");
  EXPECT_TRUE(Items[3]->isSeparator());
  EXPECT_EQ(Items[4]->text(), "Back");
}

TEST_F(ClientWindowTest, SetCommandsEnabledTouchesExactlyTheCommands) {
  const auto Snapshot = [this] {
    std::map<QObject*, bool> States;
    for (QWidget* Control : Form->findChildren<QWidget*>()) States[Control] = Control->isEnabled();
    for (QAction* Item : Form->PopupMenu1->actions()) States[Item] = Item->isEnabled();
    return States;
  };
  // Created disconnected: the commands are off.
  const auto Before = Snapshot();
  Form->SetCommandsEnabled(true);
  const auto After = Snapshot();
  std::set<QObject*> Changed;
  for (const auto& [Object, Enabled] : After)
    if (Before.at(Object) != Enabled) Changed.insert(Object);
  std::set<QObject*> Expected = {Form->DownloadButton, Form->UploadButton, Form->DeleteButton,
                                 Form->BackButton,     Form->ChDirButton,  Form->CreateDirButton};
  for (QAction* Item : Form->PopupMenu1->actions()) Expected.insert(Item);  // the separator too
  EXPECT_EQ(Changed, Expected);

  Form->SetCommandsEnabled(false);
  EXPECT_EQ(Snapshot(), Before);
}

TEST_F(ClientWindowTest, TraceCheckBoxHidesAndShowsTheTraceList) {
  Form->TraceCheckBox->click();
  EXPECT_TRUE(Form->DebugListBox->isHidden());
  EXPECT_TRUE(Form->Splitter1->isHidden());
  EXPECT_EQ(Form->DirectoryListBox->geometry(), QRect(0, 178, 721, 405));
  Form->TraceCheckBox->click();
  EXPECT_FALSE(Form->DebugListBox->isHidden());
  EXPECT_EQ(Form->Splitter1->geometry(), QRect(0, 410, 721, 3));
  EXPECT_EQ(Form->DebugListBox->geometry(), QRect(0, 413, 721, 170));
  EXPECT_EQ(Form->DirectoryListBox->geometry(), QRect(0, 178, 721, 232));
}

TEST_F(ClientWindowTest, SplitterDragResizesTheTraceList) {
  Form->show();
  QTest::mousePress(Form->Splitter1, Qt::LeftButton, {}, QPoint(5, 1));
  QTest::mouseMove(Form->Splitter1, QPoint(5, -49));
  QTest::mouseRelease(Form->Splitter1, Qt::LeftButton, {}, QPoint(5, -49));
  const int Moved = Form->DebugListBox->height() - 170;
  EXPECT_EQ(Moved, 50);
  EXPECT_EQ(Form->Splitter1->geometry().bottom() + 1, Form->DebugListBox->geometry().top());
  EXPECT_EQ(Form->DirectoryListBox->geometry().bottom() + 1, Form->Splitter1->geometry().top());
}

TEST_F(ClientWindowTest, ListingRowsFollowTheHeaderSections) {
  const int Designed[] = {150, 100, 100, 100, 100, 100, 50};
  for (int i = 0; i < 7; ++i) Form->HeaderControl1->resizeSection(i, Designed[i]);
  Form->ListingRow = SampleRow;
  const QRect Row(0, 13, 700, 13);
  TRecordingCanvas Canvas;
  Form->DirectoryListBoxDrawItem(Canvas, 1, Row, false);
  ASSERT_EQ(Canvas.Fills.size(), 7u);
  ASSERT_EQ(Canvas.Texts.size(), 7u);
  EXPECT_EQ(Canvas.Fills[0].Rect, Row);
  const int Lefts[] = {0, 150, 250, 350, 450, 550, 650};
  const int Widths[] = {150, 100, 100, 100, 100, 100, 50};
  const QString Texts[] = {"docs", "5368709120", "Directory", "03/15/2023 12:00", "ftp", "ana", "rw-r-----"};
  for (int k = 0; k < 7; ++k) {
    EXPECT_EQ(Canvas.Texts[static_cast<size_t>(k)].At, QPoint(Lefts[k], 13)) << k;
    EXPECT_EQ(Canvas.Texts[static_cast<size_t>(k)].Text, Texts[k]) << k;
    if (k > 0) {
      EXPECT_EQ(Canvas.Fills[static_cast<size_t>(k)].Rect, QRect(Lefts[k], 13, Widths[k], 13)) << k;
    }
  }
  EXPECT_EQ(Canvas.Texts[0].Color, Form->DirectoryListBox->palette().color(QPalette::Text));

  // Narrowed to its minimum, the name column lets the others move left; the
  // filled size column cuts off a long name.
  Form->HeaderControl1->resizeSection(0, 3);
  EXPECT_EQ(Form->HeaderControl1->sectionSize(0), 10);
  Form->HeaderControl1->resizeSection(6, 0);  // the last section may vanish
  EXPECT_EQ(Form->HeaderControl1->sectionSize(6), 0);
  TRecordingCanvas Narrow;
  Form->DirectoryListBoxDrawItem(Narrow, 0, QRect(0, 0, 700, 13), true);
  ASSERT_EQ(Narrow.Texts.size(), 7u);
  EXPECT_EQ(Narrow.Texts[1].At, QPoint(10, 0));
  EXPECT_EQ(Narrow.Fills[1].Rect, QRect(10, 0, 100, 13));
  EXPECT_EQ(Narrow.Texts[6].At, QPoint(510, 0));
  for (const auto& Fill : Narrow.Fills) EXPECT_EQ(Fill.Color, SelectionBack);
  for (const auto& Text : Narrow.Texts) EXPECT_EQ(Text.Color, White);
}

TEST_F(ClientWindowTest, ListingRowWithoutEntryDrawsNothing) {
  TRecordingCanvas Canvas;
  Form->DirectoryListBoxDrawItem(Canvas, 0, QRect(0, 0, 700, 13), true);  // no listing source yet
  Form->ListingRow = SampleRow;
  Form->DirectoryListBoxDrawItem(Canvas, 2, QRect(0, 26, 700, 13), false);
  EXPECT_TRUE(Canvas.Fills.empty());
  EXPECT_TRUE(Canvas.Texts.empty());
}

TEST_F(ClientWindowTest, ListingRepaintsWhenASectionIsResized) {
  Form->ListingRow = SampleRow;
  Form->DirectoryListBox->addItems({"-rw-r--r-- 1 ana ftp 5 Jan 1 00:00 a", "drwxr-xr-x 2 ana ftp 4096 Jan 1 00:00 docs"});
  Form->show();
  QApplication::processEvents();
  struct TPaintCounter : QObject {
    int Paints = 0;
    bool eventFilter(QObject*, QEvent* AEvent) override {
      if (AEvent->type() == QEvent::Paint) ++Paints;
      return false;
    }
  } Counter;
  Form->DirectoryListBox->viewport()->installEventFilter(&Counter);
  QApplication::processEvents();
  Counter.Paints = 0;
  Form->HeaderControl1->resizeSection(2, 60);
  QApplication::processEvents();
  EXPECT_GT(Counter.Paints, 0);
}

TEST_F(ClientWindowTest, RowsArePaintedThroughTheDrawHandlers) {
  Form->ListingRow = SampleRow;
  Form->DirectoryListBox->addItems({"line 0", "line 1", "line 2"});
  Form->DirectoryListBox->setCurrentRow(1);
  Form->AddTraceLines("<<- ", "220 ready\r\n");
  Form->show();
  QApplication::processEvents();
  const QImage Listing = Form->DirectoryListBox->viewport()->grab().toImage();
  const int X = Listing.width() - 3;  // right of every text
  EXPECT_EQ(QColor(Listing.pixel(X, 13 + 6)), SelectionBack);  // selected row with entry
  EXPECT_NE(QColor(Listing.pixel(X, 6)), SelectionBack);
  Form->DirectoryListBox->setCurrentRow(2);  // selected, but no entry: not drawn
  const QImage NoEntry = Form->DirectoryListBox->viewport()->grab().toImage();
  EXPECT_NE(QColor(NoEntry.pixel(X, 26 + 6)), SelectionBack);

  const QImage Trace = Form->DebugListBox->viewport()->grab().toImage();
  EXPECT_EQ(QColor(Trace.pixel(Trace.width() - 3, 6)), SelectionBack);  // the newest line
}

TEST_F(ClientWindowTest, TraceLinesFromTraffic) {
  Form->NetLogEvent1Sent("PWD\r\n");
  Form->NetLogEvent1Received("257 \"/\" is current\r\n250 ok\r\n");
  Form->NetLogEvent1Received("A\r\n\r\n");
  Form->NetLogEvent1Received("226 done\r");
  Form->NetLogEvent1Received("\n150 next\r\n");
  Form->NetLogEvent1Received("no line end");
  const QStringList Expected = {"->> PWD", "<<- 257 \"/\" is current", "<<- 250 ok", "<<- A", "<<- ",
                                "<<- 226 done", "<<- \n150 next", "<<- no line end"};
  EXPECT_EQ(TraceLines(*Form), Expected);
  EXPECT_EQ(Form->DebugListBox->currentRow(), Expected.size() - 1);  // the newest line is selected
}

TEST_F(ClientWindowTest, PasswordNeverReachesTheTrace) {
  Form->NetLogEvent1Sent("USER " FTP_DEFAULT_USER "\r\n");
  Form->NetLogEvent1Sent("PASS #7204kq63*\r\n");
  const QStringList Lines = TraceLines(*Form);
  ASSERT_EQ(Lines.size(), 2);
  EXPECT_EQ(Lines[0], "->> USER " FTP_DEFAULT_USER);
  EXPECT_EQ(Lines[1], "->> PASS ***");
}

TEST_F(ClientWindowTest, TraceRowColours) {
  Form->NetLogEvent1Sent("PWD\r\n");
  Form->NetLogEvent1Received("257 \"/\"\r\n");
  Form->NetFTP1Status("Connected.");
  Form->AddTraceLines("", ">>x\r\n");
  const QRect Row(0, 0, 700, 13);
  const auto Drawn = [&](int AIndex, bool ASelected) {
    TRecordingCanvas Canvas;
    Form->DebugListBoxDrawItem(Canvas, AIndex, Row, ASelected);
    EXPECT_EQ(Canvas.Fills.size(), 1u);
    EXPECT_EQ(Canvas.Texts.size(), 1u);
    EXPECT_EQ(Canvas.Fills.at(0).Rect, Row);
    EXPECT_EQ(Canvas.Texts.at(0).At, QPoint(0, 0));
    return std::make_pair(Canvas.Fills.at(0).Color, Canvas.Texts.at(0).Color);
  };
  const QColor Background = Form->DebugListBox->palette().color(QPalette::Base);
  EXPECT_EQ(Drawn(0, false), std::make_pair(Background, Red));
  EXPECT_EQ(Drawn(1, false), std::make_pair(Background, Blue));
  EXPECT_EQ(Drawn(2, false), std::make_pair(Background, Blue));
  EXPECT_EQ(Drawn(3, false), std::make_pair(Background, Blue));  // ">>" only at the first character
  EXPECT_EQ(Drawn(0, true), std::make_pair(SelectionBack, White));
  TRecordingCanvas Beyond;
  Form->DebugListBoxDrawItem(Beyond, 4, Row, false);
  EXPECT_TRUE(Beyond.Fills.empty());
}

TEST_F(ClientWindowMirrorTest, StatusReachesTraceStatusBarAndMessageLabel) {
  Form->TraceCheckBox->click();  // hidden trace list: status lines still arrive
  Form->NetFTP1Status("Connecting to 127.0.0.1.");
  EXPECT_EQ(TraceLines(*Form), QStringList{"Connecting to 127.0.0.1."});
  EXPECT_EQ(Form->StatusBar1->PanelText(1), "Connecting to 127.0.0.1.");
  EXPECT_EQ(SendFiles->mensagem->text(), "Connecting to 127.0.0.1.");
  EXPECT_EQ(SendFiles->mensagem->size(), SendFiles->mensagem->sizeHint());
  Form->NetFTP1Disconnected();
  EXPECT_EQ(Form->StatusBar1->PanelText(1), "Disconnected.");
  EXPECT_EQ(SendFiles->mensagem->text(), "Disconnected.");
  EXPECT_EQ(TraceLines(*Form).size(), 1);
}

TEST_F(ClientWindowMirrorTest, WorkEventsDriveBothProgressBars) {
  Form->ExpectedBytes = 5000;
  Form->NetFTP1WorkBegin(WorkModeRead, 0);  // downloads announce no total
  EXPECT_TRUE(Form->TransferRunning);
  EXPECT_FALSE(Form->AbortButton->isHidden());
  EXPECT_EQ(Form->ProgressBar1->Max(), 5000);
  EXPECT_EQ(SendFiles->ProgressBar1->Max(), 5000);
  EXPECT_EQ(CurrentSpeed, 0);

  // A running transfer is aborted at the click, not at the next work event
  // (which a stalled one never raises): nothing is left for the work handler.
  Form->AbortButton->click();
  EXPECT_FALSE(Form->AbortRequested);
  QTest::qWait(20);
  Form->NetFTP1Work(WorkModeRead, 2500);
  EXPECT_FALSE(Form->AbortRequested);
  EXPECT_EQ(Form->ProgressBar1->Position(), 2500);
  EXPECT_EQ(SendFiles->ProgressBar1->Position(), 2500);
  EXPECT_GT(CurrentSpeed, 0);
  const QString Status = Form->StatusBar1->PanelText(1);
  EXPECT_TRUE(Status.startsWith("Download speed ")) << Status.toStdString();
  EXPECT_TRUE(Status.contains(" KB/s; Time remaining ")) << Status.toStdString();
  EXPECT_EQ(SendFiles->mensagem->text(), Status);

  Form->NetFTP1WorkEnd(WorkModeRead);
  EXPECT_TRUE(Form->AbortButton->isHidden());
  EXPECT_FALSE(Form->TransferRunning);
  EXPECT_EQ(Form->ExpectedBytes, 0);
  EXPECT_EQ(Form->ProgressBar1->Position(), 0);
  EXPECT_EQ(SendFiles->ProgressBar1->Position(), 0);
  EXPECT_EQ(Form->StatusBar1->PanelText(1), "Transfer complete.");
  EXPECT_EQ(SendFiles->mensagem->text(), "Transfer complete.");
  EXPECT_EQ(CurrentSpeed, 0);

  Form->NetFTP1WorkBegin(WorkModeWrite, 100);  // an announced total wins
  EXPECT_EQ(SendFiles->ProgressBar1->Max(), 100);
  QTest::qWait(20);
  Form->NetFTP1Work(WorkModeWrite, 10);
  EXPECT_TRUE(Form->StatusBar1->PanelText(1).startsWith("Uploade speed "));
}

TEST_F(ClientWindowMirrorTest, ProgressCopesWithNegativeAndHugeCounts) {
  // The server gave no size: the maximum would be negative.
  Form->ExpectedBytes = -1;
  Form->NetFTP1WorkBegin(WorkModeRead, 0);
  EXPECT_EQ(Form->ProgressBar1->Max(), 0);
  EXPECT_EQ(SendFiles->ProgressBar1->Max(), 0);
  EXPECT_LT(SendFiles->ProgressBar1->minimum(), SendFiles->ProgressBar1->maximum());  // no busy indicator
  Form->NetFTP1Work(WorkModeRead, 4096);
  EXPECT_EQ(SendFiles->ProgressBar1->value(), 0);

  const int64_t Huge = 5LL << 30;  // 5 GiB
  Form->NetFTP1WorkBegin(WorkModeWrite, Huge);
  Form->NetFTP1Work(WorkModeWrite, Huge / 2);
  for (const TWideProgressBar* Bar : {Form->ProgressBar1, SendFiles->ProgressBar1}) {
    EXPECT_EQ(Bar->Max(), Huge);
    EXPECT_EQ(Bar->Position(), Huge / 2);
    EXPECT_NEAR(static_cast<double>(Bar->value()) / Bar->maximum(), 0.5, 1e-6);
  }
  Form->NetFTP1WorkBegin(WorkModeWrite, Huge);
  Form->NetFTP1Work(WorkModeWrite, Huge + 1);  // past the end shows full
  EXPECT_EQ(Form->ProgressBar1->value(), Form->ProgressBar1->maximum());
}

TEST_F(ClientWindowMirrorTest, DisplayRefreshesAtMostEveryIntervalButAbortsAtOnce) {
  Form->ExpectedBytes = 1000000;
  Form->NetFTP1WorkBegin(WorkModeRead, 0);
  Form->NetFTP1Work(WorkModeRead, 1000);  // the first event is always shown
  EXPECT_EQ(SendFiles->ProgressBar1->Position(), 1000);
  const QString First = SendFiles->mensagem->text();
  EXPECT_TRUE(First.startsWith("Download speed ")) << First.toStdString();

  // Right after it: counted, not shown yet; an abort request acts at once.
  Form->AbortRequested = true;
  Form->NetFTP1Work(WorkModeRead, 2000);
  EXPECT_FALSE(Form->AbortRequested);
  EXPECT_EQ(SendFiles->ProgressBar1->Position(), 1000);
  EXPECT_EQ(Form->ProgressBar1->Position(), 1000);

  QTest::qWait(100);  // well past the refresh interval
  Form->NetFTP1Work(WorkModeRead, 3000);
  EXPECT_EQ(SendFiles->ProgressBar1->Position(), 3000);
  EXPECT_EQ(Form->ProgressBar1->Position(), 3000);
  EXPECT_EQ(SendFiles->mensagem->text(), Form->StatusBar1->PanelText(1));
  Form->NetFTP1WorkEnd(WorkModeRead);
}

TEST_F(ClientWindowTest, SaveHostSettingWritesTheServerSection) {
  const QString Name = QCoreApplication::applicationDirPath() + "/FtpHost.ini";
  QFile File(Name);
  QByteArray Saved;
  const bool Existed = File.exists();
  if (Existed && File.open(QIODevice::ReadOnly)) {
    Saved = File.readAll();
    File.close();
  }
  QFile::remove(Name);
  Form->SaveHostSetting("ftp.example.com", "FTPHOST");
  ASSERT_TRUE(File.open(QIODevice::ReadOnly));
  EXPECT_EQ(File.readAll(), "[Server]\nFTPHOST=ftp.example.com\n");
  File.close();
  QFile::remove(Name);
  if (Existed && File.open(QIODevice::WriteOnly)) File.write(Saved);
}

TEST_F(ClientWindowTest, HandlerFailureGoesToTheErrorBoxAndNoFurther) {
  QStringList Shown;
  ErrorBoxHook = [&](const QString& AMessage) { Shown << AMessage; };
  InputBoxHook = [](const QString& ACaption, const QString& APrompt, QString&) -> bool {
    EXPECT_EQ(ACaption, "Make new directory");
    EXPECT_EQ(APrompt, "Name");
    throw std::runtime_error("Input box failed");
  };
  Form->SetCommandsEnabled(true);
  Form->CreateDirButton->click();  // dispatched like a user's click
  EXPECT_EQ(Shown, QStringList{"Input box failed"});

  RunHandler([] { throw std::logic_error("Second failure"); });
  EXPECT_EQ(Shown, (QStringList{"Input box failed", "Second failure"}));
  ErrorBoxHook = nullptr;
  InputBoxHook = nullptr;
}

TEST_F(ClientWindowTest, MakeDirWithEmptyAnswerDoesNothing) {
  InputBoxHook = [](const QString&, const QString&, QString& AValue) {
    AValue.clear();
    return true;
  };
  Form->CreateDirButtonClick();
  EXPECT_FALSE(Form->ChDirButton->isEnabled());  // commands untouched
  InputBoxHook = nullptr;
}

// The window switches the extensions on; [Server] USEEPSV in the settings
// file, read as the window is made, can keep EPSV off.
TEST(ClientWindowSettings, UseEpsvComesFromTheSettingsFile) {
  const QString Name = QString::fromLocal8Bit(SettingsFilePath());
  QDir().mkpath(QFileInfo(Name).absolutePath());
  QFile File(Name);
  const bool Existed = File.exists();
  QByteArray Saved;
  if (Existed && File.open(QIODevice::ReadOnly)) {
    Saved = File.readAll();
    File.close();
  }
  const struct {
    const char* Text;
    bool UseEPSV;
  } Rows[] = {
      {"[Server]\nFTPHOST=h\nUSEEPSV=0\n", false},
      {"[Server]\nUSEEPSV=1\n", true},
      {"[Server]\nFTPHOST=h\n", true},  // the default
      {"[Server]\nUSEEPSV=no\n", true},  // not a switch: the default
  };
  for (const auto& Row : Rows) {
    ASSERT_TRUE(File.open(QIODevice::WriteOnly | QIODevice::Truncate));
    File.write(Row.Text);
    File.close();
    TMainForm Form;
    EXPECT_EQ(Form.NetFTP1->UseEPSV, Row.UseEPSV) << Row.Text;
    EXPECT_TRUE(Form.NetFTP1->UseFEAT);
  }
  if (Existed) {
    ASSERT_TRUE(File.open(QIODevice::WriteOnly | QIODevice::Truncate));
    File.write(Saved);
    File.close();
  } else {
    File.remove();
  }
}
