#include "NetIOHandlerTLS.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <fstream>

#include "NetAntiFreezeBase.h"
#include "NetExceptions.h"
#include "NetScope.h"
#include "NetStack.h"
#include "NetTLSCertificate.h"

namespace {

// The text of the library's newest error, or AFallback.
std::string LibraryErrorText(const std::string& AFallback) {
  const unsigned long code = ERR_peek_last_error();
  const char* reason = code ? ERR_reason_error_string(code) : nullptr;
  return reason ? std::string(reason) : AFallback;
}

// OpenSSL 3 reports a TCP end without TLS's close as this error.
bool EndedWithoutClose() {
  const unsigned long code = ERR_peek_last_error();
  return code && ERR_GET_LIB(code) == ERR_LIB_SSL && ERR_GET_REASON(code) == SSL_R_UNEXPECTED_EOF_WHILE_READING;
}

}  // namespace

// ---------------------------------------------------------------------------
// TNetTLSBio: the TLS library reads and writes the record bytes through the
// handler's socket handle, so that the waits honour the time-outs and let
// the windows run like every other wait of the stack.

class TNetTLSBio {
 public:
  static BIO_METHOD* Method() {
    static BIO_METHOD* const method = [] {
      BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "remessa socket handle");
      BIO_meth_set_write(m, Write);
      BIO_meth_set_read(m, Read);
      BIO_meth_set_ctrl(m, Control);
      BIO_meth_set_create(m, Create);
      return m;
    }();
    return method;
  }

 private:
  static TNetIOHandlerTLS* Handler(BIO* ABio) { return static_cast<TNetIOHandlerTLS*>(BIO_get_data(ABio)); }
  static int Create(BIO* ABio) {
    BIO_set_init(ABio, 1);
    return 1;
  }
  static int Read(BIO* ABio, char* ABuffer, int ALength) {
    BIO_clear_retry_flags(ABio);
    const int n = Handler(ABio)->BioRead(ABuffer, ALength);
    if (n < 0 && Handler(ABio)->FTimedOut) BIO_set_retry_read(ABio);
    return n;
  }
  static int Write(BIO* ABio, const char* ABuffer, int ALength) {
    BIO_clear_retry_flags(ABio);
    return Handler(ABio)->BioWrite(ABuffer, ALength);
  }
  static long Control(BIO*, int ACommand, long, void*) { return ACommand == BIO_CTRL_FLUSH ? 1 : 0; }

 public:
  // A new session of a link (TLS 1.3 sends them after the handshake): kept
  // in the set-up the link shares with the connections of its session.
  static int NewSession(SSL* ASSL, SSL_SESSION* ASession) {
    auto* handler = static_cast<TNetIOHandlerTLS*>(SSL_get_app_data(ASSL));
    if (!handler || !handler->FContext) return 0;
    handler->FContext->AddSession(ASession);
    return 1;  // the reference is the context's now
  }
};

// No exception may pass through the library: one raised here (a window
// handler failing inside the wait) is kept and raised again outside.
int TNetIOHandlerTLS::BioRead(char* ABuffer, int ALength) {
  try {
    if (!IsOpen()) return 0;
    if (FWait == 0) {
      // Only what has arrived already (at a close): no wait, and no window
      // handler run from here.
      TNetSocketListPosix readList;
      readList.Add(SocketHandle()->OsHandle);
      if (StackInstance->SockSelect(&readList, nullptr, nullptr, 0) != 1) {
        FTimedOut = true;
        return -1;
      }
    } else if (FWait != NoTimeLimit || TNetAntiFreezeBase::ShouldYield()) {
      // As FillInputBuffer does: no readiness wait for an unlimited read
      // without windows to keep alive, the receive waits just as well.
      if (!SocketHandle()->WaitReadable(FWait)) {
        FTimedOut = true;
        return -1;
      }
      // A window handler run by the wait may have closed the link.
      if (!IsOpen()) return 0;
    }
    const int32_t n = SocketHandle()->RecvBytes(ABuffer, ALength, 0);
    if (n < 0) FSocketFailed = true;
    return n;
  } catch (...) {
    FPending = std::current_exception();
    return -1;
  }
}

int TNetIOHandlerTLS::BioWrite(const char* ABuffer, int ALength) {
  try {
    if (!IsOpen()) {
      FSocketFailed = true;
      return -1;
    }
    // The close from CloseHandler must never block: a peer that reads
    // nothing more (an aborted upload) simply does not get it.
    const int32_t n = SocketHandle()->SendBytes(ABuffer, ALength, FClosing ? MSG_DONTWAIT : 0);
    if (n < 0) FSocketFailed = true;
    return n;
  } catch (...) {
    FPending = std::current_exception();
    return -1;
  }
}

