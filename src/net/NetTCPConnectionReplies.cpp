// The command-reply exchange of line-oriented protocols (RFC 959, 4.2):
// a command line goes out, one complete numeric reply comes back.
#include <span>

#include "NetExceptions.h"
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

// A reply is one line "nnn text", or several: the first is "nnn-text", and
// the reply runs up to and including the line that begins with the same code
// followed by a blank ("nnn text"). Lines in between may begin with anything,
// other codes included. Every line arrives trimmed, so a final line made of
// the code and a blank arrives as the bare code; a short line ends the reply
// only when it is that bare code (a short text line such as "Hi!" or " CCC"
// inside a banner or a feature list does not).
void TNetTCPConnection::ReadReplyLines() {
  TStringList lines;
  std::string line = ReadNonEmptyLine();
  lines.push_back(line);
  if (line.size() > 3 && line[3] == '-') {
    const std::string code = line.substr(0, 3);
    const std::string terminator = code + " ";
    for (;;) {
      line = ReadNonEmptyLine();
      lines.push_back(line);
      if (line.size() < 4) {
        if (SameText(line, code)) break;
        continue;
      }
      if (SameText(line.substr(0, 4), terminator)) break;
    }
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
