#include "remessadados_u.h"

#include <QAbstractButton>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QWindow>
#include <algorithm>

#include "adLabelEdit.h"
#include "appcontrols.h"
#include "appdialogs.h"
#include "downloadretry.h"
#include "mainf.h"
#include "settingsplace.h"
#include "typednames.h"

Tf_remessadados* f_remessadados = nullptr;

namespace {

QFont BoldWindowFont() {
  QFont Font = WindowFont();
  Font.setBold(true);
  return Font;
}

QPushButton* NewButton(QWidget* AParent, const char* AName, const QString& ACaption, int ALeft, int ATop,
                       int AWidth, int AHeight) {
  auto* Button = new QPushButton(ACaption, AParent);
  Button->setObjectName(QString::fromLatin1(AName));
  Button->setGeometry(ALeft, ATop, AWidth, AHeight);
  Button->setFont(BoldWindowFont());
  // Enter clicks the focused button; no button is the default one.
  Button->setAutoDefault(true);
  return Button;
}

void SetUpField(TadLabelEdit* AField, const char* AName, const QString& ACaption, int ACaptionWidth, int ATop) {
  AField->setObjectName(QString::fromLatin1(AName));
  AField->SetCharCase(lcLower);
  TadBoundLabel* Caption = AField->LabelDefs();
  Caption->SetCaption(ACaption);
  Caption->setFont(BoldWindowFont());
  // The designed size, or more where the face needs it.
  const QSize Text = Caption->sizeHint();
  Caption->resize(std::max(ACaptionWidth, Text.width()), std::max(13, Text.height()));
  AField->SetBounds(8, ATop, 436, 21);
}

}  // namespace

Tf_remessadados::Tf_remessadados(QWidget* AParent) : QWidget(AParent) {
  setObjectName(QStringLiteral("f_remessadados"));
  setWindowTitle(QStringLiteral("REMESSA DADOS"));
  setFont(WindowFont());
  resize(OuterSize);
  if (const QScreen* Screen = QGuiApplication::primaryScreen())
    move(Screen->availableGeometry().center() - rect().center());

  empresa = new TadLabelEdit(this);
  SetUpField(empresa, "empresa", QStringLiteral("EMPRESA"), 60, 24);
  NOMEARQUIVO = new TadLabelEdit(this);
  SetUpField(NOMEARQUIVO, "NOMEARQUIVO", QStringLiteral("NOME ARQUIVO"), 97, 64);
  NOMEARQUIVO->setText(QStringLiteral("operacoes.exe"));

  BitBtn2 = NewButton(this, "BitBtn2", QStringLiteral("&DOWNLOAD"), 8, 184, 105, 25);
  BitBtn3 = NewButton(this, "BitBtn3", QStringLiteral("&UPLOAD"), 112, 184, 113, 25);
  BitBtn4 = NewButton(this, "BitBtn4", QStringLiteral("&SAIR"), 328, 184, 113, 25);

  mensagem = new QLabel(this);
  mensagem->setObjectName(QStringLiteral("mensagem"));
  QFont MessageFont = BoldWindowFont();
  MessageFont.setPixelSize(16);
  mensagem->setFont(MessageFont);
  mensagem->move(8, 96);
  SetMensagem(QStringLiteral("mensagem"));

  ProgressBar1 = new TWideProgressBar(this);
  ProgressBar1->setObjectName(QStringLiteral("ProgressBar1"));
  ProgressBar1->setGeometry(8, 120, 436, 57);
  ProgressBar1->SetMax(100);
  ProgressBar1->SetPosition(0);

  iniciacopia = NewButton(this, "iniciacopia", QStringLiteral("copia arquivos"), 704, 56, 169, 25);
  iniciacopia->setFont(WindowFont());
  iniciacopia->hide();
  Button1 = NewButton(this, "Button1", QStringLiteral("Button1"), 304, 88, 75, 25);
  Button1->setFont(WindowFont());
  Button1->hide();

  for (QAbstractButton* Button : findChildren<QAbstractButton*>()) WidenToCaption(Button);

  QWidget::setTabOrder(empresa, NOMEARQUIVO);
  QWidget::setTabOrder(NOMEARQUIVO, BitBtn2);
  QWidget::setTabOrder(BitBtn2, BitBtn3);
  QWidget::setTabOrder(BitBtn3, BitBtn4);

  const auto OnClick = [this](QPushButton* AButton, void (Tf_remessadados::*AHandler)(QObject*)) {
    connect(AButton, &QPushButton::clicked, this,
            [this, AButton, AHandler] { RunHandler([&] { (this->*AHandler)(AButton); }); });
  };
  OnClick(BitBtn2, &Tf_remessadados::BitBtn2Click);
  OnClick(BitBtn3, &Tf_remessadados::BitBtn3Click);
  OnClick(BitBtn4, &Tf_remessadados::BitBtn4Click);
  OnClick(iniciacopia, &Tf_remessadados::iniciacopiaClick);
  OnClick(Button1, &Tf_remessadados::Button1Click);
}

