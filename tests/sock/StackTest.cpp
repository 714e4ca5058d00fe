// The socket stack: error texts and codes, result checks, IPv4 text forms,
// name resolution, services, and the stack's lifetime.
#include <cerrno>
#include <thread>

#include "NetExceptions.h"
#include "SockTestSupport.h"

using StackErrors = TStackFixture;

TEST_F(StackErrors, TextsAreNumberedWithTheTableText) {
  EXPECT_EQ(Stack().SockErrorText(10061), "Socket Error # 10061\r\nConnection refused.");
  EXPECT_EQ(Stack().SockErrorText(11001), "Socket Error # 11001\r\nHost not found.");
  EXPECT_EQ(Stack().SockErrorText(10035), "Socket Error # 10035\r\nOperation would block. ");
  EXPECT_EQ(Stack().SockErrorText(10066), "Socket Error # 10066\r\nDirectory not empty");
  // The resolver's temporary failure has a text of this stack's own.
  EXPECT_EQ(Stack().SockErrorText(11002), "Socket Error # 11002\r\nTemporary failure in name resolution.");
  // Outside the table: the number, the line end, nothing after it.
  EXPECT_EQ(Stack().SockErrorText(12345), "Socket Error # 12345\r\n");
  EXPECT_EQ(Stack().SockErrorText(0), "Socket Error # 0\r\n");
}

TEST_F(StackErrors, EveryErrnoWithACounterpartMapsOntoATableCode) {
  const std::pair<int, int32_t> rows[] = {
      {EINTR, 10004},           {EBADF, 10009},        {EACCES, 10013},       {EFAULT, 10014},
      {EINVAL, 10022},          {EMFILE, 10024},       {EAGAIN, 10035},       {EWOULDBLOCK, 10035},
      {EINPROGRESS, 10036},     {EALREADY, 10037},     {ENOTSOCK, 10038},     {EDESTADDRREQ, 10039},
      {EMSGSIZE, 10040},        {EPROTOTYPE, 10041},   {ENOPROTOOPT, 10042},  {EPROTONOSUPPORT, 10043},
      {ESOCKTNOSUPPORT, 10044}, {EOPNOTSUPP, 10045},   {EPFNOSUPPORT, 10046}, {EAFNOSUPPORT, 10047},
      {EADDRINUSE, 10048},      {EADDRNOTAVAIL, 10049}, {ENETDOWN, 10050},    {ENETUNREACH, 10051},
      {ENETRESET, 10052},       {ECONNABORTED, 10053}, {ECONNRESET, 10054},   {ENOBUFS, 10055},
      {EISCONN, 10056},         {ENOTCONN, 10057},     {ESHUTDOWN, 10058},    {EPIPE, 10058},
      {ETOOMANYREFS, 10059},    {ETIMEDOUT, 10060},    {ECONNREFUSED, 10061}, {ELOOP, 10062},
      {ENAMETOOLONG, 10063},    {EHOSTDOWN, 10064},    {EHOSTUNREACH, 10065}, {ENOTEMPTY, 10066},
  };
  for (const auto& [err, code] : rows) {
    EXPECT_EQ(NetErrorCodeFromErrno(err), code) << "errno " << err;
    // Every mapped code has a text of its own.
    EXPECT_GT(Stack().SockErrorText(code).size(), std::string("Socket Error # 10000\r\n").size()) << code;
  }
  EXPECT_EQ(NetErrorCodeFromErrno(EIO), EIO);  // no counterpart: the number itself
}

TEST_F(StackErrors, RefusedConnectRaisesTheNumberedError) {
  const int32_t port = FindFreePort();
  UniqueFd s(Stack().NewSocket(Id_SOCK_STREAM, 0));
  const int32_t rc = Stack().SockConnect(s.Get(), Id_PF_INET4, "127.0.0.1", port);  // never raises
  ASSERT_EQ(rc, SocketError);
  try {
    Stack().CheckSocketResult(rc);
    FAIL() << "no exception";
  } catch (const ENetSocketError& e) {
    EXPECT_EQ(e.SocketErrorCode, 10061);
    EXPECT_STREQ(e.what(), "Socket Error # 10061\r\nConnection refused.");
  }
  EXPECT_EQ(Stack().LastSocketError.load(), 10061);
}

