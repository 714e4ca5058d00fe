// The command-reply exchange of line-oriented protocols (RFC 959, 4.2):
// a command line goes out, one complete numeric reply comes back.
#include <span>

#include "NetExceptions.h"
#include "NetReplyRules.h"
#include "NetTCPConnection.h"

namespace {

int16_t Validate(TNetTCPConnection& AConnection, int16_t ACode, std::span<const int16_t> AAllowed) {
  if (AAllowed.empty()) return ACode;
  for (int16_t allowed : AAllowed)
    if (allowed == ACode) return ACode;
  AConnection.RaiseReplyError();
  return ACode;  // not reached: the call above raises
}

}  // namespace

// Reads up to the line that ends the reply; the rule of where a reply ends
// is stated in NetReplyRules.h.
void TNetTCPConnection::ReadReplyLines() {
  TStringList lines{ReadNonEmptyLine()};
  if (OpensMultiLineReply(lines.front())) {
    do {
      lines.push_back(ReadNonEmptyLine());
    } while (!ClosesMultiLineReply(lines.front(), lines.back()));
  }
  LastReply.ParseLines(lines);
}

int16_t TNetTCPConnection::ValidateReply(int16_t ACode, TReplyCodes AAllowed) {
  return Validate(*this, ACode, std::span<const int16_t>(AAllowed.begin(), AAllowed.size()));
}

int16_t TNetTCPConnection::ReadReply(TReplyCodes AAllowed) {
  ReadReplyLines();
  // Codes are compared as 16-bit values.
  return ValidateReply(static_cast<int16_t>(LastReply.NumericCode()), AAllowed);
}

int16_t TNetTCPConnection::SendCommand(const std::string& ACommand, TReplyCodes AAllowed) {
  // A line break inside the command would smuggle a second command onto the
  // connection.
  if (ACommand.find_first_of("\r\n") != std::string::npos) throw ENetInvalidCommandArgument("A command");
  WriteLine(ACommand);
  return ReadReply(AAllowed);
}

int16_t TNetTCPConnection::SendCommand(const std::string& ACommand, int16_t AExpected) {
  if (AExpected == -1) return SendCommand(ACommand, TReplyCodes{});
  return SendCommand(ACommand, {AExpected});
}

std::string TNetTCPConnection::ReplyErrorText() const {
  std::string text;
  for (const std::string& line : LastReply.Text) {
    text += line;
    text += "\r\n";
  }
  return text;
}

void TNetTCPConnection::RaiseReplyError() {
  throw ENetProtocolReplyError(LastReply.NumericCode(), ReplyErrorText());
}
