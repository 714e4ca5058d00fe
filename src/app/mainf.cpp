#include "mainf.h"

#include <QAbstractButton>
#include <QAction>
#include <QActionGroup>
#include <QCheckBox>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QScopeGuard>
#include <QStandardItemModel>
#include <QStyle>
#include <algorithm>

#include "NetExceptions.h"
#include "NetFTPResumeRecord.h"
#include "appcontrols.h"
#include "appdialogs.h"
#include "downloadplan.h"
#include "idletimeout.h"
#include "inifile.h"
#include "settingsplace.h"
#include "tlssetup.h"

#ifndef FTP_DEFAULT_HOST
#define FTP_DEFAULT_HOST "localhost"
#endif
#ifndef FTP_DEFAULT_USER
#define FTP_DEFAULT_USER "remessa@localhost"
#endif

TMainForm* MainForm = nullptr;
double CurrentSpeed = 0;

namespace {

constexpr int Panel1Height = 121;
constexpr int Panel3Height = 33;
constexpr int CommandPanelHeight = 40;
constexpr int HeaderHeight = 17;
constexpr int SplitterHeight = 3;
constexpr int StatusBarHeight = 19;
constexpr int MinPaneHeight = 30;  // neither list is dragged smaller

struct TSection {
  const char* Text;
  int Width;
};
constexpr TSection Sections[ListingColumnCount] = {{"Name", 150},     {"Size", 100},  {"Type", 100},
                                                   {"Modified", 100}, {"Group", 100}, {"User", 100},
                                                   {"Permisions", 50}};
// Every section but the last keeps at least this width.
constexpr int SectionMinimum = 10;
// The "Modified" section and the widest text of its column ("mm/dd/yyyy hh:mm").
constexpr int ModifiedSection = 3;
constexpr const char* ModifiedSample = "12/31/2000 23:59";
// Room between the "Current directory is:" caption and the field after it.
constexpr int CaptionGap = 4;

template <class T>
T* Place(T* AControl, const char* AName, int ALeft, int ATop, int AWidth, int AHeight) {
  AControl->setObjectName(QString::fromLatin1(AName));
  AControl->setGeometry(ALeft, ATop, AWidth, AHeight);
  return AControl;
}

QLabel* NewLabel(QWidget* AParent, const char* AName, const QString& ACaption, int ALeft, int ATop) {
  auto* Label = new QLabel(ACaption, AParent);
  Label->setObjectName(QString::fromLatin1(AName));
  Label->adjustSize();
  Label->move(ALeft, ATop);
  return Label;
}

QPushButton* NewButton(QWidget* AParent, const char* AName, const QString& ACaption, int ALeft, int ATop,
                       int AWidth, int AHeight) {
  // In a dialog every button is an auto-default one: Enter clicks the focused
  // button, and the default button while no other button has the focus.
  return Place(new QPushButton(ACaption, AParent), AName, ALeft, ATop, AWidth, AHeight);
}

}  // namespace

TMainForm::TMainForm(QWidget* AParent) : QDialog(AParent) {
  setObjectName(QStringLiteral("MainForm"));
  setWindowFlags(Qt::Window);
  setWindowTitle(QStringLiteral("FTP client demo"));
  setFont(WindowFont());
  resize(721, 602);
  setWindowState(Qt::WindowMaximized);

  CreateComponents();
  CreatePanel1();
  CreateCommandPanel();
  CreateListsAndStatus();
  CreatePopupMenu();
  CreateTLSMenu();

  QWidget::setTabOrder(FtpServerEdit, UserIDEdit);
  QWidget::setTabOrder(UserIDEdit, PasswordEdit);
  QWidget::setTabOrder(PasswordEdit, CurrentDirEdit);
  QWidget::setTabOrder(CurrentDirEdit, ChDirButton);
  QWidget::setTabOrder(ChDirButton, CreateDirButton);
  QWidget::setTabOrder(CreateDirButton, UsePassive);
  QWidget::setTabOrder(UsePassive, ConnectButton);
  QWidget::setTabOrder(ConnectButton, TraceCheckBox);
  QWidget::setTabOrder(TraceCheckBox, arquivo);
  QWidget::setTabOrder(arquivo, llocal);
  QWidget::setTabOrder(llocal, DownloadButton);
  QWidget::setTabOrder(DownloadButton, UploadButton);
  QWidget::setTabOrder(UploadButton, DeleteButton);
  QWidget::setTabOrder(DeleteButton, BackButton);
  QWidget::setTabOrder(BackButton, AbortButton);
  QWidget::setTabOrder(AbortButton, DirectoryListBox);
  QWidget::setTabOrder(DirectoryListBox, DebugListBox);

  // Captions drawn in a wider face than the design's widen their buttons.
  for (QAbstractButton* Button : findChildren<QAbstractButton*>()) WidenToCaption(Button);

  ConnectHandlers();
  ArrangeControls();
  FormCreate(this);
}

