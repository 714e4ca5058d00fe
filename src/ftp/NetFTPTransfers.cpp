// FTP data connections and transfers (RFC 959, 3.2 and 3.3; passive mode as
// RFC 1579 recommends for clients behind firewalls; extended passive and
// active mode, RFC 2428).
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

#include <cstdio>

#include "NetExceptions.h"
#include "NetFTPFacts.h"
#include "NetFTPReplyRules.h"
#include "NetScope.h"
#include "NetStack.h"

namespace {

// "2 s", or "1500 ms" for a time that is not whole seconds.
std::string WaitText(int32_t AMilliseconds) {
  if (AMilliseconds % 1000 == 0) return std::to_string(AMilliseconds / 1000) + " s";
  return std::to_string(AMilliseconds) + " ms";
}

}  // namespace

// Sends PASV; the announced address is read by PassiveAddressOfReply.
void TNetFTP::RequestPassiveAddress(std::string& AHost, int32_t& APort) {
  SendCommand("PASV", {227});
  TNetFTPHostPort address = PassiveAddressOfReply(LastReply.Text);
  AHost = std::move(address.Host);
  APort = address.Port;
}

bool TNetFTP::UsesExtendedDataCommands() const {
  const TNetIOHandlerSocket* control = SocketHandler();
  return UseEPSV || (control && control->SocketHandle() && control->SocketHandle()->Family == Id_PF_INET6);
}

// Sends EPSV; "229 Entering Extended Passive Mode (|||6446|)" gives the
// port. False when the server refuses it (5xx: PASV for the rest of the
// session) or names no usable port; any other code is the reply error.
bool TNetFTP::RequestExtendedPassivePort(int32_t& APort) {
  const int16_t code = SendCommand("EPSV", TReplyCodes{});
  if (code == 229) return TryExtendedPassivePort(LastReply.Text, APort);
  if (code < 500 || code > 599) RaiseReplyError();
  FEPSVRefused = true;
  return false;
}

// Extended passive mode first, where it is in use and the server has not
// refused it in this session; then "PASV". A data connection that cannot be
// made after EPSV (a firewall that lets only the old mode's ports through)
// gets one more try with "PASV" in this transfer; EPSV is asked again in the
// next one. Neither reply's address is used: the data connection goes to the
// host the control connection reached (NewPassiveConnection).
TNetTCPClient& TNetFTP::OpenPassiveConnection(const std::function<void(bool AExtended)>& ABeforeConnect,
                                              const std::function<void()>& AConnectFailed) {
  bool extended = !FEPSVRefused && UsesExtendedDataCommands();
  for (;;) {
    std::string host;
    int32_t port = 0;
    if (extended && !RequestExtendedPassivePort(port)) extended = false;
    if (!extended) RequestPassiveAddress(host, port);
    if (ABeforeConnect) ABeforeConnect(extended);
    TNetTCPClient& data = NewPassiveConnection(host, port);
    try {
      data.OpenConnection(IdleTimeout > 0 ? IdleTimeout : DefaultTimeLimit);
      ApplyKeepAlive(data);
      return data;
    } catch (...) {
      if (AConnectFailed) AConnectFailed();
      // An abort or a closed session is no reason to try again.
      if (!extended || FAbortSent || !IsConnected()) throw;
      extended = false;
    }
  }
}

// "PORT 10,0,0,5,19,137" for 10.0.0.5 port 5001. An IPv6 address needs
// "EPRT |2|2001:db8::5|5001|"; with the extensions on, a server that refuses
// PORT (5xx) gets EPRT, for the rest of the session.
void TNetFTP::SendPortCommand(TNetSocketHandle& AHandle) {
  const std::string extended = "EPRT " + ExtendedPortArgument(AHandle.IP, AHandle.Port);
  if (AHandle.Family == Id_PF_INET6 || FPORTRefused) {
    SendCommand(extended, {200});
    return;
  }
  const std::string address = ReplaceAll(AHandle.IP, ".", ",");
  const std::string port =
      "PORT " + address + "," + std::to_string(AHandle.Port / 256) + "," + std::to_string(AHandle.Port % 256);
  if (!UseEPSV) {
    SendCommand(port, {200});
    return;
  }
  const int16_t code = SendCommand(port, TReplyCodes{});
  if (code == 200) return;
  if (code < 500 || code > 599) RaiseReplyError();
  FPORTRefused = true;
  SendCommand(extended, {200});
}

