// Small pieces shared by the self-test files: an independent FTP client (curl)
// and a bare-socket FTP client for the exchanges curl does not make (ABOR).
#pragma once

#include "LoopbackSocket.h"
#include "Process.h"

#include <string>
#include <vector>

// Runs /usr/bin/curl -sS with a time limit; EPSV/EPRT off so that transcripts
// show PASV/PORT. Fails loudly (throws) when curl is missing.
ProcessResult Curl(const std::vector<std::string>& args);

// A bare control connection: one line out, one (possibly multi-line) reply in.
class RawFtpClient {
public:
  explicit RawFtpClient(int port);
  // Reads one complete reply: "nnn-" lines until "nnn ". Returns it without CR LF, lines joined by '\n'.
  std::string ReadReply();
  std::string Command(const std::string& line);  // sends line + CR LF, reads the reply
  void Send(const std::string& line);             // sends line + CR LF only
  void Login();                                   // USER user / PASS secret
  // Sends PASV and connects to the announced address.
  UniqueFd OpenPassive();
  int Fd() const { return FControl.Get(); }

private:
  UniqueFd FControl;
};