TMainForm::~TMainForm() {
  // Nothing of this window may run once its destruction has begun: neither a
  // control's signal (the controls go after this body) nor an event of the
  // components, whose connection is dropped as the client goes (no QUIT, no
  // disconnect events).
  for (QObject* Child : findChildren<QObject*>()) Child->disconnect(this);
  NetFTP1->OnStatus = nullptr;
  NetFTP1->OnDisconnected = nullptr;
  NetFTP1->OnWorkBegin = nullptr;
  NetFTP1->OnWork = nullptr;
  NetFTP1->OnWorkEnd = nullptr;
  NetLogEvent1->OnReceived = nullptr;
  NetLogEvent1->OnSent = nullptr;
  ListingRow = nullptr;
  AskTrust = nullptr;
  OnStatusText = nullptr;
  OnProgressMax = nullptr;
  OnProgressPosition = nullptr;
  NetFTP1.reset();
  NetLogEvent1.reset();
  NetAntiFreeze1.reset();
  if (MainForm == this) MainForm = nullptr;
}

void TMainForm::CreateComponents() {
  NetFTP1 = std::make_unique<TNetFTP>();
  NetFTP1->MaxLineAction = maException;
  NetFTP1->RecvBufferSize = 8192;
  NetFTP1->SendBufferSize = 4096;
  NetFTP1->SetProxySettings(TNetFtpProxySettings());  // no proxy, port 0
  NetFTP1->Passive = false;
  // The extensions of today's servers: the feature list (and UTF-8 names
  // when listed), and EPSV before PASV unless [Server] USEEPSV=0 says not.
  NetFTP1->UseFEAT = true;
  NetFTP1->UseEPSV = ReadServerSwitch(QStringLiteral("USEEPSV"), true);
  NetFTP1->Password = "ftp@localhost";  // replaced at every connect
  NetFTP1->OnStatus = [this](TNetBaseComponent*, TNetStatus, const std::string& AText) { NetFTP1Status(AText); };
  NetFTP1->OnDisconnected = [this](TNetBaseComponent*) { NetFTP1Disconnected(); };
  NetFTP1->OnWorkBegin = [this](TNetBaseComponent*, TWorkMode AMode, int64_t AMax) { NetFTP1WorkBegin(AMode, AMax); };
  NetFTP1->OnWork = [this](TNetBaseComponent*, TWorkMode AMode, int64_t ACount) { NetFTP1Work(AMode, ACount); };
  NetFTP1->OnWorkEnd = [this](TNetBaseComponent*, TWorkMode AMode) { NetFTP1WorkEnd(AMode); };

  // Its stored settings are applied as a whole: switching it on takes effect
  // once loading has ended.
  NetLogEvent1 = std::make_unique<TNetLogEvent>();
  NetLogEvent1->BeginLoading();
  NetLogEvent1->SetActive(true);
  NetLogEvent1->LogTime = false;
  NetLogEvent1->ReplaceCRLF = false;
  NetLogEvent1->OnReceived = [this](TNetBaseComponent*, const std::string&, const std::string& AData) {
    NetLogEvent1Received(AData);
  };
  NetLogEvent1->OnSent = [this](TNetBaseComponent*, const std::string&, const std::string& AData) {
    NetLogEvent1Sent(AData);
  };
  NetLogEvent1->EndLoading();

  NetAntiFreeze1 = std::make_unique<TNetAntiFreeze>();
  NetAntiFreeze1->IdleTimeOut = 50;
  NetAntiFreeze1->OnlyWhenIdle = false;

  ListingRow = [this](int AIndex) -> std::optional<TListingColumns> {
    TNetFTPListItems& Entries = NetFTP1->ParsedListing();
    if (AIndex < 0 || AIndex >= Entries.Count()) return std::nullopt;
    const TNetFTPListItem& Entry = Entries.Items(AIndex);
    return ListingColumnTexts(TListingEntryView{Entry.ItemName, Entry.ByteSize, Entry.EntryKind == fekDirectory,
                                                Entry.ModifiedAt, Entry.Group, Entry.Owner, Entry.OwnerRights,
                                                Entry.GroupRights, Entry.OtherRights},
                              SystemSeparators());
  };
}