Tf_remessadados::~Tf_remessadados() {
  FClientWindows.clear();
  if (f_remessadados == this) f_remessadados = nullptr;
}

void Tf_remessadados::SetMensagem(const QString& AText) {
  mensagem->setText(AText);
  mensagem->adjustSize();
  emit MensagemChanged(AText);
}

void Tf_remessadados::FollowClientWindow(TMainForm& AWindow) {
  AWindow.OnStatusText = [this](const QString& AText) { SetMensagem(AText); };
  AWindow.OnProgressMax = [this](int64_t AMax) { ProgressBar1->SetMax(AMax); };
  AWindow.OnProgressPosition = [this](int64_t APosition) { ProgressBar1->SetPosition(APosition); };
}

TMainForm* Tf_remessadados::NewClientWindow() {
  FClientWindows.push_back(std::make_unique<TMainForm>());
  TMainForm* Window = FClientWindows.back().get();
  MainForm = Window;
  FollowClientWindow(*Window);
  if (OnClientWindowCreated) OnClientWindowCreated(Window);
  return Window;
}

void Tf_remessadados::FreeClientWindow(TMainForm* AWindow) {
  const auto Found = std::find_if(FClientWindows.begin(), FClientWindows.end(),
                                  [AWindow](const std::unique_ptr<TMainForm>& AOwned) { return AOwned.get() == AWindow; });
  if (Found != FClientWindows.end()) FClientWindows.erase(Found);
}

void Tf_remessadados::FitOuterSize() {
  const QWindow* Window = windowHandle();
  const QMargins Frame = Window != nullptr ? Window->frameMargins() : QMargins();
  if (FFrameFitted && Frame == FFittedFrame) return;
  FFrameFitted = true;
  FFittedFrame = Frame;
  resize(OuterSize.width() - Frame.left() - Frame.right(), OuterSize.height() - Frame.top() - Frame.bottom());
}

void Tf_remessadados::showEvent(QShowEvent* AEvent) {
  QWidget::showEvent(AEvent);
  FitOuterSize();
}

void Tf_remessadados::moveEvent(QMoveEvent* AEvent) {
  QWidget::moveEvent(AEvent);
  // A window manager frames the window after it is shown, and moves it then.
  if (isVisible()) FitOuterSize();
}

void Tf_remessadados::closeEvent(QCloseEvent* AEvent) {
  QWidget::closeEvent(AEvent);
  // Closing this window in any way ends the program; a handler that is still
  // running finishes first.
  QCoreApplication::quit();
}

void Tf_remessadados::Transfer(QObject* ASender, bool ADownload) {
  // Names that would leave the working folder are refused before anything
  // is connected.
  if (const QString Problem = TypedNamesProblem(NOMEARQUIVO->text(), empresa->text()); !Problem.isEmpty())
    throw ETypedNameRefused(Problem.toStdString());
  // A failure leaves here with the client window alive and this window open,
  // so the user may correct the names and try again. A button pressed while
  // this runs (the client window lets events through) runs its own handler
  // with a client window of its own; this one keeps working on Client,
  // whatever MainForm says meanwhile.
  TMainForm* Client = NewClientWindow();
  Client->arquivo->setText(NOMEARQUIVO->text());
  Client->CurrentDirEdit->setText(QStringLiteral("/corvatec/") + empresa->text());
  // Every click leaves a receipt, also one whose connect failed.
  try {
    Client->ConnectButtonClick(ASender);
    if (ADownload)
      DownloadRetrying(*Client, ASender);
    else
      Client->UploadButtonClick(ASender);
  } catch (const std::exception& E) {
    // Caught to put the failure on the receipt; it goes on unchanged, also
    // when the receipt cannot be written: the user must see why the
    // transfer failed, not why its receipt did.
    try {
      WriteReceipt(*Client, ADownload, E.what());
    } catch (const std::exception&) {
    }
    throw;
  }
  WriteReceipt(*Client, ADownload, "");
  FreeClientWindow(Client);
  close();
}

