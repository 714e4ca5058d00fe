// What the connection tests share: a client connected to a loopback peer,
// and pseudo-random bytes to send through it.
#pragma once

#include <cstdint>
#include <string>

#include "LoopbackPeer.h"
#include "NetTCPClient.h"

struct Connected {
  explicit Connected(LoopbackPeer& peer) {
    client.Host = "127.0.0.1";
    client.Port = peer.Port();
    client.OpenConnection();
  }
  TNetTCPClient client;
};

inline std::string Pattern(size_t size) {
  std::string data(size, '\0');
  uint32_t x = 12345;
  for (char& c : data) {
    x = x * 1103515245 + 12345;
    c = static_cast<char>(x >> 24);
  }
  return data;
}
