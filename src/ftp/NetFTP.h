// The FTP client (RFC 959): one control connection to a server, every FTP
// operation as a blocking method, data connections in passive (RFC 1579
// style PASV) and active (PORT) mode, and logins through FTP proxies. When
// asked to, it also reads the server's features (RFC 2389), takes names as
// UTF-8 (RFC 2640) and uses extended passive and active mode (RFC 2428).
//
// Each method writes its command lines on the control connection and reads
// the server's numeric reply before it returns; a reply whose code the method
// does not accept ends it with ENetProtocolReplyError. A name, path or account
// field holding CR or LF is refused with ENetInvalidCommandArgument before
// anything is sent.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "NetFTPList.h"
#include "NetFTPReceipt.h"
#include "NetFTPReplyRules.h"
#include "NetIOHandlerTLS.h"
#include "NetSimpleServer.h"
#include "NetTCPClient.h"

enum TNetFTPTransferType : int { ftASCII, ftBinary };

// FTP over TLS (RFC 4217). tlsAuto: "AUTH TLS" after the greeting, and in
// clear text when the server refuses it; tlsRequired: a refusal ends the
// session; tlsImplicit: TLS from the first byte (servers listen on port 990).
enum TNetFTPTLSMode : int { tlsOff, tlsAuto, tlsRequired, tlsImplicit };

enum TNetFtpProxyType : int {
  fpcmNone,
  fpcmUserSite,
  fpcmSite,
  fpcmOpen,
  fpcmUserPass,
  fpcmTransparent,
  fpcmHttpProxyWithFtp,
};

// The FTP proxy in use and the account at the proxy.
class TNetFtpProxySettings : public TNetPersistent {
 public:
  std::string ClassName() const override { return "TNetFtpProxySettings"; }
  // Copies all values from another TNetFtpProxySettings.
  void Assign(const TNetPersistent& Source) override { AssignValues<TNetFtpProxySettings>(Source); }

  std::string Host;
  std::string UserName;
  std::string Password;
  TNetFtpProxyType ProxyType = fpcmNone;
  int32_t Port = 0;
};

using TNetFtpAfterGet = std::function<void(TNetBaseComponent* ASender, TNetStream& VStream)>;

class TNetFTP : public TNetTCPClient {
 public:
  explicit TNetFTP(TNetBaseComponent* AOwner = nullptr);
  ~TNetFTP() override;

  std::string ClassName() const override { return "TNetFTP"; }

  std::string Username;
  std::string Password;
  bool Passive = false;
  int32_t DataPort = 0;  // local port of the active-mode listener; 0 means any
  int32_t DataPortMin = 0;
  int32_t DataPortMax = 0;
  // After an automatic login, ask "FEAT" and, when the server lists UTF8,
  // send "OPTS UTF8 ON". Off: the session sends neither.
  bool UseFEAT = false;
  // Listings by "MLSD" and size and time checks by "MLST" (RFC 3659) when
  // the server lists MLST among its features (so only with UseFEAT). Off,
  // or with a server without it: "LIST", "SIZE" and "MDTM".
  bool UseMLSD = false;
  // Passive transfers ask "EPSV" first and active ones fall back to "EPRT"
  // when "PORT" is refused. Off: "PASV" and "PORT" only. Over an IPv6
  // control connection, where "PASV" and "PORT" cannot name the address,
  // "EPSV" and "EPRT" are used either way.
  bool UseEPSV = false;
  // Milliseconds a transfer waits at most for the next byte on the data
  // connection (either way), for the server to connect in active mode and
  // for the final reply; 0 waits without limit. When it strikes the transfer
  // fails with ENetTransferTimeout, the data connection is closed, and the
  // control connection stays usable, or is closed when the server's reply
  // to the transfer does not come either.
  int32_t IdleTimeout = 0;
  // After each binary Retrieve and Store of a named file: "SIZE" and,
  // where the server's "FEAT" lists a digest command, the server's digest of
  // the file, compared with the local file; a difference fails the transfer
  // (ENetFTPTransferIncomplete, ENetFTPDigestMismatch). A server that gives
  // no size or digest leaves that check out. An upload with "APPE" expects
  // the remote size before it plus the bytes sent. Off: no check.
  bool VerifyTransfers = false;
  // LastTransfer gets the SHA-256 of the whole local file, computed while
  // the bytes pass, and the server's size and time ("SIZE", "MDTM"), for
  // a receipt. Off: only what the checks above learn.
  bool RecordTransfers = false;
  // TCP keepalive on the control connection and every data connection, so
  // that a NAT box does not forget the quiet control connection during a
  // long transfer: the first probe after KeepAliveIdle seconds without
  // traffic, then one every KeepAliveInterval seconds, the link dropped
  // after KeepAliveCount unanswered ones. Off: the system's default.
  bool KeepAlive = false;
  int32_t KeepAliveIdle = 30;
  int32_t KeepAliveInterval = 10;
  int32_t KeepAliveCount = 3;
  TNotifyEvent OnAfterClientLogin;
  TNetCheckListFormat OnCheckListFormat;
  TNetCreateFTPList OnCreateFTPList;
  TNetFtpAfterGet OnAfterGet;
  // Off by default, so that the command sequence stays the plain one.
  TNetFTPTLSMode TLSMode = tlsOff;
  // The CA file and the fingerprints trusted per host and port for the
  // certificate of the host the control connection reaches (the server, or
  // the FTP proxy under the proxy logins, where TLS ends).
  TNetTLSTrust TLSTrust;

