// The FTP client against real servers that the test starts on the IPv6
// loopback ::1 (pyftpdlib, and vsftpd with listen_ipv6=YES): listings,
// downloads and uploads byte-exact in passive mode (EPSV) and active mode
// (EPRT), and a non-ASCII name (upload, listing, download, delete) with a
// server that lists UTF8 (pyftpdlib) and one that does not (vsftpd). The
// non-ASCII round trip over IPv4 as well, with the extensions as the windows
// use them. A machine without ::1 reports the IPv6 tests as skipped.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "FtpTestClient.h"
#include "IPv6Loopback.h"
#include "RealServers.h"
#include "Sha256.h"
#include "TestFiles.h"

namespace {

using Lines = std::vector<std::string>;

struct Target {
  std::string name;
  std::string host;
  int port = 0;
  std::string user, password;
  std::string remoteDir;  // writable, as the client names it
  std::string localDir;   // the same folder on this machine
};

Target Pyftpd(PyftpdlibServer& s) { return {"pyftpdlib", s.Host(), s.Port(), "user", "secret", "/", s.Root()}; }
Target Vsftpd(VsftpdServer& s) {
  return {"vsftpd", s.Host(), s.Port(), "anonymous", "test@example.org", "/upload", s.UploadDir()};
}

std::unique_ptr<FtpTestClient> Connect(const Target& t, const std::string& host, bool passive) {
  auto c = std::make_unique<FtpTestClient>(t.port, passive, t.user, t.password);
  c->ftp.Host = host;
  c->ftp.UseFEAT = true;
  c->ftp.UseEPSV = true;
  c->Open();
  return c;
}

bool Contains(const Lines& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

bool Sent(const FtpTestClient& c, const std::string& prefix) {
  return std::any_of(c.log.begin(), c.log.end(), [&](const std::string& l) { return l.rfind(">" + prefix, 0) == 0; });
}

// List, download and upload byte-exact in both modes over the session's
// link, which goes to ::1.
void TransfersOverIPv6(const Target& t, const std::string& host) {
  SCOPED_TRACE(t.name + " at " + host);
  TempDir local;
  const int64_t size = 1500007;
  WritePatternFile(local.File("a.bin"), size, 21);
  const std::string sha = Sha256OfFile(local.File("a.bin"));
  WritePatternFile(t.localDir + "/served.bin", 777777, 22);
  const std::string servedSha = Sha256OfFile(t.localDir + "/served.bin");

  auto c = Connect(t, host, true);
  ASSERT_EQ(c->ftp.SocketHandler()->SocketHandle()->RemoteIP, "::1");
  c->ftp.ChangeDirectory(t.remoteDir);
  for (bool passive : {true, false}) {
    SCOPED_TRACE(passive ? "passive (EPSV)" : "active (EPRT)");
    c->ClearLog();
    c->ftp.Passive = passive;
    const std::string name = passive ? "up-passive.bin" : "up-active.bin";
    c->ftp.Store(local.File("a.bin"), name);
    EXPECT_EQ(Sha256OfFile(t.localDir + "/" + name), sha);
    const std::string back = local.File(name);
    c->ftp.Retrieve("served.bin", back);
    EXPECT_EQ(Sha256OfFile(back), servedSha);
    TStringList names;
    c->ftp.ListDirectory(&names, "", false);
    EXPECT_TRUE(Contains(names, name));
    EXPECT_TRUE(Contains(names, "served.bin"));
    c->ftp.ListDirectory(nullptr);
    EXPECT_GE(c->ftp.ParsedListing().Count(), 2);
    // EPSV and EPRT only: PASV and PORT cannot name an IPv6 address.
    EXPECT_TRUE(Sent(*c, passive ? "EPSV" : "EPRT |2|::1|"));
    EXPECT_FALSE(Sent(*c, "PASV"));
    EXPECT_FALSE(Sent(*c, "PORT"));
  }
  c->ftp.Quit();
}

// Upload, list, download and delete a file whose name is not ASCII. The
// name's bytes travel as they are: UTF-8 to a server with UTF8, Latin-1 to
// one without it, and the server keeps exactly those bytes.
void NonAsciiRoundTrip(const Target& t, const std::string& host, bool expectUtf8) {
  SCOPED_TRACE(t.name + " at " + host);
  const std::string name = expectUtf8 ? "relat\xC3\xB3rio_mar\xC3\xA7o.txt" : "relat\xF3rio_mar\xE7o.txt";
  TempDir local;
  WriteFile(local.File("source.txt"), "contas de mar\xC3\xA7o\n");
  auto c = Connect(t, host, true);
  EXPECT_EQ(c->ftp.UTF8Names(), expectUtf8);
  EXPECT_EQ(c->ftp.HasFeature("UTF8"), expectUtf8);
  EXPECT_EQ(Sent(*c, "OPTS UTF8 ON"), expectUtf8);
  c->ftp.ChangeDirectory(t.remoteDir);
  c->ftp.Store(local.File("source.txt"), name);
  EXPECT_TRUE(PathExists(t.localDir + "/" + name));
  TStringList names;
  c->ftp.ListDirectory(&names, "", false);
  EXPECT_TRUE(Contains(names, name));
  c->ftp.ListDirectory(nullptr);
  bool listed = false;
  for (int64_t i = 0; i < c->ftp.ParsedListing().Count(); ++i)
    listed = listed || c->ftp.ParsedListing().Items(i).ItemName == name;
  EXPECT_TRUE(listed);
  c->ftp.Retrieve(name, local.File("back.txt"));
  EXPECT_EQ(ReadFile(local.File("back.txt")), ReadFile(local.File("source.txt")));
  c->ftp.RemoveFile(name);
  EXPECT_FALSE(PathExists(t.localDir + "/" + name));
  c->ftp.Quit();
}

}  // namespace

TEST(IPv6RealServers, PyftpdlibOnTheIPv6Loopback) {
  SKIP_WITHOUT_IPV6_LOOPBACK();
  PyftpdlibOptions options;
  options.Address = "::1";
  PyftpdlibServer server(options);
  const Target t = Pyftpd(server);
  TransfersOverIPv6(t, "::1");
  TransfersOverIPv6(t, "[::1]");
  NonAsciiRoundTrip(t, "::1", true);
}

TEST(IPv6RealServers, VsftpdOnTheIPv6Loopback) {
  SKIP_WITHOUT_IPV6_LOOPBACK();
  VsftpdOptions options;
  options.IPv6 = true;
  VsftpdServer server(options);
  const Target t = Vsftpd(server);
  TransfersOverIPv6(t, "::1");
  NonAsciiRoundTrip(t, "[::1]", false);
}

// The same round trip over IPv4, and the feature lists as the servers give them.
TEST(IPv4RealServers, NonAsciiNamesWithAndWithoutUtf8) {
  PyftpdlibServer pyftpd;
  NonAsciiRoundTrip(Pyftpd(pyftpd), "127.0.0.1", true);
  VsftpdServer vsftpd;
  NonAsciiRoundTrip(Vsftpd(vsftpd), "127.0.0.1", false);

  auto c = Connect(Vsftpd(vsftpd), "127.0.0.1", true);
  EXPECT_TRUE(c->ftp.HasFeature("EPSV"));
  EXPECT_TRUE(c->ftp.HasFeature("EPRT"));
  EXPECT_FALSE(c->ftp.HasFeature("UTF8"));
  // Over IPv4 the extensions ask EPSV; active mode keeps PORT.
  c->ClearLog();
  c->ftp.ListDirectory(nullptr);
  c->ftp.Passive = false;
  c->ftp.ListDirectory(nullptr);
  EXPECT_TRUE(Sent(*c, "EPSV"));
  EXPECT_TRUE(Sent(*c, "PORT 127,0,0,1,"));
  EXPECT_FALSE(Sent(*c, "PASV"));
  c->ftp.Quit();
}