TEST_F(StackErrors, IgnoredCodesAreRecordedAndReported) {
  EXPECT_FALSE(Stack().CheckSocketResult(0));
  EXPECT_FALSE(Stack().CheckSocketResult(5, {10048}));
  UniqueFd s(Stack().NewSocket(Id_SOCK_STREAM, 0));
  // A refused connect, with its code in the ignore list.
  const int32_t rc = Stack().SockConnect(s.Get(), Id_PF_INET4, "127.0.0.1", FindFreePort());
  EXPECT_TRUE(Stack().CheckSocketResult(rc, {10048, 10061}));
  EXPECT_EQ(Stack().LastSocketError.load(), 10061);
  EXPECT_THROW(Stack().CheckSocketResult(rc, {10048}), ENetSocketError);
  EXPECT_THROW(Stack().RaiseSocketFailure(10054), ENetSocketError);
}

TEST_F(StackErrors, LastErrorBelongsToTheThreadThatFailed) {
  UniqueFd s(Stack().NewSocket(Id_SOCK_STREAM, 0));
  ASSERT_EQ(Stack().SockConnect(s.Get(), Id_PF_INET4, "127.0.0.1", FindFreePort()), SocketError);
  int32_t other = -1;
  std::thread t([&] {
    Stack().SockClose(-5);  // EBADF on this thread only
    other = Stack().SockLastError();
  });
  t.join();
  EXPECT_EQ(other, 10009);
  EXPECT_EQ(Stack().SockLastError(), 10061);
}

TEST_F(StackErrors, SocketCreationFailureHasItsOwnMessage) {
  try {
    Stack().NewSocket(99, 0);  // no such socket type
    FAIL() << "no exception";
  } catch (const ENetInvalidSocket& e) {
    EXPECT_STREQ(e.what(), "Cannot allocate socket.");
  }
}

TEST_F(StackErrors, OtherBindErrorsKeepTheirCode) {
  UniqueFd s(Stack().NewSocket(Id_SOCK_STREAM, 0));
  // 192.0.2.1 (a documentation network) is no address of this machine.
  try {
    Stack().CheckSocketResult(Stack().SockBind(s.Get(), Id_PF_INET4, "192.0.2.1", 0));
    FAIL() << "no exception";
  } catch (const ENetSocketError& e) {
    EXPECT_EQ(e.SocketErrorCode, 10049);
    EXPECT_STREQ(e.what(), "Socket Error # 10049\r\nCannot assign requested address.");
  }
}

// ---------------------------------------------------------------------------

struct TParseCase {
  const char* Text;
  bool Valid;
  TNetIPv4Bytes Bytes;
  IPTextKind Kind;
  IPAddressClass Class;
};

using ParseIPv4 = TStackFixture;