void TMainForm::CreatePanel1() {
  Panel1 = Place(new TBevelPanel(this), "Panel1", 0, 0, 721, Panel1Height);

  Label1 = NewLabel(Panel1, "Label1", QStringLiteral("FTP host name"), 8, 8);
  FtpServerEdit = Place(new QLineEdit(QStringLiteral(FTP_DEFAULT_HOST), Panel1), "FtpServerEdit", 8, 24, 233, 21);
  ConnectButton = NewButton(Panel1, "ConnectButton", QStringLiteral("CONECTAR"), 248, 21, 75, 25);
  ConnectButton->setDefault(true);
  UsePassive = Place(new QCheckBox(QStringLiteral("Use passive transffer"), Panel1), "UsePassive", 328, 24, 121, 17);
  Label2 = NewLabel(Panel1, "Label2", QStringLiteral("User name"), 8, 48);
  Label3 = NewLabel(Panel1, "Label3", QStringLiteral("Password"), 128, 48);
  UserIDEdit = Place(new QLineEdit(QStringLiteral(FTP_DEFAULT_USER), Panel1), "UserIDEdit", 8, 64, 113, 21);
  PasswordEdit = Place(new QLineEdit(QStringLiteral("#7204kq63*"), Panel1), "PasswordEdit", 128, 64, 113, 21);
  PasswordEdit->setEchoMode(QLineEdit::Password);
  // "*" for each character, whatever the style would show.
  PasswordEdit->setStyleSheet(QStringLiteral("QLineEdit { lineedit-password-character: 42; }"));
  TraceCheckBox = Place(new QCheckBox(QStringLiteral("Connection trace"), Panel1), "TraceCheckBox", 248, 64, 113, 17);
  TraceCheckBox->setChecked(true);
  arquivo = Place(new QLineEdit(Panel1), "arquivo", 464, 8, 217, 21);
  llocal = Place(new QLineEdit(Panel1), "llocal", 464, 32, 217, 21);

  // Bottom-aligned inside Panel1; ArrangeControls sizes it.
  Panel3 = new TBevelPanel(Panel1);
  Panel3->setObjectName(QStringLiteral("Panel3"));
  Panel3->BevelOuter = bcLowered;
  Panel3->BevelInner = bcRaised;
  Panel3->Caption = QStringLiteral("Current directory is: ");
  Panel3->CaptionAlignment = Qt::AlignLeft;
  CurrentDirEdit = Place(new QLineEdit(Panel3), "CurrentDirEdit", 96, 6, 193, 21);
  ChDirButton = NewButton(Panel3, "ChDirButton", QStringLiteral("Change directory"), 296, 4, 105, 25);
  CreateDirButton = NewButton(Panel3, "CreateDirButton", QStringLiteral("Make Dir"), 408, 4, 73, 25);
  // The caption is painted at the panel's left; where the face is wider than
  // the design's, the controls after it move right rather than cover it.
  const int CaptionEnd =
      Panel3->BevelSize() + Panel3->fontMetrics().horizontalAdvance(Panel3->Caption.trimmed()) + CaptionGap;
  if (const int Shift = CaptionEnd - CurrentDirEdit->x(); Shift > 0)
    for (QWidget* Control : {static_cast<QWidget*>(CurrentDirEdit), static_cast<QWidget*>(ChDirButton),
                             static_cast<QWidget*>(CreateDirButton)})
      Control->move(Control->x() + Shift, Control->y());
}

void TMainForm::CreateCommandPanel() {
  CommandPanel = Place(new TBevelPanel(this), "CommandPanel", 0, Panel1Height, 721, CommandPanelHeight);
  CommandPanel->BevelOuter = bcLowered;
  CommandPanel->BevelInner = bcRaised;
  DownloadButton = NewButton(CommandPanel, "DownloadButton", QStringLiteral("BAIXAR"), 8, 7, 75, 25);
  UploadButton = NewButton(CommandPanel, "UploadButton", QStringLiteral("Upload"), 96, 8, 75, 25);
  DeleteButton = NewButton(CommandPanel, "DeleteButton", QStringLiteral("Delete"), 184, 7, 75, 25);
  BackButton = NewButton(CommandPanel, "BackButton", QStringLiteral("Back"), 272, 8, 75, 25);
  AbortButton = NewButton(CommandPanel, "AbortButton", QStringLiteral("Abort"), 360, 8, 75, 25);
  AbortButton->hide();
}

