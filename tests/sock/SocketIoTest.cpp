// Sending, receiving and waiting through the stack: readiness waits (list
// limit, results, descriptors above the fixed-set range), a peer that has
// gone, whole-file sending, and the cancellable connect.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <thread>
#include <vector>

#include "NetExceptions.h"
#include "SockTestSupport.h"

namespace {

// A list without the 64-value limit, to hand the wait more than it may take.
class TUnlimitedList : public TNetSocketList {
 public:
  TNetSocket Items(int Index) const override { return FItems.at(static_cast<size_t>(Index)); }
  void Add(TNetSocket Socket) override { FItems.push_back(Socket); }
  void Remove(TNetSocket) override {}
  int Count() const override { return static_cast<int>(FItems.size()); }
  void Clear() override { FItems.clear(); }

 private:
  std::vector<TNetSocket> FItems;
};

void SendText(TNetStack& Stack, int Fd, const std::string& Text) {
  ASSERT_EQ(Stack.SockSend(Fd, Text.data(), static_cast<int32_t>(Text.size()), 0),
            static_cast<int32_t>(Text.size()));
}

std::vector<TNetSocket> Values(const TNetSocketList& List) {
  std::vector<TNetSocket> v;
  for (int i = 0; i < List.Count(); ++i) v.push_back(List.Items(i));
  return v;
}

std::atomic<int> SigPipeCount{0};

// Counts SIGPIPE for the lifetime of the object instead of dying of it.
class TSigPipeCounter {
 public:
  TSigPipeCounter() {
    struct sigaction sa{};
    sa.sa_handler = [](int) { SigPipeCount.fetch_add(1); };
    sigemptyset(&sa.sa_mask);
    sigaction(SIGPIPE, &sa, &FOld);
    SigPipeCount = 0;
  }
  ~TSigPipeCounter() { sigaction(SIGPIPE, &FOld, nullptr); }

 private:
  struct sigaction FOld {};
};

// A peer that has gone: the accepted end closed with unread data, so that
// the client's next sends meet a reset.
TLoopbackPair DeadPeerPair(TNetStack& Stack) {
  TLoopbackPair pair = ConnectedPair(Stack);
  SendText(Stack, pair.Client.Get(), "unread");
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  pair.Server.Reset();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  return pair;
}

}  // namespace

using SocketLists = TStackFixture;

TEST_F(SocketLists, HoldAtMost64AndRemoveByMovingTheLast) {
  TNetSocketListPosix list;
  for (int i = 0; i < 64; ++i) list.Add(100 + i);
  EXPECT_THROW(list.Add(999), ENetStackSetSizeExceeded);
  EXPECT_EQ(list.Count(), 64);
  list.Remove(101);
  EXPECT_EQ(list.Count(), 63);
  EXPECT_EQ(list.Items(1), 163);  // the last value moved into the gap
  list.Remove(4242);              // absent: ignored
  EXPECT_EQ(list.Count(), 63);
  EXPECT_THROW(list.Items(63), ENetStackSetSizeExceeded);
  EXPECT_THROW(list.Items(-1), ENetStackSetSizeExceeded);
  list.Clear();
  EXPECT_EQ(list.Count(), 0);
}

using Select = TStackFixture;

TEST_F(Select, SixtyFiveSocketsRaiseBeforeAnyWait) {
  TLoopbackPair pair = ConnectedPair(Stack());
  TUnlimitedList list;
  for (int i = 0; i < 65; ++i) list.Add(pair.Server.Get());
  const auto start = std::chrono::steady_clock::now();
  for (int which = 0; which < 3; ++which) {
    TNetSocketList* lists[3] = {nullptr, nullptr, nullptr};
    lists[which] = &list;
    EXPECT_THROW(Stack().SockSelect(lists[0], lists[1], lists[2], NoTimeLimit), ENetStackSetSizeExceeded);
  }
  EXPECT_LT(MillisSince(start), 1000);
  EXPECT_EQ(list.Count(), 65);  // untouched
}

