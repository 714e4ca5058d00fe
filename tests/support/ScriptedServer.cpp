#include "ScriptedServer.h"

#include <cerrno>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>

namespace {

// Thrown inside a script when Stop() interrupts a wait; not an error of the script.
struct ScriptStopped {};

}  // namespace

struct ScriptedConnection::Record {
  std::string Received;
  std::vector<std::string> Reads;
  std::string Sent;
};

ScriptedConnection::ScriptedConnection(ScriptedServer& server, int index, UniqueFd fd,
                                       std::shared_ptr<Record> record)
    : FServer(server), FIndex(index), FFd(std::move(fd)), FRecord(std::move(record)) {}

void ScriptedConnection::Send(std::string_view bytes) {
  if (!FFd)
    throw std::runtime_error("send after close");
  if (!SendAllWithin(FFd.Get(), bytes, FServer.Timeout(), FServer.FListener.StopFd())) {
    if (FServer.FListener.Stopping())
      throw ScriptStopped{};
    throw std::runtime_error("timed out sending " + std::to_string(bytes.size()) + " bytes");
  }
  std::lock_guard lock(FServer.FMutex);
  FRecord->Sent.append(bytes);
}

void ScriptedConnection::SendByteByByte(std::string_view bytes, int delayMs) {
  for (char c : bytes) {
    Send(std::string_view(&c, 1));
    if (delayMs > 0)
      Sleep(delayMs);
  }
}

void ScriptedConnection::Sleep(int ms) {
  // Waits on the stop event so that Stop() never waits for a long pause.
  pollfd p{FServer.FListener.StopFd(), POLLIN, 0};
  if (::poll(&p, 1, ms) > 0)
    throw ScriptStopped{};
}

bool ScriptedConnection::Fill() {
  if (!FFd)
    throw std::runtime_error("read after close");
  if (!WaitReadable(FFd.Get(), FServer.Timeout(), FServer.FListener.StopFd())) {
    if (FServer.FListener.Stopping())
      throw ScriptStopped{};
    throw std::runtime_error("timed out waiting for data (have " + std::to_string(FPending.size()) +
                             " unread bytes: '" + FPending + "')");
  }
  std::string chunk = ReceiveSome(FFd.Get());
  if (chunk.empty())
    return false;
  FPending += chunk;
  return true;
}

std::string ScriptedConnection::Take(size_t count) {
  std::string taken = FPending.substr(0, count);
  FPending.erase(0, count);
  Note(taken);
  return taken;
}

void ScriptedConnection::Note(const std::string& read) {
  std::lock_guard lock(FServer.FMutex);
  FRecord->Reads.push_back(read);
  FRecord->Received += read;
}

std::string ScriptedConnection::ReadLine() {
  return Reading([&] {
    size_t end;
    while ((end = FPending.find('\n')) == std::string::npos) {
      if (!Fill())
        throw std::runtime_error("peer closed before the end of a line, got '" + FPending + "'");
    }
    return Take(end + 1);
  });
}

std::string ScriptedConnection::ReadBytes(size_t count) {
  return Reading([&] {
    while (FPending.size() < count) {
      if (!Fill())
        throw std::runtime_error("peer closed after " + std::to_string(FPending.size()) + " of " +
                                 std::to_string(count) + " bytes: " + HexBytes(FPending));
    }
    return Take(count);
  });
}

std::string ScriptedConnection::ReadSome() {
  return Reading([&] {
    if (FPending.empty())
      Fill();
    return Take(FPending.size());
  });
}

std::string ScriptedConnection::ReadUntilEof() {
  return Reading([&] {
    while (Fill()) {
    }
    return Take(FPending.size());
  });
}

std::string ScriptedConnection::Reading(const std::function<std::string()>& read) {
  try {
    return read();
  } catch (...) {
    // A failed or interrupted read still shows what did arrive.
    if (!FPending.empty())
      Take(FPending.size());
    throw;
  }
}

