// Client connect: status texts, time limits, the connect thread.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <vector>

#include "LoopbackPeer.h"
#include "NetAntiFreezeBase.h"
#include "NetExceptions.h"
#include "NetTCPClient.h"

namespace {

using Clock = std::chrono::steady_clock;

int64_t MillisSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class CountingAntiFreeze : public TNetAntiFreezeBase {
 public:
  int pumps = 0;
  std::function<void()> onPump;
  void PumpMessages() override {
    ++pumps;
    if (onPump) onPump();
  }
};

// A listener whose accept queue is full, so that a further connect's
// handshake gets no answer.
struct SilentListener {
  int Port() const { return LocalPort(listener.Get()); }
  UniqueFd listener = ListenTcp("127.0.0.1", 0, 0);
  UniqueFd filler = ConnectTcp("127.0.0.1", Port());
};

}  // namespace

TEST(Connect, StatusTextsForAddressAndName) {
  LoopbackPeer peer([](int fd) { ReceiveLine(fd, kNoLimitMs); });
  TNetTCPClient client;
  std::vector<std::string> texts;
  client.OnStatus = [&](TNetBaseComponent*, TNetStatus, const std::string& text) { texts.push_back(text); };
  client.Host = "127.0.0.1";
  client.Port = peer.Port();
  client.OpenConnection();
  EXPECT_EQ(texts, (std::vector<std::string>{"Connecting to 127.0.0.1.", "Connected."}));
  EXPECT_THROW(client.OpenConnection(), ENetAlreadyConnected);
  EXPECT_TRUE(client.IsConnected());
  client.WriteLine("done");
  client.CloseConnection();

  LoopbackPeer second([](int fd) { ReceiveLine(fd, kNoLimitMs); });
  texts.clear();
  client.Host = "localhost";
  client.Port = second.Port();
  client.OpenConnection();
  EXPECT_EQ(texts.at(0), "Resolving hostname localhost.");
  EXPECT_EQ(texts.at(1), "Connecting to 127.0.0.1.");  // the resolved address, not the name
  client.WriteLine("done");
}

TEST(Connect, RefusedPlainAndThreaded) {
  TNetTCPClient client;
  client.Host = "127.0.0.1";
  client.Port = FindFreePort();
  for (int32_t timeout : {DefaultTimeLimit, 2000}) {
    try {
      client.OpenConnection(timeout);
      FAIL() << "connected to a closed port";
    } catch (const ENetSocketError& e) {
      EXPECT_EQ(e.SocketErrorCode, 10061);
      EXPECT_STREQ(e.what(), "Socket Error # 10061\r\nConnection refused.");
    }
    EXPECT_FALSE(client.IsConnected());
  }
}

TEST(Connect, TimesOutOnAHandshakeWithoutAnswer) {
  SilentListener silent;
  TNetTCPClient client;
  client.Host = "127.0.0.1";
  client.Port = silent.Port();
  const auto start = Clock::now();
  try {
    client.OpenConnection(600);
    FAIL() << "connected";
  } catch (const ENetConnectTimeout& e) {
    EXPECT_STREQ(e.what(), "Connect timed out.");
  }
  const int64_t elapsed = MillisSince(start);
  EXPECT_GE(elapsed, 550);
  EXPECT_LE(elapsed, 600 + 125 + 1500);  // the limit plus one step, and room for a busy machine
  EXPECT_FALSE(client.IsConnected());
}

TEST(Connect, TimeOutBelowOneStep) {
  SilentListener silent;
  TNetTCPClient client;
  client.Host = "127.0.0.1";
  client.Port = silent.Port();
  const auto start = Clock::now();
  EXPECT_THROW(client.OpenConnection(100), ENetConnectTimeout);
  EXPECT_LE(MillisSince(start), 100 + 1500);
}

