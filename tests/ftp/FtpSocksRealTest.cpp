// The FTP client through real SOCKS servers started on 127.0.0.1 by the test
// (Dante for SOCKS 4 and 5, microsocks for SOCKS 5 with and without a
// password) to a real FTP server (pyftpdlib): log in, list and download
// byte-exact in passive mode. Also the ftpxfer driver's proxy options.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>

#include "NetExceptions.h"
#include "NetFTP.h"
#include "Process.h"
#include "RealServers.h"
#include "ScriptedFtpServer.h"
#include "ScriptedSocks.h"
#include "TestFiles.h"

namespace {

constexpr int64_t kPayloadSize = 1500000;
constexpr uint64_t kSeed = 23;

// One FTP server for the whole program: starting one takes a while.
class FtpSocksReal : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    ftp_ = std::make_unique<PyftpdlibServer>();
    WritePatternFile(ftp_->Root() + "/payload.bin", kPayloadSize, kSeed);
  }
  static void TearDownTestSuite() { ftp_.reset(); }

  struct Account {
    std::string user, password;
  };

  // Logs in through the proxy, lists the root and downloads the payload.
  void ListAndDownload(TSocksVersion AVersion, int AProxyPort, const Account& ASocks = {},
                       const std::string& AHost = "127.0.0.1") {
    TNetFTP ftp;
    Configure(ftp, AVersion, AProxyPort, ASocks, AHost);
    ftp.OpenSession();
    TStringList lines;
    ftp.ListDirectory(&lines);
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(),
                            [](const std::string& l) { return l.find("payload.bin") != std::string::npos; }));
    TempDir dir;
    ftp.Retrieve("payload.bin", dir.File("payload.bin"));
    EXPECT_EQ(FindPatternMismatch(dir.File("payload.bin"), kPayloadSize, kSeed), -1);
    ftp.Quit();
  }

  // The message of the failed session.
  std::string LoginFailure(TSocksVersion AVersion, int AProxyPort, const Account& ASocks) {
    TNetFTP ftp;
    Configure(ftp, AVersion, AProxyPort, ASocks, "127.0.0.1");
    try {
      ftp.OpenSession();
    } catch (const ENetSocksError& e) {
      EXPECT_FALSE(ftp.IsConnected());
      return e.what();
    }
    return "no SOCKS error";
  }

  static void Configure(TNetFTP& AFtp, TSocksVersion AVersion, int AProxyPort, const Account& ASocks,
                        const std::string& AHost) {
    TNetSocksSettings socks;
    socks.Version = AVersion;
    socks.Host = "127.0.0.1";
    socks.Port = AProxyPort;
    socks.Username = ASocks.user;
    socks.Password = ASocks.password;
    if (!ASocks.password.empty()) socks.Authentication = saUsernamePassword;
    AFtp.UseSocksProxy(socks);
    AFtp.Host = AHost;
    AFtp.Port = ftp_->Port();
    AFtp.Username = "user";
    AFtp.Password = "secret";
    AFtp.Passive = true;
    AFtp.ReadTimeout = 20000;
  }

  static ProcessResult Ftpxfer(std::vector<std::string> AArgs) {
    AArgs.insert(AArgs.begin(), ExecutableDir() + "/ftpxfer");
    RunOptions options;
    options.TimeoutMs = 30000;
    return RunProcess(AArgs, options);
  }

  static std::unique_ptr<PyftpdlibServer> ftp_;
};

std::unique_ptr<PyftpdlibServer> FtpSocksReal::ftp_;

}  // namespace

TEST_F(FtpSocksReal, DanteSocks4And5) {
  DanteServer dante;
  {
    SCOPED_TRACE("SOCKS 4");
    ListAndDownload(svSocks4, dante.Port());
  }
  {
    SCOPED_TRACE("SOCKS 5, destination resolved by the proxy");
    ListAndDownload(svSocks5, dante.Port(), {}, "localhost");
  }
  EXPECT_TRUE(dante.Running()) << dante.Log();
}

TEST_F(FtpSocksReal, DanteSocks5WithPassword) {
  DanteServer dante({"remessasocks", "Dante-pw-1"});
  ListAndDownload(svSocks5, dante.Port(), {"remessasocks", "Dante-pw-1"});
  EXPECT_EQ(LoginFailure(svSocks5, dante.Port(), {"remessasocks", "wrong"}), "Authentication error to socks server.");
  // Without credentials Dante offers no method the client can use.
  EXPECT_EQ(LoginFailure(svSocks5, dante.Port(), {}), "Invalid socks authentication method.");
}

