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
// is stated in NetReplyRules.h. It is applied to each line as received, less
// trailing blanks: an indented line (" 211 x", RFC 959) does not end the
// reply, and keeps its code as text. Blank lines are skipped.
//
// A reply holds at most MaxReplyLines lines and MaxReplySize bytes, blank
// lines included: a server that never ends its reply must not fill the
// memory. What follows the cut could not be told from the next reply, so the
// connection is closed.
void TNetTCPConnection::ReadReplyLines() {
  int64_t lineCount = 0;
  int64_t byteCount = 0;
  // The next line that is not blank, without its trailing blanks.
  auto next = [&]() {
    std::string line;
    while (Trim(line).empty()) {
      line = ReadLine("\n", DefaultTimeLimit, -1);
      ++lineCount;
      byteCount += static_cast<int64_t>(line.size()) + 2;
      if (MaxReplyLines > 0 && lineCount > MaxReplyLines) {
        CloseConnection();
        throw ENetReplyTooLong(FormatMessage("The reply is longer than %d lines; the connection was closed.",
                                             {std::to_string(MaxReplyLines)}));
      }
      if (MaxReplySize > 0 && byteCount > MaxReplySize) {
        CloseConnection();
        throw ENetReplyTooLong(FormatMessage("The reply is larger than %d bytes; the connection was closed.",
                                             {std::to_string(MaxReplySize)}));
      }
    }
    return TrimRight(line);
  };

  TStringList lines{Trim(next())};
  if (OpensMultiLineReply(lines.front())) {
    do {
      lines.push_back(next());
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