TEST_F(ParseIPv4, FormsClassesAndLimits) {
  const TNetIPv4Bytes untouched = {9, 9, 9, 9};
  const TParseCase cases[] = {
      {"192.168.1.1", true, {192, 168, 1, 1}, ipDotted, ipClassC},
      {"10.1", true, {10, 0, 0, 1}, ipDotted, ipClassA},
      {"172.16.1", true, {172, 16, 0, 1}, ipDotted, ipClassB},
      {"80", true, {0, 0, 0, 80}, ipNumeric, ipClassUnknown},
      {"4294967295", true, {255, 255, 255, 255}, ipNumeric, ipClassUnknown},
      {"3232235777", true, {192, 168, 1, 1}, ipNumeric, ipClassUnknown},
      {"1.2.3.", true, {1, 2, 0, 3}, ipDotted, ipClassB},
      {"10.16777215", true, {10, 255, 255, 255}, ipDotted, ipClassA},
      {"1.2.65535", true, {1, 2, 255, 255}, ipDotted, ipClassB},
      {"127.0.0.1", true, {127, 0, 0, 1}, ipDotted, ipClassA},
      {"128.0.0.1", true, {128, 0, 0, 1}, ipDotted, ipClassB},
      {"191.255.0.1", true, {191, 255, 0, 1}, ipDotted, ipClassB},
      {"223.1.1.1", true, {223, 1, 1, 1}, ipDotted, ipClassC},
      {"224.0.0.1", true, {224, 0, 0, 1}, ipDotted, ipClassD},
      {"239.1.1.1", true, {239, 1, 1, 1}, ipDotted, ipClassD},
      {"240.0.0.1", true, {240, 0, 0, 1}, ipDotted, ipClassE},
      {"255.255.255.255", true, {255, 255, 255, 255}, ipDotted, ipClassE},
      // Hexadecimal parts ("$", "x", "0x", either case), signs and leading blanks.
      {"$7F.0.0.x1", true, {127, 0, 0, 1}, ipDotted, ipClassA},
      {"0XC0.0xa8.X1.$FF", true, {192, 168, 1, 255}, ipDotted, ipClassC},
      {"$7F000001", true, {127, 0, 0, 1}, ipNumeric, ipClassUnknown},
      {"+1.+2.+3.+4", true, {1, 2, 3, 4}, ipDotted, ipClassA},
      {" 1. 2. 3. 4", true, {1, 2, 3, 4}, ipDotted, ipClassA},
      {"-0.0.0.1", true, {0, 0, 0, 1}, ipDotted, ipClassA},
      // Invalid.
      {"1.2.3.4.5", false, untouched, ipInvalid, ipClassUnknown},
      {"256.1.1.1", false, untouched, ipInvalid, ipClassUnknown},
      {"1.256.1.1", false, untouched, ipInvalid, ipClassUnknown},
      {"1.1.1.256", false, untouched, ipInvalid, ipClassUnknown},
      {"10.16777216", false, untouched, ipInvalid, ipClassUnknown},
      {"1.2.65536", false, untouched, ipInvalid, ipClassUnknown},
      {"", false, untouched, ipInvalid, ipClassUnknown},
      {"4294967296", false, untouched, ipInvalid, ipClassUnknown},
      {"-1.2.3.4", false, untouched, ipInvalid, ipClassUnknown},
      {"-1", false, untouched, ipInvalid, ipClassUnknown},
      {"1.2.3.4 ", false, untouched, ipInvalid, ipClassUnknown},
      {"localhost", false, untouched, ipInvalid, ipClassUnknown},
      {"1.2.3.x", false, untouched, ipInvalid, ipClassUnknown},
      {"$", false, untouched, ipInvalid, ipClassUnknown},
      // An empty piece followed by more text would silently drop that text.
      {"1..3", false, untouched, ipInvalid, ipClassUnknown},
      {"1.2..4", false, untouched, ipInvalid, ipClassUnknown},
      {".1", false, untouched, ipInvalid, ipClassUnknown},
  };
  for (const TParseCase& c : cases) {
    TNetIPv4Bytes bytes = untouched;
    IPTextKind kind = ipNumeric;
    IPAddressClass cls = ipClassE;
    EXPECT_EQ(Stack().ParseIPv4(c.Text, &bytes, &kind, &cls), c.Valid) << c.Text;
    EXPECT_EQ(bytes, c.Bytes) << c.Text;
    EXPECT_EQ(kind, c.Kind) << c.Text;
    EXPECT_EQ(cls, c.Class) << c.Text;
    EXPECT_EQ(Stack().IPKind(c.Text), c.Kind) << c.Text;
    EXPECT_EQ(Stack().IsIPAddress(c.Text), c.Valid) << c.Text;
  }
  // Every output is optional.
  EXPECT_TRUE(Stack().ParseIPv4("1.2.3.4", nullptr, nullptr, nullptr));
}