void TMainForm::CreateListsAndStatus() {
  HeaderControl1 = new QHeaderView(Qt::Horizontal, this);
  HeaderControl1->setObjectName(QStringLiteral("HeaderControl1"));
  FHeaderModel = new QStandardItemModel(0, ListingColumnCount, HeaderControl1);
  for (int i = 0; i < ListingColumnCount; ++i)
    FHeaderModel->setHorizontalHeaderItem(i, new QStandardItem(QString::fromLatin1(Sections[i].Text)));
  HeaderControl1->setModel(FHeaderModel);
  HeaderControl1->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  HeaderControl1->setSectionResizeMode(QHeaderView::Interactive);
  HeaderControl1->setStretchLastSection(false);
  HeaderControl1->setHighlightSections(false);
  // The library has one minimum for all sections; the last one may shrink to
  // nothing, the others are held at SectionMinimum by EnforceSectionMinimum.
  HeaderControl1->setMinimumSectionSize(0);
  // A section is never narrower than its caption (with the style's margins),
  // and the "Modified" one holds a whole date and time in the listing's face.
  const int HeaderMargins = 2 * HeaderControl1->style()->pixelMetric(QStyle::PM_HeaderMargin, nullptr, HeaderControl1);
  for (int i = 0; i < ListingColumnCount; ++i) {
    int Width = std::max(Sections[i].Width,
                         HeaderControl1->fontMetrics().horizontalAdvance(QString::fromLatin1(Sections[i].Text)) +
                             HeaderMargins);
    if (i == ModifiedSection)
      Width = std::max(Width, QFontMetrics(ListingFont()).horizontalAdvance(QString::fromLatin1(ModifiedSample)) + 4);
    HeaderControl1->resizeSection(i, Width);
  }

  DirectoryListBox = new QListWidget(this);
  DirectoryListBox->setObjectName(QStringLiteral("DirectoryListBox"));
  DirectoryListBox->setFont(ListingFont());
  DirectoryListBox->setUniformItemSizes(true);
  DirectoryListBox->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  DirectoryListBox->setContextMenuPolicy(Qt::CustomContextMenu);
  const int ListingRowHeight = ListRowHeight(ListingFont());
  DirectoryListBox->setItemDelegate(new TOwnerDrawDelegate(
      DirectoryListBox, ListingRowHeight, [this](TRowCanvas& ACanvas, int AIndex, const QRect& ARect, bool ASelected) {
        DirectoryListBoxDrawItem(ACanvas, AIndex, ARect, ASelected);
      }));

  Splitter1 = new TResizeBar(this);
  Splitter1->setObjectName(QStringLiteral("Splitter1"));

  DebugListBox = new QListWidget(this);
  DebugListBox->setObjectName(QStringLiteral("DebugListBox"));
  DebugListBox->setUniformItemSizes(true);
  DebugListBox->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  const int TraceRowHeight = ListRowHeight(WindowFont());
  DebugListBox->setItemDelegate(new TOwnerDrawDelegate(
      DebugListBox, TraceRowHeight, [this](TRowCanvas& ACanvas, int AIndex, const QRect& ARect, bool ASelected) {
        DebugListBoxDrawItem(ACanvas, AIndex, ARect, ASelected);
      }));

  StatusBar1 = new TPanelStatusBar(this, {200, 50});
  StatusBar1->setObjectName(QStringLiteral("StatusBar1"));

  // FormCreate moves it into the status bar.
  ProgressBar1 = Place(new TWideProgressBar(this), "ProgressBar1", 0, 0, 199, 17);
}

void TMainForm::CreatePopupMenu() {
  PopupMenu1 = new QMenu(this);
  PopupMenu1->setObjectName(QStringLiteral("PopupMenu1"));
  const auto Item = [this](const QString& ACaption, void (TMainForm::*AHandler)(QObject*)) {
    QAction* Action = PopupMenu1->addAction(ACaption);
    connect(Action, &QAction::triggered, this, [this, Action, AHandler] { RunHandler([&] { (this->*AHandler)(Action); }); });
    FMenuItems.push_back(Action);
  };
  Item(QStringLiteral("Download"), &TMainForm::DirectoryListBoxDblClick);
  Item(QStringLiteral("Upload"), &TMainForm::UploadButtonClick);
  Item(QStringLiteral("Delete"), &TMainForm::DeleteButtonClick);
  FMenuItems.push_back(PopupMenu1->addSeparator());
  Item(QStringLiteral("Back"), &TMainForm::BackButtonClick);
}

void TMainForm::CreateTLSMenu() {
  TLSMenu = new QMenu(this);
  TLSMenu->setObjectName(QStringLiteral("TLSMenu"));
  auto* Group = new QActionGroup(TLSMenu);
  const std::pair<TNetFTPTLSMode, const char*> Items[] = {
      {tlsOff, "TLS off"},
      {tlsAuto, "TLS when the server offers it"},
      {tlsRequired, "TLS required"},
      {tlsImplicit, "Implicit TLS (port 990)"},
  };
  for (const auto& [Mode, Caption] : Items) {
    QAction* Action = TLSMenu->addAction(QString::fromLatin1(Caption));
    Action->setCheckable(true);
    Group->addAction(Action);
    connect(Action, &QAction::triggered, this, [this, Mode = Mode] { RunHandler([&] { TLSModeClick(Mode); }); });
    TLSModeItems.push_back(Action);
  }
  Panel1->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(Panel1, &QWidget::customContextMenuRequested, this,
          [this](const QPoint& APos) { TLSMenu->popup(Panel1->mapToGlobal(APos)); });

  EncryptionLabel = new QLabel(StatusBar1);
  EncryptionLabel->setObjectName(QStringLiteral("EncryptionLabel"));
  EncryptionLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
}

