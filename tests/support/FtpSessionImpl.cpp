#include "FtpSessionImpl.h"

#include "Sha256.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <poll.h>
#include <stdexcept>
#include <system_error>
#include <sys/socket.h>

namespace {

// A control line longer than this is a runaway client, not a command.
constexpr size_t MaxLineLength = 1 << 16;

std::string Upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::toupper(c); });
  return text;
}

}  // namespace

FtpSessionImpl::FtpSessionImpl(ScriptedFtpServer& server, int index, UniqueFd control)
    : FServer(server), FIndex(index), FControl(std::move(control)) {}

void FtpSessionImpl::Run() {
  FtpReply greeting;
  {
    std::lock_guard lock(FServer.FMutex);
    greeting = FServer.FGreeting;
  }
  try {
    SendReply(greeting);
    std::string line;
    while (!Closed()) {
      if (!FDeferred.empty()) {
        line = FDeferred.front();
        FDeferred.pop_front();
      } else if (!ReadCommand(line)) {
        break;
      }
      Dispatch(line);
    }
  } catch (const FtpSessionStopped&) {
  }
  CloseData();
  FControl.Reset();
}

bool FtpSessionImpl::ReadCommand(std::string& line) {
  size_t end;
  while ((end = FPending.find('\n')) == std::string::npos) {
    if (FPending.size() > MaxLineLength)
      throw std::runtime_error("control line longer than " + std::to_string(MaxLineLength) + " bytes");
    // No time limit: a client may stay idle as long as the test needs.
    if (!WaitReadable(FControl.Get(), -1, FServer.FListener.StopFd()))
      return false;  // stopped
    std::string chunk;
    try {
      chunk = ReceiveSome(FControl.Get());
    } catch (const std::exception&) {
      chunk.clear();  // a reset ends the session like a close
    }
    if (chunk.empty()) {
      if (!FPending.empty())
        Record(FPending);  // a last line without its end still shows up
      FPending.clear();
      return false;
    }
    std::lock_guard lock(FServer.FMutex);
    FServer.FSessions[FIndex].Raw += chunk;
    FPending += chunk;
  }
  line = FPending.substr(0, end);
  FPending.erase(0, end + 1);
  if (!line.empty() && line.back() == '\r')
    line.pop_back();
  Record(line);
  return true;
}

void FtpSessionImpl::Record(const std::string& line) {
  std::lock_guard lock(FServer.FMutex);
  FServer.FSessions[FIndex].Commands.push_back(line);
  FServer.FCommands.push_back(line);
  FServer.FChanged.notify_all();
}

void FtpSessionImpl::Dispatch(const std::string& line) {
  size_t blank = line.find(' ');
  std::string verb = Upper(line.substr(0, blank));
  std::string argument = blank == std::string::npos ? std::string() : line.substr(blank + 1);
  FtpReply reply;
  bool haveReply = false;
  FtpHandler handler;
  {
    std::lock_guard lock(FServer.FMutex);
    auto queued = FServer.FQueued.find(verb);
    if (queued != FServer.FQueued.end() && !queued->second.empty()) {
      reply = queued->second.front();
      queued->second.pop_front();
      haveReply = true;
    } else if (auto h = FServer.FHandlers.find(verb); h != FServer.FHandlers.end()) {
      handler = h->second;
    } else if (auto r = FServer.FReplies.find(verb); r != FServer.FReplies.end()) {
      reply = r->second;
      haveReply = true;
    }
  }
  if (haveReply)
    SendReply(reply);
  else if (handler)
    handler(*this, argument);
  else
    RunDefault(verb, argument);
}

