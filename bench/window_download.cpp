// One DOWNLOAD through the send-files window, timed, with the longest pause
// of the window's event processing during it. Run by bench/window.
//
//   window_download [--recv-buffer N] [--no-antifreeze] PORT USER PASSWORD COMPANY
//
// Fetches /corvatec/COMPANY/operacoes.exe from 127.0.0.1:PORT into the
// working folder and prints one line: seconds, MiB/s, the longest gap
// between two ticks of a 10 ms timer (the time the windows could not react)
// and the number of ticks. The two switches leave the window's design, to
// show what it costs: --recv-buffer replaces the client's 8 KiB receives,
// --no-antifreeze switches its anti-freeze off (the window then freezes for
// the whole transfer).
#include <QApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "adLabelEdit.h"
#include "appdialogs.h"
#include "mainf.h"
#include "remessadados_u.h"

int main(int argc, char** argv) {
  int RecvBuffer = 0;
  bool AntiFreeze = true;
  std::vector<std::string> Words;
  for (int i = 1; i < argc; ++i) {
    const std::string Word = argv[i];
    if (Word == "--recv-buffer" && i + 1 < argc)
      RecvBuffer = std::atoi(argv[++i]);
    else if (Word == "--no-antifreeze")
      AntiFreeze = false;
    else
      Words.push_back(Word);
  }
  if (Words.size() != 4 || Words[0].rfind("--", 0) == 0) {
    std::fprintf(stderr, "usage: window_download [--recv-buffer N] [--no-antifreeze] PORT USER PASSWORD COMPANY\n");
    return 2;
  }
  if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
    qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication Application(argc, argv);
  const int Port = std::atoi(Words[0].c_str());
  const QString User = QString::fromStdString(Words[1]);
  const QString Password = QString::fromStdString(Words[2]);

  QString Failure;
  ErrorBoxHook = [&](const QString& AMessage) {
    Failure = AMessage;
    QCoreApplication::exit(1);
  };
  Tf_remessadados Window;
  f_remessadados = &Window;
  Window.OnClientWindowCreated = [&](TMainForm* AClient) {
    AClient->FtpServerEdit->setText("127.0.0.1");
    AClient->NetFTP1->Port = Port;
    AClient->UserIDEdit->setText(User);
    AClient->PasswordEdit->setText(Password);
    if (RecvBuffer > 0) AClient->NetFTP1->RecvBufferSize = RecvBuffer;
    AClient->NetAntiFreeze1->Active = AntiFreeze;
  };
  Window.empresa->setText(QString::fromStdString(Words[3]));
  Window.show();

  QElapsedTimer Clock;
  qint64 LastTick = 0;
  qint64 LongestGap = 0;
  qint64 Ticks = 0;
  QTimer Ticker;
  QObject::connect(&Ticker, &QTimer::timeout, [&] {
    const qint64 Now = Clock.elapsed();
    LongestGap = std::max(LongestGap, Now - LastTick);
    LastTick = Now;
    ++Ticks;
  });
  QTimer::singleShot(0, [&] {
    Clock.start();
    Ticker.start(10);
    Window.BitBtn2->click();
  });
  const int Code = QApplication::exec();
  const double Seconds = Clock.elapsed() / 1000.0;
  LongestGap = std::max(LongestGap, Clock.elapsed() - LastTick);
  if (Code != 0) {
    std::fprintf(stderr, "window_download: %s\n", Failure.toLocal8Bit().constData());
    return 1;
  }
  const double MiB = static_cast<double>(QFileInfo("operacoes.exe").size()) / 1048576.0;
  std::printf("%.2f s  %.0f MiB/s  longest pause %lld ms  %lld ticks\n", Seconds, MiB / Seconds,
              static_cast<long long>(LongestGap), static_cast<long long>(Ticks));
  return 0;
}
