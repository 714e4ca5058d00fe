#include "ScriptedFtpServer.h"

#include "FtpSessionImpl.h"
#include "TestFiles.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>

namespace {

std::string Upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::toupper(c); });
  return text;
}

template <class Pred>
bool WaitUntil(std::mutex& mutex, std::condition_variable& changed, int timeoutMs, Pred pred) {
  std::unique_lock lock(mutex);
  return changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), pred);
}

}  // namespace

FtpReply FtpReply::Raw(std::string bytes) {
  FtpReply reply(std::move(bytes));
  reply.IsRaw = true;
  return reply;
}

std::string FtpReply::Wire() const {
  if (IsRaw)
    return Text;
  std::string wire;
  size_t start = 0;
  for (;;) {
    size_t end = Text.find('\n', start);
    wire += Text.substr(start, end - start);
    wire += "\r\n";
    if (end == std::string::npos)
      return wire;
    start = end + 1;
  }
}

int64_t ScriptedFtpServer::FileEntry::Size() const {
  return Bytes ? static_cast<int64_t>(Bytes->size()) : PatternSize;
}

std::string ScriptedFtpServer::FileEntry::Slice(int64_t offset, size_t count) const {
  int64_t size = Size();
  if (offset >= size)
    return {};
  count = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(count), size - offset));
  if (Bytes)
    return Bytes->substr(static_cast<size_t>(offset), count);
  return PatternBytes(Seed, offset, count);
}

ScriptedFtpServer::ScriptedFtpServer() {
  FListener.Start([this] { return Accept(); }, [this](const std::string& text) { AddError(text); });
}

ScriptedFtpServer::~ScriptedFtpServer() { Stop(); }

std::string ScriptedFtpServer::Url(const std::string& path, const std::string& user,
                                   const std::string& password) const {
  return "ftp://" + user + ":" + password + "@127.0.0.1:" + std::to_string(Port()) + path;
}

void ScriptedFtpServer::SetGreeting(FtpReply reply) {
  std::lock_guard lock(FMutex);
  FGreeting = std::move(reply);
}

void ScriptedFtpServer::SetReply(const std::string& verb, FtpReply reply) {
  std::lock_guard lock(FMutex);
  FReplies[Upper(verb)] = std::move(reply);
}

void ScriptedFtpServer::QueueReply(const std::string& verb, FtpReply reply) {
  std::lock_guard lock(FMutex);
  FQueued[Upper(verb)].push_back(std::move(reply));
}

void ScriptedFtpServer::SetHandler(const std::string& verb, FtpHandler handler) {
  std::lock_guard lock(FMutex);
  FHandlers[Upper(verb)] = std::move(handler);
}

void ScriptedFtpServer::ClearReply(const std::string& verb) {
  std::lock_guard lock(FMutex);
  std::string key = Upper(verb);
  FReplies.erase(key);
  FQueued.erase(key);
  FHandlers.erase(key);
}

void ScriptedFtpServer::SetAllRepliesByteByByte(int delayMs) {
  std::lock_guard lock(FMutex);
  FByteDelayMs = delayMs;
}

void ScriptedFtpServer::SetFile(const std::string& name, std::string bytes) {
  std::lock_guard lock(FMutex);
  FFiles[name] = FileEntry{std::make_shared<const std::string>(std::move(bytes)), -1, 0};
}

void ScriptedFtpServer::SetPatternFile(const std::string& name, int64_t size, uint64_t seed) {
  std::lock_guard lock(FMutex);
  FFiles[name] = FileEntry{nullptr, size, seed};
}

bool ScriptedFtpServer::HasFile(const std::string& name) const {
  std::lock_guard lock(FMutex);
  return FFiles.count(name) != 0;
}

std::string ScriptedFtpServer::FileBytes(const std::string& name) const {
  std::lock_guard lock(FMutex);
  auto it = FFiles.find(name);
  if (it == FFiles.end())
    throw std::out_of_range("no file '" + name + "' on the scripted FTP server");
  return it->second.Slice(0, static_cast<size_t>(it->second.Size()));
}

void ScriptedFtpServer::SetListing(std::string bytes, const std::string& folder) {
  std::lock_guard lock(FMutex);
  FListings[folder] = std::move(bytes);
}

