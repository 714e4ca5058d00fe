// The headless driver build/bin/ftpxfer run as a process against pyftpdlib:
// transfers in both modes, listings, sizes, raw commands, the listing parser
// on a file, and the exit status and message of a failure.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "IPv6Loopback.h"
#include "Process.h"
#include "RealServers.h"
#include "ScriptedFtpServer.h"
#include "Sha256.h"
#include "TestFiles.h"

#ifndef LISTING_DATA_DIR
#error LISTING_DATA_DIR must name the folder of the captured listings
#endif

namespace {

std::string Tool() { return ExecutableDir() + "/ftpxfer"; }

ProcessResult Xfer(const PyftpdlibServer& server, std::vector<std::string> args) {
  std::vector<std::string> argv = {Tool(),   "--host", "127.0.0.1", "--port", std::to_string(server.Port()),
                                   "--user", "user",   "--password", "secret"};
  argv.insert(argv.end(), args.begin(), args.end());
  RunOptions options;
  options.TimeoutMs = 30000;
  return RunProcess(argv, options);
}

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

}  // namespace

TEST(FtpXferTool, TransfersListingsAndCommands) {
  RequireProgram(Tool(), "this project (build the ftpxfer target)");
  PyftpdlibServer server;
  TempDir local;
  WritePatternFile(server.Root() + "/down.bin", 1234567, 21);
  WritePatternFile(local.File("up.bin"), 765432, 22);

  const std::vector<std::pair<std::string, std::vector<std::string>>> modes = {{"passive", {}},
                                                                                {"active", {"--active"}}};
  for (const auto& [mode, modeArgs] : modes) {
    SCOPED_TRACE(mode);
    const std::string got = local.File("got-" + mode + ".bin");
    std::vector<std::string> get = modeArgs;
    get.insert(get.end(), {"get", "down.bin", got});
    ProcessResult r = Xfer(server, get);
    ASSERT_EQ(r.ExitCode, 0) << r.Describe() << r.Err;
    EXPECT_EQ(Sha256OfFile(got), Sha256OfFile(server.Root() + "/down.bin"));
    EXPECT_TRUE(Has(r.Err, "Starting FTP transfer\n")) << r.Err;
    EXPECT_TRUE(Has(r.Err, "Transfer complete\n")) << r.Err;
    EXPECT_TRUE(Has(r.Err, "1234567 bytes")) << r.Err;  // the progress ends at the whole size

    std::vector<std::string> put = modeArgs;
    put.insert(put.end(), {"--quiet", "put", local.File("up.bin"), "up-" + mode + ".bin"});
    r = Xfer(server, put);
    ASSERT_EQ(r.ExitCode, 0) << r.Describe() << r.Err;
    EXPECT_EQ(r.Err, "");
    EXPECT_EQ(Sha256OfFile(server.Root() + "/up-" + mode + ".bin"), Sha256OfFile(local.File("up.bin")));
  }

  // Resume a partial download.
  WriteFile(local.File("part.bin"), PatternBytes(21, 0, 1000));
  ProcessResult r = Xfer(server, {"--quiet", "get", "down.bin", local.File("part.bin"), "--resume"});
  ASSERT_EQ(r.ExitCode, 0) << r.Err;
  EXPECT_EQ(Sha256OfFile(local.File("part.bin")), Sha256OfFile(server.Root() + "/down.bin"));

  ::mkdir((server.Root() + "/sub").c_str(), 0755);
  r = Xfer(server, {"--quiet", "--format", "list"});
  ASSERT_EQ(r.ExitCode, 0) << r.Err;
  EXPECT_EQ(r.Out.substr(0, r.Out.find('\n')), "# format flfUnix");
  EXPECT_TRUE(Has(r.Out, "f\t1234567\t")) << r.Out;
  EXPECT_TRUE(Has(r.Out, "\tdown.bin\t")) << r.Out;
  EXPECT_TRUE(Has(r.Out, "d\t")) << r.Out;
  EXPECT_TRUE(Has(r.Out, "\tsub\t")) << r.Out;

  r = Xfer(server, {"--quiet", "nlst"});
  ASSERT_EQ(r.ExitCode, 0) << r.Err;
  EXPECT_EQ(r.Out, "down.bin\nsub\nup-active.bin\nup-passive.bin\n");

  r = Xfer(server, {"--quiet", "size", "down.bin"});
  ASSERT_EQ(r.ExitCode, 0) << r.Err;
  EXPECT_EQ(r.Out, "1234567\n");
  r = Xfer(server, {"--quiet", "size", "missing.bin"});
  EXPECT_EQ(r.ExitCode, 0) << r.Err;
  EXPECT_EQ(r.Out, "-1\n");

  r = Xfer(server, {"--quiet", "raw", "NOOP"});
  ASSERT_EQ(r.ExitCode, 0) << r.Err;
  EXPECT_EQ(r.Out.substr(0, 4), "200 ");
  r = Xfer(server, {"--quiet", "cd", "sub"});
  ASSERT_EQ(r.ExitCode, 0) << r.Err;
  EXPECT_EQ(r.Out, "/sub\n");
}