// The data connection takes the buffer sizes, the work events and the idle
// time-out as its read time-out, nothing else: the trace shows the control
// connection only.
void TNetFTP::CopySettingsToDataConnection(TNetTCPConnection& AConnection) {
  AConnection.ReadTimeout = IdleTimeout;
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
  server.AcceptTimeout = IdleTimeout;
  // Only the server may connect (RFC 2577): a third host that races it to
  // the port would feed the download. Through a SOCKS proxy the control
  // connection's peer is the proxy, so no address is checked there.
  TNetIOHandlerSocket* control = SocketHandler();
  if (control && control->SocketHandle() && control->SocksInfo()->Version == svNoSocks)
    server.AcceptFromIP = control->SocketHandle()->RemoteIP;
  // A handler installed and opened before listening is the one that listens
  // (and, once the server has connected, the TLS client of the connection).
  if (FDataProtected) NewDataHandler(server)->OpenHandler();
  server.StartListening();
  SendPortCommand(*server.ListenerHandle());
  return server;
}

// Waits for the server to connect to the active-mode listener. After an
// abort the data phase that follows finds no connection and ends at once.
void TNetFTP::AcceptDataConnection(TNetSimpleServer& AListener) {
  if (AListener.WaitForConnection())
    ApplyKeepAlive(AListener);
  else if (!AListener.AbortRequested() && IdleTimeout > 0)
    RaiseIdleTimeout("the server did not connect to the data port within %s");
}

// Runs ABody on the passive data connection, which is closed afterwards,
// also when ABody fails.
void TNetFTP::UsePassiveConnection(TNetTCPClient& AData, const std::function<void()>& ABody) {
  TNetScopeExit close([&AData] { AData.CloseConnection(); });
  ABody();
}

