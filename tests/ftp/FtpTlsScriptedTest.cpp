// The TLS steps of the FTP session against scripted servers: what is sent
// when the server refuses "AUTH TLS" in each mode, a server that drops the
// connection in the middle of the handshake, and the plain sequence of a
// component whose TLS mode was never set.
#include <gtest/gtest.h>

#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "FtpTestClient.h"
#include "ScriptedFtpServer.h"
#include "ScriptedServer.h"

namespace {

using Lines = std::vector<std::string>;

void Configure(FtpTestClient& c, TNetFTPTLSMode AMode) {
  c.ftp.TLSMode = AMode;
  c.ftp.ReadTimeout = 10000;
}

bool Contains(const Lines& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

}  // namespace

TEST(FtpTlsScripted, OffByDefaultSendsNoAuth) {
  ScriptedFtpServer server;
  FtpTestClient c(server.Port());
  EXPECT_EQ(c.ftp.TLSMode, tlsOff);
  c.Open();
  c.ftp.Quit();
  ASSERT_TRUE(server.WaitForCommand("QUIT"));
  EXPECT_EQ(server.Commands(), (Lines{"USER user", "PASS secret", "TYPE I", "SYST", "QUIT"}));
  EXPECT_FALSE(c.ftp.ControlEncrypted());
}

// A refusal of "AUTH TLS": in auto mode the session goes on in clear text
// and says so; in required mode it ends before "USER".
TEST(FtpTlsScripted, AuthRefused) {
  for (const char* refusal : {"500 Unknown command.", "534 Local policy forbids TLS.", "431 Not now."}) {
    SCOPED_TRACE(refusal);
    {
      ScriptedFtpServer server;
      server.SetReply("AUTH", refusal);
      FtpTestClient c(server.Port());
      Configure(c, tlsAuto);
      c.Open();
      EXPECT_TRUE(Contains(c.statuses, "Connection is not encrypted"));
      EXPECT_FALSE(c.ftp.ControlEncrypted());
      EXPECT_FALSE(c.ftp.DataProtected());
      c.ftp.Quit();
      ASSERT_TRUE(server.WaitForCommand("QUIT"));
      EXPECT_EQ(server.Commands(), (Lines{"AUTH TLS", "USER user", "PASS secret", "TYPE I", "SYST", "QUIT"}));
    }
    {
      ScriptedFtpServer server;
      server.SetReply("AUTH", refusal);
      FtpTestClient c(server.Port());
      Configure(c, tlsRequired);
      const std::string code = std::string(refusal).substr(0, 3);
      try {
        c.Open();
        ADD_FAILURE() << "no failure";
      } catch (const ENetTLSNotOffered& e) {
        EXPECT_EQ(std::string(e.what()), std::string("The server refused TLS: ") + refusal);
        EXPECT_EQ(e.ReplyCode, std::stoi(code));
      }
      EXPECT_FALSE(c.ftp.IsConnected());
      ASSERT_TRUE(server.WaitSessionsClosed());
      EXPECT_EQ(server.Commands(), Lines{"AUTH TLS"});
    }
  }
}

// The server accepts "AUTH TLS", reads the client's first handshake record
// and ends the connection: a clear failure, and nothing more is sent, also in auto mode
// (after a 234 nothing falls back to clear text).
TEST(FtpTlsScripted, ServerDropsMidHandshake) {
  for (TNetFTPTLSMode mode : {tlsAuto, tlsRequired}) {
    SCOPED_TRACE(mode);
    ScriptedServer server(Script()
                              .Send("220 Ready.\r\n")
                              .ReadLine()
                              .Send("234 Proceed with negotiation.\r\n")
                              .Do([](ScriptedConnection& connection) {
                                // A TLS record: type, version (2 bytes), length (2 bytes), body.
                                const std::string header = connection.ReadBytes(5);
                                const size_t length = (static_cast<unsigned char>(header[3]) << 8) |
                                                      static_cast<unsigned char>(header[4]);
                                connection.ReadBytes(length);
                                ::shutdown(connection.Fd(), SHUT_WR);
                              })
                              // The client closes in turn, without a byte more.
                              .ExpectEof());
    FtpTestClient c(server.Port());
    Configure(c, mode);
    EXPECT_EQ(MessageOf<ENetTLSError>([&] { c.Open(); }), "TLS handshake failed: the connection was closed.");
    EXPECT_FALSE(c.ftp.IsConnected());
    ASSERT_TRUE(server.WaitDone());
    EXPECT_EQ(server.ErrorText(), "");
    EXPECT_EQ(server.Received(0).substr(0, 10), "AUTH TLS\r\n");
  }
}

// A server that answers the handshake with something that is not TLS.
TEST(FtpTlsScripted, ServerAnswersInClearText) {
  ScriptedServer server(Script()
                            .Send("220 Ready.\r\n")
                            .ReadLine()
                            .Send("234 Proceed.\r\n")
                            .Do([](ScriptedConnection& connection) { connection.ReadSome(); })
                            .Send("500 What is this?\r\n")
                            .Sleep(200)
                            .Close());
  FtpTestClient c(server.Port());
  Configure(c, tlsRequired);
  const std::string message = MessageOf<ENetTLSError>([&] { c.Open(); });
  EXPECT_EQ(message.rfind("TLS handshake failed: ", 0), 0u) << message;
  EXPECT_NE(message, "TLS handshake failed: the connection was closed.");
  EXPECT_FALSE(c.ftp.IsConnected());
}

// A TLS handler installed from outside is used, with its SOCKS settings;
// another kind of handler cannot carry TLS and is refused before connecting.
TEST(FtpTlsScripted, HandlerGivenFromOutside) {
  ScriptedFtpServer server;
  FtpTestClient c(server.Port());
  Configure(c, tlsRequired);
  auto* plain = c.ftp.CreateComponent<TNetIOHandlerSocket>();
  c.ftp.SetIOHandler(plain);
  EXPECT_EQ(MessageOf<ENetTLSError>([&] { c.Open(); }), "TLS needs a TNetIOHandlerTLS as the I/O handler.");
  EXPECT_EQ(server.SessionCount(), 0);
}

// Implicit TLS to a server that takes the first handshake record and then
// says nothing: the connection's read time-out ends the handshake too.
TEST(FtpTlsScripted, SilentServerTimesOutInTheHandshake) {
  ScriptedServer server(Script().ReadBytes(5).Sleep(3000).Close());
  FtpTestClient c(server.Port());
  Configure(c, tlsImplicit);
  c.ftp.ReadTimeout = 300;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(MessageOf<ENetReadTimeout>([&] { c.Open(); }), "Read Timeout");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  EXPECT_FALSE(c.ftp.IsConnected());
}
