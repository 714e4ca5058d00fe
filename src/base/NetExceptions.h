// The exception family of the network stack, and the few runtime errors
// (conversions, files, lists) that the stack and the windows raise beside it.
//
// Every failure of the stack is raised as one of these; nothing is returned
// as an error code. The windows show what() of an escaping exception as it
// stands, so each message is a fixed, user-readable text.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

// Fills "%s" and "%d" placeholders in order from the given texts. Only the two
// conversions the stack's messages use are understood; "%%" gives "%".
std::string FormatMessage(const std::string& pattern, std::initializer_list<std::string> args);

// ---------------------------------------------------------------------------
// Runtime errors that are not part of the network family.

class ERuntimeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A text that does not convert: "'%s' is not a valid integer value",
// "Invalid argument to date encode", "Invalid argument to time encode".
class EConvertError : public ERuntimeError {
 public:
  using ERuntimeError::ERuntimeError;
};

// "Cannot create file "%s". %s" and "Cannot open file "%s". %s".
class EFileStreamError : public ERuntimeError {
 public:
  using ERuntimeError::ERuntimeError;
};
class EFCreateError : public EFileStreamError {
 public:
  EFCreateError(const std::string& fileName, const std::string& reason);
};
class EFOpenError : public EFileStreamError {
 public:
  EFOpenError(const std::string& fileName, const std::string& reason);
};

// A failed read, write, seek or size change on an open file.
class EInOutError : public ERuntimeError {
 public:
  using ERuntimeError::ERuntimeError;
};

// "List index out of bounds (%d)".
class EListError : public ERuntimeError {
 public:
  explicit EListError(int64_t index);
};

// "Cannot assign a %s to a %s".
class EAssignError : public ERuntimeError {
 public:
  EAssignError(const std::string& sourceClass, const std::string& targetClass);
};

// ---------------------------------------------------------------------------
// The network family.

class ENetException : public std::runtime_error {
 public:
  explicit ENetException(const std::string& message = "Command not supported.");
};

// Conditions that are not errors.
class ENetSilentException : public ENetException {
 public:
  using ENetException::ENetException;
};

class ENetConnClosedGracefully : public ENetSilentException {
 public:
  ENetConnClosedGracefully() : ENetSilentException("Connection Closed Gracefully.") {}
};

class ENetAlreadyConnected : public ENetException {
 public:
  ENetAlreadyConnected() : ENetException("Already connected.") {}
};

class ENetClosedSocket : public ENetException {
 public:
  ENetClosedSocket() : ENetException("Disconnected.") {}
};

class ENetReadTimeout : public ENetException {
 public:
  ENetReadTimeout() : ENetException("Read Timeout") {}

 protected:
  explicit ENetReadTimeout(const std::string& message) : ENetException(message) {}
};

// A transfer that waited longer than its idle time-out; the message says what
// did not arrive and for how long.
class ENetTransferTimeout : public ENetReadTimeout {
 public:
  explicit ENetTransferTimeout(const std::string& message) : ENetReadTimeout(message) {}
};

class ENetReadLnMaxLineLengthExceeded : public ENetException {
 public:
  ENetReadLnMaxLineLengthExceeded() : ENetException("Max line length exceeded.") {}
};

// A reply of more lines or bytes than a reply may hold.
class ENetReplyTooLong : public ENetException {
 public:
  using ENetException::ENetException;
};

class ENetInvalidServiceName : public ENetException {
 public:
  explicit ENetInvalidServiceName(const std::string& name);
};

// An unexpected reply; the message is the reply's text lines, each followed by CR LF.
class ENetProtocolReplyError : public ENetException {
 public:
  ENetProtocolReplyError(int32_t replyCode, const std::string& message)
      : ENetException(message), ReplyCode(replyCode) {}
  int32_t ReplyCode;
};

class ENetConnectTimeout : public ENetException {
 public:
  ENetConnectTimeout() : ENetException("Connect timed out.") {}
};

class ENetConnectException : public ENetException {
 public:
  using ENetException::ENetException;
};

// A command argument that would break the command line apart (it holds CR or LF).
class ENetInvalidCommandArgument : public ENetException {
 public:
  explicit ENetInvalidCommandArgument(const std::string& what);
};

// SOCKS handshakes.
class ENetSocksError : public ENetException {
 public:
  using ENetException::ENetException;
};
#define NET_SOCKS_ERROR(Name, Text)                   \
  class Name : public ENetSocksError {                \
   public:                                            \
    Name() : ENetSocksError(Text) {}                  \
  }
NET_SOCKS_ERROR(ENetSocksRequestFailed, "Request rejected or failed.");
NET_SOCKS_ERROR(ENetSocksRequestServerFailed, "Request rejected because SOCKS server cannot connect.");
NET_SOCKS_ERROR(ENetSocksRequestIdentFailed,
                "Request rejected because the client program and identd report different user-ids.");
NET_SOCKS_ERROR(ENetSocksUnknownError, "Unknown socks error.");
NET_SOCKS_ERROR(ENetSocksServerRespondError, "Socks server did not respond.");
NET_SOCKS_ERROR(ENetSocksAuthMethodError, "Invalid socks authentication method.");
NET_SOCKS_ERROR(ENetSocksAuthError, "Authentication error to socks server.");
NET_SOCKS_ERROR(ENetSocksServerGeneralError, "General SOCKS server failure.");
NET_SOCKS_ERROR(ENetSocksServerPermissionError, "Connection not allowed by ruleset.");
NET_SOCKS_ERROR(ENetSocksServerNetUnreachableError, "Network unreachable.");
NET_SOCKS_ERROR(ENetSocksServerHostUnreachableError, "Host unreachable.");
NET_SOCKS_ERROR(ENetSocksServerConnectionRefusedError, "Connection refused.");
NET_SOCKS_ERROR(ENetSocksServerTTLExpiredError, "TTL expired.");
NET_SOCKS_ERROR(ENetSocksServerCommandError, "Command not supported.");
NET_SOCKS_ERROR(ENetSocksServerAddressError, "Address type not supported.");
#undef NET_SOCKS_ERROR

