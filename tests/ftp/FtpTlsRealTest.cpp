// FTP over TLS against real servers that the test starts on 127.0.0.1, with
// certificates from a certificate authority that the test run makes itself:
// vsftpd (TLS required for logins and data, data connections required to
// resume the control connection's session, uploads required to end with
// TLS's close) explicit and implicit, pyftpdlib's TLS handler, a SOCKS proxy
// under TLS, and the certificates that are refused (another name, expired,
// unknown authority) unless their fingerprint is trusted.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "FtpTestClient.h"
#include "RealServers.h"
#include "ScriptedSocks.h"
#include "Sha256.h"
#include "TestCertificates.h"
#include "TestFiles.h"

namespace {

using Lines = std::vector<std::string>;

bool Contains(const Lines& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

void MakeFolder(const std::string& path) { ASSERT_EQ(::mkdir(path.c_str(), 0755), 0) << path; }

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The lines the client sent, without the transfer reports.
Lines Sent(const Lines& log) {
  Lines sent;
  for (const std::string& line : log)
    if (line[0] == '>') sent.push_back(line.substr(1));
  return sent;
}

struct Target {
  std::string name;
  int port = 0;
  std::string user, password;
  std::string remoteDir;  // writable
  std::string localDir;   // the same folder on this machine
  std::string root;       // the server's root on this machine
};

std::unique_ptr<FtpTestClient> TlsClient(const Target& t, TNetFTPTLSMode AMode, const std::string& ACAFile) {
  auto c = std::make_unique<FtpTestClient>(t.port, true, t.user, t.password);
  c->ftp.TLSMode = AMode;
  c->ftp.TLSTrust.CAFile = ACAFile;
  c->ftp.ReadTimeout = 20000;
  return c;
}

// Downloads, uploads, a resumed download and listings, in both modes, all
// byte-exact, over one protected session.
void Transfers(const Target& t, TNetFTPTLSMode AMode, const std::string& ACAFile) {
  SCOPED_TRACE(t.name);
  TempDir local;
  const int64_t size = 2500009;
  WritePatternFile(t.root + "/down.bin", size, 31);
  WritePatternFile(local.File("up.bin"), 1700003, 32);
  const std::string shaDown = Sha256OfFile(t.root + "/down.bin");

  auto c = TlsClient(t, AMode, ACAFile);
  c->Open();
  EXPECT_TRUE(c->ftp.ControlEncrypted());
  EXPECT_TRUE(c->ftp.DataProtected());
  const Lines login = Sent(c->log);
  if (AMode == tlsImplicit) {
    EXPECT_EQ(login, (Lines{"USER " + t.user, "PASS " + t.password, "PBSZ 0", "PROT P", "TYPE I", "SYST"}));
  } else {
    EXPECT_EQ(login,
              (Lines{"AUTH TLS", "USER " + t.user, "PASS " + t.password, "PBSZ 0", "PROT P", "TYPE I", "SYST"}));
  }
  EXPECT_EQ(c->ftp.LoginReply().NumericCode(), 230);

  for (bool passive : {true, false}) {
    SCOPED_TRACE(passive ? "passive" : "active");
    c->ftp.Passive = passive;
    const std::string tag = passive ? "passive" : "active";
    c->ftp.Retrieve("/down.bin", local.File("down-" + tag + ".bin"));
    EXPECT_EQ(Sha256OfFile(local.File("down-" + tag + ".bin")), shaDown);

    const std::string partial = local.File("partial-" + tag + ".bin");
    WriteFile(partial, PatternBytes(31, 0, 1000001));
    c->ClearLog();
    c->ftp.Retrieve("/down.bin", partial, false, true);
    EXPECT_EQ(Sha256OfFile(partial), shaDown);
    EXPECT_TRUE(Contains(c->log, ">REST 1000001")) << ::testing::PrintToString(c->log);

    c->ftp.ChangeDirectory(t.remoteDir);
    c->ftp.Store(local.File("up.bin"), "up-" + tag + ".bin");
    EXPECT_EQ(c->ftp.LastReply.NumericCode(), 226);
    EXPECT_EQ(Sha256OfFile(t.localDir + "/up-" + tag + ".bin"), Sha256OfFile(local.File("up.bin")));

    TStringList lines;
    c->ftp.ListDirectory(&lines, "", false);
    std::sort(lines.begin(), lines.end());
    const Lines expected = passive ? Lines{"up-passive.bin"} : Lines{"up-active.bin", "up-passive.bin"};
    EXPECT_EQ(Lines(lines.begin(), lines.end()), expected);
    c->ftp.ListDirectory(&lines);
    ASSERT_EQ(c->ftp.ParsedListing().Count(), static_cast<int64_t>(expected.size()));
    EXPECT_EQ(c->ftp.ParsedListing().Items(0).ByteSize, 1700003);
    c->ftp.ChangeDirectory("/");
  }
  c->ftp.Quit();
}

class FtpTls : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ca = new TestCertificateAuthority();
    server = new TestCertificate(ca->Issue("localhost", "DNS:localhost,IP:127.0.0.1"));
  }
  static void TearDownTestSuite() {
    delete server;
    delete ca;
  }
  static VsftpdOptions TlsVsftpd(const TestCertificate& ACertificate, bool AImplicit = false) {
    VsftpdOptions o;
    o.CertFile = ACertificate.CertFile;
    o.KeyFile = ACertificate.KeyFile;
    o.ImplicitTLS = AImplicit;
    return o;
  }
  static Target Vsftpd(VsftpdServer& s) {
    return {"vsftpd", s.Port(), "anonymous", "test@example.org", "/upload", s.UploadDir(), s.Root()};
  }
  static TestCertificateAuthority* ca;
  static TestCertificate* server;
};
TestCertificateAuthority* FtpTls::ca = nullptr;
TestCertificate* FtpTls::server = nullptr;

}  // namespace