TEST_F(Select, ListsAreRefilledWithTheReadySockets) {
  TLoopbackPair quiet = ConnectedPair(Stack());
  TLoopbackPair busy = ConnectedPair(Stack());
  SendText(Stack(), busy.Client.Get(), "x");

  TNetSocketListPosix readList, writeList, errorList;
  readList.Add(quiet.Server.Get());
  readList.Add(busy.Server.Get());
  writeList.Add(quiet.Client.Get());
  errorList.Add(quiet.Server.Get());
  EXPECT_EQ(Stack().SockSelect(&readList, &writeList, &errorList, 2000), 2);
  EXPECT_EQ(Values(readList), std::vector<TNetSocket>{busy.Server.Get()});
  EXPECT_EQ(Values(writeList), std::vector<TNetSocket>{quiet.Client.Get()});
  EXPECT_EQ(errorList.Count(), 0);

  // A time-out: 0, and every given list emptied.
  readList.Clear();
  readList.Add(quiet.Server.Get());
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Stack().SockSelect(&readList, nullptr, nullptr, 200), 0);
  EXPECT_GE(MillisSince(start), 150);
  EXPECT_EQ(readList.Count(), 0);

  // The end of the stream counts as readable.
  readList.Add(quiet.Server.Get());
  quiet.Client.Reset();
  EXPECT_EQ(Stack().SockSelect(&readList, nullptr, nullptr, 2000), 1);
}

TEST_F(Select, UnlimitedWaitEndsWhenDataArrives) {
  TLoopbackPair pair = ConnectedPair(Stack());
  std::thread writer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    SendText(Stack(), pair.Client.Get(), "late");
  });
  TNetSocketListPosix readList;
  readList.Add(pair.Server.Get());
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Stack().SockSelect(&readList, nullptr, nullptr, NoTimeLimit), 1);
  EXPECT_GE(MillisSince(start), 100);
  writer.join();
}

TEST_F(Select, DescriptorsAboveTheFixedSetRangeWaitCorrectly) {
  rlimit lim{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &lim), 0);
  if (lim.rlim_cur < 3100) {
    ASSERT_GE(lim.rlim_max, 3100u) << "the hard descriptor limit is too low for this test";
    lim.rlim_cur = 3100;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lim), 0);
  }
  TLoopbackPair a = ConnectedPair(Stack());
  TLoopbackPair b = ConnectedPair(Stack());
  UniqueFd highA(::dup2(a.Server.Get(), 1500));
  UniqueFd highB(::dup2(b.Server.Get(), 3000));
  ASSERT_EQ(highA.Get(), 1500);
  ASSERT_EQ(highB.Get(), 3000);

  TNetSocketListPosix readList;
  readList.Add(a.Client.Get());  // a low one beside them
  readList.Add(highA.Get());
  readList.Add(highB.Get());
  EXPECT_EQ(Stack().SockSelect(&readList, nullptr, nullptr, 100), 0);

  SendText(Stack(), b.Client.Get(), "to 3000");
  readList.Clear();
  readList.Add(a.Client.Get());
  readList.Add(highA.Get());
  readList.Add(highB.Get());
  EXPECT_EQ(Stack().SockSelect(&readList, nullptr, nullptr, 2000), 1);
  EXPECT_EQ(Values(readList), std::vector<TNetSocket>{3000});

  TNetSocketListPosix writeList;
  writeList.Add(highA.Get());
  EXPECT_EQ(Stack().SockSelect(nullptr, &writeList, nullptr, 2000), 1);
  EXPECT_EQ(Values(writeList), std::vector<TNetSocket>{1500});
}

TEST_F(Select, AClosedDescriptorFailsTheWait) {
  TNetSocketListPosix readList;
  readList.Add(2999);  // not open
  EXPECT_EQ(Stack().SockSelect(&readList, nullptr, nullptr, 100), SocketError);
  EXPECT_EQ(Stack().SockLastError(), 10009);
}

// ---------------------------------------------------------------------------

using SendRecv = TStackFixture;