void TMainForm::ConnectHandlers() {
  const auto OnClick = [this](QPushButton* AButton, void (TMainForm::*AHandler)(QObject*)) {
    connect(AButton, &QPushButton::clicked, this, [this, AButton, AHandler] { RunHandler([&] { (this->*AHandler)(AButton); }); });
  };
  OnClick(ConnectButton, &TMainForm::ConnectButtonClick);
  OnClick(ChDirButton, &TMainForm::ChDirButtonClick);
  OnClick(CreateDirButton, &TMainForm::CreateDirButtonClick);
  OnClick(DownloadButton, &TMainForm::DirectoryListBoxDblClick);
  OnClick(UploadButton, &TMainForm::UploadButtonClick);
  OnClick(DeleteButton, &TMainForm::DeleteButtonClick);
  OnClick(BackButton, &TMainForm::BackButtonClick);
  OnClick(AbortButton, &TMainForm::AbortButtonClick);

  // A change of state runs the handler, also when made by the program.
  connect(UsePassive, &QCheckBox::toggled, this, [this] { RunHandler([this] { UsePassiveClick(UsePassive); }); });
  connect(TraceCheckBox, &QCheckBox::toggled, this,
          [this] { RunHandler([this] { TraceCheckBoxClick(TraceCheckBox); }); });

  // The listing stays enabled while a command runs; a download started from
  // it then would be a second transfer on the busy client.
  connect(DirectoryListBox, &QListWidget::itemDoubleClicked, this, [this] {
    if (FCommandDepth == 0) RunHandler([this] { DirectoryListBoxDblClick(DirectoryListBox); });
  });
  connect(DirectoryListBox, &QListWidget::currentRowChanged, this,
          [this] { RunHandler([this] { DirectoryListBoxClick(DirectoryListBox); }); });
  connect(DirectoryListBox, &QWidget::customContextMenuRequested, this,
          [this](const QPoint& APos) { PopupMenu1->popup(DirectoryListBox->viewport()->mapToGlobal(APos)); });

  connect(HeaderControl1, &QHeaderView::sectionResized, this, [this](int ASection, int, int ANewSize) {
    EnforceSectionMinimum(ASection, ANewSize);
    HeaderControl1SectionResize();
  });

  Splitter1->OnDragStart = [this] { FTraceHeightAtDragStart = DebugListBox->height(); };
  Splitter1->OnDrag = [this](int ADelta) {
    const int Room = height() - StatusBarHeight - SplitterHeight - (Panel1Height + CommandPanelHeight + HeaderHeight);
    FTraceHeight = std::max(MinPaneHeight, std::min(FTraceHeightAtDragStart - ADelta, Room - MinPaneHeight));
    ArrangeControls();
  };
}

void TMainForm::EnforceSectionMinimum(int ASection, int ANewSize) {
  if (ASection < ListingColumnCount - 1 && ANewSize < SectionMinimum)
    HeaderControl1->resizeSection(ASection, SectionMinimum);
}

void TMainForm::ArrangeControls() {
  const int Width = width();
  Panel1->setGeometry(0, 0, Width, Panel1Height);
  const int Bevel = Panel1->BevelSize();
  Panel3->setGeometry(Bevel, Panel1Height - Bevel - Panel3Height, Width - 2 * Bevel, Panel3Height);
  CommandPanel->setGeometry(0, Panel1Height, Width, CommandPanelHeight);
  const int ListTop = Panel1Height + CommandPanelHeight + HeaderHeight;
  HeaderControl1->setGeometry(0, Panel1Height + CommandPanelHeight, Width, HeaderHeight);

  int Bottom = height() - StatusBarHeight;
  StatusBar1->setGeometry(0, Bottom, Width, StatusBarHeight);
  // Inside the last panel, at its right end.
  EncryptionLabel->setGeometry(std::max(0, Width - 260), 3, std::min(Width, 254), StatusBarHeight - 5);
  if (DebugListBox->isVisibleTo(this)) {
    const int TraceHeight = std::clamp(FTraceHeight, 0, std::max(0, Bottom - ListTop - SplitterHeight));
    Bottom -= TraceHeight;
    DebugListBox->setGeometry(0, Bottom, Width, TraceHeight);
    Bottom -= SplitterHeight;
    Splitter1->setGeometry(0, Bottom, Width, SplitterHeight);
  }
  DirectoryListBox->setGeometry(0, ListTop, Width, std::max(0, Bottom - ListTop));
}

void TMainForm::resizeEvent(QResizeEvent* AEvent) {
  QDialog::resizeEvent(AEvent);
  ArrangeControls();
}

