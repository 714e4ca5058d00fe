// A generic TCP peer on 127.0.0.1 with an ephemeral port. Every accepted
// connection runs a script on a thread of its own; what the scripts read and
// sent is recorded per connection for exact-byte assertions.
//
//   ScriptedServer server(Script().ReadBytes(9).Send(std::string("\0\x5a\0\0\0\0\0\0", 8)).Close());
//   ... let the client connect to 127.0.0.1:server.Port() ...
//   ASSERT_TRUE(server.WaitDone());
//   EXPECT_EQ(server.Received(0), expectedRequest);
//   EXPECT_EQ(server.ErrorText(), "");
//
// A script that fails (time-out, early EOF, reset) ends its connection and
// leaves a line in Errors(); it never throws into the test.
#pragma once

#include "LoopbackSocket.h"
#include "PeerListener.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class ScriptedServer;

// One accepted connection as its script sees it. Reads wait at most the
// server's Timeout() and throw when it passes or the peer closes early.
class ScriptedConnection {
public:
  int Index() const { return FIndex; }
  int Fd() const { return FFd.Get(); }

  void Send(std::string_view bytes);
  // One send() per byte, with a pause after each, to split the peer's reads.
  void SendByteByByte(std::string_view bytes, int delayMs = 0);
  void Sleep(int ms);

  // Each read is recorded as one entry of Reads() and appended to Received().
  std::string ReadLine();               // up to and including LF
  std::string ReadBytes(size_t count);  // exactly count bytes
  std::string ReadSome();               // what one recv() returns (empty at EOF)
  std::string ReadUntilEof();           // until the peer closes
  void ExpectEof();                     // fails when any byte arrives first

  void Close();  // orderly close (FIN)
  void Reset();  // abortive close (RST, via SO_LINGER 0)
  // Connects to host:port and copies bytes both ways until both sides have
  // closed; what was read but not consumed is forwarded first.
  void Relay(const std::string& host, int port);
  // The same over a connection the script opened itself.
  void RelayTo(UniqueFd target);

  // What all reads of this connection returned so far.
  std::string Received() const;

private:
  friend class ScriptedServer;
  struct Record;
  ScriptedConnection(ScriptedServer& server, int index, UniqueFd fd, std::shared_ptr<Record> record);
  bool Fill();  // one recv() into the pending buffer; false at EOF
  std::string Take(size_t count);
  std::string Reading(const std::function<std::string()>& read);
  void Note(const std::string& read);

  ScriptedServer& FServer;
  int FIndex;
  UniqueFd FFd;
  std::shared_ptr<Record> FRecord;
  std::string FPending;  // read from the socket, not yet handed to the script
};

// A list of steps built by chaining; usable wherever a handler is expected.
class Script {
public:
  using Step = std::function<void(ScriptedConnection&)>;

  Script& Send(std::string bytes);
  Script& SendByteByByte(std::string bytes, int delayMs = 0);
  Script& Sleep(int ms);
  Script& ReadLine();
  Script& ReadBytes(size_t count);
  Script& ReadUntilEof();
  Script& ExpectEof();
  Script& Close();
  Script& Reset();
  Script& Relay(std::string host, int port);
  Script& Do(Step step);  // any custom step

  void operator()(ScriptedConnection& connection) const;

private:
  std::vector<Step> FSteps;
};

class ScriptedServer {
public:
  using Handler = std::function<void(ScriptedConnection&)>;

  // Every connection runs the same handler.
  explicit ScriptedServer(Handler everyConnection);
  // Connection i runs handlers[i]; any further connection is closed at once
  // and counted as an error.
  explicit ScriptedServer(std::vector<Handler> perConnection);
  ~ScriptedServer();
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;

  std::string Host() const { return "127.0.0.1"; }
  int Port() const { return FListener.Port(); }
  // Limit for each read step (default 10000 ms); set it before clients connect.
  void SetTimeout(int ms) { FTimeoutMs = ms; }
  int Timeout() const { return FTimeoutMs; }

  bool WaitForConnections(int count, int timeoutMs = 5000);
  // Waits until every accepted connection's script has finished.
  bool WaitDone(int timeoutMs = 5000);
  // Stops accepting, lets scripts finish what is already readable, ends the
  // rest and joins every thread. Records stay readable afterwards.
  void Stop();

  int ConnectionCount() const;
  std::string Received(int index) const;           // all bytes read on connection index
  std::vector<std::string> Reads(int index) const;  // one entry per read step
  std::string Sent(int index) const;               // all bytes sent on it
  std::vector<std::string> Errors() const;          // "connection 0: ..." per failed script
  std::string ErrorText() const;                    // Errors() joined by newlines

private:
  friend class ScriptedConnection;
  PeerListener::Work Accept();
  void RunConnection(int index, UniqueFd fd);
  void AddError(const std::string& text);
  std::shared_ptr<ScriptedConnection::Record> RecordAt(int index) const;

  std::vector<Handler> FHandlers;
  bool FSameForAll;
  std::atomic<int> FTimeoutMs{10000};
  mutable std::mutex FMutex;
  std::condition_variable FChanged;
  std::vector<std::shared_ptr<ScriptedConnection::Record>> FRecords;
  std::vector<std::string> FErrors;
  int FRunning = 0;
  PeerListener FListener;  // last: its threads use the members above
};