  // Changing it while connected and idle sends "TYPE A" or "TYPE I"; while a
  // transfer runs the change is refused silently.
  TNetFTPTransferType TransferType() const { return FTransferType; }
  void SetTransferType(TNetFTPTransferType AValue);

  TNetFtpProxySettings& ProxySettings() { return *FProxySettings; }
  void SetProxySettings(const TNetFtpProxySettings& AValue) { FProxySettings->Assign(AValue); }

  // Writing it also hands it to the current parsed listing.
  const TNetOnParseCustomListFormat& OnParseCustomListFormat() const { return FOnParseCustomListFormat; }
  void SetOnParseCustomListFormat(TNetOnParseCustomListFormat AValue);

  // The reply to "SYST" after an automatic login ("Unknown" when the server
  // answered 500).
  const std::string& SystemDescription() const { return FSystemDescription; }
  // A copy of the reply to the last command of the login.
  const TNetRFCReply& LoginReply() const { return *FLoginReply; }
  // The lines of the last listing.
  TStringList& ListingLines() { return *FListingLines; }
  // The parsed form of ListingLines, built on first use after each listing.
  TNetFTPListItems& ParsedListing();
  // The server's features as "FEAT" listed them in this session ("MDTM",
  // "MLST type*;size*;modify*;", "REST STREAM", "UTF8"); empty when not
  // asked or refused. Kept after the session ends, cleared when the next one
  // opens.
  const TStringList& Features() const { return FFeatures; }
  // Whether Features names AFeature (its first word, any letter case).
  bool HasFeature(const std::string& AFeature) const;
  // Names travel as UTF-8 in this session (the server listed UTF8). The
  // client never converts them: a caller hands over and gets back the bytes
  // of the wire, UTF-8 here, whatever the server uses otherwise.
  bool UTF8Names() const { return FUTF8Names; }
  // Listings and size and time checks go by MLSD and MLST now.
  bool UsesMachineListings() const { return UseMLSD && HasFeature("MLST"); }
  // The last listing came by "MLSD": ListingLines are fact lines without
  // those of the folder itself and its parent ("type=cdir", "type=pdir"), and
  // ParsedListing reads them as flfMachine.
  bool MachineListing() const { return FMachineListing; }
  // What the latest Retrieve or Store of a file learnt, as a receipt: the
  // direction, the names, the local size and SHA-256 (RecordTransfers or a
  // SHA-256 check), the server's size, time and digest; Ok once it succeeded
  // (checks included). The caller adds the company and the error.
  const TNetFTPReceipt& LastTransfer() const { return FLastTransfer; }
  // The data connection of the running transfer, null otherwise.
  TNetTCPConnection* DataConnection() const { return FDataConnection.get(); }
  // The control connection runs over TLS.
  bool ControlEncrypted() const { return FControlEncrypted; }
  // "TLS 1.3, TLS_AES_256_GCM_SHA384" while the control connection runs over
  // TLS; empty otherwise.
  std::string TLSDescription() const;
  // The server agreed to "PROT P": data connections run over TLS.
  bool DataProtected() const { return FDataProtected; }