TEST(FtpXferTool, Failures) {
  RequireProgram(Tool(), "this project (build the ftpxfer target)");
  PyftpdlibServer server;
  TempDir local;
  WriteFile(server.Root() + "/a.txt", "a");
  WriteFile(local.File("a.txt"), "local");

  // A refused command: exit 1, the class and the server's message.
  ProcessResult r = Xfer(server, {"--quiet", "delete", "missing.txt"});
  EXPECT_EQ(r.ExitCode, 1) << r.Describe();
  EXPECT_EQ(r.Err.rfind("ENetProtocolReplyError: ", 0), 0u) << r.Err;
  EXPECT_TRUE(Has(r.Err, "No such file or directory")) << r.Err;

  r = Xfer(server, {"--quiet", "get", "a.txt", local.File("a.txt")});
  EXPECT_EQ(r.ExitCode, 1);
  EXPECT_EQ(r.Err, "ENetFTPFileAlreadyExists: Destination file already exists.\n");
  EXPECT_EQ(ReadFile(local.File("a.txt")), "local");

  r = Xfer(server, {"--quiet", "raw", "NOOP\r\nDELE a.txt"});
  EXPECT_EQ(r.ExitCode, 1);
  EXPECT_EQ(r.Err, "ENetInvalidCommandArgument: A command must not contain a line break.\n");
  EXPECT_TRUE(PathExists(server.Root() + "/a.txt"));

  std::vector<std::string> wrong = {Tool(), "--host", "127.0.0.1", "--port", std::to_string(server.Port()),
                                    "--user", "user",   "--password", "wrong", "--quiet", "pwd"};
  r = RunProcess(wrong);
  EXPECT_EQ(r.ExitCode, 1);
  EXPECT_EQ(r.Err, "ENetProtocolReplyError: Authentication failed.\r\n\n");

  r = Xfer(server, {"bogus"});
  EXPECT_EQ(r.ExitCode, 2);
  EXPECT_TRUE(Has(r.Err, "unknown command bogus")) << r.Err;
}

// --idle-timeout: a malformed value is a usage error before anything is
// connected; a download that stalls fails after it with the class and the
// message, keeping the bytes that came.
TEST(FtpXferTool, IdleTimeout) {
  RequireProgram(Tool(), "this project (build the ftpxfer target)");
  for (const char* bad : {"x", "-1", "1.5", "2147484", ""}) {
    SCOPED_TRACE(bad);
    ProcessResult r = RunProcess({Tool(), "--port", "1", "pwd", "--idle-timeout", bad});
    EXPECT_EQ(r.ExitCode, 2) << r.Describe();
    EXPECT_TRUE(Has(r.Err, std::string("not a number of seconds from 0 to 2147483: ") + bad + "\n")) << r.Err;
  }

  ScriptedFtpServer server;
  server.SetFile("a.bin", PatternBytes(4, 0, 3000));
  FtpTransferOptions o;
  o.ChunkSize = 1000;
  o.ChunkPauseMs = 5000;
  server.SetTransferOptions(o);
  TempDir local;
  const auto start = std::chrono::steady_clock::now();
  ProcessResult r = RunProcess({Tool(), "--port", std::to_string(server.Port()), "--user", "u", "--password", "p",
                                "--quiet", "--idle-timeout", "1", "get", "a.bin", local.File("a.bin")});
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
  EXPECT_EQ(r.ExitCode, 1) << r.Describe();
  EXPECT_EQ(r.Err, "ENetTransferTimeout: Transfer timed out: no data arrived on the data connection for 1 s.\n");
  EXPECT_TRUE(ReadFile(local.File("a.bin")) == PatternBytes(4, 0, 1000));
}

// get keeps a record beside the file while it downloads; --resume continues
// only a copy whose record matches the server's file, and downloads any
// other afresh, saying so.
TEST(FtpXferTool, ResumeOnlyACopyWhoseRecordMatches) {
  RequireProgram(Tool(), "this project (build the ftpxfer target)");
  ScriptedFtpServer server;
  server.SetFile("a.bin", PatternBytes(4, 0, 3000));
  TempDir local;
  const std::string path = local.File("a.bin");
  auto get = [&](std::vector<std::string> args) {
    std::vector<std::string> argv = {Tool(), "--port", std::to_string(server.Port()), "--user", "u", "--password",
                                     "p", "--idle-timeout", "1", "get", "a.bin", path};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProcess(argv);
  };
  auto rests = [&](int session) {
    std::vector<std::string> found;
    for (const std::string& c : server.SessionCommands(session))
      if (c.rfind("REST ", 0) == 0) found.push_back(c);
    return found;
  };

  FtpTransferOptions stall;
  stall.ChunkSize = 1000;
  stall.ChunkPauseMs = 5000;
  server.SetTransferOptions(stall);
  ProcessResult r = get({"--quiet"});
  EXPECT_EQ(r.ExitCode, 1) << r.Describe();
  EXPECT_TRUE(PathExists(path + ".remessa-resume"));
  server.SetTransferOptions(FtpTransferOptions());

  r = get({"--quiet"});  // neither option: the copy is refused, as it always was
  EXPECT_EQ(r.Err, "ENetFTPFileAlreadyExists: Destination file already exists.\n");

  r = get({"--quiet", "--resume"});
  ASSERT_EQ(r.ExitCode, 0) << r.Err;
  EXPECT_TRUE(ReadFile(path) == PatternBytes(4, 0, 3000));
  EXPECT_EQ(rests(2), (std::vector<std::string>{"REST 1", "REST 0", "REST 1000"}));
  EXPECT_FALSE(PathExists(path + ".remessa-resume"));

  // An older version's beginning, without a record: afresh.
  WriteFile(path, PatternBytes(9, 0, 1000));
  r = get({"--resume"});
  ASSERT_EQ(r.ExitCode, 0) << r.Err;
  EXPECT_TRUE(Has(r.Err, "Local copy of " + path + " does not match the server's file; downloading it afresh.\n"))
      << r.Err;
  EXPECT_TRUE(ReadFile(path) == PatternBytes(4, 0, 3000));
  EXPECT_EQ(rests(3), std::vector<std::string>());
}