class ENetInvalidSocket : public ENetException {
 public:
  ENetInvalidSocket() : ENetException("Cannot allocate socket.") {}
};

// A failed socket call. The message is "Socket Error # <code>" CR LF and the
// code's text (see TNetStack::SockErrorText).
class ENetSocketError : public ENetException {
 public:
  ENetSocketError(int32_t code, const std::string& message) : ENetException(message), SocketErrorCode(code) {}
  int32_t SocketErrorCode;
};

// The socket library could not be loaded or called. Kept for completeness: the
// POSIX socket layer needs no loading, so nothing raises it on this platform.
class ENetWS2StubError : public ENetException {
 public:
  ENetWS2StubError(const std::string& title, uint32_t osErrorCode);
  uint32_t OsErrorCode;
  std::string OsErrorText;
  std::string CallTitle;
};

class ENetStackError : public ENetException {
 public:
  using ENetException::ENetException;
};

class ENetStackInitializationFailed : public ENetStackError {
 public:
  ENetStackInitializationFailed() : ENetStackError("Winsock Initialization Error.") {}
};

class ENetStackSetSizeExceeded : public ENetStackError {
 public:
  ENetStackSetSizeExceeded() : ENetStackError("Set Size Exceeded.") {}
};

class ENetInvalidIPAddress : public ENetStackError {
 public:
  explicit ENetInvalidIPAddress(const std::string& text);
};

class ENetSocketHandleError : public ENetException {
 public:
  using ENetException::ENetException;
};

class ENetCouldNotBindSocket : public ENetSocketHandleError {
 public:
  ENetCouldNotBindSocket() : ENetSocketHandleError("Could not bind socket. Address and port are already in use.") {}
};

class ENetCanNotBindPortInRange : public ENetSocketHandleError {
 public:
  ENetCanNotBindPortInRange(int32_t portMin, int32_t portMax);
};

class ENetInvalidPortRange : public ENetSocketHandleError {
 public:
  ENetInvalidPortRange(int32_t portMin, int32_t portMax);
};

class ENetTCPConnectionError : public ENetException {
 public:
  using ENetException::ENetException;
};

class ENetNotEnoughDataInBuffer : public ENetTCPConnectionError {
 public:
  ENetNotEnoughDataInBuffer() : ENetTCPConnectionError("Not enough data in buffer.") {}
};

class ENetNoDataToRead : public ENetTCPConnectionError {
 public:
  ENetNoDataToRead() : ENetTCPConnectionError("No data to read.") {}
};

class ENetNotConnected : public ENetTCPConnectionError {
 public:
  ENetNotConnected() : ENetTCPConnectionError("Not Connected") {}
};

class ENetFileNotFound : public ENetTCPConnectionError {
 public:
  explicit ENetFileNotFound(const std::string& fileName);
};

class ENetInvalidFTPListingFormat : public ENetException {
 public:
  ENetInvalidFTPListingFormat() : ENetException("Unknown FTP listing format") {}
};

class ENetFTPFileAlreadyExists : public ENetException {
 public:
  ENetFTPFileAlreadyExists() : ENetException("Destination file already exists.") {}
};

// TLS sessions (RFC 4217 for FTP). A failed handshake, a TLS failure on an
// established link, or a TLS set-up that cannot be made (a CA file that does
// not load).
class ENetTLSError : public ENetException {
 public:
  using ENetException::ENetException;
};

// TLS was required and the server answered "AUTH TLS" with a refusal.
class ENetTLSNotOffered : public ENetTLSError {
 public:
  ENetTLSNotOffered(int32_t replyCode, const std::string& replyText);
  int32_t ReplyCode;
};

// The server's certificate did not verify and its fingerprint is not among
// those trusted for that host and port. Reasons: "unknown issuer", "wrong
// name", "expired", ...; Fingerprint: "SHA256:" and 64 hex digits.
class ENetTLSCertificateRefused : public ENetTLSError {
 public:
  ENetTLSCertificateRefused(const std::string& server, const std::string& reasons, const std::string& fingerprint);
  std::string Reasons;
  std::string Fingerprint;
  // The certificate's particulars, for a user who decides whether to trust
  // it (empty when the server sent none): the host and port it was checked
  // for, its subject and issuer (one line each), and its validity dates
  // ("2026-01-31 12:00:00 UTC").
  std::string Host;
  int32_t Port = 0;
  std::string Subject;
  std::string Issuer;
  std::string ValidFrom;
  std::string ValidUntil;
};

// A transfer the server answered as complete whose result does not match the
// local file: the sizes differ ("Upload incomplete: the server has %d of %d
// bytes.", "Download incomplete: the local copy has %d of %d bytes.") or the
// server's digest of the file differs from the local one.
class ENetFTPTransferCheckFailed : public ENetException {
 public:
  using ENetException::ENetException;
};
class ENetFTPTransferIncomplete : public ENetFTPTransferCheckFailed {
 public:
  using ENetFTPTransferCheckFailed::ENetFTPTransferCheckFailed;
};
class ENetFTPDigestMismatch : public ENetFTPTransferCheckFailed {
 public:
  using ENetFTPTransferCheckFailed::ENetFTPTransferCheckFailed;
};