// ---------------------------------------------------------------------------
// TNetTLSContext

TNetTLSContext::TNetTLSContext(const std::string& ACAFile) : FContext(SSL_CTX_new(TLS_client_method())) {
  if (!FContext) throw ENetTLSError("TLS set-up failed: " + LibraryErrorText("no TLS client method") + ".");
  SSL_CTX_set_min_proto_version(FContext, TLS1_2_VERSION);
  SSL_CTX_set_default_verify_paths(FContext);
  if (!ACAFile.empty() && SSL_CTX_load_verify_locations(FContext, ACAFile.c_str(), nullptr) != 1) {
    // The library names an unreadable file only as a "system lib" failure.
    const int openError = std::ifstream(ACAFile) ? 0 : errno;
    const std::string why = openError ? std::strerror(openError) : LibraryErrorText("no certificates");
    ERR_clear_error();
    SSL_CTX_free(FContext);
    throw ENetTLSError(FormatMessage("Cannot load the CA file \"%s\": %s", {ACAFile, why}));
  }
  SSL_CTX_set_verify(FContext, SSL_VERIFY_PEER, RecordCertificateProblems);
  // Sessions are kept by the handlers themselves, for their data connections.
  SSL_CTX_set_session_cache_mode(FContext, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
  SSL_CTX_sess_set_new_cb(FContext, TNetTLSBio::NewSession);
}

TNetTLSContext::~TNetTLSContext() {
  for (SSL_SESSION* session : FFresh) SSL_SESSION_free(session);
  if (FLastUsed) SSL_SESSION_free(FLastUsed);
  SSL_CTX_free(FContext);
}

void TNetTLSContext::AddSession(ssl_session_st* ASession) { FFresh.push_back(ASession); }

// Servers may take a TLS 1.3 session only once ("SSL connection failed:
// session reuse required" from vsftpd the second time): the newest one not
// offered yet goes first, the last one offered when none is left.
ssl_session_st* TNetTLSContext::TakeSession() {
  if (!FFresh.empty()) {
    if (FLastUsed) SSL_SESSION_free(FLastUsed);
    FLastUsed = FFresh.back();
    FFresh.pop_back();
  }
  return FLastUsed;
}

// ---------------------------------------------------------------------------
// TNetIOHandlerTLS

TNetIOHandlerTLS::TLibraryCall::TLibraryCall(TNetIOHandlerTLS& AHandler) : FHandler(AHandler) {
  ++FHandler.FCallDepth;
  ERR_clear_error();
  FHandler.FTimedOut = false;
  FHandler.FSocketFailed = false;
  FHandler.FPending = nullptr;
}

TNetIOHandlerTLS::TLibraryCall::~TLibraryCall() {
  if (--FHandler.FCallDepth == 0 && FHandler.FReleasePending) FHandler.ReleaseTLS();
}

TNetIOHandlerTLS::TNetIOHandlerTLS(TNetBaseComponent* AOwner) : TNetIOHandlerSocket(AOwner) {}

TNetIOHandlerTLS::~TNetIOHandlerTLS() {
  CloseHandler();
  ReleaseTLS();
}

void TNetIOHandlerTLS::ResumeSessionOf(TNetIOHandlerTLS& AOther) {
  FContext = AOther.FContext;
  FResumes = true;
}

void TNetIOHandlerTLS::ReleaseTLS() {
  FReleasePending = false;
  if (FSSL) {
    SSL_free(FSSL);  // frees the BIO too
    FSSL = nullptr;
  }
  FCheck.reset();
}

void TNetIOHandlerTLS::RethrowPending() {
  if (FPending) {
    std::exception_ptr pending = FPending;
    FPending = nullptr;
    std::rethrow_exception(pending);
  }
}

// Why a library call failed, in words; clears the library's error queue.
std::string TNetIOHandlerTLS::FailureText(int AError) {
  std::string why;
  if (AError == SSL_ERROR_ZERO_RETURN || (AError == SSL_ERROR_SYSCALL && !FSocketFailed) || EndedWithoutClose() ||
      !IsOpen()) {
    why = "the connection was closed";
  } else if (AError == SSL_ERROR_SYSCALL) {
    why = "the connection failed";
  } else {
    why = LibraryErrorText("unknown failure");
  }
  ERR_clear_error();
  return why;
}

void TNetIOHandlerTLS::OpenHandler() {
  TNetIOHandlerSocket::OpenHandler();
  ReleaseTLS();
  // A link of its own starts with a fresh set-up (the CA file or the server
  // may have changed); one that resumes another's keeps the shared one.
  if (!FResumes) FContext.reset();
  FState = PassThrough ? tsPlain : tsPending;
  FCleanClose = false;
  FClosing = false;
}

void TNetIOHandlerTLS::ConnectTo(const std::string& AHost, int32_t APort, const std::string& ABoundIP,
                                 int32_t ABoundPort, int32_t ABoundPortMin, int32_t ABoundPortMax,
                                 int32_t ATimeout) {
  FConnectHost = AHost;
  FConnectPort = APort;
  // The SOCKS handshake under TLS goes in plain bytes.
  TNetScopeExit restore([this, state = FState] { FState = state; });
  FState = tsPlain;
  TNetIOHandlerSocket::ConnectTo(AHost, APort, ABoundIP, ABoundPort, ABoundPortMin, ABoundPortMax, ATimeout);
}

void TNetIOHandlerTLS::CloseHandler() {
  // TLS's close first, while the socket is still there; not from inside a
  // library call (a window handler closing the link during a wait), where
  // the socket just goes.
  if (FSSL && FState == tsEstablished && FCallDepth == 0 && IsOpen()) {
    FClosing = true;
    TLibraryCall call(*this);
    TakeWaitingRecords();
    SSL_shutdown(FSSL);
    ERR_clear_error();
    FPending = nullptr;
  }
  TNetIOHandlerSocket::CloseHandler();
  if (FState == tsEstablished || FState == tsClosing) FState = PassThrough ? tsPlain : tsPending;
  if (FCallDepth > 0) {
    FReleasePending = true;
  } else {
    ReleaseTLS();
  }
}

// New sessions that came during an upload wait unread (the server sends
// them right after the handshake): they are taken in, without waiting, for
// the next data connection. Inside a library call.
void TNetIOHandlerTLS::TakeWaitingRecords() {
  FWait = 0;
  char byte;
  SSL_peek(FSSL, &byte, 1);
  FWait = TimeLimit;
  ERR_clear_error();
}

// Our close and the end of our stream go first; then the server's records
// are read until its own close or the end of its stream: only then has it
// read everything sent before (closing the socket earlier makes our kernel
// answer the server's close with a reset, which can throw away the end of
// an upload that the server has not read yet), and a new session it sends
// only then is kept for the next data connection.
void TNetIOHandlerTLS::EndTLS() {
  if (FState != tsEstablished || !FSSL || !IsOpen() || FCallDepth > 0) return;
  {
    TLibraryCall call(*this);
    SSL_shutdown(FSSL);
  }
  FState = tsClosing;
  FPending = nullptr;
  if (!IsOpen()) return;
  StackInstance->SockShutdown(SocketHandle()->OsHandle, 1);  // no more sending
  char scratch[4096];
  for (;;) {
    int n;
    {
      TLibraryCall call(*this);
      FWait = TimeLimit;
      n = SSL_read(FSSL, scratch, sizeof scratch);
    }
    FPending = nullptr;
    if (n <= 0 || !IsOpen() || !FSSL) break;
  }
  ERR_clear_error();
}

void TNetIOHandlerTLS::StartTLS() {
  if (FState == tsEstablished) return;
  FState = tsPending;
  if (!Handshake()) throw ENetReadTimeout();
}

bool TNetIOHandlerTLS::Handshake() {
  if (!IsOpen()) throw ENetClosedSocket();
  if (!FSSL) {
    if (!FContext) FContext = std::make_shared<TNetTLSContext>(Trust.CAFile);
    ERR_clear_error();
    FSSL = SSL_new(FContext->Handle());
    if (!FSSL) throw ENetTLSError("TLS set-up failed: " + LibraryErrorText("no memory") + ".");
    BIO* bio = BIO_new(TNetTLSBio::Method());
    BIO_set_data(bio, this);
    SSL_set_bio(FSSL, bio, bio);
    SSL_set_app_data(FSSL, this);
    FCheck = std::make_unique<TNetCertificateCheck>();
    AttachCertificateCheck(FSSL, FCheck.get());
    ExpectPeerName(FSSL, VerifyHost.empty() ? FConnectHost : VerifyHost);
    if (FResumes) {
      if (ssl_session_st* session = FContext->TakeSession()) SSL_set_session(FSSL, session);
    }
  }
  int result;
  int error;
  {
    TLibraryCall call(*this);
    result = SSL_connect(FSSL);
    error = result == 1 ? SSL_ERROR_NONE : SSL_get_error(FSSL, result);
  }
  RethrowPending();
  // Closed by a window handler during a wait of the handshake.
  if (!FSSL || !IsOpen()) throw ENetClosedSocket();
  if (result != 1) {
    if (error == SSL_ERROR_WANT_READ && FTimedOut) return false;
    const std::string why = FailureText(error);
    CloseHandler();
    throw ENetTLSError("TLS handshake failed: " + why + ".");
  }
  FState = tsEstablished;
  // A resumed session was made with a certificate accepted before, on the
  // connection whose session it is; a new one is checked here.
  if (!SSL_session_reused(FSSL)) {
    const std::string host = VerifyHost.empty() ? FConnectHost : VerifyHost;
    const int32_t port = VerifyHost.empty() ? FConnectPort : VerifyPort;
    TNetScopeExit closeOnRefusal([this] { CloseHandler(); });
    FPeerFingerprint = AcceptPeerCertificate(FSSL, *FCheck, Trust, host, port);
    closeOnRefusal.Release();
  }
  return true;
}

std::string TNetIOHandlerTLS::ProtocolAndCipher() const {
  if (FState != tsEstablished || !FSSL) return std::string();
  std::string protocol = SSL_get_version(FSSL);  // "TLSv1.3"
  if (protocol.rfind("TLSv", 0) == 0) protocol = "TLS " + protocol.substr(4);
  const char* cipher = SSL_get_cipher_name(FSSL);
  return protocol + ", " + (cipher ? cipher : "unknown cipher");
}

bool TNetIOHandlerTLS::WaitReadable(int32_t AMilliseconds) {
  if (FState == tsPlain || !IsOpen()) return TNetIOHandlerSocket::WaitReadable(AMilliseconds);
  // The limit holds for the receive that follows a successful wait.
  FWait = AMilliseconds;
  bool readable;
  // The server says nothing before the handshake: start it.
  if (FState == tsPending && !Handshake()) {
    readable = false;
  } else {
    readable = (FSSL && SSL_has_pending(FSSL)) || TNetIOHandlerSocket::WaitReadable(AMilliseconds);
  }
  if (!readable) FWait = TimeLimit;
  return readable;
}

int32_t TNetIOHandlerTLS::ReceiveSome(void* ABuffer, int32_t ALength) {
  if (FState == tsPlain) return TNetIOHandlerSocket::ReceiveSome(ABuffer, ALength);
  if (!IsOpen()) throw ENetClosedSocket();
  TNetScopeExit resetWait([this] { FWait = TimeLimit; });
  if (FState == tsPending && !Handshake()) throw ENetReadTimeout();
  int n;
  int error;
  {
    TLibraryCall call(*this);
    n = SSL_read(FSSL, ABuffer, ALength);
    error = n > 0 ? SSL_ERROR_NONE : SSL_get_error(FSSL, n);
  }
  RethrowPending();
  if (n > 0) return n;
  switch (error) {
    case SSL_ERROR_ZERO_RETURN:
      FCleanClose = true;
      return 0;
    case SSL_ERROR_WANT_READ:
      if (FTimedOut) throw ENetReadTimeout();
      return 0;  // closed under the read
    case SSL_ERROR_SYSCALL:
      if (FSocketFailed) return -1;  // the socket layer's error stands
      return 0;
    default:
      if (EndedWithoutClose() || !IsOpen()) {
        ERR_clear_error();
        return 0;
      }
      throw ENetTLSError("TLS failure: " + FailureText(error) + ".");
  }
}

int32_t TNetIOHandlerTLS::SendSome(const void* ABuffer, int32_t ALength) {
  if (FState == tsPlain) return TNetIOHandlerSocket::SendSome(ABuffer, ALength);
  if (!IsOpen()) throw ENetClosedSocket();
  if (FState == tsPending) {
    FWait = TimeLimit;
    if (!Handshake()) throw ENetReadTimeout();
  }
  if (ALength <= 0) return 0;
  int n;
  int error;
  {
    TLibraryCall call(*this);
    n = SSL_write(FSSL, ABuffer, ALength);
    error = n > 0 ? SSL_ERROR_NONE : SSL_get_error(FSSL, n);
  }
  RethrowPending();
  if (n > 0) return n;
  if (error == SSL_ERROR_SYSCALL && FSocketFailed && IsOpen()) return -1;
  if (!IsOpen()) throw ENetClosedSocket();
  throw ENetTLSError("TLS failure: " + FailureText(error) + ".");
}
