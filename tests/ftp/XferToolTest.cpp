// The headless driver build/bin/ftpxfer run as a process against pyftpdlib:
// transfers in both modes, listings (MLSD and LIST), sizes and times, raw
// commands, the listing parser on a file, and the exit status and message of
// a failure.
#include <gtest/gtest.h>

#include <fcntl.h>
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
  // pyftpdlib lists MLST: "list" goes by MLSD unless --no-mlsd (anywhere
  // on the line) keeps it to LIST; both give the same kinds, sizes and names.
  std::vector<std::string> shown[2];
  for (int way = 0; way < 2; ++way) {
    r = way == 0 ? Xfer(server, {"--quiet", "--format", "list"}) : Xfer(server, {"--quiet", "list", "--format", "--no-mlsd"});
    ASSERT_EQ(r.ExitCode, 0) << r.Err;
    EXPECT_EQ(r.Out.substr(0, r.Out.find('\n')), way == 0 ? "# format flfMachine" : "# format flfUnix");
    EXPECT_TRUE(Has(r.Out, "f\t1234567\t")) << r.Out;
    EXPECT_TRUE(Has(r.Out, "\tdown.bin\t")) << r.Out;
    EXPECT_TRUE(Has(r.Out, "d\t")) << r.Out;
    EXPECT_TRUE(Has(r.Out, "\tsub\t")) << r.Out;
    std::string rows = r.Out.substr(r.Out.find('\n') + 1);
    for (size_t end; (end = rows.find('\n')) != std::string::npos; rows.erase(0, end + 1)) {
      // kind, size, the time (skipped: to the minute or the day), the name
      const std::string row = rows.substr(0, end);
      const size_t t1 = row.find('\t'), t2 = row.find('\t', t1 + 1), t3 = row.find('\t', t2 + 1);
      const size_t t4 = row.find('\t', t3 + 1);
      shown[way].push_back(row.substr(0, t2) + row.substr(t3, t4 - t3));
    }
    std::sort(shown[way].begin(), shown[way].end());
  }
  EXPECT_EQ(shown[0], shown[1]);
  EXPECT_EQ(shown[0].size(), 4u);

  // The time of one file: by MLST, or by MDTM with --no-mlsd.
  struct timespec at[2] = {{1709301933, 0}, {1709301933, 0}};  // 2024-03-01 14:05:33 UTC
  ASSERT_EQ(utimensat(AT_FDCWD, (server.Root() + "/down.bin").c_str(), at, 0), 0);
  r = Xfer(server, {"--quiet", "mtime", "down.bin"});
  ASSERT_EQ(r.ExitCode, 0) << r.Err;
  const std::string byMlst = r.Out;
  r = Xfer(server, {"--no-mlsd", "--quiet", "mtime", "down.bin"});
  ASSERT_EQ(r.ExitCode, 0) << r.Err;
  EXPECT_EQ(r.Out, byMlst);
  EXPECT_EQ(byMlst.size(), 20u) << byMlst;  // "YYYY-MM-DD HH:MM:SS" in local time
  EXPECT_EQ(byMlst.substr(14), "05:33\n") << byMlst;

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

// --receipt: one JSON line per get and put, read back by Python's json
// module and compared field by field with the files; its malformed uses end
// with exit 2 before any connection, an unwritable file with exit 1.
TEST(FtpXferTool, Receipts) {
  RequireProgram(Tool(), "this project (build the ftpxfer target)");
  PyftpdlibServer server;
  TempDir local;
  WritePatternFile(server.Root() + "/down.bin", 345678, 31);
  WritePatternFile(local.File("up.bin"), 123456, 32);
  const std::string receipts = local.File("receipts.jsonl");

  ProcessResult r = Xfer(server, {"--quiet", "get", "down.bin", local.File("down.bin"), "--receipt", receipts});
  ASSERT_EQ(r.ExitCode, 0) << r.Err;
  r = Xfer(server, {"--receipt", receipts, "--quiet", "put", local.File("up.bin"), "up.bin"});
  ASSERT_EQ(r.ExitCode, 0) << r.Err;
  WriteFile(local.File("a.txt"), "local");
  r = Xfer(server, {"--quiet", "--receipt", receipts, "get", "down.bin", local.File("a.txt")});
  EXPECT_EQ(r.ExitCode, 1);

  // One line per field: name=value, as Python reads the JSON.
  const std::string script =
      "import json,sys\n"
      "for line in open(sys.argv[1]):\n"
      "    r = json.loads(line)\n"
      "    print(' '.join('%s=%s' % (k, r[k]) for k in ['direction','company','server','remote_path','bytes',"
      "'sha256','remote_size','server_digest','result','error']))\n"
      "    print('local=%s mtime=%d time=%d' % (r['local_path'], len(r['remote_mtime'] or ''), len(r['time'])))\n";
  r = RunProcess({"/usr/bin/python3", "-c", script, receipts});
  ASSERT_EQ(r.ExitCode, 0) << r.Err;
  const std::string server_ = "127.0.0.1:" + std::to_string(server.Port());
  const std::string expected =
      "direction=download company=None server=" + server_ + " remote_path=down.bin bytes=345678 sha256=" +
      Sha256OfFile(local.File("down.bin")) + " remote_size=345678 server_digest=None result=ok error=None\n" +
      "local=" + local.File("down.bin") + " mtime=20 time=20\n" +
      "direction=upload company=None server=" + server_ + " remote_path=up.bin bytes=123456 sha256=" +
      Sha256OfFile(local.File("up.bin")) + " remote_size=123456 server_digest=None result=ok error=None\n" +
      "local=" + local.File("up.bin") + " mtime=20 time=20\n" +
      "direction=download company=None server=" + server_ + " remote_path=down.bin bytes=5 sha256=" +
      Sha256OfFile(local.File("a.txt")) +
      " remote_size=None server_digest=None result=failed error=Destination file already exists.\n" +
      "local=" + local.File("a.txt") + " mtime=0 time=20\n";
  EXPECT_EQ(r.Out, expected);
  EXPECT_EQ(Sha256OfFile(local.File("down.bin")), Sha256OfFile(server.Root() + "/down.bin"));

  // Malformed: exit 2 before connecting (port 1 would refuse).
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{Tool(), "--port", "1", "get", "a", "b", "--receipt"},
        std::vector<std::string>{Tool(), "--port", "1", "--receipt", "", "get", "a", "b"},
        std::vector<std::string>{Tool(), "--port", "1", "--receipt", receipts, "list"}}) {
    r = RunProcess(args);
    EXPECT_EQ(r.ExitCode, 2) << r.Err;
    EXPECT_TRUE(Has(r.Err, "usage:")) << r.Err;
  }
  // A receipt file that cannot be written: exit 1 before anything is fetched.
  r = Xfer(server, {"--quiet", "--receipt", local.File("no/such/folder.jsonl"), "get", "down.bin",
                    local.File("never.bin")});
  EXPECT_EQ(r.ExitCode, 1);
  EXPECT_EQ(r.Err.rfind("EFOpenError: ", 0), 0u) << r.Err;
  EXPECT_FALSE(PathExists(local.File("never.bin")));
}
