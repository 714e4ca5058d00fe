// The FTP client window: connects and logs in, lists the current remote
// folder, changes, creates and deletes folders and files, uploads and
// downloads the file named in its file field, aborts a running transfer and
// shows a trace of the traffic. The window that creates it (the send-files
// window, the program's main window) may keep it hidden, drive it through its
// command handlers, which are plain public methods, and follow it through its
// status and progress events.
#pragma once

#include <QDialog>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "NetAntiFreeze.h"
#include "NetFTP.h"
#include "NetLog.h"
#include "displaytext.h"
#include "trustprompt.h"

class QAction;
class QCheckBox;
class QHeaderView;
class QLabel;
class QLineEdit;
class QListWidget;
class QMenu;
class QPushButton;
class QStandardItemModel;
class TBevelPanel;
class TPanelStatusBar;
class TResizeBar;
class TRowCanvas;
class TWideProgressBar;

class TMainForm;

// The most recently created client window; cleared when that window goes.
extern TMainForm* MainForm;

// The speed of the latest transfer in KB/s, one value for every client window.
extern double CurrentSpeed;

class TMainForm : public QDialog {
  Q_OBJECT

 public:
  explicit TMainForm(QWidget* AParent = nullptr);
  ~TMainForm() override;

  // ---- Controls ----
  TBevelPanel* Panel1;
  QLabel* Label1;
  QLineEdit* FtpServerEdit;
  QPushButton* ConnectButton;
  QCheckBox* UsePassive;
  QLabel* Label2;
  QLabel* Label3;
  QLineEdit* UserIDEdit;
  QLineEdit* PasswordEdit;
  QCheckBox* TraceCheckBox;
  QLineEdit* arquivo;  // the file name for download and upload
  QLineEdit* llocal;   // local folder prefix for downloads
  TBevelPanel* Panel3;
  QLineEdit* CurrentDirEdit;  // the remote folder
  QPushButton* ChDirButton;
  QPushButton* CreateDirButton;

  TBevelPanel* CommandPanel;
  QPushButton* DownloadButton;
  QPushButton* UploadButton;
  QPushButton* DeleteButton;
  QPushButton* BackButton;
  QPushButton* AbortButton;

  QHeaderView* HeaderControl1;
  QListWidget* DirectoryListBox;
  TResizeBar* Splitter1;
  QListWidget* DebugListBox;
  TPanelStatusBar* StatusBar1;
  TWideProgressBar* ProgressBar1;
  QMenu* PopupMenu1;
  // The connection panel's menu (Panel1, always enabled): the TLS mode, one
  // checkable item per TNetFTPTLSMode in the order of the enumeration.
  QMenu* TLSMenu;
  std::vector<QAction*> TLSModeItems;
  // At the right end of the status bar: whether the connection is encrypted.
  QLabel* EncryptionLabel;

  // ---- Components, owned by the window ----
  // The FTP client; its status, disconnect and work events go to the Net*
  // handlers below.
  std::unique_ptr<TNetFTP> NetFTP1;
  // The trace of the control connection: attached to NetFTP1 while the
  // trace check box is on.
  std::unique_ptr<TNetLogEvent> NetLogEvent1;
  // Lets the windows work while NetFTP1 blocks (the newest one is in force).
  std::unique_ptr<TNetAntiFreeze> NetAntiFreeze1;

  // ---- Window state ----
  bool AbortRequested = false;   // the next work event aborts the transfer
  bool TransferRunning = false;  // from work begin to work end
  // Remote size less the local copy's size, set by the download command; the
  // progress maximum when a transfer announces no total.
  int64_t ExpectedBytes = 0;
  double TransferStartTime = 0;  // local time at work begin, days since 30 Dec 1899

  // The column texts of listing row AIndex, taken from NetFTP1's parsed
  // listing; none when the parsed listing has no entry at that index.
  // Unset: no row has an entry.
  std::function<std::optional<TListingColumns>(int AIndex)> ListingRow;

  // Asked when a server's certificate does not verify (trustprompt.h); true
  // trusts it. Shows a modal box unless replaced (tests answer here).
  TTrustPrompt AskTrust;

  // ---- Events: what the status bar and the progress bar show, passed on
  // after they show it (the window that created this one mirrors them). ----
  // The second status panel's new text.
  std::function<void(const QString& AText)> OnStatusText;
  // The progress bar's new maximum, set at work begin.
  std::function<void(int64_t AMax)> OnProgressMax;
  // The progress bar's new position: during the work, and 0 at work end.
  std::function<void(int64_t APosition)> OnProgressPosition;