void TMainForm::keyPressEvent(QKeyEvent* AEvent) {
  // The window has no cancel button: Esc does not close it.
  if (AEvent->key() == Qt::Key_Escape && AEvent->modifiers() == Qt::NoModifier) {
    AEvent->ignore();
    return;
  }
  QDialog::keyPressEvent(AEvent);
}

int TMainForm::ShowModal() {
  setWindowState(windowState() | Qt::WindowMaximized);
  return exec();
}

bool TMainForm::IsConnected() { return NetFTP1->IsConnected(); }

// ---- Shared routines ----

void TMainForm::SetCommandsEnabled(bool AEnabled) {
  for (QObject* Child : CommandPanel->children()) {
    auto* Control = qobject_cast<QWidget*>(Child);
    if (Control != nullptr && Control->objectName() != QLatin1String("AbortButton")) Control->setEnabled(AEnabled);
  }
  for (QAction* Item : FMenuItems) Item->setEnabled(AEnabled);
  ChDirButton->setEnabled(AEnabled);
  CreateDirButton->setEnabled(AEnabled);
}

void TMainForm::ChangeDirAndList(const QString& AFolder) {
  const TRunningCommand Running(FCommandDepth);
  TStringList Lines;
  SetCommandsEnabled(false);
  const auto Enable = qScopeGuard([this] { SetCommandsEnabled(true); });
  // An empty text goes out as an empty argument.
  NetFTP1->ChangeDirectory(ToRemoteText(AFolder));
  NetFTP1->SetTransferType(ftASCII);
  CurrentDirEdit->setText(FromRemoteText(NetFTP1->CurrentDirectory()));
  DirectoryListBox->clear();
  NetFTP1->ListDirectory(&Lines, "", true);
  ShowListingLines(Lines);
}

void TMainForm::ShowListingLines(const std::vector<std::string>& ALines) {
  DirectoryListBox->clear();
  for (size_t i = ListingStartsWithTotal(ALines) ? 1 : 0; i < ALines.size(); ++i)
    DirectoryListBox->addItem(FromRemoteText(ALines[i]));
}

bool TMainForm::ListingStartsWithTotal(const std::vector<std::string>& ALines) {
  // Exactly when the parser leaves it out, so that every row keeps its entry.
  return !ALines.empty() && IsListingTotalLine(NetFTP1->ParsedListing().ListingFormat, ALines.front());
}

void TMainForm::SaveHostSetting(const QString& AValue, const QString& AKey) {
  const QString Path = QString::fromLocal8Bit(SettingsFilePath());
  // The settings folder of an installed program is made with its first
  // setting; a folder that cannot be made fails as the write.
  QDir().mkpath(QFileInfo(Path).absolutePath());
  WriteIniString(Path, "Server", ToNetText(AKey), ToNetText(AValue));
}

bool TMainForm::ReadServerSwitch(const QString& AKey, bool ADefault) const {
  std::string Path;
  try {
    Path = SettingsFilePath();
  } catch (const std::runtime_error&) {
    return ADefault;  // no place for settings: nothing was ever set
  }
  const std::string Value = ReadIniString(QString::fromLocal8Bit(Path), "Server", ToNetText(AKey), "");
  if (Value == "1") return true;
  if (Value == "0") return false;
  return ADefault;
}

std::string TMainForm::ToRemoteText(const QString& AText) const {
  return NetFTP1->UTF8Names() ? AText.toUtf8().toStdString() : ToNetText(AText);
}

QString TMainForm::FromRemoteText(const std::string& AText) const {
  return NetFTP1->UTF8Names() ? QString::fromUtf8(AText.data(), static_cast<qsizetype>(AText.size()))
                              : FromNetText(AText);
}

void TMainForm::ShowDisconnectedState() {
  CurrentDirEdit->setText(QStringLiteral("/"));
  DirectoryListBox->clear();
  SetCommandsEnabled(false);
  ConnectButton->setText(QStringLiteral("Connect"));
  ConnectButton->setEnabled(true);
  ConnectButton->setDefault(true);
  ShowEncryptionState();
}

void TMainForm::ShowEncryptionState() {
  if (!IsConnected())
    EncryptionLabel->clear();
  else if (NetFTP1->ControlEncrypted())
    EncryptionLabel->setText(QStringLiteral("Encrypted (%1)").arg(FromNetText(NetFTP1->TLSDescription())));
  else
    EncryptionLabel->setText(QStringLiteral("Not encrypted"));
}