void FtpSessionImpl::SendReply(const FtpReply& reply) {
  if (Closed())
    return;
  int globalDelay;
  {
    std::lock_guard lock(FServer.FMutex);
    globalDelay = FServer.FByteDelayMs;
  }
  if (reply.DelayMs > 0) {
    pollfd p{FServer.FListener.StopFd(), POLLIN, 0};
    if (::poll(&p, 1, reply.DelayMs) > 0)
      throw FtpSessionStopped{};
  }
  std::string wire = reply.Wire();
  bool cut = reply.CutAfterBytes < wire.size();
  if (cut)
    wire.resize(reply.CutAfterBytes);
  int byteDelay = reply.ByteDelayMs >= 0 ? reply.ByteDelayMs : globalDelay;
  auto send = [&](std::string_view bytes) {
    if (SendAllWithin(FControl.Get(), bytes, FServer.FTimeoutMs, FServer.FListener.StopFd()))
      return;
    if (FServer.FListener.Stopping())
      throw FtpSessionStopped{};
    throw std::runtime_error("the client read no reply for " + std::to_string(FServer.FTimeoutMs) + " ms");
  };
  try {
    if (byteDelay < 0) {
      send(wire);
    } else {
      for (char c : wire) {
        send(std::string_view(&c, 1));
        pollfd p{FServer.FListener.StopFd(), POLLIN, 0};
        if (byteDelay > 0 && ::poll(&p, 1, byteDelay) > 0)
          throw FtpSessionStopped{};
      }
    }
  } catch (const std::system_error&) {
    FControl.Reset();  // the client is gone; the session ends
    return;
  }
  if (cut || reply.CloseAfter)
    Close();
}

void FtpSessionImpl::Close() {
  CloseData();
  if (FControl)
    ::shutdown(FControl.Get(), SHUT_WR);
  FControl.Reset();
}

void FtpSessionImpl::Reset() {
  CloseData();
  if (FControl)
    SetLingerZero(FControl.Get());
  FControl.Reset();
}

FtpTransferOptions FtpSessionImpl::TransferOptions() const {
  std::lock_guard lock(FServer.FMutex);
  return FServer.FTransfer;
}

std::string FtpSessionImpl::ResolvePath(const std::string& name) const {
  if (!name.empty() && name[0] == '/')
    return name;
  return FCwd + (FCwd.back() == '/' ? "" : "/") + name;
}

