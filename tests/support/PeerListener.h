// The listening half that every scripted peer shares: a socket on 127.0.0.1
// with an ephemeral port, an accept thread that runs each connection on a
// thread of its own, and the stop event that ends the peer's waits.
#pragma once

#include "LoopbackSocket.h"

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class PeerListener {
public:
  // What runs one accepted connection, on a thread of its own.
  using Work = std::function<void(UniqueFd)>;

  PeerListener();
  ~PeerListener() { Stop(); }
  PeerListener(const PeerListener&) = delete;
  PeerListener& operator=(const PeerListener&) = delete;

  int Port() const { return FPort; }
  // Watched beside a socket by every wait of the peer; readable once Stop() began.
  int StopFd() const { return FStop.Fd(); }
  bool Stopping() const { return FStop.IsSignaled(); }

  // Starts accepting. For each connection, onAccept (on the accept thread)
  // returns the work that runs it, or an empty Work to close it at once; an
  // accept failure goes to onError and ends accepting.
  void Start(std::function<Work()> onAccept, std::function<void(const std::string&)> onError);
  // Stops accepting, signals the stop event and joins every thread. Only the
  // first call does anything.
  void Stop();

private:
  UniqueFd FListen;
  int FPort = 0;
  WakeEvent FStop;
  std::mutex FMutex;
  bool FStopped = false;
  std::vector<std::thread> FThreads;
  std::thread FAcceptThread;
};