TEST_F(ParseIPv4, TextToAddrKeepsNetworkOrderAndRefusesNames) {
  const uint32_t addr = Stack().TextToAddr("10.1");
  const auto* b = reinterpret_cast<const uint8_t*>(&addr);
  EXPECT_EQ(b[0], 10);
  EXPECT_EQ(b[3], 1);
  EXPECT_EQ(Stack().NetToHost32(addr), 0x0A000001u);
  EXPECT_EQ(Stack().AddrToText({10, 0, 200, 1}), "10.0.200.1");
  try {
    Stack().TextToAddr("localhost");
    FAIL() << "no exception";
  } catch (const ENetInvalidIPAddress& e) {
    EXPECT_STREQ(e.what(), "localhost is not a valid IP address.");
  }
  EXPECT_THROW(Stack().TextToAddr(""), ENetStackError);
}

TEST_F(ParseIPv4, ByteOrderHelpers) {
  EXPECT_EQ(Stack().HostToNet16(0x1234), Stack().NetToHost16(0x1234));
  const uint16_t n16 = Stack().HostToNet16(0x1234);
  EXPECT_EQ(reinterpret_cast<const uint8_t*>(&n16)[0], 0x12);
  const uint32_t n32 = Stack().HostToNet32(0x01020304);
  EXPECT_EQ(reinterpret_cast<const uint8_t*>(&n32)[0], 0x01);
  EXPECT_EQ(Stack().NetToHost32(n32), 0x01020304u);
}

// ---------------------------------------------------------------------------

using Resolve = TStackFixture;

TEST_F(Resolve, LocalhostAndAddressTextsNeedNoLookup) {
  EXPECT_EQ(Stack().ResolveHostName("localhost"), "127.0.0.1");
  EXPECT_EQ(Stack().ResolveHostName("LocalHost"), "127.0.0.1");
  EXPECT_EQ(Stack().ResolveHostName("10.1"), "10.1");
  EXPECT_EQ(Stack().ResolveHostName("80"), "80");  // digits only: never looked up
}

TEST_F(Resolve, NamesAreLookedUp) {
  EXPECT_EQ(Stack().SockHostByName("localhost"), "127.0.0.1");
}

TEST_F(Resolve, AnUnknownNameIsHostNotFound) {
  try {
    Stack().ResolveHostName("no-such-host.invalid");
    FAIL() << "no exception";
  } catch (const ENetSocketError& e) {
    EXPECT_EQ(e.SocketErrorCode, 11001);
    EXPECT_STREQ(e.what(), "Socket Error # 11001\r\nHost not found.");
  }
  EXPECT_EQ(Stack().LastSocketError.load(), 11001);
}

TEST_F(Resolve, AddressesToNamesAndLocalAddresses) {
  EXPECT_EQ(Stack().SockHostByAddr("127.0.0.1"), "localhost");
  const std::string host = Stack().SockHostName();
  EXPECT_FALSE(host.empty());
  const TStringList& list = Stack().LocalAddressList();
  ASSERT_FALSE(list.empty());
  for (const std::string& ip : list) EXPECT_EQ(Stack().IPKind(ip), ipDotted) << ip;
  EXPECT_EQ(Stack().FirstLocalAddress(), list.front());
}

TEST_F(Resolve, Services) {
  EXPECT_EQ(Stack().SockServiceByName("ftp"), 21);
  EXPECT_EQ(Stack().SockServiceByName("http"), 80);
  EXPECT_EQ(Stack().SockServiceByName("2121"), 2121);
  EXPECT_EQ(Stack().SockServiceByName("$15"), 21);
  try {
    Stack().SockServiceByName("no-such-service");
    FAIL() << "no exception";
  } catch (const ENetInvalidServiceName& e) {
    EXPECT_STREQ(e.what(), "no-such-service is not a valid service.");
  }
  const TStringList names = Stack().SockServiceByPort(21);
  ASSERT_FALSE(names.empty());
  EXPECT_EQ(names.front(), "ftp");
  EXPECT_TRUE(Stack().SockServiceByPort(64999).empty());
}