TEST_F(FtpTls, VsftpdExplicit) {
  VsftpdServer vsftpd(TlsVsftpd(*server));
  Transfers(Vsftpd(vsftpd), tlsRequired, ca->CertFile());
  // The server saw every transfer end properly (strict_ssl_read_eof wants
  // TLS's close at the end of an upload).
  EXPECT_FALSE(Has(vsftpd.Log(), "FAIL")) << vsftpd.Log();
}

TEST_F(FtpTls, VsftpdImplicit) {
  VsftpdServer vsftpd(TlsVsftpd(*server, true));
  Transfers(Vsftpd(vsftpd), tlsImplicit, ca->CertFile());
}

TEST_F(FtpTls, PyftpdlibExplicit) {
  PyftpdlibOptions options;
  options.CertFile = server->CertFile;
  options.KeyFile = server->KeyFile;
  PyftpdlibServer pyftpd(options);
  MakeFolder(pyftpd.Root() + "/up");
  Transfers({"pyftpdlib", pyftpd.Port(), "user", "secret", "/up", pyftpd.Root() + "/up", pyftpd.Root()}, tlsAuto,
            ca->CertFile());
}

// Through a SOCKS 5 proxy: TLS runs above the proxy's handshake, and the
// certificate is checked against the destination, not the proxy.
TEST_F(FtpTls, ThroughSocks) {
  VsftpdServer vsftpd(TlsVsftpd(*server));
  WritePatternFile(vsftpd.Root() + "/a.bin", 300007, 33);
  for (TSocksVersion version : {svSocks4, svSocks5}) {
    SCOPED_TRACE(version);
    ScriptedSocksProxy proxy;
    auto c = TlsClient(Vsftpd(vsftpd), tlsRequired, ca->CertFile());
    TNetSocksSettings socks;
    socks.Version = version;
    socks.Host = "127.0.0.1";
    socks.Port = proxy.Port();
    c->ftp.UseSocksProxy(socks);
    c->Open();
    TNetMemoryStream got;
    c->ftp.Retrieve("a.bin", got);
    EXPECT_TRUE(got.DataString() == PatternBytes(33, 0, 300007));
    c->ftp.Quit();
    ASSERT_TRUE(proxy.WaitForRequests(2));  // control and data
  }
}

