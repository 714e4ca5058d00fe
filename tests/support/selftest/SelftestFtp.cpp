// The scripted FTP server against curl (passive and active, transcripts) and
// against a bare-socket client for the abort exchange and hostile knobs.
#include "ScriptedFtpServer.h"
#include "SelftestCommon.h"
#include "Sha256.h"
#include "TestFiles.h"

#include <gtest/gtest.h>

#include <thread>

using Lines = std::vector<std::string>;

TEST(ScriptedFtpServer, CurlPassiveDownloadTranscript) {
  ScriptedFtpServer ftp;
  ftp.SetPatternFile("/data/file.bin", 300000, 3);
  TempDir dir;
  ProcessResult r = Curl({ftp.Url("/data/file.bin"), "-o", dir.File("out.bin")});
  ASSERT_EQ(r.ExitCode, 0) << r.Err;
  EXPECT_EQ(FindPatternMismatch(dir.File("out.bin"), 300000, 3), -1);
  ASSERT_TRUE(ftp.WaitForCommand("QUIT"));
  EXPECT_EQ(ftp.Commands(), (Lines{"USER user", "PASS secret", "PWD", "CWD data", "PASV", "TYPE I",
                                   "SIZE file.bin", "RETR file.bin", "QUIT"}));
  EXPECT_EQ(ftp.ControlBytes(0).substr(0, 11), "USER user\r\n");
  EXPECT_EQ(ftp.ErrorText(), "");
}

TEST(ScriptedFtpServer, CurlActiveUploadAndListings) {
  ScriptedFtpServer ftp;
  ftp.SetListing("-rw-r--r--   1 ftp ftp  5 Jan 01 00:00 a.txt\r\n");
  ftp.SetNameList("a.txt\r\nb.txt\r\n");
  TempDir dir;
  WritePatternFile(dir.File("up.bin"), 200001, 9);

  ProcessResult up = Curl({"-P", "127.0.0.1", "-T", dir.File("up.bin"), ftp.Url("/up.bin")});
  ASSERT_EQ(up.ExitCode, 0) << up.Err;
  ProcessResult list = Curl({"-P", "127.0.0.1", ftp.Url("/")});
  ASSERT_EQ(list.ExitCode, 0) << list.Err;
  // Listings travel in ASCII mode, where curl turns CR LF into LF.
  EXPECT_EQ(list.Out, "-rw-r--r--   1 ftp ftp  5 Jan 01 00:00 a.txt\n");
  ProcessResult names = Curl({"--list-only", ftp.Url("/")});
  ASSERT_EQ(names.ExitCode, 0) << names.Err;
  EXPECT_EQ(names.Out, "a.txt\nb.txt\n");

  ASSERT_EQ(ftp.Uploads().size(), 1u);
  FtpUpload upload = ftp.Uploads()[0];
  EXPECT_EQ(upload.Command, "STOR");
  EXPECT_EQ(upload.Name, "up.bin");
  EXPECT_EQ(upload.Size, 200001);
  EXPECT_EQ(upload.Sha256, Sha256OfFile(dir.File("up.bin")));
  EXPECT_FALSE(upload.Aborted);
  EXPECT_EQ(ftp.FileBytes("up.bin"), ReadFile(dir.File("up.bin")));

  ASSERT_TRUE(ftp.WaitSessionsClosed());
  ASSERT_EQ(ftp.SessionCount(), 3);
  auto ports = ftp.PortAddresses();
  ASSERT_EQ(ports.size(), 2u);
  EXPECT_EQ(ports[0].Host, "127.0.0.1");
  EXPECT_EQ(ftp.SessionCommands(0), (Lines{"USER user", "PASS secret", "PWD", "PORT " + FtpHostPortText("127.0.0.1", ports[0].Port),
                                           "TYPE I", "STOR up.bin", "QUIT"}));
  EXPECT_EQ(ftp.SessionCommands(1), (Lines{"USER user", "PASS secret", "PWD", "PORT " + FtpHostPortText("127.0.0.1", ports[1].Port),
                                           "TYPE A", "LIST", "QUIT"}));
  EXPECT_EQ(ftp.SessionCommands(2), (Lines{"USER user", "PASS secret", "PWD", "PASV", "TYPE A", "NLST", "QUIT"}));
}