void TMainForm::OpenTrustedSession() {
  TTrustStore Store(TrustStorePath());
  Store.ApplyTo(NetFTP1->TLSTrust);
  // Implicit TLS has a port of its own; a port set on purpose stays.
  const int32_t Port = NetFTP1->Port;
  const auto RestorePort = qScopeGuard([this, Port] { NetFTP1->Port = Port; });
  if (NetFTP1->TLSMode == tlsImplicit && Port == 21) NetFTP1->Port = 990;
  try {
    NetFTP1->OpenSession(true, DefaultTimeLimit);
    return;
  } catch (const ENetTLSCertificateRefused& E) {
    if (!TrustRefusedCertificate(E)) {
      const std::optional<std::string> Stored = TTrustStore(TrustStorePath()).Fingerprint(E.Host, E.Port);
      const std::string Server = E.Host + ":" + std::to_string(E.Port);
      if (Stored && *Stored != E.Fingerprint)
        throw ECertificateNotTrusted("Not connected: the certificate of " + Server +
                                     " has changed (trusted " + *Stored + ", offered " + E.Fingerprint + ").");
      throw ECertificateNotTrusted("Not connected: the certificate of " + Server + " was not trusted.");
    }
  }
  // Once more with the certificate trusted; another refusal (the server
  // changed its certificate meanwhile) ends the connect.
  TTrustStore(TrustStorePath()).ApplyTo(NetFTP1->TLSTrust);
  NetFTP1->OpenSession(true, DefaultTimeLimit);
}

bool TMainForm::TrustRefusedCertificate(const ENetTLSCertificateRefused& ARefused) {
  // No certificate at all: nothing to trust.
  if (ARefused.Host.empty() || ARefused.Fingerprint.rfind("SHA256:", 0) != 0) return false;
  TTrustStore Store(TrustStorePath());
  const auto Ask = [this](const TTrustQuestion& AQuestion) {
    return AskTrust ? AskTrust(AQuestion) : ShowTrustQuestion(this, AQuestion);
  };
  const std::optional<std::string> Stored = Store.Fingerprint(ARefused.Host, ARefused.Port);
  if (Stored && *Stored != ARefused.Fingerprint) {
    const QString Warning = QStringLiteral("Certificate of %1:%2 changed")
                                .arg(FromNetText(ARefused.Host))
                                .arg(ARefused.Port);
    AddTraceLine(Warning);
    ShowStatusText(Warning);
    if (!Ask(ChangedCertificateQuestion(ARefused, *Stored))) return false;
    if (!Ask(ConfirmReplaceQuestion(ARefused, *Stored))) return false;
  } else if (!Ask(NewCertificateQuestion(ARefused))) {
    return false;
  }
  Store.Store(ARefused.Host, ARefused.Port, ARefused.Fingerprint);
  return true;
}

// ---- Command handlers ----

void TMainForm::ConnectButtonClick(QObject*) {
  // Every connect from this window runs in passive mode; the change of state
  // runs UsePassiveClick.
  UsePassive->setChecked(true);
  // Disabled until this click has been handled, so that no second
  // connection can be opened meanwhile.
  ConnectButton->setEnabled(false);

  if (IsConnected()) {
    const auto Reset = qScopeGuard([this] { ShowDisconnectedState(); });
    if (TransferRunning) NetFTP1->AbortTransfer();
    // Also safe while a command of this window is blocked beneath this
    // handler: the connection frees its handler once that call has returned.
    NetFTP1->Quit();
    return;
  }

  const auto Finish = qScopeGuard([this] {
    ConnectButton->setEnabled(true);
    if (IsConnected()) {
      ConnectButton->setText(QStringLiteral("Disconnect"));
      ConnectButton->setDefault(false);
    }
  });
  const TRunningCommand Running(FCommandDepth);
  // The port stays what it is (the FTP default).
  NetFTP1->Username = ToNetText(UserIDEdit->text());
  NetFTP1->Password = ToNetText(PasswordEdit->text());
  NetFTP1->Host = ToNetText(FtpServerEdit->text());
  OpenTrustedSession();
  ShowEncryptionState();
  ChangeDirAndList(CurrentDirEdit->text());
  SetCommandsEnabled(true);
  SaveHostSetting(FtpServerEdit->text(), QStringLiteral("FTPHOST"));
}

void TMainForm::DirectoryListBoxDblClick(QObject*) {
  // Downloads the file named in arquivo; the listing's selection plays no part.
  if (!IsConnected()) return;
  const TRunningCommand Running(FCommandDepth);
  const QString Name = arquivo->text();
  SetCommandsEnabled(false);
  const auto Enable = qScopeGuard([this] { SetCommandsEnabled(true); });
  NetFTP1->SetTransferType(ftBinary);
  // The local copy looked at, its resume record and the file written are all
  // llocal + the name.
  TNetRecordedDownload Download(*NetFTP1, ToRemoteText(Name), ToNetText(llocal->text() + Name));
  // "SIZE " (-1 when the server gives none) and "MDTM ", then the local copy.
  Download.Prepare();
  const TDownloadPlan Plan = PlanDownload(Download.Remote().Size, Download.LocalSize(), Download.Resumable());
  ExpectedBytes = Plan.ExpectedBytes;
  if (Plan.Start == dsReplace) NetFTP1Status(Download.FreshReason());
  Download.Run(Plan.Start == dsResume);
}