void FtpSessionImpl::RunDefault(const std::string& verb, const std::string& arg) {
  auto quoted = [](const std::string& path) { return "\"" + path + "\""; };
  if (verb == "USER") {
    SendReply("331 Please specify the password.");
  } else if (verb == "PASS") {
    SendReply("230 Login successful.");
  } else if (verb == "ACCT") {
    SendReply("202 ACCT not needed.");
  } else if (verb == "TYPE") {
    std::string type = Upper(arg);
    if (type == "A" || type == "A N")
      SendReply("200 Switching to ASCII mode.");
    else if (type == "I" || type == "L 8")
      SendReply("200 Switching to Binary mode.");
    else
      SendReply("504 Bad TYPE command.");
  } else if (verb == "SYST") {
    SendReply("215 UNIX Type: L8");
  } else if (verb == "PWD" || verb == "XPWD") {
    SendReply("257 " + quoted(FCwd) + " is the current directory");
  } else if (verb == "CWD" || verb == "CDUP") {
    std::string target = verb == "CDUP" ? ".." : arg;
    if (target == "..") {
      size_t slash = FCwd.find_last_of('/');
      FCwd = slash == 0 || slash == std::string::npos ? "/" : FCwd.substr(0, slash);
    } else if (!target.empty()) {
      FCwd = ResolvePath(target);
      while (FCwd.size() > 1 && FCwd.back() == '/')
        FCwd.pop_back();
    }
    SendReply("250 Directory successfully changed.");
  } else if (verb == "MKD") {
    SendReply("257 " + quoted(ResolvePath(arg)) + " created");
  } else if (verb == "RMD") {
    SendReply("250 Remove directory operation successful.");
  } else if (verb == "DELE") {
    {
      std::lock_guard lock(FServer.FMutex);
      if (FServer.FFiles.erase(arg) == 0)
        FServer.FFiles.erase(ResolvePath(arg));
    }
    SendReply("250 Delete operation successful.");
  } else if (verb == "RNFR") {
    FRenameFrom = arg;
    SendReply("350 Ready for RNTO.");
  } else if (verb == "RNTO") {
    {
      std::lock_guard lock(FServer.FMutex);
      auto it = FServer.FFiles.find(FRenameFrom);
      if (it != FServer.FFiles.end()) {
        FServer.FFiles[arg] = it->second;
        FServer.FFiles.erase(FRenameFrom);
      }
    }
    SendReply("250 Rename successful.");
  } else if (verb == "SIZE" || verb == "MDTM") {
    int64_t size = -1;
    {
      std::lock_guard lock(FServer.FMutex);
      auto it = FServer.FFiles.find(arg);
      if (it == FServer.FFiles.end())
        it = FServer.FFiles.find(ResolvePath(arg));
      if (it != FServer.FFiles.end())
        size = it->second.Size();
    }
    if (size < 0)
      SendReply(verb == "SIZE" ? "550 Could not get file size." : "550 Could not get file modification time.");
    else
      SendReply(verb == "SIZE" ? "213 " + std::to_string(size) : "213 20240102030405");
  } else if (verb == "REST") {
    bool numeric = !arg.empty() && arg.size() < 19 && arg.find_first_not_of("0123456789") == std::string::npos;
    if (!numeric) {
      SendReply("501 Bad REST value.");
    } else {
      FRestart = std::stoll(arg);
      SendReply("350 Restart position accepted (" + arg + ").");
    }
  } else if (verb == "PASV") {
    Pasv();
  } else if (verb == "PORT") {
    Port(arg);
  } else if (verb == "EPSV") {
    Pasv(true);
  } else if (verb == "EPRT") {
    Eprt(arg);
  } else if (verb == "RETR") {
    FileEntry file;
    bool found = false;
    {
      std::lock_guard lock(FServer.FMutex);
      auto it = FServer.FFiles.find(arg);
      if (it == FServer.FFiles.end())
        it = FServer.FFiles.find(ResolvePath(arg));
      if (it != FServer.FFiles.end()) {
        file = it->second;
        found = true;
      }
    }
    int64_t start = FRestart;
    FRestart = 0;
    if (!found) {
      SendReply("550 Failed to open file.");
      return;
    }
    FtpTransferOptions options = TransferOptions();
    Download(file, start, options, options.Preliminary);
  } else if (verb == "LIST" || verb == "NLST") {
    std::string listing;
    {
      std::lock_guard lock(FServer.FMutex);
      const auto& table = verb == "LIST" ? FServer.FListings : FServer.FNameLists;
      auto it = table.find(arg);
      if (arg.empty() || it == table.end())
        it = table.find(FCwd);
      if (it == table.end())
        it = table.find("");
      if (it != table.end())
        listing = it->second;
    }
    FRestart = 0;
    FtpTransferOptions options = TransferOptions();
    FileEntry file{std::make_shared<const std::string>(std::move(listing)), -1, 0};
    Download(file, 0, options, "150 Here comes the directory listing.");
  } else if (verb == "STOR" || verb == "APPE" || verb == "STOU") {
    FRestart = 0;
    FtpTransferOptions options = TransferOptions();
    std::string name = arg;
    FtpReply preliminary = options.Preliminary;
    if (verb == "STOU") {
      std::lock_guard lock(FServer.FMutex);
      name = "stou-" + std::to_string(++FServer.FStouCount);
      preliminary = FtpReply("150 FILE: " + name);
    }
    Upload(verb, name, options, preliminary);
  } else if (verb == "ABOR") {
    SendReply("225 No transfer to abort.");
  } else if (verb == "NOOP") {
    SendReply("200 NOOP ok.");
  } else if (verb == "FEAT") {
    SendReply("211-Features:\n MDTM\n PASV\n REST STREAM\n SIZE\n211 End");
  } else if (verb == "OPTS") {
    SendReply("200 OPTS ok.");
  } else if (verb == "SITE") {
    SendReply("200 SITE command ok.");
  } else if (verb == "OPEN") {
    SendReply("220 Connected to " + arg + ".");
  } else if (verb == "HELP") {
    SendReply("214 Help OK.");
  } else if (verb == "MODE") {
    SendReply(Upper(arg) == "S" ? "200 Mode set to S." : "504 Bad MODE command.");
  } else if (verb == "STRU") {
    SendReply(Upper(arg) == "F" ? "200 Structure set to F." : "504 Bad STRU command.");
  } else if (verb == "QUIT") {
    SendReply("221 Goodbye.");
    Close();
  } else {
    SendReply("500 Unknown command.");
  }
}