TEST(ScriptedFtpServer, HostileRepliesStillParseOrFailAsScripted) {
  ScriptedFtpServer ftp;
  ftp.SetGreeting("220-Welcome\n220-to the\n220 scripted server");
  ftp.SetAllRepliesByteByByte(0);
  ftp.SetFile("a.txt", "slow replies\n");
  ProcessResult ok = Curl({ftp.Url("/a.txt")});
  EXPECT_EQ(ok.ExitCode, 0) << ok.Err;
  EXPECT_EQ(ok.Out, "slow replies\n");

  ftp.SetAllRepliesByteByByte(-1);
  ftp.QueueReply("RETR", "550 No such file.");
  ProcessResult missing = Curl({ftp.Url("/a.txt")});
  EXPECT_EQ(missing.ExitCode, 78) << missing.Err;  // curl: remote file not found

  FtpPasvOptions bad;
  bad.PortFields = "x,1";
  ftp.SetPasvOptions(bad);
  ProcessResult badPasv = Curl({ftp.Url("/a.txt")});
  EXPECT_EQ(badPasv.ExitCode, 14) << badPasv.Err;  // curl: weird PASV reply
  ftp.SetPasvOptions({});

  ftp.SetReply("PWD", FtpReply("257 \"/\" is the current directory").CutAfter(6));
  ProcessResult cut = Curl({ftp.Url("/a.txt")});
  EXPECT_NE(cut.ExitCode, 0);
  ftp.ClearReply("PWD");

  ftp.SetHandler("CWD", [](FtpSession& s, const std::string& dir) {
    if (dir == "secret")
      s.Reply("550 Permission denied.");
    else
      s.RunDefault("CWD", dir);
  });
  ProcessResult denied = Curl({ftp.Url("/secret/a.txt")});
  EXPECT_EQ(denied.ExitCode, 9) << denied.Err;  // curl: access denied to remote resource

  ScriptedFtpServer busy;
  busy.SetGreeting(FtpReply("421 Too many users.").ThenClose());
  ProcessResult refused = Curl({busy.Url("/a.txt")});
  EXPECT_NE(refused.ExitCode, 0);
  EXPECT_TRUE(busy.WaitSessionsClosed());
  EXPECT_EQ(busy.Commands(), Lines{});
}

TEST(ScriptedFtpServer, DataConnectionClosedMidTransfer) {
  ScriptedFtpServer ftp;
  ftp.SetPatternFile("big.bin", 100000);
  FtpTransferOptions drop;
  drop.DropDataAfter = 1000;
  ftp.SetTransferOptions(drop);
  ProcessResult partial = Curl({ftp.Url("/big.bin")});
  EXPECT_EQ(partial.ExitCode, 18) << partial.Err;  // curl: partial file
  EXPECT_EQ(partial.Out, PatternBytes(1, 0, 1000));

  FtpTransferOptions vanish;
  vanish.CloseControlAfter = 1000;
  ftp.SetTransferOptions(vanish);
  ProcessResult gone = Curl({ftp.Url("/big.bin")});
  EXPECT_NE(gone.ExitCode, 0);
}

TEST(ScriptedFtpServer, AbortDuringDownloadAndUpload) {
  ScriptedFtpServer ftp;
  ftp.SetPatternFile("big.bin", 1 << 20);
  FtpTransferOptions slow;
  slow.ChunkSize = 4096;
  slow.ChunkPauseMs = 20;
  ftp.SetTransferOptions(slow);

  RawFtpClient client(ftp.Port());
  EXPECT_EQ(client.ReadReply(), "220 Scripted FTP server ready.");
  client.Login();
  UniqueFd data = client.OpenPassive();
  EXPECT_EQ(client.Command("RETR big.bin"), "150 Opening BINARY mode data connection.");
  EXPECT_EQ(ReceiveExactly(data.Get(), 4096), PatternBytes(1, 0, 4096));
  client.Send("ABOR");
  data.Reset();
  EXPECT_EQ(client.ReadReply(), "426 Connection closed; transfer aborted.");
  EXPECT_EQ(client.ReadReply(), "226 ABOR command successful.");
  EXPECT_EQ(client.Command("ABOR"), "225 No transfer to abort.");

  slow.AbortReplies = {FtpReply("450 Transfer aborted."), FtpReply("225 Data connection closed.")};
  ftp.SetTransferOptions(slow);
  data = client.OpenPassive();
  EXPECT_EQ(client.Command("STOR up.bin"), "150 Opening BINARY mode data connection.");
  SendAll(data.Get(), "partial upload");
  ASSERT_TRUE(ftp.WaitForCommand("STOR up.bin"));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  client.Send("ABOR");
  data.Reset();
  EXPECT_EQ(client.ReadReply(), "450 Transfer aborted.");
  EXPECT_EQ(client.ReadReply(), "225 Data connection closed.");
  ASSERT_EQ(ftp.Uploads().size(), 1u);
  EXPECT_TRUE(ftp.Uploads()[0].Aborted);
  EXPECT_EQ(ftp.Uploads()[0].Bytes, "partial upload");

  // A client that closes the data connection and only then aborts, in active mode.
  UniqueFd listener = ListenTcp();
  EXPECT_EQ(client.Command("PORT " + FtpHostPortText("127.0.0.1", LocalPort(listener.Get()))).substr(0, 4), "200 ");
  client.Send("RETR big.bin");
  UniqueFd active = AcceptWithin(listener.Get(), 5000);
  ASSERT_TRUE(active);
  EXPECT_EQ(client.ReadReply(), "150 Opening BINARY mode data connection.");
  ReceiveExactly(active.Get(), 100);
  active.Reset();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(client.ReadReply(), "426 Failure writing network stream.");
  EXPECT_EQ(client.Command("QUIT"), "221 Goodbye.");
  ASSERT_TRUE(ftp.WaitSessionsClosed());
  EXPECT_EQ(ftp.Commands(), (Lines{"USER user", "PASS secret", "PASV", "RETR big.bin", "ABOR", "ABOR", "PASV",
                                   "STOR up.bin", "ABOR", "PORT " + FtpHostPortText("127.0.0.1", LocalPort(listener.Get())),
                                   "RETR big.bin", "QUIT"}));
  EXPECT_EQ(ftp.ErrorText(), "");
}

