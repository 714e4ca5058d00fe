// The client window's displays: the owner-drawn listing under its header,
// the coloured trace, the status bar with its progress bar, whose texts and
// values go on to the status and progress events.
#include <QLabel>
#include <QDate>
#include <QDateTime>
#include <QHeaderView>
#include <QListWidget>
#include <QPushButton>
#include <chrono>

#include "appcontrols.h"
#include "appdialogs.h"
#include "mainf.h"

namespace {

const QColor SelectionBack(10, 95, 137);
const QColor SelectionText(255, 255, 255);
const QColor ReceivedText(0, 0, 255);
const QColor SentText(255, 0, 0);

int64_t SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The local date and time as days since 30 December 1899.
double LocalNow() {
  const QDateTime Now = QDateTime::currentDateTime();
  return static_cast<double>(QDate(1899, 12, 30).daysTo(Now.date())) +
         Now.time().msecsSinceStartOfDay() / 86400000.0;
}

}  // namespace

// ---- Listing ----

void TMainForm::DirectoryListBoxDrawItem(TRowCanvas& ACanvas, int AIndex, const QRect& ARect, bool ASelected) {
  if (ASelected) {
    ACanvas.BrushColor = SelectionBack;
    ACanvas.FontColor = SelectionText;
  } else {
    ACanvas.BrushColor = DirectoryListBox->palette().color(QPalette::Base);
    ACanvas.FontColor = DirectoryListBox->palette().color(QPalette::Text);
  }
  const std::optional<TListingColumns> Row = ListingRow ? ListingRow(AIndex) : std::nullopt;
  if (!Row) return;

  // Each column's area is filled before its text is drawn, so a text that is
  // too long is cut where the next column begins; the last one may run on to
  // the row's end.
  ACanvas.FillRect(ARect);
  ACanvas.TextOut(ARect.left(), ARect.top(), FromRemoteText((*Row)[0]));
  int Left = ARect.left() + HeaderControl1->sectionSize(0);
  for (int Column = 1; Column < ListingColumnCount; ++Column) {
    const int Right = Left + HeaderControl1->sectionSize(Column);
    ACanvas.FillRect(QRect(Left, ARect.top(), Right - Left, ARect.height()));
    ACanvas.TextOut(Left, ARect.top(), FromRemoteText((*Row)[static_cast<size_t>(Column)]));
    Left = Right;
  }
}

void TMainForm::HeaderControl1SectionResize() { DirectoryListBox->viewport()->update(); }

void TMainForm::DirectoryListBoxClick(QObject*) {
  // The caption only: the download command ignores the selection. A row
  // without parsed entry fails the lookup.
  const int Row = DirectoryListBox->currentRow();
  if (!IsConnected() || Row < 0) return;
  const bool IsDirectory = NetFTP1->ParsedListing().Items(Row).EntryKind == fekDirectory;
  DownloadButton->setText(IsDirectory ? QStringLiteral("Change dir") : QStringLiteral("Download"));
}

// ---- Trace ----

void TMainForm::DebugListBoxDrawItem(TRowCanvas& ACanvas, int AIndex, const QRect& ARect, bool ASelected) {
  const QListWidgetItem* Item = DebugListBox->item(AIndex);
  if (Item == nullptr) return;
  const QString Text = Item->text();
  ACanvas.FontColor = IsSentTraceLine(ToNetText(Text)) ? SentText : ReceivedText;
  if (ASelected) {
    ACanvas.BrushColor = SelectionBack;
    ACanvas.FontColor = SelectionText;
  } else {
    ACanvas.BrushColor = DebugListBox->palette().color(QPalette::Base);
  }
  ACanvas.FillRect(ARect);
  ACanvas.TextOut(ARect.left(), ARect.top(), Text);
}

void TMainForm::AddTraceLine(const QString& ALine) {
  DebugListBox->addItem(ALine);
  DebugListBox->setCurrentRow(DebugListBox->count() - 1);
  DebugListBox->scrollToBottom();
}

void TMainForm::AddTraceLines(const std::string& APrefix, const std::string& AData) {
  for (const std::string& Line : SplitTraceLines(AData)) AddTraceLine(FromRemoteText(APrefix + Line));
}

void TMainForm::NetLogEvent1Received(const std::string& AData) { AddTraceLines("<<- ", AData); }

void TMainForm::NetLogEvent1Sent(const std::string& AData) { AddTraceLines("->> ", MaskSentPassword(AData)); }

// ---- Status and progress ----

void TMainForm::ShowStatusText(const QString& AText) {
  StatusBar1->SetPanelText(1, AText);
  if (OnStatusText) OnStatusText(AText);
}

void TMainForm::NetFTP1Status(const std::string& AStatusText) {
  // Also while the trace list is hidden.
  const QString Text = FromNetText(AStatusText);
  AddTraceLine(Text);
  ShowStatusText(Text);
}

void TMainForm::NetFTP1Disconnected() {
  EncryptionLabel->clear();
  ShowStatusText(QStringLiteral("Disconnected."));
}

void TMainForm::NetFTP1WorkBegin(int, int64_t AWorkCountMax) {
  TransferRunning = true;
  AbortButton->show();
  AbortRequested = false;
  TransferStartTime = LocalNow();
  // The speed is measured on a clock that no change of the local time moves.
  FWorkStartMs = SteadyMs();
  FLastDisplayMs = -1;
  // Downloads and listings announce no total.
  const int64_t Max = AWorkCountMax > 0 ? AWorkCountMax : ExpectedBytes;
  ProgressBar1->SetMax(Max);
  if (OnProgressMax) OnProgressMax(Max);
  CurrentSpeed = 0;
}

void TMainForm::NetFTP1Work(int AWorkMode, int64_t AWorkCount) {
  const int64_t Now = SteadyMs();
  CurrentSpeed = TransferSpeed(Now - FWorkStartMs, AWorkCount, CurrentSpeed);
  // A work event comes with every received or sent block (every 8 KiB here).
  // Laying out and painting the texts and bars that often would cost the
  // transfer most of its speed, so they are refreshed with the first event
  // and then at most every DisplayIntervalMs; an abort is acted on at once.
  const bool Refresh = FLastDisplayMs < 0 || Now - FLastDisplayMs >= DisplayIntervalMs;
  if (Refresh) {
    FLastDisplayMs = Now;
    const std::string Remaining = RemainingTimeText(ProgressBar1->Max(), AWorkCount, CurrentSpeed);
    ShowStatusText(FromNetText(WorkSpeedText(AWorkMode, SpeedText(CurrentSpeed, Remaining, SystemSeparators().Decimal))));
  }
  if (AbortRequested) NetFTP1->AbortTransfer();
  if (Refresh) {
    ProgressBar1->SetPosition(AWorkCount);
    if (OnProgressPosition) OnProgressPosition(AWorkCount);
  }
  AbortRequested = false;
}

void TMainForm::NetFTP1WorkEnd(int) {
  AbortButton->hide();
  ShowStatusText(QStringLiteral("Transfer complete."));
  ExpectedBytes = 0;
  TransferRunning = false;
  ProgressBar1->SetPosition(0);
  if (OnProgressPosition) OnProgressPosition(0);
  CurrentSpeed = 0;
}