void Tf_remessadados::WriteReceipt(TMainForm& AClient, bool ADownload, const std::string& AError) {
  // What the client learnt of its transfer; the names come from the
  // windows, so that a download refused before it began has them too.
  TNetFTPReceipt Receipt = AClient.NetFTP1->LastTransfer();
  Receipt.Download = ADownload;
  Receipt.Company = ToNetText(empresa->text());
  Receipt.Server = ServerOfReceipt(AClient.NetFTP1->Host, AClient.NetFTP1->Port);
  QString Folder = AClient.CurrentDirEdit->text();
  if (!Folder.endsWith(QLatin1Char('/'))) Folder += QLatin1Char('/');
  const QString Name = AClient.arquivo->text();
  Receipt.RemotePath = ToNetText(Folder + Name);
  // The download writes llocal + the name; the upload reads the bare name.
  Receipt.LocalPath = ToNetText(QFileInfo(ADownload ? AClient.llocal->text() + Name : Name).absoluteFilePath());
  // The receipt is of the transfer: a listing that fails after a good
  // upload does not make it a failed one.
  FinishReceipt(Receipt, AError);
  const std::string Path = ReceiptsFilePath();
  QDir().mkpath(QFileInfo(QString::fromLocal8Bit(Path)).absolutePath());
  AppendReceipt(Path, Receipt);
}

void Tf_remessadados::DownloadRetrying(TMainForm& AClient, QObject* ASender) {
  const int Retries = static_cast<int>(RetryDelaysMs.size());
  for (int Retry = 0;; ++Retry) {
    try {
      // Each attempt resumes what the last one left, under the resume
      // record's rule, on a new session when the last one is gone.
      if (Retry > 0 && !AClient.NetFTP1->IsConnected()) AClient.ConnectButtonClick(ASender);
      AClient.DirectoryListBoxDblClick(ASender);
      return;
    } catch (const std::exception& E) {
      // Swallowed on purpose when the network broke the download and a retry
      // is left; the last failure goes on to the error box.
      if (Retry >= Retries || !IsConnectionLoss(E)) throw;
      if (LeavesSessionOutOfStep(E) && AClient.NetFTP1->IsConnected()) AClient.NetFTP1->CloseConnection();
    }
    WaitBeforeRetry(RetryDelaysMs[static_cast<size_t>(Retry)], Retry + 1, Retries);
  }
}

void Tf_remessadados::WaitBeforeRetry(int ADelayMs, int AAttempt, int AAttempts) {
  // The windows keep working meanwhile, as during a transfer; SAIR ends the
  // program once the download is over.
  const QDeadlineTimer Deadline(ADelayMs);
  QTimer Tick;  // wakes the wait below at least this often
  Tick.start(100);
  int Shown = -1;
  while (!Deadline.hasExpired()) {
    const int Seconds = static_cast<int>((Deadline.remainingTime() + 999) / 1000);
    if (Seconds != Shown) {
      Shown = Seconds;
      SetMensagem(QString::fromStdString(RetryText(Seconds, AAttempt, AAttempts)));
    }
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  }
}

void Tf_remessadados::BitBtn2Click(QObject* ASender) { Transfer(ASender, true); }

void Tf_remessadados::BitBtn3Click(QObject* ASender) { Transfer(ASender, false); }

void Tf_remessadados::BitBtn4Click(QObject*) { close(); }

void Tf_remessadados::iniciacopiaClick(QObject*) {
  SetMensagem(QStringLiteral("AGUARDE, COPIANDO ARQUIVOS..."));
  TMainForm* Client = NewClientWindow();
  Client->arquivo->setText(NOMEARQUIVO->text());
  Client->CurrentDirEdit->setText(QStringLiteral("/public_ftp/") + empresa->text());
  Client->ShowModal();
  FreeClientWindow(Client);
  close();
}

void Tf_remessadados::Button1Click(QObject*) {
  TMainForm* Client = NewClientWindow();
  Client->ShowModal();
  FreeClientWindow(Client);
}
