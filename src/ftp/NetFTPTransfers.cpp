// FTP data connections and transfers (RFC 959, 3.2 and 3.3; passive mode as
// RFC 1579 recommends for clients behind firewalls).
//
// Every transfer runs the same frame: "Starting FTP transfer"; a data
// connection (passive: "PASV" and a connect; active: a listener announced
// with "PORT" that the server connects to); the command and its preliminary
// reply; the data phase; the data connection closed and freed; "Transfer
// complete"; the final reply, and after an abort the server's answer to
// "ABOR" and "Transfer aborted". Once the server has accepted the command,
// every reply it owes is read before the routine returns or fails (within a
// bound where a server may stay silent), so the next command reads its own.
#include "NetFTP.h"

#include "NetExceptions.h"
#include "NetFTPReplyRules.h"
#include "NetScope.h"
#include "NetStack.h"

// Sends PASV; the announced address is read by PassiveAddressOfReply.
void TNetFTP::RequestPassiveAddress(std::string& AHost, int32_t& APort) {
  SendCommand("PASV", {227});
  TNetFTPHostPort address = PassiveAddressOfReply(LastReply.Text);
  AHost = std::move(address.Host);
  APort = address.Port;
}

// "PORT 10,0,0,5,19,137" for 10.0.0.5 port 5001.
void TNetFTP::SendPortCommand(TNetSocketHandle& AHandle) {
  const std::string address = ReplaceAll(AHandle.IP, ".", ",");
  SendCommand("PORT " + address + "," + std::to_string(AHandle.Port / 256) + "," + std::to_string(AHandle.Port % 256),
              {200});
}

// The data connection takes the buffer sizes and the work events, nothing
// else: the trace shows the control connection only.
void TNetFTP::CopySettingsToDataConnection(TNetTCPConnection& AConnection) {
  AConnection.SendBufferSize = SendBufferSize;
  AConnection.RecvBufferSize = RecvBufferSize;
  AConnection.OnWork = OnWork;
  AConnection.OnWorkBegin = OnWorkBegin;
  AConnection.OnWorkEnd = OnWorkEnd;
}

// A passive data connection goes to the host the control connection reached,
// with the announced port. The address in the 227 reply is not trusted: a
// hostile server could otherwise aim the client at any host. Through a SOCKS
// proxy it goes through the same proxy to the same destination.
TNetTCPClient& TNetFTP::NewPassiveConnection(const std::string& /*AAnnouncedHost*/, int32_t APort) {
  auto connection = std::make_unique<TNetTCPClient>();
  TNetTCPClient& data = *connection;
  FDataConnection = std::move(connection);
  bool viaSocks = false;
  if (TNetIOHandlerSocket* control = SocketHandler()) {
    TNetIOHandlerSocket* handler = NewDataHandler(data);
    handler->SocksInfo()->Assign(*control->SocksInfo());
    viaSocks = handler->SocksInfo()->Version != svNoSocks;
    data.Host = viaSocks || !control->SocketHandle() ? FControlHost : control->SocketHandle()->RemoteIP;
  } else {
    data.Host = FControlHost;
  }
  CopySettingsToDataConnection(data);
  data.Port = APort;
  return data;
}

TNetSimpleServer& TNetFTP::NewActiveListener() {
  auto listener = std::make_unique<TNetSimpleServer>();
  TNetSimpleServer& server = *listener;
  FDataConnection = std::move(listener);
  CopySettingsToDataConnection(server);
  server.BoundIP = SocketHandler() && SocketHandler()->SocketHandle() ? SocketHandler()->SocketHandle()->IP : "";
  server.BoundPort = DataPort;
  server.BoundPortMin = DataPortMin;
  server.BoundPortMax = DataPortMax;
  // A handler installed and opened before listening is the one that listens
  // (and, once the server has connected, the TLS client of the connection).
  if (FDataProtected) NewDataHandler(server)->OpenHandler();
  server.StartListening();
  SendPortCommand(*server.ListenerHandle());
  return server;
}

// Runs ABody on the passive data connection, which is closed afterwards,
// also when ABody fails.
void TNetFTP::UsePassiveConnection(TNetTCPClient& AData, const std::function<void()>& ABody) {
  TNetScopeExit close([&AData] { AData.CloseConnection(); });
  ABody();
}

// Reads one reply of any code, waiting at most ReadTimeout, or 5 s when
// that is 0: for a reply that should come but that a server may never send.
// Returns false when none came (or the link went down).
bool TNetFTP::ReadReplyWithin() {
  TNetScopeExit restore([this, saved = ReadTimeout] { ReadTimeout = saved; });
  if (ReadTimeout <= 0) ReadTimeout = 5000;
  try {
    ReadReply(TReplyCodes{});
    return true;
  } catch (const ENetException&) {
    return false;
  }
}