  // --- The control session
  // Connects (to the FTP proxy when one is set), reads the 220 greeting and,
  // with AAutoLogin, logs in, asks "SYST" and reports "Connection
  // established". On any failure the connection is closed and the failure
  // passed on; Host and Port keep the server's values in every case.
  void OpenSession(bool AAutoLogin = true, int32_t ATimeout = DefaultTimeLimit);
  // "USER", "PASS" (or the proxy's sequence), then the transfer type.
  void Login();
  // Sends "FEAT" and keeps what it lists (any reply but 211 lists nothing),
  // then, when UTF8 is listed, "OPTS UTF8 ON" (its refusal is no error:
  // the listed feature is what makes names UTF-8). OpenSession calls it
  // after "SYST" when UseFEAT is set.
  void RequestFeatures();
  // "QUIT" without waiting for the reply when connected, then disconnects.
  void Quit();
  void ChangeDirectory(const std::string& ADirectory);   // "CWD "; 200 or 250
  std::string CurrentDirectory();                        // "PWD"; 257
  void MakeDirectory(const std::string& ADirectory);     // "MKD "; 257
  void RemoveDirectory(const std::string& ADirectory);   // "RMD "; 250
  void RemoveFile(const std::string& AName);             // "DELE "; 250
  // "SIZE " (or "MLST " while UsesMachineListings); the size, or -1 when the
  // server gives none (never raises for the reply).
  int64_t FileSize(const std::string& AName);
  // "MDTM " (or "MLST " while UsesMachineListings); the modification time in
  // local time, or 0 when the server gives none (never raises for the reply).
  TDateTime FileModified(const std::string& AName);
  // Sends the text as it is; returns the reply code, whatever it is.
  int16_t RawCommand(const std::string& ACommand);
  // Asks once per component ("REST 1", then "REST 0") whether the server
  // restarts transfers.
  bool ResumeSupported();

  // --- Transfers
  // Downloads with "RETR " into AStream, from its position when resuming.
  void Retrieve(const std::string& ARemoteName, TNetStream& ADestination, bool AResume = false);
  // Downloads into a local file: creates it, replaces it (ACanOverwrite) or
  // extends it (AResume, when the server restarts transfers); raises
  // ENetFTPFileAlreadyExists when it may do neither.
  void Retrieve(const std::string& ARemoteName, const std::string& ALocalPath, bool ACanOverwrite = false,
                bool AResume = false);
  // Uploads with "STOR " (from the stream's start), "APPE " (from its
  // position) or, for an empty name, "STOU ".
  void Store(TNetStream& ASource, const std::string& ARemoteName, bool AAppend = false);
  void Store(const std::string& ALocalPath, const std::string& ARemoteName, bool AAppend = false);
  // "LIST" (ADetails; "MLSD" while UsesMachineListings) or "NLST" with the
  // specifier; fills ListingLines and ADestination.
  void ListDirectory(TStringList* ADestination, const std::string& ASpecifier = "", bool ADetails = true);
  // Sends "ABOR" and closes the running transfer's data connection.
  virtual void AbortTransfer();

 protected:
  // A TLS handler, which moves plain bytes while TLS is off.
  TNetIOHandlerSocket* CreateSocksHandler() override;
  virtual void AfterRetrieve(TNetStream& AStream);
  virtual void CloseDataConnection();

 private:
  void CheckArgument(const std::string& AValue, const char* AWhat) const;
  void SendTransferType();
  void ProxyAccountStep();
  void ServerAccountStep();
  void PrepareListing();
  // "OPTS MLST" with the facts the listing shows that the server offers but
  // has not switched on; its refusal is no error.
  void ChooseListingFacts();
  // The fact line of "MLST name", empty when the server gives none.
  std::string FactsOf(const std::string& AName);

  // --- Checked transfers (NetFTPVerify.cpp)
  void BeginRecord(bool ADownload, const std::string& ARemoteName, const std::string& ALocalPath);
  // ADestination as ReceiveTransfer takes it; AResume already asked
  // ResumeSupported.
  void RetrieveRecorded(const std::string& ARemoteName, const std::function<TNetStream&()>& ADestination,
                        bool AResume, int64_t ARestartAt);
  void StoreRecorded(TNetStream& ASource, const std::string& ARemoteName, bool AAppend);
  void StoreCommand(TNetStream& ASource, const std::string& ARemoteName, bool AAppend);
  // The server's features: those of the login's "FEAT" (UseFEAT), else
  // asked with RequestFeatures on first use; never a second "FEAT".
  const TStringList& SessionFeatures();
  // How to ask for the server's digest of a file; none while not verifying.
  TNetFTPDigestChoice ServerDigestChoice();
  // The digests a transfer keeps while its bytes pass: SHA-256 for the
  // receipt, the server's algorithm when its digest is AComparable with the
  // local copy's.
  std::vector<std::string> LocalDigests(const TNetFTPDigestChoice& ADigest, bool AComparable) const;
  // "SIZE" against AExpected and the server's digest against ALocalDigest,
  // the local copy's of the same algorithm (empty: no digest check).
  void CheckTransfer(const std::string& ARemoteName, bool ADownload, int64_t AExpected,
                     const TNetFTPDigestChoice& ADigest, const std::string& ALocalDigest);
  void ApplyKeepAlive(TNetTCPConnection& AConnection);

