// The FTP client through a SOCKS proxy, against a scripted proxy and a
// scripted FTP server: the passive data connections take the control
// connection's proxy and destination.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "NetExceptions.h"
#include "NetFTP.h"
#include "ScriptedFtpServer.h"
#include "ScriptedSocks.h"
#include "TestFiles.h"

namespace {

TNetSocksInfo& UseSocks(TNetFTP& AFtp, TSocksVersion AVersion, int AProxyPort) {
  TNetSocksSettings socks;
  socks.Version = AVersion;
  socks.Host = "127.0.0.1";
  socks.Port = AProxyPort;
  return AFtp.UseSocksProxy(socks);
}

std::string Download(TNetFTP& AFtp, const std::string& AName) {
  TNetMemoryStream stream;
  AFtp.Retrieve(AName, stream);
  return std::string(stream.Memory(), static_cast<size_t>(stream.Size()));
}

}  // namespace

TEST(FtpSocks, PassiveDataThroughTheSameProxy) {
  const std::string payload = PatternBytes(7, 0, 200000);
  for (TSocksVersion version : {svSocks4, svSocks4A, svSocks5}) {
    SCOPED_TRACE(version);
    ScriptedSocksProxy proxy;
    ScriptedFtpServer server;
    server.SetFile("a.bin", payload);
    server.SetListing("-rw-r--r--   1 ftp ftp  200000 Jan 01 12:00 a.bin\r\n");
    // An address the proxy must not be asked for: data goes where the
    // control connection went.
    server.SetPasvOptions({"127,0,0,2", "", true});

    TNetFTP ftp;
    UseSocks(ftp, version, proxy.Port());
    ftp.Host = "localhost";
    ftp.Port = server.Port();
    ftp.Username = "user";
    ftp.Password = "secret";
    ftp.Passive = true;
    ftp.ReadTimeout = 10000;
    ftp.OpenSession();
    TStringList lines;
    ftp.ListDirectory(&lines);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(Download(ftp, "a.bin"), payload);

    ASSERT_TRUE(proxy.WaitForRequests(3));
    const std::vector<SocksRequest> requests = proxy.Requests();
    ASSERT_EQ(requests.size(), 3u);
    // SOCKS 4 carries the address resolved here, 4A and 5 the name.
    const std::string destination = version == svSocks4 ? "127.0.0.1" : "localhost";
    for (const SocksRequest& r : requests) {
      EXPECT_EQ(r.Host, destination);
      EXPECT_EQ(r.Command, 1);
    }
    EXPECT_EQ(requests[0].Port, server.Port());
    EXPECT_NE(requests[1].Port, server.Port());
    EXPECT_NE(requests[2].Port, server.Port());

    // The handler and its settings outlive the session.
    ftp.Quit();
    ftp.OpenSession();
    EXPECT_EQ(Download(ftp, "a.bin"), payload);
    EXPECT_TRUE(proxy.WaitForRequests(5));
    EXPECT_EQ(proxy.Requests().size(), 5u);
  }
}

// A data connection the proxy refuses ends that transfer with the proxy's
// error; the control connection stays usable.
TEST(FtpSocks, RefusedDataConnectionKeepsTheSession) {
  SocksProxyOptions grant, refuse;
  refuse.Socks5Reply = 2;
  std::vector<SocksRequest> seen;
  std::mutex seenLock;
  auto serve = [&](const SocksProxyOptions& AOptions) {
    return [&, AOptions](ScriptedConnection& c) {
      ServeSocks(c, AOptions, [&](const SocksRequest& r) {
        std::lock_guard<std::mutex> guard(seenLock);
        seen.push_back(r);
      });
    };
  };
  ScriptedServer proxy(std::vector<ScriptedServer::Handler>{serve(grant), serve(refuse)});
  ScriptedFtpServer server;

  TNetFTP ftp;
  UseSocks(ftp, svSocks5, proxy.Port());
  ftp.Host = "127.0.0.1";
  ftp.Port = server.Port();
  ftp.Passive = true;
  ftp.ReadTimeout = 10000;
  std::vector<std::string> statuses;
  ftp.OnStatus = [&](TNetBaseComponent*, TNetStatus, const std::string& text) { statuses.push_back(text); };
  ftp.OpenSession();
  statuses.clear();
  EXPECT_THROW(ftp.ListDirectory(nullptr), ENetSocksServerPermissionError);
  EXPECT_EQ(statuses, (std::vector<std::string>{"Starting FTP transfer", "Transfer complete"}));
  EXPECT_EQ(ftp.DataConnection(), nullptr);
  EXPECT_EQ(ftp.CurrentDirectory(), "/");
  std::lock_guard<std::mutex> guard(seenLock);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[1].Host, "127.0.0.1");
}