TEST(FtpXferTool, ParseListingFile) {
  RequireProgram(Tool(), "this project (build the ftpxfer target)");
  ProcessResult r = RunProcess({Tool(), "--format", "parse-listing", std::string(LISTING_DATA_DIR) + "/dos.txt"});
  ASSERT_EQ(r.ExitCode, 0) << r.Err;
  EXPECT_EQ(r.Out.substr(0, r.Out.find('\n')), "# format flfDos");
  EXPECT_GT(std::count(r.Out.begin(), r.Out.end(), '\n'), 1);

  TempDir local;
  WriteFile(local.File("unix.txt"), "drwxr-xr-x   2 owner group 4096 Jan 02  2024 pub\r\n");
  r = RunProcess({Tool(), "parse-listing", local.File("unix.txt")});
  ASSERT_EQ(r.ExitCode, 0) << r.Err;
  EXPECT_EQ(r.Out, "d\t4096\t2024-01-02 00:00\tpub\t\towner\tgroup\trwxr-xr-x\n");

  r = RunProcess({Tool(), "parse-listing", local.File("missing.txt")});
  EXPECT_EQ(r.ExitCode, 1);
  EXPECT_EQ(r.Err.rfind("EFOpenError: ", 0), 0u) << r.Err;
}

// The extensions are on: FEAT, and EPSV unless --no-epsv. IPv6 hosts in
// both spellings.
TEST(FtpXferTool, ExtensionsAndIPv6Hosts) {
  RequireProgram(Tool(), "this project (build the ftpxfer target)");
  PyftpdlibOptions verbose;
  verbose.Verbose = true;
  PyftpdlibServer server(verbose);
  ProcessResult r = Xfer(server, {"--quiet", "list"});
  ASSERT_EQ(r.ExitCode, 0) << r.Describe() << r.Err;
  const std::string withEpsv = server.Log();
  EXPECT_TRUE(Has(withEpsv, "<- FEAT")) << withEpsv;
  EXPECT_TRUE(Has(withEpsv, "<- OPTS UTF8 ON")) << withEpsv;
  EXPECT_TRUE(Has(withEpsv, "<- EPSV")) << withEpsv;
  EXPECT_FALSE(Has(withEpsv, "<- PASV")) << withEpsv;
  r = Xfer(server, {"--quiet", "list", "--no-epsv"});
  ASSERT_EQ(r.ExitCode, 0) << r.Describe() << r.Err;
  const std::string withoutEpsv = server.Log().substr(withEpsv.size());
  EXPECT_TRUE(Has(withoutEpsv, "<- PASV")) << withoutEpsv;
  EXPECT_FALSE(Has(withoutEpsv, "<- EPSV")) << withoutEpsv;

  if (!HasIPv6Loopback()) GTEST_SKIP() << "SKIPPED: this machine has no IPv6 loopback address ::1, so the IPv6 part cannot run";
  PyftpdlibOptions v6;
  v6.Address = "::1";
  PyftpdlibServer server6(v6);
  WritePatternFile(server6.Root() + "/down.bin", 234567, 23);
  TempDir local;
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"--host", "::1"}, {"--host", "[::1]", "--active"}, {"--host", "::1", "--no-epsv"}}) {
    SCOPED_TRACE(args[1] + (args.size() > 2 ? " " + args[2] : ""));
    std::vector<std::string> get = args;
    get.insert(get.end(), {"get", "down.bin", local.File("got.bin"), "--overwrite"});
    r = Xfer(server6, get);
    ASSERT_EQ(r.ExitCode, 0) << r.Describe() << r.Err;
    EXPECT_EQ(Sha256OfFile(local.File("got.bin")), Sha256OfFile(server6.Root() + "/down.bin"));
    EXPECT_TRUE(Has(r.Err, "Connecting to ::1.\n")) << r.Err;
  }
}