// Reads the final reply. A transfer interrupted by "ABOR" ends with 426 or
// 450 and then the answer to "ABOR" itself. When the transfer had already
// ended as "ABOR" arrived, the server still answers the "ABOR" after the
// transfer's own reply; that answer is read here too, so the next command
// does not take it for its own. A 225 is never a transfer's own reply but
// the answer to "ABOR" itself, from a server that ended the transfer without
// one ("225 ABOR command successful; data channel closed."): nothing follows
// it. A transfer the client aborted is reported as aborted in every case: an
// upload cut short that way is one the server may have taken for complete.
// A 426 or 450 without an "ABOR" of ours is the server giving up on the
// transfer by itself ("426 Failure writing network stream."): a failure,
// and no other reply follows it.
void TNetFTP::FinishTransfer() {
  const int16_t code = ReadReply({225, 226, 250, 426, 450});
  if (code == 426 || code == 450) {
    if (!FAbortSent) RaiseReplyError();
    // The answer to "ABOR" itself; bounded, since a server that answers the
    // abort with the 426 alone must not hang the session.
    if (ReadReplyWithin()) ValidateReply(static_cast<int16_t>(LastReply.NumericCode()), {226, 225});
    ReportStatus(ftpAborted, {"Transfer aborted"});
  } else if (FAbortSent) {
    if (code != 225) ReadReplyWithin();
    ReportStatus(ftpAborted, {"Transfer aborted"});
  }
}

// A transfer whose data phase failed after the server had accepted the
// command: the server still ends the transfer with a reply (426 for a broken
// data connection). It is read and dropped, so that the next command gets its
// own reply; the failure itself goes on to the caller.
void TNetFTP::DropFinalReply() { ReadReplyWithin(); }

// The frame every transfer shares: the status reports, the data connection
// freed whatever happens, and the final reply (or, after a failure once the
// server had accepted the command, the reply dropped). ADataPhase sets
// ACommanded once the server has accepted the transfer command.
void TNetFTP::RunTransfer(const std::function<void(bool& ACommanded)>& ADataPhase) {
  // One transfer at a time: a second one started from a window handler while
  // this one waits would pull the data connection away under it.
  if (FTransferRunning) throw ENetException("A transfer is already running.");
  FTransferRunning = true;
  TNetScopeExit done([this] { FTransferRunning = false; });

  FAbortSent = false;
  bool commanded = false;
  ReportStatus(ftpTransfer, {"Starting FTP transfer"});
  TNetScopeExit onFailure([&] {
    ReportStatus(ftpReady, {"Transfer complete"});
    if (commanded) DropFinalReply();
  });
  {
    // Freed before the final reply is read: a server still sending or
    // receiving answers only once the data connection is gone.
    TNetScopeExit freeData([this] { FDataConnection.reset(); });
    ADataPhase(commanded);
  }
  onFailure.Release();
  ReportStatus(ftpReady, {"Transfer complete"});
  FinishTransfer();
}

void TNetFTP::ReceiveTransfer(const std::string& ACommand, TNetStream& ADestination, bool AResume) {
  RunTransfer([&](bool& commanded) {
    if (Passive) {
      std::string host;
      int32_t port;
      RequestPassiveAddress(host, port);
      TNetTCPClient& data = NewPassiveConnection(host, port);
      data.OpenConnection(DefaultTimeLimit);
      ApplyKeepAlive(data);
      UsePassiveConnection(data, [&] {
        if (AResume) SendCommand("REST " + std::to_string(ADestination.Position()), {350});
        WriteLine(ACommand);
        ReadReply({125, 150, 154});
        commanded = true;
        data.ReadToStream(ADestination, -1, true);
      });
    } else {
      TNetSimpleServer& listener = NewActiveListener();
      if (AResume) SendCommand("REST " + std::to_string(ADestination.Position()), {350});
      SendCommand(ACommand, {125, 150, 154});
      commanded = true;
      // Without a connection the read below finds nothing and ends at once.
      if (listener.WaitForConnection()) ApplyKeepAlive(listener);
      listener.ReadToStream(ADestination, -1, true);
    }
  });
}

