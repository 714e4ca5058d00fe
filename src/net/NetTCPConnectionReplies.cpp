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
// followed by a blank ("nnn text"), or that is the bare code. Lines in between
// may begin with anything, other codes included. The end is looked for in the
// line as received: RFC 959 lets a server indent a text line that begins with
// digits (" 220 x" inside a "220-" banner), and such a line does not end the
// reply, and keeps its code as text ("211 x"). Blank lines are skipped.
//
// A reply holds at most MaxReplyLines lines and MaxReplySize bytes, blank
// lines included: a server that never ends its reply must not fill the
// memory. What follows the cut could not be told from the next reply, so the
// connection is closed.
void TNetTCPConnection::ReadReplyLines() {
  TStringList lines;
  int64_t lineCount = 0;
  int64_t byteCount = 0;
  auto next = [&]() {
    const std::string line = ReadLine("\n", DefaultTimeLimit, -1);
    ++lineCount;
    byteCount += static_cast<int64_t>(line.size()) + 2;
    if (MaxReplyLines > 0 && lineCount > MaxReplyLines) {
      CloseConnection();
      throw ENetReplyTooLong(
          FormatMessage("The reply is longer than %d lines; the connection was closed.", {std::to_string(MaxReplyLines)}));
    }
    if (MaxReplySize > 0 && byteCount > MaxReplySize) {
      CloseConnection();
      throw ENetReplyTooLong(
          FormatMessage("The reply is larger than %d bytes; the connection was closed.", {std::to_string(MaxReplySize)}));
    }
    return line;
  };

  std::string line;
  while (line.empty()) line = Trim(next());
  lines.push_back(line);
  if (line.size() > 3 && line[3] == '-') {
    const std::string code = line.substr(0, 3);
    for (;;) {
      const std::string received = next();
      if (Trim(received).empty()) continue;
      lines.push_back(TrimRight(received));
      if (IsReplyEnd(received, code)) break;
    }
  }
  LastReply.ParseLines(lines);
}

// "226 Transfer complete." or "226" (a bare code, trailing blanks allowed)
// ends a reply opened by "226-"; " 226 x" (padded) and "226-x" do not.
bool IsReplyEnd(std::string_view ALine, std::string_view ACode) {
  if (ALine.size() < 3 || !SameText(ALine.substr(0, 3), ACode)) return false;
  return ALine.size() == 3 || ALine[3] == ' ' || TrimRight(ALine).size() == 3;
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