TEST(ScriptedFtpServer, ProxyLoginLinesAndQueuedReplies) {
  ScriptedFtpServer proxy;
  proxy.QueueReply("USER", "230 Proxy user logged in.");
  RawFtpClient client(proxy.Port());
  client.ReadReply();
  EXPECT_EQ(client.Command("USER proxyuser"), "230 Proxy user logged in.");
  EXPECT_EQ(client.Command("SITE ftp.remessa.invalid"), "200 SITE command ok.");
  EXPECT_EQ(client.Command("OPEN ftp.remessa.invalid"), "220 Connected to ftp.remessa.invalid.");
  EXPECT_EQ(client.Command("USER joe@ftp.remessa.invalid"), "331 Please specify the password.");
  EXPECT_EQ(client.Command("PASS pw"), "230 Login successful.");
  EXPECT_EQ(client.Command("FEAT"), "211-Features:\n MDTM\n PASV\n REST STREAM\n SIZE\n211 End");
  EXPECT_EQ(client.Command("REST 1"), "350 Restart position accepted (1).");
  EXPECT_EQ(client.Command("RETR nothing"), "550 Failed to open file.");
  EXPECT_EQ(client.Command("STOR x"), "425 Use PORT or PASV first.");
  EXPECT_EQ(client.Command("XYZZY"), "500 Unknown command.");
  EXPECT_EQ(proxy.Commands()[0], "USER proxyuser");
  EXPECT_EQ(proxy.Commands()[3], "USER joe@ftp.remessa.invalid");
}

TEST(ScriptedFtpServer, ResumeAppendAndUniqueNames) {
  ScriptedFtpServer ftp;
  ftp.SetPatternFile("p.bin", 50000, 4);
  ftp.SetFile("log.txt", "abc");
  TempDir dir;
  WriteFile(dir.File("p.bin"), PatternBytes(4, 0, 1000));
  ProcessResult resumed = Curl({"-C", "-", ftp.Url("/p.bin"), "-o", dir.File("p.bin")});
  ASSERT_EQ(resumed.ExitCode, 0) << resumed.Err;
  EXPECT_EQ(FindPatternMismatch(dir.File("p.bin"), 50000, 4), -1);
  Lines session = ftp.SessionCommands(0);
  ASSERT_GE(session.size(), 3u);
  EXPECT_EQ(session[session.size() - 3], "REST 1000");
  EXPECT_EQ(session[session.size() - 2], "RETR p.bin");

  WriteFile(dir.File("more.txt"), "def");
  ProcessResult appended = Curl({"--append", "-T", dir.File("more.txt"), ftp.Url("/log.txt")});
  ASSERT_EQ(appended.ExitCode, 0) << appended.Err;
  EXPECT_EQ(ftp.FileBytes("log.txt"), "abcdef");

  RawFtpClient client(ftp.Port());
  client.ReadReply();
  client.Login();
  UniqueFd data = client.OpenPassive();
  EXPECT_EQ(client.Command("STOU"), "150 FILE: stou-1");
  SendAll(data.Get(), "unique");
  data.Reset();
  EXPECT_EQ(client.ReadReply(), "226 Transfer complete.");
  auto uploads = ftp.Uploads();
  ASSERT_EQ(uploads.size(), 2u);
  EXPECT_EQ(uploads[0].Command, "APPE");
  EXPECT_EQ(uploads[1].Command, "STOU");
  EXPECT_EQ(uploads[1].Name, "stou-1");
  EXPECT_EQ(ftp.FileBytes("stou-1"), "unique");
}