// ---------------------------------------------------------------------------
// The stack exists while at least one counted component exists; the
// one-time start-up runs once per process however often it is made.

TEST(StackLifetime, MadeWithTheFirstComponentFreedWithTheLast) {
  ASSERT_EQ(TNetComponent::InstanceCount(), 0);
  EXPECT_EQ(StackInstance, nullptr);
  const int startsBefore = SocketLibraryStartCount;
  EXPECT_LE(startsBefore, 1);

  auto first = std::make_unique<TNetComponent>();
  ASSERT_NE(StackInstance, nullptr);
  TNetStack* made = StackInstance.get();
  EXPECT_NE(dynamic_cast<TNetStackPosix*>(made), nullptr);
  EXPECT_TRUE(SocketLibraryStarted);
  {
    TNetComponent second;
    EXPECT_EQ(TNetComponent::InstanceCount(), 2);
    EXPECT_EQ(StackInstance.get(), made);
  }
  EXPECT_EQ(StackInstance.get(), made);
  first.reset();
  EXPECT_EQ(StackInstance, nullptr);

  TNetComponent again;
  ASSERT_NE(StackInstance, nullptr);
  EXPECT_EQ(SocketLibraryStartCount, 1);
  EXPECT_NE(SendWholeFile, nullptr);
}

TEST(StackLifetime, ComponentsOnSeveralThreadsShareOneStack) {
  ASSERT_EQ(TNetComponent::InstanceCount(), 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([] {
      for (int i = 0; i < 200; ++i) {
        TNetComponent c;
        ASSERT_NE(StackInstance, nullptr);
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(TNetComponent::InstanceCount(), 0);
  EXPECT_EQ(StackInstance, nullptr);
  EXPECT_EQ(SocketLibraryStartCount, 1);
}

// ---------------------------------------------------------------------------
// The exception family: parents that callers catch by, and the messages
// that take arguments.

TEST(ExceptionFamily, ParentsAndFormattedMessages) {
  EXPECT_THROW(throw ENetConnClosedGracefully(), ENetSilentException);
  EXPECT_THROW(throw ENetSocksServerTTLExpiredError(), ENetSocksError);
  EXPECT_THROW(throw ENetStackSetSizeExceeded(), ENetStackError);
  EXPECT_THROW(throw ENetInvalidIPAddress("x"), ENetStackError);
  EXPECT_THROW(throw ENetCanNotBindPortInRange(1, 2), ENetSocketHandleError);
  EXPECT_THROW(throw ENetInvalidPortRange(2, 1), ENetSocketHandleError);
  EXPECT_THROW(throw ENetNotConnected(), ENetTCPConnectionError);
  EXPECT_THROW(throw ENetFileNotFound("f"), ENetTCPConnectionError);
  EXPECT_THROW(throw ENetSocketError(1, "m"), ENetException);
  EXPECT_THROW(throw ENetStackInitializationFailed(), ENetStackError);

  EXPECT_STREQ(ENetException().what(), "Command not supported.");
  EXPECT_STREQ(ENetInvalidServiceName("gopher2").what(), "gopher2 is not a valid service.");
  EXPECT_STREQ(ENetFileNotFound("a b.txt").what(), "File \"a b.txt\" not found");
  EXPECT_STREQ(ENetInvalidPortRange(6000, 5000).what(), "Invalid Port Range (6000 - 5000)");
  EXPECT_STREQ(ENetCanNotBindPortInRange(5000, 5002).what(), "Can not bind in port range (5000 - 5002)");

  const ENetWS2StubError plain("Error on call library function %s", 0);
  EXPECT_STREQ(plain.what(), "Error on call library function %s");
  EXPECT_EQ(plain.OsErrorCode, 0u);
  EXPECT_EQ(plain.OsErrorText, "");
  const ENetWS2StubError withCode("title", ENOENT);
  EXPECT_EQ(withCode.CallTitle, "title");
  EXPECT_FALSE(withCode.OsErrorText.empty());
  EXPECT_EQ(std::string(withCode.what()), "title: " + withCode.OsErrorText);
}