void ScriptedConnection::ExpectEof() {
  if (FPending.empty() && !Fill())
    return;
  std::string extra = Take(FPending.size());
  throw std::runtime_error("expected the peer to close, got " + HexBytes(extra));
}

void ScriptedConnection::Close() {
  if (FFd)
    ::shutdown(FFd.Get(), SHUT_WR);
  FFd.Reset();
}

void ScriptedConnection::Reset() {
  if (FFd)
    SetLingerZero(FFd.Get());
  FFd.Reset();
}

void ScriptedConnection::Relay(const std::string& host, int port) {
  RelayTo(ConnectTcp(host, port, FServer.Timeout()));
}

void ScriptedConnection::RelayTo(UniqueFd target) {
  if (!FFd)
    throw std::runtime_error("relay after close");
  SendAll(target.Get(), FPending);
  FPending.clear();
  // open[0]: client -> target still flowing; open[1]: target -> client.
  int from[2] = {FFd.Get(), target.Get()};
  int to[2] = {target.Get(), FFd.Get()};
  bool open[2] = {true, true};
  char buffer[65536];
  while (open[0] || open[1]) {
    pollfd p[3] = {{open[0] ? from[0] : -1, POLLIN, 0}, {open[1] ? from[1] : -1, POLLIN, 0},
                   {FServer.FListener.StopFd(), POLLIN, 0}};
    if (::poll(p, 3, -1) < 0) {
      if (errno == EINTR)
        continue;
      throw std::runtime_error("relay poll failed");
    }
    if (p[2].revents != 0)
      throw ScriptStopped{};
    for (int i = 0; i < 2; ++i) {
      if (!open[i] || p[i].revents == 0)
        continue;
      ssize_t n = ::recv(from[i], buffer, sizeof buffer, 0);
      if (n > 0) {
        try {
          SendAll(to[i], std::string_view(buffer, static_cast<size_t>(n)));
          continue;
        } catch (const std::exception&) {
          // The receiving side is gone: nothing more can flow this way.
        }
      }
      if (n < 0 && errno == EINTR)
        continue;
      open[i] = false;
      ::shutdown(to[i], SHUT_WR);
    }
  }
  FFd.Reset();
}

std::string ScriptedConnection::Received() const {
  std::lock_guard lock(FServer.FMutex);
  return FRecord->Received;
}

Script& Script::Send(std::string bytes) {
  FSteps.push_back([bytes](ScriptedConnection& c) { c.Send(bytes); });
  return *this;
}

Script& Script::SendByteByByte(std::string bytes, int delayMs) {
  FSteps.push_back([bytes, delayMs](ScriptedConnection& c) { c.SendByteByByte(bytes, delayMs); });
  return *this;
}

Script& Script::Sleep(int ms) {
  FSteps.push_back([ms](ScriptedConnection& c) { c.Sleep(ms); });
  return *this;
}

Script& Script::ReadLine() {
  FSteps.push_back([](ScriptedConnection& c) { c.ReadLine(); });
  return *this;
}

Script& Script::ReadBytes(size_t count) {
  FSteps.push_back([count](ScriptedConnection& c) { c.ReadBytes(count); });
  return *this;
}

Script& Script::ReadUntilEof() {
  FSteps.push_back([](ScriptedConnection& c) { c.ReadUntilEof(); });
  return *this;
}

Script& Script::ExpectEof() {
  FSteps.push_back([](ScriptedConnection& c) { c.ExpectEof(); });
  return *this;
}

Script& Script::Close() {
  FSteps.push_back([](ScriptedConnection& c) { c.Close(); });
  return *this;
}

Script& Script::Reset() {
  FSteps.push_back([](ScriptedConnection& c) { c.Reset(); });
  return *this;
}

Script& Script::Relay(std::string host, int port) {
  FSteps.push_back([host, port](ScriptedConnection& c) { c.Relay(host, port); });
  return *this;
}