TEST_F(FtpSocksReal, MicrosocksWithAndWithoutPassword) {
  MicrosocksServer open;
  ListAndDownload(svSocks5, open.Port());

  MicrosocksServer locked({"mu", "mp"});
  ListAndDownload(svSocks5, locked.Port(), {"mu", "mp"});
  EXPECT_EQ(LoginFailure(svSocks5, locked.Port(), {"mu", "bad"}), "Authentication error to socks server.");
}

// The driver's options reach the client: SOCKS 5 with a password and
// SOCKS 4 through real proxies, SOCKS 4A through the scripted one (Dante has
// no 4A), and an FTP proxy kind.
TEST_F(FtpSocksReal, FtpxferProxyOptions) {
  const std::string port = std::to_string(ftp_->Port());
  const std::vector<std::string> account = {"--port", port, "--user", "user", "--password", "secret", "--quiet"};
  TempDir dir;
  auto with = [&](std::vector<std::string> AArgs) {
    AArgs.insert(AArgs.begin(), account.begin(), account.end());
    return AArgs;
  };

  MicrosocksServer locked({"mu", "mp"});
  const std::string micro = "127.0.0.1:" + std::to_string(locked.Port());
  ProcessResult r = Ftpxfer(with({"--socks5", micro, "--socks-user", "mu", "--socks-password", "mp", "get",
                                  "payload.bin", dir.File("a.bin")}));
  ASSERT_EQ(r.ExitCode, 0) << r.Describe() << r.Err;
  EXPECT_EQ(FindPatternMismatch(dir.File("a.bin"), kPayloadSize, kSeed), -1);
  r = Ftpxfer(with({"--socks5", micro, "--socks-user", "mu", "--socks-password", "no", "pwd"}));
  EXPECT_EQ(r.ExitCode, 1);
  EXPECT_EQ(r.Err, "ENetSocksAuthError: Authentication error to socks server.\n");

  DanteServer dante;
  r = Ftpxfer(with({"--socks4", "127.0.0.1:" + std::to_string(dante.Port()), "list"}));
  ASSERT_EQ(r.ExitCode, 0) << r.Describe() << r.Err;
  EXPECT_NE(r.Out.find("payload.bin"), std::string::npos);

  ScriptedSocksProxy scripted;
  r = Ftpxfer(with({"--host", "localhost", "--socks4a", "127.0.0.1:" + std::to_string(scripted.Port()),
                    "--socks-user", "id", "nlst"}));
  ASSERT_EQ(r.ExitCode, 0) << r.Describe() << r.Err;
  EXPECT_EQ(r.Out, "payload.bin\n");
  ASSERT_EQ(scripted.Requests().size(), 2u);
  EXPECT_TRUE(scripted.Requests()[1].Socks4A);
  EXPECT_EQ(scripted.Requests()[1].Host, "localhost");
  EXPECT_EQ(scripted.Requests()[1].UserId, "id");

  // pyftpdlib as a transparent FTP proxy: the server's name never resolves.
  r = Ftpxfer(with({"--host", "ftp.example.invalid", "--proxy-type", "fpcmTransparent", "--proxy-host", "127.0.0.1",
                    "--proxy-port", port, "size", "payload.bin"}));
  ASSERT_EQ(r.ExitCode, 0) << r.Describe() << r.Err;
  EXPECT_EQ(r.Out, std::to_string(kPayloadSize) + "\n");

  ScriptedFtpServer proxy;
  r = Ftpxfer({"--host", "ftp.example.invalid", "--user", "u", "--password", "p", "--proxy-type", "fpcmUserPass",
               "--proxy-host", "127.0.0.1", "--proxy-port", std::to_string(proxy.Port()), "--proxy-user", "pu",
               "--proxy-password", "pp", "--quiet", "pwd"});
  ASSERT_EQ(r.ExitCode, 0) << r.Describe() << r.Err;
  const std::vector<std::string> commands = proxy.Commands();
  // ftpxfer asks for TLS first ("--tls auto"); the proxy refuses, the login goes on.
  ASSERT_GE(commands.size(), 3u);
  EXPECT_EQ(commands[0], "AUTH TLS");
  EXPECT_EQ(commands[1], "USER u@pu@ftp.example.invalid");
  EXPECT_EQ(commands[2], "PASS p@pp");
}