TEST_F(SendRecv, DataAndAddressesTravel) {
  int32_t port = 0;
  UniqueFd listening = Listener(Stack(), port);
  UniqueFd client(Stack().NewSocket(Id_SOCK_STREAM, 0));
  ASSERT_EQ(Stack().SockConnect(client.Get(), Id_PF_INET4, "127.0.0.1", port), 0);
  std::string fromIP;
  int32_t fromPort = 0;
  UniqueFd server(Stack().SockAccept(listening.Get(), fromIP, fromPort));
  EXPECT_EQ(fromIP, "127.0.0.1");
  int32_t family, clientPort;
  std::string clientIP;
  Stack().SockLocalName(client.Get(), family, clientPort, clientIP);
  EXPECT_EQ(family, Id_PF_INET4);
  EXPECT_EQ(fromPort, clientPort);
  Stack().SockPeerName(client.Get(), family, clientPort, clientIP);
  EXPECT_EQ(clientPort, port);

  SendText(Stack(), client.Get(), "hello");
  char buffer[16];
  EXPECT_EQ(Stack().SockRecv(server.Get(), buffer, sizeof buffer, 0), 5);
  EXPECT_EQ(std::string(buffer, 5), "hello");
  Stack().SockShutdown(client.Get(), 1);
  EXPECT_EQ(Stack().SockRecv(server.Get(), buffer, sizeof buffer, 0), 0);  // orderly close

  int32_t one = 1, value = 0, length = sizeof value;
  EXPECT_EQ(Stack().SockSetOption(client.Get(), Id_IPPROTO_TCP, Id_TCP_NODELAY, &one, sizeof one), 0);
  EXPECT_EQ(Stack().SockGetOption(client.Get(), Id_IPPROTO_TCP, Id_TCP_NODELAY, &value, length), 0);
  EXPECT_NE(value, 0);
  EXPECT_THROW(Stack().SockPeerName(listening.Get(), family, port, clientIP), ENetSocketError);
}

TEST_F(SendRecv, DatagramsCarryTheSendersAddress) {
  UniqueFd a(Stack().NewSocket(SOCK_DGRAM, 0));
  UniqueFd b(Stack().NewSocket(SOCK_DGRAM, 0));
  Stack().CheckSocketResult(Stack().SockBind(b.Get(), Id_PF_INET4, "127.0.0.1", 0));
  Stack().CheckSocketResult(Stack().SockBind(a.Get(), Id_PF_INET4, "127.0.0.1", 0));
  int32_t family, portA, portB;
  std::string ip;
  Stack().SockLocalName(a.Get(), family, portA, ip);
  Stack().SockLocalName(b.Get(), family, portB, ip);
  EXPECT_EQ(Stack().SockSendTo(a.Get(), "ping", 4, 0, "127.0.0.1", portB), 4);
  char buffer[8];
  std::string from;
  int32_t fromPort = 0;
  EXPECT_EQ(Stack().SockRecvFrom(b.Get(), buffer, sizeof buffer, 0, from, fromPort), 4);
  EXPECT_EQ(from, "127.0.0.1");
  EXPECT_EQ(fromPort, portA);
}

TEST_F(SendRecv, APeerThatHasGoneGivesTheTableErrorNotASignal) {
  TSigPipeCounter counter;
  TLoopbackPair pair = DeadPeerPair(Stack());
  const std::string block(4096, 'x');
  int32_t rc = 0;
  for (int i = 0; i < 100 && rc != SocketError; ++i) rc = Stack().SockSend(pair.Client.Get(), block.data(), 4096, 0);
  ASSERT_EQ(rc, SocketError);
  try {
    Stack().CheckSocketResult(rc);
    FAIL() << "no exception";
  } catch (const ENetSocketError& e) {
    EXPECT_TRUE(e.SocketErrorCode == 10054 || e.SocketErrorCode == 10058) << e.SocketErrorCode;
  }
  // Once more: after the reset the error is EPIPE, the one that raises SIGPIPE.
  EXPECT_EQ(Stack().SockSend(pair.Client.Get(), block.data(), 4096, 0), SocketError);
  EXPECT_EQ(SigPipeCount.load(), 0);
}

// ---------------------------------------------------------------------------

namespace {

std::string TempFileWith(const std::string& Content) {
  char name[] = "/tmp/remessa-sendfile-XXXXXX";
  const int fd = ::mkstemp(name);
  EXPECT_GE(fd, 0);
  ::close(fd);
  std::ofstream(name, std::ios::binary).write(Content.data(), static_cast<std::streamsize>(Content.size()));
  return name;
}

}  // namespace

using WholeFile = TStackFixture;

TEST_F(WholeFile, SendsEveryByte) {
  ASSERT_NE(SendWholeFile, nullptr);
  std::string content(3 * 1024 * 1024 + 17, '\0');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7 + i / 251);
  const std::string file = TempFileWith(content);
  TLoopbackPair pair = ConnectedPair(Stack());

  std::string received;
  std::thread reader([&] {
    char buffer[65536];
    for (;;) {
      const int32_t n = Stack().SockRecv(pair.Server.Get(), buffer, sizeof buffer, 0);
      if (n <= 0) break;
      received.append(buffer, static_cast<size_t>(n));
    }
  });
  EXPECT_EQ(SendWholeFile(pair.Client.Get(), file), static_cast<int64_t>(content.size()));
  Stack().SockShutdown(pair.Client.Get(), 1);
  reader.join();
  EXPECT_TRUE(received == content) << received.size() << " of " << content.size();
  ::unlink(file.c_str());
}

