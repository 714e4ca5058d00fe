// FTP over TLS (RFC 4217): "AUTH TLS" and the handshake on the control
// connection, or TLS from the first byte (implicit); "PBSZ 0" and "PROT P"
// after the login; data connections as TLS clients that resume the control
// connection's session.
//
// On the wire: greeting, [AUTH TLS], USER, PASS, [PBSZ 0, PROT P], then the
// transfer type and what follows without TLS. Once the server has accepted
// "AUTH TLS" nothing goes back to clear text: a failed handshake, a refused
// certificate or a refused "PROT P" ends the session or the command.
//
// A data connection that ends without TLS's close (a plain end of the TCP
// stream) is taken as complete only through the server's final reply over
// the protected control connection (226 or 250), as every transfer requires.
#include "NetFTP.h"

#include "NetExceptions.h"

TNetIOHandlerSocket* TNetFTP::CreateSocksHandler() { return CreateComponent<TNetIOHandlerTLS>(); }

std::string TNetFTP::TLSDescription() const {
  const TNetIOHandlerTLS* handler = ControlTLS();
  return FControlEncrypted && handler ? handler->ProtocolAndCipher() : std::string();
}

TNetIOHandlerTLS* TNetFTP::ControlTLS() const { return dynamic_cast<TNetIOHandlerTLS*>(IOHandler()); }

// The control connection gets a TLS handler (made here and freed with the
// connection, unless the caller installed one of its own).
void TNetFTP::PrepareControlTLS() {
  FControlEncrypted = false;
  FDataProtected = false;
  TNetIOHandlerTLS* handler = ControlTLS();
  if (TLSMode == tlsOff) {
    if (handler) handler->PassThrough = true;
    return;
  }
  if (!handler) {
    if (IOHandler()) throw ENetTLSError("TLS needs a TNetIOHandlerTLS as the I/O handler.");
    handler = CreateComponent<TNetIOHandlerTLS>();
    SetIOHandler(handler);
    handler->OnStatus = OnStatus;
    OwnsIOHandler = true;
  }
  handler->PassThrough = TLSMode != tlsImplicit;
  handler->Trust = TLSTrust;
  handler->VerifyHost.clear();  // the host the connection reaches
  handler->TimeLimit = ReadTimeout > 0 ? ReadTimeout : NoTimeLimit;
}

// After the greeting. With implicit TLS the greeting has come through TLS
// already (its read ran the handshake and the certificate check).
void TNetFTP::NegotiateControlTLS() {
  TNetIOHandlerTLS* handler = ControlTLS();
  if (TLSMode == tlsOff || !handler) return;
  if (TLSMode == tlsImplicit) {
    FControlEncrypted = handler->Encrypted();
    if (FControlEncrypted) ReportStatus(hsStatusText, {handler->ProtocolAndCipher()});
    return;
  }
  // "234 Proceed with negotiation."; a server without TLS answers 500, 502
  // or 504, one that cannot offer it now 431 or 534.
  const int16_t code = SendCommand("AUTH TLS", TReplyCodes{});
  if (code != 234) {
    if (TLSMode == tlsRequired) {
      const std::string text = LastReply.Text.empty() ? std::string() : LastReply.Text.front();
      throw ENetTLSNotOffered(code, text);
    }
    ReportStatus(hsStatusText, {"Connection is not encrypted"});
    return;
  }
  handler->StartTLS();
  FControlEncrypted = true;
  ReportStatus(hsStatusText, {handler->ProtocolAndCipher()});
}

// "PBSZ 0" (no buffer size with a stream protocol) and "PROT P" (private data
// connections), after the login and before the transfer type.
void TNetFTP::ProtectDataChannel() {
  FDataProtected = false;
  if (!FControlEncrypted) return;
  SendCommand("PBSZ 0", {200});
  SendCommand("PROT P", {200});
  FDataProtected = true;
}

TNetIOHandlerSocket* TNetFTP::NewDataHandler(TNetTCPConnection& AData) {
  TNetIOHandlerSocket* handler;
  TNetIOHandlerTLS* control = ControlTLS();
  if (FDataProtected && control) {
    auto* tls = AData.CreateComponent<TNetIOHandlerTLS>();
    tls->PassThrough = false;  // the handshake runs on the first read or write
    tls->ResumeSessionOf(*control);
    tls->Trust = TLSTrust;
    tls->VerifyHost = FControlHost;
    tls->VerifyPort = FControlPort;
    tls->TimeLimit = control->TimeLimit;
    handler = tls;
  } else {
    handler = AData.CreateComponent<TNetIOHandlerSocket>();
  }
  AData.SetIOHandler(handler);
  AData.OwnsIOHandler = true;
  return handler;
}

void TNetFTP::EndProtectedUpload(TNetTCPConnection& AData) {
  if (auto* tls = dynamic_cast<TNetIOHandlerTLS*>(AData.IOHandler())) tls->EndTLS();
}