  // ---- Command handlers (mainf.cpp). Each may throw; none catches. ----
  void ConnectButtonClick(QObject* ASender = nullptr);
  void DirectoryListBoxDblClick(QObject* ASender = nullptr);  // download
  void UploadButtonClick(QObject* ASender = nullptr);
  void DeleteButtonClick(QObject* ASender = nullptr);
  void BackButtonClick(QObject* ASender = nullptr);
  void ChDirButtonClick(QObject* ASender = nullptr);
  void CreateDirButtonClick(QObject* ASender = nullptr);
  void AbortButtonClick(QObject* ASender = nullptr);
  void UsePassiveClick(QObject* ASender = nullptr);
  void TraceCheckBoxClick(QObject* ASender = nullptr);
  void FormCreate(QObject* ASender = nullptr);
  // The TLS mode of the next connection, saved as FTPTLS in the settings file.
  void TLSModeClick(TNetFTPTLSMode AMode);

  // Enables or disables the commands: the command panel's buttons except
  // AbortButton, every item of the listing's menu, ChDirButton and
  // CreateDirButton.
  void SetCommandsEnabled(bool AEnabled);
  // Changes the remote folder (the text is passed on unchanged) and lists it.
  void ChangeDirAndList(const QString& AFolder);
  // Writes AValue under [Server] AKey into the settings file (settingsplace.h).
  void SaveHostSetting(const QString& AValue, const QString& AKey);
  // A switch under [Server] in the settings file: "1" on, "0" off, anything
  // else (or nothing) ADefault.
  bool ReadServerSwitch(const QString& AKey, bool ADefault) const;
  // Remote names and the server's texts on the wire: UTF-8 while the
  // session says so (the server listed UTF8), else the locale's encoding.
  std::string ToRemoteText(const QString& AText) const;
  QString FromRemoteText(const std::string& AText) const;

  // Shows modally, maximised.
  int ShowModal();

  // ---- Display handlers (mainf_display.cpp). The network events call the
  // Net* handlers directly; their exceptions pass back into the transfer. ----
  void DirectoryListBoxDrawItem(TRowCanvas& ACanvas, int AIndex, const QRect& ARect, bool ASelected);
  void HeaderControl1SectionResize();
  void DirectoryListBoxClick(QObject* ASender = nullptr);
  void DebugListBoxDrawItem(TRowCanvas& ACanvas, int AIndex, const QRect& ARect, bool ASelected);
  void NetLogEvent1Received(const std::string& AData);
  void NetLogEvent1Sent(const std::string& AData);
  void NetFTP1Status(const std::string& AStatusText);
  void NetFTP1Disconnected();
  // AWorkMode: WorkModeRead or WorkModeWrite.
  void NetFTP1WorkBegin(int AWorkMode, int64_t AWorkCountMax);
  void NetFTP1Work(int AWorkMode, int64_t AWorkCount);
  void NetFTP1WorkEnd(int AWorkMode);
  // Adds APrefix + each line of AData to the trace list.
  void AddTraceLines(const std::string& APrefix, const std::string& AData);

 protected:
  void keyPressEvent(QKeyEvent* AEvent) override;
  void resizeEvent(QResizeEvent* AEvent) override;

 private:
  void CreatePanel1();
  void CreateCommandPanel();
  void CreateListsAndStatus();
  void CreatePopupMenu();
  void CreateTLSMenu();
  // Opens the session; a certificate that does not verify is put to the user
  // (AskTrust) and, once trusted, the session is opened again.
  void OpenTrustedSession();
  // True when the user trusts the refused certificate (stored by then).
  bool TrustRefusedCertificate(const ENetTLSCertificateRefused& ARefused);
  void ShowEncryptionState();
  void CreateComponents();
  void ConnectHandlers();
  // Stacks the top panels, the header, the listing, the splitter, the trace
  // list and the status bar, following the window's size.
  void ArrangeControls();
  void EnforceSectionMinimum(int ASection, int ANewSize);
  void ShowDisconnectedState();
  // Replaces the listing's lines, less a first line that is no entry.
  void ShowListingLines(const std::vector<std::string>& ALines);
  // The first of the lines is a "total 12" line as the listing parser sees it.
  bool ListingStartsWithTotal(const std::vector<std::string>& ALines);
  // Adds a line to the trace list and selects it, which scrolls it into view.
  void AddTraceLine(const QString& ALine);
  // The second status panel, passed on to OnStatusText.
  void ShowStatusText(const QString& AText);
  bool IsConnected();

  // Marks a command of this window as running on NetFTP1 while it lives.
  class TRunningCommand {
   public:
    explicit TRunningCommand(int& ADepth) : FDepth(ADepth) { ++FDepth; }
    ~TRunningCommand() { --FDepth; }
    TRunningCommand(const TRunningCommand&) = delete;
    TRunningCommand& operator=(const TRunningCommand&) = delete;

   private:
    int& FDepth;
  };
  int FCommandDepth = 0;  // commands of this window running on NetFTP1, nested ones included

  QStandardItemModel* FHeaderModel;
  std::vector<QAction*> FMenuItems;
  int FTraceHeight = 170;
  int FTraceHeightAtDragStart = 170;
  int64_t FWorkStartMs = 0;
  int64_t FLastDisplayMs = -1;  // when the work texts and bars were last refreshed
  static constexpr int64_t DisplayIntervalMs = 40;
};