TEST(Connect, AntiFreezeKeepsPumpingDuringTheWait) {
  SilentListener silent;
  CountingAntiFreeze antiFreeze;
  antiFreeze.IdleTimeOut = 50;
  antiFreeze.OnlyWhenIdle = false;
  TNetTCPClient client;
  client.Host = "127.0.0.1";
  client.Port = silent.Port();
  const auto start = Clock::now();
  EXPECT_THROW(client.OpenConnection(600), ENetConnectTimeout);
  EXPECT_LE(MillisSince(start), 600 + 50 + 1500);
  // About one pump per 50 ms step; a loaded machine may manage fewer.
  EXPECT_GE(antiFreeze.pumps, 5);
}

TEST(Connect, AFailingPumpCancelsTheConnectCleanly) {
  SilentListener silent;
  CountingAntiFreeze antiFreeze;
  antiFreeze.IdleTimeOut = 50;
  antiFreeze.onPump = [&] {
    if (antiFreeze.pumps == 3) throw std::runtime_error("handler failed");
  };
  TNetTCPClient client;
  client.Host = "127.0.0.1";
  client.Port = silent.Port();
  // The default limit under an anti-freeze is long; the handler's failure
  // ends the wait instead, and the connect thread is gone with it.
  EXPECT_THROW(client.OpenConnection(DefaultTimeLimit), std::runtime_error);
  EXPECT_FALSE(client.IsConnected());
}

TEST(Connect, NoTimeLimitWaitsForTheConnect) {
  LoopbackPeer peer([](int fd) { ReceiveLine(fd, kNoLimitMs); });
  CountingAntiFreeze antiFreeze;
  antiFreeze.IdleTimeOut = 50;
  TNetTCPClient client;
  client.Host = "127.0.0.1";
  client.Port = peer.Port();
  client.OpenConnection(NoTimeLimit);
  EXPECT_TRUE(client.IsConnected());
  EXPECT_GE(antiFreeze.pumps, 1);
  client.WriteLine("done");
}

TEST(Connect, ConnectAndReadAll) {
  LoopbackPeer peer([](int fd) { SendAll(fd, "everything\r\nthere is"); });
  TNetTCPClient client;
  client.Host = "127.0.0.1";
  client.Port = peer.Port();
  EXPECT_EQ(client.ConnectAndReadAll(), "everything\r\nthere is");
  EXPECT_FALSE(client.IsConnected());
  EXPECT_EQ(client.IOHandler(), nullptr);  // the owned handler went with the close
}

// A window handler run inside a blocked call may close the connection; the
// owned handler then stays alive until the blocked call has returned (the
// sanitizer run would catch a use after free here).
TEST(Connect, CloseFromAPumpDuringABlockedRead) {
  LoopbackPeer peer([](int fd) { ReceiveLine(fd, kNoLimitMs); });
  CountingAntiFreeze antiFreeze;
  antiFreeze.IdleTimeOut = 20;
  TNetTCPClient client;
  client.Host = "127.0.0.1";
  client.Port = peer.Port();
  client.OpenConnection();
  antiFreeze.onPump = [&] {
    if (antiFreeze.pumps == 3) client.CloseConnection();
  };
  EXPECT_THROW(client.ReadLine(), ENetException);
  EXPECT_FALSE(client.IsConnected());
  EXPECT_EQ(client.IOHandler(), nullptr);
  EXPECT_EQ(client.ComponentCount(), 0u);  // the retired handler is gone now
}

TEST(Connect, CloseFromAPumpDuringTheConnectWait) {
  SilentListener silent;
  CountingAntiFreeze antiFreeze;
  antiFreeze.IdleTimeOut = 20;
  TNetTCPClient client;
  client.Host = "127.0.0.1";
  client.Port = silent.Port();
  antiFreeze.onPump = [&] {
    if (antiFreeze.pumps == 3) client.CloseConnection();
  };
  const auto start = Clock::now();
  try {
    client.OpenConnection(5000);
    FAIL() << "connected";
  } catch (const ENetClosedSocket& e) {
    EXPECT_STREQ(e.what(), "Disconnected.");
  }
  EXPECT_LT(MillisSince(start), 4000);  // given up at once, not at the time limit
  EXPECT_FALSE(client.IsConnected());
}