Script& Script::Do(Step step) {
  FSteps.push_back(std::move(step));
  return *this;
}

void Script::operator()(ScriptedConnection& connection) const {
  for (const Step& step : FSteps)
    step(connection);
}

ScriptedServer::ScriptedServer(Handler everyConnection)
    : FHandlers{std::move(everyConnection)}, FSameForAll(true) {
  FListener.Start([this] { return Accept(); }, [this](const std::string& text) { AddError(text); });
}

ScriptedServer::ScriptedServer(std::vector<Handler> perConnection)
    : FHandlers(std::move(perConnection)), FSameForAll(false) {
  FListener.Start([this] { return Accept(); }, [this](const std::string& text) { AddError(text); });
}

ScriptedServer::~ScriptedServer() { Stop(); }

PeerListener::Work ScriptedServer::Accept() {
  std::lock_guard lock(FMutex);
  int index = static_cast<int>(FRecords.size());
  FRecords.push_back(std::make_shared<ScriptedConnection::Record>());
  FChanged.notify_all();
  if (!FSameForAll && index >= static_cast<int>(FHandlers.size())) {
    FErrors.push_back("connection " + std::to_string(index) + ": not expected (only " +
                      std::to_string(FHandlers.size()) + " scripted)");
    return {};
  }
  ++FRunning;
  return [this, index](UniqueFd fd) { RunConnection(index, std::move(fd)); };
}

void ScriptedServer::RunConnection(int index, UniqueFd fd) {
  const Handler& handler = FHandlers[FSameForAll ? 0 : index];
  ScriptedConnection connection(*this, index, std::move(fd), RecordAt(index));
  try {
    handler(connection);
  } catch (const ScriptStopped&) {
  } catch (const std::exception& e) {
    AddError("connection " + std::to_string(index) + ": " + e.what());
  }
  connection.Close();
  std::lock_guard lock(FMutex);
  --FRunning;
  FChanged.notify_all();
}

void ScriptedServer::AddError(const std::string& text) {
  std::lock_guard lock(FMutex);
  FErrors.push_back(text);
}

std::shared_ptr<ScriptedConnection::Record> ScriptedServer::RecordAt(int index) const {
  std::lock_guard lock(FMutex);
  if (index < 0 || index >= static_cast<int>(FRecords.size()))
    throw std::out_of_range("no connection " + std::to_string(index) + " (have " +
                            std::to_string(FRecords.size()) + ")");
  return FRecords[index];
}

bool ScriptedServer::WaitForConnections(int count, int timeoutMs) {
  std::unique_lock lock(FMutex);
  return FChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [&] { return static_cast<int>(FRecords.size()) >= count; });
}

bool ScriptedServer::WaitDone(int timeoutMs) {
  std::unique_lock lock(FMutex);
  return FChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return FRunning == 0; });
}

void ScriptedServer::Stop() { FListener.Stop(); }

int ScriptedServer::ConnectionCount() const {
  std::lock_guard lock(FMutex);
  return static_cast<int>(FRecords.size());
}

std::string ScriptedServer::Received(int index) const {
  auto record = RecordAt(index);
  std::lock_guard lock(FMutex);
  return record->Received;
}

std::vector<std::string> ScriptedServer::Reads(int index) const {
  auto record = RecordAt(index);
  std::lock_guard lock(FMutex);
  return record->Reads;
}

std::string ScriptedServer::Sent(int index) const {
  auto record = RecordAt(index);
  std::lock_guard lock(FMutex);
  return record->Sent;
}

std::vector<std::string> ScriptedServer::Errors() const {
  std::lock_guard lock(FMutex);
  return FErrors;
}

std::string ScriptedServer::ErrorText() const {
  std::string text;
  for (const std::string& e : Errors())
    text += (text.empty() ? "" : "\n") + e;
  return text;
}
