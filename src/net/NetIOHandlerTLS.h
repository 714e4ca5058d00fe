// A socket I/O handler whose receive and send go through TLS (TLS 1.2 or
// later, the library's default ciphers), so that everything above it
// (buffered reads, replies, work events, the anti-freeze, time-outs) works
// unchanged. It runs the SOCKS handshake of its base first and TLS above it.
//
// The TLS handshake starts on demand: in pass-through mode the handler moves
// plain bytes until StartTLS (explicit TLS after "AUTH TLS"); otherwise the
// first receive, send or wait for data of a new link runs it (implicit TLS,
// and data connections, whose handshake may start only once the server has
// answered the transfer command). The server's certificate is checked right
// after the handshake, before any byte of the application goes either way.
// Closing the handler sends TLS's close (close_notify) when it can.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "NetIOHandler.h"
#include "NetTLSTrust.h"

struct ssl_st;
struct TNetCertificateCheck;
struct ssl_ctx_st;
struct ssl_session_st;

// A TLS client set-up (trusted authorities, verification, session caching)
// shared by a control connection and its data connections.
class TNetTLSContext {
 public:
  // Raises ENetTLSError when the CA file does not load.
  explicit TNetTLSContext(const std::string& ACAFile);
  ~TNetTLSContext();
  TNetTLSContext(const TNetTLSContext&) = delete;
  TNetTLSContext& operator=(const TNetTLSContext&) = delete;
  ssl_ctx_st* Handle() const { return FContext; }
  // Keeps a new session of one of the links (the reference is taken over).
  void AddSession(ssl_session_st* ASession);
  // The session to offer on the next link, or null; still owned here.
  ssl_session_st* TakeSession();

 private:
  ssl_ctx_st* FContext;
  std::vector<ssl_session_st*> FFresh;  // not offered yet, oldest first
  ssl_session_st* FLastUsed = nullptr;
};

class TNetIOHandlerTLS : public TNetIOHandlerSocket {
 public:
  explicit TNetIOHandlerTLS(TNetBaseComponent* AOwner = nullptr);
  ~TNetIOHandlerTLS() override;

  std::string ClassName() const override { return "TNetIOHandlerTLS"; }

  // True: plain bytes until StartTLS. False: TLS from the first byte of every
  // link, the handshake run by its first receive, send or wait for data.
  bool PassThrough = true;
  // The server whose certificate this is: the name it must carry, and the
  // host and port its trusted fingerprints are kept under. Empty: the host
  // and port given to ConnectTo (the destination, not a SOCKS proxy).
  std::string VerifyHost;
  int32_t VerifyPort = 0;
  TNetTLSTrust Trust;
  // The wait for the server's handshake and record bytes where no wait for
  // data came first (a send's handshake, a read the caller did not bound).
  int32_t TimeLimit = NoTimeLimit;

  // Runs the handshake now and checks the certificate. Raises ENetTLSError
  // (ENetTLSCertificateRefused for a certificate) or ENetReadTimeout.
  void StartTLS();
  // The handshake has completed on the current link.
  bool Encrypted() const { return FState == tsEstablished; }
  // The negotiated protocol and cipher, "TLS 1.3, TLS_AES_256_GCM_SHA384";
  // empty while no handshake has completed on the current link.
  std::string ProtocolAndCipher() const;
  // The fingerprint of the certificate accepted last ("SHA256:...").
  const std::string& PeerFingerprint() const { return FPeerFingerprint; }
  // The last end of the link came with TLS's close from the peer; false
  // after a plain end of the TCP stream, which a caller must not take as a
  // complete transfer by itself.
  bool PeerClosedCleanly() const { return FCleanClose; }
  // Shares another handler's set-up and offers the server the TLS session
  // it made last (FTP data connections resume the control connection's
  // session, and servers may insist on that).
  void ResumeSessionOf(TNetIOHandlerTLS& AOther);
  // Ends the link in order: TLS's close, the end of the TCP stream, then a
  // wait (up to TimeLimit) until the server has closed too. For the end of
  // an upload, which the server has only wholly read once it closes.
  void EndTLS();

  void CloseHandler() override;
  void ConnectTo(const std::string& AHost, int32_t APort, const std::string& ABoundIP, int32_t ABoundPort,
                 int32_t ABoundPortMin, int32_t ABoundPortMax, int32_t ATimeout) override;
  void OpenHandler() override;
  bool WaitReadable(int32_t AMilliseconds) override;
  int32_t ReceiveSome(void* ABuffer, int32_t ALength) override;
  // A record may be half there: only a plain link takes what has arrived.
  bool ReceivesWithoutWait() override { return FState == tsPlain; }
  int32_t ReceiveReady(void* ABuffer, int32_t ALength) override {
    return FState == tsPlain ? TNetIOHandlerSocket::ReceiveReady(ABuffer, ALength) : ReceiveNotReady;
  }
  int32_t SendSome(const void* ABuffer, int32_t ALength) override;
  bool WritesRawSocket() const override { return FState == tsPlain; }

 private:
  friend class TNetTLSBio;
  enum TState : int { tsPlain, tsPending, tsEstablished, tsClosing };

  // Counts the calls into the TLS library in progress: a window handler run
  // by a wait inside one may close the handler, whose TLS state is then
  // freed only once the call has returned.
  class TLibraryCall {
   public:
    explicit TLibraryCall(TNetIOHandlerTLS& AHandler);
    ~TLibraryCall();
    TLibraryCall(const TLibraryCall&) = delete;
    TLibraryCall& operator=(const TLibraryCall&) = delete;

   private:
    TNetIOHandlerTLS& FHandler;
  };

  // False when the server's bytes did not come in time.
  bool Handshake();
  void ReleaseTLS();
  void TakeWaitingRecords();
  void RethrowPending();
  std::string FailureText(int AError);
  int BioRead(char* ABuffer, int ALength);
  int BioWrite(const char* ABuffer, int ALength);

  TState FState = tsPlain;
  std::shared_ptr<TNetTLSContext> FContext;
  ssl_st* FSSL = nullptr;
  bool FResumes = false;  // shares another handler's set-up and resumes its sessions
  std::unique_ptr<TNetCertificateCheck> FCheck;
  std::string FConnectHost;
  int32_t FConnectPort = 0;
  std::string FPeerFingerprint;
  int32_t FWait = NoTimeLimit;  // the limit of the current operation's reads
  int FCallDepth = 0;
  bool FReleasePending = false;
  bool FClosing = false;
  bool FTimedOut = false;
  bool FSocketFailed = false;
  bool FCleanClose = false;
  std::exception_ptr FPending;  // raised inside a library callback, rethrown outside it
};