void TNetFTP::SendTransfer(const std::string& ACommand, TNetStream& ASource, bool AFromStart) {
  // An abort closes the data socket under the write; the write's failure is
  // then the abort itself, and the final replies tell the rest.
  auto write = [&](TNetTCPConnection& AData) {
    try {
      AData.WriteFromStream(ASource, AFromStart, false, 0);
      EndProtectedUpload(AData);
    } catch (const ENetException&) {
      if (!FAbortSent) throw;
    }
  };
  RunTransfer([&](bool& commanded) {
    if (Passive) {
      std::string host;
      int32_t port;
      RequestPassiveAddress(host, port);
      WriteLine(ACommand);
      TNetTCPClient& data = NewPassiveConnection(host, port);
      {
        // The server has the command already and answers it ("425 Can't
        // open data connection."); that reply is not left for the next one.
        TNetScopeExit dropReply([this] { DropFinalReply(); });
        data.OpenConnection(DefaultTimeLimit);
        dropReply.Release();
        ApplyKeepAlive(data);
      }
      UsePassiveConnection(data, [&] {
        ReadReply({110, 125, 150});
        commanded = true;
        write(data);
      });
    } else {
      TNetSimpleServer& listener = NewActiveListener();
      SendCommand(ACommand, {125, 150});
      commanded = true;
      if (listener.WaitForConnection()) ApplyKeepAlive(listener);
      // The server takes the close of the data connection as the end of the file.
      if (listener.IsConnected()) write(listener);
    }
  });
}

void TNetFTP::AfterRetrieve(TNetStream& AStream) {
  if (OnAfterGet) OnAfterGet(this, AStream);
}

void TNetFTP::Retrieve(const std::string& ARemoteName, TNetStream& ADestination, bool AResume) {
  CheckArgument(ARemoteName, "The file name");
  BeginRecord(true, ARemoteName, "");
  RetrieveRecorded(ARemoteName, ADestination, AResume);
}

void TNetFTP::Retrieve(const std::string& ARemoteName, const std::string& ALocalPath, bool ACanOverwrite,
                       bool AResume) {
  CheckArgument(ARemoteName, "The file name");
  BeginRecord(true, ARemoteName, ALocalPath);
  std::unique_ptr<TNetFileStream> file;
  bool resume = AResume;
  if (FileExists(ALocalPath)) {
    resume = AResume && ResumeSupported();
    if (ACanOverwrite && !resume) {
      file = std::make_unique<TNetFileStream>(ALocalPath, fmCreate | fmShareExclusive);
    } else if (!ACanOverwrite && resume) {
      file = std::make_unique<TNetFileStream>(ALocalPath, fmOpenReadWrite | fmShareDenyWrite);
      file->Seek(0, soEnd);
    } else {
      throw ENetFTPFileAlreadyExists();
    }
  } else {
    file = std::make_unique<TNetFileStream>(ALocalPath, fmCreate | fmShareExclusive);
  }
  RetrieveRecorded(ARemoteName, *file, resume);
}

void TNetFTP::Store(TNetStream& ASource, const std::string& ARemoteName, bool AAppend) {
  CheckArgument(ARemoteName, "The file name");
  BeginRecord(false, ARemoteName, "");
  StoreRecorded(ASource, ARemoteName, AAppend);
}

// "STOU " for an empty name (from the stream's start), else "APPE " (from
// its position) or "STOR " (from its start).
void TNetFTP::StoreCommand(TNetStream& ASource, const std::string& ARemoteName, bool AAppend) {
  if (ARemoteName.empty()) {
    SendTransfer("STOU ", ASource, true);
  } else if (AAppend) {
    SendTransfer("APPE " + ARemoteName, ASource, false);
  } else {
    SendTransfer("STOR " + ARemoteName, ASource, true);
  }
}

void TNetFTP::Store(const std::string& ALocalPath, const std::string& ARemoteName, bool AAppend) {
  CheckArgument(ARemoteName, "The file name");
  BeginRecord(false, ARemoteName, ALocalPath);
  TNetFileStream file(ALocalPath, fmOpenRead | fmShareDenyNone);
  StoreRecorded(file, ARemoteName, AAppend);
}

void TNetFTP::ListDirectory(TStringList* ADestination, const std::string& ASpecifier, bool ADetails) {
  CheckArgument(ASpecifier, "The listing specifier");
  TNetMemoryStream text;
  const std::string command = Trim((ADetails ? "LIST " : "NLST ") + ASpecifier);
  ReceiveTransfer(command, text, false);
  FParsedListing.reset();
  TStringList lines = SplitLines(std::string_view(text.Memory(), static_cast<size_t>(text.Size())));
  if (ADestination) *ADestination = lines;
  *FListingLines = std::move(lines);
}

void TNetFTP::CloseDataConnection() {
  if (!FDataConnection) return;
  // A listener still waiting for the server gives up after its current wait.
  if (auto* listener = dynamic_cast<TNetSimpleServer*>(FDataConnection.get())) listener->RequestAbort();
  FDataConnection->DropSocket();
}

void TNetFTP::AbortTransfer() {
  if (IsConnected()) {
    WriteLine("ABOR");
    if (FDataConnection) FAbortSent = true;
  }
  CloseDataConnection();
}