void ScriptedFtpServer::SetNameList(std::string bytes, const std::string& folder) {
  std::lock_guard lock(FMutex);
  FNameLists[folder] = std::move(bytes);
}

void ScriptedFtpServer::SetTransferOptions(FtpTransferOptions options) {
  std::lock_guard lock(FMutex);
  FTransfer = std::move(options);
}

void ScriptedFtpServer::SetPasvOptions(FtpPasvOptions options) {
  std::lock_guard lock(FMutex);
  FPasv = std::move(options);
  FPasvReply = nullptr;
}

void ScriptedFtpServer::SetPasvReply(std::function<std::string(int port)> makeText) {
  std::lock_guard lock(FMutex);
  FPasvReply = std::move(makeText);
}

void ScriptedFtpServer::SetEpsvReply(std::function<std::string(int port)> makeText) {
  std::lock_guard lock(FMutex);
  FEpsvReply = std::move(makeText);
}

std::vector<std::string> ScriptedFtpServer::Commands() const {
  std::lock_guard lock(FMutex);
  return FCommands;
}

std::vector<std::string> ScriptedFtpServer::SessionCommands(int session) const {
  std::lock_guard lock(FMutex);
  if (session < 0 || session >= static_cast<int>(FSessions.size()))
    throw std::out_of_range("no FTP session " + std::to_string(session));
  return FSessions[session].Commands;
}

std::string ScriptedFtpServer::ControlBytes(int session) const {
  std::lock_guard lock(FMutex);
  if (session < 0 || session >= static_cast<int>(FSessions.size()))
    throw std::out_of_range("no FTP session " + std::to_string(session));
  return FSessions[session].Raw;
}

std::vector<FtpUpload> ScriptedFtpServer::Uploads() const {
  std::lock_guard lock(FMutex);
  return FUploads;
}

std::vector<HostPort> ScriptedFtpServer::PortAddresses() const {
  std::lock_guard lock(FMutex);
  return FPortAddresses;
}

int ScriptedFtpServer::SessionCount() const {
  std::lock_guard lock(FMutex);
  return static_cast<int>(FSessions.size());
}

std::vector<std::string> ScriptedFtpServer::Errors() const {
  std::lock_guard lock(FMutex);
  return FErrors;
}

std::string ScriptedFtpServer::ErrorText() const {
  std::string text;
  for (const std::string& e : Errors())
    text += (text.empty() ? "" : "\n") + e;
  return text;
}

bool ScriptedFtpServer::WaitForCommand(const std::string& prefix, int timeoutMs) {
  return WaitUntil(FMutex, FChanged, timeoutMs, [&] {
    return std::any_of(FCommands.begin(), FCommands.end(),
                       [&](const std::string& line) { return line.rfind(prefix, 0) == 0; });
  });
}

bool ScriptedFtpServer::WaitForCommandCount(size_t count, int timeoutMs) {
  return WaitUntil(FMutex, FChanged, timeoutMs, [&] { return FCommands.size() >= count; });
}

bool ScriptedFtpServer::WaitSessionsClosed(int timeoutMs) {
  return WaitUntil(FMutex, FChanged, timeoutMs, [&] {
    return std::all_of(FSessions.begin(), FSessions.end(), [](const SessionRecord& s) { return s.Done; });
  });
}

void ScriptedFtpServer::AddError(const std::string& text) {
  std::lock_guard lock(FMutex);
  FErrors.push_back(text);
}

PeerListener::Work ScriptedFtpServer::Accept() {
  std::lock_guard lock(FMutex);
  int index = static_cast<int>(FSessions.size());
  FSessions.emplace_back();
  FChanged.notify_all();
  return [this, index](UniqueFd control) { RunSession(index, std::move(control)); };
}

void ScriptedFtpServer::RunSession(int index, UniqueFd control) {
  try {
    FtpSessionImpl session(*this, index, std::move(control));
    session.Run();
  } catch (const std::exception& e) {
    AddError("session " + std::to_string(index) + ": " + e.what());
  }
  std::lock_guard lock(FMutex);
  FSessions[index].Done = true;
  FChanged.notify_all();
}

void ScriptedFtpServer::Stop() { FListener.Stop(); }
