// The send-files window, the program's main window: it takes a company name
// and a file name, and downloads that file from the company's folder on the
// FTP server or uploads it there by driving a hidden client window. The
// client window's status and progress events, set when this window creates
// it, show on this window's message label and progress bar.
#pragma once

#include <QMargins>
#include <QSize>
#include <QWidget>
#include <functional>
#include <memory>
#include <vector>

#include "downloadretry.h"

class QLabel;
class QPushButton;
class TadLabelEdit;
class TMainForm;
class TWideProgressBar;

class Tf_remessadados;

// The send-files window, set at program start; cleared when it goes.
extern Tf_remessadados* f_remessadados;

class Tf_remessadados : public QWidget {
  Q_OBJECT

 public:
  explicit Tf_remessadados(QWidget* AParent = nullptr);
  ~Tf_remessadados() override;

  TadLabelEdit* empresa;
  TadLabelEdit* NOMEARQUIVO;
  QPushButton* BitBtn2;  // DOWNLOAD
  QPushButton* BitBtn3;  // UPLOAD
  QPushButton* BitBtn4;  // SAIR
  QLabel* mensagem;
  TWideProgressBar* ProgressBar1;
  QPushButton* iniciacopia;  // hidden
  QPushButton* Button1;      // hidden

  void BitBtn2Click(QObject* ASender = nullptr);
  void BitBtn3Click(QObject* ASender = nullptr);
  void BitBtn4Click(QObject* ASender = nullptr);
  void iniciacopiaClick(QObject* ASender = nullptr);
  void Button1Click(QObject* ASender = nullptr);

  // Sets the message label's caption; the label takes the size of its text.
  void SetMensagem(const QString& AText);

  // Shows AWindow's status text on the message label and its progress on
  // ProgressBar1, through AWindow's events; NewClientWindow does it for each
  // window it makes. AWindow must go before this window does.
  void FollowClientWindow(TMainForm& AWindow);

  // A new hidden client window, stored in MainForm and followed. The
  // application keeps it until FreeClientWindow; one that a failure left
  // behind lives on, as it was left, until the program ends.
  TMainForm* NewClientWindow();
  void FreeClientWindow(TMainForm* AWindow);
  size_t ClientWindowCount() const { return FClientWindows.size(); }

  // The pauses before each retry of a download that the network broke, in
  // milliseconds; one retry per entry. The program keeps the defaults (2, 5
  // and 10 s); tests shorten them.
  std::vector<int> RetryDelaysMs = DefaultRetryDelaysMs;

  // Runs for every new client window before anything uses it. Tests point
  // the windows at their own server here (host, account, NetFTP1's Port);
  // the program leaves it unset.
  std::function<void(TMainForm* AWindow)> OnClientWindowCreated;

  // The window's size as designed, frame included.
  static constexpr QSize OuterSize{463, 259};

 signals:
  // The message label's new caption, whenever it is set.
  void MensagemChanged(const QString& AText);

 protected:
  void closeEvent(QCloseEvent* AEvent) override;
  void showEvent(QShowEvent* AEvent) override;
  void moveEvent(QMoveEvent* AEvent) override;

 private:
  // Sizes the window so that it measures OuterSize with the frame that the
  // window system gives it; again when that frame changes, not otherwise
  // (the user may resize the window).
  void FitOuterSize();

  // Download (true) or upload (false) of NOMEARQUIVO in the company's folder.
  void Transfer(QObject* ASender, bool ADownload);
  // AClient's download, tried again after each failure of the network while
  // RetryDelaysMs has a pause left (downloadretry.h); then the last failure
  // goes on.
  void DownloadRetrying(TMainForm& AClient, QObject* ASender);
  // Waits ADelayMs, counting the seconds down on the message label.
  void WaitBeforeRetry(int ADelayMs, int AAttempt, int AAttempts);

  std::vector<std::unique_ptr<TMainForm>> FClientWindows;
  bool FFrameFitted = false;
  QMargins FFittedFrame;
};