void TMainForm::UploadButtonClick(QObject*) {
  if (!IsConnected()) return;
  const TRunningCommand Running(FCommandDepth);
  SetCommandsEnabled(false);
  const auto Enable = qScopeGuard([this] { SetCommandsEnabled(true); });
  NetFTP1->SetTransferType(ftBinary);
  // The local path is relative to the working folder; llocal plays no part.
  NetFTP1->Store(ToNetText(arquivo->text()), ToRemoteText(arquivo->text()), false);
  ChangeDirAndList(FromRemoteText(NetFTP1->CurrentDirectory()));
}

void TMainForm::DeleteButtonClick(QObject*) {
  if (!IsConnected()) return;
  const TRunningCommand Running(FCommandDepth);
  // No selected row (-1) fails the lookup before anything is sent. The entry
  // is copied: the listing that follows replaces it.
  const TNetFTPListItem& Entry = NetFTP1->ParsedListing().Items(DirectoryListBox->currentRow());
  const std::string Name = Entry.ItemName;
  const bool IsDirectory = Entry.EntryKind == fekDirectory;
  SetCommandsEnabled(false);
  // The commands come back also when the deletion fails.
  const auto Enable = qScopeGuard([this] { SetCommandsEnabled(true); });
  if (IsDirectory)
    NetFTP1->RemoveDirectory(Name);
  else
    NetFTP1->RemoveFile(Name);  // a file or a link
  ChangeDirAndList(FromRemoteText(NetFTP1->CurrentDirectory()));
}

void TMainForm::BackButtonClick(QObject*) {
  if (IsConnected()) ChangeDirAndList(QStringLiteral(".."));
}

void TMainForm::ChDirButtonClick(QObject*) {
  SetCommandsEnabled(false);
  ChangeDirAndList(CurrentDirEdit->text());
  SetCommandsEnabled(true);
}

void TMainForm::CreateDirButtonClick(QObject*) {
  const QString Name = InputBox(QStringLiteral("Make new directory"), QStringLiteral("Name"), QString());
  if (Name.isEmpty()) return;
  const TRunningCommand Running(FCommandDepth);
  SetCommandsEnabled(false);
  const auto Enable = qScopeGuard([this] { SetCommandsEnabled(true); });
  NetFTP1->MakeDirectory(ToRemoteText(Name));
  ChangeDirAndList(CurrentDirEdit->text());
}

void TMainForm::AbortButtonClick(QObject*) {
  // A stalled transfer raises no work event that would act on the request:
  // a running transfer is aborted at once, and its blocked wait ends after
  // the current slice.
  if (TransferRunning) {
    AbortRequested = false;
    NetFTP1->AbortTransfer();
    return;
  }
  AbortRequested = true;
}

void TMainForm::UsePassiveClick(QObject*) { NetFTP1->Passive = UsePassive->isChecked(); }

void TMainForm::TraceCheckBoxClick(QObject*) {
  const bool Trace = TraceCheckBox->isChecked();
  // Attached to an open connection, the log reports from the next block on.
  NetFTP1->SetIntercept(Trace ? NetLogEvent1.get() : nullptr);
  DebugListBox->setVisible(Trace);
  Splitter1->setVisible(Trace);
  ArrangeControls();  // the splitter directly above the trace list
}

void TMainForm::TLSModeClick(TNetFTPTLSMode AMode) {
  NetFTP1->TLSMode = AMode;
  TLSModeItems.at(static_cast<size_t>(AMode))->setChecked(true);
  SaveHostSetting(QString::fromLatin1(TLSModeName(AMode)), QString::fromLatin1(TLSModeKey));
}

void TMainForm::FormCreate(QObject*) {
  SetCommandsEnabled(false);
  NetFTP1->TLSMode = ReadTLSModeSetting();
  TLSModeItems.at(static_cast<size_t>(NetFTP1->TLSMode))->setChecked(true);
  // No transfer waits longer for its next byte, nor any command for its
  // reply (IDLETIMEOUT, 60 s by default).
  NetFTP1->IdleTimeout = ReadIdleTimeoutSetting();
  NetFTP1->ReadTimeout = NetFTP1->IdleTimeout;
  // The trace is on from the start, as the check box shows.
  NetFTP1->SetIntercept(NetLogEvent1.get());
  ProgressBar1->setParent(StatusBar1);
  ProgressBar1->setGeometry(1, 2, 199, 17);  // over the first status panel
  ProgressBar1->show();
}
