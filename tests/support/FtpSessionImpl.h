// One control connection of ScriptedFtpServer: command loop, built-in
// commands and the data connections. Internal to the test support library.
#pragma once

#include "ScriptedFtpServer.h"

#include <deque>

// Thrown when Stop() interrupts a session: it ends without further replies.
struct FtpSessionStopped {};

class FtpSessionImpl : public FtpSession {
public:
  FtpSessionImpl(ScriptedFtpServer& server, int index, UniqueFd control);
  // Greets, then answers commands until the client closes, QUIT or Stop().
  void Run();

  int Index() const override { return FIndex; }
  void Reply(const FtpReply& reply) override { SendReply(reply); }
  void Close() override;
  void Reset() override;
  void RunDefault(const std::string& verb, const std::string& argument) override;
  void ServeDownload(const std::string& bytes, const FtpTransferOptions& options) override;
  FtpUpload ReceiveUpload(const std::string& command, const std::string& name,
                          const FtpTransferOptions& options) override;
  std::string Cwd() const override { return FCwd; }

private:
  using FileEntry = ScriptedFtpServer::FileEntry;
  // What arrived on the control connection while a transfer was running.
  enum class ControlEvent { Nothing, Abort, Closed };
  enum class DataMode { None, Passive, Active };

  bool ReadCommand(std::string& line);  // false when the session is over
  void Dispatch(const std::string& line);
  void Record(const std::string& line);
  void SendReply(const FtpReply& reply);
  bool Closed() const { return !FControl; }

  void Pasv(bool extended = false);
  void Port(const std::string& argument);
  void Eprt(const std::string& argument);
  // Records the client's address and answers as PORT does.
  void UseActiveAddress(const HostPort& address, const std::string& verb);
  void Download(const FileEntry& file, int64_t start, const FtpTransferOptions& options,
                const FtpReply& preliminary);
  FtpUpload Upload(const std::string& command, const std::string& name,
                   const FtpTransferOptions& options, const FtpReply& preliminary);

  // Sets up the data connection and sends the preliminary reply; on failure
  // answers 425 (or the abort replies) itself and returns false.
  bool OpenData(const FtpTransferOptions& options, const FtpReply& preliminary);
  // Reads what is waiting on the control connection during a transfer: lines
  // other than ABOR are recorded and answered after the transfer.
  ControlEvent ReadControlDuringTransfer();
  // Takes the complete lines already buffered, as above.
  ControlEvent ScanPendingLines();
  // Waits up to ms for control input during a transfer.
  ControlEvent WatchControl(int ms);
  void CloseData(bool reset = false);
  void SendAbortReplies(const FtpTransferOptions& options);
  // The data connection ended: true when the client's "ABOR" is there or
  // follows within graceMs.
  bool AbortFollows(int graceMs);
  void RecordUpload(FtpUpload upload, const std::string& bytes, bool complete);
  std::string ResolvePath(const std::string& name) const;
  FtpTransferOptions TransferOptions() const;

  ScriptedFtpServer& FServer;
  int FIndex;
  UniqueFd FControl;
  std::string FPending;               // control bytes read but not yet taken as lines
  std::deque<std::string> FDeferred;  // lines that arrived during a transfer
  std::string FCwd = "/";
  int64_t FRestart = 0;
  std::string FRenameFrom;
  DataMode FMode = DataMode::None;
  UniqueFd FPasvListen;
  HostPort FPortAddress;
  UniqueFd FData;
};
