// The smallest scripted peer: it accepts one connection on 127.0.0.1 and runs
// a script over the bare descriptor, for tests that drive the socket calls
// themselves. Scripts use the helpers of LoopbackSocket.h; one that throws
// (the client has gone) just ends the script, and the connection closes when
// the script ends. A further connection is closed at once.
//
//   LoopbackPeer peer([](int fd) {
//     SendAll(fd, "220 hi\r\n");
//     ReceiveLine(fd, kNoLimitMs);  // keeps the link open until the client closes it
//   });
//   ... connect the client to 127.0.0.1:peer.Port() ...
//
// The destructor waits for the script, so declare the peer before the client.
#pragma once

#include <functional>
#include <utility>
#include <vector>

#include "LoopbackSocket.h"
#include "ScriptedServer.h"

class LoopbackPeer {
public:
  using PeerScript = std::function<void(int fd)>;

  explicit LoopbackPeer(PeerScript script)
      : FServer(std::vector<ScriptedServer::Handler>{
            [script = std::move(script)](ScriptedConnection& connection) { script(connection.Fd()); }}) {}

  int Port() const { return FServer.Port(); }

private:
  ScriptedServer FServer;
};