// A certificate that does not verify is refused before anything follows
// "AUTH TLS", with the reason and its fingerprint; the same certificate is
// accepted once that fingerprint is trusted for the server's host and port.
TEST_F(FtpTls, CertificatesRefusedAndTrusted) {
  TestCertificateAuthority stranger("Unknown Test CA");
  struct Case {
    std::string name;
    TestCertificate certificate;
    std::string reason;
  };
  const std::vector<Case> cases = {
      {"another name", ca->Issue("ftp.example.org", "DNS:ftp.example.org"), "(wrong name)"},
      {"expired", ca->Issue("localhost", "IP:127.0.0.1", "20200101000000Z", "20200201000000Z"), "(expired)"},
      {"unknown CA", stranger.Issue("localhost", "IP:127.0.0.1"), "(unknown issuer)"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    VsftpdServer vsftpd(TlsVsftpd(k.certificate));
    const Target t = Vsftpd(vsftpd);
    for (TNetFTPTLSMode mode : {tlsAuto, tlsRequired}) {
      auto c = TlsClient(t, mode, ca->CertFile());
      std::string fingerprint;
      try {
        c->Open();
        ADD_FAILURE() << "accepted";
      } catch (const ENetTLSCertificateRefused& e) {
        EXPECT_EQ(std::string(e.what()), "The certificate of 127.0.0.1:" + std::to_string(t.port) +
                                             " is not trusted " + k.reason + "; its fingerprint is " +
                                             k.certificate.Fingerprint);
        fingerprint = e.Fingerprint;
      }
      EXPECT_EQ(fingerprint, k.certificate.Fingerprint);
      EXPECT_EQ(Sent(c->log), Lines{"AUTH TLS"});
      EXPECT_FALSE(c->ftp.IsConnected());
    }
    EXPECT_FALSE(Has(vsftpd.Log(), "USER")) << vsftpd.Log();

    // Trusted for another port: still refused. For this one: accepted.
    auto c = TlsClient(t, tlsRequired, ca->CertFile());
    c->ftp.TLSTrust.TrustFingerprint("127.0.0.1", t.port + 1, k.certificate.Fingerprint);
    EXPECT_THROW(c->Open(), ENetTLSCertificateRefused);
    c->ftp.TLSTrust.TrustFingerprint("127.0.0.1", t.port, k.certificate.Fingerprint);
    c->Open();
    EXPECT_TRUE(c->ftp.ControlEncrypted());
    EXPECT_EQ(c->ftp.CurrentDirectory(), "/");
    TStringList lines;
    c->ftp.ListDirectory(&lines);
    c->ftp.Quit();
  }
}

// Without the CA file the test's authority is unknown too; with its name
// the certificate for "localhost" verifies as well as for the address.
TEST_F(FtpTls, ChainNameAndAuthority) {
  VsftpdServer vsftpd(TlsVsftpd(*server));
  auto c = TlsClient(Vsftpd(vsftpd), tlsRequired, "");
  EXPECT_EQ(MessageOf<ENetTLSCertificateRefused>([&] { c->Open(); }),
            "The certificate of 127.0.0.1:" + std::to_string(vsftpd.Port()) +
                " is not trusted (unknown issuer); its fingerprint is " + server->Fingerprint);
  auto named = TlsClient(Vsftpd(vsftpd), tlsRequired, ca->CertFile());
  named->ftp.Host = "localhost";
  named->Open();
  EXPECT_TRUE(named->ftp.ControlEncrypted());
  named->ftp.Quit();
}

// Aborts over TLS, from a work event and from the message pump (a window
// handler run inside a wait of the TLS library): the session goes on, and
// the next protected transfer still resumes the session.
TEST_F(FtpTls, AbortsAndTheSessionGoesOn) {
  VsftpdOptions options = TlsVsftpd(*server);
  // Slow enough for the waits to fall idle, so that the message pump runs.
  options.ExtraConfig.push_back("anon_max_rate=500000");
  VsftpdServer vsftpd(options);
  const int64_t size = 256 << 20;
  WriteSparseFile(vsftpd.Root() + "/big.bin", size, "end");
  const Target t = Vsftpd(vsftpd);
  TempDir local;
  WritePatternFile(local.File("up.bin"), 32 << 20, 3);
  WritePatternFile(local.File("next.bin"), 100000, 4);
  for (bool passive : {true, false}) {
    SCOPED_TRACE(passive ? "passive" : "active");
    auto c = TlsClient(t, tlsRequired, ca->CertFile());
    c->ftp.Passive = passive;
    c->Open();
    int works = 0;
    c->onWork = [&](int64_t) {
      if (++works == 2) c->ftp.AbortTransfer();
    };
    c->ftp.Retrieve("/big.bin", local.File("down.bin"), true);
    EXPECT_EQ(c->log.back(), "*Transfer aborted") << ::testing::PrintToString(c->log);
    EXPECT_LT(FileSize(local.File("down.bin")), size);
    EXPECT_EQ(c->ftp.RawCommand("NOOP"), 200);

    works = 0;
    c->ftp.ChangeDirectory("/upload");
    c->ftp.Store(local.File("up.bin"), "aborted.bin");
    EXPECT_EQ(c->log.back(), "*Transfer aborted") << ::testing::PrintToString(c->log);
    EXPECT_EQ(c->ftp.RawCommand("NOOP"), 200);

    c->onWork = nullptr;
    {
      TestAntiFreeze antiFreeze;
      bool aborted = false;
      antiFreeze.onPump = [&] {
        if (!aborted && c->lastWork > 0) {
          aborted = true;
          c->ftp.AbortTransfer();
        }
      };
      c->lastWork = 0;
      TNetMemoryStream sink;
      c->ftp.Retrieve("/big.bin", sink);
      EXPECT_TRUE(aborted);
      EXPECT_EQ(c->log.back(), "*Transfer aborted");
      EXPECT_LT(sink.Size(), size);
    }
    EXPECT_EQ(c->ftp.RawCommand("NOOP"), 200);
    for (int i = 0; i < 3; ++i) {
      c->ftp.Store(local.File("next.bin"), "next.bin");
      EXPECT_EQ(Sha256OfFile(vsftpd.UploadDir() + "/next.bin"), Sha256OfFile(local.File("next.bin")));
    }
    c->ftp.Quit();
  }
}