TEST(ScriptedFtpServer, ReplyFormsDeferredCommandsAndPromptStop) {
  ScriptedFtpServer ftp;
  ftp.SetPatternFile("big.bin", 65536);
  ftp.SetReply("NOOP", FtpReply::Raw("200 bare LF\n"));
  ftp.SetReply("SYST", FtpReply("215 UNIX Type: L8").Delay(100));
  ftp.SetPasvReply([](int port) { return "227 Entering Passive Mode " + FtpHostPortText("127.0.0.1", port); });
  FtpTransferOptions slow;
  slow.ChunkSize = 1024;
  slow.ChunkPauseMs = 10;
  slow.AcceptBeforePreliminary = true;
  ftp.SetTransferOptions(slow);

  RawFtpClient client(ftp.Port());
  client.ReadReply();
  SendAll(client.Fd(), "NOOP\r\n");
  EXPECT_EQ(ReceiveLine(client.Fd()), "200 bare LF\n");
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(client.Command("SYST"), "215 UNIX Type: L8");
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(90));

  std::string pasv = client.Command("PASV");
  ASSERT_EQ(pasv.find('('), std::string::npos) << pasv;
  HostPort address = ParseFtpHostPort(pasv.substr(pasv.rfind(' ') + 1));
  client.Send("RETR big.bin");
  // The preliminary reply waits for the data connection.
  EXPECT_FALSE(WaitReadable(client.Fd(), 100));
  UniqueFd data = ConnectTcp(address.Host, address.Port);
  EXPECT_EQ(client.ReadReply(), "150 Opening BINARY mode data connection.");
  ReceiveExactly(data.Get(), 2048);
  // A command in the middle of the transfer is answered after it.
  client.Send("PWD");
  ASSERT_TRUE(ftp.WaitForCommand("PWD"));
  std::string rest = ReceiveAll(data.Get(), 30000);
  EXPECT_EQ(rest.size(), 65536u - 2048);
  EXPECT_EQ(client.ReadReply(), "226 Transfer complete.");
  EXPECT_EQ(client.ReadReply(), "257 \"/\" is the current directory");

  // Stop during a slow transfer returns at once.
  data = ConnectTcp(address.Host, ParseFtpHostPort(client.Command("PASV").substr(27)).Port);
  client.Send("RETR big.bin");
  EXPECT_EQ(client.ReadReply(), "150 Opening BINARY mode data connection.");
  ReceiveExactly(data.Get(), 1024);
  start = std::chrono::steady_clock::now();
  ftp.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  EXPECT_EQ(ftp.ErrorText(), "");
}

TEST(ScriptedFtpServer, UploadResetAndDroppedDownloadWithReset) {
  ScriptedFtpServer ftp;
  ftp.SetFile("f.bin", std::string(100000, 'x'));
  FtpTransferOptions options;
  options.DropDataAfter = 10;
  options.ResetData = true;
  options.Final = "451 Local error.";
  ftp.SetTransferOptions(options);
  RawFtpClient client(ftp.Port());
  client.ReadReply();
  UniqueFd data = client.OpenPassive();
  EXPECT_EQ(client.Command("RETR f.bin"), "150 Opening BINARY mode data connection.");
  EXPECT_EQ(client.ReadReply(), "451 Local error.");
  std::string got;
  EXPECT_THROW(got = ReceiveAll(data.Get()), std::system_error);  // reset after 10 bytes

  data = client.OpenPassive();
  EXPECT_EQ(client.Command("STOR u.bin"), "150 Opening BINARY mode data connection.");
  SendAll(data.Get(), "12345");
  ASSERT_TRUE(ftp.WaitForCommand("STOR"));
  SetLingerZero(data.Get());
  data.Reset();
  EXPECT_EQ(client.ReadReply(), "426 Failure writing network stream.");
  ASSERT_EQ(ftp.Uploads().size(), 1u);
  EXPECT_TRUE(ftp.Uploads()[0].Aborted);
}
