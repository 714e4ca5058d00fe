#include "NetExceptions.h"

#include <cstring>

std::string FormatMessage(const std::string& pattern, std::initializer_list<std::string> args) {
  std::string out;
  out.reserve(pattern.size() + 32);
  auto next = args.begin();
  for (size_t i = 0; i < pattern.size(); ++i) {
    char c = pattern[i];
    if (c == '%' && i + 1 < pattern.size()) {
      char k = pattern[i + 1];
      if (k == '%') {
        out += '%';
        ++i;
        continue;
      }
      if (k == 's' || k == 'd') {
        if (next != args.end()) out += *next++;
        ++i;
        continue;
      }
    }
    out += c;
  }
  return out;
}

EFCreateError::EFCreateError(const std::string& fileName, const std::string& reason)
    : EFileStreamError(FormatMessage("Cannot create file \"%s\". %s", {fileName, reason})) {}

EFOpenError::EFOpenError(const std::string& fileName, const std::string& reason)
    : EFileStreamError(FormatMessage("Cannot open file \"%s\". %s", {fileName, reason})) {}

EListError::EListError(int64_t index)
    : ERuntimeError(FormatMessage("List index out of bounds (%d)", {std::to_string(index)})) {}

EAssignError::EAssignError(const std::string& sourceClass, const std::string& targetClass)
    : ERuntimeError(FormatMessage("Cannot assign a %s to a %s", {sourceClass, targetClass})) {}

ENetException::ENetException(const std::string& message) : std::runtime_error(message) {}

ENetInvalidServiceName::ENetInvalidServiceName(const std::string& name)
    : ENetException(FormatMessage("%s is not a valid service.", {name})) {}

ENetInvalidCommandArgument::ENetInvalidCommandArgument(const std::string& what)
    : ENetException(FormatMessage("%s must not contain a line break.", {what})) {}

static std::string OsText(uint32_t code) { return code == 0 ? std::string() : std::strerror(static_cast<int>(code)); }

ENetWS2StubError::ENetWS2StubError(const std::string& title, uint32_t osErrorCode)
    : ENetException(osErrorCode == 0 ? title : title + ": " + OsText(osErrorCode)),
      OsErrorCode(osErrorCode),
      OsErrorText(OsText(osErrorCode)),
      CallTitle(title) {}

ENetInvalidIPAddress::ENetInvalidIPAddress(const std::string& text)
    : ENetStackError(FormatMessage("%s is not a valid IP address.", {text})) {}

ENetCanNotBindPortInRange::ENetCanNotBindPortInRange(int32_t portMin, int32_t portMax)
    : ENetSocketHandleError(
          FormatMessage("Can not bind in port range (%d - %d)", {std::to_string(portMin), std::to_string(portMax)})) {}

ENetInvalidPortRange::ENetInvalidPortRange(int32_t portMin, int32_t portMax)
    : ENetSocketHandleError(
          FormatMessage("Invalid Port Range (%d - %d)", {std::to_string(portMin), std::to_string(portMax)})) {}

ENetFileNotFound::ENetFileNotFound(const std::string& fileName)
    : ENetTCPConnectionError(FormatMessage("File \"%s\" not found", {fileName})) {}

ENetTLSNotOffered::ENetTLSNotOffered(int32_t replyCode, const std::string& replyText)
    : ENetTLSError(FormatMessage("The server refused TLS: %d %s", {std::to_string(replyCode), replyText})),
      ReplyCode(replyCode) {}

ENetTLSCertificateRefused::ENetTLSCertificateRefused(const std::string& server, const std::string& reasons,
                                                     const std::string& fingerprint)
    : ENetTLSError(FormatMessage("The certificate of %s is not trusted (%s); its fingerprint is %s",
                                 {server, reasons, fingerprint})),
      Reasons(reasons),
      Fingerprint(fingerprint) {}
