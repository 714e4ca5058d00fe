// Listings of one large folder in the client window, timed: fetched (CWD,
// PWD and the listing, its lines become the rows), parsed, and the first
// screen of rows drawn. Before each round the folder is also listed by the
// FTP client alone, which tells the transfer from the window's own work.
// Run by bench/listing.
//
//   window_listing PORT USER PASSWORD FOLDER ROUNDS [--no-mlsd]
//
// Connects to 127.0.0.1:PORT (MLSD where the server has it, unless
// --no-mlsd), then lists FOLDER ROUNDS times and prints one line a round:
// the whole time, then its parts, in seconds, and the number of entries;
// "transfer" is the listing by the client alone, not part of the whole.
// The window parses the listing between receiving it and filling the rows
// (its first line may be a "total" line that has no row): "parse" runs from
// the moment the client makes the parsed listing to the moment the rows go
// in, which also holds turning the lines into row texts; "fetch" is the rest
// of the listing command.
#include <QAbstractItemModel>
#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QListWidget>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "appdialogs.h"
#include "mainf.h"

int main(int argc, char** argv) {
  if (argc < 6 || argc > 7 || (argc == 7 && std::strcmp(argv[6], "--no-mlsd") != 0)) {
    std::fprintf(stderr, "usage: window_listing PORT USER PASSWORD FOLDER ROUNDS [--no-mlsd]\n");
    return 2;
  }
  if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
    qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication Application(argc, argv);
  QString Failure;
  ErrorBoxHook = [&](const QString& AMessage) { Failure = AMessage; };

  TMainForm Client;
  Client.FtpServerEdit->setText("127.0.0.1");
  Client.NetFTP1->Port = std::atoi(argv[1]);
  Client.UserIDEdit->setText(QString::fromLocal8Bit(argv[2]));
  Client.PasswordEdit->setText(QString::fromLocal8Bit(argv[3]));
  Client.CurrentDirEdit->setText(QString::fromLocal8Bit(argv[4]));
  Client.NetFTP1->UseMLSD = argc != 7;
  Client.resize(1000, 700);
  Client.show();
  try {
    Client.ConnectButtonClick();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "window_listing: %s\n", e.what());
    return 1;
  }
  const QString Folder = QString::fromLocal8Bit(argv[4]);
  const int Rounds = std::atoi(argv[5]);
  QElapsedTimer Clock;
  qint64 ParseAt = 0;
  qint64 RowsAt = 0;
  Client.NetFTP1->OnCreateFTPList = [&](TNetBaseComponent*, std::unique_ptr<TNetFTPListItems>&) {
    ParseAt = Clock.nsecsElapsed();
  };
  QObject::connect(Client.DirectoryListBox->model(), &QAbstractItemModel::rowsAboutToBeInserted,
                   [&] { RowsAt = Clock.nsecsElapsed(); });
  for (int Round = 0; Round < Rounds; ++Round) {
    Clock.start();
    Client.NetFTP1->ListDirectory(nullptr);
    const qint64 Transfer = Clock.nsecsElapsed();
    // The rows on screen are those of the round before: parsed again here,
    // untimed, the window is as a listing leaves it. Otherwise the first
    // repaint inside the timed listing would parse this one for them.
    Client.NetFTP1->ParsedListing();
    Clock.restart();
    ParseAt = RowsAt = 0;
    Client.ChangeDirAndList(Folder);
    const qint64 Fetched = Clock.nsecsElapsed();
    const int64_t Entries = Client.NetFTP1->ParsedListing().Count();
    Client.DirectoryListBox->grab();  // draws the rows on screen
    QCoreApplication::processEvents();
    const qint64 Shown = Clock.nsecsElapsed();
    const qint64 Parse = RowsAt - ParseAt;
    std::printf("%.3f s  fetch %.3f  parse %.3f  show %.3f  %lld entries  %s  (transfer %.3f)\n", Shown / 1e9,
                (Fetched - Parse) / 1e9, Parse / 1e9, (Shown - Fetched) / 1e9, static_cast<long long>(Entries),
                Client.NetFTP1->MachineListing() ? "MLSD" : "LIST", Transfer / 1e9);
    if (Client.DirectoryListBox->count() != Entries) {
      std::fprintf(stderr, "window_listing: %d rows for %lld entries\n", Client.DirectoryListBox->count(),
                   static_cast<long long>(Entries));
      return 1;
    }
  }
  Client.NetFTP1->Quit();
  return Failure.isEmpty() ? 0 : 1;
}
