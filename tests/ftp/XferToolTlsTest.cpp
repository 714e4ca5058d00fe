// The headless driver's TLS options and its rules for options: --help and
// --version print and connect to nothing, a malformed value exits 2 before
// connecting, a TLS or certificate failure exits 1 with "Class: message".
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "LoopbackSocket.h"
#include "Process.h"
#include "RealServers.h"
#include "ScriptedFtpServer.h"
#include "Sha256.h"
#include "TestCertificates.h"
#include "TestFiles.h"

namespace {

std::string Tool() { return ExecutableDir() + "/ftpxfer"; }

ProcessResult Xfer(std::vector<std::string> args, int timeoutMs = 30000) {
  args.insert(args.begin(), Tool());
  RunOptions options;
  options.TimeoutMs = timeoutMs;
  return RunProcess(args, options);
}

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// "SHA256:5BA5..." as a user may type it: lower case, colons between bytes.
std::string Typed(const std::string& fingerprint) {
  std::string text = "sha256:";
  const std::string hex = fingerprint.substr(7);
  for (size_t i = 0; i < hex.size(); i += 2) {
    if (i > 0) text += ':';
    text += static_cast<char>(std::tolower(static_cast<unsigned char>(hex[i])));
    text += static_cast<char>(std::tolower(static_cast<unsigned char>(hex[i + 1])));
  }
  return text;
}

}  // namespace

TEST(FtpXferToolOptions, HelpAndVersionConnectToNothing) {
  RequireProgram(Tool(), "this project (build the ftpxfer target)");
  ScriptedFtpServer server;
  const std::string port = std::to_string(server.Port());
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"--help"}, {"--port", port, "get", "a", "b", "--help"}, {"--tls", "nonsense", "--help"}}) {
    ProcessResult r = Xfer(args);
    EXPECT_EQ(r.ExitCode, 0) << r.Describe() << r.Err;
    EXPECT_TRUE(Has(r.Out, "usage: ftpxfer")) << r.Out;
    EXPECT_TRUE(Has(r.Out, "--tls off|auto|required|implicit")) << r.Out;
    EXPECT_EQ(r.Err, "");
  }
  ProcessResult r = Xfer({"--port", port, "--version", "pwd"});
  EXPECT_EQ(r.ExitCode, 0) << r.Err;
  EXPECT_EQ(r.Out.rfind("ftpxfer ", 0), 0u) << r.Out;
  EXPECT_EQ(r.Out.back(), '\n');
  EXPECT_EQ(r.Err, "");
  EXPECT_EQ(server.SessionCount(), 0);
}

TEST(FtpXferToolOptions, MalformedValuesExit2BeforeConnecting) {
  RequireProgram(Tool(), "this project (build the ftpxfer target)");
  ScriptedFtpServer server;
  TempDir dir;
  WriteFile(dir.File("not-pem.txt"), "hello\n");
  const std::string port = std::to_string(server.Port());
  const std::string hex(64, 'a');
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{"--tls", "maybe"}, "--tls takes off, auto, required or implicit, not maybe"},
      {{"--tls"}, "--tls needs a value"},
      {{"--trust-fingerprint", "SHA256:" + hex.substr(1)}, "not SHA256: and 64 hex digits: SHA256:"},
      {{"--trust-fingerprint", "SHA1:" + hex}, "not SHA256: and 64 hex digits: SHA1:"},
      {{"--trust-fingerprint", hex}, "not SHA256: and 64 hex digits: "},
      {{"--ca-file", dir.File("missing.pem")}, "Cannot load the CA file \"" + dir.File("missing.pem") +
                                                  "\": No such file or directory"},
      {{"--ca-file", dir.File("not-pem.txt")}, "Cannot load the CA file \"" + dir.File("not-pem.txt") + "\": "},
      {{"--port", "21a"}, "not a number: 21a"},
      {{"--port", "70000"}, "not a port: 70000"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.args[0] + " " + (k.args.size() > 1 ? k.args[1] : ""));
    // The option after the command, before the port: options stand anywhere.
    std::vector<std::string> args = {"pwd"};
    args.insert(args.end(), k.args.begin(), k.args.end());
    if (k.args[0] != "--port") args.insert(args.begin(), {"--port", port});
    ProcessResult r = Xfer(args);
    EXPECT_EQ(r.ExitCode, 2) << r.Describe() << r.Err;
    EXPECT_EQ(r.Err.rfind("ftpxfer: " + k.message, 0), 0u) << r.Err;
    EXPECT_TRUE(Has(r.Err, "usage: ftpxfer")) << r.Err;
  }
  EXPECT_EQ(server.SessionCount(), 0);
}