  // --- TLS (NetFTPTLS.cpp)
  void PrepareControlTLS();
  void NegotiateControlTLS();
  void ProtectDataChannel();
  TNetIOHandlerTLS* ControlTLS() const;
  // A new I/O handler for a data connection, owned by it: TLS resuming the
  // control connection's session when data is protected, plain otherwise.
  TNetIOHandlerSocket* NewDataHandler(TNetTCPConnection& AData);
  // After an upload over TLS: our close, then the server's.
  void EndProtectedUpload(TNetTCPConnection& AData);

  void RequestPassiveAddress(std::string& AHost, int32_t& APort);
  bool RequestExtendedPassivePort(int32_t& APort);
  // EPSV and EPRT in this transfer: asked for, or the only way over IPv6.
  bool UsesExtendedDataCommands() const;
  // The passive data connection, connected: after "EPSV" or "PASV" (see the
  // .cpp for the fall-backs). ABeforeConnect runs once the port is known
  // and before the connect, told whether it came from EPSV; AConnectFailed
  // runs when the connect has failed.
  TNetTCPClient& OpenPassiveConnection(const std::function<void(bool AExtended)>& ABeforeConnect,
                                       const std::function<void()>& AConnectFailed);
  void SendPortCommand(TNetSocketHandle& AHandle);
  void CopySettingsToDataConnection(TNetTCPConnection& AConnection);
  TNetTCPClient& NewPassiveConnection(const std::string& AHost, int32_t APort);
  // A listener bound, listening and announced with "PORT".
  TNetSimpleServer& NewActiveListener();
  // Waits for the server's connection to the listener; raises the idle
  // time-out when it has not come within it.
  void AcceptDataConnection(TNetSimpleServer& AListener);
  void UsePassiveConnection(TNetTCPClient& AData, const std::function<void()>& ABody);
  void RunTransfer(const std::function<void(bool& ACommanded)>& ADataPhase);
  // ADestination gives the stream once the server has accepted the command;
  // when resuming, "REST" asks for ARestartAt.
  void ReceiveTransfer(const std::string& ACommand, const std::function<TNetStream&()>& ADestination, bool AResume,
                       int64_t ARestartAt);
  void ReadData(TNetTCPConnection& AData, TNetStream& ADestination);
  void WriteData(TNetTCPConnection& AData, TNetStream& ASource, bool AFromStart);
  void LimitDataSends(TNetTCPConnection& AData);
  [[noreturn]] void RaiseIdleTimeout(const char* AWhat);
  int16_t ReadFinalReply();
  void SendTransfer(const std::string& ACommand, TNetStream& ASource, bool AFromStart);
  void FinishTransfer();
  void DropFinalReply();
  bool ReadReplyWithin();

  TNetFTPTransferType FTransferType = ftBinary;
  std::unique_ptr<TStringList> FListingLines;
  std::unique_ptr<TNetRFCReply> FLoginReply;
  std::unique_ptr<TNetFTPListItems> FParsedListing;
  std::unique_ptr<TNetFtpProxySettings> FProxySettings;
  TNetOnParseCustomListFormat FOnParseCustomListFormat;
  std::string FSystemDescription;
  TStringList FFeatures;
  bool FFeaturesAsked = false;   // "FEAT" sent in this session
  bool FUTF8Names = false;
  bool FMachineListing = false;
  TNetFTPReceipt FLastTransfer;
  bool FHashOptsSent = false;    // "OPTS HASH" sent in this session
  bool FHashRefused = false;     // the server refused "OPTS HASH"
  bool FResumeProbed = false;
  bool FResumeSupported = false;
  std::unique_ptr<TNetTCPConnection> FDataConnection;
  // The host the control connection was opened to (the proxy when one was
  // used): passive data connections go there, whatever a 227 reply names.
  std::string FControlHost;
  // A 5xx to "EPSV" or to "PORT" holds for the rest of the session.
  bool FEPSVRefused = false;
  bool FPORTRefused = false;
  int32_t FControlPort = 0;
  bool FControlEncrypted = false;
  bool FDataProtected = false;
  // Set by AbortTransfer while a transfer runs.
  bool FAbortSent = false;
  bool FTransferRunning = false;
};