TEST_F(WholeFile, FailuresGiveZeroAndLeaveTheSignalStateAlone) {
  TSigPipeCounter counter;
  const std::string file = TempFileWith(std::string(8 * 1024 * 1024, 'z'));
  TLoopbackPair pair = DeadPeerPair(Stack());

  sigset_t before, after, pending;
  pthread_sigmask(SIG_SETMASK, nullptr, &before);
  EXPECT_EQ(SendWholeFile(pair.Client.Get(), file), 0);
  EXPECT_EQ(SendWholeFile(pair.Client.Get(), file), 0);
  pthread_sigmask(SIG_SETMASK, nullptr, &after);
  EXPECT_EQ(sigismember(&after, SIGPIPE), sigismember(&before, SIGPIPE));
  sigpending(&pending);
  EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);
  EXPECT_EQ(SigPipeCount.load(), 0);
  const int32_t code = Stack().SockLastError();
  EXPECT_TRUE(code == 10054 || code == 10058) << code;

  EXPECT_EQ(SendWholeFile(pair.Client.Get(), "/nonexistent/file"), 0);
  ::unlink(file.c_str());
}

// ---------------------------------------------------------------------------

namespace {

// A listener whose accept queue is full: a further connect stays pending.
struct TStalledListener {
  UniqueFd Listening;
  std::vector<UniqueFd> Fillers;
  int32_t Port = 0;
};

TStalledListener StalledListener(TNetStack& Stack) {
  TStalledListener s;
  s.Listening = Listener(Stack, s.Port, 0);
  for (int i = 0; i < 4; ++i) {
    UniqueFd c(Stack.NewSocket(Id_SOCK_STREAM, 0));
    ::fcntl(c.Get(), F_SETFL, O_NONBLOCK);
    Stack.SockConnect(c.Get(), Id_PF_INET4, "127.0.0.1", s.Port);
    s.Fillers.push_back(std::move(c));
  }
  return s;
}

}  // namespace

using CancellableConnect = TStackFixture;

TEST_F(CancellableConnect, ConnectsAndRestoresBlockingMode) {
  int32_t port = 0;
  UniqueFd listening = Listener(Stack(), port);
  UniqueFd s(Stack().NewSocket(Id_SOCK_STREAM, 0));
  TNetCancelSignal cancel;
  EXPECT_EQ(Stack().SockConnectCancellable(s.Get(), Id_PF_INET4, "127.0.0.1", port, cancel), 0);
  EXPECT_EQ(::fcntl(s.Get(), F_GETFL) & O_NONBLOCK, 0);

  UniqueFd refused(Stack().NewSocket(Id_SOCK_STREAM, 0));
  EXPECT_EQ(Stack().SockConnectCancellable(refused.Get(), Id_PF_INET4, "127.0.0.1", FindFreePort(), cancel),
            SocketError);
  EXPECT_EQ(Stack().SockLastError(), 10061);
  EXPECT_EQ(::fcntl(refused.Get(), F_GETFL) & O_NONBLOCK, 0);
}

TEST_F(CancellableConnect, APendingConnectEndsAtOnceWhenCancelled) {
  TStalledListener stalled = StalledListener(Stack());
  UniqueFd s(Stack().NewSocket(Id_SOCK_STREAM, 0));
  TNetCancelSignal cancel;
  int32_t rc = 0, code = 0;
  std::atomic<bool> done{false};
  std::thread connector([&] {
    rc = Stack().SockConnectCancellable(s.Get(), Id_PF_INET4, "127.0.0.1", stalled.Port, cancel);
    code = Stack().SockLastError();
    done = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_FALSE(done.load()) << "the connect did not stay pending";
  const auto start = std::chrono::steady_clock::now();
  cancel.Cancel();
  connector.join();
  EXPECT_LT(MillisSince(start), 2000);
  EXPECT_EQ(rc, SocketError);
  EXPECT_EQ(code, 10004);
  EXPECT_TRUE(cancel.Cancelled());

  // Already cancelled: gives up before trying.
  UniqueFd again(Stack().NewSocket(Id_SOCK_STREAM, 0));
  EXPECT_EQ(Stack().SockConnectCancellable(again.Get(), Id_PF_INET4, "127.0.0.1", stalled.Port, cancel),
            SocketError);
  EXPECT_EQ(Stack().SockLastError(), 10004);
}