// Reads one reply of any code, waiting at most the idle time-out, else
// ReadTimeout, or 5 s when both are 0: for a reply that should come but that
// a server may never send. Returns false when none came (or the link went
// down).
bool TNetFTP::ReadReplyWithin() {
  TNetScopeExit restore([this, saved = ReadTimeout] { ReadTimeout = saved; });
  if (IdleTimeout > 0) ReadTimeout = IdleTimeout;
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
  const int16_t code = ReadFinalReply();
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

// The transfer's own reply, within the idle time-out when one is set. A
// reply that has not come by then may still come and would be taken for the
// next command's: the control connection is closed.
int16_t TNetFTP::ReadFinalReply() {
  if (IdleTimeout <= 0) return ReadReply({225, 226, 250, 426, 450});
  TNetScopeExit restore([this, saved = ReadTimeout] { ReadTimeout = saved; });
  ReadTimeout = IdleTimeout;
  try {
    return ReadReply({225, 226, 250, 426, 450});
  } catch (const ENetReadTimeout&) {
    CloseConnection();
    RaiseIdleTimeout("the final reply did not arrive within %s");
  }
}

// A transfer whose data phase failed after the server had accepted the
// command: the server still ends the transfer with a reply (426 for a broken
// data connection). It is read and dropped, so that the next command gets its
// own reply; the failure itself goes on to the caller. When none comes in
// time, a late one would answer the next command: the session is closed.
void TNetFTP::DropFinalReply() {
  if (!ReadReplyWithin()) CloseConnection();
}

void TNetFTP::RaiseIdleTimeout(const char* AWhat) {
  throw ENetTransferTimeout("Transfer timed out: " + FormatMessage(AWhat, {WaitText(IdleTimeout)}) + ".");
}

// Sends on the data connection give up when the server takes nothing for the
// idle time-out.
void TNetFTP::LimitDataSends(TNetTCPConnection& AData) {
  if (IdleTimeout <= 0) return;
  if (TNetIOHandlerSocket* handler = AData.SocketHandler())
    if (handler->IsOpen()) handler->SocketHandle()->SetSendTimeout(IdleTimeout);
}

void TNetFTP::ReadData(TNetTCPConnection& AData, TNetStream& ADestination) {
  try {
    AData.ReadToStream(ADestination, -1, true);
  } catch (const ENetReadTimeout&) {
    RaiseIdleTimeout("no data arrived on the data connection for %s");
  }
}

// An abort closes the data socket under the write; the write's failure is
// then the abort itself, and the final replies tell the rest.
void TNetFTP::WriteData(TNetTCPConnection& AData, TNetStream& ASource, bool AFromStart) {
  LimitDataSends(AData);
  try {
    AData.WriteFromStream(ASource, AFromStart, false, 0);
    EndProtectedUpload(AData);
  } catch (const ENetSocketError& e) {
    if (FAbortSent) return;
    if (e.SocketErrorCode == ErrWouldBlock && IdleTimeout > 0)  // the send limit struck
      RaiseIdleTimeout("the server took no data on the data connection for %s");
    throw;
  } catch (const ENetException&) {
    if (!FAbortSent) throw;
  }
}

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

void TNetFTP::ReceiveTransfer(const std::string& ACommand, const std::function<TNetStream&()>& ADestination,
                              bool AResume, int64_t ARestartAt) {
  RunTransfer([&](bool& commanded) {
    if (Passive) {
      TNetTCPClient& data = OpenPassiveConnection(nullptr, nullptr);
      UsePassiveConnection(data, [&] {
        if (AResume) SendCommand("REST " + std::to_string(ARestartAt), {350});
        WriteLine(ACommand);
        ReadReply({125, 150, 154});
        commanded = true;
        ReadData(data, ADestination());
      });
    } else {
      TNetSimpleServer& listener = NewActiveListener();
      if (AResume) SendCommand("REST " + std::to_string(ARestartAt), {350});
      SendCommand(ACommand, {125, 150, 154});
      commanded = true;
      TNetStream& destination = ADestination();
      AcceptDataConnection(listener);
      ReadData(listener, destination);
    }
  });
}

void TNetFTP::SendTransfer(const std::string& ACommand, TNetStream& ASource, bool AFromStart) {
  RunTransfer([&](bool& commanded) {
    if (Passive) {
      // After PASV the command goes out before the connect. The server then
      // has it when the connect fails and answers it ("425 Can't open data
      // connection."); that reply is not left for the next command. After
      // EPSV the command waits for the connection, so that a connect that
      // fails leaves nothing to answer and PASV can follow at once.
      bool written = false;
      TNetTCPClient& data = OpenPassiveConnection(
          [&](bool AExtended) {
            if (AExtended) return;
            WriteLine(ACommand);
            written = true;
          },
          [&] {
            if (written) DropFinalReply();
          });
      UsePassiveConnection(data, [&] {
        if (!written) WriteLine(ACommand);
        ReadReply({110, 125, 150});
        commanded = true;
        WriteData(data, ASource, AFromStart);
      });
    } else {
      TNetSimpleServer& listener = NewActiveListener();
      SendCommand(ACommand, {125, 150});
      commanded = true;
      AcceptDataConnection(listener);
      // The server takes the close of the data connection as the end of the file.
      if (listener.IsConnected()) WriteData(listener, ASource, AFromStart);
    }
  });
}

void TNetFTP::AfterRetrieve(TNetStream& AStream) {
  if (OnAfterGet) OnAfterGet(this, AStream);
}

void TNetFTP::Retrieve(const std::string& ARemoteName, TNetStream& ADestination, bool AResume) {
  CheckArgument(ARemoteName, "The file name");
  BeginRecord(true, ARemoteName, "");
  const bool resume = AResume && ResumeSupported();
  RetrieveRecorded(
      ARemoteName, [&]() -> TNetStream& { return ADestination; }, resume, ADestination.Position());
}

// A new or replaced file is created (emptied) only once the server has
// accepted "RETR": a refused download leaves the old copy as it was and
// creates nothing. A file this download created that got no byte before the
// download failed is removed: a later resume would take it for a partial one.
void TNetFTP::Retrieve(const std::string& ARemoteName, const std::string& ALocalPath, bool ACanOverwrite,
                       bool AResume) {
  CheckArgument(ARemoteName, "The file name");
  BeginRecord(true, ARemoteName, ALocalPath);
  std::unique_ptr<TNetFileStream> file;
  const bool existed = FileExists(ALocalPath);
  const bool resume = AResume && ResumeSupported();
  if (existed) {
    if (!ACanOverwrite && resume) {
      file = std::make_unique<TNetFileStream>(ALocalPath, fmOpenReadWrite | fmShareDenyWrite);
      file->Seek(0, soEnd);
    } else if (!ACanOverwrite || resume) {
      throw ENetFTPFileAlreadyExists();
    }
  }
  auto destination = [&]() -> TNetStream& {
    if (!file) file = std::make_unique<TNetFileStream>(ALocalPath, fmCreate | fmShareExclusive);
    return *file;
  };
  TNetScopeExit removeEmpty([&] {
    if (existed || !file || file->Size() != 0) return;
    file.reset();
    std::remove(ALocalPath.c_str());
  });
  RetrieveRecorded(ARemoteName, destination, resume, file ? file->Position() : 0);
  removeEmpty.Release();
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
  const bool machine = ADetails && UsesMachineListings();
  const std::string command = Trim((machine ? "MLSD " : ADetails ? "LIST " : "NLST ") + ASpecifier);
  ReceiveTransfer(command, [&]() -> TNetStream& { return text; }, false, 0);
  FParsedListing.reset();
  TStringList lines = SplitLines(std::string_view(text.Memory(), static_cast<size_t>(text.Size())));
  if (machine) {
    // The folder itself and its parent are no entries of it; without their
    // lines every listing line is the row of one entry.
    std::erase_if(lines, [](const std::string& ALine) { return IsSelfOrUpFactsLine(ALine); });
  }
  FMachineListing = machine;
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
