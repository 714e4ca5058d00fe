#include "SelftestCommon.h"

#include <stdexcept>

ProcessResult Curl(const std::vector<std::string>& args) {
  RequireProgram("/usr/bin/curl", "curl");
  std::vector<std::string> argv = {"/usr/bin/curl", "-sS", "--max-time", "30", "--disable-epsv", "--disable-eprt"};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunProcess(argv);
}

RawFtpClient::RawFtpClient(int port) : FControl(ConnectTcp("127.0.0.1", port)) {}

std::string RawFtpClient::ReadReply() {
  std::string reply;
  for (;;) {
    std::string line = ReceiveLine(FControl.Get());
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
      line.pop_back();
    reply += (reply.empty() ? "" : "\n") + line;
    // The last line of a reply repeats the code followed by a blank.
    if (line.size() >= 4 && line[3] == ' ' && reply.compare(0, 3, line, 0, 3) == 0)
      return reply;
  }
}

void RawFtpClient::Send(const std::string& line) { SendAll(FControl.Get(), line + "\r\n"); }

std::string RawFtpClient::Command(const std::string& line) {
  Send(line);
  return ReadReply();
}

void RawFtpClient::Login() {
  Command("USER user");
  Command("PASS secret");
}

UniqueFd RawFtpClient::OpenPassive() {
  std::string reply = Command("PASV");
  size_t open = reply.find('('), close = reply.find(')');
  if (reply.compare(0, 3, "227") != 0 || open == std::string::npos || close == std::string::npos)
    throw std::runtime_error("unexpected PASV reply: " + reply);
  HostPort address = ParseFtpHostPort(reply.substr(open + 1, close - open - 1));
  return ConnectTcp(address.Host, address.Port);
}