void FtpSessionImpl::Pasv(bool extended) {
  CloseData();
  FPasvListen.Reset();
  FPasvListen = ListenTcp("127.0.0.1", 0, 4);
  int port = LocalPort(FPasvListen.Get());
  FMode = DataMode::Passive;
  std::string text;
  {
    std::lock_guard lock(FServer.FMutex);
    if (extended) {
      text = FServer.FEpsvReply ? FServer.FEpsvReply(port)
                                : "229 Entering Extended Passive Mode (|||" + std::to_string(port) + "|)";
    } else if (FServer.FPasvReply) {
      text = FServer.FPasvReply(port);
    } else {
      const FtpPasvOptions& o = FServer.FPasv;
      std::string portFields =
          o.PortFields.empty() ? std::to_string(port / 256) + "," + std::to_string(port % 256) : o.PortFields;
      std::string fields = o.HostFields + "," + portFields;
      text = o.Parentheses ? "227 Entering Passive Mode (" + fields + ")." : "227 Entering Passive Mode " + fields;
    }
  }
  SendReply(text);
}

void FtpSessionImpl::Port(const std::string& argument) {
  HostPort address;
  try {
    address = ParseFtpHostPort(argument);
  } catch (const std::exception&) {
    SendReply("501 Illegal PORT command.");
    return;
  }
  UseActiveAddress(address, "PORT");
}

// "EPRT |1|127.0.0.1|5001|": a delimiter, then protocol, address and port.
void FtpSessionImpl::Eprt(const std::string& argument) {
  std::vector<std::string> fields;
  if (argument.size() >= 2) {
    const char d = argument[0];
    size_t at = 1;
    for (size_t end; (end = argument.find(d, at)) != std::string::npos; at = end + 1)
      fields.push_back(argument.substr(at, end - at));
  }
  if (fields.size() != 3) {
    SendReply("501 Illegal EPRT command.");
    return;
  }
  if (fields[0] != "1") {
    SendReply("522 Network protocol not supported, use (1)");
    return;
  }
  HostPort address;
  address.Host = fields[1];
  try {
    address.Port = std::stoi(fields[2]);
  } catch (const std::exception&) {
    SendReply("501 Illegal EPRT command.");
    return;
  }
  UseActiveAddress(address, "EPRT");
}

void FtpSessionImpl::UseActiveAddress(const HostPort& address, const std::string& verb) {
  {
    std::lock_guard lock(FServer.FMutex);
    FServer.FPortAddresses.push_back(address);
  }
  CloseData();
  FPasvListen.Reset();
  FPortAddress = address;
  FMode = DataMode::Active;
  SendReply("200 " + verb + " command successful. Consider using PASV.");
}

void FtpSessionImpl::ServeDownload(const std::string& bytes, const FtpTransferOptions& options) {
  FileEntry file{std::make_shared<const std::string>(bytes), -1, 0};
  Download(file, 0, options, options.Preliminary);
}

FtpUpload FtpSessionImpl::ReceiveUpload(const std::string& command, const std::string& name,
                                        const FtpTransferOptions& options) {
  return Upload(command, name, options, options.Preliminary);
}