// "--tls implicit" without "--port" goes to port 990, and speaks TLS first.
TEST(FtpXferToolOptions, ImplicitUsesPort990) {
  RequireProgram(Tool(), "this project (build the ftpxfer target)");
  UniqueFd listener;
  try {
    listener = ListenTcp("127.0.0.1", 990);  // the tests run as root (vsftpd needs it too)
  } catch (const std::exception& e) {
    GTEST_SKIP() << "port 990 is not free here: " << e.what();
  }
  ProcessResult r = Xfer({"--tls", "implicit", "--quiet", "pwd"}, 2000);
  EXPECT_TRUE(r.TimedOut) << r.Describe() << r.Err;  // nobody answers the handshake
  UniqueFd connection = AcceptWithin(listener.Get(), 1000);
  ASSERT_TRUE(connection.Get() >= 0);
  const std::string hello = ReceiveExactly(connection.Get(), 3, 1000);
  EXPECT_EQ(HexBytes(hello.substr(0, 2)), HexBytes(std::string("\x16\x03", 2)));  // a TLS handshake record
}

TEST(FtpXferToolOptions, TlsTransfersAndRefusals) {
  RequireProgram(Tool(), "this project (build the ftpxfer target)");
  TestCertificateAuthority ca;
  TestCertificate good = ca.Issue("localhost", "DNS:localhost,IP:127.0.0.1");
  TestCertificateAuthority stranger("Unknown Test CA");
  TestCertificate unknown = stranger.Issue("localhost", "IP:127.0.0.1");
  VsftpdOptions o;
  o.CertFile = good.CertFile;
  o.KeyFile = good.KeyFile;
  VsftpdServer vsftpd(o);
  o.CertFile = unknown.CertFile;
  o.KeyFile = unknown.KeyFile;
  o.ImplicitTLS = true;
  VsftpdServer implicit(o);
  WritePatternFile(vsftpd.Root() + "/a.bin", 777777, 41);
  WritePatternFile(implicit.Root() + "/a.bin", 777777, 41);
  TempDir local;
  auto account = [](const VsftpdServer& s) {
    return std::vector<std::string>{"--port", std::to_string(s.Port()), "--user", "anonymous", "--password", "x@y"};
  };
  auto with = [](std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };

  // The default is auto, and the chain verifies with the CA file.
  ProcessResult r = Xfer(with(account(vsftpd), {"--ca-file", ca.CertFile(), "get", "a.bin", local.File("1.bin")}));
  ASSERT_EQ(r.ExitCode, 0) << r.Err;
  EXPECT_EQ(Sha256OfFile(local.File("1.bin")), Sha256OfFile(vsftpd.Root() + "/a.bin"));
  r = Xfer(with(account(vsftpd), {"--ca-file", ca.CertFile(), "--active", "--quiet", "put", local.File("1.bin"),
                                 "upload/b.bin"}));
  ASSERT_EQ(r.ExitCode, 0) << r.Err;
  EXPECT_EQ(Sha256OfFile(vsftpd.UploadDir() + "/b.bin"), Sha256OfFile(vsftpd.Root() + "/a.bin"));

  // Without it the authority is unknown: exit 1 with the class and message.
  r = Xfer(with(account(vsftpd), {"--quiet", "pwd"}));
  EXPECT_EQ(r.ExitCode, 1);
  EXPECT_EQ(r.Err, "ENetTLSCertificateRefused: The certificate of 127.0.0.1:" + std::to_string(vsftpd.Port()) +
                       " is not trusted (unknown issuer); its fingerprint is " + good.Fingerprint + "\n");
  // Plain text is refused by this server.
  r = Xfer(with(account(vsftpd), {"--quiet", "--tls", "off", "pwd"}));
  EXPECT_EQ(r.ExitCode, 1);
  EXPECT_EQ(r.Err.rfind("ENetProtocolReplyError: ", 0), 0u) << r.Err;

  // Implicit, a certificate of an unknown authority accepted by its fingerprint.
  const std::vector<std::string> implicitArgs = {"--tls", "implicit", "--quiet", "get", "a.bin"};
  r = Xfer(with(with(account(implicit), implicitArgs), {local.File("2.bin")}));
  EXPECT_EQ(r.ExitCode, 1);
  EXPECT_TRUE(Has(r.Err, "(unknown issuer); its fingerprint is " + unknown.Fingerprint)) << r.Err;
  r = Xfer(with(with(account(implicit), implicitArgs),
               {local.File("3.bin"), "--trust-fingerprint", Typed(good.Fingerprint), "--trust-fingerprint",
                Typed(unknown.Fingerprint)}));
  ASSERT_EQ(r.ExitCode, 0) << r.Err;
  EXPECT_EQ(Sha256OfFile(local.File("3.bin")), Sha256OfFile(implicit.Root() + "/a.bin"));
}

// Required TLS against a server without it: exit 1 before the login.
TEST(FtpXferToolOptions, RequiredAgainstAPlainServer) {
  RequireProgram(Tool(), "this project (build the ftpxfer target)");
  ScriptedFtpServer server;
  ProcessResult r = Xfer({"--port", std::to_string(server.Port()), "--tls", "required", "--quiet", "pwd"});
  EXPECT_EQ(r.ExitCode, 1);
  EXPECT_EQ(r.Err, "ENetTLSNotOffered: The server refused TLS: 500 Unknown command.\n");
  ASSERT_TRUE(server.WaitSessionsClosed());
  EXPECT_EQ(server.Commands(), std::vector<std::string>{"AUTH TLS"});
}
